// patch: one zstd frame that rebuilds a file's new content from its old content, zstd's "patch
// from" mode. The old content is the frame's raw prefix (never stored in the patch), matches
// reach back over all of it (long-distance matching, a window covering the larger content),
// and the frame records the new content's size and checksum.
//
// Applying one: ZSTD_DCtx_refPrefix(old content) and ZSTD_d_windowLogMax patch_window_log_max.
// On the server, a release tree holds the patch from the content with SHA-1 OLD to the content
// with SHA-1 NEW as ".patches/OLD-NEW.zst" (patch_name): no listed name can be below a
// directory whose name begins with '.', so no game file can collide with a patch.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "format/names.h"

constexpr int patch_window_log_max = 31; // the largest window a patch asks of its reader (2 GiB)
constexpr size_t patch_name_size = sizeof(".patches/") + 40 + 1 + 40 + sizeof(".zst") - 1;
constexpr size_t patch_problem_size = 512;

struct patch_result {
    bool ok;
    uint64_t size;                    // bytes written to the patch, when ok
    char problem[patch_problem_size]; // why no patch was written, when !ok
};

// The window log of a patch between contents of these sizes: a window larger than both, as the
// zstd command line's --patch-from chooses it, within zstd's limits and patch_window_log_max.
int patch_window_log(uint64_t old_size, uint64_t new_size);

// Writes to `out_path` (created or truncated) the patch that turns `old_content` into
// `new_content`, compressed at zstd `level` by `threads` (at least 1) threads of zstd's own
// besides the calling one. The bytes are those of `zstd --patch-from=OLD NEW --long=31 -LEVEL`,
// whatever the number of threads. The old content is read in place (map a large file rather
// than read it); the new content passes through zstd's buffer, which holds a whole window, so
// the memory is about one window plus the match tables of `level`. Neither content may change
// during the call. A failure (a zstd error, a write error) is reported in `result`, with part
// of the patch possibly written.
void make_patch(std::span<const uint8_t> old_content, std::span<const uint8_t> new_content,
                const char* out_path, int level, int threads, patch_result* result);

// ".patches/<old_digest>-<new_digest>.zst" into `out` (patch_name_size bytes): where a release
// tree, and the URL below the base URL, hold the patch between two 40-digit SHA-1 digests.
// Inline, so that the launcher, which only asks for patches, does not link the patch maker.
inline void patch_name(const char* old_digest, const char* new_digest,
                       char (&out)[patch_name_size]) {
    snprintf(out, sizeof out, "%s/%.40s-%.40s%s", patch_directory, old_digest, new_digest,
             patch_suffix);
}
