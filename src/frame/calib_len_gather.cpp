// Nearest-neighbour gather through an undistortion map.
//
// Output pixel (x, y) reads map entry (x * bx, y * by), scales it by 1/bx,
// 1/by and samples raw pixel trunc(q + 0.5), computed exactly, when that
// lies inside the image. trunc(q + 0.5) is in [0, n) exactly when
// -1.5 < q < n - 0.5, so the test comes first and only positions inside the
// image are ever converted to integers (NaN and huge map values included).
#include "frame/calib_len_gather.h"

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#include <immintrin.h>
#define TARVO_GATHER_AVX2 1
#endif

namespace tarvo::lens {
namespace {

// trunc(q + 0.5) for -1.5 < q < n - 0.5, without rounding q + 0.5: with
// t = trunc(q) the fraction q - t is exact, and the result is t plus one
// when the fraction is at least one half, but never below 0.
inline bool nearest_index(float q, int n, int *out) {
    if (!(q > -1.5f && static_cast<double>(q) < n - 0.5)) return false;
    const int t = static_cast<int>(q);
    const int r = t + (q - static_cast<float>(t) >= 0.5f ? 1 : 0);
    *out = r < 0 ? 0 : r;
    return true;
}

// Output pixels x0 .. src_w - 1 of one row; mx, my point at the map row.
void gather_row_scalar(const float *mx, const float *my, int bx, int by, int x0, const float *src,
                       int src_w, int src_h, float *dst, float invalid_value) {
    const float fbx = static_cast<float>(bx), fby = static_cast<float>(by);
    for (int x = x0; x < src_w; ++x) {
        const size_t i = static_cast<size_t>(x) * bx;
        const float qx = bx == 1 ? mx[i] : mx[i] / fbx;
        const float qy = by == 1 ? my[i] : my[i] / fby;
        int sx, sy;
        float v = invalid_value;
        if (nearest_index(qx, src_w, &sx) && nearest_index(qy, src_h, &sy))
            v = src[static_cast<size_t>(sy) * src_w + sx];
        dst[x] = v;
    }
}

#ifdef TARVO_GATHER_AVX2

// The same rule, eight pixels at a time, for images below 2^22 pixels in
// each direction. In single precision q + 0.5 is exact for every q that can
// land inside such an image except 0.5 - 2^-25, which rounds up to 1 (a tie
// resolved to even) and is taken back by one. Truncation then gives the
// index directly; values that are negative, too large, or were NaN or out
// of the int range (converted to INT_MIN) fail the range test.
__attribute__((target("avx2"))) inline __m256i nearest8(__m256 q) {
    const __m256i t = _mm256_cvttps_epi32(_mm256_add_ps(q, _mm256_set1_ps(0.5f)));
    const __m256 tie = _mm256_cmp_ps(q, _mm256_set1_ps(0.49999997f), _CMP_EQ_OQ);
    return _mm256_add_epi32(t, _mm256_castps_si256(tie));
}

template <bool kUnitFactor>
__attribute__((target("avx2"))) void gather_avx2(const tq_calib_len_map_t &map, int bx, int by,
                                                 const float *src, int src_w, int src_h, float *dst,
                                                 float invalid_value) {
    const __m256 fbx = _mm256_set1_ps(static_cast<float>(bx));
    const __m256 fby = _mm256_set1_ps(static_cast<float>(by));
    const __m256i width = _mm256_set1_epi32(src_w);
    const __m256i height = _mm256_set1_epi32(src_h);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i lane_step = _mm256_mullo_epi32(lanes, _mm256_set1_epi32(bx));
    for (int y = 0; y < src_h; ++y) {
        const size_t row = static_cast<size_t>(y) * by * map.width;
        const float *mx = map.map_x + row;
        const float *my = map.map_y + row;
        float *out = dst + static_cast<size_t>(y) * src_w;
        int x = 0;
        for (; x + 8 <= src_w; x += 8) {
            __m256 qx, qy;
            if (kUnitFactor) {
                qx = _mm256_loadu_ps(mx + x);
                qy = _mm256_loadu_ps(my + x);
            } else {
                const __m256i at = _mm256_add_epi32(_mm256_set1_epi32(x * bx), lane_step);
                qx = _mm256_div_ps(_mm256_i32gather_ps(mx, at, 4), fbx);
                qy = _mm256_div_ps(_mm256_i32gather_ps(my, at, 4), fby);
            }
            const __m256i sx = nearest8(qx), sy = nearest8(qy);
            const __m256i below =
                _mm256_and_si256(_mm256_cmpgt_epi32(width, sx), _mm256_cmpgt_epi32(height, sy));
            const int negative = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(sx, sy)));
            const int outside = (~_mm256_movemask_ps(_mm256_castsi256_ps(below)) | negative) & 0xFF;
            // The indices leave the vector unit two at a time (four moves to
            // general registers instead of eight) and are read with plain
            // loads: on several cores that beats the hardware gather.
            const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(sy, width), sx);
            const __m128i lo = _mm256_castsi256_si128(at), hi = _mm256_extracti128_si256(at, 1);
            const uint64_t pair[4] = {static_cast<uint64_t>(_mm_cvtsi128_si64(lo)),
                                      static_cast<uint64_t>(_mm_extract_epi64(lo, 1)),
                                      static_cast<uint64_t>(_mm_cvtsi128_si64(hi)),
                                      static_cast<uint64_t>(_mm_extract_epi64(hi, 1))};
            float *o = out + x;
            if (!outside) {
                __m128 a = _mm_load_ss(src + static_cast<uint32_t>(pair[0]));
                a = _mm_insert_ps(a, _mm_load_ss(src + static_cast<uint32_t>(pair[0] >> 32)), 0x10);
                a = _mm_insert_ps(a, _mm_load_ss(src + static_cast<uint32_t>(pair[1])), 0x20);
                a = _mm_insert_ps(a, _mm_load_ss(src + static_cast<uint32_t>(pair[1] >> 32)), 0x30);
                __m128 b = _mm_load_ss(src + static_cast<uint32_t>(pair[2]));
                b = _mm_insert_ps(b, _mm_load_ss(src + static_cast<uint32_t>(pair[2] >> 32)), 0x10);
                b = _mm_insert_ps(b, _mm_load_ss(src + static_cast<uint32_t>(pair[3])), 0x20);
                b = _mm_insert_ps(b, _mm_load_ss(src + static_cast<uint32_t>(pair[3] >> 32)), 0x30);
                _mm256_storeu_ps(o, _mm256_set_m128(b, a));
            } else {
                for (int j = 0; j < 8; ++j) {
                    const uint32_t i = static_cast<uint32_t>(pair[j / 2] >> (32 * (j % 2)));
                    o[j] = (outside >> j) & 1 ? invalid_value : src[i];
                }
            }
        }
        gather_row_scalar(mx, my, bx, by, x, src, src_w, src_h, out, invalid_value);
    }
}

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

#endif  // TARVO_GATHER_AVX2

std::atomic<bool> g_vector_enabled{true};

}  // namespace

namespace {

// Marks a pixel outside the image in the first pass of make_index().
constexpr int32_t k_outside = -1;

// First pass of the index table: the raw pixel of every corrected pixel, or
// k_outside; returns how many are outside.
size_t index_pass_scalar(const float *map_x, const float *map_y, int w, int h, size_t i0, size_t n,
                         int32_t *out) {
    size_t outside = 0;
    for (size_t i = i0; i < n; ++i) {
        int sx, sy;
        if (nearest_index(map_x[i], w, &sx) && nearest_index(map_y[i], h, &sy)) {
            out[i] = sy * w + sx;
        } else {
            out[i] = k_outside;
            ++outside;
        }
    }
    return outside;
}

// Second pass: the entries marked outside read pixel 0 and their
// positions go to the list; returns the list's end.
int32_t *outside_pass_scalar(int32_t *out, size_t i0, size_t n, int32_t *list) {
    for (size_t i = i0; i < n; ++i)
        if (out[i] == k_outside) {
            out[i] = 0;
            *list++ = static_cast<int32_t>(i);
        }
    return list;
}

#ifdef TARVO_GATHER_AVX2

// The same, eight pixels at a time (images below 2^22 pixels each way, as
// for gather_avx2).
__attribute__((target("avx2,popcnt"))) size_t index_pass_avx2(const float *map_x,
                                                              const float *map_y, int w, int h,
                                                              size_t n, int32_t *out) {
    const __m256i width = _mm256_set1_epi32(w), height = _mm256_set1_epi32(h);
    const __m256i mark = _mm256_set1_epi32(k_outside);
    size_t outside = 0, i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i sx = nearest8(_mm256_loadu_ps(map_x + i));
        const __m256i sy = nearest8(_mm256_loadu_ps(map_y + i));
        // Inside: below both limits and neither negative (NaN and values
        // beyond the int range convert to INT_MIN).
        const __m256i in = _mm256_andnot_si256(
            _mm256_srai_epi32(_mm256_or_si256(sx, sy), 31),
            _mm256_and_si256(_mm256_cmpgt_epi32(width, sx), _mm256_cmpgt_epi32(height, sy)));
        const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(sy, width), sx);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), _mm256_blendv_epi8(mark, at, in));
        outside += static_cast<size_t>(
            __builtin_popcount(~_mm256_movemask_ps(_mm256_castsi256_ps(in)) & 0xFF));
    }
    return outside + index_pass_scalar(map_x, map_y, w, h, i, n, out);
}

// Second pass: the entries marked outside, eight at a time.
__attribute__((target("avx2,bmi"))) int32_t *outside_pass_avx2(int32_t *out, size_t n,
                                                               int32_t *list) {
    const __m256i mark = _mm256_set1_epi32(k_outside);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(out + i));
        for (unsigned m = static_cast<unsigned>(
                 _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(e, mark))));
             m; m &= m - 1) {
            const size_t j = i + static_cast<size_t>(__builtin_ctz(m));
            out[j] = 0;
            *list++ = static_cast<int32_t>(j);
        }
    }
    return outside_pass_scalar(out, i, n, list);
}

#endif  // TARVO_GATHER_AVX2

bool vector_index(int w, int h) {
#ifdef TARVO_GATHER_AVX2
    constexpr int kExactLimit = 1 << 22;
    return g_vector_enabled.load(std::memory_order_relaxed) && cpu_has_avx2() && w < kExactLimit &&
           h < kExactLimit;
#else
    (void)w;
    (void)h;
    return false;
#endif
}

}  // namespace

int32_t *make_index(const float *map_x, const float *map_y, int w, int h, int32_t *block) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    auto *out = static_cast<int32_t *>(std::realloc(block, sizeof(int32_t) * (n + 1)));
    if (!out) {
        std::free(block);
        return nullptr;
    }
    const bool vec = vector_index(w, h);
    size_t outside;
#ifdef TARVO_GATHER_AVX2
    if (vec)
        outside = index_pass_avx2(map_x, map_y, w, h, n, out);
    else
#endif
        outside = index_pass_scalar(map_x, map_y, w, h, 0, n, out);
    out[n] = static_cast<int32_t>(outside);
    if (outside == 0) return out;

    // Second pass: the positions of the pixels outside go after the count,
    // their entries read pixel 0.
    auto *grown = static_cast<int32_t *>(std::realloc(out, sizeof(int32_t) * (n + 1 + outside)));
    if (!grown) {
        std::free(out);
        return nullptr;
    }
    int32_t *list = grown + n + 1;
#ifdef TARVO_GATHER_AVX2
    if (vec)
        outside_pass_avx2(grown, n, list);
    else
#endif
        outside_pass_scalar(grown, 0, n, list);
    return grown;
}

bool set_vector_gather(bool enabled) {
    g_vector_enabled.store(enabled, std::memory_order_relaxed);
#ifdef TARVO_GATHER_AVX2
    return enabled && cpu_has_avx2();
#else
    return false;
#endif
}

void gather(const tq_calib_len_map_t &map, int bx, int by, const float *src, int src_w, int src_h,
            float *dst, float invalid_value) {
    if (bx == 1 && by == 1 && map.src_index && g_vector_enabled.load(std::memory_order_relaxed)) {
        const size_t n = static_cast<size_t>(src_w) * static_cast<size_t>(src_h);
        const int32_t *ix = map.src_index;
        // A plain gather (pixels outside the image read pixel 0), then the
        // few pixels outside get the invalid value.
        for (size_t i = 0; i < n; ++i) dst[i] = src[ix[i]];
        const int32_t outside = ix[n];
        for (int32_t k = 0; k < outside; ++k)
            dst[ix[n + 1 + static_cast<size_t>(k)]] = invalid_value;
        return;
    }
#ifdef TARVO_GATHER_AVX2
    constexpr int kExactLimit = 1 << 22;
    if (g_vector_enabled.load(std::memory_order_relaxed) && cpu_has_avx2() && src_w < kExactLimit &&
        src_h < kExactLimit) {
        if (bx == 1 && by == 1)
            gather_avx2<true>(map, bx, by, src, src_w, src_h, dst, invalid_value);
        else
            gather_avx2<false>(map, bx, by, src, src_w, src_h, dst, invalid_value);
        return;
    }
#endif
    for (int y = 0; y < src_h; ++y) {
        const size_t row = static_cast<size_t>(y) * by * map.width;
        gather_row_scalar(map.map_x + row, map.map_y + row, bx, by, 0, src, src_w, src_h,
                          dst + static_cast<size_t>(y) * src_w, invalid_value);
    }
}

}  // namespace tarvo::lens
