#include "src/cli/command_table.h"

#include <array>

#include "src/base/entry_schema.h"
#include "src/cli/help_text.h"
#include "src/commands/audit.h"
#include "src/commands/edit.h"
#include "src/commands/init.h"
#include "src/commands/lookup.h"
#include "src/commands/put.h"
#include "src/commands/render.h"
#include "src/commands/skill.h"
#include "src/commands/status.h"
#include "src/commands/textentry.h"
#include "src/term/output.h"

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

// The embedded document byte for byte (never re-serialised), plus one newline.
void print_schema() {
    std::string out(schema_document());
    out.push_back('\n');
    write_stdout(out);
}

constexpr FirstOption k_first_options[] = {
    {'V', "version", "Print version and exit", print_version},
    {'h', "help", "Show the help text", print_help},
    {0, "show-schema", "Print the entry-type schema as JSON", print_schema},
};

// -- sub-commands ---------------------------------------------------------------------------------

// One list per kind: only the missing-query hints of get and delete name the kind. Create,
// update and search load the configuration once their input has passed its checks; get and
// delete have nothing to check but the query.
constexpr std::array<CommandDef, 5> text_entry_subcommands(
    std::span<const PositionalDef> get_query, std::span<const PositionalDef> delete_query) {
    return {{
        {.name = "create",
         .help = k_help_text_create,
         .usage = k_usage_text_create,
         .options = k_text_create_options,
         .needs = Needs::ConfigOnDemand,
         .run = run_text_create},
        {.name = "get",
         .help = k_help_text_get,
         .usage = k_usage_text_get,
         .options = k_text_get_options,
         .positionals = get_query,
         .needs = Needs::Config,
         .run = run_text_get},
        {.name = "update",
         .help = k_help_text_update,
         .usage = k_usage_text_update,
         .options = k_text_update_options,
         .positionals = k_text_update_positionals,
         .needs = Needs::ConfigOnDemand,
         .run = run_text_update},
        {.name = "delete",
         .help = k_help_text_delete,
         .usage = k_usage_text_delete,
         .options = k_exactness_options,
         .positionals = delete_query,
         .needs = Needs::Config,
         .run = run_text_delete},
        {.name = "search",
         .help = k_help_text_search,
         .usage = k_usage_text_search,
         .options = k_text_search_options,
         .needs = Needs::ConfigOnDemand,
         .run = run_text_search},
    }};
}

constexpr auto k_note_subcommands =
    text_entry_subcommands(k_note_get_positionals, k_note_delete_positionals);
constexpr auto k_memory_subcommands =
    text_entry_subcommands(k_memory_get_positionals, k_memory_delete_positionals);

constexpr CommandDef k_skill_subcommands[] = {
    {.name = "print", .help = k_help_skill_print, .run = run_skill_print},
    {.name = "install", .help = k_help_skill_install, .run = run_skill_install},
};

// -- the table ------------------------------------------------------------------------------------

// Compared exactly and case-sensitively; listed by the help text in this order.
const CommandDef k_commands[] = {
    {.name = "init",
     .help = k_help_init,
     .usage = k_usage_init,
     .positionals = k_init_positionals,
     .run = run_init},
    // Reads the configuration itself, and talks to no vault.
    {.name = "status",
     .help = k_help_status,
     .usage = k_usage_status,
     .options = k_status_options,
     .needs = Needs::ConfigOnDemand,
     .run = run_status},
    {.name = "get",
     .help = k_help_get,
     .usage = k_usage_get,
     .options = k_get_options,
     .positionals = k_get_positionals,
     .needs = Needs::Config,
     .run = run_get},
    {.name = "find",
     .help = k_help_find,
     .usage = k_usage_find,
     .options = k_find_options,
     .positionals = k_find_positionals,
     .needs = Needs::Config,
     .run = run_find},
    {.name = "delete",
     .help = k_help_delete,
     .usage = k_usage_delete,
     .options = k_exactness_options,
     .positionals = k_delete_positionals,
     .needs = Needs::Config,
     .run = run_delete},
    {.name = "totp",
     .help = k_help_totp,
     .usage = k_usage_totp,
     .options = k_exactness_options,
     .positionals = k_totp_positionals,
     .needs = Needs::Config,
     .run = run_totp},
    // The configuration only when the template holds a reference.
    {.name = "render",
     .help = k_help_render,
     .usage = k_usage_render,
     .positionals = k_render_positionals,
     .needs = Needs::ConfigOnDemand,
     .run = run_render},
    {.name = "audit",
     .help = k_help_audit,
     .usage = k_usage_audit,
     .options = k_audit_options,
     .needs = Needs::Config,
     .run = run_audit},
    // Its options after the type word depend on the entry type, so it reads its arguments
    // itself (its options and positionals are declared for --help and the texts made from the
    // table); the configuration once its input has passed every check.
    {.name = "put",
     .help = k_help_put,
     .usage = k_usage_put,
     .options = k_put_options,
     .positionals = k_put_positionals,
     .needs = Needs::ConfigOnDemand,
     .run = run_put,
     .reads_own_arguments = true},
    // Its field options depend on the entry it fetches, so it reads them itself; the
    // configuration once they have passed every check.
    {.name = "edit",
     .help = k_help_edit,
     .usage = k_usage_edit,
     .options = k_edit_options,
     .positionals = k_edit_positionals,
     .needs = Needs::ConfigOnDemand,
     .run = run_edit,
     .reads_own_arguments = true},
    // One implementation; the kind is the command word.
    {.name = "note",
     .help = k_help_note,
     .usage = k_usage_text_entries,
     .subcommands =
         SubcommandDef{SubcommandDef::Read::Leading, k_note_subcommands, unknown_text_subcommand}},
    {.name = "memory",
     .help = k_help_memory,
     .usage = k_usage_text_entries,
     .subcommands = SubcommandDef{SubcommandDef::Read::Leading, k_memory_subcommands,
                                  unknown_text_subcommand}},
    {.name = "skill",
     .help = k_help_skill,
     .usage = k_usage_skill,
     .options = k_skill_options,
     .positionals = k_skill_positionals,
     .subcommands = SubcommandDef{SubcommandDef::Read::Positional, k_skill_subcommands,
                                  unknown_skill_subcommand, &k_skill_subcommands[0]}},
    // The words version and help ignore the rest of the line.
    {.name = "version",
     .help = {.summary = "Print version and exit."},
     .run = run_version,
     .reads_own_arguments = true},
    {.name = "help",
     .help = {.summary = "This help."},
     .run = run_help,
     .reads_own_arguments = true},
};

}  // namespace

const CommandDef* find_command(std::string_view word) {
    for (const CommandDef& command : k_commands)
        if (command.name == word)
            return &command;
    return nullptr;
}

std::span<const CommandDef> command_list() {
    return k_commands;
}

std::span<const FirstOption> first_options() {
    return k_first_options;
}

}  // namespace tessarin
