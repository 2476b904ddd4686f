#include "src/config/config.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>

#include "tests/unit/config/config_fixture.h"

using namespace tessarin;
using namespace tessarin::config_test;

TEST_F(ConfigFile, SaveWritesALoadableFileOnce) {
    Config c;
    c.vault_url = "https://vault.example";
    c.vault_gate_pub = std::string(64, 'a');
    c.vault_id = "2a1b2c3d4e5f6071";
    c.agent_id = "00112233445566778899aabbccddeeff";
    c.l2 = SecretBytes::from_text("0f0e0d0c0b0a09080706050403020100");
    c.device_id = "ffeeddccbbaa99887766554433221100";
    // A file that looks like a temporary file may be another run's: it is left alone.
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    std::ofstream(dir + "/.config.tmp") << "leftover";

    ASSERT_EQ(error_of(save_config(c)), "ok");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u) << "the temporary name is gone";
    EXPECT_EQ(names_in(dir), (std::set<std::string>{".config.tmp", "config"}));
    EXPECT_EQ(read_file(dir + "/.config.tmp"), "leftover");
    auto opened = open_container(as_bytes(read_raw()));
    ASSERT_FALSE(opened.is_error());
    EXPECT_EQ(opened.value().expose_text(), json_of(c));
    EXPECT_EQ(error_of(load_config()), "ok");

    // A second save refuses and leaves the file as it was.
    const std::string before = read_raw();
    Config other;
    other.vault_url = "https://other.example";
    EXPECT_EQ(error_of(save_config(other)),
              "TS-2002: config already exists at " + path +
                  " \u2014 refuse to overwrite (delete it explicitly to re-enroll)");
    EXPECT_EQ(read_raw(), before);
}

TEST_F(ConfigFile, SaveCreatesMissingDirectories) {
    EnvGuard deeper;
    deeper.set("XDG_CONFIG_HOME", (root + "/a/b/c").c_str());
    Config c;
    c.vault_url = "https://v";
    ASSERT_EQ(error_of(save_config(c)), "ok");
    struct stat st {};
    EXPECT_EQ(::stat((root + "/a/b/c/tessarin/config").c_str(), &st), 0);
}

TEST_F(ConfigFile, SaveFailuresBeforeTheWriteMakeNothing) {
    // A value that cannot be written is found before any directory is made.
    Config bad;
    bad.vault_url = "https://v\xff";
    EXPECT_EQ(error_of(save_config(bad)),
              "TS-2002: encoding config JSON: invalid UTF-8 in the value of `vault_url`");
    struct stat st {};
    EXPECT_NE(::stat(xdg.c_str(), &st), 0) << "no directory made for a record never written";

    // A file where the configuration's directory belongs.
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    std::ofstream(dir) << "not a directory";
    Config c;
    c.vault_url = "https://v";
    EXPECT_EQ(error_of(save_config(c)), "TS-2002: creating " + dir + " failed: File exists");
    EXPECT_EQ(read_file(dir), "not a directory");
}

TEST_F(ConfigFile, SaveRefusesALinkAtThePath) {
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string target = root + "/missing-target";
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    Config c;
    c.vault_url = "https://v";
    EXPECT_EQ(error_of(save_config(c)),
              "TS-2002: config already exists at " + path +
                  " \u2014 refuse to overwrite (delete it explicitly to re-enroll)");
    struct stat st {};
    EXPECT_NE(::stat(target.c_str(), &st), 0) << "nothing written through the link";
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(ConfigFile, SaveFailureLeavesNothing) {
    // A file size limit of 20 bytes makes the write of the container fail part way, in a
    // child process so that the limit stays there.
    Config c;
    c.vault_url = "https://v";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {20, 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string outcome = error_of(save_config(c));
        _exit(outcome == "TS-2002: writing temp config: File too large" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(names_in(dir), std::set<std::string>{}) << "no configuration, no temporary file";
}
