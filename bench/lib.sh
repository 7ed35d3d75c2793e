# shellcheck shell=bash
# Shell pieces the update benchmarks share; sourced, not run. The sourcing script sets `work`
# (its generated data; logs go to $work/logs), `helper` (update_bench_helper.py), `publish` (the
# velm-publish to use) and `publish_level`, and defines `note MESSAGE`.

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
tree_bytes() { du -sb --apparent-size "$1" | cut -f1; }
# "met" or "MISSED": $1 value, $2 operator (<= or <), $3 target.
verdict() {
    awk -v v="$1" -v op="$2" -v t="$3" \
        'BEGIN { ok = (op == "<=") ? (v <= t) : (v < t); print ok ? "met" : "MISSED" }'
}

# Sets children_cpu to the CPU seconds (user + system) of this shell's finished children so far.
# `times` must run in this shell, not in a command substitution's subshell.
read_children_cpu() {
    times >"$work/logs/times.txt"
    children_cpu=$(awk 'NR == 2 {
        n = split($1 " " $2, t, " "); s = 0
        for (i = 1; i <= n; i++) { split(t[i], p, "m"); s += p[1] * 60 + p[2] }
        printf "%.2f", s }' "$work/logs/times.txt")
}

# The launcher's hashing parallelism: one thread per CPU, 2 to 16.
hash_threads=$(nproc)
((hash_threads < 2)) && hash_threads=2
((hash_threads > 16)) && hash_threads=16

# --- page cache --------------------------------------------------------------------------------
if sync && echo 3 2>/dev/null >/proc/sys/vm/drop_caches; then
    cache_note="page cache dropped before each timed run"
    can_drop=1
else
    cache_note="page cache NOT dropped (not permitted): inputs of both sides read once beforehand"
    can_drop=0
fi
# $@: trees or files the next timed run reads; warmed when the cache cannot be dropped.
cold_start() {
    if ((can_drop)); then
        sync
        echo 3 >/proc/sys/vm/drop_caches
    else
        find "$@" -type f -print0 | xargs -0 -r cat >/dev/null
    fi
}

# --- generated trees (kept between runs) ---------------------------------------------------------
# $1: tree name, then the helper's generator and its arguments. Generates $work/src/NAME once and
# publishes it to $work/pub/NAME (a republish reuses every unchanged .zs).
generate() {
    local name=$1
    shift
    mkdir -p "$work/src" "$work/pub" "$work/logs"
    if [ ! -f "$work/src/$name.done" ]; then
        note "generating the $name tree"
        rm -rf "$work/src/$name"
        python3 "$helper" "$1" "$work/src/$name" "${@:2}"
        touch "$work/src/$name.done"
    fi
    note "publishing the $name tree (level $publish_level)"
    "$publish" build --level "$publish_level" "$work/src/$name" "$work/pub/$name" \
        >"$work/logs/publish-$name.log"
}

# Files per sha1sum process for COUNT files hashed THREADS at a time: at least 8 batches per
# thread so that one large batch does not finish alone, at most 64 files.
sha1sum_batch() { # $1: count, $2: threads
    local n=$(($1 / ($2 * 8)))
    ((n < 1)) && n=1
    ((n > 64)) && n=64
    echo "$n"
}

# The reference pipeline: curl --parallel fetching every .zs of tree $1 from base URL $2, then
# `zstd -d` and `sha1sum`, each $4 at a time.
#   reference_run TREE URL PARALLEL_MAX THREADS CA DIR [COMMAND PREFIX...]
# DIR holds the downloads and outputs (removed afterwards); the prefix runs curl (for example
# `ip netns exec NS`). Sets ref_s, ref_curl_s, ref_zstd_s, ref_sha_s, ref_cpu and ref_count;
# fails when curl fails (its messages: $work/logs/reference-curl.log).
reference_run() {
    local tree=$1 url=$2 parallel=$3 threads=$4 ca=$5 dir=$6 t0 t1 t2 t3 c0
    shift 6
    rm -rf "$dir"
    python3 "$helper" ref-plan "$work/src/$tree" "$url" "$dir/dl" "$dir/out" >/dev/null
    read_children_cpu
    c0=$children_cpu
    t0=$(now)
    "$@" curl --parallel --parallel-max "$parallel" --fail -sS --create-dirs --cacert "$ca" \
        -K "$dir/dl/curl.cfg" 2>"$work/logs/reference-curl.log" || return 1
    t1=$(now)
    xargs -0 -P "$threads" -n 2 zstd -d -q -f -o <"$dir/dl/zstd.args"
    t2=$(now)
    ref_count=$(find "$dir/out" -type f | wc -l)
    find "$dir/out" -type f -print0 |
        xargs -0 -P "$threads" -n "$(sha1sum_batch "$ref_count" "$threads")" sha1sum >"$dir/sums"
    t3=$(now)
    read_children_cpu
    ref_cpu=$(elapsed "$c0" "$children_cpu")
    ref_s=$(elapsed "$t0" "$t3")
    ref_curl_s=$(elapsed "$t0" "$t1")
    ref_zstd_s=$(elapsed "$t1" "$t2")
    ref_sha_s=$(elapsed "$t2" "$t3")
    ref_count=$(wc -l <"$dir/sums")
    rm -rf "$dir"
}
