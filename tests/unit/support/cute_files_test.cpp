// The directory walker against real trees in scratch directories, its record fields, its
// length limits, and its fatal reports.
#include "support/cute_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::scratch_dir;
using test_util::write_file;

// What the callback saw of one entry; the record itself is reused by the walk.
struct seen_entry {
    std::string path;
    std::string name;
    std::string extension;
    int32_t is_directory;
    int32_t is_regular;
    uint64_t size;
};

void collect(cf_file_info* file, void* udata) {
    static_cast<std::vector<seen_entry>*>(udata)->push_back({file->path, file->name,
                                                             file->extension, file->is_directory,
                                                             file->is_regular, file->size});
}

std::vector<seen_entry> walk(const std::string& root) {
    std::vector<seen_entry> seen;
    cf_traverse(root.c_str(), collect, &seen);
    return seen;
}

std::vector<std::string> sorted_paths(const std::vector<seen_entry>& seen) {
    std::vector<std::string> paths;
    for (const auto& entry : seen)
        paths.push_back(entry.path);
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Creates the directory `base` + "/..." whose path has exactly `length` characters, from
// components of at most 200 characters, and returns that path.
std::string make_dir_of_length(const std::string& base, size_t length) {
    std::string path = base;
    while (length - path.size() > 201) {
        // Leave at least "/x" for the last component.
        size_t component = length - path.size() - 201 >= 2 ? 200 : 199;
        path += "/" + std::string(component, 'd');
    }
    path += "/" + std::string(length - path.size() - 1, 'e');
    fs::create_directories(path);
    EXPECT_EQ(path.size(), length);
    return path;
}

// `text` as a POSIX extended regular expression matching it literally.
std::string regex_quote(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (strchr("\\.^$|()[]{}*+?", c) != nullptr)
            out += '\\';
        out += c;
    }
    return out;
}

// Runs `body` with standard output sent to standard error, so that a death test sees the
// module's line and the fatal report in the order they were written.
void with_stdout_on_stderr(const std::function<void()>& body) {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    body();
}

std::string report_regex(const char* function, const char* condition) {
    return std::string("Fatal error in src/support/cute_files\\.cpp:[0-9]+ \\(") + function + "\\)\n\n" +
           regex_quote(condition);
}

std::string too_long_regex(const std::string& source, int capacity) {
    return "ERROR: String \"" + regex_quote(source) +
           "\" too long to copy on line [0-9]+ in file src/support/cute_files\\.cpp \\(max length of " +
           std::to_string(capacity) + "\\)\\.\n" + report_regex("cf_safe_strcpy_internal", "0");
}

} // namespace

// --- The walk --------------------------------------------------------------------------------

TEST(CuteFilesTraverse, VisitsEveryRegularFileDepthFirstAndSkipsDotDirectories) {
    scratch_dir dir;
    const std::string root = dir / "game";
    write_file(root + "/a.txt", "hello");
    write_file(root + "/.hidden", "h");
    write_file(root + "/sub/b.tar.gz", std::string(4099, 'b'));
    write_file(root + "/sub/.dotfile", "");
    write_file(root + "/sub/deeper/c", "cc");
    write_file(root + "/sub/deeper/deepest/d.", "ddd");
    write_file(root + "/other/e", "e");
    write_file(root + "/.git/config", "never seen");
    write_file(root + "/sub/.cache/x", "never seen");
    fs::create_directories(root + "/empty");

    std::vector<seen_entry> seen = walk(root);

    std::vector<std::string> expected = {
        root + "/.hidden",
        root + "/a.txt",
        root + "/other/e",
        root + "/sub/.dotfile",
        root + "/sub/b.tar.gz",
        root + "/sub/deeper/c",
        root + "/sub/deeper/deepest/d.",
    };
    EXPECT_EQ(sorted_paths(seen), expected);

    // Each directory's files come in one run: its subtree is walked where its entry is met.
    for (const char* subtree : {"/sub/", "/sub/deeper/", "/other/"}) {
        std::vector<size_t> at;
        for (size_t i = 0; i < seen.size(); ++i) {
            if (seen[i].path.starts_with(root + subtree))
                at.push_back(i);
        }
        ASSERT_FALSE(at.empty()) << subtree;
        EXPECT_EQ(at.back() - at.front() + 1, at.size()) << subtree;
    }

    struct fields {
        const char* path;
        const char* name;
        const char* extension;
        uint64_t size;
    };
    const fields rows[] = {
        {"/a.txt", "a.txt", ".txt", 5},
        {"/.hidden", ".hidden", "", 1},
        {"/sub/b.tar.gz", "b.tar.gz", ".gz", 4099},
        {"/sub/.dotfile", ".dotfile", "", 0},
        {"/sub/deeper/deepest/d.", "d.", ".", 3},
    };
    for (const auto& row : rows) {
        auto it = std::find_if(seen.begin(), seen.end(),
                               [&](const seen_entry& e) { return e.path == root + row.path; });
        ASSERT_NE(it, seen.end()) << row.path;
        EXPECT_EQ(it->name, row.name);
        EXPECT_EQ(it->extension, row.extension) << row.path;
        EXPECT_EQ(it->size, row.size) << row.path;
        EXPECT_EQ(it->is_directory, 0) << row.path;
        EXPECT_EQ(it->is_regular, 1) << row.path;
    }
}

TEST(CuteFilesTraverse, TheDeepestTreeIsWalkedOnASmallStackFoldersAfterTheirContent) {
    // Levels of "d/" down to the deepest path the walker's buffers hold, walked on a thread of
    // 128 KiB of stack, far less than a frame per level would need.
    scratch_dir dir;
    struct walk_t {
        std::string root, deep;
        std::vector<std::string> events; // "file PATH" and "done PATH", in order
    } w{dir.path().string(), dir.path().string(), {}};
    while (w.deep.size() + strlen("/d/f") < cf_max_path)
        w.deep += "/d";
    fs::create_directories(w.deep);
    write_file(w.deep + "/f", "x");
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        auto* w = static_cast<walk_t*>(arg);
        auto on_file = [](cf_file_info* f, void* u) { static_cast<walk_t*>(u)->events.push_back(std::string("file ") + f->path); };
        auto on_done = [](const char* path, void* u) { static_cast<walk_t*>(u)->events.push_back(std::string("done ") + path); };
        cf_walk(w->root.c_str(), {on_file, on_done, false, w});
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &w), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    // The file, then each folder once, children before parents, the root not among them.
    size_t levels = (w.deep.size() - w.root.size()) / 2;
    ASSERT_EQ(w.events.size(), levels + 1);
    EXPECT_EQ(w.events.front(), "file " + w.deep + "/f");
    EXPECT_EQ(w.events[1], "done " + w.deep);
    EXPECT_EQ(w.events.back(), "done " + w.root + "/d");
}

TEST(CuteFilesTraverse, EmptyDirectoriesProduceNoCallback) {
    scratch_dir dir;
    fs::create_directories(dir / "root/a/b/c");
    fs::create_directories(dir / "root/empty");
    EXPECT_TRUE(walk(dir / "root").empty());
}

TEST(CuteFilesTraverse, LinksAreHandedOverAndNeverFollowed) {
    scratch_dir dir;
    const std::string root = dir / "root";
    write_file(dir / "outside/secret.txt", "outside the tree");
    write_file(dir / "outside/inner/deep.txt", "outside the tree");
    fs::create_directories(root);
    fs::create_directory_symlink(dir / "outside", root + "/linked_dir");
    fs::create_symlink(dir / "outside/secret.txt", root + "/linked_file");
    fs::create_symlink(dir / "nowhere", root + "/dangling");

    std::vector<seen_entry> seen = walk(root);

    std::vector<std::string> expected = {root + "/dangling", root + "/linked_dir",
                                         root + "/linked_file"};
    EXPECT_EQ(sorted_paths(seen), expected);
    for (const auto& entry : seen) {
        EXPECT_EQ(entry.is_directory, 0) << entry.path;
        EXPECT_EQ(entry.is_regular, 1) << entry.path;
    }
}

TEST(CuteFilesTraverse, CallbackMayDeleteTheEntryItIsHanded) {
    scratch_dir dir;
    const std::string root = dir / "root";
    for (int i = 0; i < 50; ++i)
        write_file(root + "/sub/f" + std::to_string(i), "x");
    int deleted = 0;
    cf_traverse(
        root.c_str(),
        [](cf_file_info* file, void* udata) {
            if (remove(file->path) == 0)
                ++*static_cast<int*>(udata);
        },
        &deleted);
    EXPECT_EQ(deleted, 50);
    EXPECT_TRUE(fs::is_empty(root + "/sub"));
}

// --- Listing ---------------------------------------------------------------------------------

TEST(CuteFilesListing, DescribesEveryEntryAndKeepsThePathWithoutPattern) {
    scratch_dir dir;
    const std::string root = dir / "root";
    write_file(root + "/file.bin", std::string(3000, 'z'));
    fs::create_directories(root + "/sub");

    cf_dir_state state;
    ASSERT_EQ(cf_dir_open(&state, root.c_str()), 1);
    EXPECT_EQ(std::string(state.path), root);
    std::vector<seen_entry> seen;
    while (state.has_next) {
        cf_file_info file;
        EXPECT_EQ(cf_read_file(&state, &file), 1);
        collect(&file, &seen);
        cf_dir_next(&state);
    }
    EXPECT_EQ(std::string(state.path), root);
    cf_dir_close(&state);
    EXPECT_EQ(state.path[0], '\0');
    EXPECT_EQ(state.has_next, 0);
    cf_dir_close(&state); // a second close is harmless

    std::sort(seen.begin(), seen.end(),
              [](const seen_entry& a, const seen_entry& b) { return a.name < b.name; });
    ASSERT_EQ(seen.size(), 4u);
    struct kind {
        const char* name;
        int32_t is_directory;
        int32_t is_regular;
    };
    const kind expected[] = {{".", 1, 0}, {"..", 1, 0}, {"file.bin", 0, 1}, {"sub", 1, 0}};
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].name, expected[i].name);
        EXPECT_EQ(seen[i].path, root + "/" + expected[i].name);
        EXPECT_EQ(seen[i].is_directory, expected[i].is_directory) << seen[i].name;
        EXPECT_EQ(seen[i].is_regular, expected[i].is_regular) << seen[i].name;
    }
    EXPECT_EQ(seen[2].size, 3000u);
}

// --- Extensions ------------------------------------------------------------------------------

TEST(CuteFilesExtension, FromTheLastDotThatIsNotTheFirstCharacter) {
    struct row {
        const char* name;
        const char* extension;
    };
    const row rows[] = {
        {".hidden", ""},
        {"a.b.c", ".c"},
        {"name.", "."},
        {"noext", ""},
        {"", ""},
        {"..", "."},
        {"x.", "."},
        {".config.json", ".json"},
        {"archive.tar.gz", ".gz"},
        {"f.012345678901234567890123456789", ".012345678901234567890123456789"}, // 31 fit
    };
    for (const auto& r : rows) {
        cf_file_info file;
        // Leftovers of a longer name behind the terminator must not be read.
        memset(file.name, '.', sizeof file.name);
        memset(file.extension, 'j', sizeof file.extension);
        strcpy(file.name, r.name);
        cf_get_ext(&file);
        EXPECT_STREQ(file.extension, r.extension) << '"' << r.name << '"';
        EXPECT_EQ(cf_match_ext(&file, r.extension), 1) << r.name;
    }
}

// --- Length limits -----------------------------------------------------------------------

TEST(CuteFilesLimits, LongestNameAndEntryPathFit) {
    scratch_dir dir;
    const std::string root = dir / "root";
    const std::string long_name = std::string(251, 'n') + ".ext";
    ASSERT_EQ(long_name.size(), 255u);
    write_file(root + "/" + long_name, "1");
    // A directory of 1021 characters is listed, and its one-character file has a path of 1023.
    const std::string deep = make_dir_of_length(root + "/deep", cf_max_path - 3);
    write_file(deep + "/x", "22");

    std::vector<seen_entry> seen = walk(root);

    ASSERT_EQ(seen.size(), 2u);
    std::sort(seen.begin(), seen.end(), [](const seen_entry& a, const seen_entry& b) {
        return a.name.size() > b.name.size();
    });
    EXPECT_EQ(seen[0].name, long_name);
    EXPECT_EQ(seen[0].extension, ".ext");
    EXPECT_EQ(seen[1].path, deep + "/x");
    EXPECT_EQ(seen[1].path.size(), static_cast<size_t>(cf_max_path - 1));
    EXPECT_EQ(seen[1].size, 2u);
}

TEST(CuteFilesLimits, DirectoryOfMaximalLengthOpens) {
    scratch_dir dir;
    const std::string deep = make_dir_of_length(dir / "deep", cf_max_path - 3);
    cf_dir_state state;
    ASSERT_EQ(cf_dir_open(&state, deep.c_str()), 1);
    EXPECT_EQ(std::string(state.path), deep);
    cf_dir_close(&state);
}

// --- Fatal reports -----------------------------------------------------------------------

using CuteFilesDeathTest = ::testing::Test;

TEST_F(CuteFilesDeathTest, CopiesThatDoNotFitEndTheProcess) {
    scratch_dir dir;
    const std::string root = dir / "root";
    // An entry path of 1024 characters: a two-character name in a directory of 1021.
    const std::string deep = make_dir_of_length(root + "/deep", cf_max_path - 3);
    write_file(deep + "/xy", "");
    const std::string too_deep = make_dir_of_length(dir / "too_deep", cf_max_path - 2);
    const std::string max_extension = "." + std::string(31, 'e');
    const std::string long_name(cf_max_filename, 'n');

    struct row {
        const char* what;
        std::function<void()> run;
        std::string expected;
    };
    const row rows[] = {
        {"entry path of 1024 characters", [&] { walk(root); }, too_long_regex("xy", cf_max_path)},
        {"directory path of 1022 characters",
         [&] {
             cf_dir_state state;
             cf_dir_open(&state, too_deep.c_str());
         },
         too_long_regex("\\*", cf_max_path)},
        {"walk into a directory of 1022 characters", [&] { walk(dir / "too_deep"); },
         too_long_regex("\\*", cf_max_path)},
        {"extension of 32 characters",
         [&] {
             cf_file_info file;
             strcpy(file.name, ("f" + max_extension).c_str());
             cf_get_ext(&file);
         },
         too_long_regex(max_extension, cf_max_ext)},
        {"name of 256 characters",
         [&] {
             // No file system here holds such a name: hand one to the reader directly.
             cf_dir_state state{};
             state.handle = 0;
             state.has_next = 1;
             strcpy(state.path, "d");
             strcpy(state.find_data.name, long_name.c_str());
             cf_file_info file;
             cf_read_file(&state, &file);
         },
         too_long_regex(long_name, cf_max_filename)},
        {"appending at the last index",
         [&] {
             char buffer[8];
             int n = cf_safe_strcpy(buffer, "abcdef", 0, sizeof buffer);
             EXPECT_EQ(n, 7);
             cf_safe_strcpy(buffer, "gh", n - 1, sizeof buffer);
         },
         too_long_regex("gh", 8)},
    };
    for (const auto& r : rows) {
        EXPECT_EXIT(with_stdout_on_stderr(r.run), ::testing::ExitedWithCode(1), r.expected)
            << r.what;
    }
}

TEST_F(CuteFilesDeathTest, DirectoryThatCannotBeListedEndsTheProcess) {
    scratch_dir dir;
    const std::string missing = dir / "missing";
    write_file(dir / "plain_file", "not a directory");
    struct row {
        std::string path;
        const char* reason;
    };
    const row rows[] = {{missing, "No such file or directory"},
                        {dir / "plain_file", "Not a directory"}};
    for (const auto& r : rows) {
        const std::string expected = "ERROR: Failed to open directory \\(" + regex_quote(r.path) +
                                     "\\): " + r.reason + "\\.\n" +
                                     report_regex("cf_dir_open", "0");
        EXPECT_EXIT(with_stdout_on_stderr([&] { walk(r.path); }), ::testing::ExitedWithCode(1),
                    expected);
    }
}

TEST_F(CuteFilesDeathTest, ListingMisuseEndsTheProcess) {
    scratch_dir dir;
    const std::string root = dir / "root";
    fs::create_directories(root);
    auto exhausted = [&] {
        cf_dir_state state;
        cf_dir_open(&state, root.c_str());
        while (state.has_next)
            cf_dir_next(&state);
        cf_dir_next(&state);
    };
    EXPECT_EXIT(exhausted(), ::testing::ExitedWithCode(1),
                report_regex("cf_dir_next", "dir->has_next"));
    auto read_after_close = [&] {
        cf_dir_state state;
        cf_dir_open(&state, root.c_str());
        cf_dir_close(&state);
        cf_file_info file;
        cf_read_file(&state, &file);
    };
    EXPECT_EXIT(read_after_close(), ::testing::ExitedWithCode(1),
                report_regex("cf_read_file", "dir->handle != platform_invalid_find_handle"));
}

// --- Existence and times -------------------------------------------------------------------

TEST(CuteFilesTimes, ExistenceCountsLinksAsThemselves) {
    scratch_dir dir;
    write_file(dir / "file", "x");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_NE(cf_file_exists((dir / "file").c_str()), 0);
    EXPECT_NE(cf_file_exists(dir.path().c_str()), 0);
    EXPECT_NE(cf_file_exists((dir / "dangling").c_str()), 0);
    EXPECT_EQ(cf_file_exists((dir / "nowhere").c_str()), 0);
}

TEST(CuteFilesTimes, LastWriteTimeInFileTimeTicks) {
    scratch_dir dir;
    const std::string path = dir / "file";
    write_file(path, "x");
    // 2001-09-09 01:46:40.5 UTC in 100 ns ticks since 1601.
    const auto unix_time =
        std::chrono::sys_seconds(std::chrono::seconds(1000000000)) + std::chrono::milliseconds(500);
    fs::last_write_time(path, std::chrono::file_clock::from_sys(unix_time));
    constexpr uint64_t expected_ticks = (1000000000ULL + 11644473600ULL) * 10000000ULL + 5000000;

    platform_file_time time{1, 1};
    ASSERT_EQ(cf_get_file_time(path.c_str(), &time), 1);
    EXPECT_EQ((static_cast<uint64_t>(time.high) << 32) | time.low, expected_ticks);

    time = {123, 456};
    EXPECT_EQ(cf_get_file_time((dir / "missing").c_str(), &time), 0);
    EXPECT_EQ(time.low, 0u);
    EXPECT_EQ(time.high, 0u);
}

TEST(CuteFilesTimes, ComparesByPath) {
    scratch_dir dir;
    const std::string older = dir / "older";
    const std::string newer = dir / "newer";
    const std::string missing = dir / "missing";
    write_file(older, "o");
    write_file(newer, "n");
    const auto now = fs::file_time_type::clock::now();
    fs::last_write_time(older, now - std::chrono::hours(1));
    fs::last_write_time(newer, now);

    struct row {
        const std::string& a;
        const std::string& b;
        int expected;
    };
    const row rows[] = {
        {older, newer, -1},    {newer, older, 1},    {older, older, 0},
        {missing, missing, 0}, {missing, older, -1}, {newer, missing, 1},
    };
    for (const auto& r : rows)
        EXPECT_EQ(cf_compare_file_times_by_path(r.a.c_str(), r.b.c_str()), r.expected)
            << r.a << " vs " << r.b;

    // The high halves decide before the low ones.
    const platform_file_time low_big{0xffffffffu, 1};
    const platform_file_time high_big{0, 2};
    EXPECT_EQ(cf_compare_file_times(&low_big, &high_big), -1);
    EXPECT_EQ(cf_compare_file_times(&high_big, &low_big), 1);
    EXPECT_EQ(cf_compare_file_times(&high_big, &high_big), 0);
}
