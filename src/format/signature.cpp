// signature: the statement's format, its keys and its check. The format is described in
// signature.h; the launcher's fetch of a signed file list is in launcher/signed_list.cpp.
//
// Index
//   [SECTION] Text: hex and UTC times
//   [SECTION] Keys
//   [SECTION] The statement
#include "format/signature.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/utils.h"

namespace {

constexpr std::string_view statement_format_line = "velm-signed-list 2\n";
constexpr std::string_view old_format_line = "velm-signed-list 1\n"; // no channel line
constexpr std::string_view statement_format_prefix = "velm-signed-list ";
constexpr std::string_view key_format_line = "velm-publish signing key 1\n";
constexpr std::string_view channel_characters = "._:/-"; // besides letters and digits
constexpr int64_t seconds_per_day = 24 * 60 * 60;
constexpr int min_year = 1970;
constexpr int max_year = 9999;
constexpr std::string_view utc_pattern = "dddd-dd-ddTdd:dd:ddZ"; // 'd' is a digit

void start_sodium() {
    CHECK(sodium_init() >= 0);
}

// --- [SECTION] Text: hex and UTC times -------------------------------------------------------

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1; // uppercase too: one spelling per value
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, years from 1970 on.
int64_t days_from_civil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    int64_t era = year / 400;
    int64_t year_of_era = year - era * 400;
    int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

void civil_from_days(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468;
    int64_t era = days / 146097;
    int64_t day_of_era = days - era * 146097;
    int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t shifted_month = (5 * day_of_year + 2) / 153;
    *day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    *month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

int days_in_month(int64_t year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// --- Reading a statement: each step consumes the front of `rest`, or fails ---------------------

bool take(std::string_view* rest, std::string_view literal) {
    if (!rest->starts_with(literal))
        return false;
    rest->remove_prefix(literal.size());
    return true;
}

// The text up to the next newline, which is consumed too; false when there is none.
bool take_line(std::string_view* rest, std::string_view* line) {
    size_t newline = rest->find('\n');
    if (newline == std::string_view::npos)
        return false;
    *line = rest->substr(0, newline);
    rest->remove_prefix(newline + 1);
    return true;
}

bool take_number_line(std::string_view* rest, uint64_t* value) {
    std::string_view line;
    return take_line(rest, &line) && parse_decimal(line, value);
}

bool take_channel_line(std::string_view* rest, char* channel) {
    std::string_view line;
    if (!take_line(rest, &line) || !is_channel_name(line))
        return false;
    memcpy(channel, line.data(), line.size());
    channel[line.size()] = '\0';
    return true;
}

bool take_hex_line(std::string_view* rest, uint8_t* bytes, size_t size) {
    if (rest->size() < 2 * size || !parse_hex(rest->substr(0, 2 * size), bytes, size))
        return false;
    rest->remove_prefix(2 * size);
    return take(rest, "\n");
}

bool take_utc_line(std::string_view* rest, int64_t* seconds) {
    if (rest->size() < utc_pattern.size() ||
        !parse_utc(rest->substr(0, utc_pattern.size()), seconds))
        return false;
    rest->remove_prefix(utc_pattern.size());
    return take(rest, "\n");
}

// The text the signature covers, without the signature line.
std::string signed_part(const list_statement& s) {
    char text[statement_max_size];
    int length =
        snprintf(text, sizeof text,
                 "%.*schannel %s\nsequence %" PRIu64 "\nexpires %s\nlist-length %" PRIu64
                 "\nlist-sha256 %s\n",
                 static_cast<int>(statement_format_line.size()), statement_format_line.data(),
                 s.channel, s.sequence, utc_text(s.expires).c_str(), s.list_length,
                 hex_text(s.list_sha256, sha256_size).c_str());
    CHECK(length > 0 && static_cast<size_t>(length) < sizeof text);
    return std::string(text, static_cast<size_t>(length));
}

} // namespace

std::string hex_text(const uint8_t* bytes, size_t size) {
    constexpr char digits[] = "0123456789abcdef";
    std::string text(2 * size, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0xF];
    }
    return text;
}

bool parse_hex(std::string_view text, uint8_t* bytes, size_t size) {
    if (text.size() != 2 * size)
        return false;
    for (size_t i = 0; i < size; ++i) {
        int high = hex_value(text[2 * i]);
        int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::string utc_text(int64_t seconds) {
    int64_t days = seconds / seconds_per_day;
    int64_t rest = seconds % seconds_per_day;
    if (rest < 0) {
        rest += seconds_per_day;
        --days;
    }
    int64_t year = 0;
    int month = 0;
    int day = 0;
    civil_from_days(days, &year, &month, &day);
    char text[64];
    snprintf(text, sizeof text, "%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ", year, month, day,
             static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
             static_cast<int>(rest % 60));
    return text;
}

bool parse_utc(std::string_view text, int64_t* seconds) {
    if (text.size() != utc_pattern.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (utc_pattern[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != utc_pattern[i])
            return false;
    auto number = [&](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = at; i < at + digits; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    int year = number(0, 4);
    int month = number(5, 2);
    int day = number(8, 2);
    int hour = number(11, 2);
    int minute = number(14, 2);
    int second = number(17, 2);
    if (year < min_year || year > max_year || month < 1 || month > 12 || day < 1 ||
        day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 59)
        return false;
    *seconds =
        days_from_civil(year, month, day) * seconds_per_day + hour * 3600 + minute * 60 + second;
    return true;
}

bool parse_decimal(std::string_view text, uint64_t* value) {
    if (text.empty() || (text[0] == '0' && text.size() > 1))
        return false;
    uint64_t number = 0;
    for (char c : text) {
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (c < '0' || c > '9' || number > (decimal_max - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

bool is_channel_name(std::string_view name) {
    if (name.empty() || name.size() > channel_max_size)
        return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) &&
            channel_characters.find(c) == std::string_view::npos)
            return false;
    return true;
}

// --- [SECTION] Keys --------------------------------------------------------------------------

std::string signing_key_text(const uint8_t seed[key_seed_size]) {
    return std::string(key_format_line) + hex_text(seed, key_seed_size) + "\n";
}

bool parse_signing_key(std::string_view text, uint8_t seed[key_seed_size]) {
    return take(&text, key_format_line) && take_hex_line(&text, seed, key_seed_size) &&
           text.empty();
}

public_key public_key_of(const uint8_t seed[key_seed_size]) {
    start_sodium();
    public_key key;
    uint8_t secret[crypto_sign_SECRETKEYBYTES];
    CHECK(crypto_sign_seed_keypair(key.bytes, secret, seed) == 0);
    sodium_memzero(secret, sizeof secret);
    return key;
}

bool parse_public_keys(std::string_view text, std::vector<public_key>* keys) {
    keys->clear();
    while (!text.empty()) {
        size_t comma = text.find(',');
        public_key key;
        if (!parse_hex(text.substr(0, comma), key.bytes, public_key_size))
            return false;
        keys->push_back(key);
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
        if (text.empty())
            return false; // a trailing comma
    }
    return true;
}

bool same_key(const public_key& a, const public_key& b) {
    return memcmp(a.bytes, b.bytes, public_key_size) == 0;
}

uint64_t sequence_under(std::span<const key_sequence> accepted, const public_key& key) {
    for (const key_sequence& entry : accepted)
        if (same_key(entry.key, key))
            return entry.sequence;
    return 0;
}

uint64_t highest_sequence(std::span<const key_sequence> accepted) {
    uint64_t highest = 0;
    for (const key_sequence& entry : accepted)
        highest = std::max(highest, entry.sequence);
    return highest;
}

void raise_sequence(std::vector<key_sequence>* accepted, const public_key& key, uint64_t sequence) {
    for (key_sequence& entry : *accepted)
        if (same_key(entry.key, key)) {
            entry.sequence = std::max(entry.sequence, sequence);
            return;
        }
    accepted->push_back({key, sequence});
}

// --- [SECTION] The statement -----------------------------------------------------------------

const char* parse_statement(std::string_view text, list_statement* s) {
    if (text.size() > statement_max_size)
        return "the signature file is longer than 4096 bytes";
    std::string_view rest = text;
    s->channel[0] = '\0';
    if (take(&rest, old_format_line)) {
        s->format = 1;
    } else if (take(&rest, statement_format_line)) {
        s->format = 2;
        if (!take(&rest, "channel ") || !take_channel_line(&rest, s->channel))
            return "the signature file's channel is malformed";
    } else {
        return rest.starts_with(statement_format_prefix)
                   ? "the signature file's format version is not known"
                   : "the signature file is not a signed file list statement";
    }
    if (!take(&rest, "sequence ") || !take_number_line(&rest, &s->sequence) || s->sequence == 0)
        return "the signature file's sequence number is malformed";
    if (!take(&rest, "expires ") || !take_utc_line(&rest, &s->expires))
        return "the signature file's expiry time is malformed";
    if (!take(&rest, "list-length ") || !take_number_line(&rest, &s->list_length))
        return "the signature file's list length is malformed";
    if (!take(&rest, "list-sha256 ") || !take_hex_line(&rest, s->list_sha256, sha256_size))
        return "the signature file's list digest is malformed";
    s->signed_length = text.size() - rest.size();
    if (!take(&rest, "signature ") || !take_hex_line(&rest, s->signature, signature_size))
        return "the signature file's signature is malformed";
    if (!rest.empty())
        return "the signature file has bytes after its signature";
    return nullptr;
}

std::string write_statement(const list_statement& statement, const uint8_t seed[key_seed_size]) {
    start_sodium();
    CHECK(is_channel_name(statement.channel));
    std::string text = signed_part(statement);
    uint8_t public_bytes[crypto_sign_PUBLICKEYBYTES];
    uint8_t secret[crypto_sign_SECRETKEYBYTES];
    CHECK(crypto_sign_seed_keypair(public_bytes, secret, seed) == 0);
    uint8_t signature[signature_size];
    CHECK(crypto_sign_detached(signature, nullptr, reinterpret_cast<const uint8_t*>(text.data()),
                               text.size(), secret) == 0);
    sodium_memzero(secret, sizeof secret);
    return text + "signature " + hex_text(signature, signature_size) + "\n";
}

namespace {

// Whether the parsed `statement`, whose text is `text`, carries a valid signature by `key`.
bool signed_by(std::string_view text, const list_statement& statement, const public_key& key) {
    start_sodium();
    CHECK(statement.signed_length <= text.size());
    return crypto_sign_verify_detached(statement.signature,
                                       reinterpret_cast<const uint8_t*>(text.data()),
                                       statement.signed_length, key.bytes) == 0;
}

} // namespace

void sha256_start(sha256_stream* stream) {
    start_sodium();
    CHECK(crypto_hash_sha256_init(&stream->state) == 0);
    stream->length = 0;
}

void sha256_add(sha256_stream* stream, const void* data, size_t size) {
    CHECK(crypto_hash_sha256_update(&stream->state, static_cast<const uint8_t*>(data), size) == 0);
    stream->length += size;
}

void sha256_finish(sha256_stream* stream, uint8_t digest[sha256_size]) {
    CHECK(crypto_hash_sha256_final(&stream->state, digest) == 0);
}

list_verdict check_statement(std::string_view text, uint64_t list_length,
                             const uint8_t list_sha256[sha256_size], const statement_trust& trust,
                             int64_t now, list_statement* statement, const char** problem) {
    *problem = parse_statement(text, statement);
    if (*problem == nullptr && statement->format == 1)
        *problem = "the signature file is of an older format that names no channel: the vendor "
                   "must sign the list again";
    if (*problem != nullptr)
        return list_verdict::not_signed;
    auto revoked = [&](const public_key& key) {
        return std::any_of(trust.revoked.begin(), trust.revoked.end(),
                           [&](const public_key& r) { return same_key(r, key); });
    };
    auto signer = std::find_if(trust.keys.begin(), trust.keys.end(), [&](const public_key& key) {
        return !revoked(key) && signed_by(text, *statement, key);
    });
    if (signer == trust.keys.end()) {
        bool by_revoked =
            std::any_of(trust.revoked.begin(), trust.revoked.end(),
                        [&](const public_key& key) { return signed_by(text, *statement, key); });
        *problem = by_revoked ? "the signature is by a key the vendor has revoked" : unknown_key;
        return list_verdict::not_signed;
    }
    statement->signer = *signer;
    if (trust.channel != statement->channel)
        return list_verdict::other_channel;
    if (statement->list_length != list_length ||
        sodium_memcmp(statement->list_sha256, list_sha256, sha256_size) != 0)
        return list_verdict::not_matching;
    if (now - statement->expires > clock_skew_allowance_s)
        return list_verdict::expired;
    if (statement->expires - now > expiry_max_days * seconds_per_day + clock_skew_allowance_s)
        return list_verdict::expiry_too_far;
    if (statement->sequence < sequence_under(trust.accepted, statement->signer))
        return list_verdict::older;
    uint64_t highest = highest_sequence(trust.accepted);
    if (statement->sequence > highest && statement->sequence - highest > sequence_max_jump)
        return list_verdict::too_far_ahead;
    return list_verdict::accepted;
}
