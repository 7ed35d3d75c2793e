#include "format/binstream.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "support/float16.h"
#include "support/utils.h"

// Every value starts with a tag byte: class in the top three bits, an immediate field (small
// value, length code or float width) in the low five. Integers, string lengths and list counts
// are big-endian; float payloads are little-endian. Writers produce the shortest form; readers
// also take the longer forms. A list of more than 65535 items has a header of its own in class 6,
// otherwise reserved: 0xDF and a 4-byte count, so every shorter list keeps its bytes. Malformed
// input ends the process through PANIC or CHECK, always named after the function that detects it.

// --- Tags ----------------------------------------------------------------------------------

static constexpr uint8_t tag_nil = 0x00;
static constexpr uint8_t tag_true = 0x01;
static constexpr uint8_t tag_false = 0x02;
static constexpr uint8_t tag_uint = 0x20;       // class 1: non-negative integer
static constexpr uint8_t tag_negative = 0x40;   // class 2: magnitude of a negative integer
static constexpr uint8_t tag_float_zero = 0x70; // class 3, no payload
static constexpr uint8_t tag_half = 0x62;
static constexpr uint8_t tag_single = 0x64;
static constexpr uint8_t tag_double = 0x68;
static constexpr uint8_t tag_str = 0x80;       // class 4
static constexpr uint8_t tag_list = 0xA0;      // class 5
static constexpr uint8_t tag_long_list = 0xDF; // class 6: list header, 4-byte count

static constexpr uint8_t immediate_mask = 0x1F;
static constexpr int class_shift = 5;
static constexpr uint8_t max_immediate_int = 23; // larger codes give the payload size + 23
static constexpr uint8_t max_immediate_length = 29;
static constexpr uint8_t length_code_u8 = 30;  // one length byte follows
static constexpr uint8_t length_code_u16 = 31; // two length bytes follow, big-endian
static constexpr int byte_bits = 8;
static constexpr int max_int_bytes = 8;

// --- Bytes ---------------------------------------------------------------------------------

static void write_u8(FILE* f, uint8_t byte) {
    CHECK(fputc(byte, f) != EOF);
}

static uint8_t read_u8(FILE* f) {
    int c = fgetc(f);
    CHECK(c != EOF); // end of stream or read error inside a value
    return static_cast<uint8_t>(c);
}

// The `count` low-order bytes of `value`, most significant first.
static void write_be(FILE* f, uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i)
        write_u8(f, static_cast<uint8_t>(value >> (i * byte_bits)));
}

static uint64_t read_be(FILE* f, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << byte_bits) | read_u8(f);
    return value;
}

// The `count` low-order bytes of `value`, least significant first.
static void write_le(FILE* f, uint64_t value, int count) {
    for (int i = 0; i < count; ++i)
        write_u8(f, static_cast<uint8_t>(value >> (i * byte_bits)));
}

static uint64_t read_le(FILE* f, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value |= static_cast<uint64_t>(read_u8(f)) << (i * byte_bits);
    return value;
}

// --- Tag classification --------------------------------------------------------------------

static bs_type get_type(uint8_t val_type) {
    switch (val_type >> class_shift) {
    case 0:
        if (val_type == tag_nil)
            return bs_type_nil;
        if (val_type == tag_true || val_type == tag_false)
            return bs_type_bool;
        PANIC("unhandled constant %u", static_cast<unsigned>(val_type));
    case 1:
    case 2:
        return bs_type_int;
    case 3:
        return bs_type_float;
    case 4:
        return bs_type_str;
    case 5:
        return bs_type_list;
    case 6:
        return val_type == tag_long_list ? bs_type_list : bs_type_reserved;
    default:
        PANIC("unhandled val_type: %u", static_cast<unsigned>(val_type));
    }
}

// Invalid tags fail in get_type first, with its own message.
static void expect_type(uint8_t val_type, bs_type expected) {
    bs_type found = get_type(val_type);
    if (found != expected)
        PANIC("expected type %d, got %d", static_cast<int>(expected), static_cast<int>(found));
}

// --- Length codes (strings and list counts) ------------------------------------------------

// The caller has checked that `length` fits in 16 bits.
static void write_length_header(FILE* f, uint8_t class_tag, uint32_t length) {
    if (length <= max_immediate_length) {
        write_u8(f, static_cast<uint8_t>(class_tag | length));
    } else if (length <= UINT8_MAX) {
        write_u8(f, class_tag | length_code_u8);
        write_u8(f, static_cast<uint8_t>(length));
    } else {
        write_u8(f, class_tag | length_code_u16);
        write_be(f, length, 2);
    }
}

// The length carried by a string or list tag, reading the length bytes that follow it.
static uint32_t read_length(FILE* f, uint8_t tag) {
    uint8_t code = tag & immediate_mask;
    if (code <= max_immediate_length)
        return code;
    if (code == length_code_u8)
        return read_u8(f);
    return static_cast<uint32_t>(read_be(f, 2));
}

// --- Writers -------------------------------------------------------------------------------

void bs_write_nil(FILE* f) {
    write_u8(f, tag_nil);
}

void bs_write_bool(FILE* f, bool value) {
    write_u8(f, value ? tag_true : tag_false);
}

void bs_write_int(FILE* f, int64_t value) {
    uint8_t class_tag = value >= 0 ? tag_uint : tag_negative;
    // Two's-complement negation in unsigned arithmetic: -2^63 has magnitude 2^63.
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0)
        magnitude = 0 - magnitude;
    if (magnitude <= max_immediate_int) {
        write_u8(f, static_cast<uint8_t>(class_tag | magnitude));
        return;
    }
    int count = 1;
    while (count < max_int_bytes && (magnitude >> (count * byte_bits)) != 0)
        ++count;
    write_u8(f, static_cast<uint8_t>(class_tag + max_immediate_int + count));
    write_be(f, magnitude, count);
}

void bs_write_float(FILE* f, double value) {
    if (value == 0.0) { // either sign
        write_u8(f, tag_float_zero);
        return;
    }
    // A finite double beyond the single range has no single form, and converting it would be
    // undefined; it goes straight to the double form.
    if (std::fabs(value) <= FLT_MAX || std::isinf(value)) {
        float single = static_cast<float>(value);
        uint16_t half = f32_to_f16(single);
        // f32_to_f16 truncates, so the round trip is exact only for values a half holds.
        if (static_cast<double>(bits_to_f32(half)) == value) {
            write_u8(f, tag_half);
            write_le(f, half, 2);
            return;
        }
        if (static_cast<double>(single) == value) {
            write_u8(f, tag_single);
            write_le(f, std::bit_cast<uint32_t>(single), 4);
            return;
        }
    }
    // Also every NaN, which compares equal to nothing: its payload is kept.
    write_u8(f, tag_double);
    write_le(f, std::bit_cast<uint64_t>(value), 8);
}

void bs_write_str(FILE* f, const char* text) {
    size_t length = strlen(text);
    if (length > bs_max_length)
        PANIC(" *** String is too long");
    write_length_header(f, tag_str, static_cast<uint32_t>(length));
    CHECK(fwrite(text, 1, length, f) == length);
}

void bs_write_list(FILE* f, int32_t count) {
    CHECK(count >= 0);
    if (static_cast<uint32_t>(count) <= bs_max_length) {
        write_length_header(f, tag_list, static_cast<uint32_t>(count));
        return;
    }
    write_u8(f, tag_long_list);
    write_be(f, static_cast<uint32_t>(count), 4);
}

// A block that does not arrive whole would corrupt the stream silently, as a short write of any
// other value would: the same runtime check.
void bs_write_raw(FILE* f, const void* data, size_t size) {
    CHECK(fwrite(data, 1, size, f) == size);
}

// --- Readers -------------------------------------------------------------------------------

void bs_read_nil(FILE* f) {
    expect_type(read_u8(f), bs_type_nil);
}

bool bs_read_bool(FILE* f) {
    uint8_t tag = read_u8(f);
    expect_type(tag, bs_type_bool);
    return tag == tag_true;
}

int64_t bs_read_int(FILE* f) {
    uint8_t tag = read_u8(f);
    expect_type(tag, bs_type_int);
    uint64_t magnitude = tag & immediate_mask;
    if (magnitude > max_immediate_int)
        magnitude = read_be(f, static_cast<int>(magnitude - max_immediate_int));
    if ((tag >> class_shift) == (tag_negative >> class_shift))
        magnitude = 0 - magnitude;
    // An eight-byte class-1 payload with its top bit set keeps its bit pattern.
    return static_cast<int64_t>(magnitude);
}

double bs_read_float(FILE* f) {
    uint8_t tag = read_u8(f);
    expect_type(tag, bs_type_float);
    if (tag == tag_float_zero)
        return 0.0;
    int width = tag & immediate_mask;
    switch (width) {
    case 2:
        return bits_to_f32(static_cast<uint16_t>(read_le(f, 2)));
    case 4:
        return std::bit_cast<float>(static_cast<uint32_t>(read_le(f, 4)));
    case 8:
        return std::bit_cast<double>(read_le(f, 8));
    default:
        PANIC("unhandled float len: %d", width);
    }
}

char* bs_read_str(FILE* f) {
    uint8_t tag = read_u8(f);
    expect_type(tag, bs_type_str);
    size_t length = read_length(f, tag);
    char* text = static_cast<char*>(malloc(length + 1));
    CHECK(text != nullptr);
    // A body cut short is malformed input like any other truncation: no unread bytes escape.
    CHECK(fread(text, 1, length, f) == length);
    text[length] = '\0';
    return text;
}

int32_t bs_read_list(FILE* f) {
    uint8_t tag = read_u8(f);
    expect_type(tag, bs_type_list);
    if (tag != tag_long_list)
        return static_cast<int32_t>(read_length(f, tag));
    uint64_t count = read_be(f, 4);
    if (count > bs_max_list_items)
        PANIC("list contains too many items");
    return static_cast<int32_t>(count);
}

// At the end of the stream fgetc gives EOF; cut to eight bits it is 255, which get_type refuses.
bs_type bs_peek_type(FILE* f) {
    int c = fgetc(f);
    if (c != EOF)
        CHECK(ungetc(c, f) == c);
    return get_type(static_cast<uint8_t>(c));
}

// Iterative, with one counter of values still to skip per open list, so hostile nesting can
// neither exhaust the stack nor go deeper than bs_max_skip_depth lists.
void bs_skip_next_value(FILE* f) {
    uint32_t pending[bs_max_skip_depth + 1];
    int open_lists = 0;
    pending[0] = 1;
    for (;;) {
        // close the lists whose items are all skipped
        while (pending[open_lists] == 0) {
            if (open_lists == 0)
                return;
            --open_lists;
        }
        --pending[open_lists];

        bs_type type = bs_peek_type(f);
        switch (type) {
        case bs_type_nil:
            bs_read_nil(f);
            break;
        case bs_type_bool:
            bs_read_bool(f);
            break;
        case bs_type_int:
            bs_read_int(f);
            break;
        case bs_type_float:
            bs_read_float(f);
            break;
        case bs_type_str:
            free(bs_read_str(f));
            break;
        case bs_type_list:
            if (open_lists == bs_max_skip_depth)
                PANIC("lists nested more than %d deep", bs_max_skip_depth);
            ++open_lists;
            pending[open_lists] = static_cast<uint32_t>(bs_read_list(f));
            break;
        default:
            PANIC("unhandled type %d", static_cast<int>(type));
        }
    }
}

int bs_read_raw(FILE* f, void* buffer, size_t size) {
    return fread(buffer, 1, size, f) == size ? 1 : 0;
}
