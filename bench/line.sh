#!/usr/bin/env bash
# Three power systems on one line: the simulator's bus (addresses 1, 2, 3; device n has n + 2
# rectifier modules and frozen readings) on a pseudo-terminal, polled by the reference host.
#   bench/line.sh [BUILD_DIR] [SECONDS] [ROUNDS]     (defaults: build/host 60 334)
# 1. Device 3 silent, interval 0.5 s, time-out 0.2 s, for SECONDS: the round rate the two others
#    keep (blocks after the first, over the elapsed time divided by the interval).
# 2. A saturated line (interval 0.01 s), replies paced at 9600 baud: reply wire time over elapsed
#    time, as bench/e2e.sh counts wire time (the commands cross the pty at once).
# 3. ROUNDS rounds per device with faults (late replies, bad checksums, noise, truncation):
#    blocks that do not carry their own device's plant.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
seconds=${2:-60}
rounds=${3:-334}
sim=$build/sim/mpx23-sim
host=$build/host/mpx23-host
for p in "$sim" "$host"; do [ -x "$p" ] || { echo "missing $p (build first)" >&2; exit 1; }; done

out=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$out"' EXIT
for n in 1 2 3; do echo "{\"modules\": $((n + 2))}" > "$out/plant$n.json"; done

# start_line SIM_OPTIONS...: the bus on a pty; sets $pty.
start_line() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
    : > "$out/sim.txt"
    "$sim" --pty --address 1,2,3 --drift 0 --scenario-for "1:$out/plant1.json" \
        --scenario-for "2:$out/plant2.json" --scenario-for "3:$out/plant3.json" "$@" \
        > "$out/sim.txt" 2> /dev/null &
    sim_pid=$!
    for _ in $(seq 50); do [ -s "$out/sim.txt" ] && break; sleep 0.1; done
    pty=$(head -n 1 "$out/sim.txt")
}

# config INTERVAL TIMEOUT BAUD: three devices on $pty.
config() {
    python3 -c 'import json, sys
pty, interval, timeout, baud = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
print(json.dumps({"devices": [{"port": pty, "data_id": n, "settings": {"address": n},
    "baud": baud, "interval": interval, "timeout": timeout} for n in (1, 2, 3)]}))' \
        "$pty" "$1" "$2" "$3" > "$out/line.json"
}

start_line --silent 3
config 0.5 0.2 115200
timeout -s TERM "$seconds" "$host" --config "$out/line.json" --json > "$out/silent.jsonl" \
    2> "$out/silent.err" || true
python3 - "$out/silent.jsonl" "$seconds" <<'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
seconds, interval = float(sys.argv[2]), 0.5
for n in (1, 2, 3):
    count = sum(1 for r in rows if "block" in r and r["data_id"] == n)
    rate = max(count - 1, 0) / (seconds / interval)
    print(f"silent line: device {n}: {count} blocks in {seconds:g} s, {100 * rate:.1f} % of its round rate")
PY

start_line --pace --baud 9600
config 0.01 2 9600
started=$(date +%s.%N)
"$host" --config "$out/line.json" --rounds 20 --json > "$out/busy.jsonl" 2> "$out/busy.err"
ended=$(date +%s.%N)
grep -o 'line /dev/[^ ]*: .*' "$out/busy.err" || true
python3 - "$out/busy.jsonl" "$started" "$ended" <<'PY'
import json, sys
rows = [json.loads(l)["poll"] for l in open(sys.argv[1]) if l.startswith("{")]
elapsed = (float(sys.argv[3]) - float(sys.argv[2])) * 1000
exchanges = sum(r["elapsed_ms"] for r in rows)
wire = sum(r["received_bytes"] for r in rows) * 10 * 1000.0 / 9600
print(f"saturated line: {len(rows)} rounds in {elapsed:.0f} ms (host start to end), rounds "
      f"{exchanges:.0f} ms ({100 * exchanges / elapsed:.1f} %), reply wire time {wire:.0f} ms "
      f"({100 * wire / elapsed:.1f} %)")
PY

start_line --fault slow:ms=300:rate=0.01 --fault checksum:rate=0.005 --fault noise:rate=0.005 \
    --fault truncate:rate=0.005
config 0.001 0.1 115200
"$host" --config "$out/line.json" --rounds "$rounds" --json > "$out/faults.jsonl" \
    2> "$out/faults.err"
python3 - "$out/faults.jsonl" "$out/faults.err" <<'PY'
import json, sys
blocks = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
blocks = [b for b in blocks if "block" in b]
def plant(b):
    return json.dumps([b["rc_channels"], b["ac_channels"], b["param47_a"]], sort_keys=True)
first = {}
wrong = 0
for b in blocks:
    n = b["data_id"]
    first.setdefault(n, plant(b))
    if len(b["rc_channels"]) != n + 2 or plant(b) != first[n]:
        wrong += 1
lost = sum(1 for l in open(sys.argv[2]) if "communication lost" in l)
print(f"faults: {len(blocks)} rounds on three devices, {wrong} blocks not their own device's "
      f"({lost} losses of communication on the way)")
PY
