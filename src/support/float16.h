// float16: IEEE 754 binary32 <-> binary16 conversion by table lookup (tables built at compile
// time). Pure functions, any thread.
#pragma once
#include <cstdint>

// Truncates (rounds toward zero); NaN keeps its sign and top ten mantissa bits.
uint16_t f32_to_f16(float value);
// Exact for all 65536 patterns.
float bits_to_f32(uint16_t half);
