// src/support owns fatal reports, strings and paths, hashing and SHA-1, half floats, the
// directory walk, decompression and the changes to files; it may include src/platform only.
//
// utils: the log, fatal reports, string and path helpers, file hashing.
#pragma once
#include <cstddef>
#include <cstdint>

// --- The log -------------------------------------------------------------------------------
// Every line the launcher prints goes through log_printf: to standard output and, once
// log_open has opened it, to the log file, written as it goes so that a crash keeps it. Any
// thread; each call's text is written whole.
// (gnu_printf: MinGW checks plain printf formats against the system's, which lack %zu; these
// format with the C++ runtime's, which has it.)
void log_printf(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
// Opens the log file `path` (relative to the working directory) for this run, after the lines
// of the runs before; the file keeps the newest of them, about `log_cap` bytes in all. False
// when it cannot be written: the lines then go to standard output alone.
constexpr long log_cap = 1L << 20;
bool log_open(const char* path);

// --- Fatal reports -------------------------------------------------------------------------
// All of them write the report to standard error and the log, show it in a modal "Fatal error"
// box (naming the log file when one is open), and end the process with status 1. Any thread
// may call them; they take no lock (before_fatal_report waits at most half a second for the
// launcher's). The first report wins: a thread that fails while another's report is shown
// waits for the process to end. The process then ends at once, without library teardown
// under threads still running.
[[noreturn]] void panic(const char* file, int line, const char* func, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
[[noreturn]] void check_failed(const char* file, int line, const char* func);
// A report for the player: the formatted sentence first, then where it happened.
[[noreturn]] void panic_for_player(const char* file, int line, const char* func, const char* fmt,
                                   ...) __attribute__((format(printf, 4, 5)));
// Reports `report` as it stands.
[[noreturn]] void report_fatal(const char* report);
// When set, the first report calls it before anything is shown (the launcher prints its summary
// line); set once at start, before any thread.
extern void (*before_fatal_report)();
// A report with a sentence for the player: `sentence`, then the text formatted from `fmt` (what
// the launcher's developers look for), then where it happened; into `out` of `size` bytes.
void format_report(char* out, size_t size, const char* file, int line, const char* func,
                   const char* sentence, const char* fmt, ...)
    __attribute__((format(gnu_printf, 7, 8)));
constexpr size_t report_size = 8192; // a report's buffer, NUL included: longer ones are cut
// format_report, then the end as above.
[[noreturn]] void panic_explained(const char* file, int line, const char* func,
                                  const char* sentence, const char* fmt, ...)
    __attribute__((format(gnu_printf, 5, 6)));

// Call sites go through these, so the report names the real file (relative to the project
// root, the build strips the prefix), line and function. They stay in release builds.
#define PANIC(...) panic(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define PANIC_FOR_PLAYER(...) panic_for_player(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define PANIC_EXPLAINED(sentence, ...)                                                             \
    panic_explained(__FILE__, __LINE__, __func__, sentence, __VA_ARGS__)
#define FORMAT_REPORT(out, size, sentence, ...)                                                    \
    format_report(out, size, __FILE__, __LINE__, __func__, sentence, __VA_ARGS__)
#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond))                                                                               \
            check_failed(__FILE__, __LINE__, __func__);                                            \
    } while (0)

// --- Strings -------------------------------------------------------------------------------
// NUL-terminated byte strings, compared byte for byte. New strings are malloc'd; the caller
// frees them.
bool str_eq(const char* a, const char* b);
char* str_concat(const char* a, const char* b);
// Replaces every occurrence of `find` (non-empty, not contained in `repl`) until none is left;
// null on allocation failure.
char* str_replace(const char* s, const char* find, const char* repl);

// t*b + (a - t*a) with two fused multiply-adds: exact at t = 0 and t = 1.
float lerp_f32(float a, float b, float t);

// --- File hashing --------------------------------------------------------------------------
constexpr size_t hash_chunk_size = 32768;
constexpr size_t hash_text_size = 41; // 40 lowercase hex digits and a NUL

// SHA-1 of the file at `path` as 40 lowercase hex digits (malloc'd, caller frees); an empty
// string if the digest failed. A missing or unreadable file is a fatal runtime check.
char* compute_file_hash(const char* path);
