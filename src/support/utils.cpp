#include "support/utils.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "support/fileops.h"
#include "support/sha1.h"

namespace {

constexpr const char* fatal_caption = "Fatal error";
constexpr uint32_t forever_ms = 1000000;
constexpr long log_keep = log_cap / 2; // what a trim of the log keeps: its newest lines
constexpr size_t log_line_size = 4096; // a longer line is cut
constexpr size_t time_text_size = 32;

std::atomic<bool> reporting{false};

// The log file; `log_lock` guards all of it, and orders the lines of standard output too.
std::mutex log_lock;
FILE* log_file = nullptr;
long log_size = 0;    // bytes in the file
std::string log_path; // as the fatal box names it: absolute

// Keeps the newest `log_keep` bytes of the log, from the start of a line, through a temporary
// renamed over it; with `log_lock` held and the file closed. Anything that fails empties it.
void trim_log() {
    std::string kept(static_cast<size_t>(log_keep), '\0');
    FILE* old = fopen(log_path.c_str(), "rb");
    size_t got = old != nullptr && fseek(old, -log_keep, SEEK_END) == 0
                     ? fread(kept.data(), 1, kept.size(), old)
                     : 0;
    if (old != nullptr)
        fclose(old);
    kept.resize(got);
    kept.erase(0, kept.find('\n') == std::string::npos ? kept.size() : kept.find('\n') + 1);
    std::string ignored;
    bool written = write_file_whole((log_path + ".new").c_str(), log_path.c_str(), kept, &ignored);
    if (!written)
        kept.clear();
    log_file = fopen(log_path.c_str(), written ? "ab" : "wb");
    log_size = static_cast<long>(kept.size());
}

// Appends `text` to the log file, with `log_lock` held; flushed at once, so that a crash keeps it.
void append_to_log(const char* text) {
    if (log_file == nullptr)
        return;
    size_t length = strlen(text);
    if (log_size + static_cast<long>(length) > log_cap) {
        fclose(log_file);
        log_file = nullptr;
        trim_log();
        if (log_file == nullptr)
            return;
    }
    // A log that cannot be written is no reason to stop: the lines still reach standard output.
    if (fwrite(text, 1, length, log_file) == length && fflush(log_file) == 0)
        log_size += static_cast<long>(length);
}

// `fmt` and its arguments, then the developer's line "Fatal error in file:line (func)", in the
// order `player_first` gives.
[[noreturn]] void report_formatted(const char* file, int line, const char* func, bool player_first,
                                   const char* fmt, va_list args) {
    char message[report_size];
    vsnprintf(message, sizeof message, fmt, args);
    char report[report_size];
    // A report longer than the buffer is cut (the tail of a long URL may be lost).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
    if (player_first)
        snprintf(report, sizeof report, "%s\n\nFatal error in %s:%d (%s)", message, file, line,
                 func);
    else
        snprintf(report, sizeof report, "Fatal error in %s:%d (%s)\n\n%s", file, line, func,
                 message);
#pragma GCC diagnostic pop
    report_fatal(report);
}

} // namespace

// --- The log -------------------------------------------------------------------------------

void log_printf(const char* fmt, ...) {
    char text[log_line_size];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(log_lock);
    fputs(text, stdout);
    append_to_log(text);
}

bool log_open(const char* path) {
    std::lock_guard<std::mutex> hold(log_lock);
    char* directory = platform_current_directory();
    log_path = std::string(directory != nullptr ? directory : ".") + "/" + path;
    free(directory);
    log_file = fopen(log_path.c_str(), "ab");
    if (log_file == nullptr)
        return false;
    log_size = ftell(log_file);
    // Each run begins with a line of its own, so that the runs kept apart can be told apart.
    char when[time_text_size] = "";
    time_t now = time(nullptr);
    if (const tm* utc = gmtime(&now))
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
    std::string header = std::string("==== the launcher starts, ") + when + "\n";
    append_to_log(header.c_str());
    return true;
}

// --- Fatal reports -------------------------------------------------------------------------

void (*before_fatal_report)() = nullptr;

void report_fatal(const char* report) {
    // A second failing thread waits here until the first report's process end.
    if (reporting.exchange(true))
        for (;;)
            platform_sleep_ms(forever_ms);
    if (before_fatal_report != nullptr)
        before_fatal_report();
    char text[report_size + log_line_size];
    {
        std::lock_guard<std::mutex> hold(log_lock);
        if (log_file != nullptr)
            snprintf(text, sizeof text, "%s\n\nThis report and what led to it are in %s", report,
                     log_path.c_str());
        else
            snprintf(text, sizeof text, "%s", report);
        append_to_log(text);
        append_to_log("\n");
    }
    fprintf(stderr, "%s\n", text);
    fflush(stderr);
    platform_message_box(platform_box_error, fatal_caption, text);
    platform_exit_now(1);
}

void format_report(char* out, size_t size, const char* file, int line, const char* func,
                   const char* sentence, const char* fmt, ...) {
    char message[report_size];
    va_list args;
    va_start(args, fmt);
    vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
    snprintf(out, size, "%s\n\n%s\n\nFatal error in %s:%d (%s)", sentence, message, file, line,
             func);
#pragma GCC diagnostic pop
}

void panic_explained(const char* file, int line, const char* func, const char* sentence,
                     const char* fmt, ...) {
    char message[report_size];
    va_list args;
    va_start(args, fmt);
    vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    char report[report_size];
    format_report(report, sizeof report, file, line, func, sentence, "%s", message);
    report_fatal(report);
}

void panic(const char* file, int line, const char* func, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    report_formatted(file, line, func, false, fmt, args);
}

void panic_for_player(const char* file, int line, const char* func, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    report_formatted(file, line, func, true, fmt, args);
}

void check_failed(const char* file, int line, const char* func) {
    char report[report_size];
    snprintf(report, sizeof report, "Runtime check failed in %s:%d (%s)", file, line, func);
    report_fatal(report);
}

// --- Strings -------------------------------------------------------------------------------

bool str_eq(const char* a, const char* b) {
    return strcmp(a, b) == 0;
}

char* str_concat(const char* a, const char* b) {
    size_t len_a = strlen(a);
    size_t len_b = strlen(b);
    char* result = static_cast<char*>(malloc(len_a + len_b + 1));
    CHECK(result != nullptr);
    memcpy(result, a, len_a);
    memcpy(result + len_a, b, len_b + 1);
    return result;
}

char* str_replace(const char* s, const char* find, const char* repl) {
    size_t find_len = strlen(find);
    size_t repl_len = strlen(repl);
    CHECK(find_len > 0);
    char* current = strdup(s);
    if (current == nullptr)
        return nullptr;
    // Every search starts again at the beginning, so an occurrence that a replacement creates
    // is replaced too: the result never contains `find`.
    for (;;) {
        char* hit = strstr(current, find);
        if (hit == nullptr)
            return current;
        size_t before = static_cast<size_t>(hit - current);
        size_t after = strlen(hit + find_len);
        char* next = static_cast<char*>(malloc(before + repl_len + after + 1));
        if (next == nullptr) {
            free(current);
            return nullptr;
        }
        memcpy(next, current, before);
        memcpy(next + before, repl, repl_len);
        memcpy(next + before + repl_len, hit + find_len, after + 1);
        free(current);
        current = next;
    }
}

float lerp_f32(float a, float b, float t) {
    float u = fmaf(-t, a, a);
    return fmaf(t, b, u);
}

// --- File hashing --------------------------------------------------------------------------

char* compute_file_hash(const char* path) {
    // A missing entry, or one that cannot be read (a directory, a file held open after the
    // patience): the caller needs a digest or the end.
    FILE* f = OPEN_FILE_OR_FAIL(path, "rb", "read");

    SHA1State state;
    memset(&state, 0, sizeof state);
    SHA1Reset(&state);
    auto* buffer = static_cast<uint8_t*>(malloc(hash_chunk_size));
    CHECK(buffer != nullptr);
    for (;;) {
        size_t got = fread(buffer, 1, hash_chunk_size, f);
        if (got == 0)
            break;
        SHA1Input(&state, buffer, got);
    }
    // An entry that opens but cannot be read (a directory) or a read error: no digest of a
    // part of the file may stand for the whole.
    if (ferror(f))
        PANIC_FOR_PLAYER("Cannot read %s: %s", path, strerror(errno));
    free(buffer);
    fclose(f);

    char* text = static_cast<char*>(malloc(hash_text_size));
    CHECK(text != nullptr);
    if (SHA1Result(&state) == 0)
        text[0] = '\0';
    else
        sha1_digest_text(&state, text);
    return text;
}
