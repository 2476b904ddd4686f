// table_dump: writes the program's command table as JSON, for the texts made from it at build
// time (the man page's command and option lists, the shell completion). It is built from the
// same table and schema as tessarin-cli, so those texts name exactly what the program takes.
//
// Output: {"version", "first_options", "commands", "put_types", "type_aliases"}; an option is
// {"name", "value", "value_name", "about"} where value is "flag", "file", "text", "type" or a list
// of the words its check accepts; refused options are listed by name under "refused".
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>
#include <vector>

#include "src/base/entry_schema.h"
#include "src/cli/command_table.h"
#include "src/commands/generated_secret.h"
#include "src/commands/put.h"
#include "src/term/output.h"

using nlohmann::json;
using namespace tessarin;

namespace {

std::string text(std::string_view view) {
    return std::string(view);
}

json option_value(const OptionDef& option) {
    switch (option.kind) {
        case OptionKind::Flag:
            return "flag";
        case OptionKind::Path:
            return "file";
        case OptionKind::Text:
        case OptionKind::Refused:
            break;
    }
    if (!option.choices.empty()) {
        json words = json::array();
        for (std::string_view word : option.choices) words.push_back(text(word));
        return words;
    }
    // A Text option whose value is a path (read later, like --content-file) names a file too.
    if (option.value_name == "path")
        return "file";
    return option.value_name == "type" ? "type" : "text";
}

// The options a command takes (--help first when it has a usage text) and those it refuses.
void add_options(json& out, std::span<const OptionDef> options, bool has_usage) {
    json taken = json::array();
    json refused = json::array();
    if (has_usage)
        taken.push_back({{"name", "--help"},
                         {"value", "flag"},
                         {"value_name", ""},
                         {"about", "Print the usage text"}});
    for (const OptionDef& option : options) {
        if (!option.listed)
            continue;
        if (option.kind == OptionKind::Refused) {
            refused.push_back("--" + text(option.name));
            continue;
        }
        std::string value_name = text(option.value_name);
        if (option.kind == OptionKind::Path && value_name.empty())
            value_name = "path";
        taken.push_back({{"name", "--" + text(option.name)},
                         {"value", option_value(option)},
                         {"value_name", value_name},
                         {"about", text(option.about)}});
    }
    out["options"] = std::move(taken);
    out["refused"] = std::move(refused);
}

const char* positional_kind(PositionalKind kind) {
    switch (kind) {
        case PositionalKind::File:
            return "file";
        case PositionalKind::Type:
            return "type";
        case PositionalKind::Text:
            break;
    }
    return "text";
}

// A command's positional arguments; a command with sub-commands takes the sub-command's word.
// Whether one is required is known for those the shared reader reads; a command that reads its
// own arguments checks them itself.
json positionals(const CommandDef& command) {
    json out = json::array();
    if (command.subcommands) {
        out.push_back({{"name", "subcommand"}, {"kind", "subcommand"}});
        return out;
    }
    for (const PositionalDef& positional : command.positionals) {
        json entry = {{"name", text(positional.name)}, {"kind", positional_kind(positional.kind)}};
        if (!command.reads_own_arguments)
            entry["required"] = !positional.missing.empty();
        out.push_back(std::move(entry));
    }
    return out;
}

json command_json(const CommandDef& command) {
    json out = {{"name", text(command.name)},
                {"summary", text(command.help.summary)},
                {"args", text(command.help.args)},
                {"usage", text(command.usage)},
                {"reads_own_arguments", command.reads_own_arguments}};
    // A command whose sub-command is the word after it (note, memory) takes --help in that
    // word's place, not among options: its options are its sub-commands'.
    const bool leading =
        command.subcommands && command.subcommands->read == SubcommandDef::Read::Leading;
    add_options(out, command.options, !command.usage.empty() && !leading);
    out["positionals"] = positionals(command);
    if (command.subcommands) {
        json subs = json::array();
        for (const CommandDef& sub : command.subcommands->list) subs.push_back(command_json(sub));
        out["subcommands"] = std::move(subs);
        out["subcommand_word"] =
            command.subcommands->read == SubcommandDef::Read::Leading ? "leading" : "positional";
    }
    return out;
}

}  // namespace

int main() {
    json doc;
    doc["version"] = text(k_version);
    json first = json::array();
    for (const FirstOption& option : first_options()) {
        json entry = {{"name", "--" + text(option.name)}, {"summary", text(option.summary)}};
        if (option.short_name)
            entry["short"] = std::string("-") + option.short_name;
        first.push_back(std::move(entry));
    }
    doc["first_options"] = std::move(first);

    json commands = json::array();
    for (const CommandDef& command : command_list()) commands.push_back(command_json(command));
    doc["commands"] = std::move(commands);

    json types = json::object();
    for (std::string_view name : schema().type_names()) {
        const EntryType& type = *schema().find_type(name);
        const TypeOptions options(type);
        // After the title every type takes the generator options too.
        std::vector<OptionDef> taken(options.list().begin(), options.list().end());
        taken.insert(taken.end(), std::begin(k_generator_options), std::end(k_generator_options));
        json entry = {{"description", type.description}};
        add_options(entry, taken, false);
        types[text(name)] = std::move(entry);
    }
    doc["put_types"] = std::move(types);
    json aliases = json::object();
    for (const TypeAlias& alias : type_aliases()) aliases[text(alias.word)] = text(alias.type);
    doc["type_aliases"] = std::move(aliases);

    const std::string out = doc.dump(2, ' ', false) + "\n";
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}
