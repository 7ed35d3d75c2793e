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
// The list never touches game/, which this account may be unable to change.
//
// When every job of a round finished while the window was open, the coordinator records the
// verified files, waits, starts the game, waits, and ends the launcher. When the update cannot
// run for a reason of the network or the server (update_failure says which), a launcher built
// with VELM_OFFLINE_START starts the installed version instead of the fatal report, provided
// that the record says the last update completed and every file it lists still stands as it
// recorded it (no file is read); with such a record, its fetches of the list give up within
// `offline_patience_ms`.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "format/names.h"
#include "launcher/launcher.h"
#include "launcher/self_update.h"
#include "launcher/signed_list.h"
#include "platform/platform.h"
#include "support/cute_files.h"
#include "support/decompression.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

constexpr const char* list_failure = "Cannot download file list";
// An installed version ready to start waits no longer for the server.
constexpr uint32_t offline_patience_ms = 2500;
constexpr const char* offline_notice =
    "Cannot reach the update server; starting the installed version";
constexpr std::string_view old_copy_suffix = set_aside_suffix;
constexpr int max_rounds = 3; // a list that keeps changing under the download ends the update
constexpr uint32_t wait_poll_ms = 100;
constexpr uint32_t game_start_delay_ms = 2000;
constexpr uint32_t shutdown_delay_ms = 1000;
constexpr int summary_lock_attempts = 50;
constexpr uint32_t summary_lock_poll_ms = 10;
constexpr size_t game_prefix_length = 5; // "game/"
constexpr std::string_view temporary_suffix = compressed_suffix;

// The highest publish of a signed file list accepted under each key: from the state, then from
// this run's lists. Coordinator thread only.
std::vector<key_sequence>& accepted_sequences = *new std::vector<key_sequence>;
// The file that did not match the list in the round before, and why. Coordinator thread only.
std::string& mismatch_job_name = *new std::string;
std::string& mismatch_text = *new std::string;

// Reads the record of the last update into previous_state.
void read_record() {
    state_read(state_file_name, launcher_channel, update_servers.urls.front(), &previous_state);
    accepted_sequences = previous_state.sequences;
    // An older state's one sequence holds for every key this launcher trusts.
    std::vector<public_key> keys;
    if (previous_state.sequence_floor > 0 && parse_public_keys(launcher_public_keys, &keys))
        for (const public_key& key : keys)
            raise_sequence(&accepted_sequences, key, previous_state.sequence_floor);
}

bool lists_are_signed() {
    return launcher_public_keys[0] != '\0';
}

// What the walk of game/ found, and what the match with the list made of it.
struct scanned_entry {
    std::string path;
    uint64_t size;
    bool is_link;
};
struct scan_result {
    std::vector<scanned_entry> entries; // every file and link below game/
    std::vector<std::string> folders;   // every folder entered below game/, children first
    std::vector<std::pair<std::string, uint64_t>> unlisted; // path and size
    std::vector<std::pair<game_file_t*, uint64_t>>
        temporaries; // kept for a resume, and their sizes
};

// The report of a file the server sent damaged (`problem` says how), for update_failure.
void note_damaged(const char* name, const char* problem) {
    char sentence[1024];
    snprintf(sentence, sizeof sentence,
             "The update server sent a damaged copy of %s: the vendor's server is being "
             "updated or is damaged; try again later.",
             name);
    char report[report_size];
    FORMAT_REPORT(report, sizeof report, sentence, "%s", problem);
    note_update_failure(report);
}

// Fetches the file list (and checks its signature, when the launcher has keys) into memory and
// decompresses it into `list`, with its SHA-1 in `digest`. False when the update cannot run:
// update_failure says why.
bool fetch_file_list(std::string* list, std::string* digest) {
    game_file_t entry{};
    entry.name = const_cast<char*>(list_name);
    std::string compressed;
    job_t job{};
    job.entry = &entry;
    job.body = &compressed;
    // With an installed version ready to start, an unreachable server is not waited for long.
    if (launcher_offline_start && previous_state.complete)
        job.give_up_at = SDL_GetTicks() + offline_patience_ms;
    show_notice(0, "Connecting to %s\u2026", update_host());
    fetch_result fetched =
        lists_are_signed() ? fetch_signed_list(&job, launcher_public_keys, launcher_revoked_keys,
                                               launcher_channel, &accepted_sequences)
                           : download(&job);
    show_notice(0, "%s", "");
    if (fetched == fetch_result::closed)
        PANIC_EXPLAINED(
            "The launcher was closed before the update began; your installed game was not changed.",
            "%s", list_failure);
    if (fetched == fetch_result::failed)
        return false;
    // Only an unsigned list's answer: a signed one past its statement's length was refused before.
    if (job.over_cap) {
        note_damaged("the file list",
                     ("the file list is longer than " + std::to_string(list_answer_limit) +
                      " bytes, which no list of at most " + std::to_string(list_limit) +
                      " bytes compresses to")
                         .c_str());
        return false;
    }
    char* url = file_url(&entry);
    log_printf("%ld | %5u ms | %s\n", job.status, SDL_GetTicks() - job.started, url);
    free(url);
    decompress_result result;
    decompress_memory(compressed, list_limit, list, &result);
    if (!result.ok)
        note_damaged("the file list", result.problem);
    *digest = result.digest;
    return result.ok;
}

game_file_table* read_file_list(const std::string& list) {
    auto* table = new game_file_table; // never freed: see launcher.cpp
    FILE* f = platform_memory_stream(list.data(), list.size());
    if (f == nullptr)
        FAIL_FILE_ERRNO("read", "the file list");
    parse_manifest(f, table);
    fclose(f);
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
// the unlisted files (the launcher's leftovers among them) gives back. Where they do not, the
// temporaries kept for a resume are taken back too before the update gives up.
void check_free_space(scan_result* scan) {
    uint64_t needed = 0;
    uint64_t largest = 0;
    for (const game_file_t& e : game_files->files)
        if (!e.local_exists || e.local_is_link || e.size != e.local_size) {
            needed += e.size;
            largest = std::max(largest, e.size);
        }
    needed += largest;
    uint64_t available = 0;
    if (platform_free_space(platform_entry_exists("game") ? "game" : ".", &available) != 0)
        return; // not known: a disk that fills is reported when it does
    for (const auto& [path, size] : scan->unlisted)
        available += size;
    if (needed <= available)
        return;
    uint64_t kept = 0;
    for (const auto& [entry, size] : scan->temporaries)
        kept += size;
    if (needed <= available + kept) {
        log_printf("taking back %" PRIu64
                   " bytes of interrupted transfers for the space the update needs\n",
                   kept);
        for (auto& [entry, size] : scan->temporaries) {
            char* temporary = temporary_path(entry);
            remove_entry(temporary);
            free(temporary);
            entry->partial_exists = false;
        }
        return;
    }
    available += kept;
    char* cwd = platform_current_directory();
    PANIC_FOR_PLAYER(
        "There is not enough free disk space for the update. It needs %s, and %s are free on "
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
        std::string_view relative = std::string_view(file.path).substr(game_prefix_length);
        if (game_file_t* entry = find_listed(relative)) {
            entry->local_size = file.size;
            entry->local_exists = true;
            entry->local_is_link = file.is_link;
            continue;
        }
        // The temporary of a listed file's interrupted transfer stays, to be resumed, unless it
        // is longer than any answer for that file may be (then it goes, as any leftover).
        if (!file.is_link && relative.ends_with(temporary_suffix))
            if (game_file_t* entry =
                    find_listed(relative.substr(0, relative.size() - temporary_suffix.size()));
                entry != nullptr &&
                file.size - std::min(file.size, transfer_header_size) <= answer_cap(entry->size)) {
                entry->partial_exists = true;
                found->temporaries.emplace_back(entry, file.size);
                continue;
            }
        found->unlisted.emplace_back(file.path, file.size);
    }
}

// The folder that holds `path` ("game/a/b" -> "game/a").
std::string parent_of(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

void scan(scan_result* walked) {
    scan_result& found = *walked;
    match(&found);
    check_free_space(&found);
    std::set<std::string> emptied; // folders that lost an entry here
    int32_t deleted = 0;
    for (const auto& [path, size] : found.unlisted) {
        log_printf("* %8zu %s - ======= NOT FOUND IN MANIFEST =======\n", static_cast<size_t>(size),
                   path.c_str() + game_prefix_length);
        emptied.insert(parent_of(path));
        // A copy an older launcher set aside may be the running game's own: it waits for a
        // later start rather than stopping this one.
        if (!path.ends_with(old_copy_suffix)) {
            remove_entry(path.c_str());
        } else if (int error = platform_remove(path.c_str()); error != 0) {
            if (!platform_error_is_missing(error)) {
                char reason[256];
                platform_error_text(error, reason, sizeof reason);
                log_printf("cannot delete %s yet (%s); a later start will\n", path.c_str(), reason);
            }
            continue;
        }
        ++deleted;
    }
    SDL_LockMutex(mut);
    files_deleted += deleted;
    SDL_UnlockMutex(mut);
    // Only folders this scan emptied go (a game's own empty saves/ stays). Children come
    // before their parents, so a folder emptied here goes with its parent; one that still holds
    // something stays, and game/ itself is not among them.
    for (const std::string& folder : found.folders)
        if (emptied.contains(folder) && platform_remove_directory(folder.c_str()) == 0)
            emptied.insert(parent_of(folder));
}

// One job per listed file.
void queue_jobs() {
    std::vector<game_file_t>& files = game_files->files;
    std::vector<size_t> order = job_order(files);
    auto* round_jobs = new job_t[files.size()](); // never freed: see launcher.cpp
    uint64_t listed = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        round_jobs[i].entry = &files[order[i]];
        listed += files[order[i]].size;
    }

    SDL_LockMutex(mut);
    jobs = round_jobs;
    jobs_size = static_cast<int32_t>(files.size());
    jobs_next = 0;
    jobs_done = 0;
    jobs_by_record = jobs_by_digest = jobs_installed = jobs_patched = jobs_chunked = 0;
    bytes_wanted = 0;
    bytes_installed = 0;
    bytes_listed = listed;
    bytes_finished = 0;
    SDL_CondBroadcast(jobs_changed);
    SDL_UnlockMutex(mut);
}

enum class round_end { complete, closed, mismatch, failed };

round_end wait_for_round() {
    SDL_LockMutex(mut);
    while (running.load() && jobs_done < jobs_size && mismatch_job == nullptr &&
           update_failure[0] == '\0')
        SDL_CondWaitTimeout(jobs_changed, mut, wait_poll_ms);
    // The game starts only when every job finished while the window was open.
    round_end end = !running.load()             ? round_end::closed
                    : update_failure[0] != '\0' ? round_end::failed
                    : mismatch_job != nullptr   ? round_end::mismatch
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

enum class outcome { current, closed, cannot_run };

outcome update() {
    read_record();
    // The launcher's own files are checked while the game's list arrives, and brought up to date
    // before anything of that list is used: a launcher too old for the list (a key it lacks)
    // updates itself first.
    self_update_start(previous_state.own_sequences);
    std::string previous_list;
    for (int round = 1;; ++round) {
        scan_result found;
        SDL_Thread* walker = SDL_CreateThread(walk_game_fn, "walk", &found);
        CHECK(walker != nullptr);
        std::string list;
        std::string digest;
        bool fetched = fetch_file_list(&list, &digest);
        SDL_WaitThread(walker, nullptr);
        if (round == 1)
            self_update_finish();
        if (fetched && round > 1 && digest == previous_list) {
            note_damaged(mismatch_job_name.c_str(), mismatch_text.c_str());
            fetched = false;
        }
        if (!fetched)
            return outcome::cannot_run;
        game_files = read_file_list(list);
        // Up to 64 MiB, not kept for the round (an assignment would keep its buffer).
        std::string().swap(list);
        scan(&found);
        queue_jobs();
        round_end end = wait_for_round();
        if (end == round_end::complete || end == round_end::closed)
            return end == round_end::complete ? outcome::current : outcome::closed;
        if (end == round_end::mismatch) {
            mismatch_job_name = mismatch_job->entry->name;
            mismatch_text = mismatch_problem;
            if (round == max_rounds)
                note_damaged(mismatch_job_name.c_str(), mismatch_text.c_str());
            else
                log_printf("%s; fetching the file list again\n", mismatch_problem);
        }
        stop_round();
        if (end == round_end::failed || round == max_rounds)
            return outcome::cannot_run;
        previous_list = digest;
    }
}

// Whether the installed version may start without this update: the record says the last
// update completed, and every file it lists still stands as it recorded it. Nothing is read.
bool installed_version_current() {
    if (!previous_state.complete)
        return false;
    for (const auto& [name, record] : previous_state.files) {
        platform_file_stamp now;
        std::string path = "game/" + name;
        if (platform_stamp(path.c_str(), &now) != 0 || !same_stamp(now, record.stamp)) {
            log_printf("%s is not as the last update left it\n", path.c_str());
            return false;
        }
    }
    return true;
}

// Records every file verified or found current in this run, for the next start, and the publish
// of the signed list installed. The update completed: when every listed file is recorded, the
// record says so. After the game's start, which may have changed its executable's mode (and
// with it its change time): the launcher's own change is recorded.
void record_verified_files() {
    if (game_file_t* exe = find_game_file(*game_files, VELM_GAME_EXE);
        exe != nullptr && exe->stamp_known) {
        std::string path = std::string("game/") + VELM_GAME_EXE;
        platform_file_stamp now;
        exe->stamp_known = platform_stamp(path.c_str(), &now) == 0 && now.size == exe->stamp.size &&
                           now.write_time == exe->stamp.write_time && now.index == exe->stamp.index;
        exe->stamp = now;
    }
    launcher_state state;
    state.sequences = accepted_sequences;
    state.own_sequences = self_update_sequences();
    state.complete = true;
    for (const game_file_t& e : game_files->files) {
        if (e.stamp_known)
            state.files[e.name] = {e.hash, e.stamp};
        state.complete = state.complete && e.stamp_known;
    }
    // The game starts all the same: the next start reads what the record cannot vouch for. The
    // state there was stays as it was, with the publishes it recorded: an older list than those
    // is still refused.
    if (std::string problem; !state_write(state_file_name, launcher_channel, state, &problem)) {
        log_printf(
            "cannot write %s: %s; this update is not recorded%s\n", state_file_name,
            problem.c_str(),
            lists_are_signed()
                ? ", and rollback protection is off: the next start cannot refuse a file list "
                  "older than this one, only one older than those recorded before"
                : "");
        show_notice(0, "Cannot write %s%s (see the log)", state_file_name,
                    lists_are_signed() ? ": rollback protection is off" : "");
    }
}

} // namespace

void print_summary(const char* result) {
    static std::atomic<bool> printed{false};
    if (printed.exchange(true))
        return;
    // A fatal report may come from a thread that holds `mut` while another reports first: the
    // figures are then read as they stand rather than waiting for ever.
    bool held = false;
    for (int attempt = 0; attempt < summary_lock_attempts && !held; ++attempt) {
        held = SDL_TryLockMutex(mut) == 0;
        if (!held)
            SDL_Delay(summary_lock_poll_ms);
    }
    char line[512];
    snprintf(line, sizeof line,
             "summary: result=%s files=%d by_record=%d by_sha1=%d fetched=%d patched=%d chunked=%d "
             "deleted=%d bytes_received=%" PRIu64 " bytes_installed=%" PRIu64
             " ms=%u self_update=%s\n",
             result, jobs_size, jobs_by_record, jobs_by_digest, jobs_installed, jobs_patched,
             jobs_chunked, files_deleted, stats.bytes_total.load(), bytes_installed, SDL_GetTicks(),
             self_update_outcome());
    if (held)
        SDL_UnlockMutex(mut);
    log_printf("%s", line);
}

void on_file_scan(cf_file_info* file, void* udata) {
    static_cast<scan_result*>(udata)->entries.push_back(
        {file->path, file->size, file->is_link != 0});
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
        log_printf("the game is running already (game/%s is held open): not started again\n",
                   VELM_GAME_EXE);
    } else {
        log_printf("starting %s\n", exe);
        // A scanner may hold the new executable for a moment, as any file.
        wait_while_in_use("game/" VELM_GAME_EXE, [&] {
            started = platform_start_process(exe, work_dir, &error);
            return started ? 0 : static_cast<int>(error);
        });
    }
    if (!started && error != 0) {
        char reason[512];
        platform_error_text(static_cast<int>(error), reason, sizeof reason);
        char text[4096];
        snprintf(text, sizeof text,
                 "The game could not be started (game/%s: %s). Start the launcher again; if this "
                 "goes on, tell the vendor.\n\nError in CreateProcess. err: %lu\n",
                 VELM_GAME_EXE, reason, error);
        log_printf("%s", text);
        platform_message_box(platform_box_error, "Error", text);
    }
    free(exe);
    free(work_dir);
    free(cwd);
}

int main_worker_fn(void*) {
    outcome end = update();
    if (end == outcome::closed) {
        print_summary("closed");
        return 0;
    }
    // From here on a closed window no longer stops the game's start.
    if (end == outcome::cannot_run) {
        SDL_LockMutex(mut);
        std::string report = update_failure;
        SDL_UnlockMutex(mut);
        // A refused list, or a server that cannot be reached, never changed the installed
        // version: it may start when it is as the last update left it.
        if (!launcher_offline_start || !installed_version_current())
            report_fatal(report.c_str());
        log_printf("%s\n\n%s\n", report.c_str(), offline_notice);
        print_summary("offline");
        show_notice(0, "%s", offline_notice);
    } else {
        log_printf("All jobs completed\n");
        log_printf("%d current by the record of verified files, %d by their SHA-1, %d fetched\n",
                   jobs_by_record, jobs_by_digest, jobs_installed);
        print_summary("ok");
    }
    SDL_Delay(game_start_delay_ms / launcher_pause_divisor);
    execute_process();
    if (end == outcome::current)
        record_verified_files();
    SDL_Delay(shutdown_delay_ms / launcher_pause_divisor);
    running.store(false);
    return 0;
}
