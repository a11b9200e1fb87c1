#!/usr/bin/env bash
# check-install.sh BUILD: installs the build into a staging root (DESTDIR,
# under the prefix it was configured with), checks that every file is where
# a device builder expects it, builds examples/ out of the tree against the staged library (with
# pkg-config, and with CMake's find_package), and runs both against the
# staged service. Exits non-zero at the first thing missing or wrong.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$(dirname "$0")/..")
stage=$(mktemp -d /tmp/netprobe-stage-XXXXXX)
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
root="${prefix#/}"
pc=$(find "$stage" -name netprobe-client.pc)
libdir=$(dirname "$(dirname "$pc")")
lib="${libdir#"$stage"/}"
# /usr keeps its configuration in /etc; any other prefix in its own etc/.
etc="$root/etc"
[ "$prefix" = /usr ] && etc=etc
expected=(
  "$root/bin/netprobe" "$root/sbin/netprobed" "$root/include/netprobe/client.h"
  "$lib/libnetprobe-client.so" "$lib/libnetprobe-client.a" "$lib/cmake/netprobe/netprobeConfig.cmake"
)
if [ -f "$source/dist/CMakeLists.txt" ]; then
  expected+=("$root/share/man/man1/netprobe.1" "$root/share/man/man8/netprobed.8"
             "$root/lib/systemd/system/netprobed.service" "$etc/init.d/netprobed")
fi
for file in "${expected[@]}"; do
  [ -e "$stage/$file" ] || { echo "not installed: /$file" >&2; exit 1; }
done
echo "installed under $prefix: ${#expected[@]} files checked, library in /$lib"

# Out of the tree: a copy of examples/, built as a user of the package would.
work="$stage/example"
cp -r "$source/examples" "$work"
PKG_CONFIG_SYSROOT_DIR="$stage" PKG_CONFIG_PATH="$libdir/pkgconfig" make -s -C "$work" probe-port
cmake -S "$work" -B "$work/build" -DCMAKE_PREFIX_PATH="$stage$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
for example in "$work/probe-port" "$work/build/probe-port"; do
  python3 "$source/scripts/run-example.py" "$stage$prefix/sbin/netprobed" "$example" "$libdir"
done
