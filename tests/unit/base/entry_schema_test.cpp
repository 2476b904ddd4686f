#include "src/base/entry_schema.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
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

// The entry types the document defines.
std::set<std::string> type_names_of(const OrderedJson& doc) {
    std::set<std::string> names;
    for (auto t = doc["types"].begin(); t != doc["types"].end(); ++t) names.insert(t.key());
    return names;
}

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

TEST(EntrySchemaDocument, TopLevelKeysTypesAndFormats) {
    OrderedJson doc = document();
    EXPECT_EQ(keys_of(doc), (std::vector<std::string>{"version", "generated", "schema", "types",
                                                      "importFormats"}));
    EXPECT_EQ(doc["version"], "2.1.0");
    EXPECT_EQ(doc["generated"], "2026-04-04");
    EXPECT_EQ(doc["schema"], "import-v2");
    EXPECT_EQ(doc["types"].size(), 13u);
    for (auto it = doc["types"].begin(); it != doc["types"].end(); ++it) {
        EXPECT_EQ(keys_of(it.value()), (std::vector<std::string>{"description", "fields"}))
            << it.key();
        EXPECT_TRUE(it.value()["description"].is_string()) << it.key();
    }
    EXPECT_EQ(doc["importFormats"].size(), 14u);
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

TEST(EntrySchemaDocument, MappingsNameKnownSourcesInSourceOrder) {
    OrderedJson doc = document();
    for (auto t = doc["types"].begin(); t != doc["types"].end(); ++t) {
        for (auto f = t.value()["fields"].begin(); f != t.value()["fields"].end(); ++f) {
            SCOPED_TRACE(t.key() + "." + f.key());
            const OrderedJson& mappings = f.value()["mappings"];
            ASSERT_TRUE(mappings.is_object());
            size_t last = 0;
            for (auto m = mappings.begin(); m != mappings.end(); ++m) {
                auto pos = std::find(k_sources.begin(), k_sources.end(), m.key());
                ASSERT_NE(pos, k_sources.end()) << m.key();
                size_t index = static_cast<size_t>(pos - k_sources.begin());
                EXPECT_TRUE(m == mappings.begin() || index > last) << m.key();
                last = index;
                ASSERT_TRUE(m.value().is_string());
                EXPECT_FALSE(m.value().get<std::string>().empty());
            }
        }
    }
}

TEST(EntrySchemaDocument, ImportFormatsKeepTheirStructure) {
    OrderedJson doc = document();
    const OrderedJson& formats = doc["importFormats"];
    const std::vector<std::string> order = {"type",          "headers", "entryType",
                                            "rootKey",       "itemKey", "itemPath",
                                            "typeDetection", "filters", "capabilities"};
    const std::set<std::string> entry_types = type_names_of(doc);
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

TEST(EntrySchemaModel, HoldsEveryTypeAndFieldOfTheDocumentInOrder) {
    const Schema& s = schema();
    EXPECT_EQ(&s, &schema());  // parsed once
    OrderedJson doc = document();
    ASSERT_EQ(s.types.size(), doc["types"].size());
    for (auto t = doc["types"].begin(); t != doc["types"].end(); ++t) {
        SCOPED_TRACE(t.key());
        const EntryType* type = s.find_type(t.key());
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->description, t.value()["description"].get<std::string>());
        const OrderedJson& fields = t.value()["fields"];
        EXPECT_EQ(type->field_order, keys_of(fields));
        ASSERT_EQ(type->fields.size(), fields.size());
        for (auto f = fields.begin(); f != fields.end(); ++f) {
            SCOPED_TRACE(f.key());
            const FieldDef* def = type->find_field(f.key());
            ASSERT_NE(def, nullptr);
            EXPECT_EQ(def->label, f.value()["label"].get<std::string>());
            EXPECT_EQ(def->kind, f.value()["kind"].get<std::string>());
            EXPECT_EQ(def->tier, f.value()["tier"].get<int>());
            EXPECT_EQ(def->required, f.value()["required"].get<bool>());
        }
    }
    // The card number is never released to agents and is required.
    const FieldDef* number = s.find_type("card")->find_field("number");
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(number->tier, 3);
    EXPECT_TRUE(number->required);
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
