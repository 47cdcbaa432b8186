// Fuzzes the simulator's scene-file reader: any text is either refused with
// a message or gives a scene whose objects all lie within the file limits.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scene/scene_file.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

bool within(const std::array<double, 3> &v, double lim) {
    for (double c : v)
        if (!std::isfinite(c) || std::fabs(c) > lim) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace tarvo::sim::phys;
    tarvo::sim::SceneConfig sc;
    std::string err;
    const bool ok =
        parse_scene(std::string_view(reinterpret_cast<const char *>(data), size), sc, err);
    if (!ok) {
        check(!err.empty(), "a refusal names its reason");
        check(sc.objects.empty() && !sc.physical, "a refused text leaves the scene alone");
        return 0;
    }
    check(sc.physical, "a read scene is physical");
    check(!sc.objects.empty() && sc.objects.size() <= k_scene_max_objects, "object count");
    check(sc.ambient_light >= 0.0 && sc.ambient_light <= 10.0, "ambient light");
    for (const auto &o : sc.objects) {
        check(o.reflectivity >= 0.0 && o.reflectivity <= 1.0, "reflectivity");
        check(within(o.centre, k_scene_max_coord_m), "centre");
        check(within(o.half, k_scene_max_coord_m / 2), "half extents");
        check(o.radius > 0.0 && o.radius <= k_scene_max_coord_m, "radius");
        const double n = std::hypot(o.normal[0], o.normal[1], o.normal[2]);
        check(std::fabs(n - 1.0) < 1e-9, "unit normal");
    }
    return 0;
}
