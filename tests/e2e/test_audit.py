"""audit end to end against the development gate: the option loop and its order of checks, the
request content, date conversion, the table (plain and coloured), --json, and a real trail."""
import json
import pathlib
import resource

import pytest

from conftest import BIN
from test_dispatch import run_on_terminal

USAGE = ("Usage: tessarin-cli audit [options]\n"
         "\n"
         "Options:\n"
         "  --limit N       Max events (default 50)\n"
         "  --actor <id>    Filter by actor\n"
         "  --action <act>  Filter by action (read, totp, create, etc.)\n"
         "  --entry <name>  Filter by entry name (substring)\n"
         "  --since <date>  Events after date (YYYY-MM-DD)\n"
         "  --until <date>  Events before date (YYYY-MM-DD)\n"
         "  --json          Machine-readable JSON output\n")

HEADER = "TIME                 ACTION       ENTRY                          ACTOR\n"
NONE_FOUND = "No audit events found.\n"


def audit_contents(gate):
    return [json.loads(e).get("content") for e in gate.envelopes() if json.loads(e)["action"] == "audit.list"]


# -- before the configuration: the option loop and --limit -----------------------------------

@pytest.mark.parametrize("args,detail", [
    # One value a kind of --limit refusal; the unit tests of the number reader hold the rest.
    (("--limit", "0"), "--limit must be between 1 and 1000"),
    (("--limit", "abc"), "--limit: not a number: abc"),
    (("--limit", "5", "--limit", "0"), "--limit must be between 1 and 1000"),
    (("--limit",), "missing argument for option '--limit'"),
    (("--since",), "missing argument for option '--since'"),
    (("--actor", b"\xff"), "--actor: not valid UTF-8"),
    (("events",), 'unexpected: Value("events")'),
    (("-h",), "unexpected: Short('h')"),
    (("--verbose",), 'unexpected: Long("verbose")'),
    (("--json=yes",), "unexpected argument for option '--json'"),
    # --limit fails at once, even before a later bad token.
    (("--limit", "0", "extra"), "--limit must be between 1 and 1000"),
])
def test_argument_errors_before_any_configuration(cli, args, detail):
    r = cli("audit", *args)
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2000: %s\n" % detail)


def test_help_prints_usage_without_configuration(cli):
    r = cli("audit", "--since", "garbage", "--help", "extra")
    assert (r.status, r.stdout, r.stderr) == (0, USAGE, "")


def test_dates_are_checked_only_after_the_configuration(cli):
    r = cli("audit", "--since", "garbage")
    assert r.status == 1 and r.stderr.startswith("TS-2003: Not initialized.")


# -- the request ------------------------------------------------------------------------------

def test_only_the_given_keys_are_sent_in_byte_order(gate, cli, agent):
    assert cli("audit").stdout == NONE_FOUND
    r = cli("audit", "--until", "2024-02-29", "--since", "2024-02-29", "--limit", "+1000",
            "--entry", "Open", "--actor", "alice", "--action", "read", "--limit", "1000")
    assert r.status == 0, r.stderr
    envelopes = [e for e in gate.envelopes() if '"audit.list"' in e]
    assert audit_contents(gate) == [{}, {"action": "read", "actor": "alice", "entry": "Open", "limit": 1000,
                                         "since": 1709164800000, "until": 1709251199999}]
    assert ('"content":{"action":"read","actor":"alice","entry":"Open","limit":1000,'
            '"since":1709164800000,"until":1709251199999}') in envelopes[1]


@pytest.mark.parametrize("date,since", [
    ("1970-01-01", 0),
    ("1969-12-31", -86400000),
    ("0001-01-01", -62135596800000),
    ("9999-12-31", 253402214400000),
    ("2000-02-29", 951782400000),
    ("2024-03-01", 1709251200000),
    ("+2024-1-1", 1704067200000),
])
def test_dates_convert_to_the_start_of_the_day(gate, cli, agent, date, since):
    r = cli("audit", "--since", date, "--until", date)
    assert r.status == 0, r.stderr
    assert audit_contents(gate)[-1] == {"since": since, "until": since + 86399999}


@pytest.mark.parametrize("date", ["2023-02-29", "2024-2", "2024-02-29-1", "1900-02-29", "0000-01-01",
                                  "10000-01-01", "2024-13-01", "2024-00-10", "2024-04-31", "2024-01-00",
                                  "2024--01-01", "2024-01-01-", "", "2024-01-0x", "2024/01/01", " 2024-01-01",
                                  "-2024-01-01", "2024-01-99999999999999999999"])
def test_invalid_dates_are_refused_before_sending(gate, cli, agent, date):
    r = cli("audit", "--since", date)
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2000: invalid date: %s (use YYYY-MM-DD)\n" % date)
    assert "audit.list" not in gate.actions()


def test_since_is_checked_before_until(gate, cli, agent):
    r = cli("audit", "--until", "until-bad", "--since", "since-bad")
    assert r.stderr == "TS-2000: invalid date: since-bad (use YYYY-MM-DD)\n"


# -- the table ----------------------------------------------------------------------------------

EVENTS = [
    {"created_at": 1709164800123, "action": "read", "title": "OpenRouter", "actor": "alice"},
    {"action": "create", "title": "no time", "actor": "bob"},
    {"created_at": -1, "action": "totp", "title": "GitHub", "actor": "carol"},
    {"created_at": 1.5, "action": 7, "title": None, "actor": ["x"]},
    {"created_at": 0, "action": "update-a-very-long-action", "title": "line\nbreak\tand tab\x1b[31m",
     "actor": "a" * 45},
    {"created_at": 253402300799999, "action": "delete", "title": "caf\u00e9 \u2014 \u00fcber", "actor": "d"},
    "not an object",
]

def row(time, action, entry, actor):
    return "{:<20} {:<12} {:<30} {}\n".format(time, action, entry, actor)


TABLE = (HEADER +
         row("2024-02-29 00:00:00", "read", "OpenRouter", "alice") +
         row("1970-01-01 00:00:00", "create", "no time", "bob") +
         row("1969-12-31 23:59:59", "totp", "GitHub", "carol") +
         row("1970-01-01 00:00:00", "-", "-", "-") +
         row("1970-01-01 00:00:00", "update-a-ver", "linebreakand tab[31m", "a" * 40) +
         row("9999-12-31 23:59:59", "delete", "caf\u00e9 \u2014 \u00fcber", "d") +
         row("1970-01-01 00:00:00", "-", "-", "-"))


def test_events_as_a_fixed_width_table(gate, cli, agent):
    gate.fault("result", action="audit.list", result={"events": EVENTS})
    r = cli("audit")
    assert (r.status, r.stdout, r.stderr) == (0, TABLE, "")


def test_coloured_table_on_a_terminal(gate, cli, agent, home):
    gate.fault("result", action="audit.list", result={"events": EVENTS[:1]})
    status, out, err = run_on_terminal(["audit"], {"HOME": str(home), "SSL_CERT_FILE": gate.cert})
    grey, bold, dim, reset = "\x1b[38;2;107;107;107m", "\x1b[1m", "\x1b[2m", "\x1b[0m"
    assert (status, err) == (0, "")
    assert out == (grey + bold + HEADER[:-1] + reset + "\n" +
                   dim + "2024-02-29 00:00:00 " + reset + " read         OpenRouter                     " +
                   grey + "alice" + reset + "\n")


@pytest.mark.parametrize("result", [{"events": []}, {}, {"events": "x"}, [], None, "events"])
def test_no_events(gate, cli, agent, result):
    gate.fault("result", action="audit.list", result=result)
    r = cli("audit")
    assert (r.status, r.stdout, r.stderr) == (0, NONE_FOUND, "")


def test_json_prints_the_whole_result(gate, cli, agent):
    result = {"next": "c2", "events": [{"b": 1, "a": [1, {"z": None, "y": "\u00e9"}]}], "count": 1}
    gate.fault("result", action="audit.list", result=result)
    r = cli("audit", "--json")
    assert r.status == 0, r.stderr
    assert r.stdout == json.dumps(result, indent=2, sort_keys=True, ensure_ascii=False) + "\n"


def test_the_trail_records_what_the_agent_did(gate, cli, agent):
    gate.set("fixed_time_ms", 1709164800000)
    gate.seed([{"title": "OpenRouter", "type": "api_key",
                "fields": [{"label": "key", "value": "sk", "tier": 2}]}], agent=agent)
    assert cli("get", "OpenRouter", "--field", "key").stdout == "sk"
    r = cli("audit", "--entry", "openrouter")
    assert r.status == 0, r.stderr
    assert r.stdout == (HEADER + row("2024-02-29 00:00:00", "read", "OpenRouter", agent) +
                        row("2024-02-29 00:00:00", "search", "OpenRouter", agent))
    only_reads = cli("audit", "--action", "read", "--limit", "1")
    assert only_reads.stdout == HEADER + row("2024-02-29 00:00:00", "read", "OpenRouter", agent)


# With room for the events the table is written whole; with less, the failed allocation is
# reported.
@pytest.mark.parametrize("mib", [24, 128])
def test_a_million_events_under_an_address_space_limit(gate, cli, agent, mib):
    program = pathlib.Path(BIN).read_bytes()
    if b"__asan_init" in program:
        pytest.skip("AddressSanitizer reserves terabytes of address space: no limit fits it")
    if not program.startswith(b"\x7fELF"):
        pytest.skip("the program runs under an emulator, whose own memory the limit counts too")
    # 3 MB of reply, a million empty events, that makes 70 MB of table.
    count = 1_000_000
    gate.fault("reply", action="audit.list", reply='{"ok":true,"result":{"events":[' + ",".join(["{}"] * count) + "]}}")

    def limit_address_space():
        resource.setrlimit(resource.RLIMIT_AS, (mib << 20, mib << 20))

    r = cli("audit", preexec_fn=limit_address_space, timeout=120)
    # Done, or stopped with a coded error; never killed by an abort.
    if r.status == 0:
        assert (r.out.count(b"\n"), r.stderr) == (count + 1, "")
    else:
        assert (r.status, r.stderr) == (1, "TS-0005: out of memory\n")
