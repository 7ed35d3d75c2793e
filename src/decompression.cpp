#include "decompression.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <zstd.h>

#include "utils.h"

// Failures after set-up end the process from whichever thread was decompressing, with a line on
// standard error and no message box. The partly written output, the moved-aside copy and the
// input stay on disk; the next start fetches the file again.
[[noreturn]] static void fail_io(const char* what) {
    perror(what);
    exit(1);
}

void decompress_file(const char* in_path, const char* out_path, uint64_t limit) {
    FILE* in = fopen(in_path, "rb");
    CHECK(in != nullptr);
    size_t in_size = ZSTD_DStreamInSize();
    void* in_buffer = malloc(in_size);
    CHECK(in_buffer != nullptr);
    FILE* out = fopen(out_path, "wb");
    if (out == nullptr)
        fail_io(out_path);
    size_t out_size = ZSTD_DStreamOutSize();
    void* out_buffer = malloc(out_size);
    CHECK(out_buffer != nullptr);
    ZSTD_DCtx* context = ZSTD_createDCtx();
    CHECK(context != nullptr);
    // Whole buffers go to the system directly: stdio's own buffer would split each read of the
    // recommended (odd) input size in two, and copy every write once more.
    setvbuf(in, nullptr, _IONBF, 0);
    setvbuf(out, nullptr, _IONBF, 0);

    bool input_empty = true;
    size_t last_result = 0;
    uint64_t written = 0;
    for (;;) {
        // Fill the input buffer.
        size_t got = fread(in_buffer, 1, in_size, in);
        if (got < in_size && ferror(in))
            fail_io("fread");
        if (got == 0)
            break;
        ZSTD_inBuffer input = {in_buffer, got, 0};
        // Decompress the chunk; write what each call produced before the next.
        do {
            ZSTD_outBuffer output = {out_buffer, out_size, 0};
            last_result = ZSTD_decompressStream(context, &output, &input);
            if (ZSTD_isError(last_result)) {
                fprintf(stderr, "zstd error in %s: %s\n", in_path, ZSTD_getErrorName(last_result));
                exit(1);
            }
            written += output.pos;
            if (written > limit) {
                fprintf(stderr, "%s decompresses to more than its listed size of %" PRIu64 " bytes\n",
                        in_path, limit);
                exit(1);
            }
            if (fwrite(out_buffer, 1, output.pos, out) != output.pos)
                fail_io("fwrite");
        } while (input.pos < input.size);
        input_empty = false;
    }

    if (input_empty) {
        fprintf(stderr, "input is empty\n");
        exit(1);
    }
    if (last_result != 0) {
        fprintf(stderr, "EOF before end of stream: %zu\n", last_result);
        exit(1);
    }
    ZSTD_freeDCtx(context);
    fclose(in);
    // Buffered bytes reach the file only here; a failed close is a failed write.
    if (fclose(out) != 0)
        fail_io("fwrite");
    free(in_buffer);
    free(out_buffer);
}
