#include "publish/patches.h"

#include <algorithm>
#include <cinttypes>
#include <thread>

#include "format/names.h"
#include "format/patch.h"

namespace {

constexpr size_t patch_file_name_size = 40 + 1 + 40 + 4; // <40 hex>-<40 hex>.zst

std::string place_of(const std::string& old_digest, const std::string& new_digest) {
    char place[patch_name_size];
    patch_name(old_digest.c_str(), new_digest.c_str(), place);
    return place;
}

void add_note(std::string* note, const std::string& text) {
    *note += (note->empty() ? "" : ", ") + text;
}

// Hard-links into the release the live tree's patches to `file`'s content, which did not change.
void carry_patches(patch_plan* plan, const published_file& file, std::string* note) {
    auto found = plan->live_patches.find(file.hash);
    if (found == plan->live_patches.end())
        return;
    for (const std::string& name : found->second) {
        std::string place = std::string(patch_directory) + "/" + name;
        if (!claim_place(plan, place))
            continue;
        fs::path from = plan->bases.front().dir / place;
        std::error_code ec;
        uint64_t size = fs::file_size(from, ec);
        if (!ec && link_or_copy(from, plan->release / place))
            add_note(note, "patch " + size_text(size) + " kept");
    }
}

// Makes the patch from the content of the base's `zs` to `file`'s content, and keeps it when
// it is small enough. `old_digest` is the base's listed digest, or empty (a plain tree: known
// once decompressed).
bool make_one(patch_plan* plan, const published_file& file, const fs::path& zs,
              std::string old_digest, std::string* note, std::string* error) {
    if (!old_digest.empty() && !claim_place(plan, place_of(old_digest, file.hash)))
        return true;
    mapped_file old_content, new_content;
    std::string digest, problem;
    if (!map_decompressed(zs, plan->release / patch_directory, plan->max_size, &old_content,
                          &digest, &problem)) {
        warn("no patch for " + file.name + " from " + zs.string() + ": " + problem);
        return true;
    }
    if (old_digest.empty() &&
        (digest == file.hash || !claim_place(plan, place_of(digest, file.hash))))
        return true;
    if (!old_digest.empty() && digest != old_digest) {
        warn("no patch for " + file.name + ": " + zs.string() +
             " does not hold its listed content");
        return true;
    }
    if (old_content.size == 0)
        return true;
    if (!map_file(file.source, &new_content, error))
        return false;
    fs::path out = plan->release / place_of(digest, file.hash);
    patch_result made;
    {
        // A large patch takes every core and a buffer as large as its window: one at a time.
        bool large = std::max(old_content.size, new_content.size) >= multithread_threshold;
        std::unique_lock<std::mutex> hold(plan->large_lock, std::defer_lock);
        if (large)
            hold.lock();
        int threads = large ? static_cast<int>(std::thread::hardware_concurrency()) : 1;
        make_patch(old_content.bytes(), new_content.bytes(), out.c_str(), plan->level, threads,
                   &made);
    }
    if (!made.ok) {
        *error = "the patch for " + file.name + ": " + made.problem;
        return false;
    }
    // The patch must make the listed content: the file may not change while it is read.
    if (new_content.size != file.size || digest_of_bytes(new_content.bytes()) != file.hash) {
        *error = file.source.string() + ": changed while it was being published";
        return false;
    }
    std::error_code ec;
    fs::path new_zs = plan->release / (file.name + compressed_suffix);
    uint64_t zs_size = fs::file_size(new_zs, ec);
    if (ec) {
        *error = describe(new_zs, ec);
        return false;
    }
    std::string share = percent_text(made.size, zs_size) + " of the .zs";
    if (made.size * 100 >= zs_size * patch_kept_percent) {
        fs::remove(out, ec);
        add_note(note, "no patch (" + share + ")");
    } else {
        add_note(note, "patch " + size_text(made.size) + " (" + share + ")");
    }
    return true;
}

} // namespace

bool claim_place(patch_plan* plan, const std::string& place) {
    std::lock_guard<std::mutex> hold(plan->lock);
    return plan->names.insert(place).second;
}

void unclaim_place(patch_plan* plan, const std::string& place) {
    std::lock_guard<std::mutex> hold(plan->lock);
    plan->names.erase(place);
}

void find_patch_bases(const server_tree& tree, std::shared_ptr<const game_file_table> live_list,
                      const fs::path& building, size_t depth, patch_plan* plan) {
    if (!plan->enabled || depth == 0 || tree.live.empty())
        return;
    if (tree.live_is_plain) {
        plan->bases.push_back({tree.live, nullptr, true});
        return;
    }
    if (live_list == nullptr) // nothing proves the live .zs, nor which patches the live tree holds
        return;
    plan->bases.push_back({tree.live, std::move(live_list), false});
    for (const release_t& release : list_releases(tree)) {
        fs::path dir = tree.releases / release.id;
        if (plan->bases.size() >= depth || release.id == tree.live_release || dir == building ||
            !is_complete(dir))
            continue;
        auto list = std::make_shared<game_file_table>();
        std::string error;
        if (read_list(dir / list_compressed_name, list.get(), &error))
            plan->bases.push_back({dir, std::move(list), false});
        else
            warn(error + ": no patches from it");
    }
    std::error_code ec;
    for (fs::directory_iterator it(tree.live / patch_directory, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() == patch_file_name_size && name[40] == '-' && name.ends_with(patch_suffix))
            plan->live_patches[name.substr(41, 40)].push_back(name);
    }
}

bool patch_file(patch_plan* plan, const published_file& file, bool reused, std::string* note,
                std::string* error) {
    if (!plan->enabled || plan->bases.empty() || file.size == 0 || file.size > plan->max_size)
        return true;
    const patch_base& live = plan->bases.front();
    if (live.plain) // no patches to keep; its .zs proves itself when decompressed
        return reused ||
               make_one(plan, file, live.dir / (file.name + compressed_suffix), "", note, error);
    const game_file_t* in_live = find_game_file(*live.list, file.name);
    if (in_live != nullptr && file.hash == in_live->hash)
        carry_patches(plan, file, note);
    for (const patch_base& base : plan->bases) {
        const game_file_t* old = find_game_file(*base.list, file.name);
        if (old == nullptr || file.hash == old->hash || old->size == 0 ||
            old->size > plan->max_size)
            continue;
        if (!make_one(plan, file, base.dir / (file.name + compressed_suffix), old->hash, note,
                      error))
            return false;
    }
    return true;
}

int patch_command(const fs::path& old_path, const fs::path& new_path, const fs::path& out,
                  int level) {
    mapped_file old_content, new_content;
    std::string error;
    if (!map_file(old_path, &old_content, &error) || !map_file(new_path, &new_content, &error))
        fail(error);
    patch_result made;
    make_patch(old_content.bytes(), new_content.bytes(), out.c_str(), level,
               static_cast<int>(std::thread::hardware_concurrency()), &made);
    if (!made.ok)
        fail(made.problem);
    printf("%" PRIu64 " bytes, level %d, window log %d: %s\n", made.size, level,
           patch_window_log(old_content.size, new_content.size), out.c_str());
    return 0;
}
