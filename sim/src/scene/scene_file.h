// Scene files of the simulated camera: a small JSON text naming the objects
// the camera looks at (format in sim/README.md).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tarvo_sim/config.h"

namespace tarvo::sim::phys {

// Limits of a scene file.
constexpr size_t k_scene_file_max_bytes = 64 * 1024;
constexpr size_t k_scene_max_objects = 64;
constexpr int k_scene_max_depth = 6;  // nesting of arrays and objects
constexpr double k_scene_max_coord_m = 100.0;

// Reads the scene of `text` into `sc` (its objects and ambient light; the
// scene becomes physical). On a bad text returns false with `err` naming
// where: "line L, column C: ..." for a syntax error, the object's path
// ("objects[2].radius: ...") for a value out of its range; `sc` is then
// unchanged.
bool parse_scene(std::string_view text, SceneConfig &sc, std::string &err);

// The same for the file at `path`.
bool load_scene_file(const std::string &path, SceneConfig &sc, std::string &err);

}  // namespace tarvo::sim::phys
