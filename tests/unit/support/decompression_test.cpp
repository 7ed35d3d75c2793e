#include "support/decompression.h"
#include "support/utils.h"

#include <zstd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gmock/gmock.h>

#include "test_util.h"

using test_util::read_file;
using test_util::scratch_dir;
using test_util::write_file;
using ::testing::ExitedWithCode;

namespace {

std::string compress(const std::string& data, int level = 3) {
    std::string out(ZSTD_compressBound(data.size()), '\0');
    size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

// Compressible content larger than several output buffers.
std::string sample(size_t size, uint64_t seed) {
    std::string words = test_util::random_bytes(4096, seed);
    std::string out;
    while (out.size() < size)
        out += words.substr(out.size() % 1000, 97);
    out.resize(size);
    return out;
}

constexpr uint64_t no_limit = UINT64_MAX;

} // namespace

// Decompresses `input` (after `offset` bytes of something else) with `limit`.
decompress_result run(const scratch_dir& dir, const std::string& input, uint64_t limit, uint64_t offset = 0) {
    write_file(dir / "in.zs", input);
    write_file(dir / "out", "old content that must be truncated");
    decompress_result result;
    decompress({(dir / "in.zs").c_str(), offset, (dir / "out").c_str(), limit, nullptr, 0}, &result);
    return result;
}

TEST(Decompression, ValidInputsWithTheirDigests) {
    std::string big = sample(3 * ZSTD_DStreamOutSize() + 17, 1);
    std::string random = test_util::random_bytes(300000, 2); // incompressible: raw blocks
    std::string header(128, '#');
    struct {
        const char* what;
        std::string input;
        uint64_t offset;
        std::string expected;
    } cases[] = {
        {"one frame", compress("hello, launcher"), 0, "hello, launcher"},
        {"an empty frame", compress(""), 0, ""},
        {"two frames back to back", compress("first,") + compress("second"), 0, "first,second"},
        {"an empty frame between two", compress("a") + compress("") + compress("b"), 0, "ab"},
        {"output of several buffers per chunk", compress(big, 19), 0, big},
        {"incompressible data", compress(random), 0, random},
        {"after a header of the caller's", header + compress("behind"), header.size(), "behind"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        decompress_result result = run(dir, c.input, c.expected.size(), c.offset);
        ASSERT_TRUE(result.ok) << c.what << ": " << result.problem;
        EXPECT_EQ(read_file(dir / "out"), c.expected) << c.what;
        EXPECT_EQ(read_file(dir / "in.zs"), c.input) << c.what; // the input stays
        char* digest = compute_file_hash((dir / "out").c_str());
        EXPECT_STREQ(result.digest, digest) << c.what;
        free(digest);
    }
}

TEST(Decompression, StreamsThatAreNotRightAreReportedNamingTheFile) {
    std::string frame = compress(sample(200000, 3));
    struct {
        const char* what;
        std::string input;
        uint64_t limit;
        const char* problem;
    } cases[] = {
        {"a zero-byte file", "", no_limit, "in\\.zs holds no compressed data \\(input is empty\\)$"},
        {"a truncated frame", frame.substr(0, frame.size() / 2), no_limit,
         "in\\.zs ends inside its compressed data \\(EOF before end of stream: [1-9][0-9]*\\)$"},
        {"a frame cut by one byte", frame.substr(0, frame.size() - 1), no_limit, "EOF before end of stream: [1-9]"},
        {"garbage", "this is not a zstd stream at all", no_limit, "^zstd error in .*in\\.zs: Unknown frame descriptor$"},
        {"output over the limit", frame, 199999, "in\\.zs decompresses to more than its listed size of 199999 bytes$"},
        {"anything over a zero limit", compress("x"), 0, "more than its listed size of 0 bytes"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        decompress_result result = run(dir, c.input, c.limit);
        EXPECT_FALSE(result.ok) << c.what;
        EXPECT_THAT(result.problem, ::testing::ContainsRegex(c.problem)) << c.what;
        EXPECT_LE(std::filesystem::file_size(dir / "out"), c.limit) << c.what; // nothing past the limit
    }
}

// A patch: `data` compressed against `base` as a raw prefix, with long-distance matching.
std::string patch(const std::string& base, const std::string& data) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 27);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_refPrefix(cctx, base.data(), base.size());
    std::string out(ZSTD_compressBound(data.size()), '\0');
    size_t n = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
    ZSTD_freeCCtx(cctx);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

TEST(Decompression, PatchesAgainstTheirBase) {
    std::string base = test_util::random_bytes(3 << 20, 4);
    std::string changed = base;
    changed.replace(1 << 20, 5000, test_util::random_bytes(5000, 5));
    changed += "grown";
    std::string p = patch(base, changed);
    ASSERT_LT(p.size(), 20000u); // the change, not the file
    std::string other_base = test_util::random_bytes(3 << 20, 6);
    struct {
        const char* what;
        const std::string& prefix;
        uint64_t limit;
        const char* problem; // null: decompresses to `changed`
    } cases[] = {
        {"the right base", base, changed.size(), nullptr},
        {"a limit above the size", base, changed.size() + 100, nullptr},
        {"a limit below the size", base, changed.size() - 1, "more than its listed size"},
        {"another base", other_base, changed.size(), "zstd error in .*: Restored data doesn't match checksum"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.zs", "header!" + p);
        decompress_result result;
        decompress({(dir / "in.zs").c_str(), 7, (dir / "out").c_str(), c.limit, c.prefix.data(), c.prefix.size()},
                   &result);
        if (c.problem == nullptr) {
            ASSERT_TRUE(result.ok) << c.what << ": " << result.problem;
            EXPECT_TRUE(read_file(dir / "out") == changed) << c.what; // cut to what was written
            char* digest = compute_file_hash((dir / "out").c_str());
            EXPECT_STREQ(result.digest, digest) << c.what;
            free(digest);
        } else {
            EXPECT_FALSE(result.ok) << c.what;
            EXPECT_THAT(result.problem, ::testing::ContainsRegex(c.problem)) << c.what;
        }
    }
}

TEST(Decompression, LocalFilesThatFailAreFatalAndNamed) {
    scratch_dir dir;
    EXPECT_EXIT(decompress_file((dir / "missing.zs").c_str(), (dir / "out").c_str(), no_limit), ExitedWithCode(1),
                "^Cannot read .*missing\\.zs: No such file or directory\n\nFatal error in "
                "src/support/decompression\\.cpp:[0-9]+ \\(run\\)");
    write_file(dir / "in.zs", compress("x"));
    EXPECT_EXIT(decompress_file((dir / "in.zs").c_str(), (dir / "no dir/out").c_str(), no_limit),
                ExitedWithCode(1), "^Cannot create .*no dir/out: No such file or directory");
    // A stream problem through the fatal form keeps its text.
    write_file(dir / "in.zs", "");
    EXPECT_EXIT(decompress_file((dir / "in.zs").c_str(), (dir / "out").c_str(), no_limit), ExitedWithCode(1),
                "input is empty");
}
