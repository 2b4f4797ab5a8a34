#!/usr/bin/env bash
# What the host costs over years rather than rounds: the figures of bench/README.md's
# "Years on the controller".
#   - the history's writes and syncs per device-day (bench/history_writes.py);
#   - a round's instructions with an empty history and with one at the default retention
#     (callgrind; the rounds of a short run taken from those of a longer one, so that the start,
#     whose check reads the whole file, drops out);
#   - what /api/history costs the running host (bench/history_requests.py);
#   - the broker's bytes per device-day (bench/broker_bytes.sh);
#   - the stripped size of the host, x86-64 and, when built, the controller's.
#   bench/endurance.sh [BUILD_DIR] [CONTROLLER_BUILD_DIR]   (defaults: build/host build/controller)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
controller=${2:-build/controller}
host=$build/host/mpx23-host
[ -x "$host" ] || { echo "missing $host (build first)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "== history writes, per device-day at the default interval and commit interval"
bench/history_writes.py "$build" 20

echo "== a round's instructions (callgrind, the rounds between 100 and 600 of a run)"
commit=()
"$host" --help | grep -q -- --history-commit && commit=(--history-commit 0)
instructions() { # DB ROUNDS: the instructions of a run of ROUNDS rounds
  cp "$1" "$tmp/run.db"
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$host" --port sim --interval 0.001 \
    --rounds "$2" --quiet --history "$tmp/run.db" "${commit[@]}" 2>&1 >/dev/null |
    sed -n 's/.*Collected : *\([0-9]*\).*/\1/p'
}
python3 -c "
import sqlite3, sys
sys.path.insert(0, 'bench')
from history_writes import fill
fill('$tmp/full.db', '$host')
sqlite3.connect('$tmp/empty.db').close()"
for kind in empty full; do
  short=$(instructions "$tmp/$kind.db" 100)
  long=$(instructions "$tmp/$kind.db" 600)
  echo "$kind history: $(((long - short) / 500)) instructions a round (every block committed at once)"
done

echo "== /api/history on a full history"
bench/history_requests.py "$build" 10

echo "== the broker"
if "$host" --help | grep -q -- --mqtt-heartbeat; then
  bench/broker_bytes.sh "$build"
else # a host from before states went out on change: its figure is the every-round one
  echo "(this host sends every round's state: bench/broker_bytes.sh's first figure)"
fi

echo "== the host's size"
size() { strip -o "$tmp/stripped" "$1" && stat -c %s "$tmp/stripped"; }
echo "x86-64 mpx23-host stripped: $(size "$host") bytes"
if [ -x "$controller/host/mpx23-host" ]; then
  strip=$(ls /opt/mpx23-toolchain/*/bin/mipsel-openwrt-linux-musl-strip 2>/dev/null | head -1)
  [ -n "$strip" ] && echo "controller mpx23-host stripped: $(
    "$strip" -o "$tmp/stripped" "$controller/host/mpx23-host" && stat -c %s "$tmp/stripped") bytes"
fi
