// state: what the launcher keeps between runs, in one small file beside the executable (never in
// game/, whose scan would delete it): the record of the files it verified, with what identified
// each file on disk at that moment, whether the update that wrote it completed, and the highest
// publish of a signed file list it installed under each key that signed one, for the game's
// list and for the launcher's own.
// A file that still has the same size, times and identity, and whose listed digest is the
// recorded one, is current without being read again.
//
// The file is written to a temporary name and renamed, so a crash leaves the old state or the
// new one. A missing, unreadable, corrupt or foreign state (another format, another channel)
// reads as no state, which means a full verification; it is never a fatal report. The state
// names the channel of the game's lists, not a server: a launcher that moved to another host
// keeps it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include <vector>

#include "format/signature.h"
#include "platform/platform.h"

constexpr const char* state_file_name = "launcher.state";

struct state_record {
    std::string hash;          // the SHA-1 the file had when it was verified
    platform_file_stamp stamp; // the file as it stood then
};

struct launcher_state {
    std::unordered_map<std::string, state_record> files; // by listed name
    std::vector<key_sequence>
        sequences; // the newest signed file list installed, per key that signed one
    std::vector<key_sequence> own_sequences; // the same for the launcher's own files' lists
    // The one sequence an older state kept for all keys: every key's highest is at least this.
    // Never written: whoever reads it raises each of its keys to it.
    uint64_t sequence_floor = 0;
    // The update that wrote the state completed, and `files` holds every file of its list.
    bool complete = false;
};

// Reads the state at `path` into the empty `state`; false (and `state` left empty, not complete)
// when there is none that this build can trust: the state must be for `channel`, or one an
// earlier launcher wrote for `update_url`.
bool state_read(const char* path, std::string_view channel, std::string_view update_url,
                launcher_state* state);
// Writes `state` for `channel` to `path` through a temporary beside it (write_file_whole);
// false with the reason in `problem` when it could not.
bool state_write(const char* path, std::string_view channel, const launcher_state& state,
                 std::string* problem);
// Whether two stamps describe the same file in the same state.
bool same_stamp(const platform_file_stamp& a, const platform_file_stamp& b);
// The SHA-1 that the file `name`, standing on disk as `now`, had when it was verified, if the
// record holds it and the file has not changed since; else null.
const char* state_known_digest(const launcher_state& state, const char* name,
                               const platform_file_stamp& now);
