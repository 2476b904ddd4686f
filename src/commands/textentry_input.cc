#include "src/commands/textentry_input.h"

#include <algorithm>

#include "src/base/text.h"
#include "src/json/record.h"
#include "src/term/input.h"

namespace tessarin {

namespace {

// The keys of the object create --json reads.
bool is_create_key(std::string_view key) {
    return key == "summary" || key == "content" || key == "status" || key == "embeddings" ||
           key == "embedding_model";
}

// The first key that create --json does not read, in byte order, or nullptr.
const std::string* first_unknown_key(const JsonMembers& object) {
    const std::string* unknown = nullptr;
    for (const JsonMember& member : object.members)
        if (!is_create_key(member.key) && (!unknown || member.key < *unknown))
            unknown = &member.key;
    return unknown;
}

}  // namespace

Result<TextEntryValues> read_text_entry_json(std::string_view text) {
    // Nothing nested is kept, so any depth is read (without recursion) and passed over.
    auto parsed = parse_members(text, k_any_depth, {});
    if (parsed.is_error())
        return CliError(TS_2000, "invalid JSON on stdin: " + parsed.error());
    JsonMembers& object = parsed.value();
    if (const std::string* unknown = first_unknown_key(object))
        return CliError(TS_2000, "unknown key '" + *unknown +
                                     "' \u2014 a typo would silently lose the value (allowed: "
                                     "summary, content, status, embeddings, embedding_model)");
    auto string_member = [&](std::string_view key) -> SecretBytes* {
        JsonMember* member = object.find(key);
        return member && member->kind == JsonKind::String ? &member->text : nullptr;
    };
    SecretBytes* summary = string_member("summary");
    if (!summary)
        return CliError(TS_2000, "JSON missing \"summary\" field");
    SecretBytes* content = string_member("content");
    if (!content)
        return CliError(TS_2000, "JSON missing \"content\" field");
    TextEntryValues v;
    v.summary = std::move(*summary);
    v.content = std::move(*content);
    if (const SecretBytes* status = string_member("status"))
        v.status = std::string(status->expose_text());
    if (const SecretBytes* embeddings = string_member("embeddings"))
        v.embeddings = std::string(embeddings->expose_text());
    if (const SecretBytes* model = string_member("embedding_model"))
        v.embedding_model = std::string(model->expose_text());
    return v;
}

Result<void> check_content(const SecretBytes& content) {
    if (content.empty())
        return CliError(TS_2000, "content must not be empty");
    if (content.size() > k_content_limit)
        return CliError(TS_2110, "content is " + std::to_string(content.size()) +
                                     " bytes, max is " + std::to_string(k_content_limit));
    return {};
}

Result<void> check_status(std::string_view status) {
    if (std::find(std::begin(k_statuses), std::end(k_statuses), status) != std::end(k_statuses))
        return {};
    return CliError(TS_2000,
                    "invalid status '" + std::string(status) + "' (use: draft, active, archived)");
}

Result<void> check_embeddings(const TextEntryValues& values) {
    if (values.embeddings && !values.embedding_model)
        return CliError(TS_2000, "--embedding-model is required when --embeddings is set");
    return {};
}

Result<void> check_values(const TextEntryValues& values) {
    TRY(check_content(values.content));
    TRY(check_status(values.status));
    return check_embeddings(values);
}

std::optional<uint64_t> parse_limit(std::string_view text) {
    return parse_unsigned_decimal(text);
}

Result<void> check_search_limit(std::string_view text) {
    if (!parse_limit(text))
        return CliError(TS_2000, "--limit: not a number: " + std::string(text));
    return {};
}

}  // namespace tessarin
