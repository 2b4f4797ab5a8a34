#!/usr/bin/env bash
# What a manager's walk of the host's SNMP subtree costs: a snmpd of its own on a free loopback UDP
# port (master agentx, its socket and state in a scratch folder), the host with DEVICES simulated
# power systems as its subagent, then WALKS walks of .1.3.6.1.4.1.32473.1 over SNMPv2c with
# snmpwalk (GETNEXT) and as many with snmpbulkwalk (GETBULK, 10 repetitions). Per walk: wall time,
# varbinds, the host's and snmpd's CPU time (/proc/PID/stat; the host's polling, as measured over
# 5 s without walks, taken off); the host's VmRSS, and the same host's without --agentx.
# CALLGRIND=1 runs the host under callgrind instead, counting only SnmpAgent::process() (every
# AgentX packet read and answered), zeroed before and dumped after each kind of walk.
#   bench/snmp_walks.sh [BUILD_DIR] [DEVICES] [WALKS] [INTERVAL]  (defaults: build/host 100 20 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
devices=${2:-100}
walks=${3:-20}
interval=${4:-5}
host=$build/host/mpx23-host
[ -x "$host" ] || { echo "missing $host (build first)" >&2; exit 1; }
command -v snmpd >/dev/null || PATH=$PATH:/usr/sbin
root=.1.3.6.1.4.1.32473.1

out=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; sleep 0.3; rm -rf "$out"' EXIT
port=$(python3 -c 'import socket; s = socket.socket(type=socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir "$out/state"
printf '%s\n' "agentaddress udp:127.0.0.1:$port" "rocommunity bench 127.0.0.1" "master agentx" \
  "agentXSocket $out/agentx" > "$out/snmpd.conf"
SNMP_PERSISTENT_DIR=$out/state MIBS= snmpd -f -C -c "$out/snmpd.conf" -Lf "$out/snmpd.log" &
snmpd_pid=$!
pids+=("$snmpd_pid")

python3 - "$devices" "$interval" > "$out/config.json" <<'PY'
import json, sys
n, interval = int(sys.argv[1]), float(sys.argv[2])
print(json.dumps({"devices": [{"port": f"sim:{i}", "data_id": i, "interval": interval}
                              for i in range(1, n + 1)]}))
PY

snmp=(-v2c -c bench -On -Oq -t 10 -r 0 "udp:127.0.0.1:$port")
ticks=$(getconf CLK_TCK)
cpu_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
sys_of() { awk '{print $15}' "/proc/$1/stat"; }
rss_of() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
now() { date +%s.%N; }
start_host() { # the host in the background, its pid in $host_pid
  "$@" --config "$out/config.json" --quiet --socket "$out/ctl.$#" > /dev/null 2>> "$out/host.err" &
  host_pid=$!
  pids+=("$host_pid")
}
# Ready once the agent answers for the host and every plant's communication is up (2).
wait_ready() {
  for _ in $(seq 600); do
    if snmpget "${snmp[@]}" "$root.1.3.0" 2>/dev/null | grep -q " $devices\$" &&
      [ "$(snmpbulkwalk "${snmp[@]}" "$root.2.1.5" 2>/dev/null | grep -c ' 2$')" = "$devices" ]; then
      return
    fi
    sleep 0.2
  done
  echo "the host did not join, or its plants are not up:" >&2; cat "$out/host.err" >&2; exit 1
}

if [ "${CALLGRIND:-0}" = 1 ]; then
  start_host valgrind --tool=callgrind --collect-atstart=no \
    --toggle-collect='host::SnmpAgent::process()' --callgrind-out-file="$out/cg.%p" \
    "$host" --agentx "$out/agentx"
  wait_ready
  for tool in snmpwalk snmpbulkwalk; do
    callgrind_control -z "$host_pid" > /dev/null 2>&1
    for _ in $(seq "$walks"); do "$tool" "${snmp[@]}" "$root" > "$out/walk"; done
    callgrind_control -d "$tool" "$host_pid" > /dev/null 2>&1
    sleep 0.5
    dump=$(grep -l "^desc: Trigger: dump $tool\$" "$out"/cg.*)
    echo "$tool: $walks walks of $(grep -c "^$root\." "$out/walk") varbinds, instructions a walk:"
    # The whole of process(), then the host's own parts of it (inclusive).
    callgrind_annotate --inclusive=yes --auto=no "$dump" 2>/dev/null | python3 -c '
import re, sys
walks = int(sys.argv[1])
for line in sys.stdin:
    m = re.match(r"\s*([\d,]+) .*(PROGRAM TOTALS|snmp_\w+\.cpp:host::(SnmpAgent::watch\(\)|"
                 r"\(anonymous namespace\)::answer_requests\(|snmp_objects\())", line)
    if m:
        name = m[3].replace("(anonymous namespace)::", "").rstrip("()") if m[3] else "process()"
        n = int(m[1].replace(chr(44), "")) // walks
        print(f"  {n:>12,}  {name}")' "$walks"
  done
  exit 0
fi

start_host "$host" --agentx "$out/agentx"
wait_ready
c0=$(cpu_of "$host_pid"); t0=$(now); sleep 5; idle=$(( $(cpu_of "$host_pid") - c0 ))
idle_s=$(echo "$(now) - $t0" | bc)
before=$(rss_of "$host_pid")
echo "$devices simulated devices at $interval s; host polling alone: $idle ticks in 5 s"
for tool in snmpwalk snmpbulkwalk; do
  h0=$(cpu_of "$host_pid"); k0=$(sys_of "$host_pid"); s0=$(cpu_of "$snmpd_pid"); t0=$(now)
  counts=()
  for _ in $(seq "$walks"); do
    "$tool" "${snmp[@]}" "$root" > "$out/walk"
    counts+=("$(grep -c "^$root\." "$out/walk")")
  done
  t1=$(now); h1=$(cpu_of "$host_pid"); k1=$(sys_of "$host_pid"); s1=$(cpu_of "$snmpd_pid")
  python3 - "$tool" "$walks" "$t0" "$t1" "$h0" "$h1" "$s0" "$s1" "$idle" "$idle_s" "$ticks" \
    "$((k1 - k0))" "${counts[@]}" <<'PY'
import sys
tool, walks, t0, t1, h0, h1, s0, s1, idle, idle_s, ticks, kernel = sys.argv[1:13]
counts = sorted(map(int, sys.argv[13:]))
walks, ticks, wall = int(walks), int(ticks), float(t1) - float(t0)
polling = int(idle) / float(idle_s) * wall
host_ms = ((int(h1) - int(h0)) - polling) / ticks / walks * 1000
kernel_ms = int(kernel) / ticks / walks * 1000
snmpd_ms = (int(s1) - int(s0)) / ticks / walks * 1000
print(f"{tool}: {wall / walks * 1000:.1f} ms a walk, {counts[0]}..{counts[-1]} varbinds; "
      f"CPU a walk: host {host_ms:.1f} ms (system {kernel_ms:.1f}), snmpd {snmpd_ms:.1f} ms "
      f"({walks} walks, {wall:.1f} s)")
PY
done
with=$(rss_of "$host_pid")
kill "$host_pid"; wait "$host_pid" 2>/dev/null || true
start_host "$host"
sleep "$(echo "$interval + 2" | bc)"
echo "VmRSS: $before kB with --agentx before the walks, $with kB after," \
  "$(rss_of "$host_pid") kB without"
