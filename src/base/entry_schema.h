// The embedded entry-type schema: every entry type of the vault with its fields. The document
// is printed as it is by --show-schema; `put` uses the parsed model (names, kinds, tiers).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "crypto/core/result.h"

namespace tessarin {

namespace assets {
// The exact bytes of assets/entry-types.json, embedded at build time.
extern const std::string_view entry_types_json;
}  // namespace assets

// One field of an entry type. Layout, validation and import keys of the document are not kept.
struct FieldDef {
    std::string label;
    std::string kind;
    uint8_t tier = 0;
    bool required = false;
};

struct EntryType {
    std::string description;
    std::unordered_map<std::string, FieldDef> fields;
    std::vector<std::string> field_order;  // field names in document order

    // Exact, case-sensitive look-up; nullptr when the type has no such field.
    const FieldDef* find_field(std::string_view name) const;
    // (name, definition) pairs sorted by name in ascending byte order.
    std::vector<std::pair<std::string_view, const FieldDef*>> sorted_fields() const;
};

struct Schema {
    std::unordered_map<std::string, EntryType> types;

    // Look-up of the lower-cased name; nullptr when there is no such type.
    const EntryType* find_type(std::string_view name) const;
    // Type names sorted in ascending byte order.
    std::vector<std::string_view> type_names() const;
};

// The embedded document, byte for byte (no final newline).
std::string_view schema_document();

// The embedded document parsed on first use, once per process. An embedded document that does
// not parse is a build fault: the process says so on standard error, with the parser's
// reason, and aborts.
const Schema& schema();

// Parses a schema document; the failure is the parser's or the checker's reason.
BasicResult<Schema, std::string> parse_schema(std::string_view text);

// A short form of a type word on the command line, and the type it stands for.
struct TypeAlias {
    std::string_view word;
    std::string_view type;
};
// Every short form: "api" for "api_key", "ssh" for "ssh_key".
std::span<const TypeAlias> type_aliases();
// The type a short form stands for; every other word is itself. Compared exactly.
std::string_view type_alias(std::string_view word);

// The lower-case form used for type look-up: ASCII letters, and U+212A KELVIN SIGN, the one
// non-ASCII character whose lower-case form is an ASCII letter ('k').
std::string lower_type_name(std::string_view name);

}  // namespace tessarin
