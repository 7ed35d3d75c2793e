#include "publish/patches.h"

#include "format/names.h"
#include "publish/build.h"
#include "publish/chunks.h"
#include "test_util.h"

// Publishes `files` (name -> content) from a game directory of its own.
static void publish(const scratch_dir& dir, const std::map<std::string, std::string>& files, size_t keep = 5) {
    fs::remove_all(dir.path / "game");
    for (const auto& [name, content] : files)
        write_file(dir / ("game/" + name), content);
    build_options options;
    options.level = 1;
    options.keep = keep;
    ASSERT_EQ(build_command(dir.path / "game", dir.path / "root", &options), 0);
}

// Patches start from the live tree and the newest complete kept trees, `depth` in all; each distinct
// older content gets one, and a file unchanged since the live tree keeps the live tree's patches.
TEST(Patches, BasesAreTheNewestKeptTreesUpToTheDepth) {
    scratch_dir dir;
    const std::string base = random_bytes(60000, 1);
    auto version = [&](int n) { return base.substr(0, 30000) + std::string(100, static_cast<char>('a' + n)) + base.substr(30100); };
    for (int n = 1; n <= 4; ++n)
        publish(dir, {{"big.bin", version(n)}, {"same.txt", "unchanged"}});
    server_tree tree;
    locate_tree(dir.path / "root", &tree);
    fs::create_directory(tree.releases / release_id(9, 0)); // a publish that did not finish
    auto live_list = std::make_shared<game_file_table>();
    std::string error;
    ASSERT_TRUE(read_list(tree.live / list_compressed_name, live_list.get(), &error)) << error;
    const std::pair<size_t, std::vector<uint64_t>> rows[] = {{0, {}}, {1, {4}}, {3, {4, 3, 2}}, {16, {4, 3, 2, 1}}};
    for (const auto& [depth, numbers] : rows) {
        patch_plan plan;
        find_patch_bases(tree, live_list, tree.releases / release_id(9, 0), depth, &plan);
        std::vector<uint64_t> found;
        for (const patch_base& b : plan.bases) {
            release_t release;
            EXPECT_TRUE(parse_release(fs::canonical(b.dir).filename().string(), &release));
            found.push_back(release.number);
        }
        EXPECT_EQ(found, numbers) << depth;
    }
    // Version 5 of big.bin gets a patch from each of versions 4, 3 and 2; a file as in the live tree none.
    patch_plan plan;
    plan.level = 1;
    plan.release = dir.path / "building";
    fs::create_directories(plan.release / patch_directory);
    find_patch_bases(tree, live_list, plan.release, 3, &plan);
    write_file(dir / "v5", version(5));
    std::string note;
    published_file file{"big.bin", dir.path / "v5", 60000, digest_of_bytes(span_of(version(5)))};
    ASSERT_TRUE(compress_file(file.source, plan.release / "big.bin.zs", file.size, file.hash, 1, &error)) << error;
    ASSERT_TRUE(patch_file(&plan, file, false, &note, &error)) << error;
    size_t made = 0;
    for (const auto& entry : fs::directory_iterator(plan.release / patch_directory))
        made += entry.path().filename().string().ends_with(std::string("-") + file.hash + patch_suffix);
    EXPECT_EQ(made, 3u) << note;
    // A file that changed since it was hashed makes neither a patch nor chunks of other bytes.
    const published_file changed{"big.bin", dir.path / "v5", 60000, std::string(40, 'e')};
    std::string chunk_error;
    EXPECT_TRUE(!patch_file(&plan, changed, false, &note, &error) && !publish_chunks(&plan, changed, nullptr, &note, &chunk_error));
    EXPECT_TRUE(error.ends_with("changed while it was being published") && chunk_error.ends_with("changed while it was being published"))
        << error << chunk_error;
    write_file(dir / "same", "unchanged");
    file = {"same.txt", dir.path / "same", 9, digest_of_bytes(span_of(std::string("unchanged")))};
    note.clear();
    EXPECT_TRUE(patch_file(&plan, file, true, &note, &error) && note.empty()) << note;
}
