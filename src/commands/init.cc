#include "src/commands/init.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "crypto/core/base64.h"
#include "crypto/core/primitives.h"
#include "crypto/core/random.h"
#include "crypto/core/utf8.h"
#include "src/help_text.h"
#include "src/json_record.h"
#include "src/output.h"
#include "src/posix.h"
#include "src/text.h"

extern char** environ;

namespace tessarin {

namespace {

constexpr size_t k_line_limit = 65536;

// Why a blob and key were refused; each cause has one fixed detail for the user.
enum class BlobFault { NotBase64url, KeyLength, OldVaultId, NoPopPub, NotAuthentic };

CliError blob_error(BlobFault fault) {
    switch (fault) {
        case BlobFault::NotBase64url:
            return CliError(TS_2001, "enrollment blob or key is not base64url");
        case BlobFault::KeyLength:
            return CliError(TS_2001,
                            "enrollment key must be 32 bytes (base64url of a 256-bit key)");
        case BlobFault::OldVaultId:
            return CliError(TS_2001,
                            "enrollment blob carries an old-form vault id \u2014 mint a new blob");
        case BlobFault::NoPopPub:
            return CliError(TS_2001,
                            "this enrollment blob is from before blobs carried the POP key \u2014 "
                            "make a new client blob in the vault and connect again");
        case BlobFault::NotAuthentic:
            break;
    }
    return CliError(TS_2001,
                    "enrollment blob did not authenticate \u2014 wrong key or corrupt blob");
}

// The blob's record, in the order the array form lists its values.
constexpr RecordField k_blob_fields[] = {
    {"agent_id", true, false},     {"l2", true, false},      {"vault_id", true, false},
    {"pop", true, false},          {"pop_pub", false, true}, {"replica_host", false, false},
    {"replica_pub", false, false},
};
enum BlobField { AgentId, L2, VaultId, Pop, PopPub, ReplicaHost, ReplicaPub };

// Trimmed, with trailing "=" padding dropped: the tolerant form of base64url the vault's
// user interface hands out.
std::string_view unpadded(std::string_view text) {
    text = trim_space(text);
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    return text;
}

std::string_view without_trailing_slashes(std::string_view text) {
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    return text;
}

bool is_hex_digits(std::string_view text) {
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string to_lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lower_ascii(c);
    return out;
}

// The same for key material: the copy is a buffer that wipes itself.
SecretBytes to_lower_ascii_secret(std::string_view text) {
    SecretBytes out(text.size());
    auto bytes = out.expose_secret_mut();
    for (size_t i = 0; i < text.size(); ++i) bytes[i] = static_cast<uint8_t>(lower_ascii(text[i]));
    return out;
}

// The process-wide note of a termination signal that arrived while the key was being typed
// with echo off. A signal handler can reach nothing else; it is zero outside that window.
volatile std::sig_atomic_t g_caught_signal = 0;
// A pipe the handler also writes a byte to, so that a wait for input that began just after
// the flag was checked still ends; both ends are -1 outside that window.
volatile std::sig_atomic_t g_wake_write = -1;
int g_wake_read = -1;

extern "C" void note_signal(int signal) {
    g_caught_signal = signal;
    if (g_wake_write >= 0) {
        const char byte = 0;
        ssize_t ignored = ::write(g_wake_write, &byte, 1);
        (void)ignored;
    }
}

// While alive, SIGINT, SIGTERM, SIGHUP and SIGQUIT interrupt the read of the key instead of
// ending the process, so that echo is switched back on first; the signal is then delivered
// again with the previous disposition by redeliver().
class EchoSignalGuard {
  public:
    EchoSignalGuard() {
        g_caught_signal = 0;
        if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) == 0) {
            g_wake_read = m_wake[0];
            g_wake_write = m_wake[1];
        }
        for (size_t i = 0; i < k_count; ++i) {
            struct sigaction action {};
            action.sa_handler = note_signal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;  // no SA_RESTART: the blocked read returns EINTR
            m_installed[i] = false;
            if (sigaction(k_signals[i], nullptr, &m_previous[i]) != 0)
                continue;
            if (m_previous[i].sa_handler == SIG_IGN)
                continue;  // an ignored signal stays ignored
            m_installed[i] = sigaction(k_signals[i], &action, nullptr) == 0;
        }
    }
    ~EchoSignalGuard() {
        restore();
        for (int fd : m_wake)
            if (fd >= 0)
                ::close(fd);
    }
    EchoSignalGuard(const EchoSignalGuard&) = delete;
    EchoSignalGuard& operator=(const EchoSignalGuard&) = delete;

    // Puts the previous dispositions back and raises a signal that arrived meanwhile.
    void redeliver() {
        restore();
        int signal = g_caught_signal;
        g_caught_signal = 0;
        if (signal)
            std::raise(signal);
    }

  private:
    void restore() {
        for (size_t i = 0; i < k_count; ++i) {
            if (m_installed[i])
                sigaction(k_signals[i], &m_previous[i], nullptr);
            m_installed[i] = false;
        }
        g_wake_write = -1;
        g_wake_read = -1;
    }
    static constexpr size_t k_count = 4;
    static constexpr int k_signals[k_count] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction m_previous[k_count] {};
    bool m_installed[k_count] = {};
    int m_wake[2] = {-1, -1};
};

// Waits until standard input has something to read, or a noted signal woke the wait. False
// when the wait ended without input (the caller checks the signal flag again).
bool wait_for_input() {
    if (g_wake_read < 0)
        return true;  // no signal window open: the read itself waits
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake_read, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0)
        return errno != EINTR;  // another failure: the read reports it
    return !(fds[1].revents & POLLIN);
}

// The environment of stty: ours without the variables through which the dynamic linker would
// load or audit foreign code (LD_PRELOAD, LD_LIBRARY_PATH, LD_AUDIT, … and the DYLD_ forms).
std::vector<char*> stty_environment() {
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        if (entry.substr(0, 3) == "LD_" || entry.substr(0, 5) == "DYLD_")
            continue;
        env.push_back(*e);
    }
    env.push_back(nullptr);
    return env;
}

bool run_stty(const char* program, const char* argument, char* const* env) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    // Standard input is inherited: it is the terminal whose echo changes.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program, &actions, nullptr, argv, env);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string config_line(std::string_view label, std::string_view value) {
    SafeText safe = terminal_safe(value);
    std::string line;
    line.append(style::grey).append("\u2192 ").append(label).append(": ");
    line.append(safe.view()).append(style::reset).push_back('\n');
    return line;
}

void print_summary(const Config& config, const std::string& path) {
    print_ok("Enrolled.");
    print_summary_line("Vault", config.vault_url);
    if (!config.replica_url.empty())
        print_summary_line("Replica", config.replica_url);
    print_summary_line("Vault ID", config.vault_id);
    print_summary_line("Agent", shorten_agent_id(config.agent_id));
    // The path line is secondary: with colour it is grey throughout and never bold.
    if (color_enabled())
        write_stdout(config_line("Config", path));
    else
        print_summary_line("Config", path);
    write_stdout("\n");
    print_dim("Try: tessarin-cli get \"entry name\"");
    print_dim("     tessarin-cli skill install");
}

// Step 2 of enrolment: the key, with echo off when it is typed at a terminal.
Result<SecretBytes> read_key() {
    if (!isatty(STDIN_FILENO))
        return read_input_line("enrollment key");
    EchoSignalGuard guard;
    // Echo goes off before the prompt appears, so nothing typed after the prompt is shown.
    const bool echo_off = set_terminal_echo(false);
    write_stderr("Enrollment key: ");
    if (!echo_off) {
        write_stderr(
            "(warning: could not disable terminal echo \u2014 your key will be visible)\n");
        auto line = read_input_line("enrollment key");
        guard.redeliver();
        return line;
    }
    auto line = read_input_line("enrollment key");
    set_terminal_echo(true);
    write_stderr("\n");  // the typed Enter was not echoed
    guard.redeliver();
    return line;
}

}  // namespace

Result<SecretBytes> read_input_line(std::string_view what) {
    // Room for one byte past the limit, allocated once: the key never moves in memory.
    SecretBytes line(k_line_limit + 1);
    size_t length = 0;
    for (;;) {
        if (g_caught_signal)
            return CliError(TS_2006, "reading " + std::string(what) + ": " + error_text(EINTR));
        if (!wait_for_input())
            continue;
        uint8_t byte = 0;
        ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n < 0) {
            if (errno == EINTR && !g_caught_signal)
                continue;
            return CliError(TS_2006, "reading " + std::string(what) + ": " + error_text(errno));
        }
        if (n == 0 || byte == '\n')
            break;
        if (length == k_line_limit)
            return CliError(
                TS_2006, std::string(what) + " exceeds " + std::to_string(k_line_limit) + " bytes");
        line.expose_secret_mut()[length++] = byte;
    }
    line.truncate(length);
    if (auto fault = utf8_check(line.expose_text()))
        return CliError(TS_2006, std::string(what) + ": not valid UTF-8: " + fault->message());
    return line;
}

bool set_terminal_echo(bool on) {
    std::vector<char*> env = stty_environment();
    const char* argument = on ? "echo" : "-echo";
    for (const char* program : {"/bin/stty", "/usr/bin/stty"}) {
        if (run_stty(program, argument, env.data()))
            return true;
    }
    return false;
}

std::string shorten_agent_id(std::string_view id) {
    // Byte offsets of the characters (UTF-8 lead bytes).
    std::vector<size_t> starts;
    for (size_t i = 0; i < id.size(); ++i)
        if ((static_cast<unsigned char>(id[i]) & 0xC0) != 0x80)
            starts.push_back(i);
    const size_t count = starts.size();
    if (count == 0)
        return "(empty)";
    if (count <= 8)
        return std::string(id);
    std::string out(id.substr(0, starts[8]));
    out += "\u2026";
    if (count > 24)  // from the 25th character on (nothing when there are exactly 24)
        out += id.substr(starts[24]);
    return out;
}

Result<Config> config_from_enrolment(std::string_view blob_text, std::string_view key_text) {
    auto key = base64url_decode_secret(unpadded(key_text));
    if (!key)
        return blob_error(BlobFault::NotBase64url);
    if (key->size() != 32)
        return blob_error(BlobFault::KeyLength);
    auto blob = base64url_decode(unpadded(blob_text));
    if (!blob)
        return blob_error(BlobFault::NotBase64url);

    auto opened = aead_open(key->expose_secret(), *blob);
    if (opened.is_error())
        return blob_error(BlobFault::NotAuthentic);
    const SecretBytes plaintext = opened.release_value();

    auto parsed = parse_string_record(plaintext.expose_text(), "struct BlobJson", k_blob_fields,
                                      UnknownKeys::Ignore);
    if (parsed.is_error())
        return blob_error(BlobFault::NotAuthentic);
    StringRecord& blob_json = parsed.value();

    // Values of the blob, as text; the buffers stay in blob_json until it is dropped.
    auto text_of = [&](BlobField field) -> std::string_view {
        const std::optional<SecretBytes>& value = blob_json[field];
        return value ? value->expose_text() : std::string_view();
    };
    const std::string_view pop_pub = trim_space(text_of(PopPub));
    if (pop_pub.empty())
        return blob_error(BlobFault::NoPopPub);
    if (pop_pub.size() != 64 || !is_hex_digits(pop_pub))
        return blob_error(BlobFault::NotAuthentic);

    for (BlobField field : {AgentId, L2}) {
        const std::string_view value = text_of(field);
        if (value.size() != 32 || !is_hex_digits(value))
            return blob_error(BlobFault::NotAuthentic);
    }

    auto vault_id = parse_vault_id(text_of(VaultId));
    if (vault_id.is_error())
        return blob_error(BlobFault::OldVaultId);

    const std::string_view pop = trim_space(text_of(Pop));
    if (pop.empty() || pop.find('\n') != std::string_view::npos)
        return CliError(TS_2001, "enrollment blob carried an empty pop/host");

    Config config;
    config.vault_url = "https://" + std::string(without_trailing_slashes(pop));
    config.vault_gate_pub = to_lower_ascii(pop_pub);
    const std::string_view replica_host =
        without_trailing_slashes(trim_space(text_of(ReplicaHost)));
    if (!replica_host.empty()) {
        config.replica_url = "https://" + std::string(replica_host);
        config.replica_gate_pub = std::string(trim_space(text_of(ReplicaPub)));
    }
    char id_text[17];
    std::snprintf(id_text, sizeof id_text, "%016llx",
                  static_cast<unsigned long long>(vault_id.value()));
    config.vault_id = id_text;
    // Hex of the decoded bytes, written in lower case.
    config.agent_id = to_lower_ascii(text_of(AgentId));
    config.l2 = to_lower_ascii_secret(text_of(L2));
    return config;
}

Result<void> run_init(ArgLexer& args) {
    std::optional<std::string> blob_argument;
    for (;;) {
        auto token = TRY(args.next());
        if (!token)
            break;
        if (token->is_long("help")) {
            write_stdout(k_usage_init);
            return {};
        }
        if (token->is_value() && !blob_argument) {
            if (token->text == "help") {
                write_stdout(k_usage_init);
                return {};
            }
            blob_argument = TRY(require_utf8(std::move(token->text), "blob"));
            continue;
        }
        return unexpected(*token);
    }

    // 1. The blob: the argument, or the first line of standard input.
    std::string blob;
    if (blob_argument) {
        blob = std::move(*blob_argument);
    } else {
        if (isatty(STDIN_FILENO))
            write_stderr("Paste enrollment blob, then press Enter:\n");
        SecretBytes line = TRY(read_input_line("enrollment blob"));
        blob = std::string(trim_space(line.expose_text()));
        if (blob.empty())
            return CliError(TS_2006, "no blob on stdin (use: tessarin-cli init <blob>)");
    }

    // 2. The key, always from standard input.
    SecretBytes key_line = TRY(read_key());
    const std::string_view key = trim_space(key_line.expose_text());
    if (key.empty())
        return CliError(TS_2006,
                        "no enrollment key provided (paste it when prompted, or pipe it as the "
                        "line after the blob)");

    // 3-10. Open and check the blob.
    Config config = TRY(config_from_enrolment(blob, key));

    // 11. A device id of this enrolment only.
    std::array<uint8_t, 16> device{};
    auto drawn = random_fill_os(device);
    if (drawn.is_error())
        return CliError(TS_2001, "RNG failure: " + drawn.error().message());
    config.device_id = hex_encode(device);

    // Never enrol what no later command could load (a pop such as "a@b" or one holding a
    // space, a replica key that is not hex): the loader's own checks, before anything is
    // written, and its detail under the enrolment's code.
    if (auto loadable = check_loadable(config); loadable.is_error())
        return CliError(TS_2001, loadable.error().detail);

    // 12. Write the configuration (refuses an existing one).
    TRY(save_config(config));
    const std::string path = TRY(config_path());

    // 13. The summary.
    print_summary(config, path);
    return {};
}

}  // namespace tessarin
