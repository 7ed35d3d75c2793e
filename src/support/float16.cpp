#include "support/float16.h"

#include <array>
#include <bit>

// Both directions are table lookups plus a few integer operations: no branches, no floating-point
// arithmetic. The five tables are built by the compiler; nothing runs at start-up.
//
// Single to half: bits 31..23 of the single (sign and exponent) pick a base half pattern and how
// far to shift the single's 23 mantissa bits right before adding them. Truncation, never a carry.
// Half to single: bits 15..10 of the half (sign and exponent) pick the single's exponent bits and
// an offset into the mantissa table, which holds the normalised pattern of each half mantissa.

static constexpr int single_exponent_bias = 127;
static constexpr uint32_t single_mantissa_mask = 0x7FFFFF;
static constexpr int single_mantissa_bits = 23;
static constexpr uint16_t half_sign = 0x8000;
static constexpr uint16_t half_infinity = 0x7C00;
static constexpr uint16_t half_mantissa_mask = 0x3FF;
static constexpr int half_mantissa_bits = 10;
static constexpr uint32_t single_sign = 0x80000000;
// Start of the normal half mantissas in mantissa_table.
static constexpr uint16_t normal_offset = 1024;

// --- Single to half ------------------------------------------------------------------------

// Base half pattern for the single exponent field e (0..255) of a positive value.
static constexpr uint16_t half_base_for(int e) {
    int x = e - single_exponent_bias;
    if (x < -24) // zero, single subnormals, and values below the smallest half subnormal
        return 0;
    if (x <= -15) // half subnormals: the implicit bit lands inside the half mantissa
        return static_cast<uint16_t>(0x0400 >> (-x - 14));
    if (x <= 15) // half normals
        return static_cast<uint16_t>((x + 15) << half_mantissa_bits);
    return half_infinity; // too large, infinities and NaN
}

// Right shift of the single's mantissa bits for exponent field e (0..255).
static constexpr int8_t half_shift_for(int e) {
    int x = e - single_exponent_bias;
    if (x < -24)
        return 24; // every mantissa bit shifted out
    if (x <= -15)
        return static_cast<int8_t>(-x - 1);
    if (x <= 15 || x == 128)
        return 13; // keep the top ten bits (NaN keeps its payload)
    return 24;     // overflow is infinity, no mantissa
}

static constexpr std::array<uint16_t, 512> make_base_table() {
    std::array<uint16_t, 512> table{};
    for (int e = 0; e < 256; ++e) {
        table[e] = half_base_for(e);
        table[e + 256] = static_cast<uint16_t>(half_base_for(e) | half_sign);
    }
    return table;
}

static constexpr std::array<int8_t, 512> make_shift_table() {
    std::array<int8_t, 512> table{};
    for (int e = 0; e < 256; ++e) {
        table[e] = half_shift_for(e);
        table[e + 256] = half_shift_for(e);
    }
    return table;
}

static constexpr std::array<uint16_t, 512> base_table = make_base_table();
static constexpr std::array<int8_t, 512> shift_table = make_shift_table();

static_assert(base_table[102] == 0x0000 && shift_table[102] == 24);
static_assert(base_table[103] == 0x0001 && shift_table[103] == 23);
static_assert(base_table[112] == 0x0200 && shift_table[112] == 14);
static_assert(base_table[113] == 0x0400 && shift_table[113] == 13);
static_assert(base_table[127] == 0x3C00 && base_table[142] == 0x7800);
static_assert(base_table[143] == 0x7C00 && shift_table[143] == 24);
static_assert(base_table[368] == 0x8200 && shift_table[368] == 14);
static_assert(base_table[511] == 0xFC00 && shift_table[511] == 13);

// --- Half to single ------------------------------------------------------------------------

static constexpr std::array<uint32_t, 2048> make_mantissa_table() {
    std::array<uint32_t, 2048> table{};
    // Subnormal halves: the value i * 2^-24 is exact in single precision, where it is normal.
    for (uint32_t i = 1; i < normal_offset; ++i)
        table[i] = std::bit_cast<uint32_t>(static_cast<float>(i) * 0x1p-24f);
    // Normal halves: the mantissa moves up 13 bits; 0x38000000 rebiases the exponent (127 - 15).
    for (uint32_t i = normal_offset; i < 2048; ++i)
        table[i] = 0x38000000 + ((i - normal_offset) << 13);
    return table;
}

static constexpr std::array<uint32_t, 64> make_exponent_table() {
    std::array<uint32_t, 64> table{};
    for (uint32_t e = 1; e < 31; ++e) {
        table[e] = e << single_mantissa_bits;
        table[e + 32] = single_sign + (e << single_mantissa_bits);
    }
    // Half exponent 31 (infinity, NaN) plus the rebias of the mantissa table gives 255.
    table[31] = 0x47800000;
    table[32] = single_sign;
    table[63] = 0xC7800000;
    return table;
}

static constexpr std::array<uint16_t, 64> make_offset_table() {
    std::array<uint16_t, 64> table{};
    for (auto& entry : table)
        entry = normal_offset;
    table[0] = 0; // zero and subnormals of either sign
    table[32] = 0;
    return table;
}

static constexpr std::array<uint32_t, 2048> mantissa_table = make_mantissa_table();
static constexpr std::array<uint32_t, 64> exponent_table = make_exponent_table();
static constexpr std::array<uint16_t, 64> offset_table = make_offset_table();

static_assert(mantissa_table[0] == 0 && mantissa_table[1] == 0x33800000);
static_assert(mantissa_table[1023] == 0x387FC000);
static_assert(mantissa_table[1024] == 0x38000000 && mantissa_table[2047] == 0x387FE000);
static_assert(exponent_table[30] == 0x0F000000 && exponent_table[33] == 0x80800000);
static_assert(offset_table[0] == 0 && offset_table[1] == 1024 && offset_table[32] == 0);
static_assert(sizeof base_table + sizeof shift_table + sizeof mantissa_table +
                  sizeof exponent_table + sizeof offset_table ==
              10112);

uint16_t f32_to_f16(float value) {
    uint32_t bits = std::bit_cast<uint32_t>(value);
    uint32_t index = bits >> single_mantissa_bits;
    return static_cast<uint16_t>(base_table[index] +
                                 ((bits & single_mantissa_mask) >> shift_table[index]));
}

float bits_to_f32(uint16_t half) {
    uint32_t index = (half >> half_mantissa_bits) & 0x3F;
    uint32_t bits =
        mantissa_table[offset_table[index] + (half & half_mantissa_mask)] + exponent_table[index];
    return std::bit_cast<float>(bits);
}
