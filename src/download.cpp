// File download: one listed file from the update server into game/, through its compressed
// form "<name>.zs", with retries; then the old copy is moved aside and the new one decompressed
// into place.
//
// Each thread keeps one transfer handle for all its transfers, so it reuses its own connections
// (libcurl does not support sharing the connection cache between concurrent threads). The
// shared object carries only DNS and TLS session data; its lock callbacks take `mut`.
#include <cinttypes>
#include <cstdlib>

#include "decompression.h"
#include "launcher.h"
#include "platform.h"
#include "utils.h"

namespace {

constexpr const char* base_url = VELM_UPDATE_URL;
constexpr const char* ca_bundle = "curl-ca-bundle.crt";
constexpr int attempts = 4;
constexpr uint32_t retry_delay_ms = 500;
constexpr long connect_timeout_s = 15;
constexpr long stall_seconds = 30; // receiving nothing this long fails the attempt
constexpr long http_ok = 200;

thread_local CURL* thread_handle = nullptr;

size_t curl_write_cb(char* data, size_t item_size, size_t item_count, void* user) {
    auto* job = static_cast<job_t*>(user);
    CHECK(job->file != nullptr);
    size_t written = fwrite(data, item_size, item_count, job->file);
    CHECK(written == item_count);
    auto bytes = static_cast<uint32_t>(item_size * item_count);
    stats.bytes_this_second.fetch_add(bytes);
    stats.bytes_total.fetch_add(bytes);
    return item_size * item_count;
}

int curl_progress_cb(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t, curl_off_t) {
    auto* job = static_cast<job_t*>(user);
    float progress = download_total == 0 ? 0.0f
                                         : static_cast<float>(download_now) / static_cast<float>(download_total);
    job->progress.store(progress, std::memory_order_relaxed);
    return running.load(std::memory_order_relaxed) ? 0 : 1;
}

void curl_lock_cb(CURL*, curl_lock_data, curl_lock_access, void*) { SDL_LockMutex(mut); }
void curl_unlock_cb(CURL*, curl_lock_data, void*) { SDL_UnlockMutex(mut); }

// The calling thread's handle, reset to the library's defaults, then set up for one transfer.
CURL* prepare_handle(job_t* job, const char* url) {
    if (thread_handle == nullptr)
        thread_handle = curl_easy_init();
    CHECK(thread_handle != nullptr);
    CURL* curl = thread_handle;
    curl_easy_reset(curl);
    bool ok = curl_easy_setopt(curl, CURLOPT_SHARE, share) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_CAINFO, ca_bundle) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_URL, url) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_WRITEDATA, job) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, curl_write_cb) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, curl_progress_cb) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_XFERINFODATA, job) == CURLE_OK &&
              // No signals in a threaded program; only HTTPS; a dead server or a stalled
              // transfer fails the attempt instead of hanging it.
              curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_s) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_seconds) == CURLE_OK;
    CHECK(ok);
    return curl;
}

// Moves an existing target to "<target>.upd_old", replacing an older previous copy. Afterwards
// nothing may stand at the target path.
void move_aside(const char* target) {
    if (platform_entry_exists(target)) {
        char* previous = str_concat(target, ".upd_old");
        if (platform_entry_exists(previous))
            platform_remove(previous);
        rename(target, previous);
        free(previous);
    }
    CHECK(!platform_entry_exists(target));
}

} // namespace

void download_init() {
    curl_global_init(CURL_GLOBAL_ALL);
    share = curl_share_init();
    CHECK(share != nullptr);
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, curl_lock_cb);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, curl_unlock_cb);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

void download_cleanup() {
    curl_share_cleanup(share);
    share = nullptr;
    curl_global_cleanup();
}

void download_thread_end() {
    if (thread_handle != nullptr)
        curl_easy_cleanup(thread_handle);
    thread_handle = nullptr;
}

bool download(job_t* job, uint64_t limit) {
    uint32_t start = SDL_GetTicks();
    const char* name = job->entry->name;
    char* escaped = str_replace(name, " ", "%20");
    CHECK(escaped != nullptr);
    char* with_base = str_concat(base_url, escaped);
    char* url = str_concat(with_base, ".zs");
    free(with_base);
    free(escaped);
    char* target = str_concat("game/", name);
    char* temporary = str_concat(target, ".zs");
    mkpath(temporary); // a failure shows at the open below

    CURL* curl = nullptr;
    for (int left = attempts;;) {
        job->file = fopen(temporary, "wb");
        CHECK(job->file != nullptr);
        curl = prepare_handle(job, url);
        CURLcode result = curl_easy_perform(curl);
        // The temporary file is complete only if it closes cleanly.
        bool closed = fclose(job->file) == 0;
        job->file = nullptr;
        if (result == CURLE_ABORTED_BY_CALLBACK) {
            free(url);
            free(target);
            free(temporary);
            return false;
        }
        CHECK(result != CURLE_OK || closed);
        if (result == CURLE_OK)
            break;
        printf(" *** Got CURLcode %s\n", curl_easy_strerror(result));
        if (--left == 0)
            PANIC("Error downloading. %s", curl_easy_strerror(result));
        printf(" !!! RETRYING %s\n", name);
        SDL_Delay(retry_delay_ms);
    }

    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (code != http_ok)
        PANIC("error %lld downloading\n%s", static_cast<long long>(code), url);
    job->progress.store(1.0f, std::memory_order_relaxed);

    move_aside(target);
    decompress_file(temporary, target, limit);
    remove(temporary);
    printf("%ld | %5u ms | %s\n", code, SDL_GetTicks() - start, url);
    free(url);
    free(target);
    free(temporary);
    return true;
}
