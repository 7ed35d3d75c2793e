// decompression: zstd stream decompression from one file into another, in bounded memory.
#pragma once
#include <cstdint>

// Decompresses `in_path` (one or more complete zstd frames) into `out_path`, creating or
// truncating it. Output past `limit` bytes, a library error, an I/O error, an empty input or
// one that ends inside a frame: a message on standard error and exit status 1.
void decompress_file(const char* in_path, const char* out_path, uint64_t limit);
