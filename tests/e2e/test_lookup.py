"""get, find, totp and delete end to end against the development gate: the option loop, the
search and its failures, field selection and decryption, listings, one-time codes, deletion."""
import base64
import hashlib
import hmac
import itertools
import json
import os
import pathlib
import struct
import subprocess

import pytest

_names = itertools.count()
from conftest import BIN

NOT_INITIALIZED = ("TS-2003: Not initialized. Config file not found at %s/.config/tessarin/config.\n"
                   "  This agent needs enrollment first. Ask the vault owner for\n"
                   "  an enrollment blob, then run: tessarin-cli init\n"
                   "  (Do not attempt to fix this yourself \u2014 a human must provide the blob and key.)\n")

USAGE = {
    "get": ("Usage: tessarin-cli get <query> [--field <label>] [--json] [--fuzzy] [--type <entry type>]\n"
            "  Title match is exact by default (case-insensitive). --fuzzy allows substring.\n"
            "  --type narrows by what the entry IS (api_key, credential, note, ssh_key, totp, \u2026)\n"
            "  \u2014 the disambiguator when two entries share a name, e.g. a console login\n"
            "  (credential) and its API key (api_key). Aliases: api \u2192 api_key, ssh \u2192 ssh_key.\n"
            # Not in the original text: the options it did not name.
            "  --exact restores the default. --id <id> names the entry by its identifier (from\n"
            "  get --json or memory search) in place of <query>.\n"),
    "find": ("Usage: tessarin-cli find <name> [--type <entry type>]\n"
             "  Lists the exact titles of entries whose name contains <name> (\u22654 chars).\n"
             "  Prints titles and types only \u2014 never a value. Fetch one with get \"<title>\".\n"
             # Not in the original text: find's --json.
             "  --json prints them as a JSON array of title, type and id.\n"),
    "delete": ("Usage: tessarin-cli delete <query> [--fuzzy]\n"
               "\n"
               "Delete an entry by exact title (case-insensitive).\n"
               "Must match exactly one entry.\n"
               "\n"
               "Options:\n"
               "--fuzzy    Substring title match (default is exact)\n"
               "--exact    Exact title match (the default)\n"
               "--id <id>  The entry's identifier, in place of <query>\n"),
    "totp": ("Usage: tessarin-cli totp <query> [--fuzzy]\n"
             "  Title match is exact by default. --fuzzy allows substring.\n"
             "  --exact restores the default. --id <id> names the entry by its identifier instead.\n"),
    "render": "Usage: tessarin-cli render <file>  (use - for stdin)\n",
}

SENTENCE = " \u2014 every search and read counts; reaching the hourly limit twice locks this agent"


def quota(minute_used, hour_used, minute_limit=60, hour_limit=600):
    """The quota line the gate's counters give (default limits of the development gate)."""
    parts = []
    if minute_limit:
        parts.append("%d/%d this minute" % (minute_used, minute_limit))
    if hour_limit:
        parts.append("%d/%d this hour" % (hour_used, hour_limit))
    return "read quota: " + ", ".join(parts) + (SENTENCE if hour_limit else "")


FIRST_READ = quota(1, 1)

ID_HINT = "  or by its id, in place of the query: --id <id>\n"


def several(n, query, rows):
    """The TS-2045 detail of a search reply with entries: each (title, id) on its line, then how
    to name one by its id."""
    return ("%d matches for '%s'; fetch one by its exact title:\n" % (n, query)
            + "".join("  %s  id: %s\n" % row for row in rows) + ID_HINT)

OPENROUTER = {
    "title": "OpenRouter", "type": "api_key",
    "fields": [
        {"label": "key", "value": "sk-or-v1-abc", "tier": 2, "kind": "password"},
        {"label": "endpoint", "value": "https://openrouter.ai/api", "tier": 1, "kind": "url"},
        {"label": "number", "value": "4111111111111111", "tier": 3},
        {"label": "bad", "value": "sealed for another label", "tier": 2, "encrypt_label": "other"},
        {"label": "pin", "value": "", "tier": 2},
        {"label": "motd", "value": "a\tb\x1b[31mc\u202ed", "tier": 0},
    ],
    "urls": ["https://a.example", "https://b.example"],
    "notes": "rotate every quarter",
}
# Its field labels as get lists them: its own fields, then the notes and the URLs.
OPENROUTER_LABELS = "key, endpoint, number, bad, pin, motd, notes, url"

LISTING = ("key: sk-or-v1-abc\n"
           "endpoint: https://openrouter.ai/api\n"
           "number: [L3 \u2014 requires hardware key]\n"
           "bad: [L2 \u2014 decrypt failed]\n"
           "pin: \n"
           "motd: a\tb[31mcd\n"
           "notes: rotate every quarter\n"
           "url: https://a.example, https://b.example\n")


@pytest.fixture
def vault(gate, agent):
    """An enrolled agent and OpenRouter seeded with its L2 key; returns {title: id}."""
    return gate.seed([OPENROUTER], agent=agent)


def outcome(r):
    return (r.status, r.stdout, r.stderr)


def search_content(gate):
    """The content of every search.query the gate received."""
    return [json.loads(e)["content"] for e in gate.envelopes() if json.loads(e)["action"] == "search.query"]


def expected_totp(secret_b32, time_ms, digits=6, period=30):
    key = base64.b32decode(secret_b32)
    mac = hmac.new(key, struct.pack(">Q", time_ms // 1000 // period), hashlib.sha1).digest()
    offset = mac[-1] & 0x0F
    value = (struct.unpack(">I", mac[offset:offset + 4])[0] & 0x7FFFFFFF) % 10 ** digits
    return "%0*d" % (digits, value)


# -- the option loop (no configuration needed) ------------------------------------------------

@pytest.mark.parametrize("args,detail", [
    (("get", "-h"), "unexpected: Short('h')"),
    (("find", "-V", "x"), "unexpected: Short('V')"),
    (("get", "a", "b"), 'unexpected: Value("b")'),
    (("delete", "a", "b c"), 'unexpected: Value("b c")'),
    (("totp", "a", 'say "hi"\\'), 'unexpected: Value("say \\"hi\\"\\\\")'),
    (("get", "x", "--verbose"), 'unexpected: Long("verbose")'),
    (("get", "x", "--Field", "key"), 'unexpected: Long("Field")'),
    (("find", "open", "--fuzzy"), 'unexpected: Long("fuzzy")'),
    (("find", "open", "--field", "key"), 'unexpected: Long("field")'),
    (("totp", "x", "--type", "totp"), 'unexpected: Long("type")'),
    (("totp", "x", "--json"), 'unexpected: Long("json")'),
    (("delete", "x", "--field", "key"), 'unexpected: Long("field")'),
    (("get", "x", "--field"), "missing argument for option '--field'"),
    (("get", "x", "--type"), "missing argument for option '--type'"),
    (("find", "x", "--type"), "missing argument for option '--type'"),
    (("get",), "missing <query> (try: tessarin-cli get OpenAI)"),
    (("get", "--json", "--fuzzy", "--field", "key"), "missing <query> (try: tessarin-cli get OpenAI)"),
    (("find",), "missing <name> (try: tessarin-cli find openrouter)"),
    (("find", "--type", "api"), "missing <name> (try: tessarin-cli find openrouter)"),
    (("totp",), "missing <query> (try: tessarin-cli totp GitHub)"),
    (("delete",), "missing <query>"),
    (("delete", "--fuzzy"), "missing <query>"),
    (("get", b"\xff"), "query: not valid UTF-8"),
    (("totp", b"caf\xe9"), "query: not valid UTF-8"),
    (("delete", b"\xc0\x80"), "query: not valid UTF-8"),
    (("find", b"\xfeopen"), "name: not valid UTF-8"),
    (("get", "x", "--field", b"\xff"), "--field: not valid UTF-8"),
    (("get", "x", b"--field=\xff"), "--field: not valid UTF-8"),
    (("get", "x", "--type", b"\xff"), "--type: not valid UTF-8"),
    (("find", "x", "--type", b"\xff"), "--type: not valid UTF-8"),
])
def test_argument_errors_before_any_configuration(cli, args, detail):
    # The host was never enrolled: argument errors win over the missing configuration.
    r = cli(*args)
    assert outcome(r) == (1, "", "TS-2000: " + detail + "\n")


@pytest.mark.parametrize("command", ["get", "find", "delete", "totp", "render"])
@pytest.mark.parametrize("before,after", [((), ()), (("x",), ()), (("x",), ("--bogus", "-h", "y", b"\xff"))])
def test_help_prints_usage_without_configuration(cli, command, before, after):
    # --help ends the command at once: what follows it is not looked at.
    r = cli(command, *before, "--help", *after)
    assert outcome(r) == (0, USAGE[command], "")


@pytest.mark.parametrize("args", [("get", "x"), ("get", "x", "--field", "key"), ("find", "open"),
                                  ("totp", "GitHub"), ("delete", "x", "--fuzzy")])
def test_unenrolled_host(cli, home, args):
    r = cli(*args)
    assert outcome(r) == (1, "", NOT_INITIALIZED % home)


@pytest.mark.parametrize("flags,exact", [
    ((), True),
    (("--exact",), True),
    (("--fuzzy",), False),
    (("--fuzzy", "--exact"), True),
    (("--exact", "--fuzzy"), False),
    (("--fuzzy", "--fuzzy"), False),
    (("--exact", "--fuzzy", "--exact"), True),
])
@pytest.mark.parametrize("command", ["get", "totp", "delete"])
def test_last_of_exact_and_fuzzy_wins(gate, cli, agent, command, flags, exact):
    r = cli(command, "Widget", *flags)
    assert outcome(r) == (1, "", "TS-2046: no entry matched 'Widget'\n  " + FIRST_READ + "\n")
    assert search_content(gate) == [{"exact": exact, "q": "Widget"}]
    assert '"content":{"exact":%s,"q":"Widget"}}' % ("true" if exact else "false") in gate.envelopes()[0]


@pytest.mark.parametrize("given,sent", [
    ("api", "api_key"),
    ("ssh", "ssh_key"),
    ("API", "API"),
    ("Api", "Api"),
    ("api_key", "api_key"),
    ("apis", "apis"),
    ("ssh_key", "ssh_key"),
    ("note", "note"),
])
@pytest.mark.parametrize("command", ["get", "find"])
def test_type_aliases(gate, cli, agent, command, given, sent):
    cli(command, "Widget", "--type", given)
    exact = command == "get"
    assert search_content(gate) == [{"exact": exact, "q": "Widget", "type": sent}]


def test_later_option_value_replaces_the_earlier(gate, cli, vault):
    r = cli("get", "OpenRouter", "--field", "endpoint", "--type=ssh", "--field=key", "--type", "api")
    assert outcome(r) == (0, "sk-or-v1-abc", "")
    assert search_content(gate) == [{"exact": True, "q": "OpenRouter", "type": "api_key"}]


# -- get ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("label,value", [
    ("key", "sk-or-v1-abc"),
    ("KEY", "sk-or-v1-abc"),
    ("Key", "sk-or-v1-abc"),
    ("endpoint", "https://openrouter.ai/api"),
    ("pin", ""),
    ("motd", "a\tb\x1b[31mc\u202ed"),          # a raw value: nothing is filtered
    ("notes", "rotate every quarter"),          # from the data block, decrypted
    ("NOTES", "rotate every quarter"),
    ("url", "https://a.example, https://b.example"),
    ("URL", "https://a.example, https://b.example"),
])
def test_get_field_writes_the_raw_value(gate, cli, vault, label, value):
    r = cli("get", "openrouter", "--field", label)
    assert outcome(r) == (0, value, "")
    assert gate.actions() == ["search.query", "entry.get"]


def test_get_lists_every_field_with_its_marker(gate, cli, vault):
    r = cli("get", "OpenRouter")
    assert outcome(r) == (0, LISTING, "")


def test_get_listing_with_colour_off_by_environment(gate, cli, vault):
    r = cli("get", "OpenRouter", env={"NO_COLOR": "1"})
    assert outcome(r) == (0, LISTING, "")


def test_fields_named_notes_and_url_take_precedence(gate, cli, agent):
    gate.seed([{"title": "Site", "fields": [
        {"label": "Notes", "value": "field notes", "tier": 1},
        {"label": "URL", "value": "https://field.example", "tier": 1}],
        "urls": ["https://data.example"], "notes": "data notes"}], agent=agent)
    assert outcome(cli("get", "Site")) == (0, "Notes: field notes\nURL: https://field.example\n", "")
    assert outcome(cli("get", "Site", "--field", "notes")) == (0, "field notes", "")
    assert outcome(cli("get", "Site", "--field", "url")) == (0, "https://field.example", "")


def test_one_url_and_empty_notes(gate, cli, agent):
    gate.seed([{"title": "Site", "fields": [{"label": "user", "value": "bob"}],
                "urls": ["https://only.example"], "notes_raw": ""}], agent=agent)
    assert outcome(cli("get", "Site")) == (0, "user: bob\nurl: https://only.example\n", "")
    r = cli("get", "Site", "--field", "notes")
    assert outcome(r) == (1, "", "TS-2050: entry has no field named 'notes'; its fields: user, url\n")


def test_tier2_value_opens_under_its_stored_label(gate, cli, agent):
    gate.seed([{"title": "Cloud", "fields": [{"label": "API Key", "value": "ak-123", "tier": 2}]}], agent=agent)
    assert outcome(cli("get", "cloud", "--field", "api KEY")) == (0, "ak-123", "")
    assert outcome(cli("get", "cloud")) == (0, "API Key: ak-123\n", "")


def test_entry_without_fields_prints_nothing(gate, cli, agent):
    gate.seed([{"title": "Bare"}], agent=agent)
    assert outcome(cli("get", "Bare")) == (0, "", "")


def test_tier2_value_of_another_agent_does_not_open(gate, cli, agent):
    other = "lookup-other-%d" % next(_names)
    gate.mint_agent_info(other)
    gate.seed([{"title": "Theirs", "fields": [{"label": "key", "value": "not for you", "tier": 2}]}],
              agent=other)
    assert outcome(cli("get", "Theirs")) == (0, "key: [L2 \u2014 decrypt failed]\n", "")


def test_get_json(gate, cli, vault, agent):
    r = cli("get", "--json", "OpenRouter", "--field", "key")
    raw = gate.call("entry.get", {"id": vault["OpenRouter"]}, agent=agent)["result"]
    expected = json.dumps(raw, indent=2, sort_keys=True, ensure_ascii=False) + "\n"
    assert outcome(r) == (0, expected, "")
    assert r.stdout.endswith("}\n") and not r.stdout.endswith("\n\n")
    assert "sk-or-v1-abc" not in r.stdout and "rotate every quarter" not in r.stdout
    stored = {f["label"]: f["value"] for f in gate.entries()[0]["data"]["fields"]}
    assert json.loads(r.stdout)["data"]["fields"][0]["value"] == stored["key"]
    assert gate.actions() == ["search.query", "entry.get", "entry.get"]


def test_get_json_keys_in_byte_order(gate, cli, agent):
    ids = gate.seed([{"title": "Keys\x1b", "extra_data": {"zeta": 1, "Zeta": [], "\u00e9t\u00e9": {}, "_x": None,
                                                            "a b": "\u2028", "~": {"b": 1, "B": 2, "a": 3}}}],
                    agent=agent)
    r = cli("get", "keys\x1b", "--json")
    raw = gate.call("entry.get", {"id": ids["Keys\x1b"]}, agent=agent)["result"]
    assert outcome(r) == (0, json.dumps(raw, indent=2, sort_keys=True, ensure_ascii=False) + "\n", "")
    assert '"title": "Keys\\u001b"' in r.stdout


def run_into_full_disk(home, *args):
    """Runs the binary with standard output on /dev/full (every write fails with ENOSPC)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(home),
           "SSL_CERT_FILE": os.environ["SSL_CERT_FILE"]}
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([BIN, *args], stdout=full, stderr=subprocess.PIPE, env=env, timeout=60)
    return proc.returncode, proc.stderr.decode()


@pytest.mark.parametrize("args,err", [
    (("get", "OpenRouter", "--field", "key"), "TS-2000: write field: No space left on device\n"),
    (("get", "OpenRouter"), "failed printing to stdout: No space left on device\n"),
    (("get", "OpenRouter", "--json"), "failed printing to stdout: No space left on device\n"),
])
def test_get_output_that_cannot_be_written(gate, home, vault, args, err):
    assert run_into_full_disk(home, *args) == (1, err)


@pytest.mark.parametrize("label,expected", [
    ("Missing", "TS-2050: entry has no field named 'Missing'; its fields: " + OPENROUTER_LABELS),
    ("ke", "TS-2050: entry has no field named 'ke'; its fields: " + OPENROUTER_LABELS),
    ("NUMBER", "TS-2048: field 'number' is L3 \u2014 vault does not release L3 plaintext to agents "
               "(hardware key required)"),
    ("bad", "TS-2049: decrypt field 'bad' failed: TS-0003: Could not decrypt. The data may be corrupt or "
            "the wrong key was used."),
])
def test_get_field_failures(gate, cli, vault, label, expected):
    r = cli("get", "OpenRouter", "--field", label)
    assert outcome(r) == (1, "", expected + "\n")


@pytest.mark.parametrize("fields,listed", [
    ([], "; it has no fields"),
    ([{"label": "Odd\x1b[2J\nLabel\u202e", "value": "v"}, {"label": "token", "value": "t0k3n", "tier": 2}],
     "; its fields: Odd[2JLabel, token"),
])
def test_missing_field_lists_the_labels_never_the_values(gate, cli, agent, fields, listed):
    gate.seed([{"title": "Labels", "fields": fields}], agent=agent)
    r = cli("get", "Labels", "--field", "nope")
    assert outcome(r) == (1, "", "TS-2050: entry has no field named 'nope'" + listed + "\n")


@pytest.mark.parametrize("ciphertext,display", [
    ("!!!!not base64!!!!", "TS-0002: Could not read the encrypted data."),
    (base64.b64encode(b"\x00" * 20).decode(), "TS-0010: Encrypted data is truncated."),
    (base64.b64encode(b"\x00" * 40).decode(), "TS-0003: Could not decrypt. The data may be corrupt or the "
                                              "wrong key was used."),
])
def test_get_field_decrypt_failure_kinds(gate, cli, agent, ciphertext, display):
    gate.seed([{"title": "Broken", "fields": [{"label": "Key", "ciphertext": ciphertext, "tier": 2}]}],
              agent=agent)
    r = cli("get", "Broken", "--field", "key")
    assert outcome(r) == (1, "", "TS-2049: decrypt field 'Key' failed: " + display + "\n")
    assert outcome(cli("get", "Broken")) == (0, "Key: [L2 \u2014 decrypt failed]\n", "")


def test_l3_value_released_by_the_gate_is_still_refused(gate, cli, vault):
    gate.set("release_l3", True)
    r = cli("get", "OpenRouter", "--field", "number")
    assert r.status == 1 and r.stdout == "" and r.stderr.startswith("TS-2048: field 'number' is L3")
    assert "4111" not in cli("get", "OpenRouter").stdout


@pytest.mark.parametrize("args", [("get", "OpenRouter"), ("get", "OpenRouter", "--field", "key")])
def test_entry_without_data_block(gate, cli, vault, args):
    gate.fault("result", action="entry.get",
               result={"entry_id": vault["OpenRouter"], "title": "OpenRouter", "type": "api_key"})
    r = cli(*args)
    assert outcome(r) == (1, "", "TS-2021: entry response had no data block\n")


TWINS = [{"title": "Twin", "created_at": 1000, "fields": [{"label": "k", "value": "one"}]},
         {"title": "twin", "created_at": 2000, "fields": [{"label": "k", "value": "two"}]}]


@pytest.mark.parametrize("extra", [(), ("--json",), ("--field", "k")])
def test_two_entries_with_the_same_title(gate, cli, agent, extra):
    ids = gate.seed(TWINS, agent=agent)
    r = cli("get", "TWIN", *extra)
    assert outcome(r) == (1, "", "TS-2045: " + several(2, "TWIN", ids.items()) + "  " + FIRST_READ + "\n")
    assert gate.actions() == ["search.query"]


def test_several_matches_without_quota(gate, cli, agent):
    ids = gate.seed(TWINS, agent=agent)
    gate.set("search_shape", "plain")
    r = cli("get", "twin")
    assert outcome(r) == (1, "", "TS-2045: " + several(2, "twin", ids.items()))


def test_no_match_without_quota(gate, cli, agent):
    gate.set("search_shape", "plain")
    assert outcome(cli("get", "nothing")) == (1, "", "TS-2046: no entry matched 'nothing'\n")


@pytest.mark.parametrize("limits,line", [
    ((60, 600), quota(1, 1)),
    ((0, 600), quota(1, 1, minute_limit=0)),
    ((60, 0), quota(1, 1, hour_limit=0)),
    ((0, 0), None),
])
def test_quota_note_on_a_failed_resolution(gate, cli, agent, limits, line):
    gate.set("minute_limit", limits[0])
    gate.set("hour_limit", limits[1])
    r = cli("get", "nothing")
    note = "\n  " + line if line else ""
    assert outcome(r) == (1, "", "TS-2046: no entry matched 'nothing'" + note + "\n")


def test_count_shape_with_one_match_is_not_fetched(gate, cli, vault):
    gate.set("search_shape", "count")
    r = cli("get", "OpenRouter", "--field", "key")
    assert outcome(r) == (1, "", "TS-2045: 1 matches for 'OpenRouter'; fetch one by its exact title:\n"
                                 "  OpenRouter (api_key)\n  " + FIRST_READ + "\n")
    assert gate.actions() == ["search.query"]


def test_count_shape_above_the_threshold(gate, cli, agent):
    gate.seed([{"title": "Dup", "type": "api_key"}, {"title": "dup"}, {"title": "DUP", "type": "note"}], agent=agent)
    gate.set("count_threshold", 2)
    r = cli("get", "dup")
    assert outcome(r) == (1, "", "TS-2045: 3 matches for 'dup'; fetch one by its exact title:\n"
                                 "  Dup (api_key)\n  dup (credential)\n  DUP (note)\n  " + FIRST_READ + "\n")


COUNT_QUOTA = {"minute_used": 5, "minute_limit": 0, "hour_used": 7, "hour_limit": 600}


@pytest.mark.parametrize("result,detail", [
    ({"count": 3, "titles": [], "matches": [], "quota": COUNT_QUOTA},
     "3 matches for 'Widget'; narrow your query (a longer name, or --type <entry type>)\n  "
     + quota(5, 7, minute_limit=0)),
    ({"count": 4},
     "4 matches for 'Widget'; narrow your query (a longer name, or --type <entry type>)"),
    ({"count": 0, "quota": COUNT_QUOTA}, "no entry matched 'Widget'\n  " + quota(5, 7, minute_limit=0)),
    ({"count": 2, "titles": ["Tab\tbed", "Line\nfeed\r", "Esc\x1b[2Jape", "Del\x7fC1\u0085\u009f end\u00a0",
                             "Bidi\u202eok"]},
     "2 matches for 'Widget'; fetch one by its exact title:\n  Tabbed\n  Linefeed\n  Esc[2Jape\n"
     "  DelC1 end\u00a0\n  Bidiok"),
    ({"count": 2, "titles": ["ignored"], "matches": [{"title": "A\x1b", "type": "t\x07"}, {"type": "note"},
                                                      {"title": "B"}]},
     "2 matches for 'Widget'; fetch one by its exact title:\n  A (t)\n   (note)\n  B"),
    ({"entries": [{"entry_id": "e1", "title": "One"}, {"entry_id": "e2"}, {"entry_id": "e3", "title": "x\ny"}]},
     several(3, "Widget", [("One", "e1"), ("xy", "e3")]).rstrip("\n")),
    ({"entries": [{"entry_id": "e\x1b[2J1", "title": "A\u202e"}, {"entry_id": "e2", "title": "B"}]},
     several(2, "Widget", [("A", "e[2J1"), ("B", "e2")]).rstrip("\n")),
    ({"entries": [{"entry_id": "e1"}, {"entry_id": "e2"}]},
     "2 matches for 'Widget'; narrow your query (a longer name, or --type <entry type>)"),
])
def test_search_replies_that_do_not_resolve(gate, cli, agent, result, detail):
    gate.fault("result", action="search.query", result=result)
    r = cli("get", "Widget")
    code = "TS-2046" if "no entry matched" in detail else "TS-2045"
    assert outcome(r) == (1, "", code + ": " + detail + "\n")


def test_type_narrows_between_same_titles(gate, cli, agent):
    gate.seed([{"title": "Stripe", "type": "credential", "fields": [{"label": "key", "value": "login", "tier": 2}]},
               {"title": "Stripe", "type": "api_key", "fields": [{"label": "key", "value": "sk_live", "tier": 2}]}],
              agent=agent)
    assert outcome(cli("get", "Stripe", "--type", "api", "--field", "key")) == (0, "sk_live", "")
    assert outcome(cli("get", "Stripe", "--type", "credential", "--field", "key")) == (0, "login", "")
    r = cli("get", "Stripe", "--field", "key")
    assert r.status == 1 and r.stdout == ""
    ids = [e["entry_id"] for e in gate.entries()]
    assert r.stderr.startswith("TS-2045: " + several(2, "Stripe", [("Stripe", i) for i in ids]))


def test_fuzzy_get(gate, cli, vault):
    assert outcome(cli("get", "openr", "--field", "key")) == (1, "", "TS-2046: no entry matched 'openr'\n  "
                                                              + FIRST_READ + "\n")
    assert outcome(cli("get", "openr", "--fuzzy", "--field", "key")) == (0, "sk-or-v1-abc", "")


def test_gate_errors_pass_through(gate, cli, vault):
    gate.fault("error", action="entry.get", code="not_found", message="gone")
    assert outcome(cli("get", "OpenRouter")) == (1, "", "TS-2047: gate error not_found: gone\n")
    gate.fault("result", action="search.query", result={"what": 1})
    r = cli("get", "OpenRouter", "--json")
    assert outcome(r) == (1, "", "TS-2021: search.query response shape: data did not match any variant of "
                                 "untagged enum SearchResponse\n")


# -- find ---------------------------------------------------------------------------------------

FINDABLE = [OPENROUTER, {"title": "OpenAI", "type": "credential"}, {"title": "Other", "type": "note"},
            {"title": "Zebra"}]


def test_find_lists_titles_and_types(gate, cli, agent):
    gate.seed(FINDABLE, agent=agent)
    r = cli("find", "open")
    assert outcome(r) == (0, "OpenAI (credential)\nOpenRouter (api_key)\n", FIRST_READ + "\n")
    assert search_content(gate) == [{"exact": False, "q": "open"}]
    assert gate.actions() == ["search.query"]
    assert "sk-or" not in r.stdout


def test_find_with_type(gate, cli, agent):
    gate.seed(FINDABLE, agent=agent)
    assert outcome(cli("find", "open", "--type", "api")) == (0, "OpenRouter (api_key)\n", FIRST_READ + "\n")


@pytest.mark.parametrize("limits,warning", [
    ((60, 600), quota(1, 1) + "\n"),
    ((7, 600), quota(1, 1, minute_limit=7) + "\n"),
    ((0, 600), quota(1, 1, minute_limit=0) + "\n"),
    ((60, 0), quota(1, 1, hour_limit=0) + "\n"),
    ((0, 0), ""),
])
def test_find_quota_warning(gate, cli, agent, limits, warning):
    gate.seed(FINDABLE, agent=agent)
    gate.set("minute_limit", limits[0])
    gate.set("hour_limit", limits[1])
    assert outcome(cli("find", "zebra")) == (0, "Zebra (credential)\n", warning)


def test_find_warning_counts_earlier_reads(gate, cli, agent):
    gate.seed(FINDABLE, agent=agent)
    cli("get", "Zebra")
    assert outcome(cli("find", "zebra")) == (0, "Zebra (credential)\n", quota(3, 3) + "\n")


def test_find_titles_are_made_one_line(gate, cli, agent):
    gate.seed([{"title": "Evil\nTitle\x1b[2J\rX\u202eY\u2066Z\tW", "type": "no\x1bte"},
               {"title": "Long " + "x" * 300},
               {"title": "Wide " + "\u00e9" * 300}], agent=agent)
    gate.set("search_shape", "plain")
    r = cli("find", "itle")
    assert outcome(r) == (0, "EvilTitle[2JXYZW (note)\n", "")
    r = cli("find", "long")
    assert outcome(r) == (0, ("Long " + "x" * 300)[:200] + "\n", "")
    r = cli("find", "wide")
    assert outcome(r) == (0, ("Wide " + "\u00e9" * 300)[:200] + "\n", "")


def test_find_no_match(gate, cli, agent):
    gate.seed(FINDABLE, agent=agent)
    assert outcome(cli("find", "nothing")) == (1, "", "TS-2046: no entry matched 'nothing'\n  " + FIRST_READ + "\n")


def test_find_short_name_is_checked_by_the_gate(gate, cli, agent):
    r = cli("find", "op")
    assert outcome(r) == (1, "", "TS-2047: gate error query_too_short: a substring search needs at least 4 "
                                 "characters\n")
    assert search_content(gate) == [{"exact": False, "q": "op"}]


def test_find_count_shape_lists_matches(gate, cli, agent):
    gate.seed(FINDABLE, agent=agent)
    gate.set("search_shape", "count")
    assert outcome(cli("find", "open")) == (0, "OpenAI (credential)\nOpenRouter (api_key)\n", FIRST_READ + "\n")


@pytest.mark.parametrize("result,out", [
    ({"count": 2, "titles": ["Alpha\x1b", "Beta\nGamma"], "quota": COUNT_QUOTA}, "Alpha\nBetaGamma\n"),
    ({"count": 2, "titles": ["x"], "matches": [{"title": "M"}, {"title": "N", "type": "note"}]}, "M\nN (note)\n"),
    ({"count": 1, "titles": ["Solo"]}, "Solo\n"),
    ([{"entry_id": "e1", "title": "Plain", "type": "api_key"}, {"entry_id": "e2"}], "Plain (api_key)\n\n"),
])
def test_find_replies_of_every_shape(gate, cli, agent, result, out):
    gate.fault("result", action="search.query", result=result)
    warning = quota(5, 7, minute_limit=0) + "\n" if isinstance(result, dict) and "quota" in result else ""
    assert outcome(cli("find", "Widget")) == (0, out, warning)


@pytest.mark.parametrize("result,err", [
    ({"count": 3, "quota": COUNT_QUOTA},
     "TS-2045: 3 matches for 'Widget'; narrow your query (a longer name, or --type <entry type>)\n  "
     + quota(5, 7, minute_limit=0) + "\n"),
    ({"count": 0, "titles": ["ignored"]}, "TS-2046: no entry matched 'Widget'\n"),
    ({"entries": []}, "TS-2046: no entry matched 'Widget'\n"),
    ([], "TS-2046: no entry matched 'Widget'\n"),
])
def test_find_replies_without_lines(gate, cli, agent, result, err):
    gate.fault("result", action="search.query", result=result)
    assert outcome(cli("find", "Widget")) == (1, "", err)


def test_find_json_lists_titles_types_and_ids_in_order(gate, cli, agent):
    ids = gate.seed(FINDABLE, agent=agent)
    r = cli("find", "open", "--json")
    assert r.status == 0 and r.stderr == FIRST_READ + "\n"
    assert r.stdout == json.dumps([{"id": ids["OpenAI"], "title": "OpenAI", "type": "credential"},
                                   {"id": ids["OpenRouter"], "title": "OpenRouter", "type": "api_key"}],
                                  indent=2) + "\n"
    assert "sk-or" not in r.stdout


# (the search reply, what find --json prints: a list of matches or the count; None: no match)
@pytest.mark.parametrize("result,printed", [
    ({"count": 2, "matches": [{"title": "M\x1b"}, {"title": "N", "type": "note"}]},
     [{"id": None, "title": "M\x1b", "type": None}, {"id": None, "title": "N", "type": "note"}]),
    ({"count": 1, "titles": ["Solo"]}, [{"id": None, "title": "Solo", "type": None}]),
    ({"count": 3, "titles": [], "matches": []}, {"count": 3}),
    ([{"entry_id": "e1", "title": "Plain", "type": "api_key"}, {"entry_id": "e2"}],
     [{"id": "e1", "title": "Plain", "type": "api_key"}, {"id": "e2", "title": None, "type": None}]),
    ({"count": 0, "titles": ["ignored"]}, None),
    ({"entries": []}, None),
])
def test_find_json_of_every_reply_shape(gate, cli, agent, result, printed):
    gate.fault("result", action="search.query", result=result)
    r = cli("find", "Widget", "--json")
    if printed is None:
        assert outcome(r) == (1, "", "TS-2046: no entry matched 'Widget'\n")
    else:
        assert (r.status, json.loads(r.stdout), r.stderr) == (0, printed, "")
        assert r.stdout == json.dumps(printed, indent=2) + "\n"


# -- totp ---------------------------------------------------------------------------------------

SECRET_B32 = "JBSWY3DPEHPK3PXP"


def leading_zero_time():
    """A fixed time whose code starts with 0, so that zero padding is visible."""
    t = 1_700_000_000_000
    while not expected_totp(SECRET_B32, t).startswith("0"):
        t += 30_000
    return t


@pytest.mark.parametrize("time_ms", [1_700_000_000_000, 59_000, leading_zero_time()])
def test_totp_prints_the_code(gate, cli, agent, time_ms):
    ids = gate.seed([{"title": "GitHub", "type": "totp",
                      "fields": [{"label": "secret", "value": SECRET_B32, "tier": 2, "kind": "totp"}]}], agent=agent)
    gate.set("fixed_time_ms", time_ms)
    r = cli("totp", "github")
    assert outcome(r) == (0, expected_totp(SECRET_B32, time_ms) + "\n", "")
    assert gate.envelopes()[1].endswith('"content":{"id":"%s"}}' % ids["GitHub"])
    assert gate.actions() == ["search.query", "ext.totp"]


def test_totp_fuzzy(gate, cli, agent):
    gate.seed([{"title": "GitHub", "fields": [{"label": "totp", "value": SECRET_B32, "tier": 1}]}], agent=agent)
    gate.set("fixed_time_ms", 1_234_567_890_000)
    assert outcome(cli("totp", "gith", "--fuzzy")) == (0, expected_totp(SECRET_B32, 1_234_567_890_000) + "\n", "")


@pytest.mark.parametrize("result,message", [
    ({"token": "123456"}, "missing field `code`"),
    ({"code": 123456}, "invalid type: integer, expected a string"),
    ("123456", "invalid type: string, expected a one-time code answer"),
    (None, "invalid type: null, expected a one-time code answer"),
])
def test_totp_wrong_result_shape(gate, cli, agent, result, message):
    gate.seed([{"title": "GitHub", "fields": [{"label": "totp", "value": SECRET_B32}]}], agent=agent)
    gate.fault("result", action="ext.totp", result=result)
    r = cli("totp", "GitHub")
    assert outcome(r) == (1, "", "TS-2021: ext.totp response shape: " + message + "\n")


def test_totp_array_form_and_extra_keys(gate, cli, agent):
    gate.seed([{"title": "GitHub", "fields": [{"label": "totp", "value": SECRET_B32}]}], agent=agent)
    gate.fault("result", action="ext.totp", result=["012345", 17])
    assert outcome(cli("totp", "GitHub")) == (0, "012345\n", "")
    gate.fault("result", action="ext.totp", result={"code": "987654", "expires_in": 3, "period": 30})
    assert outcome(cli("totp", "GitHub")) == (0, "987654\n", "")


def test_totp_resolution_failures(gate, cli, agent):
    ids = gate.seed(TWINS, agent=agent)
    r = cli("totp", "twin")
    assert outcome(r) == (1, "", "TS-2045: " + several(2, "twin", ids.items()) + "  " + FIRST_READ + "\n")
    assert gate.actions() == ["search.query"]


# -- delete -------------------------------------------------------------------------------------

@pytest.mark.parametrize("query,flags", [("old KEY", ()), ("Old Key", ("--exact",)), ("d ke", ("--fuzzy",))])
def test_delete_prints_the_query_as_typed(gate, cli, agent, query, flags):
    ids = gate.seed([{"title": "Old Key"}, {"title": "Keeper"}], agent=agent)
    r = cli("delete", query, *flags)
    assert outcome(r) == (0, "OK: Deleted: %s\n" % query, "")
    assert [e["title"] for e in gate.entries()] == ["Keeper"]
    assert gate.actions() == ["search.query", "entry.delete"]
    assert gate.envelopes()[1].endswith('"content":{"id":"%s"}}' % ids["Old Key"])


def test_delete_query_is_made_safe_on_the_terminal_line(gate, cli, agent):
    gate.seed([{"title": "Odd\u202etitle"}], agent=agent)
    assert outcome(cli("delete", "odd\u202eTITLE")) == (0, "OK: Deleted: oddTITLE\n", "")
    assert gate.entries() == []


def test_delete_refuses_several_matches(gate, cli, agent):
    ids = gate.seed(TWINS, agent=agent)
    r = cli("delete", "twin")
    assert outcome(r) == (1, "", "TS-2045: " + several(2, "twin", ids.items()) + "  " + FIRST_READ + "\n")
    assert len(gate.entries()) == 2
    assert gate.actions() == ["search.query"]


def twin_items(kind):
    """Two entries of one type whose titles differ only in case, each with a one-time secret."""
    fields = [{"label": "summary", "value": "s", "tier": 2}, {"label": "content", "value": "c", "tier": 2},
              {"label": "status", "value": "active"}, {"label": "totp", "value": SECRET_B32}]
    return [{"title": t, "type": kind, "fields": fields} for t in ("Twin", "twin")]


# (the entries' type, the command before its query, what it takes after it)
DUPLICATE_COMMANDS = [
    ("credential", ("get",), ()),
    ("credential", ("get",), ("--field", "status")),
    ("credential", ("totp",), ()),
    ("credential", ("delete",), ()),
    ("note", ("note", "get"), ()),
    ("note", ("note", "delete"), ()),
    ("memory", ("memory", "get"), ()),
    ("memory", ("memory", "update"), ("--status", "archived")),
    ("memory", ("memory", "delete"), ()),
]


@pytest.mark.parametrize("kind,command,extra", DUPLICATE_COMMANDS,
                         ids=[" ".join(c + e) for _, c, e in DUPLICATE_COMMANDS])
def test_duplicates_list_their_ids_and_an_id_reaches_one(gate, cli, agent, kind, command, extra):
    ids = gate.seed(twin_items(kind), agent=agent)
    r = cli(*command, "twin", *extra)
    assert outcome(r) == (1, "", "TS-2045: " + several(2, "twin", ids.items()) + "  " + FIRST_READ + "\n")
    assert len(gate.entries()) == 2
    # Either identifier from the listing names exactly that entry.
    r = cli(*command, "--id", ids["twin"], *extra)
    assert r.status == 0, r.stderr
    assert ids["twin"] in gate.envelopes()[-1]


def test_delete_without_match(gate, cli, agent):
    r = cli("delete", "ghost")
    assert outcome(r) == (1, "", "TS-2046: no entry matched 'ghost'\n  " + FIRST_READ + "\n")
    assert gate.actions() == ["search.query"]


def test_delete_refused_by_the_gate(gate, cli, agent):
    gate.seed([{"title": "Old Key"}], agent=agent)
    gate.fault("error", action="entry.delete", code="forbidden", message="not yours")
    r = cli("delete", "Old Key")
    assert outcome(r) == (1, "", "TS-2047: gate error forbidden: not yours\n")
    assert len(gate.entries()) == 1
