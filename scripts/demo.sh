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
  echo "\$ netprobe $*"
  ${BUILD:-build}/netprobe "$@"
  echo "(exit status $?)"
  echo
}

echo "netprobed is running as process $service on $NETPROBE_BUS"
echo
run --json request --command 5
run request --command 0 --u32 timeout=100
