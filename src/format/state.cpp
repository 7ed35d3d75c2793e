// The state file, as text: a header that names the format and the channel, one line per key
// that signed an installed list and one per verified file, and a last line with the SHA-1 of
// everything before it, so that a file cut short or changed by hand is refused as a whole.
//
//   velm-launcher state 3
//   channel updates.example.com/windows
//   sequence <64 hex: the key> 7    the highest publish installed that this key signed
//   own-sequence <64 hex> 2      the same for the launcher's own files' lists
//   complete                     (only when the lines below name every file of the list)
//   file <sha1> <size> <write time> <change time> <volume> <index> <name>
//   end <sha1 of the lines above>
//
// Formats 1 and 2 still read, for the update URL they name ("source <url>" in place of the
// channel): format 1's one "sequence <n>" line, without a key, becomes the floor of every key,
// so that a launcher that reads it keeps the rollback protection it had.
#include "format/state.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "support/fileops.h"
#include "support/sha1.h"
#include "support/utils.h"

namespace {

constexpr std::string_view format_line = "velm-launcher state 3\n";
constexpr std::string_view format_2_line = "velm-launcher state 2\n";
constexpr std::string_view old_format_line = "velm-launcher state 1\n";
constexpr size_t max_state_size = 256u << 20; // a record per listed file: a 64 MiB list's worth
constexpr size_t digest_size = 20;
constexpr std::string_view end_keyword = "end ";
constexpr std::string_view sequence_keyword = "sequence ";
constexpr std::string_view own_sequence_keyword = "own-sequence ";
constexpr std::string_view complete_keyword = "complete";
constexpr std::string_view file_keyword = "file ";

std::string sha1_text(std::string_view bytes) {
    SHA1State sha;
    memset(&sha, 0, sizeof sha);
    SHA1Reset(&sha);
    SHA1Input(&sha, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    char text[hash_text_size];
    CHECK(SHA1Result(&sha) == 1);
    sha1_digest_text(&sha, text);
    return text;
}

// The whole file, when it is no larger than a state can be; its size is checked before
// anything is allocated for it.
bool read_whole(const char* path, std::string* bytes) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    bool ok = size >= 0 && static_cast<unsigned long>(size) <= max_state_size &&
              fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        bytes->resize(static_cast<size_t>(size));
        ok = fread(bytes->data(), 1, bytes->size(), f) == bytes->size() && fgetc(f) == EOF &&
             !ferror(f);
    }
    fclose(f);
    return ok;
}

// Takes a decimal number and the blank after it from the front of `rest`.
bool take_number(std::string_view* rest, uint64_t* value) {
    auto [end, error] = std::from_chars(rest->data(), rest->data() + rest->size(), *value);
    if (error != std::errc() || end == rest->data() + rest->size() || *end != ' ')
        return false;
    rest->remove_prefix(static_cast<size_t>(end - rest->data()) + 1);
    return true;
}

// Parses one "file" line's fields after the keyword; false when it is malformed.
bool parse_record(std::string_view line, launcher_state* state) {
    constexpr size_t digest_length = 2 * digest_size;
    uint8_t digest[digest_size];
    if (line.size() <= digest_length || line[digest_length] != ' ' ||
        !parse_hex(line.substr(0, digest_length), digest, digest_size))
        return false;
    std::string_view hash = line.substr(0, digest_length);
    std::string_view rest = line.substr(digest_length + 1);
    uint64_t fields[5];
    for (uint64_t& field : fields)
        if (!take_number(&rest, &field))
            return false;
    if (rest.empty())
        return false;
    state->files[std::string(rest)] = {
        std::string(hash), {fields[0], fields[1], fields[2], fields[3], fields[4], true, false}};
    return true;
}

// Parses one "sequence" line's fields after the keyword: the key and its number (format 2), or
// the number alone (format 1).
bool parse_sequence(std::string_view line, bool old_format, std::vector<key_sequence>* sequences,
                    launcher_state* state) {
    uint64_t sequence = 0;
    if (old_format)
        return state->sequence_floor == 0 && parse_decimal(line, &state->sequence_floor);
    constexpr size_t key_length = 2 * public_key_size;
    public_key key;
    if (line.size() <= key_length || line[key_length] != ' ' ||
        !parse_hex(line.substr(0, key_length), key.bytes, public_key_size) ||
        !parse_decimal(line.substr(key_length + 1), &sequence))
        return false;
    raise_sequence(sequences, key, sequence);
    return true;
}

bool parse(std::string_view bytes, std::string_view channel, std::string_view update_url,
           launcher_state* state) {
    // The last line holds the digest of all the lines before it: checked before anything is
    // made of the rest.
    size_t end_line = bytes.size() < 2 ? 0 : bytes.rfind('\n', bytes.size() - 2) + 1;
    std::string_view body = bytes.substr(0, end_line);
    if (!bytes.ends_with('\n') ||
        bytes.substr(end_line) != std::string(end_keyword) + sha1_text(body) + "\n")
        return false;
    bool old_format = body.starts_with(old_format_line);
    bool current = body.starts_with(format_line);
    std::string header = current
                             ? std::string(format_line) + "channel " + std::string(channel) + "\n"
                             : std::string(old_format ? old_format_line : format_2_line) +
                                   "source " + std::string(update_url) + "\n";
    if (!body.starts_with(header))
        return false;
    body.remove_prefix(header.size());
    state->files.reserve(static_cast<size_t>(std::count(body.begin(), body.end(), '\n')));
    // The lines come in their order: sequences, then "complete", then files.
    bool files_begun = false;
    while (!body.empty()) {
        size_t newline = body.find('\n');
        std::string_view line = body.substr(0, newline);
        bool parsed = false;
        if (line.starts_with(sequence_keyword)) {
            parsed = !state->complete && !files_begun &&
                     parse_sequence(line.substr(sequence_keyword.size()), old_format,
                                    &state->sequences, state);
        } else if (line.starts_with(own_sequence_keyword)) {
            parsed = current && !state->complete && !files_begun &&
                     parse_sequence(line.substr(own_sequence_keyword.size()), false,
                                    &state->own_sequences, state);
        } else if (line == complete_keyword) {
            parsed = !state->complete && !files_begun;
            state->complete = true;
        } else if (line.starts_with(file_keyword)) {
            files_begun = true;
            parsed = parse_record(line.substr(file_keyword.size()), state);
        }
        if (newline == std::string_view::npos || !parsed)
            return false;
        body.remove_prefix(newline + 1);
    }
    return true;
}

} // namespace

bool state_read(const char* path, std::string_view channel, std::string_view update_url,
                launcher_state* state) {
    std::string bytes;
    if (read_whole(path, &bytes) && parse(bytes, channel, update_url, state))
        return true;
    *state = launcher_state{};
    return false;
}

bool state_write(const char* path, std::string_view channel, const launcher_state& state,
                 std::string* problem) {
    std::string body = std::string(format_line) + "channel " + std::string(channel) + "\n";
    char line[256];
    for (const auto& [sequences, keyword] :
         {std::pair{&state.sequences, "sequence"}, std::pair{&state.own_sequences, "own-sequence"}})
        for (const key_sequence& entry : *sequences) {
            snprintf(line, sizeof line, "%s %s %" PRIu64 "\n", keyword,
                     hex_text(entry.key.bytes, public_key_size).c_str(), entry.sequence);
            body += line;
        }
    if (state.complete)
        body += "complete\n";
    for (const auto& [name, record] : state.files) {
        const platform_file_stamp& s = record.stamp;
        snprintf(line, sizeof line,
                 "file %s %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " ",
                 record.hash.c_str(), s.size, s.write_time, s.change_time, s.volume, s.index);
        body += line;
        body += name;
        body += '\n';
    }
    body += std::string(end_keyword) + sha1_text(body) + "\n";

    return write_file_whole((std::string(path) + ".new").c_str(), path, body, problem);
}

bool same_stamp(const platform_file_stamp& a, const platform_file_stamp& b) {
    return a.size == b.size && a.write_time == b.write_time && a.change_time == b.change_time &&
           a.volume == b.volume && a.index == b.index && a.regular == b.regular;
}

const char* state_known_digest(const launcher_state& state, const char* name,
                               const platform_file_stamp& now) {
    auto it = state.files.find(name);
    if (it == state.files.end() || !now.regular || !same_stamp(it->second.stamp, now))
        return nullptr;
    return it->second.hash.c_str();
}
