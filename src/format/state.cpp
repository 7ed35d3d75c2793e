// The state file, as text: a header that names the format and the update server, one line per
// verified file, and a last line with the SHA-1 of everything before it, so that a file cut
// short or changed by hand is refused as a whole.
//
//   velm-launcher state 1
//   source https://updates.example.com/windows/
//   sequence 7                   (only after a signed file list was installed)
//   complete                     (only when the lines below name every file of the list)
//   file <sha1> <size> <write time> <change time> <volume> <index> <name>
//   end <sha1 of the lines above>
#include "format/state.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "support/sha1.h"
#include "support/utils.h"

namespace {

constexpr const char* format_line = "velm-launcher state 1";
constexpr const char* source = VELM_UPDATE_URL;
constexpr size_t max_state_size = 64u << 20; // far more than 65535 records need
constexpr size_t digest_length = 40;

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

bool read_whole(const char* path, std::string* bytes) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0 && bytes->size() <= max_state_size)
        bytes->append(buffer, got);
    bool ok = !ferror(f) && bytes->size() <= max_state_size;
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
    if (line.size() <= digest_length || line[digest_length] != ' ')
        return false;
    std::string_view hash = line.substr(0, digest_length);
    std::string_view rest = line.substr(digest_length + 1);
    uint64_t fields[5];
    for (uint64_t& field : fields)
        if (!take_number(&rest, &field))
            return false;
    if (rest.empty())
        return false;
    state->files[std::string(rest)] = {std::string(hash), {fields[0], fields[1], fields[2], fields[3], fields[4], true, false}};
    return true;
}

bool parse(std::string_view bytes, launcher_state* state) {
    state->files.reserve(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')));
    // The last line holds the digest of all the lines before it.
    constexpr std::string_view end_keyword = "end ";
    size_t end_line = bytes.rfind(end_keyword);
    if (end_line == std::string_view::npos || (end_line > 0 && bytes[end_line - 1] != '\n'))
        return false;
    std::string_view body = bytes.substr(0, end_line);
    if (bytes.substr(end_line + end_keyword.size()) != sha1_text(body) + "\n")
        return false;
    std::string header = std::string(format_line) + "\nsource " + source + "\n";
    if (!body.starts_with(header))
        return false;
    body.remove_prefix(header.size());
    constexpr std::string_view sequence_keyword = "sequence ";
    if (body.starts_with(sequence_keyword)) {
        size_t newline = body.find('\n');
        std::string line(body.substr(sequence_keyword.size(), newline - sequence_keyword.size()));
        char* end = nullptr;
        state->sequence = strtoull(line.c_str(), &end, 10);
        if (newline == std::string_view::npos || line.empty() || *end != '\0' || line[0] < '0' || line[0] > '9')
            return false;
        body.remove_prefix(newline + 1);
    }
    constexpr std::string_view complete_line = "complete\n";
    state->complete = body.starts_with(complete_line);
    if (state->complete)
        body.remove_prefix(complete_line.size());
    while (!body.empty()) {
        size_t newline = body.find('\n');
        std::string_view line = body.substr(0, newline);
        constexpr std::string_view file_keyword = "file ";
        if (newline == std::string_view::npos || !line.starts_with(file_keyword) ||
            !parse_record(line.substr(file_keyword.size()), state))
            return false;
        body.remove_prefix(newline + 1);
    }
    return true;
}

} // namespace

bool state_read(const char* path, launcher_state* state) {
    std::string bytes;
    if (read_whole(path, &bytes) && parse(bytes, state))
        return true;
    state->files.clear();
    state->sequence = 0;
    state->complete = false;
    return false;
}

bool state_write(const char* path, const launcher_state& state) {
    std::string body = std::string(format_line) + "\nsource " + source + "\n";
    char line[128];
    if (state.sequence > 0) {
        snprintf(line, sizeof line, "sequence %" PRIu64 "\n", state.sequence);
        body += line;
    }
    if (state.complete)
        body += "complete\n";
    for (const auto& [name, record] : state.files) {
        const platform_file_stamp& s = record.stamp;
        snprintf(line, sizeof line, "file %s %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " ",
                 record.hash.c_str(), s.size, s.write_time, s.change_time, s.volume, s.index);
        body += line;
        body += name;
        body += '\n';
    }
    body += "end " + sha1_text(body) + "\n";

    std::string temporary = std::string(path) + ".new";
    FILE* f = fopen(temporary.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool written = fwrite(body.data(), 1, body.size(), f) == body.size();
    bool closed = fclose(f) == 0;
    if (!written || !closed) {
        int error = errno;
        remove(temporary.c_str());
        errno = error;
        return false;
    }
    // The old state goes only when the new one is whole, in one step.
    return platform_replace(temporary.c_str(), path) == 0;
}

bool same_stamp(const platform_file_stamp& a, const platform_file_stamp& b) {
    return a.size == b.size && a.write_time == b.write_time && a.change_time == b.change_time &&
           a.volume == b.volume && a.index == b.index && a.regular == b.regular;
}

const char* state_known_digest(const launcher_state& state, const char* name, const platform_file_stamp& now) {
    auto it = state.files.find(name);
    if (it == state.files.end() || !now.regular || !same_stamp(it->second.stamp, now))
        return nullptr;
    return it->second.hash.c_str();
}
