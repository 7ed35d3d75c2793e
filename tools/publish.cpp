// velm-publish: turns a game directory into the update server's tree, and inspects file lists
// and files.
//
//   velm-publish build [--level N] GAME_DIR ROOT
//       writes ROOT/windows/<name>.zs for every file of GAME_DIR, then the file list
//       ROOT/windows/manifest.dat.zs last, so a client never sees a list naming files that are
//       not there yet. An unchanged file keeps its existing .zs.
//   velm-publish list FILE        one line per entry of a decompressed file list
//   velm-publish hash FILE...     SHA-1 of each file, as sha1sum prints it
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "binstream.h"
#include "decompression.h"
#include "manifest.h"
#include "utils.h"

namespace fs = std::filesystem;

namespace {

constexpr int default_level = 19;
constexpr const char* list_name = "manifest.dat";
constexpr uint64_t list_limit = 64ULL << 20; // what the launcher accepts for the file list
constexpr uint64_t multithread_threshold = 32ULL << 20; // larger files use zstd's own threads
constexpr size_t io_chunk = 1 << 20;
constexpr size_t frame_header_max = 18; // the largest zstd frame header

int usage() {
    fprintf(stderr, "usage: velm-publish build [--level N] GAME_DIR ROOT\n"
                    "       velm-publish list FILE\n"
                    "       velm-publish hash FILE...\n");
    return 2;
}

[[noreturn]] void fail(const std::string& message) {
    fprintf(stderr, "velm-publish: %s\n", message.c_str());
    exit(1);
}

// --- list and hash ---------------------------------------------------------------------------

// Reads the list as the launcher would: a malformed list is refused with the same report.
void read_list(const char* path, game_file_table* table) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        fail(std::string(path) + ": " + strerror(errno));
    parse_manifest(f, table);
    fclose(f);
}

int list_command(const char* path) {
    game_file_table table;
    read_list(path, &table);
    for (const game_file_t& file : table.files)
        printf("%" PRIu64 " %s %s\n", file.size, file.hash, file.name);
    return 0;
}

int hash_command(int count, char** paths) {
    for (int i = 0; i < count; ++i) {
        if (!fs::is_regular_file(paths[i]))
            fail(std::string(paths[i]) + ": not a regular file");
        char* digest = compute_file_hash(paths[i]);
        printf("%s  %s\n", digest, paths[i]);
        free(digest);
    }
    return 0;
}

// --- build -----------------------------------------------------------------------------------

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
        fail(game_dir.string() + ": " + ec.message());
    for (; it != end; it.increment(ec)) {
        if (ec)
            fail(ec.message());
        const fs::directory_entry& entry = *it;
        std::string name = fs::relative(entry.path(), game_dir).generic_string();
        if (entry.is_symlink()) {
            fprintf(stderr, "warning: skipping link %s\n", name.c_str());
            continue;
        }
        if (entry.is_directory()) {
            if (entry.path().filename().string().starts_with(".")) {
                fprintf(stderr, "warning: skipping %s/ (the launcher never scans dot-directories)\n", name.c_str());
                it.disable_recursion_pending();
            }
            continue;
        }
        if (!entry.is_regular_file()) {
            fprintf(stderr, "warning: skipping %s (not a regular file)\n", name.c_str());
            continue;
        }
        files.push_back({name, entry.path(), entry.file_size(), ""});
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return files;
}

// Refuses, before anything is written, every name the launcher would refuse.
void refuse_unsafe_names(const std::vector<published_file>& files) {
    bool refused = false;
    for (const published_file& file : files)
        if (const char* problem = manifest_name_problem(file.name)) {
            fprintf(stderr, "velm-publish: refusing \"%s\": %s\n", file.name.c_str(), problem);
            refused = true;
        }
    if (refused)
        exit(1);
    game_file_table table;
    table.files.reserve(files.size());
    for (const published_file& file : files) {
        table.files.push_back({strdup(file.name.c_str()), file.size, nullptr, 0, false});
        table.by_name.emplace(table.files.back().name, &table.files.back());
    }
    manifest_refuse_conflicts(table);
}

// The previous list of ROOT, to reuse the .zs of unchanged files.
void read_previous_list(const fs::path& server_dir, game_file_table* previous) {
    fs::path compressed = server_dir / (std::string(list_name) + ".zs");
    if (!fs::exists(compressed))
        return;
    fs::path plain = server_dir / (std::string(list_name) + ".previous");
    decompress_file(compressed.c_str(), plain.c_str(), list_limit);
    read_list(plain.c_str(), previous);
    fs::remove(plain);
}

// Compresses `in` into `out` as one zstd frame that records its content size and checksum.
void compress_file(const fs::path& in_path, const fs::path& out_path, uint64_t size, int level) {
    FILE* in = fopen(in_path.c_str(), "rb");
    if (in == nullptr)
        fail(in_path.string() + ": " + strerror(errno));
    FILE* out = fopen(out_path.c_str(), "wb");
    if (out == nullptr)
        fail(out_path.string() + ": " + strerror(errno));
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    CHECK(cctx != nullptr);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    if (size >= multithread_threshold)
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, static_cast<int>(std::thread::hardware_concurrency()));
    ZSTD_CCtx_setPledgedSrcSize(cctx, size);
    std::vector<char> in_buffer(io_chunk), out_buffer(ZSTD_CStreamOutSize());
    uint64_t seen = 0;
    for (;;) {
        size_t got = fread(in_buffer.data(), 1, in_buffer.size(), in);
        if (ferror(in))
            fail(in_path.string() + ": read error");
        seen += got;
        bool last = got < in_buffer.size();
        ZSTD_inBuffer input = {in_buffer.data(), got, 0};
        ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
        bool finished;
        do {
            ZSTD_outBuffer output = {out_buffer.data(), out_buffer.size(), 0};
            size_t remaining = ZSTD_compressStream2(cctx, &output, &input, mode);
            if (ZSTD_isError(remaining))
                fail(in_path.string() + ": " + ZSTD_getErrorName(remaining) + " (did the file change?)");
            if (fwrite(out_buffer.data(), 1, output.pos, out) != output.pos)
                fail(out_path.string() + ": write error");
            finished = last ? remaining == 0 : input.pos == input.size;
        } while (!finished);
        if (last)
            break;
    }
    ZSTD_freeCCtx(cctx);
    fclose(in);
    if (fclose(out) != 0)
        fail(out_path.string() + ": write error");
    if (seen != size)
        fail(in_path.string() + ": changed while it was being published");
}

// Whether `zs` already holds `file`'s content: the previous list gave it the same size and
// digest, and the frame records that size.
bool can_reuse(const game_file_table& previous, const published_file& file, const fs::path& zs) {
    const game_file_t* old = find_game_file(previous, file.name);
    if (old == nullptr || old->size != file.size || file.hash != old->hash)
        return false;
    FILE* f = fopen(zs.c_str(), "rb");
    if (f == nullptr)
        return false;
    char header[frame_header_max];
    size_t got = fread(header, 1, sizeof header, f);
    fclose(f);
    unsigned long long content = ZSTD_getFrameContentSize(header, got);
    return content == file.size;
}

void publish_files(std::vector<published_file>& files, const game_file_table& previous, const fs::path& server_dir,
                   int level) {
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    auto work = [&] {
        for (size_t i = next++; i < files.size(); i = next++) {
            published_file& file = files[i];
            char* digest = compute_file_hash(file.source.c_str());
            file.hash = digest;
            free(digest);
            fs::path zs = server_dir / (file.name + ".zs");
            const char* what = "reused";
            if (!can_reuse(previous, file, zs)) {
                fs::create_directories(zs.parent_path());
                fs::path partial = zs.string() + ".partial";
                compress_file(file.source, partial, file.size, level);
                fs::rename(partial, zs);
                what = "compressed";
            }
            printf("[%zu/%zu] %-10s %12" PRIu64 " -> %12" PRIu64 "  %s\n", ++done, files.size(), what, file.size,
                   static_cast<uint64_t>(fs::file_size(zs)), file.name.c_str());
        }
    };
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back(work);
    for (auto& t : pool)
        t.join();
}

void write_list(const std::vector<published_file>& files, const fs::path& server_dir, int level) {
    fs::path plain = server_dir / (std::string(list_name) + ".new");
    FILE* f = fopen(plain.c_str(), "wb");
    if (f == nullptr)
        fail(plain.string() + ": " + strerror(errno));
    bs_write_list(f, static_cast<int32_t>(files.size()));
    for (const published_file& file : files) {
        bs_write_list(f, 3);
        bs_write_str(f, file.name.c_str());
        bs_write_int(f, static_cast<int64_t>(file.size));
        bs_write_str(f, file.hash.c_str());
    }
    if (fclose(f) != 0)
        fail(plain.string() + ": write error");
    // Read it back as the launcher will, before any client can see it.
    game_file_table check;
    read_list(plain.c_str(), &check);
    if (check.files.size() != files.size())
        fail("the written file list does not read back");
    fs::path zs = server_dir / (std::string(list_name) + ".zs");
    fs::path partial = zs.string() + ".partial";
    compress_file(plain, partial, fs::file_size(plain), level);
    fs::rename(partial, zs);
    fs::remove(plain);
}

// Removes the .zs of files no longer listed, now that the new list is in place.
void remove_stale(const std::vector<published_file>& files, const fs::path& server_dir) {
    std::vector<std::string> keep;
    for (const published_file& file : files)
        keep.push_back(file.name + ".zs");
    keep.push_back(std::string(list_name) + ".zs");
    std::sort(keep.begin(), keep.end());
    std::vector<fs::path> stale;
    for (const auto& entry : fs::recursive_directory_iterator(server_dir)) {
        if (!entry.is_regular_file())
            continue;
        std::string name = fs::relative(entry.path(), server_dir).generic_string();
        if (!std::binary_search(keep.begin(), keep.end(), name))
            stale.push_back(entry.path());
    }
    for (const fs::path& path : stale) {
        printf("removed    %s\n", fs::relative(path, server_dir).generic_string().c_str());
        fs::remove(path);
    }
}

int build_command(int argc, char** argv) {
    int level = default_level;
    std::vector<const char*> positional;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--level") == 0 && i + 1 < argc) {
            char* end = nullptr;
            long value = strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < ZSTD_minCLevel() || value > ZSTD_maxCLevel())
                fail(std::string("--level wants a zstd level from 1 to ") + std::to_string(ZSTD_maxCLevel()));
            level = static_cast<int>(value);
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 2)
        return usage();
    fs::path game_dir = positional[0];
    fs::path server_dir = fs::path(positional[1]) / "windows";
    if (!fs::is_directory(game_dir))
        fail(game_dir.string() + ": not a directory");

    std::vector<published_file> files = collect_files(game_dir);
    refuse_unsafe_names(files);
    if (files.size() > bs_max_length)
        fail("a file list holds at most 65535 files; found " + std::to_string(files.size()));
    fs::create_directories(server_dir);
    game_file_table previous;
    read_previous_list(server_dir, &previous);
    publish_files(files, previous, server_dir, level);
    write_list(files, server_dir, level);
    remove_stale(files, server_dir);
    printf("published %zu files to %s\n", files.size(), server_dir.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && strcmp(argv[1], "build") == 0)
        return build_command(argc - 2, argv + 2);
    if (argc == 3 && strcmp(argv[1], "list") == 0)
        return list_command(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "hash") == 0)
        return hash_command(argc - 2, argv + 2);
    return usage();
}
