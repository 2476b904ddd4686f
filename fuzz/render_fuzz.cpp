// libFuzzer harness for render's template scanner. Any text scans without crashing. Found
// references are in order, never overlap, and each is exactly "tessarin://" + entry + "/" +
// field at its offsets, with a non-empty entry, a non-empty field without "/", no terminator
// inside, a terminator or the end right after it, and the right line number; no occurrence of
// "tessarin://" outside them is missed. A malformed reference is refused on the line it is on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "src/commands/render.h"

namespace {

using tessarin::TemplateReference;

constexpr std::string_view k_scheme = "tessarin://";
constexpr std::string_view k_terminators = std::string_view("\t\n\r \"',}", 8);

size_t line_at(std::string_view text, size_t offset) {
    size_t line = 1;
    for (size_t i = 0; i < offset; ++i)
        if (text[i] == '\n')
            ++line;
    return line;
}

void check_reference(std::string_view text, const TemplateReference& r) {
    FUZZ_CHECK(r.start < r.end && r.end <= text.size());
    FUZZ_CHECK(!r.entry.empty() && !r.field.empty());
    FUZZ_CHECK(r.field.find('/') == std::string::npos);
    FUZZ_CHECK(text.substr(r.start, r.end - r.start) ==
               std::string(k_scheme) + r.entry + "/" + r.field);
    FUZZ_CHECK(r.entry.find_first_of(k_terminators) == std::string::npos);
    FUZZ_CHECK(r.field.find_first_of(k_terminators) == std::string::npos);
    FUZZ_CHECK(r.end == text.size() || k_terminators.find(text[r.end]) != std::string_view::npos);
    FUZZ_CHECK(r.line == line_at(text, r.start));
}

// "line N: ..." where line N holds a "tessarin://".
void check_named_line(std::string_view text, std::string_view detail) {
    FUZZ_CHECK(detail.rfind("line ", 0) == 0);
    size_t n = 0, i = 5;
    for (; i < detail.size() && detail[i] >= '0' && detail[i] <= '9'; ++i)
        n = n * 10 + static_cast<size_t>(detail[i] - '0');
    FUZZ_CHECK(i > 5 && detail.substr(i, 2) == ": " && n >= 1);
    size_t start = 0;
    for (size_t line = 1; line < n; ++line) {
        start = text.find('\n', start);
        FUZZ_CHECK(start != std::string_view::npos);
        ++start;
    }
    const std::string_view line_text = text.substr(start, text.find('\n', start) - start);
    FUZZ_CHECK(line_text.find(k_scheme) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto scanned = tessarin::scan_references(text);
    if (scanned.is_error()) {
        const tessarin::CliError& error = scanned.error();
        FUZZ_CHECK(error.error == &tessarin::TS_2062 || error.error == &tessarin::TS_2061);
        FUZZ_CHECK(!error.detail.empty());
        if (error.error == &tessarin::TS_2062)
            check_named_line(text, error.detail);
        return 0;
    }
    const auto& refs = scanned.value();
    FUZZ_CHECK(refs.size() <= tessarin::k_max_references);
    size_t covered = 0;  // offsets before this lie in a reference or were searched
    for (const TemplateReference& r : refs) {
        check_reference(text, r);
        FUZZ_CHECK(r.start >= covered);
        // Nothing between the previous reference and this one starts another.
        FUZZ_CHECK(text.substr(covered, r.start - covered).find(k_scheme) ==
                   std::string_view::npos);
        covered = r.end;
    }
    FUZZ_CHECK(text.substr(covered).find(k_scheme) == std::string_view::npos);
    return 0;
}
