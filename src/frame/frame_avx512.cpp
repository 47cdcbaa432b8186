// The AVX-512 paths of the point clouds and the colour-mapped pictures:
// sixteen pixels at a time. Every value is formed as in the portable loops
// (pcl.cpp, cmap_float.cpp, tq_cmap_get_color in cmap.cpp): products and
// quotients of the point cloud in double, rounded to single where they
// are; the colour index from the single-precision offset times the scale
// in double, truncated; no fused multiply-add. Valid points are packed
// with a compress, so they keep their order.
// No fused multiply-add (the build also passes -ffp-contract=off); before
// the includes, so that the shared arithmetic in frame_vec.h is parsed
// under it too.
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

#include <climits>
#include <cstdint>
#include <cstdlib>

#include "frame/frame_vec.h"
#include "platform/cpu.h"
#include "tarvo/tarvo_frame.h"

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#include <immintrin.h>

#define TARVO_AVX512 \
    __attribute__((target("avx2,popcnt,avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi")))

namespace tarvo::frame_vec::avx512 {
namespace {

// trunc(float offset x scale) of eight lanes, clamped to [0, size]: the
// truncation only matters below 1 (index size: the last entry) and from
// size on (index 0 or less: the first); max gives 0 for a NaN, as the
// portable look-up takes a NaN product as 0.
TARVO_AVX512 inline __m256i trunc8(__m256 f, __m512d scale, __m512d size) {
    const __m512d s = _mm512_mul_pd(_mm512_cvtps_pd(f), scale);
    return _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(s, _mm512_setzero_pd()), size));
}

// The millimetres of sixteen distances in metres: cmap_mm::from_metres
// with NaN as the low-amplitude code, lane by lane.
TARVO_AVX512 inline __m512i millimetres16(__m512 metres) {
    const __m512 mm = _mm512_mul_ps(metres, _mm512_set1_ps(1000.0f));
    const __mmask16 nan = _mm512_cmp_ps_mask(mm, mm, _CMP_UNORD_Q);
    const __mmask16 big = _mm512_cmp_ps_mask(mm, _mm512_set1_ps(2147483648.0f), _CMP_GE_OQ);
    // Below -2^31 the conversion gives INT_MIN, as from_metres does.
    __m512i v = _mm512_cvttps_epi32(mm);
    v = _mm512_mask_blend_epi32(big, v, _mm512_set1_epi32(INT_MAX));
    return _mm512_mask_blend_epi32(nan, v, _mm512_set1_epi32(TQ_DIST_LOW_AMP));
}

// The invalid codes' own colours over the colours c of values v.
TARVO_AVX512 inline __m512i code_colours(__m512i v, __m512i c) {
    c = _mm512_mask_blend_epi32(_mm512_cmpeq_epi32_mask(v, _mm512_set1_epi32(TQ_DIST_LOW_AMP)), c,
                                _mm512_setzero_si512());
    c = _mm512_mask_blend_epi32(_mm512_cmpeq_epi32_mask(v, _mm512_set1_epi32(TQ_DIST_SATURATED)), c,
                                _mm512_set1_epi32(0x8000FF));
    return _mm512_mask_blend_epi32(
        _mm512_cmpeq_epi32_mask(v, _mm512_set1_epi32(TQ_DIST_ADC_OVERFLOW)), c,
        _mm512_set1_epi32(0xFF0EA9));
}

// tq_cmap_get_color of sixteen values, from the palette.
TARVO_AVX512 inline __m512i palette_colours16(const CmapView &m, __m512i v) {
    const __m512i lo = _mm512_set1_epi32(m.range_min);
    const __mmask16 in =
        _mm512_cmpge_epi32_mask(v, lo) & _mm512_cmple_epi32_mask(v, _mm512_set1_epi32(m.range_max));
    // value - range_min lies in [0, 2^32) inside the range: exact as
    // unsigned 32 bits, converted to single precision as the int64 is.
    const __m512 off = _mm512_cvtepu32_ps(_mm512_sub_epi32(v, lo));
    const __m512d scale = _mm512_set1_pd(static_cast<double>(m.color_scale));
    const __m512d size = _mm512_set1_pd(static_cast<double>(m.size));
    const __m256i t0 = trunc8(_mm512_castps512_ps256(off), scale, size);
    const __m256i t1 = trunc8(_mm512_extractf32x8_ps(off, 1), scale, size);
    const __m512i t = _mm512_inserti64x4(_mm512_castsi256_si512(t0), t1, 1);
    const __m512i last = _mm512_set1_epi32(m.size - 1);
    const __m512i index = _mm512_min_epi32(_mm512_sub_epi32(_mm512_set1_epi32(m.size), t), last);
    return code_colours(
        v, _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), in, index, m.palette, 4));
}

// Colours of sixteen distances in metres: tq_cmap_get_color of
// cmap_mm::from_metres(metres, TQ_DIST_LOW_AMP), lane by lane; from the
// view's millimetre table when it has one (its entries already hold the
// codes' colours that fall inside the range).
TARVO_AVX512 inline __m512i colours16(const CmapView &m, __m512 metres) {
    const __m512i v = millimetres16(metres);
    if (!m.by_mm) return palette_colours16(m, v);
    const __m512i lo = _mm512_set1_epi32(m.range_min);
    const __mmask16 in =
        _mm512_cmpge_epi32_mask(v, lo) & _mm512_cmple_epi32_mask(v, _mm512_set1_epi32(m.range_max));
    return code_colours(v, _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), in,
                                                       _mm512_sub_epi32(v, lo), m.by_mm, 4));
}

}  // namespace

TARVO_AVX512 void fill_mm_table(const CmapView &m, uint32_t *table, int64_t entries) {
    const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int64_t j = 0; j < entries; j += 16) {
        const int64_t left = entries - j;
        const __mmask16 k =
            left >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << left) - 1u);
        // range_min + j stays at most range_max inside the mask.
        const __m512i v =
            _mm512_add_epi32(_mm512_set1_epi32(static_cast<int32_t>(m.range_min + j)), iota);
        _mm512_mask_storeu_epi32(table + j, k, palette_colours16(m, v));
    }
}

namespace {

// Byte picks that turn sixteen packed colours 0x00BBGGRR into 48 bytes of
// R, G, B (or B, G, R).
struct BytePicks {
    alignas(64) uint8_t rgb[64], bgr[64];
    BytePicks() {
        for (int j = 0; j < 64; ++j) {
            const int p = j < 48 ? j / 3 : 0, b = j < 48 ? j % 3 : 0;
            rgb[j] = static_cast<uint8_t>(4 * p + b);
            bgr[j] = static_cast<uint8_t>(4 * p + 2 - b);
        }
    }
};

// Lane picks that interleave sixteen points' components: stride 3 from
// x, y, z in two steps (x with y, then with z); stride 4 in two steps
// (x with y and z with w, then the two).
struct LanePicks {
    alignas(64) int32_t s3a[3][16], s3b[3][16];
    alignas(64) int32_t s4a[4][16], s4b[4][16], s4c[4][16];
    LanePicks() {
        for (int m = 0; m < 3; ++m)
            for (int e = 0; e < 16; ++e) {
                const int g = 16 * m + e, p = g / 3, c = g % 3;
                s3a[m][e] = c == 0 ? p : (c == 1 ? 16 + p : 0);
                s3b[m][e] = c < 2 ? e : 16 + p;
            }
        for (int m = 0; m < 4; ++m)
            for (int e = 0; e < 16; ++e) {
                const int p = 4 * m + e / 4, c = e % 4;
                s4a[m][e] = c == 0 ? p : (c == 1 ? 16 + p : 0);
                s4b[m][e] = c == 2 ? p : (c == 3 ? 16 + p : 0);
                s4c[m][e] = c < 2 ? e : 16 + e;
            }
    }
};

const BytePicks &byte_picks() {
    static const BytePicks p;
    return p;
}
const LanePicks &lane_picks() {
    static const LanePicks p;
    return p;
}

TARVO_AVX512 inline __m512i load_i32(const int32_t *p) {
    return _mm512_load_si512(reinterpret_cast<const void *>(p));
}

// Stores the first k floats (0 < k <= 16 m) of the m vectors v: whole
// vectors with plain stores (masked stores across cache lines cost more
// than the whole interleave), the rest with a masked one.
TARVO_AVX512 inline void store_points(float *p, const __m512 *v, int k) {
    const int full = k / 16, rem = k % 16;
    for (int m = 0; m < full; ++m) _mm512_storeu_ps(p + 16 * m, v[m]);
    if (rem)
        _mm512_mask_storeu_ps(p + 16 * full, static_cast<__mmask16>((1u << rem) - 1u), v[full]);
}

TARVO_AVX512 inline __m512 join(__m256 lo, __m256 hi) {
    return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
}

// The points of sixteen pixels, interleaved: S vectors of x, y, z (and w
// for S = 4) of the valid pixels packed, cnt of them.
template <int S>
struct Group {
    __m512 v[S];
    int cnt;
};

template <int S>
TARVO_AVX512 inline Group<S> group16(const PclRow &r, int u, const LanePicks &lp) {
    const __m512 d = _mm512_loadu_ps(r.dist + u);
    // d > 0 and d < 60, both false for a NaN.
    const __mmask16 valid = _mm512_cmp_ps_mask(d, _mm512_setzero_ps(), _CMP_GT_OQ) &
                            _mm512_cmp_ps_mask(d, _mm512_set1_ps(60.0f), _CMP_LT_OQ);
    Group<S> g;
    g.cnt = __builtin_popcount(valid);
    const __m512 ds =
        _mm512_maskz_compress_ps(valid, _mm512_mul_ps(d, _mm512_set1_ps(r.dist_scale)));
    const __m512 du = _mm512_maskz_compress_ps(valid, _mm512_loadu_ps(r.du + u));
    __m256 x0, y0, r0, x1, y1, r1;
    point_xyr<__m512d>(_mm512_castps512_ps256(ds), _mm512_castps512_ps256(du), r, x0, y0, r0);
    point_xyr<__m512d>(_mm512_extractf32x8_ps(ds, 1), _mm512_extractf32x8_ps(du, 1), r, x1, y1, r1);
    const __m512 x = join(x0, x1), y = join(y0, y1);
    const __m512 z = _mm512_sqrt_ps(join(r0, r1));
    if constexpr (S == 3) {
        for (int m = 0; m < 3; ++m) {
            const __m512 xy = _mm512_permutex2var_ps(x, load_i32(lp.s3a[m]), y);
            g.v[m] = _mm512_permutex2var_ps(xy, load_i32(lp.s3b[m]), z);
        }
    } else {
        const __m512 w = r.colours ? _mm512_cvtepu32_ps(colours16(*r.colours, ds)) : ds;
        for (int m = 0; m < 4; ++m) {
            const __m512 xy = _mm512_permutex2var_ps(x, load_i32(lp.s4a[m]), y);
            const __m512 zw = _mm512_permutex2var_ps(z, load_i32(lp.s4b[m]), w);
            g.v[m] = _mm512_permutex2var_ps(xy, load_i32(lp.s4c[m]), zw);
        }
    }
    return g;
}

// Groups of sixteen pixels while room for sixteen more points is left: the
// portable loop would visit (and read) every pixel of the group and pass
// every room check in it. Plain clouds take two groups at a time while room
// for 32 is left, so that one group's arithmetic overlaps the other's (four
// components would run out of registers).
template <int S>
TARVO_AVX512 int pcl_avx512(const PclRow &r, int u, float *pcl, int64_t &n, int64_t pcl_len) {
    const LanePicks &lp = lane_picks();
    for (; S == 3 && u + 32 <= r.w && S * (n + 32) + S - 1 < pcl_len; u += 32) {
        const Group<S> g0 = group16<S>(r, u, lp), g1 = group16<S>(r, u + 16, lp);
        store_points(pcl + S * n, g0.v, S * g0.cnt);
        n += g0.cnt;
        store_points(pcl + S * n, g1.v, S * g1.cnt);
        n += g1.cnt;
    }
    for (; u + 16 <= r.w && S * (n + 16) + S - 1 < pcl_len; u += 16) {
        const Group<S> g = group16<S>(r, u, lp);
        store_points(pcl + S * n, g.v, S * g.cnt);
        n += g.cnt;
    }
    return u;
}

}  // namespace

TARVO_AVX512 int cmap_pixels(const CmapView &m, const float *src, int n, int outfmt, uint8_t *dst) {
    const BytePicks &bp = byte_picks();
    const __m512i pick = _mm512_load_si512(outfmt == TARVO_CMAP_OUTFMT_BGR ? bp.bgr : bp.rgb);
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i c = colours16(m, _mm512_loadu_ps(src + i));
        if (outfmt == TARVO_CMAP_OUTFMT_RGB32)
            _mm512_storeu_si512(dst + 4 * static_cast<size_t>(i), c);
        else
            _mm512_mask_storeu_epi8(dst + 3 * static_cast<size_t>(i), 0x0000FFFFFFFFFFFFull,
                                    _mm512_permutexvar_epi8(pick, c));
    }
    return i;
}

TARVO_AVX512 int pcl_pixels(const PclRow &row, int u, int stride, float *pcl, int64_t &n,
                            int64_t pcl_len) {
    return stride == 3 ? pcl_avx512<3>(row, u, pcl, n, pcl_len)
                       : pcl_avx512<4>(row, u, pcl, n, pcl_len);
}

bool cpu_ok() {
    static const bool ok =
        platform::cpu_has_avx512() && TARVO_CPU_HAS("avx512vbmi") && TARVO_CPU_HAS("popcnt");
    return ok;
}

}  // namespace tarvo::frame_vec::avx512

#endif
