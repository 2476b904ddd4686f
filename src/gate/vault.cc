#include "src/gate/vault.h"

#include "src/gate/gate.h"

namespace tessarin {

using nlohmann::json;

namespace {

json id_argument(std::string_view entry_id) {
    return json{{"id", std::string(entry_id)}};
}

// The gate answered for another entry than the one asked for: what it sent must not be shown
// or written back as the entry asked for.
CliError another_entry() {
    return CliError(TS_2047,
                    "entry.get answered for another entry than the one asked for (its entry_id "
                    "differs) \u2014 refusing the reply");
}

// Whether the result names an entry_id other than the one asked for. Checked before anything
// else is read from it: a reply carrying another entry's id is refused whatever its shape.
bool for_another_entry(const json& result, std::string_view entry_id) {
    const json* id = entry_id_member(result);
    return id && !(id->is_string() && id->get_ref<const std::string&>() == entry_id);
}

}  // namespace

Result<Entry> entry_get(const Vault& vault, std::string_view entry_id, EarlyConnections early) {
    return std::move(TRY(entry_fetch(vault, entry_id, early)).entry);
}

Result<FetchedEntry> entry_fetch(const Vault& vault, std::string_view entry_id,
                                 EarlyConnections early) {
    json result = TRY(gate_call(vault.http, vault.config, vault.route, "entry.get",
                                id_argument(entry_id), early));
    if (for_another_entry(result, entry_id))
        return another_entry();
    auto entry = read_entry(result);
    if (entry.is_error())
        return CliError(TS_2021, "entry.get response shape: " + entry.error().message);
    return FetchedEntry{entry.release_value(), std::move(result)};
}

Result<json> entry_get_raw(const Vault& vault, std::string_view entry_id, EarlyConnections early) {
    json result = TRY(gate_call(vault.http, vault.config, vault.route, "entry.get",
                                id_argument(entry_id), early));
    // A result that is not an entry is printed as received, unless it names another entry.
    if (for_another_entry(result, entry_id))
        return another_entry();
    return result;
}

json entry_field(std::string_view label, std::string value, std::string_view kind, int tier) {
    return json{{"kind", std::string(kind)},
                {"label", std::string(label)},
                {"tier", tier},
                {"value", std::move(value)}};
}

json entry_body(std::string_view title, std::string_view type, json fields, json data_members,
                std::optional<std::string_view> id) {
    json data = std::move(data_members);
    data["fields"] = std::move(fields);
    // The title may be a plaintext summary: it is written straight into the value, with no
    // temporary string whose short-string buffer would keep a copy.
    data["title"] = title;
    data["type"] = std::string(type);
    json body = {{"data", std::move(data)}, {"title", title}, {"type", std::string(type)}};
    if (id)
        body["id"] = std::string(*id);
    return body;
}

Result<bool> entry_upsert(const Vault& vault, const json& body) {
    json result = TRY(gate_call(vault.http, vault.config, vault.route, "entry.upsert", body));
    if (result.is_object()) {
        auto created = result.find("created");
        if (created != result.end() && created->is_boolean() && !created->get<bool>())
            return false;
    }
    return true;
}

Result<void> entry_delete(const Vault& vault, std::string_view entry_id, EarlyConnections early) {
    TRY(gate_call(vault.http, vault.config, vault.route, "entry.delete", id_argument(entry_id),
                  early));
    return {};
}

Result<SearchResponse> entry_search(const Vault& vault, std::string_view query, bool exact,
                                    const std::optional<std::string>& type,
                                    EarlyConnections early) {
    json argument = {{"exact", exact}, {"q", std::string(query)}};
    if (type)
        argument["type"] = *type;
    json result =
        TRY(gate_call(vault.http, vault.config, vault.route, "search.query", argument, early));
    auto response = read_search_response(result);
    if (!response)
        return CliError(TS_2021,
                        "search.query response shape: data did not match any variant of untagged "
                        "enum SearchResponse");
    return std::move(*response);
}

}  // namespace tessarin
