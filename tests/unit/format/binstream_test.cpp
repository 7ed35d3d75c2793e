#include "format/binstream.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/float16.h"
#include "test_util.h"

namespace {

using file_ptr = std::unique_ptr<FILE, int (*)(FILE*)>;

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list)
        out += static_cast<char>(b);
    return out;
}

// A temporary stream holding `content`, positioned at its start.
FILE* raw_stream_of(const std::string& content) {
    FILE* f = tmpfile();
    if (f == nullptr)
        abort();
    if (fwrite(content.data(), 1, content.size(), f) != content.size())
        abort();
    rewind(f);
    return f;
}

file_ptr stream_of(const std::string& content) {
    return {raw_stream_of(content), fclose};
}

// Everything from the current position to the end.
std::string rest(FILE* f) {
    std::string out;
    for (int c = fgetc(f); c != EOF; c = fgetc(f))
        out += static_cast<char>(c);
    return out;
}

template <class Write> std::string encode(Write write) {
    file_ptr f = stream_of("");
    write(f.get());
    rewind(f.get());
    return rest(f.get());
}

// --- Canonical encodings -------------------------------------------------------------------

TEST(Binstream, IntegerEncodings) {
    const struct {
        int64_t value;
        std::string encoded;
    } cases[] = {
        {0, bytes({0x20})},
        {23, bytes({0x37})},
        {24, bytes({0x38, 0x18})},
        {255, bytes({0x38, 0xFF})},
        {256, bytes({0x39, 0x01, 0x00})},
        {1000, bytes({0x39, 0x03, 0xE8})},
        {65535, bytes({0x39, 0xFF, 0xFF})},
        {65536, bytes({0x3A, 0x01, 0x00, 0x00})},
        {0xFFFFFFFFFF, bytes({0x3C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {INT64_MAX, bytes({0x3F, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {-1, bytes({0x41})},
        {-23, bytes({0x57})},
        {-24, bytes({0x58, 0x18})},
        {-255, bytes({0x58, 0xFF})},
        {-256, bytes({0x59, 0x01, 0x00})},
        {-0x1000000, bytes({0x5B, 0x01, 0x00, 0x00, 0x00})},
        {INT64_MIN, bytes({0x5F, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(encode([&](FILE* f) { bs_write_int(f, c.value); }), c.encoded);
        file_ptr f = stream_of(c.encoded);
        EXPECT_EQ(bs_read_int(f.get()), c.value);
        EXPECT_EQ(rest(f.get()), "");
    }
}

TEST(Binstream, FloatEncodings) {
    const struct {
        double value;
        std::string encoded;
        double read_back; // compared bit for bit
    } cases[] = {
        {0.0, bytes({0x70}), 0.0},
        {-0.0, bytes({0x70}), 0.0}, // the sign of zero is not kept
        {1.0, bytes({0x62, 0x00, 0x3C}), 1.0},
        {-2.0, bytes({0x62, 0x00, 0xC0}), -2.0},
        {65504.0, bytes({0x62, 0xFF, 0x7B}), 65504.0},
        {0x1p-24, bytes({0x62, 0x01, 0x00}), 0x1p-24},
        {65536.0, bytes({0x64, 0x00, 0x00, 0x80, 0x47}), 65536.0},
        {0x1p-25, bytes({0x64, 0x00, 0x00, 0x00, 0x33}), 0x1p-25},
        {100000.0, bytes({0x64, 0x00, 0x50, 0xC3, 0x47}), 100000.0},
        {1.0 + 0x1p-11, bytes({0x64, 0x00, 0x10, 0x80, 0x3F}), 1.0 + 0x1p-11},
        {0.1, bytes({0x68, 0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}), 0.1},
        {1e300, bytes({0x68, 0x9C, 0x75, 0x00, 0x88, 0x3C, 0xE4, 0x37, 0x7E}), 1e300},
        {INFINITY, bytes({0x62, 0x00, 0x7C}), INFINITY},
        {-INFINITY, bytes({0x62, 0x00, 0xFC}), -INFINITY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(encode([&](FILE* f) { bs_write_float(f, c.value); }), c.encoded);
        file_ptr f = stream_of(c.encoded);
        EXPECT_EQ(std::bit_cast<uint64_t>(bs_read_float(f.get())),
                  std::bit_cast<uint64_t>(c.read_back));
        EXPECT_EQ(rest(f.get()), "");
    }
}

TEST(Binstream, EveryNanTakesTheDoubleFormWithItsPayload) {
    const uint64_t patterns[] = {0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
                                 0x7FF8000000000ABC, 0xFFFFFFFFFFFFFFFF};
    for (uint64_t pattern : patterns) {
        SCOPED_TRACE(pattern);
        std::string expected = bytes({0x68});
        for (int i = 0; i < 8; ++i)
            expected += static_cast<char>(pattern >> (8 * i));
        double nan = std::bit_cast<double>(pattern);
        EXPECT_EQ(encode([&](FILE* f) { bs_write_float(f, nan); }), expected);
        file_ptr f = stream_of(expected);
        EXPECT_EQ(std::bit_cast<uint64_t>(bs_read_float(f.get())), pattern);
    }
}

TEST(Binstream, StringAndListHeaders) {
    const struct {
        uint32_t length;
        std::string str_header;
        std::string list_header;
    } cases[] = {
        {0, bytes({0x80}), bytes({0xA0})},
        {3, bytes({0x83}), bytes({0xA3})},
        {29, bytes({0x9D}), bytes({0xBD})},
        {30, bytes({0x9E, 0x1E}), bytes({0xBE, 0x1E})},
        {255, bytes({0x9E, 0xFF}), bytes({0xBE, 0xFF})},
        {256, bytes({0x9F, 0x01, 0x00}), bytes({0xBF, 0x01, 0x00})},
        {65535, bytes({0x9F, 0xFF, 0xFF}), bytes({0xBF, 0xFF, 0xFF})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::string body = test_util::random_bytes(c.length, c.length);
        for (auto& ch : body)
            ch = ch == '\0' ? 'z' : ch;
        EXPECT_EQ(encode([&](FILE* f) { bs_write_str(f, body.c_str()); }), c.str_header + body);
        file_ptr s = stream_of(c.str_header + body + "tail");
        char* text = bs_read_str(s.get());
        EXPECT_EQ(std::string(text), body); // NUL-terminated right after the body
        free(text);
        EXPECT_EQ(rest(s.get()), "tail");

        EXPECT_EQ(encode([&](FILE* f) { bs_write_list(f, static_cast<int32_t>(c.length)); }),
                  c.list_header);
        file_ptr l = stream_of(c.list_header);
        EXPECT_EQ(bs_read_list(l.get()), static_cast<int32_t>(c.length));
        EXPECT_EQ(rest(l.get()), "");
    }
}

TEST(Binstream, ConstantsAndRawBlocks) {
    EXPECT_EQ(encode([](FILE* f) {
                  bs_write_nil(f);
                  bs_write_bool(f, true);
                  bs_write_bool(f, false);
                  bs_write_raw(f, "\xC0\x05", 2); // untagged, even bytes no value may start with
              }),
              bytes({0x00, 0x01, 0x02, 0xC0, 0x05}));
    file_ptr f = stream_of(bytes({0x00, 0x01, 0x02, 0xC0, 0x05, 0x07}));
    bs_read_nil(f.get());
    EXPECT_TRUE(bs_read_bool(f.get()));
    EXPECT_FALSE(bs_read_bool(f.get()));
    char raw[2] = {};
    EXPECT_EQ(bs_read_raw(f.get(), raw, 2), 1);
    EXPECT_EQ(std::string(raw, 2), "\xC0\x05");
    EXPECT_EQ(bs_read_raw(f.get(), raw, 2), 0); // one byte left
}

// --- Longer forms that readers accept ------------------------------------------------------

TEST(Binstream, ReadersAcceptLongerForms) {
    const struct {
        std::string encoded;
        int64_t value;
    } ints[] = {
        {bytes({0x40}), 0},
        {bytes({0x39, 0x00, 0x05}), 5},
        {bytes({0x58, 0x01}), -1},
        {bytes({0x3F, 0x80, 0, 0, 0, 0, 0, 0, 0}), INT64_MIN}, // the bit pattern is kept
    };
    for (const auto& c : ints) {
        file_ptr f = stream_of(c.encoded);
        EXPECT_EQ(bs_read_int(f.get()), c.value);
    }
    file_ptr s = stream_of(bytes({0x9F, 0x00, 0x02, 'h', 'i', 0x9E, 0x00}));
    char* text = bs_read_str(s.get());
    EXPECT_STREQ(text, "hi");
    free(text);
    text = bs_read_str(s.get());
    EXPECT_STREQ(text, "");
    free(text);
    file_ptr l = stream_of(bytes({0xBE, 0x02, 0xBF, 0x00, 0x01}));
    EXPECT_EQ(bs_read_list(l.get()), 2);
    EXPECT_EQ(bs_read_list(l.get()), 1);
}

// --- Peek and skip -------------------------------------------------------------------------

TEST(Binstream, PeekLeavesThePositionUnchanged) {
    const struct {
        int tag;
        bs_type type;
    } cases[] = {{0x00, bs_type_nil},     {0x02, bs_type_bool}, {0x5F, bs_type_int},
                 {0x70, bs_type_float},   {0x9F, bs_type_str},  {0xA0, bs_type_list},
                 {0xC0, bs_type_reserved}};
    for (const auto& c : cases) {
        file_ptr f = stream_of(bytes({0x20, c.tag}));
        EXPECT_EQ(bs_read_int(f.get()), 0);
        EXPECT_EQ(bs_peek_type(f.get()), c.type);
        EXPECT_EQ(ftell(f.get()), 1);
        EXPECT_EQ(rest(f.get()), bytes({c.tag}));
    }
}

TEST(Binstream, SkipConsumesOneWholeValue) {
    const std::string list =
        bytes({0xA4, 0x21, 0x82, 'a', 'b', 0xA2, 0x00, 0x01, 0x62, 0x00, 0x41});
    EXPECT_EQ(encode([](FILE* f) {
                  bs_write_list(f, 4);
                  bs_write_int(f, 1);
                  bs_write_str(f, "ab");
                  bs_write_list(f, 2);
                  bs_write_nil(f);
                  bs_write_bool(f, true);
                  bs_write_float(f, 2.5);
              }),
              list);
    file_ptr f = stream_of(list + bytes({0x2A}));
    bs_skip_next_value(f.get());
    EXPECT_EQ(ftell(f.get()), 11);
    EXPECT_EQ(bs_read_int(f.get()), 10);

    // 64 nested lists are within the bound
    std::string nested(bs_max_skip_depth, static_cast<char>(0xA1));
    file_ptr deep = stream_of(nested + bytes({0x00, 0x2A}));
    bs_skip_next_value(deep.get());
    EXPECT_EQ(bs_read_int(deep.get()), 10);
}

// --- Random round trips --------------------------------------------------------------------

struct value {
    bs_type type = bs_type_nil;
    int64_t i = 0;
    double d = 0;
    std::string s;
    std::vector<value> items;
};

double random_double(std::mt19937_64& rng) {
    switch (rng() % 4) {
    case 0: // any pattern: NaNs, infinities, subnormals, the whole range
        return std::bit_cast<double>(rng());
    case 1: // a half
        return bits_to_f32(static_cast<uint16_t>(rng()));
    case 2: // a single
        return std::bit_cast<float>(static_cast<uint32_t>(rng()));
    default:
        return static_cast<double>(static_cast<int>(rng() % 2001) - 1000);
    }
}

value random_value(std::mt19937_64& rng, int depth) {
    value v;
    v.type = static_cast<bs_type>(1 + rng() % (depth < 4 ? 6 : 5));
    switch (v.type) {
    case bs_type_bool:
    case bs_type_int: // every magnitude width, both signs
        v.i = static_cast<int64_t>(rng() >> (rng() % 64));
        v.i = rng() % 2 ? v.i : -v.i;
        break;
    case bs_type_float:
        v.d = random_double(rng);
        break;
    case bs_type_str:
        // mostly short, some with a length byte, a few with two
        if (rng() % 64 == 0)
            v.s.resize(rng() % (bs_max_length + 1));
        else
            v.s.resize(rng() % 8 == 0 ? rng() % 300 : rng() % 40);
        for (auto& ch : v.s)
            ch = static_cast<char>(1 + rng() % 255);
        break;
    case bs_type_list:
        v.items.resize(rng() % 8 == 0 ? 30 + rng() % 5 : rng() % 5);
        for (auto& item : v.items)
            item = random_value(rng, depth + 1);
        break;
    default:
        break;
    }
    return v;
}

void write_value(FILE* f, const value& v) {
    switch (v.type) {
    case bs_type_nil:
        bs_write_nil(f);
        break;
    case bs_type_bool:
        bs_write_bool(f, v.i % 2 != 0);
        break;
    case bs_type_int:
        bs_write_int(f, v.i);
        break;
    case bs_type_float:
        bs_write_float(f, v.d);
        break;
    case bs_type_str:
        bs_write_str(f, v.s.c_str());
        break;
    default:
        bs_write_list(f, static_cast<int32_t>(v.items.size()));
        for (const auto& item : v.items)
            write_value(f, item);
    }
}

// Peeks, then reads the value and compares (floats bit for bit; zero comes back positive).
void expect_value(FILE* f, const value& v) {
    ASSERT_EQ(bs_peek_type(f), v.type);
    switch (v.type) {
    case bs_type_nil:
        bs_read_nil(f);
        break;
    case bs_type_bool:
        EXPECT_EQ(bs_read_bool(f), v.i % 2 != 0);
        break;
    case bs_type_int:
        EXPECT_EQ(bs_read_int(f), v.i);
        break;
    case bs_type_float:
        EXPECT_EQ(std::bit_cast<uint64_t>(bs_read_float(f)),
                  std::bit_cast<uint64_t>(v.d == 0.0 ? 0.0 : v.d));
        break;
    case bs_type_str: {
        char* text = bs_read_str(f);
        EXPECT_EQ(std::string(text), v.s);
        free(text);
        break;
    }
    default:
        ASSERT_EQ(bs_read_list(f), static_cast<int32_t>(v.items.size()));
        for (const auto& item : v.items)
            ASSERT_NO_FATAL_FAILURE(expect_value(f, item));
    }
}

TEST(Binstream, RandomValuesRoundTripAndSkip) {
    std::mt19937_64 rng(20240611);
    std::vector<value> values;
    for (int i = 0; i < 3000; ++i)
        values.push_back(random_value(rng, 0));
    file_ptr f = stream_of("");
    for (const auto& v : values)
        write_value(f.get(), v);

    rewind(f.get());
    for (const auto& v : values)
        ASSERT_NO_FATAL_FAILURE(expect_value(f.get(), v));
    EXPECT_EQ(rest(f.get()), "");

    // skipping every other value leaves the stream at the next one
    rewind(f.get());
    for (size_t i = 0; i < values.size(); ++i) {
        if (i % 2 == 0)
            bs_skip_next_value(f.get());
        else
            ASSERT_NO_FATAL_FAILURE(expect_value(f.get(), values[i]));
    }
    EXPECT_EQ(rest(f.get()), "");
}

// --- Fatal paths ---------------------------------------------------------------------------

std::string check_report(const std::string& func) {
    return "Runtime check failed in src/format/binstream\\.cpp:[0-9]+ \\(" + func + "\\)\n";
}

std::string fatal_report(const std::string& func, const std::string& message) {
    return "Fatal error in src/format/binstream\\.cpp:[0-9]+ \\(" + func + "\\)\n\n" + message + "\n";
}

TEST(BinstreamDeathTest, MalformedInputEndsTheProcess) {
    const struct {
        const char* name;
        std::string input;
        void (*read)(FILE*);
        std::string report;
    } cases[] = {
        {"no tag", "", [](FILE* f) { bs_read_int(f); }, check_report("read_u8")},
        {"int payload cut", bytes({0x38}), [](FILE* f) { bs_read_int(f); },
         check_report("read_u8")},
        {"int payload half there", bytes({0x3A, 0x01}), [](FILE* f) { bs_read_int(f); },
         check_report("read_u8")},
        {"string length cut", bytes({0x9F, 0x01}), [](FILE* f) { free(bs_read_str(f)); },
         check_report("read_u8")},
        {"list count cut", bytes({0xBE}), [](FILE* f) { bs_read_list(f); },
         check_report("read_u8")},
        {"float payload cut", bytes({0x64, 0x00, 0x00}), [](FILE* f) { bs_read_float(f); },
         check_report("read_u8")},
        {"string body cut", bytes({0x83, 'a', 'b'}), [](FILE* f) { free(bs_read_str(f)); },
         check_report("bs_read_str")},
        {"string body cut while skipping", bytes({0xA1, 0x9E, 0x40, 'a'}),
         [](FILE* f) { bs_skip_next_value(f); }, check_report("bs_read_str")},
        {"invalid constant", bytes({0x05}), [](FILE* f) { bs_read_int(f); },
         fatal_report("get_type", "unhandled constant 5")},
        {"class 7", bytes({0xE0}), [](FILE* f) { free(bs_read_str(f)); },
         fatal_report("get_type", "unhandled val_type: 224")},
        {"peek at end", "", [](FILE* f) { bs_peek_type(f); },
         fatal_report("get_type", "unhandled val_type: 255")},
        {"class 6 as int", bytes({0xC0}), [](FILE* f) { bs_read_int(f); },
         fatal_report("expect_type", "expected type 3, got 7")},
        {"nil as bool", bytes({0x00}), [](FILE* f) { bs_read_bool(f); },
         fatal_report("expect_type", "expected type 2, got 1")},
        {"int as float", bytes({0x21}), [](FILE* f) { bs_read_float(f); },
         fatal_report("expect_type", "expected type 4, got 3")},
        {"float width 3", bytes({0x63, 0, 0, 0}), [](FILE* f) { bs_read_float(f); },
         fatal_report("bs_read_float", "unhandled float len: 3")},
        {"skip class 6", bytes({0xC0}), [](FILE* f) { bs_skip_next_value(f); },
         fatal_report("bs_skip_next_value", "unhandled type 7")},
        {"skip list with invalid item", bytes({0xA2, 0x00, 0x05}),
         [](FILE* f) { bs_skip_next_value(f); }, fatal_report("get_type", "unhandled constant 5")},
        {"skip 65 nested lists", std::string(bs_max_skip_depth + 1, '\xA1') + bytes({0x00}),
         [](FILE* f) { bs_skip_next_value(f); },
         fatal_report("bs_skip_next_value", "lists nested more than 64 deep")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(c.read(raw_stream_of(c.input)), ::testing::ExitedWithCode(1), c.report);
    }
}

// A refused write leaves nothing behind: the dying process flushes its streams on exit.
TEST(BinstreamDeathTest, RefusedWritesEndTheProcessAndWriteNothing) {
    test_util::scratch_dir dir;
    const std::string path = dir / "out.bin";
    const struct {
        const char* name;
        const char* mode;
        void (*write)(FILE*);
        std::string report;
    } cases[] = {
        {"read-only stream", "rb", [](FILE* f) { bs_write_int(f, 5); }, check_report("write_u8")},
        {"raw block to read-only stream", "rb", [](FILE* f) { bs_write_raw(f, "ab", 2); },
         check_report("bs_write_raw")},
        {"string too long", "wb",
         [](FILE* f) { bs_write_str(f, std::string(bs_max_length + 1, 'x').c_str()); },
         fatal_report("bs_write_str", " \\*\\*\\* String is too long")},
        {"list too long", "wb",
         [](FILE* f) { bs_write_list(f, static_cast<int32_t>(bs_max_length + 1)); },
         fatal_report("bs_write_list", "list contains too many items")},
        {"negative list count", "wb", [](FILE* f) { bs_write_list(f, -1); },
         check_report("bs_write_list")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_util::write_file(path, "");
        EXPECT_EXIT(c.write(fopen(path.c_str(), c.mode)), ::testing::ExitedWithCode(1), c.report);
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
    }
}

} // namespace
