#!/usr/bin/env bash
# Cost of one `tessarin-cli get NAME --field key` (two gate requests: search.query, entry.get)
# against a local devgate, next to the same two HTTPS POSTs sent by curl and by a minimal C
# client (bench/floor_client.c). Everything runs on 127.0.0.1; the gate lives in a temporary
# directory and is stopped on exit. Needs hyperfine, curl, gcc, libssl-dev (static libs) and
# Debian's python3 with python3-cryptography and python3-dissononce (make deps installs them).
#
# Usage: bench/request.sh [path/to/tessarin-cli [path/to/baseline-tessarin-cli]]
#   A baseline (another build, e.g. of an earlier commit) runs as command a0 in the same rounds.
#   RUNS (default 200 per command), WARMUP (default 20), ROUNDS (default 5), RSS_RUNS (default
#   20), PERF_RUNS (default 50) and INSTR_RUNS (default 3) tune the repetitions; PERF_RUNS=0
#   and INSTR_RUNS=0 skip the CPU and instruction counts.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
cli=${1:-build/tessarin-cli}
baseline=${2:-}
runs=${RUNS:-200}
warmup=${WARMUP:-20}
rounds=${ROUNDS:-5}
perf_runs=${PERF_RUNS:-50}
rss_runs=${RSS_RUNS:-20}
instr_runs=${INSTR_RUNS:-3}
py=/usr/bin/python3
title=bench-key
secret=sk-bench-0123456789abcdef

die() {
    echo "request.sh: $*" >&2
    exit 1
}

for n in "$runs" "$warmup" "$rounds" "$perf_runs" "$rss_runs" "$instr_runs"; do
    case "$n" in '' | *[!0-9]*) die "RUNS, WARMUP, ROUNDS, RSS_RUNS, PERF_RUNS and INSTR_RUNS must be numbers" ;; esac
done
[ "$runs" -ge 2 ] && [ "$rounds" -ge 1 ] && [ "$rss_runs" -ge 1 ] ||
    die "RUNS must be at least 2, ROUNDS and RSS_RUNS at least 1"
[ -f "$cli" ] && [ -x "$cli" ] || die "$cli is not an executable (build it with make build)"
cli=$(realpath "$cli")
if [ -n "$baseline" ]; then
    [ -f "$baseline" ] && [ -x "$baseline" ] || die "$baseline is not an executable"
    baseline=$(realpath "$baseline")
fi
for tool in hyperfine curl gcc "$py"; do
    command -v "$tool" >/dev/null || die "$tool not found (make deps installs it)"
done
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

# Single-quoted for hyperfine's word splitting (-N runs commands without a shell).
q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

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
gate_pub=$(sed -n 's/^gate_pub //p' "$work/gate.out")
case "$url" in
https://127.0.0.1:[0-9]*) ;;
*) die "devgate is not on loopback: $url" ;;
esac
port=${url##*:}
gate_url="$url/gate"

devgate() { "$py" "$repo/devgate/devgate" "$@"; }
# Hundreds of reads a minute: no quota.
devgate set --data "$work/gate" minute_limit 0
devgate set --data "$work/gate" hour_limit 0

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" SSL_CERT_FILE="$cert"
unset SSL_CERT_DIR
mkdir -p "$HOME"
devgate mint-agent --data "$work/gate" --name bench | "$cli" init >/dev/null
cat >"$work/seed.json" <<JSON
{"agent": "bench",
 "entries": [{"title": "$title", "type": "api_key",
              "fields": [{"label": "key", "value": "$secret", "tier": 2, "kind": "password"}]}]}
JSON
devgate seed --data "$work/gate" "$work/seed.json" >/dev/null

# The baseline first: the bodies below are made from the last two requests, the client's.
for bin in $baseline "$cli"; do
    got=$("$bin" get "$title" --field key) || die "$bin get failed"
    [ "$got" = "$secret" ] || die "$bin get printed '$got', not the seeded value"
done

# --- the bodies curl and the floor send -------------------------------------------------------
# The two envelopes the client just sent, each sealed afresh as Noise message 1 to the gate's
# key: the gate opens them and does the same work as for the client (search, fetch, audit).
"$py" - "$repo" "$work/gate/requests.jsonl" "$gate_pub" "$work/body1" "$work/body2" <<'PY'
import json, sys
sys.path.insert(0, sys.argv[1])
from devgate import wire
from devgate.client_support import Exchange
records = [json.loads(l) for l in open(sys.argv[2], encoding="utf-8") if l.strip()][-2:]
actions = [r.get("action") for r in records]
if actions != ["search.query", "entry.get"] or any(r.get("outcome") != "ok" for r in records):
    sys.exit("request.sh: the client's last two requests were %r, not search.query and entry.get" % actions)
for record, path in zip(records, sys.argv[4:6]):
    msg1 = Exchange(bytes.fromhex(sys.argv[3]), b"\x10" + record["envelope"].encode("utf-8")).msg1
    with open(path, "w", encoding="ascii") as f:
        f.write(wire.b64std_encode(msg1))
PY

# --- the floor client and a two-command runner ------------------------------------------------
floor="$work/floor_client"
if ! gcc -O2 -static "$here/floor_client.c" -o "$floor" -lssl -lcrypto >"$work/floor-build.log" 2>&1; then
    echo "note: static link of floor_client failed; linking it dynamically instead" >&2
    gcc -O2 "$here/floor_client.c" -o "$floor" -lssl -lcrypto >"$work/floor-build.log" 2>&1 ||
        { cat "$work/floor-build.log" >&2; die "cannot build floor_client"; }
fi

# run2 A... --then B...: runs A, then B, without a shell (so hyperfine -N times two curls).
cat >"$work/run2.c" <<'C'
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
extern char **environ;
int main(int argc, char **argv)
{
    for (int i = 1; i < argc;) {
        int j = i;
        while (j < argc && strcmp(argv[j], "--then") != 0)
            j++;
        argv[j] = NULL; /* argv[argc] is NULL already */
        pid_t pid;
        int status;
        if (posix_spawnp(&pid, argv[i], NULL, NULL, &argv[i], environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return 1;
        i = j + 1;
    }
    return 0;
}
C
gcc -O2 -static "$work/run2.c" -o "$work/run2" 2>"$work/run2-build.log" ||
    gcc -O2 "$work/run2.c" -o "$work/run2" ||
    die "cannot build the two-command runner"
gcc -O2 "$here/peak_rss.c" -o "$work/peak_rss" || die "cannot build peak_rss"

# Each path goes through the gate once before timing, and must get 2xx.
curl_one() { printf '%s ' curl -s -f --cacert "$(q "$cert")" -H "'Content-Type: text/plain'" --data-binary "$(q "@$1")" "$(q "$gate_url")"; }
for body in "$work/body1" "$work/body2"; do
    code=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$cert" -H 'Content-Type: text/plain' \
        --data-binary "@$body" "$gate_url") || die "curl POST failed"
    [ "$code" = 200 ] || die "curl POST got HTTP $code"
done
"$floor" -v "$cert" "$port" "$work/body1" "$work/body2" 2>"$work/floor.out" ||
    { cat "$work/floor.out" >&2; die "floor_client failed"; }
tls=$(awk '{print $4}' "$work/floor.out" | sort -u | tr '\n' ' ')

cmd_cli="$(q "$cli") get $(q "$title") --field key"
cmd_curl="$(q "$work/run2") $(curl_one "$work/body1") --then $(curl_one "$work/body2")"
cmd_floor="$(q "$floor") $(q "$cert") $port $(q "$work/body1") $(q "$work/body2")"
# For information: one curl process making both requests (as the client does), --next between.
cmd_curl1="curl -s -f --cacert $(q "$cert") -H 'Content-Type: text/plain' --data-binary $(q "@$work/body1") $(q "$gate_url") --next -s -f --cacert $(q "$cert") -H 'Content-Type: text/plain' --data-binary $(q "@$work/body2") $(q "$gate_url")"

echo "tessarin-cli: $cli"
[ -z "$baseline" ] || echo "baseline (a0): $baseline"
echo "gate: devgate at $url (TLS as negotiated by the floor client: ${tls% })"
# hyperfine runs each command's runs in one block; on a shared machine the load drifts, so the
# runs are split into rounds that alternate between the commands, and pooled.
per_round=$(((runs + rounds - 1) / rounds))
round_warmup=$(((warmup + rounds - 1) / rounds))
echo "hyperfine -N, $rounds rounds of $round_warmup warm-up and $per_round timed runs per command"
echo
# The commands by name, in the order of the tables; a0 only with a baseline.
names=("a: tessarin-cli get" "b: curl x2 (2 processes)" "c: floor_client" "b'': curl --next (1 process)")
cmds=("$cmd_cli" "$cmd_curl" "$cmd_floor" "$cmd_curl1")
if [ -n "$baseline" ]; then
    names+=("a0: baseline get")
    cmds+=("$(q "$baseline") get $(q "$title") --field key")
fi
commands=()
for i in "${!names[@]}"; do commands+=(-n "${names[$i]}" "${cmds[$i]}"); done
for round in $(seq "$rounds"); do
    hyperfine -N --warmup "$round_warmup" --runs "$per_round" --export-json "$work/result-$round.json" \
        --style basic "${commands[@]}" >"$work/hyperfine.log" 2>&1 ||
        { cat "$work/hyperfine.log" >&2; die "hyperfine failed"; }
done

# --- peak resident set size (ru_maxrss of each run, the largest process for the curl pair) ----
# The commands are passed as the same word lists hyperfine ran (eval undoes the quoting).
rss_of() {
    local name=$1 cmd=$2
    eval "set -- $cmd"
    "$work/peak_rss" "$work/rss.one" "$rss_runs" "$@" || die "peak_rss: $name failed"
    printf '%s\t%s\n' "$name" "$(cat "$work/rss.one")" >>"$work/rss.tsv"
}
for i in "${!names[@]}"; do rss_of "${names[$i]}" "${cmds[$i]}"; done

"$py" - "$work/rss.tsv" "$rss_runs" "$work"/result-*.json <<'PY'
import json, statistics, sys
rss = {}
for line in open(sys.argv[1], encoding="utf-8"):
    name, kb = line.rstrip("\n").split("\t")
    rss[name] = [int(k) for k in kb.split()]
times = {}
for path in sys.argv[3:]:
    for r in json.load(open(path))["results"]:
        times.setdefault(r["command"], []).extend(t * 1000 for t in r["times"])
print("%-30s %10s %8s %8s %8s %8s %6s %9s %9s" % ("two gate requests", "mean ms", "± sd", "median", "min",
                                                  "max", "runs", "RSS MB", "(max)"))
means = {}
for name, ts in times.items():
    means[name] = statistics.fmean(ts)
    med_kb, max_kb = rss[name]
    print("%-30s %10.2f %8.2f %8.2f %8.2f %8.2f %6d %9.2f %9.2f" % (
        name, means[name], statistics.stdev(ts), statistics.median(ts), min(ts), max(ts), len(ts),
        med_kb / 1024, max_kb / 1024))
print("(RSS: peak resident set size, median and largest of %s runs; for b the larger curl)" % sys.argv[2])
key = {name.split(":")[0]: name for name in times}
medians = {name: statistics.median(ts) for name, ts in times.items()}
def ratio(x, y, label, note=""):
    x, y = key[x], key[y]
    print("%-42s %.2f  (%.2f)  RSS %.2f%s" % (label, means[x] / means[y], medians[x] / medians[y],
                                            rss[x][0] / rss[y][0], note))
print()
print("ratios of the means (of the medians in brackets), and of the median peak RSS:")
ratio("a", "b", "a/b   (client vs two curl processes):")
ratio("a", "c", "a/c   (client vs the floor):")
ratio("a", "b''", "a/b'' (client vs one curl process):", "   for information")
if "a0" in key:
    ratio("a0", "c", "a0/c  (baseline vs the floor):")
    ratio("a", "a0", "a/a0  (client vs the baseline):")
PY

# --- CPU time of the client side (perf stat task-clock: the process and its children) --------
# (perf stat -r 0 would repeat forever: PERF_RUNS=0 skips this part, as INSTR_RUNS=0 does the last.)
if [ "$perf_runs" -ge 1 ] && command -v perf >/dev/null && perf stat -x, -e task-clock true >/dev/null 2>&1; then
    echo
    echo "client-side CPU, perf stat -e task-clock, mean of $perf_runs runs (wall time minus this is"
    echo "mostly waiting for the gate):"
    perf_cpu() {
        local name=$1
        shift
        perf stat -x, -e task-clock -r "$perf_runs" -o "$work/perf.csv" -- "$@" >/dev/null 2>&1 ||
            { echo "  $name: perf stat failed"; return 0; }
        awk -F, -v n="$name" '$3 ~ /^task-clock/ { printf "  %-30s %8.2f ms CPU\n", n, $1 }' "$work/perf.csv"
    }
    perf_cpu "a: tessarin-cli get" "$cli" get "$title" --field key
    perf_cpu "b: curl x2 (2 processes)" "$work/run2" \
        curl -s -f --cacert "$cert" -H 'Content-Type: text/plain' --data-binary "@$work/body1" "$gate_url" --then \
        curl -s -f --cacert "$cert" -H 'Content-Type: text/plain' --data-binary "@$work/body2" "$gate_url"
    perf_cpu "c: floor_client" "$floor" "$cert" "$port" "$work/body1" "$work/body2"
    [ -z "$baseline" ] || perf_cpu "a0: baseline get" "$baseline" get "$title" --field key
else
    echo
    echo "(perf stat unavailable: CPU breakdown skipped)"
fi

# --- instructions (callgrind: a count that a busy machine does not disturb) -------------------
if [ "$instr_runs" -ge 1 ] && command -v valgrind >/dev/null; then
    echo
    echo "user-space instructions, valgrind --tool=callgrind, median of $instr_runs runs (the steadiest"
    echo "figure on a shared machine; the gate's share is not in it):"
    instr() {
        local name=$1
        shift
        local counts=()
        for _ in $(seq "$instr_runs"); do
            valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" >/dev/null 2>"$work/vg.log" ||
                { echo "  $name: valgrind failed"; return 0; }
            counts+=("$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/vg.log" | tail -1)")
        done
        printf '%s\n' "${counts[@]}" | sort -n | awk -v n="$name" '{ v[NR] = $1 }
            END { printf "  %-30s %12.2f M\n", n, v[int((NR + 1) / 2)] / 1e6 }'
    }
    instr "a: tessarin-cli get" "$cli" get "$title" --field key
    instr "c: floor_client" "$floor" "$cert" "$port" "$work/body1" "$work/body2"
    [ -z "$baseline" ] || instr "a0: baseline get" "$baseline" get "$title" --field key
fi
