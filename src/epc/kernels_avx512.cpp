// The AVX-512 form of the four-sample sine kernels' distance stretches
// (kernels.cpp): sixteen pixels at a time, each lane running the
// calculator's steps of calc_pixel.h operation for operation, so that the
// results and the hysteresis updates are the portable ones to the bit:
// the octant reduction of atan2_lut with selects, its table index divided
// exactly (a single-precision quotient corrected by the integer
// remainder), sqrt2 in single precision without fused multiply-add.
#include <cstdint>

#include "epc/calc_pixel.h"
#include "epc/kernel_impl.h"
#include "platform/cpu.h"

#pragma STDC FP_CONTRACT OFF

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#include <immintrin.h>

#include <atomic>

#define TARVO_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512dq,avx512vl")))

namespace tarvo::epc {
namespace {

std::atomic<bool> g_on{true};

bool cpu_ok() {
    return platform::cpu_has_avx512();
}

TARVO_AVX512 inline __m512i load16(const uint16_t *p) {
    return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

TARVO_AVX512 int sine4_avx512(const CalcSettings &c, const uint16_t *const s[4], uint16_t *od,
                              uint16_t *oa, int n, int k0) {
    const __m512i mask = _mm512_set1_epi32(c.mask);
    const __m512i full = _mm512_set1_epi32(4095);
    const __m512i amin = _mm512_set1_epi32(c.adc_min), amax = _mm512_set1_epi32(c.adc_max);
    const __m512i upper = _mm512_set1_epi32(c.upper), lower = _mm512_set1_epi32(c.lower);
    const __m512i zero = _mm512_setzero_si512(), one = _mm512_set1_epi32(1);
    const __m512i low = _mm512_set1_epi32(EPC_CODE_LOW_AMPLITUDE);
    const int32_t *table = atan2_table32();
    int j = 0;
    for (; j + 16 <= n && k0 + j + 16 <= k_sensor_pixels; j += 16) {
        const __m512i r0 = load16(s[0] + j), r1 = load16(s[1] + j);
        const __m512i r2 = load16(s[2] + j), r3 = load16(s[3] + j);
        const __mmask16 sat = _mm512_cmpeq_epi32_mask(r0, full) |
                              _mm512_cmpeq_epi32_mask(r1, full) |
                              _mm512_cmpeq_epi32_mask(r2, full) | _mm512_cmpeq_epi32_mask(r3, full);
        const __m512i d0 = _mm512_and_si512(r0, mask), d1 = _mm512_and_si512(r1, mask);
        const __m512i d2 = _mm512_and_si512(r2, mask), d3 = _mm512_and_si512(r3, mask);
        __mmask16 adc = 0;
        for (__m512i d : {d0, d1, d2, d3})
            adc |= _mm512_cmplt_epi32_mask(d, amin) | _mm512_cmpgt_epi32_mask(d, amax);
        const __mmask16 sat_code = c.sat_on ? sat : 0;
        const __mmask16 adc_code = static_cast<__mmask16>((c.adc_on ? adc : 0) & ~sat_code);
        const __mmask16 coded = sat_code | adc_code;

        __m512i a1 = _mm512_sub_epi32(d3, d1), a2 = _mm512_sub_epi32(d2, d0);
        if (c.epc635) {
            a1 = _mm512_srai_epi32(a1, 4);
            a2 = _mm512_srai_epi32(a2, 4);
        }
        // ((a2^2 + a1^2) / 2) / 2; below 2^32 for samples of 15 bits.
        const __m512i q = _mm512_srli_epi32(
            _mm512_add_epi32(_mm512_mullo_epi32(a2, a2), _mm512_mullo_epi32(a1, a1)), 2);

        // Hysteresis, for the pixels without a code only.
        uint8_t *hp = c.hyst + k0 + j;
        const __m512i st0 =
            _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(hp)));
        __m512i st = _mm512_mask_blend_epi32(_mm512_cmplt_epi32_mask(q, lower), st0, zero);
        st = _mm512_mask_blend_epi32(_mm512_cmpge_epi32_mask(q, upper), st, one);
        st = _mm512_mask_blend_epi32(coded, st, st0);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(hp), _mm512_cvtepi32_epi8(st));
        const __mmask16 valid = static_cast<__mmask16>(_mm512_cmpneq_epi32_mask(st, zero) & ~coded);

        // atan2_lut(a1, a2).
        __m512i y = a1, x = a2;
        const __mmask16 y0 = _mm512_cmpeq_epi32_mask(y, zero);
        const __m512i sg = _mm512_srai_epi32(y, 31);
        y = _mm512_sub_epi32(_mm512_xor_si512(y, sg), sg);
        x = _mm512_sub_epi32(_mm512_xor_si512(x, sg), sg);
        __m512i base = _mm512_and_si512(sg, _mm512_set1_epi32(15000));
        const __mmask16 turn = _mm512_cmple_epi32_mask(x, zero);
        const __m512i x1 = _mm512_mask_blend_epi32(turn, x, y);
        const __m512i y1 = _mm512_mask_blend_epi32(turn, y, _mm512_sub_epi32(zero, x));
        base = _mm512_mask_add_epi32(base, turn, base, _mm512_set1_epi32(7500));
        const __mmask16 fold = _mm512_cmpge_epi32_mask(y1, x1);
        const __m512i y2 = _mm512_mask_blend_epi32(fold, y1, _mm512_sub_epi32(y1, x1));
        __m512i x2 = _mm512_mask_blend_epi32(fold, x1, _mm512_add_epi32(y1, x1));
        base = _mm512_mask_add_epi32(base, fold, base, _mm512_set1_epi32(3750));
        x2 = _mm512_mask_blend_epi32(y0, x2, one);  // no quotient is needed there
        // y2 x 4096 / x2: both exact in single precision; the quotient's
        // truncation is off by at most one, which the remainder corrects.
        const __m512i num = _mm512_slli_epi32(y2, 12);
        __m512i t =
            _mm512_cvttps_epi32(_mm512_div_ps(_mm512_cvtepi32_ps(num), _mm512_cvtepi32_ps(x2)));
        const __m512i rem = _mm512_sub_epi32(num, _mm512_mullo_epi32(t, x2));
        t = _mm512_mask_sub_epi32(t, _mm512_cmplt_epi32_mask(rem, zero), t, one);
        t = _mm512_mask_add_epi32(t, _mm512_cmpge_epi32_mask(rem, x2), t, one);
        const __mmask16 look = static_cast<__mmask16>(~y0 & valid);
        const __m512i tv = _mm512_mask_i32gather_epi32(zero, look, t, table, 4);
        __m512i v = _mm512_add_epi32(base, tv);
        const __m512i v0 =
            _mm512_maskz_mov_epi32(_mm512_cmplt_epi32_mask(a2, zero), _mm512_set1_epi32(15000));
        v = _mm512_mask_blend_epi32(y0, v, v0);
        // (v + 315000) mod 30000 for v in [0, 30000].
        __m512i dist = _mm512_add_epi32(v, _mm512_set1_epi32(15000));
        dist = _mm512_mask_sub_epi32(dist, _mm512_cmpge_epi32_mask(dist, _mm512_set1_epi32(30000)),
                                     dist, _mm512_set1_epi32(30000));

        __m512i out = _mm512_mask_blend_epi32(valid, low, dist);
        out = _mm512_mask_blend_epi32(sat_code, out, _mm512_set1_epi32(EPC_CODE_SAT_SAMPLE));
        out = _mm512_mask_blend_epi32(adc_code, out, _mm512_set1_epi32(EPC_CODE_SATURATED));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(od + j), _mm512_cvtepi32_epi16(out));

        if (oa) {
            // sqrt2(q): one Newton step from the bit-level estimate.
            const __m512 xf = _mm512_cvtepi32_ps(q);
            const __m512 yf = _mm512_castsi512_ps(_mm512_sub_epi32(
                _mm512_set1_epi32(0x5F3759DF), _mm512_srai_epi32(_mm512_castps_si512(xf), 1)));
            const __m512 inner =
                _mm512_mul_ps(yf, _mm512_mul_ps(_mm512_mul_ps(yf, xf), _mm512_set1_ps(0.5f)));
            const __m512 amp =
                _mm512_mul_ps(_mm512_sub_ps(_mm512_set1_ps(1.5f), inner), _mm512_mul_ps(xf, yf));
            const __m512i ampi =
                _mm512_and_si512(_mm512_cvttps_epi32(amp), _mm512_set1_epi32(0xFFFF));
            __m512i a = _mm512_mask_blend_epi32(valid, low, ampi);
            a = _mm512_mask_blend_epi32(sat_code, a, _mm512_set1_epi32(EPC_CODE_SAT_SAMPLE));
            a = _mm512_mask_blend_epi32(adc_code, a, _mm512_set1_epi32(EPC_CODE_SATURATED));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(oa + j), _mm512_cvtepi32_epi16(a));
        }
    }
    return j;
}

}  // namespace

bool kernels_vector_enabled() {
    return g_on.load(std::memory_order_relaxed) && cpu_ok();
}

bool set_kernels_vector(bool on) {
    g_on.store(on, std::memory_order_relaxed);
    return kernels_vector_enabled();
}

int sine4_stretch_vector(const CalcSettings &c, const uint16_t *const s[4], uint16_t *od,
                         uint16_t *oa, int n, int k0) {
    // Samples of at most 15 bits keep the squared amplitude in 32 bits.
    if (c.mask > 0x7FFF || k0 < 0 || !kernels_vector_enabled()) return 0;
    return sine4_avx512(c, s, od, oa, n, k0);
}

}  // namespace tarvo::epc

#else

namespace tarvo::epc {
bool kernels_vector_enabled() {
    return false;
}
bool set_kernels_vector(bool) {
    return false;
}
int sine4_stretch_vector(const CalcSettings &, const uint16_t *const *, uint16_t *, uint16_t *, int,
                         int) {
    return 0;
}
}  // namespace tarvo::epc

#endif
