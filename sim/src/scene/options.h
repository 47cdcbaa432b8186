// The launcher's scene options, as a table: name, whether it takes a
// value, its help line and how it changes the camera configuration.
#pragma once

#include <cstdio>
#include <string>

#include "tarvo_sim/config.h"

namespace tarvo::sim::phys {

struct SceneOption {
    const char *name;
    const char *arg;  // nullptr: no value
    const char *help;
    // Applies the value; false with `err` set when it is not acceptable.
    bool (*apply)(CameraConfig &cfg, const char *value, std::string &err);
};

// The option called `name`, or nullptr.
const SceneOption *find_scene_option(const std::string &name);
// Help lines of every scene option.
void print_scene_options(FILE *f);

}  // namespace tarvo::sim::phys
