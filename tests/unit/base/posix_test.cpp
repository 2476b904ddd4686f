#include "src/base/posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "tests/unit/scratch_dir.h"

namespace tessarin {
namespace {

class Scratch : public ::testing::Test {
  protected:
    bool is_dir(const std::string& path) const {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    testing_support::ScratchDir scratch{"posix"};
    const std::string root = scratch.path();
};

TEST_F(Scratch, CreateDirectoriesContract) {
    ASSERT_EQ(::mkdir((root + "/real").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((root + "/real").c_str(), (root + "/link").c_str()), 0);
    std::ofstream(root + "/file") << "x";
    const struct {
        std::string dir;
        int expected;
    } cases[] = {
        {root + "/a/b/c", 0},           // missing ancestors are made
        {root + "/a/b/c/", 0},          // a trailing slash changes nothing
        {root + "/a", 0},               // already there
        {root + "/link", 0},            // a directory reached through a link
        {root + "/link/d/e", 0},        // and below it
        {root + "/file", EEXIST},       // something else is in the way
        {root + "/file/x/y", ENOTDIR},  // an ancestor is not a directory
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        EXPECT_EQ(create_directories(c.dir), c.expected);
        EXPECT_EQ(is_dir(c.dir), c.expected == 0);
    }
    EXPECT_TRUE(is_dir(root + "/real/d/e"));
}

TEST(UniqueFd, CheckedCloseReportsAndLetsGo) {
    UniqueFd fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    const int number = fd.get();
    EXPECT_EQ(fd.close(), 0);
    EXPECT_FALSE(fd.valid());
    EXPECT_EQ(::fcntl(number, F_GETFD), -1) << "the descriptor is closed";
    EXPECT_EQ(fd.close(), 0) << "nothing held, nothing to report";

    // A descriptor closed behind the owner's back: the failure is reported, not swallowed.
    UniqueFd stale(::dup(STDERR_FILENO));
    ASSERT_TRUE(stale.valid());
    ASSERT_EQ(::close(stale.get()), 0);
    EXPECT_EQ(stale.close(), EBADF);
    EXPECT_FALSE(stale.valid());
}

TEST_F(Scratch, TempFilesAreNewAndOwnNamed) {
    const UniqueFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.valid());
    auto first = create_temp_file(dir.get(), ".name.", 0600);
    auto second = create_temp_file(dir.get(), ".name.", 0600);
    ASSERT_FALSE(first.is_error());
    ASSERT_FALSE(second.is_error());
    EXPECT_NE(first.value().name, second.value().name);
    for (const TempFile* t : {&first.value(), &second.value()}) {
        SCOPED_TRACE(t->name);
        EXPECT_EQ(t->name.rfind(".name.", 0), 0u);
        EXPECT_EQ(t->name.substr(t->name.size() - 4), ".tmp");
        struct stat st {};
        ASSERT_EQ(::fstat(t->fd.get(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(::write(t->fd.get(), "x", 1), 1) << "open for writing";
        EXPECT_TRUE(std::ifstream(root + "/" + t->name).good()) << "made in the directory";
    }

    // With AT_FDCWD the prefix is a path; a missing directory is the open's errno.
    auto by_path = create_temp_file(AT_FDCWD, root + "/p.", 0600);
    ASSERT_FALSE(by_path.is_error());
    EXPECT_EQ(by_path.value().name.rfind(root + "/p.", 0), 0u);
    auto nowhere = create_temp_file(AT_FDCWD, root + "/missing/p.", 0600);
    ASSERT_TRUE(nowhere.is_error());
    EXPECT_EQ(nowhere.error(), ENOENT);
}

TEST(ErrorText, CLibraryWording) {
    EXPECT_EQ(error_text(ENOENT), "No such file or directory");
    EXPECT_EQ(write_error_text(EPIPE), "Broken pipe");
    EXPECT_EQ(write_error_text(k_wrote_zero), "failed to write whole buffer");
}

}  // namespace
}  // namespace tessarin
