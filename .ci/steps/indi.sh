#!/usr/bin/env bash
# The INDI driver under Debian's indiserver: the README's command with the
# installed console script, then the driver's tests (Debian's command-line
# clients, a Python INDI client, hostile input). A missing indiserver fails
# the step instead of skipping the tests.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if ! command -v indiserver >/dev/null || ! command -v indi_eval >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq indi-bin >/dev/null
fi
python -m pip install -q ".[indi]"

# the README's command, on a free loopback port: the devices appear
work=$(mktemp -d)
port=$(python -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ORX_INDI_OPTIONS="--time-scale 0.01" indiserver -p "$port" -u "$work/indi.sock" orx-indi >"$work/log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; wait $server 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do
    indi_getprop -p "$port" -t 1 "ORX Sim C6200MC Pro.CONNECTION.CONNECT" >/dev/null 2>&1 && break
    sleep 0.2
done
indi_getprop -p "$port" -t 2 "*.DRIVER_INFO.DRIVER_EXEC" || { cat "$work/log"; exit 1; }

ORX_REQUIRE_INDISERVER=1 python -m pytest -q -p no:cacheprovider tests/indi
