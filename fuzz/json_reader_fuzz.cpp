// libFuzzer harness for the one JSON reader, checked against nlohmann's full parser. The first
// byte picks the nesting limit (2, 8 or 127 containers) and whether the document is read as a
// value or as a top-level object's members (the form put --json and create --json read, the
// member "k" kept whole); the rest, with every '$' turned into canary text, is the document.
//   - What the reader accepts, nlohmann accepts with the same value (same types, same numbers,
//     same strings), and it names no key twice in one object, nests within the limit and holds
//     no NUL byte.
//   - What the reader refuses, nlohmann refuses too, or it names a key twice, nests too deep,
//     holds a NUL byte (nlohmann's lexer takes one for the end of its input) or starts with a
//     byte order mark (nlohmann skips one).
//   - A refusal is one of the reader's kinds at "line L, column C" and never quotes the text.
//   - The members form agrees with the value form: same acceptance, the same members with the
//     same kinds, string values and kept value.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/json_survey.h"
#include "src/json/reader.h"
#include "src/json/record.h"
#include "src/json/value.h"

namespace {

using nlohmann::json;
using tessarin::JsonKind;
using tessarin::fuzz::quotes_canary;
using tessarin::fuzz::Survey;

// Equal values of equal types, all the way down (nlohmann's == takes 1 and 1u for equal).
bool same(const json& a, const json& b) {
    if (a.type() != b.type())
        return false;
    if (a.is_object()) {
        if (a.size() != b.size())
            return false;
        for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
            if (i.key() != j.key() || !same(i.value(), j.value()))
                return false;
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!same(a[i], b[i]))
                return false;
        return true;
    }
    return a == b;
}

JsonKind kind_of(const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            return JsonKind::Null;
        case json::value_t::boolean:
            return JsonKind::Boolean;
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
            return JsonKind::Integer;
        case json::value_t::number_float:
            return JsonKind::Float;
        case json::value_t::string:
            return JsonKind::String;
        case json::value_t::object:
            return JsonKind::Object;
        default:
            return JsonKind::Array;
    }
}

void check_members(std::string_view text, size_t max_depth, const json* value) {
    static constexpr std::string_view keep[] = {"k"};
    auto read = tessarin::parse_members(text, max_depth, keep);
    FUZZ_CHECK(read.is_error() == (value == nullptr));
    if (!value)
        return;
    const tessarin::JsonMembers& members = read.value();
    FUZZ_CHECK(members.is_object == value->is_object());
    if (!value->is_object()) {
        FUZZ_CHECK(members.members.empty());
        return;
    }
    FUZZ_CHECK(members.members.size() == value->size());
    for (const tessarin::JsonMember& m : members.members) {
        const auto it = value->find(m.key);
        FUZZ_CHECK(it != value->end());
        FUZZ_CHECK(m.kind == kind_of(*it));
        if (m.kind == JsonKind::String)
            FUZZ_CHECK(m.text.expose_text() == it->get_ref<const std::string&>());
        else
            FUZZ_CHECK(m.text.empty());
        const bool kept = m.key == "k" && (it->is_object() || it->is_array());
        FUZZ_CHECK(m.value.has_value() == kept);
        if (kept)
            FUZZ_CHECK(same(*m.value, *it));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tessarin::fuzz::Input input(data, size);
    const uint8_t mode = input.byte();
    static constexpr size_t depths[] = {2, 8, 127, 127};
    const size_t max_depth = depths[mode % 4];
    const std::string text = tessarin::fuzz::plant_canary(input.rest());

    auto ours = tessarin::parse_json_value(text, max_depth);
    const Survey survey(text);

    if (ours.is_error()) {
        const std::string& message = ours.error();
        FUZZ_CHECK(tessarin::fuzz::is_reader_refusal(message, max_depth));
        FUZZ_CHECK(!quotes_canary(message));
        FUZZ_CHECK(survey.reader_may_refuse(max_depth));
        if (tessarin::fuzz::starts_with(message, "duplicate key at "))
            FUZZ_CHECK(survey.duplicate);
        if (tessarin::fuzz::starts_with(message, "nesting deeper than "))
            FUZZ_CHECK(survey.deepest > max_depth);
    } else {
        FUZZ_CHECK(survey.accepted && !survey.duplicate && survey.deepest <= max_depth &&
                   !survey.has_nul);
        const json theirs = json::parse(text, nullptr, /*allow_exceptions=*/false);
        FUZZ_CHECK(!theirs.is_discarded());
        FUZZ_CHECK(same(ours.value(), theirs));
        FUZZ_CHECK(ours.value().dump() == theirs.dump());
    }
    if (mode & 4)
        check_members(text, max_depth, ours.is_error() ? nullptr : &ours.value());
    return 0;
}
