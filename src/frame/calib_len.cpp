// Lens undistortion: building the lookup map from a lens record and applying
// it to float images.
//
// The map is built by inverting the radial-tangential distortion model on a
// 9 x 9 grid to find how far the corrected field of view reaches, choosing a
// new camera matrix K' that fits all of it into the image, and then, for
// every corrected pixel, back-projecting through K'^-1 and distorting
// forward through the lens's own K to find the raw position to sample.
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "frame/calib_len_fill.h"
#include "frame/calib_len_gather.h"
#include "log/log.h"
#include "tarvo/tq_calib_len.h"

// The arithmetic below is written to be reproduced bit for bit; keep the
// compiler from fusing multiplies and adds.
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

// The records cross the public interface; their layouts are fixed.
static_assert(sizeof(tq_lens_param_t) == 9 * sizeof(double) + 8);
static_assert(offsetof(tq_lens_param_t, dcoeff) == 32);
static_assert(offsetof(tq_lens_param_t, img_w) == 72);
static_assert(offsetof(tq_calib_len_map_t, size) == 2 * sizeof(void *));
static_assert(offsetof(tq_calib_len_map_t, roi) == 2 * sizeof(void *) + 12);
static_assert(offsetof(tq_calib_len_map_t, inited) == 2 * sizeof(void *) + 28);

namespace {

const char kUndistort[] = "tq_calib_len_undistort";

using Lens = tarvo::lens::Distortion;

struct PointF {
    float x, y;
};

struct RectF {
    float x, y, w, h;
};

Lens lens_of(const tq_lens_param_t &p) {
    return Lens{p.cx,        p.cy,        p.fx,        p.fy,       p.dcoeff[0],
                p.dcoeff[1], p.dcoeff[2], p.dcoeff[3], p.dcoeff[4]};
}

// Undistorts the raw pixel (px, py): five fixed-point iterations of the
// inverse distortion in normalised coordinates, then projection by P (the
// identity when P is null).
PointF undistort_point(float px, float py, const Lens &l, const double *P) {
    const double x0 = (px - l.cx) * (1 / l.fx);
    const double y0 = (py - l.cy) * (1 / l.fy);
    double x = x0, y = y0;
    for (int i = 0; i < 5; ++i) {
        const double r2 = x * x + y * y;
        const double icdist = 1 / (1 + ((l.k3 * r2 + l.k2) * r2 + l.k1) * r2);
        const double dx = 2 * l.p1 * x * y + l.p2 * (r2 + 2 * x * x);
        const double dy = l.p1 * (r2 + 2 * y * y) + 2 * l.p2 * x * y;
        const double nx = (x0 - dx) * icdist;
        const double ny = (y0 - dy) * icdist;
        x = nx;
        y = ny;
    }
    static const double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double *p = P ? P : kIdentity;
    const double w = 1 / (p[6] * x + p[7] * y + p[8]);
    return PointF{static_cast<float>((p[0] * x + p[1] * y + p[2]) * w),
                  static_cast<float>((p[3] * x + p[4] * y + p[5]) * w)};
}

// Inner rectangle (seen everywhere along the image border) and outer
// rectangle (bounding box) of the undistorted image, from a 9 x 9 grid that
// spans 0 .. W and 0 .. H.
void undistorted_rects(int W, int H, const Lens &l, const double *P, RectF *inner, RectF *outer) {
    float in_left = -FLT_MAX, in_right = FLT_MAX, in_top = -FLT_MAX, in_bottom = FLT_MAX;
    float out_x0 = FLT_MAX, out_x1 = -FLT_MAX, out_y0 = FLT_MAX, out_y1 = -FLT_MAX;
    for (int gy = 0; gy <= 8; ++gy) {
        for (int gx = 0; gx <= 8; ++gx) {
            const float px = static_cast<float>(W) * static_cast<float>(gx) * 0.125f;
            const float py = static_cast<float>(H) * static_cast<float>(gy) * 0.125f;
            const PointF q = undistort_point(px, py, l, P);
            out_x0 = std::fmin(out_x0, q.x);
            out_x1 = std::fmax(out_x1, q.x);
            out_y0 = std::fmin(out_y0, q.y);
            out_y1 = std::fmax(out_y1, q.y);
            if (gx == 0) in_left = std::fmax(in_left, q.x);
            if (gx == 8) in_right = std::fmin(in_right, q.x);
            if (gy == 0) in_top = std::fmax(in_top, q.y);
            if (gy == 8) in_bottom = std::fmin(in_bottom, q.y);
        }
    }
    *inner = RectF{in_left, in_top, in_right - in_left, in_bottom - in_top};
    *outer = RectF{out_x0, out_y0, out_x1 - out_x0, out_y1 - out_y0};
}

// trunc(v + 0.5) as an int32 without undefined behaviour: NaN gives 0 and
// values beyond the int32 range saturate.
int32_t round_half_up_trunc(float v) {
    const double t = std::trunc(static_cast<double>(v) + 0.5);
    if (std::isnan(t)) return 0;
    if (t <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    if (t >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    return static_cast<int32_t>(t);
}

void clear_map(tq_calib_len_map_t *map) {
    map->map_x = nullptr;
    map->map_y = nullptr;
    map->size = 0;
    map->width = 0;
    map->height = 0;
    for (int32_t &r : map->roi) r = 0;
    map->inited = 0;
    map->src_index = nullptr;
    for (double &k : map->new_cam) k = 0.0;
}

bool all_finite(const double *m, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(m[i])) return false;
    return true;
}

// The new camera matrix K': K with focal lengths and principal point chosen
// so that the outer rectangle fills W - 1 x H - 1 pixels (blend weight 1 on
// the outer rectangle, 0 on the inner one).
void new_camera_matrix(const double *K, int W, int H, const RectF &I, const RectF &O, double *Kp) {
    const double wm1 = static_cast<float>(W - 1);
    const double hm1 = static_cast<float>(H - 1);
    const double fx0 = wm1 / I.w, fy0 = hm1 / I.h;
    const double cx0 = -fx0 * I.x, cy0 = -fy0 * I.y;
    const double fx1 = wm1 / O.w, fy1 = hm1 / O.h;
    const double cx1 = -fx1 * O.x, cy1 = -fy1 * O.y;
    mat3_set(K, Kp);
    Kp[0] = fx1 + fx0 * 0;
    Kp[4] = fy1 + fy0 * 0;
    Kp[2] = cx1 + cx0 * 0;
    Kp[5] = cy1 + cy0 * 0;
}

// The arrays of a map being rebuilt: a new map of the same size takes them
// over instead of allocating (and faulting in) fresh ones; whatever is not
// taken is freed.
struct OldArrays {
    float *mx = nullptr, *my = nullptr;
    int32_t *idx = nullptr;
    int64_t n = 0;
    OldArrays() = default;
    OldArrays(const OldArrays &) = delete;
    OldArrays &operator=(const OldArrays &) = delete;
    ~OldArrays() {
        std::free(mx);
        std::free(my);
        std::free(idx);
    }
    template <class T>
    static T *take(T *&p) {
        T *q = p;
        p = nullptr;
        return q;
    }
};

// Builds the map from a cleared record; false leaves it unbuilt with
// nothing allocated.
bool build(tq_calib_len_map_t *map, const tq_lens_param_t &lens, OldArrays &old) {
    const int W = lens.img_w, H = lens.img_h;
    if (W < 2 || H < 2) return false;
    const int64_t n = static_cast<int64_t>(W) * H;
    if (n > INT32_MAX) return false;
    const Lens l = lens_of(lens);

    RectF inner, outer;
    undistorted_rects(W, H, l, nullptr, &inner, &outer);

    const double K[9] = {l.fx, 0, l.cx, 0, l.fy, l.cy, 0, 0, 1};
    double Kp[9];
    new_camera_matrix(K, W, H, inner, outer, Kp);
    // A K' that is not finite or not invertible maps nothing anywhere.
    if (!all_finite(Kp, 9) || Kp[0] * Kp[4] == 0.0) return false;

    RectF roi, unused;
    undistorted_rects(W, H, l, Kp, &roi, &unused);

    double *R = mat3_create(Kp);
    if (!R) return false;
    mat3_inverse(R, nullptr);
    const bool invertible = all_finite(R, 9);

    const bool reuse = invertible && old.n == n;
    float *mx = nullptr, *my = nullptr;
    if (reuse) {
        mx = OldArrays::take(old.mx);
        my = OldArrays::take(old.my);
    } else if (invertible) {
        mx = static_cast<float *>(std::malloc(sizeof(float) * n));
        my = mx ? static_cast<float *>(std::malloc(sizeof(float) * n)) : nullptr;
    }
    if (!my) {
        std::free(mx);
        std::free(R);
        return false;
    }
    map->map_x = mx;
    map->map_y = my;
    map->size = static_cast<int32_t>(n);
    map->width = W;
    map->height = H;
    map->roi[0] = round_half_up_trunc(roi.x);
    map->roi[1] = round_half_up_trunc(roi.y);
    map->roi[2] = round_half_up_trunc(roi.w);
    map->roi[3] = round_half_up_trunc(roi.h);
    tarvo::lens::fill_map(mx, my, W, H, l, R);
    std::free(R);
    // Without the index table the map still works, sampled from the
    // positions, so a failed allocation here only costs speed.
    map->src_index = tarvo::lens::make_index(mx, my, W, H, OldArrays::take(old.idx));
    map->new_cam[0] = Kp[0];
    map->new_cam[1] = Kp[4];
    map->new_cam[2] = Kp[2];
    map->new_cam[3] = Kp[5];
    map->inited = 1;
    return true;
}

}  // namespace

extern "C" {

TARVO_API int tq_calib_len_init_map(tq_calib_len_map_t *map, const tq_lens_param_t *lens) {
    if (!map) return 0;
    OldArrays old;
    if (map->inited) {
        old.mx = map->map_x;
        old.my = map->map_y;
        old.idx = map->src_index;
        old.n = map->size;
    }
    clear_map(map);
    if (!lens || !build(map, *lens, old)) return 0;
    return map->size;
}

TARVO_API void tq_calib_len_uninit_map(tq_calib_len_map_t *map) {
    if (!map || !map->inited) return;
    std::free(map->map_x);
    std::free(map->map_y);
    std::free(map->src_index);
    map->map_x = nullptr;
    map->map_y = nullptr;
    map->src_index = nullptr;
    map->size = 0;
    map->inited = 0;
}

TARVO_API int tq_calib_len_undistort(const tq_calib_len_map_t *map, float *dst, int dst_len,
                                     const float *src, int src_w, int src_h, float invalid_value) {
    const bool built =
        map && map->inited && map->map_x && map->map_y && map->width > 0 && map->height > 0;
    if (!built) {
        TQ_ERR("[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", kUndistort,
               map ? map->width : 0, map ? map->height : 0, src_w, src_h);
        return 0;
    }
    // Nothing to do, and nothing to divide by.
    if (src_w <= 0 || src_h <= 0) return 1;
    if (map->width % src_w != 0 || map->height % src_h != 0) {
        TQ_ERR("[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", kUndistort, map->width,
               map->height, src_w, src_h);
        return 0;
    }
    if (static_cast<int64_t>(src_w) * src_h > dst_len) {
        TQ_ERR("[%s] Wrong parameter: %dx%d > dst_len=%d\n", kUndistort, src_w, src_h, dst_len);
        return 0;
    }
    if (!dst || !src) {
        TQ_ERR("[%s] Wrong parameter: src=%p, dst=%p\n", kUndistort, static_cast<const void *>(src),
               static_cast<void *>(dst));
        return 0;
    }
    const int bx = map->width / src_w, by = map->height / src_h;
    tarvo::lens::gather(*map, bx, by, src, src_w, src_h, dst, invalid_value);
    return 1;
}

}  // extern "C"
