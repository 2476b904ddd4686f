"""Shared fixtures for the distribution tests: the build tree they check (TESSARIN_BUILD)."""
import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("TESSARIN_BUILD", str(ROOT / "build")))
# The Debian architecture the build tree is for, and what runs its programs on this machine
# (an emulator command for a cross build, nothing for a native one).
ARCH = os.environ.get("TESSARIN_ARCH") or subprocess.run(
    ["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
EMULATOR = os.environ.get("TESSARIN_EMULATOR", "").split()


def run(*args, **kwargs):
    """Runs a command without standard input and returns its CompletedProcess (text)."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    kwargs.setdefault("timeout", 300)
    return subprocess.run([str(a) for a in args], **kwargs)


def make(*targets, **variables):
    """Runs this repository's Makefile against the build tree under test."""
    assigns = [f"{k}={v}" for k, v in variables.items()]
    r = run("make", "-s", "-C", ROOT, f"BUILD={BUILD}", f"ARCH={ARCH}", *assigns, *targets)
    assert r.returncode == 0, r.stdout + r.stderr
    return r


@pytest.fixture(scope="session")
def version():
    """The version the built program reports: the one everything else must carry."""
    r = run(*EMULATOR, BUILD / "tessarin-cli", "--version", env={"NO_COLOR": "1"})
    assert r.returncode == 0
    name, number = r.stdout.split()
    assert name == "tessarin-cli"
    return number
