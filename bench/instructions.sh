#!/usr/bin/env bash
# Instructions per full and per quiet round under callgrind (repeatable on a busy machine), and
# the stripped size of mpx23.so for the host and, where built, for the target.
#   bench/instructions.sh [BUILD_DIR] [TARGET_BUILD_DIR]   (defaults: build/host build/mipsel)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
target=${2:-build/mipsel}
rounds=200

player=$build/bench/bench_rounds
[ -x "$player" ] || { echo "no $player: configure with -DMPX23_BUILD_BENCH=ON and build" >&2; exit 1; }

instructions() { # mode rounds -> total instructions of the run
  local log
  log=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$player" "$1" "$2" 2> "$log" >/dev/null
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$log"
  rm -f "$log"
}

for mode in full quiet; do
  base=$(instructions "$mode" 0)
  total=$(instructions "$mode" "$rounds")
  echo "$mode round: $(( (total - base) / rounds )) instructions (callgrind, $rounds rounds)"
done

size_of() { # strip-tool library -> bytes after stripping
  local copy
  copy=$(mktemp)
  "$1" -o "$copy" "$2"
  stat -c %s "$copy"
  rm -f "$copy"
}
echo "mpx23.so stripped, host: $(size_of strip "$build/mpx23.so") bytes"
if [ -f "$target/mpx23.so" ]; then
  echo "mpx23.so stripped, target: $(size_of mipsel-linux-gnu-strip "$target/mpx23.so") bytes"
fi
