#include "src/dispatch.h"

#include <string_view>

#include "crypto/core/utf8.h"
#include "src/args.h"
#include "src/command_table.h"
#include "src/output.h"

namespace tessarin {

namespace assets {
extern const std::string_view entry_types_json;  // generated from assets/entry-types.json
}

namespace {

// The embedded document byte for byte (never re-serialised), plus one newline.
void print_schema() {
    std::string out(assets::entry_types_json);
    out.push_back('\n');
    write_stdout(out);
}

int report(const Result<void>& outcome) {
    if (!outcome.is_error())
        return 0;
    print_error(outcome.error().display());
    return 1;
}

}  // namespace

int run_program(int argc, char** argv) {
    ArgLexer args(argc, argv);
    auto first = args.next();
    if (first.is_error()) {
        print_usage_error(first.error().detail);
        return 1;
    }
    if (!first.value()) {
        print_help();
        return 1;
    }
    const ArgToken& token = *first.value();
    switch (token.kind) {
        case ArgToken::Kind::Short:
            if (token.is_short('V')) {
                print_version();
                return 0;
            }
            if (token.is_short('h')) {
                print_help();
                return 0;
            }
            print_usage_error("unexpected argument: " + debug_form(token));
            return 1;
        case ArgToken::Kind::Long:
            if (token.text == "version") {
                print_version();
                return 0;
            }
            if (token.text == "show-schema") {
                print_schema();
                return 0;
            }
            if (token.text == "help") {
                print_help();
                return 0;
            }
            print_usage_error("unexpected argument: " + debug_form(token));
            return 1;
        case ArgToken::Kind::Value:
            break;
    }
    if (!is_utf8(token.text)) {
        print_usage_error("non-utf8 command name");
        return 1;
    }
    if (const CommandDef* command = find_command(token.text))
        return report(run_command(*command, args));
    print_usage_error("unknown command: '" + token.text + "' (try 'tessarin-cli help')");
    return 1;
}

}  // namespace tessarin
