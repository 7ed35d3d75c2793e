// The launcher's changes to game/: removal of entries and trees, a new file put in place of the
// old, and the reports when the system refuses one. A file that another program
// holds open (the game still running, a virus scanner) is waited for before it is reported.
#include "support/fileops.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/cute_files.h"
#include "support/utils.h"

namespace {

constexpr size_t reason_size = 512;
constexpr const char* disk_full_sentence =
    "The drive that holds the game is full. Free some space, then start the "
    "launcher again: the update goes on from where it stopped.";

// wait_while_in_use; a file still in use at the end is the in-use report.
int retry_while_in_use(const char* path, const std::function<int()>& op) {
    int error = wait_while_in_use(path, op);
    if (platform_error_is_in_use(error))
        PANIC_FOR_PLAYER(
            "The game is still running. Close it, then start the launcher again.\n%s is in use "
            "by another program.",
            path);
    return error;
}

// Ends the process with the report of a file change the system refused; `disk_full` and
// `denied` say why, for the player's sentence.
[[noreturn]] void fail_file_for(const char* file, int line, const char* func, const char* what,
                                const char* path, const char* reason, bool disk_full, bool denied) {
    char sentence[reason_size + 4096];
    if (disk_full) {
        snprintf(sentence, sizeof sentence, "%s", disk_full_sentence);
    } else if (denied) {
        char* cwd = platform_current_directory();
        snprintf(sentence, sizeof sentence,
                 "This account cannot change the game folder %s/game. Move the game to a folder "
                 "your account owns, "
                 "or run the launcher once as administrator.",
                 cwd != nullptr ? cwd : ".");
        free(cwd);
    } else {
        panic_for_player(file, line, func, "Cannot %s %s: %s", what, path, reason);
    }
    panic_explained(file, line, func, sentence, "Cannot %s %s: %s", what, path, reason);
}

void remove_walked_file(cf_file_info* file, void*) {
    remove_entry(file->path);
}

void remove_walked_directory(const char* path, void*) {
    int error = retry_while_in_use(path, [&] { return platform_remove_directory(path); });
    if (error != 0)
        FAIL_FILE_CODE("remove the folder", path, error);
}

} // namespace

void (*fileops_waiting_for)(const char* path) = nullptr;

int wait_while_in_use(const char* path, const std::function<int()>& op) {
    int error = op();
    uint32_t waited = 0;
    for (; platform_error_is_in_use(error) && waited < in_use_patience_ms;
         waited += in_use_poll_ms) {
        if (waited == 0) {
            log_printf("waiting for %s, which another program holds open\n", path);
            if (fileops_waiting_for != nullptr)
                fileops_waiting_for(path);
        }
        platform_sleep_ms(in_use_poll_ms);
        error = op();
    }
    if (waited > 0 && fileops_waiting_for != nullptr)
        fileops_waiting_for(nullptr);
    return error;
}

void fail_file(const char* file, int line, const char* func, const char* what, const char* path,
               const char* reason) {
    fail_file_for(file, line, func, what, path, reason, false, false);
}

void fail_file_errno(const char* file, int line, const char* func, const char* what,
                     const char* path, int error) {
    fail_file_for(file, line, func, what, path, strerror(error), error == ENOSPC,
                  error == EACCES || error == EPERM || error == EROFS);
}

void fail_file_code(const char* file, int line, const char* func, const char* what,
                    const char* path, int error) {
    char reason[reason_size];
    platform_error_text(error, reason, sizeof reason);
    fail_file_for(file, line, func, what, path, reason, platform_error_is_disk_full(error),
                  platform_error_is_denied(error));
}

bool write_file_whole(const char* temporary, const char* path, std::string_view bytes,
                      std::string* reason) {
    platform_remove(temporary);
    FILE* f = platform_create_new_file(temporary);
    bool written = f != nullptr && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    int error = errno;
    if (f != nullptr && fclose(f) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        *reason = strerror(error);
        platform_remove(temporary);
        return false;
    }
    if (int refused = platform_replace(temporary, path); refused != 0) {
        char text[reason_size];
        platform_error_text(refused, text, sizeof text);
        *reason = text;
        platform_remove(temporary);
        return false;
    }
    return true;
}

int open_file_patiently(const char* path, const char* mode, FILE** out) {
    return retry_while_in_use(path, [&] { return platform_open_file(path, mode, out); });
}

int map_file_patiently(const char* path, platform_mapping* out) {
    return retry_while_in_use(path, [&] { return platform_map_file(path, out); });
}

int map_new_file_patiently(const char* path, uint64_t size, platform_mapping* out) {
    return retry_while_in_use(path, [&] { return platform_map_new_file(path, size, out); });
}

FILE* open_file_or_fail(const char* file, int line, const char* func, const char* path,
                        const char* mode, const char* what) {
    FILE* f = nullptr;
    if (int error = open_file_patiently(path, mode, &f); error != 0)
        fail_file_code(file, line, func, what, path, error);
    return f;
}

void remove_entry(const char* path) {
    int error = retry_while_in_use(path, [&] { return platform_remove(path); });
    if (error != 0 && !platform_error_is_missing(error))
        FAIL_FILE_CODE("delete", path, error);
}

void remove_tree(const char* path) {
    platform_file_stamp stamp;
    int error = platform_stamp(path, &stamp);
    if (error != 0) {
        if (platform_error_is_missing(error))
            return;
        FAIL_FILE_CODE("read", path, error);
    }
    if (!stamp.directory) {
        remove_entry(path);
        return;
    }
    cf_walk(path, {remove_walked_file, remove_walked_directory, true, nullptr});
    remove_walked_directory(path, nullptr);
}

void replace_entry(const char* from, const char* target) {
    platform_file_stamp stamp;
    if (platform_stamp(target, &stamp) == 0 && stamp.directory)
        remove_tree(target);
    int error = retry_while_in_use(target, [&] { return platform_replace(from, target); });
    // Windows replaces no read-only file: removing it first clears that.
    if (error != 0 && !platform_error_is_missing(error)) {
        remove_entry(target);
        error = platform_rename(from, target);
    }
    if (error != 0)
        FAIL_FILE_CODE("replace", target, error);
}

void make_parent_directories(const char* path) {
    CHECK(path[0] != '\0');
    std::string prefix(path);
    // From the second character: a leading '/' never yields an empty directory name.
    for (size_t slash = prefix.find('/', 1); slash != std::string::npos;
         slash = prefix.find('/', slash + 1)) {
        prefix[slash] = '\0';
        int error = platform_mkdir(prefix.c_str());
        prefix[slash] = '/';
        if (error != 0 && error != EEXIST)
            fail_file_errno(__FILE__, __LINE__, __func__, "create the folders of", path, error);
    }
}
