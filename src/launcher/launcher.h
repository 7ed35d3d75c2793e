// src/launcher owns the launcher's threads, its window and its entry point; it may include every
// other folder of src/.
//
// launcher: the shared state of the launcher's threads, and the functions each thread runs.
//
// Threads:
//   main thread   start-up, the frame loop (statistics and drawing, with `mut` held), shutdown
//   "main_worker" the coordinator: fetches and reads the file list, scans game/, queues one job
//                 per listed file, waits for the jobs, records what was verified, starts the game
//   "worker" x N  one per core (2 to 16): checks a job's local copy, hands a job whose file is
//                 needed to the transfer thread, installs a fetched file (move aside, decompress,
//                 verify); fetched files are installed before new jobs are checked
//   "transfers"   every transfer at once over a few connections (libcurl's multi interface),
//                 resumed and retried; a finished transfer goes back to the workers
//
// A job's way, each step taken under `mut`: queued -> checking (a worker) -> done when its
// local copy is current, else wanted -> transferring (the transfer thread) -> fetched ->
// installing (a worker) -> done. A round of the update ends when every job is done, when the
// window is closed (`running` cleared), or when an installed file does not match the list: the
// coordinator then stops the round, fetches the list again and starts a new round if it changed.
//
// `mut` is the one lock. It guards every job's step, the queues and counters below, the
// transfers shown in the window, and everything the frame loop reads. Nothing downloads,
// hashes, walks the tree or sleeps while holding it. `jobs_changed` (with `mut`) is broadcast
// when there is new work for a worker (jobs queued, a transfer fetched), when the round is
// complete or stopping, or a file did not match; waits also time out every 100 ms.
#pragma once
#include <SDL.h>
#include <zstd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "format/manifest.h"
#include "format/state.h"
#include "support/utils.h"

constexpr int MAX_WORKERS = 32; // slots of `workers`; start-up uses 2 to 16 of them
constexpr int min_workers = 2;
constexpr int max_started_workers = 16;
// The most transfers in flight at once; the transfer thread starts with fewer and raises its
// limit while the link carries more (next_transfer_limit). 256 small files (1-64 KiB, about
// 14 KB compressed) hold 3.6 MB, more than 200 Mbit/s at 100 ms or 1 Gbit/s at 20 ms carries in
// a round trip (2.5 MB). Past that, more would cost without gain: memory (about 25 KB a
// transfer), the server's work (a request's state and an open file each) and open files here
// (each transfer holds its temporary open; the Windows C library opens at most 512 at once).
constexpr int max_transfers = 256;
constexpr const char* background_name = "launcher.dat";
// The file list decompresses to at most this; an unsigned list's answer may be as long as the
// largest zstd stream of that many bytes (a signed one's: its statement's list-length).
constexpr uint64_t list_limit = 64ULL << 20;
constexpr uint64_t list_answer_limit = ZSTD_COMPRESSBOUND(list_limit);
// The launcher's own files beside its executable.
constexpr const char* ca_bundle_name = "curl-ca-bundle.crt";
constexpr const char* font_name = "RobotoCondensed-BoldItalic.ttf";

// `failed`: the transfer gave up for a reason of the network or the server (update_failure says
// which).
enum class job_step : uint8_t {
    queued,
    checking,
    wanted,
    transferring,
    fetched,
    installing,
    done,
    failed
};

// One job: one listed file (or the file list itself, for the coordinator's own fetch).
struct job_t {
    game_file_t* entry;
    job_step step;        // under `mut`
    bool for_coordinator; // the coordinator's own fetch (the file list): not resumed, not queued
    std::atomic<float> progress; // fraction of the transfer received, 0..1; the transfer thread
    // Written by the transfer thread before the job becomes fetched; read by the installer.
    uint32_t started; // tick of the transfer's first attempt
    long status;      // HTTP status of the transfer that succeeded (200, or 206 when resumed)
    // Written by the worker that checks the job: the local copy's SHA-1, when a patch from it
    // to the listed content is to be asked for first; empty when not. Emptied by whoever holds
    // the job when the patch is given up, so once fetched it says what the temporary holds.
    char patch_base[41];
    // Set by the worker that checks the job when a large local copy could give most of the
    // listed content: the index of the file's chunks is asked for after the patch and before
    // the whole file; cleared, as patch_base is, when it is given up.
    bool ask_chunks;
    // The coordinator's own fetches only, set before the job is submitted. Their body goes into
    // `body`, never into game/ (which this account may not be allowed to change). `as_is`: a
    // file of the server's own (the list's signature), asked for by its name alone (no ".zs",
    // no query); any answer but one worth another attempt, or a body that `body_hook` refused,
    // ends the job. `body_hook` sees the body as it arrives, on the transfer thread (offset 0:
    // the body starts, or starts over); returning false ends the transfer. `give_up_at`: a
    // tick after which a failed attempt is not tried again (0: the whole back-off). `max_body`:
    // the most bytes the body may have (0: list_answer_limit); a longer one is cut there at once,
    // and the job is fetched with `over_cap` set (by the transfer thread) for its caller to judge.
    // `on_any_server`: an `as_is` file that every server may hold (a chunk), asked of the next
    // server when one lacks it.
    std::string* body;
    bool as_is;
    bool on_any_server;
    bool (*body_hook)(job_t* job, uint64_t offset, const char* data, size_t size);
    void* hook_data;
    uint32_t give_up_at;
    uint64_t max_body;
    bool over_cap;
    // The servers asked (null: the update servers), from their preferred one; the transfer
    // thread writes the index of the one that answered before the job becomes fetched.
    struct server_list* servers;
    size_t server;
    // Where the report of a failure goes, for a fetch whose failure is its own (the launcher's
    // own files); null: update_failure. Written by the transfer thread before the job fails.
    std::string* failure;
};

// --- Servers ---------------------------------------------------------------------------------
// One tree's base URLs (ending in '/'): the server and its mirrors, tried in their order from
// `preferred`, the one that answered last (any thread).
struct server_list {
    std::vector<std::string> urls;
    std::vector<std::string> hosts; // "host[:port]" of each, as the player's sentences name it
    std::atomic<size_t> preferred{0};
    std::vector<bool> down; // transfer thread: could not be reached in this run, not asked again
};
// Reads comma-separated base URLs into the empty `list`.
void parse_servers(const char* urls, server_list* list);
// The update servers and their channel, the launcher's own tree (no URL: none) and its channel,
// and "<product>/<version>" for each request: src/launcher/servers.cpp, each executable's own.
extern const char launcher_update_urls[];
extern const char launcher_channel[];
extern const char launcher_own_urls[];
extern const char launcher_own_channel[];
extern const char launcher_user_agent[];
extern server_list& update_servers; // parsed by download_init, as is own_servers
extern server_list& own_servers;

struct worker_t {
    int id;             // slot index; set before the thread starts
    SDL_Thread* thread; // main thread only
};

struct stats_t {
    std::atomic<uint64_t> bytes_this_second; // raised by every transfer, reset once a second
    std::atomic<uint64_t> bytes_total;       // raised by every transfer
    double speed;                            // smoothed bytes per second; frame loop
    uint32_t tick_accumulator;               // ms towards the next once-a-second update; frame loop
    int32_t eta_hours, eta_minutes, eta_seconds; // time left; frame loop
};

// Whether the installed game starts when the update cannot run for a reason of the network or
// the server (VELM_OFFLINE_START), whether every start reads every file instead of trusting the
// record of verified files (VELM_VERIFY_EVERY_START), the window over which a transfer's rate is
// judged, how long an attempt may receive nothing, and what the pauses (before another attempt,
// before the game starts, before the launcher ends) are divided by; a test launcher's are shorter
// (1: the players'): src/launcher/offline_start.cpp, compiled into each launcher executable on its
// own.
extern const bool launcher_offline_start;
extern const bool launcher_verify_every_start;
extern const uint32_t launcher_rate_window_ms;
extern const long launcher_stall_seconds;
extern const uint32_t launcher_pause_divisor;
constexpr uint32_t rate_window_ms = 60000; // the players' launchers' window
// The players' launchers': receiving nothing this long fails an attempt.
constexpr long stall_seconds = 30;

// --- Shared state ----------------------------------------------------------------------------
extern std::atomic<bool> running; // set at start; cleared once, by the frame loop or coordinator
extern SDL_mutex* mut;
extern SDL_cond* jobs_changed; // with `mut`

// The file list of the current round; the coordinator fills it before any job exists, then
// only the local scan writes the local_* fields, also before the jobs are queued, and the
// worker holding a job writes its entry's stamp.
extern game_file_table* game_files;
// The record of verified files as the run found it; the coordinator reads it before any job
// exists, then it is only read.
extern launcher_state& previous_state;

// The jobs of the current round, in the order they are handed out (the background first, then
// the largest files first), and the queues between the threads. All under `mut`.
extern job_t* jobs;
extern int32_t jobs_size;                // jobs in the round
extern int32_t jobs_next;                // index of the next job to check
extern int32_t jobs_done;                // jobs finished in this round
extern std::deque<job_t*>& wanted_jobs;  // checked, waiting for the transfer thread
extern std::deque<job_t*>& fetched_jobs; // transferred, waiting for a worker to install them
extern int32_t busy_workers;             // workers checking or installing a job
extern bool round_stopping; // the coordinator is stopping the round: nothing new is started
extern job_t* mismatch_job; // an installed file that did not match the list, and why
extern char mismatch_problem[512];
// How the jobs of the round were done, for the summary: found current through the record of
// verified files, found current by their digest, installed from a transfer.
extern int32_t jobs_by_record;
extern int32_t jobs_by_digest;
extern int32_t jobs_installed;
extern int32_t jobs_patched;     // of those installed: from a patch against the local copy
extern int32_t jobs_chunked;     // of those installed: from chunks, most of them the local copy's
extern int32_t files_deleted;    // unlisted entries of game/ the scan removed
extern uint64_t bytes_wanted;    // listed sizes of the jobs that needed a transfer
extern uint64_t bytes_installed; // listed sizes of those installed
extern uint64_t bytes_listed;    // listed sizes of all the jobs of the round
extern uint64_t bytes_finished;  // listed sizes of the jobs done in the round
extern uint32_t
    transfers_started_tick; // when the first wanted job went to the transfer thread; 0: none yet
// The first failure of the update for a reason of the network or the server, as the transfer
// thread met it: its report, player's sentence first. Empty while there is none.
extern char update_failure[report_size];
// What the status line says instead of the download's figures (the server being reached, a
// transfer waiting for its next attempt, a file another program holds open, the installed
// version starting); empty: nothing. With `notice_retry_at` not 0, the line ends in the
// seconds left until that tick.
constexpr size_t notice_size = 512;
extern char status_notice[notice_size];
extern uint32_t notice_retry_at;
// The transfers in flight, for the window's bars; the transfer thread keeps them.
extern job_t* active_transfers[max_transfers];
extern int32_t active_transfer_count;

extern worker_t workers[MAX_WORKERS];
extern int32_t workers_count; // written once, before any thread starts
extern SDL_Thread* main_worker_thr;
extern SDL_Thread* transfer_thr;
extern stats_t stats;
extern uint32_t app_start_tick;

// Set by a worker (under `mut`) after it replaced "launcher.dat": the frame loop releases the
// old background and loads the new one.
extern bool background_stale;

// --- Threads ---------------------------------------------------------------------------------
int main_worker_fn(void* data);     // the coordinator
int worker_fn(void* data);          // a worker; `data` is its worker_t slot
int transfer_thread_fn(void* data); // the transfers

// --- Transfers (transfer.cpp) ----------------------------------------------------------------
// Bytes of a fetched job's temporary file that precede the server's bytes (the transfer's header).
constexpr uint64_t transfer_header_size = 256;
constexpr long http_ok = 200;
constexpr long http_partial = 206; // a transfer's status when it was resumed
void download_init();    // curl's global state and the transfer set; before any thread starts
void download_cleanup(); // after every thread has ended
// Hands a wanted job to the transfer thread; with `mut` held.
void transfer_submit(job_t* job);
// Makes the transfer thread drop every transfer (their temporaries stay for a later resume),
// and waits until it has; with `mut` held.
void transfer_stop_all();
// Fetches `job` (the coordinator's own, not queued, its `body` set) and waits for it.
enum class fetch_result { fetched, closed, failed };
fetch_result download(job_t* job);
// The preferred update server's host (and port), as the player's sentences name it.
const char* update_host();
// The base URL of the server that answered `job` (its servers' preferred one before).
const char* job_base_url(const job_t* job);

// Why a transfer failed, as the player is told; whether another attempt may mend it.
enum class failure_cause {
    unreachable,
    no_such_host,
    proxy_unreachable,
    proxy_refused,
    certificate,
    bundle,
    busy,
    missing,
    refused,
    slow
};
failure_cause classify_result(int curl_result, bool through_proxy, long proxy_answer);
failure_cause classify_status(long status);
bool worth_another_attempt(failure_cause cause);
// The player's sentence for `cause`: `name` is the file (the list: null), `proxy` the proxy
// used, `status` the server's answer, `host` the server (null: update_host()).
std::string failure_sentence(failure_cause cause, const char* name, const char* proxy, long status,
                             const char* host = nullptr);
// The pause before attempt `failures` + 1 (`failures` from 1), or the server's Retry-After
// (ms, 0: none) where that is longer, up to a minute; divided by launcher_pause_divisor.
uint32_t retry_delay_ms(int failures, uint32_t retry_after_ms);
// The most bytes the server's answer for a listed file of `listed_size` bytes may have, whole or
// as a patch: the largest zstd stream of that many bytes. The temporary adds its header.
uint64_t answer_cap(uint64_t listed_size);
// The rate below which an attempt is given up (and tried again after the back-off), in bytes
// per second over a window of launcher_rate_window_ms.
constexpr uint64_t rate_floor = 1024;
// Whether an attempt that received `attempt_bytes` over the last `elapsed_ms` (a whole window),
// while every transfer together received `link_bytes`, is given up: both stayed below the floor.
// A slow but steady link shared by many transfers keeps them all; a server that trickles one
// file is given up once nothing faster shares the link.
bool below_rate_floor(uint64_t attempt_bytes, uint64_t link_bytes, uint32_t elapsed_ms);
// The URL and the paths of a listed name, on the server at `server` (null: the preferred update
// server); malloc'd, the caller frees them.
char* file_url(const game_file_t* entry, const char* server = nullptr);
char* patch_url(const game_file_t* entry, const char* base, const char* server = nullptr);
char* chunk_index_url(const game_file_t* entry, const char* server = nullptr);
char* target_path(const game_file_t* entry);
char* temporary_path(const game_file_t* entry);

// --- Chunks (chunk_install.cpp) ---------------------------------------------------------------
// Whether the chunks of `e` may spare its whole transfer: a local copy to cut, and a file at
// least as large as the smallest a publisher cuts.
bool chunks_may_help(const game_file_t* e);
enum class chunk_outcome { installed, failed, abandoned };
// Makes the listed content of `job`'s file in `output` from the index of its chunks (fetched into
// `temporary`), the chunks of the local copy `local_copy` and those it lacks, fetched many at a
// time; verifies it. `failed`: why in `problem`, and the whole file may still be fetched;
// `abandoned`: the round is ending. On a worker, without `mut`; memory stays bounded whatever
// the file's size.
chunk_outcome assemble_from_chunks(job_t* job, const char* temporary, const char* local_copy,
                                   const char* output, char* problem, size_t problem_size);

// How many transfers the transfer thread keeps in flight. It measures rounds of two round trips
// (at least 100 ms): what arrived, and the transfers that ended; the least time a request waited
// for its answer is the round trip.
struct transfer_round {
    uint64_t bytes;       // received in the round
    uint32_t ms;          // the round's length
    uint32_t ended;       // transfers that ended in it
    uint64_t ended_bytes; // their bodies
};
// The limit after `round`: twice the files the link carried in a round trip of `rtt_us` at the
// round's throughput, so that the link stays full while the next half is being asked for.
// While the limit holds the link back, each round about doubles it; once the link is full, it
// stays. Large files keep the link full on their own: their limit does not grow. Never below
// `limit`, never above max_transfers.
size_t next_transfer_limit(size_t limit, const transfer_round& round, uint64_t rtt_us);

// --- Steps -----------------------------------------------------------------------------------
// Marks `job` done (with `mut` held) and wakes whoever waits for it.
void finish_job(job_t* job);
// Keeps `report` as update_failure unless one is kept already, and wakes the coordinator;
// taking `mut`.
void note_update_failure(const char* report);
// The same for `job`'s failure: into its own report when it has one.
void note_job_failure(job_t* job, const char* report);
// Keeps `job` as the round's file that did not match the list (mismatch_job, with `problem`)
// unless one is kept already, and wakes the coordinator; taking `mut`.
void note_mismatch(job_t* job, const char* problem);
// Sets the status line's notice (see status_notice; an empty text clears it), taking `mut`.
void show_notice(uint32_t retry_at, const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));

// The order in which the jobs of `files` are handed out, as indexes into `files`: the
// background first, so that the window shows it early, then the largest files first, so that
// no large file starts last; the list's order among equals. The transfer thread starts the
// wanted jobs in this order too.
std::vector<size_t> job_order(const std::vector<game_file_t>& files);

// Collects one entry the walk of game/ met, for the match with the list.
struct cf_file_info;
void on_file_scan(cf_file_info* file, void* udata);

// Prints the run's summary line, once, at its end: "summary: " then key=value fields separated
// by spaces, for programs that read the output (the tests and benchmarks), never for players.
// `result`: ok, offline (the installed version starts without the update), closed or failed
// (before a fatal report). Any thread.
void print_summary(const char* result);

// Starts the game in game/ without waiting for it; a failure is shown in a box.
void execute_process();

// The worker count for a CPU count: 2 to 16.
int worker_count_for(int cpus);
