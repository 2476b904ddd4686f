"""The gate: HTTPS POST /gate, a one-shot Noise IK exchange per request, agent tokens checked,
vault actions served from the shared SQLite store, faults injected on request."""
import hmac
import http.server
import json
import math
import select
import socket
import ssl
import struct
import threading
import time

from . import totp
from . import wire
from .store import Store, now_ms
from .actions import ACCEPTED_ACTIONS

READ_ACTIONS = {"search.query", "search.similar", "entry.get", "ext.totp"}

AUDIT_WORDS = {
    "search.query": "search",
    "search.similar": "similar",
    "entry.get": "read",
    "entry.delete": "delete",
    "ext.totp": "totp",
    "audit.list": "audit",
    "system.ping": "ping",
}

# Faults that replace the action: nothing is executed, nothing is audited.
REPLACING_FAULTS = {"status", "dark", "close", "empty", "body", "redirect", "error", "result", "reply"}
# Faults that alter the encoding of a real reply: the action runs first.
ALTERING_FAULTS = {"unknown-key", "payload-byte", "wrong-key", "flip", "truncate", "pad", "oversize", "delay"}
FAULT_KINDS = REPLACING_FAULTS | ALTERING_FAULTS

ENVELOPE_KEYS = ("action", "cred", "content")

# The body of every HTTP 404: a dark gate looks like a server without the gate.
NOT_FOUND = b"not found\n"


class GateError(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


class Caller:
    def __init__(self, agent, vault_id):
        self.agent = agent
        self.vault_id = vault_id
        self.agent_id = agent["agent_id"]
        self.name = agent["name"]
        self.l2 = bytes.fromhex(agent["l2"])


def reply_ok(result):
    return {"ok": True, "result": result}


def reply_error(code, message):
    return {"ok": False, "error": {"code": code, "message": message}}


def encode_reply(reply) -> bytes:
    return bytes([wire.PAYLOAD_MARKER]) + json.dumps(reply, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


# ---------------------------------------------------------------------------
# Envelope and token


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
    if strict and _canonical_text(env) != text:
        raise GateError("bad_request", "envelope is not in canonical form (compact; action, cred, content in"
                                       " that order; object keys in ascending order; no null content)")
    return env, action


def authenticate(vault: Store, cred) -> Caller:
    if cred is None:
        raise GateError("auth", "missing credential")
    try:
        vault_id, l1, agent_id = wire.open_token(cred)
    except wire.TokenRefused as e:
        raise GateError("auth", str(e))
    vid = "%016x" % vault_id
    if not vault.known_vault(vid):
        raise GateError("auth", "unknown vault")
    agent = vault.agent_by_id(agent_id.hex())
    if agent is None or agent["vault_id"] != vid:
        raise GateError("auth", "unknown agent")
    if not hmac.compare_digest(l1, bytes.fromhex(agent["l2"])[:8]):
        raise GateError("auth", "agent key mismatch")
    return Caller(agent, vid)


# ---------------------------------------------------------------------------
# Actions


def _obj(content, action):
    if content is None:
        return {}
    if not isinstance(content, dict):
        raise GateError("bad_request", "%s expects an object" % action)
    return content


def _str(content, key, action, required=True):
    v = content.get(key)
    if v is None and not required:
        return None
    if not isinstance(v, str):
        raise GateError("bad_request", "%s needs '%s' as a string" % (action, key))
    return v


def _int(content, key, action, lo, hi):
    v = content.get(key)
    if v is None:
        return None
    if not isinstance(v, int) or isinstance(v, bool) or not lo <= v <= hi:
        raise GateError("bad_request", "%s: '%s' must be an integer from %d to %d" % (action, key, lo, hi))
    return v


class Context:
    def __init__(self, vault, settings, caller, quota=None):
        self.vault = vault
        self.settings = settings
        self.caller = caller
        self.quota = quota
        self.now = vault.now_ms(settings)
        self.audit_title = None
        self.audit_entry = None
        self.audit_word = None


def _entry_or_fail(ctx, entry_id):
    e = ctx.vault.get_entry(ctx.caller.vault_id, entry_id)
    if e is None:
        raise GateError("not_found", "no entry with id %s" % entry_id)
    ctx.audit_title = e["title"]
    ctx.audit_entry = entry_id
    return e


def act_ping(ctx, content):
    return {"pong": True, "time": ctx.now}


def act_search(ctx, content):
    c = _obj(content, "search.query")
    q = _str(c, "q", "search.query")
    exact = c.get("exact", True)
    if not isinstance(exact, bool):
        raise GateError("bad_request", "search.query needs 'exact' as a boolean")
    type_ = _str(c, "type", "search.query", required=False)
    ctx.audit_title = q
    minimum = ctx.settings.get("min_fuzzy_len") or 0
    if not exact and len(q) < minimum:
        raise GateError("query_too_short", "a substring search needs at least %d characters" % minimum)
    needle = q.lower()
    hits = []
    for e in ctx.vault.entries(ctx.caller.vault_id):
        title = (e["title"] or "").lower()
        if exact and title != needle:
            continue
        if not exact and needle not in title:
            continue
        if type_ is not None and (e["type"] or "").lower() != type_.lower():
            continue
        hits.append(e)
    hits.sort(key=lambda e: ((e["title"] or "").lower(), e["created_at"]))
    listed = [{"entry_id": e["entry_id"], "type": e["type"], "title": e["title"]} for e in hits]
    shape = ctx.settings.get("search_shape", "auto")
    if shape == "plain":
        return listed
    threshold = ctx.settings.get("count_threshold", 10)
    if shape == "count" or (shape == "auto" and len(hits) > threshold):
        return {
            "count": len(hits),
            "titles": [e["title"] for e in hits if e["title"] is not None][:50],
            "matches": [{"title": e["title"], "type": e["type"]} for e in hits][:50],
            "message": "%d entries match; narrow your query" % len(hits),
            "quota": ctx.quota,
        }
    return {"entries": listed, "quota": ctx.quota}


def _released(ctx, entry):
    if ctx.settings.get("release_l3"):
        return entry
    data = entry.get("data")
    if isinstance(data, dict) and isinstance(data.get("fields"), list):
        fields = []
        for f in data["fields"]:
            if isinstance(f, dict) and isinstance(f.get("tier"), int) and f["tier"] >= 3:
                f = dict(f, value="")
            fields.append(f)
        entry = dict(entry, data=dict(data, fields=fields))
    return entry


def act_get(ctx, content):
    c = _obj(content, "entry.get")
    return _released(ctx, _entry_or_fail(ctx, _str(c, "id", "entry.get")))


def act_upsert(ctx, content):
    c = _obj(content, "entry.upsert")
    data = c.get("data", {})
    if not isinstance(data, dict):
        raise GateError("bad_request", "entry.upsert needs 'data' as an object")
    title = c.get("title", data.get("title"))
    type_ = c.get("type", data.get("type"))
    if not isinstance(title, str) or not title:
        raise GateError("bad_request", "entry.upsert needs a title")
    if not isinstance(type_, str) or not type_:
        raise GateError("bad_request", "entry.upsert needs a type")
    ctx.audit_title = title
    entry_id = c.get("id")
    if entry_id is not None:
        if not isinstance(entry_id, str):
            raise GateError("bad_request", "entry.upsert needs 'id' as a string")
        if not ctx.vault.update_entry(ctx.caller.vault_id, entry_id, type_, title, data):
            raise GateError("not_found", "no entry with id %s" % entry_id)
        ctx.audit_word, ctx.audit_entry = "update", entry_id
        return {"created": False, "entry_id": entry_id}
    entry_id = ctx.vault.create_entry(ctx.caller.vault_id, type_, title, data, created_by=ctx.caller.agent_id)
    ctx.audit_word, ctx.audit_entry = "create", entry_id
    return {"created": True, "entry_id": entry_id}


def act_delete(ctx, content):
    c = _obj(content, "entry.delete")
    entry_id = _str(c, "id", "entry.delete")
    _entry_or_fail(ctx, entry_id)
    ctx.vault.delete_entry(ctx.caller.vault_id, entry_id)
    return {"deleted": True, "entry_id": entry_id}


def act_totp(ctx, content):
    c = _obj(content, "ext.totp")
    entry = _entry_or_fail(ctx, _str(c, "id", "ext.totp"))
    fields = (entry.get("data") or {}).get("fields") or []
    pick = None
    for f in fields:
        if isinstance(f, dict) and f.get("kind") == "totp" and f.get("value"):
            pick = f
            break
    if pick is None:
        for f in fields:
            if isinstance(f, dict) and str(f.get("label", "")).lower() in ("totp", "secret") and f.get("value"):
                pick = f
                break
    if pick is None:
        raise GateError("no_totp", "entry has no TOTP secret")
    tier = pick.get("tier", 1)
    secret_text = pick["value"]
    if isinstance(tier, int) and tier >= 3:
        raise GateError("no_totp", "the TOTP secret is not released to agents")
    if tier == 2:
        try:
            secret_text = wire.decrypt_field(ctx.caller.l2, pick["label"], secret_text)
        except Exception:
            raise GateError("no_totp", "the TOTP secret does not open with this agent's key")
    try:
        secret, digits, period, algo = totp.params(secret_text)
    except Exception:
        raise GateError("no_totp", "the TOTP secret is not base32")
    seconds = ctx.now / 1000.0
    code = totp.code_at(secret, seconds, digits, period, algo)
    return {"code": code, "expires_in": period - int(seconds) % period}


def act_audit(ctx, content):
    c = _obj(content, "audit.list")
    limit = _int(c, "limit", "audit.list", 1, 1000) or 50
    actor = _str(c, "actor", "audit.list", required=False)
    action = _str(c, "action", "audit.list", required=False)
    entry = _str(c, "entry", "audit.list", required=False)
    since = _int(c, "since", "audit.list", -(1 << 62), 1 << 62)
    until = _int(c, "until", "audit.list", -(1 << 62), 1 << 62)
    events = []
    for row, ev in ctx.vault.audit_events(ctx.caller.vault_id):
        if actor is not None and actor not in (row["actor"], row["agent_id"]):
            continue
        if action is not None and action not in (row["action"], row["gate_action"]):
            continue
        if entry is not None and entry.lower() not in (row["title"] or "").lower():
            continue
        if since is not None and row["created_at"] < since:
            continue
        if until is not None and row["created_at"] > until:
            continue
        events.append(ev)
        if len(events) >= limit:
            break
    return {"events": events}


def decode_vector(text):
    t = text.strip()
    if t.startswith("["):
        values = json.loads(t)
        if not isinstance(values, list) or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                                                   for v in values):
            raise ValueError("not a list of numbers")
        return [float(v) for v in values]
    raw = wire.b64std_decode(t)
    if not raw or len(raw) % 4:
        raise ValueError("not float32 data")
    return list(struct.unpack("<%df" % (len(raw) // 4), raw))


def cosine_distance(a, b):
    dot = sum(x * y for x, y in zip(a, b))
    na = math.sqrt(sum(x * x for x in a))
    nb = math.sqrt(sum(y * y for y in b))
    if na == 0 or nb == 0:
        return 1.0
    return 1.0 - dot / (na * nb)


def act_similar(ctx, content):
    c = _obj(content, "search.similar")
    category = _str(c, "category", "search.similar")
    limit = _int(c, "limit", "search.similar", 1, 50) or 10
    try:
        query = decode_vector(_str(c, "vector", "search.similar"))
    except (ValueError, TypeError):
        raise GateError("bad_request", "search.similar: 'vector' is not a base64 float32 vector")
    hits = []
    for e in ctx.vault.entries(ctx.caller.vault_id):
        if (e["type"] or "").lower() != category.lower():
            continue
        fields = (e.get("data") or {}).get("fields") or []
        emb = next((f for f in fields if isinstance(f, dict) and f.get("label") == "embeddings"), None)
        model = next((f.get("value") for f in fields if isinstance(f, dict) and f.get("label") == "embedding_model"),
                     None)
        if emb is None or not isinstance(emb.get("value"), str):
            continue
        try:
            vec = decode_vector(emb["value"])
        except (ValueError, TypeError):
            continue
        if len(vec) != len(query):
            continue
        hits.append({"entry_id": e["entry_id"], "distance": cosine_distance(query, vec),
                     "embedding_model": model, "title": e["title"]})
    hits.sort(key=lambda h: (h["distance"], h["title"] or ""))
    return hits[:limit]


ACTIONS = {
    "system.ping": act_ping,
    "search.query": act_search,
    "search.similar": act_similar,
    "entry.get": act_get,
    "entry.upsert": act_upsert,
    "entry.delete": act_delete,
    "ext.totp": act_totp,
    "audit.list": act_audit,
}


def process(datadir, payload: bytes, settings):
    """The reply for one decrypted request payload under these settings (never raises)."""
    vault = datadir.store()
    try:
        env, action = parse_envelope(payload, bool(settings.get("strict_envelope", True)))
    except GateError as e:
        return reply_error(e.code, e.message)
    if action not in ACCEPTED_ACTIONS:
        return reply_error("unknown_action", "unknown action '%s'" % action)
    try:
        caller = authenticate(vault, env.get("cred"))
    except GateError as e:
        return reply_error(e.code, e.message)
    ctx = Context(vault, settings, caller)
    outcome = "ok"
    try:
        handler = ACTIONS.get(action)
        if handler is None:
            raise GateError("unsupported", "action '%s' is not served by this gate" % action)
        if action in READ_ACTIONS:
            allowed, quota, window = vault.quota_hit(caller.agent_id, ctx.now, settings.get("minute_limit") or 0,
                                                     settings.get("hour_limit") or 0)
            ctx.quota = quota
            if not allowed:
                used = quota["minute_used"] if window == "minute" else quota["hour_used"]
                limit = quota["minute_limit"] if window == "minute" else quota["hour_limit"]
                raise GateError("quota_exceeded", "read quota exceeded: %d/%d this %s" % (used, limit, window))
        reply = reply_ok(handler(ctx, env.get("content")))
    except GateError as e:
        outcome = e.code
        reply = reply_error(e.code, e.message)
    except Exception as e:  # a bug in the gate must still answer
        outcome = "internal"
        reply = reply_error("internal", "%s: %s" % (type(e).__name__, e))
    if action in ACTIONS:
        vault.log_event(caller.vault_id, ctx.now, ctx.audit_word or AUDIT_WORDS.get(action, action), action,
                        ctx.audit_title, caller.name, caller.agent_id, ctx.audit_entry, outcome)
    return reply


# ---------------------------------------------------------------------------
# HTTP


class GateHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devgate"
    sys_version = ""

    def log_message(self, fmt, *args):
        if self.server.verbose:
            super().log_message(fmt, *args)

    def _send(self, status, body: bytes, extra_headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for k, v in extra_headers:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def _dark(self):
        self._send(404, NOT_FOUND)

    do_GET = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = _dark

    def do_POST(self):
        record = {
            "time": now_ms(),
            "method": "POST",
            "path": self.path,
            "headers": {k.lower(): v for k, v in self.headers.items()},
        }
        opened = self._open_request(record)
        if opened is None:
            return
        hs, payload = opened
        action, content = _note_envelope(record, payload)
        # When this request's connection was ready (TLS done) and how many requests of its
        # action were being served with it: shows what a client did at once.
        record["connected"] = getattr(self.server.local, "connected", None)
        with self.server.in_flight_lock:
            self.server.in_flight[action] = self.server.in_flight.get(action, 0) + 1
        try:
            self._serve(record, action, content, hs, payload)
        finally:
            with self.server.in_flight_lock:
                self.server.in_flight[action] -= 1

    def _open_request(self, record):
        """(handshake state, payload) of the request's message 1; None once the request has
        been refused."""
        if self.path != "/gate":
            return self._refuse(record, "dark: path", 404, NOT_FOUND)
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            return self._refuse(record, "no content length", 411, b"length required\n")
        if length < 0 or length > 16 * 1024 * 1024:
            return self._refuse(record, "request too large", 413, b"too large\n")
        body = self.rfile.read(length)
        record["body_len"] = len(body)
        try:
            msg1 = wire.b64std_decode(body.decode("ascii"))
        except (UnicodeDecodeError, ValueError):
            return self._refuse(record, "body not base64", 400, b"bad request\n")
        record["msg1_len"] = len(msg1)
        try:
            return wire.responder_read(self.server.static_priv, msg1)
        except Exception:
            return self._refuse(record, "dark: handshake failed", 404, NOT_FOUND)

    def _refuse(self, record, outcome, status, body):
        record["outcome"] = outcome
        self.server.datadir.log_request(record)
        self._send(status, body)
        return None

    def _serve(self, record, action, content, hs, payload):
        datadir = self.server.datadir
        settings = datadir.store().settings()
        delay = settings.get("answer_delay") or {}
        if isinstance(delay, dict) and delay.get(action):
            self.server.stop_event.wait(float(delay[action]))
        with self.server.in_flight_lock:
            record["in_flight"] = self.server.in_flight.get(action, 0)

        fault = datadir.take_fault(action, content)
        kind = record["fault"] = fault.get("kind") if fault else None
        if kind in REPLACING_FAULTS:
            record["outcome"] = "fault"
            datadir.log_request(record)
            return self._replace(fault, hs)
        if kind == "delay":
            self.server.stop_event.wait(float(fault.get("seconds", 25)))
            if self._client_gone():
                # The client timed out (and may have gone to a replica): do not act for it now.
                record["outcome"] = "client gone"
                datadir.log_request(record)
                self.close_connection = True
                return None
        reply = process(datadir, payload, settings)
        record["outcome"] = "ok" if reply.get("ok") else "error %s" % reply["error"]["code"]
        record["reply"] = reply
        record["answered"] = time.monotonic()
        datadir.log_request(record)
        self._answer(reply, hs, fault)

    def _client_gone(self) -> bool:
        """A client that waits for its reply sends nothing more; readable means closed."""
        try:
            readable, _, _ = select.select([self.connection], [], [], 0)
        except (OSError, ValueError):
            return True
        return bool(readable)

    def _replace(self, fault, hs):
        kind = fault["kind"]
        if kind == "status":
            return self._send(int(fault.get("status", 503)), fault.get("body", "").encode("utf-8"))
        if kind == "dark":
            return self._dark()
        if kind == "close":
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return None
        if kind in ("empty", "body"):
            if "body_hex" in fault:
                body = bytes.fromhex(fault["body_hex"])
            else:
                body = fault.get("body", "").encode("utf-8")
            return self._send(int(fault.get("status", 200)), body)
        if kind == "redirect":
            return self._send(int(fault.get("status", 307)), b"", [("Location", fault.get("location", "/gate"))])
        if kind == "error":
            payload = encode_reply(reply_error(fault.get("code", "FAULT"), fault.get("message", "injected failure")))
        elif kind == "result":
            payload = encode_reply(reply_ok(fault.get("result")))
        else:  # reply
            if "payload_hex" in fault:
                payload = bytes.fromhex(fault["payload_hex"])
            else:
                payload = bytes([wire.PAYLOAD_MARKER]) + fault.get("reply", "").encode("utf-8")
        return self._send(200, wire.b64std_encode(wire.write_message(hs, payload)).encode("ascii"))

    def _answer(self, reply, hs, fault):
        kind = fault.get("kind") if fault else None
        if kind == "unknown-key":
            reply = dict(reply)
            reply[fault.get("key", "extra")] = fault.get("value", True)
        payload = encode_reply(reply)
        if kind == "payload-byte":
            payload = bytes([int(fault.get("byte", 0x11)) & 0xFF]) + payload[1:]
        if kind == "wrong-key":
            msg2 = _sealed_elsewhere(payload)
        else:
            msg2 = wire.write_message(hs, payload)
        if kind == "flip":
            off = int(fault.get("offset", -1)) % len(msg2)
            msg2 = msg2[:off] + bytes([msg2[off] ^ (1 << int(fault.get("bit", 0)))]) + msg2[off + 1:]
        if kind == "truncate":
            msg2 = msg2[:int(fault.get("length", 47))]
        body = wire.b64std_encode(msg2).encode("ascii")
        if kind in ("pad", "oversize"):
            size = int(fault.get("size", wire.MAX_REPLY_BODY if kind == "pad" else wire.MAX_REPLY_BODY + 1))
            fill = fault.get("fill", " ").encode("utf-8") or b" "
            if size > len(body):
                pad = (fill * (size - len(body)))[:size - len(body)]
                body = body + pad
        self._send(200, body)


def _note_envelope(record, payload: bytes):
    """Records the request's envelope as it came; returns its (action, content) where it has them."""
    envelope = env = action = content = None
    try:
        envelope = payload[1:].decode("utf-8")
        env = json.loads(envelope)
    except (UnicodeDecodeError, ValueError):
        pass
    if isinstance(env, dict) and isinstance(env.get("action"), str):
        action = env["action"]
        content = env.get("content")
    record["payload_prefix"] = payload[0] if payload else None
    record["envelope"] = envelope
    record["action"] = action
    record["canonical"] = isinstance(env, dict) and _canonical_text(env) == envelope
    return action, content


def _canonical_text(env: dict):
    """The exact text a client writes for this envelope (None when no client would write it)."""
    if not set(env) <= set(ENVELOPE_KEYS) or not isinstance(env.get("action"), str):
        return None
    if "content" in env and env["content"] is None:
        return None  # a client leaves content out instead of sending null
    if "cred" in env and env["cred"] is None:
        return None
    return wire.envelope_text(env["action"], env.get("cred"), env.get("content"))


def _sealed_elsewhere(payload: bytes) -> bytes:
    """A message 2 carrying the payload, produced by a gate with another static key."""
    other = wire.new_private_key()
    ihs, msg1 = wire.initiator_write(wire.public_key(other), b"\x10{}")
    rhs, _ = wire.responder_read(other, msg1)
    return wire.write_message(rhs, payload)


class GateServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, datadir, verbose=False):
        super().__init__(address, GateHandler)
        self.datadir = datadir
        self.static_priv = datadir.static_private()
        self.verbose = verbose
        self.stop_event = threading.Event()
        self.local = threading.local()
        self.in_flight = {}
        self.in_flight_lock = threading.Lock()
        self.ssl_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ssl_context.minimum_version = ssl.TLSVersion.TLSv1_2
        self.ssl_context.load_cert_chain(str(datadir.cert_path), str(datadir.cert_key_path))

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the request's own thread, so a silent client never blocks accept.
        request.settimeout(60)
        try:
            tls = self.ssl_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        self.local.connected = time.monotonic()
        try:
            self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                tls.close()
            except OSError:
                pass
