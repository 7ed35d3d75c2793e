#include "publish/cli.h"

#include <zstd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "publish/report.h"
#include "publish/verify.h"

namespace {

constexpr size_t max_patch_depth = 16;
constexpr size_t max_kept_trees = 1000;

// The options a command takes, as bits.
enum option_bits : unsigned {
    opt_level = 1,
    opt_patches = 2, // --no-patches, --patch-max-size, --patch-depth, --chunk-size
    opt_keep = 4,
    opt_label = 8,
    opt_sign = 16,    // --sign, --expires, --channel
    opt_channel = 32, // --channel alone
    opt_link = 64,    // --link NAME: another tree than the game's
    opt_unsigned = 128,
};

struct command_t {
    const char* name;
    unsigned options;
    size_t min_positional;
    size_t max_positional;
};

constexpr command_t commands[] = {
    {"build", opt_level | opt_patches | opt_keep | opt_label | opt_sign | opt_unsigned | opt_link,
     2, 2},
    {"rollback", opt_keep | opt_label | opt_sign | opt_unsigned | opt_link, 2, 2},
    {"resign", opt_sign | opt_link, 1, 1},
    {"status", opt_link, 1, 1},
    {"releases", opt_link, 1, 1},
    {"diff", opt_link, 3, 3},
    {"keygen", 0, 1, 1},
    {"pubkey", 0, 1, 1},
    {"verify", opt_channel | opt_link, 2, 2},
    {"patch", opt_level, 3, 3},
    {"list", 0, 1, 1},
    {"hash", 0, 1, SIZE_MAX},
};

constexpr const char* usage_text =
    "usage: velm-publish build [--link NAME] [--level N] [--label TEXT] [--keep N] [--no-patches] "
    "[--patch-depth N]\n"
    "                          [--patch-max-size BYTES] [--chunk-size BYTES]\n"
    "                          [--sign KEYFILE [--channel NAME] [--expires DAYS] | --unsigned] "
    "GAME_DIR ROOT\n"
    "       velm-publish status [--link NAME] ROOT\n"
    "       velm-publish releases [--link NAME] ROOT\n"
    "       velm-publish diff [--link NAME] ROOT RELEASE RELEASE\n"
    "       velm-publish rollback [--link NAME] [--label TEXT] [--keep N]\n"
    "                             [--sign KEYFILE [--channel NAME] [--expires DAYS] | --unsigned] "
    "ROOT RELEASE\n"
    "       velm-publish resign [--link NAME] --sign KEYFILE [--channel NAME] [--expires DAYS] "
    "ROOT\n"
    "       velm-publish keygen KEYFILE\n"
    "       velm-publish pubkey KEYFILE\n"
    "       velm-publish verify [--link NAME] --channel NAME ROOT PUBLIC_KEY\n"
    "       velm-publish patch [--level N] OLD NEW OUT\n"
    "       velm-publish list FILE\n"
    "       velm-publish hash FILE...\n"
    "A RELEASE is its id, its number, or \"live\". --link names the served link ROOT/NAME (default "
    "\"windows\"):\n"
    "the launcher's own files are published beside the game's as \"launcher-windows\", say.\n";

// A whole decimal number from `low` to `high`, or false.
bool parse_number(const char* text, unsigned long long low, unsigned long long high,
                  unsigned long long* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtoull(text, &end, 10);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0 && *value >= low &&
           *value <= high;
}

// A byte count: digits, then optionally K, M or G (binary multiples).
bool parse_size(const char* text, uint64_t* bytes) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    int shift = *end == 'K' ? 10 : *end == 'M' ? 20 : *end == 'G' ? 30 : 0;
    if (shift != 0)
        ++end;
    if (end == text || *end != '\0' || text[0] == '-' || errno != 0 ||
        value > (UINT64_MAX >> shift))
        return false;
    *bytes = static_cast<uint64_t>(value) << shift;
    return true;
}

// Takes the option at argv[*i] (and its value) into `options`; "" or why it is refused.
std::string take_option(int argc, char** argv, int* i, unsigned allowed, build_options* options) {
    std::string name = argv[*i];
    const char* value = *i + 1 < argc ? argv[*i + 1] : nullptr;
    unsigned long long number = 0;
    auto wants = [&](unsigned bit) { return (allowed & bit) != 0; };
    if (name == "--no-patches" && wants(opt_patches)) {
        options->patches = false;
        return "";
    }
    if (name == "--unsigned" && wants(opt_unsigned)) {
        options->signing.unsigned_meant = true;
        return "";
    }
    bool takes_value =
        (name == "--level" && wants(opt_level)) || (name == "--keep" && wants(opt_keep)) ||
        (name == "--label" && wants(opt_label)) ||
        ((name == "--sign" || name == "--expires") && wants(opt_sign)) ||
        (name == "--channel" && wants(opt_sign | opt_channel)) ||
        (name == "--link" && wants(opt_link)) ||
        ((name == "--patch-depth" || name == "--patch-max-size" || name == "--chunk-size") &&
         wants(opt_patches));
    if (!takes_value)
        return "unknown option " + name;
    if (value == nullptr)
        return name + " needs a value";
    ++*i;
    if (name == "--level") {
        char* end = nullptr;
        long level = strtol(value, &end, 10);
        if (end == value || *end != '\0' || level < ZSTD_minCLevel() || level > ZSTD_maxCLevel())
            return "--level wants a zstd level from " + std::to_string(ZSTD_minCLevel()) + " to " +
                   std::to_string(ZSTD_maxCLevel());
        options->level = static_cast<int>(level);
    } else if (name == "--keep") {
        if (!parse_number(value, min_kept_trees, max_kept_trees, &number))
            return "--keep wants a number of trees from " + std::to_string(min_kept_trees) +
                   " (the live one and the one it replaced, which players may still be "
                   "downloading)";
        options->keep = number;
    } else if (name == "--patch-depth") {
        if (!parse_number(value, 0, max_patch_depth, &number))
            return "--patch-depth wants a number of earlier releases from 0 to " +
                   std::to_string(max_patch_depth);
        options->patch_depth = number;
    } else if (name == "--patch-max-size") {
        if (!parse_size(value, &options->patch_max_size))
            return "--patch-max-size wants a byte count such as 1073741824 or 1G";
    } else if (name == "--chunk-size") {
        uint64_t size = 0;
        if (!parse_size(value, &size) || size < chunk_min_average || size > chunk_max_average ||
            (size & (size - 1)) != 0)
            return "--chunk-size wants a power of two from 16K to 4M";
        options->chunk_size = size;
    } else if (name == "--label") {
        if (const char* problem = label_problem(value))
            return std::string("--label: the text ") + problem;
        options->label = value;
        while (!options->label.empty() && options->label.back() == '\n')
            options->label.pop_back();
    } else if (name == "--link") {
        if (const char* problem = link_name_problem(value))
            return std::string("--link: a link name ") + problem;
        options->link = value;
    } else if (name == "--sign") {
        options->signing.key_file = value;
    } else if (name == "--channel") {
        if (!is_channel_name(value))
            return std::string("--channel wants 1 to 128 of A-Z a-z 0-9 . _ : / -, not ") + value;
        options->signing.channel = value;
    } else {
        if (!parse_number(value, 1, max_expiry_days, &number))
            return "--expires wants a number of days from 1 to " + std::to_string(max_expiry_days);
        options->signing.expiry_days = static_cast<long>(number);
        options->signing.expires_set = true;
    }
    return "";
}

} // namespace

cli_request parse_command_line(int argc, char** argv) {
    cli_request request;
    const command_t* command = nullptr;
    for (const command_t& c : commands)
        if (argc >= 1 && strcmp(argv[0], c.name) == 0)
            command = &c;
    if (command == nullptr) {
        request.error = argc >= 1 ? std::string("unknown command ") + argv[0] : "no command";
        return request;
    }
    for (int i = 1; i < argc && request.error.empty(); ++i) {
        if (argv[i][0] == '-' && argv[i][1] == '-' && strcmp(command->name, "hash") != 0)
            request.error = take_option(argc, argv, &i, command->options, &request.options);
        else
            request.positional.push_back(argv[i]);
    }
    size_t given = request.positional.size();
    if (request.error.empty() &&
        (given < command->min_positional || given > command->max_positional))
        request.error = std::string(command->name) + " takes " +
                        (command->min_positional == command->max_positional
                             ? std::to_string(command->min_positional)
                             : "at least " + std::to_string(command->min_positional)) +
                        " argument" + (command->min_positional == 1 ? "" : "s") + ", not " +
                        std::to_string(given);
    const signing_t& signing = request.options.signing;
    if (request.error.empty() && signing.expires_set && signing.key_file == nullptr)
        request.error = "--expires goes with --sign";
    if (request.error.empty() && signing.unsigned_meant && signing.key_file != nullptr)
        request.error = "--unsigned and --sign exclude each other";
    if (request.error.empty() && strcmp(command->name, "verify") == 0 && signing.channel.empty())
        request.error = "verify needs --channel NAME";
    if (request.error.empty() && strcmp(command->name, "resign") == 0 &&
        signing.key_file == nullptr)
        request.error = "resign needs --sign KEYFILE";
    if (request.error.empty())
        request.command = command->name;
    return request;
}

int run_command_line(int argc, char** argv) {
    cli_request r = parse_command_line(argc, argv);
    if (!r.error.empty()) {
        fprintf(stderr, "velm-publish: %s\n%s", r.error.c_str(), usage_text);
        return 2;
    }
    const std::vector<std::string>& p = r.positional;
    if (r.command == "build")
        return build_command(p[0], p[1], &r.options);
    if (r.command == "rollback")
        return rollback_command(p[0], p[1], &r.options);
    const std::string& link = r.options.link;
    if (r.command == "resign")
        return resign_command(p[0], &r.options.signing, link);
    if (r.command == "status")
        return status_command(p[0], link);
    if (r.command == "releases")
        return releases_command(p[0], link);
    if (r.command == "diff")
        return diff_command(p[0], p[1], p[2], link);
    if (r.command == "keygen")
        return keygen_command(p[0].c_str());
    if (r.command == "pubkey")
        return pubkey_command(p[0].c_str());
    if (r.command == "verify")
        return verify_command(p[0], p[1].c_str(), r.options.signing.channel, link);
    if (r.command == "patch")
        return patch_command(p[0], p[1], p[2], r.options.level);
    if (r.command == "list")
        return list_command(p[0].c_str());
    std::vector<char*> paths;
    for (const std::string& path : p)
        paths.push_back(const_cast<char*>(path.c_str()));
    return hash_command(static_cast<int>(paths.size()), paths.data());
}
