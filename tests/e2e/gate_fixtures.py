"""Fixtures around the development gate (devgate/devgate): a real HTTPS gate on 127.0.0.1.

  gate            a running gate, reset before the test (entries, audit, quota use, settings,
                  faults, request log); SSL_CERT_FILE points at its certificate for the test.
  replica         a second gate sharing the gate's store, certificate and static key; its faults
                  and request log are its own.
  devgate_factory start(**opts) -> DevGate: gates of the test's own (stopped at teardown).
  enrolled        an agent minted on `gate` and enrolled with the `cli` fixture (init).
  dead_host       "127.0.0.1:PORT" where nothing listens.

A DevGate has url, host, port, gate_url, gate_pub (hex), cert, data, env and the helpers below.
"""
import itertools
import json
import os
import pathlib
import select
import signal
import subprocess
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEVGATE = ROOT / "devgate" / "devgate"
PYTHON = "/usr/bin/python3"

if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from devgate import client_support  # noqa: E402
from devgate import enrolment  # noqa: E402
from devgate import vault as vaultmod  # noqa: E402

_names = itertools.count(1)


def free_port() -> int:
    """A port on 127.0.0.1 with nothing listening (for unreachable gates)."""
    return vaultmod.free_port()


class DevGate:
    """One running devgate process and its data directory."""

    def __init__(self, data, proc, info):
        self.data = pathlib.Path(data)
        self.proc = proc
        self.url = info["url"]
        self.gate_pub = info["gate_pub"]
        self.cert = info["cert"]
        self.host = self.url[len("https://"):]
        self.port = int(self.host.rsplit(":", 1)[1])
        self.gate_url = self.url + "/gate"
        self.env = {"SSL_CERT_FILE": self.cert}
        self._dir = vaultmod.DataDir(self.data)

    # -- agents and enrolment ------------------------------------------------

    def mint_agent_info(self, name=None, variant="ok", replica=None, replica_host=None, replica_pub=None,
                        pop=None, l2=None) -> dict:
        """Registers an agent (reused when the name exists) and returns blob, key, agent_id, l2,
        vault_id, pop, pop_pub, replica_host, replica_pub and `expect` (what a client does with it)."""
        name = name or "agent-%d" % next(_names)
        if isinstance(replica, DevGate):
            replica = replica.data
        return enrolment.mint_agent(self._dir, name, variant=variant, replica=replica, replica_host=replica_host,
                                    replica_pub=replica_pub, pop=pop, l2=l2)

    def mint_agent(self, name=None, **kw):
        """(blob, key) of a new agent's enrolment."""
        info = self.mint_agent_info(name, **kw)
        return info["blob"], info["key"]

    def enrolment(self, name=None, **kw) -> bytes:
        """The two-line standard input of `tessarin-cli init`: blob, key."""
        blob, key = self.mint_agent(name, **kw)
        return (blob + "\n" + key + "\n").encode()

    def agent(self, name) -> dict:
        return self._dir.store().agent_by_name(name)

    def token(self, name) -> str:
        """A fresh agent token, minted as the client mints it."""
        return client_support.token_for(self.agent(name))

    # -- state ----------------------------------------------------------------

    def seed(self, entries=(), agent=None, audit=()) -> dict:
        """Loads entries (seed format of devgate/README.md); returns {title: entry_id}."""
        doc = {"entries": list(entries), "audit": list(audit)}
        if agent is not None:
            doc["agent"] = agent
        return vaultmod.seed(self._dir, doc)

    def entries(self) -> list:
        return self._dir.store().entries()

    def audit(self) -> list:
        """Audit events of the home vault, newest first."""
        v = self._dir.store()
        return [ev for _, ev in v.audit_events(v.home_vault_id())]

    def set(self, key, value):
        """Changes a setting (minute_limit, hour_limit, count_threshold, search_shape, ...)."""
        self._dir.store().set_setting(key, value)

    def reset(self):
        self._dir.store().reset()
        self.reset_instance()

    def reset_instance(self):
        """Only this instance's faults and request log."""
        self._dir.clear_faults()
        self._dir.clear_requests()

    # -- faults and the request log ---------------------------------------------

    def fault(self, kind, times=1, action=None, **args):
        """Queues a fault for the next `times` requests (-1: all) whose action matches."""
        f = {"kind": kind, "times": times}
        if action is not None:
            f["action"] = action
        f.update(args)
        self._dir.add_fault(f)

    def clear_faults(self):
        self._dir.clear_faults()

    def requests(self) -> list:
        """Every request this instance received, oldest first (see devgate/README.md)."""
        return self._dir.requests()

    def envelopes(self) -> list:
        """The exact envelope texts of the requests that opened, oldest first."""
        return [r["envelope"] for r in self.requests() if r.get("envelope") is not None]

    def actions(self) -> list:
        return [r["action"] for r in self.requests() if r.get("action") is not None]

    # -- driving the gate from Python ------------------------------------------

    def call(self, action, content=None, agent=None, token=None, payload=None):
        """One request through the Python client; returns the parsed reply."""
        if token is None and agent is not None:
            token = self.token(agent)
        return client_support.gate_request(self.gate_url, self.gate_pub, self.cert, action, content, token,
                                           payload=payload)

    # -- process ----------------------------------------------------------------

    def stop(self, timeout=10):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()
        return self.proc.returncode


def start_devgate(data, share=None, own_key=False, port=0, timeout=30) -> DevGate:
    """Starts `devgate serve` and waits for its ready line."""
    data = pathlib.Path(data)
    data.mkdir(parents=True, exist_ok=True)
    cmd = [PYTHON, str(DEVGATE), "serve", "--data", str(data), "--port", str(port)]
    if share is not None:
        cmd += ["--share", str(share.data if isinstance(share, DevGate) else share)]
    if own_key:
        cmd.append("--own-key")
    log = open(data / "devgate.log", "ab")
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL)
    log.close()
    info = {}
    deadline = time.monotonic() + timeout
    buf = b""
    while b"devgate ready\n" not in buf:
        left = deadline - time.monotonic()
        if left <= 0 or proc.poll() is not None:
            proc.kill()
            proc.wait()
            raise RuntimeError("devgate did not start: %s\n%s" % (buf.decode(errors="replace"),
                                                                  (data / "devgate.log").read_text(errors="replace")))
        ready, _, _ = select.select([proc.stdout], [], [], min(left, 0.5))
        if ready:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                continue
            buf += chunk
    for line in buf.decode().splitlines():
        key, _, value = line.partition(" ")
        info[key] = value
    return DevGate(data, proc, info)


@pytest.fixture(scope="session")
def devgate_home(tmp_path_factory):
    g = start_devgate(tmp_path_factory.mktemp("devgate-home"))
    yield g
    g.stop()


@pytest.fixture(scope="session")
def devgate_replica_home(tmp_path_factory, devgate_home):
    r = start_devgate(tmp_path_factory.mktemp("devgate-replica"), share=devgate_home)
    yield r
    r.stop()


@pytest.fixture
def gate(devgate_home, monkeypatch):
    devgate_home.reset()
    monkeypatch.setenv("SSL_CERT_FILE", devgate_home.cert)
    yield devgate_home
    devgate_home.clear_faults()


@pytest.fixture
def replica(gate, devgate_replica_home):
    devgate_replica_home.reset_instance()
    yield devgate_replica_home
    devgate_replica_home.clear_faults()


@pytest.fixture
def devgate_factory(tmp_path):
    """start(share=None, own_key=False) -> a DevGate of this test's own, stopped at teardown."""
    started = []

    def start(share=None, own_key=False):
        g = start_devgate(tmp_path / ("devgate-%d" % len(started)), share=share, own_key=own_key)
        started.append(g)
        return g

    yield start
    for g in reversed(started):
        g.stop()


@pytest.fixture
def dead_host():
    """host:port on 127.0.0.1 where nothing listens (an unreachable gate)."""
    return "127.0.0.1:%d" % free_port()


@pytest.fixture
def enrolled(gate, cli):
    """An agent minted on `gate` and enrolled through `tessarin-cli init`; returns its mint info."""
    info = gate.mint_agent_info()
    run = cli("init", input=(info["blob"] + "\n" + info["key"] + "\n").encode())
    assert run.status == 0, run.stderr
    return info


def enrol_agent(gate, cli, **mint) -> str:
    """Mints a new agent on `gate` (mint options as mint_agent_info) and enrols it through
    `tessarin-cli init`; returns its name. Seed with agent=name: tier-2 values are encrypted
    with that agent's own L2 key."""
    name = "agent-%d" % next(_names)
    info = gate.mint_agent_info(name, **mint)
    run = cli("init", input=(info["blob"] + "\n" + info["key"] + "\n").encode())
    assert run.status == 0, run.stderr
    return name


def enrol_with_key(gate, cli, secret, **mint) -> str:
    """enrol_agent, then seeds the api_key entry OpenRouter whose tier-2 field key holds
    secret, encrypted for that agent; returns the agent's name."""
    name = enrol_agent(gate, cli, **mint)
    gate.seed([{"title": "OpenRouter", "type": "api_key",
                "fields": [{"label": "key", "value": secret, "tier": 2}]}], agent=name)
    return name


def key_reader(secret):
    """(enrol, agent) for a test module that reads OpenRouter's key, `secret`: enrol(gate, cli,
    **mint) enrols a new agent that can read it (enrol_with_key), and the fixture `agent` (the
    module's own, in place of the one below) gives such an agent."""

    def enrol(gate, cli, **mint):
        return enrol_with_key(gate, cli, secret, **mint)

    @pytest.fixture
    def agent(gate, cli):
        return enrol(gate, cli)

    return enrol, agent


def get_key(cli, **kw):
    """Runs get OpenRouter --field key."""
    return cli("get", "OpenRouter", "--field", "key", **kw)


@pytest.fixture
def agent(gate, cli):
    """The name of a freshly enrolled agent (see enrol_agent)."""
    return enrol_agent(gate, cli)
