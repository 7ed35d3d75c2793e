// cute_files: directory listing and the depth-first walk over the platform's find interface.
// Every piece of text lives in a fixed-size buffer of the caller's records; a copy that would
// not fit, and a directory that cannot be listed, print a line on standard output and end the
// process through the fatal report. The walk keeps one listing per level of nesting in a
// growable array, so a deep tree costs heap, not stack.
#include "support/cute_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/utils.h"

namespace {

constexpr char cf_search_pattern[] = "\\*"; // the find interface lists "<dir>\*"
constexpr size_t cf_reason_size = 512;

// Ends the process with the report of a folder the walk cannot go through, naming it and why;
// the walk's own report ("0") stays below the player's sentence.
[[noreturn]] void cf_fail_folder(const char* file, int line, const char* func, const char* folder,
                                 const char* why) {
    char sentence[cf_max_path + cf_reason_size];
    snprintf(sentence, sizeof sentence,
             "The launcher cannot go through the folder %s: %s. Move that folder out of "
             "the game folder (or give your account access to it), then start the launcher again.",
             folder, why);
    panic_explained(file, line, func, sentence, "%s", "0");
}
#define CF_FAIL_FOLDER(folder, why) cf_fail_folder(__FILE__, __LINE__, __func__, folder, why)

// The walk's line for a copy that does not fit, then the report naming `folder`.
[[noreturn]] void cf_fail_too_long(const char* folder, const char* src, int line, int capacity) {
    log_printf("ERROR: String \"%s\" too long to copy on line %d in file %s (max length of %d).\n",
               src, line, __FILE__, capacity);
    fflush(stdout); // before the report on standard error
    CF_FAIL_FOLDER(folder, "a path in it is longer than the launcher can handle (1023 bytes)");
}

// `dir` + '/' + `name` into `out` (capacity cf_max_path); fatal when it does not fit.
void cf_join_path(char* out, const char* dir, const char* name) {
    if (strlen(dir) + 1 + strlen(name) >= static_cast<size_t>(cf_max_path))
        cf_fail_too_long(dir, name, __LINE__, cf_max_path);
    int n = cf_safe_strcpy(out, dir, 0, cf_max_path);
    n = cf_safe_strcpy(out, "/", n - 1, cf_max_path);
    cf_safe_strcpy(out, name, n - 1, cf_max_path);
}

// "." and "..": never described by the walk, which would not enter or hand them over anyway.
// Skipping them keeps a directory whose own path fits from failing on its ".." entry.
bool cf_is_dot_entry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

int cf_safe_strcpy_internal(char* dst, const char* src, int n, int capacity, int line) {
    size_t length = strlen(src);
    // Checked before anything is written: a copy that does not fit leaves `dst` untouched.
    if (n < 0 || static_cast<size_t>(n) + length >= static_cast<size_t>(capacity)) {
        log_printf(
            "ERROR: String \"%s\" too long to copy on line %d in file %s (max length of %d).\n",
            src, line, __FILE__, capacity);
        fflush(stdout); // before the report on standard error
        PANIC_EXPLAINED("A name in the game folder is longer than the launcher can handle. Move it "
                        "out of the game "
                        "folder, then start the launcher again.",
                        "%s", "0");
    }
    memcpy(dst + n, src, length + 1);
    return n + static_cast<int>(length) + 1;
}

void cf_get_ext(cf_file_info* file) {
    const char* name = file->name;
    // A '.' in the first position marks a hidden name, not an extension.
    const char* last_dot = nullptr;
    if (name[0] != '\0') {
        for (const char* c = name + 1; *c != '\0'; ++c) {
            if (*c == '.')
                last_dot = c;
        }
    }
    if (last_dot != nullptr)
        cf_safe_strcpy(file->extension, last_dot, 0, cf_max_filename);
    else
        file->extension[0] = '\0';
}

int cf_dir_open(cf_dir_state* dir, const char* path) {
    // The pattern must fit as well: a listable path has at most cf_max_path - 3 characters.
    if (strlen(path) + sizeof cf_search_pattern > static_cast<size_t>(cf_max_path))
        cf_fail_too_long(path, cf_search_pattern, __LINE__, cf_max_path);
    int n = cf_safe_strcpy(dir->path, path, 0, cf_max_path);
    cf_safe_strcpy(dir->path, cf_search_pattern, n - 1, cf_max_path);
    dir->handle = platform_find_first(dir->path, &dir->find_data);
    int err = errno;
    dir->path[n - 1] = '\0'; // `path` never keeps the pattern
    if (dir->handle != platform_invalid_find_handle) {
        dir->has_next = 1;
        return 1;
    }

    log_printf("ERROR: Failed to open directory (%s): %s.\n", path, strerror(err));
    fflush(stdout); // before the report on standard error
    dir->path[0] = '\0';
    dir->has_next = 0;
    CF_FAIL_FOLDER(path, strerror(err));
}

int cf_read_file(cf_dir_state* dir, cf_file_info* file) {
    if (dir->handle == platform_invalid_find_handle)
        PANIC("%s", "dir->handle != platform_invalid_find_handle");
    const platform_find_data& found = dir->find_data;
    cf_safe_strcpy(file->name, found.name, 0, cf_max_filename);
    cf_join_path(file->path, dir->path, file->name);
    file->size = (static_cast<uint64_t>(found.size_high) << 32) + found.size_low;
    cf_get_ext(file);

    // A link is never entered, whatever it points to: the walk hands it over as a non-directory
    // so that the caller can remove the link itself.
    uint32_t attributes = found.attributes;
    file->is_link = (attributes & platform_attr_reparse_point) != 0 ? 1 : 0;
    if (file->is_link) {
        file->is_directory = 0;
        file->is_regular = 1;
    } else {
        constexpr uint32_t kind_mask = platform_attr_directory | platform_attr_normal;
        file->is_directory = (attributes & platform_attr_directory) != 0 ? 1 : 0;
        file->is_regular = (attributes & kind_mask) != platform_attr_directory ? 1 : 0;
    }
    return 1;
}

void cf_dir_next(cf_dir_state* dir) {
    if (!dir->has_next)
        PANIC("%s", "dir->has_next");
    uint32_t err = platform_find_next(dir->handle, &dir->find_data);
    if (err == 0)
        return;
    dir->has_next = 0;
    if (err != platform_error_no_more_files)
        PANIC("%s", "err == 0 || err == platform_error_no_more_files");
}

void cf_dir_close(cf_dir_state* dir) {
    dir->path[0] = '\0';
    dir->has_next = 0;
    // Invalidated so that a second close, or a read after the close, cannot touch a freed handle.
    if (dir->handle != platform_invalid_find_handle)
        platform_find_close(dir->handle);
    dir->handle = platform_invalid_find_handle;
}

void cf_walk(const char* path, const cf_walk_t& how) {
    std::vector<cf_dir_state> open_dirs(1);
    cf_dir_open(&open_dirs.back(), path);
    cf_file_info file;
    while (!open_dirs.empty()) {
        cf_dir_state& dir = open_dirs.back();
        if (!dir.has_next) {
            cf_safe_strcpy(file.path, dir.path, 0, cf_max_path);
            cf_dir_close(&dir);
            open_dirs.pop_back();
            if (how.on_dir_done != nullptr && !open_dirs.empty())
                how.on_dir_done(file.path, how.udata);
            continue;
        }
        if (cf_is_dot_entry(dir.find_data.name)) {
            cf_dir_next(&dir);
            continue;
        }
        cf_read_file(&dir, &file);
        cf_dir_next(&dir);
        if (file.is_regular)
            how.on_file(&file, how.udata);
        // The subtree is walked before the rest of this directory; `dir` is not used again,
        // since adding a listing may move the others.
        if (file.is_directory && (how.enter_dot_dirs || file.name[0] != '.')) {
            open_dirs.emplace_back();
            cf_dir_open(&open_dirs.back(), file.path);
        }
    }
}

void cf_traverse(const char* path, cf_callback_t cb, void* udata) {
    cf_walk(path, {cb, nullptr, false, udata});
}
