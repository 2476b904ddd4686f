#include "src/commands/upsert_report.h"

#include <string>

#include "crypto/core/secret.h"
#include "src/base/posix.h"
#include "src/term/output.h"

namespace tessarin {

namespace {

std::string what_was_done(bool created) {
    return created ? "the vault created the entry" : "the vault updated the entry";
}

std::string retry_warning(bool created) {
    return created ? " \u2014 running the command again would create a second entry" : "";
}

// The generated values as --print-generated writes them, in a buffer that wipes itself.
SecretBytes generated_lines(std::span<const GeneratedValue> printed) {
    SecretBytes out;
    for (const GeneratedValue& v : printed) {
        if (printed.size() > 1) {
            out.append_text(v.field);
            out.push_back('\t');
        }
        out.append(v.value.expose_secret());
        out.push_back('\n');
    }
    return out;
}

}  // namespace

Result<void> confirm_upsert(bool created, std::string_view title,
                            std::span<const GeneratedValue> printed) {
    const std::string_view prefix = created ? "Created: " : "Updated: ";
    if (!printed.empty()) {
        const SecretBytes lines = generated_lines(printed);
        if (const auto error = write_stdout_checked(lines.expose_text())) {
            std::string fields;
            for (const GeneratedValue& v : printed)
                fields += (fields.empty() ? "" : ", ") + v.field;
            return CliError(TS_2000, what_was_done(created) +
                                         ", but the generated value could not be written to "
                                         "stdout: " +
                                         write_error_text(*error) +
                                         "; it is stored in the entry (" + fields + ")" +
                                         retry_warning(created));
        }
    }
    SecretBytes line;
    line.reserve(prefix.size() + title.size());
    line.append_text(prefix);
    line.append_text(title);
    const auto error = printed.empty() ? print_ok_checked(line.expose_text())
                                       : print_ok_on_stderr_checked(line.expose_text());
    if (!error)
        return {};
    return CliError(TS_2000, what_was_done(created) +
                                 ", but its confirmation could not be written to " +
                                 (printed.empty() ? "stdout" : "stderr") + ": " +
                                 write_error_text(*error) + retry_warning(created));
}

}  // namespace tessarin
