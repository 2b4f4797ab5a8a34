#!/usr/bin/env bash
# The procd init script off the controller: its start_service runs in busybox ash, the
# controller's shell (dash where busybox is missing), against small stand-ins for UCI, jshn and
# procd, and the command line, the procd parameters and the JSON it writes are checked for
# a few UCI files; every bad value must be refused, naming its UCI option, with nothing started.
# With the built host, each JSON it writes is also loaded by the host itself.
#   test-init.sh [MPX23_HOST]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
init=$here/files/mpx23.init
host=${1:-}
dir=$(mktemp -d /tmp/owrt-init-XXXXXX)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
shell=(busybox ash)
"${shell[@]}" -c : 2>/dev/null || shell=("$(command -v dash || command -v sh)")

# The stand-ins, in POSIX sh. They keep the real helpers' traps: config_foreach and
# config_list_foreach return the last callback's status only, config_get_bool takes an unknown
# word for the default. The JSON writer is strict where jshn is lenient (an int that is not
# one, a boolean not 0 or 1 would be rounded or zeroed there): it writes them as invalid JSON.
cat >"$dir/stubs.sh" <<'STUBS'
# A UCI file: "config TYPE [NAME]", "option NAME VALUE", "list NAME VALUE", values bare or
# quoted (in single quotes over lines too), read byte by byte; unnamed sections are cfg1, cfg2,
# ... in file order.
config_load() {
  eval "$(LC_ALL=C awk -v q="'" '
    function quoted(s) { gsub(q, q "\\" q q, s); return q s q }
    function unquoted(s) {
      if (s ~ ("^" q ".*" q "$")) return substr(s, 2, length(s) - 2)
      if (s ~ /^".*"$/) { s = substr(s, 2, length(s) - 2); gsub(/\\"/, "\"", s) }
      return s
    }
    function value(  v) {
      v = $0; sub(/^[ \t]*[a-z]+[ \t]+[^ \t]+[ \t]*/, "", v); return unquoted(v)
    }
    $3 ~ ("^" q) { while (gsub(q, q) % 2 && (getline more) > 0) $0 = $0 "\n" more }
    $1 == "config" { n++; s = $3 == "" ? "cfg" n : unquoted($3)
      print "CONFIG_SECTIONS=\"$CONFIG_SECTIONS " s "\"; CONFIG_" s "_TYPE=" quoted($2) }
    $1 == "option" { print "CONFIG_" s "_" $2 "=" quoted(value()) }
    $1 == "list" { k = s "_" $2; len[k]++
      print "CONFIG_" k "_ITEM" len[k] "=" quoted(value()) "; CONFIG_" k "_LENGTH=" len[k] }
  ' "$UCI_DIR/$1")"
}
config_get() {
  eval "_v=\${CONFIG_$2_$3:-\$4}"
  eval "$1=\$_v"
}
config_get_bool() {
  config_get _b "$2" "$3" "$4"
  case "$_b" in
  1 | on | true | yes | enabled) _b=1 ;;
  0 | off | false | no | disabled) _b=0 ;;
  *) _b=$4 ;;
  esac
  eval "$1=\$_b"
}
config_foreach() {
  _f=$1 _t=$2
  shift 2
  for _s in $CONFIG_SECTIONS; do
    eval "[ \"\$CONFIG_${_s}_TYPE\" = \"$_t\" ]" || continue
    "$_f" "$_s" "$@"
  done
}
config_list_foreach() {
  _ls=$1 _lo=$2 _lf=$3
  shift 3
  eval "_n=\${CONFIG_${_ls}_${_lo}_LENGTH:-0}"
  _i=1
  while [ "$_i" -le "$_n" ]; do
    eval "_item=\$CONFIG_${_ls}_${_lo}_ITEM$_i"
    "$_lf" "$_item" "$@"
    _i=$((_i + 1))
  done
}

json_init() { _J= _JS=o _JF=1; }
_json_key() {
  [ "$_JF" = 1 ] || _J="$_J,"
  _JF=0
  case "$_JS" in
  a*) ;;
  *) _J="$_J\"$1\":" ;;
  esac
}
json_add_object() { _json_key "$1"; _J="$_J{" _JS="o$_JS" _JF=1; }
json_add_array() { _json_key "$1"; _J="$_J[" _JS="a$_JS" _JF=1; }
json_close_object() { _J="$_J}" _JS=${_JS#o} _JF=0; }
json_close_array() { _J="$_J]" _JS=${_JS#a} _JF=0; }
json_add_string() {
  _json_key "$1"
  _J="$_J\"$(printf '%s' "$2" | sed 's/[\\"]/\\&/g')\""
}
_json_number() {
  _json_key "$1"
  if printf '%s\n' "$3" | grep -Eq "$2"; then _J="$_J$3"; else _J="$_J<not a number: $3>"; fi
}
json_add_int() { _json_number "$1" '^-?[0-9]+$' "$2"; }
json_add_double() { _json_number "$1" '^-?[0-9]+(\.[0-9]+)?$' "$2"; }
json_add_boolean() {
  _json_key "$1"
  case "$2" in
  0) _J="${_J}false" ;;
  1) _J="${_J}true" ;;
  *) _J="$_J<not a boolean: $2>" ;;
  esac
}
json_dump() {
  [ "$_JS" = o ] || _J="$_J<unclosed: $_JS>"
  printf '{%s}\n' "$_J"
}

_trace() { printf '%s\n' "$*" >>"$TRACE"; }
procd_open_instance() { _trace "open_instance $*"; }
procd_set_param() { _trace "set $*"; }
procd_append_param() { _trace "append $*"; }
procd_close_instance() { _trace "close_instance"; }
procd_add_reload_trigger() { _trace "reload_trigger $*"; }
logger() { printf '%s\n' "$*" >>"$SYSLOG"; }
STUBS

export UCI_DIR=$dir/uci TRACE=$dir/trace SYSLOG=$dir/syslog
mkdir -p "$UCI_DIR"
site=$dir/run/site.json

# start_service with the UCI file on standard input; sets $status and $errors.
start() {
  cat >"$UCI_DIR/mpx23"
  rm -rf "$dir/run" "$TRACE" "$SYSLOG"
  touch "$TRACE" "$SYSLOG"
  status=0
  "${shell[@]}" -c '. "$1"; . "$2"; RUN_DIR=$3; SITE_JSON=$3/site.json; start_service' \
    sh "$dir/stubs.sh" "$init" "$dir/run" 2>"$dir/stderr" || status=$?
  errors=$(cat "$dir/stderr")
}

# The JSON written, as expected, and taken by the host.
expect_json() {
  local want
  want=$(printf '%s' "$@")
  [ "$(cat "$site")" = "$want" ] || fail "JSON written: $(cat "$site"); expected $want"
  [ "$(stat -c %a "$site")" = 600 ] || fail "JSON file mode $(stat -c %a "$site"), not 600"
  host_takes
}

# The host's configuration is loaded before anything else, so a data_id no device has stops it
# right after that, with no port opened.
host_takes() {
  local said
  [ -n "$host" ] || return 0
  said=$("$host" --config "$site" --device 4294967295 --get dc.voltage 2>&1) || true
  grep -q -- '--device: no device with data_id 4294967295' <<<"$said" && return
  # A host built without SNMP (MPX23_SNMP=OFF) reads the "snmp" object, then refuses it.
  grep -q '"snmp":' "$site" && grep -q 'built without SNMP' <<<"$said" && return
  fail "the host does not take the JSON written: $said"
}

expect_trace() {
  local line
  for line in "$@"; do
    grep -qxF -- "$line" "$TRACE" || fail "procd was not told '$line'; it got: $(cat "$TRACE")"
  done
}

started() {
  [ "$status" = 0 ] || fail "start_service failed ($status): $errors"
  expect_trace "open_instance " close_instance "set respawn 3600 10 5" "set stdout 1" \
    "set stderr 1" "set file $site"
}

command_line="set command /usr/bin/mpx23-host --config $site --plugin /usr/lib/kvo/plugins/mpx23.so"
quiet="append command --quiet"

# ---- the shipped file: off as installed, one device once enabled ------------------------
start <"$here/files/mpx23.config"
[ "$status" = 0 ] && [ ! -s "$TRACE" ] || fail "the shipped file started something: $(cat "$TRACE")"
grep -q disabled "$SYSLOG" || fail "a disabled service says nothing in the log"
start < <(sed "0,/^\toption enabled '0'/s//\toption enabled '1'/" "$here/files/mpx23.config")
started
expect_trace "$command_line"
expect_json '{"devices":[{"port":"/dev/ttyUSB0","data_id":1,"baud":9600,"interval":5,' \
  '"mains_frequency":50,"alarms":true,"settings":{"address":1,"protocol_version":"0x20"},' \
  '"alarm_settings":{},"alarm_thresholds":{}}]}'

# ---- one device; a disabled one is skipped unread; procd watches the file ----------------
start <<'UCI'
config host 'host'
	option enabled '1'
config device 'plant1'
	option port 'tcp:192.168.1.50:4001'
	option data_id '1001'
	option name "Site \"17\""
	option interval '2.5'
	option timeout '0.8'
	option mains_frequency '60'
	option protocol_version '33'
config device 'spare'
	option enabled 'no'
	option address 'not checked'
UCI
started
expect_trace "$command_line"
[ "$(grep -c '^set command' "$TRACE")" = 1 ] &&
  [ "$(grep '^append command' "$TRACE")" = "$quiet" ] ||
  fail "the command line is not the quiet default: $(cat "$TRACE")"
expect_json '{"devices":[{"port":"tcp:192.168.1.50:4001","data_id":1001,"name":"Site \"17\"",' \
  '"interval":2.5,"timeout":0.8,"mains_frequency":60,"settings":{"protocol_version":33},' \
  '"alarm_settings":{},"alarm_thresholds":{}}]}'
"${shell[@]}" -c '. "$1"; . "$2"; service_triggers' sh "$dir/stubs.sh" "$init"
expect_trace "reload_trigger mpx23"

# ---- two devices on one port, the broker, the history ----------------------------------
mkdir "$dir/certs"
touch "$dir/certs/*" "$dir/certs/site.pem"
start <<UCI
config host
	option history '$dir/flash/history.db'
	option retention '2000'
	option log_rounds '1'
config device 'plant1'
	option port '/dev/ttyS1'
	option address '1'
	option data_id '1'
	option baud '19200'
config device 'plant2'
	option port '/dev/ttyS1'
	option address '2'
	option data_id '2'
	option baud '19200'
config mqtt 'mqtt'
	option url 'mqtts://broker.example:8883'
	option user 'site-17'
	option ca '$dir/certs/*'
	option password_file '/etc/mpx23/mqtt pw'
	option prefix 'mpx23/site-17'
	option control 'yes'
	option values 'off'
	option backlog '500'
	option discovery 'on'
	option discovery_prefix 'ha'
config http
	option enabled '0'
	option listen 'not read'
config snmp 'snmp'
	option agentx '/var/run/agentx.sock'
UCI
started
expect_trace "$command_line" "append command --history $dir/flash/history.db" \
  "append command --retention 2000" "append file /etc/mpx23/mqtt pw" "append file $dir/certs/*"
[ "$(grep -c '^append file' "$TRACE")" = 2 ] ||
  fail "procd was told to watch other files than the two: $(cat "$TRACE")"
! grep -qxF "$quiet" "$TRACE" || fail "log_rounds on, yet the host was told --quiet"
[ -d "$dir/flash" ] || fail "the history's folder was not made"
expect_json '{"devices":[{"port":"/dev/ttyS1","data_id":1,"baud":19200,"settings":{"address":1},' \
  '"alarm_settings":{},"alarm_thresholds":{}},{"port":"/dev/ttyS1","data_id":2,' \
  '"baud":19200,"settings":{"address":2},"alarm_settings":{},"alarm_thresholds":{}}],' \
  '"mqtt":{"url":"mqtts://broker.example:8883",' "\"ca\":\"$dir/certs/*\",\"user\":\"site-17\"," \
  '"password_file":"/etc/mpx23/mqtt pw","prefix":"mpx23/site-17","control":true,' \
  '"backlog":500,"values":false,"discovery":"ha"},"snmp":{"agentx":"/var/run/agentx.sock"}}'

# ---- alarms off but one, a limit moved; HTTP; SNMP on the library's default socket -------
start <<'UCI'
config device
	option port '/dev/ttyUSB0'
	option alarms 'false'
	list alarm_on '220600140010'
	list threshold '210600320010=46.5'
	list threshold '210600330010=44'
config http
	option listen '127.0.0.1:9123'
	option max_connections '4'
config snmp
UCI
started
expect_json '{"devices":[{"port":"/dev/ttyUSB0","alarms":false,"settings":{},' \
  '"alarm_settings":{"220600140010":1},"alarm_thresholds":{"210600320010":46.5,' \
  '"210600330010":44}}],"http":{"listen":"127.0.0.1:9123","max_connections":4},' \
  '"snmp":{"agentx":true}}'

# ---- every bad value refused, naming its option; a good device after it changes nothing --
refused() {
  local section=$1 said=$2
  [ "$status" != 0 ] || fail "$section: start_service succeeded with a bad value"
  ! grep -q open_instance "$TRACE" || fail "$section: an instance was started for: $said"
  [ ! -e "$site" ] || fail "$section: the JSON was written anyway"
  grep -aF -- "mpx23: $section: " <<<"$errors" | grep -aqF -- "$said" ||
    fail "$section: expected 'mpx23: $section: ...$said' on standard error; got: $errors"
  grep -aF -- "$section: " "$SYSLOG" | grep -aqF -- "$said" ||
    fail "$section: '$said' is not in the log"
}
while IFS='|' read -r option value said; do
  start <<UCI
config device 'plant1'
	option port '/dev/ttyS1'
	option $option '$value'
config device 'plant2'
	option port '/dev/ttyS2'
	option data_id '2'
UCI
  refused "device 'plant1'" "option $option: $said"
done <<'CASES'
address|300|'300' is not 1..254
address|1a|'1a' is not a whole number
data_id|x12|'x12' is not a whole number
data_id|4294967296|'4294967296' is not 0..4294967295
interval|0|'0' is not a number of seconds from 0.001 to 86400
interval|5s|'5s' is not a number of seconds
timeout|-1|'-1' is not a number of seconds from 0.01 to 3600
baud|9601|'9601' is not one of 300 600
alarms|maybe|'maybe' is not a boolean
enabled|2|'2' is not a boolean
port||missing or empty
protocol_version|0x1FF|'0x1FF' is not 0..255
mains_frequency|55|'55' is not 50 or 60
port|tcp:host-without-port|'tcp:host-without-port' is not tcp:HOST:PORT with a port from 1
port|tcp::4001|'tcp::4001' is not tcp:HOST:PORT
port|tcp:[::1:4001|'tcp:[::1:4001' is not tcp:HOST:PORT
port|tcp:plc:0|'tcp:plc:0' is not tcp:HOST:PORT
port|sim:|'sim:' is not sim:NAME
CASES
while IFS='|' read -r section lines said; do
  start < <(printf 'config device\n\toption port /dev/ttyS1\n%b\n' "$lines")
  refused "$section" "$(printf '%b' "$said")"
done <<'CASES'
device 'cfg1'|\tlist threshold '210600320010=low'|list threshold: '210600320010=low' is not ID=LIMIT
device 'cfg2'|config device\n\toption port /dev/ttyS1\n\toption data_id 2\n\toption address 2\n\toption baud 19200|option baud: 19200 on /dev/ttyS1, where device 'cfg1' has 9600
device 'cfg1'|\tlist alarm_off '2106'|list alarm_off: '2106' is not an alarm identifier
device 'cfg1'|\tlist alarm_off '210600340010'\n\tlist alarm_on '210600340010'|is listed twice
mqtt 'cfg2'|config mqtt\n\toption url 'mqtt://b'\n\toption backlog '0'|'0' is not 1..1000000
mqtt 'cfg2'|config mqtt\n\toption url 'http://b'|option url: 'http://b' is not mqtt://
mqtt 'cfg2'|config mqtt\n\toption url 'mqtt://b:x'|option url: 'mqtt://b:x' is not mqtt://
mqtt 'cfg2'|config mqtt\n\toption url 'mqtt://u@b'|option url: 'mqtt://u@b' is not mqtt://
mqtt 'cfg2'|config mqtt\n\toption url 'mqtts://b'\n\toption ca '/none'|option ca: cannot read
http 'cfg2'|config http\n\toption timeout '1'|option listen: missing or empty
host 'cfg2'|config host\n\toption retention '1e3'|option retention: '1e3' is not a whole number
host 'cfg2'|config host\n\toption history '/h\x1b'|option history: '/h?' has a control character
device 'cfg1'|\toption name 'Site\n17'|option name: 'Site?17' has a control character
device 'cfg1'|\toption interval '5\n0'|option interval: '5?0' has a control character
device 'cfg1'|\tlist threshold '210600320010=4\n6'|threshold: '210600320010=4?6' is not ID=LIMIT
device 'cfg1'|\toption name 'a\xffb'|option name: 'a\xffb' is not UTF-8 text without control
device 'cfg1'|\toption name 'a\xc2\x85'|option name: 'a\xc2\x85' is not UTF-8 text
CASES
# The broker's, the web server's and the SNMP options, in a section beside a good device.
wide=$(printf 'é%.0s' {1..101}) # 202 bytes
while IFS='|' read -r type option value said; do
  start < <(printf 'config device\n\toption port /dev/ttyS1\nconfig %s\n' "$type"
    [ "$type" != mqtt ] || printf "\toption url 'mqtt://b'\n"
    printf "\toption %s '%b'\n" "$option" "$value")
  refused "$type 'cfg2'" "option $option: $said"
done <<CASES
mqtt|prefix|site/#|'site/#' is not topic levels
mqtt|discovery_prefix|ha/+|'ha/+' is not topic levels
mqtt|prefix|/site|'/site' is not topic levels
mqtt|prefix|site/|'site/' is not topic levels
mqtt|prefix|a//b|'a//b' is not topic levels
mqtt|prefix|$wide|'$wide' is not topic levels
mqtt|ca|$dir/certs/site.pem|only with an mqtts:// url
mqtt|password_file|/pw|only with option user
mqtt|user|a\x7f|'a?' has a control character
http|listen|localhost:9123|'localhost:9123' is not [ADDRESS:]PORT
http|listen|256.0.0.1:80|'256.0.0.1:80' is not [ADDRESS:]PORT
http|listen|[1::2::3]:80|'[1::2::3]:80' is not [ADDRESS:]PORT
http|listen|65536|'65536' is not [ADDRESS:]PORT
snmp|agentx|var/run/agentx.sock|'var/run/agentx.sock' is not the path of a Unix socket
snmp|agentx|tcp:localhost|'tcp:localhost' is not the path of a Unix socket
snmp|agentx|1|'1' is not the path of a Unix socket
CASES
# A second device with the first's data_id, or at its address on its port (1 when not given).
while IFS='|' read -r lines said; do
  start < <(printf 'config device\n\toption port /dev/ttyS1\nconfig device\n%b\n' "$lines")
  refused "device 'cfg2'" "option $said"
done <<'CASES'
\toption port /dev/ttyS2\n\toption data_id 01|data_id: '01' is already used by device 'cfg1'
\toption port /dev/ttyS2|data_id: not given, and its default 1 is already used by device 'cfg1'
\toption port /dev/ttyS1\n\toption data_id 2|address: address 1 already used on /dev/ttyS1
CASES

# ---- values at the edges of what the host takes: started, and the host takes the JSON ----
while IFS='|' read -r lines; do
  start < <(printf 'config device\n\toption port /dev/ttyS1\n%b\n' "$lines")
  started
  host_takes
done <<CASES
config device\n\toption port 'tcp:[::1]:4001'\n\toption data_id '2'
config device\n\toption port 'sim:bench'\n\toption data_id '2'\n\toption name 'Zürich ☀ 𝄞'
config mqtt\n\toption url 'mqtt://[::1]:1883'\n\toption prefix '${wide%é}'
config http\n\toption listen '[fe80::1%eth0]:80'
config http\n\toption listen '[::ffff:10.0.0.1]:0'
config http\n\toption listen '0.0.0.0:65535'
config snmp\n\toption agentx 'tcp:[::1]:705'
CASES
start < <(printf "config device\n\toption enabled '0'\n\toption port /dev/ttyS1\n")
[ "$status" != 0 ] && grep -q 'no device section is enabled' <<<"$errors" ||
  fail "a configuration without devices was not refused: $errors"
echo "openwrt.init: all cases passed"
