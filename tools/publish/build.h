// build: a new release from a game directory (build), or from a kept release (rollback), made
// complete beside the live tree and then switched live (tree.h).
//
// A release's .zs of a file unchanged since the live tree (same name, size and SHA-1) is
// hard-linked from it instead of being compressed again; a ROOT whose windows/ is a plain
// directory (an older publisher's, or made by hand) proves nothing: a .zs there is reused only
// after decompressing it and comparing size and SHA-1, and the first publish moves the
// directory into releases/ as it puts the link in its place. Every publish gets the next
// sequence (tree.h), recorded with its label in the release's record, and in its statement
// when signed.
#pragma once
#include <string>
#include <vector>

#include "publish/patches.h"
#include "publish/signing.h"

// Seconds where 19 takes minutes, for a few % more bytes (bench/bench.py publish).
constexpr int default_level = 9;

struct build_options {
    int level = default_level;
    bool patches = true;
    uint64_t patch_max_size = default_patch_max_size;
    size_t patch_depth = default_patch_depth;
    size_t chunk_size = chunk_default_average;
    size_t keep = default_kept_trees;
    std::string label;
    signing_t signing;
    // --link: the served link (and releases folder) the command works on
    std::string link = live_link_name;
};

// Every regular file below `game_dir`, in byte order of name. Directories whose names begin
// with '.' are skipped (the launcher never scans them), and so are links, with a warning.
std::vector<published_file> collect_files(const fs::path& game_dir);
// Refuses, before anything is written, every name the launcher would refuse (the same rules).
void refuse_unsafe_names(const std::vector<published_file>& files, const fs::path& game_dir);
// Writes the file list of `files` into the tree `dir` as manifest.dat.zs, after reading it back
// as the launcher will; false with the reason in *error.
bool write_list(const fs::path& dir, const std::vector<published_file>& files, int level,
                std::string* error);

int build_command(const fs::path& game_dir, const fs::path& root, build_options* options);
// Makes the kept release `id` live again as a new release: its files hard-linked (nothing is
// compressed), a new sequence and, with --sign, a fresh statement.
int rollback_command(const fs::path& root, const std::string& id, build_options* options);
