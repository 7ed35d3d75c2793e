// binstream: the tagged binary value stream (nil, bool, int64, float, byte string, list
// header) on an open binary stdio stream. No error results: malformed input ends the process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum bs_type {
    bs_type_nil = 1,
    bs_type_bool = 2,
    bs_type_int = 3,
    bs_type_float = 4,
    bs_type_str = 5,
    bs_type_list = 6,
    bs_type_reserved = 7,
};

// The longest string, and the most items of a list header in the short forms.
constexpr uint32_t bs_max_length = 65535;
constexpr uint32_t bs_max_list_items = INT32_MAX; // most items of a list header in its long form
constexpr int bs_max_skip_depth = 64;             // nesting that bs_skip_next_value follows

// Writers: each appends one value (a list header counts as one).
void bs_write_nil(FILE* f);
void bs_write_bool(FILE* f, bool value);
void bs_write_int(FILE* f, int64_t value);
void bs_write_float(FILE* f, double value);
void bs_write_str(FILE* f, const char* text);
// The caller then writes `count` values. Up to 65535 items the header is 1 to 3 bytes; a larger
// count takes the long form, 0xDF and 4 bytes big-endian, which older readers refuse.
void bs_write_list(FILE* f, int32_t count);
void bs_write_raw(FILE* f, const void* data, size_t size);

// Readers: each consumes one value (a list: its header only).
void bs_read_nil(FILE* f);
bool bs_read_bool(FILE* f);
int64_t bs_read_int(FILE* f);
double bs_read_float(FILE* f);
char* bs_read_str(FILE* f);       // malloc'd, NUL-terminated; the caller frees it
int32_t bs_read_list(FILE* f);    // item count, 0..bs_max_list_items
bs_type bs_peek_type(FILE* f);    // the stream position is unchanged
void bs_skip_next_value(FILE* f); // a list with all its items
int bs_read_raw(FILE* f, void* buffer, size_t size); // 1 when the whole block was read
