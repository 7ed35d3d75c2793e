#!/usr/bin/env bash
# Runs every test on this machine: installs what is missing, checks the product code's format
# against .clang-format (the tests' tables keep their own layout), builds, runs all ctest suites,
# runs the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, then builds
# the Windows launcher with mingw-w64 and runs its end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/install-deps.sh

echo "== format (clang-format)"
git ls-files -z 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h' 'bench/*.cpp' |
  xargs -0 clang-format --style=file --dry-run --Werror

echo "== build and test"
cmake -S . -B build -G Ninja -DVELM_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DVELM_WERROR=ON -DVELM_SANITIZE=ON -DVELM_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -L unit --output-on-failure -j"$jobs"

echo "== Windows build (mingw-w64) and its end-to-end tests under Wine"
# The libraries are cross-built once and cached outside the clone (scripts/windows-deps.sh).
# The Wine tests publish with this run's Linux velm-publish.
bash scripts/windows-build.sh "$PWD/build-win" -DVELM_HOST_BUILD_DIR="$PWD/build"
ctest --test-dir build-win --output-on-failure
