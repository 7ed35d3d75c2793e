#include "publish/verify.h"

#include <atomic>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "format/names.h"
#include "format/patch.h"
#include "publish/chunks.h"
#include "publish/signing.h"
#include "publish/tree.h"

namespace {

constexpr uint8_t zstd_magic[] = {0x28, 0xB5, 0x2F, 0xFD};

// A content some kept tree holds: its .zs and size.
struct held_content {
    fs::path zs;
    uint64_t size;
};

// Checks every listed .zs of the tree `dir` against `list`, on every core; prints one line per
// file and returns the number that do not hold what is listed.
size_t verify_files(const fs::path& dir, const game_file_table& list) {
    std::atomic<size_t> next{0}, done{0}, bad{0};
    size_t total = list.files.size();
    run_on_every_core([&] {
        for (size_t i = next++; i < total; i = next++) {
            const game_file_t& file = list.files[i];
            std::string error;
            bool ok = zs_holds(dir / (std::string(file.name) + compressed_suffix), file.size,
                               file.hash, &error);
            if (!ok)
                ++bad;
            printf("[%zu/%zu] %-4s %s%s%s\n", ++done, total, ok ? "ok" : "BAD", file.name,
                   ok ? "" : ": ", error.c_str());
        }
    });
    return bad;
}

// Whether the patch `patch` applied to `base` makes `size` bytes with SHA-1 `digest`; if not, why.
bool patch_makes(const fs::path& patch, const held_content& base, const std::string& base_digest,
                 uint64_t size, const std::string& digest, std::string* error) {
    mapped_file old_content;
    std::string held;
    if (!map_decompressed(base.zs, fs::temp_directory_path(), base.size, &old_content, &held,
                          error))
        return false;
    if (held != base_digest) {
        *error = "its base " + base.zs.string() + " does not hold its listed content";
        return false;
    }
    SHA1State sha;
    SHA1Reset(&sha);
    uint64_t produced = 0;
    if (!decompress_zs(patch, size, old_content.bytes(), &sha, nullptr, &produced, error))
        return false;
    if (produced != size || digest_of(&sha) != digest) {
        *error = "applied to " + base.zs.string() + " it does not make the listed content";
        return false;
    }
    return true;
}

// Checks every patch of the live tree: its name, that it makes a listed content, and that it
// applies to its base where a kept tree holds that; returns the number of bad ones.
size_t verify_patches(const server_tree& tree, const game_file_table& list) {
    std::unordered_map<std::string, held_content> held; // by digest
    std::unordered_map<std::string, uint64_t> listed;   // digest -> size
    for (const game_file_t& file : list.files) {
        listed[file.hash] = file.size;
        held.emplace(
            file.hash,
            held_content{tree.live / (std::string(file.name) + compressed_suffix), file.size});
    }
    for (const release_t& release : list_releases(tree)) {
        fs::path dir = tree.releases / release.id;
        game_file_table kept;
        std::string ignored;
        if (release.id != tree.live_release && is_complete(dir) &&
            read_list(dir / list_compressed_name, &kept, &ignored))
            for (const game_file_t& file : kept.files)
                held.emplace(
                    file.hash,
                    held_content{dir / (std::string(file.name) + compressed_suffix), file.size});
    }
    std::vector<fs::path> patches;
    std::error_code ec;
    for (fs::directory_iterator it(tree.live / patch_directory, ec), end; !ec && it != end;
         it.increment(ec))
        patches.push_back(it->path());
    std::atomic<size_t> next{0}, done{0}, bad{0}, unchecked{0};
    size_t total = patches.size();
    run_on_every_core([&] {
        for (size_t i = next++; i < total; i = next++) {
            std::string name = patches[i].filename().string(), error;
            char expected[patch_name_size];
            std::string old_digest = name.substr(0, 40),
                        new_digest = name.size() > 41 ? name.substr(41, 40) : "";
            patch_name(old_digest.c_str(), new_digest.c_str(), expected);
            auto target = listed.find(new_digest);
            auto base = held.find(old_digest);
            const char* verdict = "ok";
            if (std::string(patch_directory) + "/" + name != expected)
                error = "not a patch's name";
            else if (target == listed.end())
                error = "it makes no listed content";
            else if (base == held.end())
                verdict = "?";
            else
                patch_makes(patches[i], base->second, old_digest, target->second, new_digest,
                            &error);
            if (!error.empty()) {
                verdict = "BAD";
                ++bad;
            }
            unchecked += strcmp(verdict, "?") == 0;
            printf("[%zu/%zu] %-4s %s/%s%s%s\n", ++done, total, verdict, patch_directory,
                   name.c_str(),
                   error.empty() ? (*verdict == '?' ? ": no kept tree holds its base" : "") : ": ",
                   error.c_str());
        }
    });
    if (total > 0)
        printf("patches: %zu, %zu of them not applied (their base is in no kept tree)\n", total,
               unchecked.load());
    return bad;
}

} // namespace

int verify_command(const fs::path& root, const char* keys_text, const std::string& channel,
                   const std::string& link) {
    std::vector<public_key> keys;
    if (!parse_public_keys(keys_text, &keys) || keys.empty())
        fail(std::string("not a public key (64 hex digits, or several separated by commas): ") +
             keys_text);
    server_tree tree;
    locate_tree(root, &tree, link);
    if (tree.live.empty())
        fail(tree.link.string() + " serves nothing");
    fs::path dir = tree.live;
    std::string text, error;
    if (!read_small_file(dir / statement_name, statement_max_size, &text, &error))
        fail("the tree is not signed: " + error);
    uint64_t length = 0;
    uint8_t digest[sha256_size];
    if (!sha256_of_file(dir / list_compressed_name, &length, digest, &error))
        fail(error);
    list_statement statement;
    const char* problem = nullptr;
    list_verdict verdict = check_statement(text, length, digest, {channel, keys, {}, {}},
                                           std::time(nullptr), &statement, &problem);
    if (verdict == list_verdict::not_signed)
        fail((dir / statement_name).string() + ": " + problem);
    if (verdict == list_verdict::other_channel)
        fail((dir / statement_name).string() + ": signed for the channel " + statement.channel +
             ", not " + channel);
    printf("statement: publish %" PRIu64 ", valid until %s, signed by the key\n",
           statement.sequence, utc_text(statement.expires).c_str());
    if (verdict == list_verdict::not_matching)
        fail((dir / list_compressed_name).string() +
             ": not the list the statement signs (its length or SHA-256 differs)");
    size_t problems = 0;
    if (verdict == list_verdict::expired || verdict == list_verdict::expiry_too_far) {
        printf("BAD  the statement has expired, or expires later than a publish can sign for: "
               "launchers refuse "
               "this tree; publish again, or resign it\n");
        ++problems;
    }
    file_ptr plain = decompressed_list(dir / list_compressed_name, &error);
    if (plain == nullptr)
        fail(error);
    game_file_table list;
    parse_manifest(plain.get(),
                   &list); // a list the launcher would refuse ends here, with its report
    printf("list: %zu files, %" PRIu64 " bytes compressed, as signed\n", list.files.size(), length);
    problems += verify_files(dir, list);
    if (!tree.live_is_plain) {
        problems += verify_patches(tree, list);
        problems += verify_chunks(dir, list);
    }
    if (problems > 0) {
        printf("%zu problems: launchers would not install this tree as published\n", problems);
        return 1;
    }
    printf("verified: publish %" PRIu64 " and its %zu files are as signed\n", statement.sequence,
           list.files.size());
    return 0;
}

int list_command(const char* path) {
    file_ptr f(fopen(path, "rb"));
    if (f == nullptr)
        fail(describe_errno(path));
    uint8_t head[sizeof zstd_magic] = {};
    if (fread(head, 1, sizeof head, f.get()) == sizeof head &&
        memcmp(head, zstd_magic, sizeof head) == 0) {
        std::string error;
        f = decompressed_list(path, &error);
        if (f == nullptr)
            fail(error);
    }
    rewind(f.get());
    game_file_table table;
    parse_manifest(f.get(), &table);
    for (const game_file_t& file : table.files)
        printf("%" PRIu64 " %s %s\n", file.size, file.hash, file.name);
    return 0;
}

int hash_command(int count, char** paths) {
    for (int i = 0; i < count; ++i) {
        std::error_code ec;
        if (!fs::is_regular_file(paths[i], ec))
            fail(std::string(paths[i]) + ": not a regular file");
        std::string digest, error;
        uint64_t size = 0;
        if (!hash_file(paths[i], &digest, &size, &error))
            fail(error);
        printf("%s  %s\n", digest.c_str(), paths[i]);
    }
    return 0;
}
