#!/usr/bin/env bash
# The host's HTTP side against real clients: promtool checks the metrics, a Prometheus server
# scrapes them, headless Chromium loads the page, and stalled or surplus connections neither
# delay rounds nor go unbounded.
#   http_site_test.sh HOST SIM
set -euo pipefail
host=$1 sim=$2
dir=$(mktemp -d /tmp/host-http-XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in curl promtool prometheus chromium; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing (scripts/install-deps)"; exit 77; }
done

# Runs the host with a configuration; sets $port to the port it serves on.
start_host() {
  "$host" --config "$1" >/dev/null 2>"$dir/host.err" & pids+=($!)
  for _ in $(seq 100); do
    port=$(sed -n 's/.*http: listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$dir/host.err")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  fail "the host did not listen: $(cat "$dir/host.err")"
}
metric() { curl -sf "http://127.0.0.1:$port/metrics" | sed -n "s/^$1 //p"; }
# Waits up to $2 seconds for command $1 to succeed.
eventually() { for _ in $(seq $(($2 * 5))); do eval "$1" && return 0; sleep 0.2; done; return 1; }

# ---- the simulator on a pseudo-terminal, an alarm on its fourth round --------------------
cat >"$dir/scenario.json" <<'JSON'
{"events": [{"round": 4, "event": "mains_fail"}]}
JSON
"$sim" --pty --drift 0 --scenario "$dir/scenario.json" >"$dir/sim.out" 2>/dev/null & sim_pid=$!
pids+=($sim_pid)
eventually '[ -s "$dir/sim.out" ]' 10 || fail "the simulator did not start"
pty=$(head -1 "$dir/sim.out")
cat >"$dir/site.json" <<JSON
{"devices": [{"port": "$pty", "data_id": 7, "name": "rack-a", "interval": 0.5, "timeout": 0.3}],
 "http": {"listen": "127.0.0.1:0", "timeout": 1}}
JSON
start_host "$dir/site.json"
eventually '[ "$(metric "mpx23_up{data_id=\"7\",name=\"rack-a\"}")" = 1 ]' 10 || fail "mpx23_up never 1"

# ---- the text format, the methods -------------------------------------------------------
curl -sf "http://127.0.0.1:$port/metrics" >"$dir/metrics.txt"
problems=$(promtool check metrics <"$dir/metrics.txt" 2>&1) || fail "promtool: $problems"
[ -z "$problems" ] || fail "promtool: $problems"
[ "$(curl -s -o /dev/null -w '%{http_code}' -X POST "http://127.0.0.1:$port/metrics")" = 405 ] ||
  fail "POST was not refused with 405"
page_bytes=$(curl -sf "http://127.0.0.1:$port/" | wc -c)
curl -sfI "http://127.0.0.1:$port/" | grep -qi "content-length: $page_bytes" ||
  fail "HEAD does not announce the page's length"
[ "$page_bytes" -lt 51200 ] || fail "page over 50 KB"
body=$(curl -sf "http://127.0.0.1:$port/api/state?device=7")
grep -q '"dcData":{[^}]*"voltage":53' <<<"$body" || fail "/api/state: no DC voltage: $body"

# ---- metrics by convention: every counter and alarm there from the start, the shape -----
for series in 'mpx23_rounds_failed_total{data_id="7",name="rack-a",reason="no_reply"}' \
  'mpx23_frames_dropped_total{data_id="7",name="rack-a",reason="bad_chksum"}' \
  'mpx23_alarm_active{data_id="7",name="rack-a",alarm="host.module3.fault",alarm_name="Rectifier module 3 fault"}'; do
  [ -n "$(metric "$series")" ] || fail "no $series"
done
grep -q '^mpx23_device_info{data_id="7",name="rack-a",modules="3",ac_inputs="2",' "$dir/metrics.txt" ||
  fail "no mpx23_device_info of a plant of 3 modules and 2 AC inputs"

# ---- stalled and surplus connections ----------------------------------------------------
rounds_before=$(metric 'mpx23_rounds_completed_total{data_id="7",name="rack-a"}')
for n in $(seq 20); do eval "exec {fd$n}<>/dev/tcp/127.0.0.1/$port"; done
code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/metrics" || true)
# The idle ones give way: a scrape is answered whatever they hold.
[ "$code" = 200 ] || fail "20 idle connections shut a scrape out ($code)"
sleep 2 # past the 1 s time-out: the silent ones are closed
[ -n "$(metric 'mpx23_up{data_id="7",name="rack-a"}')" ] || fail "the server did not recover from stalled clients"
for n in $(seq 20); do eval "exec {fd$n}>&-"; done
burst=0
for _ in $(seq 200); do curl -sf -o /dev/null "http://127.0.0.1:$port/metrics" && burst=$((burst + 1)); done
[ "$burst" = 200 ] || fail "$burst of 200 requests answered"
rounds_after=$(metric 'mpx23_rounds_completed_total{data_id="7",name="rack-a"}')
elapsed_rounds=$((rounds_after - rounds_before))
# Every 0.5 s a round; the clients above took at least 2 s, so at least four rounds are due.
[ "$elapsed_rounds" -ge 4 ] || fail "only $elapsed_rounds rounds while clients stalled"
[ "$(ls /proc/"${pids[-1]}"/fd | wc -l)" -lt 40 ] || fail "descriptors left open"

# ---- the page in a browser --------------------------------------------------------------
eventually 'curl -sf "http://127.0.0.1:$port/api/alarms?device=7" | grep -q 220600140010' 10 ||
  fail "the simulator's mains failure raised no alarm"
alarm='mpx23_alarm_active{data_id="7",name="rack-a",alarm="220600140010",alarm_name="AC input power failure"}'
[ "$(metric "$alarm")" = 1 ] || fail "no $alarm"
curl -sf "http://127.0.0.1:$port/metrics" | promtool check metrics >/dev/null 2>&1 ||
  fail "promtool: metrics with an alarm active are not valid"
shown_rounds=$(metric 'mpx23_rounds_completed_total{data_id="7",name="rack-a"}')
browse() { timeout 60 chromium --headless --no-sandbox --disable-gpu --window-size=1000,900 \
  --virtual-time-budget=3000 "$@" 2>/dev/null; }
volts=$(printf '%.2f' "$(metric 'mpx23_dc_voltage_volts{data_id="7",name="rack-a"}')") # on batteries now
browse --dump-dom "http://127.0.0.1:$port/" >"$dir/dom.html"
grep -q "data-name=\"dc.voltage\"><td>dc.voltage</td><td class=\"v\">$volts" "$dir/dom.html" ||
  fail "the page shows no DC voltage of $volts"
grep -q 'data-signal="220600140010"><td>AC input power failure' "$dir/dom.html" ||
  fail "the page shows no mains failure alarm"
points=$(grep -o '<circle class="dc"' "$dir/dom.html" | wc -l)
[ "$points" -ge "$shown_rounds" ] || fail "the plot holds $points points for $shown_rounds rounds"
browse --screenshot="$dir/page.png" "http://127.0.0.1:$port/" >/dev/null
browse --screenshot="$dir/blank.png" "data:text/html,<body></body>" >/dev/null
page_bytes=$(stat -c %s "$dir/page.png") blank_bytes=$(stat -c %s "$dir/blank.png")
[ "$page_bytes" -gt $((4 * blank_bytes)) ] ||
  fail "the screenshot looks blank ($page_bytes bytes, an empty page $blank_bytes)"
[ -z "${SCREENSHOT:-}" ] || cp "$dir/page.png" "$SCREENSHOT"

# ---- a real Prometheus, then the simulator stopped --------------------------------------
prom_port=$((20000 + RANDOM % 20000))
cat >"$dir/prometheus.yml" <<YAML
global: {scrape_interval: 1s, evaluation_interval: 1s}
scrape_configs:
  - job_name: mpx23
    static_configs: [{targets: ["127.0.0.1:$port"]}]
YAML
prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/tsdb" \
  --web.listen-address="127.0.0.1:$prom_port" >"$dir/prometheus.log" 2>&1 & pids+=($!)
query() { curl -sf "http://127.0.0.1:$prom_port/api/v1/query?query=$1" |
  sed -n 's/.*"value":\[[0-9.]*,"\([^"]*\)"\].*/\1/p'; }
eventually '[ "$(query "mpx23_up")" = 1 ]' 30 || fail "Prometheus never saw mpx23_up 1"
eventually '[ "$(query mpx23_dc_voltage_volts)" = "$(metric "mpx23_dc_voltage_volts{data_id=\"7\",name=\"rack-a\"}")" ]' 5 ||
  fail "Prometheus: DC voltage $(query mpx23_dc_voltage_volts), the host's $(metric mpx23_dc_voltage_volts)"
kill "$sim_pid"
eventually '[ "$(query "mpx23_up")" = 0 ]' 30 || fail "Prometheus never saw mpx23_up 0"
[ -z "$(query "mpx23_dc_voltage_volts")" ] || fail "a lost device's reading is still scraped"
echo "ok: promtool, 16-connection limit, stalled clients, browser page, Prometheus up and down"
