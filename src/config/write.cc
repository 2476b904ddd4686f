// How the configuration file is written: once, by init, atomically. The record is sealed,
// written to a temporary file of this run's own beside the final name and published under
// that name only if nothing has it yet; a failed run leaves nothing behind. And the check that
// a record about to be written will load.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "crypto/core/container.h"
#include "crypto/core/utf8.h"
#include "src/base/posix.h"
#include "src/config/config.h"

namespace tessarin {

namespace {

// "/a/b/config" → "/a/b", "/config" → "/", "config" → "".
std::string parent_of(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos)
        return {};
    while (slash > 0 && path[slash - 1] == '/') --slash;
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string file_name_of(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    size_t slash = path.rfind('/', end - 1);
    return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash + 1));
}

CliError already_exists(const std::string& path) {
    return CliError(TS_2002, "config already exists at " + path +
                                 " \u2014 refuse to overwrite (delete it explicitly to re-enroll)");
}

// The record as compact JSON, as the file holds it; TS-2002 for a value that cannot be written.
Result<SecretBytes> record_json(const Config& config) {
    auto json = config_to_json(config);
    if (json.is_error())
        return CliError(TS_2002, "encoding config JSON: " + json.error());
    return json.release_value();
}

// The record sealed in a TSR1 container.
Result<Bytes> sealed_record(const Config& config) {
    const SecretBytes json = TRY(record_json(config));
    auto sealed = seal_container(json.expose_secret());
    if (sealed.is_error())
        return CliError(TS_2002, "TSR1 pack failed");
    return sealed.release_value();
}

// The configuration's directory and its missing ancestors. Looked at once more afterwards: no
// link may have been put in place of a directory made here meanwhile.
Result<void> make_parent(const std::string& parent) {
    if (int error = create_directories(parent))
        return CliError(TS_2002, "creating " + parent + " failed: " + error_text(error));
    return check_no_symlink_components(parent);
}

// Writes the container to a new temporary file in parent, private from its creation. The
// temporary file's name, or the error; a failed write removes the file.
Result<std::string> write_temp_file(const std::string& parent, const std::string& path,
                                    const Bytes& container) {
    std::string name = file_name_of(path);
    if (!is_utf8(name))
        name = "config";
    const std::string prefix = (parent == "/" ? parent : parent + "/") + "." + name + ".";
    auto temp = create_temp_file(AT_FDCWD, prefix, 0600);
    if (temp.is_error())
        return CliError(TS_2002, "creating temp config: " + error_text(temp.error()));
    TempFile& file = temp.value();
    int error = write_all(
        file.fd.get(),
        std::string_view(reinterpret_cast<const char*>(container.data()), container.size()));
    // A failed close can be the first report of a failed write (network file systems).
    const int close_error = file.fd.close();
    if (!error)
        error = close_error;
    if (error) {
        ::unlink(file.name.c_str());
        return CliError(TS_2002, "writing temp config: " + write_error_text(error));
    }
    return std::move(file.name);
}

// Gives temp the name path unless something already has it, and removes the name temp: a run
// that lost a race with another init gets EEXIST rather than replacing the winner's file.
// link() then unlink() is the portable way; where the file system has no hard links the
// system's rename that refuses to replace (renameat2 RENAME_NOREPLACE) stands in. 0 or errno.
int publish_without_replacing(const std::string& temp, const std::string& path) {
    int error = 0;
    if (::link(temp.c_str(), path.c_str()) != 0) {
        error = errno;
#if defined(__linux__) && defined(RENAME_NOREPLACE)
        if (error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == EMLINK ||
            error == ENOSYS) {
            if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
                return 0;
            error = errno;
        }
#endif
    }
    ::unlink(temp.c_str());
    return error;
}

}  // namespace

Result<void> check_loadable(const Config& config) {
    const SecretBytes json = TRY(record_json(config));
    TRY(load_record_json(json.expose_text()));
    return {};
}

Result<void> save_config(const Config& config) {
    const std::string path = TRY(config_path());
    const std::string parent = parent_of(path);
    if (parent.empty())
        return CliError(TS_2002, "config path has no parent");
    // Nothing is looked at or made through a link on the way.
    TRY(check_no_symlink_components(parent));
    // Anything at the path, a dangling link too, is an existing configuration: not ours to
    // replace.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0)
        return already_exists(path);
    const Bytes container = TRY(sealed_record(config));
    TRY(make_parent(parent));
    // Published only if the name is still free: another init may have written it meanwhile.
    const std::string temp = TRY(write_temp_file(parent, path, container));
    if (int error = publish_without_replacing(temp, path)) {
        if (error == EEXIST)
            return already_exists(path);
        return CliError(TS_2002, "renaming temp config to " + path + ": " + error_text(error));
    }
    return {};
}

}  // namespace tessarin
