// Shared set-up of the device and capture tests: a simulated camera on an
// emulated bus, the library started with a log file of its own, and small
// helpers to read the log and to check frame bytes against the camera's
// test pattern.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "api/dev_ctx.h"
#include "tarvo/tarvo.h"
#include "tarvo_sim/sim.h"

namespace devtest {

constexpr char k_log[] = "dev_test.log";
constexpr char k_ti_product[] = "TarvoSim-T0-1.0";

// A TI camera (its driver has every operation the capture path needs)
// with small frames spread over three packets each.
inline tarvo::sim::CameraConfig ti_camera(uint32_t fps = 50) {
    tarvo::sim::CameraConfig cfg;
    cfg.product = k_ti_product;
    cfg.frame_rate = fps;
    cfg.stream.width = 64;
    cfg.stream.height = 48;
    cfg.stream.frame_bytes = 64 * 48 * 2;  // 6144
    cfg.stream.packet_payload = 2048;      // three packets per frame
    cfg.stream.paced = true;
    return cfg;
}

inline uint32_t frame_len(const tarvo::sim::CameraConfig &cfg) {
    return tarvo::sim::frame_length(cfg.stream);
}

// The bytes the camera sends for the frame with capture sequence `seq`.
inline std::vector<uint8_t> pattern(uint32_t seq, uint32_t len) {
    std::vector<uint8_t> out(len);
    tarvo::sim::test_pattern(seq, out);
    return out;
}

// True when `len` bytes at `p` are the start of frame `seq`'s pattern.
inline bool is_frame(const uint8_t *p, uint32_t len, uint32_t seq, uint32_t frame_bytes) {
    std::vector<uint8_t> want = pattern(seq, frame_bytes);
    return std::equal(p, p + len, want.begin());
}

// The whole log file written so far.
inline std::string read_log() {
    std::ifstream in(k_log, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool log_has(const std::string &text) {
    return read_log().find(text) != std::string::npos;
}

inline size_t log_count(const std::string &text) {
    std::string log = read_log();
    size_t n = 0;
    for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) ++n;
    return n;
}

inline tarvo_dev_ctx_t *ctx(tarvo_dev_t *dev) {
    return tarvo::dev::ctx_load(dev);
}

inline tq_stream_state_t stream_state(tarvo_dev_t *dev) {
    tq_stream_state_t st{};
    tq_stream_get_state(ctx(dev)->stream, &st);
    return st;
}

inline int64_t ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

// Fixture: the library started with a fresh log file, a bus made by the
// test through make_bus(), and every record the test opened closed again
// before the bus goes away.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::remove(k_log);
        tarvo_init(k_log);
    }
    void TearDown() override {
        for (tarvo_dev_t *d : opened_) tarvo_dev_close(d);
        tarvo_uninit();
        bus_.reset();
    }

    tarvo::sim::Camera make_bus(const tarvo::sim::CameraConfig &cfg, unsigned cameras = 1) {
        bus_ = std::make_unique<tarvo::sim::Bus>(cameras, cfg);
        return bus_->camera(0);
    }

    // Lists the first camera into `rec` and opens it; remembered for
    // TearDown.
    tarvo_dev_t *open_first(tarvo_dev_t *rec) {
        tarvo_dev_t list[4];
        if (tarvo_dev_list(list, 4) < 1) return nullptr;
        *rec = list[0];
        tarvo_dev_t *dev = tarvo_dev_open(rec);
        if (dev) opened_.push_back(dev);
        return dev;
    }

    tarvo::sim::Camera camera_on_port(int port) const {
        for (size_t i = 0; i < bus_->size(); ++i)
            if (bus_->camera(i).port() == port) return bus_->camera(i);
        ADD_FAILURE() << "no camera on port " << port;
        return bus_->camera(0);
    }

    // Records the tests open live in the fixture, so that TearDown can
    // close them after the test body ended.
    tarvo_dev_t rec_{};
    tarvo_dev_t list_[4]{};

    std::unique_ptr<tarvo::sim::Bus> bus_;
    std::vector<tarvo_dev_t *> opened_;
};

}  // namespace devtest
