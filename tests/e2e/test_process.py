"""What every run sets up about itself before it reads anything: no core file, ever."""
import resource
import subprocess
import time

from conftest import BIN


def core_limit(pid):
    for line in open("/proc/%d/limits" % pid):
        if line.startswith("Max core file size"):
            return line.split()[4:6]
    raise AssertionError("no core line")


def test_a_running_client_has_a_core_size_limit_of_zero(tmp_path):
    def some_core_limit():
        resource.setrlimit(resource.RLIMIT_CORE, (1 << 20, 1 << 20))

    # init waits for its blob on standard input: a client caught running.
    proc = subprocess.Popen([BIN, "init"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=some_core_limit,
                            env={"HOME": str(tmp_path), "PATH": "/usr/bin:/bin"})
    try:
        deadline = time.monotonic() + 10
        while core_limit(proc.pid) != ["0", "0"]:
            assert time.monotonic() < deadline, core_limit(proc.pid)
            time.sleep(0.01)
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)
        proc.stdout.close()
        proc.stderr.close()
    assert proc.returncode == 1
