#include "src/commands/textentry_body.h"

#include <algorithm>
#include <string>

#include "src/commands/entry_fields.h"
#include "src/gate/vault.h"

namespace tessarin {

using nlohmann::json;

namespace {

// The fields update writes; every other field goes back as the vault sent it.
constexpr std::string_view k_written_labels[] = {"summary", "content", "status", "embeddings",
                                                 "embedding_model"};

bool written_by_update(std::string_view label) {
    return std::find(std::begin(k_written_labels), std::end(k_written_labels), label) !=
           std::end(k_written_labels);
}

// The entry's data block as received, in its object or array form (as read_entry takes it).
const json* received_data(const json& raw) {
    const json* data = nullptr;
    if (raw.is_object()) {
        for (const char* key : {"data", "vault_data"})
            if (auto it = raw.find(key); it != raw.end())
                data = &*it;
    } else if (raw.is_array() && raw.size() > 3) {
        data = &raw[3];
    }
    return data && !data->is_null() ? data : nullptr;
}

}  // namespace

ReceivedData received_data_block(const json& raw) {
    ReceivedData out;
    const json* data = received_data(raw);
    if (!data)
        return out;
    if (data->is_array()) {
        // The array form: title, type, fields, urls, notes.
        if (data->size() > 3)
            out.members["urls"] = (*data)[3];
        if (data->size() > 4 && !(*data)[4].is_null())
            out.members["notes"] = (*data)[4];
        if (data->size() > 2 && (*data)[2].is_array())
            out.fields = (*data)[2];
        return out;
    }
    for (auto it = data->begin(); it != data->end(); ++it)
        if (it.key() != "fields" && it.key() != "title" && it.key() != "type")
            out.members[it.key()] = it.value();
    if (auto fields = data->find("fields"); fields != data->end() && fields->is_array())
        out.fields = *fields;
    return out;
}

CliError holds_l3_field(std::string_view label) {
    return CliError(TS_2048, "cannot update: field '" + std::string(label) +
                                 "' is L3 and arrives without its value; sending the entry back "
                                 "would erase it");
}

Result<KeptByUpdate> kept_by_update(const Entry& entry, const json& raw) {
    KeptByUpdate kept;
    if (!entry.data || !received_data(raw))
        return kept;
    ReceivedData received = received_data_block(raw);
    kept.data = std::move(received.members);
    // read_entry read the same list, in the same order, into entry.data->fields.
    const std::vector<Field>& read = entry.data->fields;
    for (size_t i = 0; i < read.size() && i < received.fields.size(); ++i) {
        if (written_by_update(read[i].label))
            continue;
        if (read[i].tier >= 3)
            return holds_l3_field(read[i].label);
        kept.fields.push_back(received.fields[i]);
    }
    return kept;
}

Result<TextEntryBody> text_entry_body(ByteView l2, std::string_view kind,
                                      const TextEntryValues& values, const KeptByUpdate& kept,
                                      std::optional<std::string_view> id) {
    json fields = json::array();
    fields.push_back(
        entry_field("summary", TRY(sealed_value(l2, "summary", values.summary)), "text", 2));
    fields.push_back(
        entry_field("content", TRY(sealed_value(l2, "content", values.content)), "text", 2));
    fields.push_back(entry_field("status", values.status, "text", 1));
    if (values.embeddings)
        fields.push_back(entry_field("embeddings", *values.embeddings, "binary", 1));
    if (values.embedding_model)
        fields.push_back(entry_field("embedding_model", *values.embedding_model, "text", 1));
    for (const json& field : kept.fields) fields.push_back(field);
    return TextEntryBody(
        entry_body(values.summary.expose_text(), kind, std::move(fields), kept.data, id));
}

}  // namespace tessarin
