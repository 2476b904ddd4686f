"""The standard descriptors as a run finds them: a closed standard input is never read as an empty
one, and a create whose confirmation cannot be written says the entry was made."""
import os

import pytest

CLOSED_STDIN = "TS-2111: reading stdin: standard input is closed\n"


def close_stdin():
    os.close(0)


def close_stdout():
    os.close(1)


@pytest.fixture
def files(tmp_path):
    """Paths of a summary file and a content file."""
    (tmp_path / "summary").write_text("a summary\n")
    (tmp_path / "content").write_text("some content\n")
    return str(tmp_path / "summary"), str(tmp_path / "content")


# A file named before the "-" would take descriptor 0 if nothing held it, and "-" would then read
# that file at its end: an empty value.
@pytest.mark.parametrize("args", [
    ("put", "credential", "t", "--notes-file", "SUMMARY", "--password-file", "-"),
    ("memory", "create", "--summary-file", "SUMMARY", "--content-file", "-"),
    ("note", "create", "--summary-file", "SUMMARY"),
    ("put", "--json"),
])
def test_closed_standard_input_is_refused(gate, cli, agent, files, args):
    args = [files[0] if a == "SUMMARY" else a for a in args]
    r = cli(*args, preexec_fn=close_stdin)
    assert (r.status, r.stdout, r.stderr) == (1, "", CLOSED_STDIN)
    assert "entry.upsert" not in gate.actions()


CREATES = [
    ("put", "credential", "t", "--username", "u"),
    ("memory", "create", "--summary-file", "SUMMARY", "--content-file", "CONTENT"),
    ("note", "create", "--summary-file", "SUMMARY", "--content-file", "CONTENT"),
]


@pytest.mark.parametrize("stdout,reason", [("full", "No space left on device"),
                                           ("closed", "Bad file descriptor")])
@pytest.mark.parametrize("args", CREATES)
def test_unwritable_confirmation_says_the_entry_was_created(gate, cli, agent, files, args, stdout, reason):
    args = [files[0] if a == "SUMMARY" else files[1] if a == "CONTENT" else a for a in args]
    if stdout == "full":
        with open("/dev/full", "wb") as full:
            r = cli(*args, stdout=full)
    else:
        r = cli(*args, preexec_fn=close_stdout)
    assert (r.status, r.stderr) == (1, "TS-2000: the vault created the entry, but its confirmation could not "
                                       "be written to stdout: %s \u2014 running the command again would create "
                                       "a second entry\n" % reason)
    assert len(gate.entries()) == 1
