#!/usr/bin/env bash
# The reference host publishing to a real mosquitto broker on 127.0.0.1: DEVICES simulated power
# systems in the same process, each on a simulated line of its own, polled every INTERVAL. A
# subscriber to every topic counts what the broker delivers; the host's CPU time comes from
# /proc over the same window. The same run without the broker gives the share of publishing.
#   bench/mqtt.sh [BUILD_DIR] [DEVICES] [SECONDS] [INTERVAL]   (defaults: build/host 100 60 1)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
devices=${2:-100}
seconds=${3:-60}
interval=${4:-1}
host=$build/host/mpx23-host
[ -x "$host" ] || { echo "missing $host (build first)" >&2; exit 1; }
. bench/broker.sh

python3 - "$devices" "$interval" > "$out/config.json" <<'PY'
import json, sys
n, interval = int(sys.argv[1]), float(sys.argv[2])
print(json.dumps({"devices": [{"port": f"sim:{i}", "data_id": i, "interval": interval}
                              for i in range(1, n + 1)]}))
PY

ticks=$(getconf CLK_TCK)
cpu_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# One run: the host for a warm-up and then the measured window; prints CPU seconds and messages.
run() {
  local label=$1; shift
  "$host" --config "$out/config.json" "$@" > /dev/null 2> "$out/$label.err" &
  local pid=$!
  pids+=("$pid")
  sleep 3
  local count="$out/$label.count"
  # -R: retained messages are what was published before the window, not during it.
  timeout "$seconds" mosquitto_sub -p "$port" -t "$label/#" -R -F '%t' > "$count" 2>/dev/null &
  local sub=$!
  local before; before=$(cpu_of "$pid")
  sleep "$seconds"
  local after; after=$(cpu_of "$pid")
  local rss; rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
  wait "$sub" 2>/dev/null || true
  kill "$pid"; wait "$pid" 2>/dev/null || true
  local messages; messages=$(wc -l < "$count")
  local states; states=$(grep -c '/state$' "$count" || true)
  python3 - "$label" "$before" "$after" "$ticks" "$seconds" "$messages" "$states" "$rss" <<'PY'
import sys
label, before, after, ticks, seconds, messages, states, rss = sys.argv[1:]
cpu = (int(after) - int(before)) / int(ticks)
s = float(seconds)
print(f"{label}: {int(messages) / s:.1f} messages/s received ({int(states) / s:.1f} states/s), "
      f"host CPU {cpu:.2f} s in {s:.0f} s = {100 * cpu / s:.1f}% of one core, VmRSS {rss} kB")
PY
}

echo "$devices in-process simulated devices, interval $interval s, broker mosquitto $(mosquitto -h 2>/dev/null | head -n 1 | awk '{print $3}') on 127.0.0.1"
# Every round's state, so that what publishing costs is measured on every round.
run with-mqtt --mqtt "mqtt://127.0.0.1:$port" --mqtt-prefix with-mqtt --mqtt-heartbeat 0
run without-mqtt
