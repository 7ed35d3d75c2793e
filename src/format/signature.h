// signature: the vendor's signed statement about a file list, shared by the publisher, which
// writes it, and the launcher, which checks it before it reads the list.
//
// The statement is `manifest.dat.zs.sig` beside the list on the update server: a few lines of
// text, every byte fixed by the format so that it parses strictly (any other byte is refused):
//
//   velm-signed-list 2
//   channel updates.example.com/windows what the list is for; the launcher is built for one
//   sequence 7                          this publish; one more than the previous one
//   expires 2027-01-05T12:00:00Z        UTC; after this (and a day of clock skew) it is refused
//   list-length 123456                  the exact bytes of manifest.dat.zs ...
//   list-sha256 <64 lowercase hex>      ... and their SHA-256
//   signature <128 lowercase hex>       Ed25519 over every byte of the lines above
//
// Numbers have no sign and no leading zeros, and fit in 63 bits. Format 1, which named no
// channel, still parses (the publisher numbers on from such a tree) but is never accepted: a
// list signed for one product or channel must not install as another's.
//
// Keys are Ed25519 through libsodium. A launcher carries the vendor's public keys (several, for
// a rotation) and the keys the vendor revoked, which it never trusts; it keeps the highest
// sequence it accepted under each key, so that a number signed with an old key cannot hold a
// new key's lists hostage. The publisher keeps the secret key in a file of its own, away from
// the server.
#pragma once
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/names.h"

constexpr size_t statement_max_size = 4096; // a longer answer is refused unread
constexpr size_t public_key_size = 32;
constexpr size_t key_seed_size = 32; // what a secret key file holds; the key pair derives from it
constexpr size_t signature_size = 64;
constexpr size_t sha256_size = 32;
constexpr int64_t clock_skew_allowance_s = 24 * 60 * 60;
constexpr size_t channel_max_size = 128;  // bytes of [A-Za-z0-9._:/-]
constexpr int64_t expiry_max_days = 3650; // the longest the publisher signs for
// A sequence further above the highest accepted under any key is refused: a stolen key must
// not push the numbers out of the vendor's reach.
constexpr uint64_t sequence_max_jump = uint64_t{1} << 32;
// check_statement's problem for a well-formed statement by a key the launcher lacks (not one it
// knows as revoked): maybe the vendor's new key, which only a newer launcher knows.
constexpr const char* unknown_key = "the signature is by none of the vendor's keys";
constexpr uint64_t decimal_max = INT64_MAX; // the largest number the statement and the state hold

struct public_key {
    uint8_t bytes[public_key_size];
};

struct list_statement {
    int format; // 2; 1 for an older statement, which names no channel (its `channel` is empty)
    char channel[channel_max_size + 1];
    uint64_t sequence; // 1 or more
    int64_t expires;   // seconds since 1970-01-01 UTC
    uint64_t list_length;
    uint8_t list_sha256[sha256_size];
    uint8_t signature[signature_size];
    size_t signed_length; // the statement's first bytes that the signature covers
    public_key signer;    // set by check_statement once the signature holds
};

// The highest sequence accepted under one key.
struct key_sequence {
    public_key key;
    uint64_t sequence;
};

// --- Text ------------------------------------------------------------------------------------
std::string hex_text(const uint8_t* bytes, size_t size); // lowercase
// Exactly `size` bytes as 2*size lowercase hex digits; false on anything else.
bool parse_hex(std::string_view text, uint8_t* bytes, size_t size);
// "2027-01-05T12:00:00Z", and back; the years 1970 to 9999 only.
std::string utc_text(int64_t seconds);
bool parse_utc(std::string_view text, int64_t* seconds);
// Digits without sign or leading zeros, up to decimal_max; false on anything else.
bool parse_decimal(std::string_view text, uint64_t* value);
// Whether `name` is a channel: 1 to 128 bytes of letters, digits and "._:/-".
bool is_channel_name(std::string_view name);

// --- Keys ------------------------------------------------------------------------------------
// The secret key file: "velm-publish signing key 1\n" and the seed's 64 hex digits and "\n".
std::string signing_key_text(const uint8_t seed[key_seed_size]);
bool parse_signing_key(std::string_view text, uint8_t seed[key_seed_size]);
public_key public_key_of(const uint8_t seed[key_seed_size]);
// Comma-separated hex keys, as the launcher is configured with; false on a malformed list.
bool parse_public_keys(std::string_view text, std::vector<public_key>* keys);
bool same_key(const public_key& a, const public_key& b);
// The highest sequence accepted under `key`, or 0; under any key, or 0.
uint64_t sequence_under(std::span<const key_sequence> accepted, const public_key& key);
uint64_t highest_sequence(std::span<const key_sequence> accepted);
// Raises `key`'s highest sequence to `sequence` (a key met for the first time is added).
void raise_sequence(std::vector<key_sequence>* accepted, const public_key& key, uint64_t sequence);

// --- The statement ---------------------------------------------------------------------------
// Null when `text` is a well-formed statement (then `*statement` holds it), else why not.
const char* parse_statement(std::string_view text, list_statement* statement);
// The statement's text (format 2) for `statement`'s channel, sequence, expiry and list, signed
// with the seed's key. The channel must be valid.
std::string write_statement(const list_statement& statement, const uint8_t seed[key_seed_size]);

// SHA-256 of a byte stream, fed as it arrives.
struct sha256_stream {
    crypto_hash_sha256_state state;
    uint64_t length;
};
void sha256_start(sha256_stream* stream);
void sha256_add(sha256_stream* stream, const void* data, size_t size);
void sha256_finish(sha256_stream* stream, uint8_t digest[sha256_size]);

enum class list_verdict {
    accepted,
    not_signed,    // malformed, of format 1, or signed by no key but revoked ones
    other_channel, // signed for another channel than the launcher's
    not_matching,  // signed, but for other bytes than the list at hand
    expired,
    expiry_too_far, // valid for longer than the publisher signs for
    older,          // a lower sequence than one accepted before under the same key
    too_far_ahead,  // more than sequence_max_jump above the highest accepted under any key
};

// What a launcher trusts, and what it accepted before.
struct statement_trust {
    std::string_view channel; // the channel it was built for
    std::span<const public_key> keys;
    std::span<const public_key> revoked;    // never trusted, even when also among `keys`
    std::span<const key_sequence> accepted; // the highest sequence accepted under each key
};

// Checks a statement's text against the list's length and SHA-256, `trust` and the time `now`
// (seconds since 1970 UTC), in this order: form, signature, channel, list, expiry, sequence.
// `*statement` holds what was parsed (and its signer once the signature holds); `*problem` says
// why a statement is not signed.
list_verdict check_statement(std::string_view text, uint64_t list_length,
                             const uint8_t list_sha256[sha256_size], const statement_trust& trust,
                             int64_t now, list_statement* statement, const char** problem);
