#include "src/commands/render.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <utility>

#include "src/base/at_once.h"
#include "src/commands/entry_fields.h"
#include "src/config/config.h"
#include "src/gate/vault.h"
#include "src/term/input.h"
#include "src/term/output.h"

namespace tessarin {

namespace {

constexpr std::string_view k_scheme = "tessarin://";

bool is_terminator(char c) {
    switch (c) {
        case '\t':
        case '\n':
        case '\r':
        case ' ':
        case '"':
        case '\'':
        case ',':
        case '}':
            return true;
        default:
            return false;
    }
}

std::string at_line(size_t line) {
    return "line " + std::to_string(line) + ": ";
}

std::string reference_text(const TemplateReference& r) {
    return "tessarin://" + r.entry + "/" + r.field;
}

using ResolutionMap = std::map<std::pair<std::string, std::string>, SecretBytes>;

// What one (entry, field) pair resolved to: the value, and the entry it was found in.
struct Resolution {
    SecretBytes value;
    std::string entry_id;
};

// What the pairs' searches found, for the fetches that wait on them. The searches run at once,
// but a pair's entry is fetched only once every earlier pair's search has matched exactly one
// entry: a template that fails at a reference gets no secret released for a reference after it.
class SearchOutcomes {
  public:
    explicit SearchOutcomes(size_t count) : m_outcomes(count, Outcome::pending) {}

    // Pair i's search matched exactly one entry, or not (or it never ran). The first word on a
    // pair counts.
    void settle(size_t i, bool matched_one) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_outcomes[i] != Outcome::pending)
            return;
        m_outcomes[i] = matched_one ? Outcome::one : Outcome::other;
        m_settled.notify_all();
    }

    // Waits until every search before pair i has matched exactly one entry: true. False as soon
    // as one has not, or when the command stops. The earlier pairs were all started before pair
    // i, so each of them settles.
    bool earlier_matched(size_t i, std::stop_token stop) {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::optional<bool> verdict;
        m_settled.wait(lock, stop, [&] {
            verdict = verdict_before(i);
            return verdict.has_value();
        });
        return verdict.value_or(false);
    }

  private:
    enum class Outcome { pending, one, other };

    // Nothing while an earlier search is still out and none has failed.
    std::optional<bool> verdict_before(size_t i) const {
        bool pending = false;
        for (size_t j = 0; j < i; ++j) {
            if (m_outcomes[j] == Outcome::other)
                return false;
            pending = pending || m_outcomes[j] == Outcome::pending;
        }
        return pending ? std::nullopt : std::optional<bool>(true);
    }

    std::mutex m_mutex;
    std::condition_variable_any m_settled;
    std::vector<Outcome> m_outcomes;
};

// Resolves pair i, one (entry, field) pair: exact search, typed fetch, field look-up,
// decryption. The search's outcome is settled in `searches`; the fetch waits for the earlier
// searches. Nothing when, before the fetch, an earlier search failed or `unwanted` says the
// answer is no longer needed.
std::optional<Result<Resolution>> resolve_pair(const Vault& vault, const TemplateReference& r,
                                               size_t i, SearchOutcomes& searches,
                                               std::stop_token stop,
                                               const std::function<bool()>& unwanted) {
    const std::string where = at_line(r.line);
    EarlyConnection fetch = vault.early_connection();  // opened while the search is answered
    SearchResponse found = TRY(entry_search(vault, r.entry, true, std::nullopt, {.open = &fetch}));
    // The count shape carries no entry to fetch: it is "several" unless its count is 0.
    size_t matches =
        found.shape == SearchResponse::Shape::CountCrypto ? found.count : found.entries.size();
    searches.settle(i, matches == 1 && found.shape != SearchResponse::Shape::CountCrypto);
    if (matches == 0)
        return CliError(TS_2063, where + reference_text(r) + " \u2014 entry not found");
    if (matches > 1 || found.shape == SearchResponse::Shape::CountCrypto)
        return CliError(TS_2063,
                        where + reference_text(r) + " \u2014 multiple matches; be more specific");
    if (!searches.earlier_matched(i, stop) || unwanted())
        return std::nullopt;
    std::string id = found.entries[0].entry_id;
    Entry entry = TRY(entry_get(vault, id, {.use = &fetch}));
    if (!entry.data)
        return CliError(TS_2063, where + "vault returned no data for entry");
    std::vector<Field> fields = completed_fields(*entry.data, false);
    const Field* field = find_field(fields, r.field);
    if (!field)
        return CliError(TS_2063, where + reference_text(r) + " \u2014 field not found");
    if (field->tier >= 3)
        return CliError(TS_2048, where + reference_text(r) +
                                     " is L3 \u2014 vault never releases L3 plaintext to agents");
    auto value = field_value(*field, vault.config.l2_key.expose_secret());
    if (value.is_error())
        return CliError(TS_2049, where + "decrypt failed for " + reference_text(r) + ": " +
                                     display(value.error().get()));
    return Resolution{value.release_value(), std::move(id)};
}

// Resolves the distinct pairs (given by their first reference, in text order) into the map.
// The pairs are resolved at once; the outcome is decided in text order, as if one after the
// other: the first failing pair wins. Once pair k has failed, no pair after k is started, and no
// entry is fetched before every earlier search has found its one entry.
Result<void> resolve_all(const Vault& vault, const std::vector<const TemplateReference*>& pairs,
                         ResolutionMap& resolved) {
    std::atomic<size_t> first_failed{pairs.size()};
    SearchOutcomes searches(pairs.size());
    // The searches start at once; the fetches' early connections take only the slots they leave.
    const auto coming = vault.requests_coming(std::min(pairs.size(), k_requests_at_once));
    // A pair's result is nothing when it was no longer wanted (see resolve_pair).
    AtOnce<std::optional<Result<Resolution>>> at_once(
        pairs.size(), k_requests_at_once, vault.stop.get_token(),
        [&](size_t i, std::stop_token stop) -> std::optional<Result<Resolution>> {
            auto unwanted = [&] { return stop.stop_requested() || i > first_failed.load(); };
            std::optional<Result<Resolution>> r;
            if (!unwanted())
                r = resolve_pair(vault, *pairs[i], i, searches, stop, unwanted);
            // A search that failed, or never ran, found no entry.
            searches.settle(i, false);
            if (r && r->is_error())
                for (size_t f = first_failed.load(); i < f;)
                    if (first_failed.compare_exchange_weak(f, i))
                        break;
            return r;
        });
    // The requests still running are not waited for once the outcome is known.
    auto give_up = [&](CliError error) {
        vault.stop.request_stop();
        return error;
    };

    std::set<std::string> entry_ids;
    for (size_t i = 0; i < pairs.size(); ++i) {
        // Pair i is wanted: every pair before it resolved, and nothing has stopped the command
        // (both end this loop first), so it ran and has a result.
        Result<Resolution> r = std::move(**at_once.take(i));
        if (r.is_error())
            return give_up(r.release_error());
        Resolution& got = r.value();
        if (!entry_ids.count(got.entry_id)) {
            if (entry_ids.size() >= k_max_distinct_entries)
                return give_up(
                    CliError(TS_2061, "more than " + std::to_string(k_max_distinct_entries) +
                                          " distinct vault entries after resolution "
                                          "\u2014 split your config or split your run."));
            entry_ids.insert(got.entry_id);
        }
        const TemplateReference& ref = *pairs[i];
        resolved.emplace(std::make_pair(ref.entry, ref.field), std::move(got.value));
    }
    return {};
}

}  // namespace

Result<std::vector<TemplateReference>> scan_references(std::string_view text) {
    std::vector<TemplateReference> refs;
    size_t line = 1;
    size_t counted_to = 0;  // line feeds before this offset are in `line`
    size_t from = 0;
    for (size_t start; (start = text.find(k_scheme, from)) != std::string_view::npos;) {
        for (; counted_to < start; ++counted_to)
            if (text[counted_to] == '\n')
                ++line;
        size_t body_start = start + k_scheme.size();
        size_t end = body_start;
        while (end < text.size() && !is_terminator(text[end])) ++end;
        std::string_view body = text.substr(body_start, end - body_start);
        const std::string where = at_line(line);
        if (body.empty())
            return CliError(TS_2062, where + "empty `tessarin://` reference");
        size_t slash = body.rfind('/');
        if (slash == std::string_view::npos)
            return CliError(TS_2062,
                            where + "tessarin://" + std::string(body) + " \u2014 missing /field");
        if (slash == 0 || slash + 1 == body.size())
            return CliError(TS_2062, where + "tessarin://" + std::string(body) +
                                         " \u2014 empty entry or field");
        if (refs.size() == k_max_references)
            return CliError(TS_2061, "more than " + std::to_string(k_max_references) +
                                         " references in template");
        refs.push_back({std::string(body.substr(0, slash)), std::string(body.substr(slash + 1)),
                        line, start, end});
        from = end;
    }
    return refs;
}

Result<void> run_render(Invocation& invocation) {
    const std::string& file = *invocation.args().positional();
    auto read = read_bounded(file, k_input_limit);
    if (read.is_error()) {
        CliError error = read.release_error();
        if (error.error != &TS_2110)
            error.error = &TS_2060;
        return error;
    }
    const std::string& text = read.value();
    std::vector<TemplateReference> refs = TRY(scan_references(text));
    if (refs.empty()) {
        // Nothing to resolve: copied through, without configuration or vault.
        write_stdout(text);
        return {};
    }

    Session& session = *TRY(invocation.session());
    std::set<std::string> names;
    for (const TemplateReference& r : refs) names.insert(r.entry);
    if (names.size() > k_max_distinct_entries)
        return CliError(TS_2061, std::to_string(names.size()) +
                                     " distinct entries referenced (max " +
                                     std::to_string(k_max_distinct_entries) +
                                     "). render is not a bulk extraction tool \u2014 split your "
                                     "config or split your run.");

    // Each distinct pair once, by its first reference.
    std::vector<const TemplateReference*> pairs;
    std::set<std::pair<std::string_view, std::string_view>> seen;
    for (const TemplateReference& r : refs)
        if (seen.emplace(r.entry, r.field).second)
            pairs.push_back(&r);
    ResolutionMap resolved;
    TRY(resolve_all(session.vault(), pairs, resolved));

    // The output holds secrets: it lives in a buffer that wipes itself, sized once.
    size_t size = text.size();
    for (const TemplateReference& r : refs)
        size = size - (r.end - r.start) + resolved.at({r.entry, r.field}).size();
    SecretBytes out;
    out.reserve(size);
    size_t copied_to = 0;
    for (const TemplateReference& r : refs) {
        out.append_text(std::string_view(text).substr(copied_to, r.start - copied_to));
        out.append(resolved.at({r.entry, r.field}).expose_secret());
        copied_to = r.end;
    }
    out.append_text(std::string_view(text).substr(copied_to));

    write_notice(
        "warning: render wrote " + std::to_string(resolved.size()) +
        " secret field(s) to stdout \u2014 do not capture this in an agent transcript; pipe "
        "only to the local consumer\n");
    write_stdout(out.expose_text());
    return {};
}

}  // namespace tessarin
