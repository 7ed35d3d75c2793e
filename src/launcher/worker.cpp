// The workers: each takes the next piece of work under `mut` and does it without the lock.
// A fetched file is installed first (so that finished transfers do not pile up on disk); else
// the next queued job is checked: a local copy that is current finishes the job, any other is
// handed to the transfer thread. Workers end when `running` is cleared.
#include <cstdlib>
#include <cstring>
#include <string>

#include "format/names.h"
#include "format/state.h"
#include "launcher/launcher.h"
#include "platform/platform.h"
#include "support/decompression.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

constexpr uint32_t idle_poll_ms = 100;
// SHA-1 of no bytes
constexpr const char* empty_digest = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
// A local copy of another size than listed is hashed to serve as a patch's base only up to this
// size (the publisher makes no patches past 1 GiB by default).
constexpr uint64_t max_patch_base = 4ULL << 30;

enum class verdict { fetch, current_by_record, current_by_digest };

// Whether the local copy of `e` at `path` holds the listed bytes. A copy that is missing, of
// another size or a link is decided without reading it; one that the record of verified files
// vouches for, too. The entry's stamp is kept for the next record. When the file must be
// fetched and the local copy can be the base of a patch, its SHA-1 goes into `base`.
verdict judge_local_copy(game_file_t* e, const char* path, char base[hash_text_size]) {
    base[0] = '\0';
    platform_file_stamp before;
    if (!e->local_exists || e->local_is_link || platform_stamp(path, &before) != 0 ||
        !before.regular)
        return verdict::fetch;
    bool same_size = e->size == before.size;
    if (same_size && e->size == 0 && str_eq(e->hash, empty_digest)) {
        e->stamp = before;
        e->stamp_known = true;
        return verdict::current_by_digest;
    }
    if (same_size && e->size == 0)
        return verdict::fetch;
    // A build that reads every file at every start never takes the record's word for one.
    if (const char* known = launcher_verify_every_start
                                ? nullptr
                                : state_known_digest(previous_state, e->name, before)) {
        if (str_eq(known, e->hash)) {
            e->stamp = before;
            e->stamp_known = true;
            return verdict::current_by_record;
        }
        snprintf(base, hash_text_size, "%s", known);
        return verdict::fetch;
    }
    // A copy of another size is read only to be a patch's base, and only when that is cheap
    // next to fetching the file.
    if (!same_size && (e->size == 0 || before.size > max_patch_base))
        return verdict::fetch;
    char* digest = compute_file_hash(path);
    bool current = same_size && str_eq(digest, e->hash);
    // Recorded only when the file did not change while it was read.
    platform_file_stamp after;
    if (current && platform_stamp(path, &after) == 0 && same_stamp(before, after)) {
        e->stamp = after;
        e->stamp_known = true;
    }
    if (!current)
        snprintf(base, hash_text_size, "%s", digest);
    free(digest);
    return current ? verdict::current_by_digest : verdict::fetch;
}

void check(job_t* job) {
    game_file_t* e = job->entry;
    char* path = target_path(e);
    verdict v = judge_local_copy(e, path, job->patch_base);
    if (v != verdict::fetch && e->partial_exists) {
        char* temporary = temporary_path(e);
        remove_entry(temporary);
        free(temporary);
    }
    free(path);
    SDL_LockMutex(mut);
    if (v != verdict::fetch) {
        ++(v == verdict::current_by_record ? jobs_by_record : jobs_by_digest);
        finish_job(job);
    } else {
        bytes_wanted += e->size;
        if (transfers_started_tick == 0)
            transfers_started_tick = SDL_GetTicks();
        job->ask_chunks = chunks_may_help(e);
        transfer_submit(job);
    }
    SDL_UnlockMutex(mut);
}

// A fetched file that does not match the list: its bytes go (the listed name keeps what it held),
// and the coordinator decides.
void report_mismatch(job_t* job, const char* problem, const char* temporary, const char* output) {
    remove_entry(temporary);
    remove_entry(output);
    note_mismatch(job, problem);
}

// A patch, chunks, or a resumed download that do not give the listed file (the server replaced
// the file under the same validator): the whole file is asked for instead, once; the local copy
// is still in place.
void fall_back_to_whole_file(job_t* job, const char* temporary, const char* output) {
    remove_entry(temporary);
    remove_entry(output);
    job->patch_base[0] = '\0';
    job->ask_chunks = false;
    SDL_LockMutex(mut);
    transfer_submit(job);
    SDL_UnlockMutex(mut);
}

// The file verified in "<name>.upd_old" takes the listed name.
void finish_install(job_t* job, const char* output, const char* target, const char* temporary) {
    game_file_t* e = job->entry;
    replace_entry(output, target);
    remove_entry(temporary);
    e->stamp_known = platform_stamp(target, &e->stamp) == 0;
    bool background = str_eq(e->name, background_name);
    if (background)
        log_printf("replacing background image\n");
    SDL_LockMutex(mut);
    background_stale = background_stale || background;
    bytes_installed += e->size;
    ++jobs_installed;
    // What the temporary held, as install() judged it: a patch, else the index of the chunks.
    bool patched = job->patch_base[0] != '\0';
    jobs_patched += patched ? 1 : 0;
    jobs_chunked += !patched && job->ask_chunks ? 1 : 0;
    finish_job(job);
    SDL_UnlockMutex(mut);
}

// Assembles the file from its chunks (the temporary holds their index) into "<name>.upd_old".
void install_chunks(job_t* job, const char* target, const char* temporary, const char* output) {
    char problem[sizeof mismatch_problem];
    chunk_outcome outcome =
        assemble_from_chunks(job, temporary, target, output, problem, sizeof problem);
    char* url = chunk_index_url(job->entry);
    log_printf("%ld | %5u ms | %s\n", job->status, SDL_GetTicks() - job->started, url);
    free(url);
    if (outcome == chunk_outcome::installed) {
        finish_install(job, output, target, temporary);
    } else if (outcome == chunk_outcome::failed) {
        log_printf("the chunks for %s did not apply (%s); fetching it whole\n", job->entry->name,
                   problem);
        fall_back_to_whole_file(job, temporary, output);
    } else {
        remove_entry(output); // the round ends; the index stays for the next one
    }
}

// Decompresses the temporary (a patch against the local copy, mapped) into "<name>.upd_old"
// while hashing what it writes, and only a complete file that matches the list takes the
// listed name, in one step: whatever stops the launcher meanwhile, the listed name holds the
// old content or the new one, never a part, and the old content stays the base a patch needs.
// A temporary holding the index of the file's chunks is assembled instead.
void install(job_t* job) {
    game_file_t* e = job->entry;
    char* target = target_path(e);
    char* temporary = temporary_path(e);
    std::string output = std::string(target) + set_aside_suffix;
    bool is_patch = job->patch_base[0] != '\0';
    remove_tree(output.c_str());
    if (!is_patch && job->ask_chunks) {
        install_chunks(job, target, temporary, output.c_str());
        free(target);
        free(temporary);
        return;
    }
    platform_mapping base;
    bool base_mapped = is_patch && map_file_patiently(target, &base) == 0;
    decompress_result result;
    decompress({temporary, transfer_header_size, output.c_str(), e->size, base.data,
                static_cast<size_t>(base.size)},
               &result);
    if (base_mapped)
        platform_unmap(&base, base.size);
    char* url = is_patch ? patch_url(e, job->patch_base) : file_url(e);
    log_printf("%ld | %5u ms | %s\n", job->status, SDL_GetTicks() - job->started, url);
    free(url);
    char problem[sizeof mismatch_problem];
    if (!result.ok)
        snprintf(problem, sizeof problem, "%s", result.problem);
    else if (!str_eq(result.digest, e->hash))
        snprintf(problem, sizeof problem, "File checksum error: %s", e->name);
    else
        problem[0] = '\0';
    if (problem[0] != '\0' && is_patch) {
        log_printf("the patch for %s did not apply (%s); fetching it whole\n", e->name,
                   base_mapped ? problem : "its base cannot be read");
        fall_back_to_whole_file(job, temporary, output.c_str());
    } else if (problem[0] != '\0' && job->status == http_partial) {
        log_printf("the resumed download of %s does not match the list (%s); fetching it whole\n",
                   e->name, problem);
        fall_back_to_whole_file(job, temporary, output.c_str());
    } else if (problem[0] != '\0') {
        report_mismatch(job, problem, temporary, output.c_str());
    } else {
        finish_install(job, output.c_str(), target, temporary);
    }
    free(target);
    free(temporary);
}

} // namespace

int worker_fn(void* data) {
    auto* w = static_cast<worker_t*>(data);
    log_printf("worker thread begin %d\n", w->id);
    SDL_LockMutex(mut);
    while (running.load()) {
        job_t* job = nullptr;
        void (*work)(job_t*) = nullptr;
        if (!round_stopping && !fetched_jobs.empty()) {
            job = fetched_jobs.front();
            fetched_jobs.pop_front();
            job->step = job_step::installing;
            work = install;
        } else if (!round_stopping && jobs_next < jobs_size) {
            job = &jobs[jobs_next++];
            job->step = job_step::checking;
            work = check;
        } else {
            SDL_CondWaitTimeout(jobs_changed, mut, idle_poll_ms);
            continue;
        }
        ++busy_workers;
        SDL_UnlockMutex(mut);
        work(job);
        SDL_LockMutex(mut);
        --busy_workers;
        // A coordinator stopping the round waits for the last busy worker.
        if (round_stopping && busy_workers == 0)
            SDL_CondBroadcast(jobs_changed);
    }
    SDL_UnlockMutex(mut);
    log_printf("worker thread end %d\n", w->id);
    return 0;
}
