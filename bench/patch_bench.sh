#!/usr/bin/env bash
# The patch benchmark: velm-publish's patches beside the zstd command line, and what patches
# cost a publish. On two generated versions of a game (update_bench_helper.py gen-versions: a
# 256 MiB file changed in 1 % of its 64 KiB blocks, a 20 MiB file grown by 5 %, 50 of 200
# small files changed, 10 added), at one zstd level:
#   1. for each of the two large files: the size and time of `velm-publish patch` against
#      `zstd --patch-from=OLD NEW --long=31 -LEVEL` run by hand on the same files (target: ours
#      at most 1.05 times the command line's size), beside the file's full .zs;
#   2. the publish of version 2 over version 1, with patches and with --no-patches (time), the
#      disk the patches take, and the bytes a player's update from version 1 downloads: whole
#      .zs of the changed and added files, or patches where the tree has them;
#   3. the launcher's update from version 1 against the dev server (nginx, HTTP/2, loopback):
#      time to "All jobs completed", bytes the server sent, peak memory and the peak of its
#      anonymous memory (the heap: the mapped old copy and output do not count; goal < 64 MiB
#      while the 256 MiB file's patch is applied), with patches and with whole files. Needs
#      root (a private network namespace for port 4443); skipped otherwise.
#
#   patch_bench.sh [--level N]   build if needed, generate the versions if missing, measure
#   patch_bench.sh --clean       remove the generated data (the work directory) and stop
#
# Environment: VELM_PBENCH_BUILD  build directory (default: <repo>/build-bench, Release)
#              VELM_PBENCH_WORK   generated versions, published trees and logs
#                                 (default: <build directory>/patch-bench); about 1.1 GiB
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELM_PBENCH_BUILD:-$root/build-bench}"
work="${VELM_PBENCH_WORK:-$build/patch-bench}"
helper="$root/bench/update_bench_helper.py"
publish="$build/velm-publish"
# velm-publish's default level; level 19 takes minutes per 256 MiB patch.
publish_level=9

usage() {
    echo "usage: $0 [--level N] | --clean" >&2
    exit 2
}

case "${1:-}" in
    --clean)
        [ $# -eq 1 ] || usage
        rm -rf "$work"
        echo "patch_bench: removed $work"
        exit 0
        ;;
    --level)
        [ $# -eq 2 ] || usage
        publish_level=$2
        ;;
    "") ;;
    *) usage ;;
esac

# Port 4443 and the single-instance name belong to the network namespace: a private one.
if [ "$(id -u)" -eq 0 ] && [ -z "${VELM_PBENCH_NETNS:-}" ] && unshare -n true 2>/dev/null; then
    exec env VELM_PBENCH_NETNS=1 unshare -n -- bash -c 'ip link set lo up && exec "$0" "$@"' "${BASH_SOURCE[0]}" "$@"
fi

for tool in cmake ninja zstd python3; do
    command -v "$tool" >/dev/null || { echo "patch_bench: $tool is not installed" >&2; exit 1; }
done

note() { echo "patch_bench: $*" >&2; }
# shellcheck source=lib.sh
source "$root/bench/lib.sh"
mkdir -p "$work/logs"

# --- build and data --------------------------------------------------------------------------
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_TESTS=OFF >/dev/null
fi
note "building velm-publish (Release) in $build"
nice cmake --build "$build" -j2 --target velm-publish velm-launcher >/dev/null
if [ ! -f "$work/versions.done" ]; then
    note "generating the two versions"
    rm -rf "$work/versions"
    python3 "$helper" gen-versions "$work/versions"
    touch "$work/versions.done"
fi
v1="$work/versions/v1"
v2="$work/versions/v2"
size_of() { stat -c %s "$1"; }
mb() { awk -v b="$1" 'BEGIN { printf "%.2f MB", b / 1e6 }'; }

# Version 1 published once, then copied (links kept) into each root that version 2 goes to.
note "publishing version 1 (level $publish_level)"
rm -rf "$work/pub-v1" "$work/pub-patches" "$work/pub-whole" "$work/patches"
"$publish" build --level "$publish_level" "$v1" "$work/pub-v1" >"$work/logs/publish-v1.log"
cp -a "$work/pub-v1" "$work/pub-patches"
cp -a "$work/pub-v1" "$work/pub-whole"

threads=$(nproc)
echo "== patches at zstd level $publish_level; velm-publish patch uses $threads zstd threads, the zstd" \
    "command line its default (-T1); files warm in the page cache"

# --- 1. our patches against the command line's -----------------------------------------------
mkdir -p "$work/patches"
for name in data/big.pak data/mid.pak; do
    old="$v1/$name"
    new="$v2/$name"
    cat "$old" "$new" >/dev/null
    t0=$(now)
    "$publish" patch --level "$publish_level" "$old" "$new" "$work/patches/ours.zst" >/dev/null
    t1=$(now)
    zstd -qq -f --patch-from="$old" "$new" --long=31 -"$publish_level" -o "$work/patches/cli.zst"
    t2=$(now)
    ours=$(size_of "$work/patches/ours.zst")
    cli=$(size_of "$work/patches/cli.zst")
    full=$(size_of "$work/pub-v1/windows/$name.zs")
    r=$(ratio "$ours" "$cli")
    echo "$name ($(mib "$(size_of "$old")") -> $(mib "$(size_of "$new")") MiB):" \
        "ours $(mb "$ours") in $(elapsed "$t0" "$t1") s, zstd --patch-from $(mb "$cli") in $(elapsed "$t1" "$t2") s," \
        "ratio $r (target <= 1.05: $(verdict "$r" "<=" 1.05)); the full .zs of version 1: $(mb "$full")"
done

# --- 2. the publish with and without patches ---------------------------------------------------
cat "$v2"/data/*.pak >/dev/null
t0=$(now)
"$publish" build --level "$publish_level" "$v2" "$work/pub-patches" >"$work/logs/publish-patches.log"
t1=$(now)
"$publish" build --level "$publish_level" --no-patches "$v2" "$work/pub-whole" >"$work/logs/publish-whole.log"
t2=$(now)
with_s=$(elapsed "$t0" "$t1")
without_s=$(elapsed "$t1" "$t2")
tree="$(readlink -f "$work/pub-patches/windows")"
patch_disk=$(du -sb --apparent-size "$tree/.patches" | cut -f1)
patch_count=$(find "$tree/.patches" -type f | wc -l)
echo "publish of version 2 over version 1: $with_s s with patches, $without_s s with --no-patches" \
    "(ratio $(ratio "$with_s" "$without_s")); the patches take $(mb "$patch_disk") in $patch_count files" \
    "(the tree's .zs: $(mb "$(du -sb --apparent-size --exclude=.patches "$tree" | cut -f1)"))"
eval "$(python3 "$helper" update-bytes "$v1" "$v2" "$tree")"
echo "an update from version 1 downloads $(mb "$patched_bytes") with patches ($patches patches," \
    "$((files - patches)) whole files) against $(mb "$whole_bytes") of whole .zs for the $files changed" \
    "and added files: $(ratio "$patched_bytes" "$whole_bytes") of the bytes"

# --- 3. the launcher's update from version 1 ---------------------------------------------------
if [ -z "${VELM_PBENCH_NETNS:-}" ]; then
    echo "the launcher's update: skipped (needs root for a network namespace of its own)"
    exit 0
fi
serve="$work/serve"
mkdir -p "$serve"
ln -sfn "$work/pub-v1/windows" "$serve/windows"
trap '"$root/scripts/dev-server.sh" stop "$work/server" >/dev/null 2>&1 || true' EXIT
"$root/scripts/dev-server.sh" start "$serve" "$work/server" --http2 >"$work/logs/server.log"
installed="$work/run/v1"
rm -rf "$work/run"
"$root/scripts/stage-launcher.sh" "$build" "$installed" "$work/server/certs/ca.crt" >/dev/null
eval "$(python3 "$helper" run "$installed" "$work/logs/install-v1.log")"
[ "$status" = 0 ] || { note "installing version 1 failed: $work/logs/install-v1.log"; exit 1; }
for kind in patches whole; do
    cp -a "$installed" "$work/run/$kind"
    ln -sfn "$work/pub-$kind/windows" "$serve/windows"
    log_start=$(wc -c <"$work/server/access.log")
    sync
    eval "$(VELM_BENCH_POLL_MEMORY=1 python3 "$helper" run "$work/run/$kind" "$work/logs/update-$kind.log")"
    [ "$status" = 0 ] || { note "the update with $kind failed: $work/logs/update-$kind.log"; exit 1; }
    sent=$(tail -c +"$((log_start + 1))" "$work/server/access.log" |
        awk '$9 ~ /^20[06]$/ { s += $10 } END { print s + 0 }')
    echo "the launcher's update with $kind: ${done_s} s, the server sent $(mb "$sent"), peak memory" \
        "$(mib $((peak_kib * 1024))) MiB, of it anonymous (heap) $(mib $((anon_kib * 1024))) MiB" \
        "(goal < 64: $(verdict "$(mib $((anon_kib * 1024)))" "<" 64))"
done
