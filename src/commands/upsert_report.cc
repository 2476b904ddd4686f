#include "src/commands/upsert_report.h"

#include <string>

#include "src/output.h"
#include "src/posix.h"

namespace tessarin {

Result<void> confirm_upsert(bool created, std::string_view line) {
    const auto error = print_ok_checked(line);
    if (!error)
        return {};
    std::string detail = created ? "the vault created the entry" : "the vault updated the entry";
    detail += ", but its confirmation could not be written to stdout: " + write_error_text(*error);
    if (created)
        detail += " \u2014 running the command again would create a second entry";
    return CliError(TS_2000, std::move(detail));
}

}  // namespace tessarin
