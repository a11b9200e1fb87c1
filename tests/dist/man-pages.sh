#!/bin/sh
# The manual pages lint clean, and the client's page names every option and
# subcommand that `netprobe --help` prints.
# usage: man-pages.sh MANDIR NETPROBE
set -u
man=$1 netprobe=$2
command -v mandoc > /dev/null || { echo "mandoc missing (scripts/install-deps.sh)"; exit 1; }
failed=0
mandoc -Tlint -Wwarning "$man/netprobe.1" "$man/netprobed.8" || failed=1
page=$(sed 's/\\-/-/g' "$man/netprobe.1")
words=$("$netprobe" --help | grep -o -E -- '--[a-z0-9-]+|^  [a-z]+ ' | sort -u)
[ -n "$words" ] || { echo "netprobe --help printed no options"; exit 1; }
for word in $words; do
    case $page in
        *"$word"*) ;;
        *) echo "netprobe.1 does not mention $word"; failed=1 ;;
    esac
done
exit $failed
