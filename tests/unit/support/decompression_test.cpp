#include "support/decompression.h"
#include "format/patch.h"
#include "support/utils.h"

#include <zstd.h>

#include <gmock/gmock.h>

#include "test_util.h"

std::string compress(const std::string& data, int level = 3) {
    std::string out(ZSTD_compressBound(data.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level));
    return out;
}

std::span<const uint8_t> span_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Whole streams (frames back to back, empty ones, several output buffers per input chunk, raw
// blocks, behind the caller's header) with their digests; streams that are not right, reported
// naming the file with nothing written past the limit; patches against their base as prefix,
// the output cut to what was written, refused over the limit, against another base or empty.
TEST(Decompression, StreamsAndPatches) {
    std::string big; // compressible, several of zstd's output buffers long
    for (size_t i = 0; big.size() < 3 * ZSTD_DStreamOutSize() + 17; ++i)
        big += std::to_string(i * 7919 % 1000) + " ";
    const std::string random = random_bytes(300000, 2), frame = compress(big);
    const std::string base = random_bytes(3 << 20, 4), other_base = random_bytes(3 << 20, 6);
    const std::string changed = base.substr(0, 1 << 20) + random_bytes(5000, 5) + base.substr((1 << 20) + 5000) + "grown";
    scratch_dir dir;
    patch_result made;
    make_patch(span_of(base), span_of(changed), (dir / "patch").c_str(), 3, 1, &made);
    ASSERT_TRUE(made.ok) << made.problem;
    const std::string patch = "header!" + read_file(dir / "patch");
    constexpr uint64_t no_limit = UINT64_MAX;
    const struct {
        std::string input;
        uint64_t offset, limit;
        const std::string* prefix;
        std::string expected;
        const char* problem; // a regular expression; null: decompresses to `expected`
    } rows[] = {
        {compress("first,") + compress("") + compress("second"), 0, 12, nullptr, "first,second", nullptr},
        {compress(""), 0, 0, nullptr, "", nullptr},
        {compress(big, 19), 0, big.size(), nullptr, big, nullptr},
        {compress(random), 0, random.size(), nullptr, random, nullptr},
        {std::string(128, '#') + compress("behind"), 128, 6, nullptr, "behind", nullptr},
        {"", 0, no_limit, nullptr, "", "in\\.zs holds no compressed data \\(input is empty\\)$"},
        {frame.substr(0, frame.size() / 2), 0, no_limit, nullptr, "", "in\\.zs ends inside its compressed data \\(EOF before end of stream: [1-9][0-9]*\\)$"},
        {frame.substr(0, frame.size() - 1), 0, no_limit, nullptr, "", "EOF before end of stream: [1-9]"},
        {"this is not a zstd stream at all", 0, no_limit, nullptr, "", "^zstd error in .*in\\.zs: Unknown frame descriptor$"},
        {frame, 0, big.size() - 1, nullptr, "", "in\\.zs decompresses to more than its listed size of [1-9][0-9]+ bytes$"},
        {compress("x"), 0, 0, nullptr, "", "more than its listed size of 0 bytes"},
        {patch, 7, changed.size(), &base, changed, nullptr},
        {patch, 7, changed.size() + 100, &base, changed, nullptr},
        {patch, 7, changed.size() - 1, &base, "", "in\\.zs decompresses to more than its listed size"},
        {patch, 7, changed.size(), &other_base, "", "^zstd error in .*in\\.zs: Restored data doesn't match checksum$"},
        {"header!", 7, changed.size(), &base, "", "in\\.zs holds no compressed data"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& r = rows[i];
        write_file(dir / "in.zs", r.input);
        write_file(dir / "out", "old content that must be truncated");
        decompress_result result;
        decompress({(dir / "in.zs").c_str(), r.offset, (dir / "out").c_str(), r.limit, r.prefix ? r.prefix->data() : nullptr,
                    r.prefix ? r.prefix->size() : 0},
                   &result);
        ASSERT_EQ(result.ok, r.problem == nullptr) << "row " << i << ": " << result.problem;
        if (r.problem != nullptr) {
            EXPECT_THAT(result.problem, ::testing::ContainsRegex(r.problem)) << "row " << i;
            EXPECT_LE(std::filesystem::file_size(dir / "out"), r.limit) << "row " << i;
            continue;
        }
        EXPECT_TRUE(read_file(dir / "out") == r.expected && read_file(dir / "in.zs") == r.input) << "row " << i;
        char* digest = compute_file_hash((dir / "out").c_str());
        EXPECT_STREQ(result.digest, digest) << "row " << i;
        free(digest);
    }
}

// A local file that cannot be read or written is a fatal report naming it; through the fatal
// form a stream problem keeps its text.
TEST(Decompression, LocalFilesThatFailAreFatalAndNamed) {
    scratch_dir dir;
    write_file(dir / "empty.zs", "");
    const std::string rows[][3] = {
        {"missing.zs", "out", "^Cannot read .*missing\\.zs: No such file or directory\n\nFatal error in src/support/decompression\\.cpp:[0-9]+ \\(run\\)"},
        {"empty.zs", "no dir/out", "^Cannot create .*no dir/out: No such file or directory"},
        {"empty.zs", "out", "input is empty"}};
    for (const auto& [in, out, report] : rows)
        EXPECT_EXIT(decompress_file((dir / in).c_str(), (dir / out).c_str(), UINT64_MAX), ::testing::ExitedWithCode(1), report);
}

