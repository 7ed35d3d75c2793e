// decompression: zstd stream decompression from one file into another, in bounded memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t decompress_problem_size = 512;

struct decompress_args {
    const char* in_path;
    uint64_t offset;      // where the stream starts in the input (after a header of the caller's)
    const char* out_path; // created or truncated
    uint64_t limit;       // the most bytes the output may have
    const void* prefix;   // content the stream was compressed against (a patch's base), or null;
    size_t prefix_size;   // with a prefix, the output is written through a mapping of `limit` bytes
};

struct decompress_result {
    bool ok;
    char problem[decompress_problem_size]; // why the stream is not right, when !ok
    char digest[41]; // SHA-1 of the output as 40 lowercase hex digits, when ok
};

// Decompresses one or more complete zstd frames. A stream that is not right (a library error,
// output past `limit`, no stream at all, an end inside a frame) is reported in `result`, with
// part of the output possibly written. A local file that cannot be read or written is a fatal
// report naming it.
void decompress(const decompress_args& args, decompress_result* result);

// Decompresses the complete zstd frames in `in` into `out`, at most `limit` bytes, and its SHA-1;
// a stream that is not right is reported in `result` as decompress() does. For what never
// touches the disk (the file list).
void decompress_memory(std::string_view in, uint64_t limit, std::string* out,
                       decompress_result* result);

// decompress() of a whole file without prefix, where any problem is a fatal report.
void decompress_file(const char* in_path, const char* out_path, uint64_t limit);
