# Sourced by the MQTT benchmarks: a scratch folder ($out), processes stopped on exit ($pids) and
# a mosquitto broker on a free port of 127.0.0.1 ($port), anonymous, with the further
# configuration lines of $broker_lines, if any.
command -v mosquitto >/dev/null || PATH=$PATH:/usr/sbin
command -v mosquitto_sub >/dev/null || { echo "needs mosquitto-clients" >&2; exit 1; }

out=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$out"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" > "$out/broker.conf"
[ -z "${broker_lines:-}" ] || printf '%s\n' "$broker_lines" >> "$out/broker.conf"
mosquitto -c "$out/broker.conf" > "$out/broker.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
