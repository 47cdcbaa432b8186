// The AVX2 path of the distance kernel, chosen at run time when the
// processor has it and lacks AVX-512 (kernel_avx512.cpp): sixteen pixels of
// a raw row at a time in 16-bit lanes where the values fit, eight in 32-bit
// lanes elsewhere. Every step mirrors the portable pixel of kernel.cpp
// operation for operation (same single-precision operations in the same
// order, no fused multiply-add, the table index divided exactly), so every
// path gives identical bits; the branches of the portable pixel become lane
// masks and blends, the table look-ups become gathers or row loads.
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
    const __m256i top =
        _mm256_max_epu32(_mm256_max_epu32(_mm256_sub_epi32(d0, one), _mm256_sub_epi32(d1, one)),
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

// The distance modes run a stretch of a raw row through several short
// passes over small buffers in the first-level cache rather than one long
// chain of dependent steps per pixel: a division, a gather and another
// division in one chain would leave the processor waiting on latency with
// its scheduler full, while short passes keep many independent pixels in
// flight.
constexpr int k_chunk = 256;

struct Chunk {
    alignas(32) int16_t phase[k_chunk];  // phase, or -1 (low amplitude) / -2 (saturated)
    alignas(32) int16_t base[k_chunk];   // octant base of the phase
    alignas(32) int16_t fcode[k_chunk];  // codes of the front: 0, -1 or -2
    alignas(32) int32_t seg[k_chunk];    // segment index L
    alignas(32) int32_t code[k_chunk];   // output code of the back, or 0
    alignas(32) float num[k_chunk];      // front: y x 4096; back: diff, then (diff - M) x l
    alignas(32) float den[k_chunk];      // front: x;        back: M1 - M
};

// Sixteen samples, their top four bits cleared.
TARVO_AVX2 inline __m256i load16_12(const uint16_t *p) {
    return _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)),
                            _mm256_set1_epi16(0xFFF));
}

TARVO_AVX2 inline void store_u16_as_f32(float *p, __m256i v) {
    _mm256_store_ps(p, _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(v))));
    _mm256_store_ps(p + 8,
                    _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1))));
}

// Front, first pass, sixteen pixels at a time in 16-bit lanes (samples
// are 12 bits, their differences and the octant sums stay below 2^13):
// saturation, hysteresis and the reduction of (H, D) to the first octant;
// stores the quotient's operands and the base the table value is added to.
TARVO_AVX2 void front_reduce(const KernelPass &k, int i, int j0, int j1, Chunk &c) {
    // Locals: the byte stores of the hysteresis could alias the fields of k.
    const uint16_t *s0 = k.src + static_cast<size_t>(i) * k.C;
    uint8_t *const hyst = k.hyst + static_cast<size_t>(i) * k.C;
    const size_t P = k.plane;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi32(-1);
    const __m256i one16 = _mm256_set1_epi16(1);
    const __m256i upper = _mm256_set1_epi32(k.upper);
    const __m256i lower = _mm256_set1_epi32(k.lower);
    for (int j = j0; j < j1; j += 16) {
        const int b = j - j0;
        const __m256i d0 = load16_12(s0 + j), d1 = load16_12(s0 + P + j);
        const __m256i d2 = load16_12(s0 + 2 * P + j), d3 = load16_12(s0 + 3 * P + j);
        // A sample at 0 or 4095: d - 1 (unsigned) is 4094 or more.
        const __m256i top = _mm256_max_epu16(
            _mm256_max_epu16(_mm256_sub_epi16(d0, one16), _mm256_sub_epi16(d1, one16)),
            _mm256_max_epu16(_mm256_sub_epi16(d2, one16), _mm256_sub_epi16(d3, one16)));
        const __m256i sat = _mm256_cmpeq_epi16(_mm256_max_epu16(top, _mm256_set1_epi16(4094)), top);
        const __m256i H = _mm256_sub_epi16(d3, d1);
        const __m256i D = _mm256_sub_epi16(d2, d0);

        // Hysteresis on H^2 + D^2 in 32 bits. The unpacks and the packs
        // work within 128-bit halves and undo each other's order.
        const __m256i wl =
            _mm256_madd_epi16(_mm256_unpacklo_epi16(H, D), _mm256_unpacklo_epi16(H, D));
        const __m256i wh =
            _mm256_madd_epi16(_mm256_unpackhi_epi16(H, D), _mm256_unpackhi_epi16(H, D));
        const __m256i al = _mm256_srai_epi32(wl, 2), ah = _mm256_srai_epi32(wh, 2);
        const __m256i below_up =
            _mm256_packs_epi32(_mm256_cmpgt_epi32(upper, al), _mm256_cmpgt_epi32(upper, ah));
        const __m256i below_lo =
            _mm256_packs_epi32(_mm256_cmpgt_epi32(lower, al), _mm256_cmpgt_epi32(lower, ah));
        const __m256i oldm = _mm256_cmpgt_epi16(
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(hyst + j))),
            zero);
        const __m256i newm = _mm256_or_si256(_mm256_andnot_si256(below_up, ones),
                                             _mm256_andnot_si256(below_lo, oldm));
        // Saturated positions keep their state.
        const __m256i st = _mm256_and_si256(blend(newm, oldm, sat), one16);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(st, st), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(hyst + j), _mm256_castsi256_si128(bytes));
        // Low amplitude: -1; saturated: -2.
        const __m256i code = blend(_mm256_andnot_si256(newm, ones), _mm256_set1_epi16(-2), sat);
        _mm256_store_si256(reinterpret_cast<__m256i *>(c.fcode + b), code);

        // atan2_lut(H, D): the octant reduction.
        __m256i y = H, x = D;
        const __m256i yz = _mm256_cmpeq_epi16(y, zero);
        const __m256i r0 = _mm256_and_si256(_mm256_cmpgt_epi16(zero, x), _mm256_set1_epi16(15000));
        // Lower half-plane: turn by half a circle (y > 0 afterwards; lanes
        // with y == 0 get x zeroed here and take r0).
        const __m256i neg = _mm256_cmpgt_epi16(zero, y);
        x = _mm256_sign_epi16(x, y);
        y = _mm256_abs_epi16(y);
        __m256i base = _mm256_and_si256(neg, _mm256_set1_epi16(15000));
        const __m256i xle = _mm256_cmpgt_epi16(one16, x);
        const __m256i ny = blend(y, _mm256_sub_epi16(zero, x), xle);
        const __m256i nx = blend(x, y, xle);
        base = _mm256_add_epi16(base, _mm256_and_si256(xle, _mm256_set1_epi16(7500)));
        const __m256i ge = _mm256_xor_si256(_mm256_cmpgt_epi16(nx, ny), ones);
        const __m256i y2 = blend(ny, _mm256_sub_epi16(ny, nx), ge);
        const __m256i x2 = blend(nx, _mm256_add_epi16(ny, nx), ge);
        base = _mm256_add_epi16(base, _mm256_and_si256(ge, _mm256_set1_epi16(3750)));
        // Lanes with y == 0 take r0 with a zero quotient (table entry 0 is 0).
        _mm256_store_si256(reinterpret_cast<__m256i *>(c.base + b), blend(base, r0, yz));
        store_u16_as_f32(c.num + b, _mm256_andnot_si256(yz, y2));
        store_u16_as_f32(c.den + b, blend(x2, one16, yz));
    }
}

// Front, second pass: the table index, the table value and the half turn,
// (atan2_lut + 315000) mod 30000; codes where the first pass set them.
TARVO_AVX2 void front_phase(const KernelPass &k, int n, Chunk &c) {
    const int32_t *const tab = k.atan32;
    const __m256 scale = _mm256_set1_ps(4096.0f);
    for (int b = 0; b < n; b += 16) {
        // (y2 * 4096) / x2 exactly from one single-precision division: both
        // operands are exact, and a quotient just below an integer n is at
        // least 1/x2 >= 1/8190 away from it, more than half an ulp below
        // 4096 (1/8192), so rounding never lifts it to n and truncation is
        // exact.
        const __m256i q0 = _mm256_cvttps_epi32(_mm256_div_ps(
            _mm256_mul_ps(_mm256_load_ps(c.num + b), scale), _mm256_load_ps(c.den + b)));
        const __m256i q1 = _mm256_cvttps_epi32(_mm256_div_ps(
            _mm256_mul_ps(_mm256_load_ps(c.num + b + 8), scale), _mm256_load_ps(c.den + b + 8)));
        const __m256i t0 = _mm256_i32gather_epi32(tab, q0, 4);
        const __m256i t1 = _mm256_i32gather_epi32(tab, q1, 4);
        // Table values stay below 3751: a signed pack keeps them.
        const __m256i t = _mm256_permute4x64_epi64(_mm256_packs_epi32(t0, t1), 0xD8);
        // base + t + 15000 < 45001: unsigned 16-bit from here.
        __m256i res = _mm256_add_epi16(
            _mm256_add_epi16(_mm256_load_si256(reinterpret_cast<const __m256i *>(c.base + b)), t),
            _mm256_set1_epi16(15000));
        const __m256i wrap =
            _mm256_cmpeq_epi16(_mm256_max_epu16(res, _mm256_set1_epi16(30000)), res);
        res = _mm256_sub_epi16(res, _mm256_and_si256(wrap, _mm256_set1_epi16(30000)));
        // Codes are -1 or -2: every byte has its top bit set.
        const __m256i code = _mm256_load_si256(reinterpret_cast<const __m256i *>(c.fcode + b));
        _mm256_store_si256(reinterpret_cast<__m256i *>(c.phase + b),
                           _mm256_blendv_epi8(res, code, code));
    }
}

TARVO_AVX2 inline __m256i load_phase8(const Chunk &c, int b) {
    return _mm256_cvtepi16_epi32(_mm_load_si128(reinterpret_cast<const __m128i *>(c.phase + b)));
}

// Metres of eight phase values (E x K / 30000), or the float code of the
// coded lanes: 65.5 where `sat` is set, 65.3 elsewhere.
TARVO_AVX2 inline void store_metres8(const KernelPass &k, int out, __m256i E, __m256i is_code,
                                     __m256i sat) {
    __m256 f = _mm256_div_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(E), _mm256_set1_ps(k.K)),
                             _mm256_set1_ps(30000.0f));
    const __m256 fcode =
        _mm256_blendv_ps(_mm256_set1_ps(k_code_low_amplitude_f), _mm256_set1_ps(k_code_saturated_f),
                         _mm256_castsi256_ps(sat));
    f = _mm256_blendv_ps(f, fcode, _mm256_castsi256_ps(is_code));
    _mm256_storeu_ps(static_cast<float *>(k.dst) + out, f);
}

// Back, without table correction: phase or code to the output.
template <int Mode>
TARVO_AVX2 void back_plain(const KernelPass &k, int out0, int n, const Chunk &c) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i c300 = _mm256_set1_epi32(EPC_CODE_LOW_AMPLITUDE);
    const __m256i c500 = _mm256_set1_epi32(EPC_CODE_SATURATED);
    for (int b = 0; b < n; b += 8) {
        const int out = out0 + b;
        const __m256i x = load_phase8(c, b);
        const __m256i is_code = _mm256_cmpgt_epi32(zero, x);
        const __m256i sat = _mm256_cmpeq_epi32(x, _mm256_set1_epi32(-2));
        if constexpr (Mode == 0) {
            const __m256i code = blend(c300, c500, sat);
            store8_u16(static_cast<uint16_t *>(k.dst) + out, blend(x, code, is_code));
        } else {
            store_metres8(k, out, x, is_code, sat);
        }
    }
}

// Back with table correction, first pass: the temperature-corrected phase,
// the span checks and the segment index L.
TARVO_AVX2 void back_segment(const KernelPass &k, int out0, int n, Chunk &c) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i c300 = _mm256_set1_epi32(EPC_CODE_LOW_AMPLITUDE);
    const __m256i c500 = _mm256_set1_epi32(EPC_CODE_SATURATED);
    const __m256 m = _mm256_set1_ps(k.m);
    const __m256 Nf = _mm256_set1_ps(static_cast<float>(k.N));
    const __m256 last = _mm256_set1_ps(k.last_seg);
    for (int b = 0; b < n; b += 8) {
        const int out = out0 + b;
        const __m256i x = load_phase8(c, b);
        const __m256i is_code = _mm256_cmpgt_epi32(zero, x);
        const __m256 diff = _mm256_sub_ps(_mm256_cvtepi32_ps(_mm256_max_epi32(x, zero)), m);
        const __m256i mnv = load8_u16(k.mn + out);
        const __m256i mxv = load8_u16(k.mx + out);
        const __m256 mnf = _mm256_cvtepi32_ps(mnv);
        const __m256i below = _mm256_castps_si256(_mm256_cmp_ps(mnf, diff, _CMP_GE_OQ));
        const __m256i above =
            _mm256_castps_si256(_mm256_cmp_ps(diff, _mm256_cvtepi32_ps(mxv), _CMP_GE_OQ));
        __m256 q = _mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(diff, mnf), Nf),
                                 _mm256_cvtepi32_ps(_mm256_sub_epi32(mxv, mnv)));
        q = _mm256_max_ps(_mm256_min_ps(q, last), _mm256_setzero_ps());
        _mm256_store_si256(reinterpret_cast<__m256i *>(c.seg + b), _mm256_cvttps_epi32(q));
        _mm256_store_ps(c.num + b, diff);
        // Codes by priority: those of the front, below the span, above it.
        __m256i code = _mm256_and_si256(above, c500);
        code = blend(code, c300, below);
        code =
            blend(code, blend(c300, c500, _mm256_cmpeq_epi32(x, _mm256_set1_epi32(-2))), is_code);
        _mm256_store_si256(reinterpret_cast<__m256i *>(c.code + b), code);
    }
}

// Back with table correction, second pass: the segment's two entries M and
// M1; stores (diff - M) x l and M1 - M.
TARVO_AVX2 void back_entries(const KernelPass &k, int out0, int n, Chunk &c) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i two = _mm256_set1_epi32(2);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i m16 = _mm256_set1_epi32(0xFFFF);
    const __m256 lv = _mm256_set1_ps(k.l);
    const uint16_t *const steps = k.steps;
    const size_t S = static_cast<size_t>(k.stride);
    const size_t top = static_cast<size_t>(k_max_distances - 1);
    for (int b = 0; b < n; b += 8) {
        const int out = out0 + b;
        const __m256i L = _mm256_load_si256(reinterpret_cast<const __m256i *>(c.seg + b));
        __m256i M, M1;
        const int L0 = c.seg[b];
        const __m256i dl = _mm256_sub_epi32(L, _mm256_set1_epi32(L0));
        // Neighbouring pixels mostly share a segment or sit in the next
        // one: when every lane is within one segment of lane 0, plain loads
        // of the step-major rows around L0 and blends replace the gathers.
        const __m256i near =
            _mm256_cmpeq_epi32(_mm256_max_epu32(_mm256_add_epi32(dl, one), two), two);
        if (steps && _mm256_testc_si256(near, _mm256_set1_epi32(-1))) {
            const uint16_t *row = steps + out;
            const size_t l0 = static_cast<size_t>(L0);
            const __m256i rm = load8_u16(row + (l0 ? l0 - 1 : 0) * S);
            const __m256i r0 = load8_u16(row + l0 * S);
            const __m256i r1 = load8_u16(row + std::min(l0 + 1, top) * S);
            const __m256i r2 = load8_u16(row + std::min(l0 + 2, top) * S);
            const __m256i lt = _mm256_cmpgt_epi32(zero, dl);
            const __m256i gt = _mm256_cmpgt_epi32(dl, zero);
            M = blend(blend(r0, rm, lt), r1, gt);
            M1 = blend(blend(r1, r0, lt), r2, gt);
        } else if (steps) {
            const __m256i idx = _mm256_add_epi32(_mm256_mullo_epi32(L, _mm256_set1_epi32(k.stride)),
                                                 _mm256_add_epi32(_mm256_set1_epi32(out), lane));
            const int *base = reinterpret_cast<const int *>(steps);
            M = _mm256_and_si256(_mm256_i32gather_epi32(base, idx, 2), m16);
            M1 = _mm256_and_si256(
                _mm256_i32gather_epi32(base, _mm256_add_epi32(idx, _mm256_set1_epi32(k.stride)), 2),
                m16);
        } else {
            const __m256i idx =
                _mm256_add_epi32(_mm256_mullo_epi32(_mm256_add_epi32(_mm256_set1_epi32(out), lane),
                                                    _mm256_set1_epi32(k.N)),
                                 L);
            const __m256i pair =
                _mm256_i32gather_epi32(reinterpret_cast<const int *>(k.table), idx, 2);
            M = _mm256_and_si256(pair, m16);
            M1 = _mm256_srli_epi32(pair, 16);
        }
        const __m256 diff = _mm256_load_ps(c.num + b);
        _mm256_store_ps(c.num + b, _mm256_mul_ps(_mm256_sub_ps(diff, _mm256_cvtepi32_ps(M)), lv));
        _mm256_store_ps(c.den + b, _mm256_cvtepi32_ps(_mm256_sub_epi32(M1, M)));
    }
}

// Back with table correction, last pass: the interpolated phase, rounded,
// with the offset, to the output.
template <int Mode>
TARVO_AVX2 void back_interpolate(const KernelPass &k, int out0, int n, const Chunk &c) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i c500 = _mm256_set1_epi32(EPC_CODE_SATURATED);
    const __m256i m16 = _mm256_set1_epi32(0xFFFF);
    const __m256 lv = _mm256_set1_ps(k.l);
    const __m256d half = _mm256_set1_pd(0.5);
    for (int b = 0; b < n; b += 8) {
        const int out = out0 + b;
        const __m256i L = _mm256_load_si256(reinterpret_cast<const __m256i *>(c.seg + b));
        const __m256 sum =
            _mm256_add_ps(_mm256_div_ps(_mm256_load_ps(c.num + b), _mm256_load_ps(c.den + b)),
                          _mm256_mul_ps(lv, _mm256_cvtepi32_ps(L)));
        const __m128i tlo =
            _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(sum)), half));
        const __m128i thi = _mm256_cvttpd_epi32(
            _mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(sum, 1)), half));
        const __m256i t = _mm256_set_m128i(thi, tlo);
        // Out of the 32-bit range or not a number: the conversion gives
        // 0x80000000, which no in-range sum + 0.5 can give. Such a phase
        // cannot be placed (a flat segment or absurd constants).
        const __m256i bad = _mm256_cmpeq_epi32(t, _mm256_set1_epi32(INT32_MIN));
        const __m256i E = _mm256_and_si256(_mm256_add_epi32(_mm256_set1_epi32(k.o), t), m16);
        __m256i code = _mm256_load_si256(reinterpret_cast<const __m256i *>(c.code + b));
        code = blend(code, c500, _mm256_and_si256(bad, _mm256_cmpeq_epi32(code, zero)));
        const __m256i is_code =
            _mm256_xor_si256(_mm256_cmpeq_epi32(code, zero), _mm256_set1_epi32(-1));
        if constexpr (Mode == 0) {
            store8_u16(static_cast<uint16_t *>(k.dst) + out, blend(E, code, is_code));
        } else {
            store_metres8(k, out, E, is_code, _mm256_cmpeq_epi32(code, c500));
        }
    }
}

template <int Mode, bool Drnu>
TARVO_AVX2 void row_avx2(const KernelPass &k, int i, Chunk &c) {
    if constexpr (Mode == 1 || Mode == 3) {
        row_amplitude<Mode>(k, i);
    } else {
        const int orow = output_row(i, k.R);
        const int vec_end = k.C & ~15;
        for (int j0 = 0; j0 < vec_end; j0 += k_chunk) {
            const int j1 = std::min(j0 + k_chunk, vec_end);
            const int n = j1 - j0, out0 = orow * k.C + j0;
            front_reduce(k, i, j0, j1, c);
            front_phase(k, n, c);
            if constexpr (Drnu) {
                back_segment(k, out0, n, c);
                back_entries(k, out0, n, c);
                back_interpolate<Mode>(k, out0, n, c);
            } else {
                back_plain<Mode>(k, out0, n, c);
            }
        }
        if (vec_end < k.C) run_portable_pixels(k, i, vec_end);
    }
}

template <int Mode, bool Drnu>
TARVO_AVX2 void rows_avx2(const KernelPass &k) {
    Chunk c;
    for (int i = 0; i < k.R; ++i) row_avx2<Mode, Drnu>(k, i, c);
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
            if (k.drnu)
                rows_avx2<0, true>(k);
            else
                rows_avx2<0, false>(k);
            break;
        case 1:
            rows_avx2<1, false>(k);
            break;
        case 2:
            if (k.drnu)
                rows_avx2<2, true>(k);
            else
                rows_avx2<2, false>(k);
            break;
        default:
            rows_avx2<3, false>(k);
            break;
    }
}

}  // namespace tarvo::epc

#else

namespace tarvo::epc {
bool kernel_vector_available() {
    return false;
}
void run_vector(const KernelPass &k) {
    (void)k;
}
}  // namespace tarvo::epc

#endif
