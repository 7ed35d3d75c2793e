// SHA-1 throughput through the whole interface (SHA1Reset, SHA1Input, SHA1Result), once per
// compression function, and compute_file_hash on a large file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/sha1.h"
#include "support/utils.h"

namespace {

constexpr size_t small_buffer = 16 * 1024;
constexpr size_t large_buffer = 1024 * 1024;
constexpr size_t hash_file_size = 256u * 1024 * 1024;

void run_sha1(benchmark::State& state, sha1_compress_fn compress) {
    if (compress == nullptr) {
        state.SkipWithError("this CPU has no SHA extensions");
        return;
    }
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++)
        data[i] = static_cast<uint8_t>(i * 131 + 7);

    const sha1_compress_fn saved = sha1_compress;
    sha1_compress = compress;
    for (auto _ : state) {
        SHA1State sha;
        SHA1Reset(&sha);
        SHA1Input(&sha, data.data(), static_cast<uint32_t>(size));
        benchmark::DoNotOptimize(SHA1Result(&sha));
        benchmark::DoNotOptimize(sha.hash_words);
    }
    sha1_compress = saved;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_sha1_accelerated(benchmark::State& state) {
    run_sha1(state, sha1_compress_accelerated());
}
BENCHMARK(BM_sha1_accelerated)->Arg(small_buffer)->Arg(large_buffer);

void BM_sha1_portable(benchmark::State& state) {
    run_sha1(state, sha1_compress_portable);
}
BENCHMARK(BM_sha1_portable)->Arg(small_buffer)->Arg(large_buffer);

// The file lies in the system's temporary directory (or VELM_BENCH_DIR) and is removed after;
// after the first pass it is read from the page cache.
void BM_compute_file_hash(benchmark::State& state) {
    const char* dir = getenv("VELM_BENCH_DIR");
    const std::filesystem::path base =
        dir != nullptr ? std::filesystem::path(dir) : std::filesystem::temp_directory_path();
    const std::string path = (base / "velm-bench-hash.bin").string();
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        state.SkipWithError("cannot create the file to hash");
        return;
    }
    std::vector<uint8_t> chunk(large_buffer);
    for (size_t i = 0; i < chunk.size(); i++)
        chunk[i] = static_cast<uint8_t>(i * 131 + 7);
    bool written = true;
    for (size_t done = 0; done < hash_file_size && written; done += chunk.size())
        written = fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size();
    written = fclose(f) == 0 && written;
    if (!written) {
        remove(path.c_str());
        state.SkipWithError("cannot write the file to hash");
        return;
    }

    for (auto _ : state) {
        char* text = compute_file_hash(path.c_str());
        benchmark::DoNotOptimize(text);
        free(text);
    }
    remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(hash_file_size));
}
BENCHMARK(BM_compute_file_hash)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
