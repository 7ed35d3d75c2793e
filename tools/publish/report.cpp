#include "publish/report.h"

#include <cinttypes>
#include <ctime>

#include "format/names.h"
#include "format/signature.h"
#include "publish/tree.h"

namespace {

constexpr int64_t seconds_per_day = 24 * 60 * 60;

// What the tree `dir` serves beyond its list: its files compressed, and its patches.
struct tree_figures {
    uint64_t compressed = 0;
    size_t patches = 0;
    uint64_t patch_bytes = 0;
};

// The listed files' bytes, as the list gives them.
uint64_t listed_bytes(const game_file_table& list) {
    uint64_t bytes = 0;
    for (const game_file_t& file : list.files)
        bytes += file.size;
    return bytes;
}

tree_figures figures_of(const fs::path& dir, const game_file_table& list) {
    tree_figures f;
    std::error_code ec;
    for (const game_file_t& file : list.files) {
        uint64_t size = fs::file_size(dir / (std::string(file.name) + compressed_suffix), ec);
        f.compressed += ec ? 0 : size;
    }
    for (fs::directory_iterator it(dir / patch_directory, ec), end; !ec && it != end;
         it.increment(ec)) {
        ++f.patches;
        std::error_code size_ec;
        uint64_t size = it->file_size(size_ec);
        f.patch_bytes += size_ec ? 0 : size;
    }
    return f;
}

// The statement of `dir` in a few words: "signed, valid until ... (N days left)", "not signed".
std::string statement_text(const fs::path& dir) {
    list_statement statement;
    std::string problem;
    statement_found found = read_statement(dir, &statement, &problem);
    if (found != statement_found::read)
        return found == statement_found::none ? "not signed"
                                              : "statement unreadable (" + problem + ")";
    int64_t left = statement.expires - static_cast<int64_t>(std::time(nullptr));
    if (left < 0)
        return "signed, EXPIRED at " + utc_text(statement.expires) +
               ": launchers refuse it; run resign";
    int64_t days = (left + seconds_per_day / 2) / seconds_per_day; // rounded
    return "signed, valid until " + utc_text(statement.expires) + " (" + std::to_string(days) +
           (days == 1 ? " day" : " days") + " left)";
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// Reads the list of release `text` of the tree; fails naming it when it cannot.
void read_release_list(const server_tree& tree, const std::string& text, release_t* release,
                       game_file_table* list) {
    if (!find_release(tree, text, release))
        fail("no release " + text + " under " + tree.releases.string() +
             " (velm-publish releases lists them)");
    std::string error;
    if (!read_list(tree.releases / release->id / list_compressed_name, list, &error))
        fail(error);
}

} // namespace

int status_command(const fs::path& root, const std::string& link) {
    server_tree tree;
    locate_tree(root, &tree, link);
    if (tree.live.empty())
        fail(tree.link.string() + " serves nothing yet");
    if (tree.live_release.empty())
        printf(
            "live        %s, a plain directory (an older publisher's): publish to make releases\n",
            tree.link.c_str());
    release_t live{0, tree.live_release};
    release_info info;
    if (!tree.live_release.empty()) {
        parse_release(tree.live_release, &live);
        info = read_release_info(tree, live);
        printf("live        %s (%s/%s)\n", info.id.c_str(), tree.releases.filename().c_str(),
               info.id.c_str());
        printf("published   %s%s%s\n", utc_text(info.published).c_str(),
               info.rollback_of.empty() ? "" : ", a rollback to ", info.rollback_of.c_str());
        std::string label = info.label.empty() ? "(none)" : info.label;
        for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
            end = label.find('\n', start);
            printf("%s%s\n", start == 0 ? "label       " : "            ",
                   label.substr(start, end - start).c_str());
        }
    }
    printf("sequence    %s, %s\n",
           info.sequence == 0 ? "not recorded" : std::to_string(info.sequence).c_str(),
           statement_text(tree.live).c_str());
    game_file_table list;
    std::string error;
    if (!read_list(tree.live / list_compressed_name, &list, &error)) {
        printf("files       the list cannot be read: %s\n", error.c_str());
        return 1;
    }
    tree_figures f = figures_of(tree.live, list);
    printf("files       %zu, %s (%s compressed)\n", list.files.size(),
           size_text(listed_bytes(list)).c_str(), size_text(f.compressed).c_str());
    printf("patches     %zu, %s\n", f.patches, size_text(f.patch_bytes).c_str());
    printf("kept        %zu releases (velm-publish releases lists them)\n",
           list_releases(tree).size());
    return 0;
}

int releases_command(const fs::path& root, const std::string& link) {
    server_tree tree;
    locate_tree(root, &tree, link);
    std::vector<release_t> releases = list_releases(tree);
    if (releases.empty())
        printf("no releases under %s\n", tree.releases.c_str());
    for (const release_t& release : releases) {
        fs::path dir = tree.releases / release.id;
        release_info info = read_release_info(tree, release);
        game_file_table list;
        std::string error;
        std::string files =
            !is_complete(dir) ? "incomplete (a publish that did not finish)"
            : read_list(dir / list_compressed_name, &list, &error)
                ? std::to_string(list.files.size()) + " files, " + size_text(listed_bytes(list))
                : "list unreadable";
        std::error_code ec;
        bool is_signed = fs::exists(fs::symlink_status(dir / statement_name, ec));
        printf("%s %s  publish %-5s %-10s %s%s%s\n", release.id == tree.live_release ? "*" : " ",
               release.id.c_str(), info.sequence == 0 ? "?" : std::to_string(info.sequence).c_str(),
               is_signed ? "signed" : "unsigned", files.c_str(), info.label.empty() ? "" : "  ",
               first_line(info.label).c_str());
    }
    return 0;
}

int diff_command(const fs::path& root, const std::string& a, const std::string& b,
                 const std::string& link) {
    server_tree tree;
    locate_tree(root, &tree, link);
    release_t from, to;
    game_file_table old_list, new_list;
    read_release_list(tree, a, &from, &old_list);
    read_release_list(tree, b, &to, &new_list);
    size_t added = 0, removed = 0, changed = 0, same = 0;
    uint64_t added_bytes = 0, removed_bytes = 0;
    printf("from %s to %s\n", from.id.c_str(), to.id.c_str());
    for (const game_file_t& o : old_list.files) {
        const game_file_t* n = find_game_file(new_list, o.name);
        if (n == nullptr) {
            printf("removed  %s  %s\n", o.name, size_text(o.size).c_str());
            ++removed;
            removed_bytes += o.size;
        } else if (std::string_view(o.hash) != n->hash) {
            printf("changed  %s  %s -> %s\n", o.name, size_text(o.size).c_str(),
                   size_text(n->size).c_str());
            ++changed;
        } else {
            ++same;
        }
    }
    for (const game_file_t& n : new_list.files)
        if (find_game_file(old_list, n.name) == nullptr) {
            printf("added    %s  %s\n", n.name, size_text(n.size).c_str());
            ++added;
            added_bytes += n.size;
        }
    printf("%zu added (%s), %zu removed (%s), %zu changed, %zu unchanged\n", added,
           size_text(added_bytes).c_str(), removed, size_text(removed_bytes).c_str(), changed,
           same);
    return 0;
}
