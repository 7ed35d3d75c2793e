// The chunks of a large file: a worker holding the index of the listed content's chunks (the
// transfer thread fetched it into the job's temporary) cuts the local copy the same way, reading
// it once, and writes the new content into "<name>.upd_old" in the index's order: each chunk the
// local copy holds is copied from it, each other one is fetched (once, however often it comes
// back) through the transfer thread, at most `fetch_window` chunks and `fetch_window_bytes` in
// flight ahead of the writing. The worker verifies what it wrote against the list; the caller
// renames it into place, or fetches the whole file when anything went wrong.
//
// Each fetch is a job of the coordinator's kind (into memory, not resumed, not installed by a
// worker), asked for as ".chunks/<SHA-1>.zst" below the base URL of the server that answered
// last, and of the next server when one lacks it; its answer is capped at what a frame of the
// chunk can be. Whatever ends the assembly, none of them is freed while the transfer thread may
// still touch it.
#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include <zstd.h>

#include "format/chunks.h"
#include "format/signature.h"
#include "launcher/launcher.h"
#include "platform/platform.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

constexpr uint64_t least_chunked_size = 1 << 20; // the smallest file the launcher asks chunks for
constexpr size_t fetch_window = 16;
constexpr uint64_t fetch_window_bytes = 32 << 20; // of chunks in flight, besides the one awaited
constexpr uint32_t wait_poll_ms = 100;
constexpr size_t answer_slack = 64; // a chunk's answer past its compressed bound is no chunk

// Where a chunk's bytes can be read: the local copy, or the output once written there.
struct chunk_source {
    bool in_output;
    uint64_t offset;
};

// One chunk the local copy lacks, and its transfer.
struct chunk_fetch {
    const chunk_entry* chunk;
    char name[chunk_name_size];
    game_file_t entry;
    std::string body;
    job_t job;
};

std::string key_of(const uint8_t* digest) {
    return std::string(reinterpret_cast<const char*>(digest), chunk_digest_size);
}

bool refuse(char* problem, size_t size, const char* fmt, const char* detail) {
    snprintf(problem, size, fmt, detail);
    return false;
}

chunk_outcome fail(char* problem, size_t size, const char* fmt, const char* detail) {
    refuse(problem, size, fmt, detail);
    return chunk_outcome::failed;
}

// The index in the fetched temporary, checked against the listed file.
bool read_index(const char* temporary, const game_file_t* e, chunk_index* index, char* problem,
                size_t size) {
    FILE* f = nullptr;
    platform_file_stamp stamp;
    if (platform_stamp(temporary, &stamp) != 0 || open_file_patiently(temporary, "rb", &f) != 0)
        return refuse(problem, size, "%s cannot be read", temporary);
    std::string bytes(std::min<uint64_t>(stamp.size, transfer_header_size + chunk_index_limit + 1),
                      '\0');
    size_t got = fread(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    if (got <= transfer_header_size)
        return refuse(problem, size, "%s holds no index", temporary);
    bytes.resize(got);
    if (const char* why =
            chunk_index_parse(std::string_view(bytes).substr(transfer_header_size), index))
        return refuse(problem, size, "its index: %s", why);
    uint8_t listed[chunk_digest_size];
    if (index->file_size != e->size || !parse_hex(e->hash, listed, chunk_digest_size) ||
        memcmp(listed, index->file_digest, chunk_digest_size) != 0)
        return refuse(problem, size, "its index is for another content than %s", e->name);
    return true;
}

// Reads the local copy once, cutting it as the index does: where each of its chunks starts.
bool cut_local_copy(const char* path, const chunk_params& params,
                    std::unordered_map<std::string, chunk_source>* found, char* problem,
                    size_t size) {
    FILE* f = nullptr;
    if (open_file_patiently(path, "rb", &f) != 0)
        return refuse(problem, size, "%s cannot be read", path);
    bool read = chunk_stream(
        f, params,
        [&](const chunk_found& chunk) {
            found->emplace(key_of(chunk.digest), chunk_source{false, chunk.offset});
        },
        nullptr, &running);
    bool failed = ferror(f) != 0;
    fclose(f);
    return read || !failed || refuse(problem, size, "%s cannot be read", path);
}

// The assembly of one file: what it reads and writes, and the chunks in flight.
struct assembly {
    const chunk_index* index;
    std::unordered_map<std::string, chunk_source> sources;
    std::vector<std::unique_ptr<chunk_fetch>> fetches; // in the order they are first needed
    size_t next_submit = 0, next_taken = 0;
    uint64_t bytes_in_flight = 0;
    FILE* local = nullptr;
    FILE* out = nullptr;
    FILE* written = nullptr; // the output, read back for a fetched chunk that comes again
    std::unique_ptr<uint8_t[]> data;

    ~assembly() {
        for (FILE* f : {local, out, written})
            if (f != nullptr)
                fclose(f);
    }
};

// Hands the transfer thread the next fetches, while the window has room; with `mut` held.
void submit_due(assembly* a) {
    while (a->next_submit < a->fetches.size() && a->next_submit - a->next_taken < fetch_window &&
           (a->bytes_in_flight < fetch_window_bytes || a->next_submit == a->next_taken)) {
        chunk_fetch* fetch = a->fetches[a->next_submit++].get();
        a->bytes_in_flight += fetch->chunk->size;
        fetch->job.for_coordinator = true;
        transfer_submit(&fetch->job);
    }
}

// Whether `fetch` may still arrive in this round (with `mut` held).
bool still_due(const chunk_fetch& fetch) {
    return fetch.job.step != job_step::fetched && fetch.job.step != job_step::failed &&
           running.load() && !round_stopping && update_failure[0] == '\0';
}

// Waits for the next fetch; false when the round ends first (the update failed, the window
// closed, the coordinator stops it).
bool await(assembly* a, chunk_fetch* fetch) {
    SDL_LockMutex(mut);
    submit_due(a);
    while (still_due(*fetch))
        SDL_CondWaitTimeout(jobs_changed, mut, wait_poll_ms);
    bool arrived = fetch->job.step == job_step::fetched;
    SDL_UnlockMutex(mut);
    return arrived;
}

// Lets go of the fetches: none may be freed while the transfer thread can still reach it. A
// round that ends drops every transfer anyway; otherwise those in flight are waited for. When
// the launcher is closing, they stay allocated.
void release_fetches(assembly* a) {
    SDL_LockMutex(mut);
    for (size_t i = a->next_taken; i < a->next_submit && running.load(); ++i)
        while (still_due(*a->fetches[i]))
            SDL_CondWaitTimeout(jobs_changed, mut, wait_poll_ms);
    if (running.load() && (round_stopping || update_failure[0] != '\0'))
        transfer_stop_all();
    bool safe = running.load();
    SDL_UnlockMutex(mut);
    if (!safe)
        for (auto& fetch : a->fetches)
            (void)fetch.release(); // the process is ending: never freed
}

// Copies `size` bytes at `offset` of `from` to the output.
bool copy_chunk(assembly* a, FILE* from, uint64_t offset, uint32_t size) {
    return platform_seek(from, offset) == 0 && fread(a->data.get(), 1, size, from) == size &&
           fwrite(a->data.get(), 1, size, a->out) == size;
}

chunk_outcome assemble(assembly* a, const char* local_copy, const char* output, SHA1State* sha,
                       char* problem, size_t size) {
    const chunk_index& index = *a->index;
    if (open_file_patiently(local_copy, "rb", &a->local) != 0)
        return fail(problem, size, "%s cannot be read", local_copy);
    if (int error = open_file_patiently(output, "wb", &a->out); error != 0)
        FAIL_FILE_CODE("create", output, error);
    a->data.reset(new uint8_t[index.params.max_size]);
    // The first fetches go out while the local copy's chunks are copied.
    SDL_LockMutex(mut);
    submit_due(a);
    SDL_UnlockMutex(mut);
    uint64_t written = 0;
    for (const chunk_entry& chunk : index.chunks) {
        auto known = a->sources.find(key_of(chunk.digest));
        if (known != a->sources.end()) {
            FILE* from = a->local;
            if (known->second.in_output) {
                if (fflush(a->out) != 0)
                    FAIL_FILE_ERRNO("write", output);
                if (a->written == nullptr && open_file_patiently(output, "rb", &a->written) != 0)
                    FAIL_FILE_ERRNO("read", output);
                from = a->written;
            }
            if (!copy_chunk(a, from, known->second.offset, chunk.size)) {
                if (ferror(a->out))
                    FAIL_FILE_ERRNO("write", output);
                return fail(problem, size, "%s cannot be read",
                            known->second.in_output ? output : local_copy);
            }
        } else {
            // The next chunk the local copy lacks: fetches are in the order the chunks are needed.
            chunk_fetch* fetch = a->fetches[a->next_taken].get();
            if (!await(a, fetch))
                return chunk_outcome::abandoned;
            SDL_LockMutex(mut);
            ++a->next_taken;
            a->bytes_in_flight -= chunk.size;
            submit_due(a);
            SDL_UnlockMutex(mut);
            if (fetch->job.over_cap)
                return fail(problem, size, "%s is longer than its chunk compresses to",
                            fetch->name);
            if (fetch->job.status != http_ok)
                return fail(problem, size, "the server lacks %s", fetch->name);
            if (const char* why = chunk_unpack(fetch->body, chunk, a->data.get()))
                return fail(problem, size, "%s", (std::string(fetch->name) + ": " + why).c_str());
            // Freed: assigning an empty string would keep its buffer.
            std::string().swap(fetch->body);
            if (fwrite(a->data.get(), 1, chunk.size, a->out) != chunk.size)
                FAIL_FILE_ERRNO("write", output);
            a->sources.emplace(key_of(chunk.digest), chunk_source{true, written});
        }
        SHA1Input(sha, a->data.get(), chunk.size);
        written += chunk.size;
    }
    FILE* out = a->out;
    a->out = nullptr;
    if (fclose(out) != 0)
        FAIL_FILE_ERRNO("write", output);
    return chunk_outcome::installed;
}

} // namespace

bool chunks_may_help(const game_file_t* e) {
    return e->local_exists && !e->local_is_link && e->local_size > 0 &&
           e->size >= least_chunked_size;
}

chunk_outcome assemble_from_chunks(job_t* job, const char* temporary, const char* local_copy,
                                   const char* output, char* problem, size_t problem_size) {
    game_file_t* e = job->entry;
    chunk_index index;
    assembly a;
    a.index = &index;
    if (!read_index(temporary, e, &index, problem, problem_size) ||
        !cut_local_copy(local_copy, index.params, &a.sources, problem, problem_size))
        return chunk_outcome::failed;
    if (!running.load())
        return chunk_outcome::abandoned;
    // What the local copy lacks, each once, in the order the file needs it.
    uint64_t fetched_bytes = 0;
    std::unordered_set<std::string> wanted;
    for (const chunk_entry& chunk : index.chunks) {
        std::string key = key_of(chunk.digest);
        if (a.sources.contains(key) || !wanted.insert(key).second)
            continue;
        auto fetch = std::make_unique<chunk_fetch>();
        fetch->chunk = &chunk;
        char digest[41];
        chunk_digest_text(chunk.digest, digest);
        chunk_name(digest, fetch->name);
        fetch->entry.name = fetch->name;
        fetch->entry.size = chunk.size;
        fetch->job.entry = &fetch->entry;
        fetch->job.body = &fetch->body;
        fetch->job.as_is = true;
        fetch->job.on_any_server = true;
        fetch->job.max_body = ZSTD_compressBound(chunk.size) + answer_slack;
        fetched_bytes += chunk.size;
        a.fetches.push_back(std::move(fetch));
    }
    log_printf("%s: %zu of %zu chunks to fetch (%" PRIu64 " of %" PRIu64
               " bytes), the rest from the local copy\n",
               e->name, a.fetches.size(), index.chunks.size(), fetched_bytes, e->size);
    SHA1State sha;
    SHA1Reset(&sha);
    chunk_outcome outcome = assemble(&a, local_copy, output, &sha, problem, problem_size);
    release_fetches(&a);
    if (outcome != chunk_outcome::installed)
        return outcome;
    char digest[hash_text_size];
    CHECK(SHA1Result(&sha) == 1);
    sha1_digest_text(&sha, digest);
    if (!str_eq(digest, e->hash))
        return fail(problem, problem_size, "File checksum error: %s", e->name);
    return chunk_outcome::installed;
}
