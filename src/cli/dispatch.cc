#include "src/cli/dispatch.h"

#include <string_view>

#include "crypto/core/utf8.h"
#include "src/cli/command_table.h"
#include "src/cli/help_text.h"
#include "src/invocation/args.h"
#include "src/term/output.h"

namespace tessarin {

namespace {

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
    if (token.kind != ArgToken::Kind::Value) {
        for (const FirstOption& option : first_options()) {
            const bool named = token.kind == ArgToken::Kind::Short
                                   ? option.short_name && token.is_short(option.short_name)
                                   : token.text == option.name;
            if (named) {
                option.run();
                return 0;
            }
        }
        print_usage_error("unexpected argument: " + debug_form(token));
        return 1;
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
