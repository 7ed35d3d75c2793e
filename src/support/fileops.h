// fileops: the changes the launcher makes to files under game/, and the reports a player gets
// when the machine refuses one. A failure names the file and the system's reason, the player's
// sentence first, then where in the launcher it happened.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Ends the process with the fatal report "Cannot <what> <path>: <reason>". A full disk and a
// folder this account may not change get a sentence that says what to do before it.
[[noreturn]] void fail_file(const char* file, int line, const char* func, const char* what,
                            const char* path, const char* reason);
#define FAIL_FILE(what, path, reason) fail_file(__FILE__, __LINE__, __func__, what, path, reason)
// The same with the C runtime's errno as the reason.
[[noreturn]] void fail_file_errno(const char* file, int line, const char* func, const char* what,
                                  const char* path, int error);
#define FAIL_FILE_ERRNO(what, path) fail_file_errno(__FILE__, __LINE__, __func__, what, path, errno)
// The same with a platform error code (platform.h) as the reason.
[[noreturn]] void fail_file_code(const char* file, int line, const char* func, const char* what,
                                 const char* path, int error);
#define FAIL_FILE_CODE(what, path, error)                                                          \
    fail_file_code(__FILE__, __LINE__, __func__, what, path, error)

// Told (on the waiting thread, `mut` not held) the path of a file another program holds open
// while a change waits for it, and null once the wait is over; null: nobody is told. Set once,
// before any thread starts.
extern void (*fileops_waiting_for)(const char* path);

// How long a file that another program holds open is waited for before the report.
constexpr uint32_t in_use_patience_ms = 10000;
constexpr uint32_t in_use_poll_ms = 250;

// Runs `op` (0 or a platform error code) until it succeeds, fails for another reason than a
// file that another program holds open, or the patience runs out; its last result. A wait is
// logged and told to fileops_waiting_for.
int wait_while_in_use(const char* path, const std::function<int()>& op);

// Puts `bytes` at `path` whole or not at all: written to `temporary`, created anew (whatever
// stands there goes first, and a link is never followed), then renamed over `path` in one step.
// False with the reason in `reason`, the temporary removed. Writes nothing to the log.
bool write_file_whole(const char* temporary, const char* path, std::string_view bytes,
                      std::string* reason);

// Opens or maps the file at `path` as platform.h does, waiting while another program holds it
// (a scanner that looks at each new file, the game); 0 or the system's error code.
int open_file_patiently(const char* path, const char* mode, FILE** out);
int map_file_patiently(const char* path, platform_mapping* out);
int map_new_file_patiently(const char* path, uint64_t size, platform_mapping* out);
// Opens the file at `path` with `mode`, waiting while another program holds it; any failure is
// the fatal report "Cannot <what> <path>: <reason>".
FILE* open_file_or_fail(const char* file, int line, const char* func, const char* path,
                        const char* mode, const char* what);
#define OPEN_FILE_OR_FAIL(path, mode, what)                                                        \
    open_file_or_fail(__FILE__, __LINE__, __func__, path, mode, what)

// Removes the entry at `path` (a file or a link, never its target), waiting while another
// program holds it; any failure but "not there" is a fatal report.
void remove_entry(const char* path);
// Removes whatever stands at `path`: a file, a link, or a directory with everything below it,
// links inside removed as links. Nothing there is fine; a failure is a fatal report.
void remove_tree(const char* path);
// Puts the complete file `from` in place of `target` in one step (a file or a link standing
// there goes; a folder there goes with everything below it), waiting while another program
// holds `target`; a failure is a fatal report.
void replace_entry(const char* from, const char* target);
// Creates the directories that the file path `path` needs; a failure is a fatal report.
void make_parent_directories(const char* path);
