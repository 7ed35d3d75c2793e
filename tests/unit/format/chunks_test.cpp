#include "format/chunks.h"

#include <zstd.h>

#include "format/signature.h"
#include "test_util.h"

constexpr size_t average = 64 << 10;

static std::string sha1_hex(const std::string& data) {
    SHA1State sha;
    SHA1Reset(&sha);
    SHA1Input(&sha, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    SHA1Result(&sha);
    char text[41];
    sha1_digest_text(&sha, text);
    return text;
}

// The chunks of `data` cut with `params`, as their sizes, fed `piece` bytes at a time.
static std::vector<size_t> sizes_of(const std::string& data, const chunk_params& params, size_t piece) {
    chunk_cutter cutter;
    chunk_cutter_start(&cutter, params);
    std::vector<size_t> sizes;
    size_t current = 0;
    for (size_t at = 0; at < data.size();) {
        size_t fed = std::min(piece, data.size() - at);
        for (size_t done = 0; done < fed;) {
            bool ends = false;
            size_t taken = chunk_cut(&cutter, reinterpret_cast<const uint8_t*>(data.data()) + at + done, fed - done, &ends);
            done += taken;
            current += taken;
            if (ends) {
                sizes.push_back(current);
                current = 0;
            }
        }
        at += fed;
    }
    if (current > 0)
        sizes.push_back(current);
    return sizes;
}

// Boundaries depend on the bytes alone, not on how they arrive; sizes stay within the bounds and average about what
// was asked; an insertion changes only the chunks near it, and a run of one byte is cut at the largest size.
TEST(Chunks, BoundariesFollowTheContent) {
    chunk_params params = chunk_params_for(average);
    EXPECT_TRUE(params.mask_bits == 15 && params.min_size == average / 2 && params.max_size == 4 * average);
    EXPECT_EQ(chunk_params_problem(chunk_params_for(chunk_default_average)), nullptr);
    std::string data = random_bytes(8 << 20, 5);
    std::vector<size_t> sizes = sizes_of(data, params, data.size());
    for (size_t piece : {1u, 4093u, 1u << 20})
        EXPECT_EQ(sizes_of(data, params, piece), sizes) << piece;
    for (size_t i = 0; i + 1 < sizes.size(); ++i)
        ASSERT_TRUE(sizes[i] >= params.min_size && sizes[i] <= params.max_size) << sizes[i];
    size_t mean = data.size() / sizes.size();
    EXPECT_TRUE(mean > average * 3 / 4 && mean < average * 3 / 2) << mean;
    std::string inserted = data.substr(0, 300000) + random_bytes(100000, 6) + data.substr(300000);
    std::vector<size_t> after = sizes_of(inserted, params, inserted.size());
    size_t shared_tail = 0;
    while (shared_tail < sizes.size() && sizes[sizes.size() - 1 - shared_tail] == after[after.size() - 1 - shared_tail])
        ++shared_tail;
    EXPECT_GE(shared_tail + 10, sizes.size()) << "the chunks after an insertion are the same";
    EXPECT_EQ(sizes_of(std::string(1 << 20, '\0'), params, 1 << 20), std::vector<size_t>(4, 4 * average));
}

// An index reads back as written; one malformed in any way is refused with why; a chunk unpacks only to its own bytes.
TEST(Chunks, IndexesAndChunksAreChecked) {
    chunk_index index{chunk_params_for(average), 70000, {1, 2, 3}, {{{7}, 40000}, {{8}, 30000}}};
    std::string bytes = chunk_index_bytes(index);
    chunk_index read;
    ASSERT_EQ(chunk_index_parse(bytes, &read), nullptr);
    EXPECT_EQ(chunk_index_bytes(read), bytes);
    auto with = [&](size_t at, const std::string& part) { return bytes.substr(0, at) + part + bytes.substr(at + part.size()); };
    const std::pair<std::string, const char*> refused[] = {
        {"", "not an index of chunks"}, {with(0, "V"), "not an index of chunks"},
        {bytes + "x", "an index whose length is not that of its chunks"},
        {with(14, hex("20000000")), "a boundary test outside the bounds"},
        {with(18, hex("00010000")), "chunk sizes outside the bounds"},
        {with(26, hex("71")), "chunks that do not add up to the file's size"},
        {with(bytes.size() - 4, hex("00000000")), "a chunk empty or larger than the largest"},
        {bytes + std::string(chunk_index_limit, 'x'), "an index larger than 16 MiB"}};
    for (const auto& [input, problem] : refused) {
        const char* said = chunk_index_parse(input, &read);
        EXPECT_STREQ(said, problem) << input.size();
    }
    std::string chunk = random_bytes(5000, 9);
    std::string packed(ZSTD_compressBound(chunk.size()), '\0');
    packed.resize(ZSTD_compress(packed.data(), packed.size(), chunk.data(), chunk.size(), 3));
    chunk_entry entry{{}, 5000};
    ASSERT_TRUE(parse_hex(sha1_hex(chunk), entry.digest, chunk_digest_size));
    std::vector<uint8_t> out(5000);
    EXPECT_EQ(chunk_unpack(packed, entry, out.data()), nullptr);
    EXPECT_EQ(std::string(out.begin(), out.end()), chunk);
    chunk_entry other = entry;
    other.digest[0] ^= 1;
    EXPECT_STREQ(chunk_unpack(packed, other, out.data()), "a chunk whose SHA-1 is not its name's");
    other = {{}, 4999};
    EXPECT_NE(chunk_unpack(packed, other, out.data()), nullptr);
    EXPECT_NE(chunk_unpack(packed.substr(0, 100), entry, out.data()), nullptr);
    char name[chunk_name_size];
    chunk_name(sha1_hex(chunk).c_str(), name);
    EXPECT_EQ(std::string(name), ".chunks/" + sha1_hex(chunk) + ".zst");
}
