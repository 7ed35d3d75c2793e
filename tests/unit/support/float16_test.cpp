#include "support/float16.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include <gtest/gtest.h>

namespace {

float from_bits(uint32_t bits) {
    return std::bit_cast<float>(bits);
}
uint32_t to_bits(float value) {
    return std::bit_cast<uint32_t>(value);
}

struct single_case {
    uint32_t single; // binary32 pattern
    uint16_t half;
};

TEST(Float16, SingleToHalf) {
    const single_case cases[] = {
        {to_bits(1.0f), 0x3C00},
        {to_bits(-2.0f), 0xC000},
        {to_bits(65504.0f), 0x7BFF},
        {to_bits(65535.0f), 0x7BFF}, // truncated, not infinity
        {to_bits(65536.0f), 0x7C00},
        {to_bits(1.0f + 3 * 0x1p-12f), 0x3C00}, // not rounded up to 0x3C01
        {to_bits(0x1p-14f), 0x0400},
        {to_bits(0x1p-15f), 0x0200},
        {to_bits(0x1p-24f), 0x0001},
        {to_bits(0x1p-25f), 0x0000},
        {to_bits(-0x1p-25f), 0x8000},
        {to_bits(INFINITY), 0x7C00},
        {to_bits(-INFINITY), 0xFC00},
        {0x7FC00000, 0x7E00}, // default quiet NaN
        {0x7F800001, 0x7C00}, // NaN whose top ten mantissa bits are zero
        {0xFFC00001, 0xFE00},
        {0x00000001, 0x0000}, // single subnormals keep only their sign
        {0x80000001, 0x8000},
        // each exponent band, with every mantissa bit set: base plus the truncated mantissa
        {(102u << 23) | 0x7FFFFF, 0x0000},
        {(103u << 23) | 0x7FFFFF, 0x0001},
        {(112u << 23) | 0x7FFFFF, 0x03FF},
        {(113u << 23) | 0x7FFFFF, 0x07FF},
        {(142u << 23) | 0x7FFFFF, 0x7BFF},
        {(143u << 23) | 0x7FFFFF, 0x7C00},
        {(254u << 23) | 0x7FFFFF, 0x7C00},
        {(368u << 23) | 0x7FFFFF, 0x83FF},
    };
    for (const auto& c : cases)
        EXPECT_EQ(f32_to_f16(from_bits(c.single)), c.half) << std::hex << "single 0x" << c.single;
}

TEST(Float16, HalfToSingle) {
    const single_case cases[] = {
        {0x33800000, 0x0001}, {0x387FC000, 0x03FF},        {to_bits(0x1p-14f), 0x0400},
        {0x3F800000, 0x3C00}, {to_bits(65504.0f), 0x7BFF}, {0x7F800000, 0x7C00},
        {0xFF800000, 0xFC00}, {0x7FC00000, 0x7E00},        {0x7F802000, 0x7C01},
        {0x80000000, 0x8000}, {0x00000000, 0x0000},        {0xB87FC000, 0x83FF},
        {0xC77FE000, 0xFBFF}, {0xFFC00000, 0xFE00},
    };
    for (const auto& c : cases)
        EXPECT_EQ(to_bits(bits_to_f32(c.half)), c.single) << std::hex << "half 0x" << c.half;
}

TEST(Float16, EveryHalfSurvivesTheRoundTrip) {
    for (uint32_t h = 0; h <= UINT16_MAX; ++h)
        ASSERT_EQ(f32_to_f16(bits_to_f32(static_cast<uint16_t>(h))), h) << std::hex << h;
}

// Independent of the tables: the result is the half of largest magnitude not above |x|.
TEST(Float16, TruncatesTowardZeroAcrossTheSingleRange) {
    constexpr uint32_t stride = 4099; // about a million patterns, every exponent
    for (uint64_t p = 0; p <= UINT32_MAX; p += stride) {
        float x = from_bits(static_cast<uint32_t>(p));
        if (std::isnan(x))
            continue;
        uint16_t h = f32_to_f16(x);
        ASSERT_EQ(h & 0x8000, std::signbit(x) ? 0x8000 : 0) << std::hex << p;
        float magnitude = std::fabs(x);
        uint16_t h_abs = h & 0x7FFF;
        if (magnitude >= 65536.0f) {
            ASSERT_EQ(h_abs, 0x7C00) << std::hex << p;
            continue;
        }
        ASSERT_LE(bits_to_f32(h_abs), magnitude) << std::hex << p;
        ASSERT_GT(bits_to_f32(static_cast<uint16_t>(h_abs + 1)), magnitude) << std::hex << p;
    }
}

} // namespace
