"""Client side of the gate protocol in Python, for tests: token minting, the request envelope,
the Noise initiator, one HTTPS gate request, enrolment blob opening and field encryption.

Everything here writes exactly what a correct client writes, so tests can drive the gate
without the C++ client and compare bytes with what the client sent.
"""
import http.client
import json
import ssl
import urllib.parse

from . import wire
from .actions import ACCEPTED_ACTIONS
from .enrolment import BLOB_MEMBERS, EMPTY_POP, KEY_LENGTH, NO_POP_PUB, NOT_AUTH, NOT_B64URL, OLD_VAULT_ID
from .wire import (aead_open, aead_seal, b64std_decode, b64std_encode, b64url_decode, b64url_encode,  # noqa: F401
                   canonical_json, decrypt_field, encrypt_field, mint_token, open_token)


def envelope(action: str, cred, content=None) -> str:
    """{"action":…,"cred":…,"content":…}: compact, content members in ascending key order."""
    return wire.envelope_text(action, cred, content)


def request_payload(action: str, cred, content=None) -> bytes:
    """0x10 followed by the UTF-8 envelope."""
    return bytes([wire.PAYLOAD_MARKER]) + envelope(action, cred, content).encode("utf-8")


def token_for(agent: dict) -> str:
    """A fresh token for an agent record as `mint_agent` returns it (agent_id, l2, vault_id hex)."""
    return mint_token(int(agent["vault_id"], 16), bytes.fromhex(agent["l2"]), bytes.fromhex(agent["agent_id"]))


def _material_decode(text: str) -> bytes:
    """Enrolment material as a client reads it: base64url, blanks around it and "=" padding
    tolerated."""
    return b64url_decode(text.strip().rstrip("="))


def open_blob(blob: str, key: str):
    """The enrolment blob's JSON value, opened with its key (both base64url, "=" tolerated)."""
    return json.loads(aead_open(_material_decode(key), _material_decode(blob)))


class Exchange:
    """One client-side Noise IK exchange: message 1 out, message 2 in."""

    def __init__(self, gate_pub: bytes, payload: bytes, static_priv=None, ephemeral_priv=None):
        self._hs, self.msg1 = wire.initiator_write(gate_pub, payload, static_priv, ephemeral_priv)

    def open(self, msg2: bytes) -> bytes:
        return wire.read_message(self._hs, msg2)


class HttpReply:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body


def post(url: str, body: bytes, cafile: str, timeout=30.0, content_type="text/plain", headers=None) -> HttpReply:
    """One HTTPS POST, verifying the gate's certificate against cafile. No redirects followed."""
    u = urllib.parse.urlsplit(url)
    ctx = ssl.create_default_context(cafile=cafile)
    conn = http.client.HTTPSConnection(u.hostname, u.port or 443, context=ctx, timeout=timeout)
    try:
        h = {"Content-Type": content_type, "Content-Length": str(len(body))}
        h.update(headers or {})
        conn.request("POST", u.path or "/", body=body, headers=h)
        resp = conn.getresponse()
        return HttpReply(resp.status, dict(resp.getheaders()), resp.read())
    finally:
        conn.close()


class GateRefused(Exception):
    def __init__(self, status, body):
        super().__init__("gate refused the handshake (HTTP %d)" % status)
        self.status = status
        self.body = body


def parse_reply(payload: bytes):
    """The reply JSON of a reply payload; raises ValueError unless it is 0x10 and a closed Reply."""
    if not payload or payload[0] != wire.PAYLOAD_MARKER:
        raise ValueError("reply payload does not start with 0x10")
    reply = wire.strict_loads(payload[1:].decode("utf-8"))
    if not isinstance(reply, dict) or not isinstance(reply.get("ok"), bool):
        raise ValueError("reply is not an object with a boolean ok")
    if not set(reply) <= {"ok", "result", "error"}:
        raise ValueError("reply has unknown members")
    err = reply.get("error")
    if err is not None and (not isinstance(err, dict) or set(err) != {"code", "message"}):
        raise ValueError("reply error is not {code, message}")
    return reply


def gate_request(gate_url: str, gate_pub_hex: str, cafile: str, action: str, content=None, token=None,
                 payload: bytes = None, timeout=30.0):
    """One gate request; returns the parsed Reply. `payload` overrides the built request payload.
    Raises GateRefused on a non-2xx status, ValueError on a reply that does not decode."""
    if payload is None:
        if action not in ACCEPTED_ACTIONS:
            raise ValueError("action not accepted: %r" % action)
        payload = request_payload(action, token, content)
    ex = Exchange(bytes.fromhex(gate_pub_hex), payload)
    resp = post(gate_url, b64std_encode(ex.msg1).encode("ascii"), cafile, timeout=timeout)
    if not 200 <= resp.status < 300:
        raise GateRefused(resp.status, resp.body)
    msg2 = b64std_decode(resp.body.decode("utf-8").strip())
    return parse_reply(ex.open(msg2))


def classify_enrolment(blob_text: str, key_text: str) -> str:
    """What a correct client's `init` makes of this blob and key: "enrols", or the detail of
    its TS-2001 refusal. Mirrors the client's checks in their order."""
    try:
        key = _material_decode(key_text)
    except ValueError:
        return NOT_B64URL
    if len(key) != 32:
        return KEY_LENGTH
    try:
        sealed = _material_decode(blob_text)
    except ValueError:
        return NOT_B64URL
    try:
        value = json.loads(aead_open(key, sealed).decode("utf-8"))
    except Exception:
        return NOT_AUTH
    if isinstance(value, list):
        if len(value) < 4 or len(value) > 7:
            return NOT_AUTH
        value = dict(zip(BLOB_MEMBERS, value))
    if not isinstance(value, dict):
        return NOT_AUTH
    for name in ("agent_id", "l2", "vault_id", "pop"):
        if not isinstance(value.get(name), str):
            return NOT_AUTH
    for name in ("pop_pub", "replica_host", "replica_pub"):
        if value.get(name) is not None and not isinstance(value[name], str):
            return NOT_AUTH
    pop_pub = (value.get("pop_pub") or "").strip()
    if not pop_pub:
        return NO_POP_PUB
    hexdigits = set("0123456789abcdefABCDEF")
    if len(pop_pub) != 64 or not set(pop_pub) <= hexdigits:
        return NOT_AUTH
    for name in ("agent_id", "l2"):
        if len(value[name]) != 32 or not set(value[name]) <= hexdigits:
            return NOT_AUTH
    if wire.vault_id_reason(value["vault_id"]) is not None:
        return OLD_VAULT_ID
    pop = value["pop"].strip()
    if not pop or "\n" in pop:
        return EMPTY_POP
    return "enrols"
