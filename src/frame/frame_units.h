// Sample conversions of the frame files. Millimetres are
// trunc(1000 * metres) with a single-precision product; gray levels are
// trunc(value). The truncated value is taken as an intermediate integer
// (64 bits for distance U32, 32 bits for distance U16 and gray U16, 16 bits
// for gray U8) of which the low bits are stored. Whatever cannot be such an
// integer (NaN, infinities, values beyond its range) is stored as 0, so that
// no conversion is ever undefined.
#pragma once

#include <cmath>
#include <cstdint>

namespace tarvo::frame_units {

// trunc(v) when it lies in [-2^bits-1, 2^bits-1), else 0.
template <int kBits>
inline int64_t trunc_or_zero(float v) {
    constexpr float kLimit = static_cast<float>(static_cast<uint64_t>(1) << (kBits - 1));
    const float t = std::trunc(v);
    if (!(t >= -kLimit && t < kLimit)) return 0;  // also NaN
    return static_cast<int64_t>(t);
}

inline float to_mm(float metres) {
    return metres * 1000.0f;
}

inline uint32_t dist_u32(float metres) {
    return static_cast<uint32_t>(static_cast<uint64_t>(trunc_or_zero<64>(to_mm(metres))));
}

inline uint16_t dist_u16(float metres) {
    return static_cast<uint16_t>(static_cast<uint64_t>(trunc_or_zero<32>(to_mm(metres))));
}

inline uint16_t gray_u16(float level) {
    return static_cast<uint16_t>(static_cast<uint64_t>(trunc_or_zero<32>(level)));
}

inline uint8_t gray_u8(float level) {
    return static_cast<uint8_t>(static_cast<uint64_t>(trunc_or_zero<16>(level)));
}

// Loading: millimetres back to metres in double, rounded to single; a U32
// sample passes through single precision first.
inline float mm_u32_to_m(uint32_t mm) {
    return static_cast<float>(static_cast<double>(static_cast<float>(mm)) / 1000.0);
}
inline float mm_u16_to_m(uint16_t mm) {
    return static_cast<float>(mm / 1000.0);
}

}  // namespace tarvo::frame_units
