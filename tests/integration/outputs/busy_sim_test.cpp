// A close waits for the frame-product calls still inside the device: the
// decode, the driver's lens lookup and the filter switch each hold
// api_busy until they return, and the close frees the context only then.
#include <chrono>
#include <functional>
#include <thread>

#include "outputs_sim.h"

namespace {

using namespace outsim;

class Busy : public OutputsSim {
  protected:
    // Runs `call` on a thread while the probe driver holds it inside, then
    // closes the device on another and checks that the close waits until
    // the call is let go.
    void close_waits_for(const std::function<int()> &call, int want) {
        ASSERT_NE(open_ti(), nullptr);
        install(&k_probe_ops);
        probe_.hold.store(true);
        int result = -100;
        std::thread caller([&] { result = call(); });
        while (!probe_.entered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));

        std::atomic<bool> closed{false};
        std::thread closer([&] {
            tarvo_dev_close(dev_);
            closed.store(true);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_FALSE(closed.load());  // still waiting for the call
        probe_.hold.store(false);
        caller.join();
        closer.join();
        EXPECT_TRUE(closed.load());
        EXPECT_EQ(result, want);
        EXPECT_EQ(probe_.busy_inside, 1);
        EXPECT_EQ(std::atomic_ref<uint8_t>(dev_->api_busy).load(), 0);
        EXPECT_FALSE(log_has("api wait timeout"));
        saved_drv_ = nullptr;  // the context is gone
    }
    std::vector<float> buf_ = std::vector<float>(4096, 0.0f);
    std::vector<uint8_t> raw_ = std::vector<uint8_t>(64, 0);
};

TEST_F(Busy, CloseWaitsForADecode) {
    probe_.decode_result = 400;
    close_waits_for(
        [&] { return tarvo_frame_get_distance(dev_, buf_.data(), 4096, raw_.data(), 64, nullptr); },
        100);
}

TEST_F(Busy, CloseWaitsForALensLookup) {
    probe_.lens = {0.0, 0.0, 1.0, 1.0, {}, 2, 2};
    const float dist[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    close_waits_for(
        [&] { return tarvo_frame_get_pcl(dev_, buf_.data(), 4096, dist, 4, 2, 2, nullptr); }, 4);
}

TEST_F(Busy, CloseWaitsForAFilterSwitch) {
    close_waits_for([&] { return tarvo_filter_enable(dev_, TARVO_FILTER_HDR, nullptr, 0); }, 1);
}

}  // namespace
