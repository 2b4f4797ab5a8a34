#!/usr/bin/env bash
# What a host with discovery costs the broker when it connects: DEVICES simulated power systems in
# the host's process, a subscriber to everything started before the host, the first SECONDS
# counted by kind of topic (messages and bytes of topic and payload), and the host's CPU over
# that time from /proc. Without discovery for comparison.
#   bench/mqtt_connect.sh [BUILD_DIR] [DEVICES] [SECONDS]   (defaults: build/host 100 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
devices=${2:-100}
seconds=${3:-5}
host=$build/host/mpx23-host
[ -x "$host" ] || { echo "missing $host (build first)" >&2; exit 1; }
broker_lines="max_queued_messages 100000"
. bench/broker.sh

python3 - "$devices" > "$out/config.json" <<'PY'
import json, sys
n = int(sys.argv[1])
print(json.dumps({"devices": [{"port": f"sim:{i}", "data_id": i, "interval": 1, "name": f"Site {i}"}
                              for i in range(1, n + 1)]}))
PY

ticks=$(getconf CLK_TCK)

run() {
  local label=$1; shift
  local seen="$out/$label.seen"
  timeout "$((seconds + 1))" mosquitto_sub -p "$port" -t "$label/#" -t "ha-$label/#" -q 1 \
    -F '%t %l' > "$seen" 2>/dev/null &
  local sub=$!
  sleep 0.5
  "$host" --config "$out/config.json" --mqtt "mqtt://127.0.0.1:$port" --mqtt-prefix "$label" \
    "$@" > /dev/null 2> "$out/$label.err" &
  local pid=$!
  pids+=("$pid")
  sleep "$seconds"
  local cpu; cpu=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  kill "$pid"; wait "$pid" 2>/dev/null || true
  wait "$sub" 2>/dev/null || true
  python3 - "$label" "$seen" "$cpu" "$ticks" "$seconds" <<'PY'
import collections, sys
label, seen, cpu, ticks, seconds = sys.argv[1:]
kinds = collections.OrderedDict((k, [0, 0]) for k in
    ("discovery", "status", "availability", "alarms", "state", "other"))
for line in open(seen):
    topic, length = line.rsplit(" ", 1)
    kind = ("discovery" if topic.startswith("ha-") else
            topic.rsplit("/", 1)[-1] if topic.rsplit("/", 1)[-1] in kinds else "other")
    kinds[kind][0] += 1
    kinds[kind][1] += len(topic) + int(length)
total = sum(k[0] for k in kinds.values()), sum(k[1] for k in kinds.values())
parts = ", ".join(f"{k} {n} ({b / 1000:.1f} kB)" for k, (n, b) in kinds.items() if n)
c = int(cpu) / int(ticks)
print(f"{label}: first {seconds} s: {total[0]} messages, {total[1] / 1000:.1f} kB of topics and "
      f"payloads: {parts}; host CPU {c:.2f} s since its start")
PY
}

echo "$devices in-process simulated devices (3 modules, 2 inputs, 2 battery groups), interval 1 s"
run disc --mqtt-discovery ha-disc --mqtt-control
run plain
