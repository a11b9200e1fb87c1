#!/usr/bin/env bash
# check-package.sh: builds both packages and checks them; needs root (dpkg).
#  - The .deb (preset "package", prefix /usr): installed into this machine,
#    the service run from it and asked by a C program built against the
#    installed library with pkg-config, then purged; none of its files may
#    be left behind.
#  - The device's tarball (preset "package-ppc"): the install tree, with
#    32-bit big-endian PowerPC programs and library.
# Prints one line per check; exits non-zero at the first that fails.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/netprobe-package-XXXXXX)
trap 'dpkg --purge netprobe >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

for preset in package package-ppc; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done
(cd build-package && cpack -G DEB >/dev/null)
(cd build-package-ppc && cpack -G TGZ >/dev/null)

deb=$(ls build-package/netprobe_*.deb)
if dpkg -s netprobe >/dev/null 2>&1; then
  echo "netprobe is installed already; remove it first" >&2
  exit 1
fi
mapfile -t files < <(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' | grep -v '/$')
dpkg -i "$deb" >/dev/null
for file in "${files[@]}"; do [ -e "$file" ] || { echo "the .deb did not install $file" >&2; exit 1; }; done
echo "deb: $(basename "$deb") installed ${#files[@]} files"
/usr/bin/netprobe --help >/dev/null
cp -r examples "$work/example"
make -s -C "$work/example" probe-port
python3 scripts/run-example.py /usr/sbin/netprobed "$work/example/probe-port"
dpkg --purge netprobe >/dev/null
for file in "${files[@]}"; do [ ! -e "$file" ] || { echo "left behind after purge: $file" >&2; exit 1; }; done
if pgrep -x netprobed >/dev/null; then
  echo "a netprobed still runs after the purge" >&2
  exit 1
fi
echo "deb: purged, nothing left behind"

tarball=$(ls build-package-ppc/netprobe-*.tar.gz)
tar -xzf "$tarball" -C "$work"
tree=$(find "$work" -maxdepth 2 -type d -name "netprobe-*-powerpc")
for file in usr/bin/netprobe usr/sbin/netprobed usr/include/netprobe/client.h; do
  [ -e "$tree/$file" ] || { echo "not in the tarball: $file" >&2; exit 1; }
done
# ELF: class 1 (32-bit), data 2 (big-endian), machine 20 (PowerPC).
for program in "$tree/usr/sbin/netprobed" "$tree/usr/bin/netprobe" "$(find "$tree" -name 'libnetprobe-client.so.*.*')"; do
  read -r class data machine < <(python3 -c 'import sys; d=open(sys.argv[1],"rb").read(20); print(d[4], d[5], int.from_bytes(d[18:20], "big"))' "$program")
  [ "$class $data $machine" = "1 2 20" ] || { echo "not a 32-bit big-endian PowerPC file: $program" >&2; exit 1; }
done
echo "tarball: $(basename "$tarball"), PowerPC programs and library"
