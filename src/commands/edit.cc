#include "src/commands/edit.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "src/base/entry_schema.h"
#include "src/base/text.h"
#include "src/commands/entry_fields.h"
#include "src/commands/put.h"
#include "src/commands/textentry_body.h"
#include "src/commands/upsert_report.h"
#include "src/gate/vault.h"
#include "src/term/output.h"

namespace tessarin {

using nlohmann::json;

namespace {

constexpr std::string_view k_file_suffix = "-file";
// The most characters of a title shown in the success line.
constexpr size_t k_title_width = 200;

// Options are spelt with hyphens, fields with underscores.
std::string field_name(std::string_view option) {
    std::string out(option);
    std::replace(out.begin(), out.end(), '-', '_');
    return out;
}

// One field the command line changes.
struct Change {
    std::string field;   // the field's name
    std::string option;  // how it was asked for, for messages: "--username", "--generate pin"
    SecretBytes value;   // the new plaintext (a generated one is filled in later)
    bool on_command_line = false;  // --<field> VALUE: refused for a field that turns out secret
    bool generated = false;
};

// What the command line asks for.
struct EditRequest {
    std::vector<Change> changes;  // one per field: a later option replaces an earlier one
    std::optional<std::string> title;
    std::optional<std::string> urls;
    GenerateRequest generate;

    void set(Change change) {
        auto same = [&](const Change& c) { return c.field == change.field; };
        if (auto it = std::find_if(changes.begin(), changes.end(), same); it != changes.end())
            *it = std::move(change);
        else
            changes.push_back(std::move(change));
    }
};

CliError secret_refused(std::string_view option) {
    return secret_on_command_line(option, "--" + std::string(option) +
                                              "-file PATH (or - for stdin), or --generate " +
                                              std::string(option));
}

// --<field> VALUE or --<field>-file PATH, for a field the entry's type is expected to have (it
// is checked once the entry is fetched). A name that looks secret is refused at once, before
// its value is read; so is a value given to a field that turns out to be secret, later.
Result<void> read_field_option(std::string_view name, ArgLexer& lexer, Arguments& args,
                               EditRequest& request) {
    Change change;
    change.option = "--" + std::string(name);
    if (name.size() > k_file_suffix.size() && name.ends_with(k_file_suffix)) {
        change.field = field_name(name.substr(0, name.size() - k_file_suffix.size()));
        std::string path = TRY(lexer.utf8_value());
        // A field option is declared by the entry's type, known only at run time.
        if (path == "-")
            TRY(args.claim_stdin(OptionDef{.name = name, .kind = OptionKind::Path}));
        change.value = TRY(read_path_option(name, path, k_input_limit));
    } else {
        change.field = field_name(name);
        if (looks_secret(change.field))
            return secret_refused(name);
        std::string value = TRY(lexer.utf8_value());
        if (value.size() > k_input_limit)
            return CliError(TS_2110,
                            change.option + " exceeds " + std::to_string(k_input_limit) + " bytes");
        change.value = SecretBytes::from_text(value);
        change.on_command_line = true;
    }
    // The title and the URL list are more than fields: the options of their own take them.
    if (change.field == "title")
        request.title = std::string(change.value.expose_text());
    else if (change.field == "urls")
        request.urls = std::string(change.value.expose_text());
    else
        request.set(std::move(change));
    return {};
}

Result<EditRequest> read_arguments(Invocation& invocation, bool& help) {
    ArgLexer& lexer = invocation.lexer();
    Arguments& args = invocation.args();
    EditRequest request;
    for (;;) {
        auto token = TRY(lexer.next());
        if (!token)
            break;
        if (token->is_value()) {
            if (args.positional())
                return unexpected(*token);
            args.set_positional(TRY(require_utf8(std::move(token->text), "query")));
            continue;
        }
        if (token->kind != ArgToken::Kind::Long)
            return unexpected(*token);
        const std::string& name = token->text;
        if (name == "help") {
            help = true;
            return request;
        }
        if (TRY(read_generator_option(name, lexer, request.generate)))
            continue;
        if (name == k_edit_title.name || name == k_edit_urls.name) {
            std::string value = TRY(lexer.utf8_value());
            (name == k_edit_title.name ? request.title : request.urls) = std::move(value);
            continue;
        }
        if (const OptionDef* option = find_option(k_edit_options, name)) {
            TRY(read_option(*option, lexer, args));
            continue;
        }
        TRY(read_field_option(name, lexer, args, request));
    }
    return request;
}

// What can be checked before the configuration is loaded: the query or --id, something to
// change, no empty value, no field both given and generated.
Result<void> check_request(const Arguments& args, const EditRequest& request) {
    if (args.text(k_id_option) && args.positional())
        return CliError(TS_2000, "give either <query> or --id, not both");
    if (!args.text(k_id_option) && !args.positional())
        return CliError(TS_2000, std::string(k_edit_positionals[0].missing));
    TRY(check_generate_request(request.generate));
    if (request.changes.empty() && !request.title && !request.urls &&
        request.generate.fields.empty())
        return CliError(TS_2000,
                        "nothing to change: name a field (--<field> VALUE, --<field>-file PATH, "
                        "--generate FIELD, --title, --urls)");
    for (const Change& c : request.changes)
        if (c.value.empty())
            return CliError(TS_2000, c.option +
                                         ": empty value (edit sets fields; it does not "
                                         "clear them)");
    if (request.title && request.title->empty())
        return CliError(TS_2000, "--title: empty value (an entry needs a title)");
    if (request.urls && request.urls->empty())
        return CliError(TS_2000, "--urls: empty value (edit sets fields; it does not clear them)");
    for (const std::string& field : request.generate.fields)
        if (std::any_of(request.changes.begin(), request.changes.end(),
                        [&](const Change& c) { return c.field == field; }) ||
            (field == "title" && request.title) || (field == "urls" && request.urls))
            return CliError(TS_2000, "--generate " + field +
                                         ": the field is given a value too; give one or the other");
    return {};
}

// The entry's type as it names itself: its own, else its data block's.
std::string entry_type(const Entry& entry) {
    std::string type = entry.type.value_or("");
    if (type.empty() && entry.data)
        type = entry.data->type.value_or("");
    return type;
}

Result<const EntryType*> editable_type(const Entry& entry, std::string_view type) {
    const std::string lower = lower_type_name(type);
    if (lower == "note" || lower == "memory")
        return CliError(TS_2000, "entry is type '" + std::string(type) +
                                     "' \u2014 change it with " + "tessarin-cli " + lower +
                                     " update");
    if (!entry.data)
        return CliError(TS_2021, "entry response had no data block");
    const EntryType* def = schema().find_type(type);
    if (!def) {
        std::string known;
        for (std::string_view name : schema().type_names())
            known += (known.empty() ? "" : ", ") + std::string(name);
        return CliError(TS_2000, "entry is type '" + std::string(type) +
                                     "', whose fields are not known here (edit takes: " + known +
                                     ")");
    }
    for (const Field& f : entry.data->fields)
        if (f.tier >= 3)
            return holds_l3_field(f.label);
    return def;
}

// The index of the entry's field named `name`: the same label, else the same ignoring ASCII
// case; nullopt when the entry lacks it.
std::optional<size_t> field_index(const std::vector<Field>& fields, std::string_view name) {
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i].label == name)
            return i;
    for (size_t i = 0; i < fields.size(); ++i)
        if (equal_ignoring_ascii_case(fields[i].label, name))
            return i;
    return std::nullopt;
}

// Applies one change to the fields as received: a field the entry has keeps its label, kind
// and tier (raised to 2 when the name or the schema says secret, never lowered); a field it
// lacks is added as put would add it.
Result<void> apply(const Change& change, const EntryType& type, std::string_view type_text,
                   const std::vector<Field>& read, json& fields, ByteView l2) {
    const FieldDef* def = type.find_field(change.field);
    if (!def) {
        if (change.generated)
            return CliError(TS_2000, change.option + ": type '" + std::string(type_text) +
                                         "' has no such field. Use: " + type_option_list(type));
        return CliError(TS_2000, change.option + " is not valid for type '" +
                                     std::string(type_text) + "'. Use: " + type_option_list(type));
    }
    const uint8_t secret_tier = effective_tier(change.field, *def) >= 2 ? 2 : 1;
    const std::optional<size_t> at = field_index(read, change.field);
    uint8_t tier = secret_tier;
    if (at)
        tier = read[*at].tier < 2 && secret_tier == 2 ? 2 : read[*at].tier;
    if (tier >= 2 && change.on_command_line)
        return secret_refused(change.option.substr(2));
    if (tier < 2 && change.generated)
        return CliError(TS_2000, change.option + ": not a secret field of type '" +
                                     std::string(type_text) + "'");
    const std::string label = at ? read[*at].label : change.field;
    std::string value = tier >= 2 ? TRY(sealed_value(l2, label, change.value))
                                  : std::string(change.value.expose_text());
    if (!at) {
        fields.push_back(entry_field(label, std::move(value), def->kind, tier));
        return {};
    }
    json& field = fields[*at];
    if (field.is_object()) {
        // Members the program does not know stay as they came.
        field["value"] = std::move(value);
        field["tier"] = tier;
    } else {
        field = entry_field(label, std::move(value), read[*at].kind.value_or(def->kind), tier);
    }
    return {};
}

}  // namespace

Result<void> run_edit(Invocation& invocation) {
    bool help = false;
    EditRequest request = TRY(read_arguments(invocation, help));
    if (help) {
        write_stdout(k_usage_edit);
        return {};
    }
    const Arguments& args = invocation.args();
    TRY(check_request(args, request));
    std::vector<GeneratedValue> generated = TRY(generate_values(request.generate));
    for (GeneratedValue& g : generated)
        request.changes.push_back(Change{.field = g.field,
                                         .option = "--generate " + g.field,
                                         .value = std::move(g.value),
                                         .generated = true});

    Session& session = *TRY(invocation.session());
    const Vault vault = session.vault();
    EarlyConnection fetch = vault.early_connection();
    const std::string id = TRY(named_entry_id(vault, args, std::nullopt, fetch));
    FetchedEntry fetched = TRY(entry_fetch(vault, id, {.use = &fetch}));
    const Entry& entry = fetched.entry;
    const std::string type_text = entry_type(entry);
    const EntryType& type = *TRY(editable_type(entry, type_text));

    std::string title =
        request.title.value_or(entry.title.value_or(entry.data->title.value_or(std::string())));
    // The title and the URL list are fields too when the type has them.
    if (request.title)
        request.changes.push_back(Change{.field = "title",
                                         .option = "--title",
                                         .value = SecretBytes::from_text(*request.title),
                                         .on_command_line = true});
    if (request.urls && type.find_field("urls"))
        request.changes.push_back(Change{.field = "urls",
                                         .option = "--urls",
                                         .value = SecretBytes::from_text(*request.urls),
                                         .on_command_line = true});

    ReceivedData received = received_data_block(fetched.raw);
    const std::vector<Field>& read = entry.data->fields;
    if (received.fields.size() != read.size())
        return CliError(TS_2021, "entry.get response shape: its fields could not be kept as sent");
    ByteView l2 = session.config.l2_key.expose_secret();
    for (const Change& change : request.changes)
        TRY(apply(change, type, type_text, read, received.fields, l2));
    if (request.urls)
        received.members["urls"] = json::array({*request.urls});

    const json body =
        entry_body(title, type_text, std::move(received.fields), std::move(received.members), id);
    const bool created = TRY(entry_upsert(vault, body));
    if (created)
        return CliError(TS_2047, "the vault created a new entry instead of updating " + id +
                                     " (it was deleted after it was read): check with "
                                     "tessarin-cli find");
    std::vector<GeneratedValue> printed;
    if (request.generate.print)
        for (const Change& c : request.changes)
            if (c.generated)
                printed.push_back(GeneratedValue{c.field, c.value.clone()});
    return confirm_upsert(false, one_line(title, k_title_width).view(), printed);
}

}  // namespace tessarin
