// A simulated EPC camera opened through the library, and the calibration
// image such a camera stores (a 17-byte header and a ZIP made by the zip
// tool around one calibration package).
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drv/epc/epc_drv.h"
#include "epc/epc_state.h"
#include "tarvo/tarvo.h"
#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_epc_drv.h"
#include "tarvo_sim/epc_chip.h"
#include "tarvo_sim/sim.h"
#include "test_files.h"

namespace epc_rig {

constexpr char k_log[] = "drv_epc_sim.log";
// Chip information of the default simulated camera: wafer 7, chip 42.
constexpr char k_images[] = "vexm_ex_images_drnu_W007_C042_10.bin";
constexpr char k_params[] = "vexm_ex_drnu_param_W007_C042_10.bin";
constexpr uint32_t k_frame_bytes = 320 * 240 * 8;
constexpr int k_pixels = 320 * 240;

inline bool exists(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

inline void put32(std::string &s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

// DRNU parameter part: offset 8364, calibrated at 35.0 / 35.2 degC (the
// simulated camera's temperatures), 298.2 mm steps.
inline std::string drnu_params() {
    std::string p;
    put32(p, 8364);
    put32(p, 350);
    double step = 298.2;
    uint64_t bits;
    std::memcpy(&bits, &step, 8);
    put32(p, static_cast<uint32_t>(bits));
    put32(p, static_cast<uint32_t>(bits >> 32));
    put32(p, 352 - 200);
    return p;
}

// 30 distance images of an ideal sensor at 12000 kHz: step k of every pixel
// is the phase measured at the true phase o + k x l (o = 708, l from the
// 298.2 mm step and the 12491 mm unambiguous range).
inline std::string drnu_images(int n = 30) {
    const double l = 298.2 * 30000.0 / 12491.0;
    std::string img;
    img.reserve(static_cast<size_t>(n) * k_pixels * 2);
    for (int k = 0; k < n; ++k) {
        const auto v = static_cast<uint16_t>(std::lround(708 + k * l));
        for (int p = 0; p < k_pixels; ++p) {
            img.push_back(static_cast<char>(v & 0xFF));
            img.push_back(static_cast<char>(v >> 8));
        }
    }
    return img;
}

// Zips `files` (name, bytes) with the zip tool; returns the archive bytes.
inline std::string zip_of(const std::vector<std::pair<std::string, std::string>> &files) {
    const std::string dir = "zip_src";
    std::system(("rm -rf " + dir + " pkg.zip && mkdir -p " + dir).c_str());
    std::string names;
    for (const auto &[name, bytes] : files) {
        tarvo_test::write_file(dir + "/" + name, bytes);
        names += " " + name;
    }
    const int rc = std::system(("cd " + dir + " && zip -q ../pkg.zip" + names).c_str());
    EXPECT_EQ(rc, 0);
    std::string zip = tarvo_test::read_file("pkg.zip");
    std::system(("rm -rf " + dir + " pkg.zip").c_str());
    return zip;
}

// The stored calibration image: valid, archive flag, payload length at 11.
inline std::vector<uint8_t> calib_image(const std::string &payload, uint8_t valid = 1,
                                        uint8_t archive = 1, int64_t len_delta = 0) {
    std::string h(17, '\0');
    h[0] = static_cast<char>(valid);
    h[2] = static_cast<char>(archive);
    const auto len = static_cast<uint32_t>(static_cast<int64_t>(payload.size()) + len_delta);
    for (int i = 0; i < 4; ++i) h[11 + i] = static_cast<char>(len >> (8 * i));
    std::string all = h + payload;
    return {all.begin(), all.end()};
}

inline std::vector<uint8_t> calib_info(uint8_t valid, uint32_t file_size) {
    std::vector<uint8_t> v(17, 0);
    v[0] = valid;
    v[3] = 1;  // version 1
    for (int i = 0; i < 4; ++i) {
        v[7 + i] = static_cast<uint8_t>(file_size >> (8 * i));
        v[11 + i] = static_cast<uint8_t>(file_size >> (8 * i));
    }
    return v;
}

// The values the host wrote to parameter `id`, in order.
inline std::vector<std::vector<uint8_t>> param_writes(const tarvo::sim::Camera &cam, uint8_t id) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto &c : cam.commands()) {
        if (c.request != 0xC0 || (c.value & 0xFF) != 3 || c.in) continue;
        for (size_t at = 0; at + 20 <= c.data.size(); at += 20)
            if (c.data[at] == id)
                out.emplace_back(c.data.begin() + static_cast<long>(at) + 2,
                                 c.data.begin() + static_cast<long>(at) + 2 + c.data[at + 1]);
    }
    return out;
}

inline void remove_outputs() {
    for (const char *f : {k_images, k_params, "calibration.bin", "tmp.zip",
                          "calib_and_param_001.bin", "lens_param.txt"})
        std::remove(f);
}

inline void reset_process_state() {
    tarvo::epc::reset_state();
    tarvo::drv::epc::lens_record_reset();
    tarvo::drv::epc::reset_sync_clock();
    tarvo::drv::epc::reset_monitor_clock();
    tarvo::drv::epc::set_clock(nullptr);
}

class EpcSim : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_process_state();
        remove_outputs();
        std::remove(k_log);
        tarvo_init(k_log);
        tarvo_log_cfg(4, 0, 5);
    }
    void TearDown() override {
        close();
        tarvo_uninit();
        bus_.reset();
        reset_process_state();
        remove_outputs();
    }
    static tarvo::sim::CameraConfig camera() {
        tarvo::sim::CameraConfig cfg;  // "TarvoSim-E2-1.0": the EPC driver
        cfg.stream.format = 2;
        cfg.stream.frame_bytes = k_frame_bytes;
        cfg.scene.distance_m = 2.0;
        return cfg;
    }
    void make_bus(const tarvo::sim::CameraConfig &cfg) {
        bus_ = std::make_unique<tarvo::sim::Bus>(1, cfg);
        cam_ = std::make_unique<tarvo::sim::Camera>(bus_->camera(0));
    }
    void open() {
        tarvo_dev_t list[2];
        ASSERT_EQ(tarvo_dev_list(list, 2), 1);
        rec_ = list[0];
        dev_ = tarvo_dev_open(&rec_);
        ASSERT_NE(dev_, nullptr);
        drv_ = tarvo_dev_get_drv(dev_);
        ASSERT_NE(drv_, nullptr);
        ASSERT_EQ(drv_->ops, &g_tarvo_driver_op_epc);
    }
    void close() {
        if (dev_) tarvo_dev_close(dev_);
        dev_ = nullptr;
        drv_ = nullptr;
    }
    // Captures one frame of the camera into `frame`.
    tarvo_frame_info_t capture(std::vector<uint8_t> &frame) {
        frame.assign(k_frame_bytes, 0);
        tarvo_frame_info_t info{};
        EXPECT_TRUE(tarvo_cap_start(dev_));
        EXPECT_EQ(tarvo_cap_get_frames(dev_, 1, frame.data(), k_frame_bytes, &info), 1);
        EXPECT_TRUE(tarvo_cap_stop(dev_));
        return info;
    }
    int decode(std::vector<float> &out, int kind, const std::vector<uint8_t> &frame,
               const tarvo_frame_info_t &info) {
        out.assign(k_pixels, -1.0f);
        return drv_->ops->frame_decode(drv_, out.data(), k_pixels * 4, kind,
                                       reinterpret_cast<const uint16_t *>(frame.data()),
                                       static_cast<uint32_t>(frame.size()), &info);
    }
    std::string log_text() const { return tarvo_test::read_file(k_log); }
    tarvo::drv::epc::epc_drv_state_t *st() const { return tarvo::drv::epc::state_of(drv_); }

    std::unique_ptr<tarvo::sim::Bus> bus_;
    std::unique_ptr<tarvo::sim::Camera> cam_;
    tarvo_dev_t rec_{};
    tarvo_dev_t *dev_ = nullptr;
    tarvo_drv_t *drv_ = nullptr;
};

}  // namespace epc_rig
