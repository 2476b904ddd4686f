"""Every text about the commands names exactly the options the program takes: the help text's
command list, each usage text and the man page's command sections name no option the program
refuses and miss none it accepts (the completion files: test_completion.py, from the same
table). The table the texts are made from (doc/table.json) is checked against the program
itself: each option it lists is taken, each it leaves out is refused."""
import os
import re

import pytest

from conftest import BUILD, command_table, first_option_names, option_names, run

BIN = BUILD / "tessarin-cli"
TABLE = command_table()
COMMANDS = {c["name"]: c for c in TABLE["commands"]}
FIRST = first_option_names(TABLE)
OPTION = re.compile(r"(?<![\w<-])--[a-z][a-z0-9_-]*")
# Options named after "tessarin-cli " are the first-position ones (tessarin-cli --show-schema).
FIRST_USE = re.compile(r"tessarin-cli (--?[a-z][a-z-]*)")
# put's field options, in the forms the texts use for all of them.
FIELD_FORMS = ("--<field>", "--<field>-file")


def put_field_options():
    return {o["name"] for entry in TABLE["put_types"].values() for o in entry["options"]}


def accepted(name):
    """The options a command (with its subcommands) takes."""
    names = option_names(COMMANDS[name])
    if name == "put":
        names |= put_field_options()
    return names


def named(text):
    """The options a text names, and the first-position options it shows in use."""
    first = set(FIRST_USE.findall(text))
    return set(OPTION.findall(text)) - first, first


def check(text, commands, what, brief=False):
    """The text names only options of these commands (first-position ones only in use), and
    every option they take (a brief text, the help text's lines or a usage text, may leave
    --help unsaid: every command with a usage text takes it)."""
    options, first = named(text)
    taken = set().union(*(accepted(c) for c in commands))
    assert options - taken == set(), "%s names options the program refuses" % what
    assert first <= FIRST, what
    wanted = taken - (put_field_options() if "put" in commands else set())
    if brief:
        wanted.discard("--help")
    assert wanted - options == set(), "%s misses options the program accepts" % what
    if "put" in commands:
        assert all(form in text for form in FIELD_FORMS), what


def help_blocks():
    """The help text's command list, cut into one block per command (note and memory share
    theirs)."""
    r = run(BIN, "help", env={"NO_COLOR": "1"})
    text = r.stdout.split("\nCommands\n", 1)[1].split("\n\n", 1)[0]
    blocks = {}
    current = None
    for line in text.split("\n"):
        m = re.match(r"  (\S+)", line)
        if m and m.group(1) in COMMANDS:
            current = m.group(1)
            blocks[current] = ""
        blocks[current] += line + "\n"
    blocks["memory"] = blocks.pop("note") + blocks["memory"]
    return blocks


HELP = help_blocks()


@pytest.mark.parametrize("name", sorted(HELP))
def test_help_text(name):
    commands = ["note", "memory"] if name == "memory" else [name]
    check(HELP[name], commands, "the help text's %s lines" % name, brief=True)


@pytest.mark.parametrize("name", sorted(n for n, c in COMMANDS.items() if c["usage"]))
def test_usage_text(name):
    r = run(BIN, name, "--help")
    assert (r.returncode, r.stdout) == (0, COMMANDS[name]["usage"])
    check(r.stdout, [name], "the usage text of %s" % name, brief=True)


SUBCOMMANDS = {(c["name"], sub["name"]): sub for c in TABLE["commands"]
               for sub in c.get("subcommands", []) if sub["usage"]}


@pytest.mark.parametrize("words", sorted(SUBCOMMANDS), ids=" ".join)
def test_subcommand_usage_text(words):
    """A subcommand's usage text names exactly the options it takes (--help may go unsaid)."""
    sub = SUBCOMMANDS[words]
    r = run(BIN, *words, "--help")
    assert (r.returncode, r.stdout) == (0, sub["usage"])
    options, _ = named(r.stdout)
    taken = {o["name"] for o in sub["options"]}
    assert options - taken == set(), "the usage text of %s names options it refuses" % " ".join(words)
    assert taken - {"--help"} - options == set(), "the usage text of %s misses options" % " ".join(words)


def man_sections():
    """The man page's subsections of COMMANDS by the commands they head, and its entry types."""
    r = run("man", "-l", "-E", "UTF-8", BUILD / "doc" / "tessarin-cli.1",
            env={**os.environ, "MANWIDTH": "1000"})
    text = r.stdout.replace("\u2010\n", "").replace("\u2010 ", "")  # no hyphenated words
    commands = text.split("\nCOMMANDS\n", 1)[1].split("\nENTRY TYPES\n", 1)
    sections = {}
    for part in re.split(r"\n(?=   \S)", commands[0])[1:]:
        heading = part.split("\n", 1)[0]
        words = tuple(w.strip().split()[0] for w in heading.split(","))
        sections[words] = part
    return sections, commands[1].split("\n", 1)[1].split("\nCONFIGURATION\n")[0]


MAN, MAN_TYPES = man_sections()


def test_man_page_heads_every_command():
    assert {w for words in MAN for w in words} == set(COMMANDS)


@pytest.mark.parametrize("words", sorted(MAN), ids=" ".join)
def test_man_page_command_section(words):
    check(MAN[words], list(words), "the man page's section on %s" % ", ".join(words))


@pytest.mark.parametrize("name", sorted(TABLE["put_types"]))
def test_man_page_entry_type(name):
    line = re.search(r"^       %s\n           .*?: (.*?)\n\n" % re.escape(name), MAN_TYPES,
                     re.M | re.S)
    assert line, name
    listed = set(" ".join(line.group(1).split()).split(", "))
    assert listed == {o["name"] for o in TABLE["put_types"][name]["options"]}


# -- the table is the program's -------------------------------------------------------------------

def every_name():
    """Every option name any text or the table mentions: the candidates to probe."""
    names = set(FIRST) | put_field_options()
    for command in TABLE["commands"]:
        names.update(o["name"] for o in command["options"])
        names.update(command["refused"])
        for sub in command.get("subcommands", []):
            names.update(o["name"] for o in sub["options"])
            names.update(sub["refused"])
    for text in list(HELP.values()) + list(MAN.values()):
        names |= named(text)[0]
    return {n for n in names if n.startswith("--")} | {"--bogus"}


NAMES = every_name()


def probes():
    """(words before the option, options taken, options refused as secrets), for every command
    line whose options the table lists."""
    out = []
    for command in TABLE["commands"]:
        if command["reads_own_arguments"] and command["name"] != "put":
            continue
        if command.get("subcommand_word") == "leading":
            for sub in command["subcommands"]:
                out.append(([command["name"], sub["name"]], {o["name"] for o in sub["options"]},
                            set(sub["refused"])))
        else:
            out.append(([command["name"]], {o["name"] for o in command["options"]},
                        set(command["refused"])))
    for name, entry in sorted(TABLE["put_types"].items()):
        out.append((["put", name, "x"], {o["name"] for o in entry["options"]} | {"--help"},
                    set(entry["refused"])))
    return out


@pytest.mark.parametrize("words,taken,refused", probes(), ids=[" ".join(p[0]) for p in probes()])
def test_table_matches_the_program(tmp_path, words, taken, refused):
    env = {"HOME": str(tmp_path), "PATH": "/usr/bin:/bin", "NO_COLOR": "1"}
    for name in sorted(NAMES):
        r = run(BIN, *words, name, "v", env=env, cwd=tmp_path)
        unknown = ('unexpected: Long("%s")' % name[2:] in r.stderr or
                   "is not valid for type" in r.stderr)
        secret = "is a secret field and must not appear on the command line" in r.stderr
        if name in taken:
            assert not unknown and not secret, (words, name, r.stderr)
        elif name in refused:
            assert secret, (words, name, r.stderr)
        else:
            assert unknown, (words, name, r.stderr)
