// Files tarvo-cli writes from decoded images: colour and gray PNGs
// (libpng), binary little-endian PLY point clouds, frame files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvo/tarvo.h"

namespace tarvo_cli {

// One decoded frame.
struct Image {
    int width = 0, height = 0;
    std::vector<float> dist;  // metres, codes above 60 for no distance
    std::vector<float> gray;  // empty when not decoded
    double decode_ms = 0;     // time the distance and gray decode took
};

// The picture and point-cloud outputs that capture and convert share.
struct PictureOptions {
    std::string png, gray_png, ply, lens;
    float range_min = 0.0f, range_max = 5.0f, gray_max = 0.0f;
    bool ply_color = false;
};

// Colour-mapped distance PNG over [range_min, range_max] metres (the
// library's default colour map). False after a message on standard error.
bool write_color_png(const std::string &path, const Image &im, float range_min, float range_max);

// 8-bit gray PNG: level = min(255, round(255 * gray / gray_max)); gray_max
// <= 0 takes the largest gray value of the image.
bool write_gray_png(const std::string &path, const Image &im, float gray_max);

// Binary little-endian PLY of the valid pixels (x y z in metres, with
// red green blue from the colour map when `color`), through the library's
// point-cloud call with `cam` (or the device's lens when `cam` is null).
// Returns the number of points, -1 on failure.
int write_ply(const std::string &path, tarvo_dev_t *dev, const Image &im,
              const tarvo_camera_param_t *cam, bool color);

// The path for frame `n`: "{n}" in `pattern` replaced by the number.
std::string frame_path(const std::string &pattern, unsigned n);

// Parses "cx,cy,fx,fy" into camera parameters (dist_scale 1).
bool parse_lens(const std::string &text, tarvo_camera_param_t &out);

}  // namespace tarvo_cli
