// The directory walker against real trees in scratch directories.
#include "support/cute_files.h"

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

// Creates and returns the directory `base` + "/..." of exactly `length` characters.
static std::string make_dir_of_length(const std::string& base, size_t length) {
    std::string path = base;
    while (length - path.size() > 201)
        path += "/" + std::string(length - path.size() - 201 >= 2 ? 200 : 199, 'd'); // leave "/x" at least
    path += "/" + std::string(length - path.size() - 1, 'e');
    fs::create_directories(path);
    return path;
}

// Files and links handed over once, as files; links and dot-directories never entered; 255-byte names (a 55-byte extension), 1023 paths.
TEST(CuteFiles, WalkHandsOverFilesAndLinksOnce) {
    scratch_dir dir;
    const std::string root = dir / "game";
    const std::string long_ext = "." + std::string(54, 'e'), long_name = std::string(200, 'n') + long_ext;
    const std::string deep = make_dir_of_length(root + "/deep", cf_max_path - 3).substr(root.size() + 1) + "/x";
    const std::string names[] = {"a.txt", ".hidden", "sub/b.tar.gz", "sub/.dotfile", "sub/deeper/c", "sub/deeper/deepest/d.",
                                 "other/e", ".git/config", "sub/.cache/x", long_name, deep};
    for (const std::string& name : names)
        write_file(root + "/" + name, std::string(name.size(), 'x'));
    write_file(dir / "outside/inner/deep.txt", "outside the tree");
    fs::create_directories(root + "/empty/a/b");
    fs::create_directory_symlink(dir / "outside", root + "/linked_dir");
    fs::create_symlink(dir / "outside/inner/deep.txt", root + "/linked_file");
    fs::create_symlink(dir / "nowhere", root + "/dangling");

    std::vector<cf_file_info> seen = walk(root);
    std::vector<std::string> order;
    for (const auto& f : seen) {
        order.push_back(std::string(f.path).substr(root.size() + 1));
        bool link = order.back().find("link") == 0 || order.back() == "dangling";
        EXPECT_TRUE(f.is_directory == 0 && f.is_regular == 1 && f.is_link == link) << f.path;
    }
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<std::string>{".hidden", "a.txt", "dangling", deep, "linked_dir", "linked_file", long_name, "other/e",
                                               "sub/.dotfile", "sub/b.tar.gz", "sub/deeper/c", "sub/deeper/deepest/d."}));
    const std::tuple<std::string, const char*, uint64_t> rows[] = {
        {"a.txt", ".txt", 5}, {".hidden", "", 7}, {"d.", ".", 21}, {long_name, long_ext.c_str(), 255}, {"x", "", deep.size()}};
    for (const auto& [name, extension, size] : rows) {
        auto it = std::find_if(seen.begin(), seen.end(), [&](const cf_file_info& f) { return f.name == name; });
        ASSERT_NE(it, seen.end()) << name;
        EXPECT_TRUE(it->extension == std::string(extension) && it->size == size) << name << ": " << it->extension << " " << it->size;
    }
}

// The deepest tree the buffers hold, on 128 KiB of stack; each folder reported once, after its content.
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
    EXPECT_EQ(w.events[0] + " " + w.events[1] + " " + w.events.back(), "file " + w.deep + "/f done " + w.deep + " done " + w.root + "/d");
}

// The player's sentence naming the folder (or the name), then, below it, where: a fatal report.
static std::string report(const std::string& sentence) {
    return "\n" + sentence + "[^\n]*\n.*\nFatal error in [^\n]*\n$";
}

static std::string too_long(const std::string& source, int capacity, const std::string& folder = "") {
    return "ERROR: String \"" + source + "\" too long to copy on line [0-9]+ in file src/support/cute_files\\.cpp \\(max length of " +
           std::to_string(capacity) + "\\)\\." +
           (folder.empty() ? report("A name in the game folder is longer than the launcher can handle")
                           : report("The launcher cannot go through the folder " + folder + ": a path in it is longer"));
}

// Runs `body` with standard output on standard error: the module's line, then the fatal report.
static void on_stderr(const std::function<void()>& body) {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    body();
}

// A path of 1024, a listed directory of 1022, a directory that cannot be listed; a name of 765 bytes fits.
TEST(CuteFilesDeathTest, FatalReports) {
    scratch_dir dir;
    write_file(dir / "plain_file", "not a directory");
    const std::string deep = make_dir_of_length(dir / "root/deep", cf_max_path - 3), too_deep = make_dir_of_length(dir / "too_deep", cf_max_path - 2);
    write_file(deep + "/xy", "");
    const std::pair<std::string, std::string> rows[] = {
        {"root", too_long("xy", cf_max_path, deep)}, {"too_deep", too_long("\\\\\\*", cf_max_path, too_deep)},
        {"missing", "ERROR: Failed to open directory \\(" + dir / "missing" + "\\): No such file or directory\\." +
                        report("The launcher cannot go through the folder " + dir / "missing" + ": No such file or directory")},
        {"plain_file", "\\): Not a directory\\." + report("The launcher cannot go through the folder [^:]*plain_file: Not a directory")}};
    for (const auto& [name, expected] : rows)
        EXPECT_EXIT(on_stderr([&] { walk(dir / name); }), ExitedWithCode(1), expected) << name;
    // The longest name a Windows listing returns, 255 characters of 3 bytes each (no file system here holds it).
    std::string longest;
    for (int i = 0; i < 255; ++i)
        longest += "\u20ac";
    cf_dir_state state{};
    memcpy(state.find_data.name, longest.c_str(), longest.size() + 1);
    cf_file_info file;
    cf_read_file(&state, &file);
    EXPECT_EQ(file.name + std::string("|") + file.path, longest + "|/" + longest);
}
