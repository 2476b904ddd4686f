#!/usr/bin/env bash
# Peak memory of `memory search` against a hostile gate that answers every entry.get with a
# reply of about 3 MB holding a million empty objects (some 90 MB once parsed): one hit against
# fifty. The look-ups run at once; what bounds the memory is how many big replies are read at
# the same time. Needs gcc and Debian's python3 with python3-cryptography and
# python3-dissononce (make deps installs them).
#
# Usage: bench/fanout_memory.sh [path/to/tessarin-cli [path/to/baseline-tessarin-cli]]
#   RUNS (default 3): runs per command; the median and the largest peak are printed.
#   OBJECTS (default 1000000): empty objects in each entry.get reply.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
cli=${1:-build/tessarin-cli}
baseline=${2:-}
runs=${RUNS:-3}
objects=${OBJECTS:-1000000}
py=/usr/bin/python3

die() {
    echo "fanout_memory.sh: $*" >&2
    exit 1
}

for n in "$runs" "$objects"; do
    case "$n" in '' | *[!0-9]*) die "RUNS and OBJECTS must be numbers" ;; esac
done
[ "$runs" -ge 1 ] || die "RUNS must be at least 1"
[ -f "$cli" ] && [ -x "$cli" ] || die "$cli is not an executable (build it with make build)"
cli=$(realpath "$cli")
if [ -n "$baseline" ]; then
    [ -f "$baseline" ] && [ -x "$baseline" ] || die "$baseline is not an executable"
    baseline=$(realpath "$baseline")
fi
command -v gcc >/dev/null || die "gcc not found (make deps installs it)"
"$py" -c 'import cryptography, dissononce' 2>/dev/null ||
    die "$py lacks python3-cryptography or python3-dissononce (make deps installs them)"

work=$(mktemp -d)
gate_pid=""
cleanup() {
    if [ -n "$gate_pid" ] && kill -0 "$gate_pid" 2>/dev/null; then
        kill -TERM "$gate_pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$gate_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$gate_pid" 2>/dev/null || true
        wait "$gate_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the gate -------------------------------------------------------------------------------
"$py" "$repo/devgate/devgate" serve --data "$work/gate" --port 0 >"$work/gate.out" 2>"$work/gate.log" &
gate_pid=$!
for _ in $(seq 300); do
    grep -qx 'devgate ready' "$work/gate.out" 2>/dev/null && break
    kill -0 "$gate_pid" 2>/dev/null || { cat "$work/gate.log" >&2; die "devgate exited before it was ready"; }
    sleep 0.1
done
grep -qx 'devgate ready' "$work/gate.out" || die "devgate not ready after 30 s"
url=$(sed -n 's/^url //p' "$work/gate.out")
cert=$(sed -n 's/^cert //p' "$work/gate.out")
case "$url" in
https://127.0.0.1:[0-9]*) ;;
*) die "devgate is not on loopback: $url" ;;
esac

devgate() { "$py" "$repo/devgate/devgate" "$@"; }
devgate set --data "$work/gate" minute_limit 0
devgate set --data "$work/gate" hour_limit 0

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" SSL_CERT_FILE="$cert"
unset SSL_CERT_DIR
mkdir -p "$HOME"
devgate mint-agent --data "$work/gate" --name bench | "$cli" init >/dev/null

# Fifty hits, all naming the same entry, whose every entry.get is answered with the big reply
# (one queued fault for all of them), queued through the gate's own store: it is far too long
# for a command-line argument.
reply_kb=$("$py" - "$repo" "$work/gate" "$objects" <<'PY'
import json, sys
sys.path.insert(0, sys.argv[1])
from devgate import vault
gate, objects = vault.DataDir(sys.argv[2]), int(sys.argv[3])
hits = [{"entry_id": "bench-hit", "distance": k / 100, "embedding_model": "m"} for k in range(50)]
big = {"entry_id": "bench-hit", "type": "memory", "title": "big", "data": {"x": [{}] * objects}}
# Queued as the reply's text: the gate then keeps one string, not a million objects it would
# read and write back for every request (too slow to answer fifty look-ups in time).
reply = json.dumps({"ok": True, "result": big}, separators=(",", ":"))
gate.add_fault({"kind": "result", "times": -1, "action": "search.similar", "result": hits})
gate.add_fault({"kind": "reply", "times": -1, "action": "entry.get", "reply": reply})
print(len(reply) // 1024)
PY
)
echo AAAA >"$work/vector"

gcc -O2 "$here/peak_rss.c" -o "$work/peak_rss" || die "cannot build peak_rss"

# Checks the listing (every hit shown by the title of the big reply), then measures.
measure() {
    local bin=$1 limit=$2
    out=$("$bin" memory search --vector-file "$work/vector" --limit "$limit") ||
        die "$bin memory search --limit $limit failed"
    [ "$(printf '%s\n' "$out" | grep -c $'\tbig$')" = "$limit" ] ||
        die "$bin memory search --limit $limit did not list $limit hits shown by their reply"
    "$work/peak_rss" "$work/rss.one" "$runs" "$bin" memory search --vector-file "$work/vector" --limit "$limit" ||
        die "peak_rss failed"
    cat "$work/rss.one"
}

echo "entry.get reply: $reply_kb KiB of JSON, $objects empty objects; peak RSS in MiB (median, max of $runs runs)"
printf '%-12s %16s %16s %8s\n' "binary" "1 hit" "50 hits" "ratio"
for bin in "$cli" $baseline; do
    read -r one_med one_max <<<"$(measure "$bin" 1)"
    read -r many_med many_max <<<"$(measure "$bin" 50)"
    name=$([ "$bin" = "$cli" ] && echo client || echo baseline)
    awk -v n="$name" -v a="$one_med" -v b="$one_max" -v c="$many_med" -v d="$many_max" 'BEGIN {
        printf "%-12s %7.0f (%6.0f) %7.0f (%6.0f) %8.2f\n", n, a / 1024, b / 1024, c / 1024, d / 1024, c / a }'
done
