// render: fills tessarin://Entry/field references in a template with the fields' values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "src/base/errors.h"
#include "src/invocation/command.h"

namespace tessarin {

inline constexpr size_t k_max_references = 128;
inline constexpr size_t k_max_distinct_entries = 10;

// One occurrence of a reference, in order of appearance.
struct TemplateReference {
    std::string entry;
    std::string field;
    size_t line = 0;   // 1-based
    size_t start = 0;  // offset of "tessarin://"
    size_t end = 0;    // one past the reference
};

// Finds every reference; the first malformed one (TS-2062) or the 129th (TS-2061) fails.
Result<std::vector<TemplateReference>> scan_references(std::string_view text);

inline constexpr std::string_view k_usage_render =
    "Usage: tessarin-cli render <file>  (use - for stdin)\n";
inline constexpr HelpEntry k_help_render{.args = "<file>",
                                         .summary = "Resolve tessarin:// references in a file.",
                                         .notes = "Use - for stdin."};
inline constexpr PositionalDef k_render_positionals[] = {
    {.name = "file",
     .missing = "missing <file> (try: tessarin-cli render config.json)",
     .kind = PositionalKind::File}};

// render <file>: loads the configuration only when the template holds a reference.
Result<void> run_render(Invocation& invocation);

}  // namespace tessarin
