#!/usr/bin/env bash
# Instructions on the controller's core (MIPS32r2, soft float), counted by a qemu plugin: per
# full and per quiet driver round (the round player), and the reference host's per round, per
# JSON block and per MQTT state message while it polls the native simulator over a pty. Each
# figure is the difference of two runs that differ only in their number of rounds, so that
# start-up and exit cancel out.
#   bench/mips_instructions.sh [--hotspots|--brief] [CONTROLLER_BUILD_DIR] [NATIVE_BUILD_DIR]
#                                                    (defaults: build/controller build/host)
# --hotspots counts blocks instead and tells, per function, where a round's instructions go
# (slower: every block run calls the plugin, and every system call is traced).
# --brief: one try of fewer rounds, to show the counting works (CI); rougher figures.
set -euo pipefail
cd "$(dirname "$0")/.."
hotspots=0
brief=0
case "${1:-}" in
  --hotspots) hotspots=1; shift ;;
  --brief) brief=1; shift ;;
esac
build=${1:-build/controller}
native=${2:-build/host}
player_rounds=200
# Host runs: the first rounds connect and size the device's lists; the difference starts after.
host_few=20
host_many=320
if [ $brief = 1 ]; then player_rounds=40; host_many=80; fi
between=$(( host_many - host_few ))

target=mipsel-openwrt-linux-musl
prefix=$(scripts/build-controller-toolchain --print-prefix)
sysroot=$prefix/$target
[ -f "$prefix/.complete" ] || { echo "no controller toolchain at $prefix" >&2; exit 1; }
player=$build/bench/bench_rounds
host=$build/host/mpx23-host
sim=$native/sim/mpx23-sim
if [ ! -x "$player" ] && [ ! -x "$host" ]; then
  echo "neither $player nor $host: build the controller preset" >&2
  exit 1
fi
plugin=$(bench/qemu-insn-plugin.sh)
blocks=$(dirname "$plugin")/libhotblocks.so
# shellcheck source=bench/broker.sh disable=SC2154 # sets $out, $pids and $port
. bench/broker.sh

# One program run on the controller's core. The counting plugin writes each thread's count and
# "total insns: N" into LOG at exit; the block plugin every block's start, size and runs, beside
# the page layout and the traced system calls that tell where each file was loaded. Both count
# through a call per instruction or block rather than inline: an inline add to one counter for
# every thread loses counts when two threads run at once.
guest_run() { # log command...
  local log=$1
  shift
  if [ $hotspots = 1 ]; then
    qemu-mipsel -cpu 24Kc -L "$sysroot" -plugin "$blocks" -strace -d page,plugin -D "$log" "$@"
  else
    qemu-mipsel -cpu 24Kc -L "$sysroot" -plugin "$plugin" -d plugin -D "$log" "$@"
  fi
}
count_in() { # log -> instructions
  local n
  if [ $hotspots = 1 ]; then
    n=$(awk -F', ' '/^0x[0-9a-f]+, / {n += $3 * $4} END {if (NR) print n}' "$1")
  else
    n=$(sed -n 's/^total insns: \([0-9]*\)$/\1/p' "$1")
  fi
  [ -n "$n" ] || { echo "no instruction count in $1" >&2; exit 1; }
  echo "$n"
}
count_of() { count_in "$out/$1.log"; }

per_round() { # label -> instructions per round from its few- and many-round runs
  local rounds=$between
  [[ $1 != player-* ]] || rounds=$player_rounds
  echo $(( ($(count_of "$1-many") - $(count_of "$1-few")) / rounds ))
}

player_figures() {
  local mode
  for mode in quiet full; do
    guest_run "$out/player-$mode-few.log" "$player" "$mode" 0
    guest_run "$out/player-$mode-many.log" "$player" "$mode" "$player_rounds"
    echo "$mode driver round: $(per_round "player-$mode") instructions" \
         "(qemu 24Kc, $player_rounds rounds)"
  done
  [ $hotspots = 0 ] || symbols "$player" "$player_rounds" player-quiet player-full
}

# Per function, what the labelled runs spend a round; for each label after the first, what it adds.
symbols() { # program rounds label...
  local program=$1 rounds=$2 label runs=()
  shift 2
  for label; do runs+=("$label:$out/$label-few.log:$out/$label-many.log"); done
  python3 bench/block_symbols.py --sysroot "$sysroot" --nm "$prefix/bin/$target-nm" \
    --readelf "$prefix/bin/$target-readelf" --program "$program" --rounds "$rounds" "${runs[@]}"
}
if [ -x "$player" ]; then player_figures; else echo "driver figures left out: no $player" >&2; fi

# Starts a fresh simulator (seed 1: the same readings, wandering as a plant's do, run after run)
# and sets $sim_pid and $sim_pty (not in a subshell: the exit trap stops what $pids lists).
start_sim() {
  "$sim" --pty --seed 1 > "$out/sim.txt" 2> "$out/sim.err" &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 50); do [ -s "$out/sim.txt" ] && break; sleep 0.1; done
  sim_pty=$(head -n 1 "$out/sim.txt")
}

# One host run against a fresh simulator; standard output goes to $out/LABEL-RUN.out (its making
# is what counts), the plugin's log to .log beside it.
host_run() { # label few|many host-options...
  local label=$1 run=$2 rounds=$host_few
  shift 2
  [ "$run" = few ] || rounds=$host_many
  start_sim
  guest_run "$out/$label-$run.log" "$host" --port "$sim_pty" --interval 0.001 \
    --rounds "$rounds" "$@" > "$out/$label-$run.out" 2>> "$out/host.err" < /dev/null
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  : > "$out/sim.txt"
}

# With the broker: a subscriber keeps the topics each run published, to count its states. Every
# round's state (--mqtt-heartbeat 0): the figure is a round with its state message.
mqtt_run() { # label few|many host-options...
  local sub label=$1 run=$2
  shift 2
  mosquitto_sub -p "$port" -t '#' -R -F '%t' > "$out/topics-$label-$run.txt" 2>/dev/null &
  sub=$!
  sleep 0.5
  host_run "$label" "$run" --mqtt "mqtt://127.0.0.1:$port" --mqtt-heartbeat 0 "$@"
  sleep 0.5
  kill "$sub"
  wait "$sub" 2>/dev/null || true
}
states_of() { grep -c '/state$' "$out/topics-$1.txt" || true; }

# Commands per round in the counted rounds of the JSON run: what kind of rounds they were.
round_mix() {
  python3 - "$out/json-many.out" "$host_few" <<'PY'
import collections, json, sys
path, few = sys.argv[1], int(sys.argv[2])
polls = [json.loads(l)["poll"] for l in open(path) if l.startswith("{")]
mix = collections.Counter(p["commands"] for p in polls if p["round"] > few)
print(", ".join(f"{n} of {c} commands" for c, n in sorted(mix.items())))
PY
}

if [ ! -x "$host" ] || [ ! -x "$sim" ]; then
  echo "host figures left out: needs $host and $sim" >&2
  exit 0
fi
# The host's counts vary by a few per cent from run to run (how the reply bytes arrive in pieces
# decides how many reads and waits it makes); each figure is the median of several tries.
tries=5
[ $hotspots = 0 ] && [ $brief = 0 ] || tries=1
declare -A tried=()
for _ in $(seq "$tries"); do
  for run in few many; do
    host_run table "$run"
    host_run quiet "$run" --quiet
    host_run json "$run" --json
    mqtt_run mqtt "$run"
    mqtt_run mqtt-quiet "$run" --quiet
    mqtt_run mqtt-http "$run" --quiet --http 127.0.0.1:0
  done
  for label in table quiet json mqtt mqtt-quiet mqtt-http; do
    tried[$label]+="$(per_round "$label") "
  done
done
median() { # values... -> the middle one
  printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"
}
spread() { # values... -> "min to max"
  printf '%s\n' "$@" | sort -n | sed -n '1p;$p' | paste -sd ' ' | sed 's/ / to /'
}
declare -A mid=() range=()
# shellcheck disable=SC2086 # the tries are words
for label in table quiet json mqtt mqtt-quiet mqtt-http; do
  mid[$label]=$(median ${tried[$label]})
  range[$label]=$(spread ${tried[$label]})
done
echo "host round, alarms on, table output: ${mid[table]} instructions (${range[table]}; qemu" \
     "24Kc, median of $tries, rounds $(( host_few + 1 ))-$host_many: $(round_mix))"
echo "host round, alarms on, --quiet (no output): ${mid[quiet]} instructions (${range[quiet]})"
echo "host round with --json: ${mid[json]} instructions (${range[json]}); per JSON block:" \
     "$(( mid[json] - mid[table] ))"
echo "host round with --mqtt: ${mid[mqtt]} instructions (${range[mqtt]}); per state message:" \
     "$(( mid[mqtt] - mid[table] )) ($(( $(states_of mqtt-many) - $(states_of mqtt-few) )) state" \
     "messages in $between rounds)"
echo "host round with --mqtt --quiet (the broker alone): ${mid[mqtt-quiet]} instructions" \
     "(${range[mqtt-quiet]}); per state message: $(( mid[mqtt-quiet] - mid[quiet] ))"
echo "host round with --mqtt --http --quiet (broker and HTTP side, no client): ${mid[mqtt-http]}" \
     "instructions (${range[mqtt-http]}); over the broker alone: $(( mid[mqtt-http] - mid[mqtt-quiet] ))"
# What the host told on standard error, each line once with its count (times of day left out).
if [ -s "$out/host.err" ]; then
  echo "host's standard error:"
  sed 's/^[0-9-]* [0-9:]* //' "$out/host.err" | sort | uniq -c
fi

[ $hotspots = 0 ] || symbols "$host" "$between" table json mqtt
