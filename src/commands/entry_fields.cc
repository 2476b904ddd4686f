#include "src/commands/entry_fields.h"

#include "crypto/core/primitives.h"
#include "src/base/text.h"

namespace tessarin {

namespace {

bool has_label(const std::vector<Field>& fields, std::string_view label) {
    return find_field(fields, label) != nullptr;
}

}  // namespace

std::vector<Field> completed_fields(const EntryData& data, bool with_url) {
    std::vector<Field> fields = data.fields;
    if (data.notes && !data.notes->empty() && !has_label(fields, "notes"))
        fields.push_back(Field{"notes", *data.notes, "text", 2});
    if (with_url && !data.urls.empty() && !has_label(fields, "url")) {
        std::string joined;
        for (const std::string& url : data.urls) {
            if (!joined.empty())
                joined += ", ";
            joined += url;
        }
        fields.push_back(Field{"url", std::move(joined), "url", 1});
    }
    return fields;
}

const Field* find_field(const std::vector<Field>& fields, std::string_view label) {
    for (const Field& f : fields)
        if (equal_ignoring_ascii_case(f.label, label))
            return &f;
    return nullptr;
}

CoreResult<SecretBytes> field_value(const Field& field, ByteView l2_key) {
    if (field.tier == 2 && !field.value.empty())
        return decrypt_field(l2_key, field.label, field.value);
    return SecretBytes::from_text(field.value);
}

Result<std::string> sealed_value(ByteView l2_key, std::string_view label,
                                 const SecretBytes& plaintext) {
    auto sealed = encrypt_field(l2_key, label, plaintext.expose_secret());
    if (sealed.is_error())
        return in_context(TS_2081, "encrypting " + std::string(label) + ": ",
                          InnerForm::display)(sealed.release_error());
    return sealed.release_value();
}

}  // namespace tessarin
