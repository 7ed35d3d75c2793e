// tree: the update server's tree under ROOT, its releases and what is recorded about them, and
// the switch that makes one of them live.
//
//   ROOT/windows -> releases/<id>       what the launcher's base URL serves (the live tree)
//   ROOT/releases/<id>/                 one release: manifest.dat.zs, <name>.zs per file,
//                                       .patches/, and its record .velm/release
//   ROOT/releases/.lock                 held while a command changes ROOT; one at a time
//   ROOT/releases/.sequence             the highest publish sequence ever given, kept for good
// A tree is never written once the link has pointed at it (but for its statement, which
// resign replaces in one rename), so the live tree's list proves its .zs.
//
// ROOT may serve other trees beside the game's under links of their own (--link NAME, such as
// the launcher's own files as "launcher-windows"): each has its releases in "releases-NAME",
// with their own lock and sequence, and the same switch. "windows" keeps "releases".
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/signature.h"
#include "publish/io.h"

constexpr const char* live_link_name = "windows";
constexpr const char* releases_dir_name = "releases";
constexpr const char* lock_name = ".lock";
constexpr const char* sequence_file_name = ".sequence";
// A temporary link is ROOT/.<link name>.<id>, renamed over the link.
// A release's record, in its tree below a directory whose name begins with '.': no listed file
// can have that name, and no launcher asks for it.
constexpr const char* release_info_dir = ".velm";
constexpr const char* release_info_name = ".velm/release";
constexpr size_t default_kept_trees = 3; // the live one, the one it replaced, one more
constexpr size_t min_kept_trees = 2;     // players still downloading need the replaced one
constexpr size_t label_max_size = 4096;

struct release_t {
    uint64_t number;
    std::string id; // "<number>-<UTC time>", the directory's name
};

// The release a directory name stands for, or false when the name is not one.
bool parse_release(const std::string& id, release_t* release);
// "000007-20270105T120000Z" for release 7 made at `time` (seconds since 1970, UTC).
std::string release_id(uint64_t number, int64_t time);

// Why `name` cannot name a served link (a short text), or null: 1 to 64 letters, digits, '_' and
// '-', not beginning with "releases" nor with '-'.
const char* link_name_problem(std::string_view name);

struct server_tree {
    fs::path root;
    fs::path link;              // ROOT/windows, or ROOT/<link name>
    fs::path releases;          // ROOT/releases, or ROOT/releases-<link name>
    fs::path live;              // the directory the link serves now; empty when there is none
    std::string live_release;   // its id when it is one of our releases (never written again)
    bool live_is_plain = false; // windows/ is a directory, not a link
    int lock_fd = -1;           // held by open_tree; closed (the lock released) with the tree

    server_tree() = default;
    server_tree(const server_tree&) = delete;
    server_tree& operator=(const server_tree&) = delete;
    ~server_tree();
};

// Finds what ROOT/<link> serves, writing nothing; fails when ROOT has no releases/ nor windows.
void locate_tree(const fs::path& root, server_tree* tree, const std::string& link = live_link_name);
// Makes the link's releases folder, takes its lock (or fails at once: another command holds it),
// then locates the tree, and removes what killed publishes of this link left at the top of ROOT.
void open_tree(const fs::path& root, server_tree* tree, const std::string& link = live_link_name);
// Every release under releases/, newest (highest number) first.
std::vector<release_t> list_releases(const server_tree& tree);
// The release `text` names: its id, its number ("7" or "000007"), or "live".
bool find_release(const server_tree& tree, std::string_view text, release_t* release);
// Whether the release tree `dir` is complete (its list was written, last).
bool is_complete(const fs::path& dir);
// Reads the statement of the tree `dir` into `statement`: `none` when it has none, `unreadable`
// (why in `problem`, naming the file) when it cannot be read or parsed.
enum class statement_found { none, read, unreadable };
statement_found read_statement(const fs::path& dir, list_statement* statement,
                               std::string* problem);

// --- What is recorded about a release -------------------------------------------------------
struct release_info {
    std::string id;
    int64_t published = 0;   // seconds since 1970, UTC
    uint64_t sequence = 0;   // the publish's sequence; 0: not recorded (an older publisher's tree)
    std::string label;       // the vendor's text, lines separated by '\n'; may be empty
    std::string rollback_of; // the release whose files it serves again, for a rollback
};

// Why `label` cannot be a release's label (a short text), or null: at most label_max_size
// bytes, valid UTF-8, no control character but line feeds and tabs.
const char* label_problem(std::string_view label);
std::string release_info_text(const release_info& info);
bool parse_release_info(std::string_view text, release_info* info);
bool write_release_info(const fs::path& dir, const release_info& info, std::string* error);
// The record of `release`; one without a readable record gets its id, its time from the id, and
// the sequence of its statement if it has one.
release_info read_release_info(const server_tree& tree, const release_t& release);

// --- Sequences ----------------------------------------------------------------------------------
// The highest sequence given so far: the largest of ROOT/releases/.sequence, the kept trees'
// records and their statements. A .sequence or a live statement that cannot be read stops the
// command: numbering again from 1 would make every launcher take the next list for an older one.
uint64_t highest_sequence(const server_tree& tree);
// Records `sequence` in ROOT/releases/.sequence (atomically), when it is higher; false with the
// reason in *error when it cannot.
bool record_sequence(const server_tree& tree, uint64_t sequence, std::string* error);

// --- The switch
// ----------------------------------------------------------------------------------- Points
// ROOT/windows at releases/<id> with one rename. A plain windows/ directory is swapped with the new
// link in one step where the file system can (then moved into releases/ as `previous_id`);
// elsewhere it is moved away first, and windows/ is missing for a moment.
void switch_live(const server_tree& tree, const std::string& id, const std::string& previous_id);
// Removes the trees no player needs: all but the live one, the one it replaced, and the newest
// other complete trees, `keep` trees in all. Trees of killed publishes go too.
void prune(const server_tree& tree, const std::string& live_id, const std::string& replaced_id,
           size_t keep);
