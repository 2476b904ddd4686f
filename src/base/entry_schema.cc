#include "src/base/entry_schema.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <nlohmann/json.hpp>

#include "src/base/text.h"

namespace tessarin {

namespace {

using Json = nlohmann::ordered_json;  // keeps field names in document order

using ParseResult = BasicResult<Schema, std::string>;

// Reads one field object. Keys other than the four the client uses are layout, validation and
// import data for the vault and are skipped.
BasicResult<FieldDef, std::string> read_field(const Json& value, const std::string& where) {
    if (!value.is_object())
        return where + ": not an object";
    FieldDef def;
    auto label = value.find("label");
    if (label == value.end() || !label->is_string())
        return where + ": \"label\" is not a string";
    def.label = label->get<std::string>();
    auto kind = value.find("kind");
    if (kind == value.end() || !kind->is_string())
        return where + ": \"kind\" is not a string";
    def.kind = kind->get<std::string>();
    // A tier outside 0..255 is refused rather than wrapped: a wrapped 258 would read as tier 2.
    auto tier = value.find("tier");
    if (tier == value.end() || !tier->is_number_unsigned() ||
        tier->get<uint64_t>() > std::numeric_limits<uint8_t>::max())
        return where + ": \"tier\" is not an integer in 0..255";
    def.tier = static_cast<uint8_t>(tier->get<uint64_t>());
    auto required = value.find("required");
    if (required == value.end() || !required->is_boolean())
        return where + ": \"required\" is not a boolean";
    def.required = required->get<bool>();
    return def;
}

ParseResult read_schema(const Json& doc) {
    if (!doc.is_object())
        return std::string("the document is not an object");
    auto types = doc.find("types");
    if (types == doc.end() || !types->is_object())
        return std::string("\"types\" is not an object");
    Schema schema;
    for (auto it = types->begin(); it != types->end(); ++it) {
        const std::string& type_name = it.key();
        const Json& type_value = it.value();
        if (!type_value.is_object())
            return "type " + type_name + ": not an object";
        EntryType entry_type;
        auto description = type_value.find("description");
        if (description == type_value.end() || !description->is_string())
            return "type " + type_name + ": \"description\" is not a string";
        entry_type.description = description->get<std::string>();
        auto fields = type_value.find("fields");
        if (fields == type_value.end() || !fields->is_object())
            return "type " + type_name + ": \"fields\" is not an object";
        for (auto f = fields->begin(); f != fields->end(); ++f) {
            auto def = read_field(f.value(), "field " + type_name + "." + f.key());
            if (def.is_error())
                return def.release_error();
            entry_type.field_order.push_back(f.key());
            entry_type.fields.emplace(f.key(), def.release_value());
        }
        schema.types.emplace(type_name, std::move(entry_type));
    }
    return schema;
}

}  // namespace

const FieldDef* EntryType::find_field(std::string_view name) const {
    auto it = fields.find(std::string(name));
    return it == fields.end() ? nullptr : &it->second;
}

std::vector<std::pair<std::string_view, const FieldDef*>> EntryType::sorted_fields() const {
    std::vector<std::pair<std::string_view, const FieldDef*>> list;
    list.reserve(fields.size());
    for (const auto& [name, def] : fields) list.emplace_back(name, &def);
    // std::string_view compares bytes as unsigned char: ascending byte order.
    std::sort(list.begin(), list.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return list;
}

const EntryType* Schema::find_type(std::string_view name) const {
    auto it = types.find(lower_type_name(name));
    return it == types.end() ? nullptr : &it->second;
}

std::vector<std::string_view> Schema::type_names() const {
    std::vector<std::string_view> names;
    names.reserve(types.size());
    for (const auto& entry : types) names.emplace_back(entry.first);
    std::sort(names.begin(), names.end());
    return names;
}

std::string lower_type_name(std::string_view name) {
    static constexpr std::string_view kelvin_sign = "\xE2\x84\xAA";  // U+212A
    std::string lowered;
    lowered.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        if (name.substr(i, kelvin_sign.size()) == kelvin_sign) {
            lowered += 'k';
            i += kelvin_sign.size() - 1;
        } else {
            lowered += ascii_lower(name[i]);
        }
    }
    return lowered;
}

std::string_view schema_document() {
    return assets::entry_types_json;
}

BasicResult<Schema, std::string> parse_schema(std::string_view text) {
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        return std::string(e.what());
    }
    return read_schema(doc);
}

const Schema& schema() {
    // Built on first use (a function-local static): commands that never look at the schema
    // never pay for parsing it.
    static const Schema parsed = [] {
        auto result = parse_schema(schema_document());
        if (result.is_error()) {
            // A build fault: the embedded document always parses.
            std::fprintf(stderr,
                         "internal error: the embedded entry-types.json does not parse: %s\n",
                         result.error().c_str());
            std::abort();
        }
        return result.release_value();
    }();
    return parsed;
}

std::span<const TypeAlias> type_aliases() {
    static constexpr TypeAlias k_aliases[] = {{"api", "api_key"}, {"ssh", "ssh_key"}};
    return k_aliases;
}

std::string_view type_alias(std::string_view word) {
    for (const TypeAlias& alias : type_aliases())
        if (word == alias.word)
            return alias.type;
    return word;
}

}  // namespace tessarin
