// The physical scene as the EPC sensor measures it: per pixel the true
// radial distance, the signal amplitude, the sensor's fixed-pattern phase
// error, and per frame the temperature drift, the ambient offset, shot
// noise and the ADC limits, written as the four DCS sample planes in the
// sensor's read-out order.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvo_sim/config.h"

namespace tarvo::sim::phys {

// Sensor and IB temperatures at which the factory calibrated the camera, 0.1 degC.
constexpr int k_cal_temp = 300;
constexpr int k_cal_ib_temp = 300;
// Integration time the amplitudes below are given for, microseconds.
constexpr double k_ref_intg_us = 700.0;
// Amplitude (ADC counts) of a white target at 1 m at the reference integration time.
constexpr double k_amp_1m = 1300.0;

// Unambiguous range in millimetres as the distance engine truncates it.
uint32_t range_mm(uint32_t f_khz);
// Phase units the sensor's reading drifts by at these temperatures (0.1
// degC) against the calibration temperatures.
double drift_units(uint32_t f_khz, int sensor_t, int ib_t);
// The sensor's fixed-pattern phase error of output pixel p (row-major), phase
// units at any frequency; a property of the chip (chip id, wafer id).
std::vector<float> fixed_pattern(uint16_t chip_id, uint16_t wafer_id, int w, int h);

// What one frame is taken with.
struct Exposure {
    uint32_t f_khz = 12000;
    double intg_us = k_ref_intg_us;
    int sensor_t = k_cal_temp;  // 0.1 degC
    int ib_t = k_cal_ib_temp;
    bool hdr = false;  // odd rows of each pair: the short exposure
    bool in_sync = true;
    uint64_t frame_seq = 0;  // seeds the noise of this frame
};

// Sensor and IB temperatures (0.1 degC) `seconds` after power-on: fixed
// when the scene says so, else rising from 30 degC towards 45 / 47 degC
// with a time constant of 120 s.
std::array<int, 2> temperatures(const SceneConfig &sc, double seconds);

// The per-scene part, computed once; render() adds what changes per frame.
class Model {
  public:
    Model(const SceneConfig &sc, uint16_t chip_id, uint16_t wafer_id, int w, int h, uint32_t f_khz);
    bool fits(int w, int h, uint32_t f_khz) const { return w == w_ && h == h_ && f_khz == f_; }
    // Writes the four planes into `out` (cut to its size, the rest zero).
    // Without noise a frame depends only on the exposure: the last one is
    // kept and copied while the exposure stays the same.
    void render(const Exposure &e, std::span<uint8_t> out) const;
    // Renders the frame of `e` ahead (noise off: kept for render()).
    void prepare(const Exposure &e) const;
    SceneTruth truth() const;

  private:
    SceneConfig sc_;
    int w_, h_;
    uint32_t f_;
    std::vector<float> radial_;  // metres; 0: no object
    std::vector<float> xyz_;
    std::vector<float> amp_;        // amplitude at the reference integration time
    std::vector<float> phase_;      // true phase plus fixed-pattern error, units
    std::vector<float> cos_, sin_;  // of phase_
    mutable Exposure kept_e_;
    mutable std::vector<uint8_t> kept_;
    void draw(const Exposure &e, std::span<uint8_t> out) const;
};

// The four samples (DCS0..DCS3) whose decoded phase is exactly `phase`
// (0..29999) with an amplitude near `amp` about the level `b`, clipped to
// the ADC's 0..4095.
std::array<int, 4> exact_samples(int phase, double amp, int b);

}  // namespace tarvo::sim::phys
