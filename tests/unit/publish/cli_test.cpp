#include "publish/cli.h"

#include <list>
#include <sstream>

#include "test_util.h"

// The words of `line` as argv; they live as long as the test program, as a program's argv does.
static cli_request parse(const std::string& line) {
    static std::list<std::vector<std::string>> kept;
    std::istringstream words(line);
    std::vector<std::string>& args = kept.emplace_back(std::istream_iterator<std::string>{words}, std::istream_iterator<std::string>{});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

// Each command takes its own options and arguments; a refused line says why.
TEST(Cli, CommandLinesAreReadOrRefusedWithTheReason) {
    const std::pair<const char*, const char*> rows[] = { // command line, the refusal ("" when accepted)
        {"build game root", ""}, {"build --level 3 --keep 5 --patch-depth 0 --label notes game root", ""},
        {"build --level 23 game root", "--level wants a zstd level"}, {"build --level x game root", "--level wants"},
        {"build --keep 1 game root", "--keep wants a number of trees from 2"}, {"build --patch-depth 17 g r", "--patch-depth"},
        {"build --patch-max-size 2Q g r", "--patch-max-size wants"}, {"build --expires 3 g r", "--expires goes with --sign"},
        {"build --sign k --expires 0 g r", "--expires wants a number of days"}, {"build game", "build takes 2 arguments, not 1"},
        {"build --label", "--label needs a value"}, {"rollback --level 3 root 2", "unknown option --level"},
        {"rollback --sign k root 2", ""}, {"resign root", "resign needs --sign KEYFILE"}, {"resign --sign k root", ""},
        {"status root", ""}, {"diff root 1", "diff takes 3 arguments"}, {"hash a --b", ""}, {"hash", "at least 1 argument,"},
        {"build --unsigned g r", ""}, {"rollback --unsigned r 2", ""}, {"build --unsigned --sign k g r", "exclude each other"},
        {"resign --unsigned r", "unknown option --unsigned"}, {"publish root", "unknown command publish"}, {"", "no command"},
        {"patch --no-patches a b c", "unknown option"}, {"rollback --link launcher-linux root 2", ""},
        {"status --link releases-x root", "may not begin with \"releases\""},
        {"status --link a/b root", "--link: a link name is 1 to 64"}, {"keygen --link x k", "unknown option --link"},
        {"build --chunk-size 8K g r", "--chunk-size wants a power of two from 16K to 4M"},
        {"build --chunk-size 96K g r", "--chunk-size wants"}, {"build --chunk-size 8M g r", "--chunk-size wants"},
        {"build --link launcher-linux --chunk-size 64K --unsigned g r", ""},
    };
    for (const auto& [line, refusal] : rows) {
        cli_request r = parse(line);
        EXPECT_EQ(r.error.empty(), refusal[0] == '\0') << line << ": " << r.error;
        EXPECT_NE(r.error.find(refusal), std::string::npos) << line << ": " << r.error;
        EXPECT_EQ(r.command.empty(), !r.error.empty()) << line;
    }
    cli_request r = parse("build --level 3 --keep 5 --patch-depth 0 --patch-max-size 2M --chunk-size 64K --sign k --expires 9 g r");
    EXPECT_TRUE(r.options.level == 3 && r.options.keep == 5 && r.options.patch_depth == 0 && r.options.patch_max_size == 2u << 20);
    EXPECT_EQ(r.options.chunk_size, 64u << 10);
    EXPECT_TRUE(r.options.signing.expiry_days == 9 && std::string(r.options.signing.key_file) == "k");
    EXPECT_EQ(r.positional, (std::vector<std::string>{"g", "r"}));
    char label_arg[] = "--label", text[] = "Spring\nnew maps\n\n", bell[] = "ring\a", game[] = "g", root[] = "r";
    char* with_label[] = {const_cast<char*>("build"), label_arg, text, game, root};
    EXPECT_EQ(parse_command_line(5, with_label).options.label, "Spring\nnew maps"); // trailing line feeds go
    with_label[2] = bell;
    EXPECT_NE(parse_command_line(5, with_label).error.find("control character"), std::string::npos);
}
