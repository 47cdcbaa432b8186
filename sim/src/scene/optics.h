// Geometry and lens of the physical scene: the objects, the rays the
// camera's pixels look along, and where each ray first meets an object.
#pragma once

#include <array>
#include <vector>

#include "tarvo_sim/config.h"

namespace tarvo::sim::phys {

using Vec3 = std::array<double, 3>;

// The camera's lens: pinhole matrix and radial-tangential distortion
// (k1, k2, p1, p2, k3), for a 320 x 240 image.
struct Lens {
    double cx = 157.262, cy = 122.083, fx = 210.783, fy = 204.817;
    double k1 = -0.378924, k2 = 0.145035, p1 = -0.000970854, p2 = 6.20728e-05, k3 = -0.0133954;
    int width = 320, height = 240;
};

// Unit direction of the ray seen by the pixel at raw image position (u, v)
// of a `w` x `h` image (the lens scaled by whole factors): the distortion
// inverted, then the normalised coordinates taken as direction cosines;
// (0, 0, 0) where they leave the unit circle.
Vec3 pixel_ray(const Lens &lens, int w, int h, double u, double v);

// The unit rays of every pixel of a `w` x `h` image (row-major), computed
// once per image size and kept.
const std::vector<Vec3> &pixel_rays(int w, int h);

// The scene's objects: its own list, or the default plane.
std::vector<SceneObject> objects_of(const SceneConfig &sc);

struct Hit {
    double t = 0.0;  // radial distance along the unit ray, metres
    double reflectivity = 0.0;
    bool hit = false;
};

// First object a unit ray from the origin meets.
Hit cast(const std::vector<SceneObject> &objects, const Vec3 &dir);

}  // namespace tarvo::sim::phys
