#include "support/decompression.h"
#include "format/patch.h"
#include "support/utils.h"

#include <zstd.h>

#include <gmock/gmock.h>
#include <regex>

#include "test_util.h"

static std::string compress(const std::string& data, int level = 3) {
    std::string out(ZSTD_compressBound(data.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level));
    return out;
}

// Streams and patches (against their base) with their digests; those not right named, nothing past the limit. Without
// a header or a prefix, the same in memory (the file list).
TEST(Decompression, StreamsAndPatches) {
    std::string big; // compressible, several of zstd's output buffers long
    for (size_t i = 0; big.size() < 3 * ZSTD_DStreamOutSize() + 17; ++i)
        big += std::to_string(i * 7919 % 1000) + " ";
    const std::string frame = compress(big);
    const std::string base = random_bytes(3 << 20, 4), other_base = random_bytes(3 << 20, 6);
    const std::string changed = base.substr(0, 1 << 20) + random_bytes(5000, 5) + base.substr((1 << 20) + 5000) + "grown";
    scratch_dir dir;
    patch_result made;
    make_patch(span_of(base), span_of(changed), (dir / "patch").c_str(), 3, 1, &made);
    ASSERT_TRUE(made.ok) << made.problem;
    const std::string patch = "header!" + read_file(dir / "patch");
    const std::tuple<std::string, uint64_t, uint64_t, const std::string*, std::string, const char*> rows[] = {
        // input, offset, limit, prefix; what it decompresses to, or a regular expression for the problem
        {compress("first,") + compress("") + compress("second"), 0, 12, nullptr, "first,second", nullptr},
        {compress(big, 19), 0, big.size(), nullptr, big, nullptr},
        {std::string(128, '#') + compress("behind"), 128, 6, nullptr, "behind", nullptr},
        {"", 0, UINT64_MAX, nullptr, "", "in\\.zs holds no compressed data \\(input is empty\\)$"},
        {frame.substr(0, frame.size() - 1), 0, UINT64_MAX, nullptr, "",
         "in\\.zs ends inside its compressed data \\(EOF before end of stream: [1-9][0-9]*\\)$"},
        {"this is not a zstd stream at all", 0, UINT64_MAX, nullptr, "", "^zstd error in .*in\\.zs: Unknown frame descriptor$"},
        {frame, 0, big.size() - 1, nullptr, "", "in\\.zs decompresses to more than its listed size of [1-9][0-9]+ bytes$"},
        {compress("x"), 0, 0, nullptr, "", "more than its listed size of 0 bytes"},
        {patch, 7, changed.size(), &base, changed, nullptr},
        {patch, 7, changed.size() + 100, &base, changed, nullptr},
        {patch, 7, changed.size() - 1, &base, "", "in\\.zs decompresses to more than its listed size"},
        {patch, 7, changed.size(), &other_base, "", "^zstd error in .*in\\.zs: Restored data doesn't match checksum$"},
        {"header!", 7, changed.size(), &base, "", "in\\.zs holds no compressed data"},
    };
    for (const auto& [input, offset, limit, prefix, expected, problem] : rows) {
        write_file(dir / "in.zs", input);
        write_file(dir / "out", "old content that must be truncated");
        decompress_result result;
        decompress({(dir / "in.zs").c_str(), offset, (dir / "out").c_str(), limit, prefix ? prefix->data() : nullptr,
                    prefix ? prefix->size() : 0},
                   &result);
        char* digest = compute_file_hash((dir / "out").c_str());
        if (problem == nullptr)
            EXPECT_TRUE(result.ok && read_file(dir / "out") == expected && read_file(dir / "in.zs") == input &&
                        str_eq(result.digest, digest))
                << result.problem << " " << expected.size();
        else
            EXPECT_THAT(result.ok ? "accepted" : result.problem, ::testing::ContainsRegex(problem));
        EXPECT_LE(std::filesystem::file_size(dir / "out"), limit) << problem; // nothing past the limit
        free(digest);
        if (offset != 0 || prefix != nullptr)
            continue;
        std::string out;
        decompress_result in_memory;
        decompress_memory(input, limit, &out, &in_memory);
        std::string named = problem != nullptr ? problem : "";
        if (size_t at = named.find("in\\.zs"); at != std::string::npos)
            named.replace(at, 6, "the file list");
        EXPECT_TRUE(problem == nullptr ? in_memory.ok && out == expected && str_eq(in_memory.digest, result.digest)
                                       : !in_memory.ok && std::regex_search(in_memory.problem, std::regex(named)))
            << in_memory.problem << " / " << named;
    }
}

// A local file that cannot be read or written is a fatal report naming it, as is a stream problem.
TEST(Decompression, LocalFilesThatFailAreFatalAndNamed) {
    scratch_dir dir;
    write_file(dir / "empty.zs", "");
    const std::string rows[][3] = {
        {"missing.zs", "out",
         "^Cannot read .*missing\\.zs: No such file or directory\n\nFatal error in "},
        {"empty.zs", "no dir/out", "^Cannot create .*no dir/out: No such file or directory"},
        {"empty.zs", "out", "input is empty"}};
    for (const auto& [in, out, report] : rows)
        EXPECT_EXIT(decompress_file((dir / in).c_str(), (dir / out).c_str(), UINT64_MAX), ExitedWithCode(1), report);
}

