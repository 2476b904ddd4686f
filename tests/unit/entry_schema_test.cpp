#include "src/entry_schema.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace tessarin {
namespace {

using OrderedJson = nlohmann::ordered_json;

std::vector<std::string> keys_of(const OrderedJson& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

OrderedJson document() {
    return OrderedJson::parse(schema_document());
}

const std::vector<std::string> k_sources = {
    "protonpass", "bitwarden", "1password", "lastpass", "dashlane", "keepass", "nordpass",
    "keeper",     "roboform",  "enpass",    "chrome",   "firefox",  "safari",  "keepassxc"};

// Every field of every type, in document order: type, field, label, kind, tier, required.
struct FieldRow {
    const char* type;
    const char* field;
    const char* label;
    const char* kind;
    int tier;
    bool required;
};
const FieldRow k_fields[] = {
    {"credential", "title", "Title", "text", 1, true},
    {"credential", "urls", "URLs", "textarea", 1, false},
    {"credential", "username", "Username", "text", 1, false},
    {"credential", "password", "Password", "password", 2, false},
    {"credential", "totp", "TOTP", "totp", 2, false},
    {"credential", "notes", "Notes", "text", 2, false},
    {"card", "title", "Title", "text", 1, true},
    {"card", "cardholder", "Cardholder", "text", 1, false},
    {"card", "number", "Number", "password", 3, true},
    {"card", "expiry", "Expiry", "text", 3, false},
    {"card", "cvv", "CVV", "password", 3, false},
    {"card", "pin", "PIN", "password", 3, false},
    {"card", "brand", "Brand", "text", 1, false},
    {"card", "notes", "Notes", "text", 2, false},
    {"identity", "title", "Title", "text", 1, true},
    {"identity", "first_name", "First Name", "text", 1, false},
    {"identity", "middle_name", "Middle Name", "text", 1, false},
    {"identity", "last_name", "Last Name", "text", 1, false},
    {"identity", "email", "Email", "email", 1, false},
    {"identity", "phone", "Phone", "tel", 1, false},
    {"identity", "address1", "Address", "text", 1, false},
    {"identity", "address2", "Address 2", "text", 1, false},
    {"identity", "city", "City", "text", 1, false},
    {"identity", "state", "State", "text", 1, false},
    {"identity", "zip", "ZIP", "text", 1, false},
    {"identity", "country", "Country", "text", 1, false},
    {"identity", "company", "Company", "text", 1, false},
    {"identity", "ssn", "SSN", "password", 3, false},
    {"identity", "dob", "Date of Birth", "date", 3, false},
    {"identity", "passport", "Passport Number", "password", 3, false},
    {"identity", "license", "Driver's License", "password", 3, false},
    {"identity", "notes", "Notes", "text", 2, false},
    {"note", "title", "Title", "text", 1, true},
    {"note", "notes", "Notes", "text", 2, false},
    {"ssh_key", "title", "Title", "text", 1, true},
    {"ssh_key", "public_key", "Public Key", "textarea", 1, false},
    {"ssh_key", "private_key", "Private Key", "password", 3, false},
    {"ssh_key", "passphrase", "Passphrase", "password", 2, false},
    {"ssh_key", "fingerprint", "Fingerprint", "text", 1, false},
    {"ssh_key", "key_type", "Key Type", "text", 1, false},
    {"ssh_key", "notes", "Notes", "text", 2, false},
    {"api_key", "title", "Title", "text", 1, true},
    {"api_key", "key", "Key", "password", 2, true},
    {"api_key", "endpoint", "Endpoint", "url", 1, false},
    {"api_key", "usage", "Usage", "textarea", 1, false},
    {"api_key", "notes", "Notes", "text", 2, false},
    {"totp", "title", "Title", "text", 1, true},
    {"totp", "secret", "Secret", "totp", 2, true},
    {"totp", "issuer", "Issuer", "text", 1, false},
    {"totp", "account", "Account", "text", 1, false},
    {"totp", "notes", "Notes", "text", 2, false},
    {"software_license", "title", "Title", "text", 1, true},
    {"software_license", "license_key", "License Key", "password", 2, true},
    {"software_license", "version", "Version", "text", 1, false},
    {"software_license", "seats", "Seats", "text", 1, false},
    {"software_license", "expiry", "Expires", "date", 1, false},
    {"software_license", "email", "Registered Email", "text", 1, false},
    {"software_license", "urls", "URLs", "textarea", 1, false},
    {"software_license", "notes", "Notes", "text", 2, false},
    {"database", "title", "Title", "text", 1, true},
    {"database", "type", "Type", "text", 1, false},
    {"database", "host", "Host", "text", 1, false},
    {"database", "port", "Port", "text", 1, false},
    {"database", "database", "Database", "text", 1, false},
    {"database", "username", "Username", "text", 1, false},
    {"database", "password", "Password", "password", 2, false},
    {"database", "connection_string", "Connection String", "password", 2, false},
    {"database", "notes", "Notes", "text", 2, false},
    {"wifi", "title", "Title", "text", 1, true},
    {"wifi", "ssid", "Network Name (SSID)", "text", 1, false},
    {"wifi", "security", "Security", "text", 1, false},
    {"wifi", "password", "Password", "password", 2, false},
    {"wifi", "notes", "Notes", "text", 2, false},
    {"server", "title", "Title", "text", 1, true},
    {"server", "host", "Host", "text", 1, false},
    {"server", "port", "Port", "text", 1, false},
    {"server", "username", "Username", "text", 1, false},
    {"server", "password", "Password", "password", 2, false},
    {"server", "private_key", "Private Key", "password", 3, false},
    {"server", "notes", "Notes", "text", 2, false},
    {"crypto_wallet", "title", "Title", "text", 1, true},
    {"crypto_wallet", "wallet_address", "Wallet Address", "text", 1, false},
    {"crypto_wallet", "seed_phrase", "Seed Phrase", "password", 3, false},
    {"crypto_wallet", "private_key", "Private Key", "password", 3, false},
    {"crypto_wallet", "pin", "PIN", "password", 3, false},
    {"crypto_wallet", "notes", "Notes", "text", 2, false},
    {"custom", "title", "Title", "text", 1, true},
    {"custom", "notes", "Notes", "text", 2, false},
};

TEST(EntrySchemaDocument, EmbeddedTextIsTheAssetFileByteForByte) {
    std::ifstream in(std::string(TESSARIN_SOURCE_DIR) + "/assets/entry-types.json",
                     std::ios::binary);
    ASSERT_TRUE(in) << "assets/entry-types.json not readable";
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(schema_document(), file);
}

TEST(EntrySchemaDocument, IsTwoSpacePrettyJsonWithoutFinalNewline) {
    std::string_view text = schema_document();
    EXPECT_EQ(text.substr(0, 24), "{\n  \"version\": \"2.1.0\",\n");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '}');
    EXPECT_EQ(text.substr(text.size() - 2), "\n}");
    // Re-serialising with the same key order and indentation gives the same bytes.
    EXPECT_EQ(document().dump(2), text);
    EXPECT_GT(text.size(), 30000u);
    EXPECT_LT(text.size(), 45000u);
}

TEST(EntrySchemaDocument, TopLevelTypesAndFormatsInOrder) {
    OrderedJson doc = document();
    EXPECT_EQ(keys_of(doc), (std::vector<std::string>{"version", "generated", "schema", "types",
                                                      "importFormats"}));
    EXPECT_EQ(doc["version"], "2.1.0");
    EXPECT_EQ(doc["generated"], "2026-04-04");
    EXPECT_EQ(doc["schema"], "import-v2");

    const std::vector<std::pair<std::string, std::string>> types = {
        {"credential", "Login/username-password combinations"},
        {"card", "Credit/debit cards"},
        {"identity", "Personal information and documents"},
        {"note", "Free-form notes"},
        {"ssh_key", "SSH key pairs"},
        {"api_key", "API keys and tokens"},
        {"totp", "TOTP 2FA codes from QR scans"},
        {"software_license", "Software licenses and product keys"},
        {"database", "Database connection credentials"},
        {"wifi", "Wi-Fi network credentials"},
        {"server", "Server and infrastructure access"},
        {"crypto_wallet", "Cryptocurrency wallet credentials"},
        {"custom", "Custom entry with user-defined fields"},
    };
    ASSERT_EQ(doc["types"].size(), types.size());
    size_t i = 0;
    for (auto it = doc["types"].begin(); it != doc["types"].end(); ++it, ++i) {
        EXPECT_EQ(it.key(), types[i].first);
        EXPECT_EQ(keys_of(it.value()), (std::vector<std::string>{"description", "fields"}));
        EXPECT_EQ(it.value()["description"], types[i].second);
    }

    EXPECT_EQ(keys_of(doc["importFormats"]),
              (std::vector<std::string>{"chrome", "firefox", "protonpass", "bitwarden", "1password",
                                        "lastpass", "dashlane", "keepass", "nordpass", "roboform",
                                        "enpass", "keeper", "safari", "keepassxc"}));
}

TEST(EntrySchemaDocument, EveryFieldInOrderWithItsDefinition) {
    OrderedJson doc = document();
    std::vector<std::tuple<std::string, std::string>> seen;
    for (auto t = doc["types"].begin(); t != doc["types"].end(); ++t)
        for (auto f = t.value()["fields"].begin(); f != t.value()["fields"].end(); ++f)
            seen.emplace_back(t.key(), f.key());
    ASSERT_EQ(seen.size(), std::size(k_fields));
    for (size_t i = 0; i < seen.size(); ++i) {
        const FieldRow& row = k_fields[i];
        SCOPED_TRACE(std::string(row.type) + "." + row.field);
        EXPECT_EQ(seen[i], std::make_tuple(std::string(row.type), std::string(row.field)));
        const OrderedJson& f = doc["types"][row.type]["fields"][row.field];
        EXPECT_EQ(f["label"], row.label);
        EXPECT_EQ(f["kind"], row.kind);
        EXPECT_EQ(f["tier"], row.tier);
        EXPECT_EQ(f["required"], row.required);
    }
}

TEST(EntrySchemaDocument, FieldKeysFollowTheirOrder) {
    // The order every field object keeps: the four definition keys, then the optional layout
    // and validation keys, then "mappings" last.
    const std::vector<std::string> order = {
        "label",   "kind",    "tier",    "required",          "row",     "weight",
        "control", "maxDate", "pattern", "validationMessage", "mappings"};
    OrderedJson doc = document();
    for (auto t = doc["types"].begin(); t != doc["types"].end(); ++t) {
        for (auto f = t.value()["fields"].begin(); f != t.value()["fields"].end(); ++f) {
            SCOPED_TRACE(t.key() + "." + f.key());
            std::vector<std::string> keys = keys_of(f.value());
            ASSERT_GE(keys.size(), 5u);
            EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 4),
                      std::vector<std::string>(order.begin(), order.begin() + 4));
            EXPECT_EQ(keys.back(), "mappings");
            size_t last = 0;
            for (const auto& key : keys) {
                auto pos = std::find(order.begin(), order.end(), key);
                ASSERT_NE(pos, order.end()) << key;
                size_t index = static_cast<size_t>(pos - order.begin());
                EXPECT_GE(index, last) << key;
                last = index;
            }
        }
    }
}

TEST(EntrySchemaDocument, LayoutAndValidationKeys) {
    OrderedJson doc = document();
    auto field = [&](const char* type, const char* name) -> OrderedJson {
        OrderedJson f = doc["types"][type]["fields"][name];
        f.erase("label");
        f.erase("kind");
        f.erase("tier");
        f.erase("required");
        f.erase("mappings");
        return f;
    };
    struct Case {
        const char* type;
        const char* field;
        const char* extras;  // the remaining keys as compact JSON
    };
    const Case cases[] = {
        {"card", "number",
         R"js({"pattern":"^[0-9]{13,19}$","validationMessage":"Card number must be 13-19 digits"})js"},
        {"card", "expiry",
         R"js({"row":"expiry_cvv","weight":2,"pattern":"^(0[1-9]|1[0-2])\\/([0-9]{2}|[0-9]{4})$","validationMessage":"Expiry must be MM/YY or MM/YYYY"})js"},
        {"card", "cvv",
         R"js({"row":"expiry_cvv","pattern":"^[0-9]{3,4}$","validationMessage":"CVV must be 3-4 digits"})js"},
        {"card", "pin",
         R"js({"pattern":"^[0-9]{4,6}$","validationMessage":"PIN must be 4-6 digits"})js"},
        {"identity", "first_name", R"js({"row":"name"})js"},
        {"identity", "middle_name", R"js({"row":"name"})js"},
        {"identity", "last_name", R"js({"row":"name"})js"},
        {"identity", "phone",
         R"js({"pattern":"^[+]?[0-9\\s\\-\\(\\)]{7,20}$","validationMessage":"Phone must be at least 7 digits"})js"},
        {"identity", "city", R"js({"row":"city_state_zip","weight":3})js"},
        {"identity", "state", R"js({"row":"city_state_zip"})js"},
        {"identity", "zip", R"js({"row":"city_state_zip"})js"},
        {"identity", "country", R"js({"control":"country"})js"},
        {"identity", "ssn",
         R"js({"pattern":"^[0-9]{3}-[0-9]{2}-[0-9]{4}$|^[0-9]{9}$","validationMessage":"SSN must be 9 digits (XXX-XX-XXXX or XXXXXXXXX)"})js"},
        {"identity", "dob", R"js({"control":"date","maxDate":"today"})js"},
        {"identity", "passport",
         R"js({"pattern":"^[A-Z0-9]{6,15}$","validationMessage":"Passport must be 6-15 alphanumeric characters"})js"},
        {"software_license", "expiry", R"js({"control":"date"})js"},
        {"database", "host", R"js({"row":"host_port","weight":3})js"},
        {"database", "port", R"js({"row":"host_port"})js"},
        {"server", "host", R"js({"row":"host_port","weight":3})js"},
        {"server", "port", R"js({"row":"host_port"})js"},
    };
    size_t with_extras = 0;
    for (const auto& c : cases)
        EXPECT_EQ(field(c.type, c.field).dump(), c.extras) << c.type << "." << c.field;
    for (const auto& row : k_fields) with_extras += field(row.type, row.field).empty() ? 0 : 1;
    EXPECT_EQ(with_extras, std::size(cases));

    // The pattern escapes are written as \\/ and \\s in the text itself.
    std::string_view text = schema_document();
    EXPECT_NE(text.find(R"js("pattern": "^(0[1-9]|1[0-2])\\/([0-9]{2}|[0-9]{4})$")js"),
              std::string_view::npos);
    EXPECT_NE(text.find(R"js("pattern": "^[+]?[0-9\\s\\-\\(\\)]{7,20}$")js"),
              std::string_view::npos);
}

TEST(EntrySchemaDocument, MappingSourcesPerTypeInSourceOrder) {
    const std::vector<std::pair<std::string, std::set<std::string>>> expected = {
        {"credential", std::set<std::string>(k_sources.begin(), k_sources.end())},
        {"card",
         {"1password", "bitwarden", "dashlane", "enpass", "keeper", "lastpass", "nordpass",
          "protonpass", "roboform"}},
        {"identity",
         {"1password", "bitwarden", "dashlane", "enpass", "keeper", "lastpass", "nordpass",
          "protonpass", "roboform"}},
        {"note",
         {"1password", "bitwarden", "keepassxc", "keeper", "nordpass", "protonpass", "roboform",
          "safari"}},
        {"ssh_key",
         {"1password", "bitwarden", "enpass", "keeper", "lastpass", "nordpass", "roboform"}},
        {"api_key", {}},
        {"totp", {}},
        {"software_license", {}},
        {"database", {}},
        {"wifi", {}},
        {"server", {}},
        {"crypto_wallet", {}},
        {"custom", {}},
    };
    OrderedJson doc = document();
    for (const auto& [type, sources] : expected) {
        SCOPED_TRACE(type);
        std::set<std::string> used;
        const OrderedJson& fields = doc["types"][type]["fields"];
        for (auto f = fields.begin(); f != fields.end(); ++f) {
            const OrderedJson& mappings = f.value()["mappings"];
            ASSERT_TRUE(mappings.is_object());
            size_t last = 0;
            for (auto m = mappings.begin(); m != mappings.end(); ++m) {
                auto pos = std::find(k_sources.begin(), k_sources.end(), m.key());
                ASSERT_NE(pos, k_sources.end()) << m.key();
                size_t index = static_cast<size_t>(pos - k_sources.begin());
                EXPECT_TRUE(used.empty() || index >= last) << f.key() << ": " << m.key();
                last = index;
                ASSERT_TRUE(m.value().is_string());
                EXPECT_FALSE(m.value().get<std::string>().empty());
                used.insert(m.key());
            }
        }
        EXPECT_EQ(used, sources);
    }
    EXPECT_EQ(doc["types"]["credential"]["fields"]["title"]["mappings"].dump(),
              R"({"protonpass":"data.metadata.name","bitwarden":"name",)"
              R"("1password":"overview.title","lastpass":"name","dashlane":"title",)"
              R"("keepass":"Title","nordpass":"name","keeper":"title","roboform":"Name",)"
              R"("enpass":"title","chrome":"name","firefox":"hostname","safari":"Title",)"
              R"("keepassxc":"Title"})");
}

TEST(EntrySchemaDocument, ImportFormats) {
    OrderedJson formats = document()["importFormats"];
    EXPECT_EQ(formats["chrome"].dump(),
              R"({"type":"csv","headers":["name","url","username","password"],)"
              R"("entryType":"credential","filters":["nonweb_url"],)"
              R"("capabilities":{"hasNotes":false,"hasDates":false}})");
    EXPECT_EQ(formats["bitwarden"].dump(),
              R"({"type":"json","rootKey":"items","typeDetection":{"field":"type",)"
              R"("mapping":{"1":"credential","2":"note","3":"card","4":"identity"}},)"
              R"("filters":[],"capabilities":{"hasNotes":true,"hasDates":false}})");
    EXPECT_EQ(formats["nordpass"]["typeDetection"].dump(),
              R"({"field":"cardnumber","if_present":"card","default":"credential"})");

    const std::vector<std::string> order = {"type",          "headers", "entryType",
                                            "rootKey",       "itemKey", "itemPath",
                                            "typeDetection", "filters", "capabilities"};
    std::set<std::string> entry_types;
    for (const auto& row : k_fields) entry_types.insert(row.type);
    for (auto it = formats.begin(); it != formats.end(); ++it) {
        SCOPED_TRACE(it.key());
        const OrderedJson& f = it.value();
        std::vector<std::string> keys = keys_of(f);
        size_t last = 0;
        for (const auto& key : keys) {
            auto pos = std::find(order.begin(), order.end(), key);
            ASSERT_NE(pos, order.end()) << key;
            EXPECT_GE(static_cast<size_t>(pos - order.begin()), last) << key;
            last = static_cast<size_t>(pos - order.begin());
        }
        ASSERT_TRUE(f["type"] == "csv" || f["type"] == "json");
        if (f["type"] == "csv") {
            EXPECT_TRUE(f["headers"].is_array() && !f["headers"].empty());
            EXPECT_FALSE(f.contains("rootKey"));
        } else {
            EXPECT_TRUE(f["rootKey"].is_string());
            EXPECT_FALSE(f.contains("headers"));
        }
        // Each item gets its type from a fixed entryType or from typeDetection.
        EXPECT_TRUE(f.contains("entryType") || f.contains("typeDetection"));
        if (f.contains("entryType")) {
            EXPECT_TRUE(entry_types.count(f["entryType"].get<std::string>()));
        }
        if (f.contains("typeDetection")) {
            const OrderedJson& d = f["typeDetection"];
            EXPECT_EQ(keys_of(d).front(), "field");
            if (d.contains("mapping")) {
                for (auto m = d["mapping"].begin(); m != d["mapping"].end(); ++m) {
                    EXPECT_TRUE(entry_types.count(m.value().get<std::string>())) << m.key();
                }
            }
            for (const char* key : {"if_match", "if_present", "default", "fallback"}) {
                if (d.contains(key)) {
                    EXPECT_TRUE(entry_types.count(d[key].get<std::string>())) << key;
                }
            }
        }
        EXPECT_TRUE(f["filters"].is_array());
        EXPECT_EQ(keys_of(f["capabilities"]), (std::vector<std::string>{"hasNotes", "hasDates"}));
        EXPECT_TRUE(f["capabilities"]["hasNotes"].is_boolean());
        EXPECT_TRUE(f["capabilities"]["hasDates"].is_boolean());
    }
}

TEST(EntrySchemaModel, LoadsEveryTypeAndField) {
    const Schema& s = schema();
    EXPECT_EQ(&s, &schema());  // parsed once
    ASSERT_EQ(s.types.size(), 13u);
    for (const auto& row : k_fields) {
        SCOPED_TRACE(std::string(row.type) + "." + row.field);
        const EntryType* type = s.find_type(row.type);
        ASSERT_NE(type, nullptr);
        const FieldDef* def = type->find_field(row.field);
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->label, row.label);
        EXPECT_EQ(def->kind, row.kind);
        EXPECT_EQ(def->tier, row.tier);
        EXPECT_EQ(def->required, row.required);
    }
    const FieldDef* number = s.find_type("card")->find_field("number");
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(number->tier, 3);
    EXPECT_TRUE(number->required);
    EXPECT_EQ(s.find_type("credential")->field_order,
              (std::vector<std::string>{"title", "urls", "username", "password", "totp", "notes"}));
    EXPECT_EQ(s.find_type("note")->description, "Free-form notes");
}

TEST(EntrySchemaModel, RequiredFieldsBesidesTitle) {
    std::set<std::string> required;
    for (const auto& [type_name, type] : schema().types) {
        const FieldDef* title = type.find_field("title");
        ASSERT_NE(title, nullptr) << type_name;
        EXPECT_TRUE(title->required) << type_name;
        for (const auto& [field_name, def] : type.fields)
            if (def.required && field_name != "title")
                required.insert(type_name + "." + field_name);
    }
    EXPECT_EQ(required, (std::set<std::string>{"api_key.key", "card.number", "totp.secret",
                                               "software_license.license_key"}));
}

TEST(EntrySchemaModel, TypeLookupLowerCasesFieldLookupIsExact) {
    const Schema& s = schema();
    const EntryType* credential = s.find_type("credential");
    ASSERT_NE(credential, nullptr);
    struct Case {
        const char* name;
        const char* expected;  // nullptr: no such type
    };
    const Case cases[] = {
        {"credential", "credential"},
        {"Credential", "credential"},
        {"CREDENTIAL", "credential"},
        {"API_KEY", "api_key"},
        {"Ssh_Key", "ssh_key"},
        {"\xE2\x84\xAA"
         "ey",
         nullptr},
        {"API_\xE2\x84\xAA"
         "EY",
         "api_key"},  // KELVIN SIGN lower-cases to 'k'
        {"credentials", nullptr},
        {"api", nullptr},
        {"ssh", nullptr},
        {"", nullptr},
        {" credential", nullptr},
        {"cr\xC3\xA9"
         "dential",
         nullptr},
    };
    for (const auto& c : cases) {
        const EntryType* found = s.find_type(c.name);
        if (c.expected == nullptr)
            EXPECT_EQ(found, nullptr) << c.name;
        else
            EXPECT_EQ(found, &s.types.at(c.expected)) << c.name;
    }
    EXPECT_NE(credential->find_field("password"), nullptr);
    EXPECT_EQ(credential->find_field("Password"), nullptr);
    EXPECT_EQ(credential->find_field("PASSWORD"), nullptr);
    EXPECT_EQ(credential->find_field("password "), nullptr);
    EXPECT_EQ(credential->find_field("key"), nullptr);
}

TEST(EntrySchemaModel, SortedListsForMessages) {
    const Schema& s = schema();
    std::string joined;
    for (auto name : s.type_names()) {
        if (!joined.empty())
            joined += ", ";
        joined += name;
    }
    EXPECT_EQ(joined,
              "api_key, card, credential, crypto_wallet, custom, database, identity, note, "
              "server, software_license, ssh_key, totp, wifi");
    std::vector<std::string> names;
    for (const auto& [name, def] : s.find_type("credential")->sorted_fields()) {
        names.emplace_back(name);
        EXPECT_EQ(def, s.find_type("credential")->find_field(name));
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"notes", "password", "title", "totp", "urls", "username"}));
}

TEST(EntrySchemaModel, ParserRefusesMalformedDocuments) {
    auto wrap = [](const std::string& field) {
        return R"({"types":{"t":{"description":"d","fields":{"f":)" + field + "}}}}";
    };
    const std::string good = R"({"label":"L","kind":"text","tier":2,"required":false})";
    auto ok = parse_schema(wrap(good));
    ASSERT_FALSE(ok.is_error()) << ok.error();
    EXPECT_EQ(ok.value().types.at("t").fields.at("f").tier, 2);

    // Keys the client does not use are ignored, whatever their value.
    auto extra = parse_schema(
        R"({"version":1,"types":{"t":{"description":"d","extra":[],"fields":{"f":)"
        R"({"label":"L","kind":"k","tier":0,"required":true,"row":7,"mappings":null}}}},)"
        R"("importFormats":"x"})");
    ASSERT_FALSE(extra.is_error()) << extra.error();
    EXPECT_TRUE(extra.value().types.at("t").fields.at("f").required);

    const std::string bad[] = {
        "",
        "{",
        "[]",
        R"({"version":"2.1.0"})",
        R"({"types":[]})",
        R"({"types":{"t":{"fields":{}}}})",
        R"({"types":{"t":{"description":"d"}}})",
        R"({"types":{"t":{"description":"d","fields":[]}}})",
        wrap(R"({"kind":"text","tier":1,"required":false})"),
        wrap(R"({"label":"L","tier":1,"required":false})"),
        wrap(R"({"label":"L","kind":"text","required":false})"),
        wrap(R"({"label":"L","kind":"text","tier":1})"),
        wrap(R"({"label":"L","kind":"text","tier":256,"required":false})"),  // would wrap to 0
        wrap(R"({"label":"L","kind":"text","tier":258,"required":false})"),  // would wrap to 2
        wrap(R"({"label":"L","kind":"text","tier":-1,"required":false})"),
        wrap(R"({"label":"L","kind":"text","tier":1.5,"required":false})"),
        wrap(R"({"label":"L","kind":"text","tier":"1","required":false})"),
        wrap(R"({"label":"L","kind":"text","tier":1,"required":"yes"})"),
        wrap(R"({"label":1,"kind":"text","tier":1,"required":false})"),
        wrap("null"),
        std::string(R"({"types":{}})") + " trailing",
    };
    for (const auto& text : bad) EXPECT_TRUE(parse_schema(text).is_error()) << text;
}

}  // namespace
}  // namespace tessarin
