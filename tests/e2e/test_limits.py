"""A command that makes many requests at once within the limits of the machine and of the gate's
front door: few descriptors, no threads, a connection limit, a rate limiter answering 429 or 503
with Retry-After, and a primary gate that is not there."""
import pathlib
import resource
import socket
import subprocess
import time

import pytest

import fan_out
from conftest import BIN

FAILOVER = "gate: primary unreachable, trying replica\n"


def few_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (12, 12))


# A thread's default stack is as large as the stack limit: at 1 TiB none can be mapped.
HUGE_STACK = 1 << 40


def no_threads():
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    resource.setrlimit(resource.RLIMIT_STACK, (HUGE_STACK, hard))


def _threads_fail():
    """Whether a process under no_threads really cannot start a thread."""
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    if hard != resource.RLIM_INFINITY and hard < HUGE_STACK:
        return False
    probe = subprocess.run(["/usr/bin/python3", "-c", "import threading; threading.Thread(target=int).start()"],
                           preexec_fn=no_threads, capture_output=True)
    return probe.returncode != 0 and b"can't start new thread" in probe.stderr


@pytest.mark.parametrize("setting, value", [
    (None, None),
    ("max_connections", 2),
    ("max_connections", 1),
    ("rate_limit", {"per_second": 10, "burst": 3, "status": 429, "retry_after": 1}),
    ("rate_limit", {"per_second": 10, "burst": 3, "status": 503, "retry_after": 1}),
    ("rate_limit", {"per_second": 20, "burst": 2, "status": 503, "retry_after": None}),
])
@pytest.mark.parametrize("limit", [None, few_descriptors, no_threads], ids=["", "12 descriptors", "no threads"])
def test_whole_output_within_limits(gate, cli, tmp_path, setting, value, limit):
    if limit is no_threads and not pathlib.Path(BIN).read_bytes().startswith(b"\x7fELF"):
        pytest.skip("the program runs under an emulator, which needs threads of its own")
    if limit is no_threads and not _threads_fail():
        pytest.skip("threads can still be made under a 1 TiB stack limit here")
    ids = fan_out.seed(gate, cli)
    if setting:
        gate.set(setting, value)
    try:
        fan_out.render_and_search(gate, cli, ids, tmp_path, preexec_fn=limit)
    finally:
        gate.set("max_connections", 0)
        gate.set("rate_limit", None)


@pytest.fixture(params=["refusing", "dropping"])
def dead_primary(request):
    """host:port of a primary that is not there: nothing listens (connections refused), or a
    listener whose queue is full (connection attempts dropped, unanswered)."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    fillers = []
    if request.param == "dropping":
        listener.listen(0)
        for _ in range(3):
            f = socket.socket()
            f.setblocking(False)
            f.connect_ex(listener.getsockname())
            fillers.append(f)
    host = "127.0.0.1:%d" % listener.getsockname()[1]
    if request.param == "refusing":
        listener.close()
    yield host
    for f in fillers:
        f.close()
    listener.close()


def test_a_dead_primary_is_left_for_the_replica_at_once(gate, replica, cli, tmp_path, dead_primary):
    fan_out.seed(gate, cli, replica=replica, pop=dead_primary)
    started = time.monotonic()
    r = cli("get", "e1", "--field", "f")
    elapsed = time.monotonic() - started
    assert (r.status, r.stdout, r.stderr) == (0, "v1", FAILOVER)
    # Found dead within the connect limit, once: a safety net, far below two request bounds.
    assert elapsed < 12
    assert replica.actions() == ["search.query", "entry.get"]

    template = tmp_path / "template"
    template.write_text("".join("%d=tessarin://e%d/f\n" % (k, k) for k in range(fan_out.ENTRIES)))
    r = cli("render", str(template), timeout=90)
    assert (r.status, r.stdout) == (0, "".join("%d=v%d\n" % (k, k) for k in range(fan_out.ENTRIES))), r.stderr
    assert r.stderr.startswith(FAILOVER) and r.stderr.count(FAILOVER) == 1, r.stderr
