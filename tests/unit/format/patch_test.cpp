#include "format/patch.h"
#include "support/decompression.h"

#include <zstd.h>

#include "test_util.h"

// Applied to the old content a patch makes the new (size recorded, flipped byte refused), small where little changed.
TEST(Patch, AppliedWithTheOldContentItMakesTheNewContent) {
    const std::string old = random_bytes(3 << 20, 1);
    std::string few_changed = old;
    few_changed[1 << 20] ^= 1;
    const std::tuple<std::string, std::string, size_t> rows[] = { // old, new, the largest patch that shows the old served
        {old, few_changed, 1000}, {old, old + random_bytes(100000, 2), 101000}, {old, old.substr(5 << 19) + old.substr(0, 5 << 19), 1000},
        {old, old, 1000}, {"", "fresh content", SIZE_MAX}, {old, "", SIZE_MAX}, {random_bytes(5000, 3), random_bytes(7000, 4), SIZE_MAX}};
    scratch_dir dir;
    const std::string path = dir / "patch.zst";
    for (const auto& [old_content, new_content, most] : rows) {
        patch_result made;
        make_patch(span_of(old_content), span_of(new_content), path.c_str(), 3, 1, &made);
        std::string patch = read_file(path);
        EXPECT_TRUE(made.ok && made.size == patch.size() && made.size <= most) << made.problem << " " << made.size;
        EXPECT_EQ(ZSTD_getFrameContentSize(patch.data(), patch.size()), new_content.size());
        for (bool flipped : {false, true}) {
            patch[patch.size() - 6] ^= flipped ? 1 : 0;
            write_file(path, patch);
            decompress_result applied;
            decompress({path.c_str(), 0, (dir / "out").c_str(), new_content.size(), old_content.data(), old_content.size()}, &applied);
            EXPECT_EQ(applied.ok && read_file(dir / "out") == new_content, !flipped) << applied.problem << " " << new_content.size();
        }
    }
    // The window covers the larger content, within zstd's smallest window and the largest a reader is asked for.
    const std::tuple<uint64_t, uint64_t, int> windows[] = {{0, 0, 10}, {1000, 10, 10}, {1 << 20, 5 << 20, 23}, {(1 << 20) - 1, 1, 20},
                                                        {256ULL << 20, 20ULL << 20, 29}, {3ULL << 30, 1, patch_window_log_max}};
    for (auto [old_size, new_size, log] : windows)
        EXPECT_EQ(patch_window_log(old_size, new_size), log) << old_size << " " << new_size;
}
