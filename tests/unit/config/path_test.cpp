#include "src/config/config.h"

#include <gtest/gtest.h>

#include "tests/unit/config/config_fixture.h"

using namespace tessarin;
using namespace tessarin::config_test;

TEST(ConfigPath, Resolution) {
    const struct {
        std::string_view name;
        const char *xdg, *home;
        std::string expected;
    } cases[] = {
        {"XDG wins", "/x/cfg", "/home/u", "/x/cfg/tessarin/config"},
        {"XDG with a trailing slash", "/x/cfg/", "/home/u", "/x/cfg/tessarin/config"},
        {"empty XDG falls back to HOME", "", "/home/u", "/home/u/.config/tessarin/config"},
        {"unset XDG", nullptr, "/home/u", "/home/u/.config/tessarin/config"},
        {"relative XDG", "cfg", "/home/u",
         "TS-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
        {"empty HOME", nullptr, "", "TS-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
        {"empty HOME, empty XDG", "", "",
         "TS-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
        {"relative HOME", nullptr, "home/u",
         "TS-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
        {"no HOME", nullptr, nullptr, "TS-2003: cannot locate config: set HOME or XDG_CONFIG_HOME"},
        {"no HOME but XDG", "/x", nullptr, "/x/tessarin/config"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnvGuard env;
        env.set("XDG_CONFIG_HOME", c.xdg);
        env.set("HOME", c.home);
        EXPECT_EQ(outcome(config_path()), c.expected);
    }
}

TEST_F(ConfigFile, SymbolicLinks) {
    // The configuration directory reached through a link on an ancestor.
    const std::string real = root + "/real";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(real.c_str(), (root + "/link").c_str()), 0);
    {
        EnvGuard through_link;
        through_link.set("XDG_CONFIG_HOME", (root + "/link/cfg").c_str());
        const std::string expected = "TS-2003: config path component " + root +
                                     "/link is a symlink \u2014 refuse to follow it";
        EXPECT_EQ(error_of(check_no_symlink_components(root + "/link/cfg/tessarin/config")),
                  expected);
        EXPECT_EQ(error_of(load_config()), expected);
        Config c;
        c.vault_url = "https://v";
        EXPECT_EQ(error_of(save_config(c)), expected);
        struct stat st {};
        EXPECT_NE(::stat((real + "/cfg").c_str(), &st), 0) << "nothing was created";
    }
    // The file itself a link to a good configuration.
    write_json(object_of(kValid));
    ASSERT_EQ(::rename(path.c_str(), (root + "/elsewhere").c_str()), 0);
    ASSERT_EQ(::symlink((root + "/elsewhere").c_str(), path.c_str()), 0);
    EXPECT_EQ(error_of(load_config()), "TS-2003: config path component " + path +
                                           " is a symlink \u2014 refuse to follow it");
    // A missing tail ends the walk; the root alone is fine.
    EXPECT_EQ(error_of(check_no_symlink_components(root + "/none/a/b")), "ok");
    EXPECT_EQ(error_of(check_no_symlink_components("/")), "ok");
    EXPECT_EQ(error_of(check_no_symlink_components(root + "//real/./")), "ok");
}
