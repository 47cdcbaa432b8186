// Filling an undistortion map from the inverse of the new camera matrix:
// a portable form and, on x86-64 processors that have them, AVX and AVX-512
// forms that work on four and eight rows at once and give bit-identical
// results.
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

// The forms, narrowest first.
enum class FillPath { portable, avx, avx512 };

// Tests compare the forms: fill_map() uses none wider than `widest` (the
// widest by default). Returns whether the processor has `widest`.
bool set_fill_path(FillPath widest);

}  // namespace tarvo::lens
