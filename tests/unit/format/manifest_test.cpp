#include "format/manifest.h"

#include <cstdio>
#include <string>
#include <vector>

#include "format/binstream.h"
#include "test_util.h"

using ::testing::ExitedWithCode;

namespace {

constexpr const char* digest_a = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr const char* digest_b = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

struct entry {
    std::string name;
    int64_t size;
    std::string hash;
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

FILE* raw_list(const std::vector<uint8_t>& bytes) {
    FILE* f = tmpfile();
    if (!bytes.empty()) {
        EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    rewind(f);
    return f;
}

void parse(FILE* f) {
    game_file_table table;
    parse_manifest(f, &table);
}

} // namespace

TEST(Manifest, ReadsEntriesInOrderWithAnIndex) {
    FILE* f = list_of({{"readme.txt", 1000, digest_a}, {"sound/big hall.ogg", 0, digest_b},
                       {"data/huge.pak", 5LL << 32, digest_a}});
    game_file_table table;
    parse_manifest(f, &table);
    fclose(f);
    ASSERT_EQ(table.files.size(), 3u);
    EXPECT_STREQ(table.files[0].name, "readme.txt");
    EXPECT_EQ(table.files[0].size, 1000u);
    EXPECT_STREQ(table.files[0].hash, digest_a);
    EXPECT_STREQ(table.files[1].name, "sound/big hall.ogg");
    EXPECT_EQ(table.files[1].size, 0u);
    EXPECT_EQ(table.files[2].size, 5ULL << 32); // sizes past 4 GiB keep every bit
    EXPECT_EQ(find_game_file(table, "sound/big hall.ogg"), &table.files[1]);
    EXPECT_EQ(find_game_file(table, "Readme.txt"), nullptr); // exact, case-sensitive
    EXPECT_EQ(find_game_file(table, "sound"), nullptr);
    EXPECT_EQ(find_game_file_ignoring_case(table, "Readme.TXT"), &table.files[0]);
    EXPECT_EQ(find_game_file_ignoring_case(table, "SOUND/Big Hall.ogg"), &table.files[1]);
    EXPECT_EQ(find_game_file_ignoring_case(table, "sound"), nullptr);
    for (const auto& file : table.files) {
        EXPECT_EQ(file.local_size, 0u);
        EXPECT_FALSE(file.local_exists);
    }
}

TEST(Manifest, ListsLongerThan1024EntriesFit) {
    std::vector<entry> entries;
    for (int i = 0; i < 5000; ++i)
        entries.push_back({"dir" + std::to_string(i % 7) + "/file " + std::to_string(i), i, digest_a});
    FILE* f = list_of(entries);
    game_file_table table;
    parse_manifest(f, &table);
    fclose(f);
    ASSERT_EQ(table.files.size(), 5000u);
    for (int i = 0; i < 5000; ++i) {
        game_file_t* file = find_game_file(table, entries[i].name);
        ASSERT_EQ(file, &table.files[i]);
        EXPECT_EQ(file->size, static_cast<uint64_t>(i));
    }
}

TEST(Manifest, TheDocumentedExampleAndItsEdges) {
    // One entry of 1000 bytes named readme.txt: 58 bytes, trailing bytes ignored.
    std::vector<uint8_t> bytes = {0xA1, 0xA3, 0x8A};
    for (char c : std::string("readme.txt"))
        bytes.push_back(static_cast<uint8_t>(c));
    for (uint8_t b : {0x39, 0x03, 0xE8, 0x9E, 0x28})
        bytes.push_back(b);
    for (char c : std::string(digest_a))
        bytes.push_back(static_cast<uint8_t>(c));
    ASSERT_EQ(bytes.size(), 58u);
    bytes.push_back(0xFF); // not a valid tag, but never read
    FILE* f = raw_list(bytes);
    game_file_table table;
    parse_manifest(f, &table);
    fclose(f);
    ASSERT_EQ(table.files.size(), 1u);
    EXPECT_EQ(table.files[0].size, 1000u);

    FILE* empty = raw_list({0xA0});
    game_file_table none;
    parse_manifest(empty, &none);
    fclose(empty);
    EXPECT_TRUE(none.files.empty());
}

TEST(Manifest, MalformedListsAreRefused) {
    struct {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* report;
    } cases[] = {
        {"an empty file", {}, "Runtime check failed in src/format/binstream\\.cpp:[0-9]+ \\(read_u8\\)"},
        {"an entry of 2 values", {0xA1, 0xA2, 0x81, 'a', 0x20},
         "Runtime check failed in src/format/manifest\\.cpp:[0-9]+ \\(read_manifest_entries\\)"},
        {"an entry of 4 values", {0xA1, 0xA4}, "\\(read_manifest_entries\\)"},
        {"an entry that is not a list", {0xA1, 0x81, 'a'}, "expected type 6, got 5"},
        {"a size that is a string", {0xA1, 0xA3, 0x81, 'a', 0x81, 'b'}, "expected type 3, got 5"},
        {"a hash that is an integer", {0xA1, 0xA3, 0x81, 'a', 0x20, 0x20}, "expected type 5, got 3"},
        {"a list cut short", {0xA2, 0xA3, 0x81, 'a'}, "\\(read_u8\\)"},
    };
    for (const auto& c : cases)
        EXPECT_EXIT(parse(raw_list(c.bytes)), ExitedWithCode(1), c.report) << c.what;
}

TEST(Manifest, UnsafeNamesAreRefusedNamingTheEntry) {
    const char* unsafe[] = {
        "", "/abs", "../x", "a/../../x", "./a", "a/./b", "a//b", "dir/", "a\\b", "c:evil", "CON.txt",
        "con", "sub/nul.dat", "LPT9", "com1.log", "name.", "name ", "tab\there", "del\x7f",
        "what?", "star*", "pipe|", "hash#tag", "100%", "quote\"", "<angle>",
        // The rest of the names Windows cannot create, in any letter case.
        "CONIN$", "conout$.log", "COM0", "lpt0.txt", "COM\xC2\xB9", "lpt\xC2\xB2.dat", "Com\xC2\xB3",
        "dir/LPT\xC2\xB9", "nul .txt",
        // Bytes that are not UTF-8: overlong, surrogate, past U+10FFFF, cut short, stray.
        "over\xC0\xAFlong", "over\xE0\x80\xAFlong", "sur\xED\xA0\x80gate", "big\xF4\x90\x80\x80",
        "cut\xC3", "cut\xE2\x82", "stray\x80", "five\xF8\x88\x80\x80\x80", "latin1\xE9.txt",
        // The file list's own names at the top of the tree, in any letter case, and as directories.
        "manifest.dat", "Manifest.DAT.zs", "MANIFEST.DAT.UPD_OLD", "manifest.dat/x", "manifest.dat.zs.SIG",
        // Files below a directory the launcher never scans.
        ".cfg/x", "a/.hidden/b",
    };
    for (const char* name : unsafe) {
        EXPECT_EXIT(parse(list_of({{"fine.txt", 1, digest_a}, {name, 1, digest_a}})), ExitedWithCode(1),
                    "entry 1 has an unsafe name")
            << name;
    }
}

TEST(Manifest, SafeNamesAreAccepted) {
    const char* safe[] = {
        "a", "launcher.dat", "with spaces/and more.txt", ".hidden", "dir.with.dots/x", "CONSOLE.txt",
        "com10", "nul_file", "über/ß.txt", "a b/c d/e f", "CONIN", "COM\xC2\xB9\xC2\xB9",
        "LPT\xC2\xB4", "sub/manifest.dat", "manifest.dat.txt", "a/.hidden", "emoji \xF0\x9F\x8E\xAE",
        "max\xF4\x8F\xBF\xBF",
    };
    for (const char* name : safe)
        EXPECT_EQ(manifest_name_problem(name), nullptr) << name;
}

TEST(Manifest, LengthLimitsFollowTheDirectoryWalker) {
    // A file's name leaves room for ".upd_old" within 255 bytes; a directory's may use them all.
    std::string file(247, 'f');
    EXPECT_EQ(manifest_name_problem(file), nullptr);
    EXPECT_NE(manifest_name_problem(file + "f"), nullptr);
    EXPECT_EQ(manifest_name_problem("dir/" + file), nullptr);
    EXPECT_NE(manifest_name_problem("dir/" + file + "f"), nullptr);
    std::string component(255, 'c');
    EXPECT_EQ(manifest_name_problem(component + "/x"), nullptr);
    EXPECT_NE(manifest_name_problem(component + "c/x"), nullptr);
    // "game/" + name + ".upd_old" must stay below 1024 bytes.
    std::string longest;
    while (longest.size() + 200 < manifest_max_name)
        longest += std::string(199, 'd') + "/";
    longest += std::string(manifest_max_name - longest.size(), 'e');
    ASSERT_EQ(longest.size(), 1010u);
    ASSERT_LE(longest.size() - longest.rfind('/') - 1, manifest_max_file_component);
    EXPECT_EQ(manifest_name_problem(longest), nullptr);
    EXPECT_EQ(std::string("game/" + longest + ".upd_old").size(), 1023u);
    EXPECT_NE(manifest_name_problem(longest + "e"), nullptr);
}

TEST(Manifest, ConflictingNamesAreRefused) {
    struct {
        std::vector<entry> entries;
        const char* report;
    } cases[] = {
        {{{"a.txt", 1, digest_a}, {"a.txt", 2, digest_b}}, "names \"a\\.txt\" twice"},
        {{{"a", 1, digest_a}, {"a/b", 1, digest_a}}, "\"a\" both as a file and as a directory of \"a/b\""},
        {{{"x/y/z", 1, digest_a}, {"x/y", 1, digest_a}}, "\"x/y\" both as a file and as a directory of \"x/y/z\""},
        {{{"f.pak", 1, digest_a}, {"f.pak.zs", 1, digest_a}}, "\"f\\.pak\\.zs\", which the download of \"f\\.pak\""},
        {{{"f.pak.upd_old", 1, digest_a}, {"f.pak", 1, digest_a}}, "\"f\\.pak\\.upd_old\", which the download"},
        // Windows holds one file for names that differ only in letter case.
        {{{"Data.bin", 1, digest_a}, {"data.bin", 1, digest_a}}, "\"Data\\.bin\" and \"data\\.bin\", which differ only"},
        {{{"\xC3\x89T\xC3\x89.txt", 1, digest_a}, {"\xC3\xA9t\xC3\xA9.txt", 1, digest_a}}, "differ only in letter case"},
        {{{"\xC5\xBD.txt", 1, digest_a}, {"\xC5\xBE.txt", 1, digest_a}}, "differ only in letter case"}, // Ž, ž
        {{{"\xC5\xB8", 1, digest_a}, {"\xC3\xBF", 1, digest_a}}, "differ only in letter case"}, // Ÿ, ÿ
        {{{"Sub/x", 1, digest_a}, {"sub/y", 1, digest_a}}, "\"Sub/x\" and \"sub/y\", whose directories differ"},
        {{{"a/B/c/x", 1, digest_a}, {"a/b/c/y", 1, digest_a}}, "\"a/B/c/x\" and \"a/b/c/y\", whose directories"},
        {{{"Data", 1, digest_a}, {"data/x", 1, digest_a}}, "\"Data\" both as a file and as a directory of \"data/x\""},
        {{{"f.pak", 1, digest_a}, {"F.PAK.ZS", 1, digest_a}}, "\"F\\.PAK\\.ZS\", which the download of \"f\\.pak\""},
        // A temporary name used as a directory.
        {{{"x", 1, digest_a}, {"x.upd_old/y", 1, digest_a}}, "\"x\\.upd_old/y\", below a directory that the download of \"x\""},
        {{{"x.zs/y/z", 1, digest_a}, {"X", 1, digest_a}}, "\"x\\.zs/y/z\", below a directory that the download of \"X\""},
    };
    for (const auto& c : cases)
        EXPECT_EXIT(parse(list_of(c.entries)), ExitedWithCode(1), c.report);
}

TEST(Manifest, FoldingFollowsWindowsForLatinLetters) {
    struct {
        const char* name;
        const char* folded;
    } cases[] = {
        {"ABC/Def.TXT", "abc/def.txt"},
        {"\xC3\x80\xC3\x9E", "\xC3\xA0\xC3\xBE"}, // À Þ -> à þ
        {"\xC3\x97\xC3\x9F", "\xC3\x97\xC3\x9F"}, // the multiplication sign and ß have no partner
        {"\xC4\x80\xC4\xB6\xC4\xB9\xC5\x87\xC5\x8A\xC5\xB6", "\xC4\x81\xC4\xB7\xC4\xBA\xC5\x88\xC5\x8B\xC5\xB7"},
        {"\xC5\xB9\xC5\xBD\xC5\xB8", "\xC5\xBA\xC5\xBE\xC3\xBF"}, // Ź Ž Ÿ
        {"\xC4\xB1\xC5\xBF\xC4\xB0", "is\xC4\xB0"}, // dotless i, long s; dotted capital I stays
        {"\xCE\xA9 \xF0\x9F\x8E\xAE", "\xCE\xA9 \xF0\x9F\x8E\xAE"}, // beyond Latin: unchanged
        {"Bad\xFF\xC3", "bad\xFF\xC3"}, // bytes that are not UTF-8 stay
    };
    for (const auto& c : cases)
        EXPECT_EQ(manifest_fold_case(c.name), c.folded) << c.name;
}

TEST(Manifest, SizesAndDigestsAreChecked) {
    struct {
        entry e;
        const char* report;
    } cases[] = {
        {{"a", -1, digest_a}, "\"a\" has a negative size: -1"},
        {{"a", 1, "A9993E364706816ABA3E25717850C26C9CD0D89D"}, "\"a\" has a malformed SHA-1 digest"},
        {{"a", 1, "a9993e36"}, "malformed SHA-1 digest"},
        {{"a", 1, std::string(40, 'g')}, "malformed SHA-1 digest"},
    };
    for (const auto& c : cases)
        EXPECT_EXIT(parse(list_of({c.e})), ExitedWithCode(1), c.report);
}
