// The JSON records the vault returns. Records ignore keys they do not list, and are also
// accepted in array form with their members in the listed order.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crypto/core/result.h"

namespace tessarin {

struct Field {
    std::string label;
    std::string value;  // for tier 2 the L2 ciphertext
    std::optional<std::string> kind;
    uint8_t tier = 1;
};

struct EntryData {
    std::optional<std::string> title;
    std::optional<std::string> type;
    std::vector<Field> fields;
    std::vector<std::string> urls;
    std::optional<std::string> notes;
};

struct Entry {
    std::string entry_id;
    std::optional<std::string> type;
    std::optional<std::string> title;
    std::optional<EntryData> data;  // also read from "vault_data"
};

struct MatchInfo {
    std::optional<std::string> title;
    std::optional<std::string> type;
};

struct Quota {
    uint32_t minute_used = 0;
    uint32_t minute_limit = 0;  // 0: the window is not limited
    uint32_t hour_used = 0;
    uint32_t hour_limit = 0;
};

// A search result in one of three shapes, tried in this order.
struct SearchResponse {
    enum class Shape { Plain, Wrapped, CountCrypto };
    Shape shape = Shape::Plain;
    std::vector<Entry> entries;  // Plain, Wrapped
    uint32_t count = 0;          // CountCrypto
    std::vector<std::string> titles;
    std::vector<MatchInfo> matches;
    std::optional<std::string> message;
    std::optional<Quota> quota;  // Wrapped, CountCrypto
};

struct TotpResponse {
    std::string code;
    std::optional<uint32_t> expires_in;
};

// Why a JSON value is not the record asked for ("missing field `entry_id`").
struct ReadError {
    std::string message;
};

BasicResult<Entry, ReadError> read_entry(const nlohmann::json& value);
// The entry_id member of a value in an entry's place, whatever else it holds (the member of that
// name, or the first of an array short enough to be an entry), or null when it has none.
const nlohmann::json* entry_id_member(const nlohmann::json& value);
BasicResult<Quota, ReadError> read_quota(const nlohmann::json& value);
// nullopt when the value fits none of the three shapes.
std::optional<SearchResponse> read_search_response(const nlohmann::json& value);
BasicResult<TotpResponse, ReadError> read_totp_response(const nlohmann::json& value);

// A title and an optional type: "Stripe (api_key)".
std::string display_line(const std::optional<std::string>& title,
                         const std::optional<std::string>& type);

}  // namespace tessarin
