#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's packages.
# Idempotent: runs apt-get update only when a package is missing, and fetches the
# LZO source (compiled into the firmware) only once per checkout.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libinih-dev liblzo2-dev libunicorn-dev
  gcc-arm-none-eabi binutils-arm-none-eabi libnewlib-arm-none-eabi
  clang-14 libclang-rt-14-dev
  iproute2 fonts-wqy-microhei dpkg-dev
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

# Source packages need a deb-src entry beside Debian's binary one.
src_list=/etc/apt/sources.list.d/quelmark-src.sources
need_update=0
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  $SUDO tee "$src_list" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
lzo_dir="$here/.deps/lzo2"
if [ ${#missing[@]} -gt 0 ] || { [ ! -f "$lzo_dir/src/lzo1x_d2.c" ] && [ $need_update -eq 1 ]; }; then
  need_update=1
fi
if [ $need_update -eq 1 ] || [ ${#missing[@]} -gt 0 ]; then
  # Third-party lists that this machine cannot reach only warn; Debian's must work.
  $SUDO apt-get update -o Acquire::Retries=3 || true
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# LZO 2.10 source for the firmware build (the host side links liblzo2).
if [ ! -f "$lzo_dir/src/lzo1x_d2.c" ]; then
  tmp=$(mktemp -d)
  ( cd "$tmp" && apt-get source --download-only lzo2 >/dev/null 2>&1 || apt-get source lzo2 >/dev/null )
  tarball=$(ls "$tmp"/lzo2_*.orig.tar.* | head -n1)
  mkdir -p "$lzo_dir"
  tar -xf "$tarball" -C "$lzo_dir" --strip-components=1
  rm -rf "$tmp"
fi
echo "setup: done"
