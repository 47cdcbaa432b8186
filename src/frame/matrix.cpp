// The 3x3 and 4x4 matrix routines the undistortion map needs: row-major
// arrays of doubles from the C allocator.
#include <cstdlib>
#include <cstring>

#include "tarvo/tq_calib_len.h"

namespace {

double *alloc_zeroed(size_t n, const double *src) {
    auto *m = static_cast<double *>(std::calloc(n, sizeof(double)));
    if (m && src) std::memcpy(m, src, n * sizeof(double));
    return m;
}

}  // namespace

extern "C" {

TARVO_API double *mat3_create(const double *src) {
    return alloc_zeroed(9, src);
}

TARVO_API double *mat4_create(const double *src) {
    return alloc_zeroed(16, src);
}

TARVO_API double *mat3_set(const double *src, double *dst) {
    if (!src || !dst) return nullptr;
    std::memmove(dst, src, 9 * sizeof(double));
    return dst;
}

TARVO_API double *mat3_identity(double *dst) {
    if (!dst) dst = mat3_create(nullptr);
    if (!dst) return nullptr;
    for (int i = 0; i < 9; ++i) dst[i] = (i % 4 == 0) ? 1.0 : 0.0;
    return dst;
}

TARVO_API double *mat4_toInverseMat3(const double *mat, double *dst) {
    if (!mat) return nullptr;
    const double a00 = mat[0], a01 = mat[1], a02 = mat[2];
    const double a10 = mat[4], a11 = mat[5], a12 = mat[6];
    const double a20 = mat[8], a21 = mat[9], a22 = mat[10];

    // Cofactors of the first row; the determinant is expanded along it.
    const double c00 = a11 * a22 - a12 * a21;
    const double c01 = a12 * a20 - a10 * a22;
    const double c02 = a10 * a21 - a11 * a20;
    const double det = a00 * c00 + a01 * c01 + a02 * c02;
    if (det == 0.0) return nullptr;

    // Every element is computed before the first store so that `dst` may
    // alias the block (mat3_inverse passes the source matrix as target).
    const double inv[9] = {
        c00 / det, (a02 * a21 - a01 * a22) / det, (a01 * a12 - a02 * a11) / det,
        c01 / det, (a00 * a22 - a02 * a20) / det, (a02 * a10 - a00 * a12) / det,
        c02 / det, (a01 * a20 - a00 * a21) / det, (a00 * a11 - a01 * a10) / det,
    };
    if (!dst) dst = mat3_create(nullptr);
    if (!dst) return nullptr;
    std::memcpy(dst, inv, sizeof inv);
    return dst;
}

TARVO_API double *mat3_inverse(double *mat, double *dst) {
    if (!mat) return nullptr;
    if (!dst) dst = mat;
    double *m4 = mat4_create(nullptr);
    if (!m4) return nullptr;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m4[4 * r + c] = mat[3 * r + c];
    m4[15] = 1.0;
    mat4_toInverseMat3(m4, dst);
    std::free(m4);
    return dst;
}

}  // extern "C"
