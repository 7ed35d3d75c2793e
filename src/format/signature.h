// signature: the vendor's signed statement about a file list, shared by the publisher, which
// writes it, and the launcher, which checks it before it reads the list.
//
// The statement is `manifest.dat.zs.sig` beside the list on the update server: a few lines of
// text, every byte fixed by the format so that it parses strictly (any other byte is refused):
//
//   velm-signed-list 1
//   sequence 7                          this publish; one more than the previous one
//   expires 2027-01-05T12:00:00Z        UTC; after this (and a day of clock skew) it is refused
//   list-length 123456                  the exact bytes of manifest.dat.zs ...
//   list-sha256 <64 lowercase hex>      ... and their SHA-256
//   signature <128 lowercase hex>       Ed25519 over every byte of the lines above
//
// Keys are Ed25519 through libsodium. A launcher carries the vendor's public keys (several, for
// a rotation); the publisher keeps the secret key in a file of its own, away from the server.
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

struct public_key {
    uint8_t bytes[public_key_size];
};

struct list_statement {
    uint64_t sequence; // 1 or more
    int64_t expires; // seconds since 1970-01-01 UTC
    uint64_t list_length;
    uint8_t list_sha256[sha256_size];
    uint8_t signature[signature_size];
    size_t signed_length; // the statement's first bytes that the signature covers
};

// --- Text ------------------------------------------------------------------------------------
std::string hex_text(const uint8_t* bytes, size_t size); // lowercase
// Exactly `size` bytes as 2*size lowercase hex digits; false on anything else.
bool parse_hex(std::string_view text, uint8_t* bytes, size_t size);
// "2027-01-05T12:00:00Z", and back; the years 1970 to 9999 only.
std::string utc_text(int64_t seconds);
bool parse_utc(std::string_view text, int64_t* seconds);

// --- Keys ------------------------------------------------------------------------------------
// The secret key file: "velm-publish signing key 1\n" and the seed's 64 hex digits and "\n".
std::string signing_key_text(const uint8_t seed[key_seed_size]);
bool parse_signing_key(std::string_view text, uint8_t seed[key_seed_size]);
public_key public_key_of(const uint8_t seed[key_seed_size]);
// Comma-separated hex keys, as the launcher is configured with; false on a malformed list.
bool parse_public_keys(std::string_view text, std::vector<public_key>* keys);

// --- The statement ---------------------------------------------------------------------------
// Null when `text` is a well-formed statement (then `*statement` holds it), else why not.
const char* parse_statement(std::string_view text, list_statement* statement);
// The statement's text for `statement`'s sequence, expiry and list, signed with the seed's key.
std::string write_statement(const list_statement& statement, const uint8_t seed[key_seed_size]);
// Whether the parsed `statement`, whose text is `text`, carries a valid signature by `key`.
bool signed_by(std::string_view text, const list_statement& statement, const public_key& key);

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
    not_signed, // malformed, or signed by none of the keys
    not_matching, // signed, but for other bytes than the list at hand
    expired,
    older, // a lower sequence than one accepted before
};

// Checks a statement's text against the list's length and SHA-256, the keys, the time `now`
// (seconds since 1970 UTC) and the highest sequence accepted before, in this order: form,
// signature, list, expiry, sequence. `*statement` holds what was parsed; `*problem` says why a
// statement is not signed.
list_verdict check_statement(std::string_view text, uint64_t list_length, const uint8_t list_sha256[sha256_size],
                             std::span<const public_key> keys, int64_t now, uint64_t highest_sequence,
                             list_statement* statement, const char** problem);
