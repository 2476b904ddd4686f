// The agent's configuration: where the file lives (config_path.cc), the closed JSON record
// inside its TSR1 container and what it must hold (config_record.cc), loading with every check
// (config_read.cc), and the atomic write used by init with its check that a record will load
// (config_write.cc).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/core/secret.h"
#include "src/base/errors.h"

namespace tessarin {

// The plaintext record, all values text. Written compactly with the keys in this order;
// replica_url and replica_gate_pub only when non-empty.
struct Config {
    std::string vault_url;         // required
    std::string vault_gate_pub;    // optional, 64 hex digits
    std::string replica_url;       // optional
    std::string replica_gate_pub;  // optional, 64 hex digits
    std::string vault_id;          // required, 16 lower-case hex digits
    std::string agent_id;          // required, 32 hex digits
    SecretBytes l2;                // required, 32 hex digits: the agent's L2 key
    std::string device_id;         // required, 32 hex digits
};

// One gate: where requests go and the static key its Noise handshake is sealed to.
struct GateEndpoint {
    std::string url;                     // "https://host/gate"
    std::array<uint8_t, 32> public_key;  // the gate's X25519 static public key
};

// What load_config hands to a command; owned by the command until the process ends.
struct LoadedConfig {
    GateEndpoint primary;
    std::optional<GateEndpoint> replica;  // only when both replica values are non-blank
    SecretBytes agent_token;              // the TSK text, minted at load, never written
    uint64_t vault_id = 0;
    std::array<uint8_t, 16> agent_id{};
    SecretBytes l2_key;  // 16 bytes
    std::array<uint8_t, 16> device_id{};

    // The agent token: a bearer credential.
    std::string_view expose_token() const { return agent_token.expose_text(); }
};

// $XDG_CONFIG_HOME/tessarin/config, or $HOME/.config/tessarin/config. Creates nothing.
// TS-2003 when neither variable gives an absolute base.
Result<std::string> config_path();

// lstat every prefix of path ("/", "/a", "/a/b", …, the path itself): a symbolic link is
// refused (TS-2003), a missing prefix ends the walk successfully.
Result<void> check_no_symlink_components(std::string_view path);

// Finds, checks, decrypts and validates the configuration and mints the agent token.
Result<LoadedConfig> load_config();

// The configuration file as load_config reads and checks it: where it is, the record it holds
// and what loading made of it.
struct ConfigRecord {
    std::string path;
    Config record;
    LoadedConfig loaded;
};
Result<ConfigRecord> load_config_record();

// The checks of loading that follow the parse, in order (vault id, hex values, the token,
// the gate key and URL, the replica), and the LoadedConfig they build.
Result<LoadedConfig> load_record(const Config& config);

// The plaintext of a configuration file parsed (TS-2004 "config JSON parse: {}") and put through
// load_record: the record and what loading made of it, the path left empty.
Result<ConfigRecord> load_record_json(std::string_view json);

// Whether a record about to be written will load: written as save_config writes it, parsed
// back and put through load_record. The error is the one every later load would meet.
Result<void> check_loadable(const Config& config);

// Writes a new configuration file atomically: a temporary file of this run's own (mode 0600),
// then published under the final name only if that name is still free. Refuses to replace an
// existing file or link (TS-2002), also one that another init published meanwhile.
Result<void> save_config(const Config& config);

// "https://host/" → "https://host/gate". TS-2000 for another scheme or an unclean origin.
Result<std::string> gate_url(std::string_view origin);

// A vault id: 16 lower-case hex digits, issuer byte 1..127, non-zero random part. The error
// is a reason word: wrong_length, hex_prefix, uppercase, whitespace, sign, invalid_char,
// zero, top_bit_set, issuer_zero, random_part_zero.
BasicResult<uint64_t, std::string_view> parse_vault_id(std::string_view text);

// The record as compact JSON, keys in declared order (replica keys only when non-empty), in a
// buffer that wipes itself. The error names the member whose value is not UTF-8.
BasicResult<SecretBytes, std::string> config_to_json(const Config& config);
// Parses the object form (closed: unknown or repeated keys refused) or the eight-value array
// form. The error is the parser's message, which names positions and keys, never values.
BasicResult<Config, std::string> config_from_json(std::string_view json);

}  // namespace tessarin
