#include "manifest.h"

#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "binstream.h"
#include "utils.h"

namespace {

constexpr int32_t entry_values = 3; // name, size, hash
constexpr size_t digest_length = 40;

// Device names that Windows reserves in every directory, with or without an extension.
bool is_reserved_device(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    std::string upper;
    for (char c : base)
        upper += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL")
        return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           upper[3] >= '1' && upper[3] <= '9';
}

const char* component_problem(std::string_view component) {
    if (component.empty())
        return "empty path component";
    if (component == "." || component == "..")
        return "'.' or '..' component";
    if (component.size() > manifest_max_component)
        return "path component longer than 255 bytes";
    if (component.back() == '.' || component.back() == ' ')
        return "component ends in '.' or ' '";
    if (is_reserved_device(component))
        return "reserved device name";
    return nullptr;
}

bool is_digest(const char* hash) {
    if (strlen(hash) != digest_length)
        return false;
    for (const char* c = hash; *c != '\0'; ++c)
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f')))
            return false;
    return true;
}

} // namespace

const char* manifest_name_problem(std::string_view name) {
    if (name.empty())
        return "empty name";
    if (name.size() > manifest_max_name)
        return "name too long";
    if (name.front() == '/')
        return "absolute path";
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return "control character";
        // Windows cannot hold these; '?', '#' and '%' would change the meaning of the URL,
        // where only spaces are escaped.
        if (strchr("\\:<>\"|?*#%", c) != nullptr)
            return "character not allowed in file names or URLs";
    }
    size_t start = 0;
    for (;;) {
        size_t slash = name.find('/', start);
        std::string_view component = name.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (const char* problem = component_problem(component))
            return problem;
        if (slash == std::string_view::npos)
            return nullptr;
        start = slash + 1;
    }
}

game_file_table::~game_file_table() {
    for (game_file_t& file : files) {
        free(file.name);
        free(file.hash);
    }
}

game_file_t* find_game_file(const game_file_table& table, std::string_view name) {
    auto it = table.by_name.find(name);
    return it == table.by_name.end() ? nullptr : it->second;
}

void manifest_refuse_conflicts(const game_file_table& table) {
    for (const game_file_t& file : table.files) {
        std::string_view name = file.name;
        for (size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1))
            if (const game_file_t* dir = find_game_file(table, name.substr(0, slash)))
                PANIC("The file list names \"%s\" both as a file and as a directory of \"%s\"", dir->name,
                      file.name);
        for (const char* suffix : {".zs", ".upd_old"}) {
            std::string temporary = std::string(name) + suffix;
            if (find_game_file(table, temporary) != nullptr)
                PANIC("The file list names \"%s\", which the download of \"%s\" uses as a temporary file",
                      temporary.c_str(), file.name);
        }
    }
}

void parse_manifest(FILE* f, game_file_table* table) {
    CHECK(table->files.empty());
    int32_t count = bs_read_list(f);
    table->files.reserve(static_cast<size_t>(count));
    table->by_name.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        CHECK(bs_read_list(f) == entry_values);
        char* name = bs_read_str(f);
        int64_t size = bs_read_int(f);
        char* hash = bs_read_str(f);
        if (const char* problem = manifest_name_problem(name))
            PANIC("The file list's entry %" PRId32 " has an unsafe name (%s): \"%s\"", i, problem, name);
        if (size < 0)
            PANIC("The file list's entry \"%s\" has a negative size: %" PRId64, name, size);
        if (!is_digest(hash))
            PANIC("The file list's entry \"%s\" has a malformed SHA-1 digest: \"%s\"", name, hash);
        table->files.push_back({name, static_cast<uint64_t>(size), hash, 0, false});
        if (!table->by_name.emplace(name, &table->files.back()).second)
            PANIC("The file list names \"%s\" twice", name);
    }
    manifest_refuse_conflicts(*table);
}
