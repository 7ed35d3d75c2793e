#include "format/chunks.h"

#include <array>
#include <bit>
#include <cstring>
#include <zstd.h>

#include "format/signature.h"

namespace {

constexpr std::string_view index_magic = "velm-chunks 1\n";
constexpr size_t index_header_size = 14 + 3 * 4 + 8 + chunk_digest_size + 4;
constexpr size_t index_entry_size = chunk_digest_size + 4;
constexpr uint32_t min_mask_bits = 12;
constexpr uint32_t max_mask_bits = 24;
constexpr uint32_t smallest_min_size = 4 << 10;
constexpr uint32_t largest_max_size = 16 << 20; // what a launcher holds of one chunk
constexpr uint32_t max_size_factor = 4;         // the largest chunk, in averages
constexpr size_t read_block = 1 << 20;

// The rolling hash's value of each byte: fixed random numbers (splitmix64 from a fixed seed),
// the same in every program that cuts chunks.
constexpr std::array<uint64_t, 256> make_gear() {
    std::array<uint64_t, 256> gear{};
    uint64_t state = 0x56454c4d43484e4bULL;
    for (uint64_t& value : gear) {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        value = z ^ (z >> 31);
    }
    return gear;
}
constexpr std::array<uint64_t, 256> gear = make_gear();

void put_le(std::string* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        *out += static_cast<char>(value >> (8 * i));
}

uint64_t get_le(std::string_view bytes, size_t at, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]))
                 << (8 * i);
    return value;
}

void name_in(const char* digest, const char* suffix, char (&out)[chunk_name_size]) {
    snprintf(out, sizeof out, "%s/%.40s%s", chunk_directory, digest, suffix);
}

} // namespace

chunk_params chunk_params_for(size_t average) {
    auto half = static_cast<uint32_t>(average / 2);
    return {static_cast<uint32_t>(std::countr_zero(half)), half,
            static_cast<uint32_t>(average * max_size_factor)};
}

const char* chunk_params_problem(const chunk_params& params) {
    if (params.mask_bits < min_mask_bits || params.mask_bits > max_mask_bits)
        return "a boundary test outside the bounds";
    if (params.min_size < smallest_min_size || params.max_size > largest_max_size ||
        params.min_size >= params.max_size)
        return "chunk sizes outside the bounds";
    return nullptr;
}

void chunk_cutter_start(chunk_cutter* cutter, const chunk_params& params) {
    *cutter = {params, 0, 0};
}

size_t chunk_cut(chunk_cutter* cutter, const uint8_t* data, size_t size, bool* ends) {
    const chunk_params& p = cutter->params;
    const uint64_t mask = ~0ULL << (64 - p.mask_bits);
    // The bytes before the hash's window reaches the smallest size decide nothing.
    size_t i = 0;
    uint64_t unhashed = p.min_size - chunk_window;
    if (cutter->length < unhashed) {
        i = static_cast<size_t>(std::min<uint64_t>(size, unhashed - cutter->length));
        cutter->length += i;
    }
    // Each byte shifts the oldest out: after 64 bytes the hash depends on nothing before them.
    uint64_t hash = cutter->hash;
    uint64_t length = cutter->length;
    for (; i < size; ++i) {
        hash = (hash << 1) + gear[data[i]];
        ++length;
        if ((length >= p.min_size && (hash & mask) == 0) || length >= p.max_size) {
            *ends = true;
            cutter->hash = 0;
            cutter->length = 0;
            return i + 1;
        }
    }
    cutter->hash = hash;
    cutter->length = length;
    *ends = false;
    return size;
}

bool chunk_stream(FILE* f, const chunk_params& params,
                  const std::function<void(const chunk_found&)>& found, SHA1State* whole,
                  const std::atomic<bool>* go_on) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[read_block]);
    chunk_cutter cutter;
    chunk_cutter_start(&cutter, params);
    SHA1State part;
    SHA1Reset(&part);
    chunk_found chunk = {0, 0, {}};
    auto end_chunk = [&] {
        SHA1Result(&part);
        chunk_digest_bytes(&part, chunk.digest);
        found(chunk);
        chunk.offset += chunk.size;
        chunk.size = 0;
        SHA1Reset(&part);
    };
    for (size_t got; (go_on == nullptr || go_on->load()) &&
                     (got = fread(buffer.get(), 1, read_block, f)) > 0;) {
        if (whole != nullptr)
            SHA1Input(whole, buffer.get(), got);
        for (size_t at = 0; at < got;) {
            bool ends = false;
            size_t taken = chunk_cut(&cutter, buffer.get() + at, got - at, &ends);
            SHA1Input(&part, buffer.get() + at, taken);
            at += taken;
            chunk.size += static_cast<uint32_t>(taken);
            if (ends)
                end_chunk();
        }
    }
    if (chunk.size > 0)
        end_chunk();
    return ferror(f) == 0 && (go_on == nullptr || go_on->load());
}

std::string chunk_index_bytes(const chunk_index& index) {
    std::string out(index_magic);
    put_le(&out, index.params.mask_bits, 4);
    put_le(&out, index.params.min_size, 4);
    put_le(&out, index.params.max_size, 4);
    put_le(&out, index.file_size, 8);
    out.append(reinterpret_cast<const char*>(index.file_digest), chunk_digest_size);
    put_le(&out, index.chunks.size(), 4);
    for (const chunk_entry& chunk : index.chunks) {
        out.append(reinterpret_cast<const char*>(chunk.digest), chunk_digest_size);
        put_le(&out, chunk.size, 4);
    }
    return out;
}

const char* chunk_index_parse(std::string_view bytes, chunk_index* index) {
    if (bytes.size() < index_header_size || !bytes.starts_with(index_magic))
        return "not an index of chunks";
    if (bytes.size() > chunk_index_limit)
        return "an index larger than 16 MiB";
    size_t at = index_magic.size();
    index->params = {static_cast<uint32_t>(get_le(bytes, at, 4)),
                     static_cast<uint32_t>(get_le(bytes, at + 4, 4)),
                     static_cast<uint32_t>(get_le(bytes, at + 8, 4))};
    index->file_size = get_le(bytes, at + 12, 8);
    memcpy(index->file_digest, bytes.data() + at + 20, chunk_digest_size);
    uint64_t count = get_le(bytes, at + 20 + chunk_digest_size, 4);
    if (const char* problem = chunk_params_problem(index->params))
        return problem;
    if (bytes.size() != index_header_size + count * index_entry_size)
        return "an index whose length is not that of its chunks";
    index->chunks.resize(static_cast<size_t>(count));
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t entry = index_header_size + i * index_entry_size;
        chunk_entry& chunk = index->chunks[i];
        memcpy(chunk.digest, bytes.data() + entry, chunk_digest_size);
        chunk.size = static_cast<uint32_t>(get_le(bytes, entry + chunk_digest_size, 4));
        if (chunk.size == 0 || chunk.size > index->params.max_size)
            return "a chunk empty or larger than the largest";
        total += chunk.size;
    }
    return total == index->file_size ? nullptr : "chunks that do not add up to the file's size";
}

const char* chunk_unpack(std::string_view packed, const chunk_entry& chunk, uint8_t* out) {
    size_t produced = ZSTD_decompress(out, chunk.size, packed.data(), packed.size());
    if (ZSTD_isError(produced))
        return ZSTD_getErrorName(produced);
    if (produced != chunk.size)
        return "a chunk of another size";
    SHA1State sha;
    SHA1Reset(&sha);
    SHA1Input(&sha, out, produced);
    uint8_t digest[chunk_digest_size];
    if (SHA1Result(&sha) != 1)
        return "a chunk that cannot be hashed";
    chunk_digest_bytes(&sha, digest);
    return memcmp(digest, chunk.digest, chunk_digest_size) == 0
               ? nullptr
               : "a chunk whose SHA-1 is not its name's";
}

void chunk_name(const char* digest, char (&out)[chunk_name_size]) {
    name_in(digest, chunk_suffix, out);
}

void chunk_index_name(const char* file_digest, char (&out)[chunk_name_size]) {
    name_in(file_digest, chunk_index_suffix, out);
}

void chunk_digest_bytes(const SHA1State* sha, uint8_t (&out)[chunk_digest_size]) {
    for (size_t i = 0; i < chunk_digest_size; ++i)
        out[i] = static_cast<uint8_t>(sha->hash_words[i / 4] >> (24 - 8 * (i % 4)));
}

void chunk_digest_text(const uint8_t digest[chunk_digest_size], char (&out)[41]) {
    snprintf(out, sizeof out, "%s", hex_text(digest, chunk_digest_size).c_str());
}
