#include "format/patch.h"
#include "support/decompression.h"

#include <zstd.h>

#include "test_util.h"

std::span<const uint8_t> span_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Applied as the launcher applies one (the old content as prefix), each patch makes exactly the
// new content; it records the new size and a checksum (a flipped byte fails); where little
// changed it is small however far back the old bytes lie (random: only the old ones explain the new).
TEST(Patch, AppliedWithTheOldContentItMakesTheNewContent) {
    const std::string old = random_bytes(3 << 20, 1);
    std::string few_changed = old;
    few_changed[1 << 20] ^= 1;
    const struct {
        std::string old_content, new_content;
        size_t most; // the largest patch that shows the old content served (0: any size)
    } rows[] = {{old, few_changed, 1000}, {old, old + random_bytes(100000, 2), 101000},
                {old, old.substr(5 << 19) + old.substr(0, 5 << 19), 1000}, {old, old, 1000}, {"", "fresh content", 0},
                {old, "", 0}, {random_bytes(5000, 3), random_bytes(7000, 4), 0}};
    scratch_dir dir;
    const std::string path = dir / "patch.zst";
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& r = rows[i];
        patch_result made;
        make_patch(span_of(r.old_content), span_of(r.new_content), path.c_str(), 3, 1, &made);
        ASSERT_TRUE(made.ok) << "row " << i << ": " << made.problem;
        std::string patch = read_file(path);
        EXPECT_EQ(made.size, patch.size()) << "row " << i;
        EXPECT_TRUE(r.most == 0 || made.size <= r.most) << "row " << i << ": " << made.size;
        EXPECT_EQ(ZSTD_getFrameContentSize(patch.data(), patch.size()), r.new_content.size()) << "row " << i;
        for (bool flipped : {false, true}) {
            patch[patch.size() - 6] ^= flipped ? 1 : 0;
            write_file(path, patch);
            decompress_result applied;
            decompress({path.c_str(), 0, (dir / "out").c_str(), r.new_content.size(), r.old_content.data(), r.old_content.size()},
                       &applied);
            EXPECT_EQ(applied.ok, !flipped) << "row " << i << ": " << applied.problem;
            EXPECT_TRUE(flipped || read_file(dir / "out") == r.new_content) << "row " << i;
        }
    }
}

// The window covers the larger content, within zstd's smallest window and the largest a reader
// is asked for; an output that cannot be written is reported naming it.
TEST(Patch, WindowAndUnwritableOutput) {
    const std::tuple<uint64_t, uint64_t, int> rows[] = {{0, 0, 10}, {1000, 10, 10}, {1 << 20, 5 << 20, 23}, {(1 << 20) - 1, 1, 20},
                                                        {256ULL << 20, 20ULL << 20, 29}, {3ULL << 30, 1, patch_window_log_max}};
    for (auto [old_size, new_size, log] : rows)
        EXPECT_EQ(patch_window_log(old_size, new_size), log) << old_size << " " << new_size;
    scratch_dir dir;
    patch_result made;
    make_patch(span_of("old"), span_of("new"), (dir / "missing/patch.zst").c_str(), 3, 1, &made);
    EXPECT_FALSE(made.ok);
    EXPECT_NE(std::string(made.problem).find("missing/patch.zst"), std::string::npos) << made.problem;
}

