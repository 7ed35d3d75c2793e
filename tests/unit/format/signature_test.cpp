#include "format/signature.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint8_t signer_seed[key_seed_size] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr uint8_t other_seed[key_seed_size] = {42};
constexpr int64_t expires = 1799150400; // 2027-01-05T12:00:00Z
constexpr uint64_t sequence = 7;
constexpr uint64_t list_length = 123456;

list_statement base_statement() {
    list_statement s{};
    s.sequence = sequence;
    s.expires = expires;
    s.list_length = list_length;
    for (size_t i = 0; i < sha256_size; ++i)
        s.list_sha256[i] = static_cast<uint8_t>(0xA0 + i);
    return s;
}

const std::string& good_text() {
    static const std::string text = write_statement(base_statement(), signer_seed);
    return text;
}

std::string replaced(std::string text, const std::string& find, const std::string& by) {
    size_t at = text.find(find);
    EXPECT_NE(at, std::string::npos) << find;
    return at == std::string::npos ? text : text.replace(at, find.size(), by);
}

TEST(Signature, StatementReadsBackWhatWasWritten) {
    list_statement parsed{};
    ASSERT_EQ(parse_statement(good_text(), &parsed), nullptr);
    EXPECT_EQ(parsed.sequence, sequence);
    EXPECT_EQ(parsed.expires, expires);
    EXPECT_EQ(parsed.list_length, list_length);
    EXPECT_EQ(0, memcmp(parsed.list_sha256, base_statement().list_sha256, sha256_size));
    EXPECT_EQ(good_text().substr(0, parsed.signed_length).find("signature"), std::string::npos);
    EXPECT_TRUE(good_text().starts_with("velm-signed-list 1\nsequence 7\nexpires 2027-01-05T12:00:00Z\n"
                                        "list-length 123456\nlist-sha256 a0a1a2a3"));
    EXPECT_TRUE(signed_by(good_text(), parsed, public_key_of(signer_seed)));
    EXPECT_FALSE(signed_by(good_text(), parsed, public_key_of(other_seed)));
}

TEST(Signature, MalformedStatementsAreRefused) {
    const std::string& good = good_text();
    const std::string hash_line = "list-sha256 " + hex_text(base_statement().list_sha256, sha256_size) + "\n";
    struct {
        const char* what;
        std::string text;
        const char* problem; // a fragment of the reason
    } cases[] = {
        {"empty", "", "not a signed file list statement"},
        {"another format", replaced(good, "velm-signed-list 1", "velm-signed-list 2"), "format version"},
        {"another file", "<html>404</html>", "not a signed file list statement"},
        {"longer than the cap", good + std::string(statement_max_size, '\n'), "longer than 4096"},
        {"trailing newline", good + "\n", "bytes after its signature"},
        {"trailing NUL", good + std::string(1, '\0'), "bytes after its signature"},
        {"CR LF line ends", replaced(good, "sequence 7\n", "sequence 7\r\n"), "sequence number"},
        {"sequence 0", replaced(good, "sequence 7\n", "sequence 0\n"), "sequence number"},
        {"leading zero", replaced(good, "sequence 7\n", "sequence 07\n"), "sequence number"},
        {"sign", replaced(good, "sequence 7\n", "sequence +7\n"), "sequence number"},
        {"two spaces", replaced(good, "sequence 7\n", "sequence  7\n"), "sequence number"},
        {"20 digits", replaced(good, "sequence 7\n", "sequence 10000000000000000000\n"), "sequence number"},
        {"lines swapped", replaced(good, "sequence 7\nexpires 2027-01-05T12:00:00Z\n",
                                   "expires 2027-01-05T12:00:00Z\nsequence 7\n"), "sequence number"},
        {"no such day", replaced(good, "2027-01-05", "2027-02-29"), "expiry time"},
        {"month 13", replaced(good, "2027-01-05", "2027-13-05"), "expiry time"},
        {"hour 24", replaced(good, "T12:00:00Z", "T24:00:00Z"), "expiry time"},
        {"before 1970", replaced(good, "2027-01-05", "1969-12-31"), "expiry time"},
        {"space for T", replaced(good, "2027-01-05T12", "2027-01-05 12"), "expiry time"},
        {"time zone", replaced(good, "12:00:00Z", "12:00:00+01:00"), "expiry time"},
        {"length cut", replaced(good, "list-length 123456\n", "list-length \n"), "list length"},
        {"length leading zero", replaced(good, "list-length 123456", "list-length 0123456"), "list length"},
        {"uppercase digest", replaced(good, "list-sha256 a0a1", "list-sha256 A0A1"), "list digest"},
        {"digest one digit short", replaced(good, hash_line, hash_line.substr(0, hash_line.size() - 2) + "\n"),
         "list digest"},
        {"digest not hex", replaced(good, "list-sha256 a0", "list-sha256 g0"), "list digest"},
        {"signature cut", good.substr(0, good.size() - 3) + "\n", "signature is malformed"},
        {"signature missing", good.substr(0, good.find("signature")), "signature is malformed"},
        {"no last newline", good.substr(0, good.size() - 1), "signature is malformed"},
    };
    for (const auto& c : cases) {
        list_statement parsed{};
        const char* problem = parse_statement(c.text, &parsed);
        ASSERT_NE(problem, nullptr) << c.what;
        EXPECT_NE(std::string(problem).find(c.problem), std::string::npos) << c.what << ": " << problem;
    }
    // Every text cut short is refused, wherever the cut falls.
    for (size_t length = 0; length < good.size(); ++length) {
        list_statement parsed{};
        EXPECT_NE(parse_statement(good.substr(0, length), &parsed), nullptr) << length;
    }
}

TEST(Signature, CheckRefusesWhatTheLauncherMustNotInstall) {
    const public_key signer = public_key_of(signer_seed);
    const public_key other = public_key_of(other_seed);
    const public_key rotated[] = {other, signer};
    uint8_t digest[sha256_size];
    memcpy(digest, base_statement().list_sha256, sha256_size);
    uint8_t other_digest[sha256_size];
    memcpy(other_digest, digest, sha256_size);
    other_digest[sha256_size - 1] ^= 1;
    const int64_t fresh = expires - 1000;
    // A field of the signed part changed after signing: still well-formed.
    const std::string tampered = replaced(good_text(), "sequence 7\n", "sequence 9\n");
    struct {
        const char* what;
        std::string text;
        std::vector<public_key> keys;
        uint64_t length;
        const uint8_t* sha256;
        int64_t now;
        uint64_t highest;
        list_verdict verdict;
    } cases[] = {
        {"accepted", good_text(), {signer}, list_length, digest, fresh, 6, list_verdict::accepted},
        {"the second key signed it", good_text(), {rotated[0], rotated[1]}, list_length, digest, fresh, 0,
         list_verdict::accepted},
        {"the same publish again", good_text(), {signer}, list_length, digest, fresh, 7, list_verdict::accepted},
        {"within the clock skew", good_text(), {signer}, list_length, digest, expires + clock_skew_allowance_s, 0,
         list_verdict::accepted},
        {"past the clock skew", good_text(), {signer}, list_length, digest, expires + clock_skew_allowance_s + 1, 0,
         list_verdict::expired},
        {"older than installed", good_text(), {signer}, list_length, digest, fresh, 8, list_verdict::older},
        {"expired and older", good_text(), {signer}, list_length, digest, expires * 2, 8, list_verdict::expired},
        {"another key", good_text(), {other}, list_length, digest, fresh, 0, list_verdict::not_signed},
        {"no key", good_text(), {}, list_length, digest, fresh, 0, list_verdict::not_signed},
        {"changed after signing", tampered, {signer}, list_length, digest, fresh, 0, list_verdict::not_signed},
        {"malformed", good_text() + "x", {signer}, list_length, digest, fresh, 0, list_verdict::not_signed},
        {"another length", good_text(), {signer}, list_length + 1, digest, fresh, 0, list_verdict::not_matching},
        {"another digest", good_text(), {signer}, list_length, other_digest, fresh, 0, list_verdict::not_matching},
        // A mismatch comes before expiry and sequence: the pair is fetched again first.
        {"another list, expired", good_text(), {signer}, list_length, other_digest, expires * 2, 9,
         list_verdict::not_matching},
    };
    for (const auto& c : cases) {
        list_statement parsed{};
        const char* problem = nullptr;
        EXPECT_EQ(check_statement(c.text, c.length, c.sha256, c.keys, c.now, c.highest, &parsed, &problem), c.verdict)
            << c.what;
        EXPECT_EQ(problem != nullptr, c.verdict == list_verdict::not_signed) << c.what;
    }
}

TEST(Signature, TimesKeysAndDigests) {
    struct {
        const char* text;
        int64_t seconds; // -1: refused
    } times[] = {
        {"1970-01-01T00:00:00Z", 0},           {"2000-02-29T00:00:00Z", 951782400},
        {"2027-01-05T12:00:00Z", expires},     {"9999-12-31T23:59:59Z", 253402300799},
        {"2100-02-29T00:00:00Z", -1},          {"2027-01-05T12:00:60Z", -1},
        {"2027-1-05T12:00:00Z", -1},           {"2027-01-05T12:00:00z", -1},
    };
    for (const auto& t : times) {
        int64_t seconds = -1;
        EXPECT_EQ(parse_utc(t.text, &seconds), t.seconds >= 0) << t.text;
        if (t.seconds >= 0) {
            EXPECT_EQ(seconds, t.seconds) << t.text;
            EXPECT_EQ(utc_text(t.seconds), t.text);
        }
    }

    const std::string a = hex_text(public_key_of(signer_seed).bytes, public_key_size);
    const std::string b = hex_text(public_key_of(other_seed).bytes, public_key_size);
    std::string upper = a;
    for (char& c : upper)
        c = static_cast<char>(toupper(c));
    struct {
        std::string text;
        int keys; // -1: refused
    } key_lists[] = {{"", 0}, {a, 1}, {a + "," + b, 2}, {a + ",", -1}, {"," + a, -1}, {a + ",," + b, -1},
                     {a.substr(1), -1}, {a + " ", -1}, {upper, -1}};
    for (const auto& k : key_lists) {
        std::vector<public_key> keys;
        EXPECT_EQ(parse_public_keys(k.text, &keys), k.keys >= 0) << k.text;
        if (k.keys >= 0) {
            EXPECT_EQ(keys.size(), static_cast<size_t>(k.keys)) << k.text;
        }
    }

    uint8_t seed[key_seed_size];
    const std::string key_file = signing_key_text(signer_seed);
    ASSERT_TRUE(parse_signing_key(key_file, seed));
    EXPECT_EQ(0, memcmp(seed, signer_seed, key_seed_size));
    EXPECT_FALSE(parse_signing_key(key_file + "\n", seed));
    EXPECT_FALSE(parse_signing_key(key_file.substr(0, key_file.size() - 2) + "\n", seed));

    // SHA-256 of "abc" (FIPS 180-2), fed in two pieces.
    sha256_stream stream;
    sha256_start(&stream);
    sha256_add(&stream, "a", 1);
    sha256_add(&stream, "bc", 2);
    uint8_t out[sha256_size];
    sha256_finish(&stream, out);
    EXPECT_EQ(stream.length, 3u);
    EXPECT_EQ(hex_text(out, sha256_size), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

} // namespace
