// Where the configuration file is: the path chosen from the environment, and the walk that
// refuses a symbolic link anywhere on the way to it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "src/base/posix.h"
#include "src/config/config.h"

namespace tessarin {

namespace {

// The directory the configuration lives under: $XDG_CONFIG_HOME, else $HOME/.config.
Result<std::string> config_base() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg)
        return std::string(xdg);
    const char* home = std::getenv("HOME");
    if (!home)
        return CliError(TS_2003, "cannot locate config: set HOME or XDG_CONFIG_HOME");
    std::string base = home;
    if (!base.empty() && base.back() != '/')
        base.push_back('/');
    return base + ".config";
}

// lstat one prefix: true to go on, false when it does not exist (nothing further can).
Result<bool> check_prefix(const std::string& prefix) {
    struct stat st {};
    if (::lstat(prefix.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return false;
        return CliError(TS_2003, "stat " + prefix + ": " + error_text(errno));
    }
    if (S_ISLNK(st.st_mode))
        return CliError(TS_2003, "config path component " + prefix +
                                     " is a symlink \u2014 refuse to follow it");
    return true;
}

}  // namespace

Result<std::string> config_path() {
    std::string base = TRY(config_base());
    if (base.empty() || base[0] != '/')
        return CliError(TS_2003, "XDG_CONFIG_HOME and HOME must be absolute paths");
    if (base.back() != '/')
        base.push_back('/');
    return base + "tessarin/config";
}

Result<void> check_no_symlink_components(std::string_view path) {
    std::string prefix;
    if (!path.empty() && path[0] == '/') {
        prefix = "/";
        if (!TRY(check_prefix(prefix)))
            return {};
    }
    size_t i = 0;
    while (i < path.size()) {
        // The next component; empty ones ("//") and "." add nothing.
        size_t end = path.find('/', i);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(i, end - i);
        i = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (!prefix.empty() && prefix.back() != '/')
            prefix.push_back('/');
        prefix.append(part);
        if (!TRY(check_prefix(prefix)))
            return {};
    }
    return {};
}

}  // namespace tessarin
