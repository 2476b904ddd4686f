// libFuzzer harness for the argument lexer: NUL-separated arguments, any bytes. The lexer
// must never crash, and every token's debug form must be printable ASCII or UTF-8 text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/core/utf8.h"
#include "fuzz/fuzz_support.h"
#include "src/invocation/args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> argv;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            argv.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    argv.push_back(std::move(current));

    tessarin::ArgLexer lexer(std::move(argv));
    // Alternate token reads and value calls, as a command's option loop does.
    for (int step = 0; step < 1000; ++step) {
        auto token = lexer.next();
        if (token.is_error() || !token.value())
            break;
        std::string form = tessarin::debug_form(*token.value());
        FUZZ_CHECK(token.value()->kind == tessarin::ArgToken::Kind::Short ||
                   tessarin::is_utf8(form) || !tessarin::is_utf8(token.value()->text));
        if (step % 3 == 1) {
            auto v = lexer.value();
            (void)v;
        }
    }
    return 0;
}
