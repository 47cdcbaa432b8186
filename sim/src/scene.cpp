// The scene of an EPC camera: per pixel a distance, turned into the four
// phase samples the sensor delivers, written in the sensor's read-out order.
#include "scene.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "epc_chip.h"
#include "scene/sensor.h"
#include "tarvo_sim/epc_chip.h"
#include "wire.h"

namespace tarvo::sim::scene {

namespace {

constexpr double k_c_half = 149896229.0;  // m/s

// Output row of raw row i: raw rows start at the centre of the image and
// alternate upwards and downwards.
uint32_t output_row(uint32_t i, uint32_t rows) {
    const uint32_t half = rows / 2;
    return (i % 2 == 0) ? half - 1 - i / 2 : half + i / 2;
}

}  // namespace

bool applies(const Camera::State &s, const StreamConfig &cfg, uint32_t frlen) {
    if (!epc_chip::present(s.cfg)) return false;
    const uint64_t planes = uint64_t{cfg.width} * cfg.height * 8;
    return cfg.format == 2 || (cfg.format == 0 && frlen >= planes);
}

std::array<uint16_t, 4> samples(const SceneConfig &sc, double d, uint32_t f_khz) {
    const double range = f_khz ? k_c_half / (f_khz * 1000.0) : 1.0;
    const double phi = 2.0 * M_PI * std::fmod(d / range, 1.0);
    std::array<uint16_t, 4> out{};
    for (int k = 0; k < 4; ++k) {
        const double v = std::lround(sc.ambient + sc.amplitude * std::cos(phi - k * M_PI / 2.0));
        out[static_cast<size_t>(k)] = static_cast<uint16_t>(std::clamp(v, 1.0, 4094.0));
    }
    return out;
}

void render(const SceneConfig &sc, uint16_t width, uint16_t height, uint32_t f_khz,
            std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    const uint32_t w = width, h = height;
    const size_t plane = size_t{w} * h;
    // One distance per output row: compute each row's samples once.
    std::vector<std::array<uint16_t, 4>> rows(h);
    for (uint32_t r = 0; r < h; ++r)
        rows[r] = samples(sc, sc.distance_m + sc.row_step_m * r, f_khz);
    for (uint32_t k = 0; k < 4; ++k) {
        for (uint32_t i = 0; i < h; ++i) {
            const uint16_t v = rows[output_row(i, h)][k];
            for (uint32_t j = 0; j < w; ++j) {
                const size_t at = 2 * (k * plane + size_t{i} * w + j);
                if (at + 2 > out.size()) return;
                wire::put16(&out[at], v);
            }
        }
    }
}

phys::Exposure exposure_of(const Camera::State &s, int64_t now_us, uint32_t f_khz) {
    const int64_t on = s.power_on_us < 0 ? now_us : s.power_on_us;
    const auto t = phys::temperatures(s.cfg.scene, static_cast<double>(now_us - on) / 1e6);
    phys::Exposure e;
    e.f_khz = f_khz;
    e.sensor_t = t[0];
    e.ib_t = t[1];
    if (auto it = s.params.find(k_param_intg_time); it != s.params.end() && it->second.size() >= 2)
        e.intg_us = it->second[0] | (it->second[1] << 8);
    // HDR: the chip's register 148, bit 7.
    if (auto it = s.regs.find({k_epc_reg_space, 148}); it != s.regs.end())
        e.hdr = (it->second & 0x80) != 0;
    e.in_sync = !s.cfg.scene.out_of_sync || s.sync_set;
    return e;
}

std::shared_ptr<phys::Model> prepare_physical(const CameraConfig &cfg, const phys::Exposure &e) {
    auto m = std::make_shared<phys::Model>(cfg.scene, cfg.chip_info[1], cfg.chip_info[2],
                                           cfg.stream.width, cfg.stream.height, e.f_khz);
    m->prepare(e);
    return m;
}

void render_physical(Camera::State &s, int64_t now_us, uint32_t seq, uint16_t width,
                     uint16_t height, uint32_t f_khz, std::span<uint8_t> out,
                     std::array<uint8_t, 8> &info) {
    if (!s.phys_model || !s.phys_model->fits(width, height, f_khz))
        s.phys_model = std::make_shared<phys::Model>(s.cfg.scene, s.cfg.chip_info[1],
                                                     s.cfg.chip_info[2], width, height, f_khz);
    if (s.power_on_us < 0) s.power_on_us = now_us;
    phys::Exposure e = exposure_of(s, now_us, f_khz);
    e.frame_seq = seq;
    s.phys_model->render(e, out);
    std::vector<uint8_t> p15(4);
    wire::put16(&p15[0], static_cast<uint16_t>(e.sensor_t));
    wire::put16(&p15[2], static_cast<uint16_t>(e.ib_t));
    s.params[k_param_temperature] = p15;
    for (size_t i = 0; i < 4; ++i) info[i] = p15[i];
}

std::array<uint8_t, 8> drv_info(const Camera::State &s, const std::array<uint8_t, 8> &base) {
    std::array<uint8_t, 8> info = base;
    const auto it = s.params.find(k_param_temperature);
    if (it == s.params.end()) return info;
    for (size_t i = 0; i < 4 && i < it->second.size(); ++i) info[i] = it->second[i];
    return info;
}

}  // namespace tarvo::sim::scene
