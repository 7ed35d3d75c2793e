#include "support/sha1.h"

#include <algorithm>

#include "test_util.h"

// Deterministic bytes whose digests come from an independent SHA-1 (Python's hashlib).
std::string pattern_bytes(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i++)
        out[i] = static_cast<char>((i * 7 + 3) % 256);
    return out;
}

// Digest of `message` in pieces of `first` bytes, then of `chunk` bytes; "failed" when none.
std::string digest(const std::string& message, size_t first = SIZE_MAX, size_t chunk = SIZE_MAX) {
    SHA1State state;
    SHA1Reset(&state);
    for (size_t at = 0, piece = first; at < message.size(); piece = chunk) {
        size_t n = std::min(piece, message.size() - at);
        SHA1Input(&state, reinterpret_cast<const uint8_t*>(message.data()) + at, static_cast<uint32_t>(n));
        at += n;
    }
    char text[41] = "failed";
    if (SHA1Result(&state) == 1)
        sha1_digest_text(&state, text);
    return text;
}

// Run once per compression function (portable, and the CPU's SHA extensions where present):
// FIPS examples, lengths where the padding and length field fall either side of a block's end
// (55/56, 63/64/65, 119/120), a digest word with leading zeros; then any split of the input,
// through partial blocks and whole blocks from unaligned buffers, gives the same digest.
class Sha1 : public ::testing::TestWithParam<sha1_compress_fn> {};

TEST_P(Sha1, KnownDigestsAndAnySplit) {
    if (GetParam() == nullptr)
        GTEST_SKIP() << "this CPU has no SHA extensions";
    const sha1_compress_fn saved = sha1_compress;
    sha1_compress = GetParam();
    const std::pair<std::string, const char*> rows[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}, {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {std::string(68, 'x'), "87ce4c6f0048c287dbfcf288c97f54b619480279"},
        {pattern_bytes(55), "ddf57317ef34bfee3b6df83d359098930eb278bc"}, {pattern_bytes(56), "a0d492bb0fc889d0eca3bc137066ab6f4f74f369"},
        {pattern_bytes(63), "c55856749bef509bdfe6bfebfc7bf4e793e82132"}, {pattern_bytes(64), "bede92be29c3874e1b54ddc77988d606fc857a8e"},
        {pattern_bytes(65), "b05a80522b053d6dc7e0a517d0e70212c7dad11f"}, {pattern_bytes(119), "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"},
        {pattern_bytes(120), "82134b02fb3f702491be9bed581eeab59334acb2"},
    };
    for (const auto& [message, expected] : rows)
        EXPECT_EQ(digest(message), expected) << message.size() << " bytes";
    const std::string message = pattern_bytes(1000);
    for (size_t chunk : {1, 3, 63, 64, 65, 129})
        EXPECT_EQ(digest(message, chunk, chunk), "4231a8a50a10fa9758db8ec71fdef855b751048a") << "chunk " << chunk;
    for (size_t split = 0; split <= message.size(); split++)
        ASSERT_EQ(digest(message, split), "4231a8a50a10fa9758db8ec71fdef855b751048a") << "split at " << split;
    sha1_compress = saved;
}

INSTANTIATE_TEST_SUITE_P(Compression, Sha1, ::testing::Values(sha1_compress_portable, sha1_compress_accelerated()),
                         [](const auto& info) { return info.index == 0 ? "portable" : "accelerated"; });

// The state's rules: a second result repeats the digest; input after it is an error until a
// reset; the bit count carries into its high half (files past 512 MiB); a message reaching 2^64
// bits has no digest. Rows: the count before, the bytes added, the count after, the result.
TEST(Sha1State, Rules) {
    SHA1State state;
    SHA1Reset(&state);
    SHA1Input(&state, reinterpret_cast<const uint8_t*>("abc"), 3);
    ASSERT_EQ(SHA1Result(&state) + SHA1Result(&state), 2);
    EXPECT_EQ(state.hash_words[0], 0xa9993e36u);
    SHA1Input(&state, reinterpret_cast<const uint8_t*>("d"), 1);
    EXPECT_EQ(SHA1Result(&state), 0);
    SHA1Reset(&state);
    EXPECT_EQ(SHA1Result(&state), 1);
    const struct {
        uint64_t before, added, after;
        int result;
    } rows[] = {{0xfffffff8u, 3, 0x100000010u, 1}, {UINT64_MAX - 63, 7, UINT64_MAX - 7, 1},
                {UINT64_MAX - 63, 8, UINT64_MAX - 63, 0}, {UINT64_MAX - 7, 1, UINT64_MAX - 7, 0}};
    for (const auto& r : rows) {
        SHA1Reset(&state);
        state.bit_count_high = static_cast<uint32_t>(r.before >> 32);
        state.bit_count_low = static_cast<uint32_t>(r.before);
        SHA1Input(&state, reinterpret_cast<const uint8_t*>("xxxxxxxx"), static_cast<uint32_t>(r.added));
        EXPECT_EQ((uint64_t{state.bit_count_high} << 32) | state.bit_count_low, r.after) << r.before << " + " << r.added;
        EXPECT_EQ(SHA1Result(&state), r.result) << r.before << " + " << r.added;
    }
}

