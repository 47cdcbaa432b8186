// Faults at the camera end a capture: a stalled endpoint, a camera that
// leaves the bus, a stream that goes silent, a refused start command.
#include "dev_sim.h"
#include "ll/usb/usb_ll.h"

namespace {

using namespace devtest;
using K = tarvo::sim::StreamFault::Kind;

class DevFault : public SimTest {
  protected:
    tarvo_dev_t *open_cam(const tarvo::sim::CameraConfig &cfg) {
        cam_ = std::make_unique<tarvo::sim::Camera>(make_bus(cfg));
        len_ = frame_len(cfg);
        buf_.assign(4 * len_, 0);
        return open_first(&rec_);
    }
    // Collects until a call returns a negative code (or `ms` pass).
    int collect_until_error(tarvo_dev_t *dev, int ms) {
        auto t0 = std::chrono::steady_clock::now();
        while (ms_since(t0) < ms) {
            int r = tarvo_cap_get_frames(dev, 1, buf_.data(), len_, nullptr);
            if (r < 0) return r;
        }
        return 0;
    }
    std::unique_ptr<tarvo::sim::Camera> cam_;
    uint32_t len_ = 0;
    std::vector<uint8_t> buf_;
};

int g_error_calls = 0;
bool count_error(tarvo_dev_t *, int, int) {
    ++g_error_calls;
    return true;
}

TEST_F(DevFault, StalledEndpointLeavesErrorSevenPending) {
    tarvo_dev_t *dev = open_cam(ti_camera(100));
    ASSERT_NE(dev, nullptr);
    cam_->add_stream_fault({K::stall, 6, 1, 0});
    ASSERT_TRUE(tarvo_cap_start(dev));
    EXPECT_EQ(collect_until_error(dev, 5000), TARVO_ERR_CAP_STALL);

    // Pending without an error callback: every collecting call returns it
    // at once; the capture counts as ongoing until it is stopped.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(tarvo_cap_get_frames(dev, 3, buf_.data(), 3 * len_, nullptr), TARVO_ERR_CAP_STALL);
    EXPECT_EQ(tarvo_cap_get_frame(dev, buf_.data(), len_, nullptr), TARVO_ERR_CAP_STALL);
    EXPECT_LT(ms_since(t0), 300);
    EXPECT_TRUE(tarvo_cap_is_ongoing(dev));
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_stopped), 1u);
    EXPECT_TRUE(tarvo_cap_wait(dev, 0));  // already ended

    // The next start clears the halt and the error.
    cam_->clear_stream_faults();
    EXPECT_TRUE(tarvo_cap_stop(dev));
    EXPECT_FALSE(tarvo_cap_is_ongoing(dev));
    ASSERT_TRUE(tarvo_cap_start(dev));
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_err), 0);
    EXPECT_EQ(tarvo_cap_get_frames(dev, 2, buf_.data(), 2 * len_, nullptr), 2);
}

TEST_F(DevFault, VanishedCameraLeavesErrorTenPending) {
    tarvo_dev_t *dev = open_cam(ti_camera(100));
    ASSERT_NE(dev, nullptr);
    cam_->add_stream_fault({K::vanish, 90, 1, 0});  // after the start was confirmed
    ASSERT_TRUE(tarvo_cap_start(dev));
    EXPECT_EQ(collect_until_error(dev, 5000), TARVO_ERR_CAP_UNKNOWN);
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, buf_.data(), len_, nullptr), TARVO_ERR_CAP_UNKNOWN);
    EXPECT_FALSE(cam_->present());

    // The stop command cannot reach the camera: stop still returns true and
    // the capture stays "ongoing"; close goes through regardless.
    EXPECT_TRUE(tarvo_cap_stop(dev));
    EXPECT_TRUE(tarvo_cap_is_ongoing(dev));
    auto t0 = std::chrono::steady_clock::now();
    tarvo_dev_close(dev);
    EXPECT_LT(ms_since(t0), 3500);
    EXPECT_EQ(rec_.lldev, nullptr);

    // Back on its port with a new address, the same record opens it again.
    cam_->clear_stream_faults();
    cam_->replug();
    ASSERT_EQ(tarvo_dev_open(&rec_), &rec_);
    ASSERT_TRUE(tarvo_cap_start(&rec_));
    EXPECT_EQ(tarvo_cap_get_frames(&rec_, 2, buf_.data(), 2 * len_, nullptr), 2);
}

TEST_F(DevFault, MoreThanSixtyFourTimeOutsEndTheCapture) {
    tarvo_dev_t *dev = open_cam(ti_camera(100));
    ASSERT_NE(dev, nullptr);
    g_error_calls = 0;
    // Transfers time out after 300 ms instead of 6 s: five rounds of the
    // sixteen queued reads take 1.5 s.
    int old_timeout = tarvo::usb::usb_ll_set_ring_timeout_ms(300);
    cam_->add_stream_fault({K::silence, 3, 1, 0});
    ASSERT_TRUE(tarvo_cap_start(dev));
    // The wait ends when the 65th transfer time-out ends the capture.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(tarvo_cap_wait(dev, 0));
    EXPECT_GE(ms_since(t0), 4 * 300);  // not before the fifth round
    tarvo::usb::usb_ll_set_ring_timeout_ms(old_timeout);
    EXPECT_GT(tarvo::dev::load(ctx(dev)->trans_timeouts), 64);
    EXPECT_TRUE(log_has("[on_capture_event] trans timeout -> stop\n"));
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, buf_.data(), len_, nullptr), TARVO_ERR_CAP_TIMEOUT);

    // With an error callback the error is handed to it once and cleared.
    ASSERT_TRUE(tarvo_cap_set_callback_on_error(dev, count_error));
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, buf_.data(), len_, nullptr), TARVO_ERR_CAP_TIMEOUT);
    EXPECT_EQ(g_error_calls, 1);
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_err), 0);
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, buf_.data(), len_, nullptr), 0);
    EXPECT_EQ(g_error_calls, 1);
}

TEST_F(DevFault, RefusedStartCommand) {
    tarvo_dev_t *dev = open_cam(ti_camera(100));
    ASSERT_NE(dev, nullptr);
    cam_->fail_command({0xC2, 4}, "sensor off");
    EXPECT_FALSE(tarvo_cap_start(dev));
    EXPECT_FALSE(tarvo_cap_is_ongoing(dev));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, buf_.data(), len_, nullptr), -2);
    EXPECT_LT(ms_since(t0), 300);

    cam_->fail_command({0xC2, 4}, "sensor off");
    EXPECT_FALSE(tarvo_cap_snapshot(dev, buf_.data(), len_, nullptr));

    // A start with too small a frame buffer never reaches the camera.
    cam_->clear_log();
    EXPECT_TRUE(tarvo_cap_set_frame_buffer(dev, nullptr, 614399));
    EXPECT_FALSE(tarvo_cap_start(dev));
    EXPECT_TRUE(log_has("[_tarvo_cap_start]  capture buffer not set or size is not correct \n"));
    EXPECT_EQ(cam_->stats().captures_started, 0u);
    EXPECT_TRUE(tarvo_cap_set_frame_buffer(dev, nullptr, 614400));
    uint32_t size = 0;
    EXPECT_TRUE(tarvo_cap_get_frame_buffer(dev, nullptr, &size));
    EXPECT_EQ(size, 614400u);

    ASSERT_TRUE(tarvo_cap_start(dev));
    EXPECT_FALSE(tarvo_cap_set_frame_buffer(dev, nullptr, 3072000));
    EXPECT_TRUE(
        log_has("Set frame buffer is not allowed when device is not open or is capturing\n"));
    tarvo_frame_info_t info = {};
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, buf_.data(), len_, &info), 1);
    EXPECT_TRUE(is_frame(buf_.data(), len_, info.frame_idx, len_));
}

}  // namespace
