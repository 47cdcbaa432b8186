// Point clouds: a distance image turned into a packed list of points,
// with camera parameters from the application or the chip driver.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "api/dev_door.h"
#include "frame/cmap_default.h"
#include "frame/cmap_mm.h"
#include "frame/frame_vec.h"
#include "log/log.h"
#include "tarvo/tarvo_frame.h"
#include "tarvo/tq_calib_len.h"
#include "tarvo/tq_cmap.h"

// The rounding points below are part of the result; keep the compiler
// from fusing multiplies and adds.
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace {

// Distances at or beyond this (the drivers' invalid codes) carry no point.
constexpr float k_max_distance = 60.0f;

struct Camera {
    double cx, cy, fx, fy;
    float dist_scale;
};

// The camera parameters of the call: the application's, or the driver's
// lens parameters for this image size. Call with api_busy held.
bool camera_of(const char *name, tarvo_dev_t *dev, const tarvo_camera_param_t *p, int img_w,
               int img_h, Camera *cam) {
    if (p) {
        *cam = {p->cx, p->cy, p->fx, p->fy, p->dist_scale};
        return true;
    }
    tarvo::dev::OpenDevice od;
    if (!tarvo::dev::open_device(dev, &od)) {
        TQ_ERR(tarvo::k_no_device, name);
        return false;
    }
    tarvo_drv_t *drv = od.drv;
    if (!drv || !drv->ops || !drv->ops->lens_param_get) {
        TQ_ERR("[%s] Cannot generate PCL: no lens parameter in driver.\n", name);
        return false;
    }
    tq_lens_param_t lens = {};
    if (!drv->ops->lens_param_get(drv, &lens, img_w, img_h)) return false;  // the driver logs
    *cam = {lens.cx, lens.cy, lens.fx, lens.fy, 1.0f};
    return true;
}

// One pass over the image, writing kStride floats per valid pixel:
// x, y, z and, for a stride of 4, the scaled distance or its colour.
template <int kStride>
int point_cloud(const char *name, tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                int img_w, int img_h, bool pseudo_color, const tarvo_camera_param_t *p_cam_param) {
    if (!dev) return 0;
    tarvo::dev::BusyScope busy(dev);
    Camera cam;
    if (!camera_of(name, dev, p_cam_param, img_w, img_h, &cam)) return 0;
    if (!pcl || !dist) return 0;

    const tq_cmap_t &cmap = tarvo::default_cmap();
    // The vector path takes whole groups of pixels while they surely fit;
    // the loop below does the rest of each row.
    tarvo::frame_vec::CmapView view{};
    const tarvo::frame_vec::Path path = tarvo::frame_vec::path();
    const bool vec = path != tarvo::frame_vec::Path::portable &&
                     (kStride == 3 || !pseudo_color || tarvo::frame_vec::cmap_view(cmap, view));
    const std::unique_ptr<uint32_t, decltype(&std::free)> table(
        vec && kStride == 4 && pseudo_color
            ? tarvo::frame_vec::mm_table(path, view, static_cast<int64_t>(img_w) * img_h)
            : nullptr,
        &std::free);
    // u - cx is the same in every row.
    const std::unique_ptr<float, decltype(&std::free)> du_of_u(
        vec && img_w > 0 ? static_cast<float *>(std::malloc(sizeof(float) * img_w)) : nullptr,
        &std::free);
    if (du_of_u)
        for (int u = 0; u < img_w; ++u) du_of_u.get()[u] = static_cast<float>(u - cam.cx);
    int64_t n = 0;
    for (int v = 0; v < img_h; ++v) {
        const float dv = static_cast<float>(v - cam.cy);
        const int64_t row = static_cast<int64_t>(v) * img_w;
        int u = 0;
        if (du_of_u) {
            const tarvo::frame_vec::PclRow r{
                dist + row, du_of_u.get(),  img_w,
                dv,         cam.cx,         cam.fx,
                cam.fy,     cam.dist_scale, kStride == 4 && pseudo_color ? &view : nullptr};
            u = tarvo::frame_vec::pcl_pixels(path, r, 0, kStride, pcl, n, pcl_len);
        }
        for (; u < img_w; ++u) {
            // Room for one more point, checked before every pixel.
            if (kStride * n + (kStride - 1) >= pcl_len) return static_cast<int>(n);
            const float d = dist[row + u];
            if (!(d > 0.0f && d < k_max_distance)) continue;  // also NaN

            const float ds = d * cam.dist_scale;
            const float du = static_cast<float>(u - cam.cx);
            const float x = static_cast<float>(static_cast<double>(ds) * du / cam.fx);
            const float y = static_cast<float>(static_cast<double>(ds) * dv / cam.fy);
            const double r2 = static_cast<double>(ds) * ds - static_cast<double>(x) * x -
                              static_cast<double>(y) * y;
            const float z = std::sqrt(static_cast<float>(r2));  // NaN below 0

            float *out = pcl + kStride * n;
            out[0] = x;
            out[1] = y;
            out[2] = z;
            if constexpr (kStride == 4) {
                if (pseudo_color) {
                    // A NaN scaled distance (a NaN scale) counts as low
                    // amplitude: drawn black.
                    const int mm = tarvo::cmap_mm::from_metres(ds, TQ_DIST_LOW_AMP);
                    out[3] = static_cast<float>(tq_cmap_get_color(&cmap, mm));
                } else {
                    out[3] = ds;
                }
            }
            ++n;
        }
    }
    return static_cast<int>(n);
}

}  // namespace

extern "C" {

TARVO_API int tarvo_frame_get_pcl(tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                  int /*dist_len*/, int img_w, int img_h,
                                  const tarvo_camera_param_t *p_cam_param) {
    return point_cloud<3>("tarvo_frame_get_pcl", dev, pcl, pcl_len, dist, img_w, img_h, false,
                          p_cam_param);
}

TARVO_API int tarvo_frame_get_pcl_xyzd(tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int /*dist_len*/, int img_w, int img_h, bool pseudo_color,
                                       const tarvo_camera_param_t *p_cam_param) {
    return point_cloud<4>("tarvo_frame_get_pcl_xyzd", dev, pcl, pcl_len, dist, img_w, img_h,
                          pseudo_color, p_cam_param);
}

}  // extern "C"
