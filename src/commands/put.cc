#include "src/commands/put.h"

#include <algorithm>
#include <map>

#include "crypto/core/utf8.h"
#include "src/base/text.h"
#include "src/commands/entry_fields.h"
#include "src/commands/generated_secret.h"
#include "src/commands/upsert_report.h"
#include "src/gate/vault.h"
#include "src/json/record.h"
#include "src/term/output.h"

namespace tessarin {

using nlohmann::json;

namespace {

constexpr std::string_view k_file_suffix = "-file";

std::string normalised_name(std::string_view name) {
    std::string out(name);
    for (char& c : out) c = c == ' ' ? '_' : ascii_lower(c);
    return out;
}

std::string join(const std::vector<std::string_view>& names, std::string_view separator) {
    std::string out;
    for (std::string_view name : names) {
        if (!out.empty())
            out += separator;
        out += name;
    }
    return out;
}

std::string type_list() {
    return join(schema().type_names(), ", ");
}

CliError unknown_type(std::string_view given) {
    return CliError(TS_2080,
                    "unknown type '" + std::string(given) + "' (available: " + type_list() + ")");
}

// The data block's fields: those given a non-empty value, in field-name order, each secret
// sealed under its field name.
Result<json> entry_fields(const NewEntry& entry, ByteView l2_key) {
    json fields = json::array();
    for (const auto& [name, def] : entry.type->sorted_fields()) {
        auto it = entry.values.find(name);
        if (it == entry.values.end() || it->second.empty())
            continue;
        if (effective_tier(name, *def) < 2) {
            fields.push_back(
                entry_field(name, std::string(it->second.expose_text()), def->kind, 1));
            continue;
        }
        fields.push_back(
            entry_field(name, TRY(sealed_value(l2_key, name, it->second)), def->kind, 2));
    }
    return fields;
}

Result<void> send(Invocation& invocation, const NewEntry& entry,
                  std::span<const GeneratedValue> printed = {}) {
    Session& session = *TRY(invocation.session());
    json fields = TRY(entry_fields(entry, session.config.l2_key.expose_secret()));
    json data_members = json::object();
    if (entry.urls)
        data_members["urls"] = *entry.urls;
    const bool created =
        TRY(entry_upsert(session.vault(), entry_body(entry.title, entry.type_text,
                                                     std::move(fields), data_members)));
    return confirm_upsert(created, entry.title, printed);
}

// An option the type does not take: the -file form of something that is not a field, or any
// other name (then the type's options are listed).
CliError not_valid(std::string_view name, const NewEntry& entry) {
    if (name.ends_with(k_file_suffix))
        return CliError(TS_2000, "--" + std::string(name) + " is not valid for type '" +
                                     entry.type_text +
                                     "'. Secret fields use --<field>-file (e.g. --password-file)");
    return CliError(TS_2000, "--" + std::string(name) + " is not valid for type '" +
                                 entry.type_text + "'. Use: " + type_option_list(*entry.type));
}

// The flag form, after the type word: the title, then the type's options.
Result<void> put_from_options(Invocation& invocation, std::string type_word,
                              GenerateRequest generate) {
    ArgLexer& lexer = invocation.lexer();
    NewEntry entry;
    entry.type_text = std::string(type_alias(type_word));
    entry.type = schema().find_type(entry.type_text);
    // The title is the next word whatever it looks like, except that --help or -h there asks
    // for the usage text (nothing is sent), and a title that is itself one of those words, or
    // any other word beginning with "-", may follow "--".
    auto title_word = lexer.value_named("<title>");
    if (!title_word.is_error() && is_help_word(title_word.value())) {
        write_stdout(invocation.usage());
        return {};
    }
    if (!entry.type)
        return unknown_type(type_word);
    std::string title = TRY(std::move(title_word));
    if (title == "--")
        title = TRY(lexer.value_named("<title>"));
    entry.title = TRY(require_utf8(std::move(title), "<title>"));

    const TypeOptions options(*entry.type);
    Arguments args;  // the values by field name, and which option reads standard input
    for (;;) {
        auto token = TRY(lexer.next());
        if (!token)
            break;
        if (token->kind != ArgToken::Kind::Long)
            return unexpected(*token);
        if (token->text == "help") {
            write_stdout(invocation.usage());
            return {};
        }
        if (TRY(read_generator_option(token->text, lexer, generate)))
            continue;
        const OptionDef* option = find_option(options.list(), token->text);
        if (!option)
            return not_valid(token->text, entry);
        TRY(read_option(*option, lexer, args));
        // The later of --<field> and --<field>-file wins.
        const std::string_view key = option->storage_key();
        if (option->kind == OptionKind::Path)
            entry.values.insert_or_assign(std::string(key), args.content(*option)->clone());
        else
            entry.values.insert_or_assign(std::string(key),
                                          SecretBytes::from_text(*args.text(*option)));
    }
    if (auto it = entry.values.find("urls"); it != entry.values.end())
        entry.urls = json::array({std::string(it->second.expose_text())});
    TRY(check_generate_request(generate));
    for (const std::string& name : generate.fields) {
        const FieldDef* def = entry.type->find_field(name);
        if (!def || effective_tier(name, *def) < 2)
            return CliError(TS_2000, "--generate " + name + ": not a secret field of type '" +
                                         entry.type_text + "'");
        if (entry.values.contains(name))
            return CliError(TS_2000, "--generate " + name +
                                         ": the field is given a value too; give one or the other");
    }
    std::vector<GeneratedValue> generated = TRY(generate_values(generate));
    for (const GeneratedValue& g : generated)
        entry.values.insert_or_assign(g.field, g.value.clone());
    if (!generate.print)
        generated.clear();
    return send(invocation, entry, generated);
}

const char* json_kind(JsonKind kind) {
    switch (kind) {
        case JsonKind::Boolean:
            return "bool";
        case JsonKind::Array:
            return "array";
        case JsonKind::Object:
            return "object";
        default:
            return "number";
    }
}

// The JSON form's type and title, both strings, and the type looked up (no aliases).
Result<NewEntry> typed_entry(JsonMembers& object) {
    auto string_member = [&](std::string_view key) -> const JsonMember* {
        const JsonMember* member = object.find(key);
        return member && member->kind == JsonKind::String ? member : nullptr;
    };
    const JsonMember* type_text = string_member("type");
    if (!type_text)
        return CliError(TS_2000, "JSON missing \"type\" field");
    const JsonMember* title = string_member("title");
    if (!title)
        return CliError(TS_2000, "JSON missing \"title\" field");
    NewEntry entry;
    entry.type_text = std::string(type_text->text.expose_text());
    entry.title = std::string(title->text.expose_text());
    entry.type = schema().find_type(entry.type_text);
    if (!entry.type)
        return unknown_type(entry.type_text);
    return entry;
}

// Every key is the type's field, "type", "title" or "urls": the first other key in byte order
// is the one named.
Result<void> check_keys(const JsonMembers& object, const NewEntry& entry) {
    const std::string* unknown = nullptr;
    for (const JsonMember& member : object.members) {
        const std::string& key = member.key;
        if (key != "type" && key != "title" && key != "urls" && !entry.type->find_field(key) &&
            (!unknown || key < *unknown))
            unknown = &key;
    }
    if (unknown)
        return CliError(TS_2000, "unknown key '" + *unknown + "' for type '" + entry.type_text +
                                     "' \u2014 a typo would silently lose the value");
    return {};
}

// The values of the type's fields, in field-name order: strings, or null (as if absent).
Result<void> take_field_values(JsonMembers& object, NewEntry& entry) {
    for (const auto& [name, def] : entry.type->sorted_fields()) {
        (void)def;
        const JsonMember* member = object.find(name);
        if (!member || member->kind == JsonKind::Null)
            continue;
        if (member->kind != JsonKind::String)
            return CliError(TS_2000, "field '" + std::string(name) +
                                         "' must be a JSON string (got " + json_kind(member->kind) +
                                         ") \u2014 quote the value");
        // A copy: "urls" may be both a field and the entry's URL list.
        entry.values.insert_or_assign(std::string(name), member->text.clone());
    }
    return {};
}

// "urls": a string is a list of one, an array is sent as given, anything else is passed over.
void take_urls(JsonMembers& object, NewEntry& entry) {
    JsonMember* urls = object.find("urls");
    if (!urls)
        return;
    if (urls->kind == JsonKind::String)
        entry.urls = json::array({std::string(urls->text.expose_text())});
    else if (urls->kind == JsonKind::Array && urls->value)
        entry.urls = std::move(*urls->value);
}

// The JSON form: one object on standard input.
Result<void> put_from_json(Invocation& invocation, const GenerateRequest& generate) {
    if (!generate.fields.empty() || generate.length || generate.charset || generate.print)
        return CliError(TS_2000,
                        "--generate and its options are for the flag form, not put --json");
    SecretBytes input = TRY(read_path_value("-", k_input_limit));
    NewEntry entry = TRY(new_entry_from_json(input.expose_text(), [&]() -> Result<void> {
        TRY(invocation.session());
        return {};
    }));
    return send(invocation, entry);
}

}  // namespace

std::string type_option_list(const EntryType& type) {
    std::string out;
    for (const auto& [name, def] : type.sorted_fields()) {
        if (!out.empty())
            out += ", ";
        out += "--" + std::string(name) + (def->tier > 1 ? "-file" : "");
    }
    return out;
}

TypeOptions::TypeOptions(const EntryType& type) {
    auto text = [this](std::string value) -> std::string_view {
        return m_texts.emplace_back(std::move(value));
    };
    for (const auto& [name, def] : type.sorted_fields()) {
        const bool secret = effective_tier(name, *def) >= 2;
        // Options are spelt with hyphens, fields with underscores: a field like public_key is
        // taken as --public-key (the spelling offered) and as --public_key (its own name).
        std::string hyphenated(name);
        std::replace(hyphenated.begin(), hyphenated.end(), '_', '-');
        std::vector<std::string> spellings{hyphenated};
        if (hyphenated != name)
            spellings.emplace_back(name);
        for (const std::string& option : spellings) {
            const bool listed = option == spellings.front();
            m_options.push_back(OptionDef{
                .name = text(option + std::string(k_file_suffix)),
                .kind = OptionKind::Path,
                .key = name,
                .about = text(def->label + (secret ? " (secret), read from a file (- for stdin)"
                                                   : ", read from a file (- for stdin)")),
                .listed = listed,
            });
            if (secret)
                m_options.push_back(OptionDef{
                    .name = text(option),
                    .kind = OptionKind::Refused,
                    .key = name,
                    .alternative =
                        text("--" + option + "-file PATH (or - for stdin), or put --json on stdin"),
                    .listed = listed,
                });
            else
                m_options.push_back(OptionDef{
                    .name = text(option),
                    .kind = OptionKind::Text,
                    .key = name,
                    .about = text(def->label),
                    .value_name = "value",
                    .listed = listed,
                });
        }
    }
    if (!type.find_field("urls"))
        m_options.push_back(OptionDef{.name = "urls",
                                      .kind = OptionKind::Text,
                                      .about = "A URL of the entry",
                                      .value_name = "url"});
}

Result<NewEntry> new_entry_from_json(std::string_view text,
                                     const std::function<Result<void>()>& between) {
    // String values arrive in wiping buffers (they may be secrets); only the URL list is built
    // as a value, to be sent as it was given.
    static constexpr std::string_view k_kept[] = {"urls"};
    auto parsed = parse_members(text, k_max_input_depth, k_kept);
    if (parsed.is_error())
        return CliError(TS_2000, "invalid JSON: " + parsed.error());
    JsonMembers& object = parsed.value();
    NewEntry entry = TRY(typed_entry(object));
    TRY(check_keys(object, entry));
    TRY(between());
    TRY(take_field_values(object, entry));
    take_urls(object, entry);
    return entry;
}

bool looks_secret(std::string_view name) {
    const std::string n = normalised_name(name);
    if (n == "public_key" || n == "key_type" || std::string_view(n).ends_with("_public") ||
        n.find("public_key") != std::string::npos)
        return false;
    if (n == "key" || n == "api_key" || n == "ssh_key" || n == "private_key")
        return true;
    for (std::string_view word : {"password", "secret", "token", "private", "seed", "cvv", "pin"})
        if (n.find(word) != std::string::npos)
            return true;
    return false;
}

uint8_t effective_tier(std::string_view name, const FieldDef& def) {
    if (def.tier > 1 || looks_secret(name) || looks_secret(def.label))
        return 2;
    return def.tier;
}

Result<void> run_put(Invocation& invocation) {
    ArgLexer& lexer = invocation.lexer();
    bool json_form = false;
    GenerateRequest generate;  // the generator options may come before the type too
    for (;;) {
        auto token = TRY(lexer.next());
        if (!token)
            break;
        if (token->is_long(k_put_json.name)) {
            json_form = true;
            continue;
        }
        if (token->is_long("help")) {
            write_stdout(invocation.usage());
            return {};
        }
        if (token->kind == ArgToken::Kind::Long &&
            TRY(read_generator_option(token->text, lexer, generate)))
            continue;
        if (!token->is_value())
            return unexpected(*token);
        if (!is_utf8(token->text))
            return CliError(TS_2000, "not valid UTF-8");
        // With --json the first positional ends the arguments; the rest is ignored.
        if (json_form)
            return put_from_json(invocation, generate);
        return put_from_options(invocation, std::move(token->text), std::move(generate));
    }
    if (json_form)
        return put_from_json(invocation, generate);
    return CliError(TS_2000, "missing <type> (available: " + type_list() + ")");
}

}  // namespace tessarin
