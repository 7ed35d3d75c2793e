// launcher: the shared state of the launcher's threads, and the functions each thread runs.
//
// Threads:
//   main thread   start-up, the frame loop (statistics and drawing, with `mut` held), shutdown
//   "main_worker" the coordinator: fetches and reads the file list, scans game/, queues one job
//                 per listed file, waits for the jobs, starts the game
//   "worker" x N  2 to 16 download workers: take the next job, skip it, or fetch and verify it
//
// `mut` is the one lock. It guards the job queue, the hand-over of a job into a worker's slot,
// each worker's `job.entry`, the background image, and everything the frame loop reads. Nothing
// downloads, hashes, walks the tree or sleeps while holding it.
#pragma once
#include <SDL.h>
#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "manifest.h"

constexpr int MAX_WORKERS = 32; // slots of `workers`; start-up uses 2 to 16 of them
constexpr int min_workers = 2;
constexpr int max_started_workers = 16;

// One download job: the context of `download` and of its transfer callbacks.
struct job_t {
    FILE* file; // the temporary file the transfer writes into; only during a transfer
    game_file_t* entry; // null: an empty job (an idle worker)
    std::atomic<float> progress; // fraction of the current transfer, 0..1; its worker writes it
};

struct worker_t {
    int id; // slot index; set before the thread starts
    SDL_Thread* thread; // main thread only
    job_t job; // the job being handled; `entry` written under `mut`
};

struct stats_t {
    std::atomic<uint32_t> bytes_this_second; // raised by every transfer, reset once a second
    std::atomic<uint32_t> bytes_total; // raised by every transfer; wraps at 2^32
    double speed; // smoothed bytes per second; frame loop
    uint32_t tick_accumulator; // ms towards the next once-a-second update; frame loop
    int32_t eta_hours, eta_minutes, eta_seconds; // time left; frame loop
};

// --- Shared state ----------------------------------------------------------------------------
extern std::atomic<bool> running; // set at start; cleared once, by the frame loop or coordinator
extern SDL_mutex* mut;
extern CURLSH* share; // DNS and TLS session data; its lock callbacks take `mut`

// The file list; the coordinator fills it before any job exists, then only the local scan
// writes local_size / local_exists, also before the jobs are queued.
extern game_file_table& game_files;

// The job queue, guarded by `mut`. Jobs are queued once, in list order, and handed out in that
// order, so the first queued job is always at `jobs_next`: taking one costs O(1).
extern std::vector<game_file_t*>& jobs; // queued entries; null once taken
extern int32_t jobs_size; // jobs queued in all
extern int32_t jobs_next; // index of the next job to hand out
extern int32_t jobs_in_queue; // jobs not finished (queued or held), as of the coordinator's last poll
extern SDL_cond* jobs_queued; // with `mut`: broadcast when the jobs are queued, to wake idle workers

extern worker_t workers[MAX_WORKERS];
extern int32_t workers_count; // written once, before any thread starts
extern SDL_Thread* main_worker_thr;
extern stats_t stats;
extern uint32_t app_start_tick;

// Set by a worker (under `mut`) after it replaced "launcher.dat": the frame loop releases the
// old background and loads the new one.
extern bool background_stale;

// --- Threads ---------------------------------------------------------------------------------
int main_worker_fn(void* data); // the coordinator
int worker_fn(void* data); // a download worker; `data` is its worker_t slot

// --- Steps -----------------------------------------------------------------------------------
// Brings "game/<name>" from the server: fetch "<name>.zs" with up to 4 attempts, move the old
// copy aside as ".upd_old", decompress into place (at most `limit` bytes), remove the ".zs".
// False when the transfer was abandoned because `running` was cleared; every other failure
// ends the process.
bool download(job_t* job, uint64_t limit);
void download_init(); // curl's global state and `share`; before any thread starts
void download_cleanup(); // after every thread has ended
void download_thread_end(); // releases the calling thread's transfer handle

// Matches one scanned file against the list: records its size, or deletes it when unlisted.
struct cf_file_info;
void on_file_scan(cf_file_info* file, void* udata);

// Starts the game in game/ without waiting for it; a failure is shown in a box.
void execute_process();

// The worker count for a CPU count: 2 to 16.
int worker_count_for(int cpus);
