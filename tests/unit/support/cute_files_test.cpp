// The directory walker against real trees in scratch directories.
#include "support/cute_files.h"

#include <algorithm>
#include <functional>
#include <pthread.h>
#include <unistd.h>

#include "test_util.h"

namespace fs = std::filesystem;

// Copies of the records the walk handed over, in order (it reuses its own record).
static std::vector<cf_file_info> walk(const std::string& root) {
    std::vector<cf_file_info> seen;
    cf_traverse(root.c_str(), [](cf_file_info* f, void* u) { static_cast<std::vector<cf_file_info>*>(u)->push_back(*f); }, &seen);
    return seen;
}

// Creates the directory `base` + "/..." whose path has exactly `length` characters, in
// components of at most 200, and returns its path.
static std::string make_dir_of_length(const std::string& base, size_t length) {
    std::string path = base;
    while (length - path.size() > 201)
        path += "/" + std::string(length - path.size() - 201 >= 2 ? 200 : 199, 'd'); // leave "/x" at least
    path += "/" + std::string(length - path.size() - 1, 'e');
    fs::create_directories(path);
    return path;
}

// Every file and link handed over once, each directory's entries in one run, links and
// directories beginning with '.' never entered (such files are handed over), empty directories
// giving nothing; each record's name, extension, size, kind; the longest name (255) and entry
// path (1023) fit; a dangling link exists as itself.
TEST(CuteFiles, WalkHandsOverFilesAndLinksDepthFirst) {
    scratch_dir dir;
    const std::string root = dir / "game";
    const std::string long_name = std::string(251, 'n') + ".ext";
    const std::string deep = make_dir_of_length(root + "/deep", cf_max_path - 3);
    for (std::string name : {"a.txt", ".hidden", "sub/b.tar.gz", "sub/.dotfile", "sub/deeper/c", "sub/deeper/deepest/d.",
                             "other/e", ".git/config", "sub/.cache/x", long_name.c_str()})
        write_file(root + "/" + name, std::string(name.size(), 'x'));
    write_file(deep + "/x", "22");
    write_file(dir / "outside/inner/deep.txt", "outside the tree");
    fs::create_directories(root + "/empty/a/b");
    fs::create_directory_symlink(dir / "outside", root + "/linked_dir");
    fs::create_symlink(dir / "outside/inner/deep.txt", root + "/linked_file");
    fs::create_symlink(dir / "nowhere", root + "/dangling");
    EXPECT_NE(cf_file_exists((root + "/dangling").c_str()), 0);
    EXPECT_EQ(cf_file_exists((dir / "nowhere").c_str()), 0);

    std::vector<cf_file_info> seen = walk(root);
    std::vector<std::string> paths, expected;
    for (const auto& f : seen) {
        paths.push_back(f.path);
        EXPECT_TRUE(f.is_directory == 0 && f.is_regular == 1) << f.path;
        EXPECT_EQ(f.is_link != 0, paths.back().find("link") != std::string::npos || paths.back().ends_with("dangling")) << f.path;
    }
    std::sort(paths.begin(), paths.end());
    for (const std::string& name : std::vector<std::string>{"/.hidden", "/a.txt", "/dangling", deep.substr(root.size()) + "/x",
                                                             "/linked_dir", "/linked_file", "/" + long_name, "/other/e",
                                                             "/sub/.dotfile", "/sub/b.tar.gz", "/sub/deeper/c", "/sub/deeper/deepest/d."})
        expected.push_back(root + name);
    EXPECT_EQ(paths, expected);
    for (const char* subtree : {"/sub/", "/sub/deeper/", "/other/"}) {
        std::vector<size_t> at;
        for (size_t i = 0; i < seen.size(); ++i)
            if (std::string(seen[i].path).starts_with(root + subtree))
                at.push_back(i);
        EXPECT_EQ(at.back() - at.front() + 1, at.size()) << subtree;
    }
    const std::tuple<std::string, const char*, uint64_t> rows[] = {
        {"a.txt", ".txt", 5}, {".hidden", "", 7}, {"b.tar.gz", ".gz", 12}, {"d.", ".", 21}, {long_name, ".ext", 255}, {"x", "", 2}};
    for (const auto& [name, extension, size] : rows) {
        auto it = std::find_if(seen.begin(), seen.end(), [&](const cf_file_info& f) { return f.name == name; });
        ASSERT_NE(it, seen.end()) << name;
        EXPECT_STREQ(it->extension, extension) << name;
        EXPECT_EQ(it->size, size) << name;
    }
}

// The scan deletes what it is handed while the walk goes on.
TEST(CuteFiles, CallbackMayDeleteTheEntryItIsHanded) {
    scratch_dir dir;
    for (int i = 0; i < 50; ++i)
        write_file(dir / ("root/sub/f" + std::to_string(i)), "x");
    int deleted = 0;
    cf_traverse((dir / "root").c_str(), [](cf_file_info* f, void* u) { *static_cast<int*>(u) += remove(f->path) == 0; }, &deleted);
    EXPECT_EQ(deleted, 50);
}

// Levels of "d/" down to the deepest path the buffers hold, walked on a thread with 128 KiB of
// stack (far less than a frame per level); each folder reported once, after its content.
TEST(CuteFiles, TheDeepestTreeIsWalkedOnASmallStackFoldersAfterTheirContent) {
    scratch_dir dir;
    struct walk_t {
        std::string root, deep;
        std::vector<std::string> events; // "file PATH" and "done PATH", in order
    } w{dir.path.string(), dir.path.string(), {}};
    while (w.deep.size() + strlen("/d/f") < cf_max_path)
        w.deep += "/d";
    write_file(w.deep + "/f", "x");
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        auto on_file = [](cf_file_info* f, void* u) { static_cast<walk_t*>(u)->events.push_back(std::string("file ") + f->path); };
        auto on_done = [](const char* path, void* u) { static_cast<walk_t*>(u)->events.push_back(std::string("done ") + path); };
        cf_walk(static_cast<walk_t*>(arg)->root.c_str(), {on_file, on_done, false, arg});
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &w), 0);
    pthread_join(thread, nullptr);
    ASSERT_EQ(w.events.size(), (w.deep.size() - w.root.size()) / 2 + 1); // the root is not reported
    EXPECT_EQ(w.events[0] + " " + w.events[1], "file " + w.deep + "/f done " + w.deep);
    EXPECT_EQ(w.events.back(), "done " + w.root + "/d");
}

// `text` as a POSIX extended regular expression matching it literally.
static std::string quote(const std::string& text) {
    std::string out;
    for (char c : text)
        out += strchr("\\.^$|()[]{}*+?", c) != nullptr ? std::string("\\") + c : std::string(1, c);
    return out;
}

static std::string too_long(const std::string& source, int capacity) {
    return "ERROR: String \"" + quote(source) + "\" too long to copy on line [0-9]+ in file src/support/cute_files\\.cpp \\(max length of " +
           std::to_string(capacity) + "\\)\\.\nFatal error in src/support/cute_files\\.cpp:[0-9]+ \\(cf_safe_strcpy_internal\\)\n\n0";
}

// What does not fit its buffer (an entry path of 1024, a listed directory of 1022, an extension
// of 32, a name of 256) and a directory that cannot be listed end the process: the module's line
// on standard output, then the fatal report.
TEST(CuteFilesDeathTest, FatalReports) {
    scratch_dir dir;
    write_file(make_dir_of_length(dir / "root/deep", cf_max_path - 3) + "/xy", "");
    make_dir_of_length(dir / "too_deep", cf_max_path - 2);
    write_file(dir / "plain_file", "not a directory");
    const std::string extension = "." + std::string(31, 'e');
    const std::string long_name(cf_max_filename, 'n');
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[&] { walk(dir / "root"); }, too_long("xy", cf_max_path)},
        {[&] { walk(dir / "too_deep"); }, too_long("\\*", cf_max_path)},
        {[&] {
             cf_file_info file;
             strcpy(file.name, ("f" + extension).c_str());
             cf_get_ext(&file);
         },
         too_long(extension, cf_max_ext)},
        {[&] { // no file system here holds such a name: it is handed to the reader directly
             cf_dir_state state{};
             strcpy(state.path, "d");
             strcpy(state.find_data.name, long_name.c_str());
             cf_file_info file;
             cf_read_file(&state, &file);
         },
         too_long(long_name, cf_max_filename)},
        {[&] { walk(dir / "missing"); }, "ERROR: Failed to open directory \\(" + quote(dir / "missing") + "\\): No such file or directory\\.\n"},
        {[&] { walk(dir / "plain_file"); }, "\\): Not a directory\\.\nFatal error in src/support/cute_files\\.cpp:[0-9]+ \\(cf_dir_open\\)\n\n0"},
    };
    for (const auto& [run, expected] : rows) {
        auto with_stdout_on_stderr = [&] { // the module's line and the report in the order written
            fflush(stdout);
            dup2(STDERR_FILENO, STDOUT_FILENO);
            run();
        };
        EXPECT_EXIT(with_stdout_on_stderr(), ::testing::ExitedWithCode(1), expected);
    }
}
