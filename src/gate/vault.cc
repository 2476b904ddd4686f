#include "src/gate/vault.h"

#include "src/gate/gate.h"

namespace tessarin {

using nlohmann::json;

namespace {

json id_argument(std::string_view entry_id) {
    return json{{"id", std::string(entry_id)}};
}

}  // namespace

Result<Entry> entry_get(const Vault& vault, std::string_view entry_id) {
    json result = TRY(gate_call(vault.http, vault.config, "entry.get", id_argument(entry_id)));
    auto entry = read_entry(result);
    if (entry.is_error())
        return CliError(TS_2021, "entry.get response shape: " + entry.error().message);
    return entry.release_value();
}

Result<json> entry_get_raw(const Vault& vault, std::string_view entry_id) {
    return gate_call(vault.http, vault.config, "entry.get", id_argument(entry_id));
}

Result<bool> entry_upsert(const Vault& vault, const json& body) {
    json result = TRY(gate_call(vault.http, vault.config, "entry.upsert", body));
    if (result.is_object()) {
        auto created = result.find("created");
        if (created != result.end() && created->is_boolean() && !created->get<bool>())
            return false;
    }
    return true;
}

Result<void> entry_delete(const Vault& vault, std::string_view entry_id) {
    TRY(gate_call(vault.http, vault.config, "entry.delete", id_argument(entry_id)));
    return {};
}

Result<SearchResponse> entry_search(const Vault& vault, std::string_view query, bool exact,
                                    const std::optional<std::string>& type) {
    json argument = {{"exact", exact}, {"q", std::string(query)}};
    if (type)
        argument["type"] = *type;
    json result = TRY(gate_call(vault.http, vault.config, "search.query", argument));
    auto response = read_search_response(result);
    if (!response)
        return CliError(TS_2021,
                        "search.query response shape: data did not match any variant of untagged "
                        "enum SearchResponse");
    return std::move(*response);
}

}  // namespace tessarin
