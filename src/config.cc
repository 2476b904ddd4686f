#include "src/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/core/base64.h"
#include "crypto/core/container.h"
#include "crypto/core/json_text.h"
#include "crypto/core/random.h"
#include "crypto/core/token.h"
#include "crypto/core/utf8.h"
#include "src/json_record.h"
#include "src/posix.h"
#include "src/text.h"

namespace tessarin {

namespace {

// A hex value of the configuration that must decode to exactly n bytes (TS-2004 otherwise).
Result<SecretBytes> config_hex(std::string_view key, std::string_view text, size_t n) {
    auto bytes = hex_decode_secret(text);
    if (!bytes)
        return CliError(TS_2004, std::string(key) + " is not valid hex");
    if (bytes->size() != n)
        return CliError(TS_2004, std::string(key) + " expected " + std::to_string(n) +
                                     " bytes, got " + std::to_string(bytes->size()));
    return std::move(*bytes);
}

template <size_t N>
std::array<uint8_t, N> to_array(const SecretBytes& bytes) {
    std::array<uint8_t, N> out{};
    const auto secret = bytes.expose_secret();
    std::copy_n(secret.begin(), N, out.begin());
    return out;
}

constexpr RecordField k_config_fields[] = {
    {"vault_url", true, false},    {"vault_gate_pub", false, false},
    {"replica_url", false, false}, {"replica_gate_pub", false, false},
    {"vault_id", true, false},     {"agent_id", true, false},
    {"l2", true, false},           {"device_id", true, false},
};

// ,"key":"value" (without the comma for the first member); false for a value that is not
// UTF-8.
bool append_member(SecretBytes& out, std::string_view key, std::string_view value) {
    if (out.size() > 1)
        out.push_back(',');
    out.push_back('"');
    out.append_text(key);
    out.append_text("\":");
    return append_json_string(out, value);
}

struct FileStatus {
    bool exists = false;
    int error = 0;  // errno of a failure other than "not found"
    struct stat st {};
};

FileStatus lstat_path(const std::string& path) {
    FileStatus s;
    if (::lstat(path.c_str(), &s.st) == 0)
        s.exists = true;
    else if (errno != ENOENT)
        s.error = errno;
    return s;
}

FileStatus stat_path(const std::string& path) {
    FileStatus s;
    if (::stat(path.c_str(), &s.st) == 0)
        s.exists = true;
    else if (errno != ENOENT)
        s.error = errno;
    return s;
}

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

// The configuration's directory and its missing ancestors.
Result<void> make_parent(const std::string& dir) {
    if (int error = create_directories(dir))
        return CliError(TS_2002, "creating " + dir + " failed: " + error_text(error));
    return {};
}

CliError already_exists(const std::string& path) {
    return CliError(TS_2002, "config already exists at " + path +
                                 " \u2014 refuse to overwrite (delete it explicitly to re-enroll)");
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

// A configuration is well under 4 KiB; anything past this is not one.
constexpr size_t k_max_config_size = 65536;

// An open descriptor, closed on every path.
class Descriptor {
  public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

  private:
    int m_fd;
};

CliError mode_refused(const std::string& path, mode_t mode) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 0777));
    return CliError(TS_2003, "config " + path + " has mode " + octal +
                                 " \u2014 must be 0600 (group/other access refused)");
}

// Opens the configuration and reads it whole. Without O_NONBLOCK a FIFO planted at the path
// would block the open forever; the checks then run on what was opened, not on the name: a
// regular file, private, of at most k_max_config_size bytes (a huge sparse file announces a
// size no buffer should be made for). A directory reports what reading one reports.
Result<SecretBytes> read_config_file(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
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
    if (st.st_size > static_cast<off_t>(k_max_config_size))
        return too_large;
    // One byte of room past the limit shows a file that grew after fstat.
    SecretBytes data(k_max_config_size + 1);
    size_t length = 0;
    while (length < data.size()) {
        ssize_t n =
            ::read(fd.get(), data.expose_secret_mut().data() + length, data.size() - length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return CliError(TS_2003, "reading " + path + ": " + error_text(errno));
        }
        if (n == 0)
            break;
        length += static_cast<size_t>(n);
    }
    if (length > k_max_config_size)
        return too_large;
    data.truncate(length);
    return data;
}

}  // namespace

Result<std::string> config_path() {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home)
            return CliError(TS_2003, "cannot locate config: set HOME or XDG_CONFIG_HOME");
        base = home;
        if (!base.empty() && base.back() != '/')
            base.push_back('/');
        base += ".config";
    }
    if (base.empty() || base[0] != '/')
        return CliError(TS_2003, "XDG_CONFIG_HOME and HOME must be absolute paths");
    if (base.back() != '/')
        base.push_back('/');
    return base + "tessarin/config";
}

Result<void> check_no_symlink_components(std::string_view path) {
    // lstat one prefix: true to go on, false when it does not exist (nothing further can).
    auto check = [](const std::string& prefix) -> Result<bool> {
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
    };
    std::string prefix;
    if (!path.empty() && path[0] == '/') {
        prefix = "/";
        if (!TRY(check(prefix)))
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
        if (!TRY(check(prefix)))
            return {};
    }
    return {};
}

BasicResult<uint64_t, std::string_view> parse_vault_id(std::string_view text) {
    if (text.size() != 16)
        return std::string_view("wrong_length");
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return std::string_view("hex_prefix");
    uint64_t v = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            return std::string_view("uppercase");
        } else if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ') {
            return std::string_view("whitespace");
        } else if (c == '+' || c == '-') {
            return std::string_view("sign");
        } else {
            return std::string_view("invalid_char");
        }
        v = v << 4 | static_cast<uint64_t>(digit);
    }
    if (v == 0)
        return std::string_view("zero");
    if (v >> 63)
        return std::string_view("top_bit_set");
    if (v < (uint64_t{1} << 56))
        return std::string_view("issuer_zero");
    if ((v & ((uint64_t{1} << 56) - 1)) == 0)
        return std::string_view("random_part_zero");
    return v;
}

Result<std::string> gate_url(std::string_view origin) {
    const std::string_view trimmed = trim_space(origin);
    std::string_view rest;
    if (trimmed.substr(0, 8) == "https://" || trimmed.substr(0, 8) == "HTTPS://")
        rest = trimmed.substr(8);
    else
        return CliError(TS_2000, "vault_url must be https:// (got " + std::string(origin) + ")");
    // An origin of slashes alone ("https:///") would turn into "https:/gate".
    std::string_view host = rest;
    while (!host.empty() && host.back() == '/') host.remove_suffix(1);
    if (host.empty() || rest.find_first_of("@?# \\") != std::string_view::npos)
        return CliError(TS_2000,
                        "vault_url is not a clean https origin (got " + std::string(origin) + ")");
    std::string_view base = trimmed;
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    return std::string(base) + "/gate";
}

BasicResult<SecretBytes, std::string> config_to_json(const Config& c) {
    SecretBytes out;
    out.reserve(512);
    out.push_back('{');
    const struct {
        std::string_view key;
        std::string_view value;
        bool always;
    } members[] = {
        {"vault_url", c.vault_url, true},      {"vault_gate_pub", c.vault_gate_pub, true},
        {"replica_url", c.replica_url, false}, {"replica_gate_pub", c.replica_gate_pub, false},
        {"vault_id", c.vault_id, true},        {"agent_id", c.agent_id, true},
        {"l2", c.l2.expose_text(), true},      {"device_id", c.device_id, true},
    };
    for (const auto& m : members) {
        if (!m.always && m.value.empty())
            continue;
        if (!append_member(out, m.key, m.value))
            return "invalid UTF-8 in the value of `" + std::string(m.key) + "`";
    }
    out.push_back('}');
    return out;
}

BasicResult<Config, std::string> config_from_json(std::string_view json) {
    auto parsed = parse_string_record(json, "struct Config", k_config_fields, UnknownKeys::Refuse);
    if (parsed.is_error())
        return parsed.release_error();
    StringRecord& r = parsed.value();
    Config c;
    c.vault_url = r.take_text(0);
    c.vault_gate_pub = r.take_text(1);
    c.replica_url = r.take_text(2);
    c.replica_gate_pub = r.take_text(3);
    c.vault_id = r.take_text(4);
    c.agent_id = r.take_text(5);
    c.l2 = r.take(6);
    c.device_id = r.take_text(7);
    return c;
}

Result<LoadedConfig> load_config() {
    return std::move(TRY(load_config_record()).loaded);
}

Result<ConfigRecord> load_config_record() {
    const std::string path = TRY(config_path());
    TRY(check_no_symlink_components(path));

    FileStatus link = lstat_path(path);
    if (link.exists && S_ISLNK(link.st.st_mode))
        return CliError(TS_2003,
                        "config path " + path + " is a symlink \u2014 refuse to follow it");
    FileStatus file = stat_path(path);
    if (!file.exists && !file.error)
        return CliError(TS_2003,
                        "Not initialized. Config file not found at " + path +
                            ".\n  This agent needs enrollment first. Ask the vault owner for\n"
                            "  an enrollment blob, then run: tessarin-cli init\n"
                            "  (Do not attempt to fix this yourself \u2014 a human must provide "
                            "the blob and key.)");
    if (file.error)
        return CliError(TS_2003, "stat " + path + ": " + error_text(file.error));
    if (file.st.st_mode & 0077)
        return mode_refused(path, file.st.st_mode);

    const SecretBytes data = TRY(read_config_file(path));
    auto opened = open_container(data.expose_secret());
    if (opened.is_error())
        return in_context(TS_2004,
                          "config decrypt failed: ", InnerForm::display)(opened.release_error());
    SecretBytes plaintext = opened.release_value();

    auto parsed = config_from_json(plaintext.expose_text());
    if (parsed.is_error())
        return CliError(TS_2004, "config JSON parse: " + parsed.release_error());
    LoadedConfig loaded = TRY(load_record(parsed.value()));
    return ConfigRecord{path, parsed.release_value(), std::move(loaded)};
}

Result<LoadedConfig> load_record(const Config& config) {
    auto vault_id = parse_vault_id(config.vault_id);
    if (vault_id.is_error())
        return CliError(TS_2004, "vault_id is not a 16-hex vault id (" +
                                     std::string(vault_id.error()) +
                                     "); a config from before the id change: enrol again");

    LoadedConfig loaded;
    loaded.vault_id = vault_id.value();
    loaded.l2_key = TRY(config_hex("l2", config.l2.expose_text(), 16));
    loaded.agent_id = to_array<16>(TRY(config_hex("agent_id", config.agent_id, 16)));
    loaded.device_id = to_array<16>(TRY(config_hex("device_id", config.device_id, 16)));

    auto token = mint_agent_token(loaded.vault_id, loaded.l2_key.expose_secret(), loaded.agent_id);
    if (token.is_error())
        return in_context(TS_2047, "mint wire token: ", InnerForm::debug)(token.release_error());
    loaded.agent_token = token.release_value();

    const std::string_view gate_pub = trim_space(config.vault_gate_pub);
    if (gate_pub.empty())
        return CliError(TS_2004,
                        "this config was enrolled before the enrolment blob carried the POP key: "
                        "make a new client blob in the vault and enrol again");
    loaded.primary.public_key = to_array<32>(TRY(config_hex("vault_gate_pub", gate_pub, 32)));
    loaded.primary.url = TRY(gate_url(config.vault_url));

    const std::string_view replica_url = trim_space(config.replica_url);
    const std::string_view replica_pub = trim_space(config.replica_gate_pub);
    if (!replica_url.empty() && !replica_pub.empty()) {
        GateEndpoint replica;
        replica.url = TRY(gate_url(config.replica_url));
        auto key = hex_decode_secret(replica_pub);
        if (!key)
            return CliError(TS_2047, "replica_gate_pub is not valid hex");
        if (key->size() != 32)
            return CliError(TS_2047, "replica_gate_pub must be 32 bytes (64 hex chars)");
        replica.public_key = to_array<32>(*key);
        loaded.replica = std::move(replica);
    }
    return loaded;
}

Result<void> check_loadable(const Config& config) {
    auto json = config_to_json(config);
    if (json.is_error())
        return CliError(TS_2002, "encoding config JSON: " + json.error());
    auto parsed = config_from_json(json.value().expose_text());
    if (parsed.is_error())
        return CliError(TS_2004, "config JSON parse: " + parsed.release_error());
    TRY(load_record(parsed.value()));
    return {};
}

Result<void> save_config(const Config& config) {
    const std::string path = TRY(config_path());
    // The directories on the way must not be links. A link at the path itself is refused
    // just below as an existing configuration (even a dangling one): it is not ours to
    // replace.
    TRY(check_no_symlink_components(parent_of(path)));

    FileStatus target = stat_path(path);
    FileStatus link = lstat_path(path);
    if (target.exists || (link.exists && S_ISLNK(link.st.st_mode)))
        return already_exists(path);
    link = lstat_path(path);
    if (link.exists && S_ISLNK(link.st.st_mode))
        return CliError(TS_2002,
                        "config path " + path + " is a symlink \u2014 refuse to write through it");

    const std::string parent = parent_of(path);
    if (!parent.empty()) {
        TRY(make_parent(parent));
        TRY(check_no_symlink_components(parent));
        TRY(make_parent(parent));
        FileStatus dir = lstat_path(parent);
        if (dir.exists && S_ISLNK(dir.st.st_mode))
            return CliError(TS_2002, "config parent " + parent +
                                         " is a symlink \u2014 refuse to write through it");
    }

    auto json = config_to_json(config);
    if (json.is_error())
        return CliError(TS_2002, "encoding config JSON: " + json.error());
    auto sealed = seal_container(json.value().expose_secret());
    if (sealed.is_error())
        return CliError(TS_2002, "TSR1 pack failed");
    const Bytes& container = sealed.value();

    if (parent.empty())
        return CliError(TS_2002, "config path has no parent");
    std::string name = file_name_of(path);
    if (!is_utf8(name))
        name = "config";
    const std::string prefix = (parent == "/" ? parent : parent + "/") + "." + name + ".";

    // A temporary name of this run's own: another init may be writing in the same directory
    // right now, and with a shared name one run would remove or overwrite the other's file.
    // Nothing is ever unlinked that this run did not create.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temp = prefix + unique_temp_part(attempt) + ".tmp";
        fd = ::open(temp.c_str(), flags, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return CliError(TS_2002, "creating temp config: " + error_text(errno));
    int written = write_all(
        fd, std::string_view(reinterpret_cast<const char*>(container.data()), container.size()));
    // A failed close can be the first report of a failed write (network file systems).
    if (::close(fd) != 0 && !written)
        written = errno;
    if (written) {
        // A failed run leaves nothing behind.
        ::unlink(temp.c_str());
        return CliError(TS_2002, "writing temp config: " + write_error_text(written));
    }
    if (int error = publish_without_replacing(temp, path)) {
        if (error == EEXIST)
            return already_exists(path);
        return CliError(TS_2002, "renaming temp config to " + path + ": " + error_text(error));
    }
    return {};
}

}  // namespace tessarin
