#include "src/commands/init.h"

#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <vector>

#include "crypto/core/base64.h"
#include "crypto/core/primitives.h"
#include "crypto/core/random.h"
#include "src/base/posix.h"
#include "src/base/text.h"
#include "src/json/record.h"
#include "src/term/output.h"
#include "src/term/style.h"
#include "src/term/terminal.h"

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

// ascii_lowercase for key material: the copy is a buffer that wipes itself.
SecretBytes to_lower_ascii_secret(std::string_view text) {
    SecretBytes out(text.size());
    auto bytes = out.expose_secret_mut();
    for (size_t i = 0; i < text.size(); ++i) bytes[i] = static_cast<uint8_t>(ascii_lower(text[i]));
    return out;
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
    print_enrolment(config, !config.replica_url.empty(), path);
    write_stdout("\n");
    print_dim("Try: tessarin-cli get \"entry name\"");
    print_dim("     tessarin-cli skill install");
}

// The blob's plaintext: the key and the blob decoded from base64url, the blob opened with the
// key. Anything that does not open is refused without saying which part failed.
Result<SecretBytes> open_blob(std::string_view blob_text, std::string_view key_text) {
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
    return opened.release_value();
}

// The values of the opened blob, as text.
struct BlobValues {
    const StringRecord& record;

    std::string_view text(BlobField field) const {
        const std::optional<SecretBytes>& value = record[field];
        return value ? value->expose_text() : std::string_view();
    }
};

// The gate's key for proofs of possession (64 hex digits), and the agent's id and L2 key (32
// hex digits each).
Result<void> check_keys_and_ids(const BlobValues& values) {
    const std::string_view pop_pub = trim_space(values.text(PopPub));
    if (pop_pub.empty())
        return blob_error(BlobFault::NoPopPub);
    if (pop_pub.size() != 64 || !is_hex_digits(pop_pub))
        return blob_error(BlobFault::NotAuthentic);
    for (BlobField field : {AgentId, L2}) {
        const std::string_view value = values.text(field);
        if (value.size() != 32 || !is_hex_digits(value))
            return blob_error(BlobFault::NotAuthentic);
    }
    return {};
}

// The configuration the checked blob describes: the vault at its pop host, the replica when
// the blob names one, hex written in lower case.
Config config_of(const BlobValues& values, std::string_view pop, uint64_t vault_id) {
    Config config;
    config.vault_url = "https://" + std::string(without_trailing_slashes(pop));
    config.vault_gate_pub = ascii_lowercase(trim_space(values.text(PopPub)));
    const std::string_view replica_host =
        without_trailing_slashes(trim_space(values.text(ReplicaHost)));
    if (!replica_host.empty()) {
        config.replica_url = "https://" + std::string(replica_host);
        config.replica_gate_pub = std::string(trim_space(values.text(ReplicaPub)));
    }
    char id_text[17];
    std::snprintf(id_text, sizeof id_text, "%016llx", static_cast<unsigned long long>(vault_id));
    config.vault_id = id_text;
    config.agent_id = ascii_lowercase(values.text(AgentId));
    config.l2 = to_lower_ascii_secret(values.text(L2));
    return config;
}

// The enrolment key, with echo off when it is typed at a terminal.
Result<SecretBytes> read_key() {
    if (!isatty(STDIN_FILENO))
        return read_input_line("enrollment key");
    return read_hidden(
        "Enrollment key: ",
        "(warning: could not disable terminal echo \u2014 your key will be visible)\n",
        [] { return read_input_line("enrollment key"); });
}

}  // namespace

Result<SecretBytes> read_input_line(std::string_view what) {
    auto line = read_stdin_line(k_line_limit);
    if (!line.is_error())
        return line.release_value();
    const LineFault fault = line.release_error();
    switch (fault.kind) {
        case LineFault::Kind::TooLong:
            return CliError(
                TS_2006, std::string(what) + " exceeds " + std::to_string(k_line_limit) + " bytes");
        case LineFault::Kind::NotUtf8:
            return CliError(TS_2006,
                            std::string(what) + ": not valid UTF-8: " + fault.decoder_message);
        case LineFault::Kind::Read:
            break;
    }
    return CliError(TS_2006, "reading " + std::string(what) + ": " + error_text(fault.error));
}

void print_enrolment(const Config& config, bool with_replica, const std::string& path) {
    print_summary_line("Vault", config.vault_url);
    if (with_replica)
        print_summary_line("Replica", config.replica_url);
    print_summary_line("Vault ID", config.vault_id);
    print_summary_line("Agent", shorten_agent_id(config.agent_id));
    // The path line is secondary: with colour it is grey throughout and never bold.
    if (color_enabled())
        write_stdout(config_line("Config", path));
    else
        print_summary_line("Config", path);
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
    const SecretBytes plaintext = TRY(open_blob(blob_text, key_text));
    auto parsed = parse_string_record(plaintext.expose_text(), "an enrolment blob", k_blob_fields,
                                      UnknownKeys::Ignore);
    if (parsed.is_error())
        return blob_error(BlobFault::NotAuthentic);
    // The buffers stay in the record until it is dropped.
    const BlobValues values{parsed.value()};
    TRY(check_keys_and_ids(values));
    auto vault_id = parse_vault_id(values.text(VaultId));
    if (vault_id.is_error())
        return blob_error(BlobFault::OldVaultId);
    const std::string_view pop = trim_space(values.text(Pop));
    if (pop.empty() || pop.find('\n') != std::string_view::npos)
        return CliError(TS_2001, "enrollment blob carried an empty pop/host");
    return config_of(values, pop, vault_id.value());
}

Result<void> run_init(Invocation& invocation) {
    const std::optional<std::string>& blob_argument = invocation.args().positional();

    // The blob: the argument, or the first line of standard input.
    std::string blob;
    if (blob_argument) {
        blob = *blob_argument;
    } else {
        if (isatty(STDIN_FILENO))
            write_stderr("Paste enrollment blob, then press Enter:\n");
        SecretBytes line = TRY(read_input_line("enrollment blob"));
        blob = std::string(trim_space(line.expose_text()));
        if (blob.empty())
            return CliError(TS_2006, "no blob on stdin (use: tessarin-cli init <blob>)");
    }

    // The key, always from standard input.
    SecretBytes key_line = TRY(read_key());
    const std::string_view key = trim_space(key_line.expose_text());
    if (key.empty())
        return CliError(TS_2006,
                        "no enrollment key provided (paste it when prompted, or pipe it as the "
                        "line after the blob)");

    // The configuration the blob describes, once it has opened and passed its checks.
    Config config = TRY(config_from_enrolment(blob, key));

    // A device id of this enrolment only.
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

    // Write the configuration (an existing one is refused).
    TRY(save_config(config));
    const std::string path = TRY(config_path());

    // What was enrolled, and where the configuration went.
    print_summary(config, path);
    return {};
}

}  // namespace tessarin
