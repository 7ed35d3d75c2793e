#!/usr/bin/env bash
# The transfer benchmark: the real launcher against the dev server (nginx, HTTP/2 offered) in
# network namespaces of its own, over loopback and through an emulated distant link
# (slow-link.sh: 200 Mbit/s server to client, the given round trip), beside reference tools
# measured in the same run:
#   1. fresh installs of a 5,000-file tree of 1-64 KiB files, a 200-file tree of about 652 MiB
#      and a 4-file tree of 1 GiB, against `curl --parallel --parallel-max 50` fetching every
#      .zs, then `zstd -d` and `sha1sum`; with the protocol, the connections and the most
#      requests in flight that the server saw, and the launcher's peak RSS;
#   2. a current install of 20,000 files / 4 GiB, page cache dropped: start to "All jobs
#      completed" with the record of verified files (the second run) and with a full rehash;
#   3. a 1 GiB file through the distant link: the connection reset half-way (bytes on the
#      wire against the compressed size), and the launcher closed half-way and started again
#      (did the second run resume?);
#   4. a verify-only run with the record disabled, warm cache, against `sha1sum` at the
#      launcher's hashing parallelism; and the peak RSS of the fresh install of section 1 with
#      the most transfers in flight (the 5,000-file tree over the 100 ms link).
# A launcher without a feature a figure needs still runs: the figure shows "n/a" or the plain
# measurement, with the reason. The launcher's time runs from its start to its "All jobs
# completed" line, which leaves out its fixed waits around the game's start. Needs root
# (namespaces, dropping the page cache).
#
#   transfer_bench.sh [--quick] [--links LIST] [--sections LIST] [--runs N] [--baseline REV]
#                     [--prepare]
#   transfer_bench.sh --clean     remove the generated data (the work directory) and stop
#
#   --quick          small trees, for checking the benchmark itself (a few minutes)
#   --links LIST     links of section 1, comma-separated: loopback and round trips in ms
#                    (even numbers), e.g. loopback,20,100 (default: loopback,100)
#   --sections LIST  sections to run, e.g. 1,3 (default: 1,2,3,4)
#   --runs N         runs of each timed launcher run in sections 1 and 2; medians are printed
#                    (default: 1)
#   --baseline REV   also measure the launcher of git revision REV in section 1 (today's, for
#                    the targets "no slower than today"), built from `git archive REV`
#   --prepare        build, generate and publish what the sections need, then stop (the
#                    measurement can then wait for a quiet machine)
#
# Environment: VELM_TBENCH_BUILD      build directory (default: <repo>/build-tbench, Release,
#                                     with the update URL of the namespaces' server)
#              VELM_TBENCH_WORK       generated and published trees, runs, logs (default:
#                                     <build directory>/transfer-bench); about 17 GiB, 2 GiB
#                                     with --quick
#              VELM_TBENCH_SLOW_LINK  slow-link.sh (default: <repo>/../shared/tools/slow-link/)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELM_TBENCH_BUILD:-$root/build-tbench}"
work="${VELM_TBENCH_WORK:-$build/transfer-bench}"
slow_link="${VELM_TBENCH_SLOW_LINK:-$root/../shared/tools/slow-link/slow-link.sh}"
helper="$root/bench/update_bench_helper.py"
log_helper="$root/bench/transfer_bench_helper.py"
# A launcher that keeps today's rehash at every start, when the source has that option.
rehash_build="$build-every-start"

readonly server_ip=10.77.0.2 # the server's address in the namespaces (slow-link.sh's)
readonly client_ip=10.77.0.1
readonly port=4443
readonly server_url="https://$server_ip:$port/windows/"
readonly rate_bit_s=200000000
readonly ref_parallel=50
readonly publish_level=3
readonly target_rtt=100          # the link of the acceptance figures
readonly rss_target_kib=65536    # peak RSS target: < 64 MiB
readonly rss_in_flight=64        # ... with this many transfers in flight
readonly resumed_below=0.9       # a second run fetching less than this share resumed
readonly verify_runs=3
readonly staged_names=(velm-launcher RobotoCondensed-BoldItalic.ttf curl-ca-bundle.crt game)

usage() {
    sed -n '/^#   transfer_bench.sh \[/,/^# Environment/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}
note() { echo "transfer_bench: $*" >&2; }
fail() { note "$*"; exit 1; }

quick=0
links=loopback,100
sections=1,2,3,4
runs=1
baseline_rev=""
clean=0
prepare=0
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=1; shift ;;
        --links) [ $# -ge 2 ] || usage; links=$2; shift 2 ;;
        --sections) [ $# -ge 2 ] || usage; sections=$2; shift 2 ;;
        --runs) [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage; runs=$2; shift 2 ;;
        --baseline) [ $# -ge 2 ] || usage; baseline_rev=$2; shift 2 ;;
        --clean) clean=1; shift ;;
        --prepare) prepare=1; shift ;;
        *) usage ;;
    esac
done
[[ $links =~ ^(loopback|[0-9]*[02468])(,(loopback|[0-9]*[02468]))*$ ]] || usage
[[ $sections =~ ^[1-4](,[1-4])*$ ]] || usage
IFS=, read -r -a link_list <<<"$links"
has_section() { [[ ",$sections," == *",$1,"* ]]; }
has_link() { [[ ",$links," == *",$1,"* ]]; }

stop_server() { "$root/scripts/dev-server.sh" stop "$work/server" >/dev/null 2>&1 || true; }
if ((clean)); then
    stop_server
    rm -rf "$work"
    note "removed $work"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || fail "needs root (network namespaces, dropping the page cache)"
for tool in cmake ninja nginx curl zstd sha1sum python3 openssl ss ip cc git; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done
[ -f "$slow_link" ] || fail "no slow-link.sh at $slow_link (VELM_TBENCH_SLOW_LINK)"

# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
mkdir -p "$work/logs" "$work/run" "$work/serve"

# --- the trees -----------------------------------------------------------------------------------
# name, generator and arguments, and a label, for each tree (full size / --quick).
KIB=1024
MIB=$((1 << 20))
if ((quick)); then
    suffix=-quick
    small=(gen-uniform 400 "$KIB" $((64 * KIB)))
    medium=(gen-install 20 $((40 * MIB)) $((16 * MIB)))
    large=(gen-sizes $((28 * MIB)) $((20 * MIB)) $((12 * MIB)) $((4 * MIB)))
    current=(gen-install 2000 $((256 * MIB)) $((16 * MIB)))
    one=(gen-sizes $((64 * MIB)))
else
    suffix=""
    small=(gen-uniform 5000 "$KIB" $((64 * KIB)))
    medium=(gen-install 200 $((652 * MIB)))
    large=(gen-sizes $((448 * MIB)) $((320 * MIB)) $((192 * MIB)) $((64 * MIB)))
    current=(gen-install 20000 $((4096 * MIB)))
    one=(gen-sizes $((1024 * MIB)))
fi

# --- build ---------------------------------------------------------------------------------------
# $1: build directory, $2: source directory, then more cmake arguments.
build_launcher() {
    local dir=$1 src=$2
    shift 2
    cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_TESTS=OFF -DVELM_BENCH=OFF \
        "-DVELM_UPDATE_URL=$server_url" "$@" >"$work/logs/cmake.log" 2>&1 ||
        fail "cmake failed for $dir: see $work/logs/cmake.log"
    nice cmake --build "$dir" -j2 --target velm-launcher >"$work/logs/build.log" 2>&1 ||
        fail "the build in $dir failed: see $work/logs/build.log"
}
note "building the launcher (update URL $server_url) in $build"
build_launcher "$build" "$root"
nice cmake --build "$build" -j2 --target velm-publish >"$work/logs/build.log" 2>&1 ||
    fail "the publisher's build failed: see $work/logs/build.log"
publish="$build/velm-publish"
source_id="$(git -C "$root" rev-parse --short HEAD)"
git -C "$root" diff --quiet HEAD -- src tools CMakeLists.txt || source_id+=" with uncommitted changes"

rehash_exe=""
rehash_how="its state deleted before each run: this source has no VELM_VERIFY_EVERY_START option"
if (has_section 2 || has_section 4) && grep -q VELM_VERIFY_EVERY_START "$root/CMakeLists.txt"; then
    note "building the launcher with -DVELM_VERIFY_EVERY_START=ON in $rehash_build"
    build_launcher "$rehash_build" "$root" -DVELM_VERIFY_EVERY_START=ON
    rehash_exe="$rehash_build/velm-launcher"
    rehash_how="a launcher built with -DVELM_VERIFY_EVERY_START=ON"
fi

baseline_build=""
if [ -n "$baseline_rev" ] && has_section 1; then
    sha=$(git -C "$root" rev-parse --verify "$baseline_rev^{commit}") ||
        fail "no revision $baseline_rev"
    baseline_src="$work/baseline/src-$sha"
    baseline_build="$work/baseline/build-$sha"
    if [ ! -f "$baseline_src.done" ]; then
        rm -rf "$baseline_src"
        mkdir -p "$baseline_src"
        git -C "$root" archive "$sha" | tar -x -C "$baseline_src"
        touch "$baseline_src.done"
    fi
    note "building the baseline launcher ($baseline_rev, ${sha:0:7}) in $baseline_build"
    build_launcher "$baseline_build" "$baseline_src"
fi

# --- networks and the server -------------------------------------------------------------------
# The certificate authority the staged launchers trust; the server certificate names the
# namespaces' server address.
"$root/scripts/dev-cert.sh" "$work/server/certs" "$server_ip" >>"$work/logs/server.log"
ca="$work/server/certs/ca.crt"
ns="vtb$$"
net=""           # the link that is up: loopback or a round trip in ms
client_ns=""     # where the launcher and curl run
server_ns=""     # where nginx runs
iface=""         # the client's interface, for byte counters
link_label=""

net_down() {
    [ -n "$net" ] || return 0
    stop_server
    if [ "$net" = loopback ]; then
        ip netns del "$ns-lo" 2>/dev/null || true
    else
        bash "$slow_link" down "$ns" >/dev/null 2>&1 || true
        # Keep the link's counters (drops, lateness) with the logs.
        local link_state=${TMPDIR:-/tmp}/velm-slow-link/$ns
        mv -f "$link_state.log" "$work/logs/link-$net-ms.log" 2>/dev/null || true
        rm -f "$link_state.out"
    fi
    net=""
}
trap net_down EXIT
trap 'exit 130' INT TERM HUP

# Brings up link $1 (loopback, or a round trip in ms) with the server on it.
net_up() {
    net_down
    net=$1
    if [ "$net" = loopback ]; then
        # One namespace whose loopback device carries the server's address.
        ip netns add "$ns-lo"
        ip -n "$ns-lo" link set lo up
        ip -n "$ns-lo" addr add "$server_ip/32" dev lo
        client_ns=$ns-lo server_ns=$ns-lo iface=lo link_label=loopback
    else
        bash "$slow_link" up "$ns" $((net / 2)) "$rate_bit_s" >>"$work/logs/server.log" 2>&1 ||
            fail "slow-link.sh up failed: see $work/logs/server.log"
        client_ns=$ns-c server_ns=$ns-s iface=lc0 link_label="$net ms"
    fi
    ip netns exec "$server_ns" "$root/scripts/dev-server.sh" start "$work/serve" "$work/server" \
        --listen "$server_ip:$port" --http2 >>"$work/logs/server.log" 2>&1 ||
        fail "the server did not start: see $work/logs/server.log"
}

# The server's root holds one link, windows -> the published tree being measured.
serve() { ln -sfn "$work/pub/$1/windows" "$work/serve/windows"; }
log_size() { stat -c %s "$work/server/access.log" 2>/dev/null || echo 0; }
# nginx logs a request when it has ended, and one whose client went away when it notices, a
# round trip later: waits until the log has not grown for half a second (at most 10 s).
log_settle() {
    local size i
    size=$(log_size)
    for ((i = 0; i < 100; i++)); do
        sleep 0.1
        if ((i % 5 == 4)); then
            [ "$(log_size)" = "$size" ] && return 0
            size=$(log_size)
        fi
    done
}
log_offset() { log_settle; log_size; }
# Sets requests, protocols, connections, in_flight, body_bytes (and path_* with a path $2) for
# the requests logged since offset $1.
log_stats() {
    local rtt_s=0
    [ "$net" = loopback ] || rtt_s=$(awk -v ms="$net" 'BEGIN { print ms / 1000 }')
    log_settle
    eval "$(python3 "$log_helper" log-stats "$work/server/access.log" "$1" "$rtt_s" "${@:2}")"
}
rx_bytes() { ip netns exec "$client_ns" cat "/sys/class/net/$iface/statistics/rx_bytes"; }

# --- launcher runs -------------------------------------------------------------------------------
# A launcher directory $work/run/$1 holding build $2's launcher (game/ is kept).
stage() {
    "$root/scripts/stage-launcher.sh" "$2" "$work/run/$1" "$ca" >/dev/null
}
# The entries beside the staged launcher that it wrote itself (its state), one a line.
state_files() {
    local args=() name
    for name in "${staged_names[@]}"; do args+=(! -name "$name"); done
    find "$work/run/$1" -mindepth 1 -maxdepth 1 "${args[@]}" -printf '%f\n' | sort
}
delete_state() { state_files "$1" | while read -r f; do rm -rf "${work:?}/run/$1/$f"; done; }

# Runs the launcher staged as $1 in the client namespace, its output in $work/logs/$2.log, with
# the helper's further arguments (--at ...). Sets status, done_s, manifest_s, transfers,
# peak_kib, cpu_s, triggered_s; `finished` tells whether it reached "All jobs completed".
run_launcher() {
    local stage_name=$1 log=$2 figures
    shift 2
    figures=$(ip netns exec "$client_ns" python3 "$helper" run "$work/run/$stage_name" \
        "$work/logs/$log.log" "$@") ||
        figures="status=255 done_s=none manifest_s=none transfers=0 peak_kib=0 cpu_s=n/a triggered_s=none"
    eval "$figures"
    if [ "$status" = 0 ] && [ "$done_s" != none ]; then finished=1; else finished=0; fi
}
failed_run() { echo "FAILED (status $status, $work/logs/$1.log)"; }

# --- report --------------------------------------------------------------------------------------
rep1=() rep2=() rep3=() rep4=()
say1() { rep1+=("$*"); }
say2() { rep2+=("$*"); }
say3() { rep3+=("$*"); }
say4() { rep4+=("$*"); }
seconds() { [[ $1 =~ ^[0-9.]+$ ]] && echo "$1 s" || echo "$1"; }
median() { python3 "$log_helper" median "$@"; }
tree_label() { # $1: tree name
    local files bytes
    files=$(find "$work/src/$1" -type f | wc -l)
    bytes=$(tree_bytes "$work/src/$1")
    echo "$files files, $(mib "$bytes") MiB"
}
plural() { [ "$1" = 1 ] && echo "$1 $2" || echo "$1 ${2}s"; }
transfer_summary() { # from log_stats' figures
    local seen="at most $in_flight in flight"
    ((in_flight > 0)) || seen="no overlap seen" # small files over loopback end at once
    echo "$protocols, $(plural "$connections" connection), $seen"
}

# --- section 1: fresh installs -------------------------------------------------------------------
s1_small_peak_kib="" s1_small_in_flight=""

# One row: tree $1 (small, medium, large) over the current link.
fresh_install_row() {
    local tree=$1$suffix kind=$1 run files launcher_t=() ref_t=() base_t=() peak=0 base_peak=0
    local launcher_cpu=() ref_cpu_t=()
    local side offset launcher_xfer="n/a" ref_xfer="n/a" base_xfer="" r target row
    serve "$tree"
    files=$(find "$work/src/$tree" -type f | wc -l)
    for ((run = 1; run <= runs; run++)); do
        note "section 1, $link_label, $tree: reference (run $run of $runs)"
        cold_start "$work/pub/$tree/windows/"
        offset=$(log_offset)
        if reference_run "$tree" "$server_url" "$ref_parallel" "$hash_threads" "$ca" "$work/ref" \
            ip netns exec "$client_ns" && [ "$ref_count" -eq "$files" ]; then
            ref_t+=("$ref_s")
            ref_cpu_t+=("$ref_cpu")
        else
            ref_t+=(failed)
            note "reference failed: $(tail -n 3 "$work/logs/reference-curl.log")"
        fi
        log_stats "$offset"
        ref_xfer=$(transfer_summary)

        for side in launcher baseline; do
            local exe_build=$build
            if [ "$side" = baseline ]; then
                [ -n "$baseline_build" ] || continue
                exe_build=$baseline_build
            fi
            note "section 1, $link_label, $tree: $side (run $run of $runs)"
            rm -rf "$work/run/fresh-$side/game"
            stage "fresh-$side" "$exe_build"
            delete_state "fresh-$side"
            cold_start "$work/pub/$tree/windows/"
            offset=$(log_offset)
            local log="fresh-$tree-${net}-$side-$run"
            run_launcher "fresh-$side" "$log"
            local t=$done_s
            if ((!finished)); then
                t=failed
                note "$side run failed: $(failed_run "$log")"
            elif [ "$transfers" -ne "$files" ]; then
                note "$side fetched $transfers files, not $files ($work/logs/$log.log)"
            fi
            log_stats "$offset"
            if [ "$side" = launcher ]; then
                launcher_t+=("$t")
                launcher_cpu+=("$cpu_s")
                launcher_xfer=$(transfer_summary)
                ((peak_kib > peak)) && peak=$peak_kib
                if [ "$kind" = small ] && [ "$net" = "$target_rtt" ]; then
                    s1_small_peak_kib=$peak s1_small_in_flight=$in_flight
                fi
            else
                base_t+=("$t")
                base_xfer=$(transfer_summary)
                ((peak_kib > base_peak)) && base_peak=$peak_kib
            fi
        done
    done
    rm -rf "$work/run/fresh-launcher/game" "$work/run/fresh-baseline/game"

    local launcher_m ref_m base_m
    launcher_m=$(median "${launcher_t[@]}")
    ref_m=$(median "${ref_t[@]}")
    r=n/a
    [ "$launcher_m" != n/a ] && [ "$ref_m" != n/a ] && r=$(ratio "$launcher_m" "$ref_m")
    target="-"
    if [ "$kind" = small ] && [ "$net" = "$target_rtt" ]; then
        target="<= 1.0 (goal 0.8)"
        if [ "$r" != n/a ]; then
            target+=" $(verdict "$r" "<=" 1.0)"
            [ "$(verdict "$r" "<=" 0.8)" = met ] && target+=", goal met"
        fi
    fi
    row=$(printf '  %-9s %-26s %9s %10s %6s  %s' "$link_label" "$(tree_label "$tree")" \
        "$(seconds "$launcher_m")" "$(seconds "$ref_m")" "$r" "$target")
    say1 "$row"
    say1 "            launcher: $launcher_xfer, peak RSS $(mib $((peak * 1024))) MiB," \
        "cpu $(seconds "$(median "${launcher_cpu[@]}")"); reference: $ref_xfer," \
        "cpu $(seconds "$(median "${ref_cpu_t[@]}")")"
    if [ -n "$baseline_build" ]; then
        base_m=$(median "${base_t[@]}")
        local rb=n/a tb="no slower than today: <= 1.0"
        [ "$launcher_m" != n/a ] && [ "$base_m" != n/a ] && rb=$(ratio "$launcher_m" "$base_m")
        if [ "$kind" = small ] && [ "$net" != loopback ]; then
            tb="(no target)"
        elif [ "$rb" != n/a ]; then
            tb+=" $(verdict "$rb" "<=" 1.0)"
        fi
        say1 "            baseline $baseline_rev: $(seconds "$base_m"), launcher/baseline $rb $tb;" \
            "$base_xfer, peak RSS $(mib $((base_peak * 1024))) MiB"
    fi
}

section1_link() {
    local kind
    for kind in small medium large; do
        fresh_install_row "$kind"
    done
}

# --- section 2: a current install, cold ----------------------------------------------------------
section2() {
    local tree=current$suffix st=current$suffix first_s rec_s full_s record r
    serve "$tree"
    stage "$st" "$build"
    if [ ! -f "$work/run/$st.installed" ]; then
        note "section 2: copying the $tree tree into place"
        rm -rf "$work/run/$st/game"
        cp -a "$work/src/$tree" "$work/run/$st/game"
        touch "$work/run/$st.installed"
    fi
    delete_state "$st"
    note "section 2: first run (full verification, no record yet)"
    run_launcher "$st" current-first
    ((finished)) || { say2 "  first run $(failed_run current-first)"; return; }
    first_s=$done_s
    ((transfers == 0)) || note "the first run on the current install fetched $transfers files"
    record=$(state_files "$st" | tr '\n' ' ')

    local run rec_t=() full_t=()
    for ((run = 1; run <= runs; run++)); do
        note "section 2: with the record, page cache dropped (run $run of $runs)"
        cold_start "$work/run/$st"
        run_launcher "$st" "current-record-$run"
        ((finished)) || { say2 "  with the record: $(failed_run "current-record-$run")"; return; }
        rec_t+=("$done_s")

        note "section 2: full rehash, page cache dropped (run $run of $runs)"
        if [ -n "$rehash_exe" ]; then
            cp -p "$rehash_exe" "$work/run/$st/velm-launcher"
        else
            delete_state "$st" # the run writes the record anew for the next
        fi
        cold_start "$work/run/$st"
        run_launcher "$st" "current-rehash-$run"
        stage "$st" "$build"
        ((finished)) || { say2 "  full rehash: $(failed_run "current-rehash-$run")"; return; }
        full_t+=("$done_s")
    done
    rec_s=$(median "${rec_t[@]}")
    full_s=$(median "${full_t[@]}")

    say2 "  $(tree_label "$tree"), current; start to \"All jobs completed\", page cache dropped" \
        "(medians of $runs):"
    if [ -n "$record" ]; then
        say2 "  with the record:  $(seconds "$rec_s") (target <= 0.5 s) $(verdict "$rec_s" "<=" 0.5);" \
            "state beside the launcher: ${record% }"
    else
        say2 "  with the record:  n/a: this launcher wrote nothing beside itself (no record);" \
            "its runs after the first took $(seconds "$rec_s")"
    fi
    r=$(ratio "$rec_s" "$full_s")
    say2 "  full rehash:      $(seconds "$full_s"), second run / rehash $r; $rehash_how"
    say2 "  (first run, full verification after the copy: $(seconds "$first_s"))"
}

# --- section 3: interruptions --------------------------------------------------------------------
section3() {
    local tree=one$suffix st=interrupted$suffix zs_bytes half rx0 rx1 reset_ratio wire_ratio left r2 verdict_text
    local big_file path
    # The tree's one large file (beside the game's stand-in executable).
    big_file=$(find "$work/src/$tree" -type f -printf '%s %P\n' | sort -n | tail -n 1 | cut -d' ' -f2-)
    path="/windows/$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$big_file").zs"
    serve "$tree"
    zs_bytes=$(stat -c %s "$work/pub/$tree/windows/$big_file.zs")
    half=$((zs_bytes / 2))
    say3 "  $(mib "$(stat -c %s "$work/src/$tree/$big_file")") MiB file ($(mib "$zs_bytes") MiB" \
        "compressed) over the $link_label link; the fault when its .zs in game/ holds half:"

    note "section 3: connection reset half-way"
    rm -rf "$work/run/$st/game"
    stage "$st" "$build"
    delete_state "$st"
    offset=$(log_offset)
    rx0=$(rx_bytes)
    run_launcher "$st" interrupted-reset --at "game/$big_file.zs" "$half" \
        "ip netns exec $server_ns ss -K -t dst $client_ip"
    rx1=$(rx_bytes)
    log_stats "$offset" "$path"
    if [ "$triggered_s" = none ]; then
        say3 "  reset:  n/a: the .zs never held half ($(failed_run interrupted-reset))"
    else
        reset_ratio=$(ratio "$path_bytes" "$zs_bytes")
        wire_ratio=$(ratio $((rx1 - rx0)) "$zs_bytes")
        local outcome
        outcome="finished in $(seconds "$done_s")"
        ((finished)) || outcome=$(failed_run interrupted-reset)
        say3 "  reset:  bodies sent for the file $reset_ratio x compressed (target <= 1.10)" \
            "$(verdict "$reset_ratio" "<=" 1.10); bytes received on the link (all headers" \
            "included) $wire_ratio x; requests $path_statuses; $outcome"
    fi

    note "section 3: launcher closed half-way, then started again"
    rm -rf "$work/run/$st/game"
    delete_state "$st"
    offset=$(log_offset)
    run_launcher "$st" interrupted-closed --at "game/$big_file.zs" "$half" term
    if [ "$triggered_s" = none ]; then
        say3 "  closed: n/a: the .zs never held half ($(failed_run interrupted-closed))"
        return
    fi
    left=$(stat -c %s "$work/run/$st/game/$big_file.zs" 2>/dev/null || echo 0)
    offset=$(log_offset)
    run_launcher "$st" interrupted-again
    log_stats "$offset" "$path"
    r2=$(ratio "$path_bytes" "$zs_bytes")
    if [ "$(verdict "$r2" "<" "$resumed_below")" = met ]; then
        verdict_text="resumed"
    else
        verdict_text="restarted (target: resumed)"
    fi
    ((finished)) || verdict_text+="; $(failed_run interrupted-again)"
    say3 "  closed: the first run left $(mib "$left") MiB of .zs; the second fetched $r2 x" \
        "compressed (requests $path_statuses): $verdict_text"
    rm -rf "$work/run/$st/game"
}

# --- section 4: verify-only, warm ----------------------------------------------------------------
section4() {
    local tree=medium$suffix st=verify$suffix i launcher_t=() sha_t=() t0 lm sm r batch files
    serve "$tree"
    if [ -n "$rehash_exe" ]; then stage "$st" "$rehash_build"; else stage "$st" "$build"; fi
    if [ ! -f "$work/run/$st.installed" ]; then
        rm -rf "$work/run/$st/game"
        cp -a "$work/src/$tree" "$work/run/$st/game"
        touch "$work/run/$st.installed"
    fi
    files=$(find "$work/run/$st/game" -type f | wc -l)
    batch=$(sha1sum_batch "$files" "$hash_threads")
    note "section 4: verify-only, warm cache ($verify_runs runs each, after one to warm up)"
    for ((i = 0; i <= verify_runs; i++)); do
        delete_state "$st"
        run_launcher "$st" "verify-$i"
        ((finished)) || { say4 "  verify-only $(failed_run "verify-$i")"; return; }
        ((transfers == 0)) || note "the verify-only run fetched $transfers files"
        t0=$(now)
        (cd "$work/run/$st" && find game -type f -print0 |
            xargs -0 -P "$hash_threads" -n "$batch" sha1sum >/dev/null)
        if ((i > 0)); then # the first of each warms the cache
            launcher_t+=("$done_s")
            sha_t+=("$(elapsed "$t0" "$(now)")")
        fi
    done
    lm=$(median "${launcher_t[@]}")
    sm=$(median "${sha_t[@]}")
    r=$(ratio "$lm" "$sm")
    say4 "  verify-only, $(tree_label "$tree"), warm cache, record disabled: $rehash_how"
    say4 "  launcher $(seconds "$lm"), sha1sum -P $hash_threads $(seconds "$sm"), ratio $r" \
        "(target <= 0.5) $(verdict "$r" "<=" 0.5); medians of $verify_runs"
}

peak_rss_line() {
    if [ -z "$s1_small_peak_kib" ]; then
        say4 "  peak RSS with $rss_in_flight transfers in flight: n/a (needs section 1 over the" \
            "$target_rtt ms link)"
        return
    fi
    local v
    v=$(verdict "$s1_small_peak_kib" "<" "$rss_target_kib")
    say4 "  peak RSS, fresh install of the small-file tree over the $target_rtt ms link:" \
        "$(mib $((s1_small_peak_kib * 1024))) MiB (target < 64 MiB) $v; the server saw at most" \
        "$s1_small_in_flight in flight"
    ((s1_small_in_flight >= rss_in_flight)) ||
        say4 "  (fewer than $rss_in_flight in flight: the target's condition is not met by this launcher)"
}

# --- run -----------------------------------------------------------------------------------------
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
if has_section 1; then
    generate "small$suffix" "${small[@]}"
    generate "large$suffix" "${large[@]}"
fi
if has_section 1 || has_section 4; then generate "medium$suffix" "${medium[@]}"; fi
if has_section 2; then generate "current$suffix" "${current[@]}"; fi
if has_section 3; then generate "one$suffix" "${one[@]}"; fi
if ((prepare)); then
    note "prepared: $work"
    exit 0
fi

# Loopback first (sections 1, 2 and 4), then each distant link (section 1, and section 3 over
# the target link, brought up for it if section 1 does not use it).
if (has_section 1 && has_link loopback) || has_section 2 || has_section 4; then
    net_up loopback
    if has_section 1 && has_link loopback; then section1_link; fi
    if has_section 2; then section2; fi
    if has_section 4; then section4; fi
fi
for l in "${link_list[@]}"; do
    [ "$l" != loopback ] || continue
    has_section 1 || { has_section 3 && [ "$l" = "$target_rtt" ]; } || continue
    net_up "$l"
    if has_section 1; then section1_link; fi
    if has_section 3 && [ "$l" = "$target_rtt" ]; then section3; fi
done
if has_section 3 && ! has_link "$target_rtt"; then
    net_up "$target_rtt"
    section3
fi
net_down
has_section 4 && peak_rss_line

# --- summary -------------------------------------------------------------------------------------
echo
echo "transfer benchmark$( ((quick)) && echo " (--quick: small trees, figures not comparable)"):" \
    "launcher $source_id (Release), $(nproc) CPUs, $hash_threads hashing threads;" \
    "nginx with HTTP/2 offered; $cache_note; load $load_start at start," \
    "$(cut -d' ' -f1-3 /proc/loadavg) at end"
if has_section 1; then
    echo "1. Fresh install: launcher vs curl --parallel --parallel-max $ref_parallel + zstd -d +" \
        "sha1sum -P $hash_threads ($rate_bit_s bit/s links; medians of $runs)"
    printf '  %-9s %-26s %9s %10s %6s  %s\n' link tree launcher reference ratio target
    printf '%s\n' "${rep1[@]}"
fi
if has_section 2; then
    echo "2. Current install"
    printf '%s\n' "${rep2[@]}"
fi
if has_section 3; then
    echo "3. Interrupted transfers"
    printf '%s\n' "${rep3[@]}"
fi
if has_section 4; then
    echo "4. Verify-only and memory"
    printf '%s\n' "${rep4[@]}"
fi
echo "logs: $work/logs"
