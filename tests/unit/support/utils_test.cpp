#include "support/utils.h"

#include <thread>

#include "test_util.h"

using ::testing::ExitedWithCode;

// The reports' text: the developer's line (file, line, function) then the message; the player's
// sentence first; a long report cut to 8191 bytes; threads failing together give one report.
TEST(FatalReport, Formats) {
    const std::pair<void (*)(), std::string> rows[] = {
        {[] { PANIC("error %d downloading\n%s", 404, "https://x/y.zs"); },
         "^Fatal error in tests/unit/support/utils_test\\.cpp:[0-9]+ \\(operator\\(\\)\\)\n\nerror 404 downloading\nhttps://x/y\\.zs\n$"},
        {[] { CHECK(1 + 1 == 3); }, "^Runtime check failed in tests/unit/support/utils_test\\.cpp:" + std::to_string(__LINE__) + " \\(operator\\(\\)\\)\n$"},
        {[] { PANIC_FOR_PLAYER("Cannot write %s: %s", "game/a.pak", "No space left on device"); },
         "^Cannot write game/a\\.pak: No space left on device\n\nFatal error in tests/unit/support/utils_test\\.cpp:[0-9]+ \\(operator\\(\\)\\)\n$"},
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

// Joined, then every " " replaced until none is left (also one a replacement makes: "aabb"
// without "ab" is empty), always into a new string; comparison byte for byte; lerp exact at its ends.
TEST(Strings, ConcatReplaceEqualLerp) {
    const char* rows[][5] = {{"game/", "a b/c", " ", "%20", "game/a%20b/c"}, {"", "x y  z", " ", "%20", "x%20y%20%20z"},
                             {"x", "", "x", "", ""}, {"aa", "bb", "ab", "", ""}};
    for (const auto& [a, b, find, repl, expected] : rows) {
        char* joined = str_concat(a, b);
        char* replaced = str_replace(joined, find, repl);
        EXPECT_EQ(std::string(a) + b, joined);
        EXPECT_STREQ(replaced, expected) << joined;
        free(joined);
        free(replaced);
    }
    EXPECT_TRUE(str_eq("launcher.dat", "launcher.dat"));
    EXPECT_FALSE(str_eq("Launcher.dat", "launcher.dat") || str_eq("a", "ab"));
    EXPECT_EQ(lerp_f32(0.3f, 0.7f, 0.0f), 0.3f);
    EXPECT_EQ(lerp_f32(0.3f, 0.7f, 1.0f), 0.7f);
    EXPECT_FLOAT_EQ(lerp_f32(1048576.0f, 0.0f, 0.2f), 838860.8f);
}

// Every parent directory is made (existing ones are fine) and the argument comes back unchanged;
// a file in the way fails; an empty path is a runtime check.
TEST(Mkpath, CreatesParentsAndRestoresTheArgument) {
    scratch_dir dir;
    write_file(dir / "file", "not a directory");
    const std::pair<std::string, int> rows[] = {{dir / "game/a/b/f.zs", 0}, {dir / "game/a/g.zs", 0}, {"bare.zs", 0},
                                                {dir / "file/a/f.zs", -1}};
    for (const auto& [path, result] : rows) {
        std::string copy = path;
        EXPECT_EQ(mkpath(copy.data()), result) << path;
        EXPECT_EQ(copy, path);
        EXPECT_EQ(std::filesystem::is_directory(std::filesystem::path(path).parent_path()), result == 0 && path != "bare.zs");
    }
    char empty[] = "";
    EXPECT_EXIT(mkpath(empty), ExitedWithCode(1), "Runtime check failed in src/support/utils\\.cpp:[0-9]+ \\(mkpath\\)");
}

// Sizes around the 32768-byte read chunk give the digests of an independent SHA-1; an entry
// that cannot be read is a report for the player naming it and why.
TEST(FileHash, KnownFilesAndUnreadableEntries) {
    scratch_dir dir;
    const std::pair<size_t, const char*> rows[] = {
        {0, "da39a3ee5e6b4b0d3255bfef95601890afd80709"}, {32767, "5ae8036b5c5acc58ffba87295aa7f68a60a3c089"},
        {32768, "a5e4a25a694709645e244ff1ef17fa721329bbcf"}, {32769, "9961e77740d6303eb857087a11be2102860cdc47"},
        {65536, "14bb9ad73f541faad1d0aeb0c16a804d89b34545"}};
    for (auto [size, expected] : rows) {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; i++)
            content[i] = static_cast<char>(static_cast<uint32_t>(i * 2654435761u) >> 24);
        write_file(dir / "f", content);
        char* text = compute_file_hash((dir / "f").c_str());
        EXPECT_STREQ(text, expected) << size;
        free(text);
    }
    const char* unreadable[][2] = {{"f", "Is a directory"}, {"missing", "No such file or directory"}};
    std::filesystem::remove(dir / "f");
    std::filesystem::create_directory(dir / "f");
    for (const auto& [name, reason] : unreadable)
        EXPECT_EXIT(compute_file_hash((dir / name).c_str()), ExitedWithCode(1),
                    "^Cannot read " + dir / name + ": " + reason + "\n\nFatal error in src/support/utils\\.cpp:[0-9]+ \\(compute_file_hash\\)\n$");
}

