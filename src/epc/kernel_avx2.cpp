// The vector path of the distance kernel: eight pixels of a raw row at a
// time with AVX2, chosen at run time when the processor has it. Every step
// mirrors the portable pixel of kernel.cpp operation for operation (same
// single-precision operations in the same order, no fused multiply-add,
// the table index divided exactly), so both give identical bits; the
// branches of the portable pixel become lane masks and blends, the two
// table look-ups become gathers.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "epc/epc_state.h"
#include "epc/kernel_impl.h"

#pragma STDC FP_CONTRACT OFF

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TARVO_AVX2 __attribute__((target("avx2")))

namespace tarvo::epc {

namespace {

TARVO_AVX2 inline __m256i load8_u16(const uint16_t *p) {
    return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

TARVO_AVX2 inline void store8_u16(uint16_t *p, __m256i v) {
    __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), packed);
}

TARVO_AVX2 inline __m256i blend(__m256i a, __m256i b, __m256i mask) {
    return _mm256_blendv_epi8(a, b, mask);
}

// atan2_lut(y, x) for |x|, |y| below 4096, then turned by half a circle:
// (atan2_lut + 315000) mod 30000.
TARVO_AVX2 inline __m256i phase8(__m256i y, __m256i x, const int32_t *tab) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i yz = _mm256_cmpeq_epi32(y, zero);
    const __m256i r0 = _mm256_and_si256(_mm256_cmpgt_epi32(zero, x), _mm256_set1_epi32(15000));

    // Lower half-plane: turn by half a circle (y > 0 afterwards; lanes with
    // y == 0 get x zeroed here and take r0 at the end).
    const __m256i neg = _mm256_cmpgt_epi32(zero, y);
    x = _mm256_sign_epi32(x, y);
    y = _mm256_abs_epi32(y);
    __m256i base = _mm256_and_si256(neg, _mm256_set1_epi32(15000));

    const __m256i xle = _mm256_cmpgt_epi32(_mm256_set1_epi32(1), x);
    const __m256i ny = blend(y, _mm256_sub_epi32(zero, x), xle);
    const __m256i nx = blend(x, y, xle);
    base = _mm256_add_epi32(base, _mm256_and_si256(xle, _mm256_set1_epi32(7500)));

    const __m256i ge = _mm256_xor_si256(_mm256_cmpgt_epi32(nx, ny), _mm256_set1_epi32(-1));
    __m256i y2 = blend(ny, _mm256_sub_epi32(ny, nx), ge);
    __m256i x2 = blend(nx, _mm256_add_epi32(ny, nx), ge);
    base = _mm256_add_epi32(base, _mm256_and_si256(ge, _mm256_set1_epi32(3750)));

    // Lanes with y == 0 take r0; keep their division harmless.
    x2 = blend(x2, _mm256_set1_epi32(1), yz);
    y2 = _mm256_andnot_si256(yz, y2);

    // (y2 * 4096) / x2 exactly from one single-precision division: both
    // operands are exact, and a quotient just below an integer n is at
    // least 1/x2 >= 1/8190 away from it, more than half an ulp below 4096
    // (1/8192), so rounding never lifts it to n and truncation is exact.
    const __m256i q = _mm256_cvttps_epi32(
        _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_slli_epi32(y2, 12)), _mm256_cvtepi32_ps(x2)));

    __m256i res = _mm256_add_epi32(base, _mm256_i32gather_epi32(tab, q, 4));
    res = blend(res, r0, yz);
    res = _mm256_add_epi32(res, _mm256_set1_epi32(15000));
    return _mm256_sub_epi32(res, _mm256_and_si256(_mm256_cmpgt_epi32(res, _mm256_set1_epi32(29999)),
                                                  _mm256_set1_epi32(30000)));
}

// Samples of eight pixels: masked, with the saturation mask, H, D and w.
struct Samples8 {
    __m256i sat, H, D, w;
};

TARVO_AVX2 inline Samples8 samples8(const uint16_t *s0, size_t P, int j) {
    const __m256i m12 = _mm256_set1_epi32(0xFFF);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i d0 = _mm256_and_si256(load8_u16(s0 + j), m12);
    const __m256i d1 = _mm256_and_si256(load8_u16(s0 + P + j), m12);
    const __m256i d2 = _mm256_and_si256(load8_u16(s0 + 2 * P + j), m12);
    const __m256i d3 = _mm256_and_si256(load8_u16(s0 + 3 * P + j), m12);
    // A sample at 0 or 4095: d - 1 (unsigned) is 4094 or more.
    const __m256i top = _mm256_max_epu32(
        _mm256_max_epu32(_mm256_sub_epi32(d0, one), _mm256_sub_epi32(d1, one)),
        _mm256_max_epu32(_mm256_sub_epi32(d2, one), _mm256_sub_epi32(d3, one)));
    Samples8 r;
    r.sat = _mm256_cmpeq_epi32(_mm256_max_epu32(top, _mm256_set1_epi32(4094)), top);
    r.H = _mm256_sub_epi32(d3, d1);
    r.D = _mm256_sub_epi32(d2, d0);
    r.w = _mm256_add_epi32(_mm256_mullo_epi32(r.H, r.H), _mm256_mullo_epi32(r.D, r.D));
    return r;
}

// Amplitude modes: one pass.
template <int Mode>
TARVO_AVX2 void row_amplitude(const KernelPass &k, int i) {
    const int C = k.C;
    const int orow = output_row(i, k.R);
    const uint16_t *s0 = k.src + static_cast<size_t>(i) * C;
    const __m256i c500 = _mm256_set1_epi32(EPC_CODE_SATURATED);
    int j = 0;
    for (; j + 8 <= C; j += 8) {
        const int out = orow * C + j;
        const Samples8 x = samples8(s0, k.plane, j);
        const __m256i amp = _mm256_cvttps_epi32(
            _mm256_mul_ps(_mm256_sqrt_ps(_mm256_cvtepi32_ps(x.w)), _mm256_set1_ps(0.5f)));
        if constexpr (Mode == 1) {
            store8_u16(static_cast<uint16_t *>(k.dst) + out, blend(amp, c500, x.sat));
        } else {
            __m256 f = _mm256_cvtepi32_ps(amp);
            f = _mm256_blendv_ps(f, _mm256_set1_ps(k_code_saturated_f), _mm256_castsi256_ps(x.sat));
            _mm256_storeu_ps(static_cast<float *>(k.dst) + out, f);
        }
    }
    if (j < C) run_portable_pixels(k, i, j);
}

// Distance modes, first pass over a stretch of a raw row: saturation,
// hysteresis and phase; stores the phase, or -1 (low amplitude) or -2
// (saturated). Splitting the work in two short loops lets the processor
// overlap many more pixels than one long dependent chain per pixel would.
TARVO_AVX2 void front_pass(const KernelPass &k, int i, int j0, int j1, int32_t *buf) {
    // Locals: the byte stores of the hysteresis could alias the fields of k.
    const uint16_t *s0 = k.src + static_cast<size_t>(i) * k.C;
    uint8_t *const hyst = k.hyst + static_cast<size_t>(i) * k.C;
    const int32_t *const tab = k.atan32;
    const size_t P = k.plane;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi32(-1);
    const __m256i upper = _mm256_set1_epi32(k.upper);
    const __m256i lower = _mm256_set1_epi32(k.lower);
#pragma clang loop unroll_count(2)
    for (int j = j0; j < j1; j += 8) {
        const Samples8 x = samples8(s0, P, j);
        // Hysteresis of the eight positions; saturated lanes keep their state.
        const __m256i a2 = _mm256_srai_epi32(x.w, 2);
        const __m256i up = _mm256_xor_si256(_mm256_cmpgt_epi32(upper, a2), ones);
        const __m256i lo = _mm256_cmpgt_epi32(lower, a2);
        uint64_t old_bytes;
        std::memcpy(&old_bytes, hyst + j, 8);
        const __m256i oldm = _mm256_cmpgt_epi32(
            _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(old_bytes))), zero);
        const __m256i newm = _mm256_or_si256(up, _mm256_andnot_si256(lo, oldm));
        const __m256i st = _mm256_and_si256(blend(newm, oldm, x.sat), _mm256_set1_epi32(1));
        const __m128i p16 =
            _mm_packus_epi32(_mm256_castsi256_si128(st), _mm256_extracti128_si256(st, 1));
        const uint64_t new_bytes =
            static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(p16, p16)));
        std::memcpy(hyst + j, &new_bytes, 8);
        __m256i v = phase8(x.H, x.D, tab);
        v = blend(v, ones, _mm256_andnot_si256(newm, ones));  // low amplitude: -1
        v = blend(v, _mm256_set1_epi32(-2), x.sat);           // saturated: -2
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(buf + (j - j0)), v);
    }
}

// Distance modes, second pass: table correction and output.
template <int Mode, bool Drnu>
TARVO_AVX2 void back_pass(const KernelPass &k, int orow, int j0, int j1, const int32_t *buf) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i c300 = _mm256_set1_epi32(EPC_CODE_LOW_AMPLITUDE);
    const __m256i c500 = _mm256_set1_epi32(EPC_CODE_SATURATED);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i m16 = _mm256_set1_epi32(0xFFFF);
    for (int j = j0; j < j1; j += 8) {
        const int out = orow * k.C + j;
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(buf + (j - j0)));
        __m256i is_code = _mm256_cmpgt_epi32(zero, x);
        __m256i code = blend(c300, c500, _mm256_cmpeq_epi32(x, _mm256_set1_epi32(-2)));
        const __m256i phase = _mm256_max_epi32(x, zero);
        __m256i E = phase;
        if constexpr (Drnu) {
            const __m256 diff = _mm256_sub_ps(_mm256_cvtepi32_ps(phase), _mm256_set1_ps(k.m));
            const __m256i mnv = load8_u16(k.mn + out);
            const __m256i mxv = load8_u16(k.mx + out);
            const __m256 mnf = _mm256_cvtepi32_ps(mnv);
            const __m256 mxf = _mm256_cvtepi32_ps(mxv);
            const __m256i below = _mm256_castps_si256(_mm256_cmp_ps(mnf, diff, _CMP_GE_OQ));
            const __m256i above = _mm256_castps_si256(_mm256_cmp_ps(diff, mxf, _CMP_GE_OQ));
            __m256 q = _mm256_div_ps(
                _mm256_mul_ps(_mm256_sub_ps(diff, mnf), _mm256_set1_ps(static_cast<float>(k.N))),
                _mm256_cvtepi32_ps(_mm256_sub_epi32(mxv, mnv)));
            q = _mm256_min_ps(q, _mm256_set1_ps(k.last_seg));
            q = _mm256_max_ps(q, _mm256_setzero_ps());
            const __m256i L = _mm256_cvttps_epi32(q);
            __m256i M, M1;
            const int L0 = _mm256_cvtsi256_si32(L);
            const __m256i dl = _mm256_sub_epi32(L, _mm256_set1_epi32(L0));
            // Neighbouring pixels mostly share a segment or sit in the next
            // one: when every lane is within one segment of lane 0, plain
            // loads of the step-major rows around L0 and blends replace the
            // gathers.
            const __m256i two = _mm256_set1_epi32(2);
            const __m256i near =
                _mm256_cmpeq_epi32(_mm256_max_epu32(_mm256_add_epi32(dl, one), two), two);
            if (k.steps && _mm256_testc_si256(near, _mm256_set1_epi32(-1))) {
                const uint16_t *row = k.steps + out;
                const size_t S = static_cast<size_t>(k.stride);
                const size_t top = static_cast<size_t>(k_max_distances - 1);
                const size_t l0 = static_cast<size_t>(L0);
                const __m256i rm = load8_u16(row + (l0 ? l0 - 1 : 0) * S);
                const __m256i r0 = load8_u16(row + l0 * S);
                const __m256i r1 = load8_u16(row + std::min(l0 + 1, top) * S);
                const __m256i r2 = load8_u16(row + std::min(l0 + 2, top) * S);
                const __m256i lt = _mm256_cmpgt_epi32(zero, dl);
                const __m256i gt = _mm256_cmpgt_epi32(dl, zero);
                M = blend(blend(r0, rm, lt), r1, gt);
                M1 = blend(blend(r1, r0, lt), r2, gt);
            } else if (k.steps) {
                const __m256i idx =
                    _mm256_add_epi32(_mm256_mullo_epi32(L, _mm256_set1_epi32(k.stride)),
                                     _mm256_add_epi32(_mm256_set1_epi32(out), lane));
                const int *base = reinterpret_cast<const int *>(k.steps);
                M = _mm256_and_si256(_mm256_i32gather_epi32(base, idx, 2), m16);
                M1 = _mm256_and_si256(
                    _mm256_i32gather_epi32(base, _mm256_add_epi32(idx, _mm256_set1_epi32(k.stride)), 2),
                    m16);
            } else {
                const __m256i idx = _mm256_add_epi32(
                    _mm256_mullo_epi32(_mm256_add_epi32(_mm256_set1_epi32(out), lane),
                                       _mm256_set1_epi32(k.N)),
                    L);
                const __m256i pair =
                    _mm256_i32gather_epi32(reinterpret_cast<const int *>(k.table), idx, 2);
                M = _mm256_and_si256(pair, m16);
                M1 = _mm256_srli_epi32(pair, 16);
            }
            const __m256 lv = _mm256_set1_ps(k.l);
            const __m256 sum = _mm256_add_ps(
                _mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(diff, _mm256_cvtepi32_ps(M)), lv),
                              _mm256_cvtepi32_ps(_mm256_sub_epi32(M1, M))),
                _mm256_mul_ps(lv, _mm256_cvtepi32_ps(L)));
            const __m256d half = _mm256_set1_pd(0.5);
            const __m128i tlo = _mm256_cvttpd_epi32(
                _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(sum)), half));
            const __m128i thi = _mm256_cvttpd_epi32(
                _mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(sum, 1)), half));
            const __m256i t = _mm256_set_m128i(thi, tlo);
            // Out of the 32-bit range or not a number: the conversion gives
            // 0x80000000, which no in-range sum + 0.5 can give.
            const __m256i bad = _mm256_cmpeq_epi32(t, _mm256_set1_epi32(INT32_MIN));
            E = _mm256_and_si256(_mm256_add_epi32(_mm256_set1_epi32(k.o), t), m16);
            // Codes by priority, the strongest written last: out of the span
            // or unplaceable, below the span, then those of the first pass.
            const __m256i dcode = blend(c500, c300, below);
            const __m256i dmask = _mm256_or_si256(_mm256_or_si256(above, bad), below);
            code = blend(dcode, code, is_code);
            is_code = _mm256_or_si256(is_code, dmask);
        }
        if constexpr (Mode == 0) {
            store8_u16(static_cast<uint16_t *>(k.dst) + out, blend(E, code, is_code));
        } else {
            __m256 f = _mm256_div_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(E), _mm256_set1_ps(k.K)),
                                     _mm256_set1_ps(30000.0f));
            const __m256 fcode = _mm256_blendv_ps(
                _mm256_set1_ps(k_code_low_amplitude_f), _mm256_set1_ps(k_code_saturated_f),
                _mm256_castsi256_ps(_mm256_cmpeq_epi32(code, c500)));
            f = _mm256_blendv_ps(f, fcode, _mm256_castsi256_ps(is_code));
            _mm256_storeu_ps(static_cast<float *>(k.dst) + out, f);
        }
    }
}

template <int Mode, bool Drnu>
TARVO_AVX2 void row_avx2(const KernelPass &k, int i) {
    if constexpr (Mode == 1 || Mode == 3) {
        row_amplitude<Mode>(k, i);
    } else {
        constexpr int k_chunk = 256;
        alignas(32) int32_t buf[k_chunk];
        const int orow = output_row(i, k.R);
        const int vec_end = k.C & ~7;
        for (int j0 = 0; j0 < vec_end; j0 += k_chunk) {
            const int j1 = std::min(j0 + k_chunk, vec_end);
            front_pass(k, i, j0, j1, buf);
            back_pass<Mode, Drnu>(k, orow, j0, j1, buf);
        }
        if (vec_end < k.C) run_portable_pixels(k, i, vec_end);
    }
}

template <int Mode, bool Drnu>
TARVO_AVX2 void rows_avx2(const KernelPass &k) {
    for (int i = 0; i < k.R; ++i) row_avx2<Mode, Drnu>(k, i);
}

}  // namespace

bool kernel_vector_available() {
    static const bool ok = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return ok;
}

void run_vector(const KernelPass &k) {
    switch (k.mode) {
        case 0:
            if (k.drnu) rows_avx2<0, true>(k);
            else rows_avx2<0, false>(k);
            break;
        case 1: rows_avx2<1, false>(k); break;
        case 2:
            if (k.drnu) rows_avx2<2, true>(k);
            else rows_avx2<2, false>(k);
            break;
        default: rows_avx2<3, false>(k); break;
    }
}

}  // namespace tarvo::epc

#else

namespace tarvo::epc {
bool kernel_vector_available() { return false; }
void run_vector(const KernelPass &k) { (void)k; }
}  // namespace tarvo::epc

#endif
