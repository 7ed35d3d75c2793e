#include "format/patch.h"
#include "support/decompression.h"
#include "support/utils.h"

#include <zstd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "test_util.h"

using test_util::random_bytes;
using test_util::read_file;
using test_util::scratch_dir;
using test_util::write_file;

namespace {

std::span<const uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// `data` with `count` bytes from `from` replaced by other bytes.
std::string changed(std::string data, size_t from, size_t count) {
    for (size_t i = from; i < from + count && i < data.size(); ++i)
        data[i] = static_cast<char>(~data[i]);
    return data;
}

} // namespace

// Each patch, applied as the launcher applies one (the old content as prefix), makes exactly
// the new content, is far smaller than the new content where little changed, and records its
// size and checksum.
TEST(Patch, AppliedWithTheOldContentItMakesTheNewContent) {
    // Random: only the old content can explain the new one, so a small patch proves the prefix.
    std::string old = random_bytes(3 << 20, 1);
    struct {
        const char* what;
        std::string old_content, new_content;
        size_t most; // the largest patch that shows the old content served (0: any size)
    } cases[] = {
        {"a few bytes changed", old, changed(old, 1 << 20, 16), 1000},
        {"grown at the end", old, old + random_bytes(100000, 2), 101000},
        {"the end moved to the start", old, old.substr(5 << 19) + old.substr(0, 5 << 19), 1000},
        {"unchanged", old, old, 1000},
        {"from nothing", "", "fresh content", 0},
        {"to nothing", old, "", 0},
        {"unrelated", random_bytes(5000, 3), random_bytes(7000, 4), 0},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        patch_result made;
        make_patch(bytes(c.old_content), bytes(c.new_content), (dir / "patch.zst").c_str(), 3, 1, &made);
        ASSERT_TRUE(made.ok) << c.what << ": " << made.problem;
        std::string patch = read_file(dir / "patch.zst");
        EXPECT_EQ(made.size, patch.size()) << c.what;
        if (c.most != 0) {
            EXPECT_LE(made.size, c.most) << c.what;
        }
        EXPECT_EQ(ZSTD_getFrameContentSize(patch.data(), patch.size()), c.new_content.size()) << c.what;

        decompress_result applied;
        decompress({(dir / "patch.zst").c_str(), 0, (dir / "out").c_str(), c.new_content.size(),
                    c.old_content.data(), c.old_content.size()},
                   &applied);
        ASSERT_TRUE(applied.ok) << c.what << ": " << applied.problem;
        EXPECT_TRUE(read_file(dir / "out") == c.new_content) << c.what;
        // The frame's checksum guards the content: a flipped byte of the last block fails.
        write_file(dir / "patch.zst", changed(patch, patch.size() - 6, 1));
        decompress({(dir / "patch.zst").c_str(), 0, (dir / "out").c_str(), c.new_content.size(),
                    c.old_content.data(), c.old_content.size()},
                   &applied);
        EXPECT_FALSE(applied.ok) << c.what;
    }
}

TEST(Patch, WindowCoversTheLargerContentWithinLimits) {
    struct {
        uint64_t old_size, new_size;
        int log;
    } cases[] = {
        {0, 0, 10}, // zstd's smallest window
        {1000, 10, 10},
        {1 << 20, 5 << 20, 23},
        {(1 << 20) - 1, 1, 20},
        {256ULL << 20, 20ULL << 20, 29},
        {3ULL << 30, 1, patch_window_log_max}, // beyond the largest window: the largest
    };
    for (const auto& c : cases)
        EXPECT_EQ(patch_window_log(c.old_size, c.new_size), c.log) << c.old_size << " " << c.new_size;
}

TEST(Patch, UnwritableOutputIsReported) {
    scratch_dir dir;
    patch_result made;
    make_patch(bytes("old"), bytes("new"), (dir / "missing/patch.zst").c_str(), 3, 1, &made);
    EXPECT_FALSE(made.ok);
    EXPECT_NE(std::string(made.problem).find("missing/patch.zst"), std::string::npos) << made.problem;
}
