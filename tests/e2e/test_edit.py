"""edit end to end against the development gate: a change of some fields sends every other part
of the entry back exactly as the vault stored it, --id reaches one of two entries with the same
title, --generate makes secret values (put too) that the gate can open with the agent's key,
and every refusal leaves the vault unwritten."""
import json
import re
import subprocess

import pytest

from devgate import wire

CREDENTIAL_OPTIONS = "--notes-file, --password-file, --title, --totp-file, --urls, --username"


def credential(title="GitHub", **extra):
    entry = {"title": title, "type": "credential",
             "fields": [{"label": "username", "value": "octocat", "tier": 1},
                        {"label": "password", "value": "old-password", "tier": 2, "kind": "password"},
                        {"label": "totp", "value": "JBSWY3DPEHPK3PXP", "tier": 2, "kind": "totp"},
                        {"raw": {"label": "recovery", "value": "kept as sent", "kind": "text", "tier": 1,
                                 "pinned": True}}],
             "urls": ["https://github.com", "https://gist.github.com"],
             "notes": "remember the org",
             "extra_data": {"colour": "blue"}}
    entry.update(extra)
    return entry


def stored(gate, entry_id):
    return next(e for e in gate.entries() if e["entry_id"] == entry_id)


def opened(gate, agent, field):
    l2 = bytes.fromhex(gate.agent(agent)["l2"])
    return wire.decrypt_field(l2, field["label"], field["value"]) if field["tier"] == 2 else field["value"]


def field(entry, label):
    return next(f for f in entry["data"]["fields"] if f["label"] == label)


def without(entry, labels):
    """The stored data block with the fields `labels` left out, and the stored title and type."""
    data = dict(entry["data"])
    data["fields"] = [f for f in data["fields"] if f["label"] not in labels]
    return entry["type"], entry["title"], data


@pytest.fixture
def github(gate, agent):
    return gate.seed([credential()], agent=agent)["GitHub"]


# -- what an edit keeps ---------------------------------------------------------------------------

# (arguments after the title, standard input, label -> (tier, kind, plaintext) afterwards)
KEEP_CASES = [
    (["--password-file", "-"], b"new-password", {"password": (2, "password", "new-password")}),
    (["--username", "hubot"], b"", {"username": (1, "text", "hubot")}),
    (["--totp-file", "-", "--username=hubot"], b"GEZDGNBVGY3TQOJQ",
     {"totp": (2, "totp", "GEZDGNBVGY3TQOJQ"), "username": (1, "text", "hubot")}),
]


@pytest.mark.parametrize("args,stdin,changed", KEEP_CASES, ids=["password", "username", "totp+username"])
def test_only_the_named_fields_change(gate, cli, agent, github, args, stdin, changed):
    before = stored(gate, github)
    r = cli("edit", "GitHub", *args, input=stdin)
    assert (r.status, r.stdout, r.stderr) == (0, "OK: Updated: GitHub\n", "")
    after = stored(gate, github)
    assert without(after, changed) == without(before, changed)
    # Unchanged fields keep their place and their bytes, ciphertexts included.
    assert [f["label"] for f in after["data"]["fields"]] == [f["label"] for f in before["data"]["fields"]]
    for label, (tier, kind, plain) in changed.items():
        f = field(after, label)
        assert (f["tier"], f.get("kind", "text"), opened(gate, agent, f)) == (tier, kind, plain)
    assert len(gate.entries()) == 1
    assert gate.actions() == ["search.query", "entry.get", "entry.upsert"]


def test_title_and_urls(gate, cli, agent, github):
    before = stored(gate, github)
    r = cli("edit", "GitHub", "--title", "GitHub (work)", "--urls", "https://github.example")
    assert (r.status, r.stdout, r.stderr) == (0, "OK: Updated: GitHub (work)\n", "")
    after = stored(gate, github)
    assert (after["title"], after["data"]["title"]) == ("GitHub (work)", "GitHub (work)")
    assert after["data"]["urls"] == ["https://github.example"]
    # A credential has title and urls fields: they are added as put adds them.
    assert (field(after, "title")["value"], field(after, "urls")["value"]) == (
        "GitHub (work)", "https://github.example")
    assert after["data"]["notes"] == before["data"]["notes"]
    assert after["data"]["colour"] == "blue"


def test_a_field_the_entry_lacks_is_added_with_its_tier(gate, cli, agent):
    ids = gate.seed([{"title": "db", "type": "database", "fields": [{"label": "host", "value": "h"}]}],
                    agent=agent)
    r = cli("edit", "db", "--connection-string-file", "-", input=b"postgres://u:p@h/d")
    assert (r.status, r.stderr) == (0, "")
    f = field(stored(gate, ids["db"]), "connection_string")
    assert (f["tier"], f["kind"], opened(gate, agent, f)) == (2, "password", "postgres://u:p@h/d")


def test_the_id_names_one_of_two_entries_with_one_title(gate, cli, agent):
    gate.seed([credential("twin"), credential("twin")], agent=agent)
    first, second = [e["entry_id"] for e in gate.entries()]
    before = stored(gate, first)
    r = cli("edit", "--id", second, "--username", "hubot")
    assert (r.status, r.stdout, r.stderr) == (0, "OK: Updated: twin\n", "")
    assert stored(gate, first) == before
    assert field(stored(gate, second), "username")["value"] == "hubot"
    assert gate.actions() == ["entry.get", "entry.upsert"]


# -- generated values -----------------------------------------------------------------------------

LOWER_DIGITS = r"[a-z0-9]{40}"
DEFAULT_SET = r"[A-Za-z0-9#%&()*+,\-./:;<=>?@\[\]^_{|}~]{32}"

# (command, printed on stdout (pattern, or None when only the OK line is), OK line, fields made)
GENERATE_CASES = [
    (["edit", "GitHub", "--generate", "password", "--length", "40", "--charset", "lower,digits",
      "--print-generated"], LOWER_DIGITS + r"\n", "OK: Updated: GitHub\n", {"password": LOWER_DIGITS}),
    (["edit", "GitHub", "--generate", "password", "--length", "40", "--charset", "digits,lower"],
     None, "OK: Updated: GitHub\n", {"password": LOWER_DIGITS}),
    (["edit", "GitHub", "--generate", "password", "--generate", "totp", "--print-generated"],
     r"password\t%s\ntotp\t%s\n" % (DEFAULT_SET, DEFAULT_SET), "OK: Updated: GitHub\n",
     {"password": DEFAULT_SET, "totp": DEFAULT_SET}),
    (["put", "wifi", "home", "--ssid", "net", "--generate", "password", "--print-generated"],
     DEFAULT_SET + r"\n", "OK: Created: home\n", {"password": DEFAULT_SET}),
    (["put", "api_key", "k", "--generate", "key", "--length", "8", "--charset", "upper"],
     None, "OK: Created: k\n", {"key": r"[A-Z]{8}"}),
]


@pytest.mark.parametrize("args,printed,ok,made", GENERATE_CASES,
                         ids=[" ".join(c[0][:2] + c[0][3:5]) for c in GENERATE_CASES])
def test_generated_values_are_stored_and_printed_only_when_asked(gate, cli, agent, github, args,
                                                                 printed, ok, made):
    r = cli(*args)
    assert r.status == 0, r.stderr
    if printed is None:
        assert (r.stdout, r.stderr) == (ok, "")
    else:
        assert re.fullmatch(printed, r.stdout) and r.stderr == ok
    if args[0] == "edit":
        entry = stored(gate, github)
    else:
        entry = next(e for e in gate.entries() if e["title"] == args[2])
    values = {}
    for label, pattern in made.items():
        f = field(entry, label)
        assert f["tier"] == 2
        values[label] = opened(gate, agent, f)
        assert re.fullmatch(pattern, values[label]), values[label]
    if printed is not None:
        lines = r.stdout.splitlines()
        if len(made) == 1:
            assert lines == list(values.values())
        else:
            assert lines == ["%s\t%s" % kv for kv in values.items()]
    if "--charset" in args:  # each named set appears at least once
        sets = args[args.index("--charset") + 1].split(",")
        classes = {"lower": "[a-z]", "digits": "[0-9]", "upper": "[A-Z]"}
        for value in values.values():
            assert all(re.search(classes[s], value) for s in sets)


def test_a_value_that_cannot_be_printed_says_the_entry_was_updated(gate, cli, agent, github):
    with open("/dev/full", "wb") as full:
        r = cli("edit", "GitHub", "--generate", "password", "--print-generated", stdout=full)
    assert r.status == 1
    assert r.stderr == ("TS-2000: the vault updated the entry, but the generated value could not be "
                        "written to stdout: No space left on device; it is stored in the "
                        "entry (password)\n")
    assert opened(gate, agent, field(stored(gate, github), "password")) != "old-password"


# -- refusals: nothing is written ---------------------------------------------------------------

SECRET = ("--{0} is a secret field and must not appear on the command line; use --{0}-file PATH "
          "(or - for stdin), or --generate {0}")

# (arguments, standard input, code, detail, whether the entry is fetched first)
REFUSALS = [
    ([], b"", "TS-2000", "missing <query> (try: tessarin-cli edit GitHub --username bot)", False),
    (["GitHub"], b"", "TS-2000", "nothing to change: name a field (--<field> VALUE, --<field>-file "
                                 "PATH, --generate FIELD, --title, --urls)", False),
    (["GitHub", "--password", "hunter2"], b"", "TS-2000", SECRET.format("password"), False),
    (["GitHub", "--username", ""], b"", "TS-2000",
     "--username: empty value (edit sets fields; it does not clear them)", False),
    (["GitHub", "--password-file", "-"], b"", "TS-2000",
     "--password-file: empty value (edit sets fields; it does not clear them)", False),
    (["GitHub", "--password-file", "-"], b"x" * 262145, "TS-2110",
     "stdin exceeds 262144 bytes (refuse to buffer unbounded input)", False),
    (["GitHub", "--generate", "password", "--length", "7"], b"", "TS-2000",
     "--length must be a number from 8 to 256", False),
    (["GitHub", "--generate", "password", "--length", "257"], b"", "TS-2000",
     "--length must be a number from 8 to 256", False),
    (["GitHub", "--generate", "password", "--charset", "lower,emoji"], b"", "TS-2000",
     "--charset: unknown set 'emoji' (use a comma-separated list of: lower, upper, digits, symbols)",
     False),
    (["GitHub", "--username", "x", "--length", "12"], b"", "TS-2000",
     "--length applies to generated values: add --generate FIELD", False),
    (["GitHub", "--username", "x", "--print-generated"], b"", "TS-2000",
     "--print-generated prints generated values: add --generate FIELD", False),
    (["GitHub", "--password-file", "-", "--generate", "password"], b"pw", "TS-2000",
     "--generate password: the field is given a value too; give one or the other", False),
    (["GitHub", "--id", "x", "--username", "y"], b"", "TS-2000",
     "give either <query> or --id, not both", False),
    (["GitHub", "--notes", "text"], b"", "TS-2000", SECRET.format("notes"), True),
    (["GitHub", "--public-key", "k"], b"", "TS-2000",
     "--public-key is not valid for type 'credential'. Use: " + CREDENTIAL_OPTIONS, True),
    (["GitHub", "--generate", "username"], b"", "TS-2000",
     "--generate username: not a secret field of type 'credential'", True),
    (["GitHub", "--generate", "pin"], b"", "TS-2000",
     "--generate pin: type 'credential' has no such field. Use: " + CREDENTIAL_OPTIONS, True),
    (["a note", "--title", "x"], b"", "TS-2000",
     "entry is type 'note' \u2014 change it with tessarin-cli note update", True),
    (["a memory", "--title", "x"], b"", "TS-2000",
     "entry is type 'memory' \u2014 change it with tessarin-cli memory update", True),
    (["Visa", "--cardholder", "x"], b"", "TS-2048",
     "cannot update: field 'number' is L3 and arrives without its value; sending the entry back would "
     "erase it", True),
]


@pytest.mark.parametrize("args,stdin,code,detail,fetched", REFUSALS,
                         ids=[" ".join(c[0])[:60] or "none" for c in REFUSALS])
def test_refusals_write_nothing(gate, cli, agent, github, args, stdin, code, detail, fetched):
    gate.seed([{"title": "a note", "type": "note"}, {"title": "a memory", "type": "memory"},
               {"title": "Visa", "type": "card",
                "fields": [{"label": "number", "value": "4111111111111111", "tier": 3}]}], agent=agent)
    r = cli("edit", *args, input=stdin)
    assert (r.status, r.stdout, r.stderr) == (1, "", "%s: %s\n" % (code, detail))
    assert "entry.upsert" not in gate.actions()
    assert ("entry.get" in gate.actions()) == fetched


def test_a_reply_for_another_entry_is_refused(gate, cli, agent, github):
    other = dict(stored(gate, github), entry_id="someone-else")
    gate.fault("result", action="entry.get", result=other)
    r = cli("edit", "GitHub", "--username", "x")
    assert r.status == 1 and r.stderr.startswith("TS-2047: entry.get answered for another entry")
    assert "entry.upsert" not in gate.actions()


def test_an_entry_gone_before_the_write_is_reported(gate, cli, agent, github):
    gate.fault("error", action="entry.upsert", code="not_found", message="no entry with id x")
    r = cli("edit", "GitHub", "--username", "x")
    assert (r.status, r.stdout) == (1, "")
    assert r.stderr.startswith("TS-2047")
    assert field(stored(gate, github), "username")["value"] == "octocat"
