#include "support/sha1.h"

#include "test_util.h"

// Deterministic bytes whose digests come from an independent SHA-1 (Python's hashlib).
std::string pattern_bytes(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i++)
        out[i] = static_cast<char>((i * 7 + 3) % 256);
    return out;
}

// Digest of `message` given in two pieces, the first of `split` bytes; "failed" when none.
std::string digest(const std::string& message, size_t split = 0) {
    SHA1State state;
    SHA1Reset(&state);
    SHA1Input(&state, reinterpret_cast<const uint8_t*>(message.data()), static_cast<uint32_t>(split));
    SHA1Input(&state, reinterpret_cast<const uint8_t*>(message.data()) + split, static_cast<uint32_t>(message.size() - split));
    char text[41] = "failed";
    if (SHA1Result(&state) == 1)
        sha1_digest_text(&state, text);
    return text;
}

// For each compression function: FIPS examples, the length field either side of a block's end (55/56, 63/64/65), a
// digest word with leading zeros; any split of the input gives the same digest.
class Sha1 : public ::testing::TestWithParam<bool> { // accelerated
    void TearDown() override { sha1_compress = saved_; }
    const sha1_compress_fn saved_ = sha1_compress;
};

TEST_P(Sha1, KnownDigestsAndAnySplit) {
    sha1_compress = GetParam() ? sha1_compress_accelerated() : sha1_compress_portable;
    if (sha1_compress == nullptr)
        GTEST_SKIP() << "this CPU has no SHA extensions";
    const std::pair<std::string, const char*> rows[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}, {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {std::string(68, 'x'), "87ce4c6f0048c287dbfcf288c97f54b619480279"},
        {pattern_bytes(55), "ddf57317ef34bfee3b6df83d359098930eb278bc"}, {pattern_bytes(56), "a0d492bb0fc889d0eca3bc137066ab6f4f74f369"},
        {pattern_bytes(63), "c55856749bef509bdfe6bfebfc7bf4e793e82132"}, {pattern_bytes(64), "bede92be29c3874e1b54ddc77988d606fc857a8e"},
        {pattern_bytes(65), "b05a80522b053d6dc7e0a517d0e70212c7dad11f"},
    };
    for (const auto& [message, expected] : rows)
        EXPECT_EQ(digest(message), expected) << message.size() << " bytes";
    const std::string message = pattern_bytes(1000);
    for (size_t split = 0; split <= message.size(); split++)
        ASSERT_EQ(digest(message, split), "4231a8a50a10fa9758db8ec71fdef855b751048a") << "split at " << split;
}

INSTANTIATE_TEST_SUITE_P(Compression, Sha1, ::testing::Bool(), [](const auto& info) { return info.param ? "accelerated" : "portable"; });

// The bit count carries into its high half (files past 512 MiB); a message reaching 2^64 bits has no digest.
TEST(Sha1State, BitCount) {
    SHA1State state;
    const std::tuple<uint64_t, uint32_t, uint64_t, int> rows[] = {
        {0xfffffff8u, 3, 0x100000010u, 1}, {UINT64_MAX - 63, 7, UINT64_MAX - 7, 1}, {UINT64_MAX - 63, 8, UINT64_MAX - 63, 0},
        {UINT64_MAX - 7, 1, UINT64_MAX - 7, 0}};
    for (auto [before, added, after, result] : rows) {
        SHA1Reset(&state);
        state.bit_count_high = static_cast<uint32_t>(before >> 32);
        state.bit_count_low = static_cast<uint32_t>(before);
        SHA1Input(&state, reinterpret_cast<const uint8_t*>("xxxxxxxx"), added);
        EXPECT_EQ(uint64_t{state.bit_count_high} << 32 | state.bit_count_low, after) << before << " + " << added;
        EXPECT_EQ(SHA1Result(&state), result) << before << " + " << added;
    }
}
