// The download workers: each takes the next job from the queue into its own slot, decides
// whether the listed file must be fetched (missing, other size, or other digest), fetches and
// verifies it, and empties its slot, until `running` is cleared.
#include <cstdlib>

#include "launcher.h"
#include "utils.h"

namespace {

constexpr uint32_t idle_poll_ms = 100;
constexpr const char* background_name = "launcher.dat";
constexpr const char* empty_digest = "da39a3ee5e6b4b0d3255bfef95601890afd80709"; // SHA-1 of no bytes

// Moves the next queued job into the worker's slot. When none is queued, waits up to one idle
// poll (the coordinator wakes the workers when it queues the jobs) and returns false.
bool take_job(worker_t* w) {
    SDL_LockMutex(mut);
    if (jobs_next >= jobs_size)
        SDL_CondWaitTimeout(jobs_queued, mut, idle_poll_ms);
    bool found = jobs_next < jobs_size;
    if (found) {
        w->job.progress.store(0.0f, std::memory_order_relaxed);
        w->job.entry = jobs[jobs_next];
        jobs[jobs_next] = nullptr;
        ++jobs_next;
    }
    SDL_UnlockMutex(mut);
    return found;
}

void finish_job(worker_t* w) {
    SDL_LockMutex(mut);
    w->job.entry = nullptr;
    SDL_UnlockMutex(mut);
}

bool local_copy_is_current(const game_file_t* e, const char* path) {
    // A missing copy or another size is decided without reading the file.
    if (!e->local_exists || e->size != e->local_size)
        return false;
    // An empty file needs no reading either: its digest is that of no input.
    if (e->size == 0)
        return str_eq(e->hash, empty_digest);
    char* digest = compute_file_hash(path);
    bool current = str_eq(digest, e->hash);
    free(digest);
    return current;
}

void handle_job(worker_t* w) {
    game_file_t* e = w->job.entry;
    char* path = str_concat("game/", e->name);
    if (!local_copy_is_current(e, path) && download(&w->job, e->size)) {
        char* digest = compute_file_hash(path);
        if (!str_eq(digest, e->hash))
            PANIC("File checksum error: %s", e->name);
        free(digest);
        if (str_eq(e->name, background_name)) {
            printf("replacing background image\n");
            SDL_LockMutex(mut);
            background_stale = true;
            SDL_UnlockMutex(mut);
        }
    }
    free(path);
}

} // namespace

int worker_fn(void* data) {
    auto* w = static_cast<worker_t*>(data);
    printf("worker thread begin %d\n", w->id);
    while (running.load()) {
        if (!take_job(w))
            continue;
        handle_job(w);
        finish_job(w);
    }
    download_thread_end();
    printf("worker thread end %d\n", w->id);
    return 0;
}
