// The scene an EPC camera looks at, turned into the four DCS sample planes
// of a distance frame (see SceneConfig in tarvo_sim/config.h).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "scene/sensor.h"
#include "state.h"

namespace tarvo::sim::scene {

// True when frames of this capture are scene frames: the chip is there and
// the format is 2, or 0 with room for four planes.
bool applies(const Camera::State &s, const StreamConfig &cfg, uint32_t frlen);

// Writes the frame into `out` (four planes of width x height little-endian
// u16 samples, cut to out.size(), the rest zero) for the modulation
// frequency `f_khz`.
void render(const SceneConfig &sc, uint16_t width, uint16_t height, uint32_t f_khz,
            std::span<uint8_t> out);

// Physical scene: writes frame `seq` of the capture as the sensor takes it
// at `now_us` (temperatures, integration time, HDR and sync as the camera
// stands), and puts the temperatures into `drv_info` and parameter 15.
void render_physical(Camera::State &s, int64_t now_us, uint32_t seq, uint16_t width,
                     uint16_t height, uint32_t f_khz, std::span<uint8_t> out,
                     std::array<uint8_t, 8> &drv_info);

// What the sensor's next frame is taken with, as the camera stands now.
phys::Exposure exposure_of(const Camera::State &s, int64_t now_us, uint32_t f_khz);
// The physical model of a camera's scene with the frame of `e` rendered
// ahead: heavy work that a caller does outside the camera's lock.
std::shared_ptr<phys::Model> prepare_physical(const CameraConfig &cfg, const phys::Exposure &e);

// The drv_info of a scene frame: sensor and IB temperature (0.1 degC) as
// little-endian i16 at bytes 0 and 2, from the camera's temperatures.
std::array<uint8_t, 8> drv_info(const Camera::State &s, const std::array<uint8_t, 8> &base);

// One pixel's four samples for distance d at frequency f_khz.
std::array<uint16_t, 4> samples(const SceneConfig &sc, double d, uint32_t f_khz);

}  // namespace tarvo::sim::scene
