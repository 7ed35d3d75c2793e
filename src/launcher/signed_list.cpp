// The launcher's fetch of the statement and the list it signs, through the transfer thread.
#include "launcher/signed_list.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "format/signature.h"
#include "launcher/launcher.h"
#include "platform/platform.h"
#include "support/fileops.h"
#include "support/utils.h"

namespace {

constexpr size_t date_length = 10; // "2027-01-05"
constexpr long http_ok = 200;
constexpr long http_not_found = 404;

// What the transfer thread hands over, body by body: the statement's text, capped; the list's
// SHA-256, computed while it arrives so that nothing is left to hash once it is there.
struct statement_body {
    std::string text;
    bool oversized;
};

// Transfer thread: a body that starts at `offset` 0 starts over.
bool collect_statement(job_t* job, uint64_t offset, const char* data, size_t size) {
    auto* body = static_cast<statement_body*>(job->hook_data);
    if (offset == 0) {
        body->text.clear();
        body->oversized = false;
    }
    if (body->text.size() + size > statement_max_size) {
        body->oversized = true;
        return false; // the transfer ends here: nothing more is read
    }
    body->text.append(data, size);
    return true;
}

bool hash_list(job_t* job, uint64_t offset, const char* data, size_t size) {
    auto* stream = static_cast<sha256_stream*>(job->hook_data);
    if (offset == 0)
        sha256_start(stream);
    sha256_add(stream, data, size);
    return true;
}

void print_transfer(const job_t& job, const char* name) {
    printf("%ld | %5u ms | %s%s\n", job.status, SDL_GetTicks() - job.started, VELM_UPDATE_URL, name);
}

// Removes the list's temporary (of this fetch or the one before) and reports a refusal: nothing
// else was written.
[[noreturn]] void refuse(const job_t* list_job, const char* sentence, const std::string& detail) {
    char* temporary = temporary_path(list_job->entry);
    remove_entry(temporary);
    free(temporary);
    PANIC_FOR_PLAYER("%s (%s). Nothing was installed or started. Start the launcher again later; if this goes on, "
                     "tell the vendor.",
                     sentence, detail.c_str());
}

constexpr const char* not_signed_sentence = "The update server sent a file list that is not signed by the vendor";

// Fetches the statement; false when the window was closed.
bool fetch_statement(const job_t* list_job, statement_body* body) {
    game_file_t entry{};
    entry.name = const_cast<char*>(statement_name);
    job_t job{};
    job.entry = &entry;
    job.as_is = true;
    job.body_hook = collect_statement;
    job.hook_data = body;
    body->text.clear();
    body->oversized = false;
    if (!download(&job))
        return false;
    print_transfer(job, statement_name);
    std::string temporary = std::string("game/") + statement_name;
    remove_entry(temporary.c_str());
    if (job.status == http_not_found)
        refuse(list_job, not_signed_sentence, "the server has no signature file for it");
    if (job.status != http_ok)
        PANIC("error %ld downloading\n%s%s", job.status, VELM_UPDATE_URL, statement_name);
    if (body->oversized)
        refuse(list_job, not_signed_sentence, "the signature file is longer than 4096 bytes");
    return true;
}

} // namespace

bool fetch_signed_list(job_t* list_job, std::string_view keys_text, std::string_view revoked_text,
                       std::string_view channel, std::vector<key_sequence>* accepted) {
    std::vector<public_key> keys;
    std::vector<public_key> revoked;
    CHECK(parse_public_keys(keys_text, &keys) && !keys.empty() && parse_public_keys(revoked_text, &revoked));
    statement_body body;
    sha256_stream stream;
    for (int attempt = 1;; ++attempt) {
        if (!fetch_statement(list_job, &body))
            return false;
        sha256_start(&stream);
        list_job->body_hook = hash_list;
        list_job->hook_data = &stream;
        if (!download(list_job))
            return false;
        uint8_t digest[sha256_size];
        sha256_finish(&stream, digest);
        // The temporary holds exactly the bytes hashed, after the transfer's own header.
        char* temporary = temporary_path(list_job->entry);
        platform_file_stamp stamp;
        bool whole = platform_stamp(temporary, &stamp) == 0 && stamp.size == transfer_header_size + stream.length;
        free(temporary);
        CHECK(whole);

        list_statement statement;
        const char* problem = nullptr;
        list_verdict verdict = check_statement(body.text, stream.length, digest, {channel, keys, revoked, *accepted},
                                               std::time(nullptr), &statement, &problem);
        if (verdict == list_verdict::not_matching && attempt == 1) {
            // The vendor may have published between the two requests: both once more.
            printf("the file list does not match its signature; fetching both again\n");
            continue;
        }
        char detail[256];
        switch (verdict) {
        case list_verdict::accepted:
            printf("file list signed by the vendor: publish %" PRIu64 ", valid until %s\n", statement.sequence,
                   utc_text(statement.expires).c_str());
            raise_sequence(accepted, statement.signer, statement.sequence);
            return true;
        case list_verdict::not_signed:
            refuse(list_job, not_signed_sentence, problem);
        case list_verdict::not_matching:
            refuse(list_job, "The update server sent a file list that is not the one the vendor signed",
                   "its length or digest differs from the signed one");
        case list_verdict::expired:
            snprintf(detail, sizeof detail, "The update server sent a file list that expired on %.*s",
                     static_cast<int>(date_length), utc_text(statement.expires).c_str());
            refuse(list_job, detail, "its signature held until " + utc_text(statement.expires));
        case list_verdict::older:
            snprintf(detail, sizeof detail, "publish %" PRIu64 "; this computer has installed publish %" PRIu64,
                     statement.sequence, sequence_under(*accepted, statement.signer));
            refuse(list_job, "The update server sent an older file list than this computer has already installed",
                   detail);
        case list_verdict::other_channel:
            snprintf(detail, sizeof detail, "it is for \"%s\"; this launcher is for \"%.*s\"", statement.channel,
                     static_cast<int>(channel.size()), channel.data());
            refuse(list_job, "The update server sent a file list signed for another channel", detail);
        case list_verdict::expiry_too_far:
            refuse(list_job, "The update server sent a file list signed for longer than the vendor signs",
                   "its signature holds until " + utc_text(statement.expires));
        case list_verdict::too_far_ahead:
            snprintf(detail, sizeof detail, "publish %" PRIu64 "; this computer has installed publish %" PRIu64 " at most",
                     statement.sequence, highest_sequence(*accepted));
            refuse(list_job, "The update server sent a file list numbered too far past any installed before", detail);
        }
        PANIC("unknown verdict");
    }
}
