#include "src/term/input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace tessarin {
namespace {

class ReadBounded : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tessarin-input-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        for (const auto& f : files) ::unlink(f.c_str());
        ::rmdir(dir.c_str());
    }
    std::string write(const std::string& name, const std::string& content) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        files.push_back(path);
        return path;
    }
    // Runs read_bounded("-") with standard input taken from a file.
    Result<std::string> from_stdin(const std::string& content, size_t limit) {
        std::string path = write("stdin", content);
        int saved = dup(STDIN_FILENO);
        int fd = ::open(path.c_str(), O_RDONLY);
        dup2(fd, STDIN_FILENO);
        ::close(fd);
        auto r = read_bounded("-", limit);
        dup2(saved, STDIN_FILENO);
        ::close(saved);
        return r;
    }
    std::string dir;
    std::vector<std::string> files;
};

TEST_F(ReadBounded, LimitIsInclusive) {
    auto exact = write("exact", std::string(262144, 'a'));
    auto r = read_bounded(exact, 262144);
    ASSERT_FALSE(r.is_error());
    EXPECT_EQ(r.value().size(), 262144u);

    auto over = write("over", std::string(262145, 'a'));
    auto big = read_bounded(over, 262144);
    ASSERT_TRUE(big.is_error());
    EXPECT_EQ(big.error().display(),
              "TS-2110: " + over + " exceeds 262144 bytes (refuse to buffer unbounded input)");
}

TEST_F(ReadBounded, Failures) {
    auto missing = read_bounded(dir + "/nope", 10);
    ASSERT_TRUE(missing.is_error());
    EXPECT_EQ(missing.error().display(),
              "TS-2111: opening " + dir + "/nope: No such file or directory");

    auto bad = write("bad", "ok\xff");
    auto r = read_bounded(bad, 10);
    ASSERT_TRUE(r.is_error());
    EXPECT_EQ(
        r.error().display(),
        "TS-2000: " + bad + ": not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 2");

    auto dir_read = read_bounded(dir, 10);
    ASSERT_TRUE(dir_read.is_error());
    EXPECT_EQ(dir_read.error().display(), "TS-2111: reading " + dir + ": Is a directory");
}

TEST_F(ReadBounded, StandardInput) {
    auto empty = from_stdin("", 10);
    ASSERT_FALSE(empty.is_error());
    EXPECT_EQ(empty.value(), "");

    auto kept = from_stdin("  text\n", 10);
    EXPECT_EQ(kept.value(), "  text\n");  // no trimming

    auto big = from_stdin(std::string(11, 'x'), 10);
    ASSERT_TRUE(big.is_error());
    EXPECT_EQ(big.error().display(),
              "TS-2110: stdin exceeds 10 bytes (refuse to buffer unbounded input)");

    auto truncated = from_stdin("\xe2\x80", 10);
    EXPECT_EQ(truncated.error().display(),
              "TS-2000: stdin: not valid UTF-8: incomplete utf-8 byte sequence from index 0");
}

}  // namespace
}  // namespace tessarin
