// velm-publish: turns a game directory into the update server's tree, and inspects file lists
// and files.
//
//   velm-publish build [--level N] [--no-patches] [--patch-max-size BYTES] GAME_DIR ROOT
//       builds a complete new tree ROOT/releases/<id>/ (one <name>.zs per file of GAME_DIR,
//       patches from the live tree's content of changed files, then the file list
//       manifest.dat.zs last), then points ROOT/windows, a symbolic link, at it with one atomic
//       rename. Players see the old tree or the new one, never a mix.
//       With --sign KEYFILE --channel NAME, the tree also gets manifest.dat.zs.sig, the statement
//       for that channel signed with the vendor's key that the launcher checks (signature.h),
//       valid for --expires DAYS.
//   velm-publish keygen KEYFILE   a new signing key (mode 0600); prints its public key
//   velm-publish verify --channel NAME ROOT PUBLIC_KEY   checks the served tree as a launcher would, and more:
//       the statement, the list it names, and every listed .zs (size and SHA-1)
//   velm-publish patch [--level N] OLD NEW OUT    the patch a publish would make from OLD to NEW
//   velm-publish list FILE        one line per entry of a decompressed file list
//   velm-publish hash FILE...     SHA-1 of each file, as sha1sum prints it
//
// The server tree:
//   ROOT/windows -> releases/<id>       what the launcher's base URL serves
//   ROOT/releases/<id>/                 one publish: manifest.dat.zs and <name>.zs per file
//   ROOT/releases/<id>/.patches/        <old sha1>-<new sha1>.zst: from the previous content of
//                                       a file that changed, to its content in this tree
//   ROOT/releases/.lock                 held while a publish runs; one publish at a time
// A tree is never written once the link has pointed at it, so the live tree's list proves its
// .zs: an unchanged file (same name, size and SHA-1) is hard-linked from it instead of being
// compressed again. A ROOT whose windows/ is a plain directory (an older publisher's, or made by
// hand) proves nothing: a .zs there is reused only after decompressing it and comparing size
// and SHA-1, and the first publish moves the directory into releases/ as it puts the link in
// its place. The live tree, the one it replaced and the newest other complete tree are kept
// for players still downloading; older trees and those of killed publishes are removed.
//
// Patches (format/patch.h) let a player with the previous version of a file fetch what changed.
// A file that changed since the live tree gets one, made from the live .zs's content, when it
// is smaller than patch_kept_percent of the new .zs; a file unchanged since then keeps the live
// tree's patch to its content (hard-linked). So a tree holds one patch per file that changed,
// until that file changes again; players further behind fetch whole files.
//
// Every failure prints "velm-publish: ..." and exits with status 1; a publish that fails or is
// killed leaves the live tree as it was.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "format/binstream.h"
#include "format/manifest.h"
#include "format/patch.h"
#include "format/signature.h"
#include "support/sha1.h"

namespace fs = std::filesystem;

namespace {

constexpr int default_level = 19;
constexpr const char* list_name = "manifest.dat";
constexpr const char* list_zs = "manifest.dat.zs";
constexpr const char* live_link_name = "windows";
constexpr const char* releases_dir_name = "releases";
constexpr const char* lock_name = ".lock";
constexpr const char* temporary_link_prefix = ".windows."; // ROOT/.windows.<id>, renamed over windows
constexpr uint64_t list_limit = 64ULL << 20; // what the launcher accepts for the file list
constexpr uint64_t multithread_threshold = 32ULL << 20; // larger files use zstd's own threads
constexpr size_t io_chunk = 1 << 20;
constexpr size_t kept_previous_trees = 2; // besides the live one
constexpr int release_number_width = 6;
constexpr uint64_t default_patch_max_size = 1ULL << 30; // larger files get no patch
constexpr uint64_t patch_kept_percent = 60; // a patch is kept only below this share of the .zs

int usage() {
    fprintf(stderr, "usage: velm-publish build [--level N] [--no-patches] [--patch-max-size BYTES]\n"
                    "                          [--sign KEYFILE --channel NAME [--expires DAYS]] GAME_DIR ROOT\n"
                    "       velm-publish keygen KEYFILE\n"
                    "       velm-publish verify --channel NAME ROOT PUBLIC_KEY\n"
                    "       velm-publish patch [--level N] OLD NEW OUT\n"
                    "       velm-publish list FILE\n"
                    "       velm-publish hash FILE...\n");
    return 2;
}

[[noreturn]] void fail(const std::string& message) {
    fprintf(stderr, "velm-publish: %s\n", message.c_str());
    exit(1);
}

void warn(const std::string& message) { fprintf(stderr, "velm-publish: warning: %s\n", message.c_str()); }

std::string describe(const fs::path& path, const std::error_code& ec) { return path.string() + ": " + ec.message(); }

std::string describe_errno(const fs::path& path) { return path.string() + ": " + strerror(errno); }

// --- Reading, hashing, compressing -----------------------------------------------------------

// A FILE* closed when the scope ends; a file written in full is released and closed by hand, to
// check that its last bytes reached the disk.
struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

std::string digest_of(SHA1State* sha) {
    char text[41];
    if (SHA1Result(sha) == 0)
        return "";
    sha1_digest_text(sha, text);
    return text;
}

// The SHA-1 of the file at `path` and the bytes read, or false with the reason in *error.
bool hash_file(const fs::path& path, std::string* digest, uint64_t* size, std::string* error) {
    file_ptr in(fopen(path.c_str(), "rb"));
    if (in == nullptr) {
        *error = describe_errno(path);
        return false;
    }
    std::vector<uint8_t> buffer(io_chunk);
    SHA1State sha;
    SHA1Reset(&sha);
    *size = 0;
    for (;;) {
        size_t got = fread(buffer.data(), 1, buffer.size(), in.get());
        SHA1Input(&sha, buffer.data(), got);
        *size += got;
        if (got < buffer.size())
            break;
    }
    if (ferror(in.get())) {
        *error = path.string() + ": read error";
        return false;
    }
    *digest = digest_of(&sha);
    return !digest->empty();
}

// Decompresses the one zstd frame in `zs`, feeding every byte to `sha` and, when given, to
// `out`. False (reason in *error) on a damaged or truncated frame, data after the frame, or
// more than `limit` bytes of output.
bool decompress_zs(const fs::path& zs, uint64_t limit, SHA1State* sha, FILE* out, uint64_t* produced,
                   std::string* error) {
    file_ptr in(fopen(zs.c_str(), "rb"));
    if (in == nullptr) {
        *error = describe_errno(zs);
        return false;
    }
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    std::vector<uint8_t> in_buffer(ZSTD_DStreamInSize()), out_buffer(ZSTD_DStreamOutSize());
    *produced = 0;
    size_t result = 1; // not yet at the end of a frame
    for (;;) {
        size_t got = fread(in_buffer.data(), 1, in_buffer.size(), in.get());
        if (got == 0)
            break;
        ZSTD_inBuffer input = {in_buffer.data(), got, 0};
        while (input.pos < input.size) {
            if (result == 0) {
                *error = zs.string() + ": data after the frame";
                return false;
            }
            ZSTD_outBuffer output = {out_buffer.data(), out_buffer.size(), 0};
            result = ZSTD_decompressStream(dctx.get(), &output, &input);
            if (ZSTD_isError(result)) {
                *error = zs.string() + ": " + ZSTD_getErrorName(result);
                return false;
            }
            *produced += output.pos;
            if (*produced > limit) {
                *error = zs.string() + ": decompresses to more than " + std::to_string(limit) + " bytes";
                return false;
            }
            SHA1Input(sha, out_buffer.data(), output.pos);
            if (out != nullptr && fwrite(out_buffer.data(), 1, output.pos, out) != output.pos) {
                *error = "write error while decompressing " + zs.string();
                return false;
            }
        }
    }
    if (ferror(in.get()) || result != 0) {
        *error = zs.string() + (result != 0 ? ": cut short" : ": read error");
        return false;
    }
    return true;
}

// Whether `zs` decompresses to exactly `size` bytes whose SHA-1 is `hash`; if not, why in *error.
bool zs_holds(const fs::path& zs, uint64_t size, const char* hash, std::string* error) {
    SHA1State sha;
    SHA1Reset(&sha);
    uint64_t produced = 0;
    if (!decompress_zs(zs, size, &sha, nullptr, &produced, error))
        return false;
    if (produced != size) {
        *error = zs.string() + ": decompresses to " + std::to_string(produced) + " bytes, not " + std::to_string(size);
        return false;
    }
    if (digest_of(&sha) != hash) {
        *error = zs.string() + ": its content's SHA-1 is not the listed one";
        return false;
    }
    return true;
}

// Compresses `in_path` into `out_path` as one zstd frame that records its content size and
// checksum. The input must still be `size` bytes with SHA-1 `hash`, as it was when it was
// listed: a file that changed meanwhile fails the publish rather than contradict the list.
bool compress_file(const fs::path& in_path, const fs::path& out_path, uint64_t size, const std::string& hash,
                   int level, std::string* error) {
    file_ptr in(fopen(in_path.c_str(), "rb"));
    if (in == nullptr) {
        *error = describe_errno(in_path);
        return false;
    }
    file_ptr out(fopen(out_path.c_str(), "wb"));
    if (out == nullptr) {
        *error = describe_errno(out_path);
        return false;
    }
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    if (size >= multithread_threshold)
        ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_nbWorkers, static_cast<int>(std::thread::hardware_concurrency()));
    ZSTD_CCtx_setPledgedSrcSize(cctx.get(), size);
    std::vector<uint8_t> in_buffer(io_chunk), out_buffer(ZSTD_CStreamOutSize());
    SHA1State sha;
    SHA1Reset(&sha);
    uint64_t seen = 0;
    for (bool last = false; !last;) {
        size_t got = fread(in_buffer.data(), 1, in_buffer.size(), in.get());
        if (ferror(in.get())) {
            *error = in_path.string() + ": read error";
            return false;
        }
        SHA1Input(&sha, in_buffer.data(), got);
        seen += got;
        last = got < in_buffer.size();
        if (seen > size)
            break; // grew: the pledged size cannot hold
        ZSTD_inBuffer input = {in_buffer.data(), got, 0};
        ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
        for (bool finished = false; !finished;) {
            ZSTD_outBuffer output = {out_buffer.data(), out_buffer.size(), 0};
            size_t remaining = ZSTD_compressStream2(cctx.get(), &output, &input, mode);
            if (ZSTD_isError(remaining)) {
                *error = in_path.string() + ": " + ZSTD_getErrorName(remaining);
                return false;
            }
            if (fwrite(out_buffer.data(), 1, output.pos, out.get()) != output.pos) {
                *error = out_path.string() + ": write error";
                return false;
            }
            finished = last ? remaining == 0 : input.pos == input.size;
        }
    }
    if (fclose(out.release()) != 0) {
        *error = out_path.string() + ": write error";
        return false;
    }
    if (seen != size || digest_of(&sha) != hash) {
        *error = in_path.string() + ": changed while it was being published";
        return false;
    }
    return true;
}

// --- list and hash ---------------------------------------------------------------------------

// Reads the list as the launcher would: a malformed list is refused with the same report.
int list_command(const char* path) {
    file_ptr f(fopen(path, "rb"));
    if (f == nullptr)
        fail(describe_errno(path));
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

// --- The game directory ----------------------------------------------------------------------

struct published_file {
    std::string name; // relative, '/' separated
    fs::path source;
    uint64_t size;
    std::string hash;
};

// Every regular file below `game_dir`, in byte order of name. Directories whose names begin
// with '.' are skipped (the launcher never scans them), and so are links.
std::vector<published_file> collect_files(const fs::path& game_dir) {
    std::vector<published_file> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(game_dir, ec), end;
    if (ec)
        fail(describe(game_dir, ec));
    for (; it != end; it.increment(ec)) {
        if (ec)
            fail("reading " + game_dir.string() + ": " + ec.message());
        const fs::directory_entry& entry = *it;
        std::string name = entry.path().lexically_relative(game_dir).generic_string();
        fs::file_status status = entry.symlink_status(ec);
        if (ec)
            fail(describe(entry.path(), ec));
        if (fs::is_symlink(status)) {
            warn("skipping link " + name);
            continue;
        }
        if (fs::is_directory(status)) {
            if (entry.path().filename().string().starts_with(".")) {
                warn("skipping " + name + "/ (the launcher never scans dot-directories)");
                it.disable_recursion_pending();
            }
            continue;
        }
        if (!fs::is_regular_file(status)) {
            warn("skipping " + name + " (not a regular file)");
            continue;
        }
        uint64_t size = entry.file_size(ec);
        if (ec)
            fail(describe(entry.path(), ec));
        files.push_back({name, entry.path(), size, ""});
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return files;
}

// Refuses, before anything is written, every name the launcher would refuse (the same rules).
void refuse_unsafe_names(const std::vector<published_file>& files, const fs::path& game_dir) {
    bool refused = false;
    for (const published_file& file : files)
        if (const char* problem = manifest_name_problem(file.name)) {
            fprintf(stderr, "velm-publish: refusing \"%s\": %s\n", file.name.c_str(), problem);
            refused = true;
        }
    if (refused)
        fail("nothing was published: rename the files above in " + game_dir.string());
    game_file_table table;
    table.files.reserve(files.size());
    for (const published_file& file : files)
        table.files.push_back({strdup(file.name.c_str()), file.size, nullptr, 0, false});
    std::string conflict = manifest_conflict(table);
    if (!conflict.empty())
        fail("refusing " + game_dir.string() + ": " + conflict + "; nothing was published");
    if (files.size() > bs_max_length)
        fail("a file list holds at most 65535 files; found " + std::to_string(files.size()));
}

// --- The server tree -------------------------------------------------------------------------

struct release_t {
    uint64_t number;
    std::string id; // "<number>-<UTC time>", the directory's name
};

// The release a directory name stands for, or false when the name is not one.
bool parse_release(const std::string& id, release_t* release) {
    size_t dash = id.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 19)
        return false;
    for (size_t i = 0; i < dash; ++i)
        if (id[i] < '0' || id[i] > '9')
            return false;
    *release = {std::stoull(id.substr(0, dash)), id};
    return true;
}

std::string release_id(uint64_t number) {
    char time_text[32];
    std::time_t now = std::time(nullptr);
    std::strftime(time_text, sizeof time_text, "%Y%m%dT%H%M%SZ", std::gmtime(&now));
    char id[64];
    snprintf(id, sizeof id, "%0*" PRIu64 "-%s", release_number_width, number, time_text);
    return id;
}

struct server_tree {
    fs::path root;
    fs::path link; // ROOT/windows
    fs::path releases; // ROOT/releases
    fs::path live; // the directory the link serves now; empty when there is none
    std::string live_release; // its id when it is one of our releases (never written again)
    bool live_is_plain = false; // windows/ is a directory, not a link
    int lock_fd = -1;
};

std::vector<release_t> list_releases(const server_tree& tree) {
    std::vector<release_t> found;
    std::error_code ec;
    for (fs::directory_iterator it(tree.releases, ec), end; !ec && it != end; it.increment(ec)) {
        release_t release;
        if (it->is_directory(ec) && !it->is_symlink(ec) && parse_release(it->path().filename().string(), &release))
            found.push_back(release);
    }
    if (ec)
        fail(describe(tree.releases, ec));
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.number > b.number; });
    return found;
}

// Makes ROOT/releases, takes the publish lock, and finds what ROOT/windows serves now.
void open_tree(const fs::path& root, server_tree* tree) {
    tree->root = root;
    tree->link = root / live_link_name;
    tree->releases = root / releases_dir_name;
    std::error_code ec;
    fs::create_directories(tree->releases, ec);
    if (ec)
        fail(describe(tree->releases, ec));
    fs::path lock = tree->releases / lock_name;
    tree->lock_fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (tree->lock_fd < 0)
        fail(describe_errno(lock));
    if (flock(tree->lock_fd, LOCK_EX | LOCK_NB) != 0)
        fail(errno == EWOULDBLOCK ? "another velm-publish is publishing to " + root.string() : describe_errno(lock));

    fs::file_status status = fs::symlink_status(tree->link, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        fail(describe(tree->link, ec));
    if (!fs::exists(status))
        return;
    if (fs::is_directory(status)) {
        tree->live = tree->link;
        tree->live_is_plain = true;
        return;
    }
    if (!fs::is_symlink(status))
        fail(tree->link.string() + " is neither a directory nor a symbolic link; move it away first");
    fs::path target = fs::canonical(tree->link, ec);
    if (ec) {
        warn(tree->link.string() + " leads nowhere (" + ec.message() + "): every file is compressed anew");
        return;
    }
    tree->live = target;
    fs::path releases = fs::canonical(tree->releases, ec);
    release_t release;
    if (!ec && target.parent_path() == releases && parse_release(target.filename().string(), &release))
        tree->live_release = release.id;
}

// Removes what killed publishes left at the top of ROOT: temporary links, and a plain windows/
// directory that an interrupted migration had already swapped out.
void remove_leftovers(const server_tree& tree) {
    std::error_code ec;
    for (fs::directory_iterator it(tree.root, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->path().filename().string().starts_with(temporary_link_prefix))
            continue;
        std::error_code removed;
        fs::remove_all(it->path(), removed); // a link is removed, never followed
        if (removed)
            fail(describe(it->path(), removed));
    }
    if (ec)
        fail(describe(tree.root, ec));
}

// The list compressed in `zs`, decompressed into a temporary file positioned at its start; null
// with the reason in *error.
file_ptr decompressed_list(const fs::path& zs, std::string* error) {
    file_ptr plain(tmpfile());
    if (plain == nullptr)
        fail(std::string("a temporary file: ") + strerror(errno));
    SHA1State sha;
    SHA1Reset(&sha);
    uint64_t produced = 0;
    if (!decompress_zs(zs, list_limit, &sha, plain.get(), &produced, error))
        return nullptr;
    rewind(plain.get());
    return plain;
}

// The live tree's file list, read without the name rules (it is only consulted). Reading is
// skipped for a plain windows/ directory: nothing there proves a .zs, so each is decompressed.
void read_live_list(const server_tree& tree, game_file_table* live) {
    if (tree.live_release.empty())
        return;
    fs::path zs = tree.live / list_zs;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(zs, ec)))
        return;
    std::string error;
    file_ptr plain = decompressed_list(zs, &error);
    if (plain == nullptr) {
        warn("the live file list cannot be read (" + error + "): every file is compressed anew");
        return;
    }
    read_manifest_entries(plain.get(), live);
}

// --- Building a release ----------------------------------------------------------------------

struct build_t {
    std::vector<published_file> files;
    const server_tree* tree;
    const game_file_table* live_list;
    fs::path release; // ROOT/releases/<id>, being built
    int level;
    bool patches = true; // make and carry over patches
    uint64_t patch_max_size = default_patch_max_size;
    // The live tree's patches by the digest of the content they make (file names in .patches/).
    std::unordered_map<std::string, std::vector<std::string>> live_patches;
    std::mutex patch_lock; // guards patch_names
    std::set<std::string> patch_names; // patches made or carried into the release so far
    std::mutex large_patch_lock; // held while a patch of a large file is made
    // The first failure; the workers stop taking files once it is set.
    std::mutex error_lock;
    std::string error;
    std::atomic<bool> failed{false};
};

void record_failure(build_t* build, const std::string& message) {
    std::lock_guard<std::mutex> hold(build->error_lock);
    if (!build->failed.exchange(true))
        build->error = message;
}

// Hard-links `from` at `to`, or copies it where links fail; false (nothing left at `to`) when
// neither works.
bool link_or_copy(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_hard_link(from, to, ec);
    if (!ec)
        return true;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (!ec)
        return true;
    fs::remove(to, ec);
    return false;
}

// Whether the live tree's .zs of `file` may serve the new tree: one of our releases proves it
// by its list; anything else only by decompressing it.
bool can_reuse(const build_t& build, const published_file& file, const fs::path& live_zs) {
    std::error_code ec;
    if (build.tree->live.empty() || !fs::is_regular_file(fs::symlink_status(live_zs, ec)))
        return false;
    std::string ignored;
    if (build.tree->live_release.empty())
        return zs_holds(live_zs, file.size, file.hash.c_str(), &ignored);
    const game_file_t* old = find_game_file(*build.live_list, file.name);
    return old != nullptr && old->size == file.size && file.hash == old->hash;
}

// One file into the release: hashed, then its live .zs hard-linked (copied where links fail)
// or the file compressed. Returns "reused" or "compressed", or null after recording a failure.
const char* publish_file(build_t* build, published_file* file) {
    std::string error;
    uint64_t read_size = 0;
    if (!hash_file(file->source, &file->hash, &read_size, &error)) {
        record_failure(build, error);
        return nullptr;
    }
    if (read_size != file->size) {
        record_failure(build, file->source.string() + ": changed while it was being published");
        return nullptr;
    }
    fs::path zs = build->release / (file->name + ".zs");
    std::error_code ec;
    fs::create_directories(zs.parent_path(), ec);
    if (ec && !fs::is_directory(zs.parent_path())) {
        record_failure(build, describe(zs.parent_path(), ec));
        return nullptr;
    }
    fs::path live_zs = build->tree->live / (file->name + ".zs");
    if (can_reuse(*build, *file, live_zs) && link_or_copy(live_zs, zs))
        return "reused";
    if (!compress_file(file->source, zs, file->size, file->hash, build->level, &error)) {
        record_failure(build, error);
        return nullptr;
    }
    return "compressed";
}

// Runs `work` on one thread per core and waits for them all.
void run_on_every_core(const std::function<void()>& work) {
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back(work);
    for (auto& t : pool)
        t.join();
}

// --- Patches ---------------------------------------------------------------------------------

// A file's content mapped read-only, unmapped when the scope ends; an empty file maps to
// nothing.
struct mapped_file {
    void* data = nullptr;
    size_t size = 0;

    mapped_file() = default;
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;
    ~mapped_file() {
        if (data != nullptr)
            munmap(data, size);
    }
    std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t*>(data), size}; }
};

// Maps the whole file open as `fd` into `out`; false with the reason in *error.
bool map_fd(int fd, const fs::path& path, mapped_file* out, std::string* error) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        *error = describe_errno(path);
        return false;
    }
    if (info.st_size == 0)
        return true;
    void* data = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        *error = describe_errno(path);
        return false;
    }
    out->data = data;
    out->size = static_cast<size_t>(info.st_size);
    return true;
}

bool map_file(const fs::path& path, mapped_file* out, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = describe_errno(path);
        return false;
    }
    bool mapped = map_fd(fd, path, out, error);
    close(fd);
    return mapped;
}

// Decompresses the .zs `zs` (at most `limit` bytes) into a temporary file in `dir`, which has
// no name from the start (nothing is left behind, whatever ends the publish), and maps it;
// *digest is the content's SHA-1. False with the reason in *error.
bool map_decompressed(const fs::path& zs, const fs::path& dir, uint64_t limit, mapped_file* out,
                      std::string* digest, std::string* error) {
    std::string name = (dir / ".old.XXXXXX").string();
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *error = describe_errno(name);
        return false;
    }
    unlink(name.c_str());
    file_ptr plain(fdopen(fd, "w+b"));
    if (plain == nullptr) {
        close(fd);
        *error = describe_errno(name);
        return false;
    }
    SHA1State sha;
    SHA1Reset(&sha);
    uint64_t produced = 0;
    if (!decompress_zs(zs, limit, &sha, plain.get(), &produced, error))
        return false;
    if (fflush(plain.get()) != 0) {
        *error = "write error while decompressing " + zs.string();
        return false;
    }
    *digest = digest_of(&sha);
    return map_fd(fileno(plain.get()), zs, out, error);
}

std::string digest_of_bytes(std::span<const uint8_t> bytes) {
    SHA1State sha;
    SHA1Reset(&sha);
    SHA1Input(&sha, bytes.data(), bytes.size());
    return digest_of(&sha);
}

std::string size_text(uint64_t bytes) {
    char text[32];
    if (bytes < 1000)
        snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
    else if (bytes < 1000000)
        snprintf(text, sizeof text, "%.1f kB", static_cast<double>(bytes) / 1e3);
    else
        snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string percent_text(uint64_t part, uint64_t whole) {
    double percent = whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    if (percent < 0.1)
        return "< 0.1 %";
    char text[32];
    snprintf(text, sizeof text, "%.1f %%", percent);
    return text;
}

// True when `name` (a patch's place in the release) was not yet taken by another file whose
// content changed the same way, or by a carried patch; takes it.
bool claim_patch(build_t* build, const std::string& name) {
    std::lock_guard<std::mutex> hold(build->patch_lock);
    return build->patch_names.insert(name).second;
}

// The live tree's patches, by the digest of the content each one makes.
void find_live_patches(build_t* build) {
    if (!build->patches || build->tree->live_release.empty())
        return;
    std::error_code ec;
    fs::path dir = build->tree->live / patch_directory;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        // <40 hex>-<40 hex>.zst, as patch_name() writes it
        if (name.size() == 85 && name[40] == '-' && name.ends_with(".zst"))
            build->live_patches[name.substr(41, 40)].push_back(name);
    }
}

// Hard-links into the release the live tree's patches to `file`'s content, which did not
// change. The note for its progress line.
std::string carry_patches(build_t* build, const published_file& file) {
    auto found = build->live_patches.find(file.hash);
    if (found == build->live_patches.end())
        return "";
    std::string note;
    for (const std::string& name : found->second) {
        std::string place = std::string(patch_directory) + "/" + name;
        if (!claim_patch(build, place))
            continue;
        fs::path from = build->tree->live / place;
        std::error_code ec;
        uint64_t size = fs::file_size(from, ec);
        if (!ec && link_or_copy(from, build->release / place))
            note = "patch " + size_text(size) + " kept  ";
    }
    return note;
}

// Makes the patch from the live tree's content of `file` to its new content, and keeps it when
// it is small enough. The note for its progress line; a failure that makes the tree wrong is
// recorded and the publish stops.
std::string make_file_patch(build_t* build, const published_file& file) {
    fs::path live_zs = build->tree->live / (file.name + ".zs");
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(live_zs, ec)))
        return "";
    // The old content: a release tree's list proves its .zs, a plain tree's .zs proves itself
    // by the digest of what it decompresses to. Either way the patch is keyed by that digest.
    mapped_file old_content, new_content;
    std::string old_digest, error;
    if (!map_decompressed(live_zs, build->release / patch_directory, build->patch_max_size, &old_content,
                          &old_digest, &error)) {
        warn("no patch for " + file.name + ": " + error);
        return "";
    }
    if (old_content.size == 0 || old_digest == file.hash)
        return "";
    char place[patch_name_size];
    patch_name(old_digest.c_str(), file.hash.c_str(), place);
    if (!claim_patch(build, place))
        return "";
    if (!map_file(file.source, &new_content, &error)) {
        record_failure(build, error);
        return "";
    }
    fs::path out = build->release / place;
    patch_result made;
    {
        // A large patch takes every core and a buffer as large as its window: one at a time.
        bool large = std::max(old_content.size, new_content.size) >= multithread_threshold;
        std::unique_lock<std::mutex> hold(build->large_patch_lock, std::defer_lock);
        if (large)
            hold.lock();
        int threads = large ? static_cast<int>(std::thread::hardware_concurrency()) : 1;
        make_patch(old_content.bytes(), new_content.bytes(), out.c_str(), build->level, threads, &made);
    }
    if (!made.ok) {
        record_failure(build, "the patch for " + file.name + ": " + made.problem);
        return "";
    }
    // The patch must make the listed content: the file may not change while it is read.
    if (new_content.size != file.size || digest_of_bytes(new_content.bytes()) != file.hash) {
        record_failure(build, file.source.string() + ": changed while it was being published");
        return "";
    }
    uint64_t zs_size = fs::file_size(build->release / (file.name + ".zs"), ec);
    if (ec) {
        record_failure(build, describe(build->release / (file.name + ".zs"), ec));
        return "";
    }
    std::string share = percent_text(made.size, zs_size) + " of the .zs";
    if (made.size * 100 >= zs_size * patch_kept_percent) {
        fs::remove(out, ec);
        return "no patch (" + share + ")  ";
    }
    return "patch " + size_text(made.size) + " (" + share + ")  ";
}

// The patch work for `file` once its .zs is in the release: a file unchanged since the live
// tree keeps its patch, a changed one gets a new one. The note for its progress line.
std::string patch_file(build_t* build, const published_file& file, bool reused) {
    if (!build->patches || build->tree->live.empty() || file.size == 0 || file.size > build->patch_max_size)
        return "";
    if (build->tree->live_is_plain) // no patches to keep; its .zs proves itself when decompressed
        return reused ? "" : make_file_patch(build, file);
    const game_file_t* old = find_game_file(*build->live_list, file.name);
    if (old == nullptr)
        return "";
    if (file.hash == old->hash)
        return carry_patches(build, file);
    if (old->size == 0 || old->size > build->patch_max_size)
        return "";
    return make_file_patch(build, file);
}

void publish_files(build_t* build) {
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    size_t total = build->files.size();
    auto work = [&] {
        for (size_t i = next++; i < total && !build->failed; i = next++) {
            published_file& file = build->files[i];
            const char* what = publish_file(build, &file);
            if (what == nullptr)
                return;
            std::string note = patch_file(build, file, strcmp(what, "reused") == 0);
            if (build->failed)
                return;
            std::error_code ec;
            uint64_t compressed = fs::file_size(build->release / (file.name + ".zs"), ec);
            printf("[%zu/%zu] %-10s %12" PRIu64 " -> %12" PRIu64 "  %s%s\n", ++done, total, what, file.size,
                   ec ? 0 : compressed, note.c_str(), file.name.c_str());
        }
    };
    run_on_every_core(work);
}

// Writes the release's file list: plain beside the .zs, read back as the launcher will, then
// compressed to manifest.dat.zs, the last file of the tree. The plain copy goes again.
bool write_list(build_t* build) {
    fs::path plain = build->release / list_name;
    FILE* f = fopen(plain.c_str(), "wb");
    if (f == nullptr) {
        record_failure(build, describe_errno(plain));
        return false;
    }
    bs_write_list(f, static_cast<int32_t>(build->files.size()));
    for (const published_file& file : build->files) {
        bs_write_list(f, 3);
        bs_write_str(f, file.name.c_str());
        bs_write_int(f, static_cast<int64_t>(file.size));
        bs_write_str(f, file.hash.c_str());
    }
    if (fclose(f) != 0) {
        record_failure(build, plain.string() + ": write error");
        return false;
    }
    std::string digest, error;
    uint64_t size = 0;
    if (!hash_file(plain, &digest, &size, &error)) {
        record_failure(build, error);
        return false;
    }
    if (size > list_limit) {
        record_failure(build, "the file list would take " + std::to_string(size) +
                                  " bytes; the launcher reads at most 64 MiB");
        return false;
    }
    file_ptr check(fopen(plain.c_str(), "rb"));
    game_file_table table;
    if (check != nullptr)
        parse_manifest(check.get(), &table);
    if (table.files.size() != build->files.size()) {
        record_failure(build, "the written file list does not read back");
        return false;
    }
    if (!compress_file(plain, build->release / list_zs, size, digest, build->level, &error)) {
        record_failure(build, error);
        return false;
    }
    std::error_code ec;
    fs::remove(plain, ec);
    return true;
}

// Points ROOT/windows at the release with one rename. A plain windows/ directory is swapped
// with the new link in one step where the file system can (then moved into releases/ as
// `previous_id`); elsewhere it is moved away first, and windows/ is missing for a moment.
void switch_live(const server_tree& tree, const std::string& id, const std::string& previous_id) {
    fs::path temporary = tree.root / (std::string(temporary_link_prefix) + id);
    std::error_code ec;
    fs::create_symlink(fs::path(releases_dir_name) / id, temporary, ec);
    if (ec)
        fail(describe(temporary, ec));
    if (!tree.live_is_plain) {
        fs::rename(temporary, tree.link, ec);
        if (ec)
            fail("switching " + tree.link.string() + ": " + ec.message());
        return;
    }
    fs::path previous = tree.releases / previous_id;
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, tree.link.c_str(), RENAME_EXCHANGE) == 0) {
        fs::rename(temporary, previous, ec); // the plain directory, now under the temporary name
        if (ec)
            warn("the previous " + tree.link.string() + " stays as " + temporary.string() + ": " + ec.message());
        return;
    }
    fs::rename(tree.link, previous, ec);
    if (ec)
        fail("moving " + tree.link.string() + " into " + tree.releases.string() + ": " + ec.message());
    fs::rename(temporary, tree.link, ec);
    if (ec)
        fail("switching " + tree.link.string() + ": " + ec.message() + "; the previous tree is " +
             previous.string());
}

// Removes the trees no player needs: all but the live one, the one it replaced, and the newest
// other complete trees up to kept_previous_trees. Trees of killed publishes go too.
void prune(const server_tree& tree, const std::string& live_id, const std::string& replaced_id) {
    size_t kept = replaced_id.empty() ? 0 : 1;
    for (const release_t& release : list_releases(tree)) {
        if (release.id == live_id || release.id == replaced_id)
            continue;
        fs::path path = tree.releases / release.id;
        std::error_code ec;
        bool complete = fs::is_regular_file(fs::symlink_status(path / list_zs, ec));
        if (complete && kept < kept_previous_trees) {
            ++kept;
            continue;
        }
        fs::remove_all(path, ec); // links inside are removed, never followed
        if (ec)
            warn("could not remove " + describe(path, ec));
        else
            printf("removed    %s/%s\n", releases_dir_name, release.id.c_str());
    }
}

// --- Signing --------------------------------------------------------------------------------

constexpr int default_expiry_days = 30;
constexpr long max_expiry_days = 3650;
constexpr int64_t seconds_per_day = 24 * 60 * 60;

struct signing_t {
    const char* key_file = nullptr; // --sign; null: the tree is not signed
    const char* channel = nullptr; // --channel, which --sign requires
    long expiry_days = default_expiry_days;
    bool expires_set = false;
    uint8_t seed[key_seed_size] = {};
};

// Reads a small file whole; false (reason in *error) when it cannot, or holds more than `limit`.
bool read_small_file(const fs::path& path, size_t limit, std::string* text, std::string* error) {
    file_ptr in(fopen(path.c_str(), "rb"));
    if (in == nullptr) {
        *error = describe_errno(path);
        return false;
    }
    std::vector<char> buffer(limit + 1);
    size_t got = fread(buffer.data(), 1, buffer.size(), in.get());
    if (ferror(in.get()) || got > limit) {
        *error = path.string() + (got > limit ? ": longer than " + std::to_string(limit) + " bytes" : ": read error");
        return false;
    }
    text->assign(buffer.data(), got);
    return true;
}

// The length and SHA-256 of the file at `path`.
bool sha256_of_file(const fs::path& path, uint64_t* length, uint8_t digest[sha256_size], std::string* error) {
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

// --sign KEYFILE, --channel NAME and --expires DAYS at argv[*i]; true (and *i past the value)
// when it was one.
bool take_signing_option(int argc, char** argv, int* i, signing_t* signing) {
    if (strcmp(argv[*i], "--sign") == 0 && *i + 1 < argc) {
        signing->key_file = argv[++*i];
        return true;
    }
    if (strcmp(argv[*i], "--channel") == 0 && *i + 1 < argc) {
        signing->channel = argv[++*i];
        if (!is_channel_name(signing->channel))
            fail(std::string("--channel wants 1 to 128 of A-Z a-z 0-9 . _ : / -: ") + signing->channel);
        return true;
    }
    if (strcmp(argv[*i], "--expires") != 0 || *i + 1 >= argc)
        return false;
    char* end = nullptr;
    signing->expiry_days = strtol(argv[++*i], &end, 10);
    if (*end != '\0' || signing->expiry_days < 1 || signing->expiry_days > max_expiry_days)
        fail("--expires wants a number of days from 1 to " + std::to_string(max_expiry_days));
    signing->expires_set = true;
    return true;
}

// Before anything is written: the key must be readable.
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

// The highest publish signed so far: from the statements of the live tree and of the trees kept
// beside it (a publish without --sign in between leaves none in the live tree). A live statement
// that cannot be read stops the publish: numbering again from 1 would make every launcher take
// the new list for an older one.
uint64_t previous_sequence(const server_tree& tree, const fs::path& building) {
    std::vector<fs::path> trees;
    if (!tree.live.empty())
        trees.push_back(tree.live);
    for (const release_t& release : list_releases(tree))
        if (tree.releases / release.id != building)
            trees.push_back(tree.releases / release.id);
    uint64_t highest = 0;
    for (const fs::path& dir : trees) {
        fs::path path = dir / statement_name;
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(path, ec)))
            continue;
        std::string text, error;
        list_statement statement;
        const char* problem = nullptr;
        if (read_small_file(path, statement_max_size, &text, &error))
            problem = parse_statement(text, &statement);
        else
            problem = error.c_str();
        if (problem == nullptr)
            highest = std::max(highest, statement.sequence);
        else if (dir == tree.live)
            fail(path.string() + " cannot be read (" + problem + "); move it away only if no player has seen it");
        else
            warn(path.string() + " is skipped: " + problem);
    }
    return highest;
}

// Writes the release's statement: the next sequence, the expiry, and the list's length and
// SHA-256, signed. Written after the list, before the tree goes live.
void sign_list(build_t* build, const signing_t& signing) {
    list_statement statement{};
    snprintf(statement.channel, sizeof statement.channel, "%s", signing.channel);
    statement.sequence = previous_sequence(*build->tree, build->release) + 1;
    statement.expires = static_cast<int64_t>(std::time(nullptr)) + signing.expiry_days * seconds_per_day;
    std::string error;
    if (!sha256_of_file(build->release / list_zs, &statement.list_length, statement.list_sha256, &error)) {
        record_failure(build, error);
        return;
    }
    std::string text = write_statement(statement, signing.seed);
    fs::path path = build->release / statement_name;
    FILE* out = fopen(path.c_str(), "wb");
    bool written = out != nullptr && fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out != nullptr && fclose(out) != 0)
        written = false;
    if (!written) {
        record_failure(build, path.string() + ": write error");
        return;
    }
    printf("signed     publish %" PRIu64 ", valid until %s, by %s\n", statement.sequence,
           utc_text(statement.expires).c_str(), hex_text(public_key_of(signing.seed).bytes, public_key_size).c_str());
}

int keygen_command(const char* path) {
    // O_EXCL: an existing key, which players' launchers may trust, is never overwritten.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        fail(errno == EEXIST ? std::string(path) + " exists; a signing key is never overwritten" : describe_errno(path));
    uint8_t seed[key_seed_size];
    randombytes_buf(seed, sizeof seed);
    std::string text = signing_key_text(seed);
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !written) {
        unlink(path);
        fail(std::string(path) + ": write error");
    }
    printf("%s\n", hex_text(public_key_of(seed).bytes, public_key_size).c_str());
    sodium_memzero(seed, sizeof seed);
    sodium_memzero(text.data(), text.size());
    return 0;
}

// Checks every listed .zs of the served tree `dir` against `list`, on every core; prints one
// line per file and returns the number of files that do not hold what is listed.
size_t verify_files(const fs::path& dir, const game_file_table& list) {
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::atomic<size_t> bad{0};
    size_t total = list.files.size();
    auto work = [&] {
        for (size_t i = next++; i < total; i = next++) {
            const game_file_t& file = list.files[i];
            std::string error;
            bool ok = zs_holds(dir / (std::string(file.name) + ".zs"), file.size, file.hash, &error);
            if (!ok)
                ++bad;
            printf("[%zu/%zu] %-4s %s%s%s\n", ++done, total, ok ? "ok" : "BAD", file.name, ok ? "" : ": ",
                   error.c_str());
        }
    };
    run_on_every_core(work);
    return bad;
}

int verify_command(const fs::path& root, const char* keys_text, std::string_view channel) {
    std::vector<public_key> keys;
    if (!parse_public_keys(keys_text, &keys) || keys.empty())
        fail(std::string("not a public key (64 hex digits, or several separated by commas): ") + keys_text);
    fs::path dir = root / live_link_name;
    std::string text, error;
    if (!read_small_file(dir / statement_name, statement_max_size, &text, &error))
        fail("the tree is not signed: " + error);
    uint64_t length = 0;
    uint8_t digest[sha256_size];
    if (!sha256_of_file(dir / list_zs, &length, digest, &error))
        fail(error);
    list_statement statement;
    const char* problem = nullptr;
    list_verdict verdict = check_statement(text, length, digest, {channel, keys, {}, {}}, std::time(nullptr), &statement,
                                           &problem);
    if (verdict == list_verdict::not_signed)
        fail((dir / statement_name).string() + ": " + problem);
    if (verdict == list_verdict::other_channel)
        fail((dir / statement_name).string() + ": signed for the channel " + statement.channel + ", not " +
             std::string(channel));
    printf("statement: publish %" PRIu64 ", valid until %s, signed by the key\n", statement.sequence,
           utc_text(statement.expires).c_str());
    if (verdict == list_verdict::not_matching)
        fail((dir / list_zs).string() + ": not the list the statement signs (its length or SHA-256 differs)");
    size_t problems = 0;
    if (verdict == list_verdict::expired || verdict == list_verdict::expiry_too_far) {
        printf("BAD  the statement has expired, or expires later than a publish can sign for: launchers refuse this "
               "tree; publish again\n");
        ++problems;
    }
    file_ptr plain = decompressed_list(dir / list_zs, &error);
    if (plain == nullptr)
        fail(error);
    game_file_table list;
    parse_manifest(plain.get(), &list); // a list the launcher would refuse ends here, with its report
    printf("list: %zu files, %" PRIu64 " bytes compressed, as signed\n", list.files.size(), length);
    problems += verify_files(dir, list);
    if (problems > 0) {
        printf("%zu problems: launchers would not install this tree\n", problems);
        return 1;
    }
    printf("verified: publish %" PRIu64 " and its %zu files are as signed\n", statement.sequence, list.files.size());
    return 0;
}

int parse_level(const char* text) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end != '\0' || value < ZSTD_minCLevel() || value > ZSTD_maxCLevel())
        fail("--level wants a zstd level from " + std::to_string(ZSTD_minCLevel()) + " to " +
             std::to_string(ZSTD_maxCLevel()));
    return static_cast<int>(value);
}

// A byte count: digits, then optionally K, M or G (binary multiples).
uint64_t parse_size(const char* option, const char* text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    int shift = *end == 'K' ? 10 : *end == 'M' ? 20 : *end == 'G' ? 30 : 0;
    if (shift != 0)
        ++end;
    if (end == text || *end != '\0' || text[0] == '-' || errno != 0 || value > (UINT64_MAX >> shift))
        fail(std::string(option) + " wants a byte count such as 1073741824 or 1G");
    return static_cast<uint64_t>(value) << shift;
}

int build_command(int argc, char** argv) {
    int level = default_level;
    signing_t signing;
    bool patches = true;
    uint64_t patch_max_size = default_patch_max_size;
    std::vector<const char*> positional;
    for (int i = 0; i < argc; ++i) {
        if (take_signing_option(argc, argv, &i, &signing))
            continue;
        if (strcmp(argv[i], "--level") == 0 && i + 1 < argc) {
            level = parse_level(argv[++i]);
        } else if (strcmp(argv[i], "--no-patches") == 0) {
            patches = false;
        } else if (strcmp(argv[i], "--patch-max-size") == 0 && i + 1 < argc) {
            patch_max_size = parse_size(argv[i], argv[i + 1]);
            ++i;
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 2 || ((signing.expires_set || signing.channel != nullptr) && signing.key_file == nullptr))
        return usage();
    if (signing.key_file != nullptr && signing.channel == nullptr)
        fail("--sign needs --channel: the channel the launchers are built for (their VELM_CHANNEL)");
    read_signing_key(&signing);
    fs::path game_dir = positional[0];
    fs::path root = positional[1];
    std::error_code ec;
    if (!fs::is_directory(game_dir, ec))
        fail(game_dir.string() + ": not a directory");

    // Nothing is written before the names are known to be safe.
    build_t build;
    build.files = collect_files(game_dir);
    refuse_unsafe_names(build.files, game_dir);

    server_tree tree;
    open_tree(root, &tree);
    remove_leftovers(tree);
    game_file_table live_list;
    read_live_list(tree, &live_list);
    std::vector<release_t> releases = list_releases(tree);
    uint64_t number = releases.empty() ? 1 : releases.front().number + 1;
    // A plain windows/ directory becomes the release before the new one.
    std::string replaced_id = tree.live_release;
    if (tree.live_is_plain)
        replaced_id = release_id(number++);
    std::string id = release_id(number);
    build.tree = &tree;
    build.live_list = &live_list;
    build.release = tree.releases / id;
    build.level = level;
    build.patches = patches;
    build.patch_max_size = patch_max_size;
    if (!fs::create_directory(build.release, ec) || ec)
        fail("creating " + build.release.string() + ": " + (ec ? ec.message() : "it exists"));
    if (patches && !fs::create_directory(build.release / patch_directory, ec))
        fail("creating " + (build.release / patch_directory).string() + ": " + ec.message());
    find_live_patches(&build);
    if (tree.live_is_plain)
        printf("%s is a plain directory: its .zs are reused only where they decompress to the file\n",
               tree.link.c_str());

    publish_files(&build);
    fs::remove(build.release / patch_directory, ec); // only when empty: a tree with no patch has no directory
    if (!build.failed)
        write_list(&build);
    if (!build.failed && signing.key_file != nullptr)
        sign_list(&build, signing);
    if (build.failed) {
        fs::remove_all(build.release, ec);
        fail(build.error + "; nothing was published");
    }
    switch_live(tree, id, replaced_id);
    prune(tree, id, replaced_id);
    printf("published %zu files to %s (%s/%s)\n", build.files.size(), tree.link.c_str(), releases_dir_name,
           id.c_str());
    return 0;
}

// The patch `build` would make from OLD to NEW, for measuring and checking one by hand.
int patch_command(int argc, char** argv) {
    int level = default_level;
    std::vector<const char*> positional;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--level") == 0 && i + 1 < argc)
            level = parse_level(argv[++i]);
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() != 3)
        return usage();
    mapped_file old_content, new_content;
    std::string error;
    if (!map_file(positional[0], &old_content, &error) || !map_file(positional[1], &new_content, &error))
        fail(error);
    patch_result made;
    make_patch(old_content.bytes(), new_content.bytes(), positional[2], level,
               static_cast<int>(std::thread::hardware_concurrency()), &made);
    if (!made.ok)
        fail(made.problem);
    printf("%" PRIu64 " bytes, level %d, window log %d: %s\n", made.size, level,
           patch_window_log(old_content.size, new_content.size), positional[2]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && strcmp(argv[1], "build") == 0)
        return build_command(argc - 2, argv + 2);
    if (argc == 3 && strcmp(argv[1], "keygen") == 0)
        return keygen_command(argv[2]);
    if (argc == 6 && strcmp(argv[1], "verify") == 0 && strcmp(argv[2], "--channel") == 0)
        return verify_command(argv[4], argv[5], argv[3]);
    if (argc >= 2 && strcmp(argv[1], "patch") == 0)
        return patch_command(argc - 2, argv + 2);
    if (argc == 3 && strcmp(argv[1], "list") == 0)
        return list_command(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "hash") == 0)
        return hash_command(argc - 2, argv + 2);
    return usage();
}
