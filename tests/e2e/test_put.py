"""put end to end against the development gate: both argument forms, the refusals of secrets on
the command line, the checks in their order, the request body, and the values as the vault
stores them (secrets sealed with the agent's L2 key under the field name)."""
import json

import pytest

from devgate import wire

TYPES = ("api_key, card, credential, crypto_wallet, custom, database, identity, note, server, "
         "software_license, ssh_key, totp, wifi")
CREDENTIAL_OPTIONS = "--notes-file, --password-file, --title, --totp-file, --urls, --username"


def upserts(gate):
    """The content of every entry.upsert the gate received."""
    return [json.loads(e)["content"] for e in gate.envelopes() if json.loads(e)["action"] == "entry.upsert"]


def upsert_texts(gate):
    """The exact content text of every entry.upsert (the bytes the client wrote)."""
    out = []
    for e in gate.envelopes():
        if json.loads(e)["action"] == "entry.upsert":
            out.append(e[e.index('"content":') + len('"content":'):-1])
    return out


def opened_fields(gate, agent, content):
    """label -> (tier, kind, plaintext) of an upsert body, tier-2 values opened with the agent's key."""
    l2 = bytes.fromhex(gate.agent(agent)["l2"])
    out = {}
    for f in content["data"]["fields"]:
        value = wire.decrypt_field(l2, f["label"], f["value"]) if f["tier"] == 2 else f["value"]
        out[f["label"]] = (f["tier"], f["kind"], value)
    return out


def fail(r, detail, code="TS-2000"):
    assert (r.status, r.stdout, r.stderr) == (1, "", "%s: %s\n" % (code, detail))


# -- argument errors: nothing is loaded, nothing is sent ------------------------------------------

@pytest.mark.parametrize("args,detail", [
    ((), "missing <type> (available: %s)" % TYPES),
    (("-h",), "unexpected: Short('h')"),
    (("--type", "credential"), 'unexpected: Long("type")'),
    ((b"\xff", "x"), "not valid UTF-8"),
    (("credential",), "missing argument for option '<title>'"),
    (("credential", b"\xffx"), "<title>: not valid UTF-8"),
    (("credential", "x", "--password", "hunter2"),
     "--password is a secret field and must not appear on the command line; use --password-file PATH "
     "(or - for stdin), or put --json on stdin"),
    (("credential", "x", "--password=hunter2"),
     "--password is a secret field and must not appear on the command line; use --password-file PATH "
     "(or - for stdin), or put --json on stdin"),
    (("ssh_key", "k", "--public_key", "ssh-ed25519 AAAA", "--passphrase", "p"),
     "--passphrase is a secret field and must not appear on the command line; use --passphrase-file PATH "
     "(or - for stdin), or put --json on stdin"),
    (("credential", "x", "--colour", "red"),
     "--colour is not valid for type 'credential'. Use: " + CREDENTIAL_OPTIONS),
    (("Credential", "x", "--json"),
     "--json is not valid for type 'Credential'. Use: " + CREDENTIAL_OPTIONS),
    (("credential", "x", "--colour-file", "/dev/null"),
     "--colour-file is not valid for type 'credential'. Secret fields use --<field>-file (e.g. --password-file)"),
    (("credential", "x", "--file", "/dev/null"),
     "--file is not valid for type 'credential'. Use: " + CREDENTIAL_OPTIONS),
    # The shared option reader names the option.
    (("credential", "x", "--username", b"\xff"), "--username: not valid UTF-8"),
    (("credential", "x", "--password-file", b"\xff"), "--password-file: not valid UTF-8"),
    (("credential", "x", "--username"), "missing argument for option '--username'"),
    (("credential", "x", "extra"), 'unexpected: Value("extra")'),
    (("credential", "x", "-u", "bob"), "unexpected: Short('u')"),
    (("note", "t", "--json"), "--json is not valid for type 'note'. Use: --notes-file, --title"),
    # The hyphenated spelling of a field is refused by the name typed; the list keeps field names.
    (("ssh_key", "k", "--private-key", "x"),
     "--private-key is a secret field and must not appear on the command line; use --private-key-file PATH "
     "(or - for stdin), or put --json on stdin"),
    (("ssh_key", "k", "--public-key", b"\xff"), "--public-key: not valid UTF-8"),
    (("ssh_key", "k", "--public-keys", "x"),
     "--public-keys is not valid for type 'ssh_key'. Use: --fingerprint, --key_type, --notes-file, --passphrase-file, "
     "--private_key-file, --public_key, --title"),
    (("credential", "x", "--user-name", "bob"),
     "--user-name is not valid for type 'credential'. Use: " + CREDENTIAL_OPTIONS),
])
def test_argument_errors_before_any_configuration(cli, args, detail):
    fail(cli("put", *args), detail)


@pytest.mark.parametrize("args", [
    ("--help",),
    ("credential", "--help"),
    ("credential", "-h"),
    ("API", "-h"),                      # asking needs no valid type
    ("credential", "x", "--username", "bob", "--help", "--bogus"),
    ("--json", "--help"),
])
def test_asking_for_help_prints_the_usage_and_sends_nothing(gate, cli, agent, args):
    r = cli("put", *args)
    assert (r.status, r.stderr) == (0, "")
    assert r.stdout.startswith("Usage: tessarin-cli put <type> <title> ")
    assert gate.actions() == []


@pytest.mark.parametrize("args,title", [
    (("--", "--help"), "--help"),
    (("--", "-h"), "-h"),
    (("--", "--", "--username", "bob"), "--"),
    (("-x", "--username", "bob"), "-x"),  # any other word in the title's place is the title
])
def test_titles_beginning_with_a_dash(gate, cli, agent, args, title):
    r = cli("put", "credential", *args)
    assert (r.status, r.stdout, r.stderr) == (0, "OK: Created: %s\n" % title, "")
    [body] = upserts(gate)
    assert body["title"] == title


@pytest.mark.parametrize("given", ["vault", "API", "Ssh", "api_keys", "", "caf\u00e9"])
def test_unknown_types(cli, given):
    fail(cli("put", given, "x"), "unknown type '%s' (available: %s)" % (given, TYPES), "TS-2080")


def test_secret_files_are_read_before_the_configuration(cli, tmp_path):
    fail(cli("put", "credential", "x", "--password-file", str(tmp_path / "none")),
         "opening %s: No such file or directory" % (tmp_path / "none"), "TS-2111")
    big = tmp_path / "big"
    big.write_bytes(b"x" * 262145)
    fail(cli("put", "credential", "x", "--password-file", str(big)),
         "%s exceeds 262144 bytes (refuse to buffer unbounded input)" % big, "TS-2110")


def test_unenrolled_host_fails_after_the_arguments(cli):
    r = cli("put", "credential", "x", "--username", "bob")
    assert r.status == 1 and r.stderr.startswith("TS-2003: Not initialized.")


# -- the flag form -----------------------------------------------------------------------------

def test_alias_and_key_file_with_trailing_newline(gate, cli, agent, tmp_path):
    key = tmp_path / "key.txt"
    key.write_bytes(b"sk-abc\r\n\n")
    r = cli("put", "api", "OpenAI", "--key-file", str(key))
    assert (r.status, r.stdout, r.stderr) == (0, "OK: Created: OpenAI\n", "")
    [body] = upserts(gate)
    assert {k: body[k] for k in ("title", "type")} == {"title": "OpenAI", "type": "api_key"}
    assert "id" not in body
    assert body["data"]["title"] == "OpenAI" and body["data"]["type"] == "api_key"
    assert "urls" not in body["data"]
    assert opened_fields(gate, agent, body) == {"key": (2, "password", "sk-abc")}


def test_credential_fields_in_name_order_with_stdin_kept_verbatim(gate, cli, agent, tmp_path):
    password = tmp_path / "pw"
    password.write_text("hunter2\n")
    r = cli("put", "Credential", "GitHub bot", "--username", "bot", "--password-file", str(password),
            "--notes-file", "-", "--urls", "https://github.com", "--title", "shown title",
            "--username=robot", input=b"line one\nline two\n")
    assert r.status == 0, r.stderr
    assert r.stdout == "OK: Created: GitHub bot\n"
    [text] = upsert_texts(gate)
    body = json.loads(text)
    assert [f["label"] for f in body["data"]["fields"]] == ["notes", "password", "title", "urls", "username"]
    # Keys in byte order throughout, written compactly.
    assert text == json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    assert body["type"] == "Credential" and body["data"]["urls"] == ["https://github.com"]
    fields = opened_fields(gate, agent, body)
    assert fields["notes"][0] == 2 and fields["notes"][2] == "line one\nline two\n"
    assert fields["password"][0] == 2 and fields["password"][2] == "hunter2"
    assert fields["username"] == (1, "text", "robot")
    assert fields["urls"] == (1, "textarea", "https://github.com")
    assert fields["title"][:1] == (1,) and fields["title"][2] == "shown title"


def test_public_key_on_the_command_line_and_empty_values_skipped(gate, cli, agent):
    r = cli("put", "ssh_key", "deploy", "--public_key", "ssh-ed25519 AAAA", "--passphrase-file", "-", input=b"")
    assert r.status == 0, r.stderr
    [body] = upserts(gate)
    assert opened_fields(gate, agent, body) == {"public_key": (1, body["data"]["fields"][0]["kind"], "ssh-ed25519 AAAA")}


# (type, options with hyphens, what reaches the gate: label -> (tier, plaintext))
@pytest.mark.parametrize("type_,args,expected", [
    ("ssh_key", ("--public-key", "ssh-ed25519 AAAA", "--private-key-file", "KEY", "--key-type", "ed25519"),
     {"public_key": (1, "ssh-ed25519 AAAA"), "private_key": (2, "-----BEGIN KEY-----"), "key_type": (1, "ed25519")}),
    ("identity", ("--first-name", "Ada", "--last_name", "Lovelace"),
     {"first_name": (1, "Ada"), "last_name": (1, "Lovelace")}),
    ("crypto_wallet", ("--seed-phrase-file", "KEY", "--wallet-address", "bc1q"),
     {"seed_phrase": (2, "-----BEGIN KEY-----"), "wallet_address": (1, "bc1q")}),
    # Both spellings of one field: the later wins.
    ("identity", ("--middle-name", "a", "--middle_name", "b"), {"middle_name": (1, "b")}),
])
def test_hyphenated_field_options_reach_the_gate_as_the_field(gate, cli, agent, tmp_path, type_, args,
                                                              expected):
    key = tmp_path / "key"
    key.write_text("-----BEGIN KEY-----\n")
    r = cli("put", type_, "t", *[str(key) if a == "KEY" else a for a in args])
    assert r.status == 0, r.stderr
    [body] = upserts(gate)
    fields = opened_fields(gate, agent, body)
    assert {label: (tier, value) for label, (tier, _, value) in fields.items()} == expected


def test_urls_on_a_type_without_a_urls_field(gate, cli, agent):
    assert cli("put", "wifi", "home", "--urls", "U", "--ssid", "net").status == 0
    [body] = upserts(gate)
    assert body["data"]["urls"] == ["U"]
    assert [f["label"] for f in body["data"]["fields"]] == ["ssid"]


def test_schema_tier3_fields_are_sealed_and_sent_as_tier2(gate, cli, agent, tmp_path):
    number = tmp_path / "n"
    number.write_text("4111111111111111")
    assert cli("put", "card", "visa", "--number-file", str(number)).status == 0
    [body] = upserts(gate)
    assert opened_fields(gate, agent, body)["number"][::2] == (2, "4111111111111111")


def test_the_stored_entry_reads_back(gate, cli, agent, tmp_path):
    secret = tmp_path / "s"
    secret.write_text("s3cr3t \u00e9\n")
    assert cli("put", "api_key", "Stripe", "--key-file", str(secret)).status == 0
    assert cli("get", "Stripe", "--field", "key").stdout == "s3cr3t \u00e9"
    # A second put with the same title is a second entry.
    assert cli("put", "api_key", "Stripe", "--key-file", str(secret)).status == 0
    assert [e["title"] for e in gate.entries()].count("Stripe") == 2


@pytest.mark.parametrize("result,line", [
    ({"created": False}, "OK: Updated: t\n"),
    ({"created": True}, "OK: Created: t\n"),
    ({}, "OK: Created: t\n"),
    ({"created": "no"}, "OK: Created: t\n"),
    ([], "OK: Created: t\n"),
])
def test_created_or_updated_from_the_reply(gate, cli, agent, result, line):
    gate.fault("result", action="entry.upsert", result=result)
    r = cli("put", "note", "t", "--title", "x")
    assert (r.status, r.stdout) == (0, line)


def test_gate_refusal_is_reported(gate, cli, agent):
    gate.fault("error", action="entry.upsert", code="forbidden", message="agent may not write")
    fail(cli("put", "note", "t"), "gate error forbidden: agent may not write", "TS-2047")


# -- the JSON form -----------------------------------------------------------------------------

def put_json(cli, obj, *args):
    text = obj if isinstance(obj, (str, bytes)) else json.dumps(obj)
    return cli("put", "--json", *args, input=text)


@pytest.mark.parametrize("obj,detail", [
    ("", "invalid JSON: EOF while parsing a value at line 1, column 1"),
    ('{"type": "note",', "invalid JSON: EOF while parsing a value at line 1, column 17"),
    ('{"type": "note"} x', "invalid JSON: trailing characters at line 1, column 18"),
    ('{"type": hunter2}', "invalid JSON: syntax error at line 1, column 10"),
    ("[" * 65 + "]" * 65, "invalid JSON: nesting deeper than 64 levels at line 1, column 65"),
    ('{"urls": ' + "[" * 100000 + "]" * 100000 + "}", "invalid JSON: nesting deeper than 64 levels at line 1, column 73"),
    ([], 'JSON missing "type" field'),
    ("42", 'JSON missing "type" field'),
    ({"type": 1, "title": "t"}, 'JSON missing "type" field'),
    ({"type": "note"}, 'JSON missing "title" field'),
    ({"type": "note", "title": None}, 'JSON missing "title" field'),
    ({"type": "note", "title": "t", "notes": 42}, "field 'notes' must be a JSON string (got number) \u2014 quote the value"),
    ({"type": "note", "title": "t", "notes": True}, "field 'notes' must be a JSON string (got bool) \u2014 quote the value"),
    ({"type": "credential", "title": "t", "urls": ["a"]}, "field 'urls' must be a JSON string (got array) \u2014 quote the value"),
    ({"type": "credential", "title": "t", "password": {"v": 1}}, "field 'password' must be a JSON string (got object) \u2014 quote the value"),
    ({"type": "note", "title": "t", "body": "x"}, "unknown key 'body' for type 'note' \u2014 a typo would silently lose the value"),
], ids=lambda v: str(v)[:40])
def test_json_form_errors(gate, cli, agent, obj, detail):
    fail(put_json(cli, obj), detail)
    assert "entry.upsert" not in gate.actions()


@pytest.mark.parametrize("text,detail", [
    (b'{"type":"credential","title":"t"}\0{"password":"lost"}', "trailing characters at line 1, column 34"),
    (b'{"type":"credential","title":"t","password":"a","password":"b"}', "duplicate key at line 1, column 49"),
    (b'{"type":"note","title":"t","type":"credential","password":"p"}', "duplicate key at line 1, column 28"),
], ids=["NUL then more", "password twice", "type twice"])
def test_json_form_reads_one_document_each_key_once(gate, cli, agent, text, detail):
    fail(put_json(cli, text), "invalid JSON: " + detail)
    assert gate.requests() == []


def test_json_errors_never_quote_the_input(gate, cli, agent):
    r = put_json(cli, '{"type":"credential","title":"t","password":"hunter2-secret" oops}')
    assert r.status == 1 and "hunter2" not in r.stderr


def test_json_form_checks_keys_before_the_configuration_and_kinds_after(cli):
    fail(put_json(cli, {"type": "vault", "title": "t"}), "unknown type 'vault' (available: %s)" % TYPES, "TS-2080")
    fail(put_json(cli, {"type": "note", "title": "t", "x": 1}),
         "unknown key 'x' for type 'note' \u2014 a typo would silently lose the value")
    r = put_json(cli, {"type": "note", "title": "t", "notes": 42})
    assert r.stderr.startswith("TS-2003: Not initialized.")


def test_json_input_limit(cli):
    text = json.dumps({"type": "note", "title": "t"})
    fail(put_json(cli, text + " " * (262145 - len(text))),
         "stdin exceeds 262144 bytes (refuse to buffer unbounded input)", "TS-2110")


def test_json_form(gate, cli, agent):
    r = put_json(cli, {"type": "Credential", "title": "db admin", "username": "root", "password": "pw\n",
                       "notes": "", "totp": None, "urls": "https://db"}, "ignored", "--anything")
    assert (r.status, r.stdout, r.stderr) == (0, "OK: Created: db admin\n", "")
    [body] = upserts(gate)
    assert body["type"] == "Credential" and body["data"]["urls"] == ["https://db"]
    assert opened_fields(gate, agent, body) == {
        "password": (2, "password", "pw\n"), "title": (1, "text", "db admin"),
        "urls": (1, "textarea", "https://db"), "username": (1, "text", "root")}


@pytest.mark.parametrize("urls,sent", [(["a", 1, None], ["a", 1, None]), ("u", ["u"]), (7, None), ({"a": 1}, None)])
def test_json_urls_on_a_type_without_a_urls_field(gate, cli, agent, urls, sent):
    assert put_json(cli, {"type": "wifi", "title": "home", "urls": urls}).status == 0
    [body] = upserts(gate)
    assert body["data"].get("urls") == sent


def test_json_form_takes_no_aliases(cli):
    fail(put_json(cli, {"type": "api", "title": "t"}), "unknown type 'api' (available: %s)" % TYPES, "TS-2080")


# -- the shell completion offers exactly what put accepts ------------------------------------

def completion_put_options():
    """(type, option, kind) of every field option the command table offers after put, as the
    build wrote it for the completion generator and the man page (doc/table.json beside the
    binary)."""
    import pathlib
    from conftest import BIN
    table = json.loads((pathlib.Path(BIN).parent / "doc" / "table.json").read_text())
    return [(name, option["name"], option["value"])
            for name, entry in sorted(table["put_types"].items()) for option in entry["options"]]


def test_completion_offers_what_put_accepts(cli):
    """A plain option offered by the completion is taken on the command line (the run goes on to
    the configuration); a field offered only in its -file form is refused as a secret."""
    offered = completion_put_options()
    assert offered
    names = {(type_name, option) for type_name, option, _ in offered}
    # The generator options take checked values and go with --generate (every type has the
    # secret field notes); a flag takes no value.
    valid = {"--generate": ["notes"], "--length": ["12", "--generate", "notes"],
             "--charset": ["lower", "--generate", "notes"], "--print-generated": ["--generate", "notes"]}
    for type_name, option, kind in offered:
        if kind == "file" and (type_name, option[:-len("-file")]) not in names:
            name = option[2:-len("-file")]
            r = cli("put", type_name, "x", "--" + name, "v")
            assert "is a secret field" in r.stderr, (type_name, option)
        value = valid.get(option, ["/dev/null" if kind == "file" else "v"])
        r = cli("put", type_name, "x", option, *value)
        assert r.stderr.startswith("TS-2003: Not initialized."), (type_name, option, r.stderr)


def test_standard_input_is_read_once(gate, cli, agent):
    r = cli("put", "credential", "x", "--password-file", "-", "--notes-file", "-", input=b"pw")
    assert (r.status, r.stderr) == (1, "TS-2000: --password-file and --notes-file both read standard "
                                       "input; give one of them a file\n")
    assert "entry.upsert" not in gate.actions()
