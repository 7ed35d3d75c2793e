// The workers: each takes the next piece of work under `mut` and does it without the lock.
// A fetched file is installed first (so that finished transfers do not pile up on disk); else
// the next queued job is checked: a local copy that is current finishes the job, any other is
// handed to the transfer thread. Workers end when `running` is cleared.
#include <cstdlib>
#include <cstring>

#include "decompression.h"
#include "fileops.h"
#include "launcher.h"
#include "state.h"
#include "utils.h"

namespace {

constexpr uint32_t idle_poll_ms = 100;
constexpr const char* empty_digest = "da39a3ee5e6b4b0d3255bfef95601890afd80709"; // SHA-1 of no bytes

enum class verdict { fetch, current_by_record, current_by_digest };

// Whether the local copy of `e` at `path` holds the listed bytes. A copy that is missing, of
// another size or a link is decided without reading it; one that the record of verified files
// vouches for, too. The entry's stamp is kept for the next record.
verdict judge_local_copy(game_file_t* e, const char* path) {
    if (!e->local_exists || e->local_is_link || e->size != e->local_size)
        return verdict::fetch;
    if (e->size == 0)
        return str_eq(e->hash, empty_digest) ? verdict::current_by_digest : verdict::fetch;
    platform_file_stamp before;
    if (platform_stamp(path, &before) != 0 || !before.regular)
        return verdict::fetch;
    if (state_vouches(previous_state, e->name, e->hash, before)) {
        e->stamp = before;
        e->stamp_known = true;
        return verdict::current_by_record;
    }
    char* digest = compute_file_hash(path);
    bool current = str_eq(digest, e->hash);
    free(digest);
    // Recorded only when the file did not change while it was read.
    platform_file_stamp after;
    if (current && platform_stamp(path, &after) == 0 && same_stamp(before, after)) {
        e->stamp = after;
        e->stamp_known = true;
    }
    return current ? verdict::current_by_digest : verdict::fetch;
}

void check(job_t* job) {
    game_file_t* e = job->entry;
    char* path = target_path(e);
    verdict v = judge_local_copy(e, path);
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
        transfer_submit(job);
    }
    SDL_UnlockMutex(mut);
}

// A fetched file that does not match the list: its bytes go, and the coordinator decides.
void report_mismatch(job_t* job, const char* problem, const char* target, const char* temporary) {
    remove_entry(temporary);
    remove_entry(target);
    SDL_LockMutex(mut);
    if (mismatch_job == nullptr) {
        mismatch_job = job;
        snprintf(mismatch_problem, sizeof mismatch_problem, "%s", problem);
    }
    SDL_CondBroadcast(jobs_changed);
    SDL_UnlockMutex(mut);
}

// Moves the old copy aside, decompresses the temporary into place while hashing what it
// writes, and removes the temporary.
void install(job_t* job) {
    game_file_t* e = job->entry;
    char* target = target_path(e);
    char* temporary = temporary_path(e);
    move_aside(target);
    decompress_result result;
    decompress({temporary, job->header_size, target, e->size, nullptr, 0}, &result);
    char* url = file_url(e);
    printf("%ld | %5u ms | %s\n", job->status, SDL_GetTicks() - job->started, url);
    free(url);
    if (!result.ok) {
        report_mismatch(job, result.problem, target, temporary);
    } else if (!str_eq(result.digest, e->hash)) {
        char problem[sizeof mismatch_problem];
        snprintf(problem, sizeof problem, "File checksum error: %s", e->name);
        report_mismatch(job, problem, target, temporary);
    } else {
        remove_entry(temporary);
        e->stamp_known = platform_stamp(target, &e->stamp) == 0;
        bool background = str_eq(e->name, background_name);
        if (background)
            printf("replacing background image\n");
        SDL_LockMutex(mut);
        background_stale = background_stale || background;
        bytes_installed += e->size;
        ++jobs_installed;
        finish_job(job);
        SDL_UnlockMutex(mut);
    }
    free(target);
    free(temporary);
}

} // namespace

int worker_fn(void* data) {
    auto* w = static_cast<worker_t*>(data);
    printf("worker thread begin %d\n", w->id);
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
        SDL_CondBroadcast(jobs_changed);
    }
    SDL_UnlockMutex(mut);
    printf("worker thread end %d\n", w->id);
    return 0;
}
