// edit: changes fields of one existing entry in place. The entry is fetched, the fields named
// are replaced (secrets sealed with the agent's L2 key, read from files or made by
// --generate) and everything else goes back exactly as it came.
#pragma once

#include <string_view>

#include "src/base/errors.h"
#include "src/commands/generated_secret.h"
#include "src/commands/lookup.h"
#include "src/invocation/command.h"

namespace tessarin {

inline constexpr std::string_view k_usage_edit =
    "Usage: tessarin-cli edit <query> [--<field> VALUE] [--<field>-file PATH] [--title <title>]\n"
    "         [--urls URL] [--generate FIELD [--length N] [--charset LIST] [--print-generated]]\n"
    "         [--fuzzy] [--id <id>]\n"
    "  Changes the named fields of one entry of any type but note and memory (use note update\n"
    "  or memory update) and sends every other field back as the vault sent it. Secret fields\n"
    "  take only --<field>-file PATH (- for stdin) or --generate FIELD; a field the entry lacks\n"
    "  is added; --urls replaces the URL list. The vault keeps no versions: the last write\n"
    "  wins. Title match is exact by default (--exact); --fuzzy allows substring; --id <id>\n"
    "  names the entry by its identifier in place of <query> (two entries with one title).\n"
    "  --generate makes a secret field's value here: --length N characters (8 to 256, default\n"
    "  32) from --charset LIST (lower, upper, digits, symbols; default all four), at least one\n"
    "  of each set; symbols are #%&()*+,-./:;<=>?@[]^_{|}~. --print-generated writes the\n"
    "  generated values to stdout (the value alone, or FIELD<TAB>value lines for several)\n"
    "  and the OK line to stderr.\n";

inline constexpr HelpEntry k_help_edit{
    .args = "<query> [opts]",
    .summary = "Change fields of an entry in place.",
    .notes =
        "--<field> VALUE, --<field>-file PATH (secrets), --title,\n"
        "--urls; --generate FIELD [--length N] [--charset LIST]\n"
        "[--print-generated]; --fuzzy, --exact (default), --id <id>"};

inline constexpr PositionalDef k_edit_positionals[] = {
    {"query", "missing <query> (try: tessarin-cli edit GitHub --username bot)"}};

inline constexpr OptionDef k_edit_title{.name = "title",
                                        .kind = OptionKind::Text,
                                        .about = "The entry's new title",
                                        .value_name = "title"};
inline constexpr OptionDef k_edit_urls{.name = "urls",
                                       .kind = OptionKind::Text,
                                       .about = "Replaces the entry's URL list with this URL",
                                       .value_name = "url"};

// The options edit takes whatever the entry's type; each field of the type is an option too
// (--<field> VALUE, --<field>-file PATH), known once the entry is fetched.
inline constexpr OptionDef k_edit_options[] = {
    k_edit_title,    k_edit_urls,      k_generate_option,
    k_length_option, k_charset_option, k_print_generated_option,
    k_exact,         k_fuzzy,          k_id_option,
};

// edit <query> | --id ID, with the changes; reads its own arguments (its field options depend
// on the entry it names).
Result<void> run_edit(Invocation& invocation);

}  // namespace tessarin
