#!/usr/bin/env bash
# What one device costs the broker in a day: the reference host polling its built-in simulator
# (`--port sim`, the simulator's own noise on every reading) publishes to a private mosquitto on
# 127.0.0.1, a subscriber to `#` started before it gets every PUBLISH the broker delivers, and
# the lengths of topic and payload are added up (the MQTT framing, a few bytes a message, is left
# out) and scaled to a day's 17,280 rounds at the default interval of 5 s. Once at the default
# settings, and for comparison with --mqtt-heartbeat 0 --mqtt-full-state (every round's whole
# state, as the host published before states went out on change) and with --mqtt-heartbeat 0
# alone (every round's state, without the block's hex and the units).
#
# The day is run SPEED times faster. The simulator's readings wander by the round, not by the
# second, so a round at 5/SPEED s publishes what a round at 5 s would; the one time that counts
# is the heartbeat, and divided by the same SPEED it comes as often per round as in a real day.
# The bytes per round are then a real day's, and 17,280 rounds of them a device-day. A machine
# too busy to keep the pace stretches the rounds and makes the heartbeat come less often per
# round: the script says so when the rounds took much longer than asked.
#   bench/broker_bytes.sh [BUILD_DIR] [ROUNDS] [SPEED]   (defaults: build/host 3000 250)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
rounds=${2:-3000}
speed=${3:-250}
host=$build/host/mpx23-host
[ -x "$host" ] || { echo "missing $host (build first)" >&2; exit 1; }
. bench/broker.sh

day_rounds=17280
interval=$(python3 -c "print(5 / $speed)")
heartbeat=$(python3 -c "print(300 / $speed)")

# One run: prints the bytes per device-day and what they are made of.
run() {
  local label=$1 count=$2; shift 2
  local seen="$out/$label.seen"
  # -R: nothing retained from an earlier run; -q 1: nothing dropped on the way to the counter.
  mosquitto_sub -p "$port" -t '#' -R -q 1 -F '%t %l' > "$seen" 2>/dev/null &
  local sub=$!
  pids+=("$sub")
  sleep 0.5
  local start; start=$(date +%s.%N)
  "$host" --port sim --interval "$interval" --rounds "$count" --quiet \
    --mqtt "mqtt://127.0.0.1:$port" --mqtt-prefix "$label" "$@" 2> "$out/$label.err" ||
    { cat "$out/$label.err" >&2; exit 1; }
  local end; end=$(date +%s.%N)
  sleep 1
  kill "$sub"; wait "$sub" 2>/dev/null || true
  python3 - "$label" "$seen" "$count" "$day_rounds" "$start" "$end" "$interval" <<'PY'
import sys
label, seen, rounds, day, start, end, interval = sys.argv[1:]
rounds, day, interval = int(rounds), int(day), float(interval)
total = states = state_bytes = 0
for line in open(seen):
    topic, length = line.rstrip("\n").rsplit(" ", 1)
    size = len(topic.encode()) + int(length)
    total += size
    if topic.endswith("/state") and int(length) > 0:
        states += 1
        state_bytes += size
per_day = total * day // rounds
print(f"{label}: {rounds} rounds, {states} states of {state_bytes / max(states, 1):.0f} bytes, "
      f"{total} bytes in all")
print(f"  broker bytes per device-day: {per_day}")
took = (float(end) - float(start)) / rounds
if took > 1.25 * interval:
    print(f"  (rounds took {took * 1000:.0f} ms for {interval * 1000:.0f} ms asked: the heartbeat's "
          f"share is understated)")
PY
}

echo "one simulated device, a day of $day_rounds rounds run $speed times faster:" \
     "interval $interval s, heartbeat $heartbeat s"
run every-round $((rounds / 5)) --mqtt-heartbeat 0 --mqtt-full-state
run every-round-compact $((rounds / 5)) --mqtt-heartbeat 0
run on-change "$rounds" --mqtt-heartbeat "$heartbeat"
