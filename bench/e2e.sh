#!/usr/bin/env bash
# End-to-end: the reference host polls the simulator over a pseudo-terminal while the simulator
# paces its replies at 9600 baud (real wire time). For each round the host reports the time
# from its first command to the published block and the bytes that crossed the line. A pty
# carries the host's commands instantly, so the wire time of a round here is that of the reply
# bytes; the ratio of measured time to that wire time is what host and driver add to the line.
#   bench/e2e.sh [BUILD_DIR] [ROUNDS]     (defaults: build/host 20)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
rounds=${2:-20}
baud=9600

sim=$build/sim/mpx23-sim
host=$build/host/mpx23-host
for p in "$sim" "$host"; do [ -x "$p" ] || { echo "missing $p (build first)" >&2; exit 1; }; done

out=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null || true; rm -rf "$out"' EXIT
"$sim" --pty --pace --baud "$baud" --drift 0 > "$out/sim.txt" 2> "$out/sim.err" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$out/sim.txt" ] && break; sleep 0.1; done
pty=$(head -n 1 "$out/sim.txt")

"$host" --port "$pty" --baud "$baud" --interval 0.01 --rounds "$rounds" --json > "$out/host.jsonl"

python3 - "$out/host.jsonl" "$baud" <<'PY'
import json, sys
path, baud = sys.argv[1], int(sys.argv[2])
rows = [json.loads(l)["poll"] for l in open(path) if l.startswith("{")]
def report(label, rs):
    if not rs:
        return
    measured = sum(r["elapsed_ms"] for r in rs)
    # Replies only: the commands cross the pty at once.
    reply_bytes = sum(r["received_bytes"] for r in rs)
    wire = reply_bytes * 10 * 1000.0 / baud
    print(f"{label}: {len(rs)} rounds, {measured / len(rs):.1f} ms per round measured, "
          f"{wire / len(rs):.1f} ms reply wire time, ratio {measured / wire:.4f} "
          f"(+{100 * (measured / wire - 1):.2f}%)")
report("full rounds (9 commands)", [r for r in rows if r["commands"] == 9])
report("quiet rounds (4 commands)", [r for r in rows if r["commands"] == 4])
PY
