"""--id ID beside the query: the entry is fetched by its identifier without a search, so that
two entries with the same title can both be reached; the query and --id exclude each other, and
a bad identifier is refused before the configuration is read."""
import json

import pytest

from test_lookup import expected_totp

SECRETS = {"one": "JBSWY3DPEHPK3PXP", "two": "GEZDGNBVGY3TQOJQ"}
TIME_MS = 1_700_000_000_000


def text_entry(kind, title, content):
    return {"title": title, "type": kind, "fields": [
        {"label": "summary", "value": title, "tier": 2},
        {"label": "content", "value": content, "tier": 2},
        {"label": "status", "value": "active"}]}


@pytest.fixture
def twins(gate, agent):
    """The ids of the second of two entries of each kind that share a title (a search for the
    title finds both), keyed by kind."""
    gate.seed([
        {"title": "twin", "type": "credential", "fields": [
            {"label": "password", "value": "pw-" + n, "tier": 2},
            {"label": "totp", "value": SECRETS[n], "tier": 2}]} for n in ("one", "two")
    ] + [text_entry(kind, "twin " + kind, n) for kind in ("memory", "note") for n in ("one", "two")],
        agent=agent)
    gate.set("fixed_time_ms", TIME_MS)
    ids = {}
    for e in gate.entries():
        ids[e["type"]] = e["entry_id"]  # the later one wins
    return ids


# (arguments, kind of the entry named, what is printed, the requests sent)
CASES = [
    (["get", "--field", "password"], "credential", "pw-two", ["entry.get"]),
    (["get", "--json", "--type", "note"], "credential", None, ["entry.get"]),
    (["totp"], "credential", expected_totp(SECRETS["two"], TIME_MS) + "\n", ["ext.totp"]),
    (["delete"], "credential", "OK: Deleted: ID\n", ["entry.delete"]),
    (["memory", "get", "--full"], "memory", "Summary: twin memory\nStatus: active\n\ntwo\n",
     ["entry.get"]),
    (["note", "update", "--status", "archived"], "note", "OK: Updated: twin note\n",
     ["entry.get", "entry.upsert"]),
    (["memory", "delete"], "memory", "OK: Deleted.\n", ["entry.get", "entry.delete"]),
]


@pytest.mark.parametrize("args,kind,out,actions", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_fetches_by_identifier_without_a_search(gate, cli, twins, args, kind, out, actions):
    entry_id = twins[kind]
    r = cli(*args, "--id", entry_id)
    assert (r.status, r.stderr) == (0, "")
    if out is None:  # the raw entry, whatever --type says
        assert json.loads(r.stdout)["entry_id"] == entry_id
    else:
        assert r.stdout == out.replace("ID", entry_id)
    assert gate.actions() == actions
    assert all(json.loads(e)["content"].get("id") == entry_id for e in gate.envelopes()
               if json.loads(e)["action"] != "entry.upsert")


def test_the_kind_is_still_checked(gate, cli, twins):
    r = cli("note", "get", "--id", twins["memory"])
    assert (r.status, r.stderr) == (1, "TS-2000: entry is type 'memory', not 'note' \u2014 refuse "
                                       "cross-type note on this entry\n")


@pytest.mark.parametrize("args", [
    ["get", "twin"], ["totp", "twin"], ["delete", "twin"], ["note", "get", "t"],
    ["memory", "update", "t"], ["note", "delete", "t"],
])
@pytest.mark.parametrize("given,detail", [
    ("x", "give either <query> or --id, not both"),
    ("", "--id: empty identifier"),
    ("x" * 129, "--id: longer than 128 bytes"),
    (b"\xff", "--id: not valid UTF-8"),
])
def test_refused_before_the_configuration(cli, args, given, detail):
    # Not enrolled: the configuration would be the next error.
    r = cli(*args, "--id", given)
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2000: %s\n" % detail)


# Replies to entry.get that name another entry, each in a shape none of its readers accepts as an
# entry: the id alone decides.
OTHER_ENTRY_REPLIES = [
    {"entry_id": "other", "type": 5, "title": "Other", "data": None},
    {"entry_id": "other", "data": {"fields": "not a list"}},
    {"entry_id": "other", "colour": "blue"},
    {"entry_id": 7, "title": "Other"},
    {"entry_id": None},
    ["other", 5],
]
# Every command that fetches one entry: raw (--json) and read as an entry.
FETCHING = [
    ["get", "--json"], ["note", "get", "--json"], ["memory", "get", "--json"],
    ["get", "--field", "password"], ["memory", "get"], ["note", "update", "--status", "archived"],
    ["memory", "delete"],
]


@pytest.mark.parametrize("args", FETCHING, ids=[" ".join(a) for a in FETCHING])
@pytest.mark.parametrize("reply", OTHER_ENTRY_REPLIES, ids=[json.dumps(r) for r in OTHER_ENTRY_REPLIES])
def test_a_reply_naming_another_entry_is_refused_whatever_it_holds(gate, cli, twins, args, reply):
    kind = {"note": "note", "memory": "memory"}.get(args[0], "credential")
    gate.fault("result", action="entry.get", result=reply)
    r = cli(*args, "--id", twins[kind])
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2047: entry.get answered for another entry than the one asked for (its entry_id "
               "differs) \u2014 refusing the reply\n")
    assert gate.actions() == ["entry.get"]


def test_a_raw_reply_without_an_entry_id_is_printed_as_received(gate, cli, twins):
    gate.fault("result", action="entry.get", result={"title": "no id", "type": 5})
    r = cli("get", "--json", "--id", twins["credential"])
    assert (r.status, r.stdout, r.stderr) == (0, json.dumps({"title": "no id", "type": 5}, indent=2) + "\n", "")
