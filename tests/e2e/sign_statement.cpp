// velm-test-sign KEYFILE LIST_ZS SEQUENCE EXPIRES [CHANNEL]: prints a statement for the file list
// LIST_ZS signed with KEYFILE, with any sequence and expiry (seconds since 1970 UTC, past ones
// too), for CHANNEL (the test launchers' own unless given; "" for the older format, which names
// none), for the tests of what the launcher refuses.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "format/signature.h"

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: velm-test-sign KEYFILE LIST_ZS SEQUENCE EXPIRES [CHANNEL]\n");
        return 2;
    }
    std::ifstream key_in(argv[1], std::ios::binary);
    std::ifstream list_in(argv[2], std::ios::binary);
    std::string key_text((std::istreambuf_iterator<char>(key_in)), std::istreambuf_iterator<char>());
    std::string list((std::istreambuf_iterator<char>(list_in)), std::istreambuf_iterator<char>());
    uint8_t seed[key_seed_size];
    if (!key_in || !list_in || !parse_signing_key(key_text, seed)) {
        fprintf(stderr, "velm-test-sign: cannot read %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    std::string channel = argc == 6 ? argv[5] : VELM_CHANNEL;
    list_statement statement{};
    snprintf(statement.channel, sizeof statement.channel, "%s", channel.empty() ? "x" : channel.c_str());
    statement.sequence = strtoull(argv[3], nullptr, 10);
    statement.expires = strtoll(argv[4], nullptr, 10);
    sha256_stream stream;
    sha256_start(&stream);
    sha256_add(&stream, list.data(), list.size());
    statement.list_length = stream.length;
    sha256_finish(&stream, statement.list_sha256);
    std::string text = write_statement(statement, seed);
    if (channel.empty()) { // the older format: no channel line, signed again
        text = "velm-signed-list 1\n" + text.substr(text.find("sequence "), text.find("signature ") - text.find("sequence "));
        uint8_t public_bytes[crypto_sign_PUBLICKEYBYTES], secret[crypto_sign_SECRETKEYBYTES], signature[signature_size];
        crypto_sign_seed_keypair(public_bytes, secret, seed);
        crypto_sign_detached(signature, nullptr, reinterpret_cast<const uint8_t*>(text.data()), text.size(), secret);
        text += "signature " + hex_text(signature, signature_size) + "\n";
    }
    fputs(text.c_str(), stdout);
    return 0;
}
