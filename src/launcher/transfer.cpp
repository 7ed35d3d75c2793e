// The transfer thread: every wanted file's "<name>.zs" from the update server at once, over a
// few connections (HTTP/2 streams where the server offers them), through libcurl's multi
// interface on this one thread. Decompression and verification stay with the workers, so the
// next request goes out while earlier files are still being installed.
//
// A job whose local copy is known (its SHA-1) asks first for the patch from that copy to the
// listed content, "<base URL>.patches/<old SHA-1>-<new SHA-1>.zst"; a server without it (any
// answer but the patch) is asked for the whole file, "<name>.zs?<SHA-1>". A job whose large local
// copy may hold most of the file asks, before the whole file, for the index of its chunks,
// "<base URL>.chunks/<SHA-1>.index" (chunk_install.cpp fetches the chunks).
//
// A transfer writes into the temporary file "game/<name>.zs" (the coordinator's own fetches:
// into memory). The temporary starts with a header of its own, a zstd skippable frame (so the
// file stays a valid zstd stream) recording what follows (the whole file, or a patch from which
// base) and the server's validator of it: its ETag, else its Last-Modified date. A transfer
// that breaks, in this run or an earlier one, continues from the bytes already there with a
// range request guarded by If-Range: a file that changed on the server comes whole, and the
// temporary starts over.
//
// No answer is taken whole before it is judged: a body longer than its cap (answer_cap, a chunk
// index's chunk_index_limit, or the coordinator's `max_body`) is cut at once and its temporary
// removed; a 206 that does not start where the launcher asked is refused and the file asked for
// whole; an error page is read up to `max_error_page` bytes.
//
// A failed attempt, an answer that a busy server gives (408, 429, 500, 502, 503, 504), and an
// attempt whose rate stays below the floor for a window while the whole link's does too
// (below_rate_floor), are tried again after a pause that doubles each time (0.5 s, 1 s, 2 s,
// ..., about a minute in all), or after the server's Retry-After up to a minute; an attempt that
// brought the transfer further than any before it starts the count anew (a slow one does not,
// or a server trickling bytes would keep the transfer going for ever). Then, and at once for
// another HTTP status or a server whose certificate is not trusted, the transfer fails: the
// coordinator learns why, in the player's words (update_failure), and decides what follows.
//
// With mirrors (several update URLs), a transfer starts on the server that answered last; a
// connection that cannot be made, a server that stays busy through the attempts, or a 404 for
// the file moves it at once to the next server not tried yet. A patch or a chunk index that one
// server lacks is not looked for on the others: the same server is asked for the next way, at
// last the whole file (which does move on); a chunk that one server lacks is asked of the next.
// Every server is trusted as the first: with keys, the signed list binds what any of them may
// install.
#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "format/chunks.h"
#include "format/patch.h"
#include "launcher/launcher.h"
#include "platform/platform.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

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
constexpr uint32_t max_retry_after_ms = 60000; // a longer Retry-After is waited for this long
constexpr long connect_timeout_ms = 15000;
constexpr long min_connect_timeout_ms = 1000; // within a time budget, an attempt gets at least this
// The body of an answer other than the file, read and dropped.
constexpr uint64_t max_error_page = 64 << 10;
constexpr int idle_wait_ms = 100;
constexpr long http_range_not_satisfiable = 416;
constexpr long busy_statuses[] = {408, 429, 500, 502, 503, 504}; // worth another attempt
constexpr long missing_statuses[] = {404, 410};
constexpr const char* proxy_variables[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};

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
    server_list* servers;     // the job's, or the update servers
    size_t server = 0;        // the server asked now
    size_t servers_tried = 1; // this one and the ones before it, from `first_server` on
    size_t first_server = 0;
    std::vector<size_t> asked; // the servers asked before this one
    std::string url;
    std::string temporary;
    CURL* handle = nullptr;
    curl_slist* headers = nullptr;
    FILE* file = nullptr;
    std::string proxy;     // the proxy the transfer goes through (network_settings); empty: none
    int failures = 0;      // since the transfer last got further than ever before
    uint32_t retry_at = 0; // tick before which the next attempt does not start
    uint32_t retry_after_ms = 0; // the server's Retry-After of this attempt's answer; 0: none
    uint64_t furthest = 0;       // the most body bytes any attempt has brought
    bool range_refused = false;  // the server refused our range once: start over
    uint64_t resume_from = 0;    // bytes of the body already in the temporary
    std::string etag;            // of the response being received
    std::string last_modified;
    bool answered = false;    // the body of this attempt's response has begun
    bool keep_body = false;   // the body goes into the temporary (200, or 206 when resuming)
    uint64_t body_at = 0;     // the body's bytes before the next one received
    uint64_t cap = 0;         // the most bytes the body may have, the resumed ones included
    int64_t range_start = -1; // where the response's Content-Range starts; -1: none
    uint64_t dropped = 0;     // bytes of an error page read
    // Why the attempt was cut short: its body passed the cap, its range did not start where asked,
    // its error page ran long, its rate stayed below the floor.
    bool over_cap = false;
    bool range_moved = false;
    bool page_cut = false;
    bool too_slow = false;
    // The rate floor's window: opened by the attempt's first byte, headers included.
    bool window_open = false;
    uint32_t window_start = 0;
    uint64_t window_bytes = 0;      // this attempt's bytes in the window
    uint64_t window_link_bytes = 0; // `link_bytes` when the window opened
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
uint64_t link_bytes = 0; // every byte any transfer received, headers included; transfer thread only
// Transfer thread only: how many transfers may be in flight (set_transfer_limit), the round being
// measured and the least time an answer took to begin.
size_t transfer_limit = 0;
transfer_round round_now{};
uint32_t round_started = 0;
uint64_t rtt_us = UINT64_MAX;
uint64_t stop_requests = 0; // under `mut`: raised by transfer_stop_all
uint64_t stops_done = 0;    // under `mut`: the transfer thread's answer

// --- The temporary file's header -------------------------------------------------------------

void put_le32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_le32(const uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// A validator goes back to the server in a request header: one with a control character (a
// bare CR would end that header early) is dropped.
bool clean_validator(std::string_view validator) {
    return std::none_of(validator.begin(), validator.end(),
                        [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// Whether `t` asks for the patch from the local copy rather than the whole file.
bool asks_patch(const transfer_t* t) {
    return t->job->patch_base[0] != '\0';
}

// What the temporary of `t` holds, as its header says it.
std::string header_kind(const transfer_t* t) {
    return asks_patch(t)        ? std::string("patch ") + t->job->patch_base
           : t->job->ask_chunks ? "chunks"
                                : "whole";
}

void write_header(transfer_t* t, const std::string& validator) {
    uint8_t header[transfer_header_size] = {};
    put_le32(header, skippable_magic);
    put_le32(header + 4, transfer_header_size - frame_preamble);
    memcpy(header + frame_preamble, header_tag.data(), header_tag.size());
    std::string text =
        header_kind(t) + "\n" + (validator.size() <= max_validator ? validator : "") + "\n";
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
    if (end == 0 || end == std::string_view::npos || !clean_validator(lines.substr(0, end)))
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
    // An answer came: the status line's notice of a retry no longer holds.
    SDL_LockMutex(mut);
    if (notice_retry_at != 0) {
        status_notice[0] = '\0';
        notice_retry_at = 0;
    }
    SDL_UnlockMutex(mut);
    bool whole = code == http_ok;
    if (!whole && !(code == http_partial && t->resume_from > 0))
        return; // an error page: kept nowhere, the status is reported when it ends
    if (!whole && t->range_start != static_cast<int64_t>(t->resume_from)) {
        log_printf("the server sent %s from byte %lld where the launcher asked for byte %" PRIu64
                   "; fetching it whole\n",
                   t->job->entry->name, static_cast<long long>(t->range_start), t->resume_from);
        t->range_moved = true;
        return;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(t->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length >= 0 && (whole ? 0 : t->resume_from) + static_cast<uint64_t>(length) > t->cap) {
        t->over_cap = true; // said before the body: nothing of it is kept
        return;
    }
    if (t->job->body != nullptr) {
        t->job->body->clear(); // kept in memory, never resumed: a body starts over
        t->resume_from = 0;
    } else if (int error = open_file_patiently(t->temporary.c_str(), whole ? "wb" : "ab", &t->file);
               error != 0) {
        FAIL_FILE_CODE("create", t->temporary.c_str(), error);
    } else if (whole) {
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

// Counts what arrived towards the rate floor's window, which the first byte opens.
void count_received(transfer_t* t, size_t bytes) {
    if (!t->window_open) {
        t->window_open = true;
        t->window_start = SDL_GetTicks();
        t->window_link_bytes = link_bytes;
    }
    t->window_bytes += bytes;
    link_bytes += bytes;
}

size_t curl_write_cb(char* data, size_t item_size, size_t item_count, void* user) {
    auto* t = static_cast<transfer_t*>(user);
    size_t bytes = item_size * item_count;
    count_received(t, bytes);
    if (!t->answered)
        begin_body(t);
    // Returning less than `bytes` ends the transfer at once (CURLE_WRITE_ERROR): nothing past a
    // cap is written or read.
    if (t->keep_body && t->body_at + bytes > t->cap)
        t->over_cap = true;
    if (!t->keep_body && (t->dropped += bytes) > max_error_page)
        t->page_cut = true;
    if (t->over_cap || t->range_moved || t->page_cut)
        return 0;
    if (t->keep_body && t->job->body != nullptr)
        t->job->body->append(data, bytes);
    else if (t->keep_body && fwrite(data, 1, bytes, t->file) != bytes)
        FAIL_FILE_ERRNO("write", t->temporary.c_str());
    if (t->keep_body && !pass_to_hook(t, data, bytes))
        return 0; // ends the transfer with CURLE_WRITE_ERROR
    round_now.bytes += bytes;
    stats.bytes_this_second.fetch_add(bytes);
    stats.bytes_total.fetch_add(bytes);
    return bytes;
}

// Keeps the validator of the response being received (a redirect or an interim response
// starts a new one). Weak ETags cannot guard a range.
size_t curl_header_cb(char* data, size_t item_size, size_t item_count, void* user) {
    auto* t = static_cast<transfer_t*>(user);
    size_t bytes = item_size * item_count;
    count_received(t, bytes);
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
        t->retry_after_ms = 0;
        t->range_start = -1;
    } else if (std::string_view range = value_of("content-range:"); range.starts_with("bytes ")) {
        // "bytes <first>-<last>/<length>": where the part starts.
        std::string text(range.substr(6));
        char* end = nullptr;
        long long start = strtoll(text.c_str(), &end, 10);
        t->range_start = end != text.c_str() && *end == '-' && start >= 0 ? start : -1;
    } else if (std::string_view wait = value_of("retry-after:"); !wait.empty()) {
        // Seconds, or the date after which to ask again.
        std::string text(wait);
        char* end = nullptr;
        unsigned long seconds = strtoul(text.c_str(), &end, 10);
        time_t date = *end == '\0' ? 0 : curl_getdate(text.c_str(), nullptr);
        if (*end != '\0')
            seconds = date > time(nullptr) ? static_cast<unsigned long>(date - time(nullptr)) : 0;
        t->retry_after_ms = static_cast<uint32_t>(
            std::min<unsigned long>(seconds, max_retry_after_ms / 1000) * 1000);
    } else if (std::string_view etag = value_of("etag:");
               !etag.empty() && !etag.starts_with("W/")) {
        t->etag = clean_validator(etag) ? etag : "";
    } else if (std::string_view date = value_of("last-modified:"); !date.empty()) {
        t->last_modified = clean_validator(date) ? date : "";
    }
    return bytes;
}

// Whether the attempt of `t` is too slow: judged once a window since its first byte, the
// window then starting anew.
bool judge_rate(transfer_t* t) {
    uint32_t now = SDL_GetTicks();
    if (!t->window_open || now - t->window_start < launcher_rate_window_ms)
        return false;
    bool slow =
        below_rate_floor(t->window_bytes, link_bytes - t->window_link_bytes, now - t->window_start);
    t->window_start = now;
    t->window_bytes = 0;
    t->window_link_bytes = link_bytes;
    return slow;
}

// Called about once a second even while nothing arrives; a non-zero return ends the transfer.
int curl_progress_cb(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t,
                     curl_off_t) {
    auto* t = static_cast<transfer_t*>(user);
    if (download_total > 0) {
        double done = static_cast<double>(t->resume_from) + static_cast<double>(download_now);
        double total = static_cast<double>(t->resume_from) + static_cast<double>(download_total);
        t->job->progress.store(static_cast<float>(done / total), std::memory_order_relaxed);
    }
    if (judge_rate(t))
        t->too_slow = true;
    return running.load(std::memory_order_relaxed) && !t->too_slow ? 0 : 1;
}

// --- Attempts --------------------------------------------------------------------------------

template <typename T> void set_option(CURL* curl, CURLoption option, T value) {
    CURLcode result = curl_easy_setopt(curl, option, value);
    if (result != CURLE_OK)
        PANIC("Cannot set option %d of a transfer: %s", static_cast<int>(option),
              curl_easy_strerror(result));
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

// What every request carries besides its own URL, worked out before the first: the proxy (the
// one place that decides it, for the requests and for the player's sentences), the authorities
// trusted (the bundle, and on Windows its root store, so that an old bundle cannot lock players
// out), the User-Agent. Transfer thread only.
struct network_settings {
    // The proxy the requests go through: the one the system's settings name for the update URL
    // (Windows), else the one libcurl takes from the environment itself; empty: none.
    std::string proxy;
    bool system_proxy;       // `proxy` is the system's, set on every request
    std::string authorities; // PEM; empty: the bundle's file alone
};

const network_settings& network() {
    static const network_settings settings = [] {
        network_settings n;
        // The first server's proxy holds for every server (their bypass rules rarely differ).
        const char* base_url = update_servers.urls.front().c_str();
        n.proxy = platform_system_proxy(base_url);
        n.system_proxy = !n.proxy.empty();
        if (n.system_proxy)
            log_printf("using the system's proxy %s for %s\n", n.proxy.c_str(), base_url);
        for (const char* variable : proxy_variables)
            if (const char* value = getenv(variable);
                value != nullptr && value[0] != '\0' && n.proxy.empty())
                n.proxy = value;
        std::string roots = platform_system_root_certificates();
        FILE* bundle = nullptr;
        if (!roots.empty() && open_file_patiently(ca_bundle_name, "rb", &bundle) == 0) {
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
        set_option(curl, CURLOPT_CAINFO, ca_bundle_name);
    } else {
        curl_blob blob{const_cast<char*>(n.authorities.data()), n.authorities.size(),
                       CURL_BLOB_NOCOPY};
        set_option(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
    if (n.system_proxy) {
        set_option(curl, CURLOPT_PROXY, n.proxy.c_str());
        set_option(curl, CURLOPT_NOPROXY, ""); // the system's bypass list has been applied
    }
    // An unreachable revocation server (networks that block them are common) is no failure.
    set_option(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
    set_option(curl, CURLOPT_USERAGENT, launcher_user_agent);
}

void start_attempt(transfer_t* t) {
    if (t->failures == 0 && !t->range_refused)
        t->job->started = SDL_GetTicks();
    std::string validator;
    bool resumable = !t->job->for_coordinator && !t->range_refused;
    t->resume_from = resumable ? read_header(t, &validator) : 0;
    t->answered = false;
    t->keep_body = false;
    t->range_start = -1;
    t->dropped = 0;
    t->over_cap = t->range_moved = t->page_cut = t->too_slow = t->window_open = false;
    t->etag.clear();
    t->last_modified.clear();
    t->retry_after_ms = 0;
    t->proxy = network().proxy;
    if (t->job->body == nullptr)
        make_parent_directories(t->temporary.c_str());

    CURL* curl = t->handle = take_handle();
    std::string range;
    if (t->resume_from > 0) {
        range = std::to_string(t->resume_from) + "-";
        log_printf("resuming %s at byte %" PRIu64 "\n", t->job->entry->name, t->resume_from);
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
    // more stream rather than open another. Not within a time budget: waiting for
    // another transfer's connection, whose server never answers, would start this
    // one's connection timeout only once that one ran out (the lists of a start
    // with a record then gave up after twice the budget).
    set_option(curl, CURLOPT_PIPEWAIT, t->job->give_up_at == 0 ? 1L : 0L);
    // No signals in a threaded program; only HTTPS; a dead server or a stalled
    // transfer fails the attempt instead of hanging it.
    set_option(curl, CURLOPT_NOSIGNAL, 1L);
    set_option(curl, CURLOPT_PROTOCOLS_STR, "https");
    // Within the job's time budget, an unreachable server takes no longer than the budget.
    long connect_ms = connect_timeout_ms;
    if (t->job->give_up_at != 0)
        connect_ms =
            std::clamp(static_cast<long>(static_cast<int32_t>(t->job->give_up_at - SDL_GetTicks())),
                       min_connect_timeout_ms, connect_timeout_ms);
    set_option(curl, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
    set_option(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    set_option(curl, CURLOPT_LOW_SPEED_TIME, launcher_stall_seconds);
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

void succeed(transfer_t* t, long code) {
    job_t* job = t->job;
    job->status = code;
    job->server = t->server;
    t->servers->preferred.store(t->server);
    job->progress.store(1.0f, std::memory_order_relaxed);
    SDL_LockMutex(mut);
    job->step = job_step::fetched;
    if (!job->for_coordinator)
        fetched_jobs.push_back(job);
    SDL_CondBroadcast(jobs_changed);
    SDL_UnlockMutex(mut);
    delete t;
}

const char* host_of(const transfer_t* t) {
    return t->servers->hosts[t->server].c_str();
}

// The most bytes the answer `t` asks for now may have: the coordinator's own fetch's cap, a
// chunk index's, or the listed file's (whole or as a patch).
uint64_t cap_of(const transfer_t* t) {
    const job_t* job = t->job;
    if (job->for_coordinator)
        return job->max_body != 0 ? job->max_body : list_answer_limit;
    return !asks_patch(t) && job->ask_chunks ? chunk_index_limit : answer_cap(job->entry->size);
}

// The patch from the local copy when the worker asked for one, then the index of the file's
// chunks when it asked for them, else the whole file; the file of the server's own as it is
// named. The answer's cap goes with what is asked.
void set_url(transfer_t* t) {
    const char* base = t->servers->urls[t->server].c_str();
    t->cap = cap_of(t);
    if (t->job->as_is) {
        t->url = std::string(base) + t->job->entry->name;
        return;
    }
    char* url = asks_patch(t)        ? patch_url(t->job->entry, t->job->patch_base, base)
                : t->job->ask_chunks ? chunk_index_url(t->job->entry, base)
                                     : file_url(t->job->entry, base);
    t->url = url;
    free(url);
}

// The transfer gives up: the coordinator learns why (the first failure wins) and decides.
void fail(transfer_t* t, const char* report) {
    note_job_failure(t->job, report);
    SDL_LockMutex(mut);
    t->job->step = job_step::failed;
    SDL_CondBroadcast(jobs_changed);
    SDL_UnlockMutex(mut);
    delete t;
}

void retry_later(transfer_t* t, uint32_t delay_ms) {
    t->retry_at = SDL_GetTicks() + delay_ms;
    retrying.push_back(t);
}

// Moves `t` at once to the next of its servers not tried yet and not found down; false when
// there is none.
bool try_next_server(transfer_t* t) {
    size_t count = t->servers->urls.size();
    size_t next = t->server;
    do {
        if (t->servers_tried >= count)
            return false;
        next = (t->first_server + t->servers_tried++) % count;
    } while (t->servers->down[next]);
    const char* left = host_of(t);
    t->asked.push_back(t->server);
    t->server = next;
    t->failures = 0;
    t->range_refused = false;
    log_printf("trying %s on %s instead of %s\n", t->job->entry->name, host_of(t), left);
    set_url(t);
    retry_later(t, 0);
    return true;
}

// The player's sentence for a failure, naming every server tried when there were several.
std::string sentence_for(const transfer_t* t, failure_cause cause, const char* name,
                         const char* proxy, long status) {
    std::string sentence = failure_sentence(cause, name, proxy, status, host_of(t));
    if (!t->asked.empty()) {
        sentence += " The launcher tried the servers ";
        for (size_t server : t->asked)
            sentence += t->servers->hosts[server] + (server == t->asked.back() ? " and " : ", ");
        sentence += std::string(host_of(t)) + ".";
    }
    return sentence;
}

// After a failed attempt: another one after the back-off, unless the attempts or the job's
// time budget are used up; `report` is the failure's, `reason` what the status line says.
void try_again(transfer_t* t, const char* report, const char* reason) {
    // An attempt that brought the transfer further than any before it starts the count anew:
    // a long download over a link that drops now and then gets there. A slow one does not.
    if (!t->too_slow && t->body_at > t->furthest) {
        t->furthest = t->body_at;
        t->failures = 0;
    }
    ++t->failures;
    uint32_t delay = retry_delay_ms(t->failures, t->retry_after_ms);
    uint32_t now = SDL_GetTicks();
    bool out_of_time =
        t->job->give_up_at != 0 && static_cast<int32_t>(now + delay - t->job->give_up_at) > 0;
    if (t->failures == attempts && !out_of_time && try_next_server(t))
        return;
    if (t->failures == attempts || out_of_time) {
        fail(t, report);
        return;
    }
    log_printf(" !!! RETRYING %s: %s\n", t->job->entry->name, reason);
    show_notice(now + delay, "Cannot reach %s: %s; trying again in", host_of(t), reason);
    retry_later(t, delay);
}

// The name a sentence gives the transfer's file: null for the file list.
const char* sentence_name(const transfer_t* t) {
    return t->job->for_coordinator && !t->job->as_is ? nullptr : t->job->entry->name;
}

// An answer other than the file: tried again when a busy server gave it, else the end.
void failed_status(transfer_t* t, long code) {
    failure_cause cause = classify_status(code);
    if (cause == failure_cause::missing && try_next_server(t))
        return;
    char report[report_size];
    FORMAT_REPORT(report, sizeof report,
                  sentence_for(t, cause, sentence_name(t), nullptr, code).c_str(),
                  "error %lld downloading\n%s", static_cast<long long>(code), t->url.c_str());
    if (worth_another_attempt(cause))
        try_again(t, report, ("the server answered " + std::to_string(code)).c_str());
    else
        fail(t, report);
}

// Patches and chunks are optional: a server without the one asked for (or with one past its
// cap: `why` says which) is asked next for the index of the file's chunks when the worker wanted
// them, else for the whole file.
void skip_optional(transfer_t* t, const char* why) {
    job_t* job = t->job;
    if (asks_patch(t)) {
        log_printf("no patch for %s %s; %s\n", job->entry->name, why,
                   job->ask_chunks ? "asking for its chunks" : "fetching it whole");
        job->patch_base[0] = '\0';
    } else {
        log_printf("no chunks for %s %s; fetching it whole\n", job->entry->name, why);
        job->ask_chunks = false;
    }
    set_url(t);
    retry_later(t, 0);
}

// An answer past its cap, its temporary removed: the coordinator judges its own fetches; a
// patch or an index gives way; a file is one that does not match the list (which may have
// changed under the download: the coordinator decides).
void refuse_oversized(transfer_t* t, long code) {
    job_t* job = t->job;
    log_printf("the answer for %s passed its cap of %" PRIu64 " bytes: refused\n", job->entry->name,
               t->cap);
    if (job->for_coordinator) {
        job->over_cap = true;
        succeed(t, code);
        return;
    }
    remove_entry(t->temporary.c_str());
    if (asks_patch(t) || job->ask_chunks) {
        skip_optional(t, "that its size allows");
        return;
    }
    char problem[sizeof mismatch_problem];
    snprintf(problem, sizeof problem,
             "%s.zs is longer than %" PRIu64 " bytes compress to (more than %" PRIu64 " bytes)",
             job->entry->name, job->entry->size, t->cap);
    note_mismatch(job, problem);
    delete t;
}

void finish_attempt(transfer_t* t, CURLcode result) {
    long code = 0;
    long proxy_answer = 0;
    curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_getinfo(t->handle, CURLINFO_HTTP_CONNECTCODE, &proxy_answer);
    end_attempt(t);
    if (t->over_cap) {
        refuse_oversized(t, code);
        return;
    }
    if (t->range_moved) { // the temporary stays as it was; the next attempt asks for the whole file
        t->range_refused = true;
        retry_later(t, 0);
        return;
    }
    if (t->too_slow) {
        char report[report_size];
        FORMAT_REPORT(report, sizeof report,
                      sentence_for(t, failure_cause::slow, sentence_name(t), nullptr, 0).c_str(),
                      "less than %" PRIu64 " bytes a second for %u s\n%s", rate_floor,
                      launcher_rate_window_ms / 1000, t->url.c_str());
        try_again(t, report, "it sends too slowly");
        return;
    }
    if (result == CURLE_ABORTED_BY_CALLBACK) { // the window was closed
        delete t;
        return;
    }
    if (t->page_cut) // an error page read as far as it matters: its status decides
        result = CURLE_OK;
    bool busy = result == CURLE_OK && classify_status(code) == failure_cause::busy;
    if (t->job->as_is && !busy && (result == CURLE_OK || result == CURLE_WRITE_ERROR)) {
        // A chunk one server lacks may be on the next; the caller judges any other answer, and
        // a body its hook refused.
        if (t->job->on_any_server && result == CURLE_OK &&
            classify_status(code) == failure_cause::missing && try_next_server(t))
            return;
        succeed(t, code);
        return;
    }
    if (result == CURLE_OK) {
        if (code == http_ok || (code == http_partial && t->resume_from > 0)) {
            succeed(t, code);
        } else if (code == http_range_not_satisfiable && t->resume_from > 0 && !t->range_refused) {
            // The temporary is as long as the file (or the patch) or longer: fetch it whole once.
            t->range_refused = true;
            retry_later(t, 0);
        } else if (asks_patch(t) || t->job->ask_chunks) {
            skip_optional(
                t, ("on " + std::string(host_of(t)) + " (" + std::to_string(code) + ")").c_str());
        } else {
            failed_status(t, code);
        }
        return;
    }
    log_printf(" *** Got CURLcode %s\n", curl_easy_strerror(result));
    failure_cause cause = classify_result(result, !t->proxy.empty(), proxy_answer);
    // A server that cannot be reached, or cannot prove it is the vendor's: the next one at once.
    bool server_fault = cause == failure_cause::unreachable ||
                        cause == failure_cause::no_such_host || cause == failure_cause::certificate;
    if (server_fault && t->servers->urls.size() > 1)
        t->servers->down[t->server] = true;
    if (server_fault && try_next_server(t))
        return;
    char report[report_size];
    FORMAT_REPORT(report, sizeof report,
                  sentence_for(t, cause, sentence_name(t), t->proxy.c_str(), proxy_answer).c_str(),
                  "Error downloading. %s", curl_easy_strerror(result));
    // A bundle of authorities that cannot be read is this installation's fault, not the network's.
    if (cause == failure_cause::bundle)
        report_fatal(report);
    if (worth_another_attempt(cause))
        try_again(t, report, curl_easy_strerror(result));
    else
        fail(t, report);
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
    job->over_cap = false;
    t->servers = job->servers != nullptr ? job->servers : &update_servers;
    t->server = t->first_server = t->servers->preferred.load() % t->servers->urls.size();
    char* temporary =
        job->as_is ? str_concat("game/", job->entry->name) : temporary_path(job->entry);
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
        curl_easy_getinfo(handle, CURLINFO_STARTTRANSFER_TIME_T, &answered) == CURLE_OK &&
        answered > asked)
        rtt_us = std::min(rtt_us, static_cast<uint64_t>(answered - asked));
}

// Makes `limit` the limit, each connection carrying its share.
void set_transfer_limit(size_t limit) {
    transfer_limit = limit;
    long streams = static_cast<long>((limit + limit_shares - 1) / limit_shares);
    CHECK(curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, streams) == CURLM_OK);
}

// Ends the round when it is due and sets the limit it shows.
void end_round(uint32_t now) {
    uint32_t ms = now - round_started;
    if (rtt_us == UINT64_MAX || ms < std::max<uint64_t>(min_round_ms, 2 * rtt_us / 1000))
        return;
    round_now.ms = ms;
    set_transfer_limit(next_transfer_limit(transfer_limit, round_now, rtt_us));
    round_now = {};
    round_started = now;
}

// Starts the attempts that are due while there is room: retries first, then the jobs in the
// order they were wanted.
void start_due(uint32_t now) {
    end_round(now);
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

server_list& update_servers = *new server_list;
server_list& own_servers = *new server_list;

void parse_servers(const char* urls, server_list* list) {
    for (std::string_view rest = urls; !rest.empty();) {
        std::string_view url = rest.substr(0, rest.find(','));
        rest.remove_prefix(std::min(url.size() + 1, rest.size()));
        // "https://<host>[:port]/...": what the player's sentences call the server.
        std::string_view host = url.substr(std::min(url.find("://") + 3, url.size()));
        list->urls.emplace_back(url);
        list->hosts.emplace_back(host.substr(0, host.find('/')));
        list->down.push_back(false);
    }
}

namespace {

const std::string& preferred(const server_list& servers, size_t answered = SIZE_MAX) {
    return servers
        .urls[answered != SIZE_MAX ? answered : servers.preferred.load() % servers.urls.size()];
}

} // namespace

const char* job_base_url(const job_t* job) {
    const server_list& servers = job->servers != nullptr ? *job->servers : update_servers;
    return preferred(servers, job->step == job_step::fetched ? job->server : SIZE_MAX).c_str();
}

char* file_url(const game_file_t* entry, const char* server) {
    char* escaped = str_replace(entry->name, " ", "%20");
    CHECK(escaped != nullptr);
    std::string url = (server != nullptr ? server : preferred(update_servers)) + escaped + ".zs";
    free(escaped);
    // The listed digest as a query: static hosts ignore it, and caches keep each version of a
    // file under its own key, so no cache can answer with another version's bytes.
    if (entry->hash != nullptr)
        url += std::string("?") + entry->hash;
    return strdup(url.c_str());
}

char* patch_url(const game_file_t* entry, const char* base, const char* server) {
    char name[patch_name_size];
    patch_name(base, entry->hash, name);
    return str_concat(server != nullptr ? server : preferred(update_servers).c_str(), name);
}

char* chunk_index_url(const game_file_t* entry, const char* server) {
    char name[chunk_name_size];
    chunk_index_name(entry->hash, name);
    return str_concat(server != nullptr ? server : preferred(update_servers).c_str(), name);
}

char* target_path(const game_file_t* entry) {
    return str_concat("game/", entry->name);
}

char* temporary_path(const game_file_t* entry) {
    std::string path = std::string("game/") + entry->name + ".zs";
    return strdup(path.c_str());
}

const char* update_host() {
    return update_servers.hosts[update_servers.preferred.load() % update_servers.hosts.size()]
        .c_str();
}

failure_cause classify_result(int curl_result, bool through_proxy, long proxy_answer) {
    switch (static_cast<CURLcode>(curl_result)) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return failure_cause::no_such_host;
    case CURLE_COULDNT_RESOLVE_PROXY:
        return failure_cause::proxy_unreachable;
    case CURLE_PEER_FAILED_VERIFICATION:
        return failure_cause::certificate;
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
        return failure_cause::bundle;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return failure_cause::refused;
    default:
        break;
    }
    // Through a proxy: an answer of its own to the request for a tunnel is its refusal, and a
    // connection that never came is the proxy's, not the server's.
    if (through_proxy && (proxy_answer >= 300 || curl_result == CURLE_PROXY))
        return failure_cause::proxy_refused;
    if (through_proxy && proxy_answer == 0 &&
        (curl_result == CURLE_COULDNT_CONNECT || curl_result == CURLE_OPERATION_TIMEDOUT))
        return failure_cause::proxy_unreachable;
    return failure_cause::unreachable;
}

failure_cause classify_status(long status) {
    if (std::find(std::begin(busy_statuses), std::end(busy_statuses), status) !=
        std::end(busy_statuses))
        return failure_cause::busy;
    if (std::find(std::begin(missing_statuses), std::end(missing_statuses), status) !=
        std::end(missing_statuses))
        return failure_cause::missing;
    return failure_cause::refused;
}

bool worth_another_attempt(failure_cause cause) {
    return cause != failure_cause::certificate && cause != failure_cause::bundle &&
           cause != failure_cause::missing && cause != failure_cause::refused;
}

std::string failure_sentence(failure_cause cause, const char* name, const char* proxy, long status,
                             const char* host) {
    if (host == nullptr)
        host = update_host();
    constexpr const char* later =
        "the vendor's server is being updated or is damaged; try again later.";
    constexpr const char* connection =
        "Check that this computer is connected to the Internet, then start the "
        "launcher again.";
    std::string what = name != nullptr ? std::string("the file ") + name : "the file list";
    char text[1024];
    switch (cause) {
    case failure_cause::unreachable:
        snprintf(text, sizeof text, "Cannot reach the update server %s. %s", host, connection);
        break;
    case failure_cause::no_such_host:
        snprintf(text, sizeof text,
                 "Cannot find the update server %s (its name is not known here). %s", host,
                 connection);
        break;
    case failure_cause::proxy_unreachable:
        snprintf(text, sizeof text,
                 "Cannot reach the proxy %s, through which this computer connects to the "
                 "Internet. Check the proxy settings, then start the launcher again.",
                 proxy);
        break;
    case failure_cause::proxy_refused:
        snprintf(text, sizeof text,
                 "The proxy %s refused the connection to the update server %s (it answered %ld). "
                 "Check the proxy settings, then start the launcher again.",
                 proxy, host, status);
        break;
    case failure_cause::certificate:
        snprintf(text, sizeof text,
                 "The update server %s could not prove that it is the vendor's. Check that this "
                 "computer's date and time are right; security software, or a network that "
                 "intercepts connections "
                 "(at work, at school, in a hotel), can also cause this.",
                 host);
        break;
    case failure_cause::bundle:
        snprintf(text, sizeof text,
                 "The launcher's list of certificate authorities (curl-ca-bundle.crt) is missing "
                 "or damaged. Install the launcher again.");
        break;
    case failure_cause::busy:
        snprintf(text, sizeof text,
                 "The update server %s is overloaded or down (it answered %ld). Start the "
                 "launcher again later.",
                 host, status);
        break;
    case failure_cause::missing:
        snprintf(text, sizeof text, "The update server lacks %s: %s", what.c_str(), later);
        break;
    case failure_cause::refused:
        snprintf(text, sizeof text, "The update server did not send %s (it answered %ld): %s",
                 what.c_str(), status, later);
        break;
    case failure_cause::slow:
        snprintf(text, sizeof text,
                 "The update server %s sends %s too slowly to finish (less than %" PRIu64
                 " bytes a "
                 "second for %u s). %s",
                 host, what.c_str(), rate_floor, launcher_rate_window_ms / 1000, connection);
        break;
    }
    return text;
}

uint32_t retry_delay_ms(int failures, uint32_t retry_after_ms) {
    uint32_t pause =
        retry_delays_ms[std::clamp(failures, 1, static_cast<int>(std::size(retry_delays_ms))) - 1];
    return std::max(pause, std::min(retry_after_ms, max_retry_after_ms)) / launcher_pause_divisor;
}

uint64_t answer_cap(uint64_t listed_size) {
    return listed_size < ZSTD_MAX_INPUT_SIZE ? ZSTD_compressBound(static_cast<size_t>(listed_size))
                                             : UINT64_MAX;
}

bool below_rate_floor(uint64_t attempt_bytes, uint64_t link_bytes, uint32_t elapsed_ms) {
    uint64_t floor_bytes = rate_floor * elapsed_ms / 1000;
    return attempt_bytes < floor_bytes && link_bytes < floor_bytes;
}

void download_init() {
    if (update_servers.urls.empty()) {
        parse_servers(launcher_update_urls, &update_servers);
        parse_servers(launcher_own_urls, &own_servers);
    }
    CHECK(!update_servers.urls.empty());
    CHECK(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK);
    multi = curl_multi_init();
    CHECK(multi != nullptr);
    CHECK(curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) == CURLM_OK);
    CHECK(curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, max_host_connections) ==
          CURLM_OK);
    set_transfer_limit(initial_transfer_limit);
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
    return std::max(limit,
                    static_cast<size_t>(std::min(2 * per_round_trip, double{max_transfers})));
}

fetch_result download(job_t* job) {
    job->for_coordinator = true;
    SDL_LockMutex(mut);
    transfer_submit(job);
    while (job->step != job_step::fetched && job->step != job_step::failed && running.load())
        SDL_CondWaitTimeout(jobs_changed, mut, idle_wait_ms);
    fetch_result result = job->step == job_step::fetched  ? fetch_result::fetched
                          : job->step == job_step::failed ? fetch_result::failed
                                                          : fetch_result::closed;
    SDL_UnlockMutex(mut);
    return result;
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
        // idle the link whenever every transfer in flight ended at once (a fast server, small
        // files).
        start_due(SDL_GetTicks());
        CHECK(curl_multi_poll(multi, nullptr, 0, wait_ms(SDL_GetTicks()), nullptr) == CURLM_OK);
    }
    drop_all();
    return 0;
}
