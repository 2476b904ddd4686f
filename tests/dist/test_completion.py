"""Shell completion, driven in each real shell: bash (with and without bash-completion's
helpers), zsh (its completion system, through a pseudo-terminal) and fish (complete -C).

Every shell completes the same table of command lines, typed in a scratch directory that holds
a few files. A tessarin-cli that records its runs comes first on PATH: completion must never
run the program (that would read the configuration and could contact the vault)."""
import json
import os
import pty
import select
import shlex
import signal
import time

import pytest

from conftest import BUILD, command_table, first_option_names, run

COMPLETION = BUILD / "completion"
SCHEMA = json.loads(run(BUILD / "tessarin-cli", "--show-schema").stdout)
TYPES = set(SCHEMA["types"]) | {"api", "ssh"}
COMMANDS = {"init", "status", "get", "find", "delete", "audit", "totp", "render", "put", "edit",
            "note", "memory", "skill", "version", "help"}
TABLE = command_table()
FILE = "openrouter.key"  # a file in the scratch directory's keys/

# (typed line, the candidates offered; FILE stands for "file names, this one among them")
CASES = [
    ("tessarin-cli ", COMMANDS),
    ("tessarin-cli -", {"-V", "--version", "-h", "--help", "--show-schema"}),
    ("tessarin-cli get x --", {"--field", "--json", "--exact", "--fuzzy", "--type", "--id", "--help"}),
    ("tessarin-cli get --type ", TYPES),
    ("tessarin-cli get --type=ap", {"api", "api_key"}),
    ("tessarin-cli put ", TYPES),
    # Every field takes the -file form; a secret field only that one.
    ("tessarin-cli put credential x --",
     {"--notes-file", "--password-file", "--title", "--title-file", "--totp-file", "--urls",
      "--urls-file", "--username", "--username-file",
      "--generate", "--length", "--charset", "--print-generated"}),
    # Types are looked up ignoring case; a quoted title is one word.
    ("tessarin-cli put Credential 'my title' --pa", {"--password-file"}),
    # public_key is not secret; the passphrase and private key are, so only their -file form.
    # Fields are offered with hyphens (--public_key is taken too, but not offered).
    ("tessarin-cli put ssh k --p", {"--passphrase-file", "--private-key-file", "--public-key",
                                    "--public-key-file", "--print-generated"}),
    ("tessarin-cli put api k --key", {"--key-file"}),
    ("tessarin-cli put --json ", set()),  # the entry comes from standard input
    ("tessarin-cli put credential x --password-file keys/op", FILE),
    ("tessarin-cli memory ", {"create", "get", "update", "delete", "search"}),
    ("tessarin-cli note create --", {"--summary-file", "--content-file", "--status",
                                     "--embeddings-file", "--embedding-model", "--json",
                                     "--help"}),
    ("tessarin-cli memory update q --status ", {"draft", "active", "archived"}),
    ("tessarin-cli memory search --", {"--vector-file", "--limit", "--help"}),
    ("tessarin-cli note create --content-file keys/", FILE),
    ("tessarin-cli render keys/", FILE),
    ("tessarin-cli skill ", {"print", "install"}),
    ("tessarin-cli audit --l", {"--limit"}),
    # edit's own options; the entry's field options are known only once it is fetched.
    ("tessarin-cli edit x --", {"--title", "--urls", "--generate", "--length", "--charset",
                                "--print-generated", "--exact", "--fuzzy", "--id", "--help"}),
]


def table_cases():
    """Every option list of the command table, as completion must offer it: exactly the options
    each command, subcommand and entry type takes (never a refused one)."""
    cases = [("tessarin-cli ", {c["name"] for c in TABLE["commands"]}),
             ("tessarin-cli -", first_option_names(TABLE))]
    for command in TABLE["commands"]:
        if command["reads_own_arguments"] and not command["options"] and not command["positionals"]:
            continue  # version and help ignore the rest of the line
        taken = {o["name"] for o in command["options"]}
        if command.get("subcommand_word") == "leading":
            for sub in command["subcommands"]:
                cases.append(("tessarin-cli %s %s --" % (command["name"], sub["name"]),
                              {o["name"] for o in sub["options"]}))
        elif taken:
            cases.append(("tessarin-cli %s --" % command["name"], taken))
    for name, entry in sorted(TABLE["put_types"].items()):
        cases.append(("tessarin-cli put %s x --" % name, {o["name"] for o in entry["options"]}))
    return cases


CASES += table_cases()
IDS = [line.replace("tessarin-cli ", "").strip() or "<command>" for line, _ in CASES]


def check(candidates, expected, line):
    last = line.split(" ")[-1]
    if last.startswith("--") and "=" in last:
        # fish replaces the whole word, so its candidates repeat the option and "=".
        option = last.split("=")[0] + "="
        candidates = [c[len(option):] if c.startswith(option) else c for c in candidates]
    if expected == FILE:
        assert any(c.endswith(FILE) for c in candidates), (line, candidates)
        assert not set(candidates) & TYPES, (line, candidates)
    else:
        assert set(candidates) == expected, line


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    """A working directory with files to complete, a home, and a recording tessarin-cli."""
    root = tmp_path_factory.mktemp("completion")
    (root / "keys").mkdir()
    (root / "keys" / FILE).write_text("x")
    (root / "keys" / "notes.md").write_text("x")
    (root / "home").mkdir()
    fake = root / "bin" / "tessarin-cli"
    fake.parent.mkdir()
    fake.write_text(f"#!/bin/sh\necho \"$@\" >> {root / 'ran'}\n")
    fake.chmod(0o755)
    env = {"HOME": str(root / "home"), "PATH": f"{fake.parent}:/usr/bin:/bin", "TERM": "xterm",
           "LC_ALL": "C.UTF-8", "XDG_CONFIG_HOME": str(root / "home" / ".config")}
    yield root, env
    assert not (root / "ran").exists(), "completion ran tessarin-cli"


def split_results(output, count):
    parts = output.split("--end--\n")
    assert len(parts) == count + 1, output
    return [[c for c in p.split("\n") if c] for p in parts[:-1]]


def bash_words(line):
    """COMP_WORDS as readline builds them: blanks separate words (quotes kept), "=" is a
    word of its own."""
    words = []
    for word in shlex.split(line, posix=False):
        if word.startswith("--") and "=" in word:
            option, value = word.split("=", 1)
            words += [option, "=", value]
        else:
            words.append(word)
    if line.endswith(" "):
        words.append("")
    return words


@pytest.fixture(scope="module", params=["bash-completion", "bare"])
def bash_results(request, scratch):
    root, env = scratch
    script = []
    if request.param == "bash-completion":
        script.append("source /usr/share/bash-completion/bash_completion")
    script.append(f"source {shlex.quote(str(COMPLETION / 'tessarin-cli'))}")
    script.append("""complete_line() {
    COMP_LINE=$1 COMP_POINT=${#1}
    shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
    _tessarin_cli tessarin-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\\n' "${COMPREPLY[@]}" --end--
}""")
    for line, _ in CASES:
        words = [line, *bash_words(line)]
        script.append("complete_line " + " ".join(shlex.quote(w) for w in words))
    r = run("bash", "--norc", "--noprofile", "-c", "\n".join(script), cwd=root, env=env)
    assert r.returncode == 0, r.stderr
    return split_results(r.stdout, len(CASES))


@pytest.mark.parametrize("case", range(len(CASES)), ids=IDS)
def test_bash(bash_results, case):
    line, expected = CASES[case]
    check(bash_results[case], expected, line)


@pytest.fixture(scope="module")
def fish_results(scratch):
    root, env = scratch
    script = (f"source {shlex.quote(str(COMPLETION / 'tessarin-cli.fish'))}\n"
              "for line in $argv\n    complete -C $line\n    echo --end--\nend")
    r = run("fish", "--no-config", "-c", script, *[line for line, _ in CASES], cwd=root, env=env)
    assert r.returncode == 0, r.stderr
    # fish prints candidate<TAB>description.
    return [[c.split("\t")[0] for c in part] for part in split_results(r.stdout, len(CASES))]


@pytest.mark.parametrize("case", range(len(CASES)), ids=IDS)
def test_fish(fish_results, case):
    line, expected = CASES[case]
    check(fish_results[case], expected, line)


# zsh completes only inside its line editor, so it runs interactively on a pseudo-terminal:
# each line is typed followed by Tab, bound to a widget that completes and then writes an end
# mark. compadd is wrapped to record the matches the completion system accepts.
ZSH_SETUP = r"""
PS1='' RPROMPT=''
fpath=($COMPLETION_DIR $fpath)
autoload -Uz compinit && compinit -u -D
compadd() {
    local arg
    for arg in "$@"; do
        [[ $arg == (-|--) ]] && break
        if [[ $arg == -[OAD]* ]]; then  # a helper's internal call: not a final match list
            builtin compadd "$@"
            return
        fi
    done
    local -a matches
    builtin compadd -O matches "$@"
    (( $#matches )) && print -rl -- $matches >>| $RESULTS
    builtin compadd "$@"
}
complete-and-mark() {
    zle complete-word
    print -r -- --end-- >>| $RESULTS
    BUFFER=
}
zle -N complete-and-mark
bindkey '^I' complete-and-mark
print -r -- --end-- >>| $RESULTS
"""


@pytest.fixture(scope="module")
def zsh_results(scratch):
    root, env = scratch
    results = root / "zsh-results"
    results.write_text("")
    setup = root / "setup.zsh"
    setup.write_text(ZSH_SETUP)
    env = {**env, "RESULTS": str(results), "COMPLETION_DIR": str(COMPLETION)}
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(root)
        os.execve("/usr/bin/zsh", ["zsh", "-f", "-i"], env)

    def wait_for_marks(count):
        deadline = time.monotonic() + 30
        while results.read_text().count("--end--\n") < count:
            assert time.monotonic() < deadline, results.read_text()
            ready, _, _ = select.select([fd], [], [], 0.02)
            if ready:
                try:
                    os.read(fd, 65536)  # drain the terminal so zsh never blocks on it
                except OSError:
                    pass

    try:
        os.write(fd, f"source {shlex.quote(str(setup))}\n".encode())
        wait_for_marks(1)
        for i, (line, _) in enumerate(CASES):
            os.write(fd, line.encode() + b"\t")
            wait_for_marks(i + 2)
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(fd)
    return split_results(results.read_text(), len(CASES) + 1)[1:]


@pytest.mark.parametrize("case", range(len(CASES)), ids=IDS)
def test_zsh(zsh_results, case):
    line, expected = CASES[case]
    check(zsh_results[case], expected, line)
