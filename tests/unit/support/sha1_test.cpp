// SHA-1 module and compute_file_hash: known digests through both compression functions, the
// padding edges, arbitrary input splits and the state rules.
#include "support/sha1.h"

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/utils.h"
#include "test_util.h"

namespace {

// Deterministic bytes whose digests were computed with an independent SHA-1 (Python hashlib).
std::string pattern_bytes(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i++)
        out[i] = static_cast<char>((i * 7 + 3) % 256);
    return out;
}

std::string file_bytes(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i++)
        out[i] = static_cast<char>(static_cast<uint32_t>(i * 2654435761u) >> 24);
    return out;
}

const uint8_t* as_bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// Digest of `message` fed in pieces of `chunk` bytes (the last one shorter).
std::string digest_in_chunks(const std::string& message, size_t chunk) {
    SHA1State state;
    SHA1Reset(&state);
    for (size_t at = 0; at < message.size(); at += chunk) {
        size_t piece = std::min(chunk, message.size() - at);
        SHA1Input(&state, as_bytes(message) + at, static_cast<uint32_t>(piece));
    }
    if (SHA1Result(&state) != 1)
        return "failed";
    char text[41];
    sha1_digest_text(&state, text);
    return text;
}

std::string digest(const std::string& message) {
    return digest_in_chunks(message, std::max<size_t>(message.size(), 1));
}

struct digest_case {
    const char* label;
    std::string message;
    const char* expected;
};

const std::vector<digest_case>& digest_cases() {
    static const std::vector<digest_case> cases = {
        {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"two-block FIPS", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"million a", std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // 55 bytes leave room for the length, 56 and 63 push it into a second block.
        {"55 bytes", pattern_bytes(55), "ddf57317ef34bfee3b6df83d359098930eb278bc"},
        {"56 bytes", pattern_bytes(56), "a0d492bb0fc889d0eca3bc137066ab6f4f74f369"},
        {"63 bytes", pattern_bytes(63), "c55856749bef509bdfe6bfebfc7bf4e793e82132"},
        {"64 bytes", pattern_bytes(64), "bede92be29c3874e1b54ddc77988d606fc857a8e"},
        {"65 bytes", pattern_bytes(65), "b05a80522b053d6dc7e0a517d0e70212c7dad11f"},
        {"119 bytes", pattern_bytes(119), "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"},
        {"120 bytes", pattern_bytes(120), "82134b02fb3f702491be9bed581eeab59334acb2"},
        {"10000 bytes", pattern_bytes(10000), "504bab9f255da75e2c3c08dfbc11061a05996bbf"},
    };
    return cases;
}

// Runs each test once per compression function, through the whole interface.
class Sha1Compress : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        saved_ = sha1_compress;
        if (GetParam()) {
            sha1_compress_fn accelerated = sha1_compress_accelerated();
            if (accelerated == nullptr)
                GTEST_SKIP() << "this CPU has no SHA extensions";
            sha1_compress = accelerated;
        } else {
            sha1_compress = sha1_compress_portable;
        }
    }
    void TearDown() override { sha1_compress = saved_; }

  private:
    sha1_compress_fn saved_ = nullptr;
};

TEST_P(Sha1Compress, KnownDigests) {
    for (const digest_case& c : digest_cases())
        EXPECT_EQ(digest(c.message), c.expected) << c.label;
}

TEST_P(Sha1Compress, EverySplitOfTwoPiecesGivesTheSameDigest) {
    const std::string message = pattern_bytes(1000);
    const char* expected = "4231a8a50a10fa9758db8ec71fdef855b751048a";
    for (size_t split = 0; split <= message.size(); split++) {
        SHA1State state;
        SHA1Reset(&state);
        SHA1Input(&state, as_bytes(message), static_cast<uint32_t>(split));
        SHA1Input(&state, as_bytes(message) + split, static_cast<uint32_t>(message.size() - split));
        ASSERT_EQ(SHA1Result(&state), 1);
        char text[41];
        sha1_digest_text(&state, text);
        ASSERT_STREQ(text, expected) << "split at " << split;
    }
}

TEST_P(Sha1Compress, OddChunkSizesGiveTheSameDigest) {
    const std::string message = pattern_bytes(10000);
    for (size_t chunk : {1, 3, 7, 55, 63, 64, 65, 127, 128, 129, 1000, 4097})
        EXPECT_EQ(digest_in_chunks(message, chunk), "504bab9f255da75e2c3c08dfbc11061a05996bbf")
            << "chunk " << chunk;
}

INSTANTIATE_TEST_SUITE_P(Sha1, Sha1Compress, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "accelerated" : "portable";
                         });

// Both functions agree on many blocks in one call, from an unaligned start.
TEST(Sha1, CompressionFunctionsAgreeOnManyBlocks) {
    sha1_compress_fn accelerated = sha1_compress_accelerated();
    if (accelerated == nullptr)
        GTEST_SKIP() << "this CPU has no SHA extensions";
    const std::string data = test_util::random_bytes(64 * 37 + 1, 42);
    uint32_t portable_h[5] = {1, 2, 3, 4, 5};
    uint32_t accelerated_h[5] = {1, 2, 3, 4, 5};
    sha1_compress_portable(portable_h, as_bytes(data) + 1, 37);
    accelerated(accelerated_h, as_bytes(data) + 1, 37);
    EXPECT_EQ(0, memcmp(portable_h, accelerated_h, sizeof portable_h));
}

TEST(Sha1, ZeroLengthInputChangesNothingEvenAfterTheResult) {
    SHA1State state;
    SHA1Reset(&state);
    SHA1Input(&state, as_bytes(std::string("ab")), 2);
    SHA1State before = state;
    SHA1Input(&state, nullptr, 0);
    EXPECT_EQ(0, memcmp(&before, &state, sizeof state));

    ASSERT_EQ(SHA1Result(&state), 1);
    before = state;
    SHA1Input(&state, nullptr, 0);
    EXPECT_EQ(0, memcmp(&before, &state, sizeof state));
    EXPECT_EQ(SHA1Result(&state), 1);
}

TEST(Sha1, SecondResultReturnsTheSameDigestWithoutPaddingAgain) {
    SHA1State state;
    SHA1Reset(&state);
    SHA1Input(&state, as_bytes(std::string("abc")), 3);
    ASSERT_EQ(SHA1Result(&state), 1);
    ASSERT_EQ(SHA1Result(&state), 1);
    char text[41];
    sha1_digest_text(&state, text);
    EXPECT_STREQ(text, "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, InputAfterTheResultPutsTheStateInError) {
    SHA1State state;
    SHA1Reset(&state);
    SHA1Input(&state, as_bytes(std::string("abc")), 3);
    ASSERT_EQ(SHA1Result(&state), 1);
    SHA1Input(&state, as_bytes(std::string("d")), 1);
    EXPECT_EQ(state.failed, 1);
    EXPECT_EQ(SHA1Result(&state), 0);
    // Once failed, further input keeps it failed; a reset starts over.
    SHA1Input(&state, as_bytes(std::string("e")), 1);
    EXPECT_EQ(SHA1Result(&state), 0);
    SHA1Reset(&state);
    SHA1Input(&state, as_bytes(std::string("abc")), 3);
    ASSERT_EQ(SHA1Result(&state), 1);
    char text[41];
    sha1_digest_text(&state, text);
    EXPECT_STREQ(text, "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, BitCountCarriesIntoTheHighHalf) {
    SHA1State state;
    SHA1Reset(&state);
    state.bit_count_low = 0xfffffff8u;
    SHA1Input(&state, as_bytes(std::string("abc")), 3);
    EXPECT_EQ(state.bit_count_low, 0x10u);
    EXPECT_EQ(state.bit_count_high, 1u);
    EXPECT_EQ(state.failed, 0);
}

TEST(Sha1, MessageReaching2To64BitsFails) {
    struct overflow_case {
        uint32_t low;
        uint32_t length;
        int failed;
    };
    // The count starts at 2^64 - 64 bits (high half all ones); 8 bytes reach 2^64 exactly.
    const overflow_case cases[] = {
        {0xffffffc0u, 7, 0},
        {0xffffffc0u, 8, 1},
        {0xffffffc0u, 100000, 1},
        {0xfffffff8u, 1, 1},
    };
    for (const overflow_case& c : cases) {
        SHA1State state;
        SHA1Reset(&state);
        state.bit_count_high = 0xffffffffu;
        state.bit_count_low = c.low;
        const std::string input(c.length, 'x');
        SHA1Input(&state, as_bytes(input), c.length);
        EXPECT_EQ(state.failed, c.failed) << c.low << " + " << c.length;
        EXPECT_EQ(SHA1Result(&state), c.failed != 0 ? 0 : 1) << c.low << " + " << c.length;
    }
}

// --- compute_file_hash ---------------------------------------------------------------------

TEST(ComputeFileHash, KnownFiles) {
    struct file_case {
        std::string content;
        const char* expected;
    };
    // Sizes around and at multiples of the 32768-byte read chunk; 68 'x' bytes give a digest
    // whose second word starts with two zero digits.
    const file_case cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {file_bytes(1), "5ba93c9db0cff93f52b521d7420e43f6eda2784f"},
        {file_bytes(32767), "5ae8036b5c5acc58ffba87295aa7f68a60a3c089"},
        {file_bytes(32768), "a5e4a25a694709645e244ff1ef17fa721329bbcf"},
        {file_bytes(32769), "9961e77740d6303eb857087a11be2102860cdc47"},
        {file_bytes(65536), "14bb9ad73f541faad1d0aeb0c16a804d89b34545"},
        {std::string(68, 'x'), "87ce4c6f0048c287dbfcf288c97f54b619480279"},
    };
    const std::regex lowercase_digest("[0-9a-f]{40}");
    test_util::scratch_dir dir;
    for (const file_case& c : cases) {
        const std::string path = dir / ("f" + std::to_string(c.content.size()));
        test_util::write_file(path, c.content);
        char* text = compute_file_hash(path.c_str());
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.expected) << c.content.size() << " bytes";
        EXPECT_TRUE(std::regex_match(text, lowercase_digest)) << text;
        free(text);
    }
}

} // namespace
