#include "src/dispatch.h"

#include <string_view>

#include "crypto/core/utf8.h"
#include "src/args.h"
#include "src/commands/init.h"
#include "src/commands/lookup.h"
#include "src/commands/render.h"
#include "src/commands/skill.h"
#include "src/output.h"

namespace tessarin {

namespace assets {
extern const std::string_view entry_types_json;  // generated from assets/entry-types.json
}

namespace {

Result<void> run_version(ArgLexer&) {
    print_version();
    return {};
}

Result<void> run_help(ArgLexer&) {
    print_help();
    return {};
}

struct Command {
    std::string_view name;
    // Whether the command reads the configuration file (after its arguments are complete;
    // each command loads it itself, so --help and argument errors work on a fresh host;
    // render only when its template holds a reference).
    bool needs_config;
    Result<void> (*run)(ArgLexer& args);
};

// Compared exactly and case-sensitively, in this order. No aliases, no abbreviations.
// clang-format off
constexpr Command k_commands[] = {
    {"init",    false, run_init},
    {"get",     true,  run_get},
    {"find",    true,  run_find},
    {"delete",  true,  run_delete},
    {"totp",    true,  run_totp},
    {"render",  true,  run_render},
    {"skill",   false, run_skill},
    {"version", false, run_version},
    {"help",    false, run_help},
};
// clang-format on

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
    for (const Command& command : k_commands) {
        if (command.name == token.text)
            return report(command.run(args));
    }
    print_usage_error("unknown command: '" + token.text + "' (try 'tessarin-cli help')");
    return 1;
}

}  // namespace tessarin
