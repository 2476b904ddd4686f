"""The gate transport end to end: one vault action as Noise IK inside HTTPS against the
development gate, every way a reply can fail, and the failover to the replica."""
import json
import os
import re
import shutil
import socket
import subprocess
import time

import pytest

from conftest import BIN
from gate_fixtures import get_key, key_reader

import blobs

SECRET = "sk-or-v1-transport"


def debug_form(code, user_msg, tech_msg, resolution):
    q = lambda s: json.dumps(s, ensure_ascii=False)
    return ("TessarinError { code: %s, user_msg: %s, tech_msg: %s, resolution: %s, severity: Error, "
            "component: Crypto }" % (q(code), q(user_msg), q(tech_msg), q(resolution)))


TS_0003 = debug_form("TS-0003", "Could not decrypt. The data may be corrupt or the wrong key was used.",
                     "AES-GCM authentication tag did not verify",
                     "Verify you are using the correct vault and agent token. If the problem persists, "
                     "the entry may need to be re-saved by the vault owner.")
TS_0004 = debug_form("TS-0004", "The token is invalid or corrupt.",
                     "Token structure does not match expected TSK format",
                     "Re-issue the agent token from the vault UI (Agents page).")
TS_0010 = debug_form("TS-0010", "Encrypted data is truncated.",
                     "AES-GCM ciphertext shorter than nonce(12) + tag(16) = 28 bytes",
                     "The encrypted data was corrupted in transit or storage. Re-save the entry.")
TS_0027 = debug_form("TS-0027", "The server's key is not valid. Nothing was sent.",
                     "X25519 gave the all-zero shared secret (low-order public key, RFC 7748 \u00a76.1)",
                     "Check the configured gate/POP Noise public key; an all-zero or low-order key is "
                     "never valid.")
# What a refusal's status most likely means; other statuses get no guess.
REFUSAL_REASONS = {400: " \u2014 wrong pubkey or dark gate", 404: " \u2014 wrong pubkey or dark gate",
                   429: " \u2014 rate limited", 502: " \u2014 the gate or its proxy is unavailable",
                   503: " \u2014 the gate or its proxy is unavailable",
                   504: " \u2014 the gate or its proxy is unavailable"}


def refused(status):
    return "TS-2047: gate refused the handshake (HTTP %d)%s" % (status, REFUSAL_REASONS.get(status, ""))


FAILOVER = "gate: primary unreachable, trying replica\n"


# enrol(gate, cli, **mint): a new agent that can read OpenRouter's key, SECRET; the fixture
# agent: one such agent.
enrol, agent = key_reader(SECRET)


def test_round_trip_and_exact_envelopes(gate, cli, agent):
    r = cli("get", "OpenRouter", "--field", "key", "--type", "api")
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")
    envelopes = gate.envelopes()
    assert len(envelopes) == 2
    token = json.loads(envelopes[0])["cred"]
    assert re.fullmatch(r"tsk_[A-Za-z0-9_-]{82}\.[A-Za-z0-9_-]{6}", token)
    entry_id = gate.entries()[0]["entry_id"]
    assert envelopes == [
        '{"action":"search.query","cred":"%s","content":{"exact":true,"q":"OpenRouter","type":"api_key"}}' % token,
        '{"action":"entry.get","cred":"%s","content":{"id":"%s"}}' % (token, entry_id),
    ]
    for request in gate.requests():
        assert request["method"] == "POST" and request["path"] == "/gate"
        assert request["headers"]["content-type"] == "text/plain"
        assert request["payload_prefix"] == 0x10
        assert request["msg1_len"] == 1 + len(request["envelope"].encode()) + 96


@pytest.mark.parametrize("fault,expected", [
    # The front door's 429 and 503 are tried again: refused every time, they are the error.
    (dict(kind="status", status=503, times=-1), refused(503)),
    (dict(kind="status", status=500), refused(500)),
    (dict(kind="status", status=400), refused(400)),
    (dict(kind="status", status=429, times=-1), refused(429)),
    (dict(kind="status", status=502), refused(502)),
    (dict(kind="status", status=504), refused(504)),
    (dict(kind="status", status=403), refused(403)),
    (dict(kind="dark"), refused(404)),
    (dict(kind="empty"), "TS-2047: open msg2: " + TS_0010),
    (dict(kind="empty", body=" \r\n\t"), "TS-2047: open msg2: " + TS_0010),
    (dict(kind="body", body_hex="c3"), "TS-2021: read msg2: incomplete utf-8 byte sequence from index 0"),
    (dict(kind="body", body_hex="41ff41"), "TS-2021: read msg2: invalid utf-8 sequence of 1 bytes from index 1"),
    (dict(kind="wrong-key"), "TS-2047: open msg2: " + TS_0003),
    (dict(kind="flip", offset=-1), "TS-2047: open msg2: " + TS_0003),
    (dict(kind="truncate", length=47), "TS-2047: open msg2: " + TS_0010),
    (dict(kind="payload-byte", byte=0x11), "TS-2047: decode reply: " + TS_0004),
    (dict(kind="payload-byte", byte=0x00), "TS-2047: decode reply: " + TS_0004),
    (dict(kind="unknown-key"), "TS-2047: decode reply: " + TS_0004),
    (dict(kind="reply", reply='{"ok":true} x'), "TS-2047: decode reply: " + TS_0004),
    (dict(kind="reply", reply='{"ok":false}'), "TS-2047: gate error UNKNOWN: no detail"),
    (dict(kind="reply", reply='{"ok":true,"result":{"entries":[],"entries":[{"entry_id":"e"}]}}'),
     "TS-2047: decode reply: " + TS_0004),
    (dict(kind="error", code="FORBIDDEN", message="outside the agent's scope"),
     "TS-2047: gate error FORBIDDEN: outside the agent's scope"),
    (dict(kind="oversize"), "TS-2021: gate response exceeds 4194304 bytes (4194305) \u2014 refuse to buffer"),
])
def test_failing_replies(gate, cli, agent, fault, expected):
    gate.fault(**fault)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (1, "", expected + "\n")


DEEP = 200000  # containers: about 400 kB of reply, far below the 4 MiB cap
MAX_NESTING = 127  # containers a reply may hold inside one another, the Reply included


def deep_reply(depth):
    return '{"ok":true,"result":' + "[" * depth + "]" * depth + "}"


@pytest.mark.parametrize("command", ["get", "get --json", "find", "totp", "delete", "render"])
def test_deeply_nested_reply_is_refused_as_undecodable(gate, cli, agent, tmp_path, command):
    template = tmp_path / "t.conf"
    template.write_text("key=tessarin://OpenRouter/key\n")
    args = {"render": ["render", str(template)]}.get(command, command.split() + ["OpenRouter"])
    gate.fault("reply", reply=deep_reply(DEEP))
    r = cli(*args)
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2047: decode reply: " + TS_0004 + "\n")


MANY = 1000000  # empty objects: about 3 MB of reply, 4 MB of base64 body, under the 4 MiB cap


def test_a_million_empty_objects_are_read_in_one_pass(gate, cli, agent):
    # A reader that went back over what it had read kept the client busy for minutes.
    gate.fault("reply", reply='{"ok":true,"result":[' + ",".join(["{}"] * MANY) + "]}")
    r = cli("find", "OpenRouter", timeout=60)
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2021: search.query response shape: data did not match any variant of untagged enum "
        "SearchResponse\n")


def test_json_output_of_the_deepest_legal_reply(gate, cli, agent):
    # Reply, result and data are three containers; the rest of the room is arrays.
    value = []
    for _ in range(MAX_NESTING - 4):
        value = [value]
    [entry_id] = [e["entry_id"] for e in gate.entries()]
    result = {"entry_id": entry_id, "title": "OpenRouter", "data": {"extra": value}}
    gate.fault("result", action="entry.get", result=result)
    r = cli("get", "OpenRouter", "--json")
    assert (r.status, r.stdout, r.stderr) == (0, json.dumps(result, indent=2, sort_keys=True) + "\n", "")
    gate.fault("result", action="entry.get", result={"entry_id": "e1", "data": {"extra": [value]}})
    r = cli("get", "OpenRouter", "--json")
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2047: decode reply: " + TS_0004 + "\n")


# A symbol outside the alphabet, and a line feed inside the body (only blanks at its ends are
# trimmed); the unit tests of the decoder hold its full table.
@pytest.mark.parametrize("body", ["!!!!", "QUJD\nRA=="])
def test_body_not_base64(gate, cli, agent, body):
    gate.fault("body", body=body)
    r = get_key(cli)
    assert r.status == 1 and r.stdout == ""
    assert r.stderr.startswith("TS-2047: msg2 not base64: ")
    assert r.stderr.count("\n") == 1


def test_body_of_exactly_the_limit_with_trailing_blanks_is_accepted(gate, cli, agent):
    gate.fault("pad", size=4194304, fill="\n")
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")


def test_zero_gate_key_is_refused_before_anything_is_sent(gate, cli):
    minted = blobs.mint(pop=gate.host, pop_pub="00" * 32)
    r = cli("init", input=minted.stdin())
    assert r.status == 0, r.stderr
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2047: handshake msg1: " + TS_0027 + "\n")
    assert gate.requests() == []


def test_unreachable_gate(gate, cli, dead_host):
    enrol(gate, cli, pop=dead_host)
    r = get_key(cli)
    assert r.status == 1 and r.stdout == ""
    assert r.stderr.startswith("TS-2020: POST /gate: ")


def with_replica(gate, replica, cli):
    return enrol(gate, cli, replica=replica)


@pytest.mark.parametrize("fault, primary_actions", [
    # A front door's 503: each read tries the primary again twice, then fails over.
    (dict(kind="status", status=503), ["search.query"] * 3 + ["entry.get"] * 3),
    (dict(kind="status", status=502), ["search.query", "entry.get"]),
    (dict(kind="dark"), ["search.query", "entry.get"]),
    # No answer: the primary is left alone for the rest of the command.
    (dict(kind="close"), ["search.query"]),
    (dict(kind="error", code="UPSTREAM", message="vault answered HTTP 502"), ["search.query", "entry.get"]),
    (dict(kind="error", code="UPSTREAM", message="HTTP 504 from storage"), ["search.query", "entry.get"]),
])
def test_failover_to_the_replica(gate, replica, cli, fault, primary_actions):
    with_replica(gate, replica, cli)
    gate.fault(times=-1, **fault)
    r = get_key(cli)
    # The notice is printed once per command.
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, FAILOVER)
    assert gate.actions() == primary_actions
    assert replica.actions() == ["search.query", "entry.get"]


def stderr_closed():
    os.close(2)


def stderr_full():
    os.dup2(os.open("/dev/full", os.O_WRONLY), 2)


def stderr_unread_pipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    os.dup2(write_end, 2)


@pytest.mark.parametrize("stderr", [stderr_closed, stderr_full, stderr_unread_pipe])
def test_failover_when_the_notice_cannot_be_written(gate, replica, cli, stderr):
    with_replica(gate, replica, cli)
    gate.fault("status", status=503, times=-1)
    r = cli("get", "OpenRouter", "--field", "key", preexec_fn=stderr)
    assert (r.status, r.stdout) == (0, SECRET)
    assert replica.actions() == ["search.query", "entry.get"]


def test_replica_outcome_is_returned(gate, replica, cli):
    with_replica(gate, replica, cli)
    gate.fault("status", status=503, times=-1)
    replica.fault("error", code="REPLICA", message="also down")
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (1, "", FAILOVER + "TS-2047: gate error REPLICA: also down\n")


def test_no_failover_for_other_errors(gate, replica, cli):
    with_replica(gate, replica, cli)
    gate.fault("error", code="FORBIDDEN", message="scope")
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2047: gate error FORBIDDEN: scope\n")
    assert replica.requests() == []


def test_no_failover_without_a_replica(gate, cli, agent):
    gate.fault("status", status=503, times=-1)
    r = get_key(cli)
    assert (r.status, r.stderr) == (1, refused(503) + "\n")


def test_token_refused_by_the_gate(gate, cli):
    enrol(gate, cli, variant="wrong-l2")
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2047: gate error auth: agent key mismatch\n")


# -- real networks ------------------------------------------------------------------------------

@pytest.mark.parametrize("primary, to_replica", [
    (dict(kind="close"), False),               # the primary read the create, then dropped it
    (dict(kind="status", status=502), False),  # a proxy's 502 or 504 may follow the gate's work
    (dict(kind="status", status=504), False),
    (dict(kind="status", status=503), True),
    (None, True),                              # nothing listens: nothing was sent
])
def test_a_create_goes_to_the_replica_only_if_the_primary_cannot_have_made_it(
        gate, replica, cli, dead_host, tmp_path, primary, to_replica):
    if primary is None:
        enrol(gate, cli, replica=replica, pop=dead_host)
    else:
        with_replica(gate, replica, cli)
        gate.fault(action="entry.upsert", **primary)
    password = tmp_path / "pw"
    password.write_text("s3cret")
    r = cli("put", "credential", "new login", "--password-file", str(password))
    if to_replica:
        assert (r.status, r.stderr) == (0, FAILOVER)
        assert replica.actions() == ["entry.upsert"]
    else:
        assert r.status == 1 and r.stdout == ""
        assert "may have created the entry" in r.stderr and "`tessarin-cli find`" in r.stderr
        assert replica.requests() == []


def test_get_opens_its_second_connection_while_the_search_is_answered(gate, cli, agent):
    gate.set("answer_delay", {"search.query": 0.5})
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")
    search, fetch = gate.requests()
    assert (search["action"], fetch["action"]) == ("search.query", "entry.get")
    assert fetch["connected"] < search["answered"]


@pytest.mark.parametrize("queue_full", [True, False], ids=["connections hang", "TLS unanswered"])
def test_a_silent_ipv6_address_is_passed_over(gate, cli, home, tmp_path, queue_full):
    """localhost resolves to ::1 first, where a listener never accepts: its queue is full and
    connections hang, or connections are taken into its queue and their TLS handshake goes
    unanswered. Then to 127.0.0.1, where the gate answers. A private hosts file says so, mounted
    in a mount namespace of the command's own."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("needs root and unshare for a private /etc/hosts")
    silent = socket.socket(socket.AF_INET6)
    try:
        silent.bind(("::1", gate.port))
    except OSError:
        pytest.skip("no IPv6 loopback")
    silent.listen(0 if queue_full else 16)
    fillers = []
    for _ in range(3 if queue_full else 0):
        f = socket.socket(socket.AF_INET6)
        f.setblocking(False)
        f.connect_ex(("::1", gate.port))
        fillers.append(f)
    hosts = tmp_path / "hosts"
    hosts.write_text("::1 localhost\n127.0.0.1 localhost\n")
    try:
        enrol(gate, cli, pop="localhost:%d" % gate.port)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(home),
               "SSL_CERT_FILE": os.environ["SSL_CERT_FILE"]}
        started = time.monotonic()
        proc = subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"',
                               str(hosts), BIN, "get", "OpenRouter", "--field", "key"],
                              capture_output=True, env=env, timeout=60)
        elapsed = time.monotonic() - started
    finally:
        for f in fillers:
            f.close()
        silent.close()
    assert (proc.returncode, proc.stdout.decode(), proc.stderr.decode()) == (0, SECRET, "")
    # Two requests: trying the addresses one after the other took ten seconds each.
    assert elapsed < 5
