#!/usr/bin/env bash
# Builds the benchmarks (Release) if needed and prints our figures beside the reference tools,
# measured in the same run:
#   - SHA-1 MB/s of the accelerated and portable paths vs `openssl speed sha1`, 16 KiB buffers;
#   - decompress_file MB/s vs `zstd -d` on the same 256 MiB file (MB/s of decompressed output);
#   - peak memory of decompress_file on a 64 MiB and a 256 MiB file;
#   - the start-up cost of a signed file list of 65,535 entries: the statement's check once the
#     list is there (its SHA-256 is computed while it arrives), and that hashing itself.
# MB is 10^6 bytes, as in openssl's output. Temporary files live in a fresh directory under the
# build directory and are removed on exit.
#
# Environment: VELM_BENCH_BUILD  build directory (default: <repo>/build-bench)
#              VELM_BENCH_MIB    size of the large decompression file in MiB (default: 256)
set -eu

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELM_BENCH_BUILD:-$root/build-bench}"
large_mib="${VELM_BENCH_MIB:-256}"
small_mib=64
zstd_runs=5

for tool in openssl zstd cmake ninja; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is not installed" >&2; exit 1; }
done

# --- build ---------------------------------------------------------------------------------
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target velm-bench >/dev/null
bench="$build/bench/velm-bench"

tmp="$(mktemp -d "$build/bench-tmp.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT

# Bytes per second of one benchmark from Google Benchmark's CSV output, as MB/s.
# $1: CSV file, $2: benchmark name (as printed, without quotes).
csv_mbps() {
    awk -F, -v name="\"$2\"" '
        NR == 1 { for (i = 1; i <= NF; i++) if ($i == "bytes_per_second") col = i; next }
        $1 == name && col { printf "%.0f", $col / 1e6; found = 1 }
        END { if (!found) exit 1 }' "$1"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# --- SHA-1 ---------------------------------------------------------------------------------
"$bench" --benchmark_filter='BM_sha1_' --benchmark_min_time=1 --benchmark_format=csv \
    >"$tmp/sha1.csv" 2>/dev/null
# openssl prints "sha1  <n>k" in 1000s of bytes per second.
openssl_kbps="$(openssl speed -bytes 16384 -seconds 3 sha1 2>/dev/null |
    awk '$1 == "sha1" { sub(/k$/, "", $NF); print $NF }')"
openssl_mbps="$(awk -v k="$openssl_kbps" 'BEGIN { printf "%.0f", k / 1000 }')"

for path in accelerated portable; do
    case "$path" in
        accelerated) target=0.75 ;;
        portable) target=0.3 ;;
    esac
    if mbps="$(csv_mbps "$tmp/sha1.csv" "BM_sha1_$path/16384")"; then
        large="$(csv_mbps "$tmp/sha1.csv" "BM_sha1_$path/1048576" || echo "?")"
        echo "sha1 $path: $mbps MB/s (1 MiB buffer: $large MB/s), openssl $openssl_mbps MB/s," \
            "ratio $(ratio "$mbps" "$openssl_mbps") (target >= $target)"
    else
        echo "sha1 $path: not measured (this CPU has no SHA extensions?)"
    fi
done

# --- signed file list ----------------------------------------------------------------------
"$bench" --benchmark_filter='BM_list_sha256|BM_statement_check|BM_signed_list_after_arrival' \
    --benchmark_format=csv >"$tmp/signature.csv" 2>/dev/null
# One column of one benchmark from the CSV output; $1: CSV, $2: name, $3: column.
csv_field() {
    awk -F, -v name="\"$2\"" -v field="$3" '
        NR == 1 { for (i = 1; i <= NF; i++) { gsub(/"/, "", $i); if ($i == field) col = i }; next }
        $1 == name && col { print $col; found = 1 }
        END { if (!found) exit 1 }' "$1"
}
check_ms="$(csv_field "$tmp/signature.csv" BM_statement_check real_time)"
hash_ms="$(csv_field "$tmp/signature.csv" BM_list_sha256 real_time)"
after_ms="$(csv_field "$tmp/signature.csv" BM_signed_list_after_arrival real_time)"
list_bytes="$(csv_field "$tmp/signature.csv" BM_list_sha256 list_bytes)"
printf 'signed list, 65,535 entries (%.0f bytes compressed): %.3f ms once the list is there (target <= 2 ms);\n' \
    "$list_bytes" "$check_ms"
printf '  its SHA-256, computed while it arrives: %.2f ms (hashed after arrival, the whole check would take %.2f ms)\n' \
    "$hash_ms" "$after_ms"

# --- decompression -------------------------------------------------------------------------
# Compressible data: 1 MiB pieces alternating between base64 text of random bytes and decimal
# counting, about 2:1 with zstd -3.
make_data() { # $1: size in MiB, $2: output path
    local i
    for ((i = 0; i < $1; i++)); do
        if ((i % 2 == 0)); then
            head -c 786432 /dev/urandom | base64 -w 76 | head -c 1048576
        else
            seq $((i * 200000)) $((i * 200000 + 200000)) | head -c 1048576
        fi
    done >"$2"
}

now_ns() { date +%s%N; }

# Runs decompress_file through the benchmark; prints its MB/s.
bench_decompress() { # $1: .zs path, $2: minimum time in seconds
    VELM_BENCH_ZS="$1" VELM_BENCH_OUT="$tmp/ours.out" "$bench" \
        --benchmark_filter='BM_decompress_file' --benchmark_min_time="$2" \
        --benchmark_format=csv >"$tmp/decompress.csv" 2>/dev/null
    csv_mbps "$tmp/decompress.csv" "BM_decompress_file/real_time"
}

make_data "$large_mib" "$tmp/large.bin"
zstd -3 -q -f -o "$tmp/large.zs" "$tmp/large.bin"
out_bytes="$(stat -c %s "$tmp/large.bin")"
zs_bytes="$(stat -c %s "$tmp/large.zs")"
rm -f "$tmp/large.bin"

ours_mbps="$(bench_decompress "$tmp/large.zs" 3)"
start="$(now_ns)"
for ((run = 0; run < zstd_runs; run++)); do
    zstd -d -q -f -o "$tmp/zstd.out" "$tmp/large.zs"
done
elapsed_ns=$(($(now_ns) - start))
zstd_mbps="$(awk -v b="$out_bytes" -v n="$zstd_runs" -v t="$elapsed_ns" \
    'BEGIN { printf "%.0f", b * n / (t / 1e9) / 1e6 }')"
rm -f "$tmp/zstd.out"
echo "decompress $large_mib MiB ($zs_bytes bytes compressed): $ours_mbps MB/s," \
    "zstd -d $zstd_mbps MB/s, ratio $(ratio "$ours_mbps" "$zstd_mbps") (target >= 0.9)"

# --- peak memory ---------------------------------------------------------------------------
if [ -x /usr/bin/time ]; then
    make_data "$small_mib" "$tmp/small.bin"
    zstd -3 -q -f -o "$tmp/small.zs" "$tmp/small.bin"
    rm -f "$tmp/small.bin"
    for size in small large; do
        mib=$small_mib
        [ "$size" = large ] && mib=$large_mib
        # One iteration in a process of its own, so the figure is the decompression's.
        VELM_BENCH_ZS="$tmp/$size.zs" VELM_BENCH_OUT="$tmp/ours.out" /usr/bin/time -v \
            "$bench" --benchmark_filter='BM_decompress_file' --benchmark_min_time=0.000001 \
            >/dev/null 2>"$tmp/time.txt"
        ours_kib="$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$tmp/time.txt")"
        /usr/bin/time -v zstd -d -q -f -o "$tmp/zstd.out" "$tmp/$size.zs" 2>"$tmp/time.txt"
        zstd_kib="$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$tmp/time.txt")"
        rm -f "$tmp/zstd.out"
        echo "decompress peak RSS, $mib MiB file: $ours_kib KiB (zstd -d: $zstd_kib KiB)"
    done
else
    echo "decompress peak RSS: /usr/bin/time is missing (Debian package 'time')"
fi
