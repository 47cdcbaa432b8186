// Vector paths of the point clouds and the colour-mapped pictures
// (frame_avx512.cpp), chosen at run time when the processor has AVX-512
// (F, BW, DQ, VL, VBMI). Each gives the bits of the portable loops in
// pcl.cpp and cmap_float.cpp: the same single- and double-precision
// operations in the same order, no fused multiply-add, the same colour
// look-up, valid points packed in image order.
#pragma once

#include <cstdint>

#include "tarvo/tq_cmap.h"

namespace tarvo::frame_vec {

// Whether the vector paths run: the processor has them and tests have not
// switched them off. set_enabled() returns whether they will run.
bool enabled();
bool set_enabled(bool on);

// The colour map's settings, read once per call.
struct CmapView {
    const uint32_t *palette;
    int size;
    int range_min, range_max;
    float color_scale;
    const uint32_t *by_mm;  // colours of range_min .. range_max, or null
};

// The most entries a millimetre table holds: 32 KiB, a first-level cache.
constexpr int64_t k_mm_table_max = 8192;

// A table of the colours of every millimetre of the view's range, built
// for calls that look up many more pixels than the range holds: the
// random palette reads (whole palette, beyond the first-level cache) become
// reads of one small table. Sets view.by_mm and returns the table (malloc;
// the caller frees it after the last call with the view), or null when it
// does not pay (or memory runs out) and the view stays as it was.
uint32_t *mm_table(CmapView &view, int64_t pixels);

// The view of a colour map with a palette; false when it has none
// (cmap.cpp).
bool cmap_view(const tq_cmap_t &cmap, CmapView &view);

// Colours of n distances in metres (trunc(1000 x metres), NaN as the
// low-amplitude code), written as outfmt lays them out (3 or 4 bytes per
// pixel). Handles whole groups of 16 pixels; returns how many it did.
int cmap_pixels(const CmapView &m, const float *src, int n, int outfmt, uint8_t *dst);

// The camera of a point cloud, with the row's (v - cy) as a float.
struct PclRow {
    const float *dist;  // the row's distances
    const float *du;    // u - cx as a float, for every u of a row
    int w;
    float dv;
    double cx, fx, fy;
    float dist_scale;
    const CmapView *colours;  // pseudo colour when not null (stride 4 only)
};

// Points of row pixels u .. in whole groups of 16 pixels while room for 16
// more points is left (stride x (n + 16) + stride - 1 < pcl_len), so that
// the portable loop would read every pixel of the group and no room check
// inside it could fail. Writes at pcl + stride x n,
// advances n and returns the first pixel not done.
int pcl_pixels(const PclRow &row, int u, int stride, float *pcl, int64_t &n, int64_t pcl_len);

}  // namespace tarvo::frame_vec
