// velm-test-sign KEYFILE LIST_ZS SEQUENCE EXPIRES [CHANNEL]: prints a statement for the file list
// LIST_ZS signed with KEYFILE, with any sequence and expiry (seconds since 1970 UTC, past ones
// too), for CHANNEL (the test launchers' own unless given), for the tests of what the launcher
// refuses.
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
    list_statement statement{};
    snprintf(statement.channel, sizeof statement.channel, "%s", argc == 6 ? argv[5] : VELM_CHANNEL);
    statement.sequence = strtoull(argv[3], nullptr, 10);
    statement.expires = strtoll(argv[4], nullptr, 10);
    sha256_stream stream;
    sha256_start(&stream);
    sha256_add(&stream, list.data(), list.size());
    statement.list_length = stream.length;
    sha256_finish(&stream, statement.list_sha256);
    fputs(write_statement(statement, seed).c_str(), stdout);
    return 0;
}
