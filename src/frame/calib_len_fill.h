// Filling an undistortion map from the inverse of the new camera matrix:
// a portable form and, on x86-64 processors that have it, an AVX form that
// works on four rows at once and gives bit-identical results.
#pragma once

namespace tarvo::lens {

// The lens's own camera matrix and distortion coefficients.
struct Distortion {
    double cx, cy, fx, fy;
    double k1, k2, p1, p2, k3;
};

// Fills map_x and map_y (W x H each) for every corrected pixel: back-
// projection through R = K'^-1, stepping along each row by additions, and
// forward distortion through the lens.
void fill_map(float *map_x, float *map_y, int W, int H, const Distortion &l, const double *R);

// Tests compare both forms: false keeps the portable one. Returns whether
// the vector form will be used.
bool set_vector_fill(bool enabled);

}  // namespace tarvo::lens
