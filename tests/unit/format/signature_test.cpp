#include "format/signature.h"

#include "test_util.h"

constexpr uint8_t signer_seed[key_seed_size] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr uint8_t other_seed[key_seed_size] = {42};
constexpr int64_t expires = 1799150400; // 2027-01-05T12:00:00Z

static list_statement base_statement(uint64_t sequence = 7) {
    list_statement s{2, "localhost:4443/windows", sequence, expires, 123456, {}, {}, 0, {}};
    for (size_t i = 0; i < sha256_size; ++i)
        s.list_sha256[i] = static_cast<uint8_t>(0xA0 + i);
    return s;
}

static const std::string good = write_statement(base_statement(), signer_seed);
static const std::string channel_line = "channel localhost:4443/windows\n";

// The good statement with `find` replaced by `by`.
static std::string with(const std::string& find, const std::string& by) {
    EXPECT_NE(good.find(find), std::string::npos) << find;
    return std::string(good).replace(good.find(find), find.size(), by);
}

// The statement as written; each row breaks one rule of the format and names the field; every cut is refused.
TEST(Signature, MalformedStatementsAreRefused) {
    EXPECT_TRUE(good.starts_with("velm-signed-list 2\n" + channel_line + "sequence 7\nexpires 2027-01-05T12:00:00Z\nlist-length 123456\n"));
    list_statement leap_day{};
    EXPECT_TRUE(parse_statement(with("2027-01-05", "2028-02-29"), &leap_day) == nullptr && leap_day.expires == 1835438400);
    const std::string hash_line = "list-sha256 " + hex_text(base_statement().list_sha256, sha256_size) + "\n";
    const std::string seq = "sequence 7\n";
    const std::pair<std::string, const char*> rows[] = {
        {"", "not a signed file list statement"}, {"<html>404</html>", "not a signed file list statement"},
        {with("velm-signed-list 2", "velm-signed-list 3"), "format version"}, {good + "\n", "bytes after its signature"},
        {with("list 2\n" + channel_line, "list 1\n"), "accepted"}, {with(channel_line, ""), "channel"}, {with(channel_line, "channel \n"), "channel"},
        {with(channel_line, "channel a b\n"), "channel"}, {with(channel_line, "channel " + std::string(129, 'c') + "\n"), "channel"},
        {with(channel_line, "channel " + std::string(128, 'c') + "\n"), "accepted"}, {with("channel localhost", "channel LOCAL_host"), "accepted"},
        {with(seq, "sequence 9223372036854775807\n"), "accepted"}, {with(seq, "sequence 9223372036854775808\n"), "sequence number"},
        {good + std::string(statement_max_size, '\n'), "longer than 4096"}, {with(seq, "sequence 7\r\n"), "sequence number"},
        {with(seq, "sequence 0\n"), "sequence number"}, {with(seq, "sequence 07\n"), "sequence number"},
        {with(seq, "sequence +7\n"), "sequence number"}, {with(seq, "sequence 99999999999999999999999999\n"), "sequence number"},
        {with(seq + "expires 2027-01-05T12:00:00Z\n", "expires 2027-01-05T12:00:00Z\n" + seq), "sequence number"},
        {with("2027-01-05", "2027-02-29"), "expiry time"}, {with("2027-01-05", "2100-02-29"), "expiry time"},
        {with("2027-01-05", "2027-13-05"), "expiry time"}, {with(":00:00Z", ":00:60Z"), "expiry time"},
        {with("T12:00:00Z", "T24:00:00Z"), "expiry time"}, {with("2027-01-05", "1969-12-31"), "expiry time"},
        {with("05T12", "05 12"), "expiry time"}, {with("00:00Z", "00:00+01:00"), "expiry time"},
        {with("th 123456\n", "th \n"), "list length"}, {with("th 123456\n", "th 18446744073709551616\n"), "list length"}, {with("sha256 a0a1", "sha256 A0A1"), "list digest"},
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

// The verdicts in their order: form, signature by a trusted key that is not revoked, channel, the list's length
// and digest, expiry (a day of clock skew either way, 3650 days at most ahead), then the sequence: not below the
// signer's highest (another key's number holds nothing back), at most 2^32 above the highest under any key.
TEST(Signature, CheckRefusesWhatTheLauncherMustNotInstall) {
    const public_key signer = public_key_of(signer_seed), other = public_key_of(other_seed);
    const list_statement base = base_statement();
    list_statement other_list = base;
    other_list.list_sha256[sha256_size - 1] ^= 1;
    const int64_t fresh = expires - 1000, late = expires + clock_skew_allowance_s, later = expires * 2,
                  earliest = expires - (expiry_max_days + 1) * clock_skew_allowance_s; // a day is the allowance
    const std::string tampered = with("sequence 7\n", "sequence 9\n"); // well-formed, signed as 7
    const std::string old_format = with("list 2\n" + channel_line, "list 1\n");
    const std::string jump = write_statement(base_statement((uint64_t{1} << 32) + 2), signer_seed);
    const uint8_t* same = base.list_sha256;
    const std::vector<public_key> mine = {signer}, both = {other, signer}, theirs = {other}, none = {};
    const std::vector<key_sequence> at6 = {{signer, 6}}, at7 = {{signer, 7}}, at8 = {{signer, 8}}, theirs_at = {{other, 1000}},
                                    at2 = {{other, 2}}, nothing;
    const char* ours = "localhost:4443/windows";
    using enum list_verdict;
    using keys = const std::vector<public_key>&;
    const std::tuple<std::string, keys, keys, const char*, const std::vector<key_sequence>&, uint64_t, const uint8_t*, int64_t,
                     list_verdict, const char*> rows[] = {
            // statement, keys, revoked keys, channel, sequences accepted, list length and digest, time; verdict, why not signed
            {good, mine, none, ours, at6, 123456, same, fresh, accepted, ""}, {good, both, none, ours, nothing, 123456, same, fresh, accepted, ""},
            {good, mine, none, ours, at7, 123456, same, fresh, accepted, ""}, {good, mine, none, ours, nothing, 123456, same, late, accepted, ""},
            {good, mine, none, ours, nothing, 123456, same, late + 1, expired, ""}, {good, mine, none, ours, at8, 123456, same, fresh, older, ""},
            {good, mine, none, ours, at8, 123456, same, later, expired, ""}, {good, theirs, none, ours, nothing, 123456, same, fresh, not_signed, "none"},
            {good, none, none, ours, nothing, 123456, same, fresh, not_signed, "none"}, {tampered, mine, none, ours, nothing, 123456, same, fresh, not_signed, "none"},
            {good + "x", mine, none, ours, nothing, 123456, same, fresh, not_signed, "bytes after"},
            {good, mine, none, ours, nothing, 123457, same, fresh, not_matching, ""}, {good, mine, none, ours, nothing, 123456, other_list.list_sha256, fresh, not_matching, ""},
            {good, mine, none, ours, at8, 123456, other_list.list_sha256, later, not_matching, ""}, // fetched again before expiry counts
            {old_format, mine, none, ours, nothing, 123456, same, fresh, not_signed, "older format that names no channel"},
            {good, mine, none, "localhost:4443/beta", nothing, 123456, same, fresh, other_channel, ""},
            {good, both, mine, ours, nothing, 123456, same, fresh, not_signed, "revoked"}, {good, both, theirs, ours, nothing, 123456, same, fresh, accepted, ""},
            {good, mine, none, ours, nothing, 123456, same, earliest, accepted, ""}, {good, mine, none, ours, nothing, 123456, same, earliest - 1, expiry_too_far, ""},
            {good, both, none, ours, theirs_at, 123456, same, fresh, accepted, ""}, // a rotation: the old key's number holds nothing back
            {jump, mine, none, ours, nothing, 123456, same, fresh, too_far_ahead, ""}, {jump, both, none, ours, at2, 123456, same, fresh, accepted, ""}};
    for (const auto& [text, keys, revoked, channel, before, length, sha256, now, verdict, reason] : rows) {
        list_statement parsed{};
        const char* problem = nullptr;
        EXPECT_EQ(check_statement(text, length, sha256, {channel, keys, revoked, before}, now, &parsed, &problem), verdict) << now << " " << reason;
        EXPECT_TRUE(verdict == not_signed ? problem && strstr(problem, reason) : !problem) << now << " " << reason;
        EXPECT_TRUE(verdict != accepted || same_key(parsed.signer, signer)) << now;
    }
}
