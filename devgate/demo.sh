#!/usr/bin/env bash
# A short tour of tessarin-cli for a newcomer: every command is printed before its output.
set -euo pipefail
cli=${1:-build/tessarin-cli}
export NO_COLOR=${NO_COLOR:-}

run() {
    printf '\n$ %s\n' "$*"
    "$@"
}

run "$cli" --version
run "$cli" help
printf '\n$ %s --show-schema  (summary)\n' "$cli"
"$cli" --show-schema | /usr/bin/python3 -c '
import json, sys
doc = json.load(sys.stdin)
print("schema %s: %d entry types, %d import formats" % (doc["version"], len(doc["types"]), len(doc["importFormats"])))
for name, t in doc["types"].items():
    fields = ", ".join("%s(L%d)" % (f, d["tier"]) for f, d in t["fields"].items())
    print("  %-17s %s" % (name, fields))
'
