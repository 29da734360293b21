#!/usr/bin/env bash
# The conformance run against the server started as users start it, on every
# simulated camera (100x simulated clock), over IPv4 and (where the machine
# has it) IPv6 loopback; any issue or error fails the step.
set -euo pipefail
hosts=127.0.0.1
python -c "import socket; socket.socket(socket.AF_INET6).bind(('::1', 0))" 2>/dev/null && hosts=127.0.0.1,::1
log=$(mktemp)
python -m orxalpaca --host "$hosts" --port 0 --discovery-port 0 --time-scale 0.01 2>"$log" &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -f "$log"' EXIT
url=""
for _ in $(seq 600); do
  url=$(grep -o 'serving [0-9]* camera(s) on http://[^/ ]*' "$log" | grep -o 'http://.*' || true)
  [ -n "$url" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
[ -n "$url" ] || { cat "$log"; exit 1; }
dport=$(grep -o 'answering discovery on UDP port [0-9]*' "$log" | grep -o '[0-9]*$')
python tests/alpaca/conformance.py "$url" --discovery-port "$dport"
