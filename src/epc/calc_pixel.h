// The DCS calculator's formulas for one pixel as inline functions over the
// settings of one kernel run, so that a kernel can run them in its own
// loop. They give the same results, and the same hysteresis updates, as
// the exported calculator calls (calculator.cpp) in the order a kernel
// makes them: load the samples, then the amplitude or the combined result.
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "epc/epc_state.h"

#pragma STDC FP_CONTRACT OFF

namespace tarvo::epc {

// The calculator's settings, taken once per kernel run.
struct CalcSettings {
    uint16_t mask = 0x0FFF;
    bool sat_on = false;
    bool adc_on = false;
    uint16_t adc_min = 1, adc_max = 4094;
    bool epc635 = false;
    uint8_t *hyst = nullptr;  // k_sensor_pixels hysteresis states
    int upper = 0, lower = 0;
    const uint16_t *atan = nullptr;
};

// The settings now in force (calculator.cpp).
CalcSettings calc_settings();

// The vector form of a four-sample sine stretch (kernels_avx512.cpp):
// distances at od + j and, when oa is not null, amplitudes at oa + j for
// the pixels j of s[0..3] + j at hysteresis positions k0 + j. Does whole
// groups of 16 and returns how many pixels it did: 0 when the processor
// lacks AVX-512, tests switched it off or the pixel mask is wider than 15
// bits.
int sine4_stretch_vector(const CalcSettings &c, const uint16_t *const s[4], uint16_t *od,
                         uint16_t *oa, int n, int k0);
bool kernels_vector_enabled();
bool set_kernels_vector(bool on);  // tests: returns whether it will run

// A pixel's loaded samples: the quadrature values and the sample code
// (65400 saturated, 65500 ADC overflow, 0 for a usable pixel).
struct CalcArgs {
    int arg1, arg2;
    int code;
};

// The tests are combined without short cuts: codes are rare, and one
// well-predicted branch per pixel is cheaper than eight.
inline int calc_code(const CalcSettings &c, bool saturated, const uint16_t *d, int n) {
    bool out = false;
    for (int i = 0; i < n; ++i) out |= (d[i] < c.adc_min) | (d[i] > c.adc_max);
    const bool sat = c.sat_on & saturated;
    if (!(sat | (c.adc_on & out))) return 0;
    return sat ? EPC_CODE_SAT_SAMPLE : EPC_CODE_SATURATED;
}

inline CalcArgs calc_load2(const CalcSettings &c, unsigned s0, unsigned s1) {
    const uint16_t d[2] = {static_cast<uint16_t>(s0 & c.mask), static_cast<uint16_t>(s1 & c.mask)};
    // The two unused samples hold the ADC minimum and pass the check.
    const int code = calc_code(c, (s0 == 4095u) | (s1 == 4095u), d, 2);
    int d0 = d[0], d1 = d[1];
    if (c.epc635) {
        d0 /= 16;
        d1 /= 16;
    }
    return CalcArgs{2048 - d1, 2048 - d0, code};
}

inline CalcArgs calc_load4(const CalcSettings &c, unsigned s0, unsigned s1, unsigned s2,
                           unsigned s3) {
    const uint16_t d[4] = {static_cast<uint16_t>(s0 & c.mask), static_cast<uint16_t>(s1 & c.mask),
                           static_cast<uint16_t>(s2 & c.mask), static_cast<uint16_t>(s3 & c.mask)};
    const int code =
        calc_code(c, (s0 == 4095u) | (s1 == 4095u) | (s2 == 4095u) | (s3 == 4095u), d, 4);
    int a1 = static_cast<int>(d[3]) - static_cast<int>(d[1]);
    int a2 = static_cast<int>(d[2]) - static_cast<int>(d[0]);
    if (c.epc635) {
        a1 >>= 4;
        a2 >>= 4;
    }
    return CalcArgs{a1, a2, code};
}

inline int calc_clamp(long long v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// One hysteresis step of a pixel's state with the squared amplitude a2:
// valid from the upper threshold on, invalid below the lower one, else as
// before. Returns the new state.
inline uint8_t hysteresis_step(uint8_t &state, int a2, int upper, int lower) {
    if (a2 >= upper)
        state = 1;
    else if (a2 < lower)
        state = 0;
    return state;
}

inline bool calc_hysteresis(const CalcSettings &c, int pos, int a2) {
    if (pos < 0 || pos >= k_sensor_pixels) return false;
    return hysteresis_step(c.hyst[pos], a2, c.upper, c.lower) != 0;
}

// The arc-tangent of atan2_lut for arguments of at most 17 bits, where the
// table index fits 32-bit arithmetic.
// Written with selects rather than branches: the octant of a pixel is as
// good as random, and mispredicted branches cost more than the arithmetic.
inline int calc_atan2(const uint16_t *table, int y, int x) {
    if (y == 0) return x < 0 ? 15000 : 0;
    const int s = y >> 31;  // all ones when y < 0
    y = (y ^ s) - s;
    x = (x ^ s) - s;
    int base = s & 15000;
    const bool turn = x <= 0;
    const int x1 = turn ? y : x;
    const int y1 = turn ? -x : y;
    base += turn ? 7500 : 0;
    const bool fold = y1 >= x1;
    const int y2 = fold ? y1 - x1 : y1;
    const int x2 = fold ? y1 + x1 : x1;
    base += fold ? 3750 : 0;
    return base + table[y2 * 4096 / x2];
}

// sqrt2: one Newton step from the bit-level estimate, in single precision.
inline float calc_sqrt2(int q) {
    float x = static_cast<float>(q);
    int32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = 0x5F3759DF - (bits >> 1);
    float y;
    std::memcpy(&y, &bits, sizeof y);
    return (1.5f - y * (y * x * 0.5f)) * (x * y);
}

inline uint32_t calc_pack(int dist, int amp) {
    return (static_cast<uint32_t>(static_cast<uint16_t>(amp)) << 16) | static_cast<uint16_t>(dist);
}

// Amplitude image value (calculatorGetAmpSine / calculatorGetAmpPN, as
// stored by a kernel) with divider D.
template <bool Pn, int D>
inline uint16_t calc_amplitude(const CalcArgs &a) {
    if (a.code == EPC_CODE_SAT_SAMPLE) return static_cast<uint16_t>(-136);
    if (a.code) return static_cast<uint16_t>(-36);
    const long long a1 = a.arg1, a2 = a.arg2;
    if constexpr (Pn) {
        return static_cast<uint16_t>(calc_clamp((std::llabs(a1) + std::llabs(a2)) / D));
    } else {
        const double amp = std::sqrt(static_cast<double>(a1 * a1 + a2 * a2)) / D;
        return static_cast<uint16_t>(static_cast<uint32_t>(amp));
    }
}

// Distance and amplitude (calculatorGetDistAndAmpSine / ...PN) of the
// pixel at hysteresis position pos, with divider D.
template <bool Pn, int D>
inline uint32_t calc_dist_amp(const CalcSettings &c, const CalcArgs &a, int pos) {
    if (a.code) return calc_pack(a.code, a.code);
    const uint32_t low = calc_pack(EPC_CODE_LOW_AMPLITUDE, EPC_CODE_LOW_AMPLITUDE);
    if constexpr (Pn) {
        const long long a1 = std::llabs(a.arg1), a2 = std::llabs(a.arg2);
        const long long sum = a1 + a2;
        const uint16_t amp = static_cast<uint16_t>(sum / D);
        const long long a_sq = static_cast<long long>(amp) * amp;
        if (!calc_hysteresis(c, pos, calc_clamp(a_sq))) return low;
        if (sum == 0) return low;
        const int dist =
            static_cast<int>(static_cast<double>(a1) / static_cast<double>(sum) * 30000.0 + 0.5);
        return calc_pack(dist, amp);
    } else {
        const long long a1 = a.arg1, a2 = a.arg2;
        const int q = calc_clamp(((a2 * a2 + a1 * a1) / D) / D);
        if (!calc_hysteresis(c, pos, q)) return low;
        const int dist = (calc_atan2(c.atan, a.arg1, a.arg2) + 315000) % 30000;
        const float amp = calc_sqrt2(q);
        const uint32_t ampi = amp >= 0.0f && amp < 4294967296.0f ? static_cast<uint32_t>(amp) : 0u;
        return calc_pack(dist, static_cast<int>(ampi & 0xFFFFu));
    }
}

}  // namespace tarvo::epc
