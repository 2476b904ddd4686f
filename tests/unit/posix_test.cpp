#include "src/posix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace tessarin {
namespace {

class Scratch : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tessarin-posix-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0); }
    bool is_dir(const std::string& path) const {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    std::string root;
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

TEST(ErrorText, CLibraryWording) {
    EXPECT_EQ(error_text(ENOENT), "No such file or directory");
    EXPECT_EQ(write_error_text(EPIPE), "Broken pipe");
    EXPECT_EQ(write_error_text(k_wrote_zero), "failed to write whole buffer");
}

}  // namespace
}  // namespace tessarin
