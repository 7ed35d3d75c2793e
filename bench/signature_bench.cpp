// The start-up cost of a signed file list of 65,535 entries, compressed as velm-publish does.
// BM_list_sha256: the SHA-256 of the compressed list (the launcher computes it on the transfer
// thread as the bytes arrive). BM_statement_check: what is left once the list is there, the
// statement's parse and one signature check. BM_signed_list_after_arrival: both, as if the list
// were hashed only after it arrived. The list's compressed size is the counter list_bytes.
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zstd.h>

#include "format/binstream.h"
#include "format/signature.h"

namespace {

constexpr int list_entries = 65535;
constexpr int publish_level = 19;
constexpr uint8_t bench_seed[key_seed_size] = {7};
constexpr int64_t bench_now = 1799150400; // any time; the statement expires a second later

// A realistic list: names in nested folders, varied sizes, random SHA-1 digests.
std::string compressed_list() {
    std::unique_ptr<FILE, int (*)(FILE*)> f(tmpfile(), fclose);
    std::mt19937_64 rng(1);
    bs_write_list(f.get(), list_entries);
    char name[64];
    char digest[41];
    for (int i = 0; i < list_entries; ++i) {
        snprintf(name, sizeof name, "data/region %02d/assets %03d/item %05d.bin", i % 40, i % 700,
                 i);
        for (int d = 0; d < 40; ++d)
            digest[d] = "0123456789abcdef"[rng() % 16];
        digest[40] = '\0';
        bs_write_list(f.get(), 3);
        bs_write_str(f.get(), name);
        bs_write_int(f.get(), static_cast<int64_t>(rng() % (64 << 20)));
        bs_write_str(f.get(), digest);
    }
    std::string raw(static_cast<size_t>(ftell(f.get())), '\0');
    rewind(f.get());
    if (fread(raw.data(), 1, raw.size(), f.get()) != raw.size())
        return "";
    std::string out(ZSTD_compressBound(raw.size()), '\0');
    size_t size = ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), publish_level);
    out.resize(ZSTD_isError(size) ? 0 : size);
    return out;
}

struct fixture {
    std::string list = compressed_list();
    uint8_t digest[sha256_size];
    std::string statement;
    std::vector<public_key> keys{public_key_of(bench_seed)};

    fixture() {
        sha256_stream stream;
        sha256_start(&stream);
        sha256_add(&stream, list.data(), list.size());
        sha256_finish(&stream, digest);
        list_statement s{};
        snprintf(s.channel, sizeof s.channel, "%s", VELM_CHANNEL);
        s.sequence = 1;
        s.expires = bench_now + 1;
        s.list_length = list.size();
        memcpy(s.list_sha256, digest, sha256_size);
        statement = write_statement(s, bench_seed);
    }
};

const fixture& data() {
    static const fixture f;
    return f;
}

void hash_list(const fixture& f, uint8_t out[sha256_size]) {
    sha256_stream stream;
    sha256_start(&stream);
    sha256_add(&stream, f.list.data(), f.list.size());
    sha256_finish(&stream, out);
}

bool check(const fixture& f, const uint8_t digest[sha256_size]) {
    list_statement parsed;
    const char* problem = nullptr;
    return check_statement(f.statement, f.list.size(), digest, {VELM_CHANNEL, f.keys, {}, {}},
                           bench_now, &parsed, &problem) == list_verdict::accepted;
}

void BM_list_sha256(benchmark::State& state) {
    const fixture& f = data();
    uint8_t digest[sha256_size];
    for (auto _ : state) {
        hash_list(f, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.list.size()));
    state.counters["list_bytes"] = static_cast<double>(f.list.size());
}
BENCHMARK(BM_list_sha256)->Unit(benchmark::kMillisecond);

void BM_statement_check(benchmark::State& state) {
    const fixture& f = data();
    for (auto _ : state)
        if (!check(f, f.digest))
            state.SkipWithError("the statement was refused");
    state.counters["list_bytes"] = static_cast<double>(f.list.size());
}
BENCHMARK(BM_statement_check)->Unit(benchmark::kMillisecond);

void BM_signed_list_after_arrival(benchmark::State& state) {
    const fixture& f = data();
    uint8_t digest[sha256_size];
    for (auto _ : state) {
        hash_list(f, digest);
        if (!check(f, digest))
            state.SkipWithError("the statement was refused");
    }
    state.counters["list_bytes"] = static_cast<double>(f.list.size());
}
BENCHMARK(BM_signed_list_after_arrival)->Unit(benchmark::kMillisecond);

} // namespace
