#!/usr/bin/env bash
# What the launcher's check of its own files costs a start when it is current: the time from
# the launcher's start to the game's for a current install, with the check (the default) and
# without it (VELM_LAUNCHER_URL=OFF), through slow-link.sh at a round trip of RTT ms. The check's
# one small request goes out with the game's list's, over the same connection: target, less than
# one round trip more than without it. Both figures include the launcher's 2 s wait before it
# starts a game.
#
#   self_update_bench.sh [--rtt MS] [--runs N]   (defaults: 100 ms, 5 runs; root)
#
# Environment: VELM_SBENCH_WORK, the build, the trees and the runs (default: <repo>/build-sbench).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rtt=100
runs=5
while [ $# -gt 0 ]; do
    case $1 in
    --rtt) rtt=$2 ;;
    --runs) runs=$2 ;;
    *)
        echo "usage: $0 [--rtt MS] [--runs N]" >&2
        exit 2
        ;;
    esac
    shift 2
done
work="${VELM_SBENCH_WORK:-$root/build-sbench}"
build="$work/build"
slow_link="$root/../shared/tools/slow-link/slow-link.sh"
readonly ns=velm-sbench server_ip=10.77.0.2 port=4443
note() { echo "self-update-bench: $*" >&2; }
# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
mkdir -p "$work/logs"

note "building the launcher with its check and without it (only their servers' unit differs)"
configure() {
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_TESTS=OFF -DVELM_BENCH=OFF \
        "-DVELM_UPDATE_URL=https://$server_ip:$port/windows/" "-DVELM_LAUNCHER_URL=$1" >/dev/null
    cmake --build "$build" -j2 --target velm-launcher velm-publish >/dev/null
}
configure ""
cp "$build/velm-launcher" "$work/with-check"
configure OFF
cp "$build/velm-launcher" "$work/without-check"

rm -rf "$work/root" "$work/game" "$work/own" "$work/server" "$work/launchers"
python3 - "$work/game" <<'PY'
import random, sys
from pathlib import Path
root, rng = Path(sys.argv[1]), random.Random(3)
for i in range(100):
    (root / "data").mkdir(parents=True, exist_ok=True)
    (root / f"data/file {i:03d}.bin").write_bytes(rng.randbytes(4096))
(root / "VELM.exe").write_text('#!/bin/sh\ndate +%s.%N > ../game-started.txt\n')
PY
"$build/velm-publish" build --level 1 "$work/game" "$work/root" >"$work/logs/publish.log"
trap 'ip netns exec "$ns-s" "$root/scripts/dev-server.sh" stop "$work/server" >/dev/null 2>&1 || true; bash "$slow_link" down "$ns" >/dev/null 2>&1 || true' EXIT
bash "$slow_link" down "$ns" >/dev/null 2>&1 || true
bash "$slow_link" up "$ns" $((rtt / 2)) >"$work/logs/link.log" 2>&1
ip netns exec "$ns-s" "$root/scripts/dev-server.sh" start "$work/root" "$work/server" --listen "$server_ip:$port" --http2 \
    >"$work/logs/server.log"
# The launcher's own tree: the launcher with the check, as installed; so it is current.
mkdir -p "$work/own"
cp "$work/with-check" "$work/own/velm-launcher"
cp "$work/server/certs/ca.crt" "$work/own/curl-ca-bundle.crt"
cp /usr/share/fonts/truetype/roboto/unhinted/RobotoCondensed-BoldItalic.ttf "$work/own/"
"$build/velm-publish" build --level 1 --link launcher-linux "$work/own" "$work/root" >>"$work/logs/publish.log"

# Seconds from the launcher's start to the game's, median of $runs, for launcher $1 (installed first).
measure() {
    local name=$1 dir=$work/launchers/$1 i t0 times=()
    mkdir -p "$dir"
    cp "$work/own/"* "$dir/"
    cp "$work/$name" "$dir/velm-launcher"
    for i in $(seq 0 "$runs"); do
        rm -f "$dir/game-started.txt"
        t0=$(now)
        (cd "$dir" && SDL_VIDEODRIVER=dummy DISPLAY= ip netns exec "$ns-c" ./velm-launcher >"$work/logs/$name-$i.log" 2>&1) || true
        [ -f "$dir/game-started.txt" ] || { note "the game did not start: $work/logs/$name-$i.log"; exit 1; }
        ! grep -q "starting its new version" "$work/logs/$name-$i.log" || { note "not current: $work/logs/$name-$i.log"; exit 1; }
        [ "$i" -eq 0 ] || times+=("$(elapsed "$t0" "$(cat "$dir/game-started.txt")")") # run 0 installs
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
with=$(measure with-check)
without=$(measure without-check)
extra_ms=$(awk -v a="$with" -v b="$without" 'BEGIN { printf "%.0f", (a - b) * 1000 }')
echo "round trip $rtt ms: a current start takes ${with} s with the launcher's check, ${without} s without it:" \
    "${extra_ms} ms more ($(verdict "$extra_ms" "<" "$rtt") the target, under one round trip)"
