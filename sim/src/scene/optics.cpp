// Rays through the lens and their first hit in the scene.
#include "scene/optics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

namespace tarvo::sim::phys {

namespace {

constexpr double k_deg = M_PI / 180.0;

double dot(const Vec3 &a, const Vec3 &b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Distance along `d` to the plane through `p` with normal `n`; <= 0: none.
double hit_plane(const Vec3 &p, const Vec3 &n, const Vec3 &d) {
    const double den = dot(n, d);
    if (std::fabs(den) < 1e-12) return -1.0;
    return dot(n, p) / den;
}

// Slab test of an axis-aligned box.
double hit_box(const SceneObject &o, const Vec3 &d) {
    double t0 = 0.0, t1 = std::numeric_limits<double>::infinity();
    for (int a = 0; a < 3; ++a) {
        const double lo = o.centre[a] - o.half[a], hi = o.centre[a] + o.half[a];
        if (std::fabs(d[a]) < 1e-15) {
            if (lo > 0.0 || hi < 0.0) return -1.0;
            continue;
        }
        double ta = lo / d[a], tb = hi / d[a];
        if (ta > tb) std::swap(ta, tb);
        t0 = std::max(t0, ta);
        t1 = std::min(t1, tb);
        if (t0 > t1) return -1.0;
    }
    return t0 > 0.0 ? t0 : -1.0;
}

double hit_sphere(const SceneObject &o, const Vec3 &d) {
    const double b = dot(o.centre, d);
    const double c = dot(o.centre, o.centre) - o.radius * o.radius;
    const double disc = b * b - c;
    if (disc < 0.0) return -1.0;
    const double s = std::sqrt(disc);
    return b - s > 0.0 ? b - s : (b + s > 0.0 ? b + s : -1.0);
}

}  // namespace

Vec3 pixel_ray(const Lens &lens, int w, int h, double u, double v) {
    const double sx = w > 0 ? static_cast<double>(lens.width) / w : 1.0;
    const double sy = h > 0 ? static_cast<double>(lens.height) / h : 1.0;
    const double x0 = (u * sx - lens.cx) / lens.fx, y0 = (v * sy - lens.cy) / lens.fy;
    // Invert the distortion by fixed-point iteration, run until it settles
    // far below a hundredth of a pixel.
    double x = x0, y = y0;
    for (int i = 0; i < 60; ++i) {
        const double r2 = x * x + y * y;
        const double kr = 1.0 + ((lens.k3 * r2 + lens.k2) * r2 + lens.k1) * r2;
        const double dx = 2.0 * lens.p1 * x * y + lens.p2 * (r2 + 2.0 * x * x);
        const double dy = lens.p1 * (r2 + 2.0 * y * y) + 2.0 * lens.p2 * x * y;
        x = (x0 - dx) / kr;
        y = (y0 - dy) / kr;
    }
    // The library's point clouds read the normalised image coordinates as
    // the ray's direction cosines (x = d (u - cx) / fx, z from the rest),
    // and so does this camera, so that clouds give its geometry back.
    // Beyond a radius of 1 there is no such direction: no ray.
    const double r2 = x * x + y * y;
    if (!(r2 < 1.0)) return {0.0, 0.0, 0.0};
    return {x, y, std::sqrt(1.0 - r2)};
}

const std::vector<Vec3> &pixel_rays(int w, int h) {
    static std::mutex mu;
    static std::map<std::pair<int, int>, std::unique_ptr<std::vector<Vec3>>> made;
    std::lock_guard<std::mutex> lock(mu);
    auto &slot = made[{w, h}];
    if (!slot) {
        slot = std::make_unique<std::vector<Vec3>>();
        const Lens lens;
        slot->reserve(static_cast<size_t>(w) * h);
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c) slot->push_back(pixel_ray(lens, w, h, c, r));
    }
    return *slot;
}

std::vector<SceneObject> objects_of(const SceneConfig &sc) {
    if (!sc.objects.empty()) return sc.objects;
    // A plane meeting the optical axis at distance_m, its normal turned by
    // tilt_deg about the x axis (for a positive angle the lower part, larger y,
    // lies further away).
    SceneObject p;
    p.kind = SceneObject::Kind::plane;
    p.centre = {0.0, 0.0, sc.distance_m};
    const double a = sc.tilt_deg * k_deg;
    p.normal = {0.0, std::sin(a), -std::cos(a)};
    p.reflectivity = sc.reflectivity;
    return {p};
}

Hit cast(const std::vector<SceneObject> &objects, const Vec3 &dir) {
    Hit best;
    if (dir[2] <= 0.0) return best;
    for (const SceneObject &o : objects) {
        double t = -1.0;
        switch (o.kind) {
            case SceneObject::Kind::plane:
                t = hit_plane(o.centre, o.normal, dir);
                break;
            case SceneObject::Kind::box:
                t = hit_box(o, dir);
                break;
            case SceneObject::Kind::sphere:
                t = hit_sphere(o, dir);
                break;
        }
        if (t > 0.0 && (!best.hit || t < best.t)) best = {t, o.reflectivity, true};
    }
    return best;
}

}  // namespace tarvo::sim::phys
