// The launcher's fetch of the statement and the list it signs, through the transfer thread.
#include "launcher/signed_list.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "format/signature.h"
#include "launcher/launcher.h"
#include "platform/platform.h"
#include "support/utils.h"

namespace {

constexpr size_t date_length = 10; // "2027-01-05"
constexpr long http_not_found = 404;

// The statement's text; `oversized` when the answer passed statement_max_size (nothing more
// of it was read).
struct statement_body {
    std::string text;
    bool oversized;
};

// Transfer thread: the list's SHA-256, computed while it arrives so that nothing is left to hash
// once it is there; a body that starts at `offset` 0 starts over.
bool hash_list(job_t* job, uint64_t offset, const char* data, size_t size) {
    auto* stream = static_cast<sha256_stream*>(job->hook_data);
    if (offset == 0)
        sha256_start(stream);
    sha256_add(stream, data, size);
    return true;
}

void print_transfer(const job_t& job, const char* name) {
    log_printf("%ld | %5u ms | %s%s\n", job.status, SDL_GetTicks() - job.started,
               job_base_url(&job), name);
}

constexpr const char* not_changed = "Your installed game was not changed.";
constexpr const char* later = "Start the launcher again later; if this goes on, tell the vendor.";
constexpr const char* check_date =
    "Check that this computer's date is right; if it is, tell the vendor.";

// Refuses the list in the player's words: `sentence`, the advice, and below them the refusal's
// own text; nothing else was written.
fetch_result refuse(job_t* job, const char* file, int line, const std::string& sentence,
                    const char* advice, const std::string& refusal) {
    char report[report_size];
    std::string words = sentence + ". " + not_changed + " " + advice;
    format_report(report, sizeof report, file, line, "fetch_signed_list", words.c_str(),
                  "%s. Nothing was installed.", refusal.c_str());
    note_job_failure(job, report);
    return fetch_result::failed;
}
#define REFUSE(sentence, advice, refusal)                                                          \
    refuse(list_job, __FILE__, __LINE__, sentence, advice, refusal)

constexpr const char* not_signed_sentence =
    "The update server sent a file list that is not signed by the vendor";

// Fetches the statement of `list_job`'s list into `body`, from the servers that job asks, on
// its time budget and with its failure's report; `missing` says the server has none.
fetch_result fetch_statement(statement_body* body, bool* missing, job_t* list_job, size_t* server) {
    game_file_t entry{};
    entry.name = const_cast<char*>(statement_name);
    job_t job{};
    job.entry = &entry;
    job.body = &body->text;
    job.as_is = true;
    job.give_up_at = list_job->give_up_at;
    job.max_body = statement_max_size;
    job.servers = list_job->servers;
    job.failure = list_job->failure;
    body->text.clear(); // an error page's body is not kept: nothing of an earlier answer stays
    fetch_result result = download(&job);
    if (result != fetch_result::fetched)
        return result;
    body->oversized = job.over_cap;
    print_transfer(job, statement_name);
    *server = job.server;
    *missing = job.status == http_not_found;
    if (job.status != http_ok && !*missing) {
        char report[report_size];
        FORMAT_REPORT(
            report, sizeof report,
            failure_sentence(classify_status(job.status), statement_name, nullptr, job.status)
                .c_str(),
            "error %ld downloading\n%s%s", job.status, job_base_url(&job), statement_name);
        note_job_failure(list_job, report);
        return fetch_result::failed;
    }
    return fetch_result::fetched;
}

} // namespace

fetch_result fetch_signed_list(job_t* list_job, std::string_view keys_text,
                               std::string_view revoked_text, std::string_view channel,
                               std::vector<key_sequence>* accepted) {
    std::vector<public_key> keys;
    std::vector<public_key> revoked;
    CHECK(parse_public_keys(keys_text, &keys) && !keys.empty() &&
          parse_public_keys(revoked_text, &revoked));
    statement_body body;
    sha256_stream stream;
    // The caller's cap for the list's answer holds whatever the statement says.
    uint64_t list_bound = list_job->max_body != 0 ? list_job->max_body : list_answer_limit;
    for (int attempt = 1;; ++attempt) {
        bool missing = false;
        size_t statement_server = 0;
        if (fetch_result result = fetch_statement(&body, &missing, list_job, &statement_server);
            result != fetch_result::fetched)
            return result;
        // Without a statement the list is fetched all the same: a server that lacks both is
        // missing its update folder, which is not the same as an unsigned list. A list longer
        // than its statement says is cut there at once (none: the caller's cap).
        list_statement said;
        list_job->max_body =
            !missing && !body.oversized && parse_statement(body.text, &said) == nullptr
                ? std::min(said.list_length, list_bound)
                : list_bound;
        sha256_start(&stream);
        list_job->body_hook = hash_list;
        list_job->hook_data = &stream;
        if (fetch_result result = download(list_job); result != fetch_result::fetched)
            return result;
        // A mirror answered the list for a server that lacks it: both from that mirror.
        if (list_job->server != statement_server && attempt == 1) {
            log_printf(
                "the file list came from another server than its signature; fetching both again\n");
            continue;
        }
        uint8_t digest[sha256_size];
        sha256_finish(&stream, digest);
        // The body holds exactly the bytes hashed.
        CHECK(list_job->body->size() == stream.length);
        if (missing)
            return REFUSE(not_signed_sentence +
                              std::string(" (the server has no signature file for it)"),
                          later, "The file list has no signature");
        if (body.oversized)
            return REFUSE(not_signed_sentence +
                              std::string(" (the signature file is longer than 4096 bytes)"),
                          later, "The signature file is too long");

        list_statement statement;
        const char* problem = nullptr;
        list_verdict verdict =
            check_statement(body.text, stream.length, digest, {channel, keys, revoked, *accepted},
                            std::time(nullptr), &statement, &problem);
        // A list cut at its statement's length is not the list signed, whatever else holds after
        // that.
        if (list_job->over_cap && verdict != list_verdict::not_signed &&
            verdict != list_verdict::other_channel)
            verdict = list_verdict::not_matching;
        if (verdict == list_verdict::not_matching && attempt == 1) {
            // The vendor may have published between the two requests: both once more.
            log_printf("the file list does not match its signature; fetching both again\n");
            continue;
        }
        switch (verdict) {
        case list_verdict::accepted:
            log_printf("file list signed by the vendor: publish %" PRIu64 ", valid until %s\n",
                       statement.sequence, utc_text(statement.expires).c_str());
            raise_sequence(accepted, statement.signer, statement.sequence);
            return fetch_result::fetched;
        case list_verdict::not_signed:
            // A well-formed statement by a key the launcher lacks: maybe the vendor's new key,
            // which only a newer launcher knows. Trying again later would not help then. An
            // older format, or a key the vendor revoked, is the vendor's to mend.
            if (std::string_view(problem) == unknown_key)
                return REFUSE("The update server sent a file list signed with a key this launcher "
                              "does not know (" +
                                  std::string(problem) + ")",
                              "If the vendor has changed its key, download the launcher again from "
                              "the vendor; "
                              "otherwise tell the vendor.",
                              std::string("The file list is not signed by the vendor: ") + problem);
            return REFUSE(not_signed_sentence + (" (" + std::string(problem) + ")"), later,
                          std::string("The file list is not signed by the vendor: ") + problem);
        case list_verdict::not_matching:
            return REFUSE("The update server sent a file list that is not the one the vendor "
                          "signed (its length or "
                          "digest differs from the signed one)",
                          later, "The file list does not match its signature");
        case list_verdict::expired:
            return REFUSE("The update server sent a file list that expired on " +
                              utc_text(statement.expires).substr(0, date_length) +
                              " (its signature held until " + utc_text(statement.expires) + ")",
                          check_date, "The file list's signature has expired");
        case list_verdict::older:
            return REFUSE("The update server sent an older file list than this computer has "
                          "already installed "
                          "(publish " +
                              std::to_string(statement.sequence) +
                              "; this computer has installed publish " +
                              std::to_string(sequence_under(*accepted, statement.signer)) + ")",
                          later, "The file list is older than the one installed");
        case list_verdict::other_channel:
            return REFUSE(
                "The update server sent a file list signed for another channel (it is for \"" +
                    std::string(statement.channel) + "\"; this launcher is for \"" +
                    std::string(channel) + "\")",
                later, "The file list is signed for another channel");
        case list_verdict::expiry_too_far:
            // A clock years behind (a flat battery) makes a genuine expiry look too far off.
            return REFUSE(
                "The update server sent a file list signed for longer than the vendor signs (its "
                "signature holds until " +
                    utc_text(statement.expires) + ")",
                check_date, "The file list's signature holds too long");
        case list_verdict::too_far_ahead:
            return REFUSE("The update server sent a file list numbered too far past any installed "
                          "before (publish " +
                              std::to_string(statement.sequence) +
                              "; this computer has installed publish " +
                              std::to_string(highest_sequence(*accepted)) + " at most)",
                          later, "The file list's sequence is too far ahead");
        }
        PANIC("unknown verdict");
    }
}
