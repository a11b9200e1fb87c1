#!/bin/sh
# The init script under BusyBox's sh: start, status, a request answered,
# restart, stop, status; and a start whose bus cannot open fails with
# nothing left running. Whatever it started is killed by pid on any exit.
# usage: init-script.sh INIT NETPROBED NETPROBE
set -u
init=$1 netprobed=$2 netprobe=$3
command -v busybox > /dev/null || { echo "busybox missing (scripts/install-deps.sh)"; exit 1; }
work=$(mktemp -d) || exit 1
export NETPROBED="$netprobed" NETPROBE_BUS="$work/bus.sock" PIDFILE="$work/netprobed.pid"
export NETPROBED_LOG="$work/log"
pids=
trap 'for p in $pids; do kill -KILL "$p" 2> /dev/null; done; rm -rf "$work"' EXIT
failed=0
check() {  # check WHAT EXPECTED ACTUAL
    [ "$2" = "$3" ] || { echo "FAIL: $1: expected $2, got $3"; failed=1; }
}
run() {  # run ACTION: the init script's exit status, its pid file noted
    busybox sh "$init" "$1" > /dev/null; rc=$?
    [ -s "$PIDFILE" ] && pids="$pids $(cat "$PIDFILE")"
    return $rc
}
gone() {  # gone PID: no such process, or only its zombie
    [ ! -s "/proc/$1/cmdline" ] && echo yes || echo no
}

run start; check start 0 $?
first=$(cat "$PIDFILE")
run status; check "status while running" 0 $?
answer=$("$netprobe" --bus "$NETPROBE_BUS" request --command 5); check "request exit" 1 $?
case $answer in *"unknown command"*) ;; *) check "request answer" "unknown command" "$answer" ;; esac
run start; check "second start" 0 $?
check "second start keeps the pid" "$first" "$(cat "$PIDFILE")"
run restart; check restart 0 $?
second=$(cat "$PIDFILE")
check "old pid gone after restart" yes "$(gone "$first")"
"$netprobe" --bus "$NETPROBE_BUS" request --command 5 > /dev/null; check "request after restart" 1 $?
run stop; check stop 0 $?
run status; check "status after stop" 3 $?
check "pid gone after stop" yes "$(gone "$second")"
check "socket removed" no "$([ -e "$NETPROBE_BUS" ] && echo yes || echo no)"
grep -q Sanitizer "$NETPROBED_LOG" && { cat "$NETPROBED_LOG"; failed=1; }

NETPROBE_BUS="$work/missing/bus.sock" run start; check "start without a bus" 1 $?
run status; check "status after a failed start" 3 $?
exit $failed
