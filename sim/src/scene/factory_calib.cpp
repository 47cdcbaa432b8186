// The calibration a factory measures on the simulated sensor: per pixel and
// calibration step the phase the sensor reads at a known distance, which
// includes the pixel's fixed-pattern error, packed the way the camera
// stores it (a package in a ZIP archive behind a 17-byte header).
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "archive.h"
#include "scene/optics.h"
#include "scene/sensor.h"
#include "tarvo_sim/scene.h"
#include "wire.h"

namespace tarvo::sim {

namespace {

constexpr uint32_t k_cal_khz = 12000;
constexpr int k_steps = 30;
constexpr double k_step_mm = 298.2;
constexpr int k_w = 320, k_h = 240;

std::vector<uint8_t> drnu_params() {
    std::vector<uint8_t> p(24);
    wire::put32(&p[0], k_cal_khz);
    wire::put32(&p[4], 8364);
    wire::put32(&p[8], phys::k_cal_temp);
    uint64_t bits;
    const double step = k_step_mm;
    std::memcpy(&bits, &step, 8);
    wire::put32(&p[12], static_cast<uint32_t>(bits));
    wire::put32(&p[16], static_cast<uint32_t>(bits >> 32));
    wire::put32(&p[20], static_cast<uint32_t>(phys::k_cal_ib_temp - 200));
    return p;
}

// Image k of pixel p: the phase read at the true phase o + k x l, the
// offset and step the distance engine derives from the frequency and the
// step length.
std::vector<uint8_t> drnu_images(uint16_t chip, uint16_t wafer) {
    const uint32_t g = phys::range_mm(k_cal_khz);
    const int o = static_cast<int>(885000.0 / (g / 10));
    const double l = static_cast<float>(k_step_mm * 30000.0 / g);
    const std::vector<float> e = phys::fixed_pattern(chip, wafer, k_w, k_h);
    std::vector<uint8_t> img(size_t{k_steps} * k_w * k_h * 2);
    for (int k = 0; k < k_steps; ++k)
        for (size_t p = 0; p < e.size(); ++p) {
            const long v = std::lround(o + k * l + e[p]);
            wire::put16(&img[2 * (size_t{static_cast<size_t>(k)} * e.size() + p)],
                        static_cast<uint16_t>(((v % 30000) + 30000) % 30000));
        }
    return img;
}

}  // namespace

const FactoryCalibration &factory_calibration(uint16_t chip_id, uint16_t wafer_id) {
    static std::mutex mu;
    static std::map<uint32_t, std::unique_ptr<FactoryCalibration>> made;
    std::lock_guard<std::mutex> lock(mu);
    auto &slot = made[uint32_t{wafer_id} << 16 | chip_id];
    if (slot) return *slot;
    auto fc = std::make_unique<FactoryCalibration>();
    fc->params = drnu_params();
    fc->images = drnu_images(chip_id, wafer_id);
    char name[64];
    std::snprintf(name, sizeof name, "calib_and_param_%03i.bin", chip_id);
    fc->package_name = name;
    std::vector<uint8_t> pkg = fc->params;
    pkg.insert(pkg.end(), fc->images.begin(), fc->images.end());
    fc->image = calib_image_of(zip_archive({{fc->package_name, pkg}}));
    slot = std::move(fc);
    return *slot;
}

std::vector<uint8_t> calib_info_of(const std::vector<uint8_t> &image) {
    std::vector<uint8_t> v(17, 0);
    v[0] = 1;
    wire::put32(&v[3], 1);  // version
    wire::put32(&v[7], static_cast<uint32_t>(image.size()));
    wire::put32(&v[11], static_cast<uint32_t>(image.size()));
    uint16_t sum = 0;
    for (uint8_t b : image) sum = static_cast<uint16_t>(sum + b);
    wire::put16(&v[15], sum);
    return v;
}

SceneTruth scene_truth(const CameraConfig &cfg, int width, int height, uint32_t f_khz) {
    return phys::Model(cfg.scene, cfg.chip_info[1], cfg.chip_info[2], width, height, f_khz).truth();
}

}  // namespace tarvo::sim
