#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake g++ clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-powerpc-linux-gnu qemu-user
  libpcre2-dev libre2-dev libboost-dev
  iproute2 procps psmisc python3
  samba tshark openssh-server nginx-light dnsmasq-base
  mandoc busybox systemd pkg-config
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Debian has no PowerPC packages of GoogleTest and Boost for the cross root:
# GoogleTest is built for the device from Debian's sources and installed
# there as a package (with its CMake files), and Boost's headers, which are
# the same on every machine, are made visible there.
cross_root=/usr/powerpc-linux-gnu
if [ ! -f "$cross_root/lib/cmake/GTest/GTestConfig.cmake" ]; then
  work=$(mktemp -d)
  cmake -S /usr/src/googletest -B "$work" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "$0")/.." && pwd)/cmake/powerpc-linux-gnu.cmake" \
    -DCMAKE_INSTALL_PREFIX="$cross_root" -DBUILD_GMOCK=ON >/dev/null
  cmake --build "$work" -j"$(nproc)" >/dev/null
  $sudo cmake --install "$work" >/dev/null
  rm -rf "$work"
fi
[ -e "$cross_root/include/boost" ] || $sudo ln -s /usr/include/boost "$cross_root/include/boost"
