#include "format/manifest.h"

#include "format/binstream.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

constexpr const char* digest_a = "a9993e364706816aba3e25717850c26c9cd0d89d";

struct entry {
    std::string name;
    int64_t size = 1;
    std::string hash = digest_a;
};

// A file list as the publisher writes it, in a temporary stream positioned at its start.
FILE* list_of(const std::vector<entry>& entries) {
    FILE* f = tmpfile();
    bs_write_list(f, static_cast<int32_t>(entries.size()));
    for (const auto& e : entries) {
        bs_write_list(f, 3);
        bs_write_str(f, e.name.c_str());
        bs_write_int(f, e.size);
        bs_write_str(f, e.hash.c_str());
    }
    rewind(f);
    return f;
}

void parse(FILE* f) {
    game_file_table table;
    parse_manifest(f, &table);
}

// Entries keep the list's order, sizes past 4 GiB keep every bit, and both indexes (exact, and
// folded as Windows compares) find every entry of a list far longer than 1024 entries.
TEST(Manifest, ReadsEntriesInOrderWithIndexes) {
    std::vector<entry> entries = {{"readme.txt", 1000}, {"sound/big hall.ogg", 0}, {"data/huge.pak", 5LL << 32}};
    for (int i = 3; i < 5000; ++i)
        entries.push_back({"dir" + std::to_string(i % 7) + "/file " + std::to_string(i), i});
    FILE* f = list_of(entries);
    game_file_table table;
    parse_manifest(f, &table);
    fclose(f);
    ASSERT_EQ(table.files.size(), 5000u);
    for (size_t i = 0; i < entries.size(); ++i) {
        ASSERT_EQ(find_game_file(table, entries[i].name), &table.files[i]);
        EXPECT_EQ(table.files[i].size, static_cast<uint64_t>(entries[i].size));
        EXPECT_STREQ(table.files[i].hash, digest_a);
        EXPECT_FALSE(table.files[i].local_exists);
    }
    EXPECT_EQ(find_game_file(table, "Readme.txt"), nullptr);
    EXPECT_EQ(find_game_file(table, "sound"), nullptr);
    EXPECT_EQ(find_game_file_ignoring_case(table, "SOUND/Big Hall.ogg"), &table.files[1]);
    EXPECT_EQ(find_game_file_ignoring_case(table, "sound"), nullptr);

    // The list's documented bytes: one entry of 1000 bytes named readme.txt; what follows the
    // list is never read. An empty list is one byte.
    f = stream_of(bytes({0xA1, 0xA3, 0x8A}) + "readme.txt" + bytes({0x39, 0x03, 0xE8, 0x9E, 0x28}) + digest_a +
                             bytes({0xFF}));
    game_file_table one;
    parse_manifest(f, &one);
    fclose(f);
    ASSERT_EQ(one.files.size(), 1u);
    EXPECT_STREQ(one.files[0].name, "readme.txt");
    EXPECT_EQ(one.files[0].size, 1000u);
    f = stream_of(bytes({0xA0}));
    game_file_table none;
    parse_manifest(f, &none);
    fclose(f);
    EXPECT_TRUE(none.files.empty());
}

// A name of `length` bytes in components of 199 bytes and a last one of what is left.
std::string path_of(size_t length) {
    std::string path(length, 'd');
    for (size_t slash = 199; slash < length - 1; slash += 200)
        path[slash] = '/';
    return path;
}

// Every rule of the names: unsafe paths, characters Windows or URLs cannot hold, control
// characters, reserved device names in any case (with extension, trailing spaces, the digit 0
// and superscripts), trailing '.' or ' ', bytes that are not UTF-8, the file list's own names at
// the top, directories beginning with '.', and the length limits at their edges (a file's name
// 247 bytes, another component 255, the whole name 1010 so that "game/<name>.upd_old" fits 1024).
TEST(Manifest, NameRules) {
    const std::string unsafe[] = {
        "", "/abs", "../x", "a/../../x", "./a", "a/./b", "a//b", "dir/", "a\\b", "c:evil", "tab\there", "del\x7f",
        "what?", "star*", "pipe|", "hash#tag", "100%", "quote\"", "<angle>", "name.", "name ", "CON.txt", "con",
        "sub/nul.dat", "LPT9", "com1.log", "CONIN$", "conout$.log", "COM0", "lpt0.txt", "COM\xC2\xB9",
        "lpt\xC2\xB2.dat", "Com\xC2\xB3", "dir/LPT\xC2\xB9", "nul .txt", "aux", "PRN.x",
        "over\xC0\xAFlong", "over\xE0\x80\xAFlong", "sur\xED\xA0\x80gate", "big\xF4\x90\x80\x80", "cut\xC3",
        "cut\xE2\x82", "stray\x80", "five\xF8\x88\x80\x80\x80", "latin1\xE9.txt",
        "manifest.dat", "Manifest.DAT.zs", "MANIFEST.DAT.UPD_OLD", "manifest.dat/x", "manifest.dat.zs.SIG",
        ".cfg/x", "a/.hidden/b", std::string(248, 'f'), "dir/" + std::string(248, 'f'), std::string(256, 'c') + "/x",
        path_of(1011),
    };
    for (const auto& name : unsafe)
        EXPECT_NE(manifest_name_problem(name), nullptr) << testing::PrintToString(name);
    const std::string safe[] = {
        "a", "launcher.dat", "with spaces/and more.txt", ".hidden", "dir.with.dots/x", "CONSOLE.txt", "com10",
        "nul_file", "über/ß.txt", "CONIN", "COM\xC2\xB9\xC2\xB9", "LPT\xC2\xB4", "sub/manifest.dat",
        "manifest.dat.txt", "a/.hidden", "emoji \xF0\x9F\x8E\xAE", "max\xF4\x8F\xBF\xBF", std::string(247, 'f'),
        "dir/" + std::string(247, 'f'), std::string(255, 'c') + "/x", path_of(1010),
    };
    for (const auto& name : safe)
        EXPECT_EQ(manifest_name_problem(name), nullptr) << name;
}

// Names that clash on disk: twice, in two letter cases (ASCII and Latin, as Windows folds),
// directories in two cases, a file that is also a directory, and the download's temporary names
// (".zs", ".upd_old") used as a file or a directory.
TEST(Manifest, ConflictingNames) {
    const struct {
        std::vector<entry> entries;
        const char* sentence; // a part of the sentence; "" for no conflict
    } rows[] = {
        {{{"a.txt"}, {"a.txt"}}, "names \"a.txt\" twice"},
        {{{"a"}, {"a/b"}}, "\"a\" both as a file and as a directory of \"a/b\""},
        {{{"x/y/z"}, {"x/y"}}, "\"x/y\" both as a file and as a directory of \"x/y/z\""},
        {{{"f.pak"}, {"f.pak.zs"}}, "\"f.pak.zs\", which the download of \"f.pak\" uses as a temporary file"},
        {{{"f.pak.upd_old"}, {"f.pak"}}, "\"f.pak.upd_old\", which the download of \"f.pak\""},
        {{{"Data.bin"}, {"data.bin"}}, "\"Data.bin\" and \"data.bin\", which differ only in letter case"},
        {{{"\xC3\x89T\xC3\x89.txt"}, {"\xC3\xA9t\xC3\xA9.txt"}}, "differ only in letter case"},
        {{{"\xC5\xBD.txt"}, {"\xC5\xBE.txt"}}, "differ only in letter case"},
        {{{"\xC5\xB8"}, {"\xC3\xBF"}}, "differ only in letter case"},
        {{{"Sub/x"}, {"sub/y"}}, "\"Sub/x\" and \"sub/y\", whose directories differ only in letter case"},
        {{{"a/B/c/x"}, {"a/b/c/y"}}, "whose directories differ"},
        {{{"Data"}, {"data/x"}}, "\"Data\" both as a file and as a directory of \"data/x\""},
        {{{"f.pak"}, {"F.PAK.ZS"}}, "\"F.PAK.ZS\", which the download of \"f.pak\""},
        {{{"x"}, {"x.upd_old/y"}}, "\"x.upd_old/y\", below a directory that the download of \"x\" uses"},
        {{{"x.zs/y/z"}, {"X"}}, "\"x.zs/y/z\", below a directory that the download of \"X\""},
        {{{"a/b"}, {"a/c"}, {"A.zsx"}, {"b.upd"}, {"\xC3\x97"}, {"\xC3\xB7"}}, ""},
    };
    for (const auto& r : rows) {
        FILE* f = list_of(r.entries);
        game_file_table table;
        read_manifest_entries(f, &table);
        fclose(f);
        std::string conflict = manifest_conflict(table);
        EXPECT_NE(conflict.find(r.sentence), std::string::npos) << r.entries[0].name << ": " << conflict;
        EXPECT_EQ(conflict.empty(), *r.sentence == '\0') << conflict;
    }
}

// Windows' folding for ASCII, Latin-1 and Latin Extended-A, and nothing else.
TEST(Manifest, FoldingFollowsWindowsForLatinLetters) {
    const struct {
        const char *name, *folded;
    } rows[] = {
        {"ABC/Def.TXT", "abc/def.txt"},
        {"\xC3\x80\xC3\x9E", "\xC3\xA0\xC3\xBE"}, // À Þ
        {"\xC3\x97\xC3\x9F", "\xC3\x97\xC3\x9F"}, // the multiplication sign and ß have no partner
        {"\xC4\x80\xC4\xB6\xC4\xB9\xC5\x87\xC5\x8A\xC5\xB6", "\xC4\x81\xC4\xB7\xC4\xBA\xC5\x88\xC5\x8B\xC5\xB7"},
        {"\xC5\xB9\xC5\xBD\xC5\xB8", "\xC5\xBA\xC5\xBE\xC3\xBF"}, // Ź Ž Ÿ
        {"\xC4\xB1\xC5\xBF\xC4\xB0", "is\xC4\xB0"}, // dotless i, long s; dotted capital I stays
        {"\xCE\xA9 \xF0\x9F\x8E\xAE", "\xCE\xA9 \xF0\x9F\x8E\xAE"}, // beyond Latin: unchanged
        {"Bad\xFF\xC3", "bad\xFF\xC3"}, // bytes that are not UTF-8 stay
    };
    for (const auto& r : rows)
        EXPECT_EQ(manifest_fold_case(r.name), r.folded) << r.name;
}

// A list the launcher must not act on ends the process with a report naming the entry: a
// malformed value stream, an unsafe name, conflicting names, a negative size, a malformed digest.
TEST(ManifestDeathTest, RefusedLists) {
    const struct {
        std::string list;
        const char* report;
    } rows[] = {
        {"", "Runtime check failed in src/format/binstream\\.cpp:[0-9]+ \\(read_u8\\)"},
        {bytes({0xA1, 0xA2, 0x81, 'a', 0x20}), "Runtime check failed in src/format/manifest\\.cpp:[0-9]+ \\(read_manifest_entries\\)"},
        {bytes({0xA1, 0xA4}), "\\(read_manifest_entries\\)"},
        {bytes({0xA1, 0x81, 'a'}), "expected type 6, got 5"},
        {bytes({0xA1, 0xA3, 0x81, 'a', 0x81, 'b'}), "expected type 3, got 5"},
        {bytes({0xA1, 0xA3, 0x81, 'a', 0x20, 0x20}), "expected type 5, got 3"},
        {bytes({0xA2, 0xA3, 0x81, 'a'}), "\\(read_u8\\)"},
    };
    for (const auto& r : rows)
        EXPECT_EXIT(parse(stream_of(r.list)), ExitedWithCode(1), r.report);
    const struct {
        std::vector<entry> entries;
        const char* report;
    } entry_rows[] = {
        {{{"fine.txt"}, {"../x"}}, "The file list's entry 1 has an unsafe name \\('\\.' or '\\.\\.' component\\): \"\\.\\./x\""},
        {{{"a"}, {"A"}}, "The file list names \"a\" and \"A\", which differ only in letter case"},
        {{{"a", -1}}, "\"a\" has a negative size: -1"},
        {{{"a", 1, "A9993E364706816ABA3E25717850C26C9CD0D89D"}}, "\"a\" has a malformed SHA-1 digest"},
        {{{"a", 1, "a9993e36"}}, "malformed SHA-1 digest"},
        {{{"a", 1, std::string(40, 'g')}}, "malformed SHA-1 digest"},
    };
    for (const auto& r : entry_rows)
        EXPECT_EXIT(parse(list_of(r.entries)), ExitedWithCode(1), r.report);
}

