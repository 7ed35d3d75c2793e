// sha1: SHA-1 (FIPS 180-1) with an incremental interface.
//
// SHA1Input compresses whole 64-byte blocks straight from the caller's buffer, many per call to
// the compression function; only a partial block at either end of an input goes through
// `block`. The compression function is the one the CPU runs fastest: the x86 SHA extensions
// when present, else the portable one. The choice is made once, before main.
#include "support/sha1.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define SHA1_HAVE_X86 1
#else
#define SHA1_HAVE_X86 0
#endif

namespace {

constexpr uint32_t sha1_initial[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
constexpr uint32_t sha1_k0 = 0x5a827999; // steps 0..19
constexpr uint32_t sha1_k1 = 0x6ed9eba1; // steps 20..39
constexpr uint32_t sha1_k2 = 0x8f1bbcdc; // steps 40..59
constexpr uint32_t sha1_k3 = 0xca62c1d6; // steps 60..79
constexpr size_t sha1_block_size = 64;
constexpr size_t sha1_length_offset = 56; // where the 64-bit bit count goes in the last block

inline uint32_t rol32(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t load_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

} // namespace

// --- Portable compression ------------------------------------------------------------------

// One step: the five working variables rotate through the macro arguments instead of being
// moved, and the schedule is a 16-word ring rebuilt in place.
#define SHA1_W_LOAD(i) (w[i] = load_be32(data + 4 * (i)))
#define SHA1_W_NEXT(i)                                                                             \
    (w[(i)&15] = rol32(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i)&15], 1))
#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))
#define SHA1_STEP(f, k, wi, a, b, c, d, e)                                                         \
    do {                                                                                           \
        e += rol32(a, 5) + f(b, c, d) + (k) + (wi);                                                \
        b = rol32(b, 30);                                                                          \
    } while (0)
// Five steps bring the variables back to their starting names.
#define SHA1_STEP5(f, k, W, i)                                                                     \
    do {                                                                                           \
        SHA1_STEP(f, k, W(i), a, b, c, d, e);                                                      \
        SHA1_STEP(f, k, W((i) + 1), e, a, b, c, d);                                                \
        SHA1_STEP(f, k, W((i) + 2), d, e, a, b, c);                                                \
        SHA1_STEP(f, k, W((i) + 3), c, d, e, a, b);                                                \
        SHA1_STEP(f, k, W((i) + 4), b, c, d, e, a);                                                \
    } while (0)

void sha1_compress_portable(uint32_t h[5], const uint8_t* data, size_t blocks) {
    uint32_t w[16];
    for (; blocks > 0; blocks--, data += sha1_block_size) {
        uint32_t a = h[0];
        uint32_t b = h[1];
        uint32_t c = h[2];
        uint32_t d = h[3];
        uint32_t e = h[4];

        SHA1_STEP5(SHA1_CH, sha1_k0, SHA1_W_LOAD, 0);
        SHA1_STEP5(SHA1_CH, sha1_k0, SHA1_W_LOAD, 5);
        SHA1_STEP5(SHA1_CH, sha1_k0, SHA1_W_LOAD, 10);
        // Step 15 takes the last loaded word; the schedule starts at step 16.
        SHA1_STEP(SHA1_CH, sha1_k0, SHA1_W_LOAD(15), a, b, c, d, e);
        SHA1_STEP(SHA1_CH, sha1_k0, SHA1_W_NEXT(16), e, a, b, c, d);
        SHA1_STEP(SHA1_CH, sha1_k0, SHA1_W_NEXT(17), d, e, a, b, c);
        SHA1_STEP(SHA1_CH, sha1_k0, SHA1_W_NEXT(18), c, d, e, a, b);
        SHA1_STEP(SHA1_CH, sha1_k0, SHA1_W_NEXT(19), b, c, d, e, a);

        SHA1_STEP5(SHA1_PARITY, sha1_k1, SHA1_W_NEXT, 20);
        SHA1_STEP5(SHA1_PARITY, sha1_k1, SHA1_W_NEXT, 25);
        SHA1_STEP5(SHA1_PARITY, sha1_k1, SHA1_W_NEXT, 30);
        SHA1_STEP5(SHA1_PARITY, sha1_k1, SHA1_W_NEXT, 35);

        SHA1_STEP5(SHA1_MAJ, sha1_k2, SHA1_W_NEXT, 40);
        SHA1_STEP5(SHA1_MAJ, sha1_k2, SHA1_W_NEXT, 45);
        SHA1_STEP5(SHA1_MAJ, sha1_k2, SHA1_W_NEXT, 50);
        SHA1_STEP5(SHA1_MAJ, sha1_k2, SHA1_W_NEXT, 55);

        SHA1_STEP5(SHA1_PARITY, sha1_k3, SHA1_W_NEXT, 60);
        SHA1_STEP5(SHA1_PARITY, sha1_k3, SHA1_W_NEXT, 65);
        SHA1_STEP5(SHA1_PARITY, sha1_k3, SHA1_W_NEXT, 70);
        SHA1_STEP5(SHA1_PARITY, sha1_k3, SHA1_W_NEXT, 75);

        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
}

#undef SHA1_STEP5
#undef SHA1_STEP
#undef SHA1_MAJ
#undef SHA1_PARITY
#undef SHA1_CH
#undef SHA1_W_NEXT
#undef SHA1_W_LOAD

// --- x86 SHA extensions --------------------------------------------------------------------

#if SHA1_HAVE_X86

// Lane layout of the SHA instructions: A (and W[4g]) in the top 32 bits, E alone in the top
// lane of its register. Each sha1rnds4 runs four steps; its immediate picks the function and
// constant of steps 20*f .. 20*f+19.
#define SHA1NI_LOAD(m, offset)                                                                     \
    m = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + (offset))),       \
                         byte_swap)
// Four steps with message words `m`: E comes from A four steps back, rotated.
#define SHA1NI_ROUNDS(f, m)                                                                        \
    do {                                                                                           \
        e = _mm_sha1nexte_epu32(prev_abcd, m);                                                     \
        prev_abcd = abcd;                                                                          \
        abcd = _mm_sha1rnds4_epu32(abcd, e, f);                                                    \
    } while (0)
// Schedule: m0 = W[g-4], m1 = W[g-3], m2 = W[g-2], m3 = W[g-1]; m0 becomes W[g].
#define SHA1NI_SCHEDULE(m0, m1, m2, m3)                                                            \
    m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3)
#define SHA1NI_GROUP4(f0, f1, f2, f3)                                                              \
    do {                                                                                           \
        SHA1NI_SCHEDULE(m0, m1, m2, m3);                                                           \
        SHA1NI_ROUNDS(f0, m0);                                                                     \
        SHA1NI_SCHEDULE(m1, m2, m3, m0);                                                           \
        SHA1NI_ROUNDS(f1, m1);                                                                     \
        SHA1NI_SCHEDULE(m2, m3, m0, m1);                                                           \
        SHA1NI_ROUNDS(f2, m2);                                                                     \
        SHA1NI_SCHEDULE(m3, m0, m1, m2);                                                           \
        SHA1NI_ROUNDS(f3, m3);                                                                     \
    } while (0)

__attribute__((target("sha,sse4.1"))) static void
sha1_compress_shani(uint32_t h[5], const uint8_t* data, size_t blocks) {
    // Reverses all 16 bytes: big-endian words, W[0] in the top lane.
    const __m128i byte_swap = _mm_set_epi64x(0x0001020304050607, 0x08090a0b0c0d0e0f);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1b);
    __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);

    for (; blocks > 0; blocks--, data += sha1_block_size) {
        const __m128i abcd_saved = abcd;
        const __m128i e_saved = e0;
        __m128i m0;
        __m128i m1;
        __m128i m2;
        __m128i m3;
        SHA1NI_LOAD(m0, 0);
        SHA1NI_LOAD(m1, 16);
        SHA1NI_LOAD(m2, 32);
        SHA1NI_LOAD(m3, 48);

        // Steps 0..15: the first group adds E directly, later ones derive it from A.
        __m128i e = _mm_add_epi32(e0, m0);
        __m128i prev_abcd = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e, 0);
        SHA1NI_ROUNDS(0, m1);
        SHA1NI_ROUNDS(0, m2);
        SHA1NI_ROUNDS(0, m3);
        // Steps 16..79.
        SHA1NI_GROUP4(0, 1, 1, 1);
        SHA1NI_GROUP4(1, 1, 2, 2);
        SHA1NI_GROUP4(2, 2, 2, 3);
        SHA1NI_GROUP4(3, 3, 3, 3);

        // The final E is A of step 76 rotated, plus the saved E.
        e0 = _mm_sha1nexte_epu32(prev_abcd, e_saved);
        abcd = _mm_add_epi32(abcd, abcd_saved);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1b));
    h[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef SHA1NI_GROUP4
#undef SHA1NI_SCHEDULE
#undef SHA1NI_ROUNDS
#undef SHA1NI_LOAD

sha1_compress_fn sha1_compress_accelerated() {
    constexpr unsigned cpuid_leaf1_ecx_sse41 = 1u << 19;
    constexpr unsigned cpuid_leaf7_ebx_sha = 1u << 29;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & cpuid_leaf1_ecx_sse41) == 0)
        return nullptr;
    // __get_cpuid_count returns 0 when leaf 7 is past the CPU's highest leaf.
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0 || (ebx & cpuid_leaf7_ebx_sha) == 0)
        return nullptr;
    return sha1_compress_shani;
}

#else

sha1_compress_fn sha1_compress_accelerated() {
    return nullptr;
}

#endif

namespace {

sha1_compress_fn sha1_select_compress() {
    sha1_compress_fn accelerated = sha1_compress_accelerated();
    return accelerated != nullptr ? accelerated : sha1_compress_portable;
}

} // namespace

// Set once during static initialisation, before any thread starts; read-only afterwards
// (tests and benchmarks swap it while no hashing runs).
sha1_compress_fn sha1_compress = sha1_select_compress();

// --- The incremental interface -------------------------------------------------------------

// Compresses `block` into `hash_words` and empties it.
static void SHA1ProcessMessageBlock(SHA1State* state) {
    sha1_compress(state->hash_words, state->block, 1);
    state->block_fill = 0;
}

// Final padding: 0x80, zeros, then the 64-bit message length in bits, most significant byte
// first, ending a block.
static void SHA1PadMessage(SHA1State* state) {
    size_t fill = static_cast<size_t>(state->block_fill);
    state->block[fill++] = 0x80;
    if (fill > sha1_length_offset) {
        // No room for the length in this block: it goes into one more.
        memset(state->block + fill, 0, sha1_block_size - fill);
        SHA1ProcessMessageBlock(state);
        fill = 0;
    }
    memset(state->block + fill, 0, sha1_length_offset - fill);
    const uint32_t count[2] = {state->bit_count_high, state->bit_count_low};
    for (size_t i = 0; i < 8; i++)
        state->block[sha1_length_offset + i] =
            static_cast<uint8_t>(count[i / 4] >> (24 - 8 * (i % 4)));
    state->block_fill = static_cast<int32_t>(sha1_block_size);
    SHA1ProcessMessageBlock(state);
}

void SHA1Reset(SHA1State* state) {
    memcpy(state->hash_words, sha1_initial, sizeof sha1_initial);
    state->bit_count_low = 0;
    state->bit_count_high = 0;
    state->block_fill = 0;
    state->finished = 0;
    state->failed = 0;
}

void SHA1Input(SHA1State* state, const uint8_t* bytes, size_t length) {
    if (length == 0)
        return;
    if (state->finished != 0 || state->failed != 0) {
        state->failed = 1;
        return;
    }

    // Count the whole input at once. A message that reaches 2^64 bits has no SHA-1 digest.
    const uint64_t count =
        (static_cast<uint64_t>(state->bit_count_high) << 32) | state->bit_count_low;
    if (length > (UINT64_MAX - count) / 8) {
        state->failed = 1;
        return;
    }
    const uint64_t added = static_cast<uint64_t>(length) * 8;
    state->bit_count_low = static_cast<uint32_t>(count + added);
    state->bit_count_high = static_cast<uint32_t>((count + added) >> 32);

    size_t remaining = length;
    // top up a partial block
    if (state->block_fill > 0) {
        size_t fill = static_cast<size_t>(state->block_fill);
        size_t take = sha1_block_size - fill < remaining ? sha1_block_size - fill : remaining;
        memcpy(state->block + fill, bytes, take);
        bytes += take;
        remaining -= take;
        state->block_fill = static_cast<int32_t>(fill + take);
        if (state->block_fill < static_cast<int32_t>(sha1_block_size))
            return;
        SHA1ProcessMessageBlock(state);
    }
    // whole blocks straight from the caller's buffer
    size_t blocks = remaining / sha1_block_size;
    if (blocks > 0) {
        sha1_compress(state->hash_words, bytes, blocks);
        bytes += blocks * sha1_block_size;
        remaining -= blocks * sha1_block_size;
    }
    // keep the tail for the next input or the padding
    memcpy(state->block, bytes, remaining);
    state->block_fill = static_cast<int32_t>(remaining);
}

int SHA1Result(SHA1State* state) {
    if (state->failed != 0)
        return 0;
    if (state->finished == 0) {
        SHA1PadMessage(state);
        state->finished = 1;
    }
    return 1;
}

void sha1_digest_text(const SHA1State* state, char out[41]) {
    static constexpr char hex_digits[] = "0123456789abcdef";
    for (size_t word = 0; word < 5; word++) {
        for (size_t nibble = 0; nibble < 8; nibble++) {
            unsigned shift = static_cast<unsigned>(28 - 4 * nibble);
            out[word * 8 + nibble] = hex_digits[(state->hash_words[word] >> shift) & 0xf];
        }
    }
    out[40] = '\0';
}
