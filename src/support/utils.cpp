#include "support/utils.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "support/fileops.h"
#include "support/sha1.h"

namespace {

constexpr size_t report_size = 8192;
constexpr const char* fatal_caption = "Fatal error";
constexpr uint32_t forever_ms = 1000000;

std::atomic<bool> reporting{false};

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
        snprintf(report, sizeof report, "%s\n\nFatal error in %s:%d (%s)", message, file, line, func);
    else
        snprintf(report, sizeof report, "Fatal error in %s:%d (%s)\n\n%s", file, line, func, message);
#pragma GCC diagnostic pop
    report_fatal(report);
}

} // namespace

// --- Fatal reports -------------------------------------------------------------------------

void report_fatal(const char* report) {
    // A second failing thread waits here until the first report's process end.
    if (reporting.exchange(true))
        for (;;)
            platform_sleep_ms(forever_ms);
    fprintf(stderr, "%s\n", report);
    fflush(stderr);
    platform_message_box(platform_box_error, fatal_caption, report);
    platform_exit_now(1);
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

bool str_eq(const char* a, const char* b) { return strcmp(a, b) == 0; }

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
