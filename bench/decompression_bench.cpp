// decompress_file throughput on a file that the caller provides: VELM_BENCH_ZS names the zstd
// input, VELM_BENCH_OUT the output (default: the input path plus ".out", removed afterwards).
// Without VELM_BENCH_ZS the benchmark skips itself. Bytes are counted on the decompressed size.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <benchmark/benchmark.h>

#include "support/decompression.h"

namespace {

void BM_decompress_file(benchmark::State& state) {
    const char* in = getenv("VELM_BENCH_ZS");
    if (in == nullptr || in[0] == '\0') {
        state.SkipWithError("VELM_BENCH_ZS is not set");
        return;
    }
    const char* out_env = getenv("VELM_BENCH_OUT");
    const std::string out = out_env != nullptr ? std::string(out_env) : std::string(in) + ".out";

    for (auto _ : state)
        decompress_file(in, out.c_str(), UINT64_MAX);

    std::error_code ec;
    const uintmax_t out_size = std::filesystem::file_size(out, ec);
    std::error_code remove_ec;
    std::filesystem::remove(out, remove_ec);
    if (ec) {
        state.SkipWithError("cannot read the size of the output");
        return;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(out_size));
}
BENCHMARK(BM_decompress_file)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
