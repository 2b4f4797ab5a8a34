#!/usr/bin/env bash
# The host's HTTP side against real clients: promtool checks the metrics, a Prometheus server
# scrapes them, headless Chromium loads the page, and stalled or surplus connections neither
# delay rounds nor go unbounded. The page is looked at as a phone (390x844) and a laptop
# (1280x900) show it: screenshots go to http_site_screenshots/ in the working folder, and to
# $SCREENSHOT_DIR when that is set.
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
active_alarms() { curl -sf "http://127.0.0.1:$port/api/alarms?device=$1" | { grep -o '"signal_id"' || true; } | wc -l; }
# Waits up to $2 seconds for command $1 to succeed.
eventually() { for _ in $(seq $(($2 * 5))); do eval "$1" && return 0; sleep 0.2; done; return 1; }

# ---- two plants on one pseudo-terminal, a third on a line that is not there ---------------
# Plant 7 (address 1) runs normally; plant 8 (address 2) loses its mains, a module and its bus
# voltage on its fourth round; plant 9's line never opens (on its own line, it delays no round).
cat >"$dir/trouble.json" <<'JSON'
{"events": [{"round": 4, "event": "mains_fail"}, {"round": 4, "event": "module_fault", "module": 2},
            {"round": 4, "event": "dc_sag", "volts": 44}]}
JSON
"$sim" --pty --drift 0 --address 1,2 --scenario-for "2:$dir/trouble.json" \
  >"$dir/sim.out" 2>/dev/null & sim_pid=$!
pids+=($sim_pid)
eventually '[ -s "$dir/sim.out" ]' 10 || fail "the simulator did not start"
pty=$(head -1 "$dir/sim.out")
plant() { echo "{\"port\": \"$4\", \"data_id\": $1, \"name\": \"$2\", \"settings\": {\"address\": $3},
  \"interval\": 0.5, \"timeout\": 0.3}"; }
cat >"$dir/site.json" <<JSON
{"devices": [$(plant 7 rack-a 1 "$pty"), $(plant 8 rack-b 2 "$pty"), $(plant 9 rack-c 1 "$dir/gone")],
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

# ---- the page in a browser, on a phone and on a laptop ------------------------------------
# Plant 8 has lost its mains with a module faulted and the bus sagging; plant 9 is lost.
# Its alarms come in one round: with the mains failure and DC voltage low, all are there.
has_alarms() { curl -sf "http://127.0.0.1:$port/api/alarms?device=8" | grep -q "$1" &&
  curl -sf "http://127.0.0.1:$port/api/alarms?device=8" | grep -q "$2"; }
eventually 'has_alarms 220600140010 210600320010' 20 || fail "plant 8: no mains failure and DC low"
alarm='mpx23_alarm_active{data_id="8",name="rack-b",alarm="220600140010",alarm_name="AC input power failure"}'
[ "$(metric "$alarm")" = 1 ] || fail "no $alarm"
eventually '[ "$(metric "mpx23_up{data_id=\"9\",name=\"rack-c\"}")" = 0 ]' 20 || fail "plant 9 not lost"
curl -sf "http://127.0.0.1:$port/metrics" | promtool check metrics >/dev/null 2>&1 ||
  fail "promtool: metrics with an alarm active are not valid"
curl -sf "http://127.0.0.1:$port/api/state" | grep -q '"name":"rack-b"' || fail "/api/state: no names"
total_alarms=$(($(active_alarms 7) + $(active_alarms 8) + $(active_alarms 9)))

browse() { timeout 60 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars \
  --virtual-time-budget=4000 --user-data-dir="$dir/profile" "$@" 2>/dev/null; }
# The served page, its requests sent to the host, in a frame of the screen's size; a check
# beside it writes, once the plots are drawn, what a technician sees on the first screen. Both
# are files, so that the check may look into the frame; the page's requests need web security off.
curl -sf "http://127.0.0.1:$port/" | sed "s|<head>|<head><base href=\"http://127.0.0.1:$port/\">|" \
  >"$dir/served.html"
checked() { cat <<HTML
<body style="margin:0"><iframe id="page" src="served.html" width="$1" height="$2"
style="border:0"></iframe><script>$(cat "$dir/check.js")</script></body>
HTML
}
cat >"$dir/check.js" <<'JS'
function check() {
  const win = document.getElementById("page").contentWindow, doc = win.document;
  const cards = [...doc.querySelectorAll(".plant")];
  if (doc.querySelectorAll(".plot svg").length < 2) return setTimeout(check, 100);
  const seen = b => b.top >= 0 && b.bottom <= win.innerHeight && b.left >= 0 && b.right <= win.innerWidth;
  const alarms = [...doc.querySelectorAll("li.alarm")];
  const each = f => cards.map(c => c.dataset.id + ":" + f(c)).join(",");
  const scale = (c, cls) => [...c.querySelectorAll("text." + cls)].map(t => +t.textContent);
  const span = (c, cls) => { const s = scale(c, cls); return s.length ? Math.min(...s) + "-" + Math.max(...s) : ""; };
  const out = {width: win.innerWidth, banner: doc.getElementById("banner").dataset.status,
    order: each(c => c.dataset.status), alarms: alarms.length,
    unseen: alarms.filter(a => !seen(a.getBoundingClientRect())).length,
    sideways: doc.documentElement.scrollWidth - win.innerWidth,
    volts: each(c => span(c, "v")), amperes: each(c => span(c, "a")),
    ticks: each(c => c.querySelectorAll("text.tick").length),
    shaded: each(c => c.querySelectorAll(".alarm-span").length)};
  const pre = document.createElement("pre");
  pre.id = "check";
  pre.textContent = Object.entries(out).map(([k, v]) => k + "=" + v).join(" ") + " ";
  document.body.append(pre, doc.getElementById("plants").cloneNode(true));
}
addEventListener("load", check);
JS
shots="$PWD/http_site_screenshots"
mkdir -p "$shots"
for size in 390,844 1280,900; do
  width=${size%,*}
  checked "$width" "${size#*,}" >"$dir/checked-$width.html"
  browse --window-size="$size" --disable-web-security --allow-file-access-from-files \
    --dump-dom "file://$dir/checked-$width.html" >"$dir/dom-$width.html"
  result=" $(sed -n 's/.*<pre id="check">\([^<]*\)<.*/\1/p' "$dir/dom-$width.html")"
  seen() { sed -n "s/.* $1=\([^ ]*\) .*/\1/p" <<<"$result"; }
  [ "$(seen width)" = "$width" ] || fail "the browser's window is $(seen width) px wide, not $width"
  [ "$(seen banner)" = alarm ] || fail "$width px: banner $(seen banner): $result"
  [ "$(seen order)" = "8:alarm,9:lost,7:ok" ] || fail "$width px: cards not worst first: $result"
  [ "$(seen alarms)" = "$total_alarms" ] || fail "$width px: $(seen alarms) alarms shown of $total_alarms"
  [ "$(seen unseen)" = 0 ] || fail "$width px: $(seen unseen) alarms below the first screen"
  [ "$(seen sideways)" -le 0 ] || fail "$width px: the page scrolls sideways by $(seen sideways) px"
  [ "$(seen volts)" = "8:40-60,9:,7:40-60" ] || fail "$width px: volt scales $(seen volts)"
  [[ "$(seen amperes)" =~ ^8:0-[0-9.]+,9:,7:0-[0-9.]+$ ]] || fail "$width px: ampere scales $(seen amperes)"
  [[ "$(seen ticks)" =~ ^8:[2-9],9:0,7:[2-9]$ ]] || fail "$width px: time ticks $(seen ticks)"
  [[ "$(seen shaded)" =~ ^8:[1-9][0-9]*,9:0,7:0$ ]] || fail "$width px: alarm periods $(seen shaded)"
  browse --window-size="$size" --screenshot="$shots/page-$width.png" "http://127.0.0.1:$port/" >/dev/null
  browse --window-size="$size" --screenshot="$dir/blank.png" "data:text/html,<body></body>" >/dev/null
  [ "$(stat -c %s "$shots/page-$width.png")" -gt $((4 * $(stat -c %s "$dir/blank.png"))) ] ||
    fail "the $width px screenshot looks blank"
  [ -z "${SCREENSHOT_DIR:-}" ] || cp "$shots/page-$width.png" "$SCREENSHOT_DIR/"
done
# What the cards say: names, readings as whole units, signed battery currents, the fault.
cards=$(grep -o '<main id="plants".*</main>' "$dir/dom-390.html")
volts=$(printf '%g' "$(metric 'mpx23_dc_voltage_volts{data_id="8",name="rack-b"}')")
for shown in '<h2>rack-b ' '<h2>rack-c ' '<h2>rack-a ' "<span>DC voltage</span><b>$volts V low<" \
  '>Battery 1 discharging</span><b>−' '>Battery 1 charging</span><b>+' '<td>2</td><td>FAULT<' \
  '>no mains<' 'COMMUNICATION LOST'; do
  grep -qF "$shown" <<<"$cards" || fail "the page does not show $shown"
done
! grep -q '[0-9]\.[0-9]*0 [VA]' <<<"$cards" || fail "readings with padded decimals: $cards"

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
query() { curl -sfG "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode "query=$1" |
  sed -n 's/.*"value":\[[0-9.]*,"\([^"]*\)"\].*/\1/p'; }
eventually '[ "$(query "mpx23_up{data_id=\"7\"}")" = 1 ]' 30 || fail "Prometheus never saw mpx23_up 1"
volts_7='mpx23_dc_voltage_volts{data_id="7",name="rack-a"}'
eventually '[ "$(query "$volts_7")" = "$(metric "$volts_7")" ]' 5 ||
  fail "Prometheus: DC voltage $(query "$volts_7"), the host's $(metric "$volts_7")"
kill "$sim_pid"
eventually '[ "$(query "mpx23_up{data_id=\"7\"}")" = 0 ]' 30 || fail "Prometheus never saw mpx23_up 0"
[ -z "$(query "mpx23_dc_voltage_volts")" ] || fail "a lost device's reading is still scraped"
echo "ok: promtool, 16-connection limit, stalled clients, browser page, Prometheus up and down"
