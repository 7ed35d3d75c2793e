// The coordinator ("main_worker"): fetches and reads the file list, scans game/ (recording
// local sizes, deleting unlisted files), queues one job per listed file, waits until the
// workers have handled them all, then starts the game and ends the launcher.
#include <cstdlib>
#include <cstring>

#include "cute_files.h"
#include "launcher.h"
#include "platform.h"
#include "utils.h"

namespace {

constexpr const char* manifest_name = "manifest.dat";
constexpr const char* list_failure = "Cannot download file list";
constexpr const char* manifest_path = "game/manifest.dat";
constexpr uint64_t manifest_limit = 64ULL << 20; // the file list itself is capped at 64 MiB
constexpr uint32_t poll_interval_ms = 5; // between completion polls
constexpr uint32_t game_start_delay_ms = 2000;
constexpr uint32_t shutdown_delay_ms = 1000;
constexpr size_t game_prefix_length = 5; // "game/"

void fetch_file_list() {
    game_file_t entry{};
    entry.name = const_cast<char*>(manifest_name);
    job_t job{};
    job.entry = &entry;
    if (!download(&job, manifest_limit)) {
        // Only an abandoned transfer (the window was closed) comes back here.
        fprintf(stderr, "%s\n", list_failure);
        platform_message_box(platform_box_error, "Fatal error", list_failure);
        exit(1);
    }
}

void read_file_list() {
    FILE* f = fopen(manifest_path, "rb");
    CHECK(f != nullptr);
    parse_manifest(f, &game_files);
    fclose(f);
    remove(manifest_path);
}

void queue_jobs() {
    SDL_LockMutex(mut);
    jobs.reserve(game_files.files.size());
    for (game_file_t& file : game_files.files)
        jobs.push_back(&file);
    jobs_size = static_cast<int32_t>(jobs.size());
    SDL_CondBroadcast(jobs_queued);
    SDL_UnlockMutex(mut);
}

// Jobs queued or held by a worker.
int32_t count_outstanding() {
    SDL_LockMutex(mut);
    int32_t outstanding = jobs_size - jobs_next;
    for (int i = 0; i < workers_count; ++i)
        if (workers[i].job.entry != nullptr)
            ++outstanding;
    jobs_in_queue = outstanding;
    SDL_UnlockMutex(mut);
    return outstanding;
}

} // namespace

void on_file_scan(cf_file_info* file, void*) {
    if (file->is_directory)
        return;
    const char* relative = file->path + game_prefix_length;
    if (game_file_t* entry = find_game_file(game_files, relative)) {
        entry->local_size = file->size;
        entry->local_exists = true;
        return;
    }
    printf("* %8zu %s - ======= NOT FOUND IN MANIFEST =======\n", static_cast<size_t>(file->size), relative);
    platform_remove(file->path);
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
    if (!platform_start_process(exe, work_dir, &error)) {
        char text[4096];
        snprintf(text, sizeof text, "Error in CreateProcess. err: %lu\n", error);
        printf("%s", text);
        platform_message_box(platform_box_error, "Error", text);
    }
    free(exe);
    free(work_dir);
    free(cwd);
}

// Returns true when the game should be started: every job finished while `running` was set.
static bool update() {
    fetch_file_list();
    read_file_list();
    if (platform_entry_exists("game"))
        cf_traverse("game", on_file_scan, nullptr);
    else
        platform_mkdir("game");
    queue_jobs();

    // Wait for completion. Closing the window ends the wait, and the game is not started.
    if (!running.load())
        return false;
    while (count_outstanding() != 0) {
        if (!running.load())
            return false;
        SDL_Delay(poll_interval_ms);
    }
    return true;
}

int main_worker_fn(void*) {
    bool finished = update();
    download_thread_end();
    if (!finished)
        return 0;
    // From here on a closed window no longer stops the game's start.
    printf("All jobs completed\n");
    SDL_Delay(game_start_delay_ms);
    execute_process();
    SDL_Delay(shutdown_delay_ms);
    running.store(false);
    return 0;
}
