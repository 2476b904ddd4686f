// What the text entries note and memory read besides the command line's options: the JSON
// object of create --json, and the checks every value passes before anything is sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/core/secret.h"
#include "src/base/errors.h"

namespace tessarin {

// The status words an entry may have, the default first.
inline constexpr std::string_view k_statuses[] = {"draft", "active", "archived"};

// The values of one text entry as create or update sends them.
struct TextEntryValues {
    SecretBytes summary;
    SecretBytes content;
    std::string status = std::string(k_statuses[0]);
    std::optional<std::string> embeddings;
    std::optional<std::string> embedding_model;
};

// The JSON object of `create --json`: only the keys summary, content, status, embeddings and
// embedding_model; summary and content must be strings, the others are used when they are
// strings. TS-2000 "invalid JSON on stdin: …" (a position, never the text), "unknown key '…' —
// …", "JSON missing \"summary\" field", "JSON missing \"content\" field". No check of the
// values themselves (see check_values).
Result<TextEntryValues> read_text_entry_json(std::string_view text);

// Content of 1 to 65536 bytes: TS-2000 "content must not be empty", TS-2110 "content is {}
// bytes, max is 65536".
Result<void> check_content(const SecretBytes& content);
// draft, active or archived, compared exactly: TS-2000 "invalid status '…' (use: …)".
Result<void> check_status(std::string_view status);
// An embedding needs the name of its model: TS-2000 "--embedding-model is required when
// --embeddings is set".
Result<void> check_embeddings(const TextEntryValues& values);
// What create checks before it sends: the content, the status, the embedding's model.
Result<void> check_values(const TextEntryValues& values);

// A search limit: an unsigned decimal integer with an optional leading "+"; nullopt when the
// text is not one (or does not fit 64 bits).
std::optional<uint64_t> parse_limit(std::string_view text);
// --limit as it is read: TS-2000 "--limit: not a number: {}" for a text parse_limit refuses
// (the range is checked once the options are complete).
Result<void> check_search_limit(std::string_view text);

}  // namespace tessarin
