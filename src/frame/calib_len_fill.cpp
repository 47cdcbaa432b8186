// Map filling. Every value is computed in double precision in the order
// written in distort() and rounded once to single precision. The vector
// forms run the same operations on four (AVX) or eight (AVX-512) rows side
// by side, one row per lane, so their results are the same bits: a row's X,
// Y, Z advance by repeated additions, which lanes along a row could not
// reproduce.
#include "frame/calib_len_fill.h"

#include <atomic>
#include <cstddef>

#include "platform/cpu.h"

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#include <immintrin.h>
#define TARVO_FILL_AVX 1
#endif

#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace tarvo::lens {
namespace {

// The raw position (sx, sy) of the corrected pixel at homogeneous (X, Y,
// Z), lane by lane for vector types (double or a vector of doubles; by
// reference, so that the vector forms can inline it under their own target).
template <class V>
__attribute__((always_inline)) inline void distort(const V &X, const V &Y, const V &Z,
                                                   const Distortion &l, V &sx, V &sy) {
    const V w = 1.0 / Z;
    const V x = X * w, y = Y * w;
    const V x2 = x * x, y2 = y * y;
    const V r2 = x2 + y2, xy2 = 2.0 * x * y;
    const V kr = 1.0 + ((l.k3 * r2 + l.k2) * r2 + l.k1) * r2;
    sx = l.cx + l.fx * (x * kr + l.p1 * xy2 + l.p2 * (r2 + 2.0 * x2));
    sy = l.cy + l.fy * (y * kr + l.p1 * (r2 + 2.0 * y2) + l.p2 * xy2);
}

void fill_row(float *mx, float *my, int W, int v, const Distortion &l, const double *R) {
    double X = v * R[1] + R[2];
    double Y = v * R[4] + R[5];
    double Z = v * R[7] + R[8];
    for (int u = 0; u < W; ++u) {
        double sx, sy;
        distort(X, Y, Z, l, sx, sy);
        mx[u] = static_cast<float>(sx);
        my[u] = static_cast<float>(sy);
        X += R[0];
        Y += R[3];
        Z += R[6];
    }
}

#ifdef TARVO_FILL_AVX

// Rows v .. v + 3; four columns at a time are transposed so that each row
// gets a plain store.
__attribute__((target("avx"))) void fill_rows4(float *map_x, float *map_y, int W, int v,
                                               const Distortion &l, const double *R) {
    const __m256d vv = _mm256_setr_pd(v, v + 1, v + 2, v + 3);
    __m256d X = _mm256_add_pd(_mm256_mul_pd(vv, _mm256_set1_pd(R[1])), _mm256_set1_pd(R[2]));
    __m256d Y = _mm256_add_pd(_mm256_mul_pd(vv, _mm256_set1_pd(R[4])), _mm256_set1_pd(R[5]));
    __m256d Z = _mm256_add_pd(_mm256_mul_pd(vv, _mm256_set1_pd(R[7])), _mm256_set1_pd(R[8]));
    const __m256d dX = _mm256_set1_pd(R[0]), dY = _mm256_set1_pd(R[3]), dZ = _mm256_set1_pd(R[6]);
    float *rx[4], *ry[4];
    for (int j = 0; j < 4; ++j) {
        rx[j] = map_x + static_cast<size_t>(v + j) * W;
        ry[j] = map_y + static_cast<size_t>(v + j) * W;
    }
    __m128 colx[4], coly[4];
    for (int u = 0; u < W; ++u) {
        __m256d sx, sy;
        distort(X, Y, Z, l, sx, sy);
        X = _mm256_add_pd(X, dX);
        Y = _mm256_add_pd(Y, dY);
        Z = _mm256_add_pd(Z, dZ);

        const int c = u & 3;
        colx[c] = _mm256_cvtpd_ps(sx);
        coly[c] = _mm256_cvtpd_ps(sy);
        if (c == 3) {
            _MM_TRANSPOSE4_PS(colx[0], colx[1], colx[2], colx[3]);
            _MM_TRANSPOSE4_PS(coly[0], coly[1], coly[2], coly[3]);
            for (int j = 0; j < 4; ++j) {
                _mm_storeu_ps(rx[j] + u - 3, colx[j]);
                _mm_storeu_ps(ry[j] + u - 3, coly[j]);
            }
        }
    }
    // Columns left over after the last group of four.
    const int left = W & 3;
    for (int c = 0; c < left; ++c) {
        alignas(16) float ex[4], ey[4];
        _mm_store_ps(ex, colx[c]);
        _mm_store_ps(ey, coly[c]);
        for (int j = 0; j < 4; ++j) {
            rx[j][W - left + c] = ex[j];
            ry[j][W - left + c] = ey[j];
        }
    }
}

#define TARVO_FILL_AVX512 __attribute__((target("avx2,avx512f,avx512dq,avx512vl")))

// Eight columns of eight rows (one row per lane) into eight rows of eight
// columns.
TARVO_FILL_AVX512 inline void transpose8(__m256 c[8]) {
    __m256 t[8], s[8];
    for (int j = 0; j < 8; j += 2) {
        t[j] = _mm256_unpacklo_ps(c[j], c[j + 1]);
        t[j + 1] = _mm256_unpackhi_ps(c[j], c[j + 1]);
    }
    for (int j = 0; j < 8; j += 4) {
        s[j] = _mm256_shuffle_ps(t[j], t[j + 2], 0x44);
        s[j + 1] = _mm256_shuffle_ps(t[j], t[j + 2], 0xEE);
        s[j + 2] = _mm256_shuffle_ps(t[j + 1], t[j + 3], 0x44);
        s[j + 3] = _mm256_shuffle_ps(t[j + 1], t[j + 3], 0xEE);
    }
    for (int j = 0; j < 4; ++j) {
        c[j] = _mm256_permute2f128_ps(s[j], s[j + 4], 0x20);
        c[j + 4] = _mm256_permute2f128_ps(s[j], s[j + 4], 0x31);
    }
}

// Rows v .. v + 7, eight columns at a time transposed for plain stores.
TARVO_FILL_AVX512 void fill_rows8(float *map_x, float *map_y, int W, int v, const Distortion &l,
                                  const double *R) {
    const __m512d vv = _mm512_setr_pd(v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6, v + 7);
    __m512d X = _mm512_add_pd(_mm512_mul_pd(vv, _mm512_set1_pd(R[1])), _mm512_set1_pd(R[2]));
    __m512d Y = _mm512_add_pd(_mm512_mul_pd(vv, _mm512_set1_pd(R[4])), _mm512_set1_pd(R[5]));
    __m512d Z = _mm512_add_pd(_mm512_mul_pd(vv, _mm512_set1_pd(R[7])), _mm512_set1_pd(R[8]));
    const __m512d dX = _mm512_set1_pd(R[0]), dY = _mm512_set1_pd(R[3]), dZ = _mm512_set1_pd(R[6]);
    float *rx[8], *ry[8];
    for (int j = 0; j < 8; ++j) {
        rx[j] = map_x + static_cast<size_t>(v + j) * W;
        ry[j] = map_y + static_cast<size_t>(v + j) * W;
    }
    __m256 colx[8], coly[8];
    for (int u = 0; u < W; ++u) {
        __m512d sx, sy;
        distort(X, Y, Z, l, sx, sy);
        X = _mm512_add_pd(X, dX);
        Y = _mm512_add_pd(Y, dY);
        Z = _mm512_add_pd(Z, dZ);

        const int c = u & 7;
        colx[c] = _mm512_cvtpd_ps(sx);
        coly[c] = _mm512_cvtpd_ps(sy);
        if (c == 7) {
            transpose8(colx);
            transpose8(coly);
            for (int j = 0; j < 8; ++j) {
                _mm256_storeu_ps(rx[j] + u - 7, colx[j]);
                _mm256_storeu_ps(ry[j] + u - 7, coly[j]);
            }
        }
    }
    // Columns left over after the last group of eight.
    const int left = W & 7;
    for (int c = 0; c < left; ++c) {
        alignas(32) float ex[8], ey[8];
        _mm256_store_ps(ex, colx[c]);
        _mm256_store_ps(ey, coly[c]);
        for (int j = 0; j < 8; ++j) {
            rx[j][W - left + c] = ex[j];
            ry[j][W - left + c] = ey[j];
        }
    }
}

bool cpu_has(FillPath p) {
    static const bool avx = __builtin_cpu_supports("avx");
    if (p == FillPath::avx512) return platform::cpu_has_avx512();
    return p != FillPath::avx || avx;
}

#else

bool cpu_has(FillPath p) {
    return p == FillPath::portable;
}

#endif  // TARVO_FILL_AVX

std::atomic<FillPath> g_widest{FillPath::avx512};

}  // namespace

bool set_fill_path(FillPath widest) {
    g_widest.store(widest, std::memory_order_relaxed);
    return cpu_has(widest);
}

void fill_map(float *map_x, float *map_y, int W, int H, const Distortion &l, const double *R) {
    int v = 0;
#ifdef TARVO_FILL_AVX
    const FillPath widest = g_widest.load(std::memory_order_relaxed);
    if (widest >= FillPath::avx512 && cpu_has(FillPath::avx512))
        for (; v + 8 <= H; v += 8) fill_rows8(map_x, map_y, W, v, l, R);
    if (widest >= FillPath::avx && cpu_has(FillPath::avx))
        for (; v + 4 <= H; v += 4) fill_rows4(map_x, map_y, W, v, l, R);
#endif
    for (; v < H; ++v)
        fill_row(map_x + static_cast<size_t>(v) * W, map_y + static_cast<size_t>(v) * W, W, v, l,
                 R);
}

}  // namespace tarvo::lens
