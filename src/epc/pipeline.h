// Internals shared by the engine's own pipeline (calculator.cpp,
// kernels.cpp, image_filters.cpp, kalman.cpp) and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "epc/epc_state.h"

namespace tarvo::epc {

// Geometry of the images the pipeline works on, from the engine state.
struct PipeGeometry {
    int C = 0;     // columns
    int Rh = 0;    // rows per half
    int H = 0;     // halves
    int R = 0;     // rows: Rh x H
    int dcs = 0;   // DCS count
    size_t S = 0;  // samples of one raw image: C x R x dcs
    size_t pixels() const { return static_cast<size_t>(C) * static_cast<size_t>(R); }
};

// The current geometry; false when it is empty or larger than the sensor
// (more than 328 columns, 252 rows or 16 samples per position), which no
// pipeline step accepts.
bool pipe_geometry(PipeGeometry &g);

// Image fetch for the kernels: *out points at S readable samples in every
// case it returns true; `failed` says that no frame could be had (the
// samples are zeros). False only for a geometry pipe_geometry() refuses.
bool fetch_image(const char *fn, const uint16_t **out, bool &failed);

// Size of the buffer a captured frame lands in: 82656 positions x 16 samples.
constexpr uint32_t k_capture_bytes = 2644992;

// Back to the load-time values of the calculator, iterators, kernel
// buffers, image filters and temporal filters (tests only).
void pipeline_reset();
void calculator_reset();
void kernels_reset();
void image_filters_reset();
void kalman_reset();

// One pixel's temporal-filter history, for tests that start from a given
// history.
struct KalmanPixel {
    double estimate = 0.0;
    double last_measurement = 0.0;
    double last_valid = 0.0;
    double reference = 0.0;
    double P = 0.0;
    int counter = 0;
    int samples = 0;
    double sum = 0.0;
    double sum_sq = 0.0;
    double previous = 0.0;
    bool seen = false;
};
KalmanPixel *kalman_pixel(int pixel);  // null outside 0 .. 82655

// One defective-pixel entry as loaded and as transformed.
struct BadPixel {
    uint16_t x = 0, y = 0;
    int32_t index = 0;
    uint8_t direction = 0;  // 0..7, or k_dir_unknown
};
constexpr uint8_t k_dir_unknown = 0xFF;
constexpr int k_bad_pixel_max = 1024;
const BadPixel *bad_pixels(int *count);
const BadPixel *bad_pixels_transformed(int *count);

}  // namespace tarvo::epc
