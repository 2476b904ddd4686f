"""Writes the bash, zsh and fish completion files of tessarin-cli.

Usage: generate.py SCHEMA TEMPLATE_DIR OUT_DIR

The command table lives here; entry types and their fields come from the entry-type schema
that the program embeds (assets/entry-types.json), so completion offers exactly the types and
field options the program accepts. Each template holds the shell's own walk over the words
typed so far; this script fills in the tables it consults (@TABLES@).

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
#   type      an entry type name (or the aliases api and ssh)
#   status    a memory/note status word
#   sub       a note/memory subcommand
#   skillsub  a skill subcommand

COMMANDS = [
    ("init", "Enroll from a sealed enrollment blob"),
    ("get", "Fetch an entry, or one raw field value, by exact title"),
    ("find", "List exact titles matching a name"),
    ("delete", "Delete an entry by exact title"),
    ("audit", "View the vault's audit trail"),
    ("totp", "Print the current TOTP code"),
    ("render", "Resolve tessarin:// references in a file"),
    ("put", "Create a new entry"),
    ("note", "Rich text entries with L2-encrypted content"),
    ("memory", "Agent-to-agent persistent context"),
    ("skill", "Print or install the LLM skill markdown"),
    ("version", "Print version and exit"),
    ("help", "Show the help text"),
]

FIRST_OPTIONS = [
    ("-V", "Print version and exit"),
    ("--version", "Print version and exit"),
    ("-h", "Show the help text"),
    ("--help", "Show the help text"),
    ("--show-schema", "Print the entry-type schema"),
]

HELP = ("--help", "flag", "Show this command's usage")
EXACT = ("--exact", "flag", "Exact title match (the default)")
FUZZY = ("--fuzzy", "flag", "Substring title match")

# Context name -> (options as (name, value kind, description), positional kinds in order).
# The walk in each template knows the transitions: note and memory lead to "text" and their
# subcommand to "text.<sub>", put's title to "put.<type>"; version and help end completion.
CONTEXTS = {
    "init": ([HELP], ["text"]),
    "get": ([
        ("--field", "text", "Print one field's raw value (no newline)"),
        ("--json", "flag", "Print the whole entry as JSON"),
        EXACT, FUZZY,
        ("--type", "type", "Only entries of this type"),
        HELP,
    ], ["text"]),
    "find": ([("--type", "type", "Only entries of this type"), HELP], ["text"]),
    "delete": ([EXACT, FUZZY, HELP], ["text"]),
    "totp": ([EXACT, FUZZY, HELP], ["text"]),
    "render": ([HELP], ["file"]),
    "audit": ([
        ("--limit", "text", "Max events (1-1000)"),
        ("--actor", "text", "Filter by actor"),
        ("--action", "text", "Filter by action (read, totp, create, ...)"),
        ("--entry", "text", "Filter by entry name (substring)"),
        ("--since", "text", "Events after date (YYYY-MM-DD)"),
        ("--until", "text", "Events before date (YYYY-MM-DD)"),
        ("--json", "flag", "Machine-readable JSON output"),
        HELP,
    ], []),
    "put": ([("--json", "flag", "Read one JSON object from standard input")], ["type", "text"]),
    "text": ([], ["sub"]),
    "text.create": ([
        ("--summary-file", "file", "Read the summary from a file (- for stdin)"),
        ("--content-file", "file", "Read the content from a file (- for stdin)"),
        ("--status", "status", "draft, active or archived"),
        ("--embeddings-file", "file", "Read the embeddings from a file"),
        ("--embedding-model", "text", "Name of the embedding model"),
        ("--json", "flag", "Read one JSON object from standard input"),
    ], []),
    "text.get": ([
        ("--full", "flag", "Print the content too"),
        ("--json", "flag", "Print the whole entry as JSON"),
        EXACT, FUZZY,
    ], ["text"]),
    "text.update": ([
        ("--summary-file", "file", "New summary from a file (- for stdin)"),
        ("--content-file", "file", "New content from a file (- for stdin)"),
        ("--status", "status", "draft, active or archived"),
        ("--embeddings-file", "file", "New embeddings from a file"),
        ("--embedding-model", "text", "Name of the embedding model"),
        EXACT, FUZZY,
    ], ["text"]),
    "text.delete": ([EXACT, FUZZY], ["text"]),
    "text.search": ([
        ("--vector-file", "file", "Read the query vector (base64) from a file"),
        ("--limit", "text", "Max hits (1-50)"),
    ], []),
    "skill": ([("--yes", "flag", "Install to every detected environment"), HELP], ["skillsub"]),
}

TYPE_ALIASES = [("api", "API keys (alias of api_key)"), ("ssh", "SSH keys (alias of ssh_key)")]

VALUES = {
    "status": [("draft", "Not yet in use (the default)"), ("active", "In use"),
               ("archived", "Kept, no longer in use")],
    "sub": [("create", "Create an entry"), ("get", "Show an entry"),
            ("update", "Change an entry"), ("delete", "Delete an entry"),
            ("search", "Vector search")],
    "skillsub": [("print", "Write the skill document to stdout"),
                 ("install", "Install into the detected agent environments")],
}


def looks_secret(text):
    """The program's secret-name rule for a field name or label."""
    t = text.lower().replace(" ", "_")
    if t in ("public_key", "key_type") or t.endswith("_public") or "public_key" in t:
        return False
    if t in ("key", "api_key", "ssh_key", "private_key"):
        return True
    return any(word in t for word in ("password", "secret", "token", "private", "seed", "cvv",
                                      "pin"))


def put_options(fields):
    """Field options of one type: --<field>-file for secrets, --<field> otherwise, and --urls."""
    options = []
    for name in sorted(fields):
        field = fields[name]
        label = field["label"]
        if field["tier"] > 1 or looks_secret(name) or looks_secret(label):
            options.append((f"--{name}-file", "file",
                            f"{label} (secret: read from a file, - for stdin)"))
        else:
            options.append((f"--{name}", "text", label))
    if "urls" not in fields:
        options.append(("--urls", "text", "URL"))
    return options


def load_model(schema_path):
    doc = json.loads(pathlib.Path(schema_path).read_text(encoding="utf-8"))
    types = doc["types"]
    contexts = dict(CONTEXTS)
    for name in sorted(types):
        contexts[f"put.{name}"] = (put_options(types[name]["fields"]), [])
    values = dict(VALUES)
    values["type"] = [(name, types[name]["description"]) for name in sorted(types)] + TYPE_ALIASES
    return sorted(types), contexts, values


def tables(contexts, values):
    """What every shell's walk consults, in one form:
    lists     name -> [(word, description)]: commands, first options, values of each kind
    options   context -> [(option, description)]
    kinds     [(patterns, kind)]: "context option" patterns of the options that take a value
    positionals  [("context index", kind)]
    """
    lists = {"commands": COMMANDS, "first_options": FIRST_OPTIONS}
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
        sys.stderr.write("usage: generate.py SCHEMA TEMPLATE_DIR OUT_DIR\n")
        return 2
    type_names, contexts, values = load_model(argv[1])
    template_dir, out_dir = pathlib.Path(argv[2]), pathlib.Path(argv[3])
    out_dir.mkdir(parents=True, exist_ok=True)
    model = tables(contexts, values)
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
