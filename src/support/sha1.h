// sha1: SHA-1 (FIPS 180-1) with an incremental interface.
#pragma once
#include <cstddef>
#include <cstdint>

struct SHA1State {
    uint32_t hash_words[5]; // H0..H4; the digest after SHA1Result
    uint32_t bit_count_low; // message length in bits so far
    uint32_t bit_count_high;
    uint8_t block[64];  // the block being filled
    int32_t block_fill; // bytes in `block`, 0..64
    int32_t finished;   // padded, digest final
    int32_t failed;     // in error; no digest will be given
};

void SHA1Reset(SHA1State* state);
void SHA1Input(SHA1State* state, const uint8_t* bytes, size_t length);
// 1 when the digest is in hash_words, 0 when the state is in error.
int SHA1Result(SHA1State* state);

// Writes the digest as 40 lowercase hex digits and a NUL into `out` (41 bytes).
void sha1_digest_text(const SHA1State* state, char out[41]);

// Compression functions, exposed so tests and benchmarks can run each on the same input.
// Each compresses `blocks` consecutive 64-byte blocks into `h`.
using sha1_compress_fn = void (*)(uint32_t h[5], const uint8_t* data, size_t blocks);
void sha1_compress_portable(uint32_t h[5], const uint8_t* data, size_t blocks);
// Null when this CPU has no SHA extensions.
sha1_compress_fn sha1_compress_accelerated();
// The function SHA1Input uses: the accelerated one when the CPU has it, else the portable one.
// Tests may replace it to exercise both paths through the whole interface.
extern sha1_compress_fn sha1_compress;
