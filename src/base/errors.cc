#include "src/base/errors.h"

namespace tessarin {

std::string CliError::display() const {
    std::string out;
    out.append(error->code).append(": ");
    if (detail.empty())
        out.append(error->user_msg);
    else
        out.append(detail);
    return out;
}

void CliError::append_note(std::string_view note) {
    if (detail.empty())
        detail = error->user_msg;
    detail.append("\n  ").append(note);
}

}  // namespace tessarin
