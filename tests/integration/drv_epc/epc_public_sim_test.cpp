// The public outputs and filter switches on a simulated EPC camera: what an
// application calls reaches the EPC driver and its engine, and the point
// cloud uses the driver's lens record when the application passes none.
#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <thread>

#include "epc/epc_state.h"
#include "epc_sim_rig.h"
#include "tarvo/tarvo_frame.h"

namespace {

using namespace epc_rig;

class EpcPublicSim : public EpcSim {};

TEST_F(EpcPublicSim, MinimumAmplitudeFilterReachesTheEngineOnTheNextDecode) {
    make_bus(camera());
    open();
    std::vector<uint8_t> frame;
    tarvo_frame_info_t info = capture(frame);
    std::vector<float> out(k_pixels);

    const int32_t amp = 30;
    ASSERT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_MIN_AMPLITUDE, &amp, sizeof amp), 1);
    // Stored, not yet passed on: the engine sees it with the next decode.
    EXPECT_EQ(st()->min_amplitude, 30);
    ASSERT_EQ(
        tarvo_frame_get_distance(dev_, out.data(), k_pixels, frame.data(), k_frame_bytes, &info),
        k_pixels);
    EXPECT_EQ(tarvo::epc::state().min_amplitude, 30);
    EXPECT_EQ(tarvo::epc::state().hyst_upper, 900);
    for (int i = 0; i < k_pixels; i += 97) ASSERT_NEAR(out[i], 2.0f, 0.005f) << i;

    // Switched off: the engine keeps the last value it was given.
    ASSERT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_MIN_AMPLITUDE), 1);
    const int32_t other = 55;
    ASSERT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_MIN_AMPLITUDE, &other, sizeof other), 1);
    ASSERT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_MIN_AMPLITUDE), 1);
    ASSERT_EQ(
        tarvo_frame_get_gray(dev_, out.data(), k_pixels, frame.data(), k_frame_bytes, nullptr),
        k_pixels);
    EXPECT_EQ(tarvo::epc::state().min_amplitude, 30);
    for (int i = 0; i < k_pixels; i += 97) ASSERT_NEAR(out[i], 900.0f, 2.0f) << i;
}

TEST_F(EpcPublicSim, SyncGuardArgumentAndIgnoredIdentifiers) {
    make_bus(camera());
    open();
    const uint16_t v0 = 0x0100, v1 = 0x0101;
    ASSERT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_SYNC_GUARD, &v0, sizeof v0), 1);
    EXPECT_EQ(st()->sync_value, 256);
    EXPECT_EQ(st()->sync_flag, 0);
    EXPECT_EQ(st()->sync_guard_on, 1);
    ASSERT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_SYNC_GUARD, &v1, sizeof v1), 1);
    EXPECT_EQ(st()->sync_value, 0x0101);
    EXPECT_EQ(st()->sync_flag, 1);
    ASSERT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_SYNC_GUARD), 1);
    EXPECT_EQ(st()->sync_guard_on, 0);

    // Identifiers 2, 3 and unknown ones succeed and change nothing.
    std::vector<uint8_t> before(sizeof *st());
    std::memcpy(before.data(), st(), before.size());
    const uint32_t junk = 0xFFFFFFFF;
    for (int id : {2, 3, 9, 1000}) {
        EXPECT_EQ(tarvo_filter_enable(dev_, id, &junk, sizeof junk), 1) << id;
        EXPECT_EQ(tarvo_filter_disable(dev_, id), 1) << id;
    }
    EXPECT_EQ(std::memcmp(before.data(), st(), before.size()), 0);
    // A filter that needs an argument refuses a missing one, and one whose
    // given size is short of what it reads (here one byte for an int32).
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_MIN_AMPLITUDE, nullptr, 0), 0);
    const uint8_t one_byte = 7;
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_MIN_AMPLITUDE, &one_byte, 1), 0);
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_SYNC_GUARD, &one_byte, 1), 0);
    EXPECT_EQ(std::memcmp(before.data(), st(), before.size()), 0);
    EXPECT_NE(log_text().find("filter 4 reads 4 bytes, the argument has 1"), std::string::npos);
}

TEST_F(EpcPublicSim, PointCloudUsesTheDriversLensRecord) {
    make_bus(camera());
    open();
    // The built-in lens record, for a 320 x 240 image.
    tq_lens_param_t lens{};
    ASSERT_TRUE(drv_->ops->lens_param_get(drv_, &lens, 320, 240));
    EXPECT_DOUBLE_EQ(lens.cx, 157.262);
    EXPECT_DOUBLE_EQ(lens.fy, 204.817);

    std::vector<float> dist(k_pixels, 2.0f);
    dist[1] = 65.3f;  // a code: no point
    std::vector<float> pcl(3 * k_pixels);
    const int n = tarvo_frame_get_pcl(dev_, pcl.data(), static_cast<int>(pcl.size()), dist.data(),
                                      k_pixels, 320, 240, nullptr);
    ASSERT_EQ(n, k_pixels - 1);
    // Point 0 is pixel (0, 0); point 1 is pixel (2, 0).
    for (int k : {0, 1}) {
        const int u = k == 0 ? 0 : 2;
        const float du = static_cast<float>(u - lens.cx), dv = static_cast<float>(0 - lens.cy);
        const float x = static_cast<float>(2.0 * du / lens.fx);
        const float y = static_cast<float>(2.0 * dv / lens.fy);
        const float z = std::sqrt(static_cast<float>(4.0 - double(x) * x - double(y) * y));
        EXPECT_EQ(pcl[3 * k], x) << k;
        EXPECT_EQ(pcl[3 * k + 1], y) << k;
        EXPECT_EQ(pcl[3 * k + 2], z) << k;
    }
    // A 640 x 480 image does not divide the 320 x 240 record: no points.
    std::vector<float> big(640 * 480, 2.0f);
    EXPECT_EQ(tarvo_frame_get_pcl(dev_, pcl.data(), static_cast<int>(pcl.size()), big.data(),
                                  640 * 480, 640, 480, nullptr),
              0);
    EXPECT_NE(log_text().find("lens param not match the frame size: lens: 320x240, frame: 640x480"),
              std::string::npos);
}

// A frame-ready callback that outlives tarvo_dev_close's wait: it holds
// the first frame until the close has given up, then uses the driver's
// state (a filter switch). The close must leave the driver (and the link)
// to the last call that leaves the device, not stop them under it.
std::atomic<int> g_in_cb{0};
std::atomic<bool> g_close_returned{false};
std::atomic<int> g_driver_after_close{-1};
tarvo_drv_t *g_cb_drv = nullptr;

void late_frame(tarvo_dev_t *, tarvo_frame_t *) {
    if (g_in_cb.fetch_add(1) != 0) return;
    for (int i = 0; i < 6000 && !g_close_returned.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_driver_after_close = g_cb_drv->ops->filter_enable(g_cb_drv, 2, nullptr, 0) ? 1 : 0;
}

TEST_F(EpcPublicSim, CloseThatGivesUpLeavesTheDriverToTheLateCall) {
    make_bus(camera());
    open();
    g_cb_drv = drv_;
    ASSERT_TRUE(tarvo_cap_set_callback_on_frame_ready(dev_, late_frame));
    ASSERT_TRUE(tarvo_cap_start(dev_));
    tarvo_dev_t *dev = dev_;
    auto caller = std::async(std::launch::async, [dev] { return tarvo_cap_wait(dev, 0); });
    for (int i = 0; i < 5000 && g_in_cb.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(g_in_cb.load(), 0);
    tarvo_dev_close(dev_);
    dev_ = nullptr;
    drv_ = nullptr;
    g_close_returned = true;
    EXPECT_TRUE(log_text().find("[tarvo_dev_close]  api wait timeout") != std::string::npos);
    caller.get();
    EXPECT_EQ(g_driver_after_close.load(), 1);
    // The late call stopped the driver and closed the link as it left: the
    // camera opens again.
    open();
}

}  // namespace
