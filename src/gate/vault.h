// The typed vault operations: each picks its action, builds its argument, runs gate_call and
// reads the result into a record.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "src/base/errors.h"
#include "src/config/config.h"
#include "src/gate/records.h"
#include "src/net/http_client.h"

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
Result<void> entry_delete(const Vault& vault, std::string_view entry_id);
// "search.query" {"exact":…,"q":…[,"type":…]} read as one of the three result shapes.
Result<SearchResponse> entry_search(const Vault& vault, std::string_view query, bool exact,
                                    const std::optional<std::string>& type);

}  // namespace tessarin
