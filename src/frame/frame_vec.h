// Vector paths of the point clouds and the colour-mapped pictures, chosen
// at run time: AVX-512 (F, BW, DQ, VL, VBMI; frame_avx512.cpp) or AVX2
// (frame_avx2.cpp), the portable loops in pcl.cpp and cmap_float.cpp
// otherwise. Each gives the bits of the portable loops: the same single-
// and double-precision operations in the same order, no fused
// multiply-add, the same colour look-up, valid points packed in image
// order.
#pragma once

#include <cstdint>

#include "tarvo/tq_cmap.h"

namespace tarvo::frame_vec {

// The paths, narrowest first.
enum class Path { portable, avx2, avx512 };

// The path calls take: the widest the processor has, no wider than tests
// allow. A caller reads it once per call and hands it to the functions
// below (which take no portable path).
Path path();

// Tests compare the paths: path() gives none wider than `widest` (the
// widest by default). Returns whether the processor has `widest`.
bool set_widest(Path widest);

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
uint32_t *mm_table(Path p, CmapView &view, int64_t pixels);

// The view of a colour map with a palette; false when it has none
// (cmap.cpp).
bool cmap_view(const tq_cmap_t &cmap, CmapView &view);

// Colours of n distances in metres (trunc(1000 x metres), NaN as the
// low-amplitude code), written as outfmt lays them out (3 or 4 bytes per
// pixel). Handles whole groups of pixels (16 for AVX-512, 8 for AVX2) and
// may leave a few more at the end to the portable loop; returns how many
// it did. It writes no byte past those pixels.
int cmap_pixels(Path p, const CmapView &m, const float *src, int n, int outfmt, uint8_t *dst);

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

// Points of row pixels u .. in whole groups of G pixels (16 for AVX-512, 8
// for AVX2) while room for G more points is left (stride x (n + G) +
// stride - 1 < pcl_len), so that the portable loop would read every pixel
// of the group and no room check inside it could fail. Writes at pcl +
// stride x n, nothing past the last point, advances n and returns the
// first pixel not done.
int pcl_pixels(Path p, const PclRow &row, int u, int stride, float *pcl, int64_t &n,
               int64_t pcl_len);

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#define TARVO_FRAME_VEC_X86 1

// x, y and the square of z (before its rounding to single precision) of
// points, lane by lane, as pcl.cpp forms them: F is a vector of floats, D
// the vector of as many doubles. By reference, so that each path inlines
// it under its own target; fused multiply-add stays off in the paths.
template <class D, class F>
__attribute__((always_inline)) inline void point_xyr(const F &ds, const F &du, const PclRow &r,
                                                     F &x, F &y, F &r2) {
    const D dsd = __builtin_convertvector(ds, D);
    x = __builtin_convertvector(dsd * __builtin_convertvector(du, D) / r.fx, F);
    y = __builtin_convertvector(dsd * static_cast<double>(r.dv) / r.fy, F);
    const D xd = __builtin_convertvector(x, D), yd = __builtin_convertvector(y, D);
    r2 = __builtin_convertvector(dsd * dsd - xd * xd - yd * yd, F);
}

// The paths' own entries (the same contracts), for the dispatch; each is
// defined for its instruction set and called only when cpu_ok().
#define TARVO_FRAME_VEC_PATH(ns)                                                                   \
    namespace ns {                                                                                 \
    bool cpu_ok();                                                                                 \
    int cmap_pixels(const CmapView &m, const float *src, int n, int outfmt, uint8_t *dst);         \
    void fill_mm_table(const CmapView &m, uint32_t *table, int64_t entries);                       \
    int pcl_pixels(const PclRow &row, int u, int stride, float *pcl, int64_t &n, int64_t pcl_len); \
    }
TARVO_FRAME_VEC_PATH(avx2)
TARVO_FRAME_VEC_PATH(avx512)
#undef TARVO_FRAME_VEC_PATH
#endif

}  // namespace tarvo::frame_vec
