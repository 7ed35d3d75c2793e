// The transfer thread: every wanted file's "<name>.zs" from the update server at once, over a
// few connections (HTTP/2 streams where the server offers them), through libcurl's multi
// interface on this one thread. Decompression and verification stay with the workers, so the
// next request goes out while earlier files are still being installed.
//
// A job whose local copy is known (its SHA-1) asks first for the patch from that copy to the
// listed content, "<base URL>.patches/<old SHA-1>-<new SHA-1>.zst"; a server without it (any
// answer but the patch) is asked for the whole file, "<name>.zs?<SHA-1>".
//
// A transfer writes into the temporary file "game/<name>.zs". The temporary starts with a
// header of its own, a zstd skippable frame (so the file stays a valid zstd stream) recording
// what follows (the whole file, or a patch from which base) and the server's validator of it:
// its ETag, else its Last-Modified date. A transfer that breaks, in this run or an earlier one,
// continues from the bytes already there with a range request guarded by If-Range: a file that
// changed on the server comes whole, and the temporary starts over.
//
// A failed attempt is tried again after a pause that doubles each time (0.5 s, 1 s, 2 s, ...,
// about a minute in all) before the fatal report. An HTTP status other than 200 (or 206 for a
// resumed transfer) is never retried, nor is a server whose certificate is not trusted.
#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <queue>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "format/patch.h"
#include "launcher/launcher.h"
#include "platform/platform.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

constexpr const char* base_url = VELM_UPDATE_URL;
constexpr const char* ca_bundle = "curl-ca-bundle.crt";
// A small pool: one connection alone suffers most from loss, and many streams over a few
// connections beat a connection per file. Each connection carries at most the limit over
// `limit_shares` streams (16 of 64, as before), so that several carry the transfers; fewer
// streams on more connections did worse: a connection that lost packets early grows slowly,
// and the streams it carries end long after the others.
constexpr long max_host_connections = 6;
constexpr size_t limit_shares = 4;
// Transfers in flight before the first measure, as many as launchers before this one kept: a
// far link's limit grows from there within a few round trips.
constexpr size_t initial_transfer_limit = 64;
constexpr uint32_t min_round_ms = 100;
constexpr uint32_t retry_delays_ms[] = {500, 1000, 2000, 4000, 8000, 16000, 32000};
constexpr int attempts = static_cast<int>(std::size(retry_delays_ms)) + 1;
constexpr long connect_timeout_s = 15;
constexpr long stall_seconds = 30; // receiving nothing this long fails the attempt
constexpr int idle_wait_ms = 100;
constexpr long http_ok = 200;
constexpr long http_partial = 206;
constexpr long http_range_not_satisfiable = 416;

// The temporary file's header: a skippable frame of `transfer_header_size` bytes in all, holding
// the tag, a line saying what the bytes after it are ("whole", or "patch <base SHA-1>") and a
// line with the server's validator of them, padded with NULs.
constexpr uint32_t skippable_magic = 0x184D2A5E;
constexpr size_t frame_preamble = 8; // magic and length, 32 bits each, little endian
constexpr std::string_view header_tag = "velm partial 2\n";
constexpr size_t header_text = transfer_header_size - frame_preamble - header_tag.size();
constexpr size_t max_validator = 160;

// One job's transfer, from its first attempt to its last. Transfer thread only.
struct transfer_t {
    job_t* job;
    std::string url;
    std::string temporary;
    CURL* handle = nullptr;
    curl_slist* headers = nullptr;
    FILE* file = nullptr;
    int failures = 0;
    uint32_t retry_at = 0; // tick before which the next attempt does not start
    bool range_refused = false; // the server refused our range once: start over
    uint64_t resume_from = 0; // bytes of the body already in the temporary
    std::string etag; // of the response being received
    std::string last_modified;
    bool answered = false; // the body of this attempt's response has begun
    bool keep_body = false; // the body goes into the temporary (200, or 206 when resuming)
    uint64_t body_at = 0; // the body's bytes before the next one received
};

CURLM* multi = nullptr;
// Transfer thread only: jobs not started yet, the first in the queue's order on top (jobs lie
// in one array in that order, whatever order the workers checked them in); transfers between
// two attempts; transfers in flight.
using job_heap = std::priority_queue<job_t*, std::vector<job_t*>, std::greater<job_t*>>;
job_heap& fresh = *new job_heap;
std::vector<transfer_t*>& retrying = *new std::vector<transfer_t*>;
std::vector<transfer_t*>& in_flight = *new std::vector<transfer_t*>;
std::vector<CURL*>& idle_handles = *new std::vector<CURL*>;
// Transfer thread only: how many transfers may be in flight, the streams each connection may
// carry, the round being measured and the least time an answer took to begin.
size_t transfer_limit = initial_transfer_limit;
long streams_per_connection = 0;
transfer_round round_now{};
uint32_t round_started = 0;
uint64_t rtt_us = UINT64_MAX;
uint64_t stop_requests = 0; // under `mut`: raised by transfer_stop_all
uint64_t stops_done = 0; // under `mut`: the transfer thread's answer

// --- The temporary file's header -------------------------------------------------------------

void put_le32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_le32(const uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// Whether `t` asks for the patch from the local copy rather than the whole file.
bool asks_patch(const transfer_t* t) { return t->job->patch_base[0] != '\0'; }

// What the temporary of `t` holds, as its header says it.
std::string header_kind(const transfer_t* t) {
    return asks_patch(t) ? std::string("patch ") + t->job->patch_base : std::string("whole");
}

void write_header(transfer_t* t, const std::string& validator) {
    uint8_t header[transfer_header_size] = {};
    put_le32(header, skippable_magic);
    put_le32(header + 4, transfer_header_size - frame_preamble);
    memcpy(header + frame_preamble, header_tag.data(), header_tag.size());
    std::string text = header_kind(t) + "\n" + (validator.size() <= max_validator ? validator : "") + "\n";
    CHECK(text.size() <= header_text);
    memcpy(header + frame_preamble + header_tag.size(), text.data(), text.size());
    if (fwrite(header, 1, transfer_header_size, t->file) != transfer_header_size)
        FAIL_FILE_ERRNO("write", t->temporary.c_str());
}

// The validator recorded in an earlier temporary of the same kind as `t` and the number of
// body bytes after it; 0 bytes when there is no temporary this transfer can continue.
uint64_t read_header(const transfer_t* t, std::string* validator) {
    FILE* f = nullptr;
    if (open_file_patiently(t->temporary.c_str(), "rb", &f) != 0)
        return 0;
    uint8_t header[transfer_header_size];
    bool whole = fread(header, 1, transfer_header_size, f) == transfer_header_size;
    fclose(f);
    platform_file_stamp stamp;
    if (!whole || get_le32(header) != skippable_magic ||
        get_le32(header + 4) != transfer_header_size - frame_preamble ||
        memcmp(header + frame_preamble, header_tag.data(), header_tag.size()) != 0 ||
        platform_stamp(t->temporary.c_str(), &stamp) != 0)
        return 0;
    const char* text = reinterpret_cast<const char*>(header + frame_preamble + header_tag.size());
    std::string_view lines(text, strnlen(text, header_text));
    std::string expected = header_kind(t) + "\n";
    if (!lines.starts_with(expected))
        return 0;
    lines.remove_prefix(expected.size());
    size_t end = lines.find('\n');
    if (end == 0 || end == std::string_view::npos)
        return 0;
    *validator = std::string(lines.substr(0, end));
    return stamp.size - transfer_header_size;
}

// --- Callbacks -------------------------------------------------------------------------------

// The first bytes of a response's body decide where the body goes.
void begin_body(transfer_t* t) {
    t->answered = true;
    long code = 0;
    curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &code);
    bool whole = code == http_ok;
    if (!whole && !(code == http_partial && t->resume_from > 0))
        return; // an error page: kept nowhere, the status is reported when it ends
    if (int error = open_file_patiently(t->temporary.c_str(), whole ? "wb" : "ab", &t->file); error != 0)
        FAIL_FILE_CODE("create", t->temporary.c_str(), error);
    if (whole) {
        // The whole file: the temporary starts over, under this response's validator.
        t->resume_from = 0;
        write_header(t, t->etag.empty() ? t->last_modified : t->etag);
    }
    t->keep_body = true;
    t->body_at = t->resume_from;
    if (t->job->body_hook != nullptr)
        t->job->body_hook(t->job, t->body_at, nullptr, 0);
}

// Hands the kept bytes to the job's hook; false when the hook ends the transfer.
bool pass_to_hook(transfer_t* t, const char* data, size_t bytes) {
    uint64_t at = t->body_at;
    t->body_at += bytes;
    return t->job->body_hook == nullptr || t->job->body_hook(t->job, at, data, bytes);
}

size_t curl_write_cb(char* data, size_t item_size, size_t item_count, void* user) {
    auto* t = static_cast<transfer_t*>(user);
    size_t bytes = item_size * item_count;
    if (!t->answered)
        begin_body(t);
    if (t->keep_body && fwrite(data, 1, bytes, t->file) != bytes)
        FAIL_FILE_ERRNO("write", t->temporary.c_str());
    if (t->keep_body && !pass_to_hook(t, data, bytes))
        return 0; // ends the transfer with CURLE_WRITE_ERROR
    round_now.bytes += bytes;
    stats.bytes_this_second.fetch_add(static_cast<uint32_t>(bytes));
    stats.bytes_total.fetch_add(static_cast<uint32_t>(bytes));
    return bytes;
}

// Keeps the validator of the response being received (a redirect or an interim response
// starts a new one). Weak ETags cannot guard a range.
size_t curl_header_cb(char* data, size_t item_size, size_t item_count, void* user) {
    auto* t = static_cast<transfer_t*>(user);
    size_t bytes = item_size * item_count;
    std::string_view line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    auto value_of = [&](std::string_view name) -> std::string_view {
        if (line.size() <= name.size() || strncasecmp(line.data(), name.data(), name.size()) != 0)
            return {};
        std::string_view value = line.substr(name.size());
        while (!value.empty() && value.front() == ' ')
            value.remove_prefix(1);
        return value;
    };
    if (line.starts_with("HTTP/")) {
        t->etag.clear();
        t->last_modified.clear();
    } else if (std::string_view etag = value_of("etag:"); !etag.empty() && !etag.starts_with("W/")) {
        t->etag = etag;
    } else if (std::string_view date = value_of("last-modified:"); !date.empty()) {
        t->last_modified = date;
    }
    return bytes;
}

int curl_progress_cb(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t, curl_off_t) {
    auto* t = static_cast<transfer_t*>(user);
    if (download_total > 0) {
        double done = static_cast<double>(t->resume_from) + static_cast<double>(download_now);
        double total = static_cast<double>(t->resume_from) + static_cast<double>(download_total);
        t->job->progress.store(static_cast<float>(done / total), std::memory_order_relaxed);
    }
    return running.load(std::memory_order_relaxed) ? 0 : 1;
}

// --- Attempts --------------------------------------------------------------------------------

template <typename T> void set_option(CURL* curl, CURLoption option, T value) {
    CURLcode result = curl_easy_setopt(curl, option, value);
    if (result != CURLE_OK)
        PANIC("Cannot set option %d of a transfer: %s", static_cast<int>(option), curl_easy_strerror(result));
}

CURL* take_handle() {
    CURL* handle = nullptr;
    if (idle_handles.empty()) {
        handle = curl_easy_init();
    } else {
        handle = idle_handles.back();
        idle_handles.pop_back();
        curl_easy_reset(handle);
    }
    CHECK(handle != nullptr);
    return handle;
}

void set_active(job_t* job, bool active) {
    SDL_LockMutex(mut);
    job_t** end = active_transfers + active_transfer_count;
    if (active) {
        CHECK(active_transfer_count < max_transfers);
        active_transfers[active_transfer_count++] = job;
        job->step = job_step::transferring;
    } else if (job_t** at = std::find(active_transfers, end, job); at != end) {
        *at = end[-1];
        --active_transfer_count;
    }
    SDL_UnlockMutex(mut);
}

// What every request carries besides its own URL, worked out before the first: the proxy the
// system's settings name (Windows), the authorities trusted (the bundle, and on Windows its root
// store, so that an old bundle cannot lock players out), the User-Agent. Transfer thread only.
struct network_settings {
    std::string proxy; // empty: libcurl's own environment variables
    std::string authorities; // PEM; empty: the bundle's file alone
};

const network_settings& network() {
    static const network_settings settings = [] {
        network_settings n;
        n.proxy = platform_system_proxy(base_url);
        if (!n.proxy.empty())
            printf("using the system's proxy %s for %s\n", n.proxy.c_str(), base_url);
        std::string roots = platform_system_root_certificates();
        FILE* bundle = nullptr;
        if (!roots.empty() && open_file_patiently(ca_bundle, "rb", &bundle) == 0) {
            char chunk[4096];
            for (;;) {
                size_t got = fread(chunk, 1, sizeof chunk, bundle);
                if (got == 0)
                    break;
                n.authorities.append(chunk, got);
            }
            // A bundle that cannot be read whole is named in the transfer's own report.
            if (ferror(bundle) == 0)
                n.authorities += "\n" + roots;
            else
                n.authorities.clear();
            fclose(bundle);
        }
        return n;
    }();
    return settings;
}

void set_network_options(CURL* curl) {
    const network_settings& n = network();
    if (n.authorities.empty()) {
        set_option(curl, CURLOPT_CAINFO, ca_bundle);
    } else {
        curl_blob blob{const_cast<char*>(n.authorities.data()), n.authorities.size(), CURL_BLOB_NOCOPY};
        set_option(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
    if (!n.proxy.empty()) {
        set_option(curl, CURLOPT_PROXY, n.proxy.c_str());
        set_option(curl, CURLOPT_NOPROXY, ""); // the system's bypass list has been applied
    }
    // An unreachable revocation server (networks that block them are common) is no failure.
    set_option(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
    set_option(curl, CURLOPT_USERAGENT, VELM_USER_AGENT);
}

void start_attempt(transfer_t* t) {
    if (t->failures == 0 && !t->range_refused)
        t->job->started = SDL_GetTicks();
    std::string validator;
    bool resumable = !t->job->for_coordinator && !t->range_refused;
    t->resume_from = resumable ? read_header(t, &validator) : 0;
    t->answered = false;
    t->keep_body = false;
    t->etag.clear();
    t->last_modified.clear();
    make_parent_directories(t->temporary.c_str());

    CURL* curl = t->handle = take_handle();
    std::string range;
    if (t->resume_from > 0) {
        range = std::to_string(t->resume_from) + "-";
        printf("resuming %s at byte %" PRIu64 "\n", t->job->entry->name, t->resume_from);
        t->headers = curl_slist_append(nullptr, ("If-Range: " + validator).c_str());
        CHECK(t->headers != nullptr);
    }
    set_option(curl, CURLOPT_URL, t->url.c_str());
    set_option(curl, CURLOPT_PRIVATE, t);
    set_option(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    set_network_options(curl);
    set_option(curl, CURLOPT_WRITEFUNCTION, curl_write_cb);
    set_option(curl, CURLOPT_WRITEDATA, t);
    set_option(curl, CURLOPT_HEADERFUNCTION, curl_header_cb);
    set_option(curl, CURLOPT_HEADERDATA, t);
    set_option(curl, CURLOPT_NOPROGRESS, 0L);
    set_option(curl, CURLOPT_XFERINFOFUNCTION, curl_progress_cb);
    set_option(curl, CURLOPT_XFERINFODATA, t);
    // A range, not a resume offset: a server that answers the whole file (its
    // validator changed) is then no error.
    set_option(curl, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
    set_option(curl, CURLOPT_HTTPHEADER, t->headers);
    // Many streams over few connections: wait for a connection that can carry one
    // more stream rather than open another.
    set_option(curl, CURLOPT_PIPEWAIT, 1L);
    // No signals in a threaded program; only HTTPS; a dead server or a stalled
    // transfer fails the attempt instead of hanging it.
    set_option(curl, CURLOPT_NOSIGNAL, 1L);
    set_option(curl, CURLOPT_PROTOCOLS_STR, "https");
    set_option(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_s);
    set_option(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    set_option(curl, CURLOPT_LOW_SPEED_TIME, stall_seconds);
    CHECK(curl_multi_add_handle(multi, curl) == CURLM_OK);
    in_flight.push_back(t);
    set_active(t->job, true);
}

// Ends an attempt's use of its handle, file and list; the transfer leaves `in_flight`.
void end_attempt(transfer_t* t) {
    curl_multi_remove_handle(multi, t->handle);
    idle_handles.push_back(t->handle);
    t->handle = nullptr;
    curl_slist_free_all(t->headers);
    t->headers = nullptr;
    if (t->file != nullptr) {
        // The temporary holds what was received only if it closes cleanly.
        bool closed = fclose(t->file) == 0;
        t->file = nullptr;
        if (!closed)
            FAIL_FILE_ERRNO("write", t->temporary.c_str());
    }
    in_flight.erase(std::find(in_flight.begin(), in_flight.end(), t));
    set_active(t->job, false);
}

// Whether another attempt may succeed: a server that cannot prove who it is (or a bundle of
// authorities that cannot be read) will not prove it a minute later.
bool can_succeed_later(CURLcode result) {
    return result != CURLE_PEER_FAILED_VERIFICATION && result != CURLE_SSL_CACERT_BADFILE &&
           result != CURLE_SSL_CERTPROBLEM && result != CURLE_UNSUPPORTED_PROTOCOL;
}

void succeed(transfer_t* t, long code) {
    job_t* job = t->job;
    job->status = code;
    job->progress.store(1.0f, std::memory_order_relaxed);
    SDL_LockMutex(mut);
    job->step = job_step::fetched;
    if (!job->for_coordinator)
        fetched_jobs.push_back(job);
    SDL_CondBroadcast(jobs_changed);
    SDL_UnlockMutex(mut);
    delete t;
}

// The patch from the local copy when the worker asked for one, else the whole file.
void set_url(transfer_t* t) {
    char* url = asks_patch(t) ? patch_url(t->job->entry, t->job->patch_base) : file_url(t->job->entry);
    t->url = url;
    free(url);
}

void retry_later(transfer_t* t, uint32_t delay_ms) {
    t->retry_at = SDL_GetTicks() + delay_ms;
    retrying.push_back(t);
}

void finish_attempt(transfer_t* t, CURLcode result) {
    long code = 0;
    curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &code);
    end_attempt(t);
    if (result == CURLE_ABORTED_BY_CALLBACK) { // the window was closed
        delete t;
        return;
    }
    if (t->job->as_is && (result == CURLE_OK || result == CURLE_WRITE_ERROR)) {
        succeed(t, code); // the coordinator judges any answer, and a body its hook refused
        return;
    }
    if (result == CURLE_OK) {
        if (code == http_ok || (code == http_partial && t->resume_from > 0)) {
            succeed(t, code);
        } else if (asks_patch(t)) {
            // Patches are optional: a server without this one serves the whole file.
            printf("no patch for %s from its local copy (%ld); fetching it whole\n", t->job->entry->name, code);
            t->job->patch_base[0] = '\0';
            set_url(t);
            retry_later(t, 0);
        } else if (code == http_range_not_satisfiable && t->resume_from > 0 && !t->range_refused) {
            // The temporary is as long as the file or longer: fetch it whole once.
            t->range_refused = true;
            retry_later(t, 0);
        } else {
            PANIC("error %lld downloading\n%s", static_cast<long long>(code), t->url.c_str());
        }
        return;
    }
    printf(" *** Got CURLcode %s\n", curl_easy_strerror(result));
    if (++t->failures == attempts || !can_succeed_later(result))
        PANIC("Error downloading. %s", curl_easy_strerror(result));
    printf(" !!! RETRYING %s\n", t->job->entry->name);
    retry_later(t, retry_delays_ms[t->failures - 1]);
}

// Drops every transfer; the temporaries stay on disk for a later resume.
void drop_all() {
    while (!in_flight.empty()) {
        transfer_t* t = in_flight.back();
        end_attempt(t);
        delete t;
    }
    for (transfer_t* t : retrying)
        delete t;
    retrying.clear();
    fresh = job_heap();
}

// --- The thread's loop -----------------------------------------------------------------------

void take_submitted() {
    SDL_LockMutex(mut);
    if (stop_requests != stops_done) {
        // Nothing is submitted while a round stops: the workers are idle.
        wanted_jobs.clear();
        SDL_UnlockMutex(mut);
        drop_all();
        SDL_LockMutex(mut);
        stops_done = stop_requests;
        SDL_CondBroadcast(jobs_changed);
    }
    for (job_t* job : wanted_jobs)
        fresh.push(job);
    wanted_jobs.clear();
    SDL_UnlockMutex(mut);
}

transfer_t* new_transfer(job_t* job) {
    auto* t = new transfer_t;
    t->job = job;
    if (job->as_is) {
        t->url = std::string(base_url) + job->entry->name;
        t->temporary = std::string("game/") + job->entry->name;
        return t;
    }
    char* temporary = temporary_path(job->entry);
    t->temporary = temporary;
    free(temporary);
    set_url(t);
    return t;
}

// Measures a transfer that ended for the round, and the round trip it shows.
void measure_ended(CURL* handle) {
    curl_off_t body = 0;
    curl_off_t asked = 0;
    curl_off_t answered = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &body);
    ++round_now.ended;
    round_now.ended_bytes += static_cast<uint64_t>(body);
    if (curl_easy_getinfo(handle, CURLINFO_PRETRANSFER_TIME_T, &asked) == CURLE_OK &&
        curl_easy_getinfo(handle, CURLINFO_STARTTRANSFER_TIME_T, &answered) == CURLE_OK && answered > asked)
        rtt_us = std::min(rtt_us, static_cast<uint64_t>(answered - asked));
}

// Ends the round when it is due and sets the limit it shows.
void end_round(uint32_t now) {
    uint32_t ms = now - round_started;
    if (rtt_us == UINT64_MAX || ms < std::max<uint64_t>(min_round_ms, 2 * rtt_us / 1000))
        return;
    round_now.ms = ms;
    transfer_limit = next_transfer_limit(transfer_limit, round_now, rtt_us);
    round_now = {};
    round_started = now;
}

// Lets each connection carry its share of the limit.
void spread_streams() {
    long streams = static_cast<long>((transfer_limit + limit_shares - 1) / limit_shares);
    if (streams == streams_per_connection)
        return;
    streams_per_connection = streams;
    CHECK(curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, streams) == CURLM_OK);
}

// Starts the attempts that are due while there is room: retries first, then the jobs in the
// order they were wanted.
void start_due(uint32_t now) {
    end_round(now);
    spread_streams();
    for (size_t i = 0; i < retrying.size() && in_flight.size() < transfer_limit;) {
        transfer_t* t = retrying[i];
        if (static_cast<int32_t>(t->retry_at - now) > 0) {
            ++i;
            continue;
        }
        retrying.erase(retrying.begin() + static_cast<std::ptrdiff_t>(i));
        start_attempt(t);
    }
    while (!fresh.empty() && in_flight.size() < transfer_limit) {
        start_attempt(new_transfer(fresh.top()));
        fresh.pop();
    }
}

// How long the thread may wait for network activity before it must look again.
int wait_ms(uint32_t now) {
    int wait = idle_wait_ms;
    if (in_flight.size() < transfer_limit)
        for (const transfer_t* t : retrying)
            wait = std::clamp(static_cast<int>(static_cast<int32_t>(t->retry_at - now)), 0, wait);
    return wait;
}

} // namespace

char* file_url(const game_file_t* entry) {
    char* escaped = str_replace(entry->name, " ", "%20");
    CHECK(escaped != nullptr);
    std::string url = std::string(base_url) + escaped + ".zs";
    free(escaped);
    // The listed digest as a query: static hosts ignore it, and caches keep each version of a
    // file under its own key, so no cache can answer with another version's bytes.
    if (entry->hash != nullptr)
        url += std::string("?") + entry->hash;
    return strdup(url.c_str());
}

char* patch_url(const game_file_t* entry, const char* base) {
    char name[patch_name_size];
    patch_name(base, entry->hash, name);
    return str_concat(base_url, name);
}

char* target_path(const game_file_t* entry) { return str_concat("game/", entry->name); }

char* temporary_path(const game_file_t* entry) {
    std::string path = std::string("game/") + entry->name + ".zs";
    return strdup(path.c_str());
}

void download_init() {
    CHECK(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK);
    multi = curl_multi_init();
    CHECK(multi != nullptr);
    CHECK(curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) == CURLM_OK);
    CHECK(curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, max_host_connections) == CURLM_OK);
}

void download_cleanup() {
    for (CURL* handle : idle_handles)
        curl_easy_cleanup(handle);
    idle_handles.clear();
    curl_multi_cleanup(multi);
    multi = nullptr;
    curl_global_cleanup();
}

void transfer_submit(job_t* job) {
    job->step = job_step::wanted;
    job->progress.store(0.0f, std::memory_order_relaxed);
    wanted_jobs.push_back(job);
    curl_multi_wakeup(multi);
}

void transfer_stop_all() {
    uint64_t request = ++stop_requests;
    curl_multi_wakeup(multi);
    while (stops_done < request && running.load())
        SDL_CondWaitTimeout(jobs_changed, mut, idle_wait_ms);
}

size_t next_transfer_limit(size_t limit, const transfer_round& round, uint64_t rtt_us) {
    if (round.ended == 0 || round.ms == 0 || round.ended_bytes == 0)
        return limit; // no file ended to tell the files' size
    double per_second = static_cast<double>(round.bytes) * 1000.0 / round.ms;
    double mean_file = static_cast<double>(round.ended_bytes) / round.ended;
    double per_round_trip = per_second * static_cast<double>(rtt_us) / 1e6 / mean_file;
    return std::max(limit, static_cast<size_t>(std::min(2 * per_round_trip, double{max_transfers})));
}

bool download(job_t* job) {
    job->for_coordinator = true;
    SDL_LockMutex(mut);
    transfer_submit(job);
    while (job->step != job_step::fetched && running.load())
        SDL_CondWaitTimeout(jobs_changed, mut, idle_wait_ms);
    bool fetched = job->step == job_step::fetched;
    SDL_UnlockMutex(mut);
    return fetched;
}

int transfer_thread_fn(void*) {
    while (running.load()) {
        take_submitted();
        start_due(SDL_GetTicks());
        int still_running = 0;
        CHECK(curl_multi_perform(multi, &still_running) == CURLM_OK);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            transfer_t* t = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
            measure_ended(message->easy_handle);
            finish_attempt(t, message->data.result);
        }
        // The room that ended transfers left is filled now: waiting for the network first would
        // idle the link whenever every transfer in flight ended at once (a fast server, small files).
        start_due(SDL_GetTicks());
        CHECK(curl_multi_poll(multi, nullptr, 0, wait_ms(SDL_GetTicks()), nullptr) == CURLM_OK);
    }
    drop_all();
    return 0;
}
