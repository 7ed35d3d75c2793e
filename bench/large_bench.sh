#!/usr/bin/env bash
# The large-game benchmark: the real launcher and publisher against the dev update server (nginx
# over HTTPS on 127.0.0.1:4443), on trees generated from a seed:
#   game   a game of FILES files, GIB GiB in all: publish; fresh install against `curl --parallel`
#          + `zstd -d` + `sha1sum`; a current start with the page cache dropped (target < 1 s);
#          peak RSS (target < 256 MiB), and the memory per listed file;
#   pack   one pack file of PACK_GIB GiB, cut into chunks (it is past --patch-max-size): each new
#          version rewrites 1 % of it in PLACES scattered places; the bytes an update downloads
#          from 1 and from 3 versions back, then from the version before one that inserts 1 MiB
#          near the start (target <= 3 % of the whole .zs each), and the updates' peak RSS
#          (target < 128 MiB).
# The launcher's time runs from its start to its "All jobs completed" line. Runs as root when the
# page cache is to be dropped; it runs in a private network namespace when port 4443 is taken.
#
#   large_bench.sh [--files N] [--game-gib N] [--pack-gib N] [--places N] [--sections game,pack]
#   large_bench.sh --clean      remove the generated data
#
# Defaults fit this 2-core machine's disk beside other work (20,000 files and 4 GiB, about 16 GB at
# the peak; a 2 GiB pack, about 9 GB). The full sizes, about 60 GB and 35 GB, one section at a time:
#   large_bench.sh --sections game --files 100000 --game-gib 20 && large_bench.sh --clean &&
#   large_bench.sh --sections pack --pack-gib 8
# Environment: VELM_LBENCH_BUILD (default <repo>/build-ubench, Release), VELM_LBENCH_WORK
# (default <build>/large-bench).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELM_LBENCH_BUILD:-$root/build-ubench}"
work="${VELM_LBENCH_WORK:-$build/large-bench}"
helper="$root/bench/update_bench_helper.py"
files=20000 game_gib=4 pack_gib=2 places=32 sections=game,pack
readonly publish_level=3 server_url=https://localhost:4443/windows/ port=4443 insert_bytes=$((1 << 20))

usage() {
    echo "usage: $0 [--files N] [--game-gib N] [--pack-gib N] [--places N] [--sections game,pack] | --clean" >&2
    exit 2
}
stop_server() { "$root/scripts/dev-server.sh" stop "$work/server" >/dev/null 2>&1 || true; }
note() { echo "large_bench: $*" >&2; }

while [ $# -gt 0 ]; do
    case "$1" in
        --clean) stop_server; rm -rf "$work"; note "removed $work"; exit 0 ;;
        --files | --game-gib | --pack-gib | --places | --sections)
            [ $# -ge 2 ] || usage
            declare "$(echo "${1#--}" | tr - _)=$2"
            shift 2 ;;
        *) usage ;;
    esac
done

if ss -Hltn "sport = :$port" | grep -q . && [ -z "${VELM_LBENCH_NETNS:-}" ] && unshare -n true 2>/dev/null; then
    note "port $port is in use: running in a private network namespace"
    exec env VELM_LBENCH_NETNS=1 unshare -n -- bash -c 'ip link set lo up && exec "$0" "$@"' "${BASH_SOURCE[0]}" \
        --files "$files" --game-gib "$game_gib" --pack-gib "$pack_gib" --places "$places" --sections "$sections"
fi

# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target velm-launcher velm-publish >/dev/null
publish="$build/velm-publish"
mkdir -p "$work/logs" "$work/run" "$work/serve" "$work/src" "$work/pub"
trap stop_server EXIT
"$root/scripts/dev-server.sh" start "$work/serve" "$work/server" >"$work/logs/server.log"
ca="$work/server/certs/ca.crt"
serve() { ln -sfn "$work/pub/$1/windows" "$work/serve/windows"; }
stage() { # $1: run name; a launcher directory with no game/
    "$root/scripts/stage-launcher.sh" "$build" "$work/run/$1" "$ca" >/dev/null
    rm -rf "$work/run/$1/game"
}
run_launcher() { # $1: run name, $2: log name; sets status, done_s, peak_kib, ...
    eval "$(python3 "$helper" run "$work/run/$1" "$work/logs/$2.log")"
    [ "$status" = 0 ] && [ "$done_s" != none ] || { note "run $2 failed: $work/logs/$2.log"; exit 1; }
}
log_bytes() { awk '{ n += $10 } END { printf "%.0f", n }' "$work/server/access.log"; }
timed_publish() { # $1: source, $2: tree, then options; sets publish_s
    local t0
    t0=$(now)
    "$publish" build --level "$publish_level" "${@:3}" "$1" "$work/pub/$2" >>"$work/logs/publish-$2.log"
    publish_s=$(elapsed "$t0" "$(now)")
}
report=()
say() { report+=("$*"); }
say "large-game benchmark, $(nproc) cores, $cache_note, zstd -$publish_level"

# --- a game of many files ------------------------------------------------------------------------
if [[ ",$sections," == *,game,* ]]; then
    bytes=$((game_gib << 30))
    src="$work/src/game"
    [ -f "$src.done" ] || { note "generating $files files, $game_gib GiB" && rm -rf "$src" &&
        python3 "$helper" gen-install "$src" "$files" "$bytes" && touch "$src.done"; }
    rm -rf "$work/pub/game"
    note "publishing the game"
    timed_publish "$src" game
    serve game
    note "fresh install: reference pipeline, then the launcher"
    cold_start "$work/pub/game/windows/"
    reference_run game "$server_url" 50 "$hash_threads" "$ca" "$work/ref" || { note "curl failed"; exit 1; }
    stage game
    cold_start "$work/pub/game/windows/"
    run_launcher game game-install
    install_s=$done_s install_kib=$peak_kib
    note "current start, page cache dropped"
    cold_start "$work/run/game/game"
    run_launcher game game-current
    say "game: $files files, $(mib "$(tree_bytes "$src")") MiB ($(mib "$(tree_bytes "$work/pub/game/windows/")") MiB" \
        "of .zs); publish $publish_s s;" \
        "install $install_s s against the reference's $ref_s s (curl $ref_curl_s + zstd -d $ref_zstd_s + sha1sum" \
        "$ref_sha_s), ratio $(ratio "$install_s" "$ref_s") (target <= 1.0) $(verdict "$(ratio "$install_s" "$ref_s")" "<=" 1.0);" \
        "peak RSS $(mib $((install_kib * 1024))) MiB (target < 256) $(verdict "$install_kib" "<" 262144);" \
        "current start $done_s s (target < 1 s) $(verdict "$done_s" "<" 1), peak RSS $(mib $((peak_kib * 1024))) MiB"
    current_kib=$peak_kib
    rm -rf "$work/run/game/game"
    # The same start with a list of two files: the difference is what the listed files cost.
    python3 "$helper" gen-sizes "$work/src/tiny" 1000 >/dev/null
    "$publish" build --level 1 "$work/src/tiny" "$work/pub/tiny" >/dev/null
    serve tiny
    stage tiny
    run_launcher tiny tiny-install
    run_launcher tiny tiny-current
    say "memory per listed file (current start, $files files against 2): " \
        "$(((current_kib - peak_kib) * 1024 / (files - 2))) bytes"
fi

# --- a pack file changed in place ----------------------------------------------------------------
if [[ ",$sections," == *,pack,* ]]; then
    src="$work/src/pack"
    pack="$src/data/pack.bin"
    rm -rf "$src" "$work/pub/pack"
    note "generating a $pack_gib GiB pack"
    python3 "$helper" gen-pack "$src" $((pack_gib << 30))
    publish_pack() { timed_publish "$src" pack --patch-max-size 256M; }
    publish_pack
    first_publish_s=$publish_s
    serve pack
    stage old
    run_launcher old pack-install
    say "pack: $pack_gib GiB; first publish $first_publish_s s; fresh install $done_s s," \
        "peak RSS $(mib $((peak_kib * 1024))) MiB"
    update() { # $1: what; a line of the report. The one player's copy is updated each time.
        local before sent zs_bytes
        zs_bytes=$(stat -c %s "$work/pub/pack/windows/data/pack.bin.zs")
        before=$(log_bytes)
        cold_start "$work/run/old/game"
        run_launcher old "pack-$1"
        sent=$(($(log_bytes) - before))
        say "pack update $1: $(mib "$sent") MiB downloaded, $(ratio $((sent * 100)) "$zs_bytes") % of the" \
            "whole .zs ($(mib "$zs_bytes") MiB; target <= 3 %) $(verdict "$(ratio $((sent * 100)) "$zs_bytes")" "<=" 3)," \
            "$done_s s, peak RSS $(mib $((peak_kib * 1024))) MiB (target < 128) $(verdict "$peak_kib" "<" 131072);" \
            "publish $publish_s s"
    }
    for version in 2 3 4 5; do
        python3 "$helper" edit-pack "$pack" 1 "$places" "$version"
        publish_pack
        note "version $version published in $publish_s s"
        [ "$version" = 4 ] && update "from 3 versions back"
    done
    update "from 1 version back"
    python3 "$helper" insert-pack "$pack" "$insert_bytes" $((16 << 20))
    publish_pack
    update "from the version before a 1 MiB insertion near the start"
fi

say "logs: $work/logs"
printf '%s\n' "${report[@]}"
