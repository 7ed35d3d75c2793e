#include "support/utils.h"

#include <thread>

#include "test_util.h"

// The developer's line, then the message, or the player's sentence first; cut to 8191 bytes; one report at a time.
TEST(FatalReport, Formats) {
    const std::string here = "tests/unit/support/utils_test\\.cpp:";
    const std::pair<void (*)(), std::string> rows[] = {
        {[] { PANIC("error %d downloading\n%s", 404, "https://x/y.zs"); },
         "^Fatal error in " + here + "[0-9]+ \\(operator\\(\\)\\)\n\nerror 404 downloading\nhttps://x/y\\.zs\n$"},
        {[] { CHECK(1 + 1 == 3); }, "^Runtime check failed in " + here + std::to_string(__LINE__) + " \\(operator\\(\\)\\)\n$"},
        {[] { PANIC_FOR_PLAYER("Cannot write %s: %s", "game/a.pak", "No space left on device"); },
         "^Cannot write game/a\\.pak: No space left on device\n\nFatal error in " + here + "[0-9]+ \\(operator\\(\\)\\)\n$"},
        {[] { PANIC_EXPLAINED("The player's sentence.", "error %d downloading", 503); },
         "^The player's sentence\\.\n\nerror 503 downloading\n\nFatal error in " + here + "[0-9]+ \\(operator\\(\\)\\)\n$"},
        {[] { PANIC("%s", (std::string(20000, 'x') + "TAIL").c_str()); }, "^Fatal error in [^\n]*\n\nx{8000,8191}\n$"},
        {[] {
             std::vector<std::thread> threads;
             for (int i = 0; i < 8; ++i)
                 threads.emplace_back([i] { PANIC("report %d", i); });
             for (std::thread& t : threads)
                 t.join();
         },
         "^Fatal error in [^\n]*\n\nreport [0-7]\n$"},
    };
    for (const auto& [fail, report] : rows)
        EXPECT_EXIT(fail(), ExitedWithCode(1), report);
}

// The log keeps the runs before this one and what is printed as it is printed, trimmed to the newest lines past
// about a megabyte; once it is open, a fatal report names it.
TEST(Log, KeepsTheNewestLinesAndTheReportNamesIt) {
    scratch_dir dir;
    std::filesystem::current_path(dir.path);
    write_file(dir / "launcher.log", "an earlier run\n");
    ASSERT_TRUE(log_open("launcher.log"));
    log_printf("line %d\n", 0);
    EXPECT_TRUE(read_file(dir / "launcher.log").starts_with("an earlier run\n==== the launcher starts, "));
    EXPECT_TRUE(read_file(dir / "launcher.log").ends_with("\nline 0\n"));
    const std::string filler(1000, 'f');
    for (int i = 1; i <= 2000; ++i)
        log_printf("line %d %s\n", i, filler.c_str());
    const std::string log = read_file(dir / "launcher.log");
    EXPECT_LE(log.size(), static_cast<size_t>(log_cap));
    EXPECT_TRUE(log.starts_with("line ") && log.ends_with("line 2000 " + filler + "\n")) << log.substr(0, 20);
    EXPECT_EQ(log.find("an earlier run"), std::string::npos);
    EXPECT_EXIT(PANIC("%s", "the end"), ExitedWithCode(1), "the end\n\nThis report and what led to it are in " + dir / "launcher\\.log\n$");
    EXPECT_TRUE(read_file(dir / "launcher.log").find("This report and what led to it are in") != std::string::npos);
}

// Every occurrence replaced, also one that a replacement makes ("aabb" without "ab" is empty).
TEST(Strings, ReplaceUntilNoneIsLeft) {
    for (auto [text, find, by, expected] : {std::tuple{"a  b c", " ", "%20", "a%20%20b%20c"}, {"aabb", "ab", "", ""}}) {
        char* replaced = str_replace(text, find, by);
        EXPECT_STREQ(replaced, expected) << text;
        free(replaced);
    }
}

// Sizes around the 32768-byte read chunk; an entry that cannot be read is a report naming it and why.
TEST(FileHash, KnownFilesAndUnreadableEntries) {
    scratch_dir dir;
    const std::pair<size_t, const char*> rows[] = { // digests of so many 'v' by an independent SHA-1
        {0, "da39a3ee5e6b4b0d3255bfef95601890afd80709"}, {32767, "b2d36c645e29d686f3967429a88ca53a714104cf"},
        {32768, "31a6ced7366c0a1414a2eeb995e629b061619fa4"}, {32769, "6718a83c9c901dad2c0c039d9fc42d15e9156fc5"},
        {65536, "07c33601c8b7a4b96f20b15fd90dae5bc462fb4f"}};
    for (auto [size, expected] : rows) {
        write_file(dir / "f", std::string(size, 'v'));
        char* text = compute_file_hash((dir / "f").c_str());
        EXPECT_STREQ(text, expected) << size;
        free(text);
    }
    const char* unreadable[][2] = {{"f", "Is a directory"}, {"missing", "No such file or directory"}};
    std::filesystem::remove(dir / "f");
    std::filesystem::create_directory(dir / "f");
    for (const auto& [name, reason] : unreadable)
        EXPECT_EXIT(compute_file_hash((dir / name).c_str()), ExitedWithCode(1),
                    "^Cannot read " + dir / name + ": " + reason + "\n\nFatal error in src/support/utils\\.cpp");
}

