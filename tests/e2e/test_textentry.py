"""note and memory end to end against the development gate: sub-commands and their options, the
checks made before anything reaches the vault, the bodies the gate receives (tier-2 values opened
here with the agent's L2 key), get's output, update's merging, delete and similarity search."""
import json
import os
import pathlib
import pty
import subprocess
import sys

import pytest

from conftest import BIN

ROOT = pathlib.Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from devgate import vault as vaultmod  # noqa: E402
from devgate import wire  # noqa: E402

ALLOWED = "allowed: summary, content, status, embeddings, embedding_model"
TS_0003 = "TS-0003: Could not decrypt. The data may be corrupt or the wrong key was used."


def outcome(r):
    return (r.status, r.stdout, r.stderr)


def failure(detail, code="TS-2000"):
    return (1, "", "%s: %s\n" % (code, detail))


@pytest.fixture
def put_file(tmp_path):
    """put_file(name, data) writes a file and returns its path."""

    def write(name, data):
        path = tmp_path / name
        path.write_bytes(data.encode() if isinstance(data, str) else data)
        return str(path)

    return write


@pytest.fixture
def l2(gate, agent):
    """The enrolled agent's L2 key."""
    return bytes.fromhex(gate.agent(agent)["l2"])


def sent(gate, action):
    """The content of every request with that action, in order."""
    out = []
    for text in gate.envelopes():
        envelope = json.loads(text)
        if envelope["action"] == action:
            out.append(envelope["content"])
    return out


def opened(body, l2):
    """An upsert body with its tier-2 values opened under the labels summary and content."""
    body = json.loads(json.dumps(body))
    for f in body["data"]["fields"]:
        if f["tier"] == 2:
            f["value"] = wire.decrypt_field(l2, f["label"], f["value"])
    return body


def body(kind, summary, content, status="draft", embeddings=None, model=None, id=None):
    """The upsert body a create or update must send, with tier-2 values in clear."""
    fields = [{"kind": "text", "label": "summary", "tier": 2, "value": summary},
              {"kind": "text", "label": "content", "tier": 2, "value": content},
              {"kind": "text", "label": "status", "tier": 1, "value": status}]
    if embeddings is not None:
        fields.append({"kind": "binary", "label": "embeddings", "tier": 1, "value": embeddings})
    if model is not None:
        fields.append({"kind": "text", "label": "embedding_model", "tier": 1, "value": model})
    out = {"data": {"fields": fields, "title": summary, "type": kind}, "title": summary, "type": kind}
    if id is not None:
        out["id"] = id
    return out


def memory(title, summary=None, content="the content", status="active", tier=2, **extra):
    """A seed item of type memory with a tier-2 summary and content and a status."""
    item = {"title": title, "type": extra.pop("type", "memory"), "fields": [
        {"label": "summary", "value": title if summary is None else summary, "tier": tier},
        {"label": "content", "value": content, "tier": tier},
        {"label": "status", "value": status}]}
    item.update(extra)
    return item


def run_with_stdin(home, args, ends, timeout=60):
    """Runs the binary with standard input the first of a pair of descriptors (the ends of a
    pseudo-terminal or a pipe); both are closed afterwards."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(home)}
    for key in ("SSL_CERT_FILE", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if key in os.environ:
            env[key] = os.environ[key]
    stdin, other = ends
    try:
        proc = subprocess.run([BIN, *args], stdin=stdin, capture_output=True, env=env, timeout=timeout)
    finally:
        os.close(stdin)
        os.close(other)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def run_with_terminal_stdin(home, args):
    """Runs the binary with standard input on a pseudo-terminal."""
    master, slave = pty.openpty()
    return run_with_stdin(home, args, (slave, master))


def run_with_open_stdin(home, args):
    """Runs the binary with standard input a pipe that stays open: a read of it would hang
    (and time out)."""
    return run_with_stdin(home, args, os.pipe(), timeout=10)


# -- sub-commands and options (nothing loaded, nothing sent) --------------------------------------

REFUSALS = [
    ("memory", "create", "--summary", "--summary-file PATH or --json"),
    ("note", "create", "--content", "--content-file PATH or --json"),
    ("memory", "create", "--embeddings", "--embeddings-file PATH or --json"),
    ("note", "update", "--summary", "--summary-file PATH"),
    ("memory", "update", "--content", "--content-file PATH"),
    ("note", "update", "--embeddings", "--embeddings-file PATH or --json"),
    ("memory", "search", "--vector", "--vector-file PATH or stdin via --vector-file -"),
]


@pytest.mark.parametrize("form", ["separate", "equals"])
@pytest.mark.parametrize("kind,sub,option,alternative", REFUSALS)
def test_secret_options_are_refused(cli, kind, sub, option, alternative, form):
    args = [kind, sub] + (["q"] if sub == "update" else [])
    args += [option, "hunter2"] if form == "separate" else [option + "=hunter2"]
    r = cli(*args)
    assert outcome(r) == failure("%s is a secret field and must not appear on the command line; use %s"
                                 % (option, alternative))
    assert "hunter2" not in r.stderr


@pytest.mark.parametrize("args,detail", [
    (("note",), "missing argument for option '<subcommand>'"),
    # The hint lists the subcommands there are ("list" is not one).
    (("memory", "list"), "unknown memory subcommand 'list' (try: create, get, update, delete, search)"),
    (("note", "Create"), "unknown note subcommand 'Create' (try: create, get, update, delete, search)"),
    (("note", "help"), "unknown note subcommand 'help' (try: create, get, update, delete, search)"),
    (("memory", b"\xff"), "<subcommand>: not valid UTF-8"),
    # Commands take no short options, not even -h, once the subcommand is chosen.
    (("memory", "get", "q", "-h"), "unexpected: Short('h')"),
    (("note", "create", "-h"), "unexpected: Short('h')"),
    (("note", "create", "extra"), 'unexpected: Value("extra")'),
    (("note", "search", "extra"), 'unexpected: Value("extra")'),
    (("note", "get", "a", "b"), 'unexpected: Value("b")'),
    (("memory", "delete", "q", "--full"), 'unexpected: Long("full")'),
    (("memory", "update", "q", "--json"), 'unexpected: Long("json")'),
    (("memory", "search", "--json"), 'unexpected: Long("json")'),
    (("note", "get", "q", "--type", "note"), 'unexpected: Long("type")'),
    (("note", "create", "--status"), "missing argument for option '--status'"),
    (("note", "create", "--status", b"dr\xffaft"), "--status: not valid UTF-8"),
    (("note", "create", "--summary-file", b"\xff"), "--summary-file: not valid UTF-8"),
    (("note", "get"), 'missing <query> (try: tessarin-cli note get "title")'),
    (("memory", "get", "--full", "--json"), 'missing <query> (try: tessarin-cli memory get "title")'),
    (("note", "delete"), 'missing <query> (try: tessarin-cli note delete "title")'),
    (("memory", "delete", "--fuzzy"), 'missing <query> (try: tessarin-cli memory delete "title")'),
    (("memory", "update"), "missing <query>"),
    (("note", "update", "--status", "active"), "missing <query>"),
    (("note", "get", b"\xfe"), "query: not valid UTF-8"),
    (("memory", "create"), "--summary-file is required (L2 secret \u2014 not on argv; or use --json)"),
    (("memory", "create", "--status", "active", "--content-file", "/nonexistent"),
     "--summary-file is required (L2 secret \u2014 not on argv; or use --json)"),
    # update checks its --status as soon as it reads it.
    (("memory", "update", "q", "--status", "Active"), "invalid status 'Active' (use: draft, active, archived)"),
    (("memory", "update", "--status", "", "q"), "invalid status '' (use: draft, active, archived)"),
    # search: the number as it is read, then the vector file, then the range.
    (("memory", "search", "--limit", "x"), "--limit: not a number: x"),
    (("memory", "search", "--limit", ""), "--limit: not a number: "),
    (("memory", "search", "--limit", "+"), "--limit: not a number: +"),
    (("memory", "search", "--limit", "-1"), "--limit: not a number: -1"),
    (("memory", "search", "--limit", "1.5"), "--limit: not a number: 1.5"),
    (("memory", "search", "--limit", " 5"), "--limit: not a number:  5"),
    (("memory", "search", "--limit", "99999999999999999999999"), "--limit: not a number: 99999999999999999999999"),
    (("memory", "search", "--limit", "0"), "--vector-file is required (base64-encoded embedding; not on argv)"),
    (("note", "search"), "--vector-file is required (base64-encoded embedding; not on argv)"),
])
def test_argument_errors_before_any_configuration(cli, args, detail):
    # The host was never enrolled: argument errors come first.
    assert outcome(cli(*args)) == failure(detail)


# -- asking for help (nothing read, loaded or sent) ------------------------------------------------

SUBCOMMAND_USAGE = "Usage: tessarin-cli {note|memory} %s "

HELP_REQUESTS = [
    # In the subcommand's place: the kind's usage, listing every subcommand.
    (("note", "--help"), "Usage: tessarin-cli {note|memory} <subcommand> [options]\n"),
    (("memory", "--help"), "Usage: tessarin-cli {note|memory} <subcommand> [options]\n"),
    (("memory", "-h", "--bogus"), "Usage: tessarin-cli {note|memory} <subcommand> [options]\n"),
    # After the subcommand: its own usage, whatever else the line holds or lacks.
    (("note", "create", "--help"), SUBCOMMAND_USAGE % "create"),
    (("memory", "create", "--json", "--help"), SUBCOMMAND_USAGE % "create"),
    (("note", "get", "--help"), SUBCOMMAND_USAGE % "get"),
    (("memory", "get", "q", "--help", "--bogus", "extra"), SUBCOMMAND_USAGE % "get"),
    (("note", "update", "--status", "active", "--help"), SUBCOMMAND_USAGE % "update"),
    (("memory", "delete", "--fuzzy", "--help"), SUBCOMMAND_USAGE % "delete"),
    (("note", "search", "--limit", "99", "--help"), SUBCOMMAND_USAGE % "search"),
]


@pytest.mark.parametrize("args,first_line", HELP_REQUESTS)
def test_asking_for_help_on_a_host_never_enrolled(home, args, first_line):
    status, out, err = run_with_open_stdin(home, args)
    assert (status, err) == (0, "")
    assert out.startswith(first_line)


@pytest.mark.parametrize("args,first_line", HELP_REQUESTS)
def test_asking_for_help_sends_nothing(gate, cli, agent, args, first_line):
    r = cli(*args, input='{"summary":"s","content":"c"}')
    assert (r.status, r.stderr) == (0, "")
    assert r.stdout.startswith(first_line)
    assert gate.requests() == []


@pytest.mark.parametrize("sub", ["", "create", "get", "update", "delete", "search"])
def test_note_and_memory_print_one_usage(cli, sub):
    words = [sub] if sub else []
    note, memory = cli("note", *words, "--help"), cli("memory", *words, "--help")
    assert (note.status, memory.status) == (0, 0)
    assert note.stdout == memory.stdout
    assert note.stdout.endswith("\n") and "\x1b" not in note.stdout


@pytest.mark.parametrize("limit", ["0", "51", "+0", "+51", "1000"])
def test_search_limit_range_before_configuration(cli, put_file, limit):
    r = cli("memory", "search", "--vector-file", put_file("v", "AAAA"), "--limit", limit)
    assert outcome(r) == failure("--limit must be between 1 and 50")


@pytest.mark.parametrize("args", [
    ("memory", "get", "x"),
    ("note", "delete", "x"),
    ("memory", "update", "x", "--status", "archived"),
    ("memory", "search", "--vector-file", "VEC", "--limit", "+50"),
    ("note", "create", "--summary-file", "VEC", "--content-file", "VEC"),
])
def test_valid_arguments_then_need_the_configuration(cli, home, put_file, args):
    path = put_file("vec", "AAAA")
    r = cli(*[path if a == "VEC" else a for a in args])
    assert r.status == 1 and r.stderr.startswith("TS-2003: Not initialized.")


def test_no_content_from_a_terminal(home, put_file):
    status, out, err = run_with_terminal_stdin(home, ["note", "create", "--summary-file", put_file("s", "x")])
    assert (status, out, err) == failure("no content provided (use --content-file PATH, or pipe to stdin)")


# -- create: checks before anything is sent -------------------------------------------------------

def create_check_cases():
    big = "a" * 65537
    return [
        # name, args (FILE:name=data makes a file), stdin, detail
        ("empty content file", ["--content-file", "FILE:c="], b"", "content must not be empty"),
        ("content file of only a newline", ["--content-file", "FILE:c=\r\n"], b"", "content must not be empty"),
        ("empty piped content", [], b"", "content must not be empty"),
        ("content file too large", ["--content-file", "FILE:c=" + big], b"",
         "TS-2110:{c} exceeds 65536 bytes (refuse to buffer unbounded input)"),
        ("piped content too large", [], big.encode(),
         "TS-2110:stdin exceeds 65536 bytes (refuse to buffer unbounded input)"),
        ("content not UTF-8", ["--content-file", "FILE:c=\xff"], b"", "{c}: not valid UTF-8: "),
        ("content file missing", ["--content-file", "/nonexistent/c"], b"",
         "TS-2111:opening /nonexistent/c: No such file or directory"),
        ("summary file missing", ["--summary-file", "/nonexistent/s"], b"x",
         "TS-2111:opening /nonexistent/s: No such file or directory"),
        ("status case matters", ["--status", "Active"], b"x", "invalid status 'Active' (use: draft, active, archived)"),
        ("empty status", ["--status", ""], b"x", "invalid status '' (use: draft, active, archived)"),
        ("embeddings without model", ["--embeddings-file", "FILE:e=AAAA"], b"x",
         "--embedding-model is required when --embeddings is set"),
        ("content before status", ["--status", "bogus", "--content-file", "FILE:c="], b"", "content must not be empty"),
        ("status before model", ["--status", "bogus", "--embeddings-file", "FILE:e=AAAA"], b"x",
         "invalid status 'bogus' (use: draft, active, archived)"),
        # Two options asking for standard input: the second would find it already read.
        ("summary and embeddings from stdin", ["--summary-file", "-", "--embeddings-file", "-",
                                               "--embedding-model", "m", "--content-file", "FILE:c=x"], b"s",
         "--summary-file and --embeddings-file both read standard input; give one of them a file"),
        ("summary and content from stdin", ["--summary-file", "-", "--content-file", "-"], b"s",
         "--summary-file and --content-file both read standard input; give one of them a file"),
        ("summary from stdin with --json", ["--summary-file", "-", "--json"], b'{"summary":"s","content":"c"}',
         "--summary-file and --json both read standard input; give one of them a file"),
    ]


@pytest.mark.parametrize("name,args,stdin,detail", create_check_cases(), ids=[c[0] for c in create_check_cases()])
def test_create_checks_send_nothing(gate, cli, agent, put_file, name, args, stdin, detail):
    files = {}
    real = []
    for a in args:
        if a.startswith("FILE:"):
            fname, _, data = a[5:].partition("=")
            files[fname] = put_file(fname, data.encode("latin-1") if "\xff" in data else data)
            a = files[fname]
        real.append(a)
    if "--summary-file" not in real:
        real = ["--summary-file", put_file("s", "a summary")] + real
    code = "TS-2000"
    if detail.startswith("TS-"):
        code, detail = detail.split(":", 1)
    detail = detail.format(**files)
    r = cli("memory", "create", *real, input=stdin)
    assert r.status == 1 and r.stdout == ""
    if detail.endswith(": "):
        assert r.stderr.startswith("%s: %s" % (code, detail))
    else:
        assert r.stderr == "%s: %s\n" % (code, detail)
    assert gate.requests() == []


def json_check_cases():
    secret = "hunter2-do-not-leak"
    return [
        ("empty", b"", "invalid JSON on stdin: EOF while parsing a value at line 1, column 1"),
        ("cut short", b'{"summary": "' + secret.encode(),
         "invalid JSON on stdin: EOF while parsing a value at line 1, column 33"),
        ("missing comma", b'{"summary": "%s"\n "content": "c"}' % secret.encode(),
         "invalid JSON on stdin: syntax error at line 2, column 2"),
        ("bad literal", b'{"summary": tru}', "invalid JSON on stdin: syntax error at line 1, column 16"),
        ("trailing text", b'{"summary":"s","content":"c"} x',
         "invalid JSON on stdin: trailing characters at line 1, column 31"),
        ("number too large", b'{"summary":"s","content":"c","status":1e999}',
         "invalid JSON on stdin: number out of range at line 1, column 39"),
        ("not UTF-8", b'{"summary":"\xff"}', "stdin: not valid UTF-8: "),
        ("too large", b'{"summary":"' + b"a" * 262144 + b'"}',
         "TS-2110:stdin exceeds 262144 bytes (refuse to buffer unbounded input)"),
        ("unknown key", b'{"summary":"s","content":"c","tags":"x"}',
         "unknown key 'tags' \u2014 a typo would silently lose the value (%s)" % ALLOWED),
        ("first unknown key in byte order", b'{"zeta":1,"summary":"s","content":"c","Tags":[1]}',
         "unknown key 'Tags' \u2014 a typo would silently lose the value (%s)" % ALLOWED),
        ("unknown key before a missing summary", b'{"Summary":"s"}',
         "unknown key 'Summary' \u2014 a typo would silently lose the value (%s)" % ALLOWED),
        ("summary a number", b'{"summary":1,"content":"c"}', 'JSON missing "summary" field'),
        ("summary null", b'{"summary":null,"content":"c"}', 'JSON missing "summary" field'),
        ("summary an object", b'{"summary":{"text":"s"},"content":"c"}', 'JSON missing "summary" field'),
        ("no summary", b'{"content":"c"}', 'JSON missing "summary" field'),
        ("an array", b'["s","c"]', 'JSON missing "summary" field'),
        ("a string", b'"s"', 'JSON missing "summary" field'),
        ("content missing", b'{"summary":"s"}', 'JSON missing "content" field'),
        ("content an array", b'{"summary":"s","content":["c"]}', 'JSON missing "content" field'),
        ("empty content", b'{"summary":"s","content":""}', "content must not be empty"),
        ("content too long", json.dumps({"summary": "s", "content": "\u00e9" * 32769}).encode(),
         "TS-2110:content is 65538 bytes, max is 65536"),
        ("status case", b'{"summary":"s","content":"c","status":"Draft"}',
         "invalid status 'Draft' (use: draft, active, archived)"),
        ("embeddings without model", b'{"summary":"s","content":"c","embeddings":"AAAA","embedding_model":7}',
         "--embedding-model is required when --embeddings is set"),
    ]


@pytest.mark.parametrize("name,stdin,detail", json_check_cases(), ids=[c[0] for c in json_check_cases()])
def test_create_json_checks_send_nothing(gate, cli, agent, name, stdin, detail):
    code = "TS-2000"
    if detail.startswith("TS-"):
        code, detail = detail.split(":", 1)
    # The other create options are ignored with --json (the content file is not even read).
    r = cli("note", "create", "--json", "--content-file", "/nonexistent", "--status", "bogus", input=stdin)
    assert r.status == 1 and r.stdout == ""
    if detail.endswith(": "):
        assert r.stderr.startswith("%s: %s" % (code, detail))
    else:
        assert r.stderr == "%s: %s\n" % (code, detail)
    assert "hunter2" not in r.stderr
    assert gate.requests() == []


# One document, each key once: a NUL byte does not end the input early, and a second value for
# a key does not silently replace the first.
@pytest.mark.parametrize("kind", ["memory", "note"])
@pytest.mark.parametrize("stdin,detail", [
    (b'{"summary":"s","content":"c"}\0{"content":"lost"}', "trailing characters at line 1, column 30"),
    (b'{"summary":"s","content":"c"}\0', "trailing characters at line 1, column 30"),
    (b'{"summary":"s","content":"a","content":"b"}', "duplicate key at line 1, column 30"),
    (b'{"summary":"s","content":"c","status":"draft","status":"active"}', "duplicate key at line 1, column 47"),
], ids=["NUL then more", "NUL at the end", "content twice", "status twice"])
def test_create_json_reads_one_document_each_key_once(gate, cli, agent, kind, stdin, detail):
    r = cli(kind, "create", "--json", input=stdin)
    assert outcome(r) == (1, "", "TS-2000: invalid JSON on stdin: %s\n" % detail)
    assert gate.requests() == []


# -- create: what the gate receives -----------------------------------------------------------------

@pytest.mark.parametrize("kind", ["note", "memory"])
def test_create_from_files(gate, cli, agent, l2, put_file, kind):
    # Files lose their trailing CR and LF; everything else is kept.
    r = cli(kind, "create", "--summary-file", put_file("s", "Deploy notes\r\n\n"),
            "--content-file", put_file("c", "line one\n\tline two\r\n"),
            "--status", "active", "--embeddings-file", put_file("e", "AACAPw==\n"),
            "--embedding-model", "mini-lm")
    assert outcome(r) == (0, "OK: Created: Deploy notes\n", "")
    [content] = sent(gate, "entry.upsert")
    assert opened(content, l2) == body(kind, "Deploy notes", "line one\n\tline two", "active", "AACAPw==", "mini-lm")
    assert gate.actions() == ["entry.upsert"]
    # Members in byte order everywhere, so the envelope is exactly the canonical form.
    assert all(req["canonical"] for req in gate.requests())
    assert ',"content":{"data":{"fields":[{"kind":"text","label":"summary","tier":2,"value":"' in gate.envelopes()[0]
    [entry] = gate.entries()
    assert (entry["title"], entry["type"]) == ("Deploy notes", kind)


def test_piped_content_is_kept_exactly(gate, cli, agent, l2, put_file):
    piped = "first line\n\nlast line\r\n"
    r = cli("memory", "create", "--summary-file", put_file("s", "s"), input=piped)
    assert outcome(r) == (0, "OK: Created: s\n", "")
    assert opened(sent(gate, "entry.upsert")[0], l2) == body("memory", "s", piped)


def test_content_file_dash_is_standard_input(gate, cli, agent, l2, put_file):
    r = cli("memory", "create", "--summary-file", put_file("s", "s"), "--content-file", "-", input="exact\n")
    assert r.status == 0
    assert opened(sent(gate, "entry.upsert")[0], l2)["data"]["fields"][1]["value"] == "exact\n"


def test_summary_and_embeddings_from_standard_input(gate, cli, agent, l2, put_file):
    r = cli("note", "create", "--summary-file", "-", "--content-file", put_file("c", "c"), input="piped summary\n")
    # The summary is shown as given, its final newline included.
    assert outcome(r) == (0, "OK: Created: piped summary\n\n", "")
    assert opened(sent(gate, "entry.upsert")[0], l2) == body("note", "piped summary\n", "c")


@pytest.mark.parametrize("size", [1, 65536])
def test_content_limits_accepted(gate, cli, agent, l2, put_file, size):
    text = "x" * (size - 1) + "y"
    r = cli("memory", "create", "--summary-file", put_file("s", "s"), "--content-file", put_file("c", text))
    assert r.status == 0, r.stderr
    assert opened(sent(gate, "entry.upsert")[0], l2)["data"]["fields"][1]["value"] == text


def test_model_without_embeddings_is_sent(gate, cli, agent, l2, put_file):
    r = cli("note", "create", "--summary-file", put_file("s", "s"), "--content-file", put_file("c", "c"),
            "--embedding-model", "m")
    assert r.status == 0
    assert opened(sent(gate, "entry.upsert")[0], l2) == body("note", "s", "c", model="m")


def test_later_status_replaces_the_earlier(gate, cli, agent, l2, put_file):
    r = cli("note", "create", "--status", "Bogus", "--summary-file", put_file("s", "s"),
            "--content-file", put_file("c", "c"), "--status", "archived")
    assert r.status == 0
    assert opened(sent(gate, "entry.upsert")[0], l2) == body("note", "s", "c", "archived")


@pytest.mark.parametrize("doc,expected", [
    ({"summary": "S", "content": "C"}, body("memory", "S", "C")),
    ({"summary": "S", "content": "C\n", "status": "archived", "embeddings": "AAAA", "embedding_model": "m"},
     body("memory", "S", "C\n", "archived", "AAAA", "m")),
    # Non-string optional values are ignored: the status falls back to draft.
    ({"summary": "S", "content": "C", "status": 3, "embeddings": None, "embedding_model": ["m"]},
     body("memory", "S", "C")),
    ({"summary": "S\n", "content": "\u00e9\t\u2603"}, body("memory", "S\n", "\u00e9\t\u2603")),
])
def test_create_json(gate, cli, agent, l2, put_file, doc, expected):
    # Nothing but standard input counts: the summary file is read (and then ignored).
    r = cli("memory", "create", "--json", "--summary-file", put_file("s", "ignored"), "--status", "bogus",
            input=json.dumps(doc) + "\n")
    assert outcome(r) == (0, "OK: Created: %s\n" % doc["summary"], "")
    assert opened(sent(gate, "entry.upsert")[0], l2) == expected


def test_empty_summary_is_the_vaults_to_refuse(gate, cli, agent, l2):
    # No check of the summary's length here: the body is sent, and this gate wants a title.
    r = cli("memory", "create", "--json", input='{"summary":"","content":"c"}')
    assert outcome(r) == failure("gate error bad_request: entry.upsert needs a title", "TS-2047")
    assert opened(sent(gate, "entry.upsert")[0], l2) == body("memory", "", "c")


def test_updated_when_the_gate_says_not_created(gate, cli, agent, put_file):
    gate.fault("result", action="entry.upsert", result={"created": False})
    r = cli("note", "create", "--summary-file", put_file("s", "s"), "--content-file", put_file("c", "c"))
    assert outcome(r) == (0, "OK: Updated: s\n", "")


def test_summary_is_made_terminal_safe_in_the_success_line(gate, cli, agent, l2, put_file):
    r = cli("note", "create", "--summary-file", put_file("s", "a\x1b[31mb\u202ec"),
            "--content-file", put_file("c", "c"))
    assert outcome(r) == (0, "OK: Created: a[31mbc\n", "")
    assert opened(sent(gate, "entry.upsert")[0], l2)["title"] == "a\x1b[31mb\u202ec"


def test_gate_refusal_is_reported(gate, cli, agent, put_file):
    gate.fault("error", action="entry.upsert", code="forbidden", message="scope")
    r = cli("note", "create", "--summary-file", put_file("s", "s"), "--content-file", put_file("c", "c"))
    assert outcome(r) == failure("gate error forbidden: scope", "TS-2047")


# -- get ------------------------------------------------------------------------------------------

@pytest.fixture
def memories(gate, agent):
    return gate.seed([
        memory("plan", content="step one\nstep two\x1b[2J\u2066", status="active"),
        memory("plain", summary="plain summary", content="plain content", tier=1, status="draft"),
        {"title": "broken", "type": "memory", "fields": [
            {"label": "summary", "value": "s", "tier": 2, "encrypt_label": "content"},
            {"label": "content", "value": "c", "tier": 2, "encrypt_label": "summary"},
            {"label": "status", "value": "archived"}]},
        {"title": "sparse", "type": "memory", "fields": [{"label": "Summary", "value": "x", "tier": 1}]},
        {"title": "blank", "type": "memory", "fields": [
            {"label": "summary", "value": "", "tier": 2}, {"label": "content", "value": "", "tier": 2}]},
        {"title": "a note", "type": "note", "fields": [{"label": "summary", "value": "n", "tier": 2}]},
    ], agent=agent)


@pytest.mark.parametrize("title,full,out", [
    ("plan", False, "Summary: plan\nStatus: active\n"),
    ("plan", True, "Summary: plan\nStatus: active\n\nstep one\nstep two[2J\n"),
    ("PLAN", True, "Summary: plan\nStatus: active\n\nstep one\nstep two[2J\n"),
    ("plain", True, "Summary: plain summary\nStatus: draft\n\nplain content\n"),
    ("broken", False, "Summary: [decrypt failed]\nStatus: archived\n"),
    ("broken", True, "Summary: [decrypt failed]\nStatus: archived\n\n[content: decrypt failed]\n"),
    # Labels are matched exactly; missing fields print nothing.
    ("sparse", True, ""),
    # An empty tier-2 value is not decrypted.
    ("blank", True, "Summary: \n\n\n"),
])
def test_get(gate, cli, memories, title, full, out):
    r = cli("memory", "get", title, *(["--full"] if full else []))
    assert outcome(r) == (0, out, "")
    assert gate.actions() == ["search.query", "entry.get"]
    assert sent(gate, "search.query") == [{"exact": True, "q": title, "type": "memory"}]


def test_get_fuzzy_narrows_to_its_kind(gate, cli, memories):
    r = cli("note", "get", "note", "--fuzzy")
    assert outcome(r) == (0, "Summary: n\n", "")
    assert sent(gate, "search.query") == [{"exact": False, "q": "note", "type": "note"}]


def test_get_json(gate, cli, agent, memories):
    r = cli("memory", "get", "--json", "plan", "--full")
    raw = gate.call("entry.get", {"id": memories["plan"]}, agent=agent)["result"]
    assert outcome(r) == (0, json.dumps(raw, indent=2, sort_keys=True, ensure_ascii=False) + "\n", "")
    assert "step one" not in r.stdout


@pytest.mark.parametrize("args", [("get", "a note"), ("get", "a note", "--full"),
                                  ("delete", "a note"), ("update", "a note", "--status", "archived")])
def test_cross_type_refusal(gate, cli, memories, args):
    # The vault may match a title across types; the entry's own type decides.
    found = {"entries": [{"entry_id": memories["a note"], "title": "a note", "type": "note"}]}
    gate.fault("result", action="search.query", result=found)
    r = cli("memory", *args)
    assert outcome(r) == failure("entry is type 'note', not 'memory' \u2014 refuse cross-type memory on this entry")
    assert gate.actions() == ["search.query", "entry.get"]
    assert len(gate.entries()) == len(memories)


@pytest.mark.parametrize("entry,result", [
    ({"type": "note"}, "type"),                                  # no data block, but the wrong type
    ({"data": {"type": "note", "fields": []}}, "type"),          # the data block's type
    ({"type": "", "data": {"type": "note", "fields": []}}, "type"),
    ({"type": "memory"}, "TS-2021: entry response had no data block"),
    ({}, "TS-2021: entry response had no data block"),
    ({"type": "memory", "data": {"type": "note", "fields": []}}, ""),    # its own type wins
    ({"type": "", "data": {"fields": [{"label": "status", "value": "x"}]}}, "Status: x\n"),
])
def test_get_entry_shapes(gate, cli, memories, entry, result):
    gate.fault("result", action="entry.get", result=dict(entry, entry_id=memories["plan"]))
    r = cli("memory", "get", "plan")
    if result == "type":
        assert outcome(r) == failure("entry is type 'note', not 'memory' \u2014 refuse cross-type memory on this entry")
    elif result.startswith("TS-"):
        assert outcome(r) == (1, "", result + "\n")
    else:
        assert outcome(r) == (0, result, "")


@pytest.mark.parametrize("seeded,detail", [
    ([], "TS-2046: no entry matched 'plan'"),
    ([memory("plan"), memory("Plan")], "TS-2045: 2 matches for 'plan'; fetch one by its exact title:\n"
                                       "  plan  id: {plan}\n  Plan  id: {Plan}\n"
                                       "  or by its id, in place of the query: --id <id>"),
])
def test_resolution_failures(gate, cli, agent, seeded, detail):
    detail = detail.format(**gate.seed(seeded, agent=agent))
    for args in (("get", "plan"), ("delete", "plan"), ("update", "plan", "--status", "active")):
        r = cli("memory", *args)
        assert r.status == 1 and r.stderr.startswith(detail + "\n"), r.stderr
    assert len(gate.entries()) == len(seeded)


# -- update ---------------------------------------------------------------------------------------

@pytest.fixture
def stored(gate, agent):
    """One memory with every field; returns its id."""
    item = memory("plan", content="the plan", status="active", vector=[0.5, 0.25], embedding_model="mini")
    return gate.seed([item], agent=agent)["plan"]


def stored_fields(gate):
    return {f["label"]: f["value"] for f in gate.entries()[0]["data"]["fields"]}


def test_update_status_only_keeps_and_reseals(gate, cli, l2, stored):
    before = stored_fields(gate)
    # Standard input is never read by update, even when something is piped.
    r = cli("memory", "update", "plan", "--status", "archived", input="not content")
    assert outcome(r) == (0, "OK: Updated: plan\n", "")
    assert gate.actions() == ["search.query", "entry.get", "entry.upsert"]
    [content] = sent(gate, "entry.upsert")
    emb = vaultmod.vector_text([0.5, 0.25])
    assert opened(content, l2) == body("memory", "plan", "the plan", "archived", emb, "mini", id=stored)
    after = stored_fields(gate)
    # Summary and content sealed afresh (new nonces), the plain values as they were.
    assert after["summary"] != before["summary"] and after["content"] != before["content"]
    assert (after["embeddings"], after["embedding_model"]) == (before["embeddings"], before["embedding_model"])


@pytest.mark.parametrize("kind", ["memory", "note"])
def test_update_everything(gate, cli, agent, l2, put_file, kind):
    ids = gate.seed([memory("old title", type=kind)], agent=agent)
    r = cli(kind, "update", "old title", "--summary-file", put_file("s", "new title\n"),
            "--content-file", put_file("c", "new content\r\n"), "--status", "draft",
            "--embeddings-file", put_file("e", "AAAA"), "--embedding-model", "m2")
    assert outcome(r) == (0, "OK: Updated: new title\n", "")
    assert opened(sent(gate, "entry.upsert")[0], l2) == body(kind, "new title", "new content", "draft", "AAAA", "m2",
                                                            id=ids["old title"])
    assert gate.entries()[0]["title"] == "new title"


@pytest.mark.parametrize("fields,args,expected", [
    # No status field: draft. A status taken over is not checked again.
    ([], [], dict(status="draft")),
    ([{"label": "status", "value": "Weird"}], [], dict(status="Weird")),
    ([{"label": "status", "value": "active"}], ["--status", "draft"], dict(status="draft")),
    # New embeddings take the stored model; a new model keeps the stored embeddings.
    ([{"label": "embedding_model", "value": "old"}], ["--embeddings-file", "E"], dict(embeddings="AAAA", model="old")),
    ([{"label": "embeddings", "value": "BBBB"}, {"label": "embedding_model", "value": "old"}],
     ["--embedding-model", "new"], dict(embeddings="BBBB", model="new")),
    ([{"label": "embedding_model", "value": "old"}], [], dict(model="old")),
])
def test_update_merges_each_value(gate, cli, agent, l2, put_file, fields, args, expected):
    item = memory("m")
    item["fields"] = item["fields"][:2] + fields
    ids = gate.seed([item], agent=agent)
    args = [put_file("e", "AAAA") if a == "E" else a for a in args]
    r = cli("memory", "update", "m", *args)
    assert outcome(r) == (0, "OK: Updated: m\n", "")
    assert opened(sent(gate, "entry.upsert")[0], l2) == body("memory", "m", "the content", id=ids["m"], **expected)


@pytest.mark.parametrize("fields,args,detail", [
    ([{"label": "content", "value": "c", "tier": 2}], [],
     "TS-2050: cannot update: existing entry has no L2 field 'summary'"),
    ([{"label": "summary", "value": "s", "tier": 1}, {"label": "content", "value": "c", "tier": 2}], [],
     "TS-2050: cannot update: existing entry has no L2 field 'summary'"),
    ([{"label": "summary", "value": "s", "tier": 2}], ["--status", "active"],
     "TS-2050: cannot update: existing entry has no L2 field 'content'"),
    ([{"label": "summary", "value": "s", "tier": 2},
      {"label": "content", "value": "c", "tier": 2, "encrypt_label": "summary"}], [],
     "TS-2049: cannot update: existing 'content' is unreadable (%s)" % TS_0003),
    ([{"label": "summary", "value": "s", "tier": 2, "encrypt_label": "x"}], ["--content-file", "C"],
     "TS-2049: cannot update: existing 'summary' is unreadable (%s)" % TS_0003),
    # A new value needs nothing of the old one.
    ([{"label": "summary", "value": "s", "tier": 2}, {"label": "content", "value": "c", "tier": 2}],
     ["--content-file", "EMPTY"], "TS-2000: content must not be empty"),
    ([{"label": "summary", "value": "s", "tier": 2}, {"label": "content", "value": "c", "tier": 2}],
     ["--embeddings-file", "C"], "TS-2000: --embedding-model is required when --embeddings is set"),
    ([{"label": "summary", "value": "s", "tier": 2}, {"label": "content", "value": "c", "tier": 2},
      {"label": "embeddings", "value": "AAAA"}], [],
     "TS-2000: --embedding-model is required when --embeddings is set"),
])
def test_update_failures_write_nothing(gate, cli, agent, put_file, fields, args, detail):
    gate.seed([{"title": "m", "type": "memory", "fields": fields}], agent=agent)
    args = [put_file("c", "new") if a == "C" else put_file("empty", "") if a == "EMPTY" else a for a in args]
    r = cli("memory", "update", "m", *args)
    assert outcome(r) == (1, "", detail + "\n")
    assert "entry.upsert" not in gate.actions()


def test_update_content_limit_and_stdin_rule(gate, cli, agent, put_file, stored):
    r = cli("memory", "update", "plan", "--content-file", put_file("c", "x" * 65537))
    assert r.stderr.startswith("TS-2110: ") and "exceeds 65536 bytes" in r.stderr
    r = cli("memory", "update", "plan", "--summary-file", "-", "--embeddings-file", "-", input="x")
    assert outcome(r) == failure(
        "--summary-file and --embeddings-file both read standard input; give one of them a file")
    assert gate.requests() == []


def test_update_sends_back_what_it_does_not_change(gate, cli, agent, l2):
    item = memory("plan", content="the plan", vector=[0.5, 0.25], embedding_model="mini",
                  urls=["https://example.com"], notes="remember this", extra_data={"colour": "blue"})
    item["fields"] += [{"label": "api_token", "value": "tok-123", "tier": 2},
                       {"raw": {"label": "link", "value": "https://x", "kind": "url", "tier": 1, "pinned": True}}]
    ids = gate.seed([item], agent=agent)
    stored = gate.entries()[0]["data"]
    r = cli("memory", "update", "plan", "--status", "archived")
    assert outcome(r) == (0, "OK: Updated: plan\n", "")
    [content] = sent(gate, "entry.upsert")
    # Summary and content sealed afresh; every other field and member exactly as stored.
    expected = body("memory", "plan", "the plan", "archived", vaultmod.vector_text([0.5, 0.25]), "mini",
                    id=ids["plan"])
    expected["data"]["fields"] += [f for f in stored["fields"] if f["label"] in ("api_token", "link")]
    expected["data"].update(urls=["https://example.com"], notes=stored["notes"], colour="blue")
    got = json.loads(json.dumps(content))
    for f in got["data"]["fields"][:2]:
        f["value"] = wire.decrypt_field(l2, f["label"], f["value"])
    assert got == expected
    api_token = got["data"]["fields"][5]
    assert wire.decrypt_field(l2, "api_token", api_token["value"]) == "tok-123"
    assert wire.decrypt_field(l2, "notes", got["data"]["notes"]) == "remember this"


def test_update_refuses_an_entry_with_an_l3_field(gate, cli, agent):
    # The gate sends tier-3 values blanked: sending one back would erase it.
    item = memory("plan")
    item["fields"].append({"label": "pin", "value": "1234", "tier": 3})
    gate.seed([item], agent=agent)
    r = cli("memory", "update", "plan", "--status", "archived")
    assert outcome(r) == failure("cannot update: field 'pin' is L3 and arrives without its value; sending the "
                                 "entry back would erase it", "TS-2048")
    assert "entry.upsert" not in gate.actions()


@pytest.mark.parametrize("args", [("update", "a", "--status", "archived"), ("get", "a"), ("get", "a", "--json"),
                                  ("delete", "a")])
def test_entry_get_answering_another_entry_is_refused(gate, cli, agent, args):
    ids = gate.seed([memory("a"), memory("b")], agent=agent)
    [other] = [e for e in gate.entries() if e["entry_id"] == ids["b"]]
    gate.fault("result", action="entry.get", result=other)
    r = cli("memory", *args)
    assert outcome(r) == failure("entry.get answered for another entry than the one asked for (its entry_id "
                                 "differs) \u2014 refusing the reply", "TS-2047")
    assert gate.actions() == ["search.query", "entry.get"]


# -- delete ---------------------------------------------------------------------------------------

def test_delete(gate, cli, agent, memories):
    r = cli("memory", "delete", "plan")
    assert outcome(r) == (0, "OK: Deleted.\n", "")
    assert gate.actions() == ["search.query", "entry.get", "entry.delete"]
    assert sent(gate, "entry.delete") == [{"id": memories["plan"]}]
    assert "plan" not in [e["title"] for e in gate.entries()]


# -- search ---------------------------------------------------------------------------------------

@pytest.fixture
def vectors(gate, agent):
    return gate.seed([
        memory("north", summary="points north", vector=[0.0, 1.0], embedding_model="mini"),
        memory("east", summary="points east", vector=[1.0, 0.0], embedding_model="mini"),
        memory("ne", summary="north-east", vector=[1.0, 1.0], embedding_model="big"),
        memory("3d", vector=[1.0, 1.0, 1.0]),                     # another dimension: never a hit
        memory("a note", type="note", vector=[0.0, 1.0]),         # another kind
    ], agent=agent)


def test_search(gate, cli, put_file, vectors):
    r = cli("memory", "search", "--vector-file", put_file("v", vaultmod.vector_text([0.0, 2.0]) + "\n"))
    assert outcome(r) == (0, "%s\t0.0000\t[mini]\tpoints north\n"
                             "%s\t0.2929\t[big]\tnorth-east\n"
                             "%s\t1.0000\t[mini]\tpoints east\n"
                          % (vectors["north"], vectors["ne"], vectors["east"]), "")
    assert sent(gate, "search.similar") == [{"category": "memory", "limit": 10,
                                             "vector": vaultmod.vector_text([0.0, 2.0])}]
    assert '"content":{"category":"memory","limit":10,"vector":"' in gate.envelopes()[0]
    assert gate.actions() == ["search.similar"] + ["entry.get"] * 3


@pytest.mark.parametrize("limit,sent_limit", [("1", 1), ("+2", 2), ("050", 50)])
def test_search_limit_and_vector_from_stdin(gate, cli, vectors, limit, sent_limit):
    vector = vaultmod.vector_text([0.0, 2.0]) + "\n"
    r = cli("note", "search", "--limit", limit, "--vector-file", "-", input=vector)
    assert r.status == 0, r.stderr
    # Standard input is kept exactly, trailing newline included.
    assert sent(gate, "search.similar") == [{"category": "note", "limit": sent_limit, "vector": vector}]
    assert r.stdout == "%s\t0.0000\t[devgate-test]\ta note\n" % vectors["a note"]


@pytest.mark.parametrize("kind,result", [("memory", []), ("memory", {"entry_id": "x"}), ("note", None),
                                         ("note", "hits")])
def test_search_without_hits(gate, cli, agent, put_file, kind, result):
    gate.fault("result", action="search.similar", result=result)
    r = cli(kind, "search", "--vector-file", put_file("v", "AAAA"))
    assert outcome(r) == (0, "No similar %ss found.\n" % kind, "")


def test_search_display_fallbacks(gate, cli, agent, put_file):
    ids = gate.seed([
        memory("readable", summary="the summary"),
        {"title": "titled", "type": "memory", "fields": [{"label": "summary", "value": "plain", "tier": 1}]},
        {"title": "sealed elsewhere", "type": "memory",
         "fields": [{"label": "summary", "value": "s", "tier": 2, "encrypt_label": "other"}]},
        {"title": None, "type": "memory", "fields": []},
        memory("after the failure", summary="still listed"),
    ], agent=agent)
    hits = [
        {"entry_id": ids["readable"], "distance": 0.123456, "embedding_model": "m"},
        {"entry_id": ids["titled"], "distance": 1, "embedding_model": "m"},
        {"entry_id": ids["sealed elsewhere"], "distance": "0.5", "embedding_model": 7},
        {"entry_id": ids[None], "distance": 2.5e-5},
        {"entry_id": "no-such-entry", "distance": -0.5, "embedding_model": "m\x1b[1m"},
        {"distance": 0.25, "embedding_model": "m"},
        "not an object",
        {"entry_id": ids["after the failure"], "distance": 123456.789, "embedding_model": "m"},
    ]
    gate.fault("result", action="search.similar", result=hits)
    r = cli("memory", "search", "--vector-file", put_file("v", "AAAA"))
    assert r.status == 0, r.stderr
    # Only the failed look-up counts: an entry shown by its id for want of a title was fetched,
    # and a hit without an id has nothing to fetch.
    assert r.stderr == "warning: 1 of 6 summaries could not be fetched; those hits are listed by id\n"
    assert r.stdout.split("\n") == [
        "%s\t0.1235\t[m]\tthe summary" % ids["readable"],
        "%s\t1.0000\t[m]\ttitled" % ids["titled"],                    # summary not tier 2: the title
        "%s\t0.0000\t[?]\tsealed elsewhere" % ids["sealed elsewhere"],  # does not decrypt: the title
        "%s\t0.0000\t[?]\t%s" % (ids[None], ids[None]),                  # no title: the id
        "no-such-entry\t-0.5000\t[m[1m]\tno-such-entry",               # the look-up failed: the id
        "?\t0.2500\t[m]\t?",
        "?\t0.0000\t[?]\t?",
        "%s\t123456.7890\t[m]\tstill listed" % ids["after the failure"],
        "",
    ]
    # One look-up per hit that has an id (all at once, so in any order); nothing to look up
    # without one.
    assert sorted(e["id"] for e in sent(gate, "entry.get")) == \
        sorted(h["entry_id"] for h in hits if isinstance(h, dict) and "entry_id" in h)


def test_search_a_failing_lookup_does_not_stop_the_listing(gate, cli, agent, put_file):
    ids = gate.seed([memory("one", summary="first"), memory("two", summary="second")], agent=agent)
    hits = [{"entry_id": ids["one"], "distance": 0.1, "embedding_model": "m"},
            {"entry_id": ids["two"], "distance": 0.2, "embedding_model": "m"}]
    gate.fault("result", action="search.similar", result=hits)
    gate.fault("error", action="entry.get", when={"id": ids["one"]}, code="quota_exceeded",
               message="read quota exceeded")
    r = cli("memory", "search", "--vector-file", put_file("v", "AAAA"))
    # The first look-up fails: that hit is shown by its id; the next one as usual.
    expected = "%s\t0.1000\t[m]\t%s\n%s\t0.2000\t[m]\tsecond\n" % (ids["one"], ids["one"], ids["two"])
    assert outcome(r) == (0, expected, "warning: 1 of 2 summaries could not be fetched; those hits are "
                                       "listed by id\n")


@pytest.mark.parametrize("fault", [dict(kind="status", status=503), dict(kind="close"),
                                   dict(kind="error", code="forbidden", message="scope")])
def test_search_whose_lookups_all_fail_lists_every_hit_by_id(gate, cli, agent, put_file, fault):
    ids = gate.seed([memory("m%d" % k, summary="summary %d" % k) for k in range(3)], agent=agent)
    hits = [{"entry_id": ids["m%d" % k], "distance": k / 10, "embedding_model": "m"} for k in range(3)]
    gate.fault("result", action="search.similar", result=hits)
    gate.fault(action="entry.get", times=-1, **fault)
    r = cli("note", "search", "--vector-file", put_file("v", "AAAA"))
    expected = "".join("%s\t0.%d000\t[m]\t%s\n" % (ids["m%d" % k], k, ids["m%d" % k]) for k in range(3))
    assert outcome(r) == (0, expected, "warning: 3 of 3 summaries could not be fetched; those hits are "
                                       "listed by id\n")


def test_search_looks_up_its_hits_at_once_and_lists_them_in_order(gate, cli, agent, put_file):
    ids = gate.seed([memory("m%d" % k, summary="summary %d" % k) for k in range(5)], agent=agent)
    hits = [{"entry_id": ids["m%d" % k], "distance": k / 10, "embedding_model": "m"} for k in range(5)]
    gate.fault("result", action="search.similar", result=hits)
    gate.set("answer_delay", {"entry.get": 0.3})
    r = cli("memory", "search", "--vector-file", put_file("v", "AAAA"))
    expected = "".join("%s\t0.%d000\t[m]\tsummary %d\n" % (ids["m%d" % k], k, k) for k in range(5))
    assert outcome(r) == (0, expected, "")
    assert max(q["in_flight"] for q in gate.requests() if q["action"] == "entry.get") == 5


def test_search_looks_up_no_more_hits_than_it_asked_for(gate, cli, agent, put_file):
    ids = gate.seed([memory("one", summary="first")], agent=agent)
    hits = [{"entry_id": ids["one"], "distance": 0.1, "embedding_model": "m"}]
    hits += [{"entry_id": "x%d" % k, "distance": 0.2, "embedding_model": "m"} for k in range(1999)]
    gate.fault("result", action="search.similar", result=hits)
    r = cli("memory", "search", "--vector-file", put_file("v", "AAAA"), "--limit", "1")
    assert outcome(r) == (0, "%s\t0.1000\t[m]\tfirst\n" % ids["one"], "")
    assert sent(gate, "entry.get") == [{"id": ids["one"]}]


def test_search_lines_cannot_be_forged(gate, cli, agent, put_file):
    forged = "t\nFORGED\t0.0000\t[m]\tfake"
    ids = gate.seed([{"title": forged, "type": "memory", "fields": []}], agent=agent)
    hits = [{"entry_id": ids[forged], "distance": 0.1, "embedding_model": "m\tx\ny"}]
    gate.fault("result", action="search.similar", result=hits)
    r = cli("memory", "search", "--vector-file", put_file("v", "AAAA"))
    assert outcome(r) == (0, "%s\t0.1000\t[mxy]\ttFORGED0.0000[m]fake\n" % ids[forged], "")


def test_search_refused_by_the_gate(gate, cli, agent, put_file):
    r = cli("memory", "search", "--vector-file", put_file("v", "not a vector"))
    assert r.status == 1
    assert r.stderr == "TS-2047: gate error bad_request: search.similar: 'vector' is not a base64 float32 vector\n"


# -- the whole life of a memory ---------------------------------------------------------------------

def test_memory_round_trip(gate, cli, agent, l2, put_file):
    emb = vaultmod.vector_text([3.0, 4.0])
    r = cli("memory", "create", "--json", input=json.dumps(
        {"summary": "deploy checklist", "content": "1. build\n2. ship\n", "status": "active",
         "embeddings": emb, "embedding_model": "mini"}))
    assert outcome(r) == (0, "OK: Created: deploy checklist\n", "")
    r = cli("memory", "get", "deploy checklist", "--full")
    assert outcome(r) == (0, "Summary: deploy checklist\nStatus: active\n\n1. build\n2. ship\n\n", "")
    r = cli("memory", "update", "deploy checklist", "--status", "archived")
    assert outcome(r) == (0, "OK: Updated: deploy checklist\n", "")
    r = cli("memory", "get", "deploy checklist")
    assert outcome(r) == (0, "Summary: deploy checklist\nStatus: archived\n", "")
    [entry] = gate.entries()
    r = cli("memory", "search", "--vector-file", put_file("v", emb))
    assert outcome(r) == (0, "%s\t0.0000\t[mini]\tdeploy checklist\n" % entry["entry_id"], "")
    r = cli("memory", "delete", "deploy checklist")
    assert outcome(r) == (0, "OK: Deleted.\n", "")
    assert gate.entries() == []
    r = cli("memory", "search", "--vector-file", put_file("v", emb))
    assert outcome(r) == (0, "No similar memorys found.\n", "")
