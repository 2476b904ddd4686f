"""The man page: built from its scdoc source, free of formatter warnings, and naming every
command and option the program takes."""
import os
import re

import pytest

from conftest import BUILD, command_table, first_option_names, option_names, run

TABLE = command_table()

PAGE = BUILD / "doc" / "tessarin-cli.1"


@pytest.fixture(scope="module")
def text():
    r = run("man", "-l", "-E", "UTF-8", PAGE, env={**os.environ, "MANWIDTH": "200"})
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.mark.parametrize("linter", [
    ["groff", "-k", "-man", "-ww", "-z"],            # what man-db and lintian run
    ["mandoc", "-T", "lint", "-W", "warning"],
])
def test_renders_without_warnings(linter):
    r = run(*linter, PAGE)
    assert (r.returncode, r.stdout + r.stderr) == (0, "")


def test_title_carries_the_version(text, version):
    lines = text.strip().splitlines()
    assert lines[0].split()[0] == "tessarin-cli(1)"
    assert f"tessarin-cli {version}" in lines[-1]


def test_names_every_command_and_option(text):
    # Each command heads a subsection ("   get <query>", "   note <subcommand> ..., memory ...").
    headings = set(re.findall(r"[\w-]+", " ".join(re.findall(r"^   (\S.*)$", text, re.M))))
    for command in TABLE["commands"]:
        assert command["name"] in headings, command["name"]
    options = first_option_names(TABLE)
    for command in TABLE["commands"]:
        options.update(option_names(command))
    words = set(re.findall(r"(?<![\w-])-[\w-]+", text))
    assert options - words == set()
    for word in ("draft", "active", "archived", "create", "update", "search", "print", "install"):
        assert word in text


@pytest.mark.parametrize("name", ["HOME", "XDG_CONFIG_HOME", "NO_COLOR", "SSL_CERT_FILE",
                                  "SSL_CERT_DIR", "https_proxy", "TS-2000", "TS-2046", "0600"])
def test_documents_environment_errors_and_modes(text, name):
    assert name in text
