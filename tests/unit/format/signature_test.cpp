#include "format/signature.h"

#include "test_util.h"

constexpr uint8_t signer_seed[key_seed_size] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr uint8_t other_seed[key_seed_size] = {42};
constexpr int64_t expires = 1799150400; // 2027-01-05T12:00:00Z

static list_statement base_statement() {
    list_statement s{7, expires, 123456, {}, {}, 0};
    for (size_t i = 0; i < sha256_size; ++i)
        s.list_sha256[i] = static_cast<uint8_t>(0xA0 + i);
    return s;
}

static const std::string good = write_statement(base_statement(), signer_seed);

// The good statement with `find` replaced by `by`.
static std::string with(const std::string& find, const std::string& by) {
    EXPECT_NE(good.find(find), std::string::npos) << find;
    return std::string(good).replace(good.find(find), find.size(), by);
}

// The statement as written; each row breaks one rule of the format and names the field; every cut is refused.
TEST(Signature, MalformedStatementsAreRefused) {
    EXPECT_TRUE(good.starts_with("velm-signed-list 1\nsequence 7\nexpires 2027-01-05T12:00:00Z\nlist-length 123456\n"));
    list_statement leap_day{};
    EXPECT_TRUE(parse_statement(with("2027-01-05", "2028-02-29"), &leap_day) == nullptr && leap_day.expires == 1835438400);
    const std::string hash_line = "list-sha256 " + hex_text(base_statement().list_sha256, sha256_size) + "\n";
    const std::string seq = "sequence 7\n";
    const std::pair<std::string, const char*> rows[] = {
        {"", "not a signed file list statement"}, {"<html>404</html>", "not a signed file list statement"},
        {with("velm-signed-list 1", "velm-signed-list 2"), "format version"}, {good + "\n", "bytes after its signature"},
        {good + std::string(statement_max_size, '\n'), "longer than 4096"}, {with(seq, "sequence 7\r\n"), "sequence number"},
        {with(seq, "sequence 0\n"), "sequence number"}, {with(seq, "sequence 07\n"), "sequence number"},
        {with(seq, "sequence +7\n"), "sequence number"}, {with(seq, "sequence 10000000000000000000\n"), "sequence number"},
        {with(seq + "expires 2027-01-05T12:00:00Z\n", "expires 2027-01-05T12:00:00Z\n" + seq), "sequence number"},
        {with("2027-01-05", "2027-02-29"), "expiry time"}, {with("2027-01-05", "2100-02-29"), "expiry time"},
        {with("2027-01-05", "2027-13-05"), "expiry time"}, {with(":00:00Z", ":00:60Z"), "expiry time"},
        {with("T12:00:00Z", "T24:00:00Z"), "expiry time"}, {with("2027-01-05", "1969-12-31"), "expiry time"},
        {with("05T12", "05 12"), "expiry time"}, {with("00:00Z", "00:00+01:00"), "expiry time"},
        {with("th 123456\n", "th \n"), "list length"}, {with("sha256 a0a1", "sha256 A0A1"), "list digest"},
        {with(hash_line, hash_line.substr(0, hash_line.size() - 2) + "\n"), "list digest"},
        {good.substr(0, good.size() - 3) + "\n", "signature is malformed"}, {good.substr(0, good.size() - 1), "signature is malformed"}};
    for (const auto& [text, fragment] : rows) {
        list_statement parsed{};
        const char* problem = parse_statement(text, &parsed);
        EXPECT_NE(std::string(problem ? problem : "accepted").find(fragment), std::string::npos) << text << ": " << problem;
    }
    for (size_t length = 0; length < good.size(); ++length) {
        list_statement parsed{};
        EXPECT_NE(parse_statement(good.substr(0, length), &parsed), nullptr) << length;
    }
}

// The verdicts in their order: form, signature by any key, the list's length and digest, expiry (a day of clock
// skew), then the sequence (an equal one accepted).
TEST(Signature, CheckRefusesWhatTheLauncherMustNotInstall) {
    const public_key signer = public_key_of(signer_seed), other = public_key_of(other_seed);
    const list_statement base = base_statement();
    list_statement other_list = base;
    other_list.list_sha256[sha256_size - 1] ^= 1;
    const int64_t fresh = expires - 1000, late = expires + clock_skew_allowance_s, later = expires * 2;
    const std::string tampered = with("sequence 7\n", "sequence 9\n"); // well-formed, signed as 7
    const uint8_t* same = base.list_sha256;
    using enum list_verdict;
    const std::tuple<std::string, std::vector<public_key>, uint64_t, const uint8_t*, int64_t, uint64_t, list_verdict> rows[] = {
        // the statement, the keys, the list's length and digest, the time, the sequence accepted before; the verdict
        {good, {signer}, 123456, same, fresh, 6, accepted}, {good, {other, signer}, 123456, same, fresh, 0, accepted},
        {good, {signer}, 123456, same, fresh, 7, accepted}, {good, {signer}, 123456, same, late, 0, accepted},
        {good, {signer}, 123456, same, late + 1, 0, expired}, {good, {signer}, 123456, same, fresh, 8, older},
        {good, {signer}, 123456, same, later, 8, expired}, {good, {other}, 123456, same, fresh, 0, not_signed},
        {good, {}, 123456, same, fresh, 0, not_signed}, {tampered, {signer}, 123456, same, fresh, 0, not_signed},
        {good + "x", {signer}, 123456, same, fresh, 0, not_signed}, {good, {signer}, 123457, same, fresh, 0, not_matching},
        {good, {signer}, 123456, other_list.list_sha256, fresh, 0, not_matching},
        {good, {signer}, 123456, other_list.list_sha256, later, 9, not_matching}}; // fetched again before expiry counts
    for (const auto& [text, keys, length, sha256, now, highest, verdict] : rows) {
        list_statement parsed{};
        const char* problem = nullptr;
        EXPECT_EQ(check_statement(text, length, sha256, keys, now, highest, &parsed, &problem), verdict) << now << " " << highest;
        EXPECT_EQ(problem != nullptr, verdict == not_signed) << now << " " << highest;
    }
}
