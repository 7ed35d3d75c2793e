#include "format/manifest.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "format/binstream.h"
#include "format/names.h"
#include "support/utils.h"

namespace {

constexpr int32_t entry_values = 3;              // name, size, hash
constexpr size_t max_reserved_entries = 1 << 16; // room made before the entries arrive
constexpr size_t digest_length = 40;
constexpr int32_t invalid_utf8 = -1;
constexpr int32_t max_code_point = 0x10FFFF;
constexpr int32_t first_surrogate = 0xD800;
constexpr int32_t last_surrogate = 0xDFFF;

// The names the launcher gives the file list itself at the top of game/: the list, its
// download, its previous copy and its signature's download, compared folded as every name is.
constexpr std::string_view list_names[] = {list_name, list_compressed_name, list_set_aside_name,
                                           statement_name};

// Device names that Windows reserves in every directory, with or without an extension. The
// digit forms include 0 and the superscripts one to three (UTF-8), which Windows also reads as
// digits.
constexpr std::string_view reserved_devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
constexpr std::string_view reserved_ports[] = {"COM", "LPT"};
constexpr std::string_view port_digits[] = {"0", "1", "2", "3",        "4",        "5",       "6",
                                            "7", "8", "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};

// The code point that starts at s[i], its length in *length; invalid_utf8 for an overlong
// form, a surrogate, a value past U+10FFFF, a stray continuation byte or a cut sequence.
int32_t decode_utf8(std::string_view s, size_t i, size_t* length) {
    auto lead = static_cast<unsigned char>(s[i]);
    size_t count;
    int32_t code;
    int32_t smallest;
    if (lead < 0x80) {
        *length = 1;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        count = 2;
        code = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        count = 3;
        code = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        count = 4;
        code = lead & 0x07;
        smallest = 0x10000;
    } else {
        return invalid_utf8;
    }
    if (s.size() - i < count)
        return invalid_utf8;
    for (size_t k = 1; k < count; ++k) {
        auto next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80)
            return invalid_utf8;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < smallest || code > max_code_point ||
        (code >= first_surrogate && code <= last_surrogate))
        return invalid_utf8;
    *length = count;
    return code;
}

void append_utf8(std::string* out, int32_t code) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool is_reserved_device(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1); // Windows drops the spaces before the extension
    std::string upper;
    for (char c : base)
        upper += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (std::string_view device : reserved_devices)
        if (upper == device)
            return true;
    for (std::string_view port : reserved_ports)
        for (std::string_view digit : port_digits)
            if (upper.size() == port.size() + digit.size() && upper.starts_with(port) &&
                upper.ends_with(digit))
                return true;
    return false;
}

const char* component_problem(std::string_view component, bool last) {
    if (component.empty())
        return "empty path component";
    if (component == "." || component == "..")
        return "'.' or '..' component";
    if (component.size() > manifest_max_component)
        return "path component longer than 255 bytes";
    if (last && component.size() > manifest_max_file_component)
        return "file name longer than 247 bytes (its temporary names would pass 255)";
    if (component.back() == '.' || component.back() == ' ')
        return "component ends in '.' or ' '";
    if (is_reserved_device(component))
        return "reserved device name";
    if (!last && component.front() == '.')
        return "below a directory whose name begins with '.', which the launcher never scans";
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

std::string sentence(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string sentence(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int size = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
    vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

} // namespace

const char* manifest_name_problem(std::string_view name) {
    if (name.empty())
        return "empty name";
    if (name.size() > manifest_max_name)
        return "name too long";
    if (name.front() == '/')
        return "absolute path";
    for (size_t i = 0, length = 0; i < name.size(); i += length)
        if (decode_utf8(name, i, &length) == invalid_utf8)
            return "not valid UTF-8";
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return "control character";
        // Windows cannot hold these; '?', '#' and '%' would change the meaning of the URL,
        // where only spaces are escaped.
        if (strchr("\\:<>\"|?*#%", c) != nullptr)
            return "character not allowed in file names or URLs";
    }
    std::string_view first = name.substr(0, name.find('/'));
    static const std::vector<std::string> folded_list_names = [] {
        std::vector<std::string> folded;
        for (std::string_view list_name : list_names)
            folded.push_back(manifest_fold_case(list_name));
        return folded;
    }(); // folded once, not for every listed name
    if (std::ranges::find(folded_list_names, manifest_fold_case(first)) != folded_list_names.end())
        return "the file list's own name, or one of its temporary names";
    size_t start = 0;
    for (;;) {
        size_t slash = name.find('/', start);
        bool last = slash == std::string_view::npos;
        std::string_view component = name.substr(start, last ? slash : slash - start);
        if (const char* problem = component_problem(component, last))
            return problem;
        if (last)
            return nullptr;
        start = slash + 1;
    }
}

std::string manifest_fold_case(std::string_view name) {
    std::string folded;
    folded.reserve(name.size());
    size_t length = 0;
    for (size_t i = 0; i < name.size(); i += length) {
        int32_t code = decode_utf8(name, i, &length);
        if (code == invalid_utf8) {
            folded += name[i];
            length = 1;
        } else {
            append_utf8(&folded, name_fold_code_point(code));
        }
    }
    return folded;
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

game_file_t* find_game_file_ignoring_case(const game_file_table& table, std::string_view name) {
    auto it = table.by_folded_name.find(manifest_fold_case(name));
    return it == table.by_folded_name.end() ? nullptr : it->second;
}

std::string manifest_conflict(const game_file_table& table) {
    // Each name folded, with '/' as NUL (below every other byte), so that in byte order a name
    // comes right before the names below it, and the names of one directory stand together:
    // every clash is between neighbours, or found by a search. No directory is kept apart, so
    // the memory is that of the names once more plus an index each (see manifest.h).
    const std::vector<game_file_t>& files = table.files;
    std::vector<std::string> keys(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        keys[i] = manifest_fold_case(files[i].name);
        std::replace(keys[i].begin(), keys[i].end(), '/', '\0');
    }
    std::vector<uint32_t> order(files.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return std::tie(keys[a], a) < std::tie(keys[b], b); });
    auto below = [](std::string_view key, std::string_view directory) {
        return key.size() > directory.size() && key.starts_with(directory) &&
               key[directory.size()] == '\0';
    };
    // Neighbours: one name twice or in two cases, a name that is also a directory, a directory
    // spelled in two cases (its folded prefix is shared; its spellings must be too).
    for (size_t i = 1; i < order.size(); ++i) {
        const game_file_t& first = files[std::min(order[i - 1], order[i])];
        const game_file_t& second = files[std::max(order[i - 1], order[i])];
        const std::string& key = keys[order[i - 1]];
        const std::string& next = keys[order[i]];
        if (key == next && strcmp(first.name, second.name) == 0)
            return sentence("The file list names \"%s\" twice", first.name);
        if (key == next)
            return sentence(
                "The file list names \"%s\" and \"%s\", which differ only in letter case",
                first.name, second.name);
        if (below(next, key))
            return sentence(
                "The file list names \"%s\" both as a file and as a directory of \"%s\"",
                files[order[i - 1]].name, files[order[i]].name);
        size_t shared =
            std::mismatch(key.begin(), key.end(), next.begin(), next.end()).first - key.begin();
        size_t levels = static_cast<size_t>(
            std::count(key.begin(), key.begin() + static_cast<ptrdiff_t>(shared), '\0'));
        auto directories = [&](const char* name) {
            size_t at = 0;
            for (size_t level = 0; level < levels; ++level)
                at = strchr(name + at, '/') - name + 1;
            return std::string_view(name, at);
        };
        if (directories(first.name) != directories(second.name))
            return sentence("The file list names \"%s\" and \"%s\", whose directories differ only "
                            "in letter case",
                            first.name, second.name);
    }
    // The temporary names beside each file, as a file or as a directory.
    const std::string folded_suffixes[] = {manifest_fold_case(compressed_suffix),
                                           manifest_fold_case(set_aside_suffix)};
    for (size_t i = 0; i < files.size(); ++i)
        for (const std::string& suffix : folded_suffixes) {
            std::string temporary = keys[i] + suffix;
            auto found =
                std::lower_bound(order.begin(), order.end(), temporary,
                                 [&](uint32_t a, const std::string& key) { return keys[a] < key; });
            if (found != order.end() && keys[*found] == temporary)
                return sentence("The file list names \"%s\", which the download of \"%s\" uses as "
                                "a temporary file",
                                files[*found].name, files[i].name);
            if (found != order.end() && below(keys[*found], temporary))
                return sentence("The file list names \"%s\", below a directory that the download "
                                "of \"%s\" uses "
                                "as a temporary name",
                                files[*found].name, files[i].name);
        }
    return "";
}

void manifest_refuse_conflicts(const game_file_table& table) {
    std::string conflict = manifest_conflict(table);
    if (!conflict.empty())
        PANIC("%s", conflict.c_str());
}

void read_manifest_entries(FILE* f, game_file_table* table) {
    CHECK(table->files.empty());
    int32_t count = bs_read_list(f);
    // A count is only a claim until its entries are read: the table grows with what arrives, and
    // the indexes point into it once it stops moving.
    table->files.reserve(std::min(static_cast<size_t>(count), max_reserved_entries));
    for (int32_t i = 0; i < count; ++i) {
        CHECK(bs_read_list(f) == entry_values);
        char* name = bs_read_str(f);
        int64_t size = bs_read_int(f);
        char* hash = bs_read_str(f);
        table->files.push_back({name, static_cast<uint64_t>(size), hash, 0, false});
    }
    table->by_name.reserve(table->files.size());
    table->by_folded_name.reserve(table->files.size());
    for (game_file_t& file : table->files) {
        table->by_name.emplace(file.name, &file);
        table->by_folded_name.emplace(manifest_fold_case(file.name), &file);
    }
}

void parse_manifest(FILE* f, game_file_table* table) {
    read_manifest_entries(f, table);
    for (size_t i = 0; i < table->files.size(); ++i) {
        const game_file_t& file = table->files[i];
        if (const char* problem = manifest_name_problem(file.name))
            PANIC("The file list's entry %" PRIu64 " has an unsafe name (%s): \"%s\"",
                  static_cast<uint64_t>(i), problem, file.name);
        if (static_cast<int64_t>(file.size) < 0)
            PANIC("The file list's entry \"%s\" has a negative size: %" PRId64, file.name,
                  static_cast<int64_t>(file.size));
        if (!is_digest(file.hash))
            PANIC("The file list's entry \"%s\" has a malformed SHA-1 digest: \"%s\"", file.name,
                  file.hash);
    }
    manifest_refuse_conflicts(*table);
}
