// The typed vault operations: each picks its action, builds its argument, runs gate_call and
// reads the result into a record.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "src/base/errors.h"
#include "src/config/config.h"
#include "src/gate/gate.h"
#include "src/gate/records.h"
#include "src/net/http_client.h"

namespace tessarin {

// The gate connection of one command: the configuration, the HTTP client it sends with, the
// command's one stop, requested when the answers still to come are no longer wanted, and what
// the command learned of its gates.
struct Vault {
    const LoadedConfig& config;
    HttpClient& http;
    std::stop_source& stop;
    GateRoute& route;

    // An early connection to the primary gate, not opened yet: for a request that certainly
    // follows another (a fetch after its search). Given to the first to open, it is opened
    // while the first is answered; given to the second to use, it carries the second.
    EarlyConnection early_connection() const { return EarlyConnection(config.primary.url); }

    // Announces `requests` about to start at once, so that early connections leave their slots
    // free until they have taken them (nothing for a client without a budget).
    std::optional<ConnectionBudget::Coming> requests_coming(size_t requests) const {
        ConnectionBudget* budget = http.budget();
        if (!budget)
            return std::nullopt;
        return budget->expect(requests);
    }
};

// An entry as read, and the result it was read from, as received.
struct FetchedEntry {
    Entry entry;
    nlohmann::json raw;
};

// "entry.get" {"id":…} read as an Entry (TS-2021 "entry.get response shape: …"). A result
// whose entry_id is not the one asked for is refused first (TS-2047), whatever its shape.
// The vault operations take the early connections their request uses or opens, if any.
Result<Entry> entry_get(const Vault& vault, std::string_view entry_id, EarlyConnections early = {});
// entry_get, keeping the result as received beside the entry.
Result<FetchedEntry> entry_fetch(const Vault& vault, std::string_view entry_id,
                                 EarlyConnections early = {});
// "entry.get" {"id":…}: the result as received; refused (TS-2047) when its entry_id, wherever
// present, is not the one asked for.
Result<nlohmann::json> entry_get_raw(const Vault& vault, std::string_view entry_id,
                                     EarlyConnections early = {});
// One field of an entry body: {"kind":…,"label":…,"tier":…,"value":…}.
nlohmann::json entry_field(std::string_view label, std::string value, std::string_view kind,
                           int tier);

// The body of an "entry.upsert": the title and the type, at the top and again in the data
// block; the data block's fields in the order given and its other members (urls, notes, …)
// as given; and the id of the entry it replaces (none: the vault makes a new entry). Like every
// object the client writes, each keeps its keys in ascending byte order:
// {"data":{…,"fields":[…],"title":…,"type":…},"id":…,"title":…,"type":…}.
nlohmann::json entry_body(std::string_view title, std::string_view type, nlohmann::json fields,
                          nlohmann::json data_members = nlohmann::json::object(),
                          std::optional<std::string_view> id = std::nullopt);

// "entry.upsert" with an entry_body; false only for a result {"created":false,…}.
Result<bool> entry_upsert(const Vault& vault, const nlohmann::json& body);
// "entry.delete" {"id":…}.
Result<void> entry_delete(const Vault& vault, std::string_view entry_id,
                          EarlyConnections early = {});
// "search.query" {"exact":…,"q":…[,"type":…]} read as one of the three result shapes.
Result<SearchResponse> entry_search(const Vault& vault, std::string_view query, bool exact,
                                    const std::optional<std::string>& type,
                                    EarlyConnections early = {});

}  // namespace tessarin
