"""Shared fixtures for the black-box tests: they run the built binary as a user would."""
import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = os.environ.get("TESSARIN_BIN", str(ROOT / "build" / "tessarin-cli"))

# Fixtures of the development gate live in their own module.
pytest_plugins = ["gate_fixtures"] if (pathlib.Path(__file__).parent / "gate_fixtures.py").exists() else []


class Run:
    def __init__(self, proc):
        self.status = proc.returncode
        self.out = proc.stdout or b""
        self.err = proc.stderr or b""

    @property
    def stdout(self):
        return self.out.decode("utf-8", "replace")

    @property
    def stderr(self):
        return self.err.decode("utf-8", "replace")


@pytest.fixture
def home(tmp_path):
    """An empty home directory with its own configuration directory."""
    h = tmp_path / "home"
    h.mkdir()
    return h


@pytest.fixture
def cli(home):
    """cli(*args, input=b"", env={...}) runs the binary with a clean environment; stdout= (a file
    instead of the captured pipe) and preexec_fn= go to subprocess.run."""

    def run(*args, input=b"", env=None, timeout=60, stdout=subprocess.PIPE, preexec_fn=None):
        e = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(home)}
        for key in ("SSL_CERT_FILE", "SSL_CERT_DIR", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if key in os.environ:
                e[key] = os.environ[key]
        if env:
            for k, v in env.items():
                if v is None:
                    e.pop(k, None)
                else:
                    e[k] = v
        if isinstance(input, str):
            input = input.encode()
        proc = subprocess.run([BIN, *args], input=input, stdout=stdout, stderr=subprocess.PIPE, env=e,
                              timeout=timeout, preexec_fn=preexec_fn)
        return Run(proc)

    return run
