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

# The vault commands against a local development gate (devgate/README.md): enrol, then get,
# find, totp and render. Everything lives in a temporary directory removed at the end.
here="$(cd "$(dirname "$0")" && pwd)"
cli_abs="$(realpath "$cli")"
work="$(mktemp -d)"
gate_pid=""
cleanup() {
    if [ -n "$gate_pid" ]; then
        kill -TERM "$gate_pid" 2>/dev/null || true
        wait "$gate_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

devgate() { /usr/bin/python3 "$here/devgate" "$@"; }
vault() {
    printf '\n$ tessarin-cli %s\n' "$*"
    "$cli_abs" "$@" || printf '(exit status %s)\n' "$?"
}

printf '\n$ devgate serve --data %s --port 0\n' "$work/gate"
mkfifo "$work/out"
# Started directly (not through the shell function) so that $! is the gate itself.
/usr/bin/python3 "$here/devgate" serve --data "$work/gate" --port 0 >"$work/out" 2>"$work/gate.log" &
gate_pid=$!
exec 3<"$work/out"
while IFS= read -r line <&3; do
    printf '  %s\n' "$line"
    [ "$line" = "devgate ready" ] && break
done

export HOME="$work/home" SSL_CERT_FILE="$work/gate/cert.pem"
unset XDG_CONFIG_HOME
mkdir -p "$HOME"
cat >"$work/seed.json" <<'JSON'
{
  "agent": "demo",
  "entries": [
    {"title": "staging-db", "type": "credential",
     "fields": [{"label": "username", "value": "admin", "tier": 1},
                {"label": "password", "value": "hunter2-staging", "tier": 2, "kind": "password"}],
     "urls": ["https://staging.example"]},
    {"title": "OpenRouter", "type": "api_key",
     "fields": [{"label": "key", "value": "sk-or-v1-demo", "tier": 2, "kind": "password"},
                {"label": "endpoint", "value": "https://openrouter.ai/api/v1", "tier": 1, "kind": "url"}]},
    {"title": "GitHub", "type": "totp",
     "fields": [{"label": "secret", "value": "JBSWY3DPEHPK3PXP", "tier": 2, "kind": "totp"},
                {"label": "account", "value": "demo@example.com", "tier": 1}]},
    {"title": "Corporate card", "type": "card",
     "fields": [{"label": "cardholder", "value": "D. Emo", "tier": 1},
                {"label": "number", "value": "4111111111111111", "tier": 3, "kind": "password"},
                {"label": "notes", "value": "expense account only", "tier": 2}]}
  ]
}
JSON

printf '\n$ devgate mint-agent --name demo | tessarin-cli init\n'
devgate mint-agent --data "$work/gate" --name demo | "$cli_abs" init || printf '(exit status %s)\n' "$?"
printf '\n$ devgate seed  (a credential, an API key, a TOTP entry, a card with an L3 field)\n'
devgate seed --data "$work/gate" "$work/seed.json"

# One field, raw and without a newline: made for capture inside the consuming command.
vault get OpenRouter --field key
printf '\n'
# The plain listing decrypts L2 fields locally and never shows L3 values.
vault get "staging-db"
vault find open
vault totp GitHub

cat >"$work/app.config.json" <<'JSON'
{"api_key": "tessarin://OpenRouter/key", "db_user": "tessarin://staging-db/username", "db_password": "tessarin://staging-db/password"}
JSON
cat >"$work/app.env" <<'ENV'
OPENROUTER_KEY=tessarin://OpenRouter/key
DB_PASSWORD=tessarin://staging-db/password
ENV
printf '\n$ cat app.env\n'
cat "$work/app.env"
vault render "$work/app.env"
printf '\n$ cat app.config.json\n'
cat "$work/app.config.json"
vault render "$work/app.config.json"

# An L3 field is never released to an agent.
vault get "Corporate card" --field number

# Writing: secret values come from files or standard input and are sealed with the agent's L2
# key before they leave the process; on the command line they are refused.
printf 'sk-live-demo\n' >"$work/stripe.key"
vault put api Stripe --key-file "$work/stripe.key" --endpoint https://api.stripe.com
vault get Stripe --field key
printf '\n'
vault put credential mail --username bot --password hunter2
printf '\n$ echo {"type":"server","title":"build box",...} | tessarin-cli put --json\n'
printf '{"type":"server","title":"build box","host":"10.0.0.7","username":"ci","password":"s3cret"}' |
    "$cli_abs" put --json || printf '(exit status %s)\n' "$?"
vault get "build box"

# Notes and agent memories: summary and content sealed with the L2 key, found by summary.
printf 'Deploy runbook\n' >"$work/summary.txt"
printf '\n$ printf "1. drain\\n2. deploy\\n3. undrain\\n" | tessarin-cli note create --summary-file summary.txt --status active\n'
printf '1. drain\n2. deploy\n3. undrain\n' |
    "$cli_abs" note create --summary-file "$work/summary.txt" --status active || printf '(exit status %s)\n' "$?"
vault note get "Deploy runbook" --full
vec() { /usr/bin/python3 -c 'import base64, struct, sys; v = [float(x) for x in sys.argv[1:]]; print(base64.b64encode(struct.pack("<%df" % len(v), *v)).decode())' "$@"; }
vec 0.9 0.1 0.0 >"$work/m1.vec"
vec 0.1 0.9 0.0 >"$work/m2.vec"
vec 1.0 0.0 0.0 >"$work/query.vec"
printf 'staging uses the blue pool\n' >"$work/m1.txt"
printf 'the nightly job needs the EU token\n' >"$work/m2.txt"
printf '\n$ tessarin-cli memory create --json  (two memories with embeddings, from standard input)\n'
for m in 1 2; do
    /usr/bin/python3 -c 'import json, sys; print(json.dumps({"summary": open(sys.argv[1]).read().strip(), "content": "seen on " + sys.argv[3], "embeddings": open(sys.argv[2]).read().strip(), "embedding_model": "demo-3d"}))' \
        "$work/m$m.txt" "$work/m$m.vec" "run $m" | "$cli_abs" memory create --json || printf '(exit status %s)\n' "$?"
done
vault memory search --vector-file "$work/query.vec" --limit 5
vault memory update "staging uses the blue pool" --status archived
vault memory create --summary "on the command line"

# The vault's audit trail: every request above, newest first.
vault audit --limit 12

printf "\n(the gate is stopped and its files removed)\n"
