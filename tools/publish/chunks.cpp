#include "publish/chunks.h"

#include <zstd.h>

#include <atomic>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "format/signature.h"

namespace {

// A file read once: its index, and where each chunk starts in it.
struct cut_file {
    chunk_index index;
    std::vector<uint64_t> offsets;
};

std::string text_of(const uint8_t* digest) {
    char text[41];
    chunk_digest_text(digest, text);
    return text;
}

std::string place_of(const chunk_entry& chunk) {
    char name[chunk_name_size];
    chunk_name(text_of(chunk.digest).c_str(), name);
    return name;
}

std::string index_place(const std::string& file_digest) {
    char name[chunk_name_size];
    chunk_index_name(file_digest.c_str(), name);
    return name;
}

// Hard-links the chunk or index at `place` from the first kept tree that holds it.
bool link_from_sources(const patch_plan& plan, const std::string& place) {
    std::error_code ec;
    for (const fs::path& source : plan.chunk_sources)
        if (fs::is_regular_file(fs::symlink_status(source / place, ec)) &&
            link_or_copy(source / place, plan.release / place))
            return true;
    return false;
}

// Reads `file` once: its chunks' sizes and SHA-1s, and that it still holds its listed bytes.
bool cut_into_chunks(const patch_plan& plan, const published_file& file, cut_file* out,
                     std::string* error) {
    file_ptr in(fopen(file.source.c_str(), "rb"));
    if (in == nullptr) {
        *error = describe_errno(file.source);
        return false;
    }
    chunk_index& index = out->index;
    index.params = chunk_params_for(plan.chunk_average);
    SHA1State whole;
    SHA1Reset(&whole);
    auto found = [&](const chunk_found& chunk) {
        chunk_entry entry{{}, chunk.size};
        memcpy(entry.digest, chunk.digest, chunk_digest_size);
        index.chunks.push_back(entry);
        out->offsets.push_back(chunk.offset);
        index.file_size = chunk.offset + chunk.size;
    };
    if (!chunk_stream(in.get(), index.params, found, &whole, nullptr)) {
        *error = file.source.string() + ": read error";
        return false;
    }
    if (index.file_size != file.size || digest_of(&whole) != file.hash) {
        *error = file.source.string() + ": changed while it was being published";
        return false;
    }
    return parse_hex(file.hash, index.file_digest, chunk_digest_size);
}

// Stores every chunk of `cut` that no file of the release has stored yet: hard-linked from a kept
// tree, else read again (and checked) and compressed, on every core.
bool store(patch_plan* plan, const published_file& file, const cut_file& cut, std::string* note,
           std::string* error) {
    std::atomic<size_t> next{0}, made{0}, linked{0};
    std::atomic<uint64_t> made_bytes{0};
    std::mutex failure_lock;
    std::string failure;
    auto fail_with = [&](const std::string& why) {
        std::lock_guard<std::mutex> hold(failure_lock);
        if (failure.empty())
            failure = why;
    };
    const std::vector<chunk_entry>& chunks = cut.index.chunks;
    run_on_every_core([&] {
        file_ptr in(fopen(file.source.c_str(), "rb"));
        std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
        ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, plan->level);
        ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
        std::vector<uint8_t> data, packed;
        for (size_t k = next++; k < chunks.size(); k = next++) {
            std::string place = place_of(chunks[k]);
            if (!claim_place(plan, place))
                continue;
            if (link_from_sources(*plan, place)) {
                ++linked;
                continue;
            }
            data.resize(chunks[k].size);
            packed.resize(ZSTD_compressBound(chunks[k].size));
            if (in == nullptr) {
                fail_with(describe_errno(file.source));
                return;
            }
            if (fseeko(in.get(), static_cast<off_t>(cut.offsets[k]), SEEK_SET) != 0 ||
                fread(data.data(), 1, data.size(), in.get()) != data.size() ||
                digest_of_bytes(data) != text_of(chunks[k].digest)) {
                fail_with(file.source.string() + ": changed while it was being published");
                return;
            }
            size_t size =
                ZSTD_compress2(cctx.get(), packed.data(), packed.size(), data.data(), data.size());
            fs::path path = plan->release / place;
            file_ptr out(fopen(path.c_str(), "wb"));
            bool written = !ZSTD_isError(size) && out != nullptr &&
                           fwrite(packed.data(), 1, size, out.get()) == size;
            if (!written || fclose(out.release()) != 0) {
                fail_with(ZSTD_isError(size) ? ZSTD_getErrorName(size) : describe_errno(path));
                return;
            }
            ++made;
            made_bytes += size;
        }
    });
    if (!failure.empty()) {
        *error = failure;
        return false;
    }
    char text[160];
    snprintf(text, sizeof text, "%zu chunks, %zu new (%s), %zu shared with kept trees",
             chunks.size(), made.load(), size_text(made_bytes).c_str(), linked.load());
    *note += text;
    return true;
}

// The file's .zs: its chunks' frames in its order.
bool write_zs(const patch_plan& plan, const cut_file& cut, const fs::path& zs, std::string* error) {
    file_ptr out(fopen(zs.c_str(), "wb"));
    if (out == nullptr) {
        *error = describe_errno(zs);
        return false;
    }
    std::string frame;
    for (const chunk_entry& chunk : cut.index.chunks) {
        fs::path path = plan.release / place_of(chunk);
        if (!read_small_file(path, ZSTD_compressBound(chunk.size), &frame, error))
            return false;
        if (fwrite(frame.data(), 1, frame.size(), out.get()) != frame.size()) {
            *error = describe_errno(zs);
            return false;
        }
    }
    if (fclose(out.release()) != 0) {
        *error = zs.string() + ": write error";
        return false;
    }
    return true;
}

// Decompresses the chunks `index` names in the tree `dir`, in order; false, with why in *error,
// unless each is its name's and together they make `file`.
bool chunks_make(const fs::path& dir, const chunk_index& index, const game_file_t& file,
                 std::string* error) {
    SHA1State sha;
    SHA1Reset(&sha);
    std::string packed;
    std::vector<uint8_t> data;
    for (const chunk_entry& chunk : index.chunks) {
        std::string place = place_of(chunk);
        if (!read_small_file(dir / place, ZSTD_compressBound(chunk.size), &packed, error))
            return false;
        data.resize(chunk.size);
        if (const char* problem = chunk_unpack(packed, chunk, data.data())) {
            *error = place + ": " + problem;
            return false;
        }
        SHA1Input(&sha, data.data(), data.size());
    }
    if (index.file_size != file.size || digest_of(&sha) != file.hash) {
        *error = "its chunks do not make the listed content";
        return false;
    }
    return true;
}

} // namespace

bool is_chunked(const patch_plan& plan, const published_file& file) {
    return plan.enabled && file.size > plan.max_size;
}

bool publish_chunks(patch_plan* plan, const published_file& file, const fs::path* zs,
                    std::string* note, std::string* error) {
    // A large file takes every core: one at a time.
    std::lock_guard<std::mutex> hold(plan->large_lock);
    cut_file cut;
    std::error_code ec;
    fs::create_directories(plan->release / chunk_directory, ec);
    if (ec) {
        *error = describe(plan->release / chunk_directory, ec);
        return false;
    }
    if (!cut_into_chunks(*plan, file, &cut, error) || !store(plan, file, cut, note, error) ||
        (zs != nullptr && !write_zs(*plan, cut, *zs, error)))
        return false;
    std::string place = index_place(file.hash);
    return !claim_place(plan, place) ||
           write_file_atomically(plan->release / place, chunk_index_bytes(cut.index), error);
}

bool carry_chunks(patch_plan* plan, const published_file& file, std::string* note,
                  std::string* error) {
    std::string place = index_place(file.hash), bytes, ignored;
    chunk_index index;
    if (plan->chunk_sources.empty() ||
        !read_small_file(plan->chunk_sources.front() / place, chunk_index_limit, &bytes,
                         &ignored) ||
        chunk_index_parse(bytes, &index) != nullptr)
        return publish_chunks(plan, file, nullptr, note, error);
    std::error_code ec;
    fs::create_directories(plan->release / chunk_directory, ec);
    for (const chunk_entry& chunk : index.chunks) {
        std::string chunk_place = place_of(chunk);
        if (claim_place(plan, chunk_place) && !link_from_sources(*plan, chunk_place)) {
            unclaim_place(plan, chunk_place); // made with the others, below
            return publish_chunks(plan, file, nullptr, note, error);
        }
    }
    if (claim_place(plan, place) && !link_from_sources(*plan, place)) {
        *error = (plan->release / place).string() + ": cannot be linked";
        return false;
    }
    *note += std::to_string(index.chunks.size()) + " chunks kept";
    return true;
}

size_t verify_chunks(const fs::path& dir, const game_file_table& list) {
    std::vector<const game_file_t*> indexed;
    std::error_code ec;
    for (const game_file_t& file : list.files)
        if (fs::exists(fs::symlink_status(dir / index_place(file.hash), ec)))
            indexed.push_back(&file);
    std::atomic<size_t> next{0}, done{0}, bad{0};
    run_on_every_core([&] {
        for (size_t i = next++; i < indexed.size(); i = next++) {
            const game_file_t& file = *indexed[i];
            std::string place = index_place(file.hash), bytes, error;
            chunk_index index;
            if (read_small_file(dir / place, chunk_index_limit, &bytes, &error)) {
                if (const char* problem = chunk_index_parse(bytes, &index))
                    error = problem;
                else
                    chunks_make(dir, index, file, &error);
            }
            bad += !error.empty();
            printf("[%zu/%zu] %-4s %s (%zu chunks of %s)%s%s\n", ++done, indexed.size(),
                   error.empty() ? "ok" : "BAD", place.c_str(), index.chunks.size(), file.name,
                   error.empty() ? "" : ": ", error.c_str());
        }
    });
    return bad;
}
