// libFuzzer harness for the vault's result records and the three search shapes. The input is
// the JSON text of a reply's result; it reaches the readers the way a gate reply does, through
// the reply decoder. Every '$' becomes key-like canary text, and no reader's error may quote
// it: errors name fields and kinds, never the gate's text. A record read from either form and
// written back in the other reads back to itself; a tier-2 field's value is opened with a
// fixed L2 key without crashing, and a value sealed under its label opens to itself.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "crypto/core/primitives.h"
#include "fuzz/fuzz_support.h"
#include "src/commands/entry_fields.h"
#include "src/gate/gate.h"
#include "src/gate/records.h"
#include "src/gate/reply.h"

namespace {

using nlohmann::json;
using namespace tessarin;
using tessarin::fuzz::quotes_canary;

template <typename T>
json or_null(const std::optional<T>& value) {
    return value ? json(*value) : json();
}

json field_array(const Field& f) {
    return json::array({f.label, f.value, or_null(f.kind), f.tier});
}
json field_object(const Field& f) {
    return {{"label", f.label}, {"value", f.value}, {"kind", or_null(f.kind)}, {"tier", f.tier}};
}

json data_form(const EntryData& d, bool as_array) {
    json fields = json::array();
    for (const Field& f : d.fields) fields.push_back(as_array ? field_array(f) : field_object(f));
    if (as_array)
        return json::array({or_null(d.title), or_null(d.type), fields, d.urls, or_null(d.notes)});
    return {{"title", or_null(d.title)},
            {"type", or_null(d.type)},
            {"fields", fields},
            {"urls", d.urls},
            {"notes", or_null(d.notes)}};
}

json entry_form(const Entry& e, bool as_array) {
    json data = e.data ? data_form(*e.data, as_array) : json();
    if (as_array)
        return json::array({e.entry_id, or_null(e.type), or_null(e.title), data});
    return {{"entry_id", e.entry_id},
            {"type", or_null(e.type)},
            {"title", or_null(e.title)},
            {"data", data}};
}

// An entry written in the other form reads back to the same entry.
void check_entry_round_trip(const Entry& entry) {
    const json as_array = entry_form(entry, true);
    for (bool array_form : {true, false}) {
        auto back = read_entry(entry_form(entry, array_form));
        FUZZ_CHECK(!back.is_error());
        FUZZ_CHECK(entry_form(back.value(), true) == as_array);
    }
}

void check_fields(const Entry& entry) {
    if (!entry.data)
        return;
    static const Bytes l2_key(16, 0x42);
    for (bool with_url : {false, true}) {
        const std::vector<Field> fields = completed_fields(*entry.data, with_url);
        FUZZ_CHECK(fields.size() >= entry.data->fields.size());
        for (const Field& field : fields) {
            FUZZ_CHECK(find_field(fields, field.label) != nullptr);
            if (field.tier != 2)
                continue;
            auto value = field_value(field, l2_key);
            (void)value;
            // Sealing under the label and opening again gives the same bytes.
            auto sealed = encrypt_field(l2_key, field.label, as_bytes(field.value));
            FUZZ_CHECK(!sealed.is_error());
            auto opened = decrypt_field(l2_key, field.label, sealed.value());
            FUZZ_CHECK(!opened.is_error() && opened.value().expose_text() == field.value);
        }
    }
}

void check_error(const ReadError& error) {
    FUZZ_CHECK(!error.message.empty());
    FUZZ_CHECK(!quotes_canary(error.message));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string result_text =
        fuzz::plant_canary(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string payload = "\x10{\"ok\":true,\"result\":";
    payload += result_text;
    payload += "}";
    auto reply = decode_reply(as_bytes(payload), k_max_reply_payload);
    if (reply.is_error())
        return 0;
    const json& result = reply.value().result;

    auto entry = read_entry(result);
    if (entry.is_error()) {
        check_error(entry.error());
    } else {
        check_entry_round_trip(entry.value());
        check_fields(entry.value());
    }

    auto quota = read_quota(result);
    if (quota.is_error()) {
        check_error(quota.error());
    } else if (auto line = quota_warning(quota.value())) {
        FUZZ_CHECK(line->rfind("read quota: ", 0) == 0);
    }

    auto totp = read_totp_response(result);
    if (totp.is_error())
        check_error(totp.error());

    if (auto found = read_search_response(result)) {
        switch (found->shape) {
            case SearchResponse::Shape::Plain:
                FUZZ_CHECK(result.is_array() && found->entries.size() == result.size());
                break;
            case SearchResponse::Shape::Wrapped:
                FUZZ_CHECK(result.is_object() || result.is_array());
                break;
            case SearchResponse::Shape::CountCrypto:
                FUZZ_CHECK(found->entries.empty());
                break;
        }
        for (const Entry& e : found->entries) check_entry_round_trip(e);
        for (const MatchInfo& m : found->matches) (void)display_line(m.title, m.type);
    }
    return 0;
}
