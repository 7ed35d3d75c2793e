// chunks: a large file cut into content-defined chunks, so that two versions of it share every
// chunk but those near what changed, and a launcher holding any older version fetches only the
// chunks it lacks.
//
// A boundary falls after a byte where a rolling hash of the 64 bytes before it has its top
// `mask_bits` bits clear, no sooner than `min_size` bytes and no later than `max_size` bytes
// after the chunk's start: an insertion moves only the boundaries near it. The publisher and the
// launcher cut with the same parameters, which the index records.
//
// On the server, a release tree holds each distinct chunk once, compressed as one zstd frame,
// as ".chunks/<SHA-1 of the chunk>.zst" (chunk_name), shared across files and versions, and
// for each version of a chunked file its index ".chunks/<SHA-1 of the file>.index"
// (chunk_index_name): no listed name can be below a directory whose name begins with '.'.
//
// The index, little-endian:
//   "velm-chunks 1\n"                      14 bytes
//   mask_bits, min_size, max_size          4 bytes each
//   the file's size                        8 bytes
//   the file's SHA-1                       20 bytes
//   the number of chunks                   4 bytes
//   per chunk: its SHA-1, its size         20 + 4 bytes, in the file's order
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "format/names.h"
#include "support/sha1.h"

constexpr size_t chunk_default_average = 1 << 20; // what a publish cuts to unless told otherwise
constexpr size_t chunk_min_average = 16 << 10;
constexpr size_t chunk_max_average = 4 << 20;
constexpr size_t chunk_window = 64; // bytes the rolling hash covers
constexpr size_t chunk_digest_size = 20;
constexpr size_t chunk_name_size = sizeof(".chunks/") + 40 + sizeof(".index") - 1;
constexpr size_t chunk_index_limit = 16
                                     << 20; // the largest index a launcher reads (700,000 chunks)

struct chunk_params {
    uint32_t mask_bits;
    uint32_t min_size;
    uint32_t max_size;
};

// The parameters that cut chunks of `average` bytes on average (a power of two from
// chunk_min_average to chunk_max_average): at least half of that, at most four times.
chunk_params chunk_params_for(size_t average);
// Why the parameters cannot be a launcher's (they would cut absurdly small or large chunks), or
// null.
const char* chunk_params_problem(const chunk_params& params);

// Cuts a stream of bytes. Start each file with chunk_cutter_start; then chunk_cut, as the bytes
// arrive, tells how many of them belong to the current chunk and whether it ends after them.
// Whatever is left when the file ends is its last chunk.
struct chunk_cutter {
    chunk_params params;
    uint64_t hash;
    uint64_t length; // of the current chunk so far
};
void chunk_cutter_start(chunk_cutter* cutter, const chunk_params& params);
size_t chunk_cut(chunk_cutter* cutter, const uint8_t* data, size_t size, bool* ends);

// Reads `f` to its end and cuts it: `found` gets each chunk's offset, size and SHA-1, in order,
// and `whole`, when given, every byte. False on a read error, or when `go_on` (when given) was
// cleared meanwhile.
struct chunk_found {
    uint64_t offset;
    uint32_t size;
    uint8_t digest[20];
};
bool chunk_stream(FILE* f, const chunk_params& params,
                  const std::function<void(const chunk_found&)>& found, SHA1State* whole,
                  const std::atomic<bool>* go_on);

struct chunk_entry {
    uint8_t digest[chunk_digest_size];
    uint32_t size;
};

struct chunk_index {
    chunk_params params;
    uint64_t file_size;
    uint8_t file_digest[chunk_digest_size];
    std::vector<chunk_entry> chunks;
};

std::string chunk_index_bytes(const chunk_index& index);
// Reads an index; null, or why `bytes` is not one: malformed, parameters out of bounds, a chunk
// empty or larger than the largest, sizes that do not add up to the file's.
const char* chunk_index_parse(std::string_view bytes, chunk_index* index);

// Decompresses `packed`, the stored frame of `chunk`, into `out` (chunk.size bytes); null, or why
// it does not hold that chunk (a zstd error, another size, another SHA-1).
const char* chunk_unpack(std::string_view packed, const chunk_entry& chunk, uint8_t* out);

// ".chunks/<digest>.zst" and ".chunks/<digest>.index" into `out` (chunk_name_size bytes), for
// a chunk's 40-digit SHA-1 and a file's.
void chunk_name(const char* digest, char (&out)[chunk_name_size]);
void chunk_index_name(const char* file_digest, char (&out)[chunk_name_size]);
// The digest of `sha`, which SHA1Result finished, as bytes.
void chunk_digest_bytes(const SHA1State* sha, uint8_t (&out)[chunk_digest_size]);
// A digest's 40 lowercase hex digits, with the NUL, into `out`.
void chunk_digest_text(const uint8_t digest[chunk_digest_size], char (&out)[41]);
