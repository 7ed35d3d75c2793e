// The launcher's shared state. Which thread writes what, and under which lock: launcher.h.
#include "launcher.h"

std::atomic<bool> running{true};
SDL_mutex* mut = nullptr;
CURLSH* share = nullptr;

// Never destroyed: a fatal report calls exit() while other threads may still read these.
game_file_table& game_files = *new game_file_table;

std::vector<game_file_t*>& jobs = *new std::vector<game_file_t*>;
int32_t jobs_size = 0;
int32_t jobs_next = 0;
int32_t jobs_in_queue = 0;
SDL_cond* jobs_queued = nullptr;

worker_t workers[MAX_WORKERS];
int32_t workers_count = 0;
SDL_Thread* main_worker_thr = nullptr;
stats_t stats;
uint32_t app_start_tick = 0;

bool background_stale = false;

int worker_count_for(int cpus) {
    if (cpus < min_workers)
        return min_workers;
    if (cpus > max_started_workers)
        return max_started_workers;
    return cpus;
}
