// Shared set-up of the frame-product tests on an open device: a simulated
// TI camera sending whole 320 x 240 x 4-byte frames, and a driver row of
// the test's own that a test may put in the device's context in place of
// the TI row, to see what the entry points hand to a driver and to make
// the driver fail or block.
#pragma once

#include <atomic>
#include <cstring>
#include <vector>

#include "../dev/dev_sim.h"
#include "platform/platform.h"

namespace outsim {

using namespace devtest;

constexpr uint32_t k_w = 320;
constexpr uint32_t k_h = 240;
constexpr uint32_t k_frame_bytes = k_w * k_h * 4;
constexpr uint32_t k_pixels = k_w * k_h;

inline tarvo::sim::CameraConfig ti_full_frames() {
    tarvo::sim::CameraConfig cfg = ti_camera(50);
    cfg.stream.frame_bytes = k_frame_bytes;
    cfg.stream.packet_payload = 64 * 1024;
    return cfg;
}

// What the test driver's operations saw and what they answer. Words the
// operations touch are atomics: a close may run beside them.
struct Probe {
    // frame_decode
    int decode_result = -7;
    int calls = 0;
    uint32_t dst_bytes = 0;
    int out_kind = 0;
    const void *src = nullptr;
    uint32_t src_bytes = 0;
    tarvo_frame_info_t info{};
    // lens_param_get
    bool lens_ok = true;
    tq_lens_param_t lens{};
    bool lens_was_zero = false;
    int lens_w = 0, lens_h = 0;
    // filter operations
    bool filter_ok = true;
    uint32_t filter_id = 0;
    const void *filter_arg = nullptr;
    int filter_extra = 0;
    bool disabled = false;
    // api_busy as the operation saw it
    int busy_inside = -1;
    // blocking: an operation waits while `hold` is set
    std::atomic<bool> hold{false};
    std::atomic<bool> entered{false};
};

inline Probe &probe_of(tarvo_drv_t *drv) {
    return *static_cast<Probe *>(drv->priv);
}

inline void note_entry(tarvo_drv_t *drv) {
    Probe &p = probe_of(drv);
    p.busy_inside = std::atomic_ref<uint8_t>(drv->dev->api_busy).load();
    p.entered.store(true);
    while (p.hold.load()) tarvo::platform::sleep_ms(5);
}

inline int probe_decode(tarvo_drv_t *drv, void *, uint32_t dst_bytes, int out_kind,
                        const uint16_t *src, uint32_t src_bytes, const tarvo_frame_info_t *info) {
    Probe &p = probe_of(drv);
    ++p.calls;
    p.dst_bytes = dst_bytes;
    p.out_kind = out_kind;
    p.src = src;
    p.src_bytes = src_bytes;
    p.info = *info;
    note_entry(drv);
    return p.decode_result;
}

inline bool probe_lens(tarvo_drv_t *drv, tq_lens_param_t *out, int w, int h) {
    Probe &p = probe_of(drv);
    const tq_lens_param_t zero{};
    p.lens_was_zero = std::memcmp(out, &zero, sizeof zero) == 0;
    p.lens_w = w;
    p.lens_h = h;
    note_entry(drv);
    if (!p.lens_ok) return false;
    *out = p.lens;
    return true;
}

inline bool probe_enable(tarvo_drv_t *drv, uint32_t id, const void *arg, int extra) {
    Probe &p = probe_of(drv);
    p.filter_id = id;
    p.filter_arg = arg;
    p.filter_extra = extra;
    p.disabled = false;
    note_entry(drv);
    return p.filter_ok;
}

inline bool probe_disable(tarvo_drv_t *drv, uint32_t id) {
    Probe &p = probe_of(drv);
    p.filter_id = id;
    p.disabled = true;
    note_entry(drv);
    return p.filter_ok;
}

inline constexpr tarvo_drv_ops_t k_probe_ops = {
    nullptr, nullptr, nullptr, probe_decode, probe_lens,    nullptr,
    nullptr, nullptr, nullptr, probe_enable, probe_disable,
};

// Fixture: one open TI camera; install() swaps in a test driver row,
// which TearDown swaps back before the device is closed.
class OutputsSim : public SimTest {
  protected:
    void TearDown() override {
        if (dev_ && saved_drv_) {
            tarvo_dev_ctx_t *c = ctx(dev_);
            if (c) c->drv = saved_drv_;
        }
        SimTest::TearDown();
    }

    tarvo_dev_t *open_ti() {
        cam_ = std::make_unique<tarvo::sim::Camera>(make_bus(ti_full_frames()));
        dev_ = open_first(&rec_);
        return dev_;
    }

    // One frame captured through the link, with the information the
    // capture call reported (the device keeps it as its last frame's).
    std::vector<uint8_t> capture_one(tarvo_frame_info_t *info) {
        std::vector<uint8_t> buf(k_frame_bytes);
        EXPECT_TRUE(tarvo_cap_start(dev_));
        EXPECT_EQ(tarvo_cap_get_frames(dev_, 1, buf.data(), k_frame_bytes, info), 1);
        EXPECT_TRUE(tarvo_cap_stop(dev_));
        return buf;
    }

    tarvo_drv_t *install(const tarvo_drv_ops_t *ops) {
        tarvo_dev_ctx_t *c = ctx(dev_);
        if (!saved_drv_) saved_drv_ = c->drv;
        row_ = {"probe driver", "P0", ops, dev_, &probe_};
        c->drv = &row_;
        return &row_;
    }

    std::unique_ptr<tarvo::sim::Camera> cam_;
    tarvo_dev_t *dev_ = nullptr;
    tarvo_drv_t *saved_drv_ = nullptr;
    tarvo_drv_t row_{};
    Probe probe_;
};

}  // namespace outsim
