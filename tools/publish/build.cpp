#include "publish/build.h"

#include <atomic>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "format/binstream.h"
#include "format/names.h"
#include "publish/chunks.h"

namespace {

// One release being built from a game directory.
struct build_t {
    std::vector<published_file> files;
    const server_tree* tree;
    std::shared_ptr<const game_file_table> live_list; // null: nothing proves the live .zs
    fs::path release;                                 // ROOT/releases/<id>, being built
    int level;
    patch_plan plan;
    // The first failure; the workers stop taking files once it is set.
    std::mutex error_lock;
    std::string error;
    std::atomic<bool> failed{false};
};

void record_failure(build_t* build, const std::string& message) {
    std::lock_guard<std::mutex> hold(build->error_lock);
    if (!build->failed.exchange(true))
        build->error = message;
}

// Whether the live tree's .zs of `file` may serve the new tree: one of our releases proves it
// by its list; a plain tree only by decompressing it.
bool can_reuse(const build_t& build, const published_file& file, const fs::path& live_zs) {
    std::error_code ec;
    if (build.tree->live.empty() || !fs::is_regular_file(fs::symlink_status(live_zs, ec)))
        return false;
    std::string ignored;
    if (build.tree->live_is_plain)
        return zs_holds(live_zs, file.size, file.hash.c_str(), &ignored);
    if (build.live_list == nullptr)
        return false;
    const game_file_t* old = find_game_file(*build.live_list, file.name);
    return old != nullptr && old->size == file.size && file.hash == old->hash;
}

// One file into the release: hashed, then its live .zs hard-linked (copied where links fail)
// or the file compressed; a large file's chunks too, as its .zs when it is not reused. Returns
// "reused", "compressed" or "chunked" (*note saying more), or null after recording a failure.
const char* publish_file(build_t* build, published_file* file, std::string* note) {
    std::string error;
    uint64_t read_size = 0;
    if (!hash_file(file->source, &file->hash, &read_size, &error)) {
        record_failure(build, error);
        return nullptr;
    }
    if (read_size != file->size) {
        record_failure(build, file->source.string() + ": changed while it was being published");
        return nullptr;
    }
    fs::path zs = build->release / (file->name + compressed_suffix);
    std::error_code ec;
    fs::create_directories(zs.parent_path(), ec);
    if (ec && !fs::is_directory(zs.parent_path())) {
        record_failure(build, describe(zs.parent_path(), ec));
        return nullptr;
    }
    fs::path live_zs = build->tree->live / (file->name + compressed_suffix);
    bool chunked = is_chunked(build->plan, *file);
    if (can_reuse(*build, *file, live_zs) && link_or_copy(live_zs, zs)) {
        if (chunked && !carry_chunks(&build->plan, *file, note, &error)) {
            record_failure(build, error);
            return nullptr;
        }
        return "reused";
    }
    if (chunked) {
        if (!publish_chunks(&build->plan, *file, &zs, note, &error)) {
            record_failure(build, error);
            return nullptr;
        }
        return "chunked";
    }
    if (!compress_file(file->source, zs, file->size, file->hash, build->level, &error)) {
        record_failure(build, error);
        return nullptr;
    }
    return "compressed";
}

void publish_files(build_t* build) {
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    size_t total = build->files.size();
    auto work = [&] {
        for (size_t i = next++; i < total && !build->failed; i = next++) {
            published_file& file = build->files[i];
            std::string note, error;
            const char* what = publish_file(build, &file, &note);
            if (what == nullptr)
                return;
            if (!patch_file(&build->plan, file, strcmp(what, "reused") == 0, &note, &error)) {
                record_failure(build, error);
                return;
            }
            std::error_code ec;
            uint64_t compressed =
                fs::file_size(build->release / (file.name + compressed_suffix), ec);
            printf("[%zu/%zu] %-10s %12" PRIu64 " -> %12" PRIu64 "  %s%s%s\n", ++done, total, what,
                   file.size, ec ? 0 : compressed, note.c_str(), note.empty() ? "" : "  ",
                   file.name.c_str());
        }
    };
    run_on_every_core(work);
}

// An unsigned release over a signed live tree: every launcher built with the vendor's keys
// refuses its list until a signed one is live again. Refused before anything is written, unless
// --unsigned says it is meant.
void refuse_unsigned_over_signed(const server_tree& tree, const signing_t& signing) {
    std::error_code ec;
    if (signing.key_file != nullptr || tree.live.empty() ||
        !fs::exists(fs::symlink_status(tree.live / statement_name, ec)))
        return;
    if (!signing.unsigned_meant)
        fail("the live tree is signed and this release would not be: every launcher built with "
             "your public keys would "
             "refuse it. Sign it with --sign KEYFILE, or give --unsigned if an unsigned release is "
             "meant");
    warn("the live tree is signed and this release is not (--unsigned): launchers built with your "
         "public keys refuse it");
}

// The last steps of a publish or a rollback, once the release `id` is complete but for its
// record and statement: both written, the sequence recorded, the tree switched live, older
// trees pruned. Removes the release and fails on any error before the switch.
void finish_release(const server_tree& tree, const std::string& id, const std::string& replaced_id,
                    release_info info, const build_options& options) {
    fs::path dir = tree.releases / id;
    std::string error;
    info.sequence = highest_sequence(tree) + 1;
    bool ok = write_release_info(dir, info, &error) &&
              (options.signing.key_file == nullptr ||
               sign_release(dir, options.signing, info.sequence, info.published, &error)) &&
              record_sequence(tree, info.sequence, &error);
    if (!ok) {
        std::error_code ec;
        fs::remove_all(dir, ec);
        fail(error + "; nothing was published");
    }
    switch_live(tree, id, replaced_id);
    prune(tree, id, replaced_id, options.keep);
}

} // namespace

std::vector<published_file> collect_files(const fs::path& game_dir) {
    std::vector<published_file> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(game_dir, ec), end;
    if (ec)
        fail(describe(game_dir, ec));
    for (; it != end; it.increment(ec)) {
        if (ec)
            fail("reading " + game_dir.string() + ": " + ec.message());
        const fs::directory_entry& entry = *it;
        std::string name = entry.path().lexically_relative(game_dir).generic_string();
        fs::file_status status = entry.symlink_status(ec);
        if (ec)
            fail(describe(entry.path(), ec));
        if (fs::is_symlink(status)) {
            warn("skipping link " + name);
            continue;
        }
        if (fs::is_directory(status)) {
            if (entry.path().filename().string().starts_with(".")) {
                warn("skipping " + name + "/ (the launcher never scans dot-directories)");
                it.disable_recursion_pending();
            }
            continue;
        }
        if (!fs::is_regular_file(status)) {
            warn("skipping " + name + " (not a regular file)");
            continue;
        }
        uint64_t size = entry.file_size(ec);
        if (ec)
            fail(describe(entry.path(), ec));
        files.push_back({name, entry.path(), size, ""});
    }
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    return files;
}

void refuse_unsafe_names(const std::vector<published_file>& files, const fs::path& game_dir) {
    bool refused = false;
    for (const published_file& file : files)
        if (const char* problem = manifest_name_problem(file.name)) {
            fprintf(stderr, "velm-publish: refusing \"%s\": %s\n", file.name.c_str(), problem);
            refused = true;
        }
    if (refused)
        fail("nothing was published: rename the files above in " + game_dir.string());
    game_file_table table;
    table.files.reserve(files.size());
    for (const published_file& file : files)
        table.files.push_back({strdup(file.name.c_str()), file.size, nullptr, 0, false});
    std::string conflict = manifest_conflict(table);
    if (!conflict.empty())
        fail("refusing " + game_dir.string() + ": " + conflict + "; nothing was published");
}

bool write_list(const fs::path& dir, const std::vector<published_file>& files, int level,
                std::string* error) {
    fs::path plain = dir / list_name;
    FILE* f = fopen(plain.c_str(), "wb");
    if (f == nullptr) {
        *error = describe_errno(plain);
        return false;
    }
    bs_write_list(f, static_cast<int32_t>(files.size()));
    for (const published_file& file : files) {
        bs_write_list(f, 3);
        bs_write_str(f, file.name.c_str());
        bs_write_int(f, static_cast<int64_t>(file.size));
        bs_write_str(f, file.hash.c_str());
    }
    if (fclose(f) != 0) {
        *error = plain.string() + ": write error";
        return false;
    }
    std::string digest;
    uint64_t size = 0;
    if (!hash_file(plain, &digest, &size, error))
        return false;
    if (size > list_limit) {
        *error = "the file list would take " + std::to_string(size) +
                 " bytes; the launcher reads at most 64 MiB";
        return false;
    }
    file_ptr check(fopen(plain.c_str(), "rb"));
    game_file_table table;
    if (check != nullptr)
        parse_manifest(check.get(), &table);
    if (table.files.size() != files.size()) {
        *error = "the written file list does not read back";
        return false;
    }
    if (!compress_file(plain, dir / list_compressed_name, size, digest, level, error))
        return false;
    std::error_code ec;
    fs::remove(plain, ec);
    return true;
}

int build_command(const fs::path& game_dir, const fs::path& root, build_options* options) {
    read_signing_key(&options->signing);
    std::error_code ec;
    if (!fs::is_directory(game_dir, ec))
        fail(game_dir.string() + ": not a directory");

    // Nothing is written before the names are known to be safe.
    build_t build;
    build.files = collect_files(game_dir);
    refuse_unsafe_names(build.files, game_dir);

    server_tree tree;
    open_tree(root, &tree, options->link);
    resolve_channel(tree, &options->signing);
    refuse_unsigned_over_signed(tree, options->signing);
    highest_sequence(tree); // a sequence that cannot be read stops the publish before any work
    if (!tree.live_release.empty() && is_complete(tree.live)) {
        auto live_list = std::make_shared<game_file_table>();
        std::string error;
        if (read_list(tree.live / list_compressed_name, live_list.get(), &error))
            build.live_list = std::move(live_list);
        else
            warn("the live file list cannot be read (" + error +
                 "): every file is compressed anew");
    }
    std::vector<release_t> releases = list_releases(tree);
    uint64_t number = releases.empty() ? 1 : releases.front().number + 1;
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    // A plain windows/ directory becomes the release before the new one.
    std::string replaced_id = tree.live_release;
    if (tree.live_is_plain)
        replaced_id = release_id(number++, now);
    std::string id = release_id(number, now);
    build.tree = &tree;
    build.release = tree.releases / id;
    build.level = options->level;
    build.plan.enabled = options->patches;
    build.plan.max_size = options->patch_max_size;
    build.plan.level = options->level;
    build.plan.release = build.release;
    build.plan.chunk_average = options->chunk_size;
    if (!tree.live.empty() && !tree.live_is_plain)
        build.plan.chunk_sources.push_back(tree.live);
    if (!fs::create_directory(build.release, ec) || ec)
        fail("creating " + build.release.string() + ": " + (ec ? ec.message() : "it exists"));
    if (options->patches && !fs::create_directory(build.release / patch_directory, ec))
        fail("creating " + (build.release / patch_directory).string() + ": " + ec.message());
    find_patch_bases(tree, build.live_list, build.release, options->patch_depth, &build.plan);
    for (const release_t& release : releases) // chunks are shared with every kept tree
        build.plan.chunk_sources.push_back(tree.releases / release.id);
    if (tree.live_is_plain)
        printf(
            "%s is a plain directory: its .zs are reused only where they decompress to the file\n",
            tree.link.c_str());

    publish_files(&build);
    fs::remove(build.release / patch_directory,
               ec); // only when empty: a tree with no patch has no directory
    std::string error;
    if (!build.failed && !write_list(build.release, build.files, options->level, &error))
        record_failure(&build, error);
    if (build.failed) {
        fs::remove_all(build.release, ec);
        fail(build.error + "; nothing was published");
    }
    finish_release(tree, id, replaced_id, {id, now, 0, options->label, ""}, *options);
    printf("published %zu files to %s (%s/%s)\n", build.files.size(), tree.link.c_str(),
           tree.releases.filename().c_str(), id.c_str());
    return 0;
}

int rollback_command(const fs::path& root, const std::string& wanted, build_options* options) {
    read_signing_key(&options->signing);
    server_tree tree;
    open_tree(root, &tree, options->link);
    resolve_channel(tree, &options->signing);
    release_t old;
    if (!find_release(tree, wanted, &old))
        fail("no release " + wanted + " under " + tree.releases.string() +
             " (velm-publish releases lists them)");
    if (old.id == tree.live_release)
        fail(old.id + " is live already");
    fs::path from = tree.releases / old.id;
    if (!is_complete(from))
        fail(old.id + " is not a complete release (a publish that did not finish)");
    refuse_unsigned_over_signed(tree, options->signing);
    release_info info = read_release_info(tree, old);

    uint64_t number = list_releases(tree).front().number + 1;
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::string replaced_id = tree.live_is_plain ? release_id(number++, now) : tree.live_release;
    std::string id = release_id(number, now);
    fs::path to = tree.releases / id;
    std::error_code ec;
    if (!fs::create_directory(to, ec) || ec)
        fail("creating " + to.string() + ": " + (ec ? ec.message() : "it exists"));
    // Every file of the kept tree but its statement and record, hard-linked: the same bytes.
    size_t linked = 0;
    std::string error;
    for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end && error.empty();
         it.increment(ec)) {
        fs::path relative = it->path().lexically_relative(from);
        if (relative == statement_name || relative.string().starts_with(release_info_dir)) {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code made;
        if (it->is_directory(made) && !it->is_symlink(made))
            fs::create_directories(to / relative, made);
        else if (it->is_regular_file(made) && link_or_copy(it->path(), to / relative))
            ++linked;
        else
            error = (from / relative).string() + ": cannot be linked into " + to.string();
    }
    if (ec || !error.empty() || !is_complete(to)) {
        fs::remove_all(to, ec);
        fail((error.empty() ? describe(from, ec) : error) + "; nothing was published");
    }
    release_info made{id, now, 0, options->label.empty() ? info.label : options->label, old.id};
    finish_release(tree, id, replaced_id, made, *options);
    printf("rolled back to %s as %s/%s (%zu files linked, nothing compressed)\n", old.id.c_str(),
           tree.releases.filename().c_str(), id.c_str(), linked);
    return 0;
}
