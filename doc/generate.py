"""Writes the man page of tessarin-cli: its scdoc source with the command and option lists
filled in from the program's own command table, formatted by scdoc.

Usage: generate.py TABLE TEMPLATE SCDOC OUT

TABLE is the command table as JSON, written at build time by table_dump (built from the same
table as tessarin-cli). In TEMPLATE, a line
    @HEADING name [name...]@     becomes the subsection heading of those commands (their words
                                 and arguments as the help text shows them),
    @OPTIONS name [sub]@         the list of the options that command (or subcommand) takes,
    @FIRST_OPTIONS@              the options recognised only as the first argument,
    @PUT_TYPES@                  every entry type with the options put takes for it,
    @VERSION@                    the program's version.
Every command and subcommand of the table must have its heading and its option list (when it
takes options; note and memory share theirs), and the template may name no other: a command
added to the table without its section in the page fails the build.

scdoc writes an empty paragraph macro before every heading, list end and paragraph; they are
removed, so that the page passes `mandoc -T lint -W warning`.
"""
import json
import pathlib
import re
import subprocess
import sys

PLACEHOLDER = re.compile(r"^@(HEADING|OPTIONS) ([^@]+)@$")


def option_lines(options, indent):
    """An option list in scdoc: the option and its value, then its description indented."""
    lines = []
    for option in options:
        head = "*%s*" % option["name"]
        if option["value"] != "flag":
            head += " _%s_" % option["value_name"]
        about = option["about"].replace("_", "\\_")
        if about and not about.endswith("."):
            about += "."
        lines += [indent + head, indent + "\t" + about, ""]
    return lines[:-1]


def fill(template, table):
    commands = {c["name"]: c for c in table["commands"]}
    wanted_headings = set(commands)
    wanted_options = set()
    for name, command in commands.items():
        if command["options"]:
            wanted_options.add(name)
        for sub in command.get("subcommands", []):
            if sub["options"] and command["subcommand_word"] == "leading":
                wanted_options.add(name + " " + sub["name"])
    out = []
    for line in template.replace("@VERSION@", table["version"]).split("\n"):
        m = PLACEHOLDER.match(line)
        if line == "@FIRST_OPTIONS@":
            for option in table["first_options"]:
                names = [option["short"]] if "short" in option else []
                out += [", ".join("*%s*" % n for n in names + [option["name"]]),
                        "\t%s." % option["summary"], ""]
            out = out[:-1]
            continue
        if line == "@PUT_TYPES@":
            for name, entry in sorted(table["put_types"].items()):
                taken = ", ".join("*%s*" % o["name"] for o in entry["options"])
                out += ["*%s*" % name.replace("_", "\\_"),
                        "\t%s: %s" % (entry["description"].replace("_", "\\_"), taken), ""]
            out = out[:-1]
            continue
        if not m:
            out.append(line)
            continue
        kind, names = m.group(1), m.group(2).split()
        if kind == "HEADING":
            parts = []
            for name in names:
                if name not in commands:
                    sys.exit("generate.py: the man page names no command %r" % name)
                wanted_headings.discard(name)
                args = commands[name]["args"]
                parts.append(name + (" " + args if args else ""))
            out.append("## " + ", ".join(parts))
            continue
        key = " ".join(names)
        if key not in wanted_options:
            sys.exit("generate.py: no options to list for %r" % key)
        wanted_options.discard(key)
        command = commands[names[0]]
        if len(names) == 1:
            out += option_lines(command["options"], "")
            continue
        sub = next(s for s in command["subcommands"] if s["name"] == names[1])
        out += option_lines(sub["options"], "\t")
        # The same subcommand of another command with the same options is listed with it.
        for other in commands.values():
            for twin in other.get("subcommands", []):
                if twin["name"] == sub["name"] and twin["options"] == sub["options"]:
                    wanted_options.discard(other["name"] + " " + twin["name"])
    # Commands that read the rest of the line themselves (version, help) take no options.
    if wanted_headings or wanted_options:
        sys.exit("generate.py: the man page has no section for %s"
                 % ", ".join(sorted(wanted_headings | wanted_options)))
    return "\n".join(out)


def tidy(roff):
    """Moves each paragraph macro that ends an indented block after the block's end (where it
    separates what follows), then drops those that start nothing: at the start of a section or
    block, right before a heading, the end of a block or another paragraph, or at the end."""
    lines = roff.split("\n")
    changed = True
    while changed:
        changed = False
        for i, line in enumerate(lines[:-1]):
            if line == ".P" and lines[i + 1] == ".RE":
                lines[i], lines[i + 1] = ".RE", ".P"
                changed = True
    changed = True
    while changed:
        changed = False
        for i, line in enumerate(lines):
            if line != ".P":
                continue
            before = next((l for l in reversed(lines[:i]) if not l.startswith('.\\"')), "")
            after = lines[i + 1] if i + 1 < len(lines) else ""
            if (before.startswith((".SH", ".SS", ".TH", ".RS", ".P")) or
                    after.startswith((".SH", ".SS", ".RE", ".P")) or after == ""):
                del lines[i]
                changed = True
                break
    return "\n".join(lines)


def main(argv):
    if len(argv) != 5:
        sys.stderr.write("usage: generate.py TABLE TEMPLATE SCDOC OUT\n")
        return 2
    table = json.loads(pathlib.Path(argv[1]).read_text(encoding="utf-8"))
    source = fill(pathlib.Path(argv[2]).read_text(encoding="utf-8"), table)
    out = pathlib.Path(argv[4])
    out.with_suffix(".1.scd").write_text(source, encoding="utf-8")
    r = subprocess.run([argv[3]], input=source, capture_output=True, text=True)
    if r.returncode != 0:
        sys.stderr.write(r.stderr)
        return 1
    tmp = out.with_name(out.name + ".tmp")
    tmp.write_text(tidy(r.stdout), encoding="utf-8")
    tmp.replace(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
