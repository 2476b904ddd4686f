"""Shared fixtures for the distribution tests: the build tree they check (TESSARIN_BUILD)."""
import functools
import json
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


@functools.cache
def command_table() -> dict:
    """The program's own command table, as the build wrote it (doc/table.json)."""
    return json.loads((BUILD / "doc" / "table.json").read_text())


def first_option_names(table) -> set:
    """Every name (long and short) of the options taken only as the first argument."""
    return {n for o in table["first_options"] for n in (o["name"], o.get("short")) if n}


def option_names(command) -> set:
    """The options a command of the table takes, with those of its subcommands."""
    names = {o["name"] for o in command["options"]}
    for sub in command.get("subcommands", []):
        names.update(o["name"] for o in sub["options"])
    return names


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
