// Scene options of tarvo-sim (physical scene of EPC cameras).
#include "scene/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "scene/scene_file.h"

namespace tarvo::sim::phys {

namespace {

bool number(const char *v, double lo, double hi, double &out, std::string &err) {
    char *end = nullptr;
    errno = 0;
    const double x = std::strtod(v, &end);
    if (!*v || *end || errno || !std::isfinite(x) || x < lo || x > hi) {
        err = "needs a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
              ", got '" + v + "'";
        return false;
    }
    out = x;
    return true;
}

const SceneOption k_options[] = {
    {"--distance", "M", "plane facing the camera at M metres along the optical axis (1.5)",
     [](CameraConfig &c, const char *v, std::string &e) {
         return number(v, 0.05, 100.0, c.scene.distance_m, e);
     }},
    {"--tilt", "DEG", "that plane turned by DEG degrees about the horizontal axis (0)",
     [](CameraConfig &c, const char *v, std::string &e) {
         return number(v, -80.0, 80.0, c.scene.tilt_deg, e);
     }},
    {"--reflectivity", "R", "reflectivity of that plane, 0 to 1 (0.8)",
     [](CameraConfig &c, const char *v, std::string &e) {
         return number(v, 0.0, 1.0, c.scene.reflectivity, e);
     }},
    {"--seed", "N", "seed of the shot noise (1)",
     [](CameraConfig &c, const char *v, std::string &e) {
         double x = 0;
         if (!number(v, 0, 1e15, x, e)) return false;
         c.scene.seed = static_cast<uint64_t>(x);
         return true;
     }},
    {"--noise", "on|off", "shot noise (on)",
     [](CameraConfig &c, const char *v, std::string &e) {
         if (std::strcmp(v, "on") && std::strcmp(v, "off")) {
             e = std::string("needs on or off, got '") + v + "'";
             return false;
         }
         c.scene.noise = !std::strcmp(v, "on");
         return true;
     }},
    {"--temperature", "C", "fixed sensor and IB temperature, degC (default: rising from 30)",
     [](CameraConfig &c, const char *v, std::string &e) {
         double x = 0;
         if (!number(v, -40.0, 125.0, x, e)) return false;
         c.scene.temperature_c = x;
         return true;
     }},
    {"--no-calibration", nullptr, "a camera without a stored calibration",
     [](CameraConfig &c, const char *, std::string &) {
         c.factory_calibration = false;
         return true;
     }},
    {"--scene", "FILE", "the objects of a JSON scene file instead of one plane (sim/README.md)",
     [](CameraConfig &c, const char *v, std::string &e) { return load_scene_file(v, c.scene, e); }},
    {"--calibration", "FILE", "the stored calibration image (17-byte header, then the payload)",
     [](CameraConfig &c, const char *v, std::string &e) {
         std::ifstream f(v, std::ios::binary);
         if (!f) {
             e = std::string("cannot read ") + v;
             return false;
         }
         c.calibration.assign(std::istreambuf_iterator<char>(f), {});
         if (c.calibration.empty()) e = std::string(v) + " is empty";
         return !c.calibration.empty();
     }},
    {"--amplitude", "A", "the flat test scene instead: one distance, amplitude A (ADC counts)",
     [](CameraConfig &c, const char *v, std::string &e) {
         c.scene.physical = false;
         return number(v, 0.0, 2047.0, c.scene.amplitude, e);
     }},
};

}  // namespace

const SceneOption *find_scene_option(const std::string &name) {
    for (const SceneOption &o : k_options)
        if (name == o.name) return &o;
    return nullptr;
}

void print_scene_options(FILE *f) {
    std::fputs("EPC scene options (a physical scene seen through the default lens):\n", f);
    for (const SceneOption &o : k_options) {
        std::string left = std::string(o.name) + (o.arg ? std::string(" ") + o.arg : "");
        std::fprintf(f, "  %-22s  %s\n", left.c_str(), o.help);
    }
}

}  // namespace tarvo::sim::phys
