// note and memory search: the entries nearest to an embedding, listed one line each with what
// they are shown as (their decrypted summary, else their title, else their id).
#include "src/commands/textentry.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "crypto/core/primitives.h"
#include "src/base/at_once.h"
#include "src/commands/textentry_input.h"
#include "src/gate/gate.h"
#include "src/gate/reply_budget.h"
#include "src/gate/vault.h"
#include "src/term/output.h"

namespace tessarin {

using nlohmann::json;

namespace {

constexpr uint64_t k_default_limit = 10;
constexpr uint64_t k_max_limit = 50;
// The reply bytes the look-ups hold at once while they are read: two replies of the largest
// size the gate may send. A reply of a few kilobytes never waits; a hostile gate sending
// every hit a huge reply gets them read two or three at a time, not sixteen.
constexpr size_t k_lookup_reply_budget = 2 * k_max_reply_body;

// A distance with exactly four decimals ("0.1234"), however large.
std::string four_decimals(double value) {
    int n = std::snprintf(nullptr, 0, "%.4f", value);
    if (n <= 0)
        return "?";
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), "%.4f", value);
    out.pop_back();
    return out;
}

// What a hit is shown as, and whether its entry could be fetched.
struct Shown {
    SecretBytes text;
    bool fetched = true;
};

// What a hit is shown as: its decrypted summary, else its title, else its id. Only this is
// kept of the reply, which is gone when this returns.
Shown hit_display(const Vault& vault, const std::string& id, EarlyConnections early) {
    auto entry = entry_get(vault, id, early);
    if (entry.is_error())
        return {SecretBytes::from_text(id), false};
    const Entry& e = entry.value();
    if (e.data)
        for (const Field& f : e.data->fields)
            if (f.label == "summary" && f.tier == 2) {
                auto plain = decrypt_field(vault.config.l2_key.expose_secret(), "summary", f.value);
                if (!plain.is_error())
                    return {plain.release_value()};
                break;
            }
    return {SecretBytes::from_text(e.title ? *e.title : id)};
}

// What stands for the id of a hit that has none.
const std::string k_no_id = "?";

// One hit of a similarity search, as the reply gives it.
struct Hit {
    std::optional<std::string> id;
    double distance = 0;
    std::string model = "?";
};

Hit read_hit(const json& hit) {
    Hit h;
    if (!hit.is_object())
        return h;
    auto it = hit.find("entry_id");
    if (it != hit.end() && it->is_string())
        h.id = it->get<std::string>();
    it = hit.find("distance");
    if (it != hit.end() && it->is_number())
        h.distance = it->get<double>();
    it = hit.find("embedding_model");
    if (it != hit.end() && it->is_string())
        h.model = it->get<std::string>();
    return h;
}

// One line of the listing: id, distance, [model] and what the hit is shown as, tab separated.
// Every text from the vault is made one line, so that none can forge a line or a column. The
// line may hold a summary: it is built in a buffer that wipes itself.
SecretBytes hit_line(const std::string& id, const Hit& hit, const SecretBytes& display) {
    const std::string distance_text = four_decimals(hit.distance);
    const SafeText safe_id = one_line(id, SIZE_MAX);
    const SafeText safe_model = one_line(hit.model, SIZE_MAX);
    const SafeText safe_display = one_line(display.expose_text(), SIZE_MAX);
    SecretBytes line;
    line.reserve(safe_id.view().size() + distance_text.size() + safe_model.view().size() +
                 safe_display.view().size() + 8);
    line.append_text(safe_id);
    line.append_text("\t");
    line.append_text(distance_text);
    line.append_text("\t[");
    line.append_text(safe_model);
    line.append_text("]\t");
    line.append_text(safe_display);
    line.append_text("\n");
    return line;
}

// The early connections opened by look-ups for the look-ups that start after them: each is
// taken by one look-up, in the order they were put.
class EarlyConnectionQueue {
  public:
    void put(EarlyConnection early) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ready.push_back(std::move(early));
    }
    // The oldest one put, or an early connection that was never opened.
    EarlyConnection take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ready.empty())
            return {};
        EarlyConnection early = std::move(m_ready.front());
        m_ready.pop_front();
        return early;
    }

  private:
    std::mutex m_mutex;
    std::deque<EarlyConnection> m_ready;
};

// The listing's lines, in hit order. The look-ups run at once; they get two request timeouts
// in all, after which the hits not yet looked up are shown by their ids, like hits whose
// look-up failed. Returns how many look-ups there were, and how many of them failed.
struct LookupCount {
    size_t made = 0;
    size_t failed = 0;
};

LookupCount list_hits(const Vault& vault, const std::vector<Hit>& hits,
                      std::vector<EarlyConnection>& first_lookups) {
    // Declared before the look-ups: the connections left unused are closed after their threads
    // are joined, and the budget outlives the clients that charge it.
    EarlyConnectionQueue early;
    size_t opened_first = 0;
    for (EarlyConnection& opened : first_lookups)
        if (opened.started()) {
            early.put(std::move(opened));
            ++opened_first;
        }
    ReplyBudget reply_budget(k_lookup_reply_budget);
    // The first look-ups start at once, those without a connection opened for them needing a
    // slot: the connections opened early for the next ones take only the slots they leave.
    const size_t first = std::min(hits.size(), k_requests_at_once);
    const auto coming = vault.requests_coming(first - std::min(first, opened_first));
    AtOnce<Shown> lookups(hits.size(), k_requests_at_once, vault.stop.get_token(),
                          [&](size_t i, std::stop_token stop) -> Shown {
                              // A hit without an id has nothing to look up: it is "?".
                              if (!hits[i].id)
                                  return {SecretBytes::from_text(k_no_id)};
                              EarlyConnection mine = early.take();
                              // With this many hits still to come, the thread takes another when
                              // this one is done: the connection for that one is opened while this
                              // look-up is answered.
                              EarlyConnection next;
                              if (i + k_requests_at_once < hits.size())
                                  next = vault.early_connection();
                              BudgetedHttpClient http(vault.http, reply_budget, stop);
                              const Vault budgeted{vault.config, http, vault.stop, vault.route};
                              Shown shown =
                                  hit_display(budgeted, *hits[i].id, {.use = &mine, .open = &next});
                              if (next.started())
                                  early.put(std::move(next));
                              return shown;
                          });
    const auto budget_end = std::chrono::steady_clock::now() + 2 * k_request_timeout;
    bool given_up = false;
    LookupCount count;
    for (size_t i = 0; i < hits.size(); ++i) {
        const std::string& id = hits[i].id ? *hits[i].id : k_no_id;
        std::optional<Shown> shown = lookups.take(i, budget_end);
        if (!shown && !given_up) {
            given_up = true;
            vault.stop.request_stop();
            shown = lookups.take(i);
        }
        // A look-up never made because time ran out failed like one that was refused.
        if (!shown)
            shown = Shown{SecretBytes::from_text(id), false};
        if (hits[i].id) {
            ++count.made;
            count.failed += shown->fetched ? 0 : 1;
        }
        write_stdout(hit_line(id, hits[i], shown->text).expose_text());
    }
    return count;
}

}  // namespace

Result<void> run_text_search(Invocation& invocation) {
    const Arguments& a = invocation.args();
    const std::string kind(invocation.command());
    const SecretBytes* vector = a.content(k_vector_file);
    if (!vector)
        return CliError(TS_2000,
                        "--vector-file is required (base64-encoded embedding; not on argv)");
    uint64_t limit = k_default_limit;
    if (const std::string* text = a.text(k_search_limit))
        limit = parse_limit(*text).value_or(0);
    if (limit < 1 || limit > k_max_limit)
        return CliError(TS_2000, "--limit must be between 1 and 50");

    Session& session = *TRY(invocation.session());
    const Vault vault = session.vault();
    json argument = {
        {"category", kind}, {"limit", limit}, {"vector", std::string(vector->expose_text())}};
    // The connections of the first look-ups are opened while the search is answered, one for
    // each hit there may be, up to the look-ups that start at once. Those the hits leave over are
    // closed unused.
    std::vector<EarlyConnection> first_lookups;
    for (uint64_t i = 0; i < std::min<uint64_t>(limit, k_requests_at_once); ++i)
        first_lookups.push_back(vault.early_connection());
    json result = TRY(gate_call(*session.http, session.config, *session.route, "search.similar",
                                argument, {.open_next = first_lookups}));
    if (!result.is_array() || result.empty()) {
        write_stdout("No similar " + kind + "s found.\n");
        return {};
    }
    // A reply may list more hits than were asked for: only the first `limit` are looked up
    // (each look-up counts against the agent's read quota) and listed.
    std::vector<Hit> hits;
    for (size_t i = 0; i < result.size() && i < limit; ++i) hits.push_back(read_hit(result[i]));
    LookupCount lookups = list_hits(vault, hits, first_lookups);
    // The listing is complete either way, but a hit shown by its id may just be one whose
    // summary did not arrive: say so once, so that the listing is not taken for the full one.
    if (lookups.failed > 0)
        write_notice("warning: " + std::to_string(lookups.failed) + " of " +
                     std::to_string(lookups.made) +
                     " summaries could not be fetched; those hits are listed by id\n");
    return {};
}

}  // namespace tessarin
