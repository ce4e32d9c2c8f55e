#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, fuzzing and flashing need, if any is missing.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  gcc-arm-none-eabi binutils-arm-none-eabi libstdc++-arm-none-eabi-dev
  libunicorn-dev libelf-dev libdw-dev
  libpng-dev libgif-dev libsndfile1-dev libsamplerate0-dev
  libcli11-dev libgtest-dev
  libfreetype-dev fonts-dejavu-core
  lpc21isp sox
  libsdl2-dev xvfb x11-apps
  python3
  sigrok-cli gdb-multiarch valgrind
  clang libclang-rt-14-dev
  wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32 lld-14 chromium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
