#include "src/commands/textentry.h"

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "crypto/core/primitives.h"
#include "src/commands/lookup.h"
#include "src/commands/textentry_body.h"
#include "src/commands/textentry_input.h"
#include "src/commands/upsert_report.h"
#include "src/gate/vault.h"
#include "src/term/input.h"
#include "src/term/output.h"

namespace tessarin {

using nlohmann::json;

namespace {

// -- shared pieces -----------------------------------------------------------------------------

std::string kind_word(const Invocation& invocation) {
    return std::string(invocation.command());
}

// Content named by --content-file: the bounded reader at the content limit, trailing CR and LF
// dropped from a file, standard input kept exactly.
Result<SecretBytes> read_content_file(Arguments& args, const std::string& path) {
    if (path == "-")
        TRY(args.claim_stdin(k_content_file));
    return read_path_option(k_content_file.name, path, k_content_limit);
}

Result<void> upsert_and_report(Invocation& invocation, const TextEntryValues& values) {
    Session& session = *TRY(invocation.session());
    const TextEntryBody body =
        TRY(text_entry_body(session.config.l2_key.expose_secret(), invocation.command(), values));
    bool created = TRY(entry_upsert(session.vault(), body.expose_json()));
    return confirm_upsert(created, values.summary.expose_text());
}

const Field* field_labelled(const std::vector<Field>& fields, std::string_view label) {
    for (const Field& f : fields)
        if (f.label == label)
            return &f;
    return nullptr;
}

// The entry's type (its own, else its data block's) must be the command's kind, when it has one.
Result<void> check_type(const Entry& entry, std::string_view kind) {
    std::string type = entry.type.value_or("");
    if (type.empty() && entry.data)
        type = entry.data->type.value_or("");
    if (!type.empty() && type != kind)
        return CliError(TS_2000, "entry is type '" + type + "', not '" + std::string(kind) +
                                     "' \u2014 refuse cross-type " + std::string(kind) +
                                     " on this entry");
    return {};
}

// The one entry of this kind the query names: its id and the entry fetched, of the right type,
// with the result it was read from.
struct Resolved {
    std::string id;
    Entry entry;
    json raw;
};

Result<Resolved> resolve_entry(const Vault& vault, const Arguments& args, std::string_view kind) {
    EarlyConnection fetch = vault.early_connection();
    std::string id = TRY(named_entry_id(vault, args, std::string(kind), fetch));
    FetchedEntry fetched = TRY(entry_fetch(vault, id, {.use = &fetch}));
    TRY(check_type(fetched.entry, kind));
    return Resolved{std::move(id), std::move(fetched.entry), std::move(fetched.raw)};
}

// -- create ------------------------------------------------------------------------------------

Result<void> create_from_json(Invocation& invocation) {
    TRY(invocation.args().claim_stdin(k_create_json));
    SecretBytes text = TRY(read_bounded_secret("-", k_input_limit));
    auto values = read_text_entry_json(text.expose_text());
    if (values.is_error())
        return values.release_error();
    TRY(check_values(values.value()));
    return upsert_and_report(invocation, values.value());
}

// The content of a create: --content-file, else standard input unless it is a terminal.
Result<SecretBytes> create_content(Arguments& args) {
    if (const std::string* path = args.text(k_content_file))
        return read_content_file(args, *path);
    if (::isatty(STDIN_FILENO) == 1)
        return CliError(TS_2000, "no content provided (use --content-file PATH, or pipe to stdin)");
    return read_path_value("-", k_content_limit);
}

}  // namespace

Result<void> run_text_create(Invocation& invocation) {
    if (invocation.args().flag(k_create_json))
        return create_from_json(invocation);
    Arguments& a = invocation.args();
    const SecretBytes* summary = a.content(k_summary_file);
    if (!summary)
        return CliError(TS_2000,
                        "--summary-file is required (L2 secret \u2014 not on argv; or use --json)");
    TextEntryValues v;
    v.content = TRY(create_content(a));
    v.summary = summary->clone();
    if (const std::string* status = a.text(k_create_status))
        v.status = *status;
    if (const SecretBytes* embeddings = a.content(k_embeddings_file))
        v.embeddings = std::string(embeddings->expose_text());
    if (const std::string* model = a.text(k_embedding_model))
        v.embedding_model = *model;
    TRY(check_values(v));
    return upsert_and_report(invocation, v);
}

// -- get ---------------------------------------------------------------------------------------

namespace {

void print_summary(const Field& field, ByteView l2) {
    if (field.tier != 2 || field.value.empty()) {
        print_field("Summary", field.value);
        return;
    }
    auto plain = decrypt_field(l2, "summary", field.value);
    if (plain.is_error())
        print_field_marker("Summary", "[decrypt failed]");
    else
        print_field("Summary", plain.value().expose_text());
}

void print_content(const Field& field, ByteView l2) {
    std::optional<SecretBytes> plain;
    std::string_view text = field.value;
    if (field.tier == 2 && !field.value.empty()) {
        auto opened = decrypt_field(l2, "content", field.value);
        if (opened.is_error()) {
            write_stdout("\n[content: decrypt failed]\n");
            return;
        }
        plain = opened.release_value();
        text = plain->expose_text();
    }
    SafeText safe = terminal_safe(text);
    SecretBytes out;
    out.reserve(safe.view().size() + 2);
    out.push_back('\n');
    out.append_text(safe.view());
    out.push_back('\n');
    write_stdout(out.expose_text());
}

}  // namespace

Result<void> run_text_get(Invocation& invocation) {
    const Arguments& a = invocation.args();
    const std::string kind = kind_word(invocation);
    Session& session = *TRY(invocation.session());
    if (a.flag(k_text_get_json)) {
        EarlyConnection fetch = session.vault().early_connection();
        std::string id = TRY(named_entry_id(session.vault(), a, kind, fetch));
        json raw = TRY(entry_get_raw(session.vault(), id, {.use = &fetch}));
        write_stdout(raw.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
        return {};
    }
    Entry entry = TRY(resolve_entry(session.vault(), a, kind)).entry;
    if (!entry.data)
        return CliError(TS_2021, "entry response had no data block");
    const std::vector<Field>& fields = entry.data->fields;
    ByteView l2 = session.config.l2_key.expose_secret();
    if (const Field* summary = field_labelled(fields, "summary"))
        print_summary(*summary, l2);
    if (const Field* status = field_labelled(fields, "status"))
        print_field("Status", status->value);
    if (a.flag(k_text_full))
        if (const Field* content = field_labelled(fields, "content"))
            print_content(*content, l2);
    return {};
}

// -- update ------------------------------------------------------------------------------------

namespace {

// An existing summary or content: the tier-2 field of that label, decrypted.
Result<SecretBytes> existing_secret(const std::vector<Field>& fields, std::string_view label,
                                    ByteView l2) {
    const Field* field = nullptr;
    for (const Field& f : fields)
        if (f.label == label && f.tier == 2) {
            field = &f;
            break;
        }
    if (!field)
        return CliError(
            TS_2050, "cannot update: existing entry has no L2 field '" + std::string(label) + "'");
    auto plain = decrypt_field(l2, label, field->value);
    if (plain.is_error())
        return CliError(TS_2049, "cannot update: existing '" + std::string(label) +
                                     "' is unreadable (" + display(plain.error().get()) + ")");
    return plain.release_value();
}

std::optional<std::string> existing_value(const std::vector<Field>& fields,
                                          std::string_view label) {
    if (const Field* f = field_labelled(fields, label))
        return f->value;
    return std::nullopt;
}

// Each value independently: the one the options give (the content already read), else the
// entry's. A status taken over from the entry is not checked again.
Result<TextEntryValues> merged_values(const Arguments& a, std::optional<SecretBytes> new_content,
                                      const std::vector<Field>& fields, ByteView l2) {
    TextEntryValues v;
    if (const SecretBytes* summary = a.content(k_summary_file))
        v.summary = summary->clone();
    else
        v.summary = TRY(existing_secret(fields, "summary", l2));
    if (new_content)
        v.content = std::move(*new_content);
    else
        v.content = TRY(existing_secret(fields, "content", l2));
    if (const std::string* status = a.text(k_update_status))
        v.status = *status;
    else
        v.status = existing_value(fields, "status").value_or(std::string(k_statuses[0]));
    if (const SecretBytes* embeddings = a.content(k_embeddings_file))
        v.embeddings = std::string(embeddings->expose_text());
    else
        v.embeddings = existing_value(fields, "embeddings");
    if (const std::string* model = a.text(k_embedding_model))
        v.embedding_model = *model;
    else
        v.embedding_model = existing_value(fields, "embedding_model");
    return v;
}

}  // namespace

Result<void> run_text_update(Invocation& invocation) {
    Arguments& a = invocation.args();
    const std::string kind = kind_word(invocation);
    std::optional<SecretBytes> new_content;
    if (const std::string* path = a.text(k_content_file))
        new_content = TRY(read_content_file(a, *path));

    Session& session = *TRY(invocation.session());
    const Vault vault = session.vault();
    Resolved found = TRY(resolve_entry(vault, a, kind));
    const std::vector<Field> no_fields;
    const std::vector<Field>& fields = found.entry.data ? found.entry.data->fields : no_fields;
    ByteView l2 = session.config.l2_key.expose_secret();
    TextEntryValues v = TRY(merged_values(a, std::move(new_content), fields, l2));
    TRY(check_content(v.content));
    TRY(check_embeddings(v));

    KeptByUpdate kept = TRY(kept_by_update(found.entry, found.raw));
    const TextEntryBody body = TRY(text_entry_body(l2, kind, v, kept, found.id));
    TRY(entry_upsert(vault, body.expose_json()));
    return confirm_upsert(false, v.summary.expose_text());
}

// -- delete ------------------------------------------------------------------------------------

Result<void> run_text_delete(Invocation& invocation) {
    Session& session = *TRY(invocation.session());
    Resolved found = TRY(resolve_entry(session.vault(), invocation.args(), kind_word(invocation)));
    TRY(entry_delete(session.vault(), found.id));
    print_ok("Deleted.");
    return {};
}

std::string unknown_text_subcommand(std::string_view command, std::string_view word) {
    return "unknown " + std::string(command) + " subcommand '" + std::string(word) +
           "' (try: create, get, update, delete, search)";
}

}  // namespace tessarin
