#!/usr/bin/env bash
# Sweep benchmark: the netprobe client's sweeps through a netprobed of their
# own, against two peer tools doing the same sweep on the same machine, in
# one go, the two sides taking turns each round:
#   TCP      every port 1-65535 of one loopback address where nothing
#            listens: nmap -sT against `netprobe tcp ADDR 1-65535`;
#   NetBIOS  node-status lookups of the 1,024 addresses of a loopback /22,
#            answered by bench/NetbiosResponder.cpp: nbtscan against
#            `netprobe netbios BLOCK`.
# For each side: wall time, probes per second, and the CPU time (user+sys)
# of the client and of the service, as medians of the rounds.
#
# Build first (any build with the tests or the benchmarks on, Release for
# figures worth quoting):
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DNETPROBE_BENCH=ON
#   cmake --build build-bench -j2 --target netprobed netprobe netprobe_nbresponder
#   BUILD=build-bench bench/sweep-bench.sh [--rounds N] [--netbios-rounds N] [--only tcp|netbios]
# Each round also runs the client for a single probe, whose CPU time is
# what starting and ending the client costs, the same for any sweep.
# Needs root (port 137), python3, and the peers: apt-get install nmap nbtscan.
# Traffic stays on loopback; everything started is stopped by its pid.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD:-build}
rounds=3
netbios_rounds=9           # a NetBIOS sweep takes tens of ms: more rounds
only=""
tcp_host=127.0.41.1        # where nothing of ours listens
netbios_block=127.0.20.0/22
# nbtscan's best on loopback that still sees every answer: -t, how long it
# waits after its last query, is 20 ms (its default, 1000 ms, would be most
# of its time; answers here come back within a millisecond), and -b paces
# its queries at 30 Mbit/s (unpaced, its 208 KiB receive buffer overflows
# and 10 to 45% of the answers are lost).
nbtscan_options=${NBTSCAN_OPTIONS:--t 20 -b 30000000}
limit_s=120                # any one sweep; a stuck side is killed

while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --netbios-rounds) netbios_rounds=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) echo "usage: BUILD=DIR $0 [--rounds N] [--netbios-rounds N] [--only tcp|netbios]" >&2; exit 2 ;;
  esac
done

missing=()
for tool in nmap nbtscan python3; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "missing: ${missing[*]} (Debian: apt-get install ${missing[*]}, or scripts/install-deps.sh)" >&2
  exit 2
fi
for program in netprobed netprobe bench/netprobe_nbresponder; do
  if [ ! -x "$build/$program" ]; then
    echo "$build/$program not built; see the top of $0 for how" >&2
    exit 2
  fi
done
if [ "$(id -u)" -ne 0 ]; then echo "run as root: the responder binds port 137" >&2; exit 2; fi

folder=$(mktemp -d /tmp/sweep-bench-XXXXXX)
service="" responder="" notifier=""
stop() {  # stop PID: SIGTERM, then at most 5 s before SIGKILL
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop "$service"; stop "$responder"; stop "$notifier"
  rm -rf "$folder"
}
trap cleanup EXIT

# CPU time a process has used so far, all its threads, in ns (schedstat is
# exact where /proc/PID/stat counts 10 ms ticks).
cpu_ns() {
  cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f\n", sum }'
}

# measure OUT ERR COMMAND...: runs the command with its output in files and
# prints "wall_s cpu_s status"; the CPU time is its own and its children's
# (wait4), exact to the µs, its start included. Spawned, not forked: a fork
# of python would bill the child for copying python (about 8 ms here).
# Killed after limit_s seconds (status -9).
measure() {
  python3 - "$limit_s" "$@" <<'EOF'
import os, signal, sys, time
limit, out, err, command = float(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4:]
files = [(os.POSIX_SPAWN_OPEN, fd, path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) for fd, path in ((1, out), (2, err))]
start = time.monotonic()
pid = os.posix_spawnp(command[0], command, os.environ, file_actions=files)
signal.signal(signal.SIGALRM, lambda *_: os.kill(pid, signal.SIGKILL))
signal.setitimer(signal.ITIMER_REAL, limit)
_, status, usage = os.wait4(pid, 0)
wall = time.monotonic() - start
print(f"{wall:.4f} {usage.ru_utime + usage.ru_stime:.6f} {os.waitstatus_to_exitcode(status)}")
EOF
}

# The service on a bus of its own; waits for its READY=1 (at most 10 s).
start_service() {
  mkfifo "$folder/notified"
  python3 - "$folder/notify.sock" >"$folder/notified" <<'EOF' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
print("bound", flush=True)
s.settimeout(10)
try:
    print(s.recv(64).decode(), flush=True)
except OSError:
    print("none", flush=True)
EOF
  notifier=$!
  exec 3<"$folder/notified"
  local line=""
  read -r -t 10 -u 3 line || true
  [ "$line" = bound ] || { echo "notify socket not bound" >&2; exit 1; }
  NOTIFY_SOCKET="$folder/notify.sock" NETPROBE_BUS="$folder/bus.sock" \
    "$build/netprobed" >"$folder/netprobed.log" 2>&1 &
  service=$!
  read -r -t 11 -u 3 line || true
  exec 3<&-
  wait "$notifier" 2>/dev/null || true
  notifier=""
  [ "$line" = READY=1 ] || { echo "netprobed did not say it was ready" >&2; exit 1; }
}

# The responder, for the NetBIOS half; waits for its "ready" (at most 5 s).
start_responder() {
  mkfifo "$folder/responder.out"
  "$build/bench/netprobe_nbresponder" "$netbios_block" >"$folder/responder.out" 2>"$folder/responder.err" &
  responder=$!
  exec 4<"$folder/responder.out"
  local line=""
  read -r -t 5 -u 4 line || true
  exec 4<&-
  [ "$line" = ready ] || { echo "responder not ready: $(cat "$folder/responder.err")" >&2; exit 1; }
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One round of one side. Appends "side wall cpu service_cpu seen" to the
# results file and prints the round.
#   record SIDE PROBES SEEN_COMMAND -- COMMAND...
# SEEN_COMMAND reads the output files and prints how many targets the side
# reported as it should (refused ports, or answers).
record() {
  local side=$1 probes=$2 seen_command=$3
  shift 4
  local before=0 after=0
  [ "$side" != peer ] && before=$(cpu_ns "$service")
  local wall cpu status
  read -r wall cpu status < <(measure "$folder/out" "$folder/err" "$@")
  [ "$side" != peer ] && after=$(cpu_ns "$service")
  local seen
  seen=$($seen_command)
  local service_cpu
  service_cpu=$(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.6f", (a - b) / 1e9 }')
  echo "$side $wall $cpu $service_cpu $seen" >>"$folder/results"
  printf '  %-5s wall %7.3f s  client CPU %7.3f s  service CPU %7.3f s  seen %6d of %d  exit %s\n' \
    "$side" "$wall" "$cpu" "$service_cpu" "$seen" "$probes" "$status"
  if [ "$seen" -ne "$probes" ]; then
    echo "  !! $side saw $seen of $probes; its output:" >&2
    head -5 "$folder/out" "$folder/err" >&2
  fi
}

# Medians of the rounds and the comparison.
report() {
  local name=$1 probes=$2 peer=$3
  local column side
  declare -A m
  for side in peer ours one; do
    for column in 2 3 4 5; do
      m[$side,$column]=$(awk -v s="$side" -v c="$column" '$1 == s { print $c }' "$folder/results" | median)
    done
  done
  awk -v n="$probes" -v name="$name" -v peer="$peer" \
      -v pw="${m[peer,2]}" -v pc="${m[peer,3]}" -v ps="${m[peer,5]}" \
      -v ow="${m[ours,2]}" -v oc="${m[ours,3]}" -v os="${m[ours,4]}" -v oseen="${m[ours,5]}" \
      -v c1="${m[one,3]}" 'BEGIN {
    printf "%s, %d probes, median of the rounds:\n", name, n
    printf "  %-22s %9s %10s %22s %23s %10s\n", "", "wall s", "probes/s", "client CPU us/probe", "service CPU us/probe", "seen"
    printf "  %-22s %9.3f %10.0f %22.2f %23s %10d\n", peer, pw, n / pw, pc * 1e6 / n, "-", ps
    printf "  %-22s %9.3f %10.0f %22.2f %23.2f %10d\n", "netprobe", ow, n / ow, oc * 1e6 / n, os * 1e6 / n, oseen
    printf "  rate ours/peer %.2f   client CPU / service CPU %.3f\n", pw / ow, (os > 0) ? oc / os : 0
    printf "  client alone for one probe: %.1f ms CPU; beyond that %.2f us/probe, %.3f of the service CPU\n", \
      c1 * 1e3, (oc - c1) * 1e6 / n, (os > 0) ? (oc - c1) / os : 0
  }'
}

# A single probe prints its one reply line and no summary.
one_seen() { grep -c -E '^(failure|success)' "$folder/out" || true; }

start_service
bus="$folder/bus.sock"
echo "netprobed $service on $bus; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"

if [ -z "$only" ] || [ "$only" = tcp ]; then
  # A listener on the wildcard address also listens here: those ports are
  # open for both sides alike, and counted out of the refused ones.
  open=$(ss -ltnH | awk -v h="$tcp_host" '{ split($4, a, ":"); if (a[1] == h || a[1] == "0.0.0.0" || a[1] == "*") n++ } END { print n + 0 }')
  refused=$((65535 - open))
  echo "TCP: ports 1-65535 of $tcp_host, $open of them open (listeners on it or on 0.0.0.0)"
  nmap_seen() { sed -n 's/^Not shown: \([0-9]*\) closed tcp ports.*/\1/p' "$folder/out" | grep . || echo 0; }
  # Both sides print only what answered; the client's summary line has the
  # counts: "N requests in T s (R/s): A success, B failure, C error".
  ours_tcp_seen() { sed -n 's/.* \([0-9]*\) failure,.*/\1/p' "$folder/err" | grep . || echo 0; }
  : >"$folder/results"
  for round in $(seq "$rounds"); do
    echo " round $round"
    record peer "$refused" nmap_seen -- nmap -sT -p1-65535 -n -Pn "$tcp_host"
    record ours "$refused" ours_tcp_seen -- "$build/netprobe" --bus "$bus" --only success tcp "$tcp_host" 1-65535
    record one 1 one_seen -- "$build/netprobe" --bus "$bus" tcp "$tcp_host" 1
  done
  report "TCP sweep of $tcp_host" 65535 "nmap -sT"
fi

if [ -z "$only" ] || [ "$only" = netbios ]; then
  start_responder
  echo "NetBIOS: $netbios_block (1,024 addresses), responder $responder; nbtscan $nbtscan_options"
  nbtscan_seen() { grep -c 'BENCHHOST' "$folder/out" || true; }
  ours_netbios_seen() { sed -n 's/.*: \([0-9]*\) success,.*/\1/p' "$folder/err" | grep . || echo 0; }
  : >"$folder/results"
  for round in $(seq "$netbios_rounds"); do
    echo " round $round"
    # shellcheck disable=SC2086 # the options are words
    record peer 1024 nbtscan_seen -- nbtscan -q $nbtscan_options "$netbios_block"
    record ours 1024 ours_netbios_seen -- "$build/netprobe" --bus "$bus" --only success netbios "$netbios_block"
    record one 1 one_seen -- "$build/netprobe" --bus "$bus" netbios "${netbios_block%.*}.1"
  done
  report "NetBIOS sweep of $netbios_block" 1024 "nbtscan"
  stop "$responder"
  echo "responder: $(cat "$folder/responder.err")"
  responder=""
fi
