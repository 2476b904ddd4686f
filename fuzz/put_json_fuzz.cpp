// libFuzzer harness for put's JSON form (the text an agent pipes to put --json). Any input must
// give an entry or a coded failure, never a crash; a failure never quotes a value of the
// document; an accepted entry holds only fields of its type, with the values nlohmann's parser
// reads from the same text, and its URLs are an array. A document refused as invalid JSON is
// one nlohmann refuses too, or one that breaks the reader's own rules (a key twice, a NUL byte,
// a byte order mark, nesting past 64).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/json_survey.h"
#include "src/commands/put.h"
#include "src/json/reader.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// String values of the document's members that stand for secrets: holding a '$' (which no
// fixed text of a message contains) and at least 8 bytes long, and not part of a key, the type
// or the title, which messages may name.
std::vector<std::string> quotable_values(std::string_view text) {
    std::vector<std::string> out;
    auto doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (!doc.is_object())
        return out;
    std::string named;  // everything a message may quote, joined
    for (const auto& [key, value] : doc.items()) {
        named += key + '\n';
        if ((key == "type" || key == "title") && value.is_string())
            named += value.get<std::string>() + '\n';
    }
    for (const auto& [key, value] : doc.items()) {
        if (key == "type" || key == "title" || !value.is_string())
            continue;
        const std::string& v = value.get_ref<const std::string&>();
        if (v.size() >= 8 && v.find('$') != std::string::npos && named.find(v) == std::string::npos)
            out.push_back(v);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessarin;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    bool between_ran = false;
    auto entry = new_entry_from_json(text, [&]() -> Result<void> {
        between_ran = true;
        return {};
    });
    const fuzz::Survey survey(text);
    if (entry.is_error()) {
        const std::string& detail = entry.error().detail;
        for (const std::string& value : quotable_values(text))
            check(detail.find(value) == std::string::npos);
        constexpr std::string_view invalid = "invalid JSON: ";
        if (fuzz::starts_with(detail, invalid)) {
            check(fuzz::is_reader_refusal(detail.substr(invalid.size()), k_max_input_depth));
            check(survey.reader_may_refuse(k_max_input_depth));
        }
        return 0;
    }
    check(between_ran);
    check(survey.accepted && !survey.duplicate && !survey.has_nul &&
          survey.deepest <= k_max_input_depth);
    const NewEntry& e = entry.value();
    check(e.type != nullptr);
    const auto doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    for (const auto& [name, value] : e.values) {
        check(e.type->find_field(name) != nullptr);
        check(doc.at(name).get_ref<const std::string&>() == value.expose_text());
    }
    if (e.urls)
        check(e.urls->is_array());
    return 0;
}
