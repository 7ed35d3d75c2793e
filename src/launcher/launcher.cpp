// The launcher's shared state. Which thread writes what, and under which lock: launcher.h.
#include "launcher/launcher.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "support/utils.h"

std::atomic<bool> running{true};
SDL_mutex* mut = nullptr;
SDL_cond* jobs_changed = nullptr;

// Tables and queues are never destroyed: a thread may still read them while the process ends.
game_file_table* game_files = nullptr;
launcher_state& previous_state = *new launcher_state;

job_t* jobs = nullptr;
int32_t jobs_size = 0;
int32_t jobs_next = 0;
int32_t jobs_done = 0;
std::deque<job_t*>& wanted_jobs = *new std::deque<job_t*>;
std::deque<job_t*>& fetched_jobs = *new std::deque<job_t*>;
int32_t busy_workers = 0;
bool round_stopping = false;
job_t* mismatch_job = nullptr;
char mismatch_problem[512];
int32_t jobs_by_record = 0;
int32_t jobs_by_digest = 0;
int32_t jobs_installed = 0;
int32_t jobs_patched = 0;
int32_t jobs_chunked = 0;
int32_t files_deleted = 0;
uint64_t bytes_wanted = 0;
uint64_t bytes_installed = 0;
uint64_t bytes_listed = 0;
uint64_t bytes_finished = 0;
uint32_t transfers_started_tick = 0;
char update_failure[report_size];
char status_notice[notice_size];
uint32_t notice_retry_at = 0;
job_t* active_transfers[max_transfers];
int32_t active_transfer_count = 0;

worker_t workers[MAX_WORKERS];
int32_t workers_count = 0;
SDL_Thread* main_worker_thr = nullptr;
SDL_Thread* transfer_thr = nullptr;
stats_t stats;
uint32_t app_start_tick = 0;

bool background_stale = false;

void finish_job(job_t* job) {
    job->step = job_step::done;
    ++jobs_done;
    bytes_finished += job->entry->size;
    // Only the coordinator waits for finished jobs, and only for the last one.
    if (jobs_done == jobs_size)
        SDL_CondBroadcast(jobs_changed);
}

void note_update_failure(const char* report) {
    SDL_LockMutex(mut);
    if (update_failure[0] == '\0')
        snprintf(update_failure, sizeof update_failure, "%s", report);
    SDL_CondBroadcast(jobs_changed);
    SDL_UnlockMutex(mut);
}

void note_job_failure(job_t* job, const char* report) {
    if (job->failure == nullptr) {
        note_update_failure(report);
        return;
    }
    SDL_LockMutex(mut);
    *job->failure = report;
    SDL_UnlockMutex(mut);
}

void note_mismatch(job_t* job, const char* problem) {
    SDL_LockMutex(mut);
    if (mismatch_job == nullptr) {
        mismatch_job = job;
        snprintf(mismatch_problem, sizeof mismatch_problem, "%s", problem);
    }
    SDL_CondBroadcast(jobs_changed);
    SDL_UnlockMutex(mut);
}

void show_notice(uint32_t retry_at, const char* fmt, ...) {
    char text[notice_size];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    SDL_LockMutex(mut);
    memcpy(status_notice, text, sizeof text);
    notice_retry_at = retry_at;
    SDL_UnlockMutex(mut);
}

std::vector<size_t> job_order(const std::vector<game_file_t>& files) {
    std::vector<size_t> order(files.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        bool background_a = str_eq(files[a].name, background_name);
        bool background_b = str_eq(files[b].name, background_name);
        if (background_a != background_b)
            return background_a;
        return files[a].size > files[b].size;
    });
    return order;
}

int worker_count_for(int cpus) {
    if (cpus < min_workers)
        return min_workers;
    if (cpus > max_started_workers)
        return max_started_workers;
    return cpus;
}
