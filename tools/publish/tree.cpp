#include "publish/tree.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "format/names.h"
#include "format/signature.h"

namespace {

constexpr int release_number_width = 6;
constexpr size_t max_number_digits = 19;
constexpr std::string_view info_format_line = "velm-release 1\n";
constexpr size_t info_max_size = label_max_size + 1024;
constexpr size_t id_time_size = 16; // "20270105T120000Z"

bool all_digits(std::string_view text) {
    return !text.empty() && text.size() <= max_number_digits &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The time in a release id ("...-20270105T120000Z"), or 0.
int64_t time_of_id(const std::string& id) {
    size_t dash = id.find('-');
    std::string t = dash == std::string::npos ? "" : id.substr(dash + 1);
    if (t.size() != id_time_size)
        return 0;
    std::string utc = t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + "T" +
                      t.substr(9, 2) + ":" + t.substr(11, 2) + ":" + t.substr(13, 2) + "Z";
    int64_t seconds = 0;
    return parse_utc(utc, &seconds) ? seconds : 0;
}

// The name a publish of this link gives its temporary link, before the release's id.
std::string temporary_prefix(const server_tree& tree) {
    return "." + tree.link.filename().string() + ".";
}

} // namespace

statement_found read_statement(const fs::path& dir, list_statement* statement,
                               std::string* problem) {
    fs::path path = dir / statement_name;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec)))
        return statement_found::none;
    std::string text;
    if (!read_small_file(path, statement_max_size, &text, problem))
        return statement_found::unreadable;
    if (const char* why = parse_statement(text, statement)) {
        *problem = path.string() + ": " + why;
        return statement_found::unreadable;
    }
    return statement_found::read;
}

bool parse_release(const std::string& id, release_t* release) {
    size_t dash = id.find('-');
    if (dash == std::string::npos || !all_digits(std::string_view(id).substr(0, dash)))
        return false;
    *release = {std::stoull(id.substr(0, dash)), id};
    return true;
}

std::string release_id(uint64_t number, int64_t time) {
    char time_text[32];
    std::time_t t = static_cast<std::time_t>(time);
    std::tm parts;
    std::strftime(time_text, sizeof time_text, "%Y%m%dT%H%M%SZ", gmtime_r(&t, &parts));
    char id[64];
    snprintf(id, sizeof id, "%0*" PRIu64 "-%s", release_number_width, number, time_text);
    return id;
}

server_tree::~server_tree() {
    if (lock_fd >= 0)
        close(lock_fd);
}

const char* link_name_problem(std::string_view name) {
    constexpr size_t max_link_name = 64;
    bool allowed = std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
    if (name.empty() || name.size() > max_link_name || !allowed || name.front() == '-')
        return "is 1 to 64 letters, digits, '_' and '-', not beginning with '-'";
    if (name.starts_with(releases_dir_name))
        return "may not begin with \"releases\", the name of the folders that hold the releases";
    return nullptr;
}

void locate_tree(const fs::path& root, server_tree* tree, const std::string& link) {
    tree->root = root;
    tree->link = root / link;
    tree->releases = root / (link == live_link_name ? std::string(releases_dir_name)
                                                    : releases_dir_name + ("-" + link));
    std::error_code ec;
    fs::file_status status = fs::symlink_status(tree->link, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        fail(describe(tree->link, ec));
    if (!fs::exists(status))
        return;
    if (fs::is_directory(status)) {
        tree->live = tree->link;
        tree->live_is_plain = true;
        return;
    }
    if (!fs::is_symlink(status))
        fail(tree->link.string() +
             " is neither a directory nor a symbolic link; move it away first");
    fs::path target = fs::canonical(tree->link, ec);
    if (ec) {
        warn(tree->link.string() + " leads nowhere (" + ec.message() + ")");
        return;
    }
    tree->live = target;
    fs::path releases = fs::canonical(tree->releases, ec);
    release_t release;
    if (!ec && target.parent_path() == releases &&
        parse_release(target.filename().string(), &release))
        tree->live_release = release.id;
}

void open_tree(const fs::path& root, server_tree* tree, const std::string& link) {
    locate_tree(root, tree, link);
    std::error_code ec;
    fs::create_directories(tree->releases, ec);
    if (ec)
        fail(describe(tree->releases, ec));
    fs::path lock = tree->releases / lock_name;
    tree->lock_fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (tree->lock_fd < 0)
        fail(describe_errno(lock));
    if (flock(tree->lock_fd, LOCK_EX | LOCK_NB) != 0)
        fail(errno == EWOULDBLOCK ? "another velm-publish is publishing to " + tree->link.string()
                                  : describe_errno(lock));
    locate_tree(root, tree, link);
    // What killed publishes left at the top of ROOT: temporary links, and a plain windows/
    // directory that an interrupted migration had already swapped out.
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->path().filename().string().starts_with(temporary_prefix(*tree)))
            continue;
        std::error_code removed;
        fs::remove_all(it->path(), removed); // a link is removed, never followed
        if (removed)
            fail(describe(it->path(), removed));
    }
    if (ec)
        fail(describe(root, ec));
}

std::vector<release_t> list_releases(const server_tree& tree) {
    std::vector<release_t> found;
    std::error_code ec;
    for (fs::directory_iterator it(tree.releases, ec), end; !ec && it != end; it.increment(ec)) {
        release_t release;
        if (it->is_directory(ec) && !it->is_symlink(ec) &&
            parse_release(it->path().filename().string(), &release))
            found.push_back(release);
    }
    if (ec && ec != std::errc::no_such_file_or_directory)
        fail(describe(tree.releases, ec));
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.number > b.number; });
    return found;
}

bool find_release(const server_tree& tree, std::string_view text, release_t* release) {
    std::string wanted(text == "live" ? tree.live_release : std::string(text));
    for (const release_t& candidate : list_releases(tree))
        if (candidate.id == wanted ||
            (all_digits(wanted) && std::stoull(wanted) == candidate.number)) {
            *release = candidate;
            return true;
        }
    return false;
}

bool is_complete(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(fs::symlink_status(dir / list_compressed_name, ec));
}

// --- What is recorded about a release ---------------------------------------------------------

const char* label_problem(std::string_view label) {
    if (label.size() > label_max_size)
        return "longer than 4096 bytes";
    for (char c : label) {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7f)
            return "holds a control character (only line feeds and tabs may stand in a label)";
    }
    return nullptr;
}

std::string release_info_text(const release_info& info) {
    std::string text(info_format_line);
    text += "id " + info.id + "\npublished " + utc_text(info.published) + "\nsequence " +
            std::to_string(info.sequence) + "\n";
    if (!info.rollback_of.empty())
        text += "rollback-of " + info.rollback_of + "\n";
    for (size_t start = 0; start < info.label.size();) {
        size_t end = std::min(info.label.find('\n', start), info.label.size());
        text += "label " + info.label.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return text;
}

bool parse_release_info(std::string_view text, release_info* info) {
    if (!text.starts_with(info_format_line))
        return false;
    text.remove_prefix(info_format_line.size());
    *info = {};
    bool has_id = false;
    bool has_label = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return false; // cut short
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        size_t space = line.find(' ');
        std::string_view key = line.substr(0, space);
        std::string_view value = space == std::string_view::npos ? "" : line.substr(space + 1);
        if (key == "id") {
            info->id = value;
            has_id = !value.empty();
        } else if (key == "published" && !parse_utc(value, &info->published)) {
            return false;
        } else if (key == "sequence") {
            if (!all_digits(value))
                return false;
            info->sequence = std::stoull(std::string(value));
        } else if (key == "rollback-of") {
            info->rollback_of = value;
        } else if (key == "label") {
            if (has_label)
                info->label += '\n';
            info->label += value;
            has_label = true;
        }
    }
    return has_id;
}

bool write_release_info(const fs::path& dir, const release_info& info, std::string* error) {
    std::error_code ec;
    fs::create_directory(dir / release_info_dir, ec);
    if (ec) {
        *error = describe(dir / release_info_dir, ec);
        return false;
    }
    return write_file_atomically(dir / release_info_name, release_info_text(info), error);
}

release_info read_release_info(const server_tree& tree, const release_t& release) {
    fs::path dir = tree.releases / release.id;
    std::string text, error;
    release_info info;
    if (read_small_file(dir / release_info_name, info_max_size, &text, &error) &&
        parse_release_info(text, &info))
        return info;
    info = {};
    info.id = release.id;
    info.published = time_of_id(release.id);
    list_statement statement;
    if (read_statement(dir, &statement, &error) == statement_found::read)
        info.sequence = statement.sequence;
    return info;
}

// --- Sequences ----------------------------------------------------------------------------------

uint64_t highest_sequence(const server_tree& tree) {
    uint64_t highest = 0;
    std::string text, error;
    fs::path recorded = tree.releases / sequence_file_name;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(recorded, ec))) {
        if (!read_small_file(recorded, max_number_digits + 1, &text, &error))
            fail(error + "; it holds the highest publish sequence given: restore it, or write that "
                         "number into it");
        if (!text.ends_with('\n') || !all_digits(std::string_view(text).substr(0, text.size() - 1)))
            fail(recorded.string() +
                 " is not a sequence number; restore it, or write the highest publish "
                 "sequence given into it");
        highest = std::stoull(text);
    }
    // A statement that cannot be read is skipped, but for the live one's: its sequence may be
    // the highest a player has seen.
    auto take_statement = [&](const fs::path& dir, bool live) {
        list_statement statement;
        statement_found found = read_statement(dir, &statement, &error);
        if (found == statement_found::read)
            highest = std::max(highest, statement.sequence);
        else if (found == statement_found::unreadable && live)
            fail(error + "; move it away only if no player has seen it");
        else if (found == statement_found::unreadable)
            warn(error + " is skipped");
    };
    if (!tree.live.empty() && tree.live_release.empty())
        take_statement(tree.live, true); // a live tree that is none of the releases
    for (const release_t& release : list_releases(tree)) {
        take_statement(tree.releases / release.id, release.id == tree.live_release);
        highest = std::max(highest, read_release_info(tree, release).sequence);
    }
    return highest;
}

bool record_sequence(const server_tree& tree, uint64_t sequence, std::string* error) {
    fs::path recorded = tree.releases / sequence_file_name;
    std::string text, ignored;
    if (read_small_file(recorded, max_number_digits + 1, &text, &ignored) &&
        all_digits(text.substr(0, text.find('\n'))) && std::stoull(text) >= sequence)
        return true;
    return write_file_atomically(recorded, std::to_string(sequence) + "\n", error);
}

// --- The switch
// -----------------------------------------------------------------------------------

void switch_live(const server_tree& tree, const std::string& id, const std::string& previous_id) {
    fs::path temporary = tree.root / (temporary_prefix(tree) + id);
    std::error_code ec;
    fs::create_symlink(tree.releases.filename() / id, temporary, ec);
    if (ec)
        fail(describe(temporary, ec));
    if (!tree.live_is_plain) {
        fs::rename(temporary, tree.link, ec);
        if (ec)
            fail("switching " + tree.link.string() + ": " + ec.message());
        return;
    }
    fs::path previous = tree.releases / previous_id;
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, tree.link.c_str(), RENAME_EXCHANGE) == 0) {
        fs::rename(temporary, previous, ec); // the plain directory, now under the temporary name
        if (ec)
            warn("the previous " + tree.link.string() + " stays as " + temporary.string() + ": " +
                 ec.message());
        return;
    }
    fs::rename(tree.link, previous, ec);
    if (ec)
        fail("moving " + tree.link.string() + " into " + tree.releases.string() + ": " +
             ec.message());
    fs::rename(temporary, tree.link, ec);
    if (ec)
        fail("switching " + tree.link.string() + ": " + ec.message() + "; the previous tree is " +
             previous.string());
}

void prune(const server_tree& tree, const std::string& live_id, const std::string& replaced_id,
           size_t keep) {
    size_t kept = replaced_id.empty() ? 1 : 2;
    for (const release_t& release : list_releases(tree)) {
        if (release.id == live_id || release.id == replaced_id)
            continue;
        fs::path path = tree.releases / release.id;
        if (is_complete(path) && kept < keep) {
            ++kept;
            continue;
        }
        std::error_code ec;
        fs::remove_all(path, ec); // links inside are removed, never followed
        if (ec)
            warn("could not remove " + describe(path, ec));
        else
            printf("removed    %s/%s\n", tree.releases.filename().c_str(), release.id.c_str());
    }
}
