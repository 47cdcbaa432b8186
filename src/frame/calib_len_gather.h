// The per-pixel part of lens undistortion: a nearest-neighbour gather of a
// raw image through a map, in a portable form and, on x86-64 processors
// that have it, an AVX2 form that gives bit-identical results.
#pragma once

#include "tarvo/tq_calib_len.h"

namespace tarvo::lens {

// Writes the src_w x src_h corrected image. The caller has checked the
// arguments: a built map that is bx x by times the image, non-empty image,
// room in dst.
void gather(const tq_calib_len_map_t &map, int bx, int by, const float *src, int src_w, int src_h,
            float *dst, float invalid_value);

// The full-size sampling of a map as raw-pixel indices: out[i] is the raw
// pixel that corrected pixel i reads from a w x h image, or INT32_MIN
// outside it.
void build_index(const float *map_x, const float *map_y, int w, int h, int32_t *out);

// Tests compare both forms: false keeps the portable one. Returns whether
// the vector form will be used.
bool set_vector_gather(bool enabled);

}  // namespace tarvo::lens
