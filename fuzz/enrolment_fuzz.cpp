// libFuzzer harness for opening an enrolment blob (what init does with the blob and key it
// reads). The first byte picks the mode:
//   0  the rest, with every '$' turned into canary text (32 hex digits, so it passes for an
//      L2 key or an agent id), is the blob's JSON: it is sealed under a fixed key and handed
//      over as base64url, with padding and white space chosen by the second byte;
//   1  the rest is the blob text and the key text, split at the first line feed.
// Every refusal is TS-2001 with one of the fixed details, which never quote the blob. An
// accepted blob is one JSON object or array with nothing after it, and gives a record in the
// form the configuration file keeps (hex keys in lower case, a well-formed vault id, JSON that
// reads back to the same record); the loader's checks
// that init then runs on it fail as values that never quote the L2 key or the agent id.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/core/base64.h"
#include "crypto/core/primitives.h"
#include "fuzz/fuzz_support.h"
#include "src/commands/init.h"
#include "src/config/config.h"

namespace {

using namespace tessarin;
using tessarin::fuzz::Input;
using tessarin::fuzz::quotes_canary;

bool is_lower_hex(std::string_view text, size_t length) {
    return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

void check_refusal(const CliError& error) {
    static const std::string_view details[] = {
        "enrollment blob or key is not base64url",
        "enrollment key must be 32 bytes (base64url of a 256-bit key)",
        "enrollment blob carries an old-form vault id \u2014 mint a new blob",
        "this enrollment blob is from before blobs carried the POP key \u2014 make a new client "
        "blob in the vault and connect again",
        "enrollment blob did not authenticate \u2014 wrong key or corrupt blob",
        "enrollment blob carried an empty pop/host",
    };
    FUZZ_CHECK(error.error == &TS_2001);
    FUZZ_CHECK(std::find(std::begin(details), std::end(details), error.detail) !=
               std::end(details));
}

// Whether the canary was planted in a value the loader may name in its refusals: the gate
// URLs it echoes and the keys it reads. The L2 key and the agent id it never names.
bool canary_in_named_value(const Config& c) {
    return quotes_canary(c.vault_url) || quotes_canary(c.replica_url) ||
           quotes_canary(c.vault_gate_pub) || quotes_canary(c.replica_gate_pub);
}

void check_record(Config& c) {
    FUZZ_CHECK(is_lower_hex(c.l2.expose_text(), 32));
    FUZZ_CHECK(is_lower_hex(c.agent_id, 32));
    FUZZ_CHECK(is_lower_hex(c.vault_gate_pub, 64));
    FUZZ_CHECK(c.device_id.empty());
    FUZZ_CHECK(!parse_vault_id(c.vault_id).is_error());
    if (c.replica_url.empty())
        FUZZ_CHECK(c.replica_gate_pub.empty());

    auto written = config_to_json(c);
    FUZZ_CHECK(!written.is_error());
    auto back = config_from_json(written.value().expose_text());
    FUZZ_CHECK(!back.is_error());
    auto again = config_to_json(back.value());
    FUZZ_CHECK(!again.is_error() && again.value().expose_text() == written.value().expose_text());

    // What init does next: a device id, then the loader's checks, whose refusal init reports.
    c.device_id = "00112233445566778899aabbccddeeff";
    auto loadable = check_loadable(c);
    if (loadable.is_error() && !canary_in_named_value(c))
        FUZZ_CHECK(!quotes_canary(loadable.error().display()));
}

// Whether the blob was accepted.
bool open(std::string_view blob, std::string_view key) {
    auto config = config_from_enrolment(blob, key);
    if (config.is_error()) {
        check_refusal(config.error());
        return false;
    }
    check_record(config.value());
    return true;
}

void sealed_blob(Input& input) {
    static const Bytes key(32, 0x5a);
    static const std::string key_text = base64url_encode(key);
    const uint8_t form = input.byte();
    const std::string json = fuzz::plant_canary(input.rest());
    auto sealed = aead_seal(key, as_bytes(json));
    FUZZ_CHECK(!sealed.is_error());

    // The vault's user interface may hand out padded text; people paste it with white space.
    std::string blob = base64url_encode(sealed.value());
    if (form & 1)
        blob.append((4 - blob.size() % 4) % 4, '=');
    if (form & 2)
        blob = " \t" + blob + "\r\n";
    std::string key_form = key_text;
    if (form & 4)
        key_form += "=";
    if (open(blob, key_form))
        FUZZ_CHECK(fuzz::is_one_container(json));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    if (input.byte() % 2 == 0) {
        sealed_blob(input);
    } else {
        const std::string_view text = input.rest();
        const size_t line_feed = std::min(text.find('\n'), text.size());
        open(text.substr(0, line_feed), text.substr(std::min(line_feed + 1, text.size())));
    }
    return 0;
}
