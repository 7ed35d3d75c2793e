#!/usr/bin/env bash
# The publisher's benchmark over a realistic history (update_bench_helper.py gen-history: a large
# file changed in 1 % of its 64 KiB blocks at each version, a 16 MiB file unchanged, 300 small
# files of which each version changes 10, removes 5 and adds 5):
#   levels  for each zstd level: the first publish of version 1 (time, the .zs on disk) and the
#           publish of version 2 over it (time, the bytes a player of version 1 downloads, with
#           patches); the figures of README's table of levels
#   depths  five publishes one after the other at one level, then the bytes a player 1, 2 and 3
#           versions behind downloads against the whole .zs of the files that differ (target
#           <= 5 % at every depth the tree keeps), with --patch-depth 3 (the default) and 1
#
#   publish_bench.sh [--levels 3,9,19] [--level N] [--big-mib N] [levels|depths]...
#   publish_bench.sh --clean
# Environment: VELM_PUBBENCH_BUILD  build directory (default: <repo>/build-bench, Release)
#              VELM_PUBBENCH_WORK   generated versions and published trees (default: <build>/publish-bench)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELM_PUBBENCH_BUILD:-$root/build-bench}"
work="${VELM_PUBBENCH_WORK:-$build/publish-bench}"
helper="$root/bench/update_bench_helper.py"
publish="$build/velm-publish"
levels="3,6,9,12,15,19"
publish_level=9
big_mib=128
versions=5
sections=()

usage() {
    echo "usage: $0 [--levels L,L...] [--level N] [--big-mib N] [levels|depths]... | --clean" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --clean) rm -rf "$work"; echo "publish_bench: removed $work"; exit 0 ;;
    --levels) [ $# -ge 2 ] || usage; levels=$2; shift 2 ;;
    --level) [ $# -ge 2 ] || usage; publish_level=$2; shift 2 ;;
    --big-mib) [ $# -ge 2 ] || usage; big_mib=$2; shift 2 ;;
    levels | depths) sections+=("$1"); shift ;;
    *) usage ;;
    esac
done
[ ${#sections[@]} -gt 0 ] || sections=(levels depths)

note() { echo "publish_bench: $*" >&2; }
# shellcheck source=lib.sh
source "$root/bench/lib.sh"
mkdir -p "$work/logs"
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1e6 }'; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f %%", (b > 0 ? 100 * a / b : 0) }'; }
zs_bytes() { du -sb --apparent-size --exclude=.patches --exclude=.velm "$(readlink -f "$1/windows")" | cut -f1; }

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_TESTS=OFF >/dev/null
fi
note "building velm-publish (Release) in $build"
nice cmake --build "$build" -j2 --target velm-publish >/dev/null
data="$work/history-$big_mib"
if [ ! -f "$data.done" ]; then
    note "generating $versions versions (a $big_mib MiB file)"
    rm -rf "$data"
    python3 "$helper" gen-history "$data" "$versions" "$big_mib"
    touch "$data.done"
fi
echo "== $(nproc) cores; version 1: $(mb "$(tree_bytes "$data/v1")") in $(find "$data/v1" -type f | wc -l) files"

# $1 root, $2 version, then options: publishes and sets took_s.
timed_publish() {
    local target=$1 version=$2 t0
    shift 2
    cat "$data/$version/data/big.pak" >/dev/null
    t0=$(now)
    "$publish" build "$@" "$data/$version" "$target" >"$work/logs/publish-$version.log"
    took_s=$(elapsed "$t0" "$(now)")
}

for section in "${sections[@]}"; do
    case $section in
    levels)
        echo "== levels: first publish of version 1, then version 2 over it (patches: --patch-depth 3)"
        printf "%-6s %-14s %-12s %-14s %-22s\n" level "first publish" ".zs on disk" "next publish" "player of version 1"
        for level in ${levels//,/ }; do
            rm -rf "$work/levels"
            timed_publish "$work/levels" v1 --level "$level"
            first_s=$took_s
            disk=$(zs_bytes "$work/levels")
            timed_publish "$work/levels" v2 --level "$level"
            eval "$(python3 "$helper" update-bytes "$data/v1" "$data/v2" "$(readlink -f "$work/levels/windows")")"
            printf "%-6s %-14s %-12s %-14s %-22s\n" "$level" "$first_s s" "$(mb "$disk")" "$took_s s" \
                "$(mb "$patched_bytes") ($(percent "$patched_bytes" "$whole_bytes"))"
        done
        ;;
    depths)
        for depth in 3 1; do
            echo "== depths: $versions publishes at level $publish_level, --patch-depth $depth"
            rm -rf "$work/depths"
            for ((v = 1; v <= versions; v++)); do
                timed_publish "$work/depths" "v$v" --level "$publish_level" --patch-depth "$depth"
                echo "publish of version $v: $took_s s"
            done
            live=$(readlink -f "$work/depths/windows")
            echo "patches on disk in the live tree: $(mb "$(du -sb --apparent-size "$live/.patches" | cut -f1)")" \
                "in $(find "$live/.patches" -type f | wc -l) files"
            for behind in 1 2 3; do
                eval "$(python3 "$helper" update-bytes "$data/v$((versions - behind))" "$data/v$versions" "$live")"
                share=$(percent "$patched_bytes" "$whole_bytes")
                echo "a player $behind behind: $(mb "$patched_bytes") ($patches patches, $((files - patches)) whole files)" \
                    "against $(mb "$whole_bytes") of whole .zs: $share (target <= 5 %:" \
                    "$(verdict "${share% %}" "<=" 5))"
            done
        done
        ;;
    esac
done
