// patches: for each file of a new release, the patches (format/patch.h) from the versions of it
// that the kept trees hold, so that a player a few publishes behind fetches what changed.
//
// The bases are the live tree and the newest other complete kept trees, `depth` trees in all.
// A file that changed gets a patch from each distinct older content they hold, kept when it is
// smaller than patch_kept_percent of the new .zs. A file unchanged since the live tree keeps
// (hard-linked) the live tree's patches to its content, made when it last changed, so a patch
// is made once. A plain windows/ directory of an older publisher is the one base then; its .zs
// prove themselves by the digest of what they decompress to.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/chunks.h"
#include "publish/tree.h"

constexpr size_t default_patch_depth = 3;
constexpr uint64_t default_patch_max_size = 1ULL << 30; // larger files get no patch
constexpr uint64_t patch_kept_percent = 60; // a patch is kept only below this share of the .zs

// One file of the game directory being published.
struct published_file {
    std::string name; // relative, '/' separated
    fs::path source;
    uint64_t size;
    std::string hash;
};

// A kept tree whose versions patches start from.
struct patch_base {
    fs::path dir;
    std::shared_ptr<const game_file_table> list; // null for a plain tree
    bool plain = false;
};

struct patch_plan {
    bool enabled = true;
    uint64_t max_size = default_patch_max_size;
    int level = 0;
    fs::path release;              // the tree being built; patches go to its .patches/
    std::vector<patch_base> bases; // newest first; the live tree is the first when there is one
    // The live tree's patches by the digest of the content they make (file names in .patches/).
    std::unordered_map<std::string, std::vector<std::string>> live_patches;
    std::mutex lock;             // guards names
    std::set<std::string> names; // patches and chunks made or carried into the release so far
    std::mutex large_lock;       // held while a patch, or the chunks, of a large file are made
    // Files larger than max_size are cut into chunks of this average size (publish/chunks.h),
    // shared with the kept trees below `chunk_sources`, the live one first.
    size_t chunk_average = chunk_default_average;
    std::vector<fs::path> chunk_sources;
};

// True when no file of the release has taken `place` (a patch or a chunk) yet; takes it.
bool claim_place(patch_plan* plan, const std::string& place);
// Gives `place` back, when what took it could not put it in the release.
void unclaim_place(patch_plan* plan, const std::string& place);

// Fills plan->bases and plan->live_patches from the tree: up to `depth` trees, the live one
// first, whose list the caller read (`live_list`, null when it has none that reads), `building`
// excluded. A kept tree whose list cannot be read is skipped with a warning.
void find_patch_bases(const server_tree& tree, std::shared_ptr<const game_file_table> live_list,
                      const fs::path& building, size_t depth, patch_plan* plan);
// The patch work for `file` once its .zs is in the release (`reused`: hard-linked from the live
// tree). *note is for its progress line. False, with the reason in *error, on a failure that
// makes the tree wrong (the file changed while it was read); a base that cannot be read only
// costs its patch.
bool patch_file(patch_plan* plan, const published_file& file, bool reused, std::string* note,
                std::string* error);

// The patch a publish would make from the file OLD to the file NEW, written to OUT.
int patch_command(const fs::path& old_path, const fs::path& new_path, const fs::path& out,
                  int level);
