#include "manifest.h"

#include <cstdio>
#include <string>
#include <vector>

#include "binstream.h"
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
        {"an empty file", {}, "Runtime check failed in src/binstream\\.cpp:[0-9]+ \\(read_u8\\)"},
        {"an entry of 2 values", {0xA1, 0xA2, 0x81, 'a', 0x20},
         "Runtime check failed in src/manifest\\.cpp:[0-9]+ \\(parse_manifest\\)"},
        {"an entry of 4 values", {0xA1, 0xA4}, "\\(parse_manifest\\)"},
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
        "com10", "nul_file", "über/ß.txt", "a b/c d/e f",
    };
    for (const char* name : safe)
        EXPECT_EQ(manifest_name_problem(name), nullptr) << name;
}

TEST(Manifest, LengthLimitsFollowTheDirectoryWalker) {
    std::string component(255, 'c');
    EXPECT_EQ(manifest_name_problem(component), nullptr);
    EXPECT_NE(manifest_name_problem(component + "c"), nullptr);
    // "game/" + name + ".upd_old" must stay below 1024 bytes.
    std::string longest;
    while (longest.size() + 200 < manifest_max_name)
        longest += std::string(199, 'd') + "/";
    longest += std::string(manifest_max_name - longest.size(), 'e');
    ASSERT_EQ(longest.size(), 1010u);
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
    };
    for (const auto& c : cases)
        EXPECT_EXIT(parse(list_of(c.entries)), ExitedWithCode(1), c.report);
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
