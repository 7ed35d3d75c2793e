// manifest: the file list. Reading it into the game-file table, and the rules a listed name
// must follow to be safe on every client.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform.h"

// One entry of the file list. Written by the coordinator before any job exists; afterwards
// only the local scan writes the local_* fields and partial_exists, also before the jobs are
// queued, and the worker holding the entry's job writes its stamp.
struct game_file_t {
    char* name; // path below "game/", '/' between levels; owned, kept for the whole run
    uint64_t size; // listed size in bytes, as installed
    char* hash; // listed SHA-1, 40 lowercase hex digits; owned
    uint64_t local_size; // size of the local copy the scan found
    bool local_exists; // the scan found a local copy (an empty listed file may lack one)
    bool local_is_link = false; // what stands at the name is a link: never read through
    bool partial_exists = false; // the scan kept "<name>.zs", an earlier transfer's temporary
    bool stamp_known = false; // `stamp` describes the local copy as verified in this run
    platform_file_stamp stamp = {};
};

// The file list: entries in list order, and an index by name. Entries never move once read,
// so jobs hold plain pointers into `files`.
struct game_file_table {
    std::vector<game_file_t> files;
    std::unordered_map<std::string_view, game_file_t*> by_name;

    game_file_table() = default;
    game_file_table(const game_file_table&) = delete;
    game_file_table& operator=(const game_file_table&) = delete;
    ~game_file_table(); // frees every entry's name and hash
};

// The longest path the launcher builds for a name: "game/" + name + ".upd_old", with its NUL,
// must fit the directory walker's 1024-byte paths.
constexpr size_t manifest_max_name = 1024 - sizeof("game/") - sizeof(".upd_old") + 1;
constexpr size_t manifest_max_component = 255;

// Reads a decompressed file list from `f` into the empty `table`. A malformed list, an unsafe
// name, conflicting names or a malformed digest end the process with a fatal report naming the
// entry, before the caller has touched anything on disk.
void parse_manifest(FILE* f, game_file_table* table);

// Ends the process with a fatal report when two names of the indexed `table` clash on disk: a
// name that is also a directory of another ("a" and "a/b"), or a name plus ".zs" or ".upd_old",
// the temporary names the download uses beside it.
void manifest_refuse_conflicts(const game_file_table& table);

// Why `name` cannot be a listed name (a short text), or null when it is safe.
const char* manifest_name_problem(std::string_view name);

// The entry named exactly `name`, or null.
game_file_t* find_game_file(const game_file_table& table, std::string_view name);
