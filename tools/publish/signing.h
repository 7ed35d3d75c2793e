// signing: the vendor's key and the statement that signs a release's file list
// (format/signature.h). sign_release is the one place a statement is made, for a publish, a
// rollback and a resign alike.
#pragma once
#include <cstdint>
#include <string>

#include "format/signature.h"
#include "publish/io.h"
#include "publish/tree.h"

constexpr long default_expiry_days = 30;
constexpr long max_expiry_days = 3650;

struct signing_t {
    const char* key_file = nullptr; // --sign; null: the tree is not signed
    std::string channel; // --channel: what the launchers are built for; empty: the live statement's
    long expiry_days = default_expiry_days; // --expires
    bool expires_set = false;
    // --unsigned: a release without a statement over a signed live tree is meant
    bool unsigned_meant = false;
    uint8_t seed[key_seed_size] = {};
};

// Reads the key named by --sign, before anything is written; fails when it is not a key file.
void read_signing_key(signing_t* signing);
// When signing without --channel: the channel the live tree's statement names. Fails, before
// anything is written, when there is none to take.
void resolve_channel(const server_tree& tree, signing_t* signing);
// The length and SHA-256 of the file at `path`.
bool sha256_of_file(const fs::path& path, uint64_t* length, uint8_t digest[sha256_size],
                    std::string* error);
// Writes the statement of the tree `dir`: publish `sequence`, valid `expiry_days` from `now`, for
// the exact bytes of its manifest.dat.zs, signed; through a temporary renamed over the
// statement, so that a served tree's statement is replaced in one step. Prints one line.
bool sign_release(const fs::path& dir, const signing_t& signing, uint64_t sequence, int64_t now,
                  std::string* error);

int keygen_command(const char* path); // a new key (mode 0600, never overwriting one)
int pubkey_command(const char* path); // the public key of a key file
// Signs the live tree's list again with a fresh expiry: the same sequence (the one recorded for
// the release, else the next), no publish.
int resign_command(const fs::path& root, signing_t* signing,
                   const std::string& link = live_link_name);
