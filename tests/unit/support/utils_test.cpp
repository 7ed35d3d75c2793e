#include "support/utils.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace fs = std::filesystem;
using test_util::scratch_dir;
using ::testing::ExitedWithCode;

// --- Fatal reports ---------------------------------------------------------------------------

TEST(FatalReport, PanicFormatsHeaderBlankLineAndMessage) {
    EXPECT_EXIT(PANIC("error %lld downloading\n%s", 404LL, "https://x/y.zs"), ExitedWithCode(1),
                "^Fatal error in tests/unit/support/utils_test\\.cpp:[0-9]+ \\(TestBody\\)\n\nerror 404 "
                "downloading\nhttps://x/y\\.zs\n$");
}

TEST(FatalReport, CheckFailedIsTheHeaderAlone) {
    EXPECT_EXIT(CHECK(1 + 1 == 3), ExitedWithCode(1),
                "^Runtime check failed in tests/unit/support/utils_test\\.cpp:[0-9]+ \\(TestBody\\)\n$");
}

TEST(FatalReport, NamesTheCallingFunctionAndItsLine) {
    int line = __LINE__ + 1;
    auto fail = [] { CHECK(false); };
    std::string expected = "tests/unit/support/utils_test\\.cpp:" + std::to_string(line) + " \\(operator\\(\\)\\)";
    EXPECT_EXIT(fail(), ExitedWithCode(1), expected);
}

TEST(FatalReport, LongMessageIsCutTo8191Bytes) {
    // The whole report, header included, is cut to 8191 characters: the tail of the message
    // is lost, and nothing overflows.
    EXPECT_EXIT(
        {
            std::string long_text(20000, 'x');
            long_text += "TAIL";
            PANIC("%s", long_text.c_str());
        },
        ExitedWithCode(1), "x{100}\n$");
}

TEST(FatalReport, ThreadsFailingTogetherGiveOneReportAndStatus1) {
    // The first report wins; the others wait for the process to end, which happens at once,
    // without tearing anything down under the threads still running.
    EXPECT_EXIT(
        {
            std::vector<std::thread> threads;
            for (int i = 0; i < 8; ++i)
                threads.emplace_back([i] { PANIC("report %d", i); });
            for (std::thread& t : threads)
                t.join();
        },
        ExitedWithCode(1), "^Fatal error in [^\n]*\n\nreport [0-7]\n$");
}

TEST(FatalReport, PlayersSentenceComesFirst) {
    EXPECT_EXIT(PANIC_FOR_PLAYER("Cannot write %s: %s", "game/a.pak", "No space left on device"), ExitedWithCode(1),
                "^Cannot write game/a\\.pak: No space left on device\n\nFatal error in "
                "tests/unit/support/utils_test\\.cpp:[0-9]+ \\(TestBody\\)\n$");
}

TEST(FatalReport, FormatWithoutPlaceholdersIsShownUnchanged) {
    EXPECT_EXIT(PANIC("Cannot download file list"), ExitedWithCode(1), "\n\nCannot download file list\n$");
}

// --- Strings ---------------------------------------------------------------------------------

TEST(Strings, Equality) {
    struct {
        const char *a, *b;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"launcher.dat", "launcher.dat", true},
        {"Launcher.dat", "launcher.dat", false},
        {"a", "ab", false},
        {"ab", "a", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(str_eq(c.a, c.b), c.equal) << c.a << " vs " << c.b;
}

TEST(Strings, ConcatMakesANewString) {
    struct {
        const char *a, *b, *expected;
    } cases[] = {{"", "", ""}, {"game/", "a b/c", "game/a b/c"}, {"x", "", "x"}, {"", "y", "y"}};
    for (const auto& c : cases) {
        char* joined = str_concat(c.a, c.b);
        EXPECT_STREQ(joined, c.expected);
        EXPECT_NE(joined, c.a);
        free(joined);
    }
}

TEST(Strings, ReplaceRepeatsUntilNoOccurrenceIsLeft) {
    struct {
        const char *s, *find, *repl, *expected;
    } cases[] = {
        {"sound/big hall.ogg", " ", "%20", "sound/big%20hall.ogg"},
        {"one two three", " ", "%20", "one%20two%20three"},
        {"a  b", " ", "%20", "a%20%20b"},
        {"nothing", " ", "%20", "nothing"},
        {"", " ", "%20", ""},
        // A replacement that joins the text around it into a new occurrence is replaced too.
        {"aabb", "ab", "", ""},
    };
    for (const auto& c : cases) {
        char* replaced = str_replace(c.s, c.find, c.repl);
        ASSERT_NE(replaced, nullptr);
        EXPECT_STREQ(replaced, c.expected) << c.s;
        EXPECT_NE(replaced, c.s); // always a copy
        free(replaced);
    }
}

// --- mkpath ----------------------------------------------------------------------------------

TEST(Mkpath, CreatesEveryParentAndRestoresTheArgument) {
    scratch_dir dir;
    struct {
        std::string path;
        std::vector<std::string> dirs;
    } cases[] = {
        {dir / "game/a/b/file.zs", {"game", "game/a", "game/a/b"}},
        {dir / "game/a/other.zs", {"game/a"}}, // existing directories are fine
        {dir / "top level.zs", {}},
    };
    for (auto& c : cases) {
        std::string copy = c.path;
        EXPECT_EQ(mkpath(copy.data()), 0) << c.path;
        EXPECT_EQ(copy, c.path);
        for (const auto& d : c.dirs)
            EXPECT_TRUE(fs::is_directory(dir.path() / d)) << d;
        EXPECT_FALSE(fs::exists(c.path));
    }
}

TEST(Mkpath, BareFileNameCreatesNothing) {
    char name[] = "file.zs";
    EXPECT_EQ(mkpath(name), 0);
    EXPECT_STREQ(name, "file.zs");
}

TEST(Mkpath, ARegularFileInTheWayCountsAsExisting) {
    scratch_dir dir;
    test_util::write_file(dir / "game", "not a directory");
    std::string path = dir / "game/a/file.zs";
    std::string copy = path;
    // "game" exists, so it is passed over; "game/a" cannot be made below a file.
    EXPECT_EQ(mkpath(copy.data()), -1);
    EXPECT_EQ(copy, path);
}

TEST(Mkpath, EmptyPathIsARuntimeCheck) {
    char empty[] = "";
    EXPECT_EXIT(mkpath(empty), ExitedWithCode(1), "Runtime check failed in src/support/utils\\.cpp:[0-9]+ \\(mkpath\\)");
    EXPECT_EXIT(mkpath(nullptr), ExitedWithCode(1), "\\(mkpath\\)");
}

// --- lerp_f32 --------------------------------------------------------------------------------

TEST(Lerp, EndpointsAreExactAndAFifthMovesAFifth) {
    struct {
        float a, b, t, expected;
    } cases[] = {
        {0.3f, 0.7f, 0.0f, 0.3f}, {0.3f, 0.7f, 1.0f, 0.7f}, {0.0f, 0.6f, 0.2f, 0.12f},
        {0.0f, 1048576.0f, 0.2f, 209715.2f}, {1048576.0f, 0.0f, 0.2f, 838860.8f},
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(lerp_f32(c.a, c.b, c.t), c.expected) << c.a << " " << c.b << " " << c.t;
    // 0.2 * 0.6 * 560 = 67.2: the overall bar's first frame fills 67 pixels.
    EXPECT_EQ(static_cast<int>(560.0f * lerp_f32(0.0f, 0.6f, 0.2f)), 67);
}

// --- compute_file_hash -----------------------------------------------------------------------

TEST(FileHash, AnEntryThatCannotBeReadIsReportedWithItsReason) {
    scratch_dir dir;
    fs::create_directories(dir.path() / "a directory");
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {{dir / "a directory", "Is a directory"}, {dir / "missing.bin", "No such file or directory"}};
    for (const auto& c : cases)
        EXPECT_EXIT(compute_file_hash(c.path.c_str()), ExitedWithCode(1),
                    "^Cannot read " + c.path + ": " + c.reason +
                        "\n\nFatal error in src/support/utils\\.cpp:[0-9]+ \\(compute_file_hash\\)\n$");
}
