// The launcher's update of its own files.
//
// The check. The coordinator starts it on the thread "self_update" as it fetches the game's
// list, so that its requests go out at the same time (a current launcher costs no round trip of
// its own), and waits for it before anything of the game's list is used. The launcher's list
// comes from its own servers (own_servers: VELM_LAUNCHER_URL, mirrors allowed), is small (its
// answer capped at `own_list_limit`, a signed one at its statement's list-length as well) and its
// fetch gives up within `check_patience_ms`; with keys, only a statement signed for the
// launcher's channel is accepted, its sequences kept apart from the game's. A listed file that is
// one of the launcher's own (its executable under the name it runs as, the bundle, the font;
// other names are left to a newer launcher that knows them) and whose local copy differs (by
// size, then SHA-1) is fetched into memory (its answer capped as a game file's .zs: answer_cap),
// checked against the list's SHA-1, and written beside the old one as "<name>.part", renamed
// "<name>.new" once whole. An answer past its cap is cut there and the check given up at once.
//
// The handover. The launcher then starts its successor: the new executable under its temporary
// name "<exe>.new" (its own executable when only the bundle or the font changed), with the
// arguments and working directory it was started with, handing over the single-instance lock
// with no moment in which another launcher could take it (platform_hand_over: on Linux the new
// executable runs in this very process, the lock's socket open across the exec; on Windows the
// successor takes the mutex as this launcher ends, and a second named object meanwhile tells any
// other launcher that one is taking over). The successor, once its predecessor has ended, renames
// each "<name>.new" over its name in one replacing rename, its own executable last: a running
// image may be renamed, and the old one no longer runs. So the shortcut's name always holds a
// whole launcher, the old one or the new one: a launcher killed at any moment leaves one of them,
// and the next start of the old one removes what the attempt left and does it again. The
// successor does not check again; it goes on with the game's update. A new version that runs
// under its temporary name without a handover (its predecessor was killed as it started it, or
// the player started it) finishes the update in the same way.
//
// Never worse than not updating: any failure (no launcher tree on the server, a refused
// statement, a failed download, a full disk, a rename or a start the system refuses) is logged,
// what the attempt wrote is removed, and the game's update goes on with the running launcher.
#include "launcher/self_update.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <string_view>

#include "format/manifest.h"
#include "format/names.h"
#include "format/state.h"
#include "launcher/launcher.h"
#include "launcher/signed_list.h"
#include "platform/platform.h"
#include "support/decompression.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

constexpr uint64_t own_list_limit = 1 << 20;      // the launcher's list, compressed or not
constexpr uint64_t own_file_limit = 256ULL << 20; // a file of the launcher's own, as listed
// A server that does not answer holds the game's update no longer.
constexpr uint32_t check_patience_ms = 2500;
constexpr std::string_view part_suffix = ".part";
constexpr std::string_view new_suffix = ".new";
constexpr size_t reason_size = 512;

// One of the launcher's own files that its list names with other content than the local copy.
struct own_file {
    std::string name;
    uint64_t size;
    std::string hash;
    std::string content; // fetched and checked
};

// Set at start by the main thread, then only read.
std::string& instance = *new std::string;     // the single-instance lock's name
std::string& running_name = *new std::string; // the running executable's file name
// The executable's own name: `running_name` without ".new".
std::string& exe_name = *new std::string;
bool successor_run = false;
std::atomic<const char*> own_outcome{"off"}; // self_update_outcome

// Written by the check's thread before it ends; the coordinator reads them once it has joined
// it, and alone from then on.
SDL_Thread* check_thread = nullptr;
std::vector<own_file>& differing = *new std::vector<own_file>;
std::vector<key_sequence>& own_sequences = *new std::vector<key_sequence>;

// The executable last: it is put in place after the files that go with it.
std::string own_names[] = {ca_bundle_name, font_name, ""}; // the executable's, once known

bool is_own(std::string_view name) {
    return std::find(std::begin(own_names), std::end(own_names), name) != std::end(own_names);
}

// Fetches the launcher's `entry` (the list: named list_name) into `body`, from its servers; its
// failure's report into `failure`. An answer longer than `cap` is cut there and refused at once,
// never tried again (a signed list's: at its statement's list-length, when that is less).
fetch_result fetch_own(game_file_t* entry, std::string* body, uint64_t cap, std::string* failure,
                       bool list) {
    job_t job{};
    job.entry = entry;
    job.body = body;
    job.servers = &own_servers;
    job.failure = failure;
    job.max_body = cap;
    if (list)
        job.give_up_at = SDL_GetTicks() + check_patience_ms;
    if (list && launcher_public_keys[0] != '\0')
        return fetch_signed_list(&job, launcher_public_keys, launcher_revoked_keys,
                                 launcher_own_channel, &own_sequences);
    fetch_result fetched = download(&job);
    if (fetched != fetch_result::fetched)
        return fetched;
    char* url = file_url(entry, job_base_url(&job));
    log_printf("launcher: %ld | %5u ms | %s\n", job.status, SDL_GetTicks() - job.started, url);
    free(url);
    if (job.over_cap) {
        *failure = (list ? std::string("its list") : std::string(entry->name) + ".zs") +
                   " is longer than " + std::to_string(cap) + " bytes" +
                   (list ? "" : ", more than its listed size compresses to");
        return fetch_result::failed;
    }
    return fetched;
}

// Whether the local copy of `name` holds `size` bytes whose SHA-1 is `hash`.
bool is_current(const std::string& name, uint64_t size, const char* hash) {
    platform_file_stamp stamp;
    if (platform_stamp(name.c_str(), &stamp) != 0 || !stamp.regular || stamp.size != size)
        return false;
    char* digest = compute_file_hash(name.c_str());
    bool current = str_eq(digest, hash);
    free(digest);
    return current;
}

// The first line of a report, for the log line that says why the launcher goes on.
std::string first_line(const std::string& report) {
    return report.substr(0, report.find('\n'));
}

// The check's thread: fills `differing` with the files to install, each fetched and checked;
// leaves it empty when the launcher is current or the check failed (logged).
int check_fn(void*) {
    own_outcome = "unchecked"; // until the check ends
    game_file_t list_entry{};
    list_entry.name = const_cast<char*>(list_name);
    std::string compressed, failure;
    if (fetch_result fetched = fetch_own(&list_entry, &compressed, own_list_limit, &failure, true);
        fetched != fetch_result::fetched) {
        if (fetched == fetch_result::failed)
            log_printf("launcher: its own files are not checked: %s\n",
                       first_line(failure).c_str());
        return 0;
    }
    std::string list;
    decompress_result result;
    decompress_memory(compressed, own_list_limit, &list, &result);
    FILE* f = result.ok ? platform_memory_stream(list.data(), list.size()) : nullptr;
    if (f == nullptr) {
        log_printf("launcher: its own files are not checked: the list cannot be read (%s)\n",
                   result.ok ? "empty" : result.problem);
        return 0;
    }
    game_file_table table;
    read_manifest_entries(f, &table);
    fclose(f);
    std::vector<own_file> wanted;
    for (const game_file_t& e : table.files) {
        if (!is_own(e.name) || e.size > own_file_limit ||
            manifest_name_problem(e.name) != nullptr) {
            log_printf("launcher: its list names %s, which is not one of this launcher's files; "
                       "left as it is\n",
                       e.name);
            continue;
        }
        if (!is_current(e.name, e.size, e.hash))
            wanted.push_back({e.name, e.size, e.hash, ""});
    }
    if (!wanted.empty())
        show_notice(0, "%s", "Updating the launcher\u2026");
    for (own_file& file : wanted) {
        game_file_t entry{};
        entry.name = file.name.data();
        entry.size = file.size;
        entry.hash = file.hash.data();
        std::string body;
        if (fetch_own(&entry, &body, answer_cap(file.size), &failure, false) !=
            fetch_result::fetched) {
            log_printf("launcher: %s cannot be fetched: %s\n", file.name.c_str(),
                       first_line(failure).c_str());
            return 0;
        }
        decompress_memory(body, file.size, &file.content, &result);
        if (!result.ok || !str_eq(result.digest, file.hash.c_str()) ||
            file.content.size() != file.size) {
            log_printf("launcher: the server sent a damaged copy of %s (%s)\n", file.name.c_str(),
                       result.ok ? "its SHA-1 differs from the list's" : result.problem);
            return 0;
        }
    }
    differing = std::move(wanted);
    own_outcome = "current"; // until a new version is written
    return 0;
}

// Removes what a self-update left beside the launcher's own files (never the running executable).
void remove_leftovers() {
    for (const std::string& name : own_names)
        for (std::string_view suffix : {part_suffix, new_suffix}) {
            std::string path = name + std::string(suffix);
            if (path == running_name || !platform_entry_exists(path.c_str()))
                continue;
            int error = platform_remove(path.c_str());
            log_printf("launcher: %s %s, left by an update of the launcher%s\n",
                       error == 0 ? "removed" : "cannot remove", path.c_str(),
                       error == 0 ? "" : " that did not finish");
        }
}

// Records the launcher's own lists' sequences in the state the successor reads, where that
// state can be read whole (else the successor accepts the same list again all the same).
void record_own_sequences() {
    if (own_sequences.empty())
        return;
    launcher_state state;
    bool readable =
        state_read(state_file_name, launcher_channel, update_servers.urls.front(), &state);
    if ((!readable && platform_entry_exists(state_file_name)) || state.sequence_floor != 0)
        return;
    state.own_sequences = own_sequences;
    if (std::string problem; !state_write(state_file_name, launcher_channel, state, &problem))
        log_printf("launcher: cannot write %s: %s\n", state_file_name, problem.c_str());
}

// The successor's part: each "<name>.new" over its name, the running executable last.
void put_new_files_in_place() {
    char reason[reason_size];
    for (const std::string& name : own_names) {
        bool itself = name == exe_name;
        std::string fresh = itself ? running_name : name + std::string(new_suffix);
        if ((itself && running_name == exe_name) || !platform_entry_exists(fresh.c_str()))
            continue; // the running executable is in its place already
        // The launcher before may still hold `name` a moment (Windows).
        auto replace = itself ? platform_replace_executable : platform_replace;
        int error =
            wait_while_in_use(name.c_str(), [&] { return replace(fresh.c_str(), name.c_str()); });
        if (error == 0) {
            log_printf("launcher: %s is the new version\n", name.c_str());
            continue;
        }
        platform_error_text(error, reason, sizeof reason);
        log_printf("launcher: cannot put the new %s in place (%s); the next start does it again\n",
                   name.c_str(), reason);
        if (!itself)
            platform_remove(fresh.c_str());
    }
}

} // namespace

void self_update_settle(const char* instance_name, bool successor) {
    instance = instance_name;
    char* running = platform_executable_name();
    running_name = running != nullptr ? running : "";
    free(running);
    bool under_new_name = running_name.ends_with(new_suffix);
    exe_name =
        running_name.substr(0, running_name.size() - (under_new_name ? new_suffix.size() : 0));
    own_names[std::size(own_names) - 1] = exe_name;
    // A new version running under its temporary name whose predecessor ended before the handover
    // (killed) finishes the update as its successor would: it is whole and was checked.
    successor_run = successor || under_new_name;
    if (successor_run) {
        own_outcome = "new";
        put_new_files_in_place();
    } else {
        remove_leftovers();
    }
}

void self_update_start(const std::vector<key_sequence>& recorded) {
    own_sequences = recorded;
    if (successor_run || own_servers.urls.empty() || exe_name.empty())
        return;
    check_thread = SDL_CreateThread(check_fn, "self_update", nullptr);
    CHECK(check_thread != nullptr);
}

void self_update_finish() {
    if (check_thread == nullptr)
        return;
    SDL_WaitThread(check_thread, nullptr);
    check_thread = nullptr;
    show_notice(0, "%s", "");
    if (differing.empty())
        return;
    bool executable = false;
    for (const own_file& file : differing) {
        // Through "<name>.part", so that a "<name>.new" is always whole.
        std::string part = file.name + std::string(part_suffix);
        std::string fresh = file.name + std::string(new_suffix);
        if (std::string reason;
            !write_file_whole(part.c_str(), fresh.c_str(), file.content, &reason)) {
            log_printf("launcher: cannot write %s (%s); this launcher goes on\n", fresh.c_str(),
                       reason.c_str());
            remove_leftovers();
            own_outcome = "failed";
            return;
        }
        executable = executable || file.name == exe_name;
    }
    differing.clear();
    record_own_sequences();
    char* directory = platform_current_directory();
    std::string successor = std::string(directory != nullptr ? directory : ".") + "/" + exe_name +
                            (executable ? std::string(new_suffix) : "");
    free(directory);
    log_printf("launcher: starting its new version %s\n", successor.c_str());
    char reason[reason_size];
    if (platform_hand_over(successor.c_str(), instance.c_str(), reason, sizeof reason)) {
        log_printf("launcher: the new version has taken over\n");
        platform_exit_now(0);
    }
    log_printf("launcher: cannot start its new version (%s); this launcher goes on\n", reason);
    own_outcome = "failed";
    remove_leftovers();
}

const std::vector<key_sequence>& self_update_sequences() {
    return own_sequences;
}

const char* self_update_outcome() {
    return own_outcome.load();
}
