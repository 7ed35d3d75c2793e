#include "publish/tree.h"

#include "format/names.h"
#include "format/signature.h"
#include "test_util.h"

// Release ids carry their number and time; anything else under releases/ is not a release.
TEST(Tree, ReleaseIdsAndRecordsReadBack) {
    EXPECT_EQ(release_id(7, 1799150400), "000007-20270105T120000Z");
    const std::pair<const char*, uint64_t> ids[] = {{"000007-20270105T120000Z", 7}, {"1234567-x", 1234567}, {"12-", 12},
                                                    {"-1", 0}, {"x1-2", 0}, {".lock", 0}, {"12", 0}};
    for (const auto& [id, number] : ids) {
        release_t release{0, ""};
        EXPECT_EQ(parse_release(id, &release), number != 0) << id;
        EXPECT_EQ(release.number, number) << id;
    }
    release_info info{"000007-20270105T120000Z", 1799150400, 9, "Spring update\n\n\tnew maps", "000003-x"};
    release_info back;
    ASSERT_TRUE(parse_release_info(release_info_text(info), &back));
    EXPECT_TRUE(back.id == info.id && back.published == info.published && back.sequence == 9 && back.label == info.label &&
                back.rollback_of == info.rollback_of);
    const std::string text = release_info_text(info);
    for (const std::string& bad : {std::string(""), text.substr(0, text.size() - 1), "velm-release 2\n" + text.substr(15),
                                   text + "sequence 1x\n", text + "published yesterday\n"})
        EXPECT_FALSE(parse_release_info(bad, &back)) << bad;
    EXPECT_EQ(label_problem(std::string(label_max_size, 'x')), nullptr);
    EXPECT_NE(label_problem(std::string(label_max_size + 1, 'x')), nullptr);
    EXPECT_NE(label_problem("a\rb"), nullptr);
}

// The next sequence is above every one given: the recorded one, the kept trees' records and statements;
// pruning keeps the live tree, the one it replaced and the newest complete others up to `keep`.
TEST(Tree, SequencesNeverGoBackAndPruningKeepsTheNewest) {
    scratch_dir root;
    server_tree tree;
    open_tree(root.path, &tree);
    EXPECT_EQ(highest_sequence(tree), 0u);
    const uint8_t seed[key_seed_size] = {5};
    list_statement statement{2, "test", 12, 1799150400, 1, {}, {}, 0, {}};
    for (uint64_t n = 1; n <= 6; ++n)
        write_file(root / ("releases/" + release_id(n, 0) + "/" + (n == 5 ? "partial" : list_compressed_name)), "x");
    write_file(root / ("releases/" + release_id(2, 0) + "/" + statement_name), write_statement(statement, seed));
    EXPECT_EQ(highest_sequence(tree), 12u);
    std::string error;
    EXPECT_TRUE(record_sequence(tree, 20, &error) && record_sequence(tree, 15, &error)) << error;
    EXPECT_EQ(read_file(root / "releases/.sequence"), "20\n"); // never lower
    ASSERT_TRUE(write_release_info(root.path / "releases" / release_id(3, 0), {release_id(3, 0), 0, 31, "", ""}, &error));
    EXPECT_EQ(highest_sequence(tree), 31u);
    write_file(root / "releases/.sequence", "2O\n");
    EXPECT_EXIT(highest_sequence(tree), ExitedWithCode(1), "is not a sequence number");
    prune(tree, release_id(2, 0), release_id(1, 0), 4);
    std::vector<uint64_t> kept;
    for (const release_t& release : list_releases(tree))
        kept.push_back(release.number);
    EXPECT_EQ(kept, (std::vector<uint64_t>{6, 4, 2, 1})); // 5 never finished; 3 is past the four

    // Another link beside the game's: its own releases folder, sequence and lock; a switch leaves "windows" be.
    server_tree other;
    open_tree(root.path, &other, "launcher-linux");
    EXPECT_EQ(other.releases, root.path / "releases-launcher-linux");
    EXPECT_EQ(highest_sequence(other), 0u);
    write_file(root / ("releases-launcher-linux/" + release_id(1, 0) + "/" + list_compressed_name), "x");
    switch_live(other, release_id(1, 0), "");
    EXPECT_EQ(fs::read_symlink(root.path / "launcher-linux"), fs::path("releases-launcher-linux") / release_id(1, 0));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root.path / "windows")));
}
