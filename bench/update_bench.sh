#!/usr/bin/env bash
# The update benchmark: the real launcher against the dev update server (nginx over HTTPS on
# 127.0.0.1:4443), beside reference tools measured in the same run:
#   - fresh install of a generated tree (about 2000 files, 1 GiB, 1 KiB to 64 MiB, about 2.5x
#     compressible) vs `curl --parallel` fetching every .zs, then `zstd -d`, then `sha1sum`;
#   - verify-only run (every file current, so every file is hashed) vs `sha1sum` over the tree
#     with the launcher's parallelism (xargs -P);
#   - peak memory (max RSS) of a fresh install of a tree holding a 2 GiB file;
#   - a file list of 65535 empty files, all current: from the file list's transfer line to
#     "All jobs completed" (scan, queue, and hashing the empty files).
# The launcher's time runs from its start to its "All jobs completed" line, which leaves out its
# fixed waits before and after the game starts. The page cache is dropped before each timed run
# when we may (root); otherwise the inputs of both sides are read once beforehand instead.
#
#   update_bench.sh           build if needed, generate and publish the trees if missing, measure
#   update_bench.sh --clean   remove the generated data (the work directory) and stop
#
# Environment: VELM_UBENCH_BUILD  build directory (default: <repo>/build-ubench, Release)
#              VELM_UBENCH_WORK   generated trees, published trees, runs and logs
#                                 (default: <build directory>/update-bench); about 9 GiB
#              VELM_UBENCH_WAIT   seconds to wait for port 4443 if another server holds it and
#                                 no private network namespace can be made (default: 1800)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELM_UBENCH_BUILD:-$root/build-ubench}"
work="${VELM_UBENCH_WORK:-$build/update-bench}"
port_wait_s="${VELM_UBENCH_WAIT:-1800}"
helper="$root/bench/update_bench_helper.py"

readonly install_files=2000
readonly install_bytes=$((1 << 30))
readonly huge_bytes=$((2 << 30))
readonly empty_entries=65535
readonly publish_level=3
readonly server_url=https://localhost:4443/windows/
readonly port=4443

usage() {
    echo "usage: $0 [--clean]" >&2
    exit 2
}

stop_server() { "$root/scripts/dev-server.sh" stop "$work/server" >/dev/null 2>&1 || true; }

case "${1:-}" in
    --clean)
        [ $# -eq 1 ] || usage
        stop_server
        rm -rf "$work"
        echo "update_bench: removed $work"
        exit 0
        ;;
    "") ;;
    *) usage ;;
esac

for tool in cmake ninja nginx curl zstd sha1sum python3 openssl ss; do
    command -v "$tool" >/dev/null || { echo "update_bench: $tool is not installed" >&2; exit 1; }
done

note() { echo "update_bench: $*" >&2; }
port_busy() { ss -Hltn "sport = :$port" | grep -q .; }

# Port 4443 and the launcher's single-instance name (an abstract Unix socket) belong to the
# network namespace. When another developer's server holds the port, run in a private namespace
# with its own loopback if we may (root, unshare); otherwise wait for the port further down.
if port_busy && [ -z "${VELM_UBENCH_NETNS:-}" ] && command -v ip >/dev/null &&
    unshare -n true 2>/dev/null; then
    note "port $port is in use: running in a private network namespace"
    exec env VELM_UBENCH_NETNS=1 unshare -n -- \
        bash -c 'ip link set lo up && exec "$0"' "${BASH_SOURCE[0]}"
fi

# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
workers=$hash_threads

# --- build -------------------------------------------------------------------------------------
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target velm-launcher velm-publish >/dev/null
publish="$build/velm-publish"

mkdir -p "$work/logs" "$work/run"
generate install gen-install "$install_files" "$install_bytes"
generate huge gen-huge "$huge_bytes"
generate empty gen-empty "$empty_entries"

# --- server --------------------------------------------------------------------------------------
# Port 4443 is shared with other developers' tests: wait until it is free.
waited=0
while port_busy; do
    if ((waited == 0)); then
        note "port $port is in use (another developer's server?); waiting up to ${port_wait_s} s"
    fi
    if ((waited >= port_wait_s)); then
        note "port $port still in use after ${port_wait_s} s; giving up"
        exit 1
    fi
    sleep 5
    waited=$((waited + 5))
done
mkdir -p "$work/serve"
# The server's root holds one link, windows -> the published tree being measured.
serve() { ln -sfn "$work/pub/$1/windows" "$work/serve/windows"; }
serve install
trap stop_server EXIT
"$root/scripts/dev-server.sh" start "$work/serve" "$work/server" >"$work/logs/server.log"
ca="$work/server/certs/ca.crt"

# A staged launcher directory for tree $1, with no game/.
stage() {
    local dir="$work/run/$1"
    "$root/scripts/stage-launcher.sh" "$build" "$dir" "$ca" >/dev/null
    rm -rf "$dir/game"
}

# Runs the launcher staged for tree $1; sets status, done_s, manifest_s, transfers, peak_kib,
# cpu_s (user + system seconds of the whole run, its idle end waits included).
run_launcher() { # $1: tree, $2: log name
    local figures
    figures="$(python3 "$helper" run "$work/run/$1" "$work/logs/$2.log")"
    eval "$figures"
    if [ "$status" != 0 ] || [ "$done_s" = none ]; then
        note "launcher run $2 failed (status $status); its output: $work/logs/$2.log"
        tail -n 5 "$work/logs/$2.log" >&2
        exit 1
    fi
}

report=()
say() { report+=("$*"); }
say "update benchmark, $workers workers, $cache_note; cpu = user + system seconds (the" \
    "launcher's whole run; the reference tools' processes), less sensitive to other load"
say "load at start:$(uptime)"

# --- fresh install -------------------------------------------------------------------------------
src_install="$work/src/install"
files_install=$(find "$src_install" -type f | wc -l)
say "install tree: $files_install files, $(mib "$(tree_bytes "$src_install")") MiB," \
    "published as $(mib "$(tree_bytes "$work/pub/install/windows/")") MiB of .zs (zstd -$publish_level)"

note "fresh install: reference pipeline"
cold_start "$work/pub/install/windows/"
reference_run install "$server_url" "$workers" "$workers" "$ca" "$work/ref" ||
    { note "curl failed: $(tail -n 3 "$work/logs/reference-curl.log")"; exit 1; }
[ "$ref_count" -eq "$files_install" ] ||
    { note "the reference produced $ref_count files, not $files_install"; exit 1; }

note "fresh install: launcher"
stage install
cold_start "$work/pub/install/windows/"
run_launcher install fresh-install
[ "$transfers" -eq "$files_install" ] ||
    { note "fresh install fetched $transfers files, not $files_install"; exit 1; }
r=$(ratio "$done_s" "$ref_s")
say "fresh install: launcher $done_s s, reference $ref_s s (curl $ref_curl_s" \
    "+ zstd -d $ref_zstd_s + sha1sum $ref_sha_s), ratio $r" \
    "(target <= 1.0) $(verdict "$r" "<=" 1.0); cpu: launcher $cpu_s s, reference $ref_cpu s;" \
    "launcher peak RSS $(mib $((peak_kib * 1024))) MiB"

# --- verify only ---------------------------------------------------------------------------------
game="$work/run/install/game"
sha1sum_tree() { (cd "$work/run/install" && find game -type f -print0 |
    xargs -0 -P "$workers" -n 64 sha1sum >/dev/null); }
for cache in cold warm; do
    note "verify-only ($cache cache): launcher, then sha1sum"
    [ "$cache" = cold ] && cold_start "$game"
    run_launcher install "verify-$cache"
    launcher_s=$done_s
    launcher_cpu=$cpu_s
    [ "$transfers" -eq 0 ] || note "verify-only run fetched $transfers files"
    [ "$cache" = cold ] && cold_start "$game"
    read_children_cpu
    c0=$children_cpu
    t0=$(now)
    sha1sum_tree
    sha_s=$(elapsed "$t0" "$(now)")
    read_children_cpu
    sha_cpu=$(elapsed "$c0" "$children_cpu")
    r=$(ratio "$launcher_s" "$sha_s")
    label="verify-only"
    [ "$cache" = warm ] && label="verify-only, warm cache (extra)"
    say "$label: launcher $launcher_s s, sha1sum -P $workers $sha_s s, ratio $r (target <= 0.6)" \
        "$(verdict "$r" "<=" 0.6); cpu: launcher $launcher_cpu s, sha1sum $sha_cpu s"
done
rm -rf "$game"

# --- peak memory with a 2 GiB file ---------------------------------------------------------------
note "peak memory: fresh install of the tree with a 2 GiB file"
serve huge
stage huge
cold_start "$work/pub/huge/windows/"
run_launcher huge fresh-huge
say "peak memory, fresh install with a $(mib "$huge_bytes") MiB file:" \
    "$(mib $((peak_kib * 1024))) MiB (target < 64 MiB) $(verdict "$peak_kib" "<" 65536);" \
    "install took $done_s s"
rm -rf "$work/run/huge/game"

# --- 65535 empty files, all current --------------------------------------------------------------
serve empty
stage empty
for cache in cold warm; do
    note "$empty_entries current empty files ($cache cache)"
    if [ "$cache" = cold ]; then
        rm -rf "$work/run/empty/game"
        cp -a "$work/src/empty" "$work/run/empty/game"
        # Read once, as an installed tree has been (its access times then need no update).
        find "$work/run/empty/game" -type f -exec cat {} + >/dev/null
        cold_start "$work/run/empty/game"
    fi
    run_launcher empty "empty-$cache"
    [ "$transfers" -eq 0 ] || note "the run on current empty files fetched $transfers files"
    span=$(elapsed "$manifest_s" "$done_s")
    label="$empty_entries-entry list of current empty files"
    [ "$cache" = warm ] && label="$label, warm cache (extra)"
    say "$label: scan + queue + hashing $span s from the file list's transfer line to" \
        "\"All jobs completed\" (target < 2 s) $(verdict "$span" "<" 2); launcher start to" \
        "that line $done_s s"
done
rm -rf "$work/run/empty/game"

say "load at end:$(uptime)"
say "logs: $work/logs"
printf '%s\n' "${report[@]}"
