#include "src/gate/records.h"

#include <initializer_list>
#include <string_view>

namespace tessarin {

using nlohmann::json;

namespace {

template <typename T>
using Read = BasicResult<T, ReadError>;

constexpr std::string_view k_u32 = "a whole number up to 4294967295";

// The kind of a value, never the value: what the gate sent may be a secret (a one-time code,
// a field value), and errors name positions and kinds only.
std::string describe(const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "boolean";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
            return "integer";
        case json::value_t::number_float:
            return "number with a fraction";
        case json::value_t::string:
            return "string";
        case json::value_t::array:
            return "array";
        case json::value_t::object:
            return "object";
        default:
            return "value";
    }
}

ReadError invalid_type(const json& v, std::string_view expected) {
    return {"invalid type: " + describe(v) + ", expected " + std::string(expected)};
}

// The members of a record, by name, from its object or array form. Unknown keys of the
// object form are ignored; an array may not hold more members than the record has.
class Members {
  public:
    static Read<Members> of(const json& v, std::string_view record,
                            std::initializer_list<std::string_view> names) {
        Members m;
        m.m_names.assign(names.begin(), names.end());
        m.m_values.assign(names.size(), nullptr);
        if (v.is_object()) {
            for (size_t i = 0; i < m.m_names.size(); ++i) {
                auto it = v.find(std::string(m.m_names[i]));
                if (it != v.end())
                    m.m_values[i] = &*it;
            }
            return m;
        }
        if (v.is_array()) {
            if (v.size() > names.size())
                return ReadError{"invalid length " + std::to_string(v.size()) + ", expected " +
                                 std::string(record) + " with " + std::to_string(names.size()) +
                                 " elements"};
            for (size_t i = 0; i < v.size(); ++i) m.m_values[i] = &v[i];
            return m;
        }
        return invalid_type(v, std::string(record));
    }
    const json* get(std::string_view name) const {
        for (size_t i = 0; i < m_names.size(); ++i)
            if (m_names[i] == name)
                return m_values[i];
        return nullptr;
    }
    void set(std::string_view name, const json* value) {
        for (size_t i = 0; i < m_names.size(); ++i)
            if (m_names[i] == name)
                m_values[i] = value;
    }

  private:
    std::vector<std::string_view> m_names;
    std::vector<const json*> m_values;
};

Read<std::string> required_string(const Members& m, std::string_view name) {
    const json* v = m.get(name);
    if (!v)
        return ReadError{"missing field `" + std::string(name) + "`"};
    if (!v->is_string())
        return invalid_type(*v, "a string");
    return v->get<std::string>();
}

// An optional text: absent or null gives none.
Read<std::optional<std::string>> optional_string(const Members& m, std::string_view name) {
    const json* v = m.get(name);
    if (!v || v->is_null())
        return std::optional<std::string>();
    if (!v->is_string())
        return invalid_type(*v, "a string");
    return std::optional<std::string>(v->get<std::string>());
}

Read<uint64_t> unsigned_value(const json& v, uint64_t max, std::string_view expected) {
    if (v.is_number_unsigned() && v.get<uint64_t>() <= max)
        return v.get<uint64_t>();
    if (v.is_number_integer() && !v.is_number_unsigned())
        return ReadError{"invalid value: " + describe(v) + ", expected " + std::string(expected)};
    if (v.is_number_unsigned())
        return ReadError{"invalid value: " + describe(v) + ", expected " + std::string(expected)};
    return invalid_type(v, expected);
}

Read<uint32_t> counter(const Members& m, std::string_view name) {
    const json* v = m.get(name);
    if (!v)
        return uint32_t{0};
    return static_cast<uint32_t>(TRY(unsigned_value(*v, UINT32_MAX, k_u32)));
}

template <typename T, typename F>
Read<std::vector<T>> list_of(const Members& m, std::string_view name, F read_one) {
    std::vector<T> out;
    const json* v = m.get(name);
    if (!v)
        return out;
    if (!v->is_array())
        return invalid_type(*v, "an array");
    out.reserve(v->size());
    for (const json& item : *v) out.push_back(TRY(read_one(item)));
    return out;
}

Read<std::string> a_string(const json& v) {
    if (!v.is_string())
        return invalid_type(v, "a string");
    return v.get<std::string>();
}

Read<Field> read_field(const json& v) {
    Members m = TRY(Members::of(v, "a field", {"label", "value", "kind", "tier"}));
    Field f;
    f.label = TRY(required_string(m, "label"));
    if (const json* value = m.get("value"))
        f.value = TRY(a_string(*value));
    f.kind = TRY(optional_string(m, "kind"));
    if (const json* tier = m.get("tier"))
        f.tier = static_cast<uint8_t>(TRY(unsigned_value(*tier, 255, "a whole number up to 255")));
    return f;
}

// An entry's members, by name or in the order of its array form.
Read<Members> entry_members(const json& v) {
    return Members::of(v, "an entry", {"entry_id", "type", "title", "data"});
}

Read<EntryData> read_entry_data(const json& v) {
    Members m =
        TRY(Members::of(v, "an entry's data", {"title", "type", "fields", "urls", "notes"}));
    EntryData d;
    d.title = TRY(optional_string(m, "title"));
    d.type = TRY(optional_string(m, "type"));
    d.fields = TRY(list_of<Field>(m, "fields", read_field));
    d.urls = TRY(list_of<std::string>(m, "urls", a_string));
    d.notes = TRY(optional_string(m, "notes"));
    return d;
}

Read<MatchInfo> read_match(const json& v) {
    Members m = TRY(Members::of(v, "a search match", {"title", "type"}));
    MatchInfo info;
    info.title = TRY(optional_string(m, "title"));
    info.type = TRY(optional_string(m, "type"));
    return info;
}

Read<std::optional<Quota>> optional_quota(const Members& m) {
    const json* v = m.get("quota");
    if (!v || v->is_null())
        return std::optional<Quota>();
    return std::optional<Quota>(TRY(read_quota(*v)));
}

Read<SearchResponse> read_wrapped(const json& v) {
    Members m = TRY(Members::of(v, "a search answer", {"entries", "quota"}));
    if (!m.get("entries"))
        return ReadError{"missing field `entries`"};
    SearchResponse r;
    r.shape = SearchResponse::Shape::Wrapped;
    r.entries = TRY(list_of<Entry>(m, "entries", read_entry));
    r.quota = TRY(optional_quota(m));
    return r;
}

Read<SearchResponse> read_count(const json& v) {
    Members m =
        TRY(Members::of(v, "a search answer", {"count", "titles", "matches", "message", "quota"}));
    const json* count = m.get("count");
    if (!count)
        return ReadError{"missing field `count`"};
    SearchResponse r;
    r.shape = SearchResponse::Shape::CountCrypto;
    r.count = static_cast<uint32_t>(TRY(unsigned_value(*count, UINT32_MAX, k_u32)));
    r.titles = TRY(list_of<std::string>(m, "titles", a_string));
    r.matches = TRY(list_of<MatchInfo>(m, "matches", read_match));
    r.message = TRY(optional_string(m, "message"));
    r.quota = TRY(optional_quota(m));
    return r;
}

}  // namespace

BasicResult<Entry, ReadError> read_entry(const json& v) {
    Members m = TRY(entry_members(v));
    if (v.is_object()) {
        auto alias = v.find("vault_data");
        if (alias != v.end()) {
            if (m.get("data"))
                return ReadError{"duplicate field `data`"};
            m.set("data", &*alias);
        }
    }
    Entry e;
    e.entry_id = TRY(required_string(m, "entry_id"));
    e.type = TRY(optional_string(m, "type"));
    e.title = TRY(optional_string(m, "title"));
    if (const json* data = m.get("data"); data && !data->is_null())
        e.data = TRY(read_entry_data(*data));
    return e;
}

const json* entry_id_member(const json& v) {
    auto m = entry_members(v);
    return m.is_error() ? nullptr : m.value().get("entry_id");
}

BasicResult<Quota, ReadError> read_quota(const json& v) {
    Members m =
        TRY(Members::of(v, "a quota", {"minute_used", "minute_limit", "hour_used", "hour_limit"}));
    Quota q;
    q.minute_used = TRY(counter(m, "minute_used"));
    q.minute_limit = TRY(counter(m, "minute_limit"));
    q.hour_used = TRY(counter(m, "hour_used"));
    q.hour_limit = TRY(counter(m, "hour_limit"));
    return q;
}

std::optional<SearchResponse> read_search_response(const json& v) {
    if (v.is_array()) {
        SearchResponse plain;
        bool fits = true;
        for (const json& item : v) {
            auto entry = read_entry(item);
            if (entry.is_error()) {
                fits = false;
                break;
            }
            plain.entries.push_back(entry.release_value());
        }
        if (fits)
            return plain;
    }
    if (auto wrapped = read_wrapped(v); !wrapped.is_error())
        return wrapped.release_value();
    if (auto count = read_count(v); !count.is_error())
        return count.release_value();
    return std::nullopt;
}

BasicResult<TotpResponse, ReadError> read_totp_response(const json& v) {
    Members m = TRY(Members::of(v, "a one-time code answer", {"code", "expires_in"}));
    TotpResponse t;
    t.code = TRY(required_string(m, "code"));
    if (const json* e = m.get("expires_in"); e && !e->is_null())
        t.expires_in = static_cast<uint32_t>(TRY(unsigned_value(*e, UINT32_MAX, k_u32)));
    return t;
}

std::string display_line(const std::optional<std::string>& title,
                         const std::optional<std::string>& type) {
    std::string line = title.value_or("");
    if (type)
        line.append(" (").append(*type).append(")");
    return line;
}

}  // namespace tessarin
