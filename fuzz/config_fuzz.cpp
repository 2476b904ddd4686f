// libFuzzer harness for the TSR1 configuration container and the configuration record inside
// it. The first byte picks the mode:
//   0  the rest is a container file: opening it fails with the container's codes (too short,
//      bad magic, bad MAC, and what opening the body can report), and a file that does open
//      is one whose MAC and tag were computed, so it seals back to the same plaintext;
//   1  the rest, with every '$' turned into key-like canary text, is the record's JSON: it is
//      sealed and opened again unchanged, then read as a Config. A record that reads is one
//      object or array with nothing after it, holds the values nlohmann's parser reads from
//      the same text, and writes back to the same record (and that text to
//      itself); a refusal names positions, kinds and keys, never a value, so no refusal quotes the
//      canary outside an unknown key's name. The loader's checks that follow fail as values that
//      never quote the L2 key.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/core/catalogue.h"
#include "crypto/core/container.h"
#include "crypto/core/token.h"
#include "fuzz/fuzz_support.h"
#include "src/config/config.h"

namespace {

using namespace tessarin;
using tessarin::fuzz::Input;
using tessarin::fuzz::quotes_canary;

void container_file(std::string_view file) {
    auto opened = open_container(as_bytes(file));
    if (opened.is_error()) {
        const TessarinError* code = opened.error().record;
        FUZZ_CHECK(code == &TS_0008 || code == &TS_0009 || code == &TS_0003 || code == &TS_0010 ||
                   code == &TS_0001 || code == &TS_0005);
        FUZZ_CHECK((code == &TS_0008) == (file.size() < k_container_min_length));
        return;
    }
    FUZZ_CHECK(file.size() >= k_container_min_length && file.substr(0, 4) == "TSR1");
    auto sealed = seal_container(opened.value().expose_secret());
    FUZZ_CHECK(!sealed.is_error() && sealed.value().size() == file.size());
}

// The message without the key an "unknown field `KEY`" refusal names.
std::string_view without_unknown_key(std::string_view message) {
    constexpr std::string_view unknown = "unknown field `";
    if (message.substr(0, unknown.size()) != unknown)
        return message;
    // The last one: the key itself may hold the same text.
    const size_t close = message.rfind("`, expected one of ");
    FUZZ_CHECK(close != std::string_view::npos);
    return message.substr(close);
}

// The record as the configuration file holds it; a record that was read always writes.
// The record's values read by nlohmann's parser agree with ours: same text, where the record
// has it, for each field, in either form.
void check_against_nlohmann(std::string_view json, const Config& c) {
    const nlohmann::json doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    FUZZ_CHECK(!doc.is_discarded() && (doc.is_object() || doc.is_array()));
    const std::string_view ours[] = {c.vault_url,        c.vault_gate_pub, c.replica_url,
                                     c.replica_gate_pub, c.vault_id,       c.agent_id,
                                     c.l2.expose_text(), c.device_id};
    static constexpr std::string_view names[] = {
        "vault_url", "vault_gate_pub", "replica_url", "replica_gate_pub",
        "vault_id",  "agent_id",       "l2",          "device_id"};
    for (size_t i = 0; i < std::size(names); ++i) {
        const nlohmann::json* value = nullptr;
        if (doc.is_object() && doc.contains(names[i]))
            value = &doc.at(std::string(names[i]));
        else if (doc.is_array() && i < doc.size())
            value = &doc.at(i);
        if (!value) {
            FUZZ_CHECK(ours[i].empty());
            continue;
        }
        FUZZ_CHECK(value->is_string() && value->get_ref<const std::string&>() == ours[i]);
    }
}

std::string written_form(const Config& c) {
    auto written = config_to_json(c);
    FUZZ_CHECK(!written.is_error());
    return std::string(written.value().expose_text());
}

void record(std::string_view json) {
    auto sealed = seal_container(as_bytes(json));
    FUZZ_CHECK(!sealed.is_error());
    auto opened = open_container(sealed.value());
    FUZZ_CHECK(!opened.is_error() && opened.value().expose_text() == json);

    auto config = config_from_json(json);
    if (config.is_error()) {
        const std::string_view message = without_unknown_key(config.error());
        FUZZ_CHECK(!message.empty());
        FUZZ_CHECK(message.find("internal parser state") == std::string::npos);
        FUZZ_CHECK(!quotes_canary(message));
        return;
    }
    FUZZ_CHECK(fuzz::is_one_container(json));
    const Config& c = config.value();
    check_against_nlohmann(json, c);
    const std::string written = written_form(c);
    auto again = config_from_json(written);
    FUZZ_CHECK(!again.is_error());
    FUZZ_CHECK(written_form(again.value()) == written);
    const Config& d = again.value();
    FUZZ_CHECK(d.vault_url == c.vault_url && d.vault_gate_pub == c.vault_gate_pub &&
               d.replica_url == c.replica_url && d.replica_gate_pub == c.replica_gate_pub &&
               d.vault_id == c.vault_id && d.agent_id == c.agent_id &&
               d.l2.expose_text() == c.l2.expose_text() && d.device_id == c.device_id);

    // The loader's checks that follow the parse. Its refusals may name the gate URLs and
    // keys, never the L2 key, the agent id or the device id.
    auto loaded = load_record(c);
    if (loaded.is_error()) {
        const bool named = quotes_canary(c.vault_url) || quotes_canary(c.replica_url) ||
                           quotes_canary(c.vault_gate_pub) || quotes_canary(c.replica_gate_pub) ||
                           quotes_canary(c.vault_id);
        if (!named)
            FUZZ_CHECK(!quotes_canary(loaded.error().display()));
        return;
    }
    const LoadedConfig& l = loaded.value();
    FUZZ_CHECK(l.l2_key.size() == 16 && l.expose_token().size() == k_token_length);
    for (const GateEndpoint* gate : {&l.primary, l.replica ? &*l.replica : nullptr}) {
        if (!gate)
            continue;
        FUZZ_CHECK(gate->url.size() >= 14 && gate->url.substr(gate->url.size() - 5) == "/gate");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    if (input.byte() % 2 == 0)
        container_file(input.rest());
    else
        record(fuzz::plant_canary(input.rest()));
    return 0;
}
