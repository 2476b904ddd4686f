"""init: enrolment from a sealed blob and its key, in the piped, argument and terminal forms."""
import json
import os
import pathlib
import re
import signal
import subprocess
import time

import pytest

import blobs
from conftest import BIN
from terminal import Terminal

NOT_B64URL = "TS-2001: enrollment blob or key is not base64url"
KEY_LENGTH = "TS-2001: enrollment key must be 32 bytes (base64url of a 256-bit key)"
OLD_ID = "TS-2001: enrollment blob carries an old-form vault id \u2014 mint a new blob"
NO_POP_PUB = ("TS-2001: this enrollment blob is from before blobs carried the POP key \u2014 make a new "
              "client blob in the vault and connect again")
NOT_AUTH = "TS-2001: enrollment blob did not authenticate \u2014 wrong key or corrupt blob"
EMPTY_POP = "TS-2001: enrollment blob carried an empty pop/host"

USAGE = ("Usage: tessarin-cli init [blob]\n"
         "\n"
         "Enroll from a sealed enrollment blob (from the vault UI).\n"
         "If [blob] is omitted, it is read from stdin.\n"
         "The enrollment key is prompted for interactively (never on\n"
         "the command line); when piped, pass it as the line after the\n"
         "blob:  printf '%s\\n%s\\n' BLOB KEY | tessarin-cli init\n")


@pytest.fixture
def xdg(tmp_path):
    return tmp_path / "xdg"


@pytest.fixture
def init(cli, xdg):
    """init(*args, input=...) with XDG_CONFIG_HOME inside the test's directory."""

    def run(*args, input=b"", env=None):
        e = {"XDG_CONFIG_HOME": str(xdg)}
        e.update(env or {})
        return cli("init", *args, input=input, env=e)

    return run


def config_file(xdg) -> pathlib.Path:
    return xdg / "tessarin" / "config"


def read_config(xdg) -> dict:
    """The record inside the written file, opened independently; keys in file order."""
    text = blobs.open_container(config_file(xdg).read_bytes()).decode()
    assert text == text.strip() and "\n" not in text and ": " not in text, "compact JSON"
    return json.loads(text, object_pairs_hook=lambda pairs: dict(pairs))


def summary(fields, xdg, vault_url=None, replica_url=None) -> str:
    agent = fields["agent_id"].lower()
    lines = ["OK: Enrolled.", "  Vault: " + (vault_url or "https://" + fields["pop"])]
    if replica_url:
        lines.append("  Replica: " + replica_url)
    lines += ["  Vault ID: " + fields["vault_id"], "  Agent: " + agent[:8] + "\u2026" + agent[24:],
              "  Config: " + str(config_file(xdg)), "", 'Try: tessarin-cli get "entry name"',
              "     tessarin-cli skill install", ""]
    return "\n".join(lines)


def assert_no_secret(run, material):
    for secret in material.secrets():
        assert secret not in run.stdout and secret not in run.stderr


def test_piped_blob_and_key(init, xdg):
    m = blobs.mint()
    r = init(input=m.stdin())
    assert (r.status, r.stderr) == (0, "")
    assert r.stdout == summary(m.fields, xdg)
    assert_no_secret(r, m)
    path = config_file(xdg)
    assert path.stat().st_mode & 0o777 == 0o600
    assert not (path.parent / ".config.tmp").exists()
    record = read_config(xdg)
    assert list(record) == ["vault_url", "vault_gate_pub", "vault_id", "agent_id", "l2", "device_id"]
    assert record["vault_url"] == "https://vault.example"
    assert record["vault_gate_pub"] == m.fields["pop_pub"]
    assert record["vault_id"] == m.fields["vault_id"]
    assert record["agent_id"] == m.fields["agent_id"]
    assert record["l2"] == m.fields["l2"]
    assert re.fullmatch(r"[0-9a-f]{32}", record["device_id"])


def test_blob_argument_beginning_with_a_dash(init, xdg):
    """A base64url blob may begin with "-": after "--" it is the positional argument."""
    m = blobs.mint()
    sealed = blobs.seal(m.key_bytes, json.dumps(m.fields).encode())
    while not blobs.b64url(sealed).startswith("-"):
        sealed = blobs.seal(m.key_bytes, json.dumps(m.fields).encode())
    r = init("--", blobs.b64url(sealed), input=m.key + "\n")
    assert (r.status, r.stderr) == (0, ""), r.stderr
    assert read_config(xdg)["agent_id"] == m.fields["agent_id"]


def test_blob_argument_key_piped(init, xdg):
    m = blobs.mint()
    r = init(m.blob, input=m.key + "\n")
    assert (r.status, r.stderr) == (0, "")
    assert r.stdout == summary(m.fields, xdg)
    # The key may also be the last line without a line feed.
    other = blobs.mint()
    config_file(xdg).unlink()
    r = init(other.blob, input=other.key)
    assert r.status == 0, r.stderr
    assert read_config(xdg)["agent_id"] == other.fields["agent_id"]


def test_each_enrolment_gets_its_own_device_id(init, xdg):
    m = blobs.mint()
    assert init(input=m.stdin()).status == 0
    first = read_config(xdg)["device_id"]
    config_file(xdg).unlink()
    assert init(input=m.stdin()).status == 0
    assert read_config(xdg)["device_id"] != first


def _key_of_length(n):
    return blobs.b64url(os.urandom(n))


def _std_b64_key():
    while True:
        key = os.urandom(32)
        text = blobs.base64.b64encode(key).decode().rstrip("=")
        if "+" in text:
            return key, text


REFUSALS = {
    # name: (how to make blob and key texts, expected error line)
    "31-byte key": (lambda m: (m.blob, _key_of_length(31)), KEY_LENGTH),
    "33-byte key": (lambda m: (m.blob, _key_of_length(33)), KEY_LENGTH),
    "key of another blob": (lambda m: (m.blob, _key_of_length(32)), NOT_AUTH),
    "key with a blank inside": (lambda m: (m.blob, m.key[:5] + " " + m.key[5:]), NOT_B64URL),
    "blob with a blank inside": (lambda m: (m.blob[:10] + " " + m.blob[10:], m.key), NOT_B64URL),
    "blob with a star": (lambda m: (m.blob[:10] + "*" + m.blob[11:], m.key), NOT_B64URL),
    "blob cut to 20 bytes": (lambda m: (blobs.b64url(blobs.base64.urlsafe_b64decode(m.blob + "==")[:20]), m.key),
                             NOT_AUTH),
    "blob with one bit flipped": (
        lambda m: (blobs.b64url(bytearray(b ^ (1 if i == 20 else 0) for i, b in
                                          enumerate(blobs.base64.urlsafe_b64decode(m.blob + "==")))), m.key),
        NOT_AUTH),
}


@pytest.mark.parametrize("name", sorted(REFUSALS))
def test_refused_key_or_blob(init, xdg, name):
    make, expected = REFUSALS[name]
    m = blobs.mint()
    blob, key = make(m)
    r = init(input=(blob + "\n" + key + "\n").encode())
    assert (r.status, r.stdout, r.stderr) == (1, "", expected + "\n")
    assert_no_secret(r, m)
    assert not xdg.exists(), "a failed init writes nothing"


def test_standard_alphabet_key_refused(init, xdg):
    key, text = _std_b64_key()
    m = blobs.mint(key=key)
    r = init(m.blob, input=text + "\n")
    assert (r.status, r.stderr) == (1, NOT_B64URL + "\n")
    assert not xdg.exists()


BLOB_CONTENTS = {
    # name: (mint arguments, expected error line or None for success)
    "pop_pub absent": (dict(omit=("pop_pub",)), NO_POP_PUB),
    "pop_pub null": (dict(extra={"pop_pub": None}), NO_POP_PUB),
    "pop_pub spaces": (dict(pop_pub="   "), NO_POP_PUB),
    "pop_pub of 63 digits": (dict(pop_pub="a" * 63), NOT_AUTH),
    "pop_pub not hex": (dict(pop_pub="g" * 64), NOT_AUTH),
    "agent_id of 31 digits": (dict(agent_id="1" * 31), NOT_AUTH),
    "l2 not hex": (dict(l2="x" * 32), NOT_AUTH),
    "agent_id missing": (dict(omit=("agent_id",)), NOT_AUTH),
    "pop missing": (dict(omit=("pop",)), NOT_AUTH),
    "agent_id a number": (dict(extra={"agent_id": 5}), NOT_AUTH),
    "duplicate member": (dict(plaintext='{"agent_id":"%s","agent_id":"%s","l2":"%s","vault_id":"2a1b2c3d4e5f6071",'
                                        '"pop":"v","pop_pub":"%s"}' % ("a" * 32, "b" * 32, "c" * 32, "d" * 64)),
                         NOT_AUTH),
    "not JSON": (dict(plaintext="{"), NOT_AUTH),
    "bytes after a NUL past the JSON": (
        dict(plaintext='{"agent_id":"%s","l2":"%s","vault_id":"2a1b2c3d4e5f6071","pop":"v","pop_pub":"%s"}'
                       '\0{"l2":"%s"}' % ("a" * 32, "c" * 32, "d" * 64, "e" * 32)),
        NOT_AUTH),
    "a JSON number": (dict(plaintext="42"), NOT_AUTH),
    "vault_id upper case": (dict(vault_id="2A1B2C3D4E5F6071"), OLD_ID),
    "vault_id with 0x": (dict(vault_id="0x1b2c3d4e5f6071"), OLD_ID),
    "vault_id issuer zero": (dict(vault_id="00000000000000ff"), OLD_ID),
    "vault_id of 15 digits": (dict(vault_id="2a1b2c3d4e5f607"), OLD_ID),
    "pop empty": (dict(pop=""), EMPTY_POP),
    "pop blank": (dict(pop="   "), EMPTY_POP),
    "pop with a line feed": (dict(pop="vault.example\nevil.example"), EMPTY_POP),
}


@pytest.mark.parametrize("name", sorted(BLOB_CONTENTS))
def test_blob_contents_refused(init, xdg, name):
    kwargs, expected = BLOB_CONTENTS[name]
    m = blobs.mint(**kwargs)
    r = init(input=m.stdin())
    assert (r.status, r.stdout, r.stderr) == (1, "", expected + "\n")
    assert_no_secret(r, m)
    assert not xdg.exists()


UNLOADABLE = {
    # name: (mint arguments, the detail every later load would give)
    "pop with a user part": (dict(pop="a@b"), "vault_url is not a clean https origin (got https://a@b)"),
    "pop holding a space": (dict(pop="vault example"),
                            "vault_url is not a clean https origin (got https://vault example)"),
    "pop with a query": (dict(pop="vault.example?x"),
                         "vault_url is not a clean https origin (got https://vault.example?x)"),
    "pop with a backslash": (dict(pop="vault.example\\x"),
                             "vault_url is not a clean https origin (got https://vault.example\\x)"),
    "replica host with a user part": (dict(replica_host="r@s", replica_pub="cd" * 32),
                                      "vault_url is not a clean https origin (got https://r@s)"),
    "replica key not hex": (dict(replica_host="replica.example", replica_pub="xyz"),
                            "replica_gate_pub is not valid hex"),
    "replica key short": (dict(replica_host="replica.example", replica_pub="abcd"),
                          "replica_gate_pub must be 32 bytes (64 hex chars)"),
}


@pytest.mark.parametrize("name", sorted(UNLOADABLE))
def test_unloadable_record_is_not_enrolled(init, xdg, name):
    """init runs the loader's checks on the record before writing it: what every later
    command would refuse is refused now, with the loader's detail."""
    kwargs, detail = UNLOADABLE[name]
    m = blobs.mint(**kwargs)
    r = init(input=m.stdin())
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2001: " + detail + "\n")
    assert_no_secret(r, m)
    assert not xdg.exists()


def test_replica_host_the_loader_ignores_still_enrols(init, xdg, cli):
    """Without a replica key the loader uses no replica and never looks at its host: nor does
    init."""
    m = blobs.mint(replica_host="a b", replica_pub="")
    r = init(input=m.stdin())
    assert r.status == 0, r.stderr
    assert read_config(xdg)["replica_url"] == "https://a b"


def test_tolerated_forms(init, xdg):
    """Padding and blanks around blob and key, upper-case hex, a trailing slash, the array
    form and unknown members all enrol; values are stored in their canonical form."""
    cases = [
        ("padded", dict(), lambda m: (m.blob + "=", m.key + "=")),
        ("blanks around", dict(), lambda m: ("  " + m.blob + " \t", " " + m.key + "  ")),
        ("upper-case hex", dict(pop_pub="AB" * 32, agent_id="ABCDEF" + "0" * 26, l2="F" * 32), None),
        ("pop with trailing slash", dict(pop=" vault.example/ "), None),
        ("array form", dict(array=True), None),
        ("unknown member", dict(extra={"issued_by": {"nested": [1, 2]}}), None),
    ]
    for name, kwargs, texts in cases:
        m = blobs.mint(**kwargs)
        blob, key = texts(m) if texts else (m.blob, m.key)
        r = init(input=(blob + "\n" + key + "\n").encode())
        assert r.status == 0, (name, r.stderr)
        record = read_config(xdg)
        assert record["vault_url"] == "https://vault.example", name
        assert record["vault_gate_pub"] == m.fields["pop_pub"].lower(), name
        assert record["agent_id"] == m.fields["agent_id"].lower(), name
        assert record["l2"] == m.fields["l2"].lower(), name
        config_file(xdg).unlink()


def test_replica(init, xdg):
    pub = "CD" * 32
    m = blobs.mint(replica_host=" replica.example/ ", replica_pub=" " + pub + " ")
    r = init(input=m.stdin())
    assert r.status == 0, r.stderr
    assert r.stdout == summary(m.fields, xdg, replica_url="https://replica.example")
    record = read_config(xdg)
    assert list(record) == ["vault_url", "vault_gate_pub", "replica_url", "replica_gate_pub", "vault_id",
                            "agent_id", "l2", "device_id"]
    assert record["replica_url"] == "https://replica.example"
    assert record["replica_gate_pub"] == pub  # trimmed, case kept

    # A replica host without a key enrols; the key member is left out as empty.
    config_file(xdg).unlink()
    m = blobs.mint(replica_host="replica.example", replica_pub="")
    assert init(input=m.stdin()).status == 0
    record = read_config(xdg)
    assert record["replica_url"] == "https://replica.example"
    assert "replica_gate_pub" not in record


def test_existing_configuration_refused_and_unchanged(init, xdg):
    assert init(input=blobs.mint().stdin()).status == 0
    before = config_file(xdg).read_bytes()
    m = blobs.mint()
    r = init(input=m.stdin())
    assert (r.status, r.stdout) == (1, "")
    assert r.stderr == ("TS-2002: config already exists at %s \u2014 refuse to overwrite (delete it "
                        "explicitly to re-enroll)\n" % config_file(xdg))
    assert config_file(xdg).read_bytes() == before
    assert_no_secret(r, m)
    # The blob and key are read and checked before the refusal.
    bad = init(input=(m.blob + "\n" + _key_of_length(31) + "\n").encode())
    assert bad.stderr == KEY_LENGTH + "\n"


def test_dangling_link_at_the_path_refused(init, xdg, tmp_path):
    config_file(xdg).parent.mkdir(parents=True)
    target = tmp_path / "elsewhere"
    config_file(xdg).symlink_to(target)
    r = init(input=blobs.mint().stdin())
    assert r.status == 1
    assert r.stderr.startswith("TS-2002: config already exists at %s" % config_file(xdg))
    assert not target.exists()
    assert config_file(xdg).is_symlink()


def test_two_inits_at_once_exactly_one_enrols(init, xdg, tmp_path):
    """Run A is held (strace delays its first mkdir, after its existence check) while run B
    enrols from start to end; A then must not replace B's file nor report success."""
    a, b = blobs.mint(), blobs.mint()
    trace = tmp_path / "trace"
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(tmp_path / "home"),
           "XDG_CONFIG_HOME": str(xdg)}
    if "UBSAN_OPTIONS" in os.environ:
        env["UBSAN_OPTIONS"] = os.environ["UBSAN_OPTIONS"]
    # A sanitizer build's leak checker cannot work under ptrace: off for the held run only.
    env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    # mkdir(2) is mkdirat on architectures without the old call (arm64, and arm64 emulated).
    held = subprocess.Popen(["strace", "-f", "-qq", "-o", str(trace), "-e", "trace=mkdir,mkdirat",
                             "-e", "inject=mkdir,mkdirat:delay_enter=3000000:when=1", BIN, "init"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        held.stdin.write(a.stdin())
        held.stdin.close()
        deadline = time.monotonic() + 30
        while not (trace.exists() and "mkdir" in trace.read_text()):
            assert time.monotonic() < deadline and held.poll() is None, "run A never reached mkdir"
            time.sleep(0.02)
        second = init(input=b.stdin())
        held.wait(timeout=60)
        out, err = held.stdout.read(), held.stderr.read()
    finally:
        if held.poll() is None:
            held.kill()
            held.wait()
    assert (second.status, second.stderr) == (0, ""), second.stderr
    assert (held.returncode, out, err.decode()) == (
        1, b"", "TS-2002: config already exists at %s \u2014 refuse to overwrite (delete it "
                "explicitly to re-enroll)\n" % config_file(xdg))
    assert read_config(xdg)["agent_id"] == b.fields["agent_id"]
    assert sorted(p.name for p in config_file(xdg).parent.iterdir()) == ["config"], "no temporary file left"


def test_linked_ancestor_refused(init, tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    (tmp_path / "link").symlink_to(real)
    r = init(input=blobs.mint().stdin(), env={"XDG_CONFIG_HOME": str(tmp_path / "link" / "cfg")})
    assert r.status == 1
    assert r.stderr == ("TS-2003: config path component %s is a symlink \u2014 refuse to follow it\n"
                        % (tmp_path / "link"))
    assert list(real.iterdir()) == []


def test_input_lines(init, xdg):
    m = blobs.mint()
    cases = [
        ("empty standard input", [], b"", "TS-2006: no blob on stdin (use: tessarin-cli init <blob>)"),
        ("blank blob line", [], b"  \n" + m.key.encode() + b"\n",
         "TS-2006: no blob on stdin (use: tessarin-cli init <blob>)"),
        ("no key line", [], m.blob.encode() + b"\n",
         "TS-2006: no enrollment key provided (paste it when prompted, or pipe it as the line after the blob)"),
        ("blank key line", [m.blob], b" \t\n",
         "TS-2006: no enrollment key provided (paste it when prompted, or pipe it as the line after the blob)"),
        ("blob line too long", [], b"A" * 65537 + b"\n", "TS-2006: enrollment blob exceeds 65536 bytes"),
        ("key line too long", [m.blob], b"A" * 65537, "TS-2006: enrollment key exceeds 65536 bytes"),
        ("key not UTF-8", [m.blob], b"ab\xffcd\n",
         "TS-2006: enrollment key: not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 2"),
        ("blob argument not UTF-8", [b"ab\xff".decode("utf-8", "surrogateescape")], m.key.encode(),
         "TS-2000: blob: not valid UTF-8"),
    ]
    for name, args, stdin, expected in cases:
        r = init(*args, input=stdin)
        assert (r.status, r.stdout, r.stderr) == (1, "", expected + "\n"), name
        assert m.key not in r.stderr
        assert not xdg.exists(), name
    # A line of exactly 65536 bytes is read whole (and then refused as a blob).
    r = init(input=b"A" * 65536 + b"\n" + m.key.encode() + b"\n")
    assert r.stderr == NOT_AUTH + "\n"


def test_help_and_arguments(init, xdg):
    for args in (["--help"], ["help"], ["blob", "--help"], ["--help", "extra", "-x"]):
        r = init(*args)
        assert (r.status, r.stdout, r.stderr) == (0, USAGE, ""), args
    for args, expected in ((["a", "b"], 'unexpected: Value("b")'), (["-h"], "unexpected: Short('h')"),
                           (["--force"], 'unexpected: Long("force")')):
        r = init(*args, input=blobs.mint().stdin())
        assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2000: " + expected + "\n"), args
    assert not xdg.exists()


# -- the terminal form ------------------------------------------------------------------------

def _env(xdg, extra=None):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(xdg.parent / "home"),
           "XDG_CONFIG_HOME": str(xdg), "NO_COLOR": "1"}
    env.update(extra or {})
    return env


def test_terminal_prompts_and_hides_the_key(xdg, tmp_path):
    m = blobs.mint()
    # A PATH with its own stty proves the real one is run by its full path; the dynamic linker's
    # debug output shows which processes inherited LD_ variables.
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "stty").write_text("#!/bin/sh\ntouch %s\n" % (tmp_path / "fake-stty-ran"))
    (fake / "stty").chmod(0o755)
    ld_dir = tmp_path / "ld"
    ld_dir.mkdir()
    env = _env(xdg, {"PATH": str(fake) + ":/usr/bin:/bin", "LD_DEBUG": "files",
                     "LD_DEBUG_OUTPUT": str(ld_dir / "trace")})
    t = Terminal(["init"], env)
    t.read_until(b"Paste enrollment blob, then press Enter:\r\n")
    t.type(m.blob.encode() + b"\n")
    t.read_until(b"Enrollment key: ")
    assert not t.echo_on(), "echo is off by the time the prompt shows"
    t.type(m.key.encode() + b"\n")
    status = t.finish()
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, t.output
    assert t.echo_on(), "echo is switched back on"
    text = t.output.decode()
    after_prompt = text.split("Enrollment key: ", 1)[1]
    assert m.key not in after_prompt, "the typed key is not echoed"
    assert after_prompt.startswith("\r\nOK: Enrolled.\r\n")
    assert summary(m.fields, xdg).replace("\n", "\r\n") in after_prompt
    assert read_config(xdg)["l2"] == m.fields["l2"]
    assert not (tmp_path / "fake-stty-ran").exists()
    traced = {p.name for p in ld_dir.iterdir()}
    # A statically linked client leaves no trace of its own; a dynamically linked stty that
    # inherited the variables would leave one, as any dynamically linked program does here.
    assert traced <= {"trace.%d" % t.pid}, "only the client itself saw the LD_ variables"
    control = subprocess.Popen(["/bin/true"], env=env)
    assert control.wait() == 0
    assert {p.name for p in ld_dir.iterdir()} - traced == {"trace.%d" % control.pid}, \
        "a dynamically linked program given the variables leaves a trace"


def test_terminal_blob_argument_prompts_for_the_key_only(xdg):
    m = blobs.mint()
    t = Terminal(["init", m.blob], _env(xdg))
    t.read_until(b"Enrollment key: ")
    assert b"Paste enrollment blob" not in t.output
    t.type(m.key.encode() + b"\n")
    status = t.finish()
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, t.output
    assert m.key.encode() not in t.output
    assert t.echo_on()


def test_terminal_interrupt_restores_echo(xdg):
    m = blobs.mint()
    t = Terminal(["init", m.blob], _env(xdg))
    t.read_until(b"Enrollment key: ")
    assert not t.echo_on()
    t.type(m.key[:10].encode() + b"\x03")  # Ctrl-C while typing
    status = t.finish()
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT, t.output
    assert t.echo_on(), "echo is back on after the interrupt"
    assert not xdg.exists()


def test_terminal_error_still_restores_echo(xdg):
    m = blobs.mint()
    t = Terminal(["init", m.blob], _env(xdg))
    t.read_until(b"Enrollment key: ")
    t.type(b"\n")  # an empty key
    status = t.finish()
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 1
    assert t.echo_on()
    assert b"TS-2006: no enrollment key provided" in t.output


def test_terminal_summary_in_colour(xdg):
    m = blobs.mint()
    env = _env(xdg)
    del env["NO_COLOR"]
    t = Terminal(["init", m.blob], env)
    t.read_until(b"Enrollment key: ")
    t.type(m.key.encode() + b"\n")
    status = t.finish()
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, t.output
    grey, bold, dim, green, reset = ("\x1b[38;2;107;107;107m", "\x1b[1m", "\x1b[2m", "\x1b[38;2;134;239;172m",
                                     "\x1b[0m")
    agent = m.fields["agent_id"]
    expected = [
        green + bold + "\u2713" + reset + " " + green + "Enrolled." + reset,
        grey + "\u2192 Vault:" + reset + " " + bold + "https://vault.example" + reset,
        grey + "\u2192 Vault ID:" + reset + " " + bold + m.fields["vault_id"] + reset,
        grey + "\u2192 Agent:" + reset + " " + bold + agent[:8] + "\u2026" + agent[24:] + reset,
        grey + "\u2192 Config: " + str(config_file(xdg)) + reset,
        "",
        dim + 'Try: tessarin-cli get "entry name"' + reset,
        dim + "     tessarin-cli skill install" + reset,
        "",
    ]
    assert t.output.decode().split("Enrollment key: ", 1)[1] == "\r\n" + "\r\n".join(expected)


# -- status: what init enrolled, read back without contacting the vault --------------------------

@pytest.mark.parametrize("replica", [None, "CD" * 32, ""])
def test_status_shows_the_enrolment(init, xdg, cli, replica):
    extra = {} if replica is None else {"replica_host": "replica.example", "replica_pub": replica}
    m = blobs.mint(**extra)
    enrolled = init(input=m.stdin())
    assert enrolled.status == 0, enrolled.stderr
    env = {"XDG_CONFIG_HOME": str(xdg)}
    # The replica only when the next request would fail over to it (a key as well as a host).
    replica_url = "https://replica.example" if replica else None
    lines = summary(m.fields, xdg, replica_url=replica_url).split("\n")
    r = cli("status", env=env)
    assert (r.status, r.stdout, r.stderr) == (0, "\n".join(lines[1:-4]) + "\n", "")
    r = cli("status", "--json", env=env)
    agent = m.fields["agent_id"].lower()
    expected = {"agent": agent[:8] + "\u2026" + agent[24:], "config": str(config_file(xdg)),
                "replica": replica_url, "vault": "https://vault.example",
                "vault_id": m.fields["vault_id"]}
    assert (r.status, r.stderr) == (0, "")
    assert r.stdout == json.dumps(expected, indent=2, sort_keys=True, ensure_ascii=False) + "\n"


def test_status_refusals(init, xdg, cli):
    env = {"XDG_CONFIG_HOME": str(xdg)}
    r = cli("status", env=env)
    assert (r.status, r.stdout) == (1, "")
    assert r.stderr.startswith("TS-2003: Not initialized. Config file not found at %s." % config_file(xdg))
    assert init(input=blobs.mint().stdin()).status == 0
    config_file(xdg).chmod(0o644)
    r = cli("status", "--json", env=env)
    assert (r.status, r.stdout) == (1, "")
    assert r.stderr == cli("get", "x", env=env).stderr  # the loader's own refusal
    assert "has mode 0644" in r.stderr
    assert cli("status", "extra", env=env).stderr == 'TS-2000: unexpected: Value("extra")\n'
    assert cli("status", "--help").stdout.startswith("Usage: tessarin-cli status [--json]\n")
