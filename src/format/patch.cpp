#include "format/patch.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <zstd.h>

namespace {

constexpr size_t out_chunk = 1 << 20;

struct cctx_free {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct file_close {
    void operator()(FILE* f) const { fclose(f); }
};

bool refuse(patch_result* result, const char* what, const char* detail) {
    snprintf(result->problem, sizeof result->problem, "%s: %s", what, detail);
    return false;
}

bool set(ZSTD_CCtx* cctx, ZSTD_cParameter parameter, int value, patch_result* result) {
    size_t code = ZSTD_CCtx_setParameter(cctx, parameter, value);
    return !ZSTD_isError(code) || refuse(result, "zstd parameter", ZSTD_getErrorName(code));
}

bool run(std::span<const uint8_t> old_content, std::span<const uint8_t> new_content,
         const char* out_path, int level, int threads, patch_result* result) {
    std::unique_ptr<ZSTD_CCtx, cctx_free> cctx(ZSTD_createCCtx());
    if (cctx == nullptr)
        return refuse(result, "zstd", "out of memory");
    ZSTD_CCtx* c = cctx.get();
    if (!set(c, ZSTD_c_compressionLevel, level, result) ||
        !set(c, ZSTD_c_checksumFlag, 1, result) || !set(c, ZSTD_c_contentSizeFlag, 1, result) ||
        !set(c, ZSTD_c_windowLog, patch_window_log(old_content.size(), new_content.size()),
             result) ||
        !set(c, ZSTD_c_enableLongDistanceMatching, 1, result) ||
        !set(c, ZSTD_c_nbWorkers, std::max(threads, 1), result))
        return false;
    size_t code = ZSTD_CCtx_setPledgedSrcSize(c, new_content.size());
    if (ZSTD_isError(code))
        return refuse(result, "zstd", ZSTD_getErrorName(code));
    // Referenced, not copied; it serves this one frame.
    code = ZSTD_CCtx_refPrefix(c, old_content.data(), old_content.size());
    if (ZSTD_isError(code))
        return refuse(result, "zstd prefix", ZSTD_getErrorName(code));

    std::unique_ptr<FILE, file_close> out(fopen(out_path, "wb"));
    if (out == nullptr)
        return refuse(result, out_path, strerror(errno));
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[out_chunk]);
    // The whole new content is one input; each call fills the output chunk.
    ZSTD_inBuffer input = {new_content.data(), new_content.size(), 0};
    for (size_t remaining = 1; remaining != 0;) {
        ZSTD_outBuffer output = {buffer.get(), out_chunk, 0};
        remaining = ZSTD_compressStream2(c, &output, &input, ZSTD_e_end);
        if (ZSTD_isError(remaining))
            return refuse(result, "zstd", ZSTD_getErrorName(remaining));
        if (fwrite(buffer.get(), 1, output.pos, out.get()) != output.pos)
            return refuse(result, out_path, strerror(errno));
        result->size += output.pos;
    }
    // A failed close is a failed write: the last bytes may not have reached the file.
    if (fclose(out.release()) != 0)
        return refuse(result, out_path, strerror(errno));
    return true;
}

} // namespace

int patch_window_log(uint64_t old_size, uint64_t new_size) {
    ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int upper = std::min(bounds.upperBound, patch_window_log_max);
    int needed = static_cast<int>(std::bit_width(std::max(old_size, new_size)));
    return std::clamp(needed, bounds.lowerBound, upper);
}

void make_patch(std::span<const uint8_t> old_content, std::span<const uint8_t> new_content,
                const char* out_path, int level, int threads, patch_result* result) {
    result->size = 0;
    result->problem[0] = '\0';
    result->ok = run(old_content, new_content, out_path, level, threads, result);
}
