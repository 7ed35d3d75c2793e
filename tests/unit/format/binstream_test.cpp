#include "format/binstream.h"

#include "test_util.h"

template <class Write> static std::string encode(Write write) {
    FILE* f = stream_of("");
    write(f);
    rewind(f);
    return rest(f);
}

// Shortest forms written and read back: integers of each width and sign; floats in the smallest form holding them
// exactly (zero of either sign, half, single also subnormal, double past the single range and for NaN payloads);
// string and list headers at each length form's edges, a string's body read back NUL-terminated, no byte more.
TEST(Binstream, Encodings) {
    const std::pair<int64_t, const char*> ints[] = {
        {0, "20"}, {23, "37"}, {24, "38 18"}, {255, "38 FF"}, {256, "39 0100"}, {65535, "39 FFFF"}, {65536, "3A 010000"},
        {0x1000000, "3B 01000000"}, {0xFFFFFFFFFF, "3C FFFFFFFFFF"}, {INT64_MAX, "3F 7FFFFFFFFFFFFFFF"}, {-1, "41"}, {-23, "57"},
        {-24, "58 18"}, {-256, "59 0100"}, {-0x1000000, "5B 01000000"}, {INT64_MIN, "5F 8000000000000000"}};
    for (auto [value, encoded] : ints) {
        EXPECT_EQ(encode([&](FILE* f) { bs_write_int(f, value); }), hex(encoded)) << value;
        FILE* f = stream_of(hex(encoded));
        EXPECT_EQ(bs_read_int(f), value);
        EXPECT_EQ(rest(f), "") << value;
    }
    for (auto [value, encoded] : {std::pair{int64_t{0}, "40"}, {INT64_MIN, "3F 8000000000000000"}}) // read only
        EXPECT_EQ(bs_read_int(stream_of(hex(encoded))), value) << encoded;
    const std::pair<double, const char*> floats[] = {
        {0.0, "70"}, {-0.0, "70"}, {1.0, "62 003C"}, {-2.0, "62 00C0"}, {65504.0, "62 FF7B"}, {0x1p-24, "62 0100"},
        {INFINITY, "62 007C"}, {-INFINITY, "62 00FC"}, {65536.0, "64 00008047"}, {0x1p-25, "64 00000033"},
        {1.0 + 0x1p-11, "64 0010803F"}, {0x1p-149, "64 01000000"}, {0.1, "68 9A9999999999B93F"}, {1e300, "68 9C7500883CE4377E"},
        {std::bit_cast<double>(0x7FF0000000000001), "68 010000000000F07F"},
        {std::bit_cast<double>(0xFFF8000000000ABC), "68 BC0A00000000F8FF"}};
    for (auto [value, encoded] : floats) {
        EXPECT_EQ(encode([&](FILE* f) { bs_write_float(f, value); }), hex(encoded)) << value;
        FILE* f = stream_of(hex(encoded));
        EXPECT_EQ(std::bit_cast<uint64_t>(bs_read_float(f)), std::bit_cast<uint64_t>(value == 0 ? 0.0 : value)) << value;
        EXPECT_EQ(rest(f), "") << value;
    }
    // Lists past 65535 items take the long form (no string does); the long form of a short count still reads.
    const std::tuple<uint32_t, const char*, const char*> rows[] = {
        {0, "80", "A0"}, {29, "9D", "BD"}, {30, "9E 1E", "BE 1E"}, {255, "9E FF", "BE FF"}, {256, "9F 0100", "BF 0100"},
        {65535, "9F FFFF", "BF FFFF"}, {65536, nullptr, "DF 00010000"}, {70000, nullptr, "DF 00011170"},
        {INT32_MAX, nullptr, "DF 7FFFFFFF"}};
    for (auto [length, str_header, list_header] : rows) {
        std::string body(str_header != nullptr ? length : 0, 'b');
        if (str_header != nullptr) {
            EXPECT_EQ(encode([&](FILE* f) { bs_write_str(f, body.c_str()); }), hex(str_header) + body) << length;
            FILE* s = stream_of(hex(str_header) + body + "tail");
            char* text = bs_read_str(s);
            EXPECT_EQ(text, body);
            free(text);
            EXPECT_EQ(rest(s), "tail");
        }
        EXPECT_EQ(encode([&](FILE* f) { bs_write_list(f, static_cast<int32_t>(length)); }), hex(list_header));
        FILE* l = stream_of(hex(list_header));
        EXPECT_EQ(bs_read_list(l), static_cast<int32_t>(length));
        EXPECT_EQ(rest(l), "");
    }
    EXPECT_EQ(bs_read_list(stream_of(hex("DF 00000003"))), 3);
    FILE* long_list = stream_of(hex("DF 00000002 21 DF 00000000") + "*");
    EXPECT_EQ(bs_peek_type(long_list), bs_type_list);
    bs_skip_next_value(long_list);
    EXPECT_EQ(rest(long_list), "*");
    // Constants and raw blocks; a skip consumes one whole value, through 64 levels of lists.
    const std::pair<void (*)(FILE*), const char*> constants[] = {
        {bs_write_nil, "00"}, {[](FILE* f) { bs_write_bool(f, true); }, "01"}, {[](FILE* f) { bs_write_bool(f, false); }, "02"},
        {[](FILE* f) { bs_write_raw(f, "\xC0\x05", 2); }, "C005"}};
    for (auto [write, encoded] : constants)
        EXPECT_EQ(encode(write), hex(encoded));
    FILE* f = stream_of(hex("00 01 02 C005"));
    bs_read_nil(f);
    EXPECT_TRUE(bs_read_bool(f));
    EXPECT_FALSE(bs_read_bool(f));
    char raw[2] = {};
    EXPECT_EQ(bs_read_raw(f, raw, 2), 1);
    EXPECT_EQ(std::string(raw, 2), "\xC0\x05");
    fclose(f);
    for (const std::string& value : {hex("A4 21 82 6162 A2 00 01 62 0041"), std::string(bs_max_skip_depth, '\xA1') + hex("00")}) {
        FILE* s = stream_of(value + "*");
        bs_skip_next_value(s);
        EXPECT_EQ(rest(s), "*");
    }
}

// Each cut, invalid tag, wrong type, odd float width, nesting past 64, string past 65535, list count past 2^31 - 1: a report naming where
// (the function, and the message of a fatal error).
TEST(BinstreamDeathTest, MalformedInputEndsTheProcess) {
    auto read_int = [](FILE* f) { bs_read_int(f); };
    auto read_str = [](FILE* f) { free(bs_read_str(f)); };
    auto read_float = [](FILE* f) { bs_read_float(f); };
    auto skip = [](FILE* f) { bs_skip_next_value(f); };
    const std::tuple<std::string, void (*)(FILE*), const char*> rows[] = {
        {"", read_int, "read_u8)"}, {hex("3A 01"), read_int, "read_u8)"}, {hex("9F 01"), read_str, "read_u8)"},
        {hex("BE"), [](FILE* f) { bs_read_list(f); }, "read_u8)"}, {hex("64 0000"), read_float, "read_u8)"},
        {hex("83 6162"), read_str, "bs_read_str)"}, {hex("A1 9E40 61"), skip, "bs_read_str)"},
        {hex("05"), read_int, "get_type)\n\nunhandled constant 5"}, {hex("E0"), read_str, "get_type)\n\nunhandled val_type: 224"},
        {"", [](FILE* f) { bs_peek_type(f); }, "get_type)\n\nunhandled val_type: 255"},
        {hex("C0"), read_int, "expect_type)\n\nexpected type 3, got 7"},
        {hex("00"), [](FILE* f) { bs_read_bool(f); }, "expect_type)\n\nexpected type 2, got 1"},
        {hex("21"), read_float, "expect_type)\n\nexpected type 4, got 3"},
        {hex("63 000000"), read_float, "bs_read_float)\n\nunhandled float len: 3"},
        {hex("C0"), skip, "bs_skip_next_value)\n\nunhandled type 7"}, {hex("A2 00 05"), skip, "get_type)\n\nunhandled constant 5"},
        {std::string(bs_max_skip_depth + 1, '\xA1') + hex("00"), skip, "bs_skip_next_value)\n\nlists nested more than 64 deep"},
        {"", [](FILE* f) { bs_write_str(f, std::string(bs_max_length + 1, 'x').c_str()); },
         "bs_write_str)\n\n \\*\\*\\* String is too long"},
        {hex("DF 80000000"), [](FILE* f) { bs_read_list(f); }, "bs_read_list)\n\nlist contains too many items"},
        {hex("DF 000100"), [](FILE* f) { bs_read_list(f); }, "read_u8)"}, {hex("DE"), skip, "bs_skip_next_value)\n\nunhandled type 7"}};
    for (const auto& [input, read, where] : rows)
        EXPECT_EXIT(read(stream_of(input)), ExitedWithCode(1), std::string("src/format/binstream\\.cpp:[0-9]+ \\(") + where + "\n$")
            << testing::PrintToString(input);
}
