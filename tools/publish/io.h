// io: what every part of velm-publish does with files: failure reports, hashing, compressing
// and decompressing one zstd frame, mapping, small files written atomically, and reading a file
// list without letting a malformed one end the process.
#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "format/manifest.h"
#include "support/sha1.h"

namespace fs = std::filesystem;

constexpr uint64_t list_limit = 64ULL << 20; // what the launcher accepts for the file list
constexpr uint64_t multithread_threshold = 32ULL << 20; // larger files use zstd's own threads
constexpr size_t io_chunk = 1 << 20;

// --- Reports: "velm-publish: ..." on standard error ------------------------------------------
[[noreturn]] void fail(const std::string& message); // then exit status 1
void warn(const std::string& message);
std::string describe(const fs::path& path, const std::error_code& ec);
std::string describe_errno(const fs::path& path);
std::string size_text(uint64_t bytes);                   // "812 bytes", "1.2 kB", "3.4 MB"
std::string percent_text(uint64_t part, uint64_t whole); // "3.1 %", "< 0.1 %"

// A FILE* closed when the scope ends; a file written in full is released and closed by hand, to
// check that its last bytes reached the disk.
struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// --- Hashing ----------------------------------------------------------------------------------
std::string digest_of(SHA1State* sha); // 40 hex digits, or "" when SHA-1 failed
std::string digest_of_bytes(std::span<const uint8_t> bytes);
// The SHA-1 of the file at `path` and the bytes read, or false with the reason in *error.
bool hash_file(const fs::path& path, std::string* digest, uint64_t* size, std::string* error);

// --- One zstd frame ---------------------------------------------------------------------------
// Decompresses the zstd frames in `zs` (one against `prefix`, a patch's base, when it is not
// empty), feeding every byte to `sha` and, when given, to `out`. False (reason in *error) on a
// damaged or truncated frame, data after a patch's frame, or more than `limit` bytes of output.
bool decompress_zs(const fs::path& zs, uint64_t limit, std::span<const uint8_t> prefix,
                   SHA1State* sha, FILE* out, uint64_t* produced, std::string* error);
// Whether `zs` decompresses to exactly `size` bytes whose SHA-1 is `hash`; if not, why.
bool zs_holds(const fs::path& zs, uint64_t size, const char* hash, std::string* error);
// Compresses `in_path` into `out_path` as one frame that records its size and checksum. The
// input must still be `size` bytes with SHA-1 `hash`, as it was when it was listed: a file that
// changed meanwhile fails rather than contradict the list.
bool compress_file(const fs::path& in_path, const fs::path& out_path, uint64_t size,
                   const std::string& hash, int level, std::string* error);

// --- Mapped files -----------------------------------------------------------------------------
// A file's content mapped read-only, unmapped when the scope ends; an empty file maps to nothing.
struct mapped_file {
    void* data = nullptr;
    size_t size = 0;

    mapped_file() = default;
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;
    ~mapped_file();
    std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t*>(data), size}; }
};
bool map_file(const fs::path& path, mapped_file* out, std::string* error);
// Decompresses `zs` (at most `limit` bytes) into a file in `dir` that has no name from the start
// (nothing is left behind, whatever ends the process), and maps it; *digest is its SHA-1.
bool map_decompressed(const fs::path& zs, const fs::path& dir, uint64_t limit, mapped_file* out,
                      std::string* digest, std::string* error);

// --- Small files --------------------------------------------------------------------------------
// Reads a file whole; false (reason in *error) when it cannot, or holds more than `limit`.
bool read_small_file(const fs::path& path, size_t limit, std::string* text, std::string* error);
// Writes `text` to `path` through "<path>.new", flushed to the disk and renamed over it: a crash
// leaves the old file or the new one. False with the reason in *error.
bool write_file_atomically(const fs::path& path, const std::string& text, std::string* error);
// Hard-links `from` at `to`, or copies it where links fail; false (nothing left at `to`) when
// neither works.
bool link_or_copy(const fs::path& from, const fs::path& to);

// --- File lists -------------------------------------------------------------------------------
// The list compressed in `zs`, decompressed into a temporary file at its start; null with the
// reason in *error.
file_ptr decompressed_list(const fs::path& zs, std::string* error);
// Reads the entries of the compressed list `zs` into the empty `table` without the name rules
// (read_manifest_entries). A list that does not decompress or parse is reported in *error, and
// false returned, instead of ending the process: the value stream is first read by a child
// process, whose fatal report becomes the reason.
bool read_list(const fs::path& zs, game_file_table* table, std::string* error);

// Runs `work` on one thread per core and waits for them all.
void run_on_every_core(const std::function<void()>& work);
