// Map filling. Every value is computed in double precision in the order
// written below and rounded once to single precision; the vector form runs
// the same operations on four rows side by side, so its results are the
// same bits.
#include "frame/calib_len_fill.h"

#include <atomic>
#include <cstddef>

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#include <immintrin.h>
#define TARVO_FILL_AVX 1
#endif

#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace tarvo::lens {
namespace {

void fill_row(float *mx, float *my, int W, int v, const Distortion &l, const double *R) {
    double X = v * R[1] + R[2];
    double Y = v * R[4] + R[5];
    double Z = v * R[7] + R[8];
    for (int u = 0; u < W; ++u) {
        const double w = 1 / Z;
        const double x = X * w, y = Y * w;
        const double x2 = x * x, y2 = y * y;
        const double r2 = x2 + y2, xy2 = 2 * x * y;
        const double kr = 1 + ((l.k3 * r2 + l.k2) * r2 + l.k1) * r2;
        mx[u] = static_cast<float>(l.cx + l.fx * (x * kr + l.p1 * xy2 + l.p2 * (r2 + 2 * x2)));
        my[u] = static_cast<float>(l.cy + l.fy * (y * kr + l.p1 * (r2 + 2 * y2) + l.p2 * xy2));
        X += R[0];
        Y += R[3];
        Z += R[6];
    }
}

#ifdef TARVO_FILL_AVX

// Rows v .. v + 3, one row per lane; four columns at a time are transposed
// so that each row gets a plain store.
__attribute__((target("avx"))) void fill_rows4(float *map_x, float *map_y, int W, int v,
                                               const Distortion &l, const double *R) {
    const __m256d vv = _mm256_setr_pd(v, v + 1, v + 2, v + 3);
    __m256d X = _mm256_add_pd(_mm256_mul_pd(vv, _mm256_set1_pd(R[1])), _mm256_set1_pd(R[2]));
    __m256d Y = _mm256_add_pd(_mm256_mul_pd(vv, _mm256_set1_pd(R[4])), _mm256_set1_pd(R[5]));
    __m256d Z = _mm256_add_pd(_mm256_mul_pd(vv, _mm256_set1_pd(R[7])), _mm256_set1_pd(R[8]));
    const __m256d dX = _mm256_set1_pd(R[0]), dY = _mm256_set1_pd(R[3]), dZ = _mm256_set1_pd(R[6]);
    const __m256d one = _mm256_set1_pd(1.0), two = _mm256_set1_pd(2.0);
    const __m256d k1 = _mm256_set1_pd(l.k1), k2 = _mm256_set1_pd(l.k2), k3 = _mm256_set1_pd(l.k3);
    const __m256d p1 = _mm256_set1_pd(l.p1), p2 = _mm256_set1_pd(l.p2);
    const __m256d cx = _mm256_set1_pd(l.cx), cy = _mm256_set1_pd(l.cy);
    const __m256d fx = _mm256_set1_pd(l.fx), fy = _mm256_set1_pd(l.fy);
    float *rx[4], *ry[4];
    for (int j = 0; j < 4; ++j) {
        rx[j] = map_x + static_cast<size_t>(v + j) * W;
        ry[j] = map_y + static_cast<size_t>(v + j) * W;
    }
    __m128 colx[4], coly[4];
    for (int u = 0; u < W; ++u) {
        const __m256d w = _mm256_div_pd(one, Z);
        const __m256d x = _mm256_mul_pd(X, w), y = _mm256_mul_pd(Y, w);
        const __m256d x2 = _mm256_mul_pd(x, x), y2 = _mm256_mul_pd(y, y);
        const __m256d r2 = _mm256_add_pd(x2, y2);
        const __m256d xy2 = _mm256_mul_pd(_mm256_mul_pd(two, x), y);
        __m256d kr = _mm256_add_pd(_mm256_mul_pd(k3, r2), k2);
        kr = _mm256_add_pd(_mm256_mul_pd(kr, r2), k1);
        kr = _mm256_add_pd(one, _mm256_mul_pd(kr, r2));
        // cx + fx * (x * kr + p1 * xy2 + p2 * (r2 + 2 * x2))
        __m256d t = _mm256_add_pd(_mm256_mul_pd(x, kr), _mm256_mul_pd(p1, xy2));
        t = _mm256_add_pd(t, _mm256_mul_pd(p2, _mm256_add_pd(r2, _mm256_mul_pd(two, x2))));
        const __m256d mx = _mm256_add_pd(cx, _mm256_mul_pd(fx, t));
        // cy + fy * (y * kr + p1 * (r2 + 2 * y2) + p2 * xy2)
        t = _mm256_add_pd(_mm256_mul_pd(y, kr),
                          _mm256_mul_pd(p1, _mm256_add_pd(r2, _mm256_mul_pd(two, y2))));
        t = _mm256_add_pd(t, _mm256_mul_pd(p2, xy2));
        const __m256d my = _mm256_add_pd(cy, _mm256_mul_pd(fy, t));
        X = _mm256_add_pd(X, dX);
        Y = _mm256_add_pd(Y, dY);
        Z = _mm256_add_pd(Z, dZ);

        const int c = u & 3;
        colx[c] = _mm256_cvtpd_ps(mx);
        coly[c] = _mm256_cvtpd_ps(my);
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

bool cpu_has_avx() {
    static const bool has = __builtin_cpu_supports("avx");
    return has;
}

#endif  // TARVO_FILL_AVX

std::atomic<bool> g_vector_enabled{true};

}  // namespace

bool set_vector_fill(bool enabled) {
    g_vector_enabled.store(enabled, std::memory_order_relaxed);
#ifdef TARVO_FILL_AVX
    return enabled && cpu_has_avx();
#else
    return false;
#endif
}

void fill_map(float *map_x, float *map_y, int W, int H, const Distortion &l, const double *R) {
    int v = 0;
#ifdef TARVO_FILL_AVX
    if (g_vector_enabled.load(std::memory_order_relaxed) && cpu_has_avx())
        for (; v + 4 <= H; v += 4) fill_rows4(map_x, map_y, W, v, l, R);
#endif
    for (; v < H; ++v)
        fill_row(map_x + static_cast<size_t>(v) * W, map_y + static_cast<size_t>(v) * W, W, v, l,
                 R);
}

}  // namespace tarvo::lens
