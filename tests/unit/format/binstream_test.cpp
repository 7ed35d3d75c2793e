#include "format/binstream.h"

#include <bit>
#include <cmath>

#include "test_util.h"

// Everything from the current position to the end; closes the stream.
std::string rest(FILE* f) {
    std::string out;
    for (int c = fgetc(f); c != EOF; c = fgetc(f))
        out += static_cast<char>(c);
    fclose(f);
    return out;
}

template <class Write> std::string encode(Write write) {
    FILE* f = stream_of("");
    write(f);
    rewind(f);
    return rest(f);
}

// Integers: the writer's shortest form and the reader's value, for each payload width and sign.
TEST(Binstream, Integers) {
    const std::pair<int64_t, std::string> rows[] = {
        {0, bytes({0x20})}, {23, bytes({0x37})}, {24, bytes({0x38, 0x18})}, {255, bytes({0x38, 0xFF})},
        {256, bytes({0x39, 0x01, 0x00})}, {65535, bytes({0x39, 0xFF, 0xFF})}, {65536, bytes({0x3A, 0x01, 0x00, 0x00})},
        {0x1000000, bytes({0x3B, 0x01, 0, 0, 0})}, {0xFFFFFFFFFF, bytes({0x3C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {INT64_MAX, bytes({0x3F, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}, {-1, bytes({0x41})}, {-23, bytes({0x57})},
        {-24, bytes({0x58, 0x18})}, {-256, bytes({0x59, 0x01, 0x00})}, {-0x1000000, bytes({0x5B, 0x01, 0x00, 0x00, 0x00})},
        {INT64_MIN, bytes({0x5F, 0x80, 0, 0, 0, 0, 0, 0, 0})}};
    for (const auto& [value, encoded] : rows) {
        EXPECT_EQ(encode([&](FILE* f) { bs_write_int(f, value); }), encoded) << value;
        FILE* f = stream_of(encoded);
        EXPECT_EQ(bs_read_int(f), value);
        EXPECT_EQ(rest(f), "") << value;
    }
}

// Floats take the smallest form that holds them exactly: zero of either sign, half, single
// (also a single subnormal), double (beyond the single range, and every NaN with its payload).
TEST(Binstream, Floats) {
    const std::pair<double, std::string> rows[] = {
        {0.0, bytes({0x70})}, {-0.0, bytes({0x70})}, {1.0, bytes({0x62, 0x00, 0x3C})}, {-2.0, bytes({0x62, 0x00, 0xC0})},
        {65504.0, bytes({0x62, 0xFF, 0x7B})}, {0x1p-24, bytes({0x62, 0x01, 0x00})}, {INFINITY, bytes({0x62, 0x00, 0x7C})},
        {-INFINITY, bytes({0x62, 0x00, 0xFC})}, {65536.0, bytes({0x64, 0x00, 0x00, 0x80, 0x47})},
        {0x1p-25, bytes({0x64, 0x00, 0x00, 0x00, 0x33})}, {1.0 + 0x1p-11, bytes({0x64, 0x00, 0x10, 0x80, 0x3F})},
        {0x1p-149, bytes({0x64, 0x01, 0x00, 0x00, 0x00})}, {0.1, bytes({0x68, 0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F})},
        {1e300, bytes({0x68, 0x9C, 0x75, 0x00, 0x88, 0x3C, 0xE4, 0x37, 0x7E})},
        {std::bit_cast<double>(0x7FF0000000000001), bytes({0x68, 0x01, 0, 0, 0, 0, 0, 0xF0, 0x7F})},
        {std::bit_cast<double>(0xFFF8000000000ABC), bytes({0x68, 0xBC, 0x0A, 0, 0, 0, 0, 0xF8, 0xFF})}};
    for (const auto& [value, encoded] : rows) {
        EXPECT_EQ(encode([&](FILE* f) { bs_write_float(f, value); }), encoded) << value;
        FILE* f = stream_of(encoded);
        EXPECT_EQ(std::bit_cast<uint64_t>(bs_read_float(f)), std::bit_cast<uint64_t>(value == 0 ? 0.0 : value)) << value;
        EXPECT_EQ(rest(f), "") << value;
    }
}

// String and list headers at each length form's edges; a string's body follows its header and
// reads back NUL-terminated, the stream left at the next byte.
TEST(Binstream, StringAndListHeaders) {
    const std::tuple<uint32_t, std::string, std::string> rows[] = {
        {0, bytes({0x80}), bytes({0xA0})}, {29, bytes({0x9D}), bytes({0xBD})}, {30, bytes({0x9E, 0x1E}), bytes({0xBE, 0x1E})},
        {255, bytes({0x9E, 0xFF}), bytes({0xBE, 0xFF})}, {256, bytes({0x9F, 0x01, 0x00}), bytes({0xBF, 0x01, 0x00})},
        {65535, bytes({0x9F, 0xFF, 0xFF}), bytes({0xBF, 0xFF, 0xFF})}};
    for (const auto& [length, str_header, list_header] : rows) {
        std::string body(length, 'b');
        EXPECT_EQ(encode([&](FILE* f) { bs_write_str(f, body.c_str()); }), str_header + body) << length;
        FILE* s = stream_of(str_header + body + "tail");
        char* text = bs_read_str(s);
        EXPECT_EQ(text, body);
        free(text);
        EXPECT_EQ(rest(s), "tail");
        EXPECT_EQ(encode([&](FILE* f) { bs_write_list(f, static_cast<int32_t>(length)); }), list_header);
        FILE* l = stream_of(list_header);
        EXPECT_EQ(bs_read_list(l), static_cast<int32_t>(length));
        EXPECT_EQ(rest(l), "");
    }
}

// Constants and raw blocks; the longer forms readers also accept (the bit pattern of an 8-byte
// class-1 payload kept); a peek at each class leaves the stream where it was; a skip consumes one
// whole value, a list with all its items, through 64 levels of lists.
TEST(Binstream, ConstantsLongerFormsPeekAndSkip) {
    EXPECT_EQ(encode([](FILE* f) {
                  bs_write_nil(f);
                  bs_write_bool(f, true);
                  bs_write_bool(f, false);
                  bs_write_raw(f, "\xC0\x05", 2);
              }),
              bytes({0x00, 0x01, 0x02, 0xC0, 0x05}));
    FILE* f = stream_of(bytes({0x00, 0x01, 0x02, 0xC0, 0x05, 0x40, 0x39, 0x00, 0x05, 0x58, 0x01, 0x3F, 0x80, 0, 0, 0, 0, 0, 0, 0,
                               0x9F, 0x00, 0x02, 'h', 'i', 0xBE, 0x02, 0xBF, 0x00, 0x01}));
    bs_read_nil(f);
    EXPECT_TRUE(bs_read_bool(f));
    EXPECT_FALSE(bs_read_bool(f));
    char raw[2] = {};
    EXPECT_EQ(bs_read_raw(f, raw, 2), 1);
    EXPECT_EQ(std::string(raw, 2), "\xC0\x05");
    for (int64_t value : std::initializer_list<int64_t>{0, 5, -1, INT64_MIN})
        EXPECT_EQ(bs_read_int(f), value);
    char* text = bs_read_str(f);
    EXPECT_STREQ(text, "hi");
    free(text);
    EXPECT_EQ(bs_read_list(f), 2);
    EXPECT_EQ(bs_read_list(f), 1);
    EXPECT_EQ(bs_read_raw(f, raw, 1), 0);
    fclose(f);
    for (auto [tag, type] : {std::pair{0x00, bs_type_nil}, {0x02, bs_type_bool}, {0x5F, bs_type_int}, {0x70, bs_type_float},
                             {0x9F, bs_type_str}, {0xA0, bs_type_list}, {0xC0, bs_type_reserved}}) {
        FILE* p = stream_of(bytes({tag}));
        EXPECT_EQ(bs_peek_type(p), type);
        EXPECT_EQ(rest(p), bytes({tag}));
    }
    for (const std::string& value : {bytes({0xA4, 0x21, 0x82, 'a', 'b', 0xA2, 0x00, 0x01, 0x62, 0x00, 0x41}),
                                     std::string(bs_max_skip_depth, '\xA1') + bytes({0x00})}) {
        FILE* s = stream_of(value + bytes({0x2A}));
        bs_skip_next_value(s);
        EXPECT_EQ(rest(s), bytes({0x2A}));
    }
}

std::string check_report(const std::string& func) {
    return "Runtime check failed in src/format/binstream\\.cpp:[0-9]+ \\(" + func + "\\)\n";
}

std::string fatal_report(const std::string& func, const std::string& message) {
    return "Fatal error in src/format/binstream\\.cpp:[0-9]+ \\(" + func + "\\)\n\n" + message + "\n";
}

// Malformed or truncated input ends the process naming the function that saw it: every cut,
// invalid tags, wrong types, an odd float width, nesting past 64 while skipping.
TEST(BinstreamDeathTest, MalformedInputEndsTheProcess) {
    const std::tuple<std::string, void (*)(FILE*), std::string> rows[] = {
        {"", [](FILE* f) { bs_read_int(f); }, check_report("read_u8")},
        {bytes({0x3A, 0x01}), [](FILE* f) { bs_read_int(f); }, check_report("read_u8")},
        {bytes({0x9F, 0x01}), [](FILE* f) { free(bs_read_str(f)); }, check_report("read_u8")},
        {bytes({0xBE}), [](FILE* f) { bs_read_list(f); }, check_report("read_u8")},
        {bytes({0x64, 0x00, 0x00}), [](FILE* f) { bs_read_float(f); }, check_report("read_u8")},
        {bytes({0x83, 'a', 'b'}), [](FILE* f) { free(bs_read_str(f)); }, check_report("bs_read_str")},
        {bytes({0xA1, 0x9E, 0x40, 'a'}), [](FILE* f) { bs_skip_next_value(f); }, check_report("bs_read_str")},
        {bytes({0x05}), [](FILE* f) { bs_read_int(f); }, fatal_report("get_type", "unhandled constant 5")},
        {bytes({0xE0}), [](FILE* f) { free(bs_read_str(f)); }, fatal_report("get_type", "unhandled val_type: 224")},
        {"", [](FILE* f) { bs_peek_type(f); }, fatal_report("get_type", "unhandled val_type: 255")},
        {bytes({0xC0}), [](FILE* f) { bs_read_int(f); }, fatal_report("expect_type", "expected type 3, got 7")},
        {bytes({0x00}), [](FILE* f) { bs_read_bool(f); }, fatal_report("expect_type", "expected type 2, got 1")},
        {bytes({0x21}), [](FILE* f) { bs_read_float(f); }, fatal_report("expect_type", "expected type 4, got 3")},
        {bytes({0x63, 0, 0, 0}), [](FILE* f) { bs_read_float(f); }, fatal_report("bs_read_float", "unhandled float len: 3")},
        {bytes({0xC0}), [](FILE* f) { bs_skip_next_value(f); }, fatal_report("bs_skip_next_value", "unhandled type 7")},
        {bytes({0xA2, 0x00, 0x05}), [](FILE* f) { bs_skip_next_value(f); }, fatal_report("get_type", "unhandled constant 5")},
        {std::string(bs_max_skip_depth + 1, '\xA1') + bytes({0x00}), [](FILE* f) { bs_skip_next_value(f); },
         fatal_report("bs_skip_next_value", "lists nested more than 64 deep")}};
    for (const auto& [input, read, report] : rows)
        EXPECT_EXIT(read(stream_of(input)), ::testing::ExitedWithCode(1), report) << testing::PrintToString(input);
}

// Writes that cannot be made end the process and leave nothing behind: to a read-only stream,
// a string or list past 65535, a negative count.
TEST(BinstreamDeathTest, RefusedWritesEndTheProcess) {
    scratch_dir dir;
    const std::string path = dir / "out.bin";
    const std::tuple<const char*, void (*)(FILE*), std::string> rows[] = {
        {"rb", [](FILE* f) { bs_write_int(f, 5); }, check_report("write_u8")},
        {"rb", [](FILE* f) { bs_write_raw(f, "ab", 2); }, check_report("bs_write_raw")},
        {"wb", [](FILE* f) { bs_write_str(f, std::string(bs_max_length + 1, 'x').c_str()); }, fatal_report("bs_write_str", " \\*\\*\\* String is too long")},
        {"wb", [](FILE* f) { bs_write_list(f, static_cast<int32_t>(bs_max_length + 1)); }, fatal_report("bs_write_list", "list contains too many items")},
        {"wb", [](FILE* f) { bs_write_list(f, -1); }, check_report("bs_write_list")}};
    for (const auto& [mode, write, report] : rows) {
        write_file(path, "");
        EXPECT_EXIT(write(fopen(path.c_str(), mode)), ::testing::ExitedWithCode(1), report);
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
    }
}

