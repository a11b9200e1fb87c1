#!/bin/sh
# The configured unit verifies clean (against the built netprobed, since the
# installed one need not exist yet), and its exposure level stays at or
# below the recorded one.
# usage: systemd-unit.sh UNIT NETPROBED MANDIR MAX_EXPOSURE
set -u
unit=$1 netprobed=$2 man=$3 max=$4
command -v systemd-analyze > /dev/null || { echo "systemd-analyze missing (scripts/install-deps.sh)"; exit 1; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
sed "s|^ExecStart=.*|ExecStart=$netprobed|" "$unit" > "$work/netprobed.service"
grep -q "^ExecStart=$netprobed\$" "$work/netprobed.service" || { echo "no ExecStart= in $unit"; exit 1; }
# Documentation= is looked up with man(1): the pages as a manual of their own.
mkdir "$work/man8" && cp "$man/netprobed.8" "$work/man8/"
out=$(MANPATH=$work systemd-analyze verify "$work/netprobed.service" 2>&1) || { echo "$out"; exit 1; }
[ -z "$out" ] || { echo "verify: $out"; exit 1; }
report=$(systemd-analyze security --offline=true "$work/netprobed.service" 2>&1)
level=$(echo "$report" | sed -n 's/.*Overall exposure level for netprobed.service: \([0-9.]*\).*/\1/p')
[ -n "$level" ] || { echo "$report"; echo "no exposure level"; exit 1; }
echo "exposure level $level (recorded: $max)"
awk -v level="$level" -v max="$max" 'BEGIN { exit !(level + 0 <= max + 0) }'
