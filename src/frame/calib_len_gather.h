// The per-pixel part of lens undistortion: a nearest-neighbour gather of a
// raw image through a map, in a portable form and, on x86-64 processors
// that have it, an AVX2 form that gives bit-identical results.
#pragma once

#include <cstdint>

#include "tarvo/tq_calib_len.h"

namespace tarvo::lens {

// Writes the src_w x src_h corrected image. The caller has checked the
// arguments: a built map that is bx x by times the image, non-empty image,
// room in dst.
void gather(const tq_calib_len_map_t &map, int bx, int by, const float *src, int src_w, int src_h,
            float *dst, float invalid_value);

// The full-size sampling of a map as raw-pixel indices, for a w x h image:
// n = w * h entries (the raw pixel each corrected pixel reads, 0 for those
// outside the image), then the number k of pixels outside, then their k
// positions. Built in `block` (null, or the table of an earlier build,
// resized with realloc); returns the table, or null with the block freed
// when memory runs out.
int32_t *make_index(const float *map_x, const float *map_y, int w, int h, int32_t *block);

// Tests compare both forms: false keeps the portable one. Returns whether
// the vector form will be used.
bool set_vector_gather(bool enabled);

}  // namespace tarvo::lens
