#include "src/commands/lookup.h"

#include <vector>

#include "src/base/entry_schema.h"
#include "src/base/posix.h"
#include "src/commands/entry_fields.h"
#include "src/gate/gate.h"
#include "src/term/output.h"

namespace tessarin {

using nlohmann::json;

namespace {

// The most characters of a title (or an identifier) shown in a listing.
constexpr size_t k_title_width = 200;

// The --type filter of get and find, aliases applied.
std::optional<std::string> type_filter(const Arguments& args) {
    if (const std::string* type = args.text(k_type_filter))
        return std::string(type_alias(*type));
    return std::nullopt;
}

CliError no_match(std::string_view query) {
    return CliError(TS_2046, "no entry matched '" + std::string(query) + "'");
}

// One candidate of a TS-2045 listing: its display line and, when the reply named it, the
// identifier that fetches exactly that entry.
struct Candidate {
    std::string line;
    std::optional<std::string> id;
};

CliError several_matches(uint64_t n, std::string_view query,
                         const std::vector<Candidate>& candidates) {
    std::string detail = std::to_string(n) + " matches for '" + std::string(query) + "'; ";
    if (candidates.empty())
        return CliError(TS_2045,
                        detail + "narrow your query (a longer name, or --type <entry type>)");
    detail += "fetch one by its exact title:";
    bool any_id = false;
    for (const Candidate& c : candidates) {
        // Titles and identifiers come from the vault: one line each, without controls.
        detail += "\n  " + std::string(one_line(c.line, k_title_width).view());
        if (c.id) {
            detail += "  id: " + std::string(one_line(*c.id, k_title_width).view());
            any_id = true;
        }
    }
    if (any_id)
        detail += "\n  or by its id, in place of the query: --id <id>";
    return CliError(TS_2045, std::move(detail));
}

// The display lines of a count-shaped reply: its matches, or else its titles.
std::vector<std::string> count_lines(const SearchResponse& r) {
    std::vector<std::string> lines;
    if (!r.matches.empty()) {
        for (const MatchInfo& m : r.matches) lines.push_back(display_line(m.title, m.type));
    } else {
        lines = r.titles;
    }
    return lines;
}

// Adds the quota warning of a search reply to a failure.
CliError with_quota(CliError error, const SearchResponse& r) {
    if (r.quota)
        if (auto warning = quota_warning(*r.quota))
            error.append_note(*warning);
    return error;
}

Result<void> write_field_value(const Field& field, ByteView l2_key) {
    auto value = field_value(field, l2_key);
    if (value.is_error())
        return CliError(
            TS_2049, "decrypt field '" + field.label + "' failed: " + display(value.error().get()));
    if (auto error = write_stdout_checked(value.value().expose_text()))
        return CliError(TS_2000, "write field: " + write_error_text(*error));
    return {};
}

// TS-2050 for a --field label the entry does not have, with the labels it does have: labels
// name fields, they are not secrets.
CliError no_such_field(std::string_view wanted, const std::vector<Field>& fields) {
    std::string detail = "entry has no field named '" + std::string(wanted) + "'";
    if (fields.empty())
        return CliError(TS_2050, detail + "; it has no fields");
    detail += "; its fields: ";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i)
            detail += ", ";
        detail += one_line(fields[i].label, k_title_width).view();
    }
    return CliError(TS_2050, std::move(detail));
}

void print_listing(const std::vector<Field>& fields, ByteView l2_key) {
    for (const Field& f : fields) {
        if (f.tier >= 3) {
            print_field_marker(f.label, "[L3 \u2014 requires hardware key]");
            continue;
        }
        auto value = field_value(f, l2_key);
        if (value.is_error())
            print_field_marker(f.label, "[L2 \u2014 decrypt failed]");
        else
            print_field(f.label, value.value().expose_text());
    }
}

}  // namespace

Result<std::string> resolve_one(const Vault& vault, std::string_view query, bool exact,
                                const std::optional<std::string>& type,
                                EarlyConnection* follow_up) {
    SearchResponse r = TRY(entry_search(vault, query, exact, type, {.open = follow_up}));
    if (r.shape != SearchResponse::Shape::CountCrypto) {
        if (r.entries.size() == 1)
            return r.entries[0].entry_id;
        if (r.entries.empty())
            return with_quota(no_match(query), r);
        std::vector<Candidate> candidates;
        for (const Entry& e : r.entries)
            if (e.title)
                candidates.push_back({*e.title, e.entry_id});
        return with_quota(several_matches(r.entries.size(), query, candidates), r);
    }
    // The count shape never resolves to an entry, not even with a count of 1; it names no
    // identifiers.
    if (r.count == 0)
        return with_quota(no_match(query), r);
    std::vector<Candidate> candidates;
    for (std::string& line : count_lines(r)) candidates.push_back({std::move(line), std::nullopt});
    return with_quota(several_matches(r.count, query, candidates), r);
}

Result<void> check_entry_id(std::string_view id) {
    if (id.empty())
        return CliError(TS_2000, "--id: empty identifier");
    if (id.size() > k_max_entry_id)
        return CliError(TS_2000, "--id: longer than " + std::to_string(k_max_entry_id) + " bytes");
    return {};
}

Result<std::string> named_entry_id(const Vault& vault, const Arguments& args,
                                   const std::optional<std::string>& type,
                                   EarlyConnection& follow_up) {
    if (const std::string* id = args.text(k_id_option))
        return *id;
    return resolve_one(vault, *args.positional(), args.flag(k_exact, true), type, &follow_up);
}

Result<void> run_get(Invocation& invocation) {
    const Arguments& a = invocation.args();
    Session& session = *TRY(invocation.session());
    const Vault vault = session.vault();
    EarlyConnection fetch = vault.early_connection();
    std::string id = TRY(named_entry_id(vault, a, type_filter(a), fetch));
    if (a.flag(k_get_json)) {
        json raw = TRY(entry_get_raw(vault, id, {.use = &fetch}));
        write_stdout(raw.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
        return {};
    }
    Entry entry = TRY(entry_get(vault, id, {.use = &fetch}));
    if (!entry.data)
        return CliError(TS_2021, "entry response had no data block");
    std::vector<Field> fields = completed_fields(*entry.data, true);
    ByteView l2 = session.config.l2_key.expose_secret();
    const std::string* wanted = a.text(k_get_field);
    if (!wanted) {
        print_listing(fields, l2);
        return {};
    }
    const Field* field = find_field(fields, *wanted);
    if (!field)
        return no_such_field(*wanted, fields);
    if (field->tier >= 3)
        return CliError(TS_2048, "field '" + field->label +
                                     "' is L3 \u2014 vault does not release L3 plaintext to agents "
                                     "(hardware key required)");
    return write_field_value(*field, l2);
}

Result<void> run_find(Invocation& invocation) {
    const Arguments& a = invocation.args();
    Session& session = *TRY(invocation.session());
    const std::string& name = *a.positional();
    SearchResponse r = TRY(entry_search(session.vault(), name, false, type_filter(a)));
    // What find lists, in the reply's order: entries name their identifier, the count shape's
    // matches do not.
    std::vector<json> matches;
    auto add = [&matches](const std::optional<std::string>& title,
                          const std::optional<std::string>& type, const std::string* id) {
        json m = json::object();
        m["title"] = title ? json(*title) : json(nullptr);
        m["type"] = type ? json(*type) : json(nullptr);
        m["id"] = id ? json(*id) : json(nullptr);
        matches.push_back(std::move(m));
    };
    if (r.shape != SearchResponse::Shape::CountCrypto) {
        for (const Entry& e : r.entries) add(e.title, e.type, &e.entry_id);
    } else if (!r.matches.empty()) {
        for (const MatchInfo& m : r.matches) add(m.title, m.type, nullptr);
    } else {
        for (const std::string& t : r.titles) add(t, std::nullopt, nullptr);
    }
    const bool as_json = a.flag(k_find_json);
    if (r.shape == SearchResponse::Shape::CountCrypto && r.count > 0 && matches.empty()) {
        if (!as_json)
            return with_quota(several_matches(r.count, name, {}), r);
        write_stdout(json{{"count", r.count}}.dump(2) + "\n");
    } else if (matches.empty() || (r.shape == SearchResponse::Shape::CountCrypto && r.count == 0)) {
        return with_quota(no_match(name), r);
    } else if (as_json) {
        write_stdout(json(matches).dump(2, ' ', false, json::error_handler_t::replace) + "\n");
    } else {
        std::string out;
        for (const json& m : matches) {
            auto text = [&m](const char* key) -> std::optional<std::string> {
                const json& v = m[key];
                return v.is_string() ? std::optional<std::string>(v.get<std::string>())
                                     : std::nullopt;
            };
            out += one_line(display_line(text("title"), text("type")), k_title_width).view();
            out += '\n';
        }
        write_stdout(out);
    }
    if (r.quota)
        if (auto warning = quota_warning(*r.quota))
            write_notice(*warning + "\n");
    return {};
}

Result<void> run_totp(Invocation& invocation) {
    const Arguments& a = invocation.args();
    Session& session = *TRY(invocation.session());
    EarlyConnection totp_request = session.vault().early_connection();
    std::string id = TRY(named_entry_id(session.vault(), a, std::nullopt, totp_request));
    json result = TRY(gate_call(*session.http, session.config, *session.route, "ext.totp",
                                json{{"id", id}}, {.use = &totp_request}));
    auto totp = read_totp_response(result);
    if (totp.is_error())
        return CliError(TS_2021, "ext.totp response shape: " + totp.error().message);
    write_stdout(totp.value().code + "\n");
    return {};
}

Result<void> run_delete(Invocation& invocation) {
    const Arguments& a = invocation.args();
    Session& session = *TRY(invocation.session());
    EarlyConnection deletion = session.vault().early_connection();
    std::string id = TRY(named_entry_id(session.vault(), a, std::nullopt, deletion));
    TRY(entry_delete(session.vault(), id, {.use = &deletion}));
    // The query as typed, or the identifier.
    print_ok("Deleted: " + (a.positional() ? *a.positional() : id));
    return {};
}

}  // namespace tessarin
