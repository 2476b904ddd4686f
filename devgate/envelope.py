"""The gate's messages: the request envelope a client sends (parsed, checked for canonical form)
and the reply payload the gate sends back; GateError is a refusal that travels as a reply."""
import json

from . import wire

ENVELOPE_KEYS = ("action", "cred", "content")


class GateError(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


def reply_ok(result):
    return {"ok": True, "result": result}


def reply_error(code, message):
    return {"ok": False, "error": {"code": code, "message": message}}


def encode_reply(reply) -> bytes:
    return bytes([wire.PAYLOAD_MARKER]) + json.dumps(reply, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def parse_envelope(payload: bytes, strict: bool):
    """Returns (envelope dict, action or None); raises GateError for a malformed request."""
    if not payload or payload[0] != wire.PAYLOAD_MARKER:
        raise GateError("bad_request", "request payload must start with the byte 0x10")
    try:
        text = payload[1:].decode("utf-8")
    except UnicodeDecodeError:
        raise GateError("bad_request", "envelope is not UTF-8")
    try:
        env = wire.strict_loads(text)
    except ValueError as e:
        raise GateError("bad_request", "envelope is not JSON: %s" % e)
    if not isinstance(env, dict):
        raise GateError("bad_request", "envelope is not a JSON object")
    for key in env:
        if key not in ENVELOPE_KEYS:
            raise GateError("bad_request", "envelope has an unknown member '%s'" % key)
    action = env.get("action")
    if not isinstance(action, str):
        raise GateError("bad_request", "envelope has no action")
    if strict and canonical_text(env) != text:
        raise GateError("bad_request", "envelope is not in canonical form (compact; action, cred, content in"
                                       " that order; object keys in ascending order; no null content)")
    return env, action


def canonical_text(env: dict):
    """The exact text a client writes for this envelope (None when no client would write it)."""
    if not set(env) <= set(ENVELOPE_KEYS) or not isinstance(env.get("action"), str):
        return None
    if "content" in env and env["content"] is None:
        return None  # a client leaves content out instead of sending null
    if "cred" in env and env["cred"] is None:
        return None
    return wire.envelope_text(env["action"], env.get("cred"), env.get("content"))
