#include "publish/signing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <ctime>
#include <vector>

#include "format/names.h"
#include "publish/tree.h"

namespace {

constexpr int64_t seconds_per_day = 24 * 60 * 60;

std::string public_key_text(const uint8_t seed[key_seed_size]) {
    return hex_text(public_key_of(seed).bytes, public_key_size);
}

} // namespace

void read_signing_key(signing_t* signing) {
    if (signing->key_file == nullptr)
        return;
    std::string text, error;
    if (!read_small_file(signing->key_file, statement_max_size, &text, &error))
        fail(error);
    if (!parse_signing_key(text, signing->seed))
        fail(std::string(signing->key_file) + ": not a signing key made by velm-publish keygen");
    sodium_memzero(text.data(), text.size());
}

void resolve_channel(const server_tree& tree, signing_t* signing) {
    if (signing->key_file == nullptr || !signing->channel.empty())
        return;
    std::string problem;
    list_statement live;
    if (!tree.live.empty() && read_statement(tree.live, &live, &problem) == statement_found::read &&
        live.format >= 2)
        signing->channel = live.channel;
    if (signing->channel.empty())
        fail("--sign needs --channel NAME, the channel the launchers are built for (their "
             "VELM_CHANNEL): the "
             "live tree's statement names none");
}

bool sha256_of_file(const fs::path& path, uint64_t* length, uint8_t digest[sha256_size],
                    std::string* error) {
    file_ptr in(fopen(path.c_str(), "rb"));
    if (in == nullptr) {
        *error = describe_errno(path);
        return false;
    }
    sha256_stream stream;
    sha256_start(&stream);
    std::vector<uint8_t> buffer(io_chunk);
    for (size_t got; (got = fread(buffer.data(), 1, buffer.size(), in.get())) > 0;)
        sha256_add(&stream, buffer.data(), got);
    if (ferror(in.get())) {
        *error = path.string() + ": read error";
        return false;
    }
    *length = stream.length;
    sha256_finish(&stream, digest);
    return true;
}

bool sign_release(const fs::path& dir, const signing_t& signing, uint64_t sequence, int64_t now,
                  std::string* error) {
    list_statement statement{};
    snprintf(statement.channel, sizeof statement.channel, "%s", signing.channel.c_str());
    statement.sequence = sequence;
    statement.expires = now + signing.expiry_days * seconds_per_day;
    if (!sha256_of_file(dir / list_compressed_name, &statement.list_length, statement.list_sha256,
                        error))
        return false;
    if (!write_file_atomically(dir / statement_name, write_statement(statement, signing.seed),
                               error))
        return false;
    printf("signed     publish %" PRIu64 ", valid until %s, for %s, by %s\n", statement.sequence,
           utc_text(statement.expires).c_str(), statement.channel,
           public_key_text(signing.seed).c_str());
    return true;
}

int keygen_command(const char* path) {
    // O_EXCL: an existing key, which players' launchers may trust, is never overwritten.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        fail(errno == EEXIST ? std::string(path) + " exists; a signing key is never overwritten"
                             : describe_errno(path));
    uint8_t seed[key_seed_size];
    randombytes_buf(seed, sizeof seed);
    std::string text = signing_key_text(seed);
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !written) {
        unlink(path);
        fail(std::string(path) + ": write error");
    }
    printf("%s\n", public_key_text(seed).c_str());
    sodium_memzero(seed, sizeof seed);
    sodium_memzero(text.data(), text.size());
    return 0;
}

int pubkey_command(const char* path) {
    signing_t signing;
    signing.key_file = path;
    read_signing_key(&signing);
    printf("%s\n", public_key_text(signing.seed).c_str());
    sodium_memzero(signing.seed, sizeof signing.seed);
    return 0;
}

int resign_command(const fs::path& root, signing_t* signing, const std::string& link) {
    read_signing_key(signing);
    server_tree tree;
    open_tree(root, &tree, link);
    resolve_channel(tree, signing);
    if (tree.live_release.empty() || !is_complete(tree.live))
        fail(tree.link.string() + " serves no release that velm-publish made; publish first");
    uint64_t highest = highest_sequence(tree); // fails on a live statement that cannot be read
    release_t live;
    parse_release(tree.live_release, &live);
    release_info info = read_release_info(tree, live);
    uint64_t sequence = info.sequence != 0 ? info.sequence : highest + 1;
    std::string error;
    if (info.sequence == 0) {
        info.sequence = sequence;
        if (!record_sequence(tree, sequence, &error) ||
            !write_release_info(tree.live, info, &error))
            fail(error + "; the live statement is unchanged");
    }
    if (!sign_release(tree.live, *signing, sequence, static_cast<int64_t>(std::time(nullptr)),
                      &error))
        fail(error + "; the live statement is unchanged");
    printf("signed again: %s/%s\n", tree.releases.filename().c_str(), tree.live_release.c_str());
    return 0;
}
