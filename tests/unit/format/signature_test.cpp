#include "format/signature.h"

#include "test_util.h"

#include <cctype>

constexpr uint8_t signer_seed[key_seed_size] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr uint8_t other_seed[key_seed_size] = {42};
constexpr int64_t expires = 1799150400; // 2027-01-05T12:00:00Z

list_statement base_statement() {
    list_statement s{};
    s.sequence = 7;
    s.expires = expires;
    s.list_length = 123456;
    for (size_t i = 0; i < sha256_size; ++i)
        s.list_sha256[i] = static_cast<uint8_t>(0xA0 + i);
    return s;
}

const std::string good = write_statement(base_statement(), signer_seed);

std::string replaced(std::string text, const std::string& find, const std::string& by) {
    size_t at = text.find(find);
    EXPECT_NE(at, std::string::npos) << find;
    return at == std::string::npos ? text : text.replace(at, find.size(), by);
}

// What is written reads back, in the fixed text form, and only the signer's key verifies it.
TEST(Signature, StatementReadsBackWhatWasWritten) {
    list_statement parsed{};
    ASSERT_EQ(parse_statement(good, &parsed), nullptr);
    EXPECT_EQ(parsed.sequence, 7u);
    EXPECT_EQ(parsed.expires, expires);
    EXPECT_EQ(parsed.list_length, 123456u);
    EXPECT_EQ(0, memcmp(parsed.list_sha256, base_statement().list_sha256, sha256_size));
    EXPECT_EQ(good.substr(0, parsed.signed_length).find("signature"), std::string::npos);
    EXPECT_TRUE(good.starts_with("velm-signed-list 1\nsequence 7\nexpires 2027-01-05T12:00:00Z\n"
                                 "list-length 123456\nlist-sha256 a0a1a2a3"));
    EXPECT_TRUE(signed_by(good, parsed, public_key_of(signer_seed)));
    EXPECT_FALSE(signed_by(good, parsed, public_key_of(other_seed)));
}

// Every byte is fixed by the format: each row breaks one rule and names the field refused;
// every text cut short is refused wherever the cut falls.
TEST(Signature, MalformedStatementsAreRefused) {
    const std::string hash_line = "list-sha256 " + hex_text(base_statement().list_sha256, sha256_size) + "\n";
    const struct {
        std::string text;
        const char* problem; // a fragment of the reason
    } rows[] = {
        {"", "not a signed file list statement"},
        {"<html>404</html>", "not a signed file list statement"},
        {replaced(good, "velm-signed-list 1", "velm-signed-list 2"), "format version"},
        {good + std::string(statement_max_size, '\n'), "longer than 4096"},
        {good + "\n", "bytes after its signature"},
        {good + std::string(1, '\0'), "bytes after its signature"},
        {replaced(good, "sequence 7\n", "sequence 7\r\n"), "sequence number"},
        {replaced(good, "sequence 7\n", "sequence 0\n"), "sequence number"},
        {replaced(good, "sequence 7\n", "sequence 07\n"), "sequence number"},
        {replaced(good, "sequence 7\n", "sequence +7\n"), "sequence number"},
        {replaced(good, "sequence 7\n", "sequence  7\n"), "sequence number"},
        {replaced(good, "sequence 7\n", "sequence 10000000000000000000\n"), "sequence number"},
        {replaced(good, "sequence 7\nexpires 2027-01-05T12:00:00Z\n", "expires 2027-01-05T12:00:00Z\nsequence 7\n"),
         "sequence number"},
        {replaced(good, "2027-01-05", "2027-02-29"), "expiry time"},
        {replaced(good, "2027-01-05", "2027-13-05"), "expiry time"},
        {replaced(good, "T12:00:00Z", "T24:00:00Z"), "expiry time"},
        {replaced(good, "2027-01-05", "1969-12-31"), "expiry time"},
        {replaced(good, "2027-01-05T12", "2027-01-05 12"), "expiry time"},
        {replaced(good, "12:00:00Z", "12:00:00+01:00"), "expiry time"},
        {replaced(good, "list-length 123456\n", "list-length \n"), "list length"},
        {replaced(good, "list-length 123456", "list-length 0123456"), "list length"},
        {replaced(good, "list-sha256 a0a1", "list-sha256 A0A1"), "list digest"},
        {replaced(good, hash_line, hash_line.substr(0, hash_line.size() - 2) + "\n"), "list digest"},
        {replaced(good, "list-sha256 a0", "list-sha256 g0"), "list digest"},
        {good.substr(0, good.size() - 3) + "\n", "signature is malformed"},
        {good.substr(0, good.find("signature")), "signature is malformed"},
        {good.substr(0, good.size() - 1), "signature is malformed"},
    };
    for (const auto& r : rows) {
        list_statement parsed{};
        const char* problem = parse_statement(r.text, &parsed);
        ASSERT_NE(problem, nullptr) << r.text;
        EXPECT_NE(std::string(problem).find(r.problem), std::string::npos) << r.text << ": " << problem;
    }
    for (size_t length = 0; length < good.size(); ++length) {
        list_statement parsed{};
        EXPECT_NE(parse_statement(good.substr(0, length), &parsed), nullptr) << length;
    }
}

// The verdicts, checked in this order: form, signature (any of the keys), the list's length and
// digest, expiry (with a day of clock skew), then the sequence (equal is accepted).
TEST(Signature, CheckRefusesWhatTheLauncherMustNotInstall) {
    const public_key signer = public_key_of(signer_seed);
    const public_key other = public_key_of(other_seed);
    const list_statement base = base_statement();
    const uint8_t* list_digest = base.list_sha256;
    uint8_t other_digest[sha256_size];
    memcpy(other_digest, list_digest, sha256_size);
    other_digest[sha256_size - 1] ^= 1;
    const int64_t fresh = expires - 1000;
    const int64_t late = expires + clock_skew_allowance_s;
    const std::string tampered = replaced(good, "sequence 7\n", "sequence 9\n"); // well-formed, signed as 7
    using enum list_verdict;
    const struct {
        std::string text;
        std::vector<public_key> keys;
        uint64_t length;
        const uint8_t* sha256;
        int64_t now;
        uint64_t highest;
        list_verdict verdict;
    } rows[] = {
        {good, {signer}, 123456, list_digest, fresh, 6, accepted},
        {good, {other, signer}, 123456, list_digest, fresh, 0, accepted},
        {good, {signer}, 123456, list_digest, fresh, 7, accepted},
        {good, {signer}, 123456, list_digest, late, 0, accepted},
        {good, {signer}, 123456, list_digest, late + 1, 0, expired},
        {good, {signer}, 123456, list_digest, fresh, 8, older},
        {good, {signer}, 123456, list_digest, expires * 2, 8, expired},
        {good, {other}, 123456, list_digest, fresh, 0, not_signed},
        {good, {}, 123456, list_digest, fresh, 0, not_signed},
        {tampered, {signer}, 123456, list_digest, fresh, 0, not_signed},
        {good + "x", {signer}, 123456, list_digest, fresh, 0, not_signed},
        {good, {signer}, 123457, list_digest, fresh, 0, not_matching},
        {good, {signer}, 123456, other_digest, fresh, 0, not_matching},
        {good, {signer}, 123456, other_digest, expires * 2, 9, not_matching}, // fetched again before expiry counts
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& r = rows[i];
        list_statement parsed{};
        const char* problem = nullptr;
        EXPECT_EQ(check_statement(r.text, r.length, r.sha256, r.keys, r.now, r.highest, &parsed, &problem), r.verdict)
            << "row " << i;
        EXPECT_EQ(problem != nullptr, r.verdict == not_signed) << "row " << i;
    }
}

// Times both ways (leap days, the range's ends, refused forms), the launcher's key lists, the
// secret key file, and SHA-256 fed in pieces.
TEST(Signature, TimesKeysAndDigests) {
    const struct {
        const char* text;
        int64_t seconds; // -1: refused
    } times[] = {{"1970-01-01T00:00:00Z", 0},      {"2000-02-29T00:00:00Z", 951782400},
                 {"2027-01-05T12:00:00Z", expires}, {"9999-12-31T23:59:59Z", 253402300799},
                 {"2100-02-29T00:00:00Z", -1},      {"2027-01-05T12:00:60Z", -1},
                 {"2027-1-05T12:00:00Z", -1},       {"2027-01-05T12:00:00z", -1}};
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
    const std::pair<std::string, int> key_lists[] = {{"", 0},          {a, 1},          {a + "," + b, 2},
                                                     {a + ",", -1},    {"," + a, -1},   {a + ",," + b, -1},
                                                     {a.substr(1), -1}, {a + " ", -1}, {upper, -1}}; // -1: refused
    for (const auto& [text, count] : key_lists) {
        std::vector<public_key> keys;
        EXPECT_EQ(parse_public_keys(text, &keys), count >= 0) << text;
        EXPECT_TRUE(count < 0 || keys.size() == static_cast<size_t>(count)) << text;
    }
    uint8_t seed[key_seed_size];
    const std::string key_file = signing_key_text(signer_seed);
    ASSERT_TRUE(parse_signing_key(key_file, seed));
    EXPECT_EQ(0, memcmp(seed, signer_seed, key_seed_size));
    EXPECT_FALSE(parse_signing_key(key_file + "\n", seed));
    EXPECT_FALSE(parse_signing_key(key_file.substr(0, key_file.size() - 2) + "\n", seed));

    sha256_stream stream; // SHA-256 of "abc" (FIPS 180-2)
    sha256_start(&stream);
    sha256_add(&stream, "a", 1);
    sha256_add(&stream, "bc", 2);
    uint8_t out[sha256_size];
    sha256_finish(&stream, out);
    EXPECT_EQ(stream.length, 3u);
    EXPECT_EQ(hex_text(out, sha256_size), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

