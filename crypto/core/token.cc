#include "crypto/core/token.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "crypto/core/base64.h"
#include "crypto/core/json_text.h"

namespace tessarin {

namespace {

constexpr std::string_view k_token_prefix = "tsk_";
constexpr std::string_view k_token_info = "tsk-envelope";

std::array<uint8_t, 8> big_endian(uint64_t v) {
    std::array<uint8_t, 8> out{};
    for (int i = 7; i >= 0; --i) {
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(v & 0xff);
        v >>= 8;
    }
    return out;
}

}  // namespace

const std::array<std::string_view, 114> k_action_names = {
    "system.ping",
    "system.glass",
    "entry.list",
    "entry.get",
    "entry.revisions",
    "entry.create",
    "entry.update",
    "entry.upsert",
    "entry.delete",
    "scope.list",
    "scope.resolve",
    "scope.set",
    "search.query",
    "search.similar",
    "search.related",
    "search.clusters",
    "ext.totp",
    "ext.match",
    "ext.alternates",
    "ext.worked",
    "audit.list",
    "audit.verify",
    "audit.anchor_status",
    "agent.create",
    "agent.list",
    "agent.update",
    "agent.delete",
    "agent.unlock",
    "backup.list",
    "backup.create",
    "backup.restore",
    "task.list",
    "task.report",
    "control.meta_apply",
    "control.task_apply",
    "repl.push",
    "telemetry.push",
    "alert.raise",
    "event.report",
    "audit.anchor",
    "recovery.store_key",
    "recovery.store_verification",
    "recovery.release_key",
    "mail.probe",
    "mail.test",
    "mail.drill",
    "content.push",
    "failover.promote",
    "corporate.push",
    "system.health",
    "failover.maintenance",
    "failover.alert",
    "failover.failback",
    "fleet.reachable",
    "entry.set_scopes",
    "entry.batch_create",
    "wl3.fetch",
    "wl3.lookup",
    "wl3.put",
    "auth.login_begin",
    "auth.login_complete",
    "auth.discover_begin",
    "auth.discover_complete",
    "auth.register_begin",
    "auth.register_complete",
    "vault.assign",
    "webauthn.credentials",
    "webauthn.revoke_credential",
    "ops.maintenance.register",
    "ops.incident.open",
    "ops.incident.close",
    "central.whois",
    "central.push",
    "telemetry.forward",
    "auth.tap_begin",
    "auth.tap_complete",
    "entry.list_deleted",
    "session.event",
    "entry.get_batch",
    "entry.revisions_batch",
    "vault.export",
    "enroll.pin",
    "enroll.verify",
    "varnelle.ensure",
    "varnelle.claim.get",
    "varnelle.claim.slots",
    "varnelle.claim.calendar",
    "varnelle.claim.put",
    "varnelle.claim.move",
    "varnelle.claim.cancel",
    "varnelle.claim.enroll",
    "varnelle.claim.presence",
    "varnelle.claim.project",
    "varnelle.business.get",
    "varnelle.business.put",
    "varnelle.business.list",
    "varnelle.staff.get",
    "varnelle.staff.put",
    "varnelle.staff.list",
    "varnelle.bind",
    "agent.bootstrap",
    "vault.list",
    "id.mint",
    "vault.where",
    "vault.place",
    "central.log",
    "wl3.revoke",
    "world.sweep",
    "party.birth",
    "dns.shop.set",
    "dns.shop.remove",
    "shop.keys",
    "varnelle.api",
    "varnelle.view",
};

bool is_accepted_action(std::string_view action) {
    return std::find(k_action_names.begin(), k_action_names.end(), action) != k_action_names.end();
}

SecretBytes token_envelope_key(uint64_t vault_id) {
    const auto ikm = big_endian(vault_id);
    return derive_key(ikm, std::nullopt, as_bytes(k_token_info), 16);
}

CoreResult<SecretBytes> mint_agent_token(uint64_t vault_id, ByteView l2_key, ByteView agent_id) {
    if (l2_key.size() != 16)
        return CoreError(TS_0001);
    if (agent_id.size() != 16)
        return CoreError(TS_0005);
    SecretBytes key = token_envelope_key(vault_id);
    if (key.size() != 16 && key.size() != 32)
        return CoreError(TS_0001);

    SecretBytes plaintext(24);
    auto clear = plaintext.expose_secret_mut();
    std::copy_n(l2_key.begin(), 8, clear.begin());  // the L1 key
    std::copy_n(agent_id.begin(), 16, clear.begin() + 8);

    // The body: format byte, vault id, then nonce || ciphertext || tag sealed in place (the
    // random failure of the nonce is TS-0018).
    SecretBytes body(k_token_body_length);
    auto out = body.expose_secret_mut();
    out[0] = k_token_format;
    const auto ikm = big_endian(vault_id);
    std::copy(ikm.begin(), ikm.end(), out.begin() + 1);
    TRY(aead_seal_into(key.expose_secret(), plaintext.expose_secret(), out.subspan(9)));

    SecretBytes token;
    token.reserve(k_token_length);
    token.append_text(k_token_prefix);
    base64url_encode_append(body.expose_secret(), token);
    if (token.size() != k_token_checked_length)
        return CoreError(TS_0005);
    const auto checked = token.expose_secret();
    const uLong crc = crc32(0L, checked.data(), static_cast<uInt>(checked.size()));
    const uint8_t check[4] = {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                              static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
    token.push_back('.');
    base64url_encode_append(check, token);
    if (token.size() != k_token_length)
        return CoreError(TS_0005);
    return token;
}

BasicResult<SecretBytes, EnvelopeError> build_request_payload(std::string_view action,
                                                              std::optional<std::string_view> token,
                                                              const nlohmann::json& content) {
    // The content is serialised on its own first; the envelope then carries it as written.
    SecretBytes content_text;
    if (!content.is_null()) {
        auto dumped = dump_json_secret(content);
        if (dumped.is_error())
            return EnvelopeError{"encode args: " + dumped.error()};
        content_text = dumped.release_value();
    }
    const auto refuse = [] { return EnvelopeError{"encode request: " + debug_form(TS_0004)}; };
    if (!is_accepted_action(action))
        return refuse();
    if (token && (token->empty() || token->substr(0, k_token_prefix.size()) != k_token_prefix))
        return refuse();

    // Room for the longest escaping up front (6 bytes a character), so the buffer holding the
    // token never moves.
    SecretBytes payload;
    payload.reserve(64 + 6 * action.size() + (token ? 6 * token->size() : 0) + content_text.size());
    payload.push_back(k_payload_marker);
    payload.append_text("{\"action\":");
    if (!append_json_string(payload, action))
        return refuse();
    if (token) {
        payload.append_text(",\"cred\":");
        if (!append_json_string(payload, *token))
            return refuse();
    }
    if (!content.is_null()) {
        payload.append_text(",\"content\":");
        payload.append(content_text.expose_secret());
    }
    payload.push_back('}');
    return payload;
}

}  // namespace tessarin
