#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the dev server and the demo need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libsdl2-dev libsdl2-image-dev libsdl2-ttf-dev
  libcurl4-openssl-dev libzstd-dev zstd libsodium-dev
  googletest libgtest-dev libbenchmark-dev
  fonts-roboto-unhinted
  nginx-light openssl ca-certificates curl python3 trafficserver strace procps
  xvfb x11-apps x11-utils imagemagick xdotool
  g++-mingw-w64-x86-64 dpkg-dev autoconf automake libtool wine64 zip osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
