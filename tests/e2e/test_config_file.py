"""The configuration file under attack: whatever sits at its path, every vault command ends
promptly with one coded error line instead of hanging, aborting or reading without bound."""
import os
import socket

import pytest

import blobs


def config_path(home):
    return home / ".config" / "tessarin" / "config"


def plant_fifo(path):
    os.mkfifo(path, 0o600)


def plant_sparse(path):
    with open(path, "wb") as f:
        f.truncate(1 << 40)  # a terabyte announced, nothing stored
    path.chmod(0o600)


def plant_one_byte_too_many(path):
    path.write_bytes(b"\0" * 65537)
    path.chmod(0o600)


def plant_directory(path):
    path.mkdir(mode=0o700)


def plant_socket(path):
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(path))
    s.close()
    path.chmod(0o600)


NOT_REGULAR = "TS-2003: config {} is not a regular file"
TOO_LARGE = "TS-2003: config {} exceeds 65536 bytes \u2014 not a configuration file"

ATTACKS = {
    # name: (how to plant it, expected error line)
    "fifo": (plant_fifo, NOT_REGULAR),
    "sparse terabyte": (plant_sparse, TOO_LARGE),
    "one byte too many": (plant_one_byte_too_many, TOO_LARGE),
    "directory": (plant_directory, "TS-2003: reading {}: Is a directory"),
    "socket": (plant_socket, "TS-2003: opening {}: No such device or address"),
}


@pytest.mark.parametrize("name", sorted(ATTACKS))
@pytest.mark.parametrize("command", ["get", "render"])
def test_planted_files_are_refused_promptly(cli, home, tmp_path, name, command):
    plant, expected = ATTACKS[name]
    path = config_path(home)
    path.parent.mkdir(parents=True)
    plant(path)
    template = tmp_path / "t.conf"
    template.write_text("key=tessarin://OpenRouter/key\n")
    args = ["get", "OpenRouter"] if command == "get" else ["render", str(template)]
    r = cli(*args, timeout=10)
    assert (r.status, r.stdout, r.stderr) == (1, "", expected.format(path) + "\n")


def test_group_readable_fifo_meets_the_mode_check_first(cli, home):
    """The mode of the path is checked before anything is opened: such a FIFO is never opened."""
    path = config_path(home)
    path.parent.mkdir(parents=True)
    os.mkfifo(path, 0o640)
    r = cli("get", "x", timeout=10)
    assert r.stderr == ("TS-2003: config %s has mode 0640 \u2014 must be 0600 (group/other access refused)\n"
                        % path)


def test_a_real_configuration_still_loads(cli, home, dead_host):
    """The same path holding a sealed record loads: the command gets as far as the network."""
    m = blobs.mint(pop=dead_host)
    assert cli("init", input=m.stdin()).status == 0
    r = cli("get", "x", timeout=30)
    assert r.status == 1 and r.stderr.startswith("TS-2020: POST /gate: ")
