// cute_files: directory listing and a depth-first walk with a callback per regular file, in
// fixed-size records on the caller's stack. No global state; any thread. Links are never
// followed. A path or name that does not fit its buffer, and a directory that cannot be listed,
// end the process through the fatal report.
#pragma once
#include <cstdint>

#include "platform/platform.h"

constexpr int cf_max_path = 1024; // capacities, each counting the terminating NUL
// Any name a listing returns: on Windows up to 255 UTF-16 units, more than 255 bytes in UTF-8.
constexpr int cf_max_filename = platform_find_name_size;

struct cf_file_info {
    char path[cf_max_path]; // the directory's path, '/', the entry's name
    char name[cf_max_filename];
    // From the last '.' that is not the first character, or empty. A suffix of `name`, so it
    // always fits: a long extension is a name Windows allows, not a reason to stop the walk.
    char extension[cf_max_filename];
    int32_t is_directory; // a directory that is not a link: the walk enters it
    int32_t is_regular;   // anything else (files and links): the walk hands it to the callback
    int32_t is_link;      // a link of any kind, never followed
    uint64_t size;
};

struct cf_dir_state {
    char path[cf_max_path]; // the listed directory, without the search pattern
    int32_t has_next;       // find_data holds an entry not passed over yet
    platform_find_handle handle;
    platform_find_data find_data;
};

using cf_callback_t = void (*)(cf_file_info* file, void* udata);
using cf_dir_callback_t = void (*)(const char* path, void* udata);

// How cf_walk goes: `on_file` for every entry that is not an entered directory (files and
// links), `on_dir_done` (may be null) for every entered directory below the root once all its
// entries were handed over, children before parents. Directories whose names begin with '.'
// are entered only with `enter_dot_dirs`.
struct cf_walk_t {
    cf_callback_t on_file;
    cf_dir_callback_t on_dir_done;
    bool enter_dot_dirs;
    void* udata;
};

// Copies `src` and its NUL into `dst` from index n; returns the index past the NUL. Fatal when
// n + strlen(src) >= capacity.
int cf_safe_strcpy_internal(char* dst, const char* src, int n, int capacity, int line);
#define cf_safe_strcpy(dst, src, n, capacity)                                                      \
    cf_safe_strcpy_internal(dst, src, n, capacity, __LINE__)

void cf_get_ext(cf_file_info* file);
int cf_dir_open(cf_dir_state* dir, const char* path);
int cf_read_file(cf_dir_state* dir, cf_file_info* file);
void cf_dir_next(cf_dir_state* dir);
void cf_dir_close(cf_dir_state* dir);
// Depth first; the listings of the directories being walked live on the heap, so the stack use
// does not grow with the depth of the tree.
void cf_walk(const char* path, const cf_walk_t& how);
// cf_walk with `cb` for files and links, dot-directories not entered.
void cf_traverse(const char* path, cf_callback_t cb, void* udata);
