"""--show-schema: the embedded entry-type schema, printed byte for byte."""
import json
import os
import pathlib

import pytest

ASSET = pathlib.Path(__file__).resolve().parents[2] / "assets" / "entry-types.json"
DOCUMENT = ASSET.read_bytes()


@pytest.mark.parametrize("args", [
    ["--show-schema"],
    ["--show-schema", "extra", "--verbose"],  # the rest of the line is ignored
])
def test_prints_the_document_and_one_newline(cli, args):
    r = cli(*args)
    assert (r.status, r.err) == (0, b"")
    assert r.out == DOCUMENT + b"\n"


def test_output_is_the_pretty_printed_schema(cli):
    out = cli("--show-schema").stdout
    lines = out.split("\n")
    assert lines[:2] == ["{", '  "version": "2.1.0",']
    assert lines[-2:] == ["}", ""]
    assert out.count("\n") == DOCUMENT.count(b"\n") + 1
    doc = json.loads(out)
    assert list(doc) == ["version", "generated", "schema", "types", "importFormats"]
    assert len(doc["types"]) == 13
    assert len(doc["importFormats"]) == 14
    assert json.dumps(doc, indent=2, ensure_ascii=False) + "\n" == out
    assert 30000 < len(DOCUMENT) < 45000
    card_number = doc["types"]["card"]["fields"]["number"]
    assert (card_number["tier"], card_number["required"]) == (3, True)


def test_reads_no_configuration(cli, home, tmp_path):
    # A configuration that cannot be opened must not matter: the schema never loads it.
    for base in (home / ".config", tmp_path / "xdg"):
        (base / "tessarin").mkdir(parents=True)
        config = base / "tessarin" / "config"
        config.write_bytes(b"not a config")
        os.chmod(config, 0o644)
    empty = tmp_path / "empty"
    empty.mkdir()
    for env in ({}, {"XDG_CONFIG_HOME": str(tmp_path / "xdg")}, {"HOME": str(empty)},
                {"HOME": None}, {"HOME": str(tmp_path / "missing")}):
        r = cli("--show-schema", env=env)
        assert (r.status, r.out, r.err) == (0, DOCUMENT + b"\n", b""), env
