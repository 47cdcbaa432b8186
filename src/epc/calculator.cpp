// The per-pixel DCS calculator of the engine's kernel family: sample
// loading with the pixel mask, the saturation and ADC-overflow checks, the
// sine and pseudo-noise formulas with the amplitude hysteresis, and the two
// read-out order iterators.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "epc/calc_pixel.h"
#include "epc/epc_state.h"
#include "epc/pipeline.h"

namespace tarvo::epc {

namespace {

constexpr int k_code_low = EPC_CODE_LOW_AMPLITUDE;  // 65300
constexpr int k_code_sat = EPC_CODE_SAT_SAMPLE;     // 65400
constexpr int k_code_adc = EPC_CODE_SATURATED;      // 65500

struct Calculator {
    int8_t amplitudeDivider = 1;
    int minAmplitude = 0;
    uint16_t dcs[4] = {0, 0, 0, 0};
    int arg1 = 0, arg2 = 0;
    int position = 0;
    int saturation_enabled = 0;
    uint8_t saturated = 0;
};

struct Iterator {
    long long total = 0;  // pixels (default) or samples (MGX)
    long long pos = 0;    // k (default) or f (MGX)
    int C = 0;
    uint8_t R = 0;
    int H = 0;
    int u = 0, r = 0;
};

Calculator g_calc;
Iterator g_def, g_mgx;

inline uint32_t pack(int dist, int amp) {
    return (static_cast<uint32_t>(static_cast<uint16_t>(amp)) << 16) | static_cast<uint16_t>(dist);
}
inline uint32_t pack_code(int code) {
    return pack(code, code);
}

inline int adc_check(const uint16_t *d, int n) {
    const ConfigState &s = state();
    if (!s.adc_overflow_enabled) return 0;
    for (int i = 0; i < n; ++i)
        if (d[i] < s.adc_min || d[i] > s.adc_max) return 1;
    return 0;
}

// Saturation first, then ADC overflow: the code of the pixel, or 0.
inline int sample_code() {
    if (saturationCheck()) return k_code_sat;
    if (adc_check(g_calc.dcs, 4)) return k_code_adc;
    return 0;
}

inline int clamp_int(long long v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// Output row and column of the default iterator for the current counters.
int default_out(const Iterator &it) {
    const int R = it.R;
    int row, col;
    if (it.H == 2) {
        if (it.u < it.C) {
            row = R / 2 - 1 - it.r;
            col = it.u;
        } else {
            row = R / 2 + it.r;
            col = it.u - it.C;
        }
        if (row < 0 || row >= R) return -1;
    } else {
        row = R - 1 - it.r;
        col = it.u;
        if (row < 0 || col >= it.C) return -1;
    }
    return row * it.C + col;
}

int mgx_out(const Iterator &it) {
    const int R = it.R;
    const int rows = R / 2;  // the MGX image has half the rows
    int row, col;
    if (it.H == 2) {
        if (it.u < it.C) {
            row = R / 4 - 1 - it.r;
            col = it.u;
        } else {
            row = R / 4 + it.r;
            col = it.u - it.C;
        }
    } else {
        row = R / 2 - 1 - it.r;
        col = it.u;
        if (col >= it.C) return -1;
    }
    if (row < 0 || row >= rows) return -1;
    return row * it.C + col;
}

void iterator_init(Iterator &it, int total, int C, int R) {
    it = Iterator{};
    it.total = total > 0 ? total : 0;
    it.C = C > 0 ? C : 0;
    it.R = static_cast<uint8_t>(R);
    it.H = state().halves;
    if (it.C == 0) it.total = 0;  // nothing to place
}

// Advances u and r past one pixel; true at the end of a raw row.
bool iterator_step(Iterator &it) {
    const int row_len = (it.H > 0 ? it.H : 1) * it.C;
    if (++it.u >= row_len) {
        it.u = 0;
        ++it.r;
        return true;
    }
    return false;
}

}  // namespace

CalcSettings calc_settings() {
    const ConfigState &s = state();
    CalcSettings c;
    c.mask = s.pixel_mask;
    c.sat_on = g_calc.saturation_enabled != 0;
    c.adc_on = s.adc_overflow_enabled != 0;
    c.adc_min = s.adc_min;
    c.adc_max = s.adc_max;
    c.epc635 = is_epc635(s.partType);
    c.hyst = state().hyst_state.data();
    c.upper = s.hyst_upper;
    c.lower = s.hyst_lower;
    c.atan = atan2_table();
    return c;
}

void calculator_reset() {
    g_calc = Calculator{};
    g_def = Iterator{};
    g_mgx = Iterator{};
}

}  // namespace tarvo::epc

using tarvo::epc::g_calc;
using tarvo::epc::state;

extern "C" {

TARVO_API void calculatorInit(int divider) {
    g_calc.amplitudeDivider = static_cast<int8_t>(divider >= 1 && divider <= 127 ? divider : 1);
    g_calc.minAmplitude = pruGetMinAmplitude();
}

TARVO_API void calculatorSetArgs2DCS(unsigned s0, unsigned s1, int position, int /*tag*/) {
    const auto &s = state();
    g_calc.dcs[0] = static_cast<uint16_t>(s0 & s.pixel_mask);
    g_calc.dcs[1] = static_cast<uint16_t>(s1 & s.pixel_mask);
    g_calc.dcs[2] = s.adc_min;
    g_calc.dcs[3] = s.adc_min;
    g_calc.position = position;
    saturationSet2DCS(s0, s1);
    int d0 = g_calc.dcs[0], d1 = g_calc.dcs[1];
    if (tarvo::epc::is_epc635(s.partType)) {
        d0 /= 16;
        d1 /= 16;
    }
    g_calc.arg2 = 2048 - d0;
    g_calc.arg1 = 2048 - d1;
}

TARVO_API void calculatorSetArgs4DCS(unsigned s0, unsigned s1, unsigned s2, unsigned s3,
                                     int position, int /*tag*/) {
    const auto &s = state();
    g_calc.dcs[0] = static_cast<uint16_t>(s0 & s.pixel_mask);
    g_calc.dcs[1] = static_cast<uint16_t>(s1 & s.pixel_mask);
    g_calc.dcs[2] = static_cast<uint16_t>(s2 & s.pixel_mask);
    g_calc.dcs[3] = static_cast<uint16_t>(s3 & s.pixel_mask);
    g_calc.position = position;
    saturationSet4DCS(s0, s1, s2, s3);
    int a1 = static_cast<int>(g_calc.dcs[3]) - static_cast<int>(g_calc.dcs[1]);
    int a2 = static_cast<int>(g_calc.dcs[2]) - static_cast<int>(g_calc.dcs[0]);
    if (tarvo::epc::is_epc635(s.partType)) {
        a1 >>= 4;  // arithmetic shift of a negative int is defined since C++20
        a2 >>= 4;
    }
    g_calc.arg1 = a1;
    g_calc.arg2 = a2;
}

TARVO_API int calculatorGetArg1(void) {
    return g_calc.arg1;
}
TARVO_API int calculatorGetArg2(void) {
    return g_calc.arg2;
}

TARVO_API float sqrt2(int q) {
    return tarvo::epc::calc_sqrt2(q);
}

TARVO_API int calculatorGetAmpSine(void) {
    int code = tarvo::epc::sample_code();
    if (code == tarvo::epc::k_code_sat) return -136;
    if (code) return -36;
    const long long a1 = g_calc.arg1, a2 = g_calc.arg2;
    double amp = std::sqrt(static_cast<double>(a1 * a1 + a2 * a2)) / g_calc.amplitudeDivider;
    return static_cast<uint16_t>(static_cast<uint32_t>(amp));
}

TARVO_API uint32_t calculatorGetDistAndAmpSine(void) {
    using namespace tarvo::epc;
    int code = sample_code();
    if (code) return pack_code(code);
    const long long a1 = g_calc.arg1, a2 = g_calc.arg2, d = g_calc.amplitudeDivider;
    const int q = clamp_int(((a2 * a2 + a1 * a1) / d) / d);
    if (!hysteresisUpdate(g_calc.position, q)) return pack_code(k_code_low);
    int dist = (atan2_lut(g_calc.arg1, g_calc.arg2) + 315000) % 30000;
    float amp = sqrt2(q);
    uint32_t ampi = amp >= 0.0f && amp < 4294967296.0f ? static_cast<uint32_t>(amp) : 0u;
    return pack(dist, static_cast<int>(ampi & 0xFFFFu));
}

TARVO_API int calculatorGetAmpPN(void) {
    int code = tarvo::epc::sample_code();
    if (code == tarvo::epc::k_code_sat) return -136;
    if (code) return -36;
    const long long sum = std::llabs(g_calc.arg1) + std::llabs(g_calc.arg2);
    return tarvo::epc::clamp_int(sum / g_calc.amplitudeDivider);
}

TARVO_API uint32_t calculatorGetDistAndAmpPN(void) {
    using namespace tarvo::epc;
    int code = sample_code();
    if (code) return pack_code(code);
    const long long a1 = std::llabs(g_calc.arg1), a2 = std::llabs(g_calc.arg2);
    const long long sum = a1 + a2;
    const uint16_t amp = static_cast<uint16_t>(sum / g_calc.amplitudeDivider);
    const long long a_sq = static_cast<long long>(amp) * amp;
    if (!hysteresisUpdate(g_calc.position, clamp_int(a_sq))) return pack_code(k_code_low);
    // No signal at all: no phase to speak of, so the pixel is low-amplitude.
    if (sum == 0) return pack_code(k_code_low);
    int dist = static_cast<int>(static_cast<double>(a1) / static_cast<double>(sum) * 30000.0 + 0.5);
    return pack(dist, amp);
}

TARVO_API unsigned calculatorGetPixelMask(void) {
    return state().pixel_mask;
}
TARVO_API void calculatorSetPixelMask(unsigned mask) {
    state().pixel_mask = static_cast<uint16_t>(mask);
}

TARVO_API void saturationSet1DCS(unsigned s0) {
    g_calc.saturated = s0 == 4095u;
}
TARVO_API void saturationSet2DCS(unsigned s0, unsigned s1) {
    g_calc.saturated = s0 == 4095u || s1 == 4095u;
}
TARVO_API void saturationSet4DCS(unsigned s0, unsigned s1, unsigned s2, unsigned s3) {
    g_calc.saturated = s0 == 4095u || s1 == 4095u || s2 == 4095u || s3 == 4095u;
}
TARVO_API void saturationEnable(int flag) {
    g_calc.saturation_enabled = flag != 0;
}
TARVO_API int saturationCheck(void) {
    return g_calc.saturation_enabled ? g_calc.saturated : 0;
}

TARVO_API void adcOverflowSetMin(int value) {
    state().adc_min = static_cast<uint16_t>(value);
}
TARVO_API void adcOverflowSetMax(int value) {
    state().adc_max = static_cast<uint16_t>(value);
}
TARVO_API int adcOverflowGetMin(void) {
    return state().adc_min;
}
TARVO_API int adcOverflowGetMax(void) {
    return state().adc_max;
}
TARVO_API void adcOverflowEnable(int flag) {
    state().adc_overflow_enabled = flag != 0;
}
TARVO_API int adcOverflowIsEnabled(void) {
    return state().adc_overflow_enabled;
}

TARVO_API int adcOverflowCheck1DCS(unsigned s0) {
    const uint16_t d[1] = {static_cast<uint16_t>(s0)};
    return tarvo::epc::adc_check(d, 1);
}
TARVO_API int adcOverflowCheck2DCS(unsigned s0, unsigned s1) {
    const uint16_t d[2] = {static_cast<uint16_t>(s0), static_cast<uint16_t>(s1)};
    return tarvo::epc::adc_check(d, 2);
}
TARVO_API int adcOverflowCheck4DCS(unsigned s0, unsigned s1, unsigned s2, unsigned s3) {
    const uint16_t d[4] = {static_cast<uint16_t>(s0), static_cast<uint16_t>(s1),
                           static_cast<uint16_t>(s2), static_cast<uint16_t>(s3)};
    return tarvo::epc::adc_check(d, 4);
}

TARVO_API void iteratorDefaultInit(int pixels, int C, int R) {
    tarvo::epc::iterator_init(tarvo::epc::g_def, pixels, C, R);
}
TARVO_API int iteratorDefaultHasNext(void) {
    return tarvo::epc::g_def.pos < tarvo::epc::g_def.total;
}
TARVO_API int iteratorDefaultNext(int *out) {
    auto &it = tarvo::epc::g_def;
    if (it.pos >= it.total) {
        if (out) *out = -1;
        return -1;
    }
    if (out) *out = tarvo::epc::default_out(it);
    const int k = static_cast<int>(it.pos++);
    tarvo::epc::iterator_step(it);
    return k;
}

TARVO_API void iteratorMGXInit(int samples, int C, int R) {
    tarvo::epc::iterator_init(tarvo::epc::g_mgx, samples, C, R);
}
TARVO_API int iteratorMGXHasNext(void) {
    return tarvo::epc::g_mgx.pos < tarvo::epc::g_mgx.total;
}
TARVO_API int iteratorMGXNext(int *out) {
    auto &it = tarvo::epc::g_mgx;
    if (it.pos >= it.total) {
        if (out) *out = -1;
        return -1;
    }
    if (out) *out = tarvo::epc::mgx_out(it);
    const int f = static_cast<int>(it.pos);
    it.pos += 1;
    // After the last pixel of a raw row the partner row is skipped.
    if (tarvo::epc::iterator_step(it)) it.pos += static_cast<long long>(it.H > 0 ? it.H : 1) * it.C;
    return f;
}

}  // extern "C"
