"""The development gate itself, driven by the Python client helpers (no C++ client needed)."""
import base64
import json
import pathlib
import socket
import ssl
import struct
import subprocess
import time

import pytest

from devgate import client_support as cs
from devgate import enrolment
from devgate import vault as vaultmod
from devgate import wire

# Known answers from independent implementations, in the shared folder beside the checkout.
VECTORS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "test-vectors" / "noise-ik-and-hkdf.json"
DEVGATE = pathlib.Path(__file__).resolve().parents[2] / "devgate" / "devgate"


def test_noise_and_hkdf_known_answers():
    if not VECTORS.exists():
        pytest.skip("no known-answer vectors on this machine")
    v = json.loads(VECTORS.read_text())
    h = bytes.fromhex
    ex = cs.Exchange(h(v["responder_static_pub"]), h(v["payload1_hex"]), h(v["initiator_static_priv"]),
                     h(v["initiator_ephemeral_priv"]))
    assert ex.msg1.hex() == v["msg1_hex"]
    hs, payload = wire.responder_read(h(v["responder_static_priv"]), ex.msg1, h(v["responder_ephemeral_priv"]))
    assert payload.hex() == v["payload1_hex"]
    msg2 = wire.write_message(hs, h(v["payload2_hex"]))
    assert msg2.hex() == v["msg2_hex"]
    assert ex.open(msg2).hex() == v["payload2_hex"]
    for name, label in (("tsk_envelope", b"tsk-envelope"), ("field_password", b"tessarin-field-password")):
        k = v["hkdf"][name]
        assert wire.derive_key(h(k["ikm_hex"]), label, k["length"]).hex() == k["okm_hex"]


def test_token_layout():
    l2, agent_id, vault_id = bytes(range(16)), bytes(range(100, 116)), 0x0123456789ABCDEF
    t1, t2 = (cs.mint_token(vault_id, l2, agent_id) for _ in range(2))
    assert t1 != t2
    for t in (t1, t2):
        assert len(t) == 93 and t.startswith("tsk_") and t.index(".") == 86 and t.count(".") == 1
        body = wire.b64url_decode(t[4:86])
        assert len(body) == 61 and body[0] == 2 and body[1:9] == struct.pack(">Q", vault_id)
        assert wire.b64url_decode(t[87:]) == wire.crc32_be(t[:86].encode())
        assert cs.open_token(t) == (vault_id, l2[:8], agent_id)


def test_round_trip_search_get_and_exact_envelope(gate):
    agent = gate.mint_agent_info("alice")
    ids = gate.seed([
        {"title": "OpenRouter", "type": "api_key", "urls": ["https://openrouter.ai"], "notes": "n1",
         "fields": [{"label": "key", "value": "sk-or-1", "tier": 2, "kind": "password"},
                    {"label": "endpoint", "value": "https://api", "tier": 1},
                    {"label": "pin", "value": "QUJDRA==", "tier": 3}]},
        {"title": "OpenRouter backup", "type": "api_key"},
    ], agent="alice")
    token = gate.token("alice")
    found = gate.call("search.query", {"exact": True, "q": "openrouter"}, token=token)
    assert found == {"ok": True, "result": {
        "entries": [{"entry_id": ids["OpenRouter"], "type": "api_key", "title": "OpenRouter"}],
        "quota": {"minute_used": 1, "minute_limit": 60, "hour_used": 1, "hour_limit": 600}}}

    got = gate.call("entry.get", {"id": ids["OpenRouter"]}, token=token)["result"]
    fields = {f["label"]: f for f in got["data"]["fields"]}
    l2 = bytes.fromhex(agent["l2"])
    assert cs.decrypt_field(l2, "key", fields["key"]["value"]) == "sk-or-1"
    assert fields["endpoint"] == {"label": "endpoint", "value": "https://api", "kind": "text", "tier": 1}
    assert fields["pin"]["value"] == ""  # tier 3 never leaves the gate
    assert cs.decrypt_field(l2, "notes", got["data"]["notes"]) == "n1"
    assert got["data"]["urls"] == ["https://openrouter.ai"]

    # The log holds the envelopes byte for byte, as the client wrote them.
    reqs = gate.requests()
    assert [r["envelope"] for r in reqs] == [
        '{"action":"search.query","cred":"%s","content":{"exact":true,"q":"openrouter"}}' % token,
        '{"action":"entry.get","cred":"%s","content":{"id":"%s"}}' % (token, ids["OpenRouter"]),
    ]
    assert all(r["canonical"] and r["payload_prefix"] == 0x10 for r in reqs)
    assert reqs[0]["headers"]["content-type"] == "text/plain"
    assert [(e["action"], e["title"], e["actor"]) for e in gate.audit()] == [
        ("read", "OpenRouter", "alice"), ("search", "openrouter", "alice")]


def test_upsert_delete_and_search_modes(gate):
    gate.mint_agent_info("bob")
    tok = gate.token("bob")
    body = {"data": {"fields": [], "title": "Stripe", "type": "api_key"}, "title": "Stripe", "type": "api_key"}
    created = gate.call("entry.upsert", body, token=tok)["result"]
    assert created["created"] is True
    body2 = {"data": {"fields": [], "title": "Stripe", "type": "credential"}, "title": "Stripe", "type": "credential"}
    gate.call("entry.upsert", body2, token=tok)
    updated = gate.call("entry.upsert", dict(body, id=created["entry_id"]), token=tok)["result"]
    assert updated == {"created": False, "entry_id": created["entry_id"]}

    def titles(content):
        r = gate.call("search.query", content, token=tok)["result"]
        return sorted((e["title"], e["type"]) for e in r["entries"])

    assert titles({"exact": True, "q": "STRIPE"}) == [("Stripe", "api_key"), ("Stripe", "credential")]
    assert titles({"exact": True, "q": "stripe", "type": "api_key"}) == [("Stripe", "api_key")]
    assert titles({"exact": True, "q": "strip"}) == []
    assert titles({"exact": False, "q": "trip"}) == [("Stripe", "api_key"), ("Stripe", "credential")]
    short = gate.call("search.query", {"exact": False, "q": "st"}, token=tok)
    assert short["ok"] is False and short["error"]["code"] == "query_too_short"

    assert gate.call("entry.delete", {"id": created["entry_id"]}, token=tok) == {
        "ok": True, "result": {"deleted": True, "entry_id": created["entry_id"]}}
    again = gate.call("entry.delete", {"id": created["entry_id"]}, token=tok)
    assert again["ok"] is False and again["error"]["code"] == "not_found"

    gate.set("count_threshold", 1)
    one = gate.call("search.query", {"exact": False, "q": "stripe"}, token=tok)["result"]
    assert [e["title"] for e in one["entries"]] == ["Stripe"]
    gate.seed([{"title": "Stripe test"}])
    many = gate.call("search.query", {"exact": False, "q": "stripe"}, token=tok)["result"]
    assert many["count"] == 2 and "entries" not in many
    assert many["matches"] == [{"title": "Stripe", "type": "credential"}, {"title": "Stripe test", "type": "credential"}]
    gate.set("search_shape", "plain")
    assert isinstance(gate.call("search.query", {"exact": True, "q": "stripe"}, token=tok)["result"], list)


@pytest.mark.parametrize("mangle, message", [
    (lambda t: t[:10] + ("A" if t[10] != "A" else "B") + t[11:], "token check value mismatch"),
    (lambda t: t[:92], "token is not in TSK format"),
    (lambda t: "tsk_", "token is not in TSK format"),
    (lambda t: t.replace("tsk_", "tsx_"), "token is not in TSK format"),
])
def test_malformed_tokens_are_refused(gate, mangle, message):
    gate.mint_agent_info("carol")
    reply = gate.call("system.ping", token=mangle(gate.token("carol")))
    assert reply == {"ok": False, "error": {"code": "auth", "message": message}}


@pytest.mark.parametrize("variant, message", [
    ("wrong-l2", "agent key mismatch"),
    ("unknown-agent", "unknown agent"),
    ("wrong-vault", "unknown vault"),
])
def test_tokens_of_unknown_agents_are_refused(gate, variant, message):
    info = gate.mint_agent_info("dave", variant=variant)
    blob = cs.open_blob(info["blob"], info["key"])
    token = cs.token_for(blob)  # what a client enrolled from this blob would send
    assert gate.call("system.ping", token=token) == {"ok": False, "error": {"code": "auth", "message": message}}
    assert info["expect"].endswith(message)


def test_missing_credential_unknown_action_and_non_canonical_envelopes(gate):
    gate.mint_agent_info("erin")
    tok = gate.token("erin")
    assert gate.call("system.ping")["error"] == {"code": "auth", "message": "missing credential"}
    assert gate.call("entry.list", token=tok)["error"]["code"] == "unsupported"
    bad = [
        '{"cred":"%s","action":"system.ping"}' % tok,                        # member order
        '{"action": "system.ping","cred":"%s"}' % tok,                       # whitespace
        '{"action":"search.query","cred":"%s","content":{"q":"x","exact":true}}' % tok,  # content key order
        '{"action":"system.ping","cred":"%s","content":null}' % tok,         # null content
    ]
    for text in bad:
        reply = gate.call(None, payload=b"\x10" + text.encode())
        assert reply["ok"] is False and reply["error"]["code"] == "bad_request", text
    assert gate.call(None, payload=b"\x11" + cs.envelope("system.ping", tok).encode())["error"]["message"] == \
        "request payload must start with the byte 0x10"
    unknown = gate.call(None, payload=cs.request_payload("System.ping", tok))
    assert unknown["error"] == {"code": "unknown_action", "message": "unknown action 'System.ping'"}
    assert [r["canonical"] for r in gate.requests()][2:] == [False, False, False, False, True, True]


def test_quota_minute_and_hour_windows(gate):
    gate.mint_agent_info("frank")
    tok = gate.token("frank")
    gate.set("minute_limit", 2)
    gate.set("hour_limit", 0)
    q = [gate.call("search.query", {"exact": True, "q": "x"}, token=tok) for _ in range(3)]
    assert [r["result"]["quota"]["minute_used"] for r in q[:2]] == [1, 2]
    assert q[0]["result"]["quota"]["hour_limit"] == 0
    assert q[2] == {"ok": False, "error": {"code": "quota_exceeded", "message": "read quota exceeded: 2/2 this minute"}}
    assert gate.call("system.ping", token=tok)["ok"] is True  # not a read
    gate.set("minute_limit", 0)
    gate.set("hour_limit", 3)
    assert gate.call("entry.get", {"id": "nope"}, token=tok)["error"]["code"] == "not_found"
    assert gate.call("ext.totp", {"id": "nope"}, token=tok)["error"] == {
        "code": "quota_exceeded", "message": "read quota exceeded: 3/3 this hour"}


def test_totp_from_an_encrypted_secret(gate):
    gate.mint_agent_info("gina")
    ids = gate.seed([{"title": "GitHub", "type": "totp", "fields": [
        {"label": "secret", "value": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", "tier": 2, "kind": "totp"}]}], agent="gina")
    gate.set("fixed_time_ms", 1111111109000)  # RFC 6238 test time: 07081804 in 8 digits
    assert gate.call("ext.totp", {"id": ids["GitHub"]}, agent="gina") == {
        "ok": True, "result": {"code": "081804", "expires_in": 1}}
    gate.mint_agent_info("hank")  # another agent's key does not open gina's secret
    assert gate.call("ext.totp", {"id": ids["GitHub"]}, agent="hank")["error"]["code"] == "no_totp"


def test_audit_filters(gate):
    gate.mint_agent_info("ivy")
    gate.mint_agent_info("jack")
    ids = gate.seed([{"title": "Alpha"}, {"title": "Beta"}])
    gate.set("fixed_time_ms", 1709164800000)  # 2024-02-29
    gate.call("entry.get", {"id": ids["Alpha"]}, agent="ivy")
    gate.set("fixed_time_ms", 1709251200000)  # 2024-03-01
    gate.call("entry.get", {"id": ids["Beta"]}, agent="jack")
    gate.call("system.ping", agent="jack")

    def listed(content):
        r = gate.call("audit.list", content, agent="ivy")["result"]["events"]
        return [(e["action"], e["title"], e["actor"]) for e in r]

    assert listed({"actor": "jack"}) == [("ping", None, "jack"), ("read", "Beta", "jack")]
    assert listed({"action": "read"}) == [("read", "Beta", "jack"), ("read", "Alpha", "ivy")]
    assert listed({"entry": "alp"}) == [("read", "Alpha", "ivy")]
    assert listed({"since": 1709164800000, "until": 1709251199999}) == [("read", "Alpha", "ivy")]
    assert listed({"limit": 1}) == [("audit", None, "ivy")]
    assert gate.call("audit.list", {"limit": 0}, agent="ivy")["error"]["code"] == "bad_request"


def test_similar_orders_by_cosine_distance(gate):
    gate.mint_agent_info("kim")
    gate.seed([
        {"title": "near", "type": "memory", "vector": [1.0, 0.1, 0.0]},
        {"title": "far", "type": "memory", "vector": [0.0, 1.0, 0.0], "embedding_model": "m2"},
        {"title": "note", "type": "note", "vector": [1.0, 0.0, 0.0]},
        {"title": "other-dim", "type": "memory", "vector": [1.0, 0.0]},
    ])
    vec = vaultmod.vector_text([1.0, 0.0, 0.0])
    hits = gate.call("search.similar", {"category": "memory", "limit": 10, "vector": vec}, agent="kim")["result"]
    assert [(h["title"], h["embedding_model"]) for h in hits] == [("near", "devgate-test"), ("far", "m2")]
    assert hits[0]["distance"] == pytest.approx(1 - 1 / (1.01 ** 0.5), abs=1e-6)
    assert hits[1]["distance"] == pytest.approx(1.0)
    one = gate.call("search.similar", {"category": "memory", "limit": 1, "vector": vec}, agent="kim")["result"]
    assert len(one) == 1


def _raw(gate, payload):
    ex = cs.Exchange(bytes.fromhex(gate.gate_pub), payload)
    resp = cs.post(gate.gate_url, wire.b64std_encode(ex.msg1).encode(), gate.cert)
    return ex, resp


def _open(ex, resp):
    return ex.open(wire.b64std_decode(resp.body.decode().strip()))


def test_transport_faults(gate):
    gate.mint_agent_info("lee")
    ping = cs.request_payload("system.ping", gate.token("lee"))

    gate.fault("status", status=503)
    assert _raw(gate, ping)[1].status == 503
    gate.fault("dark")
    assert _raw(gate, ping)[1].status == 404
    gate.fault("redirect", location="/gate")
    r = _raw(gate, ping)[1]
    assert r.status == 307 and r.headers["Location"] == "/gate"
    gate.fault("empty", body=" \n")
    assert _raw(gate, ping)[1].body == b" \n"
    gate.fault("body", body="not base64!")
    assert _raw(gate, ping)[1].body == b"not base64!"
    gate.fault("body", body_hex="ff fe".replace(" ", ""))
    assert _raw(gate, ping)[1].body == b"\xff\xfe"
    gate.fault("close")
    with pytest.raises(Exception):
        _raw(gate, ping)
    # Nothing above reached the vault.
    assert gate.audit() == []
    # The queue is used up: the next request is served.
    ex, resp = _raw(gate, ping)
    assert cs.parse_reply(_open(ex, resp))["ok"] is True


def test_reply_faults(gate):
    gate.mint_agent_info("mia")
    ping = cs.request_payload("system.ping", gate.token("mia"))

    gate.fault("wrong-key")
    ex, resp = _raw(gate, ping)
    with pytest.raises(Exception):
        _open(ex, resp)

    gate.fault("truncate", length=47)
    ex, resp = _raw(gate, ping)
    assert len(wire.b64std_decode(resp.body.decode())) == 47

    gate.fault("flip")
    ex, resp = _raw(gate, ping)
    with pytest.raises(Exception):
        _open(ex, resp)

    for byte in (0x11, 0x00):
        gate.fault("payload-byte", byte=byte)
        ex, resp = _raw(gate, ping)
        payload = _open(ex, resp)
        assert payload[0] == byte and json.loads(payload[1:])["ok"] is True

    gate.fault("unknown-key")
    ex, resp = _raw(gate, ping)
    reply = json.loads(_open(ex, resp)[1:])
    assert reply["extra"] is True and reply["ok"] is True

    gate.fault("error", message="upstream said HTTP 502", code="UPSTREAM")
    ex, resp = _raw(gate, ping)
    assert json.loads(_open(ex, resp)[1:]) == {"ok": False, "error": {"code": "UPSTREAM",
                                                                      "message": "upstream said HTTP 502"}}
    gate.fault("result", result={"count": 1})
    ex, resp = _raw(gate, ping)
    assert _open(ex, resp) == b'\x10{"ok":true,"result":{"count":1}}'
    gate.fault("reply", reply='{"ok":true}')
    ex, resp = _raw(gate, ping)
    assert _open(ex, resp) == b'\x10{"ok":true}'

    for kind, size in (("pad", 4194304), ("oversize", 4194305)):
        gate.fault(kind)
        ex, resp = _raw(gate, ping)
        assert len(resp.body) == size
        assert cs.parse_reply(_open(ex, resp))["ok"] is True


def test_faults_match_actions_and_repeat(gate):
    gate.mint_agent_info("ned")
    tok = gate.token("ned")
    gate.fault("error", action="entry.get", times=2, message="m")
    assert gate.call("system.ping", token=tok)["ok"] is True
    assert gate.call("entry.get", {"id": "x"}, token=tok)["error"]["message"] == "m"
    assert gate.call("entry.get", {"id": "x"}, token=tok)["error"]["message"] == "m"
    assert gate.call("entry.get", {"id": "x"}, token=tok)["error"]["code"] == "not_found"
    assert [r["fault"] for r in gate.requests()] == [None, "error", "error", None]


def test_delay_answers_late(gate):
    gate.mint_agent_info("oli")
    gate.fault("delay", seconds=0.5)
    start = time.monotonic()
    assert gate.call("system.ping", agent="oli")["ok"] is True
    assert time.monotonic() - start >= 0.5


def test_delay_past_the_client_timeout_does_not_act(gate):
    gate.mint_agent_info("ora")
    gate.fault("delay", seconds=1.5)
    body = {"data": {"fields": [], "title": "late", "type": "note"}, "title": "late", "type": "note"}
    with pytest.raises(OSError):  # the client gives up first
        cs.gate_request(gate.gate_url, gate.gate_pub, gate.cert, "entry.upsert", body, gate.token("ora"), timeout=0.3)
    deadline = time.monotonic() + 15
    while not gate.requests() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert [r["outcome"] for r in gate.requests()] == ["client gone"]
    assert gate.entries() == [] and gate.audit() == []


def test_handshake_under_another_key_meets_a_dark_gate(gate):
    other = wire.public_key(wire.new_private_key()).hex()
    with pytest.raises(cs.GateRefused) as err:
        cs.gate_request(gate.gate_url, other, gate.cert, "system.ping", token="tsk_")
    assert err.value.status == 404
    bad = cs.post(gate.gate_url, b"bm90IGEgbm9pc2UgbWVzc2FnZQ", gate.cert)  # unpadded
    assert bad.status == 400
    assert cs.post(gate.url + "/other", b"", gate.cert).status == 404
    assert [r["outcome"] for r in gate.requests()] == ["dark: handshake failed", "body not base64", "dark: path"]


def test_certificate_names_loopback(gate):
    ctx = ssl.create_default_context(cafile=gate.cert)
    for host in ("127.0.0.1", "localhost"):
        with ctx.wrap_socket(__import__("socket").create_connection(("127.0.0.1", gate.port)),
                             server_hostname=host) as s:
            assert s.version() in ("TLSv1.2", "TLSv1.3")


def test_replica_shares_state_but_not_faults(gate, replica):
    assert replica.gate_pub == gate.gate_pub and replica.port != gate.port
    info = gate.mint_agent_info("pat", replica=replica)
    blob = cs.open_blob(info["blob"], info["key"])
    assert blob["replica_host"] == replica.host and blob["replica_pub"] == replica.gate_pub
    gate.fault("status", status=503)
    body = {"data": {"fields": [], "title": "R", "type": "note"}, "title": "R", "type": "note"}
    assert replica.call("entry.upsert", body, agent="pat")["result"]["created"] is True
    with pytest.raises(cs.GateRefused):
        gate.call("system.ping", agent="pat")
    assert [e["title"] for e in gate.entries()] == ["R"]
    assert replica.actions() == ["entry.upsert"]


def test_replica_with_its_own_key(devgate_factory):
    home = devgate_factory()
    rep = devgate_factory(share=home, own_key=True)
    assert rep.gate_pub != home.gate_pub and rep.cert == home.cert
    home.mint_agent_info("quinn")
    assert rep.call("system.ping", agent="quinn")["ok"] is True


@pytest.mark.parametrize("variant", sorted(enrolment.VARIANTS))
def test_enrolment_variants_are_what_they_claim(gate, variant):
    info = gate.mint_agent_info("rose", variant=variant)
    verdict = cs.classify_enrolment(info["blob"], info["key"])
    assert verdict == info["expect"].split(";")[0]


def test_enrolment_blob_contents(gate, replica):
    info = gate.mint_agent_info("sam", replica=replica)
    blob = cs.open_blob(info["blob"], info["key"])
    assert list(blob) == ["agent_id", "l2", "vault_id", "pop", "pop_pub", "replica_host", "replica_pub"]
    assert blob["pop"] == gate.host and blob["pop_pub"] == gate.gate_pub
    assert wire.vault_id_reason(blob["vault_id"]) is None and 1 <= int(blob["vault_id"][:2], 16) <= 127
    assert len(wire.b64url_decode(info["key"])) == 32
    assert "=" not in info["blob"] + info["key"]
    upper = gate.mint_agent_info("sam", variant="upper-pop-pub")
    assert cs.open_blob(upper["blob"], upper["key"])["pop_pub"] == gate.gate_pub.upper()
    assert upper["agent_id"] == info["agent_id"]  # the name is reused


def test_command_line(devgate_factory, tmp_path):
    g = devgate_factory()

    def run(*args, input=None):
        p = subprocess.run(["/usr/bin/python3", str(DEVGATE), *args], input=input, capture_output=True, text=True,
                           timeout=60)
        assert p.returncode == 0, p.stderr
        return p.stdout

    blob, key = run("mint-agent", "--data", str(g.data), "--name", "tom").splitlines()
    assert cs.classify_enrolment(blob, key) == "enrols"
    seed = tmp_path / "seed.json"
    seed.write_text(json.dumps({"agent": "tom", "entries": [
        {"title": "DB", "type": "database", "fields": [{"label": "password", "value": "pw", "tier": 2}]}]}))
    ids = json.loads(run("seed", "--data", str(g.data), str(seed)))
    run("fault", "--data", str(g.data), "error", "--message", "gate says HTTP 503", "--action", "entry.get")
    assert json.loads(run("fault", "--data", str(g.data), "--list"))[0]["message"] == "gate says HTTP 503"
    reply = g.call("entry.get", {"id": ids["DB"]}, agent="tom")
    assert reply["error"]["message"] == "gate says HTTP 503"
    run("set", "--data", str(g.data), "release_l3", "true")
    assert g._dir.store().settings()["release_l3"] is True
    entry = g.call("entry.get", {"id": ids["DB"]}, agent="tom")["result"]
    l2 = bytes.fromhex(g.agent("tom")["l2"])
    assert cs.decrypt_field(l2, "password", entry["data"]["fields"][0]["value"]) == "pw"
    lines = run("requests", "--data", str(g.data)).splitlines()
    assert [json.loads(line)["action"] for line in lines] == ["entry.get", "entry.get"]
    run("reset", "--data", str(g.data))
    assert g.entries() == [] and g.requests() == []
    assert "std-b64-key" in run("variants")


def test_sigterm_stops_cleanly(devgate_factory):
    g = devgate_factory()
    assert g.stop() == 0


def test_front_door_limits(gate):
    """A connection over max_connections waits unaccepted (its TLS handshake unanswered) until a
    served one ends; requests over rate_limit are refused before the gate sees them."""
    gate.mint_agent_info("lee")
    ping = cs.request_payload("system.ping", gate.token("lee"))
    gate.set("max_connections", 1)
    ctx = ssl.create_default_context(cafile=gate.cert)
    held = ctx.wrap_socket(socket.create_connection(("127.0.0.1", gate.port), timeout=5),
                           server_hostname="127.0.0.1")
    waiting = socket.create_connection(("127.0.0.1", gate.port), timeout=0.5)
    with pytest.raises((socket.timeout, TimeoutError)):
        ctx.wrap_socket(waiting, server_hostname="127.0.0.1")
    waiting.close()
    held.close()
    assert cs.parse_reply(_open(*_raw(gate, ping)))["ok"] is True
    gate.set("max_connections", 0)

    gate.set("rate_limit", {"per_second": 0.001, "burst": 2, "status": 503, "retry_after": 7})
    statuses = [_raw(gate, ping)[1] for _ in range(3)]
    assert [r.status for r in statuses] == [200, 200, 503]
    assert statuses[2].headers["Retry-After"] == "7"
    assert [r.get("outcome") for r in gate.requests()][-3:] == ["ok", "ok", "limited"]
