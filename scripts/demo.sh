#!/usr/bin/env bash
# Starts the service on a private bus path, asks it a few things through
# the command-line client, and stops it again.
set -uo pipefail
cd "$(dirname "$0")/.."

folder=$(mktemp -d /tmp/netprobe-demo-XXXXXX)
export NETPROBE_BUS="$folder/bus.sock"
${BUILD:-build}/netprobed >"$folder/service.log" &
service=$!
cleanup() {
  kill "$service" 2>/dev/null
  wait "$service" 2>/dev/null
  rm -rf "$folder"
}
trap cleanup EXIT

for _ in $(seq 100); do [ -S "$NETPROBE_BUS" ] && break; sleep 0.05; done

run() {
  echo "\$ netprobe $(printf "%q " "$@")"
  "${BUILD:-build}"/netprobe "$@" 2>&1
  echo "(exit status $?)"
  echo
}

python3 scripts/demo-peers.py 47101 47102 &
peers=$!
trap 'kill $peers 2>/dev/null; wait $peers 2>/dev/null; cleanup' EXIT
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/47101) 2>/dev/null && break; sleep 0.05; done

echo "netprobed is running as process $service on $NETPROBE_BUS;"
echo "demo peers on 127.0.0.1: a TCP service on 47101, a UDP echo on 47102,"
echo "and a NetBIOS responder on 127.0.0.2 when run as root."
echo
run --json tcp 127.0.0.1 47101 --expect0 '^220 ' --send1 'HELO demo\r\n' --expect1 '^250 ' --hold-first-send
run tcp 127.0.0.1 47103 --timeout 2000
run --json udp 127.0.0.1 47102 --send0 'ping' --expect0 '^echo: ping$'
run --json netbios 127.0.0.2 --timeout 2000
run --json send 127.0.0.1 47102 --payload 'hello\x00world'
run --json request --command 5
run tcp 127.0.0.1 47101 --expect0 '(unclosed'
