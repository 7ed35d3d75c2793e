#!/usr/bin/env bash
# Builds the Windows x86-64 launcher with mingw-w64: velm-launcher.exe and the Wine tests' stand-in
# game (tests/wine/VELM.exe), in BUILD_DIR (default build-win).
#   windows-build.sh [BUILD_DIR [CMAKE_OPTION...]]
# CMAKE_OPTION sets a build-time constant, for example -DVELM_UPDATE_URL=https://cdn.example/windows/.
# The libraries come from scripts/windows-deps.sh (cached after the first run). The executable must
# need only Windows' own DLLs, carry its manifest, icon and version resource, and hold no path of
# the build machine: the build fails otherwise. VELM_BUILD_TARGET=velm-launcher builds the launcher
# alone (the package does), without the Wine tests' programs.
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$script_dir")
jobs=${VELM_JOBS:-2}
readonly triple=x86_64-w64-mingw32
# Every DLL the launcher may import: each ships with Windows.
readonly system_dlls=(advapi32.dll bcrypt.dll crypt32.dll gdi32.dll imm32.dll kernel32.dll
  msvcrt.dll ole32.dll oleaut32.dll setupapi.dll shell32.dll user32.dll version.dll winmm.dll
  winhttp.dll ws2_32.dll)

build_dir=${1:-$repo_dir/build-win}
[ $# -eq 0 ] || shift

prefix=$(bash "$script_dir/windows-deps.sh")
# The cache of a build made with another prefix names that prefix's files: start it anew.
prefix_stamp=$build_dir/velm-mingw-prefix.txt
if [ -f "$build_dir/CMakeCache.txt" ] && [ "$(cat "$prefix_stamp" 2>/dev/null)" != "$prefix" ]; then
  rm -rf "$build_dir/CMakeCache.txt" "$build_dir/CMakeFiles"
fi
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
echo "$prefix" >"$prefix_stamp"
cmake -S "$repo_dir" -B "$build_dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo_dir/cmake/mingw-w64-x86_64.cmake" -DVELM_MINGW_PREFIX="$prefix" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release -DVELM_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$jobs" ${VELM_BUILD_TARGET:+--target "$VELM_BUILD_TARGET"}

exe=$build_dir/velm-launcher.exe
fail() {
  echo "windows-build: $exe $*" >&2
  exit 1
}
imports=$("$triple-objdump" -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
for dll in $imports; do
  if ! printf '%s\n' "${system_dlls[@]}" | grep -qxF "$dll"; then
    fail "imports $dll, which Windows does not ship"
  fi
done

resources=$("$triple-windres" -i "$exe" -O rc)
# The embedded manifest: long paths, the UTF-8 code page the file list's names need, the
# monitors' display scaling, and Windows 10 and 11 alone as the systems it runs on (the UTF-8
# code page needs Windows 10 version 1903).
for setting in longPathAware activeCodePage dpiAwareness; do
  grep -q "<$setting " <<<"$resources" || fail "has no manifest declaring $setting"
done
grep -q ">PerMonitorV2</dpiAwareness>" <<<"$resources" || fail "is not declared per-monitor DPI aware (v2)"
readonly windows_10_id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
systems=$(grep -o '<supportedOS Id=""{[^}]*}""' <<<"$resources" | grep -o '{[^}]*}' | sort -u | tr '\n' ' ')
[ "$systems" = "$windows_10_id " ] || fail "declares other supported systems than Windows 10 and 11: $systems"

# The icon Explorer shows, and the version resource with the configured version.
grep -q "RT_GROUP_ICON" <<<"$resources" || fail "has no icon"
numbers=$(sed -n 's/^#define VELM_VERSION_NUMBERS //p' "$build_dir/velm-version.h")
grep -qxF " FILEVERSION ${numbers//,/, }" <<<"$resources" || fail "has no version resource for version $numbers"
for value in CompanyName FileDescription FileVersion ProductName ProductVersion; do
  grep -q "VALUE \"$value\", L\?\"[^\"]" <<<"$resources" || fail "has no $value in its version resource"
done

# No path of the build machine: the source and build directories, links resolved or not, and
# the libraries' cache.
cache_dir=${VELM_MINGW_CACHE:-/var/cache/velm-mingw}
for path in "$repo_dir" "$build_dir" "$(cd "$repo_dir" && pwd -P)" "$(cd "$build_dir" && pwd -P)" "$cache_dir"; do
  ! grep -q -a -F "$path" "$exe" || fail "holds the build machine's path $path"
done
echo "windows-build: $exe (imports: $(echo $imports))"
