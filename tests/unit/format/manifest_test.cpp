#include "format/manifest.h"

#include "format/binstream.h"
#include "heap_count.h"
#include "test_util.h"

constexpr const char* digest_a = "a9993e364706816aba3e25717850c26c9cd0d89d";

struct entry {
    std::string name;
    int64_t size = 1;
    std::string hash = digest_a;
};

// A file list's bytes as the publisher writes them.
static std::string list_of(const std::vector<entry>& entries) {
    FILE* f = stream_of("");
    bs_write_list(f, static_cast<int32_t>(entries.size()));
    for (const auto& e : entries) {
        bs_write_list(f, 3);
        bs_write_str(f, e.name.c_str());
        bs_write_int(f, e.size);
        bs_write_str(f, e.hash.c_str());
    }
    rewind(f);
    return rest(f);
}

// The table parse_manifest (or, without the name rules, read_manifest_entries) makes of `list`.
static std::unique_ptr<game_file_table> parsed(const std::string& list, bool rules = true) {
    auto table = std::make_unique<game_file_table>();
    FILE* f = stream_of(list);
    (rules ? parse_manifest : read_manifest_entries)(f, table.get());
    fclose(f);
    return table;
}

// Entries in order, sizes past 4 GiB whole, both indexes (exact, folded) over more entries than a short list header
// counts; an empty list.
TEST(Manifest, ReadsEntriesInOrderWithIndexes) {
    std::vector<entry> entries = {{"readme.txt", 1000}, {"sound/big hall.ogg", 0}, {"data/huge.pak", 5LL << 32}};
    for (int i = 3; i < 70000; ++i)
        entries.push_back({"dir" + std::to_string(i % 7) + "/file " + std::to_string(i), i});
    auto table = parsed(list_of(entries));
    ASSERT_EQ(table->files.size(), 70000u);
    for (size_t i = 0; i < entries.size(); ++i) {
        ASSERT_EQ(find_game_file(*table, entries[i].name), &table->files[i]);
        EXPECT_TRUE(table->files[i].size == static_cast<uint64_t>(entries[i].size) && !table->files[i].local_exists) << i;
    }
    EXPECT_EQ(find_game_file(*table, "Readme.txt"), nullptr);
    EXPECT_EQ(find_game_file_ignoring_case(*table, "SOUND/Big Hall.ogg"), &table->files[1]);
    EXPECT_TRUE(parsed(hex("A0"))->files.empty());
}

// A name of `length` bytes in components of 199 bytes and a last one of what is left.
static std::string path_of(size_t length) {
    std::string path(length, 'd');
    for (size_t slash = 199; slash < length - 1; slash += 200)
        path[slash] = '/';
    return path;
}

// A row for each name rule, the lengths at their edges: a file's name 247, another component 255, the whole
// name 1010 (so that "game/<name>.upd_old" fits the walker's 1024).
TEST(Manifest, NameRulesAndConflicts) {
    const std::string unsafe[] = {
        "", "/abs", "../x", "a/../../x", "./a", "a/./b", "a//b", "dir/", "a\\b", "c:evil", "tab\there", "del\x7f", "what?",
        "star*", "pipe|", "hash#tag", "100%", "quote\"", "<angle>", "name.", "name ", "CON.txt", "con", "sub/nul.dat", "LPT9",
        "com1.log", "CONIN$", "conout$.log", "COM0", "lpt0.txt", "COM\xC2\xB9", "lpt\xC2\xB2.dat", "Com\xC2\xB3", "dir/LPT\xC2\xB9",
        "nul .txt", "aux", "PRN.x", "over\xC0\xAFlong", "over\xE0\x80\xAFlong", "sur\xED\xA0\x80gate", "big\xF4\x90\x80\x80",
        "cut\xC3", "cut\xE2\x82", "stray\x80", "five\xF8\x88\x80\x80\x80", "latin1\xE9.txt", "manifest.dat", "Manifest.DAT.zs",
        "MANIFEST.DAT.UPD_OLD", "manifest.dat/x", "manifest.dat.zs.SIG", ".cfg/x", "a/.hidden/b", std::string(248, 'f'),
        "dir/" + std::string(248, 'f'), std::string(256, 'c') + "/x", path_of(1011)};
    for (const auto& name : unsafe)
        EXPECT_NE(manifest_name_problem(name), nullptr) << testing::PrintToString(name);
    const std::string safe[] = {
        "a", "launcher.dat", "with spaces/and more.txt", ".hidden", "dir.with.dots/x", "CONSOLE.txt", "com10", "nul_file",
        "über/ß.txt", "CONIN", "COM\xC2\xB9\xC2\xB9", "LPT\xC2\xB4", "sub/manifest.dat", "manifest.dat.txt", "a/.hidden",
        "emoji \xF0\x9F\x8E\xAE", "max\xF4\x8F\xBF\xBF", std::string(247, 'f'), "dir/" + std::string(247, 'f'),
        std::string(255, 'c') + "/x", path_of(1010)};
    for (const auto& name : safe)
        EXPECT_EQ(manifest_name_problem(name), nullptr) << name;
    // Names that clash on disk: twice, in two letter cases as Windows folds them (Latin ranges and exceptions, other
    // scripts, title case; not ß/ẞ/ss, İ/i, the Kelvin sign, past U+FFFF),
    // directories in two cases, a file that is also a directory, a temporary name (".zs", ".upd_old") in use.
    const std::pair<std::vector<entry>, const char*> rows[] = {
        {{{"a.txt"}, {"a.txt"}}, "names \"a.txt\" twice"}, {{{"a"}, {"a/b"}}, "\"a\" both as a file and as a directory of \"a/b\""},
        {{{"f.pak"}, {"f.pak.zs"}}, "\"f.pak.zs\", which the download of \"f.pak\" uses as a temporary file"},
        {{{"f.pak.upd_old"}, {"f.pak"}}, "\"f.pak.upd_old\", which the download of \"f.pak\""},
        {{{"Data.bin"}, {"data.bin"}}, "\"Data.bin\" and \"data.bin\", which differ only in letter case"},
        {{{"ÀÞĀĶĹŇŊŶŹŽŸıſ"}, {"àþāķĺňŋŷźžÿIS"}}, "differ only"}, {{{"ДΩⅫＡᎠႠაԱǅⒶɐᾳ"}, {"дωⅻａꭰⴀᲐաǄⓐⱯᾼ"}}, "differ only"},
        {{{"Sub/x"}, {"sub/y"}}, "\"Sub/x\" and \"sub/y\", whose directories differ only"},
        {{{"a/B/x"}, {"a/b0"}, {"a/c"}, {"a/b/y"}}, "\"a/B/x\" and \"a/b/y\", whose directories differ only"},
        {{{"Data"}, {"data/x"}}, "\"Data\" both as a file and as a directory"},
        {{{"f.pak"}, {"F.PAK.ZS"}}, "\"F.PAK.ZS\", which the download of \"f.pak\""},
        {{{"x"}, {"x.upd_old/y"}}, "\"x.upd_old/y\", below a directory that the download of \"x\" uses"},
        {{{"x.zs/y/z"}, {"X"}}, "\"x.zs/y/z\", below a directory that the download of \"X\""},
        {{{"a/b"}, {"a/c"}, {"A.zsx"}, {"\xC3\x97"}, {"\xC3\xB7"}, {"\xC3\x9F"}, {"ss"}, {"\xC4\xB0"}, {"i"}, {"ẞ"}, {"\xE2\x84\xAA"}, {"k"}, {"𐐀"}, {"𐐨"},
          {"\xFF\xC3"}, {"\xDF\xC3"}}, ""}};
    for (const auto& [entries, sentence] : rows) {
        std::string conflict = manifest_conflict(*parsed(list_of(entries), false));
        EXPECT_TRUE(*sentence == '\0' ? conflict.empty() : conflict.find(sentence) != std::string::npos) << entries[0].name << conflict;
    }
}

// The conflict check's heap peaks below 1.5 bytes per byte of the list (manifest.h): names of 19 bytes (just past a
// string's inline size), deep names of one-letter directories.
TEST(Manifest, ConflictCheckMemoryFollowsTheListsSize) {
    std::string deep;
    for (int i = 0; i < 500; ++i)
        deep += "/a";
    std::vector<entry> lists[2];
    for (int i = 0; i < 20000; ++i)
        lists[i % 50 == 0].push_back({std::to_string(i + 1000000000) + (i % 50 == 0 ? deep : "-16-bytes")});
    for (const auto& entries : lists) {
        auto table = parsed(list_of(entries), false);
        EXPECT_LE(heap_count::peak_of([&] { EXPECT_EQ(manifest_conflict(*table), ""); }), list_of(entries).size() * 3 / 2);
    }
}

// A malformed list, an unsafe name, a clash, a negative size or a malformed digest: a report naming the entry.
TEST(ManifestDeathTest, RefusedLists) {
    const std::pair<std::string, const char*> rows[] = {
        {"", "^Runtime check failed in "}, {hex("A1 A2 81 61 20"), "^Runtime check failed in "}, // empty; two values
        {hex("A1 A4"), "^Runtime check failed in "}, {hex("A1 81 61"), "expected type 6, got 5"},
        {hex("A1 A3 81 61 81 62"), "expected type 3, got 5"},
        {hex("A1 A3 81 61 20 20"), "expected type 5, got 3"}, {hex("A2 A3 81 61"), "^Runtime check failed in "},
        {hex("DF 7FFFFFFF A3 81 61"), "^Runtime check failed in "}, // a count that the list does not hold reserves nothing
        {list_of({{"fine.txt"}, {"../x"}}), "The file list's entry 1 has an unsafe name \\('\\.' or '\\.\\.' component\\): \"\\.\\./x\""},
        {list_of({{"a"}, {"A"}}), "The file list names \"a\" and \"A\", which differ only in letter case"},
        {list_of({{"a", -1}}), "\"a\" has a negative size: -1"},
        {list_of({{"a", 1, "A9993E364706816ABA3E25717850C26C9CD0D89D"}}), "\"a\" has a malformed SHA-1 digest"},
        {list_of({{"a", 1, "a9993e36"}}), "malformed SHA-1 digest"}};
    for (const auto& [list, report] : rows)
        EXPECT_EXIT(parsed(list), ExitedWithCode(1), report);
}
