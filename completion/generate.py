"""Writes the bash, zsh and fish completion files of tessarin-cli.

Usage: generate.py TABLE TEMPLATE_DIR OUT_DIR

TABLE is the program's own command table as JSON, written at build time by table_dump (built
from the same table and entry-type schema as tessarin-cli): the commands, their options and
positional arguments, put's options for every entry type, and the type aliases. So completion
offers exactly what the program takes; nothing about the commands is written down here. Each
template holds the shell's own walk over the words typed so far; this script fills in the
tables it consults (@TABLES@).

Completion works from the typed words alone: it never runs the program, never contacts the
vault (every look-up counts against the agent's quota) and never reads the configuration.
"""
import json
import pathlib
import sys

# Value kinds of options and positional arguments:
#   flag      the option takes no value
#   text      free text: nothing to offer
#   file      a file name ("-" means standard input)
#   type      an entry type name (or an alias)
#   sub       a subcommand of the commands whose subcommand is the word after them (note, memory)
#   <cmd>sub  a subcommand of <cmd> chosen among its positional arguments (skill)
#   <option>  one of the words the option's check accepts (status: draft, active, archived)


def option_entries(options, values):
    """(name, kind, description) of the options a command takes; choice lists become kinds of
    their own, named after the option."""
    out = []
    for option in options:
        kind = option["value"]
        if isinstance(kind, list):
            words = kind
            kind = option["name"].lstrip("-")
            values[kind] = [(w, "") for w in words]
        out.append((option["name"], kind, option["about"]))
    return out


def load_model(table_path):
    """(type names, contexts, values, commands, first options) from the program's table. A
    context is a state of the walk: a command, "text" after note or memory, "text.<sub>",
    "put" before the title and "put.<type>" after it."""
    table = json.loads(pathlib.Path(table_path).read_text(encoding="utf-8"))
    contexts, values = {}, {}
    for command in table["commands"]:
        name = command["name"]
        if command["reads_own_arguments"] and not command["options"] and not command["positionals"]:
            continue  # version and help ignore the rest of the line
        options = option_entries(command["options"], values)
        subs = command.get("subcommands")
        if subs and command["subcommand_word"] == "leading":
            words = [(sub["name"], sub["summary"]) for sub in subs]
            if values.setdefault("sub", words) != words:
                sys.exit("generate.py: note and memory differ in their subcommands")
            contexts["text"] = ([], ["sub"])
            for sub in subs:
                contexts["text." + sub["name"]] = (
                    option_entries(sub["options"], values),
                    [p["kind"] for p in sub["positionals"]])
            continue
        positionals = [p["kind"] for p in command["positionals"]]
        if subs:
            kind = name + "sub"
            values[kind] = [(sub["name"], sub["summary"]) for sub in subs]
            positionals = [kind if p == "subcommand" else p for p in positionals]
        contexts[name] = (options, positionals)
    types = table["put_types"]
    for name in sorted(types):
        contexts["put." + name] = (option_entries(types[name]["options"], values), [])
    values["type"] = [(name, types[name]["description"]) for name in sorted(types)]
    values["type"] += [(word, "Alias of " + target)
                       for word, target in sorted(table["type_aliases"].items())]
    commands = [(c["name"], c["summary"]) for c in table["commands"]]
    first = []
    for option in table["first_options"]:
        if "short" in option:
            first.append((option["short"], option["summary"]))
        first.append((option["name"], option["summary"]))
    return sorted(types), contexts, values, commands, first


def tables(contexts, values, commands, first_options):
    """What every shell's walk consults, in one form:
    lists     name -> [(word, description)]: commands, first options, values of each kind
    options   context -> [(option, description)]
    kinds     [(patterns, kind)]: "context option" patterns of the options that take a value
    positionals  [("context index", kind)]
    """
    lists = {"commands": commands, "first_options": first_options}
    lists.update((f"values_{kind}", items) for kind, items in sorted(values.items()))
    options = {ctx: [(n, d) for n, _, d in opts] for ctx, (opts, _) in contexts.items() if opts}
    by_kind = {}
    for ctx, (opts, _) in contexts.items():
        if ctx.startswith("put."):
            continue  # covered by the patterns below
        for name, kind, _ in opts:
            if kind != "flag":
                by_kind.setdefault(kind, []).append(f"{ctx} {name}")
    kinds = [(keys, kind) for kind, keys in sorted(by_kind.items())]
    # Every option of put after the title takes a value; any --<field>-file names a file (the
    # program takes the -file form for every field, secret or not).
    kinds += [(["put.* --*-file"], "file"), (["put.* --*"], "text")]
    positionals = [(f"{ctx} {i}", kind) for ctx, (_, pos) in contexts.items()
                   for i, kind in enumerate(pos)]
    return lists, options, kinds, positionals


def sh_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def glob_quote(pattern):
    """A case pattern: the literal parts quoted, the * left to match."""
    return "*".join(sh_quote(part) if part else "" for part in pattern.split("*"))


KIND_COMMENTS = {
    "options": "The options of context $1",
    "option_kind": "The value kind of option $2 in context $1 (empty: a flag, or unknown)",
    "positional_kind": "The kind of positional argument $2 (from 0) in context $1 (empty: none)",
}


def sh_case_functions(t, zsh, options_value, kind_var, options_var):
    """The three look-up functions as POSIX-style case statements (zsh writes "(pattern)")."""
    _, options, kinds, positionals = t
    functions = [
        ("options", "$1", [(ctx, f"{options_var}={options_value(opts)}")
                           for ctx, opts in options.items()],
         f"{options_var}=" + ("()" if zsh else "''")),
        ("option_kind", '"$1 $2"', [(" | ".join(glob_quote(k) for k in keys), f"{kind_var}={kind}")
                                    for keys, kind in kinds], f"{kind_var}=''"),
        ("positional_kind", '"$1 $2"', [(sh_quote(key), f"{kind_var}={kind}")
                                        for key, kind in positionals], f"{kind_var}=''"),
    ]
    out = []
    for name, subject, branches, default in functions:
        out += ["", f"# {KIND_COMMENTS[name]}.", f"_tessarin_cli_{name}() {{",
                f"    case {subject} in"]
        for pattern, body in branches + [("*", default)]:
            out.append(f"        ({pattern}) {body} ;;" if zsh else f"        {pattern}) {body} ;;")
        out += ["    esac", "}"]
    return out


def bash_tables(t):
    lists = t[0]
    out = [f"_tessarin_cli_{name}={sh_quote(' '.join(w for w, _ in items))}"
           for name, items in lists.items()]
    out += sh_case_functions(t, False, lambda opts: sh_quote(" ".join(o for o, _ in opts)),
                             "_tessarin_cli_r", "_tessarin_cli_r")
    return "\n".join(out)


def zsh_pairs(items):
    """Elements word:description for _describe, each quoted."""
    return " ".join(sh_quote(f"{w}:{d}") for w, d in items)


def zsh_tables(t):
    lists = t[0]
    out = []
    for name, items in lists.items():
        out.append(f"_tessarin_cli_{name}=({zsh_pairs(items)})")
        words = " ".join(w for w, _ in items)
        out.append(f"_tessarin_cli_{name}_words={sh_quote(' ' + words + ' ')}")
    # Options go to reply as option:description pairs, kinds to REPLY.
    out += sh_case_functions(t, True, lambda opts: f"({zsh_pairs(opts)})", "REPLY", "reply")
    return "\n".join(out)


def fish_lines(items):
    """printf arguments, one word<TAB>description line each."""
    return " ".join(sh_quote(w) + "\\t" + sh_quote(d) for w, d in items)


def fish_tables(t):
    lists, options, kinds, positionals = t
    out = [f"set -g __tessarin_cli_{name}_words " + " ".join(w for w, _ in items)
           for name, items in lists.items()]
    out += ["", "# The word<TAB>description lines of list $argv[1].",
            "function __tessarin_cli_list", "    switch $argv[1]"]
    for name, items in lists.items():
        out += [f"        case {name}", f"            printf '%s\\n' {fish_lines(items)}"]
    out += ["    end", "end", "", "# The option<TAB>description lines of context $argv[1].",
            "function __tessarin_cli_options", "    switch $argv[1]"]
    for ctx, opts in options.items():
        out += [f"        case {ctx}", f"            printf '%s\\n' {fish_lines(opts)}"]
    out += ["    end", "end", "",
            "# The value kind of option $argv[2] in context $argv[1] (nothing for a flag).",
            "function __tessarin_cli_option_kind", '    switch "$argv[1] $argv[2]"']
    for keys, kind in kinds:
        # switch matches quoted wildcards itself (unquoted ones would glob file names).
        out += ["        case " + " ".join(sh_quote(k) for k in keys), f"            echo {kind}"]
    out += ["    end", "end", "",
            "# The kind of positional argument $argv[2] (from 0) in context $argv[1].",
            "function __tessarin_cli_positional_kind", '    switch "$argv[1] $argv[2]"']
    for key, kind in positionals:
        out += [f"        case {sh_quote(key)}", f"            echo {kind}"]
    out += ["    end", "end"]
    return "\n".join(out)


OUTPUTS = [
    ("tessarin-cli.bash.in", "tessarin-cli", bash_tables),
    ("_tessarin-cli.zsh.in", "_tessarin-cli", zsh_tables),
    ("tessarin-cli.fish.in", "tessarin-cli.fish", fish_tables),
]


def main(argv):
    if len(argv) != 4:
        sys.stderr.write("usage: generate.py TABLE TEMPLATE_DIR OUT_DIR\n")
        return 2
    type_names, contexts, values, commands, first_options = load_model(argv[1])
    template_dir, out_dir = pathlib.Path(argv[2]), pathlib.Path(argv[3])
    out_dir.mkdir(parents=True, exist_ok=True)
    model = tables(contexts, values, commands, first_options)
    for template, output, emit in OUTPUTS:
        text = (template_dir / template).read_text(encoding="utf-8")
        text = text.replace("@TYPE_NAMES@", " ".join(type_names))
        text = text.replace("@TABLES@", emit(model))
        target = out_dir / output
        tmp = target.with_name(target.name + ".tmp")
        tmp.write_text(text, encoding="utf-8")
        tmp.replace(target)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
