// The typed vault operations: each picks its action, builds its argument, runs gate_call and
// reads the result into a record.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

#include "src/config.h"
#include "src/errors.h"
#include "src/gate/http_client.h"
#include "src/gate/records.h"

namespace tessarin {

// The gate connection of one command: the configuration and the HTTP client it sends with.
struct Vault {
    const LoadedConfig& config;
    HttpClient& http;

    // The next request will certainly be followed by another (a fetch after its search): the
    // second's connection is opened while the first is answered.
    void prepare_follow_up() const { http.prepare_follow_up(config.primary.url); }
};

// An entry as read, and the result it was read from, as received.
struct FetchedEntry {
    Entry entry;
    nlohmann::json raw;
};

// "entry.get" {"id":…} read as an Entry (TS-2021 "entry.get response shape: …"). An entry
// whose entry_id is not the one asked for is refused (TS-2047).
Result<Entry> entry_get(const Vault& vault, std::string_view entry_id);
// entry_get, keeping the result as received beside the entry.
Result<FetchedEntry> entry_fetch(const Vault& vault, std::string_view entry_id);
// "entry.get" {"id":…}: the result as received; refused (TS-2047) when it reads as an entry
// of another id.
Result<nlohmann::json> entry_get_raw(const Vault& vault, std::string_view entry_id);
// "entry.upsert" with the caller's body; false only for a result {"created":false,…}.
Result<bool> entry_upsert(const Vault& vault, const nlohmann::json& body);
// "entry.delete" {"id":…}.
Result<void> entry_delete(const Vault& vault, std::string_view entry_id);
// "search.query" {"exact":…,"q":…[,"type":…]} read as one of the three result shapes.
Result<SearchResponse> entry_search(const Vault& vault, std::string_view query, bool exact,
                                    const std::optional<std::string>& type);

}  // namespace tessarin
