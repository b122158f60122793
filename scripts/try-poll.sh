#!/usr/bin/env bash
# Tries the collector end to end on this machine: a local Mosquitto broker on 127.0.0.1, a
# simulated bus of three meters on a pseudo-terminal, `velmar poll --verbose` reading them every
# 5 s, and mosquitto_sub printing what reaches the broker. Runs until Ctrl-C, or SECONDS.
#   scripts/try-poll.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
velmar=build/default/tools/velmar
[ -x "$velmar" ] || { echo "Error: $velmar is not built; run the README's first command" >&2; exit 1; }
broker=$(command -v mosquitto || echo /usr/sbin/mosquitto)
[ -x "$broker" ] || { echo "Error: mosquitto is not installed; run scripts/install-deps.sh" >&2; exit 1; }
port=${PORT:-18830}
work=$(mktemp -d)
cleanup() {
  pkill -P $$ 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser %s\n' "$port" "$(id -un)" > "$work/mosquitto.conf"
"$broker" -c "$work/mosquitto.conf" 2>/dev/null &
"$velmar" simulate --meters 3 --speed 9600 > "$work/sim.out" &
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
device=$(head -1 "$work/sim.out")
cat > "$work/poll.toml" <<TOML
[mqtt]
host = "127.0.0.1"
port = $port
prefix = "site"
spool = "$work/spool"
[[bus]]
name = "bench"
device = "$device"
speed = 9600
[[bus.meter]]
name = "incomer"
address = 1
interval = 5
[[bus.meter]]
name = "pumps"
address = 2
interval = 5
[[bus.meter]]
name = "lights"
address = 3
interval = 5
TOML
echo "== broker 127.0.0.1:$port, simulated bus on $device; messages as they arrive (cut at 150 characters):"
if command -v mosquitto_sub >/dev/null; then
  mosquitto_sub -h 127.0.0.1 -p "$port" -t 'site/#' -v | stdbuf -oL cut -c1-150 &
fi
if [ $# -ge 1 ]; then
  timeout -s INT "$1" "$velmar" poll --verbose "$work/poll.toml" || [ $? -eq 124 ]
else
  "$velmar" poll --verbose "$work/poll.toml"
fi
