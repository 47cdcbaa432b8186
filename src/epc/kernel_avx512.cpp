// The widest path of the distance kernel, for the distance modes (0 and 2):
// AVX-512 with sixteen 32-bit or thirty-two 16-bit lanes per register,
// chosen at run time when the processor has it. Like the AVX2 path it
// mirrors the portable pixel of kernel.cpp operation for operation (same
// single-precision operations in the same order, no fused multiply-add,
// the table index divided exactly), so every path gives identical bits;
// branches become mask registers.
//
// A stretch of a raw row goes through several short passes over buffers in
// the first-level cache rather than one long chain of dependent steps per
// pixel: a division, a gather and another division in one chain would leave
// the processor waiting on latency with its scheduler full, while short
// passes keep many independent pixels in flight.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "epc/epc_state.h"
#include "epc/kernel_impl.h"
#include "platform/cpu.h"

#pragma STDC FP_CONTRACT OFF

#if defined(__x86_64__)
#include <immintrin.h>
#define TARVO_AVX512 __attribute__((target("avx2,bmi2,avx512f,avx512bw,avx512vl,avx512dq")))

namespace tarvo::epc {

namespace {

constexpr int k_chunk = 256;

struct Chunk {
    alignas(64) int16_t phase[k_chunk];  // phase, or -1 (low amplitude) / -2 (saturated)
    alignas(64) int16_t base[k_chunk];   // octant base of the phase
    alignas(64) uint16_t y2[k_chunk];    // table quotient y2 x 4096 / x2
    alignas(64) uint16_t x2[k_chunk];
    alignas(64) uint32_t low[k_chunk / 32];  // low-amplitude positions, a bit each
    alignas(64) uint32_t sat[k_chunk / 32];  // saturated positions
    alignas(64) int32_t seg[k_chunk];        // segment index L
    alignas(64) int32_t code[k_chunk];       // output code, or 0
    alignas(64) float num[k_chunk];          // diff, then (diff - M) x l
    alignas(64) float den[k_chunk];          // M1 - M
};

// Everything a pass reads from the call, copied to locals so that the
// output stores cannot be taken to alias it.
struct Consts {
    const uint16_t *src;
    uint8_t *hyst;
    size_t plane;
    int C;
    int upper, lower;
    const int32_t *atan32;
    void *dst;
    float K, m, l, Nf, last_seg;
    int o, N, stride;
    const uint16_t *mn, *mx, *steps, *table;
};

TARVO_AVX512 inline __m512i load32_12(const uint16_t *p) {
    return _mm512_and_si512(_mm512_loadu_si512(p), _mm512_set1_epi16(0xFFF));
}

TARVO_AVX512 inline __m512i load16_u16(const void *p) {
    return _mm512_cvtepu16_epi32(_mm256_loadu_si256(static_cast<const __m256i *>(p)));
}

// Front, first pass, thirty-two pixels at a time in 16-bit lanes (samples
// are 12 bits, their differences and the octant sums stay below 2^13):
// saturation, hysteresis and the reduction of (H, D) to the first octant.
TARVO_AVX512 void front_reduce(const Consts &k, int i, int j0, int j1, Chunk &c) {
    const uint16_t *s0 = k.src + static_cast<size_t>(i) * k.C;
    uint8_t *const hyst = k.hyst + static_cast<size_t>(i) * k.C;
    const size_t P = k.plane;
    const __m512i zero = _mm512_setzero_si512();
    const __m512i one = _mm512_set1_epi16(1);
    const __m512i upper = _mm512_set1_epi32(k.upper);
    const __m512i lower = _mm512_set1_epi32(k.lower);
    for (int j = j0; j < j1; j += 32) {
        const int b = j - j0;
        const __m512i d0 = load32_12(s0 + j), d1 = load32_12(s0 + P + j);
        const __m512i d2 = load32_12(s0 + 2 * P + j), d3 = load32_12(s0 + 3 * P + j);
        // A sample at 0 or 4095: d - 1 (unsigned) is 4094 or more.
        const __m512i top = _mm512_max_epu16(
            _mm512_max_epu16(_mm512_sub_epi16(d0, one), _mm512_sub_epi16(d1, one)),
            _mm512_max_epu16(_mm512_sub_epi16(d2, one), _mm512_sub_epi16(d3, one)));
        const uint32_t sat = _mm512_cmpge_epu16_mask(top, _mm512_set1_epi16(4094));
        const __m512i H = _mm512_sub_epi16(d3, d1);
        const __m512i D = _mm512_sub_epi16(d2, d0);

        // Hysteresis on (H^2 + D^2) / 4 in 32 bits. The unpacks leave
        // pixels 0-3, 8-11, ... in the low words and 4-7, 12-15, ... in the
        // high ones; the deposits put the compare bits back in pixel order.
        const __m512i lo_pairs = _mm512_unpacklo_epi16(H, D),
                      hi_pairs = _mm512_unpackhi_epi16(H, D);
        const __m512i al = _mm512_srai_epi32(_mm512_madd_epi16(lo_pairs, lo_pairs), 2);
        const __m512i ah = _mm512_srai_epi32(_mm512_madd_epi16(hi_pairs, hi_pairs), 2);
        const uint32_t up = _pdep_u32(_mm512_cmpge_epi32_mask(al, upper), 0x0F0F0F0Fu) |
                            _pdep_u32(_mm512_cmpge_epi32_mask(ah, upper), 0xF0F0F0F0u);
        const uint32_t lo = _pdep_u32(_mm512_cmplt_epi32_mask(al, lower), 0x0F0F0F0Fu) |
                            _pdep_u32(_mm512_cmplt_epi32_mask(ah, lower), 0xF0F0F0F0u);
        const __m256i old_bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hyst + j));
        const uint32_t old = _mm256_test_epi8_mask(old_bytes, old_bytes);
        const uint32_t on = up | (~lo & old);
        // Saturated positions keep their state.
        const uint32_t st = (on & ~sat) | (old & sat);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hyst + j),
                            _mm256_maskz_mov_epi8(st, _mm256_set1_epi8(1)));
        c.low[b / 32] = ~on & ~sat;
        c.sat[b / 32] = sat;

        // atan2_lut(H, D): the octant reduction.
        __m512i y = H, x = D;
        const __mmask32 yz = _mm512_cmpeq_epi16_mask(y, zero);
        const __m512i r0 =
            _mm512_maskz_mov_epi16(_mm512_movepi16_mask(x), _mm512_set1_epi16(15000));
        // Lower half-plane: turn by half a circle.
        const __mmask32 neg = _mm512_movepi16_mask(y);
        x = _mm512_mask_sub_epi16(x, neg, zero, x);
        y = _mm512_abs_epi16(y);
        __m512i base = _mm512_maskz_mov_epi16(neg, _mm512_set1_epi16(15000));
        // x <= 0: (x, y) = (y, -x), a quarter turn.
        const __mmask32 xle = _mm512_cmple_epi16_mask(x, zero);
        const __m512i ny = _mm512_mask_sub_epi16(y, xle, zero, x);
        const __m512i nx = _mm512_mask_mov_epi16(x, xle, y);
        base = _mm512_mask_add_epi16(base, xle, base, _mm512_set1_epi16(7500));
        // y >= x: (x, y) = (y + x, y - x), an eighth turn.
        const __mmask32 ge = _mm512_cmpge_epi16_mask(ny, nx);
        const __m512i y2 = _mm512_mask_sub_epi16(ny, ge, ny, nx);
        const __m512i x2 = _mm512_mask_add_epi16(nx, ge, ny, nx);
        base = _mm512_mask_add_epi16(base, ge, base, _mm512_set1_epi16(3750));
        // Lanes with y == 0 take r0 with a zero quotient (table entry 0 is 0).
        _mm512_store_si512(c.base + b, _mm512_mask_mov_epi16(base, yz, r0));
        _mm512_store_si512(c.y2 + b, _mm512_maskz_mov_epi16(~yz, y2));
        _mm512_store_si512(c.x2 + b, _mm512_mask_mov_epi16(x2, yz, one));
    }
}

// The arc-tangent table without a gather. Gathers are slow on the
// processors that have AVX-512 (a sixteen-lane gather costs more than the
// rest of a pixel's front work), so the table value is computed instead:
// one cubic per 128 entries in single precision, in the offset t from the
// middle of its stretch, and rounded to the nearest integer; the cubic's
// integer part is kept apart so that the rounding works on a small value.
// The cubics interpolate the arc tangent at the Chebyshev nodes of their
// stretch (error below 2e-6 table units), the table values lie at least
// 2.5e-4 from a rounding boundary, and every one of the 4096 indices is
// checked against the table before the cubics are used at all: should one
// differ, the gather is used instead.
struct AtanCubics {
    alignas(64) float c3[32];
    alignas(64) float c2[32];
    alignas(64) float c1[32];
    alignas(64) float c0[32];     // fractional part of the constant term
    alignas(64) int32_t c0i[32];  // integer part
    bool ok = false;
};

struct AtanRegs {
    __m512 c3a, c3b, c2a, c2b, c1a, c1b, c0a, c0b;
    __m512i ia, ib;
};

TARVO_AVX512 inline AtanRegs atan_regs(const AtanCubics &a) {
    return {_mm512_load_ps(a.c3),         _mm512_load_ps(a.c3 + 16), _mm512_load_ps(a.c2),
            _mm512_load_ps(a.c2 + 16),    _mm512_load_ps(a.c1),      _mm512_load_ps(a.c1 + 16),
            _mm512_load_ps(a.c0),         _mm512_load_ps(a.c0 + 16), _mm512_load_si512(a.c0i),
            _mm512_load_si512(a.c0i + 16)};
}

// Table values of sixteen indices 0..4095.
TARVO_AVX512 inline __m512i atan_cubic(const AtanRegs &r, __m512i q) {
    const __m512i s = _mm512_srli_epi32(q, 7);
    const __m512 t = _mm512_sub_ps(_mm512_cvtepi32_ps(_mm512_and_si512(q, _mm512_set1_epi32(127))),
                                   _mm512_set1_ps(63.5f));
    __m512 f = _mm512_permutex2var_ps(r.c3a, s, r.c3b);
    f = _mm512_fmadd_ps(f, t, _mm512_permutex2var_ps(r.c2a, s, r.c2b));
    f = _mm512_fmadd_ps(f, t, _mm512_permutex2var_ps(r.c1a, s, r.c1b));
    f = _mm512_fmadd_ps(f, t, _mm512_permutex2var_ps(r.c0a, s, r.c0b));
    return _mm512_add_epi32(
        _mm512_cvt_roundps_epi32(f, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC),
        _mm512_permutex2var_epi32(r.ia, s, r.ib));
}

TARVO_AVX512 bool atan_cubics_match(const AtanCubics &a) {
    const uint16_t *tab = atan2_table();
    const AtanRegs r = atan_regs(a);
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int q = 0; q < 4096; q += 16) {
        const __m512i want =
            _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(tab + q)));
        if (_mm512_cmpneq_epi32_mask(atan_cubic(r, _mm512_add_epi32(_mm512_set1_epi32(q), lane)),
                                     want))
            return false;
    }
    return true;
}

AtanCubics make_atan_cubics() {
    AtanCubics a;
    for (int s = 0; s < 32; ++s) {
        // Interpolation at four Chebyshev nodes of the stretch: a 4 x 4
        // system in the monomials of t, solved by elimination.
        double A[4][5];
        for (int k = 0; k < 4; ++k) {
            const double t = 63.5 * std::cos((2 * k + 1) * M_PI / 8);
            double p = 1;
            for (int j = 0; j < 4; ++j, p *= t) A[k][j] = p;
            A[k][4] = std::atan((s * 128 + 63.5 + t) / 4095.0) * 15000.0 / M_PI;
        }
        for (int i = 0; i < 4; ++i) {
            int piv = i;
            for (int r = i + 1; r < 4; ++r)
                if (std::fabs(A[r][i]) > std::fabs(A[piv][i])) piv = r;
            for (int j = 0; j < 5; ++j) std::swap(A[i][j], A[piv][j]);
            for (int r = 0; r < 4; ++r) {
                if (r == i) continue;
                const double m = A[r][i] / A[i][i];
                for (int j = 0; j < 5; ++j) A[r][j] -= m * A[i][j];
            }
        }
        const double c0 = A[0][4] / A[0][0];
        a.c0i[s] = static_cast<int32_t>(std::lround(c0));
        a.c0[s] = static_cast<float>(c0 - a.c0i[s]);
        a.c1[s] = static_cast<float>(A[1][4] / A[1][1]);
        a.c2[s] = static_cast<float>(A[2][4] / A[2][2]);
        a.c3[s] = static_cast<float>(A[3][4] / A[3][3]);
    }
    a.ok = atan_cubics_match(a);
    return a;
}

const AtanCubics &atan_cubics() {
    static const AtanCubics a = make_atan_cubics();
    return a;
}

// Front, second pass: the table index, the table value and the half turn,
// (atan2_lut + 315000) mod 30000; codes where the first pass set them.
template <bool Cubic>
TARVO_AVX512 void front_phase(const Consts &k, int n, Chunk &c) {
    const int32_t *const tab = k.atan32;
    const AtanRegs cubic = atan_regs(atan_cubics());
    const __m512 scale = _mm512_set1_ps(4096.0f);
    // Word 2i of the two gathered vectors: the low halves of their 32-bit lanes.
    const __m512i evens =
        _mm512_set_epi16(62, 60, 58, 56, 54, 52, 50, 48, 46, 44, 42, 40, 38, 36, 34, 32, 30, 28, 26,
                         24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
    for (int b = 0; b < n; b += 32) {
        // (y2 * 4096) / x2 exactly from one single-precision division: both
        // operands are exact, and a quotient just below an integer n is at
        // least 1/x2 >= 1/8190 away from it, more than half an ulp below
        // 4096 (1/8192), so rounding never lifts it to n and truncation is
        // exact.
        __m512i t[2];
        for (int h = 0; h < 2; ++h) {
            const __m512 yv =
                _mm512_mul_ps(_mm512_cvtepi32_ps(load16_u16(c.y2 + b + 16 * h)), scale);
            const __m512 xv = _mm512_cvtepi32_ps(load16_u16(c.x2 + b + 16 * h));
            const __m512i q = _mm512_cvttps_epi32(_mm512_div_ps(yv, xv));
            if constexpr (Cubic)
                t[h] = atan_cubic(cubic, q);
            else
                t[h] = _mm512_i32gather_epi32(q, tab, 4);
        }
        // Table values stay below 3751 and base + value + 15000 below
        // 45001: unsigned 16-bit from here.
        __m512i res =
            _mm512_add_epi16(_mm512_add_epi16(_mm512_load_si512(c.base + b),
                                              _mm512_permutex2var_epi16(t[0], evens, t[1])),
                             _mm512_set1_epi16(15000));
        const __m512i turn = _mm512_set1_epi16(30000);
        res = _mm512_mask_sub_epi16(res, _mm512_cmpge_epu16_mask(res, turn), res, turn);
        res = _mm512_mask_mov_epi16(res, c.low[b / 32], _mm512_set1_epi16(-1));
        res = _mm512_mask_mov_epi16(res, c.sat[b / 32], _mm512_set1_epi16(-2));
        _mm512_store_si512(c.phase + b, res);
    }
}

// Back, without table correction: phase or code to the output.
template <int Mode>
TARVO_AVX512 void back_plain(const Consts &k, int out0, int n, const Chunk &c) {
    if constexpr (Mode == 0) {
        uint16_t *const dst = static_cast<uint16_t *>(k.dst) + out0;
        for (int b = 0; b < n; b += 32) {
            __m512i x = _mm512_load_si512(c.phase + b);
            x = _mm512_mask_mov_epi16(
                x, _mm512_cmpeq_epi16_mask(x, _mm512_set1_epi16(-1)),
                _mm512_set1_epi16(static_cast<int16_t>(EPC_CODE_LOW_AMPLITUDE)));
            x = _mm512_mask_mov_epi16(x, _mm512_cmpeq_epi16_mask(x, _mm512_set1_epi16(-2)),
                                      _mm512_set1_epi16(static_cast<int16_t>(EPC_CODE_SATURATED)));
            _mm512_storeu_si512(dst + b, x);
        }
    } else {
        float *const dst = static_cast<float *>(k.dst) + out0;
        const __m512 K = _mm512_set1_ps(k.K);
        for (int b = 0; b < n; b += 16) {
            const __m512i x = _mm512_cvtepi16_epi32(
                _mm256_load_si256(reinterpret_cast<const __m256i *>(c.phase + b)));
            __m512 f =
                _mm512_div_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(x), K), _mm512_set1_ps(30000.0f));
            f = _mm512_mask_mov_ps(f, _mm512_cmpeq_epi32_mask(x, _mm512_set1_epi32(-1)),
                                   _mm512_set1_ps(k_code_low_amplitude_f));
            f = _mm512_mask_mov_ps(f, _mm512_cmpeq_epi32_mask(x, _mm512_set1_epi32(-2)),
                                   _mm512_set1_ps(k_code_saturated_f));
            _mm512_storeu_ps(dst + b, f);
        }
    }
}

// Back with table correction, first pass: the temperature-corrected phase,
// the span checks and the segment index L.
TARVO_AVX512 void back_segment(const Consts &k, int out0, int n, Chunk &c) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512 m = _mm512_set1_ps(k.m);
    const __m512 Nf = _mm512_set1_ps(k.Nf);
    const __m512 last = _mm512_set1_ps(k.last_seg);
    for (int b = 0; b < n; b += 16) {
        const int out = out0 + b;
        const __m512i x = _mm512_cvtepi16_epi32(
            _mm256_load_si256(reinterpret_cast<const __m256i *>(c.phase + b)));
        const __m512 diff = _mm512_sub_ps(_mm512_cvtepi32_ps(_mm512_max_epi32(x, zero)), m);
        const __m512i mnv = load16_u16(k.mn + out);
        const __m512i mxv = load16_u16(k.mx + out);
        const __m512 mnf = _mm512_cvtepi32_ps(mnv);
        const __mmask16 below = _mm512_cmp_ps_mask(mnf, diff, _CMP_GE_OQ);
        const __mmask16 above = _mm512_cmp_ps_mask(diff, _mm512_cvtepi32_ps(mxv), _CMP_GE_OQ);
        __m512 q = _mm512_div_ps(_mm512_mul_ps(_mm512_sub_ps(diff, mnf), Nf),
                                 _mm512_cvtepi32_ps(_mm512_sub_epi32(mxv, mnv)));
        q = _mm512_max_ps(_mm512_min_ps(q, last), _mm512_setzero_ps());
        _mm512_store_si512(c.seg + b, _mm512_cvttps_epi32(q));
        _mm512_store_ps(c.num + b, diff);
        // Codes by priority: those of the front, below the span, above it.
        __m512i code = _mm512_maskz_mov_epi32(above, _mm512_set1_epi32(EPC_CODE_SATURATED));
        code = _mm512_mask_mov_epi32(code, below, _mm512_set1_epi32(EPC_CODE_LOW_AMPLITUDE));
        code = _mm512_mask_mov_epi32(code, _mm512_cmpeq_epi32_mask(x, _mm512_set1_epi32(-1)),
                                     _mm512_set1_epi32(EPC_CODE_LOW_AMPLITUDE));
        code = _mm512_mask_mov_epi32(code, _mm512_cmpeq_epi32_mask(x, _mm512_set1_epi32(-2)),
                                     _mm512_set1_epi32(EPC_CODE_SATURATED));
        _mm512_store_si512(c.code + b, code);
    }
}

// Back with table correction, second pass: the segment's two entries M and
// M1; stores (diff - M) x l and M1 - M.
TARVO_AVX512 void back_entries(const Consts &k, int out0, int n, Chunk &c) {
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i two = _mm512_set1_epi32(2);
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i m16 = _mm512_set1_epi32(0xFFFF);
    const __m512 lv = _mm512_set1_ps(k.l);
    const uint16_t *const steps = k.steps;
    const size_t S = static_cast<size_t>(k.stride);
    const size_t top = static_cast<size_t>(k_max_distances - 1);
    for (int b = 0; b < n; b += 16) {
        const int out = out0 + b;
        const __m512i L = _mm512_load_si512(c.seg + b);
        __m512i M, M1;
        const int L0 = c.seg[b];
        const __m512i dl = _mm512_sub_epi32(L, _mm512_set1_epi32(L0));
        // Neighbouring pixels mostly share a segment or sit in the next
        // one: when every lane is within one segment of lane 0, plain loads
        // of the step-major rows around L0 replace the gathers.
        if (steps && _mm512_cmpgt_epu32_mask(_mm512_add_epi32(dl, one), two) == 0) {
            const uint16_t *row = steps + out;
            const size_t l0 = static_cast<size_t>(L0);
            const __m512i rm = load16_u16(row + (l0 ? l0 - 1 : 0) * S);
            const __m512i r0 = load16_u16(row + l0 * S);
            const __m512i r1 = load16_u16(row + std::min(l0 + 1, top) * S);
            const __m512i r2 = load16_u16(row + std::min(l0 + 2, top) * S);
            const __mmask16 lt = _mm512_movepi32_mask(dl);
            const __mmask16 gt = _mm512_cmpgt_epi32_mask(dl, _mm512_setzero_si512());
            M = _mm512_mask_mov_epi32(_mm512_mask_mov_epi32(r0, lt, rm), gt, r1);
            M1 = _mm512_mask_mov_epi32(_mm512_mask_mov_epi32(r1, lt, r0), gt, r2);
        } else if (steps) {
            const __m512i idx = _mm512_add_epi32(_mm512_mullo_epi32(L, _mm512_set1_epi32(k.stride)),
                                                 _mm512_add_epi32(_mm512_set1_epi32(out), lane));
            M = _mm512_and_si512(_mm512_i32gather_epi32(idx, steps, 2), m16);
            M1 = _mm512_and_si512(_mm512_i32gather_epi32(
                                      _mm512_add_epi32(idx, _mm512_set1_epi32(k.stride)), steps, 2),
                                  m16);
        } else {
            const __m512i idx =
                _mm512_add_epi32(_mm512_mullo_epi32(_mm512_add_epi32(_mm512_set1_epi32(out), lane),
                                                    _mm512_set1_epi32(k.N)),
                                 L);
            const __m512i pair = _mm512_i32gather_epi32(idx, k.table, 2);
            M = _mm512_and_si512(pair, m16);
            M1 = _mm512_srli_epi32(pair, 16);
        }
        const __m512 diff = _mm512_load_ps(c.num + b);
        _mm512_store_ps(c.num + b, _mm512_mul_ps(_mm512_sub_ps(diff, _mm512_cvtepi32_ps(M)), lv));
        _mm512_store_ps(c.den + b, _mm512_cvtepi32_ps(_mm512_sub_epi32(M1, M)));
    }
}

// Back with table correction, last pass: the interpolated phase, rounded,
// with the offset, to the output.
template <int Mode>
TARVO_AVX512 void back_interpolate(const Consts &k, int out0, int n, const Chunk &c) {
    const __m512 lv = _mm512_set1_ps(k.l);
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512i o = _mm512_set1_epi32(k.o);
    const __m512i sat = _mm512_set1_epi32(EPC_CODE_SATURATED);
    const __m512 K = _mm512_set1_ps(k.K);
    for (int b = 0; b < n; b += 16) {
        const int out = out0 + b;
        const __m512 sum =
            _mm512_add_ps(_mm512_div_ps(_mm512_load_ps(c.num + b), _mm512_load_ps(c.den + b)),
                          _mm512_mul_ps(lv, _mm512_cvtepi32_ps(_mm512_load_si512(c.seg + b))));
        const __m256i tlo =
            _mm512_cvttpd_epi32(_mm512_add_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(sum)), half));
        const __m256i thi = _mm512_cvttpd_epi32(
            _mm512_add_pd(_mm512_cvtps_pd(_mm512_extractf32x8_ps(sum, 1)), half));
        const __m512i t = _mm512_inserti64x4(_mm512_castsi256_si512(tlo), thi, 1);
        // Out of the 32-bit range or not a number: the conversion gives
        // 0x80000000, which no in-range sum + 0.5 can give. Such a phase
        // cannot be placed (a flat segment or absurd constants).
        const __mmask16 bad = _mm512_cmpeq_epi32_mask(t, _mm512_set1_epi32(INT32_MIN));
        __m512i code = _mm512_load_si512(c.code + b);
        const __mmask16 is_code = _mm512_test_epi32_mask(code, code);
        code = _mm512_mask_mov_epi32(code, bad & ~is_code, sat);
        const __mmask16 coded = is_code | bad;
        const __m512i E = _mm512_add_epi32(o, t);
        if constexpr (Mode == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(static_cast<uint16_t *>(k.dst) + out),
                                _mm512_cvtepi32_epi16(_mm512_mask_mov_epi32(E, coded, code)));
        } else {
            const __m512i E16 = _mm512_and_si512(E, _mm512_set1_epi32(0xFFFF));
            __m512 f =
                _mm512_div_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(E16), K), _mm512_set1_ps(30000.0f));
            const __m512 fcode = _mm512_mask_blend_ps(_mm512_cmpeq_epi32_mask(code, sat),
                                                      _mm512_set1_ps(k_code_low_amplitude_f),
                                                      _mm512_set1_ps(k_code_saturated_f));
            _mm512_storeu_ps(static_cast<float *>(k.dst) + out,
                             _mm512_mask_mov_ps(f, coded, fcode));
        }
    }
}

template <int Mode, bool Drnu>
TARVO_AVX512 void rows_avx512(const KernelPass &kp, bool cubic_atan) {
    Consts k{kp.src,      kp.hyst, kp.plane, kp.C,      kp.upper, kp.lower,
             kp.atan32,   kp.dst,  kp.K,     kp.m,      kp.l,     static_cast<float>(kp.N),
             kp.last_seg, kp.o,    kp.N,     kp.stride, kp.mn,    kp.mx,
             kp.steps,    kp.table};
    Chunk c;
    const bool cubic = cubic_atan && atan_cubics().ok;
    const int vec_end = k.C & ~31;
    for (int i = 0; i < kp.R; ++i) {
        const int orow = output_row(i, kp.R);
        for (int j0 = 0; j0 < vec_end; j0 += k_chunk) {
            const int j1 = std::min(j0 + k_chunk, vec_end);
            const int n = j1 - j0, out0 = orow * k.C + j0;
            front_reduce(k, i, j0, j1, c);
            if (cubic)
                front_phase<true>(k, n, c);
            else
                front_phase<false>(k, n, c);
            if constexpr (Drnu) {
                back_segment(k, out0, n, c);
                back_entries(k, out0, n, c);
                back_interpolate<Mode>(k, out0, n, c);
            } else {
                back_plain<Mode>(k, out0, n, c);
            }
        }
        if (vec_end < k.C) run_portable_pixels(kp, i, vec_end);
    }
}

}  // namespace

bool kernel_avx512_cubic_atan() {
    return kernel_avx512_available() && atan_cubics().ok;
}

bool kernel_avx512_available() {
    static const bool ok =
        platform::cpu_has_avx512() && TARVO_CPU_HAS("bmi2") && TARVO_CPU_HAS("avx2");
    return ok;
}

bool run_avx512(const KernelPass &k, bool cubic_atan) {
    switch (k.mode) {
        case 0:
            if (k.drnu)
                rows_avx512<0, true>(k, cubic_atan);
            else
                rows_avx512<0, false>(k, cubic_atan);
            return true;
        case 2:
            if (k.drnu)
                rows_avx512<2, true>(k, cubic_atan);
            else
                rows_avx512<2, false>(k, cubic_atan);
            return true;
        default:
            return false;  // the amplitude modes stay on the AVX2 path
    }
}

}  // namespace tarvo::epc

#else

namespace tarvo::epc {
bool kernel_avx512_cubic_atan() {
    return kernel_avx512_available() && atan_cubics().ok;
}

bool kernel_avx512_available() {
    return false;
}
bool run_avx512(const KernelPass &k, bool cubic_atan) {
    (void)k;
    (void)cubic_atan;
    return false;
}
}  // namespace tarvo::epc

#endif
