"""Start-up and dispatch: the first-token rules, help and version, colour, and closed pipes."""
import os
import pathlib
import pty
import select
import subprocess

import pytest

from conftest import BIN

DATA = pathlib.Path(__file__).parent / "data"
STYLES = {"B": "\x1b[1m", "D": "\x1b[2m", "G": "\x1b[38;2;134;239;172m",
          "Y": "\x1b[38;2;107;107;107m", "W": "\x1b[37;1m", "R": "\x1b[0m"}


def help_text(color):
    """The help text as documented, with its style markers resolved."""
    text = (DATA / "help-styled.txt").read_text(encoding="utf-8")
    for letter, seq in STYLES.items():
        text = text.replace("\u27e6%s\u27e7" % letter, seq if color else "")
    return text


HELP = help_text(False)
VERSION = "tessarin-cli 1.7.1\n"


def usage_error(line):
    return line + "\n\n"


@pytest.mark.parametrize("args,status,stdout,stderr", [
    ([], 1, HELP, ""),
    (["-h"], 0, HELP, ""),
    (["--help"], 0, HELP, ""),
    (["help", "me", "--now"], 0, HELP, ""),
    (["-V"], 0, VERSION, ""),
    (["--version"], 0, VERSION, ""),
    (["version", "extra"], 0, VERSION, ""),
    (["GET"], 1, HELP, usage_error("unknown command: 'GET' (try 'tessarin-cli help')")),
    (["show-schema"], 1, HELP, usage_error("unknown command: 'show-schema' (try 'tessarin-cli help')")),
    (["--verbose"], 1, HELP, usage_error('unexpected argument: Long("verbose")')),
    (["-x"], 1, HELP, usage_error("unexpected argument: Short('x')")),
    (["-hV"], 0, HELP, ""),
    (["--help=yes"], 0, HELP, ""),
    ([b"g\xffet"], 1, HELP, usage_error("non-utf8 command name")),
    (["unknown\x1b[31m"], 1, HELP, usage_error("unknown command: 'unknown[31m' (try 'tessarin-cli help')")),
])
def test_first_token(cli, args, status, stdout, stderr):
    r = cli(*args)
    assert (r.status, r.stdout, r.stderr) == (status, stdout, stderr)


def test_no_colour_when_redirected_even_without_no_color(cli):
    r = cli("--version", env={"NO_COLOR": None})
    assert r.stdout == VERSION
    r = cli("GET", env={"NO_COLOR": None})
    assert "\x1b" not in r.stdout + r.stderr


def drain(master):
    """Everything the far side writes to a pseudo-terminal until it is closed."""
    out = b""
    while True:
        ready, _, _ = select.select([master], [], [], 10)
        if not ready:
            break
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    os.close(master)
    # The terminal turns "\n" into "\r\n".
    return out.decode().replace("\r\n", "\n")


def run_on_terminal(args, env_extra, stderr="pipe"):
    """Runs the binary with standard output on a pseudo-terminal and standard error on a pipe,
    on a terminal of its own ("terminal") or in a file (a path); returns (status, stdout,
    stderr)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": "/nonexistent"}
    env.update({k: v for k, v in env_extra.items() if v is not None})
    master, slave = pty.openpty()
    err_master = err_file = None
    if stderr == "terminal":
        err_master, err_slave = pty.openpty()
    elif stderr == "pipe":
        err_slave = subprocess.PIPE
    else:
        err_slave = err_file = open(stderr, "wb")
    proc = subprocess.Popen([BIN, *args], stdin=subprocess.DEVNULL, stdout=slave,
                            stderr=err_slave, env=env)
    os.close(slave)
    if err_master is not None:
        os.close(err_slave)
    out = drain(master)
    if err_master is not None:
        err = drain(err_master)
    elif err_file is not None:
        err_file.close()
        err = open(stderr, "rb").read().decode()
    else:
        err = proc.stderr.read().decode()
    proc.wait(timeout=10)
    return proc.returncode, out, err


@pytest.mark.parametrize("no_color,coloured", [(None, True), ("", True), ("1", False)])
def test_colour_on_a_terminal(no_color, coloured):
    status, out, _ = run_on_terminal(["--version"], {"NO_COLOR": no_color})
    assert status == 0
    if coloured:
        assert out == "\x1b[1mTESSARIN\x1b[0m \x1b[37;1mv1.7.1\x1b[0m\n"
    else:
        assert out == VERSION


def test_styled_help_on_a_terminal():
    status, out, _ = run_on_terminal(["help"], {})
    assert status == 0
    assert out == help_text(True)


ERROR_LINE = "unexpected argument: Long(\"verbose\")\n\n"


# (where standard error goes, TERM, whether the error line and the help are coloured)
@pytest.mark.parametrize("stderr,term,error_coloured,help_coloured", [
    ("terminal", None, True, True),
    ("terminal", "xterm", True, True),
    ("file", None, False, True),       # stderr kept in a log: no escapes there
    ("pipe", None, False, True),
    ("terminal", "dumb", False, False),
])
def test_error_line_is_red_only_on_a_terminal(tmp_path, stderr, term, error_coloured,
                                              help_coloured):
    target = str(tmp_path / "err.log") if stderr == "file" else stderr
    status, out, err = run_on_terminal(["--verbose"], {"TERM": term}, stderr=target)
    assert status == 1
    if error_coloured:
        assert err == "\x1b[38;2;220;38;38m\u2717 " + ERROR_LINE.replace("\n", "\x1b[0m\n", 1)
    else:
        assert err == ERROR_LINE
    assert out == help_text(help_coloured)


def run_with_closed(stream, args):
    """Runs the binary with standard output or standard error a pipe nobody reads."""
    r, w = os.pipe()
    os.close(r)
    kwargs = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    kwargs[stream] = w
    proc = subprocess.run([BIN, *args], stdin=subprocess.DEVNULL, timeout=30, **kwargs)
    os.close(w)
    return proc


@pytest.mark.parametrize("stream,args", [
    ("stdout", ["--help"]),
    ("stdout", ["--show-schema"]),
    ("stderr", ["GET"]),
])
def test_closed_pipe_ends_quietly_with_status_0(stream, args):
    proc = run_with_closed(stream, args)
    assert proc.returncode == 0
    other = proc.stderr if stream == "stdout" else proc.stdout
    if stream == "stdout":
        assert other == b""


def test_help_into_head_ends_quietly():
    proc = subprocess.run(["bash", "-c", '"$0" --help | head -c1; exit "${PIPESTATUS[0]}"', BIN],
                          capture_output=True, timeout=30)
    assert proc.returncode == 0
    assert proc.stdout == b"T"
    assert proc.stderr == b""


def test_other_write_failures_are_fatal():
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([BIN, "--version"], stdout=full, stderr=subprocess.PIPE, timeout=30)
    assert proc.returncode != 0
    assert proc.stderr == b"failed printing to stdout: No space left on device\n"
