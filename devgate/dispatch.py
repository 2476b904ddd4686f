"""One decrypted request to its reply: the envelope parsed, the agent token checked, the read
quota counted, the action run and audited."""
import hmac

from . import wire
from .actions import ACCEPTED_ACTIONS, ACTIONS, Context
from .envelope import GateError, parse_envelope, reply_error, reply_ok
from .store import Store

# The actions that count against the agent's read quota.
READ_ACTIONS = {"search.query", "search.similar", "entry.get", "ext.totp"}

# The audit word of each served action (an action may set its own, as entry.upsert does).
AUDIT_WORDS = {
    "search.query": "search",
    "search.similar": "similar",
    "entry.get": "read",
    "entry.delete": "delete",
    "ext.totp": "totp",
    "audit.list": "audit",
    "system.ping": "ping",
}


class Caller:
    def __init__(self, agent, vault_id):
        self.agent = agent
        self.vault_id = vault_id
        self.agent_id = agent["agent_id"]
        self.name = agent["name"]
        self.l2 = bytes.fromhex(agent["l2"])


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
