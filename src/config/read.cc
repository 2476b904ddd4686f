// How the configuration file is read and checked: found without following a link, private to
// its owner, read whole within a bound, opened as a TSR1 container and loaded as a record.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "crypto/core/container.h"
#include "src/base/posix.h"
#include "src/config/config.h"

namespace tessarin {

namespace {

// A configuration is well under 4 KiB; anything past this is not one.
constexpr size_t k_max_config_size = 65536;

CliError mode_refused(const std::string& path, mode_t mode) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 0777));
    return CliError(TS_2003, "config " + path + " has mode " + octal +
                                 " \u2014 must be 0600 (group/other access refused)");
}

CliError not_initialized(const std::string& path) {
    return CliError(TS_2003,
                    "Not initialized. Config file not found at " + path +
                        ".\n  This agent needs enrollment first. Ask the vault owner for\n"
                        "  an enrollment blob, then run: tessarin-cli init\n"
                        "  (Do not attempt to fix this yourself \u2014 a human must provide "
                        "the blob and key.)");
}

// What is at the path, before anything is opened: not a link, there, and private (a FIFO of
// the wrong mode is refused without being opened).
Result<void> check_file_entry(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return not_initialized(path);
        return CliError(TS_2003, "stat " + path + ": " + error_text(errno));
    }
    if (S_ISLNK(st.st_mode))
        return CliError(TS_2003,
                        "config path " + path + " is a symlink \u2014 refuse to follow it");
    if (st.st_mode & 0077)
        return mode_refused(path, st.st_mode);
    return {};
}

// Opens the configuration and reads it whole. Without O_NONBLOCK a FIFO planted at the path
// would block the open forever; the checks then run on what was opened, not on the name: a
// regular file, private, of at most k_max_config_size bytes (a huge sparse file announces a
// size no buffer should be made for). A directory reports what reading one reports.
Result<SecretBytes> read_config_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return CliError(TS_2003, "opening " + path + ": " + error_text(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return CliError(TS_2003, "stat " + path + ": " + error_text(errno));
    if (S_ISDIR(st.st_mode))
        return CliError(TS_2003, "reading " + path + ": " + error_text(EISDIR));
    if (!S_ISREG(st.st_mode))
        return CliError(TS_2003, "config " + path + " is not a regular file");
    if (st.st_mode & 0077)
        return mode_refused(path, st.st_mode);
    const CliError too_large(TS_2003, "config " + path + " exceeds " +
                                          std::to_string(k_max_config_size) +
                                          " bytes \u2014 not a configuration file");
    // A file that grew after fstat is caught by the read's bound.
    if (st.st_size > static_cast<off_t>(k_max_config_size))
        return too_large;
    auto data = read_up_to(fd.get(), k_max_config_size);
    if (data.is_error())
        return CliError(TS_2003, "reading " + path + ": " + error_text(data.error()));
    if (data.value().size() > k_max_config_size)
        return too_large;
    return data.release_value();
}

}  // namespace

Result<LoadedConfig> load_config() {
    return std::move(TRY(load_config_record()).loaded);
}

Result<ConfigRecord> load_config_record() {
    const std::string path = TRY(config_path());
    TRY(check_no_symlink_components(path));
    TRY(check_file_entry(path));

    const SecretBytes data = TRY(read_config_file(path));
    auto opened = open_container(data.expose_secret());
    if (opened.is_error())
        return in_context(TS_2004,
                          "config decrypt failed: ", InnerForm::display)(opened.release_error());
    const SecretBytes plaintext = opened.release_value();
    ConfigRecord config = TRY(load_record_json(plaintext.expose_text()));
    config.path = path;
    return config;
}

}  // namespace tessarin
