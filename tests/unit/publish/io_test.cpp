#include "publish/io.h"

#include <zstd.h>

#include "test_util.h"

static std::string zstd_of(const std::string& data) {
    std::string out(ZSTD_compressBound(data.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 1));
    return out;
}

// A list is read without letting a malformed one end the process: the reason names what the reader said.
TEST(Io, FileListsThatDoNotReadAreReportedNotFatal) {
    const std::string entry = hex("A1 A3 85") + "a.txt" + hex("23 9E 28") + std::string(40, 'a');
    const std::pair<std::string, const char*> rows[] = { // the .zs, the reason ("" when it reads)
        {zstd_of(entry), ""}, {zstd_of(hex("A1 21 03")), "does not read as a file list (Fatal error in src/format/binstream.cpp"},
        {zstd_of(entry.substr(0, 20)), "Runtime check failed"}, {"not zstd", "Unknown frame descriptor"},
        {zstd_of(entry) + "x", "Unknown frame descriptor"}, {zstd_of(entry).substr(0, 12), "cut short"},
        {zstd_of(entry.substr(0, 20)) + zstd_of(entry.substr(20)), ""}}; // frames one after another: one stream
    scratch_dir dir;
    for (const auto& [zs, reason] : rows) {
        write_file(dir / "list.zs", zs);
        game_file_table table;
        std::string error;
        EXPECT_EQ(read_list(dir.path / "list.zs", &table, &error), reason[0] == '\0') << reason;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_EQ(table.files.size(), reason[0] == '\0' ? 1u : 0u) << reason;
    }
}

// zs_holds proves a .zs by what it decompresses to; a patch's frame decompresses against its base only.
TEST(Io, ACompressedFileHoldsExactlyItsContent) {
    scratch_dir dir;
    const std::string content = random_bytes(100000, 1), digest = digest_of_bytes(span_of(content));
    std::string error;
    write_file(dir / "f", content);
    ASSERT_TRUE(compress_file(dir.path / "f", dir.path / "f.zs", content.size(), digest, 3, &error)) << error;
    const std::string zs = read_file(dir / "f.zs");
    const std::tuple<std::string, uint64_t, std::string, const char*> rows[] = { // .zs, listed size, digest, the reason
        {zs, content.size(), digest, ""}, {zs, content.size() - 1, digest, "more than 99999 bytes"},
        {zs, content.size(), std::string(40, '0'), "SHA-1 is not the listed one"}, {zs.substr(0, zs.size() - 9), content.size(), digest, "cut short"},
        {zstd_of(content.substr(1)), content.size(), digest, "decompresses to 99999 bytes, not 100000"}};
    for (const auto& [bytes, size, hash, reason] : rows) {
        write_file(dir / "g.zs", bytes);
        error.clear();
        EXPECT_EQ(zs_holds(dir.path / "g.zs", size, hash.c_str(), &error), reason[0] == '\0') << reason;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    EXPECT_FALSE(compress_file(dir.path / "f", dir.path / "h.zs", content.size(), std::string(40, '0'), 3, &error));
    EXPECT_NE(error.find("changed while it was being published"), std::string::npos) << error;
    ASSERT_TRUE(write_file_atomically(dir.path / "small", "text\n", &error)) << error;
    EXPECT_TRUE(read_file(dir / "small") == "text\n" && !fs::exists(dir.path / "small.new"));
}
