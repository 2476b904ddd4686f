// The text entries note and memory: one implementation whose kind is the command word. Each
// entry keeps an L2-sealed summary (also its title) and content, a status, and optionally an
// embedding with the name of the model that made it, for similarity search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/core/secret.h"
#include "src/command.h"
#include "src/errors.h"

namespace tessarin {

enum class TextKind { Note, Memory };

// The values of one text entry as create or update sends them.
struct TextEntryValues {
    SecretBytes summary;
    SecretBytes content;
    std::string status = "draft";
    std::optional<std::string> embeddings;
    std::optional<std::string> embedding_model;
};

// The JSON object of `create --json`: only the keys summary, content, status, embeddings and
// embedding_model; summary and content must be strings, the others are used when they are
// strings. TS-2000 "invalid JSON on stdin: …" (a position, never the text), "unknown key '…' —
// …", "JSON missing \"summary\" field", "JSON missing \"content\" field". No check of the
// values themselves (see check_content, check_status).
Result<TextEntryValues> read_text_entry_json(std::string_view text);

// Content of 1 to 65536 bytes: TS-2000 "content must not be empty", TS-2110 "content is {}
// bytes, max is 65536".
Result<void> check_content(const SecretBytes& content);
// draft, active or archived, compared exactly: TS-2000 "invalid status '…' (use: …)".
Result<void> check_status(std::string_view status);

// A search limit: an unsigned decimal integer with an optional leading "+"; nullopt when the
// text is not one (or does not fit 64 bits).
std::optional<uint64_t> parse_limit(std::string_view text);

// The sub-commands of note or memory: create, get, update, delete, search.
SubcommandDef text_entry_subcommands(TextKind kind);

}  // namespace tessarin
