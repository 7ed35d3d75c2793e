#include "decompression.h"

#include <zstd.h>

#include <string>

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

TEST(Decompression, ValidInputs) {
    std::string big = sample(3 * ZSTD_DStreamOutSize() + 17, 1);
    std::string random = test_util::random_bytes(300000, 2); // incompressible: raw blocks
    struct {
        const char* what;
        std::string compressed;
        std::string expected;
    } cases[] = {
        {"one frame", compress("hello, launcher"), "hello, launcher"},
        {"an empty frame", compress(""), ""},
        {"two frames back to back", compress("first,") + compress("second"), "first,second"},
        {"an empty frame between two", compress("a") + compress("") + compress("b"), "ab"},
        {"output of several buffers per chunk", compress(big, 19), big},
        {"incompressible data", compress(random), random},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.zs", c.compressed);
        write_file(dir / "out", "old content that must be truncated");
        decompress_file((dir / "in.zs").c_str(), (dir / "out").c_str(), c.expected.size());
        EXPECT_EQ(read_file(dir / "out"), c.expected) << c.what;
        EXPECT_EQ(read_file(dir / "in.zs"), c.compressed) << c.what; // the input stays
    }
}

TEST(Decompression, Failures) {
    std::string frame = compress(sample(200000, 3));
    struct {
        const char* what;
        std::string input;
        uint64_t limit;
        const char* report;
    } cases[] = {
        {"a zero-byte file", "", no_limit, "^input is empty\n$"},
        {"a truncated frame", frame.substr(0, frame.size() / 2), no_limit, "^EOF before end of stream: [1-9][0-9]*\n$"},
        {"a frame cut by one byte", frame.substr(0, frame.size() - 1), no_limit, "^EOF before end of stream: [1-9]"},
        {"garbage", "this is not a zstd stream at all", no_limit, "^zstd error in .*in\\.zs: Unknown frame descriptor\n$"},
        {"output over the limit", frame, 199999, "in\\.zs decompresses to more than its listed size of 199999 bytes\n$"},
        {"anything over a zero limit", compress("x"), 0, "more than its listed size of 0 bytes"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.zs", c.input);
        EXPECT_EXIT(decompress_file((dir / "in.zs").c_str(), (dir / "out").c_str(), c.limit), ExitedWithCode(1),
                    c.report)
            << c.what;
    }
}

TEST(Decompression, OutputStopsAtTheLimit) {
    // Nothing past the limit reaches the disk, however large the stream claims to be.
    scratch_dir dir;
    write_file(dir / "in.zs", compress(std::string(10 << 20, 'z')));
    EXPECT_EXIT(decompress_file((dir / "in.zs").c_str(), (dir / "out").c_str(), 1000), ExitedWithCode(1), "");
    EXPECT_LE(std::filesystem::file_size(dir / "out"), 1000u);
}

TEST(Decompression, MissingInputIsARuntimeCheck) {
    scratch_dir dir;
    EXPECT_EXIT(decompress_file((dir / "missing.zs").c_str(), (dir / "out").c_str(), no_limit), ExitedWithCode(1),
                "Runtime check failed in src/decompression\\.cpp:[0-9]+ \\(decompress_file\\)");
}
