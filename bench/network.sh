#!/usr/bin/env bash
# The commands that make several gate requests, over a network with a round-trip time: a local
# devgate behind bench/relay.py, which delays every byte (loopback only). Each command is timed
# with hyperfine and printed as a ratio to `find`, which makes one request (TCP, TLS and HTTP:
# three round trips) and is the unit of what a request costs.
#
# Usage: bench/network.sh [path/to/tessarin-cli]
#   RTT_MS (default 40) is the round trip the relay adds (0: no relay); RUNS (default 10) and WARMUP
#   (default 2) tune hyperfine. PROXY names a front door of tests/interop/proxies.py (e.g.
#   PROXY="nginx limit_conn 2") to put between the relay and the gate.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
cli=$(realpath "${1:-build/tessarin-cli}")
rtt=${RTT_MS:-40}
runs=${RUNS:-10}
warmup=${WARMUP:-2}
py=/usr/bin/python3

die() {
    echo "network.sh: $*" >&2
    exit 1
}
command -v hyperfine >/dev/null || die "hyperfine not found (make deps installs it)"
[ -x "$cli" ] || die "$cli is not an executable (build it with make build)"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits until FILE holds a line starting with WORDS; prints that line.
wait_line() {
    for _ in $(seq 300); do
        line=$(grep -m1 "^$2" "$1" 2>/dev/null) && { echo "$line"; return; }
        sleep 0.1
    done
    die "no '$2' in $1"
}

devgate() { "$py" "$repo/devgate/devgate" "$@"; }
"$py" "$repo/devgate/devgate" serve --data "$work/gate" --port 0 >"$work/gate.out" 2>"$work/gate.log" &
pids+=($!)
wait_line "$work/gate.out" "devgate ready" >/dev/null
port=$(sed -n 's/^url https:\/\/127.0.0.1://p' "$work/gate.out")
cert=$(sed -n 's/^cert //p' "$work/gate.out")
if [ -n "${PROXY:-}" ]; then
    # The proxy runs on after the starter exits; its pid goes to the clean-up.
    read -r proxy_pid port < <("$py" - "$repo" "$work" "$port" "$PROXY" <<'PY'
import sys
sys.path[:0] = [sys.argv[1], sys.argv[1] + "/tests/interop"]
import proxies
from devgate import vault
repo, work, gate_port, setup = sys.argv[1:]
data = vault.DataDir(work + "/gate")
p = proxies.start(setup, work + "/proxy", int(gate_port), str(data.cert_path), str(data.cert_key_path))
print(p.proc.pid, p.port)
PY
)
    pids+=("$proxy_pid")
fi
# RTT_MS=0: no relay, the client connects to the proxy or gate itself. The relay accepts every
# connection at once, so a front door that drops connection attempts (a full listening queue)
# would look to the client like one that accepts and never answers TLS.
if [ "$rtt" = 0 ]; then
    relay=$port
else
    "$py" "$here/relay.py" 0 "$port" "$(awk "BEGIN{print $rtt/2}")" >"$work/relay.out" 2>&1 &
    pids+=($!)
    relay=$(wait_line "$work/relay.out" "relay ready" | awk '{print $3}')
fi
devgate set --data "$work/gate" minute_limit 0
devgate set --data "$work/gate" hour_limit 0

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" SSL_CERT_FILE="$cert"
unset SSL_CERT_DIR
mkdir -p "$HOME"
devgate mint-agent --data "$work/gate" --name bench --pop "127.0.0.1:$relay" | "$cli" init >/dev/null

# bench-key for find and get; r0..r9 for a template of ten entries; fifty memories whose
# embeddings all match the query vector.
"$py" - >"$work/seed.json" <<'PY'
import json
entries = [{"title": "bench-key", "type": "api_key",
            "fields": [{"label": "key", "value": "sk-bench", "tier": 2}]}]
entries += [{"title": "r%d" % k, "type": "api_key",
             "fields": [{"label": "key", "value": "v%d" % k, "tier": 2}]} for k in range(10)]
entries += [{"title": "m%d" % k, "type": "memory", "vector": [1.0, 0.5, 0.25 + k / 100],
             "embedding_model": "bench",
             "fields": [{"label": "summary", "value": "memory %d" % k, "tier": 2},
                        {"label": "content", "value": "c", "tier": 2},
                        {"label": "status", "value": "active"}]} for k in range(50)]
print(json.dumps({"agent": "bench", "entries": entries}))
PY
devgate seed --data "$work/gate" "$work/seed.json" >/dev/null
"$py" -c 'import base64, struct; print(base64.b64encode(struct.pack("<3f", 1.0, 0.5, 0.3)).decode())' >"$work/vector"
for k in $(seq 0 9); do echo "k$k=tessarin://r$k/key"; done >"$work/template"

# Each command must work before it is timed.
[ "$("$cli" get bench-key --field key)" = sk-bench ] || die "get failed"
"$cli" render "$work/template" 2>/dev/null | grep -q '^k9=v9$' || die "render failed"
[ "$("$cli" memory search --vector-file "$work/vector" --limit 50 | wc -l)" = 50 ] || die "memory search failed"

hyperfine -N --warmup "$warmup" --runs "$runs" --export-json "$work/times.json" --style basic \
    -n find "$cli find bench-key" \
    -n get "$cli get bench-key --field key" \
    -n render "$cli render $work/template" \
    -n search "$cli memory search --vector-file $work/vector --limit 50" >"$work/hyperfine.log" 2>&1 ||
    { cat "$work/hyperfine.log" >&2; die "hyperfine failed"; }

"$py" - "$work/times.json" "$rtt" "${PROXY:-}" <<'PY'
import json, statistics, sys
results = {r["command"]: r["times"] for r in json.load(open(sys.argv[1]))["results"]}
unit = statistics.median(results["find"])
print("round trip %s ms%s; medians, and each as a ratio to find:"
      % (sys.argv[2], ", through " + sys.argv[3] if sys.argv[3] else ""))
for name, label in [("find", "find (1 request)"), ("get", "get --field (2 requests)"),
                    ("render", "render of 10 entries (20 requests)"),
                    ("search", "memory search --limit 50 (51 requests)")]:
    m = statistics.median(results[name])
    print("  %-40s %8.1f ms  %5.2fx" % (label, m * 1000, m / unit))
PY
