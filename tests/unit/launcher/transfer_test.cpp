// Why a transfer failed, as the player is told, and when it is tried again.
#include <curl/curl.h>

#include "launcher/launcher.h"
#include "test_util.h"

const uint32_t launcher_rate_window_ms = rate_window_ms; // as the players' launchers judge and pause
const long launcher_stall_seconds = stall_seconds;
const uint32_t launcher_pause_divisor = 1;

// libcurl's results and the server's answers: the cause, whether another attempt may mend it, and what the player reads.
TEST(Transfer, FailuresInThePlayersWords) {
    download_init(); // the update server's host, from the build's URL
    using enum failure_cause;
    const std::tuple<int, long, bool, long, failure_cause, bool, const char*> rows[] = {
        // libcurl's result (0: an answer came), the status, through a proxy, the proxy's answer; cause, retried, sentence
        {CURLE_COULDNT_CONNECT, 0, false, 0, unreachable, true, "Cannot reach the update server localhost:4443. Check that"},
        {CURLE_OPERATION_TIMEDOUT, 0, false, 0, unreachable, true, "Cannot reach the update server localhost:4443."},
        {CURLE_COULDNT_RESOLVE_HOST, 0, false, 0, no_such_host, true, "Cannot find the update server localhost:4443"},
        {CURLE_COULDNT_RESOLVE_PROXY, 0, true, 0, proxy_unreachable, true, "Cannot reach the proxy http://p:3128,"},
        {CURLE_COULDNT_CONNECT, 0, true, 0, proxy_unreachable, true, "Cannot reach the proxy http://p:3128,"},
        {CURLE_RECV_ERROR, 0, true, 407, proxy_refused, true, "The proxy http://p:3128 refused the connection to the update "
                                                              "server localhost:4443 (it answered 407)"},
        {CURLE_RECV_ERROR, 0, true, 0, unreachable, true, "Cannot reach the update server"},
        {CURLE_PEER_FAILED_VERIFICATION, 0, false, 0, certificate, false, "Check that this computer's date and time are right"},
        {CURLE_SSL_CACERT_BADFILE, 0, false, 0, bundle, false, "(curl-ca-bundle.crt) is missing or damaged"},
        {0, 503, false, 503, busy, true, "The update server localhost:4443 is overloaded or down (it answered 503)"},
        {0, 429, false, 429, busy, true, "(it answered 429)"}, {0, 408, false, 408, busy, true, "(it answered 408)"},
        {0, 504, false, 504, busy, true, "(it answered 504)"}, {0, 501, false, 501, refused, false, "(it answered 501)"},
        {0, 404, false, 404, missing, false, "The update server lacks the file data/a.pak: the vendor's server is being "
                                             "updated or is damaged; try again later."},
        {0, 410, false, 410, missing, false, "lacks the file data/a.pak"},
        {0, 301, false, 301, refused, false, "did not send the file data/a.pak (it answered 301): the vendor's server"}};
    for (const auto& [result, status, through_proxy, answer, cause, retried, sentence] : rows) {
        failure_cause found = result == 0 ? classify_status(status) : classify_result(result, through_proxy, answer);
        EXPECT_EQ(found, cause) << result << " " << status;
        EXPECT_EQ(worth_another_attempt(found), retried) << result << " " << status;
        std::string said = failure_sentence(found, "data/a.pak", "http://p:3128", answer);
        EXPECT_NE(said.find(sentence), std::string::npos) << said;
    }
    EXPECT_EQ(failure_sentence(missing, nullptr, "", 404), "The update server lacks the file list: the vendor's server "
                                                           "is being updated or is damaged; try again later.");
    EXPECT_EQ(failure_sentence(slow, nullptr, "", 0), "The update server localhost:4443 sends the file list too slowly to "
                                                      "finish (less than 1024 bytes a second for 60 s). Check that this "
                                                      "computer is connected to the Internet, then start the launcher again.");
    download_cleanup();
}

// The pause after each failed attempt doubles from 0.5 s to 32 s; a Retry-After longer than it is waited for, up to a minute.
TEST(Transfer, BackOff) {
    const std::tuple<int, uint32_t, uint32_t> rows[] = {{1, 0, 500}, {2, 0, 1000}, {3, 0, 2000}, {7, 0, 32000}, {9, 0, 32000},
                                                        {1, 3000, 3000}, {5, 3000, 8000}, {1, 120000, 60000}};
    uint32_t total = 0;
    for (int failures = 1; failures < 8; ++failures)
        total += retry_delay_ms(failures, 0);
    EXPECT_EQ(total, 63500u); // about a minute in all
    for (const auto& [failures, retry_after, pause] : rows)
        EXPECT_EQ(retry_delay_ms(failures, retry_after), pause) << failures << " " << retry_after;
}

// An answer's cap is the largest zstd stream of the listed size; an attempt is given up when it and the whole link stay
// below 1 KiB/s over the window: a slow link shared by many transfers is not, a trickle alone is.
TEST(Transfer, CapsAndTheRateFloor) {
    for (auto [size, cap] : {std::pair<uint64_t, uint64_t>{0, 64}, {10, 73}, {128 << 10, (128 << 10) + 512}, {UINT64_MAX, UINT64_MAX}})
        EXPECT_EQ(answer_cap(size), cap) << size;
    const std::tuple<uint64_t, uint64_t, uint32_t, bool> rows[] = { // the attempt's bytes, the link's, over ms; given up
        {60, 60, 60000, true}, {61439, 61439, 60000, true}, {61440, 61440, 60000, false}, {3071, 3071, 3000, true},
        {1000, 64000, 60000, false}, {60, 50 << 20, 60000, false}}; // one of 64 on a slow link; a trickle beside a fast one
    for (const auto& [attempt, link, elapsed, slow] : rows)
        EXPECT_EQ(below_rate_floor(attempt, link, elapsed), slow) << attempt << " " << link << " " << elapsed;
}

// The limit doubles while it holds the link back, settles at twice the files a round trip carries, never falls,
// never passes the bound, and stays for large files.
TEST(Transfer, Limit) {
    constexpr uint64_t kb = 1000;
    const std::tuple<size_t, transfer_round, uint64_t, size_t> rows[] = {
        // limit; bytes, ms, ended, their bytes; round trip in us; the limit after
        {64, {1792 * kb, 200, 128, 1792 * kb}, 100000, 128}, // 64 files of 14 KB a 100 ms round trip
        {64, {1400 * kb, 200, 100, 1400 * kb}, 100000, 100},
        {128, {5000 * kb, 200, 357, 5000 * kb}, 100000, 256}, // 25 MB/s: 179 files a round trip
        {200, {2000 * kb, 200, 143, 2000 * kb}, 100000, 200}, // 10 MB/s: would be 143
        {64, {40000 * kb, 200, 2857, 40000 * kb}, 300, 64}, // a local server
        {64, {5000 * kb, 200, 1, 30000 * kb}, 100000, 64}, // large files
        {64, {5000 * kb, 200, 0, 0}, 100000, 64}, {64, {0, 200, 10, 0}, 100000, 64}};
    for (const auto& [limit, round, rtt_us, after] : rows)
        EXPECT_EQ(next_transfer_limit(limit, round, rtt_us), after) << limit << " " << round.bytes << " " << rtt_us;
}
