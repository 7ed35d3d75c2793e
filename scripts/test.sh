#!/usr/bin/env bash
# Runs every test on this machine: installs what is missing, builds, runs all ctest suites,
# runs the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and compiles
# the Windows side of the code with mingw-w64 so that it cannot rot.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/install-deps.sh

echo "== build and test"
cmake -S . -B build -G Ninja -DVELM_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DVELM_WERROR=ON -DVELM_SANITIZE=ON -DVELM_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -L unit --output-on-failure -j"$jobs"

echo "== Windows compile check (mingw-w64)"
# The modules that need no third-party headers, and the Windows platform layer.
for source in src/platform_win32.cpp src/utils.cpp src/sha1.cpp src/float16.cpp \
  src/binstream.cpp src/cute_files.cpp src/manifest.cpp; do
  x86_64-w64-mingw32-g++-posix -std=c++20 -fsyntax-only -Wall -Wextra -Werror -Isrc "$source"
done
echo "Windows compile check passed"
