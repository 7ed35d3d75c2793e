#include "support/decompression.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <zstd.h>
#include <zstd_errors.h>

#include "platform/platform.h"
#include "support/fileops.h"
#include "support/sha1.h"
#include "support/utils.h"

namespace {

constexpr int max_window_log = 31; // the format's largest window on 64-bit systems (2 GiB)

// Both streams, buffers and the context of one call, released whatever way it ends.
struct decompression_state {
    FILE* in = nullptr;
    FILE* out = nullptr;
    void* in_buffer = nullptr;
    void* out_buffer = nullptr;
    ZSTD_DCtx* context = nullptr;

    ~decompression_state() {
        ZSTD_freeDCtx(context);
        if (in != nullptr)
            fclose(in);
        if (out != nullptr)
            fclose(out);
        free(in_buffer);
        free(out_buffer);
    }
};

bool refuse(decompress_result* result, const char* fmt, const char* path, uint64_t value) {
    snprintf(result->problem, sizeof result->problem, fmt, path, value);
    result->ok = false;
    return false;
}

// The decompression proper; false with result->problem set when the stream is not right.
bool run(const decompress_args& args, decompression_state& s, decompress_result* result) {
    s.in = OPEN_FILE_OR_FAIL(args.in_path, "rb", "read");
    s.out = OPEN_FILE_OR_FAIL(args.out_path, "wb", "create");
    // Whole buffers go to the system directly: stdio's own buffer would split each read of the
    // recommended (odd) input size in two, and copy every write once more.
    setvbuf(s.in, nullptr, _IONBF, 0);
    setvbuf(s.out, nullptr, _IONBF, 0);
    size_t in_size = ZSTD_DStreamInSize();
    size_t out_size = ZSTD_DStreamOutSize();
    s.in_buffer = malloc(in_size);
    s.out_buffer = malloc(out_size);
    s.context = ZSTD_createDCtx();
    CHECK(s.in_buffer != nullptr && s.out_buffer != nullptr && s.context != nullptr);
    // Skip the caller's header (small) by reading it: no seek needs 64-bit offsets then.
    for (uint64_t skipped = 0; skipped < args.offset;) {
        size_t want =
            static_cast<size_t>(args.offset - skipped < in_size ? args.offset - skipped : in_size);
        size_t got = fread(s.in_buffer, 1, want, s.in);
        if (got != want)
            FAIL_FILE_ERRNO("read", args.in_path);
        skipped += got;
    }

    SHA1State sha;
    memset(&sha, 0, sizeof sha);
    SHA1Reset(&sha);
    bool input_empty = true;
    size_t last_result = 0;
    uint64_t written = 0;
    for (;;) {
        // Fill the input buffer.
        size_t got = fread(s.in_buffer, 1, in_size, s.in);
        if (got < in_size && ferror(s.in))
            FAIL_FILE_ERRNO("read", args.in_path);
        if (got == 0)
            break;
        input_empty = false;
        ZSTD_inBuffer input = {s.in_buffer, got, 0};
        // Decompress the chunk; write what each call produced before the next.
        do {
            ZSTD_outBuffer output = {s.out_buffer, out_size, 0};
            last_result = ZSTD_decompressStream(s.context, &output, &input);
            if (ZSTD_isError(last_result)) {
                snprintf(result->problem, sizeof result->problem, "zstd error in %s: %s",
                         args.in_path, ZSTD_getErrorName(last_result));
                return false;
            }
            written += output.pos;
            if (written > args.limit)
                return refuse(result,
                              "%s decompresses to more than its listed size of %" PRIu64 " bytes",
                              args.in_path, args.limit);
            if (fwrite(s.out_buffer, 1, output.pos, s.out) != output.pos)
                FAIL_FILE_ERRNO("write", args.out_path);
            SHA1Input(&sha, static_cast<const uint8_t*>(s.out_buffer), output.pos);
        } while (input.pos < input.size);
    }
    if (input_empty)
        return refuse(result, "%s holds no compressed data (input is empty)", args.in_path, 0);
    if (last_result != 0)
        return refuse(result,
                      "%s ends inside its compressed data (EOF before end of stream: %" PRIu64 ")",
                      args.in_path, last_result);
    // A failed close is a failed write: the last bytes may not have reached the file.
    int closed = fclose(s.out);
    s.out = nullptr;
    if (closed != 0)
        FAIL_FILE_ERRNO("write", args.out_path);
    CHECK(SHA1Result(&sha) == 1);
    sha1_digest_text(&sha, result->digest);
    return true;
}

// Against a prefix (a patch's base), the stream may reach back over the whole base and the
// output: streaming would keep a window as large as both on the heap. Instead the input and
// the output are mapped files and the frame is decompressed in one call, the output itself
// serving as the history.
bool run_mapped(const decompress_args& args, decompress_result* result) {
    platform_mapping in;
    if (int error = map_file_patiently(args.in_path, &in); error != 0)
        FAIL_FILE_CODE("read", args.in_path, error);
    platform_mapping out;
    if (int error = map_new_file_patiently(args.out_path, args.limit, &out); error != 0)
        FAIL_FILE_CODE("create", args.out_path, error);
    ZSTD_DCtx* context = ZSTD_createDCtx();
    CHECK(context != nullptr);
    CHECK(!ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, max_window_log)));
    CHECK(!ZSTD_isError(ZSTD_DCtx_refPrefix(context, args.prefix, args.prefix_size)));
    const char* input = static_cast<const char*>(in.data) + std::min(args.offset, in.size);
    size_t input_size = static_cast<size_t>(in.size - std::min(args.offset, in.size));
    size_t produced =
        input_size == 0 ? 0 : ZSTD_decompressDCtx(context, out.data, args.limit, input, input_size);
    ZSTD_freeDCtx(context);
    bool ok = false;
    if (input_size == 0) {
        refuse(result, "%s holds no compressed data (input is empty)", args.in_path, 0);
    } else if (ZSTD_getErrorCode(produced) == ZSTD_error_dstSize_tooSmall) {
        refuse(result, "%s decompresses to more than its listed size of %" PRIu64 " bytes",
               args.in_path, args.limit);
    } else if (ZSTD_isError(produced)) {
        snprintf(result->problem, sizeof result->problem, "zstd error in %s: %s", args.in_path,
                 ZSTD_getErrorName(produced));
    } else {
        SHA1State sha;
        memset(&sha, 0, sizeof sha);
        SHA1Reset(&sha);
        SHA1Input(&sha, static_cast<const uint8_t*>(out.data), produced);
        CHECK(SHA1Result(&sha) == 1);
        sha1_digest_text(&sha, result->digest);
        ok = true;
    }
    platform_unmap(&in, in.size);
    if (int error = platform_unmap(&out, ZSTD_isError(produced) ? 0 : produced); error != 0)
        FAIL_FILE_CODE("write", args.out_path, error);
    return ok;
}

} // namespace

void decompress(const decompress_args& args, decompress_result* result) {
    result->ok = false;
    result->problem[0] = '\0';
    result->digest[0] = '\0';
    if (args.prefix != nullptr && args.limit > 0) {
        result->ok = run_mapped(args, result);
        return;
    }
    decompression_state state;
    result->ok = run(args, state, result);
}

void decompress_memory(std::string_view in, uint64_t limit, std::string* out,
                       decompress_result* result) {
    constexpr const char* name = "the file list";
    result->ok = false;
    result->digest[0] = '\0';
    out->clear();
    ZSTD_DCtx* context = ZSTD_createDCtx();
    CHECK(context != nullptr);
    ZSTD_inBuffer input = {in.data(), in.size(), 0};
    size_t last_result = 0;
    std::string chunk(ZSTD_DStreamOutSize(), '\0');
    // Until the input is used up and the last call had no more output than fitted.
    for (bool more = !in.empty(); more;) {
        ZSTD_outBuffer output = {chunk.data(), chunk.size(), 0};
        last_result = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(last_result))
            break;
        out->append(chunk.data(), output.pos);
        more = out->size() <= limit && (input.pos < input.size || output.pos == output.size);
    }
    ZSTD_freeDCtx(context);
    if (ZSTD_isError(last_result))
        snprintf(result->problem, sizeof result->problem, "zstd error in %s: %s", name,
                 ZSTD_getErrorName(last_result));
    else if (out->size() > limit)
        refuse(result, "%s decompresses to more than its listed size of %" PRIu64 " bytes", name,
               limit);
    else if (in.empty())
        refuse(result, "%s holds no compressed data (input is empty)", name, 0);
    else if (last_result != 0)
        refuse(result, "%s ends inside its compressed data (EOF before end of stream: %" PRIu64 ")",
               name, last_result);
    else
        result->ok = true;
    if (!result->ok)
        return;
    SHA1State sha;
    memset(&sha, 0, sizeof sha);
    SHA1Reset(&sha);
    SHA1Input(&sha, reinterpret_cast<const uint8_t*>(out->data()), out->size());
    CHECK(SHA1Result(&sha) == 1);
    sha1_digest_text(&sha, result->digest);
}

void decompress_file(const char* in_path, const char* out_path, uint64_t limit) {
    decompress_result result;
    decompress({in_path, 0, out_path, limit, nullptr, 0}, &result);
    if (!result.ok)
        PANIC_FOR_PLAYER("%s", result.problem);
}
