// The coordinator ("main_worker"): carries the update from the file list to the game's start.
//
// One round: fetch and read the file list while game/ is walked; match what the walk found with
// the list (recording what stands at each listed name, keeping the temporaries of interrupted
// transfers, collecting what is not listed); check that the disk can hold what must be
// fetched; delete what is not listed and the folders left empty; queue one job per listed
// file; wait until the workers have handled them all.
//
// A file that does not match the list after its transfer may mean that the vendor published a
// new version while this run was downloading: the round is stopped, the list fetched again, and
// if it changed, a new round starts from it. An unchanged list keeps the fatal report.
//
// A launcher built with the vendor's public keys checks the list's signed statement before it
// reads the list (launcher/signed_list.h), and records the publish it installed in its state.
//
// When every job of a round finished while the window was open, the coordinator records the
// verified files, waits, starts the game, waits, and ends the launcher.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format/names.h"
#include "launcher/launcher.h"
#include "launcher/signed_list.h"
#include "platform/platform.h"
#include "support/cute_files.h"
#include "support/decompression.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

constexpr const char* manifest_name = list_name;
constexpr const char* list_failure = "Cannot download file list";
constexpr const char* manifest_path = "game/manifest.dat";
constexpr uint64_t manifest_limit = 64ULL << 20; // the file list itself is capped at 64 MiB
constexpr int max_rounds = 3; // a list that keeps changing under the download ends the update
constexpr uint32_t wait_poll_ms = 100;
constexpr uint32_t game_start_delay_ms = 2000;
constexpr uint32_t shutdown_delay_ms = 1000;
constexpr size_t game_prefix_length = 5; // "game/"
constexpr std::string_view temporary_suffix = compressed_suffix;
#ifdef VELM_VERIFY_EVERY_START
constexpr bool keep_record = false; // every start hashes every file, as the launcher once did
#else
constexpr bool keep_record = true;
#endif

// The highest publish of a signed file list accepted under each key: from the state, then from
// this run's lists. Coordinator thread only.
std::vector<key_sequence>& accepted_sequences = *new std::vector<key_sequence>;

bool lists_are_signed() { return launcher_public_keys[0] != '\0'; }

// What the walk of game/ found, and what the match with the list made of it.
struct scanned_entry {
    std::string path;
    uint64_t size;
    bool is_link;
};
struct scan_result {
    std::vector<scanned_entry> entries; // every file and link below game/
    std::vector<std::string> folders; // every folder entered below game/, children first
    std::vector<std::pair<std::string, uint64_t>> unlisted; // path and size
};

// The coordinator's own files in game/, which the walk may meet while the list arrives.
constexpr const char* own_paths[] = {"game/manifest.dat", "game/manifest.dat.zs", "game/manifest.dat.zs.sig"};

// Fetches the file list (and checks its signature, when the launcher has keys) and leaves it
// decompressed in game/manifest.dat; returns the SHA-1 of its bytes.
std::string fetch_file_list() {
    game_file_t entry{};
    entry.name = const_cast<char*>(manifest_name);
    job_t job{};
    job.entry = &entry;
    // Only a closed window comes back without the list: every other failure is reported.
    bool fetched = lists_are_signed() ? fetch_signed_list(&job, launcher_public_keys, launcher_revoked_keys,
                                                          VELM_CHANNEL, &accepted_sequences)
                                      : download(&job);
    if (!fetched)
        report_fatal(list_failure);
    char* temporary = temporary_path(&entry);
    decompress_result result;
    decompress({temporary, transfer_header_size, manifest_path, manifest_limit, nullptr, 0}, &result);
    char* url = file_url(&entry);
    printf("%ld | %5u ms | %s\n", job.status, SDL_GetTicks() - job.started, url);
    free(url);
    remove_entry(temporary);
    free(temporary);
    if (!result.ok)
        PANIC("%s", result.problem);
    return result.digest;
}

game_file_table* read_file_list() {
    auto* table = new game_file_table; // never freed: see launcher.cpp
    FILE* f = OPEN_FILE_OR_FAIL(manifest_path, "rb", "read");
    parse_manifest(f, table);
    fclose(f);
    remove_entry(manifest_path);
    return table;
}

// The listed entry that the local `name` stands for: the same name, or on a system whose names
// ignore case, a name that differs only in case (a folder renamed by case keeps its old case).
game_file_t* find_listed(std::string_view name) {
    if (platform_names_ignore_case)
        return find_game_file_ignoring_case(*game_files, name);
    return find_game_file(*game_files, name);
}

void on_folder_scanned(const char* path, void* udata) {
    static_cast<scan_result*>(udata)->folders.emplace_back(path);
}

// "1.5 GB", "320 MB", "12 KB": what a player reads about disk space.
std::string human_size(uint64_t bytes) {
    constexpr const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// Before anything is fetched or deleted: the files that certainly need their transfer, plus
// room for the largest compressed temporary, must fit into the free space and what deleting
// the unlisted files gives back.
void check_free_space(const scan_result& scan) {
    uint64_t needed = 0;
    uint64_t largest = 0;
    for (const game_file_t& e : game_files->files)
        if (!e.local_exists || e.local_is_link || e.size != e.local_size) {
            needed += e.size;
            largest = std::max(largest, e.size);
        }
    needed += largest;
    uint64_t available = 0;
    if (platform_free_space("game", &available) != 0)
        return; // not known: a disk that fills is reported when it does
    for (const auto& [path, size] : scan.unlisted)
        available += size;
    if (needed <= available)
        return;
    char* cwd = platform_current_directory();
    PANIC_FOR_PLAYER("There is not enough free disk space for the update. It needs %s, and %s are free on "
                     "the drive that holds %s/game. Free some space and start the launcher again.",
                     human_size(needed).c_str(), human_size(available).c_str(), cwd != nullptr ? cwd : ".");
}

// The walk of game/, on a thread of its own while the list arrives: on a cold disk reading the
// tree's metadata takes as long as fetching and reading the list.
int walk_game_fn(void* data) {
    if (platform_entry_exists("game"))
        cf_walk("game", {on_file_scan, on_folder_scanned, false, data});
    return 0;
}

// Matches what the walk found with the list: records what stands at each listed name, keeps
// the temporaries of interrupted transfers, collects the rest as unlisted.
void match(scan_result* found) {
    for (const scanned_entry& file : found->entries) {
        if (std::find_if(std::begin(own_paths), std::end(own_paths),
                         [&](const char* own) { return file.path == own; }) != std::end(own_paths))
            continue;
        std::string_view relative = std::string_view(file.path).substr(game_prefix_length);
        if (game_file_t* entry = find_listed(relative)) {
            entry->local_size = file.size;
            entry->local_exists = true;
            entry->local_is_link = file.is_link;
            continue;
        }
        // The temporary of a listed file's interrupted transfer stays, to be resumed.
        if (!file.is_link && relative.ends_with(temporary_suffix))
            if (game_file_t* entry = find_listed(relative.substr(0, relative.size() - temporary_suffix.size()))) {
                entry->partial_exists = true;
                continue;
            }
        found->unlisted.emplace_back(file.path, file.size);
    }
}

void scan(scan_result* walked) {
    // game/ exists: the list's transfer created it for its temporary.
    scan_result& found = *walked;
    match(&found);
    check_free_space(found);
    for (const auto& [path, size] : found.unlisted) {
        printf("* %8zu %s - ======= NOT FOUND IN MANIFEST =======\n", static_cast<size_t>(size),
               path.c_str() + game_prefix_length);
        remove_entry(path.c_str());
    }
    // Children come before their parents, so a folder emptied here goes with its parent. A
    // folder that still holds something stays; game/ itself is not among them.
    for (const std::string& folder : found.folders)
        platform_remove_directory(folder.c_str());
}

// One job per listed file.
void queue_jobs() {
    std::vector<game_file_t>& files = game_files->files;
    std::vector<size_t> order = job_order(files);
    auto* round_jobs = new job_t[files.size()](); // never freed: see launcher.cpp
    for (size_t i = 0; i < order.size(); ++i)
        round_jobs[i].entry = &files[order[i]];

    SDL_LockMutex(mut);
    jobs = round_jobs;
    jobs_size = static_cast<int32_t>(files.size());
    jobs_next = 0;
    jobs_done = 0;
    jobs_by_record = jobs_by_digest = jobs_installed = 0;
    bytes_wanted = 0;
    bytes_installed = 0;
    SDL_CondBroadcast(jobs_changed);
    SDL_UnlockMutex(mut);
}

enum class round_end { complete, closed, mismatch };

round_end wait_for_round() {
    SDL_LockMutex(mut);
    while (running.load() && jobs_done < jobs_size && mismatch_job == nullptr)
        SDL_CondWaitTimeout(jobs_changed, mut, wait_poll_ms);
    // The game starts only when every job finished while the window was open.
    round_end end = !running.load() ? round_end::closed
                    : mismatch_job != nullptr ? round_end::mismatch
                                              : round_end::complete;
    SDL_UnlockMutex(mut);
    return end;
}

// Lets the workers finish what they hold, makes the transfer thread drop every transfer, and
// empties the round's queues.
void stop_round() {
    SDL_LockMutex(mut);
    round_stopping = true;
    while (busy_workers > 0 && running.load())
        SDL_CondWaitTimeout(jobs_changed, mut, wait_poll_ms);
    transfer_stop_all();
    wanted_jobs.clear();
    fetched_jobs.clear();
    jobs_size = jobs_next = jobs_done = 0;
    mismatch_job = nullptr;
    round_stopping = false;
    SDL_UnlockMutex(mut);
}

// Returns true when the game should be started.
bool update() {
    // The highest publish accepted is kept whether or not the record of verified files is.
    if (keep_record || lists_are_signed())
        state_read(state_file_name, &previous_state);
    if (!keep_record)
        previous_state.files.clear();
    accepted_sequences = previous_state.sequences;
    // An older state's one sequence holds for every key this launcher trusts.
    std::vector<public_key> keys;
    if (previous_state.sequence_floor > 0 && parse_public_keys(launcher_public_keys, &keys))
        for (const public_key& key : keys)
            raise_sequence(&accepted_sequences, key, previous_state.sequence_floor);
    std::string previous_list;
    for (int round = 1;; ++round) {
        scan_result found;
        SDL_Thread* walker = SDL_CreateThread(walk_game_fn, "walk", &found);
        CHECK(walker != nullptr);
        std::string list = fetch_file_list();
        if (round > 1 && list == previous_list)
            PANIC("%s", mismatch_problem);
        game_files = read_file_list();
        SDL_WaitThread(walker, nullptr);
        scan(&found);
        queue_jobs();
        round_end end = wait_for_round();
        if (end != round_end::mismatch)
            return end == round_end::complete;
        if (round == max_rounds)
            PANIC("%s", mismatch_problem);
        printf("%s; fetching the file list again\n", mismatch_problem);
        stop_round();
        previous_list = list;
    }
}

// Records every file verified or found current in this run, for the next start, and the publish
// of the signed list installed.
void record_verified_files() {
    launcher_state state;
    state.sequences = accepted_sequences;
    for (const game_file_t& e : game_files->files)
        if (keep_record && e.stamp_known)
            state.files[e.name] = {e.hash, e.stamp};
    if (!state_write(state_file_name, state))
        printf("cannot write %s: %s\n", state_file_name, strerror(errno));
}

} // namespace

void on_file_scan(cf_file_info* file, void* udata) {
    static_cast<scan_result*>(udata)->entries.push_back({file->path, file->size, file->is_link != 0});
}

void execute_process() {
    char* cwd = platform_current_directory();
    if (cwd == nullptr)
        PANIC("error in GetCurrentDirectoryA");
    for (char* c = cwd; *c != '\0'; ++c)
        if (*c == '\\')
            *c = '/';
    char* work_dir = str_concat(cwd, "/game/");
    char* exe = str_concat(work_dir, VELM_GAME_EXE);
    unsigned long error = 0;
    bool started = false;
    // A game that runs from game/ holds its executable open: never a second copy.
    if (platform_held_by_running_program(exe)) {
        printf("the game is running already (game/%s is held open): not started again\n", VELM_GAME_EXE);
    } else {
        started = platform_start_process(exe, work_dir, &error);
        // A scanner may hold the new executable for a moment, as any file.
        for (uint32_t waited = 0; !started && platform_error_is_in_use(static_cast<int>(error)) &&
                                  waited < in_use_patience_ms;
             waited += in_use_poll_ms) {
            platform_sleep_ms(in_use_poll_ms);
            started = platform_start_process(exe, work_dir, &error);
        }
    }
    if (!started && error != 0) {
        char text[4096];
        snprintf(text, sizeof text, "Error in CreateProcess. err: %lu\n", error);
        printf("%s", text);
        platform_message_box(platform_box_error, "Error", text);
    }
    free(exe);
    free(work_dir);
    free(cwd);
}

int main_worker_fn(void*) {
    if (!update())
        return 0;
    // From here on a closed window no longer stops the game's start.
    printf("All jobs completed\n");
    printf("%d current by the record of verified files, %d by their SHA-1, %d fetched\n", jobs_by_record,
           jobs_by_digest, jobs_installed);
    if (keep_record || lists_are_signed())
        record_verified_files();
    SDL_Delay(game_start_delay_ms);
    execute_process();
    SDL_Delay(shutdown_delay_ms);
    running.store(false);
    return 0;
}
