#include "decompression.h"
#include "utils.h"

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

TEST(Decompression, LocalFilesThatFailAreFatalAndNamed) {
    scratch_dir dir;
    EXPECT_EXIT(decompress_file((dir / "missing.zs").c_str(), (dir / "out").c_str(), no_limit), ExitedWithCode(1),
                "^Cannot read .*missing\\.zs: No such file or directory\n\nFatal error in "
                "src/decompression\\.cpp:[0-9]+ \\(run\\)");
    write_file(dir / "in.zs", compress("x"));
    EXPECT_EXIT(decompress_file((dir / "in.zs").c_str(), (dir / "no dir/out").c_str(), no_limit),
                ExitedWithCode(1), "^Cannot create .*no dir/out: No such file or directory");
    // A stream problem through the fatal form keeps its text.
    write_file(dir / "in.zs", "");
    EXPECT_EXIT(decompress_file((dir / "in.zs").c_str(), (dir / "out").c_str(), no_limit), ExitedWithCode(1),
                "input is empty");
}
