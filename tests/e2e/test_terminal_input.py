"""Secret values typed at a terminal: a path option given as "-" while standard input is a
terminal prompts with the option's name, reads one line with echo off and drops its line end;
echo comes back on whatever happens. Pipes are read to the end, exactly (test_put.py,
test_textentry.py)."""
import base64
import json
import os
import signal
import struct

import pytest

from devgate import wire
from terminal import STOPPED, Terminal


def sent(gate, action):
    """The content of the last request with this action."""
    return [json.loads(e)["content"] for e in gate.envelopes() if json.loads(e)["action"] == action][-1]


def opened(gate, agent, content, label):
    field = next(f for f in content["data"]["fields"] if f["label"] == label)
    return wire.decrypt_field(bytes.fromhex(gate.agent(agent)["l2"]), label, field["value"])


@pytest.fixture
def env(gate, home):
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(home), "NO_COLOR": "1",
            "SSL_CERT_FILE": os.environ["SSL_CERT_FILE"]}


@pytest.fixture
def summary_file(tmp_path):
    path = tmp_path / "summary.txt"
    path.write_text("Release checklist\n")
    return str(path)


VECTOR = base64.b64encode(struct.pack("<4f", 0.5, -1, 2, 0)).decode()

# (arguments, the option prompted for, the value typed, what the request carries it as)
CASES = [
    (["put", "credential", "x", "--password-file", "-"], "password-file", "s3cret value",
     lambda gate, agent: opened(gate, agent, sent(gate, "entry.upsert"), "password")),
    (["note", "create", "--summary-file", "SUMMARY", "--content-file", "-"], "content-file",
     "s3cret value", lambda gate, agent: opened(gate, agent, sent(gate, "entry.upsert"), "content")),
    (["memory", "create", "--summary-file", "-", "--content-file", "SUMMARY"], "summary-file",
     "s3cret value", lambda gate, agent: opened(gate, agent, sent(gate, "entry.upsert"), "summary")),
    (["memory", "search", "--vector-file", "-"], "vector-file", VECTOR,
     lambda gate, agent: sent(gate, "search.similar")["vector"]),
]
IDS = [case[1] for case in CASES]


@pytest.mark.parametrize("args,option,typed,value", CASES, ids=IDS)
def test_typed_value_is_hidden_and_kept_without_its_line_end(gate, agent, env, summary_file, args,
                                                             option, typed, value):
    t = Terminal([summary_file if a == "SUMMARY" else a for a in args], env)
    t.read_until(b"--%s: " % option.encode())
    assert not t.echo_on(), "echo is off by the time the prompt shows"
    t.type(typed.encode() + b"\r")  # Enter: the terminal turns it into a line feed
    status = t.finish()
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, t.output
    assert t.echo_on(), "echo is switched back on"
    # What was typed is not shown: the prompt is followed by the line feed the program writes.
    assert t.output.split(b"--%s: " % option.encode(), 1)[1].startswith(b"\r\n")
    assert value(gate, agent) == typed


@pytest.mark.parametrize("typed,ending", [
    (b"s3c\x03", "interrupted"),          # Ctrl-C while typing
    (b"\xff\xfe\n", "TS-2000: stdin: not valid UTF-8: "),
])
def test_echo_comes_back_and_nothing_is_sent(gate, agent, env, typed, ending):
    t = Terminal(["put", "credential", "x", "--password-file", "-"], env)
    t.read_until(b"--password-file: ")
    t.type(typed)
    status = t.finish()
    if ending == "interrupted":
        assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT, t.output
    else:
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 1
        assert ending.encode() in t.output
    assert t.echo_on()
    assert gate.actions() == []


def test_ctrl_z_gives_the_terminal_back_and_fg_hides_again(gate, agent, env):
    t = Terminal(["put", "credential", "x", "--password-file", "-"], env, job_control=True)
    t.read_until(b"--password-file: ")
    t.type(b"half")
    t.type(b"\x1a")  # Ctrl-Z: the half-typed line goes with the suspension
    t.read_until(STOPPED)
    assert t.echo_on(), "the stopped job left the terminal as it found it"
    mark = len(t.output)
    t.type(b"fg\n")
    t.read_until(b"--password-file: ", since=mark)
    assert not t.echo_on(), "echo is off again once the prompt is back"
    t.type(b"s3cret value\r")
    status = t.finish()
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, t.output
    assert t.echo_on()
    assert b"s3cret" not in t.output
    assert opened(gate, agent, sent(gate, "entry.upsert"), "password") == "s3cret value"


# (echo before the program starts, what is typed, whether the value is sent)
@pytest.mark.parametrize("echo,typed,sent_value", [
    (False, b"s3cret value\r", True),
    (False, b"s3c\x03", False),  # Ctrl-C
    (True, b"s3cret value\r", True),
])
def test_terminal_settings_are_put_back_as_found(gate, agent, env, echo, typed, sent_value):
    t = Terminal(["put", "credential", "x", "--password-file", "-"], env, echo=echo)
    t.read_until(b"--password-file: ")
    assert not t.echo_on()
    t.type(typed)
    t.finish()
    assert t.echo_on() == echo
    assert b"s3cret" not in t.output
    assert (gate.actions() == ["entry.upsert"]) == sent_value
