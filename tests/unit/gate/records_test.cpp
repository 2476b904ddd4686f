#include "src/gate/records.h"

#include <gtest/gtest.h>

#include <optional>

#include "src/gate/gate.h"

namespace tessarin {
namespace {

using nlohmann::json;

TEST(EntryRecord, RequiredAndDefaults) {
    auto bare = read_entry(json::parse(R"({"entry_id":"e1"})"));
    ASSERT_FALSE(bare.is_error());
    EXPECT_EQ(bare.value().entry_id, "e1");
    EXPECT_FALSE(bare.value().type || bare.value().title || bare.value().data);

    auto missing = read_entry(json::parse(R"({"title":"x"})"));
    ASSERT_TRUE(missing.is_error());
    EXPECT_EQ(missing.error().message, "missing field `entry_id`");

    auto wrong = read_entry(json::parse(R"({"entry_id":5})"));
    EXPECT_EQ(wrong.error().message, "invalid type: integer, expected a string");
}

TEST(EntryRecord, DataUnderEitherNameAndFieldDefaults) {
    for (const char* key : {"data", "vault_data"}) {
        json v = json::parse(R"({"entry_id":"e","unknown":1,"DATA":{"fields":[{"label":"user"},
            {"label":"pw","value":"c","tier":2}],"urls":["a","b"],"notes":"n"}})");
        v[key] = v["DATA"];
        v.erase("DATA");
        auto e = read_entry(v);
        ASSERT_FALSE(e.is_error()) << key;
        ASSERT_TRUE(e.value().data);
        const EntryData& d = *e.value().data;
        ASSERT_EQ(d.fields.size(), 2u);
        EXPECT_EQ(d.fields[0].tier, 1);  // absent tier is L1
        EXPECT_EQ(d.fields[0].value, "");
        EXPECT_EQ(d.fields[1].tier, 2);
        EXPECT_EQ(d.urls, (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(d.notes, "n");
    }
    // A field without a label refuses the whole entry.
    EXPECT_TRUE(read_entry(json::parse(R"({"entry_id":"e","data":{"fields":[{"value":"v"}]}})"))
                    .is_error());
    // Tiers are 0..255.
    EXPECT_TRUE(
        read_entry(json::parse(R"({"entry_id":"e","data":{"fields":[{"label":"a","tier":256}]}})"))
            .is_error());
    EXPECT_TRUE(
        read_entry(json::parse(R"({"entry_id":"e","data":{"fields":[{"label":"a","tier":-1}]}})"))
            .is_error());
}

TEST(EntryRecord, ArrayForm) {
    auto e =
        read_entry(json::parse(R"(["e9","api_key","Stripe",[null,null,[["key","v",null,2]]]])"));
    ASSERT_FALSE(e.is_error()) << e.error().message;
    EXPECT_EQ(e.value().entry_id, "e9");
    EXPECT_EQ(e.value().title, "Stripe");
    ASSERT_EQ(e.value().data->fields.size(), 1u);
    EXPECT_EQ(e.value().data->fields[0].tier, 2);
    EXPECT_TRUE(read_entry(json::parse(R"(["a","b","c",null,"extra"])")).is_error());
}

TEST(EntryRecord, EntryIdWhateverElseTheValueHolds) {
    struct Case {
        const char* value;
        std::optional<json> id;  // nothing: no entry_id member
    } cases[] = {
        {R"({"entry_id":"e","type":5,"data":null})", json("e")},
        {R"({"entry_id":7,"colour":"blue"})", json(7)},
        {R"({"entry_id":null})", json(nullptr)},
        {R"(["e",5])", json("e")},
        {R"({"title":"no id"})", std::nullopt},
        {R"(["e","t","x","d","one too many"])", std::nullopt},
        {R"([])", std::nullopt},
        {R"("e")", std::nullopt},
    };
    for (const Case& c : cases) {
        json v = json::parse(c.value);
        const json* id = entry_id_member(v);
        EXPECT_EQ(id != nullptr, c.id.has_value()) << c.value;
        if (id && c.id) {
            EXPECT_EQ(*id, *c.id) << c.value;
        }
    }
}

TEST(ReaderMessages, NameKindsNeverContents) {
    // Values the gate sent, in places where a record expects something else. "s3cr3t" and
    // 987654 stand for a field value or a one-time code: no message may repeat them.
    const struct {
        const char* json;
        std::string_view message;
    } cases[] = {
        {R"({"entry_id":"s3cr3t-id","title":["s3cr3t"]})",
         "invalid type: array, expected a string"},
        {R"({"entry_id":"e","data":{"fields":[{"label":"k","tier":"s3cr3t"}]}})",
         "invalid type: string, expected a whole number up to 255"},
        {R"({"entry_id":"e","data":{"fields":[{"label":"k","tier":987654}]}})",
         "invalid value: integer, expected a whole number up to 255"},
        {R"({"entry_id":"e","data":{"fields":[{"label":"k","tier":-987654}]}})",
         "invalid value: integer, expected a whole number up to 255"},
        {R"({"entry_id":"e","data":{"fields":[{"label":"k","value":987654}]}})",
         "invalid type: integer, expected a string"},
        {R"({"entry_id":"e","data":{"notes":98765.4}})",
         "invalid type: number with a fraction, expected a string"},
        {R"({"entry_id":"e","data":{"urls":["a",true]}})",
         "invalid type: boolean, expected a string"},
        {R"("s3cr3t")", "invalid type: string, expected an entry"},
    };
    for (const auto& c : cases) {
        auto r = read_entry(json::parse(c.json));
        ASSERT_TRUE(r.is_error()) << c.json;
        EXPECT_EQ(r.error().message, c.message) << c.json;
    }
    auto totp = read_totp_response(json::parse(R"({"code":987654})"));
    EXPECT_EQ(totp.error().message, "invalid type: integer, expected a string");
    auto quota = read_quota(json::parse(R"({"hour_used":"s3cr3t"})"));
    EXPECT_EQ(quota.error().message,
              "invalid type: string, expected a whole number up to 4294967295");
}

TEST(SearchResponseShapes, TriedInOrder) {
    using Shape = SearchResponse::Shape;
    struct Case {
        const char* json;
        std::optional<Shape> shape;
        size_t entries;
    } cases[] = {
        {R"([])", Shape::Plain, 0},
        {R"([{"entry_id":"a"},{"entry_id":"b"}])", Shape::Plain, 2},
        {R"({"entries":[]})", Shape::Wrapped, 0},
        {R"({"entries":[{"entry_id":"a"}],"count":7})", Shape::Wrapped, 1},
        {R"({"count":0})", Shape::CountCrypto, 0},
        {R"({"count":3,"titles":["x"],"matches":[{"title":"x","type":"note"}]})",
         Shape::CountCrypto, 0},
        {R"({"titles":[]})", std::nullopt, 0},
        {R"({"entries":[{"title":"no id"}]})", std::nullopt, 0},
        {R"("text")", std::nullopt, 0},
        {R"({"count":-1})", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        auto r = read_search_response(json::parse(c.json));
        ASSERT_EQ(r.has_value(), c.shape.has_value()) << c.json;
        if (!r)
            continue;
        EXPECT_EQ(r->shape, *c.shape) << c.json;
        EXPECT_EQ(r->entries.size(), c.entries) << c.json;
    }
    auto wrapped = read_search_response(
        json::parse(R"({"entries":[],"quota":{"minute_used":1,"minute_limit":3}})"));
    ASSERT_TRUE(wrapped && wrapped->quota);
    EXPECT_EQ(wrapped->quota->minute_limit, 3u);
    EXPECT_EQ(wrapped->quota->hour_limit, 0u);  // absent counters are 0
}

TEST(TotpRecord, Shape) {
    auto t = read_totp_response(json::parse(R"({"code":"123456","expires_in":null})"));
    ASSERT_FALSE(t.is_error());
    EXPECT_EQ(t.value().code, "123456");
    EXPECT_FALSE(t.value().expires_in);
    EXPECT_EQ(read_totp_response(json::parse(R"({"expires_in":3})")).error().message,
              "missing field `code`");
}

TEST(QuotaWarning, Windows) {
    struct Case {
        Quota q;
        std::optional<std::string> line;
    } cases[] = {
        {{0, 0, 0, 0}, std::nullopt},
        {{12, 60, 340, 600},
         "read quota: 12/60 this minute, 340/600 this hour \u2014 every search and read counts; "
         "reaching the hourly limit twice locks this agent"},
        {{5, 0, 7, 600},
         "read quota: 7/600 this hour \u2014 every search and read counts; reaching the hourly "
         "limit twice locks this agent"},
        {{2, 60, 9, 0}, "read quota: 2/60 this minute"},
    };
    for (const auto& c : cases) EXPECT_EQ(quota_warning(c.q), c.line);
}

TEST(Failover, DecidedOnWhatBecameOfTheRequest) {
    auto failure = [](GateOutcome outcome, long status = 0) {
        CliError e(TS_2047, "some detail");
        e.outcome = outcome;
        e.http_status = status;
        return e;
    };
    struct Case {
        CliError error;
        bool read, create;  // whether a read, and a create, fail over
    } cases[] = {
        {failure(GateOutcome::not_sent), true, true},
        {failure(GateOutcome::unanswered), true, false},
        {failure(GateOutcome::refused, 503), true, true},
        {failure(GateOutcome::refused, 404), true, true},
        {failure(GateOutcome::refused, 502), true, false},
        {failure(GateOutcome::refused, 504), true, false},
        {failure(GateOutcome::gate_unavailable), true, true},
        {failure(GateOutcome::abandoned), false, false},
        // The texts alone decide nothing: a detail naming HTTP 503 is not a refusal.
        {CliError(TS_2047, "gate error X: HTTP 503 dark gate"), false, false},
        {CliError(TS_2020, "POST /gate: Could not connect"), false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(justifies_failover(c.error, false), c.read) << int(c.error.outcome);
        EXPECT_EQ(justifies_failover(c.error, true), c.create) << int(c.error.outcome);
    }
}

}  // namespace
}  // namespace tessarin
