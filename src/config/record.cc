// The configuration record and what it must hold: the record as compact JSON and back, the
// vault id, the gate URLs, and the checks that turn a record into what a command loads.
#include <algorithm>

#include "crypto/core/base64.h"
#include "crypto/core/json_text.h"
#include "crypto/core/token.h"
#include "src/base/text.h"
#include "src/config/config.h"
#include "src/json/record.h"

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

// The replica gate, when both of its values are there; a malformed key is TS-2047.
Result<std::optional<GateEndpoint>> replica_of(const Config& config) {
    const std::string_view replica_url = trim_space(config.replica_url);
    const std::string_view replica_pub = trim_space(config.replica_gate_pub);
    if (replica_url.empty() || replica_pub.empty())
        return std::optional<GateEndpoint>();
    GateEndpoint replica;
    replica.url = TRY(gate_url(config.replica_url));
    auto key = hex_decode_secret(replica_pub);
    if (!key)
        return CliError(TS_2047, "replica_gate_pub is not valid hex");
    if (key->size() != 32)
        return CliError(TS_2047, "replica_gate_pub must be 32 bytes (64 hex chars)");
    replica.public_key = to_array<32>(*key);
    return std::optional<GateEndpoint>(std::move(replica));
}

}  // namespace

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
    auto parsed =
        parse_string_record(json, "a configuration record", k_config_fields, UnknownKeys::Refuse);
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
    loaded.replica = TRY(replica_of(config));
    return loaded;
}

Result<ConfigRecord> load_record_json(std::string_view json) {
    auto parsed = config_from_json(json);
    if (parsed.is_error())
        return CliError(TS_2004, "config JSON parse: " + parsed.release_error());
    LoadedConfig loaded = TRY(load_record(parsed.value()));
    return ConfigRecord{{}, parsed.release_value(), std::move(loaded)};
}

}  // namespace tessarin
