// src/platform owns the one interface to the operating system and its two implementations; it
// includes nothing of the project's own.
//
// platform: everything that touches the operating system. platform_win32.cpp implements it
// with the Windows API, platform_posix.cpp with POSIX. No other file includes either's headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// --- Where the launcher works ----------------------------------------------------------------
// Makes the directory holding this program's executable the working directory, whatever the
// directory it was started from. False on failure, with the player's sentence in `reason`
// (`reason_size` bytes, NUL included): which directory, and the system's reason.
bool platform_enter_executable_directory(char* reason, size_t reason_size);

// --- Single instance -------------------------------------------------------------------------
// True when this process now holds the lock named `name` for this user (Windows: this login
// session); the system frees it when the process ends. False when another process holds it, or
// another launcher is taking the lock over from one (platform_hand_over). `*successor` says
// that this process was started by platform_hand_over and took the lock over.
bool platform_acquire_single_instance(const char* name, bool* successor);

// --- The launcher's own executable -----------------------------------------------------------
// Keeps the arguments and working directory the launcher was started with, for
// platform_hand_over; first thing in main, before the working directory changes.
void platform_remember_start(int argc, char** argv);
// The running executable's file name (the last part of its path), malloc'd; null on failure.
char* platform_executable_name();
// Replaces `to` with `from`, the running executable's own file (which platform_replace refuses
// to move, as any running program's), in one rename; 0 or the system's error code.
int platform_replace_executable(const char* from, const char* to);
// Starts the launcher executable `exe` (an absolute path) in this launcher's place, with the
// arguments and working directory this one was started with, handing it the single-instance lock
// `name` with no moment in which another launcher could take it. POSIX: `exe` runs in this very
// process, the lock kept open across the exec; returns only when it could not (false). Windows:
// starts `exe` and returns true once it is taking the lock over (this process must then end at
// once, without starting anything), false when it did not within a minute (it is ended). The
// system's reason of a failure goes into `reason`.
bool platform_hand_over(const char* exe, const char* name, char* reason, size_t reason_size);

// --- Message boxes ---------------------------------------------------------------------------
enum platform_box_kind { platform_box_error, platform_box_information };
// Modal, no owner window, one OK button; returns when it is closed (at once without a display).
void platform_message_box(platform_box_kind kind, const char* caption, const char* text);

// --- Files and directories -------------------------------------------------------------------
// Whether two names that differ only in letter case name one file (Windows) or two (POSIX).
extern const bool platform_names_ignore_case;

// True when any kind of entry exists at `path`; a link counts as itself, not its target.
bool platform_entry_exists(const char* path);

// Entry attributes, with the Windows values.
constexpr uint32_t platform_attr_directory = 0x10;
constexpr uint32_t platform_attr_normal = 0x80;
constexpr uint32_t platform_attr_reparse_point = 0x400; // a link of any kind
constexpr uint32_t platform_error_no_more_files = 18;

// One directory entry as the find interface reports it. A name holds up to 259 UTF-16 units on
// Windows, each of which takes at most 3 bytes in UTF-8.
constexpr int platform_find_name_size = 260 * 3;
struct platform_find_data {
    uint32_t attributes;
    uint32_t size_high;
    uint32_t size_low;
    char name[platform_find_name_size];
};
using platform_find_handle = intptr_t;
constexpr platform_find_handle platform_invalid_find_handle = -1;

// `pattern` is a directory path followed by a backslash and '*'. Returns a handle with the
// first entry in `out`, or platform_invalid_find_handle with errno set.
platform_find_handle platform_find_first(const char* pattern, platform_find_data* out);
// 0 with the next entry in `out`; platform_error_no_more_files at the end; another error code
// when the listing failed.
uint32_t platform_find_next(platform_find_handle handle, platform_find_data* out);
void platform_find_close(platform_find_handle handle);

// 0 on success, else the errno value (EEXIST when an entry of that name exists).
int platform_mkdir(const char* path);

// The functions below return 0 on success, else the system's error code (errno on POSIX,
// GetLastError on Windows), which platform_error_text describes.
// Removes a file, or a link of any kind without touching its target.
int platform_remove(const char* path);
// Removes an empty directory (not a link to one).
int platform_remove_directory(const char* path);
// Renames `from` to `to`, which must not exist.
int platform_rename(const char* from, const char* to);
// Renames `from` to `to`, replacing an existing `to` in one step.
int platform_replace(const char* from, const char* to);
// Opens the file at `path` as fopen would with `mode` ("rb", "wb" or "ab"); other programs may
// read the file meanwhile (Windows: and rename or delete a file opened for reading).
int platform_open_file(const char* path, const char* mode, FILE** out);
// Moves `f` to `offset` bytes from the file's start, past 4 GiB too; 0 or errno.
int platform_seek(FILE* f, uint64_t offset);
// True when another program holds the file at `path` open so that it can be read but not
// written: a running program's executable or a library it loaded (which Windows lets rename
// all the same), or a file such a program reads.
bool platform_held_by_running_program(const char* path);
// Creates the file `path` for writing (binary); null with errno set when anything stands at
// that name already, a link included, which is never followed.
FILE* platform_create_new_file(const char* path);
// True when the error says another program holds the entry open (Windows: a file opened
// without delete sharing; POSIX: a busy mount point or running text). Such a failure passes.
bool platform_error_is_in_use(int error);
// True when the error says the entry, or a directory on its path, does not exist.
bool platform_error_is_missing(int error);
// True when the error says this account may not make the change (or the drive is read-only).
bool platform_error_is_denied(int error);
// True when the error says the drive is full.
bool platform_error_is_disk_full(int error);
// The system's text for an error code, into `text` (always terminated).
void platform_error_text(int error, char* text, size_t size);

// --- Network settings ------------------------------------------------------------------------
// The proxy the system's settings name for `url`, as libcurl takes it ("http://host:port"), or
// empty for none: Windows follows the current user's settings (a fixed proxy and its bypass
// list, an automatic configuration script or discovery); elsewhere libcurl's environment
// variables decide. May take seconds (discovery on the network).
std::string platform_system_proxy(const char* url);
// The certificate authorities the system trusts (Windows: the root store), as PEM text, to trust
// besides the launcher's bundle; empty elsewhere, where the bundle alone is trusted.
std::string platform_system_root_certificates();

// Bytes free for this user on the volume holding `path`.
int platform_free_space(const char* path, uint64_t* bytes);

// What tells that a file is still the one the launcher verified: its size, last-write and
// change times (any unit, compared for equality only) and its identity on its volume. The
// entry itself is described: a link is not followed.
struct platform_file_stamp {
    uint64_t size;
    uint64_t write_time;
    uint64_t change_time;
    uint64_t volume;
    uint64_t index;
    bool regular;   // a regular file, not a link, directory or device
    bool directory; // a directory, not a link to one
};
int platform_stamp(const char* path, platform_file_stamp* out);

// A whole file mapped into memory. `data` is null for an empty file.
struct platform_mapping {
    void* data = nullptr;
    uint64_t size = 0;
    intptr_t file = -1; // the system's handles, -1 for none; the implementation's own
    intptr_t view = -1;
};
// Maps the file at `path` for reading.
int platform_map_file(const char* path, platform_mapping* out);
// Creates (or truncates) the file at `path` with `size` bytes, its space reserved on the disk,
// and maps it for writing; `size` must not be 0.
int platform_map_new_file(const char* path, uint64_t size, platform_mapping* out);
// A stream that reads the `size` bytes at `data` (which stay valid until it is closed), for
// readers that take a FILE*; null with errno set when none can be made. Nothing is written to
// the working directory.
FILE* platform_memory_stream(const void* data, size_t size);

// Unmaps; a file mapped for writing is first cut to `keep` bytes (from 0 to its size). 0 or
// the system's error code.
int platform_unmap(platform_mapping* mapping, uint64_t keep);

// --- Processes -------------------------------------------------------------------------------
// Ends the process at once with `status`: no exit handlers, no library teardown, so that other
// threads still running cannot meet freed state.
[[noreturn]] void platform_exit_now(int status);
void platform_sleep_ms(uint32_t ms);

// Makes each diagnostic line on standard output reach whoever watches it as it is printed.
void platform_unbuffer_stdout();

// The working directory as a malloc'd string, any length; null on failure.
char* platform_current_directory();
// Starts `exe` with no arguments in `work_dir` and does not wait for it. False with the
// system's error number in `error` (2 when the file is missing).
bool platform_start_process(const char* exe, const char* work_dir, unsigned long* error);
