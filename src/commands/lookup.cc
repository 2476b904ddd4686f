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

// The --type filter of get and find, aliases applied.
std::optional<std::string> type_filter(const Arguments& args) {
    if (const std::string* type = args.text("type"))
        return std::string(type_alias(*type));
    return std::nullopt;
}

// Candidates in an error detail: characters below U+0020 and U+007F..U+009F removed.
std::string without_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            continue;
        if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            ++i;
            continue;
        }
        out.push_back(static_cast<char>(c));
    }
    return out;
}

CliError no_match(std::string_view query) {
    return CliError(TS_2046, "no entry matched '" + std::string(query) + "'");
}

CliError several_matches(uint64_t n, std::string_view query,
                         const std::vector<std::string>& candidates) {
    std::string detail = std::to_string(n) + " matches for '" + std::string(query) + "'; ";
    if (candidates.empty())
        return CliError(TS_2045,
                        detail + "narrow your query (a longer name, or --type <entry type>)");
    detail += "fetch one by its exact title:";
    for (const std::string& c : candidates) detail += "\n  " + without_controls(c);
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
        std::vector<std::string> titles;
        for (const Entry& e : r.entries)
            if (e.title)
                titles.push_back(*e.title);
        return with_quota(several_matches(r.entries.size(), query, titles), r);
    }
    // The count shape never resolves to an entry, not even with a count of 1.
    if (r.count == 0)
        return with_quota(no_match(query), r);
    return with_quota(several_matches(r.count, query, count_lines(r)), r);
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
    if (const std::string* id = args.text("id"))
        return *id;
    return resolve_one(vault, *args.positional(), args.flag("exact", true), type, &follow_up);
}

Result<void> run_get(Invocation& invocation) {
    const Arguments& a = invocation.args();
    Session& session = *TRY(invocation.session());
    const Vault vault = session.vault();
    EarlyConnection fetch = vault.early_connection();
    std::string id = TRY(named_entry_id(vault, a, type_filter(a), fetch));
    if (a.flag("json")) {
        json raw = TRY(entry_get_raw(vault, id, {.use = &fetch}));
        write_stdout(raw.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
        return {};
    }
    Entry entry = TRY(entry_get(vault, id, {.use = &fetch}));
    if (!entry.data)
        return CliError(TS_2021, "entry response had no data block");
    std::vector<Field> fields = completed_fields(*entry.data, true);
    ByteView l2 = session.config.l2_key.expose_secret();
    const std::string* wanted = a.text("field");
    if (!wanted) {
        print_listing(fields, l2);
        return {};
    }
    const Field* field = find_field(fields, *wanted);
    if (!field)
        return CliError(TS_2050, "entry has no field named '" + *wanted + "'");
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
    std::vector<std::string> lines;
    if (r.shape != SearchResponse::Shape::CountCrypto) {
        for (const Entry& e : r.entries) lines.push_back(display_line(e.title, e.type));
    } else if (r.count > 0) {
        lines = count_lines(r);
        if (lines.empty())
            return with_quota(several_matches(r.count, name, {}), r);
    }
    if (lines.empty())
        return with_quota(no_match(name), r);
    std::string out;
    for (const std::string& line : lines) out += one_line(line, 200) + "\n";
    write_stdout(out);
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
    json result = TRY(gate_call(*session.http, session.config, "ext.totp", json{{"id", id}},
                                {.use = &totp_request}));
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
