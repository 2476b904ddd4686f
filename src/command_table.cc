#include "src/command_table.h"

#include "src/commands/audit.h"
#include "src/commands/init.h"
#include "src/commands/lookup.h"
#include "src/commands/put.h"
#include "src/commands/render.h"
#include "src/commands/skill.h"
#include "src/commands/textentry.h"
#include "src/output.h"

namespace tessarin {

namespace {

Result<void> run_version(Invocation&) {
    print_version();
    return {};
}

Result<void> run_help(Invocation&) {
    print_help();
    return {};
}

// --exact (the default) and --fuzzy set one flag: the last one on the line wins.
constexpr OptionDef k_exact{"exact", OptionKind::Flag, "exact", true};
constexpr OptionDef k_fuzzy{"fuzzy", OptionKind::Flag, "exact", false};
constexpr OptionDef k_type{"type", OptionKind::Text};

constexpr OptionDef k_get_options[] = {
    {"field", OptionKind::Text}, {"json"}, k_exact, k_fuzzy, k_type,
};
constexpr OptionDef k_find_options[] = {k_type};
constexpr OptionDef k_exactness_options[] = {k_exact, k_fuzzy};
constexpr OptionDef k_skill_options[] = {{"yes"}};
constexpr OptionDef k_audit_options[] = {
    // The number is checked as soon as it is read, before the configuration is loaded.
    {.name = "limit", .kind = OptionKind::Text, .check = check_audit_limit},
    {"actor", OptionKind::Text},
    {"action", OptionKind::Text},
    {"entry", OptionKind::Text},
    {"since", OptionKind::Text},
    {"until", OptionKind::Text},
    {"json"},
};

constexpr CommandDef k_skill_subcommands[] = {
    {.name = "print", .run = run_skill_print},
    {.name = "install", .run = run_skill_install},
};

std::string unknown_skill_subcommand(std::string_view, std::string_view word) {
    return "unknown skill subcommand '" + std::string(word) + "' (use: print, install)";
}

// Compared exactly and case-sensitively, in this order.
const CommandDef k_commands[] = {
    {.name = "init", .usage = k_usage_init, .positional = {"blob", {}, true}, .run = run_init},
    {.name = "get",
     .usage = k_usage_get,
     .options = k_get_options,
     .positional = {"query", "missing <query> (try: tessarin-cli get OpenAI)"},
     .needs = Needs::Config,
     .run = run_get},
    {.name = "find",
     .usage = k_usage_find,
     .options = k_find_options,
     .positional = {"name", "missing <name> (try: tessarin-cli find openrouter)"},
     .needs = Needs::Config,
     .run = run_find},
    {.name = "delete",
     .usage = k_usage_delete,
     .options = k_exactness_options,
     .positional = {"query", "missing <query>"},
     .needs = Needs::Config,
     .run = run_delete},
    {.name = "audit",
     .usage = k_usage_audit,
     .options = k_audit_options,
     .needs = Needs::Config,
     .run = run_audit},
    {.name = "totp",
     .usage = k_usage_totp,
     .options = k_exactness_options,
     .positional = {"query", "missing <query> (try: tessarin-cli totp GitHub)"},
     .needs = Needs::Config,
     .run = run_totp},
    // The configuration only when the template holds a reference.
    {.name = "render",
     .usage = k_usage_render,
     .positional = {"file", "missing <file> (try: tessarin-cli render config.json)"},
     .needs = Needs::ConfigOnDemand,
     .run = run_render},
    // Its options depend on the entry type it reads, so it reads them itself; the
    // configuration once its input has passed every check.
    {.name = "put", .needs = Needs::ConfigOnDemand, .run = run_put, .reads_own_arguments = true},
    // One implementation; the kind is the command word.
    {.name = "note", .subcommands = text_entry_subcommands(TextKind::Note)},
    {.name = "memory", .subcommands = text_entry_subcommands(TextKind::Memory)},
    {.name = "skill",
     .usage = k_usage_skill,
     .options = k_skill_options,
     .positional = {"skill arg"},
     .subcommands = SubcommandDef{SubcommandDef::Read::Positional, k_skill_subcommands,
                                  unknown_skill_subcommand, &k_skill_subcommands[0]}},
    // The words version and help ignore the rest of the line.
    {.name = "version", .run = run_version, .reads_own_arguments = true},
    {.name = "help", .run = run_help, .reads_own_arguments = true},
};

}  // namespace

const CommandDef* find_command(std::string_view word) {
    for (const CommandDef& command : k_commands)
        if (command.name == word)
            return &command;
    return nullptr;
}

}  // namespace tessarin
