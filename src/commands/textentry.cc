#include "src/commands/textentry.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <span>
#include <vector>

#include "crypto/core/primitives.h"
#include "src/at_once.h"
#include "src/commands/lookup.h"
#include "src/commands/upsert_report.h"
#include "src/gate/gate.h"
#include "src/gate/vault.h"
#include "src/input.h"
#include "src/json_record.h"
#include "src/output.h"

namespace tessarin {

using nlohmann::json;

namespace {

constexpr std::string_view k_statuses[] = {"draft", "active", "archived"};
constexpr uint64_t k_default_limit = 10;
constexpr uint64_t k_max_limit = 50;

// -- create --json -----------------------------------------------------------------------------

// The keys of the object create --json reads.
bool is_create_key(std::string_view key) {
    return key == "summary" || key == "content" || key == "status" || key == "embeddings" ||
           key == "embedding_model";
}

// -- shared pieces -----------------------------------------------------------------------------

std::string kind_word(const Invocation& invocation) {
    return std::string(invocation.command());
}

Result<void> check_embeddings(const TextEntryValues& values) {
    if (values.embeddings && !values.embedding_model)
        return CliError(TS_2000, "--embedding-model is required when --embeddings is set");
    return {};
}

// Content named by --content-file: the bounded reader at the content limit, trailing CR and LF
// dropped from a file, standard input kept exactly.
Result<SecretBytes> read_content_file(Arguments& args, const std::string& path) {
    if (path == "-")
        TRY(args.claim_stdin("content-file"));
    return read_path_option("content-file", path, k_content_limit);
}

json field_object(std::string_view label, std::string value, std::string_view kind, int tier) {
    return json{{"kind", std::string(kind)},
                {"label", std::string(label)},
                {"tier", tier},
                {"value", std::move(value)}};
}

// The entry body sent by create and update (keys in byte order, as every object is written).
// An update passes the members of the entry's data block it keeps and the fields it does not
// write, which follow the written ones as they were received.
Result<json> build_body(ByteView l2, std::string_view kind, const TextEntryValues& v,
                        json data = json::object(), const json& kept_fields = json::array()) {
    std::string summary = TRY_OR(encrypt_field(l2, "summary", v.summary.expose_secret()),
                                 in_context(TS_2081, "encrypting summary: ", InnerForm::display));
    std::string content = TRY_OR(encrypt_field(l2, "content", v.content.expose_secret()),
                                 in_context(TS_2081, "encrypting content: ", InnerForm::display));
    json fields = json::array();
    fields.push_back(field_object("summary", std::move(summary), "text", 2));
    fields.push_back(field_object("content", std::move(content), "text", 2));
    fields.push_back(field_object("status", v.status, "text", 1));
    if (v.embeddings)
        fields.push_back(field_object("embeddings", *v.embeddings, "binary", 1));
    if (v.embedding_model)
        fields.push_back(field_object("embedding_model", *v.embedding_model, "text", 1));
    for (const json& kept : kept_fields) fields.push_back(kept);
    const std::string title(v.summary.expose_text());
    data["fields"] = std::move(fields);
    data["title"] = title;
    data["type"] = std::string(kind);
    return json{{"data", std::move(data)}, {"title", title}, {"type", std::string(kind)}};
}

// The success line of an upsert, which holds a secret (the summary) in a buffer that wipes
// itself.
Result<void> confirm_with_summary(bool created, const SecretBytes& summary) {
    const std::string_view prefix = created ? "Created: " : "Updated: ";
    SecretBytes line;
    line.reserve(prefix.size() + summary.size());
    line.append_text(prefix);
    line.append(summary.expose_secret());
    return confirm_upsert(created, line.expose_text());
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
    std::string id = TRY(named_entry_id(vault, args, std::string(kind)));
    FetchedEntry fetched = TRY(entry_fetch(vault, id));
    TRY(check_type(fetched.entry, kind));
    return Resolved{std::move(id), std::move(fetched.entry), std::move(fetched.raw)};
}

Result<void> upsert_and_report(Invocation& invocation, const TextEntryValues& values) {
    Session& session = *TRY(invocation.session());
    json body =
        TRY(build_body(session.config.l2_key.expose_secret(), invocation.command(), values));
    bool created = TRY(entry_upsert(session.vault(), body));
    return confirm_with_summary(created, values.summary);
}

// -- create ------------------------------------------------------------------------------------

Result<void> create_from_json(Invocation& invocation) {
    TRY(invocation.args().claim_stdin("json"));
    SecretBytes text = TRY(read_bounded_secret("-", k_input_limit));
    auto values = read_text_entry_json(text.expose_text());
    if (values.is_error())
        return values.release_error();
    TRY(check_content(values.value().content));
    TRY(check_status(values.value().status));
    TRY(check_embeddings(values.value()));
    return upsert_and_report(invocation, values.value());
}

Result<void> run_create(Invocation& invocation) {
    if (invocation.args().flag("json"))
        return create_from_json(invocation);
    Arguments& a = invocation.args();
    const SecretBytes* summary = a.content("summary-file");
    if (!summary)
        return CliError(TS_2000,
                        "--summary-file is required (L2 secret \u2014 not on argv; or use --json)");
    TextEntryValues v;
    if (const std::string* path = a.text("content-file")) {
        v.content = TRY(read_content_file(a, *path));
    } else {
        if (::isatty(STDIN_FILENO) == 1)
            return CliError(TS_2000,
                            "no content provided (use --content-file PATH, or pipe to stdin)");
        v.content = TRY(read_path_value("-", k_content_limit));
    }
    v.summary = summary->clone();
    if (const std::string* status = a.text("status"))
        v.status = *status;
    if (const SecretBytes* embeddings = a.content("embeddings-file"))
        v.embeddings = std::string(embeddings->expose_text());
    if (const std::string* model = a.text("embedding-model"))
        v.embedding_model = *model;
    TRY(check_content(v.content));
    TRY(check_status(v.status));
    TRY(check_embeddings(v));
    return upsert_and_report(invocation, v);
}

// -- get ---------------------------------------------------------------------------------------

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
    std::string out;
    out.reserve(safe.view().size() + 2);
    out.append("\n").append(safe.view()).append("\n");
    write_stdout(out);
    wipe_string(out);
}

Result<void> run_get(Invocation& invocation) {
    const Arguments& a = invocation.args();
    const std::string kind = kind_word(invocation);
    Session& session = *TRY(invocation.session());
    if (a.flag("json")) {
        std::string id = TRY(named_entry_id(session.vault(), a, kind));
        json raw = TRY(entry_get_raw(session.vault(), id));
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
    if (a.flag("full"))
        if (const Field* content = field_labelled(fields, "content"))
            print_content(*content, l2);
    return {};
}

// -- update ------------------------------------------------------------------------------------

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

// The fields update writes; every other field goes back as the vault sent it.
constexpr std::string_view k_written_labels[] = {"summary", "content", "status", "embeddings",
                                                 "embedding_model"};

bool written_by_update(std::string_view label) {
    return std::find(std::begin(k_written_labels), std::end(k_written_labels), label) !=
           std::end(k_written_labels);
}

// The entry's data block as received, in its object or array form (as read_entry takes it).
const json* received_data(const json& raw) {
    const json* data = nullptr;
    if (raw.is_object()) {
        for (const char* key : {"data", "vault_data"})
            if (auto it = raw.find(key); it != raw.end())
                data = &*it;
    } else if (raw.is_array() && raw.size() > 3) {
        data = &raw[3];
    }
    return data && !data->is_null() ? data : nullptr;
}

// What update keeps of the entry: the members of its data block other than fields, title and
// type, and the fields it does not write, in their order, each as received (a tier-2 value
// stays the ciphertext it was). A field of tier 3 or more arrives without its value, so sending
// it back would erase it: such an entry is refused.
struct Kept {
    json data = json::object();
    json fields = json::array();
};

Result<Kept> kept_by_update(const Resolved& found) {
    Kept kept;
    const json* data = received_data(found.raw);
    if (!data || !found.entry.data)
        return kept;
    const json* fields = nullptr;
    if (data->is_object()) {
        for (auto it = data->begin(); it != data->end(); ++it)
            if (it.key() != "fields" && it.key() != "title" && it.key() != "type")
                kept.data[it.key()] = it.value();
        if (auto it = data->find("fields"); it != data->end())
            fields = &*it;
    } else {
        // The array form: title, type, fields, urls, notes.
        if (data->size() > 3)
            kept.data["urls"] = (*data)[3];
        if (data->size() > 4 && !(*data)[4].is_null())
            kept.data["notes"] = (*data)[4];
        if (data->size() > 2)
            fields = &(*data)[2];
    }
    // read_entry read the same list, in the same order, into entry.data->fields.
    const std::vector<Field>& read = found.entry.data->fields;
    for (size_t i = 0; fields && i < read.size() && i < fields->size(); ++i) {
        if (written_by_update(read[i].label))
            continue;
        if (read[i].tier >= 3)
            return CliError(TS_2048, "cannot update: field '" + read[i].label +
                                         "' is L3 and arrives without its value; sending the "
                                         "entry back would erase it");
        kept.fields.push_back((*fields)[i]);
    }
    return kept;
}

Result<void> run_update(Invocation& invocation) {
    Arguments& a = invocation.args();
    const std::string kind = kind_word(invocation);
    std::optional<SecretBytes> new_content;
    if (const std::string* path = a.text("content-file"))
        new_content = TRY(read_content_file(a, *path));

    Session& session = *TRY(invocation.session());
    const Vault vault = session.vault();
    Resolved found = TRY(resolve_entry(vault, a, kind));
    const Entry& entry = found.entry;
    const std::vector<Field> no_fields;
    const std::vector<Field>& fields = entry.data ? entry.data->fields : no_fields;
    ByteView l2 = session.config.l2_key.expose_secret();

    // Each value independently: the new one, else the entry's.
    TextEntryValues v;
    if (const SecretBytes* summary = a.content("summary-file"))
        v.summary = summary->clone();
    else
        v.summary = TRY(existing_secret(fields, "summary", l2));
    if (new_content)
        v.content = std::move(*new_content);
    else
        v.content = TRY(existing_secret(fields, "content", l2));
    // A status taken over from the entry is not checked again.
    if (const std::string* status = a.text("status"))
        v.status = *status;
    else
        v.status = existing_value(fields, "status").value_or("draft");
    if (const SecretBytes* embeddings = a.content("embeddings-file"))
        v.embeddings = std::string(embeddings->expose_text());
    else
        v.embeddings = existing_value(fields, "embeddings");
    if (const std::string* model = a.text("embedding-model"))
        v.embedding_model = *model;
    else
        v.embedding_model = existing_value(fields, "embedding_model");
    TRY(check_content(v.content));
    TRY(check_embeddings(v));

    Kept kept = TRY(kept_by_update(found));
    json body = TRY(build_body(l2, kind, v, std::move(kept.data), kept.fields));
    body["id"] = found.id;
    TRY(entry_upsert(vault, body));
    return confirm_with_summary(false, v.summary);
}

// -- delete ------------------------------------------------------------------------------------

Result<void> run_delete(Invocation& invocation) {
    Session& session = *TRY(invocation.session());
    Resolved found = TRY(resolve_entry(session.vault(), invocation.args(), kind_word(invocation)));
    TRY(entry_delete(session.vault(), found.id));
    print_ok("Deleted.");
    return {};
}

// -- search ------------------------------------------------------------------------------------

// A distance with exactly four decimals ("0.1234"), however large.
std::string four_decimals(double value) {
    int n = std::snprintf(nullptr, 0, "%.4f", value);
    if (n <= 0)
        return "?";
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), "%.4f", value);
    out.pop_back();
    return out;
}

// What a hit is shown as: its decrypted summary, else its title, else its id.
SecretBytes hit_display(const Vault& vault, const std::string& id) {
    auto entry = entry_get(vault, id);
    if (entry.is_error())
        return SecretBytes::from_text(id);
    const Entry& e = entry.value();
    if (e.data)
        for (const Field& f : e.data->fields)
            if (f.label == "summary" && f.tier == 2) {
                auto plain = decrypt_field(vault.config.l2_key.expose_secret(), "summary", f.value);
                if (!plain.is_error())
                    return plain.release_value();
                break;
            }
    return SecretBytes::from_text(e.title ? *e.title : id);
}

// One hit of a similarity search, as the reply gives it.
const std::string k_no_id = "?";

struct Hit {
    std::optional<std::string> id;
    double distance = 0;
    std::string model = "?";
};

Hit read_hit(const json& hit) {
    Hit h;
    if (!hit.is_object())
        return h;
    auto it = hit.find("entry_id");
    if (it != hit.end() && it->is_string())
        h.id = it->get<std::string>();
    it = hit.find("distance");
    if (it != hit.end() && it->is_number())
        h.distance = it->get<double>();
    it = hit.find("embedding_model");
    if (it != hit.end() && it->is_string())
        h.model = it->get<std::string>();
    return h;
}

// The listing's lines, in hit order: id, distance, [model] and what the hit is shown as, tab
// separated. Every text from the vault is made one line, so that none can forge a line or a
// column. The look-ups run at once; they get two request timeouts in all, after which the
// hits not yet looked up are shown by their ids, like hits whose look-up failed.
void list_hits(const Vault& vault, const std::vector<Hit>& hits) {
    AtOnce<SecretBytes> lookups(hits.size(), k_requests_at_once,
                                [&](size_t i, const std::atomic<bool>&) {
                                    // A hit without an id has nothing to look up: it is "?".
                                    if (!hits[i].id)
                                        return SecretBytes::from_text(k_no_id);
                                    // With this many hits still to come, the thread takes another
                                    // when this one is done: its connection is opened while this
                                    // look-up is answered.
                                    if (i + k_requests_at_once < hits.size())
                                        vault.prepare_follow_up();
                                    return hit_display(vault, *hits[i].id);
                                });
    const auto budget_end = std::chrono::steady_clock::now() + 2 * k_request_timeout;
    bool given_up = false;
    for (size_t i = 0; i < hits.size(); ++i) {
        const Hit& hit = hits[i];
        const std::string& id = hit.id ? *hit.id : k_no_id;
        std::optional<SecretBytes> display = lookups.take(i, budget_end);
        if (!display && !given_up) {
            given_up = true;
            lookups.stop();
            vault.http.abandon();
            display = lookups.take(i);
        }
        if (!display)
            display = SecretBytes::from_text(id);
        const std::string distance_text = four_decimals(hit.distance);
        const std::string safe_id = one_line(id, SIZE_MAX);
        const std::string safe_model = one_line(hit.model, SIZE_MAX);
        std::string safe_display = one_line(display->expose_text(), SIZE_MAX);
        SecretBytes line;
        line.reserve(safe_id.size() + distance_text.size() + safe_model.size() +
                     safe_display.size() + 8);
        line.append_text(safe_id);
        line.append_text("\t");
        line.append_text(distance_text);
        line.append_text("\t[");
        line.append_text(safe_model);
        line.append_text("]\t");
        line.append_text(safe_display);
        wipe_string(safe_display);
        line.append_text("\n");
        write_stdout(line.expose_text());
    }
}

Result<void> run_search(Invocation& invocation) {
    const Arguments& a = invocation.args();
    const std::string kind = kind_word(invocation);
    const SecretBytes* vector = a.content("vector-file");
    if (!vector)
        return CliError(TS_2000,
                        "--vector-file is required (base64-encoded embedding; not on argv)");
    uint64_t limit = k_default_limit;
    if (const std::string* text = a.text("limit"))
        limit = parse_limit(*text).value_or(0);
    if (limit < 1 || limit > k_max_limit)
        return CliError(TS_2000, "--limit must be between 1 and 50");

    Session& session = *TRY(invocation.session());
    const Vault vault = session.vault();
    json argument = {
        {"category", kind}, {"limit", limit}, {"vector", std::string(vector->expose_text())}};
    json result = TRY(gate_call(*session.http, session.config, "search.similar", argument));
    if (!result.is_array() || result.empty()) {
        write_stdout("No similar " + kind + "s found.\n");
        return {};
    }
    // A reply may list more hits than were asked for: only the first `limit` are looked up
    // (each look-up counts against the agent's read quota) and listed.
    std::vector<Hit> hits;
    for (size_t i = 0; i < result.size() && i < limit; ++i) hits.push_back(read_hit(result[i]));
    list_hits(vault, hits);
    return {};
}

// -- the table ---------------------------------------------------------------------------------

Result<void> check_limit(std::string_view text) {
    if (!parse_limit(text))
        return CliError(TS_2000, "--limit: not a number: " + std::string(text));
    return {};
}

constexpr OptionDef k_summary_file{.name = "summary-file",
                                   .kind = OptionKind::Path,
                                   .about = "The summary (the title), read from a file"};
// Remembered, and read after the other options.
constexpr OptionDef k_content_file{.name = "content-file",
                                   .kind = OptionKind::Text,
                                   .about = "The content, read from a file (1 to 65536 bytes)",
                                   .value_name = "path"};
constexpr OptionDef k_embeddings_file{.name = "embeddings-file",
                                      .kind = OptionKind::Path,
                                      .about = "The embedding, read from a file"};
constexpr OptionDef k_embedding_model{.name = "embedding-model",
                                      .kind = OptionKind::Text,
                                      .about = "Name of the model that made the embedding",
                                      .value_name = "name"};

constexpr std::string_view k_status_about = "draft (the default), active or archived";

constexpr OptionDef k_create_options[] = {
    k_summary_file,
    k_content_file,
    {.name = "status",
     .kind = OptionKind::Text,
     .about = k_status_about,
     .value_name = "status",
     .choices = k_statuses},
    k_embeddings_file,
    k_embedding_model,
    {.name = "json", .about = "Read one JSON object from standard input instead"},
    {.name = "summary",
     .kind = OptionKind::Refused,
     .alternative = "--summary-file PATH or --json"},
    {.name = "content",
     .kind = OptionKind::Refused,
     .alternative = "--content-file PATH or --json"},
    {.name = "embeddings",
     .kind = OptionKind::Refused,
     .alternative = "--embeddings-file PATH or --json"},
};

constexpr OptionDef k_get_options[] = {
    {.name = "full", .about = "Print the content too"},
    {.name = "json", .about = "Print the whole entry as JSON, undecrypted"},
    k_exact,
    k_fuzzy,
    k_id_option,
};

// The status of an update is checked as soon as it is read, before anything else.
constexpr OptionDef k_update_options[] = {
    k_summary_file,
    k_content_file,
    {.name = "status",
     .kind = OptionKind::Text,
     .check = check_status,
     .about = k_status_about,
     .value_name = "status",
     .choices = k_statuses},
    k_embeddings_file,
    k_embedding_model,
    k_exact,
    k_fuzzy,
    k_id_option,
    {.name = "summary", .kind = OptionKind::Refused, .alternative = "--summary-file PATH"},
    {.name = "content", .kind = OptionKind::Refused, .alternative = "--content-file PATH"},
    {.name = "embeddings",
     .kind = OptionKind::Refused,
     .alternative = "--embeddings-file PATH or --json"},
};

constexpr OptionDef k_delete_options[] = {k_exact, k_fuzzy, k_id_option};

constexpr OptionDef k_search_options[] = {
    {.name = "vector-file",
     .kind = OptionKind::Path,
     .about = "The query embedding (base64), read from a file"},
    {.name = "limit",
     .kind = OptionKind::Text,
     .check = check_limit,
     .about = "At most N hits, 1 to 50 (default 10)",
     .value_name = "N"},
    {.name = "vector",
     .kind = OptionKind::Refused,
     .alternative = "--vector-file PATH or stdin via --vector-file -"},
};

// One list per kind: only the missing-query hints of get and delete name the kind.
constexpr std::array<CommandDef, 5> subcommand_list(std::string_view get_missing,
                                                    std::string_view delete_missing) {
    return {{
        // Create, update and search load the configuration once their input has passed its
        // checks; get and delete have nothing to check but the query.
        {.name = "create",
         .help = {.summary = "Create an entry"},
         .options = k_create_options,
         .needs = Needs::ConfigOnDemand,
         .run = run_create},
        {.name = "get",
         .help = {.summary = "Show an entry"},
         .options = k_get_options,
         .positional = {"query", get_missing},
         .needs = Needs::Config,
         .run = run_get},
        {.name = "update",
         .help = {.summary = "Change an entry"},
         .options = k_update_options,
         .positional = {"query", "missing <query>"},
         .needs = Needs::ConfigOnDemand,
         .run = run_update},
        {.name = "delete",
         .help = {.summary = "Delete an entry"},
         .options = k_delete_options,
         .positional = {"query", delete_missing},
         .needs = Needs::Config,
         .run = run_delete},
        {.name = "search",
         .help = {.summary = "List the entries nearest to an embedding"},
         .options = k_search_options,
         .needs = Needs::ConfigOnDemand,
         .run = run_search},
    }};
}

constexpr auto k_note_subcommands =
    subcommand_list("missing <query> (try: tessarin-cli note get \"title\")",
                    "missing <query> (try: tessarin-cli note delete \"title\")");
constexpr auto k_memory_subcommands =
    subcommand_list("missing <query> (try: tessarin-cli memory get \"title\")",
                    "missing <query> (try: tessarin-cli memory delete \"title\")");

std::string unknown_subcommand(std::string_view command, std::string_view word) {
    return "unknown " + std::string(command) + " subcommand '" + std::string(word) +
           "' (try: create, list, get, update, delete, search)";
}

}  // namespace

Result<TextEntryValues> read_text_entry_json(std::string_view text) {
    // Nothing nested is kept, so any depth is read (without recursion) and passed over.
    auto parsed = parse_members(text, k_any_depth, {});
    if (parsed.is_error())
        return CliError(TS_2000, "invalid JSON on stdin: " + parsed.error());
    JsonMembers& object = parsed.value();
    // The first unknown key in byte order is the one named.
    const std::string* unknown = nullptr;
    for (const JsonMember& member : object.members)
        if (!is_create_key(member.key) && (!unknown || member.key < *unknown))
            unknown = &member.key;
    if (unknown)
        return CliError(TS_2000, "unknown key '" + *unknown +
                                     "' \u2014 a typo would silently lose the value (allowed: "
                                     "summary, content, status, embeddings, embedding_model)");
    auto string_member = [&](std::string_view key) -> SecretBytes* {
        JsonMember* member = object.find(key);
        return member && member->kind == JsonKind::String ? &member->text : nullptr;
    };
    SecretBytes* summary = string_member("summary");
    if (!summary)
        return CliError(TS_2000, "JSON missing \"summary\" field");
    SecretBytes* content = string_member("content");
    if (!content)
        return CliError(TS_2000, "JSON missing \"content\" field");
    TextEntryValues v;
    v.summary = std::move(*summary);
    v.content = std::move(*content);
    if (const SecretBytes* status = string_member("status"))
        v.status = std::string(status->expose_text());
    if (const SecretBytes* embeddings = string_member("embeddings"))
        v.embeddings = std::string(embeddings->expose_text());
    if (const SecretBytes* model = string_member("embedding_model"))
        v.embedding_model = std::string(model->expose_text());
    return v;
}

Result<void> check_content(const SecretBytes& content) {
    if (content.empty())
        return CliError(TS_2000, "content must not be empty");
    if (content.size() > k_content_limit)
        return CliError(TS_2110, "content is " + std::to_string(content.size()) +
                                     " bytes, max is " + std::to_string(k_content_limit));
    return {};
}

Result<void> check_status(std::string_view status) {
    for (std::string_view word : k_statuses)
        if (status == word)
            return {};
    return CliError(TS_2000,
                    "invalid status '" + std::string(status) + "' (use: draft, active, archived)");
}

std::optional<uint64_t> parse_limit(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

SubcommandDef text_entry_subcommands(TextKind kind) {
    std::span<const CommandDef> list = kind == TextKind::Note
                                           ? std::span<const CommandDef>(k_note_subcommands)
                                           : std::span<const CommandDef>(k_memory_subcommands);
    return SubcommandDef{SubcommandDef::Read::Leading, list, unknown_subcommand};
}

}  // namespace tessarin
