// src/format owns what crosses the wire or the disk: the value stream, the file list and its name
// rules, the signed statement, the state file and patches; it may include src/support and
// src/platform.
//
// manifest: the file list. Reading it into the game-file table, and the rules a listed name
// must follow to be safe on every client. The launcher and velm-publish share these rules, so
// a publish refuses exactly what the launcher would refuse.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

// One entry of the file list. Written by the coordinator before any job exists; afterwards
// only the local scan writes the local_* fields and partial_exists, also before the jobs are
// queued, and the worker holding the entry's job writes its stamp.
struct game_file_t {
    char* name;          // path below "game/", '/' between levels; owned, kept for the whole run
    uint64_t size;       // listed size in bytes, as installed
    char* hash;          // listed SHA-1, 40 lowercase hex digits; owned
    uint64_t local_size; // size of the local copy the scan found
    bool local_exists;   // the scan found a local copy (an empty listed file may lack one)
    bool local_is_link = false;  // what stands at the name is a link: never read through
    bool partial_exists = false; // the scan kept "<name>.zs", an earlier transfer's temporary
    bool stamp_known = false;    // `stamp` describes the local copy as verified in this run
    platform_file_stamp stamp = {};
};

// The file list: entries in list order, an index by name, and one by name folded as Windows
// compares names (manifest_fold_case). Entries never move once read, so jobs hold plain
// pointers into `files`. parse_manifest fills both indexes; a list it accepts has no two
// names that fold alike, so each folded name leads to one entry.
struct game_file_table {
    std::vector<game_file_t> files;
    std::unordered_map<std::string_view, game_file_t*> by_name;
    std::unordered_map<std::string, game_file_t*> by_folded_name;

    game_file_table() = default;
    game_file_table(const game_file_table&) = delete;
    game_file_table& operator=(const game_file_table&) = delete;
    ~game_file_table(); // frees every entry's name and hash
};

// The longest path the launcher builds for a name: "game/" + name + ".upd_old", with its NUL,
// must fit the directory walker's 1024-byte paths.
constexpr size_t manifest_max_name = 1024 - sizeof("game/") - sizeof(".upd_old") + 1;
// A component's bytes, as file systems count them. A file's own name also carries the
// temporary suffixes ".zs" and ".upd_old" beside it, so it must be 8 bytes shorter.
constexpr size_t manifest_max_component = 255;
constexpr size_t manifest_max_file_component = manifest_max_component - (sizeof(".upd_old") - 1);

// Reads a decompressed file list from `f` into the empty `table`. A malformed list, an unsafe
// name, conflicting names or a malformed digest end the process with a fatal report naming the
// entry, before the caller has touched anything on disk.
void parse_manifest(FILE* f, game_file_table* table);

// Reads the entries of a decompressed file list into the empty `table` and indexes them
// without applying the name rules (the first of two alike names gets the index). For a list
// that is only consulted, such as the live one a publish reuses files from; a malformed value
// stream still ends the process.
void read_manifest_entries(FILE* f, game_file_table* table);

// Why `name` cannot be a listed name (a short text), or null when it is safe.
const char* manifest_name_problem(std::string_view name);

// A sentence naming two entries of `table` that clash on disk, or "" when none do:
// one name twice or in two letter cases (Windows folds them into one file), directories that
// differ only in letter case ("Sub/x" and "sub/y"), a name that is also a directory of another
// ("a" and "a/b"), or a name plus ".zs" or ".upd_old", the temporary names the download uses
// beside it, listed as a file or used as a directory. Uses only `table.files`. Its heap peaks
// below 1.5 bytes per byte of the decompressed list (the names folded, never longer than the
// names, and an index each), however deep the names: the list caps bound it.
std::string manifest_conflict(const game_file_table& table);

// Ends the process with a fatal report when manifest_conflict finds a clash.
void manifest_refuse_conflicts(const game_file_table& table);

// `name` with each letter folded as Windows compares file names (name_fold_code_point), read
// as UTF-8: two names are one file on Windows when they fold alike. Never longer than `name`.
// Bytes that are not valid UTF-8 are kept as they are.
std::string manifest_fold_case(std::string_view name);

// The entry named exactly `name`, or null.
game_file_t* find_game_file(const game_file_table& table, std::string_view name);

// The entry whose name folds as `name` does (manifest_fold_case), or null: how Windows finds
// a listed file under a local name of another letter case.
game_file_t* find_game_file_ignoring_case(const game_file_table& table, std::string_view name);
