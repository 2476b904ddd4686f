#include "src/commands/upsert_report.h"

#include <string>

#include "crypto/core/secret.h"
#include "src/base/posix.h"
#include "src/term/output.h"

namespace tessarin {

Result<void> confirm_upsert(bool created, std::string_view title) {
    const std::string_view prefix = created ? "Created: " : "Updated: ";
    SecretBytes line;
    line.reserve(prefix.size() + title.size());
    line.append_text(prefix);
    line.append_text(title);
    const auto error = print_ok_checked(line.expose_text());
    if (!error)
        return {};
    std::string detail = created ? "the vault created the entry" : "the vault updated the entry";
    detail += ", but its confirmation could not be written to stdout: " + write_error_text(*error);
    if (created)
        detail += " \u2014 running the command again would create a second entry";
    return CliError(TS_2000, std::move(detail));
}

}  // namespace tessarin
