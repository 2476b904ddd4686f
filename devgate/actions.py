"""The actions: the closed list of names a client may send (in the order the client knows them),
and the handlers for the ones this gate serves, each answering from the vault store."""
import json
import math
import struct

from . import totp
from . import wire
from .envelope import GateError

ACCEPTED_ACTIONS = (
    "system.ping", "system.glass", "entry.list", "entry.get", "entry.revisions", "entry.create",
    "entry.update", "entry.upsert", "entry.delete", "scope.list", "scope.resolve", "scope.set",
    "search.query", "search.similar", "search.related", "search.clusters", "ext.totp", "ext.match",
    "ext.alternates", "ext.worked", "audit.list", "audit.verify", "audit.anchor_status",
    "agent.create", "agent.list", "agent.update", "agent.delete", "agent.unlock", "backup.list",
    "backup.create", "backup.restore", "task.list", "task.report", "control.meta_apply",
    "control.task_apply", "repl.push", "telemetry.push", "alert.raise", "event.report",
    "audit.anchor", "recovery.store_key", "recovery.store_verification", "recovery.release_key",
    "mail.probe", "mail.test", "mail.drill", "content.push", "failover.promote", "corporate.push",
    "system.health", "failover.maintenance", "failover.alert", "failover.failback",
    "fleet.reachable", "entry.set_scopes", "entry.batch_create", "wl3.fetch", "wl3.lookup",
    "wl3.put", "auth.login_begin", "auth.login_complete", "auth.discover_begin",
    "auth.discover_complete", "auth.register_begin", "auth.register_complete", "vault.assign",
    "webauthn.credentials", "webauthn.revoke_credential", "ops.maintenance.register",
    "ops.incident.open", "ops.incident.close", "central.whois", "central.push", "telemetry.forward",
    "auth.tap_begin", "auth.tap_complete", "entry.list_deleted", "session.event", "entry.get_batch",
    "entry.revisions_batch", "vault.export", "enroll.pin", "enroll.verify", "varnelle.ensure",
    "varnelle.claim.get", "varnelle.claim.slots", "varnelle.claim.calendar", "varnelle.claim.put",
    "varnelle.claim.move", "varnelle.claim.cancel", "varnelle.claim.enroll",
    "varnelle.claim.presence", "varnelle.claim.project", "varnelle.business.get",
    "varnelle.business.put", "varnelle.business.list", "varnelle.staff.get", "varnelle.staff.put",
    "varnelle.staff.list", "varnelle.bind", "agent.bootstrap", "vault.list", "id.mint",
    "vault.where", "vault.place", "central.log", "wl3.revoke", "world.sweep", "party.birth",
    "dns.shop.set", "dns.shop.remove", "shop.keys", "varnelle.api", "varnelle.view",
)


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


# The actions this gate serves; any other accepted name is answered "unsupported".
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
