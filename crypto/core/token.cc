#include "crypto/core/token.h"

#include <openssl/crypto.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "crypto/core/base64.h"

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

// Copies text into the secret buffer at offset and wipes the source string.
void move_into(SecretBytes& out, size_t& offset, std::string& text) {
    std::memcpy(out.data() + offset, text.data(), text.size());
    offset += text.size();
    OPENSSL_cleanse(text.data(), text.size());
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
    std::memcpy(plaintext.data(), l2_key.data(), 8);  // the L1 key
    std::memcpy(plaintext.data() + 8, agent_id.data(), 16);
    // aead_seal draws the nonce and lays out nonce || ciphertext || tag, which is exactly the
    // tail of the token body; its random failure is TS-0018.
    Bytes sealed = TRY(aead_seal(key.span(), plaintext.span()));
    if (sealed.size() != 12 + 24 + 16)
        return CoreError(TS_0005);

    SecretBytes body(k_token_body_length);
    body.data()[0] = k_token_format;
    const auto ikm = big_endian(vault_id);
    std::memcpy(body.data() + 1, ikm.data(), ikm.size());
    std::memcpy(body.data() + 9, sealed.data(), sealed.size());
    OPENSSL_cleanse(sealed.data(), sealed.size());

    std::string encoded = base64url_encode(body.span());
    if (encoded.size() != k_token_checked_length - k_token_prefix.size())
        return CoreError(TS_0005);

    SecretBytes token(k_token_length);
    size_t offset = 0;
    std::string prefix(k_token_prefix);
    move_into(token, offset, prefix);
    move_into(token, offset, encoded);
    const uLong crc = crc32(0L, token.data(), static_cast<uInt>(offset));
    const uint8_t check[4] = {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                              static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
    std::string dot = ".";
    move_into(token, offset, dot);
    std::string check_text = base64url_encode(check);
    if (offset + check_text.size() != k_token_length)
        return CoreError(TS_0005);
    move_into(token, offset, check_text);
    return token;
}

BasicResult<SecretBytes, EnvelopeError> build_request_payload(std::string_view action,
                                                              std::optional<std::string_view> token,
                                                              const nlohmann::json& content) {
    // The content is serialised on its own first; the envelope then carries it as written.
    std::string content_text;
    if (!content.is_null()) {
        try {
            content_text = content.dump();
        } catch (const nlohmann::json::exception& e) {
            return EnvelopeError{std::string("encode args: ") + e.what()};
        }
    }
    const auto refuse = [] { return EnvelopeError{"encode request: " + debug_form(TS_0004)}; };
    if (!is_accepted_action(action))
        return refuse();
    if (token && (token->empty() || token->substr(0, k_token_prefix.size()) != k_token_prefix))
        return refuse();

    std::string action_text, token_text;
    try {
        action_text = nlohmann::json(std::string(action)).dump();
        if (token) {
            token_text = nlohmann::json(std::string(*token)).dump();
        }
    } catch (const nlohmann::json::exception&) {
        OPENSSL_cleanse(content_text.data(), content_text.size());
        return refuse();
    }

    // Sized exactly up front, so the secret parts are never left behind in a reallocated
    // buffer.
    constexpr std::string_view k_open = "{\"action\":";
    constexpr std::string_view k_cred = ",\"cred\":";
    constexpr std::string_view k_content = ",\"content\":";
    size_t size = 1 + k_open.size() + action_text.size() + 1;
    if (token)
        size += k_cred.size() + token_text.size();
    if (!content.is_null())
        size += k_content.size() + content_text.size();

    SecretBytes payload(size);
    size_t offset = 0;
    payload.data()[offset++] = k_payload_marker;
    std::string piece(k_open);
    move_into(payload, offset, piece);
    move_into(payload, offset, action_text);
    if (token) {
        piece = k_cred;
        move_into(payload, offset, piece);
        move_into(payload, offset, token_text);
    }
    if (!content.is_null()) {
        piece = k_content;
        move_into(payload, offset, piece);
        move_into(payload, offset, content_text);
    }
    payload.data()[offset++] = '}';
    return payload;
}

}  // namespace tessarin
