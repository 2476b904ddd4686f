"""render end to end against the development gate: the reference grammar, the caps, resolution
through search and fetch, the warning line, and the template reader's failures."""
import itertools
import json
import os
import pathlib
import subprocess

import pytest

from conftest import BIN

WARNING = ("warning: render wrote %d secret field(s) to stdout \u2014 do not capture this in an agent "
           "transcript; pipe only to the local consumer\n")
NOT_INITIALIZED = ("TS-2003: Not initialized. Config file not found at %s/.config/tessarin/config.\n"
                   "  This agent needs enrollment first. Ask the vault owner for\n"
                   "  an enrollment blob, then run: tessarin-cli init\n"
                   "  (Do not attempt to fix this yourself \u2014 a human must provide the blob and key.)\n")
USAGE = "Usage: tessarin-cli render <file>  (use - for stdin)\n"
LIMIT = 262144
KEY = "sk-or-v1-abc"

ENTRIES = [
    {"title": "openrouter", "type": "api_key",
     "fields": [{"label": "key", "value": KEY, "tier": 2},
                {"label": "number", "value": "4111111111111111", "tier": 3},
                {"label": "bad", "value": "sealed for another label", "tier": 2, "encrypt_label": "other"},
                {"label": "pin", "value": "", "tier": 2},
                {"label": "plain", "value": "p0 \"quoted\"\n", "tier": 0}],
     "urls": ["https://o.example"], "notes": "note text"},
    {"title": "prod-db", "fields": [{"label": "uri", "value": "postgres://u:p@h/db", "tier": 2}]},
    {"title": "a/b", "fields": [{"label": "c", "value": "slashed", "tier": 1}]},
    {"title": "Twin", "fields": [{"label": "f", "value": "1"}]},
    {"title": "twin", "fields": [{"label": "f", "value": "2"}]},
]


@pytest.fixture
def vault(gate, agent):
    return gate.seed(ENTRIES, agent=agent)


@pytest.fixture
def render(cli, tmp_path):
    """render(text) writes the template to a file and renders it; render(text, stdin=True) pipes it."""
    counter = itertools.count()

    def run(text, stdin=False):
        data = text.encode() if isinstance(text, str) else text
        if stdin:
            return cli("render", "-", input=data)
        path = tmp_path / ("template-%d" % next(counter))
        path.write_bytes(data)
        return cli("render", str(path))

    return run


def outcome(r):
    return (r.status, r.stdout, r.stderr)


# The pairs of a template are resolved at once: the gate sees their requests in any order.
def searched(gate):
    return [json.loads(e)["content"]["q"] for e in gate.envelopes() if json.loads(e)["action"] == "search.query"]


# -- arguments ----------------------------------------------------------------------------------

@pytest.mark.parametrize("args,detail", [
    ((), "missing <file> (try: tessarin-cli render config.json)"),
    (("-h",), "unexpected: Short('h')"),
    (("a", "b"), 'unexpected: Value("b")'),
    (("a", "--json"), 'unexpected: Long("json")'),
    ((b"t\xff.json",), "file: not valid UTF-8"),
])
def test_argument_errors(cli, args, detail):
    assert outcome(cli("render", *args)) == (1, "", "TS-2000: " + detail + "\n")


def test_help(cli):
    assert outcome(cli("render", "--help", "--bogus")) == (0, USAGE, "")


# -- templates without references: no configuration, no vault ----------------------------------

@pytest.mark.parametrize("text", [
    b"",
    b"no newline at the end",
    b"line one\r\nline two\n\n",
    b'{"api_key": "tessarin:/openrouter/key", "x": "TESSARIN://a/b", "y": "tessarin:x"}\n',
    "caf\u00e9 \u202e \x1b[31m \x00 tab\there\n".encode(),
    b"x" * LIMIT,
])
@pytest.mark.parametrize("stdin", [False, True])
def test_template_without_reference_is_copied_byte_for_byte(render, text, stdin):
    # The host was never enrolled.
    r = render(text, stdin=stdin)
    assert (r.status, r.out, r.err) == (0, text, b"")


# -- the grammar (checked before the configuration is loaded) -----------------------------------

@pytest.mark.parametrize("text,detail", [
    ("tessarin:// x", "line 1: empty `tessarin://` reference"),
    ("a\nb\ntessarin://", "line 3: empty `tessarin://` reference"),
    ('"tessarin://"', "line 1: empty `tessarin://` reference"),
    ("x\n\n db = tessarin://prod db/uri\n", "line 3: tessarin://prod \u2014 missing /field"),
    ("a\r\nb\r\ntessarin://x,", "line 3: tessarin://x \u2014 missing /field"),
    ("tessarin://entry/", "line 1: tessarin://entry/ \u2014 empty entry or field"),
    ("tessarin:///field", "line 1: tessarin:///field \u2014 empty entry or field"),
    ("tessarin:///", "line 1: tessarin:/// \u2014 empty entry or field"),
    ("tessarin://a/b/ tail", "line 1: tessarin://a/b/ \u2014 empty entry or field"),
    ("tessarin://ok/f\ntessarin://bad tessarin:// ", "line 2: tessarin://bad \u2014 missing /field"),
    ("tessarin://ok/f\n" * 128 + "tessarin://bad", "line 129: tessarin://bad \u2014 missing /field"),
], ids=lambda v: v[:40] if isinstance(v, str) else None)
def test_grammar_errors(render, text, detail):
    assert outcome(render(text)) == (1, "", "TS-2062: " + detail + "\n")


def test_reference_cap_counts_occurrences(render):
    assert outcome(render("tessarin://a/b\n" * 129)) == (1, "", "TS-2061: more than 128 references in template\n")
    # The first error in text order wins.
    r = render("tessarin://bad\n" + "tessarin://a/b\n" * 129)
    assert outcome(r) == (1, "", "TS-2062: line 1: tessarin://bad \u2014 missing /field\n")
    r = render("tessarin://a/b\n" * 129 + "tessarin://bad\n")
    assert outcome(r) == (1, "", "TS-2061: more than 128 references in template\n")


@pytest.mark.parametrize("text", ["x=tessarin://openrouter/key\n",
                                  " ".join("tessarin://n%d/f" % i for i in range(11))])
def test_a_template_with_references_needs_the_configuration(render, home, text):
    assert outcome(render(text)) == (1, "", NOT_INITIALIZED % home)


# -- resolution ---------------------------------------------------------------------------------

@pytest.mark.parametrize("stdin", [False, True])
def test_json_template(gate, render, vault, stdin):
    text = '{"api_key": "tessarin://openrouter/key", "db": "tessarin://prod-db/uri"}'
    r = render(text, stdin=stdin)
    assert outcome(r) == (0, '{"api_key": "%s", "db": "postgres://u:p@h/db"}' % KEY, WARNING % 2)
    assert sorted(gate.actions()) == sorted(["search.query", "entry.get"] * 2)
    assert sorted(searched(gate)) == ["openrouter", "prod-db"]


@pytest.mark.parametrize("terminator", ["\t", "\n", "\r", " ", '"', "'", ",", "}", ""])
def test_terminators_stay(gate, render, vault, terminator):
    r = render("k=tessarin://openrouter/key" + terminator + ("end" if terminator else ""))
    assert outcome(r) == (0, "k=" + KEY + terminator + ("end" if terminator else ""), WARNING % 1)


@pytest.mark.parametrize("follower", [":", ";", ")", "]", "{", "\u00a0", "?x=1"])
def test_other_characters_belong_to_the_field(gate, render, vault, follower):
    r = render("k=tessarin://openrouter/key" + follower + " rest")
    assert outcome(r) == (1, "", "TS-2063: line 1: tessarin://openrouter/key%s \u2014 field not found\n" % follower)


@pytest.mark.parametrize("reference,value", [
    ("tessarin://openrouter/KEY", KEY),
    ("tessarin://OPENROUTER/Key", KEY),
    ("tessarin://openrouter/notes", "note text"),
    ("tessarin://openrouter/pin", ""),
    ("tessarin://openrouter/plain", "p0 \"quoted\"\n"),
    ("tessarin://a/b/c", "slashed"),
])
def test_resolved_values(gate, render, vault, reference, value):
    r = render("'" + reference + "'\n")
    assert outcome(r) == (0, "'" + value + "'\n", WARNING % 1)


def test_entry_text_may_hold_a_slash(gate, render, vault):
    render("tessarin://a/b/c")
    assert searched(gate) == ["a/b"]


def test_search_is_exact_without_type(gate, render, vault):
    render("tessarin://openrouter/key")
    assert [json.loads(e)["content"] for e in gate.envelopes()] == [{"exact": True, "q": "openrouter"},
                                                                    {"id": vault["openrouter"]}]


def test_tier2_value_opens_under_its_stored_label(gate, render, agent):
    gate.seed([{"title": "cloud", "fields": [{"label": "api_key", "value": "ak-123", "tier": 2}]}], agent=agent)
    assert outcome(render("k=tessarin://cloud/API_KEY")) == (0, "k=ak-123", WARNING % 1)


def test_same_reference_five_times_costs_one_search_and_one_fetch(gate, render, vault):
    text = "a=tessarin://openrouter/key\nb=tessarin://openrouter/key,tessarin://openrouter/key\n" \
           "c: 'tessarin://openrouter/key' tessarin://openrouter/key"
    r = render(text)
    assert outcome(r) == (0, text.replace("tessarin://openrouter/key", KEY), WARNING % 1)
    assert sorted(gate.actions()) == sorted(["search.query", "entry.get"])


def test_each_distinct_pair_costs_a_search_and_a_fetch(gate, render, vault):
    r = render("tessarin://openrouter/key tessarin://openrouter/plain tessarin://openrouter/key")
    assert outcome(r) == (0, "%s p0 \"quoted\"\n %s" % (KEY, KEY), WARNING % 2)
    assert sorted(gate.actions()) == sorted(["search.query", "entry.get"] * 2)


def test_pairs_are_compared_case_sensitively(gate, render, vault):
    r = render("tessarin://openrouter/key tessarin://openrouter/KEY tessarin://OpenRouter/key")
    assert outcome(r) == (0, " ".join([KEY] * 3), WARNING % 3)
    assert sorted(gate.actions()) == sorted(["search.query", "entry.get"] * 3)
    assert sorted(searched(gate)) == ["OpenRouter", "openrouter", "openrouter"]


def test_128_references_pass(gate, render, vault):
    r = render("tessarin://openrouter/key\n" * 128)
    assert outcome(r) == (0, (KEY + "\n") * 128, WARNING % 1)


def test_129_references_fail_before_any_request(gate, render, vault):
    r = render("tessarin://openrouter/key\n" * 129)
    assert outcome(r) == (1, "", "TS-2061: more than 128 references in template\n")
    assert gate.requests() == []


def names_template(names):
    return "\n".join("%s=tessarin://%s/f" % (n, n) for n in names)


@pytest.mark.parametrize("names", [
    ["GitHub", "github"] + ["n%d" % i for i in range(9)],
    ["n%d" % i for i in range(11)],
    ["n%d" % i for i in range(30)],
])
def test_distinct_name_cap_applies_before_any_request(gate, render, agent, names):
    gate.seed([{"title": n, "fields": [{"label": "f", "value": n}]} for n in ["GitHub"] + names[2:]], agent=agent)
    r = render(names_template(names))
    assert outcome(r) == (1, "", "TS-2061: %d distinct entries referenced (max 10). render is not a bulk "
                                 "extraction tool \u2014 split your config or split your run.\n" % len(names))
    assert gate.requests() == []


def test_ten_distinct_names_pass(gate, render, agent):
    names = ["GitHub", "github"] + ["n%d" % i for i in range(8)]
    gate.seed([{"title": n, "fields": [{"label": "f", "value": "v-" + n}]} for n in ["GitHub"] + names[2:]],
              agent=agent)
    r = render(names_template(names) + "\n")
    expected = "".join("%s=v-%s\n" % (n, "GitHub" if n == "github" else n) for n in names)
    assert outcome(r) == (0, expected, WARNING % 10)
    assert sorted(gate.actions()) == sorted(["search.query", "entry.get"] * 10)


def test_distinct_entry_cap_after_resolution(gate, render, agent):
    # Ten names, eleven pairs; a gate whose answers change between two searches for the same
    # name makes them resolve to eleven entries.
    ids = gate.seed([{"title": "E%d" % k, "fields": [{"label": "f", "value": "f%d" % k},
                                                    {"label": "g", "value": "g%d" % k}]} for k in range(11)],
                    agent=agent)
    # N0 is searched twice (for f and for g): once it finds E0, once E10.
    for k in range(11):
        gate.fault("result", action="search.query", when={"q": "N%d" % (k % 10)},
                   result={"entries": [{"entry_id": ids["E%d" % k], "title": "E%d" % k}]})
    text = "tessarin://N0/f tessarin://N0/g " + " ".join("tessarin://N%d/f" % i for i in range(1, 10))
    r = render(text)
    assert outcome(r) == (1, "", "TS-2061: more than 10 distinct vault entries after resolution \u2014 split your "
                                 "config or split your run.\n")
    assert sorted(gate.actions()) == sorted(["search.query", "entry.get"] * 11)


def test_ten_distinct_entries_after_resolution_pass(gate, render, agent):
    ids = gate.seed([{"title": "E%d" % k, "fields": [{"label": "f", "value": "f%d" % k},
                                                    {"label": "g", "value": "g%d" % k}]} for k in range(10)],
                    agent=agent)
    for k in [0, 0] + list(range(1, 10)):
        gate.fault("result", action="search.query", when={"q": "N%d" % k},
                   result={"entries": [{"entry_id": ids["E%d" % k], "title": "E%d" % k}]})
    text = "tessarin://N0/f tessarin://N0/g " + " ".join("tessarin://N%d/f" % i for i in range(1, 10))
    r = render(text)
    assert outcome(r) == (0, "f0 g0 " + " ".join("f%d" % i for i in range(1, 10)), WARNING % 11)


def peak(gate, action):
    """How many requests of the action the gate served at once, at most."""
    return max(q["in_flight"] for q in gate.requests() if q["action"] == action)


def test_pairs_are_resolved_at_once(gate, render, agent):
    gate.seed([{"title": "e%d" % k, "fields": [{"label": "f", "value": "v%d" % k}]} for k in range(4)],
              agent=agent)
    gate.set("answer_delay", {"search.query": 0.3, "entry.get": 0.3})
    r = render("".join("%d=tessarin://e%d/f\n" % (k, k) for k in range(4)))
    assert outcome(r) == (0, "".join("%d=v%d\n" % (k, k) for k in range(4)), WARNING % 4)
    assert peak(gate, "search.query") == 4
    assert peak(gate, "entry.get") >= 2


def test_the_first_failing_reference_in_text_order_wins_though_a_later_one_fails_first(gate, render, vault):
    gate.fault("delay", action="search.query", when={"q": "slow"}, seconds=1)
    r = render("a=tessarin://slow/x\nb=tessarin://nope/y\nc=tessarin://openrouter/key\n")
    assert outcome(r) == (1, "", "TS-2063: line 1: tessarin://slow/x \u2014 entry not found\n")


@pytest.mark.parametrize("first,expected", [
    ("nope", "entry not found"),
    ("dup", "multiple matches; be more specific"),
])
def test_no_entry_is_fetched_while_an_earlier_reference_is_unresolved(gate, render, agent, first, expected):
    # The first reference's search is answered last; the nine after it resolve at once. None of
    # their secrets may be released for a command that fails at the first.
    gate.seed([{"title": "v%d" % k, "fields": [{"label": "f", "value": "secret %d" % k}]} for k in range(9)]
              + [{"title": "dup", "fields": []}, {"title": "dup", "fields": []}], agent=agent)
    gate.fault("delay", action="search.query", when={"q": first}, seconds=1)
    text = "tessarin://%s/f\n" % first + "".join("tessarin://v%d/f\n" % k for k in range(9))
    r = render(text)
    assert outcome(r) == (1, "", "TS-2063: line 1: tessarin://%s/f \u2014 %s\n" % (first, expected))
    assert "entry.get" not in gate.actions()


@pytest.mark.parametrize("text,expected", [
    ("x=tessarin://openrouter/number", "TS-2048: line 1: tessarin://openrouter/number is L3 \u2014 vault never "
                                       "releases L3 plaintext to agents"),
    ("\n\nx=tessarin://nope/key", "TS-2063: line 3: tessarin://nope/key \u2014 entry not found"),
    ("x=tessarin://TWIN/f", "TS-2063: line 1: tessarin://TWIN/f \u2014 multiple matches; be more specific"),
    ("x=tessarin://openrouter/missing", "TS-2063: line 1: tessarin://openrouter/missing \u2014 field not found"),
    ("x=tessarin://openrouter/url", "TS-2063: line 1: tessarin://openrouter/url \u2014 field not found"),
    ("x=tessarin://openrouter/bad", "TS-2049: line 1: decrypt failed for tessarin://openrouter/bad: TS-0003: "
                                    "Could not decrypt. The data may be corrupt or the wrong key was used."),
    # The first failing reference in order of appearance wins.
    ("tessarin://openrouter/key\ntessarin://nope/x\ntessarin://openrouter/number",
     "TS-2063: line 2: tessarin://nope/x \u2014 entry not found"),
    ("tessarin://openrouter/number\ntessarin://nope/x", "TS-2048: line 1: tessarin://openrouter/number is L3 "
                                                        "\u2014 vault never releases L3 plaintext to agents"),
])
def test_resolution_failures_write_nothing(gate, render, vault, text, expected):
    assert outcome(render(text)) == (1, "", expected + "\n")


def test_l3_value_released_by_the_gate_is_still_refused(gate, render, vault):
    gate.set("release_l3", True)
    r = render("tessarin://openrouter/number")
    assert r.status == 1 and r.stdout == "" and r.stderr.startswith("TS-2048: line 1: ")


def test_count_shaped_search_is_not_resolved(gate, render, vault):
    gate.set("search_shape", "count")
    r = render("tessarin://openrouter/key")
    assert outcome(r) == (1, "", "TS-2063: line 1: tessarin://openrouter/key \u2014 multiple matches; be more "
                                 "specific\n")
    assert sorted(gate.actions()) == sorted(["search.query"])


def test_entry_without_data_block(gate, render, vault):
    gate.fault("result", action="entry.get", result={"entry_id": vault["openrouter"], "title": "openrouter"})
    r = render("\ntessarin://openrouter/key")
    assert outcome(r) == (1, "", "TS-2063: line 2: vault returned no data for entry\n")


def test_output_that_cannot_be_written(gate, home, tmp_path, vault):
    path = tmp_path / "t.conf"
    path.write_text("k=tessarin://openrouter/key\n")
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(home),
           "SSL_CERT_FILE": os.environ["SSL_CERT_FILE"]}
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([BIN, "render", str(path)], stdout=full, stderr=subprocess.PIPE, env=env, timeout=60)
    assert (proc.returncode, proc.stderr.decode()) == (1, WARNING % 1 + "failed printing to stdout: No space left "
                                                                         "on device\n")


def test_warning_that_cannot_be_written(cli, tmp_path, vault):
    path = tmp_path / "t.conf"
    path.write_text("k=tessarin://openrouter/key\n")
    r = cli("render", str(path), preexec_fn=lambda: os.dup2(os.open("/dev/full", os.O_WRONLY), 2))
    assert (r.status, r.stdout) == (0, "k=" + KEY + "\n")


def test_gate_errors_pass_through(gate, render, vault):
    gate.fault("status", status=500, action="entry.get")
    r = render("tessarin://openrouter/key")
    assert outcome(r) == (1, "", "TS-2047: gate refused the handshake (HTTP 500)\n")


# -- reading the template ----------------------------------------------------------------------

def test_stdin_over_the_limit(gate, cli, vault):
    r = cli("render", "-", input=b"tessarin://openrouter/key " + b"x" * LIMIT)
    assert outcome(r) == (1, "", "TS-2110: stdin exceeds 262144 bytes (refuse to buffer unbounded input)\n")
    assert gate.requests() == []


def test_file_over_the_limit(cli, tmp_path):
    path = tmp_path / "big.conf"
    path.write_bytes(b"y" * (LIMIT + 1))
    r = cli("render", str(path))
    assert outcome(r) == (1, "", "TS-2110: %s exceeds 262144 bytes (refuse to buffer unbounded input)\n" % path)


def test_template_of_exactly_the_limit_with_a_reference(gate, render, vault):
    tail = "tessarin://openrouter/key"
    text = "z" * (LIMIT - len(tail)) + tail
    r = render(text, stdin=True)
    assert outcome(r) == (0, "z" * (LIMIT - len(tail)) + KEY, WARNING % 1)


def test_missing_file(cli, tmp_path):
    path = tmp_path / "nope.json"
    r = cli("render", str(path))
    assert outcome(r) == (1, "", "TS-2060: opening %s: No such file or directory\n" % path)


def test_directory_as_template(cli, tmp_path):
    r = cli("render", str(tmp_path))
    assert outcome(r) == (1, "", "TS-2060: reading %s: Is a directory\n" % tmp_path)


@pytest.mark.parametrize("data,message", [
    (b"ab\xffc", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"tessarin://a/b \xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 15"),
    (b"ab\xe2\x82", "incomplete utf-8 byte sequence from index 2"),
])
@pytest.mark.parametrize("stdin", [False, True])
def test_template_not_utf8(render, tmp_path, data, message, stdin):
    r = render(data, stdin=stdin)
    source = "stdin" if stdin else str(tmp_path / "template-0")
    assert outcome(r) == (1, "", "TS-2060: %s: not valid UTF-8: %s\n" % (source, message))


def test_the_help_text_template_renders(gate, cli, vault, render):
    """The template the help text shows is one render can fill."""
    help_text = cli("help").stdout
    template = next(line.strip() for line in help_text.splitlines() if "tessarin://" in line
                    and line.strip().startswith("{"))
    r = render(template + "\n")
    assert r.status == 0, r.stderr
    assert json.loads(r.stdout) == {"api_key": KEY, "db": "postgres://u:p@h/db"}
