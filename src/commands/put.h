// put: creates a vault entry of one of the schema's types from options or from a JSON object on
// standard input. Secret values never come from the command line and are sealed with the
// agent's L2 key before anything leaves the process.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/base/entry_schema.h"
#include "src/commands/generated_secret.h"
#include "src/invocation/command.h"

namespace tessarin {

// Whether a field name or label names a secret ("password", "api_key", "pin", ...; never
// "public_key" or "key_type").
bool looks_secret(std::string_view name);

// 2 when the definition's tier is above 1 or the name or its label looks secret; otherwise the
// definition's tier.
uint8_t effective_tier(std::string_view name, const FieldDef& def);

// The options of a type as the refusal of an unknown option lists them, in name order, secret
// fields (by the definition's tier alone) in their -file form: "--notes-file, --title, ...".
std::string type_option_list(const EntryType& type);

// The options put takes after the title for one entry type, made from its field definitions
// and read by the shared option reader: for each field in name order, --<field>-file PATH
// (every field), then --<field> VALUE when the field is not secret, or --<field> refused when
// it is; and --urls VALUE for a type without a urls field. Values are kept under the field name.
class TypeOptions {
  public:
    explicit TypeOptions(const EntryType& type);
    TypeOptions(const TypeOptions&) = delete;
    TypeOptions& operator=(const TypeOptions&) = delete;

    std::span<const OptionDef> list() const { return m_options; }

  private:
    std::deque<std::string> m_texts;  // names, refusal alternatives and descriptions
    std::vector<OptionDef> m_options;
};

// What put sends: the type as given, the title, the values by field name (plaintext; secrets
// are sealed when the body is built) and the URLs.
struct NewEntry {
    std::string type_text;
    const EntryType* type = nullptr;
    std::string title;
    std::map<std::string, SecretBytes, std::less<>> values;
    std::optional<nlohmann::json> urls;
};

// The JSON form from the text read on standard input: the document, its type, title and keys
// are checked, then `between` runs (the configuration is loaded there), then the values must
// be strings. Failures are TS-2000 (TS-2080 for an unknown type) and never quote a value.
Result<NewEntry> new_entry_from_json(std::string_view text,
                                     const std::function<Result<void>()>& between);

inline constexpr std::string_view k_usage_put =
    "Usage: tessarin-cli put <type> <title> [--<field> VALUE] [--<field>-file PATH] [--urls URL]\n"
    "       tessarin-cli put --json  (one JSON object on stdin)\n"
    "  Creates an entry of any type of the schema (tessarin-cli --show-schema lists each\n"
    "  type's fields). Secret fields take only --<field>-file PATH (- for stdin).\n"
    "  A title that begins with \"-\" goes after --: tessarin-cli put note -- \"-draft\"\n"
    "  --generate FIELD (repeatable) makes a secret field's value here: --length N (8 to 256,\n"
    "  default 32), --charset LIST (lower, upper, digits, symbols; default all four);\n"
    "  --print-generated writes it to stdout and the OK line to stderr.\n";
inline constexpr HelpEntry k_help_put{
    .args = "<type> <title> [opts]",
    .summary =
        "Create a new entry. Same title as an existing row is a second entry, "
        "not an overwrite.",
    .notes =
        "Secret fields (tier\u22652: password, cvv, \u2026) use --<field>-file PATH\n"
        "(PATH may be - for stdin) \u2014 never on argv. Non-secrets: --username.\n"
        "Or: put --json  with a JSON object on stdin (bounded).\n"
        "Every entry type works (tessarin-cli --show-schema lists their\n"
        "fields); other fields: --<field> VALUE; any type: --urls URL.\n"
        "--generate FIELD makes a secret here [--length N] [--charset LIST]\n"
        "[--print-generated: the value alone on stdout, OK on stderr].",
    .notes_at_margin = true};
// Taken only before the type word; after it, the type's options (TypeOptions) are read.
inline constexpr OptionDef k_put_json{.name = "json",
                                      .about = "Read one JSON object from standard input"};
// The generator options are taken before the type word as after the title.
inline constexpr OptionDef k_put_options[] = {k_put_json, k_generate_option, k_length_option,
                                              k_charset_option, k_print_generated_option};
inline constexpr PositionalDef k_put_positionals[] = {
    {.name = "type", .kind = PositionalKind::Type}, {.name = "title"}};

// put <type> <title> [--<field> VALUE] [--<field>-file PATH] [--urls URL] [--generate FIELD
// [--length N] [--charset LIST] [--print-generated]], or put --json.
// Reads its own arguments: which options exist depends on the type.
Result<void> run_put(Invocation& invocation);

}  // namespace tessarin
