// Secret values made on this host (put and edit --generate FIELD): random characters from
// chosen sets, drawn from the operating system's random source without modulo bias, held in
// wiping buffers from the draw to the seal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/catalogue.h"
#include "crypto/core/random.h"
#include "crypto/core/secret.h"
#include "src/base/errors.h"
#include "src/invocation/command.h"

namespace tessarin {

// One set of characters a generated value may be drawn from.
struct CharacterSet {
    std::string_view name;
    std::string_view characters;
};

// The symbols: no quote, backslash, dollar, backtick, exclamation mark or blank, so a value is
// taken literally inside single or double quotes of a shell.
inline constexpr std::string_view k_generate_symbols = "#%&()*+,-./:;<=>?@[]^_{|}~";

inline constexpr CharacterSet k_character_sets[] = {
    {"lower", "abcdefghijklmnopqrstuvwxyz"},
    {"upper", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
    {"digits", "0123456789"},
    {"symbols", k_generate_symbols},
};

inline constexpr size_t k_generate_min_length = 8;
inline constexpr size_t k_generate_max_length = 256;
inline constexpr size_t k_generate_default_length = 32;

// How values are made: their length and the sets they draw from (each at least once).
struct GeneratorSettings {
    size_t length = k_generate_default_length;
    std::vector<const CharacterSet*> sets;  // empty: every set
};

// --length N: a decimal number from 8 to 256 (TS-2000 otherwise).
Result<void> check_generate_length(std::string_view text);
// --charset LIST: comma-separated set names, each known (TS-2000 naming the unknown one).
Result<void> check_charset(std::string_view text);
// The generator settings from --length and --charset as given (nullopt: not given), checked
// as above.
Result<GeneratorSettings> generator_settings(const std::optional<std::string>& length,
                                             const std::optional<std::string>& charset);

// Fills a buffer with random bytes; the operating system's source unless a test gives another.
using RandomFill = CoreResult<void> (*)(std::span<uint8_t> out);

// A value of settings.length characters: one from each named set, the rest from their union, then
// shuffled. A failure of the random source is TS-0018, never replaced by weaker randomness.
Result<SecretBytes> generate_secret(const GeneratorSettings& settings,
                                    RandomFill fill = random_fill);

// The options that ask for generated values (put after the title, edit).
inline constexpr OptionDef k_generate_option{
    .name = "generate",
    .kind = OptionKind::Text,
    .about = "Make this secret field's value here, at random (repeatable)",
    .value_name = "field"};
inline constexpr OptionDef k_length_option{
    .name = "length",
    .kind = OptionKind::Text,
    .check = check_generate_length,
    .about = "Characters in each generated value, 8 to 256 (default 32)",
    .value_name = "N"};
inline constexpr OptionDef k_charset_option{
    .name = "charset",
    .kind = OptionKind::Text,
    .check = check_charset,
    .about =
        "Sets the generated values draw from, comma-separated: lower, upper, digits, "
        "symbols (default all four)",
    .value_name = "list"};
inline constexpr OptionDef k_print_generated_option{
    .name = "print-generated",
    .about = "Write the generated values to stdout (one line each; the OK line goes to stderr)"};
inline constexpr OptionDef k_generator_options[] = {k_generate_option, k_length_option,
                                                    k_charset_option, k_print_generated_option};

// What the generator options asked for, read by a command that reads its own arguments.
struct GenerateRequest {
    std::vector<std::string> fields;  // field names, hyphens read as underscores, no repeats
    std::optional<std::string> length;
    std::optional<std::string> charset;
    bool print = false;
};

// Reads one generator option (just met on the line, named without dashes) into request, its
// value checked at once. False when the option is not one of them.
Result<bool> read_generator_option(std::string_view name, ArgLexer& lexer,
                                   GenerateRequest& request);

// --length, --charset and --print-generated only mean something with --generate (TS-2000).
Result<void> check_generate_request(const GenerateRequest& request);

// A generated value and the field it was made for.
struct GeneratedValue {
    std::string field;
    SecretBytes value;
};

// One value per field the request names, made with its --length and --charset.
Result<std::vector<GeneratedValue>> generate_values(const GenerateRequest& request);

}  // namespace tessarin
