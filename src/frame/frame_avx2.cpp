// The AVX2 paths of the point clouds and the colour-mapped pictures: eight
// pixels at a time, with the same operations as the portable loops and the
// AVX-512 paths (see frame_vec.h). Valid points are packed with a
// permutation looked up by the mask of valid pixels, so they keep their
// order; a point goes out as one 16-byte store of x, y, z, w (for plain
// clouds the fourth float is overwritten by the next point, and the
// group's last point is stored float by float).
// No fused multiply-add (the build also passes -ffp-contract=off); before
// the includes, so that the shared arithmetic in frame_vec.h is parsed
// under it too.
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

#include <climits>
#include <cstdint>

#include "frame/frame_vec.h"
#include "tarvo/tarvo_frame.h"

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#include <immintrin.h>

#define TARVO_AVX2 __attribute__((target("avx2,popcnt")))

namespace tarvo::frame_vec::avx2 {
namespace {

// cmap_mm::from_metres(metres, TQ_DIST_LOW_AMP) of eight lanes.
TARVO_AVX2 inline __m256i millimetres8(__m256 metres) {
    const __m256 mm = _mm256_mul_ps(metres, _mm256_set1_ps(1000.0f));
    const __m256 nan = _mm256_cmp_ps(mm, mm, _CMP_UNORD_Q);
    const __m256 big = _mm256_cmp_ps(mm, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ);
    // NaN and values out of range convert to INT_MIN, right below -2^31.
    __m256i v = _mm256_cvttps_epi32(mm);
    v = _mm256_blendv_epi8(v, _mm256_set1_epi32(INT_MAX), _mm256_castps_si256(big));
    return _mm256_blendv_epi8(v, _mm256_set1_epi32(TQ_DIST_LOW_AMP), _mm256_castps_si256(nan));
}

TARVO_AVX2 inline __m256i in_range(const CmapView &m, __m256i v) {
    const __m256i below = _mm256_cmpgt_epi32(_mm256_set1_epi32(m.range_min), v);
    const __m256i above = _mm256_cmpgt_epi32(v, _mm256_set1_epi32(m.range_max));
    return _mm256_andnot_si256(_mm256_or_si256(below, above), _mm256_set1_epi32(-1));
}

TARVO_AVX2 inline __m256i code_colour(__m256i v, __m256i c, int value, int colour) {
    return _mm256_blendv_epi8(c, _mm256_set1_epi32(colour),
                              _mm256_cmpeq_epi32(v, _mm256_set1_epi32(value)));
}

// The invalid codes' own colours over the colours c of values v.
TARVO_AVX2 inline __m256i code_colours(__m256i v, __m256i c) {
    c = code_colour(v, c, TQ_DIST_LOW_AMP, 0);
    c = code_colour(v, c, TQ_DIST_SATURATED, 0x8000FF);
    return code_colour(v, c, TQ_DIST_ADC_OVERFLOW, 0xFF0EA9);
}

// trunc(float offset x scale) of four lanes, clamped to [0, size] (a NaN
// product to 0), as in the AVX-512 path.
TARVO_AVX2 inline __m128i trunc4(__m128 f, __m256d scale, __m256d size) {
    const __m256d s = _mm256_mul_pd(_mm256_cvtps_pd(f), scale);
    return _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(s, _mm256_setzero_pd()), size));
}

// tq_cmap_get_color of eight values, from the palette.
TARVO_AVX2 inline __m256i palette_colours8(const CmapView &m, __m256i v) {
    const __m256i in = in_range(m, v);
    // value - range_min in [0, 2^32) inside the range, converted to single
    // precision with one rounding: both 16-bit halves convert exactly.
    const __m256i off = _mm256_sub_epi32(v, _mm256_set1_epi32(m.range_min));
    const __m256 off_f = _mm256_add_ps(
        _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(off, 16)), _mm256_set1_ps(65536.0f)),
        _mm256_cvtepi32_ps(_mm256_and_si256(off, _mm256_set1_epi32(0xFFFF))));
    const __m256d scale = _mm256_set1_pd(static_cast<double>(m.color_scale));
    const __m256d size = _mm256_set1_pd(static_cast<double>(m.size));
    const __m256i t = _mm256_set_m128i(trunc4(_mm256_extractf128_ps(off_f, 1), scale, size),
                                       trunc4(_mm256_castps256_ps128(off_f), scale, size));
    const __m256i index = _mm256_min_epi32(_mm256_sub_epi32(_mm256_set1_epi32(m.size), t),
                                           _mm256_set1_epi32(m.size - 1));
    const auto *pal = reinterpret_cast<const int *>(m.palette);
    return code_colours(v, _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), pal, index, in, 4));
}

// Colours of eight distances in metres, from the view's millimetre table
// when it has one.
TARVO_AVX2 inline __m256i colours8(const CmapView &m, __m256 metres) {
    const __m256i v = millimetres8(metres);
    if (!m.by_mm) return palette_colours8(m, v);
    const auto *table = reinterpret_cast<const int *>(m.by_mm);
    const __m256i at = _mm256_sub_epi32(v, _mm256_set1_epi32(m.range_min));
    return code_colours(
        v, _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), table, at, in_range(m, v), 4));
}

}  // namespace

TARVO_AVX2 int cmap_pixels(const CmapView &m, const float *src, int n, int outfmt, uint8_t *dst) {
    // Packed colours 0x00BBGGRR to R, G, B (or B, G, R) bytes, four pixels
    // per 128-bit lane; the last four bytes of a lane are zero.
    const __m256i rgb = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                         1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i bgr = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                         1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i pick = outfmt == TARVO_CMAP_OUTFMT_BGR ? bgr : rgb;
    // Three-byte pixels go out as two 16-byte stores, the second four bytes
    // past the group: at least two more pixels must follow to overwrite
    // them.
    const int end = outfmt == TARVO_CMAP_OUTFMT_RGB32 ? n : n - 2;
    int i = 0;
    for (; i + 8 <= end; i += 8) {
        const __m256i c = colours8(m, _mm256_loadu_ps(src + i));
        if (outfmt == TARVO_CMAP_OUTFMT_RGB32) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 4 * static_cast<size_t>(i)), c);
        } else {
            const __m256i b = _mm256_shuffle_epi8(c, pick);
            uint8_t *p = dst + 3 * static_cast<size_t>(i);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm256_castsi256_si128(b));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 12), _mm256_extracti128_si256(b, 1));
        }
    }
    return i;
}

namespace {

// For each mask of eight valid pixels, the lanes that pack them: lane k
// takes the k-th valid pixel, four bits per lane.
struct PackPicks {
    uint32_t lanes[256];
    PackPicks() {
        for (int mask = 0; mask < 256; ++mask) {
            uint32_t v = 0;
            int k = 0;
            for (int j = 0; j < 8; ++j)
                if (mask >> j & 1) v |= static_cast<uint32_t>(j) << (4 * k++);
            lanes[mask] = v;
        }
    }
};

const PackPicks &pack_picks() {
    static const PackPicks p;
    return p;
}

template <int S>
TARVO_AVX2 int pcl_avx2(const PclRow &r, int u, float *pcl, int64_t &n, int64_t pcl_len) {
    const PackPicks &pp = pack_picks();
    const __m256i shifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    for (; u + 8 <= r.w && S * (n + 8) + S - 1 < pcl_len; u += 8) {
        const __m256 d = _mm256_loadu_ps(r.dist + u);
        // d > 0 and d < 60, both false for a NaN.
        const int valid =
            _mm256_movemask_ps(_mm256_and_ps(_mm256_cmp_ps(d, _mm256_setzero_ps(), _CMP_GT_OQ),
                                             _mm256_cmp_ps(d, _mm256_set1_ps(60.0f), _CMP_LT_OQ)));
        const int cnt = __builtin_popcount(static_cast<unsigned>(valid));
        if (cnt == 0) continue;
        const __m256i pack = _mm256_and_si256(
            _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(pp.lanes[valid])), shifts),
            _mm256_set1_epi32(7));
        const __m256 ds =
            _mm256_permutevar8x32_ps(_mm256_mul_ps(d, _mm256_set1_ps(r.dist_scale)), pack);
        const __m256 du = _mm256_permutevar8x32_ps(_mm256_loadu_ps(r.du + u), pack);
        // x, y, z and w of points 0-3, then of 4-7.
        __m128 p[8];
        point_xyr<__m256d>(_mm256_castps256_ps128(ds), _mm256_castps256_ps128(du), r, p[0], p[1],
                           p[2]);
        point_xyr<__m256d>(_mm256_extractf128_ps(ds, 1), _mm256_extractf128_ps(du, 1), r, p[4],
                           p[5], p[6]);
        p[2] = _mm_sqrt_ps(p[2]);
        p[6] = _mm_sqrt_ps(p[6]);
        p[3] = p[7] = _mm_setzero_ps();
        if (S == 4) {
            const __m256 w = r.colours ? _mm256_cvtepi32_ps(colours8(*r.colours, ds)) : ds;
            p[3] = _mm256_castps256_ps128(w);
            p[7] = _mm256_extractf128_ps(w, 1);
        }
        // Points 0-3 and 4-7, each as x, y, z, w.
        _MM_TRANSPOSE4_PS(p[0], p[1], p[2], p[3]);
        _MM_TRANSPOSE4_PS(p[4], p[5], p[6], p[7]);
        float *out = pcl + S * n;
        const int whole = S == 4 ? cnt : cnt - 1;
        for (int k = 0; k < whole; ++k) _mm_storeu_ps(out + S * k, p[k]);
        if (S == 3) {
            float *last = out + 3 * (cnt - 1);
            _mm_storel_pi(reinterpret_cast<__m64 *>(last), p[cnt - 1]);
            _mm_store_ss(last + 2, _mm_movehl_ps(p[cnt - 1], p[cnt - 1]));
        }
        n += cnt;
    }
    return u;
}

}  // namespace

TARVO_AVX2 void fill_mm_table(const CmapView &m, uint32_t *table, int64_t entries) {
    const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (int64_t j = 0; j < entries; j += 8) {
        const __m256i left = _mm256_set1_epi32(static_cast<int>(entries - j < 8 ? entries - j : 8));
        // range_min + j stays at most range_max inside the mask.
        const __m256i v =
            _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(m.range_min + j)), iota);
        _mm256_maskstore_epi32(reinterpret_cast<int *>(table + j), _mm256_cmpgt_epi32(left, iota),
                               palette_colours8(m, v));
    }
}

TARVO_AVX2 int pcl_pixels(const PclRow &row, int u, int stride, float *pcl, int64_t &n,
                          int64_t pcl_len) {
    return stride == 3 ? pcl_avx2<3>(row, u, pcl, n, pcl_len)
                       : pcl_avx2<4>(row, u, pcl, n, pcl_len);
}

bool cpu_ok() {
    static const bool ok = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return ok;
}

}  // namespace tarvo::frame_vec::avx2

#endif
