#include "publish/io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <thread>
#include <vector>

#include "format/patch.h"

namespace {

constexpr size_t child_report_limit = 4096; // of a child's fatal report, kept for the reason

using dctx_ptr = std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)>;
using cctx_ptr = std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)>;

// Maps the whole file open as `fd` into `out`.
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

// A fatal report as one line: "Fatal error in ... (...): expected type 6, got 3".
std::string one_line(std::string report) {
    while (!report.empty() && report.back() == '\n')
        report.pop_back();
    for (size_t at = report.find("\n\n"); at != std::string::npos; at = report.find("\n\n"))
        report.replace(at, 2, ": ");
    std::replace(report.begin(), report.end(), '\n', ' ');
    return report;
}

} // namespace

// --- Reports -----------------------------------------------------------------------------------

void fail(const std::string& message) {
    fprintf(stderr, "velm-publish: %s\n", message.c_str());
    exit(1);
}

void warn(const std::string& message) {
    fprintf(stderr, "velm-publish: warning: %s\n", message.c_str());
}

std::string describe(const fs::path& path, const std::error_code& ec) {
    return path.string() + ": " + ec.message();
}

std::string describe_errno(const fs::path& path) {
    return path.string() + ": " + strerror(errno);
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
    double percent =
        whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    if (percent < 0.1)
        return "< 0.1 %";
    char text[32];
    snprintf(text, sizeof text, "%.1f %%", percent);
    return text;
}

// --- Hashing -------------------------------------------------------------------------------------

std::string digest_of(SHA1State* sha) {
    char text[41];
    if (SHA1Result(sha) == 0)
        return "";
    sha1_digest_text(sha, text);
    return text;
}

std::string digest_of_bytes(std::span<const uint8_t> bytes) {
    SHA1State sha;
    SHA1Reset(&sha);
    SHA1Input(&sha, bytes.data(), bytes.size());
    return digest_of(&sha);
}

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

// --- One zstd frame ------------------------------------------------------------------------------

bool decompress_zs(const fs::path& zs, uint64_t limit, std::span<const uint8_t> prefix,
                   SHA1State* sha, FILE* out, uint64_t* produced, std::string* error) {
    file_ptr in(fopen(zs.c_str(), "rb"));
    if (in == nullptr) {
        *error = describe_errno(zs);
        return false;
    }
    dctx_ptr dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!prefix.empty()) {
        ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, patch_window_log_max);
        ZSTD_DCtx_refPrefix(dctx.get(), prefix.data(), prefix.size());
    }
    std::vector<uint8_t> in_buffer(ZSTD_DStreamInSize()), out_buffer(ZSTD_DStreamOutSize());
    *produced = 0;
    size_t result = 1; // not yet at the end of a frame
    for (;;) {
        size_t got = fread(in_buffer.data(), 1, in_buffer.size(), in.get());
        if (got == 0)
            break;
        ZSTD_inBuffer input = {in_buffer.data(), got, 0};
        while (input.pos < input.size) {
            // A file's .zs may be several frames (a chunked file's: its chunks'); a patch is one.
            if (result == 0 && !prefix.empty()) {
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
                *error =
                    zs.string() + ": decompresses to more than " + std::to_string(limit) + " bytes";
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

bool zs_holds(const fs::path& zs, uint64_t size, const char* hash, std::string* error) {
    SHA1State sha;
    SHA1Reset(&sha);
    uint64_t produced = 0;
    if (!decompress_zs(zs, size, {}, &sha, nullptr, &produced, error))
        return false;
    if (produced != size) {
        *error = zs.string() + ": decompresses to " + std::to_string(produced) + " bytes, not " +
                 std::to_string(size);
        return false;
    }
    if (digest_of(&sha) != hash) {
        *error = zs.string() + ": its content's SHA-1 is not the listed one";
        return false;
    }
    return true;
}

bool compress_file(const fs::path& in_path, const fs::path& out_path, uint64_t size,
                   const std::string& hash, int level, std::string* error) {
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
    cctx_ptr cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    if (size >= multithread_threshold)
        ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_nbWorkers,
                               static_cast<int>(std::thread::hardware_concurrency()));
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

// --- Mapped files
// ----------------------------------------------------------------------------------

mapped_file::~mapped_file() {
    if (data != nullptr)
        munmap(data, size);
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
    if (!decompress_zs(zs, limit, {}, &sha, plain.get(), &produced, error))
        return false;
    if (fflush(plain.get()) != 0) {
        *error = "write error while decompressing " + zs.string();
        return false;
    }
    *digest = digest_of(&sha);
    return map_fd(fileno(plain.get()), zs, out, error);
}

// --- Small files
// -----------------------------------------------------------------------------------

bool read_small_file(const fs::path& path, size_t limit, std::string* text, std::string* error) {
    file_ptr in(fopen(path.c_str(), "rb"));
    if (in == nullptr) {
        *error = describe_errno(path);
        return false;
    }
    std::vector<char> buffer(limit + 1);
    size_t got = fread(buffer.data(), 1, buffer.size(), in.get());
    if (ferror(in.get()) || got > limit) {
        *error = path.string() + (got > limit ? ": longer than " + std::to_string(limit) + " bytes"
                                              : ": read error");
        return false;
    }
    text->assign(buffer.data(), got);
    return true;
}

bool write_file_atomically(const fs::path& path, const std::string& text, std::string* error) {
    fs::path temporary = path.string() + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = describe_errno(temporary);
        return false;
    }
    bool written =
        write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (close(fd) != 0 || !written) {
        *error = temporary.string() + ": write error";
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        *error = describe_errno(path);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

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

// --- File lists
// ------------------------------------------------------------------------------------

file_ptr decompressed_list(const fs::path& zs, std::string* error) {
    file_ptr plain(tmpfile());
    if (plain == nullptr)
        fail(std::string("a temporary file: ") + strerror(errno));
    SHA1State sha;
    SHA1Reset(&sha);
    uint64_t produced = 0;
    if (!decompress_zs(zs, list_limit, {}, &sha, plain.get(), &produced, error))
        return nullptr;
    rewind(plain.get());
    return plain;
}

bool read_list(const fs::path& zs, game_file_table* table, std::string* error) {
    file_ptr plain = decompressed_list(zs, error);
    if (plain == nullptr)
        return false;
    // The value stream's readers end the process on malformed input: a child reads it first.
    int report[2];
    if (pipe(report) != 0)
        fail(std::string("a pipe: ") + strerror(errno));
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0)
        fail(std::string("fork: ") + strerror(errno));
    if (child == 0) {
        dup2(report[1], STDERR_FILENO);
        game_file_table probe;
        read_manifest_entries(plain.get(), &probe);
        _exit(0);
    }
    close(report[1]);
    std::string said;
    char buffer[512];
    for (ssize_t got; (got = read(report[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        if (said.size() < child_report_limit)
            said.append(buffer, static_cast<size_t>(got));
    }
    close(report[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = zs.string() + " does not read as a file list (" + one_line(said) + ")";
        return false;
    }
    rewind(plain.get()); // the child moved the offset it shares
    read_manifest_entries(plain.get(), table);
    return true;
}

void run_on_every_core(const std::function<void()>& work) {
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back(work);
    for (auto& t : pool)
        t.join();
}
