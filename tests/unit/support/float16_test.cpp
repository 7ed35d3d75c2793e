#include "support/float16.h"

#include "test_util.h"

uint32_t bits(float value) {
    return std::bit_cast<uint32_t>(value);
}

// Single to half truncates (65535 is not infinity); subnormals and below; infinities; NaN keeps sign and top
// bits; single subnormals keep their sign; the last pattern of each exponent band of the tables.
TEST(Float16, SingleToHalf) {
    const std::pair<uint32_t, uint16_t> rows[] = {
        {bits(1.0f), 0x3C00}, {bits(-2.0f), 0xC000}, {bits(65504.0f), 0x7BFF}, {bits(65535.0f), 0x7BFF},
        {bits(65536.0f), 0x7C00}, {bits(1.0f + 3 * 0x1p-12f), 0x3C00}, {bits(0x1p-14f), 0x0400}, {bits(0x1p-15f), 0x0200},
        {bits(0x1p-24f), 0x0001}, {bits(0x1p-25f), 0x0000}, {bits(-0x1p-25f), 0x8000}, {bits(INFINITY), 0x7C00},
        {bits(-INFINITY), 0xFC00}, {0x7FC00000, 0x7E00}, {0x7F800001, 0x7C00}, {0xFFC00001, 0xFE00}, {0x00000001, 0x0000},
        {0x80000001, 0x8000}, {(102u << 23) | 0x7FFFFF, 0x0000}, {(103u << 23) | 0x7FFFFF, 0x0001},
        {(112u << 23) | 0x7FFFFF, 0x03FF}, {(113u << 23) | 0x7FFFFF, 0x07FF}, {(142u << 23) | 0x7FFFFF, 0x7BFF},
        {(143u << 23) | 0x7FFFFF, 0x7C00}, {(254u << 23) | 0x7FFFFF, 0x7C00}, {(368u << 23) | 0x7FFFFF, 0x83FF},
    };
    for (auto [single, half] : rows)
        EXPECT_EQ(f32_to_f16(std::bit_cast<float>(single)), half) << std::hex << "single 0x" << single;
}

// Half to single: subnormals, normals at both ends, zeros, infinities, NaN payloads; all 65536 round trip.
TEST(Float16, HalfToSingleAndRoundTrip) {
    const std::pair<uint16_t, uint32_t> rows[] = {
        {0x0001, 0x33800000}, {0x03FF, 0x387FC000}, {0x0400, 0x38800000}, {0x3C00, 0x3F800000}, {0x7BFF, 0x477FE000},
        {0x7C00, 0x7F800000}, {0xFC00, 0xFF800000}, {0x7E00, 0x7FC00000}, {0x7C01, 0x7F802000}, {0x8000, 0x80000000},
        {0x0000, 0x00000000}, {0x83FF, 0xB87FC000}, {0xFBFF, 0xC77FE000}, {0xFE00, 0xFFC00000},
    };
    for (auto [half, single] : rows)
        EXPECT_EQ(bits(bits_to_f32(half)), single) << std::hex << "half 0x" << half;
    for (uint32_t h = 0; h <= UINT16_MAX; ++h)
        ASSERT_EQ(f32_to_f16(bits_to_f32(static_cast<uint16_t>(h))), h) << std::hex << h;
}

