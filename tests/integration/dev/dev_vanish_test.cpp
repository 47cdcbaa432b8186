// The camera leaves the bus at every stage: during open, during a command,
// during a capture (with callbacks and with collecting calls), during a
// firmware write and during the calibration read-out of an EPC camera; and
// USB interface resets whose reopen succeeds late or never. Each stage must
// fail (or survive) with its log line within its documented time, leak
// nothing (the sanitizers watch), and leave a record that closes and opens
// the camera again once it is back.
#include <cstdio>
#include <fstream>
#include <functional>

#include "dev_sim.h"
#include "tarvo/tarvo_data.h"

namespace {

using namespace devtest;
using Clock = std::chrono::steady_clock;
using K = tarvo::sim::StreamFault::Kind;

constexpr char k_fw[] = "vanish_fw.bin";

// One stage. `arm` prepares the camera before the open; `run` (none for the
// open stages, where the open itself is the stage) gets the opened record and
// returns whether the stage gave the result the case expects.
struct Stage {
    const char *name;
    bool epc;
    std::function<void(tarvo::sim::Camera &, tarvo::sim::CameraConfig &)> arm;
    std::function<bool(tarvo::sim::Camera &, tarvo_dev_t *)> run;
    int64_t max_ms;  // the stage's documented bound
    const char *log;
    bool opens;  // for the open stages (no `run`): whether the open succeeds
};

std::atomic<int> g_frames{0};
std::atomic<int> g_err{0};
void on_frame(tarvo_dev_t *, tarvo_frame_t *) {
    ++g_frames;
}
bool on_error(tarvo_dev_t *, int err, int) {
    g_err = err;
    return false;
}

// Collects one frame at a time until a call fails or `ms` pass.
int collect_until_error(tarvo_dev_t *dev, int ms) {
    std::vector<uint8_t> buf(1 << 16);
    auto t0 = Clock::now();
    while (ms_since(t0) < ms) {
        int r = tarvo_cap_get_frame(dev, buf.data(), static_cast<uint32_t>(buf.size()), nullptr);
        if (r < 0) return r;
        if (g_err) return g_err;
    }
    return 0;
}

const Stage k_stages[] = {
    {"Open", false,
     [](auto &cam, auto &) {
         cam.vanish_on_command({0xC0, 4});
     },
     nullptr, 6000, "exe usb cmd failed: LIBUSB_ERROR_NO_DEVICE", false},
    // An EPC camera leaves at its driver's first register read.
    {"OpenInDriverInit", true,
     [](auto &cam, auto &) {
         cam.vanish_on_command({0xC2, 1});
     },
     // A driver whose start failed does not fail the open.
     nullptr, 6000, "[tarvo_dev_open] Load calibration data failed", true},
    {"ParamGet", false, nullptr,
     [](auto &cam, tarvo_dev_t *dev) {
         cam.vanish_on_command({0xC0, 4});
         tarvo_param_item_t item{};
         item.param_id = TARVO_PARAM_FRAME_RATE;
         item.param_val_len = 7;
         return !tarvo_param_batch_get(dev, &item, 1) && item.param_val_len == 7;
     },
     1000, "exe usb cmd failed: LIBUSB_ERROR_NO_DEVICE", false},
    {"CaptureCallbacks", false, nullptr,
     [](auto &cam, tarvo_dev_t *dev) {
         g_frames = 0;
         g_err = 0;
         tarvo_cap_set_callback_on_frame_ready(dev, on_frame);
         tarvo_cap_set_callback_on_error(dev, on_error);
         cam.add_stream_fault({K::vanish, 30, 1, 0});
         if (!tarvo_cap_start(dev)) return false;
         int r = collect_until_error(dev, 5000);
         tarvo_cap_stop(dev);
         return r == TARVO_ERR_CAP_UNKNOWN && g_err == TARVO_ERR_CAP_UNKNOWN && g_frames >= 5;
     },
     // start (2 s) + frames up to packet 30 at 100 fps + one collecting wait
     5000, nullptr, false},
    {"CaptureCollecting", false, nullptr,
     [](auto &cam, tarvo_dev_t *dev) {
         cam.add_stream_fault({K::vanish, 30, 1, 0});
         if (!tarvo_cap_start(dev)) return false;
         // A call waiting for 50 frames (up to 7.5 s) returns the frames
         // placed before the camera left as soon as the capture ends.
         std::vector<uint8_t> buf(6144 * 50);
         auto t0 = Clock::now();
         const int r = tarvo_cap_get_frames(dev, 50, buf.data(), 6144 * 50, nullptr);
         EXPECT_GE(r, 5);
         EXPECT_LT(r, 50);
         EXPECT_LT(ms_since(t0), 1500);
         // The error stays pending without an error callback: every later
         // call returns it at once.
         t0 = Clock::now();
         for (int i = 0; i < 2; ++i)
             EXPECT_EQ(tarvo_cap_get_frames(dev, 3, buf.data(), 6144 * 3, nullptr),
                       TARVO_ERR_CAP_UNKNOWN);
         EXPECT_LT(ms_since(t0), 300);
         const bool ok = r > 0;
         tarvo_cap_stop(dev);
         return ok;
     },
     4000, nullptr, false},
    {"FirmwareWrite", false, nullptr,
     [](auto &cam, tarvo_dev_t *dev) {
         tarvo::sim::FlashFaults f;
         f.drop_at_chunk = 2;
         cam.flash().set_faults(f);
         // A failed exchange is neither followed by the board reset nor by
         // the 20 s settle of a firmware image.
         return tarvo_firmware_upgrade(dev, 0, 0x0200, k_fw) == -1 &&
                cam.flash().stats().chunks_accepted == 2;
     },
     3000, nullptr, false},
    {"CalibrationReadOut", true,
     [](auto &cam, auto &) {
         // A valid stored calibration of 3000 bytes that parameter 8 announces;
         // the camera leaves as it starts sending it.
         std::vector<uint8_t> info(17, 0);
         info[0] = 1;
         info[3] = 1;
         for (int i = 0; i < 4; ++i) info[7 + i] = info[11 + i] = uint8_t(3000 >> (8 * i));
         cam.set_param(8, info);
         cam.set_calibration(std::vector<uint8_t>(3000, 0));
         cam.add_stream_fault({K::vanish, 0, 1, 0});
     },
     nullptr, 6000, "[_load_calib_data] capturing is stopped due to some error!", true},
};

void PrintTo(const Stage &s, std::ostream *os) {
    *os << s.name;
}

class DevVanish : public SimTest, public ::testing::WithParamInterface<Stage> {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        std::ofstream(k_fw, std::ios::binary) << std::string(5000, '\x3C');
    }
    void TearDown() override {
        SimTest::TearDown();
        std::remove(k_fw);
    }
    tarvo::sim::CameraConfig config(bool epc) {
        tarvo::sim::CameraConfig cfg = ti_camera(100);
        if (epc) cfg.product = "TarvoSim-E2-1.0";
        return cfg;
    }
    // Closes the record within its bound, brings the camera back if it is
    // not, and checks the same record opens it and reads a parameter.
    void reopen_when_back(tarvo::sim::Camera &cam, tarvo_dev_t *dev, const std::string &product) {
        auto t0 = Clock::now();
        if (dev) tarvo_dev_close(dev);
        EXPECT_LT(ms_since(t0), 3500);
        EXPECT_EQ(rec_.lldev, nullptr);
        cam.clear_stream_faults();
        cam.clear_command_faults();
        cam.flash().clear_faults();
        if (!cam.present()) cam.replug();
        ASSERT_EQ(tarvo_dev_open(&rec_), &rec_);
        // No collecting call waited out its time-out, not even the one of
        // an EPC open whose only frame, the calibration, arrives at once.
        EXPECT_FALSE(log_has("[_tarvo_cap_get_frames]  timeout")) << read_log();
        tarvo_param_item_t item{};
        item.param_id = TARVO_PARAM_PRODUCT;
        ASSERT_TRUE(tarvo_param_batch_get(&rec_, &item, 1));
        EXPECT_STREQ(reinterpret_cast<char *>(item.param_val), product.c_str());
    }
};

TEST_P(DevVanish, FailsInTimeAndOpensAgainWhenBack) {
    const Stage &s = GetParam();
    tarvo::sim::CameraConfig cfg = config(s.epc);
    tarvo::sim::Camera cam = make_bus(cfg);
    if (s.arm) s.arm(cam, cfg);
    ASSERT_EQ(tarvo_dev_list(list_, 4), 1);
    rec_ = list_[0];
    auto t0 = Clock::now();
    tarvo_dev_t *dev = tarvo_dev_open(&rec_);
    if (!s.run) {
        EXPECT_EQ(dev, s.opens ? &rec_ : nullptr);
    } else {
        ASSERT_EQ(dev, &rec_);
        t0 = Clock::now();
        EXPECT_TRUE(s.run(cam, dev));
    }
    if (dev) opened_.push_back(dev);
    const int64_t took = ms_since(t0);
    EXPECT_LT(took, s.max_ms);
    if (s.log) EXPECT_TRUE(log_has(s.log)) << read_log();
    EXPECT_FALSE(cam.present());
    reopen_when_back(cam, dev, cfg.product);
}

INSTANTIATE_TEST_SUITE_P(Stages, DevVanish, ::testing::ValuesIn(k_stages),
                         [](const auto &info) { return std::string(info.param.name); });

// A USB interface reset: the camera stays off the bus for `off_ms`; the
// link tries to reopen it every 200 ms, 15 times.
struct Reset {
    const char *name;
    uint32_t off_ms;
    bool reopened;
    int64_t min_ms, max_ms;
};
const Reset k_resets[] = {
    {"ReopensOnALaterAttempt", 650, true, 650, 2000},
    {"NeverReopens", 60000, false, 3000, 4000},
};

class DevReset : public DevVanish {};

TEST_F(DevReset, InterfaceResetReopensLateOrNever) {
    for (const Reset &r : k_resets) {
        SCOPED_TRACE(r.name);
        tq_log_enable(1, 0, nullptr);  // the reset's progress lines are traces
        tarvo::sim::CameraConfig cfg = config(false);
        cfg.reset_delay_ms = r.off_ms;
        tarvo::sim::Camera cam = make_bus(cfg);
        tarvo_dev_t *dev = open_first(&rec_);
        ASSERT_EQ(dev, &rec_);
        const uint8_t addr = cam.address();
        auto t0 = Clock::now();
        EXPECT_FALSE(tarvo_dev_reset(dev, 3));  // nothing confirms an interface reset
        const int64_t took = ms_since(t0);
        EXPECT_GE(took, r.min_ms);
        EXPECT_LT(took, r.max_ms);
        EXPECT_TRUE(log_has("[usb_ll_dev_reset] Reset usb if (timeout = 3000 ms) ...\n"));
        EXPECT_TRUE(log_has("[usb_ll_dev_reset] Reset usb if end. \n"));
        EXPECT_EQ(log_has("[usb_ll_dev_reset] reopen device failed!\n"), !r.reopened);
        tarvo_param_item_t item{};
        item.param_id = TARVO_PARAM_PRODUCT;
        EXPECT_EQ(tarvo_param_batch_get(dev, &item, 1), r.reopened);
        if (r.reopened) EXPECT_NE(cam.address(), addr);
        reopen_when_back(cam, dev, cfg.product);
        tarvo_dev_close(&rec_);
        opened_.clear();
        tarvo_uninit();
        bus_.reset();
        std::remove(k_log);
        tarvo_init(k_log);
    }
}

}  // namespace
