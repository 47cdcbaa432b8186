// The physical scene of a simulated EPC camera, for tests: its ground truth
// and the factory calibration the camera holds (see sim/README.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvo_sim/config.h"

namespace tarvo::sim {

// Ground truth of the camera's physical scene for a `width` x `height`
// image at the modulation frequency `f_khz` (12000: the camera's default).
SceneTruth scene_truth(const CameraConfig &cfg, int width = 320, int height = 240,
                       uint32_t f_khz = 12000);

// The factory calibration of the sensor with this chip and wafer id, taken
// at 12000 kHz and 30.0 degC: the DRNU parameter file, the distance images
// (30 steps of 298.2 mm from 0.2948 m) that carry the sensor's own
// fixed-pattern error, the package joining them ("calib_and_param_%03i.bin")
// and the stored image (17-byte header and a ZIP holding the package).
struct FactoryCalibration {
    std::vector<uint8_t> params;
    std::vector<uint8_t> images;
    std::string package_name;
    std::vector<uint8_t> image;
};
const FactoryCalibration &factory_calibration(uint16_t chip_id, uint16_t wafer_id);

// Parameter 8's value describing a stored image of `size` bytes.
std::vector<uint8_t> calib_info_of(const std::vector<uint8_t> &image);

}  // namespace tarvo::sim
