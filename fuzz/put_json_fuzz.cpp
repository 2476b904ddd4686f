// libFuzzer harness for put's JSON form (the text an agent pipes to put --json). Any input must
// give an entry or a coded failure, never a crash; a failure never quotes a value of the
// document; an accepted entry holds only fields of its type, and its URLs are an array.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "src/commands/put.h"

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
    if (entry.is_error()) {
        const std::string& detail = entry.error().detail;
        for (const std::string& value : quotable_values(text))
            check(detail.find(value) == std::string::npos);
        return 0;
    }
    check(between_ran);
    const NewEntry& e = entry.value();
    check(e.type != nullptr);
    for (const auto& [name, value] : e.values) check(e.type->find_field(name) != nullptr);
    if (e.urls)
        check(e.urls->is_array());
    return 0;
}
