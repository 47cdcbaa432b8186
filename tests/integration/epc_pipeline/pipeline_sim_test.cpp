// calculationDistanceSorted on a frame the engine captures by itself from
// the bound (simulated) camera: the capture is started and stopped around
// the fetch, and every pixel of the result matches the distance computed
// straight from the camera's test pattern for that frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "epc/epc_state.h"
#include "epc/pipeline.h"
#include "tarvo/tarvo.h"
#include "tarvo_sim/sim.h"

namespace {

constexpr char k_log[] = "epc_pipeline_sim.log";
constexpr uint32_t k_frame_bytes = 320 * 240 * 4 * 2;  // four DCS planes of 320 x 240

// A camera whose driver leaves the engine alone (the test binds it), with
// frames of four DCS planes, one frame per capture.
tarvo::sim::CameraConfig camera() {
    tarvo::sim::CameraConfig cfg;
    cfg.product = "TarvoSim-T0-1.0";
    cfg.frame_rate = 30;
    cfg.stream.width = 320;
    cfg.stream.height = 240;
    cfg.stream.frame_bytes = k_frame_bytes;
    cfg.stream.max_frames = 1;
    return cfg;
}

// Distance of one pixel of four samples (divider 2) with the amplitude
// hysteresis freshly cleared: minimum amplitude 30, hysteresis 20, ADC
// limits 1 and 4094.
uint16_t expected_distance(const uint16_t s[4]) {
    int d[4];
    for (int i = 0; i < 4; ++i) {
        d[i] = s[i] & 0x0FFF;
        if (d[i] < 1 || d[i] > 4094) return 65500;
    }
    const int a1 = d[3] - d[1], a2 = d[2] - d[0];
    const int q = ((a2 * a2 + a1 * a1) / 2) / 2;
    if (q < 900) return 65300;  // below the upper threshold from a cleared state
    return static_cast<uint16_t>((atan2_lut(a1, a2) + 315000) % 30000);
}

class PipelineSim : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvo::epc::reset_state();
        tarvo::epc::pipeline_reset();
        std::remove(k_log);
        tarvo_init(k_log);
        tarvo_log_cfg(3, 0, 5);
        bus_ = std::make_unique<tarvo::sim::Bus>(1, camera());
        cam_ = std::make_unique<tarvo::sim::Camera>(bus_->camera(0));
        tarvo_dev_t list[2];
        ASSERT_EQ(tarvo_dev_list(list, 2), 1);
        rec_ = list[0];
        dev_ = tarvo_dev_open(&rec_);
        ASSERT_NE(dev_, nullptr);
        ASSERT_NE(epc_adapter_init(dev_), 0);
    }
    void TearDown() override {
        epc_adapter_uninit();
        if (dev_) tarvo_dev_close(dev_);
        tarvo_uninit();
        cam_.reset();
        bus_.reset();
        tarvo::epc::reset_state();
        tarvo::epc::pipeline_reset();
    }

    std::unique_ptr<tarvo::sim::Bus> bus_;
    std::unique_ptr<tarvo::sim::Camera> cam_;
    tarvo_dev_t rec_{};
    tarvo_dev_t *dev_ = nullptr;
};

TEST_F(PipelineSim, DistanceSortedOnACapturedFrame) {
    ASSERT_EQ(pruGetNCols(), 320);
    ASSERT_EQ(pruGetNRowsPerHalf(), 120);
    ASSERT_EQ(pruGetNumberOfHalves(), 2);
    calculationEnablePiDelay(1);
    ASSERT_EQ(adcOverflowIsEnabled(), 1);
    // The start-up gave every pixel's temporal filter its initial covariance.
    EXPECT_DOUBLE_EQ(tarvo::epc::kalman_pixel(0)->P, 1.0);
    EXPECT_DOUBLE_EQ(tarvo::epc::kalman_pixel(82655)->P, 1.0);

    uint16_t *img = nullptr;
    ::testing::internal::CaptureStdout();
    const int n = calculationDistanceSorted(&img);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(n, 320 * 240);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(pruLastImageFailed(), 0) << out;
    EXPECT_NE(out.find(" get one frame #"), std::string::npos) << out;
    EXPECT_NE(out.find(": 320x240, size=614400"), std::string::npos) << out;
    EXPECT_EQ(out.find("wrong frame size"), std::string::npos) << out;
    // The capture was started for the fetch and stopped again.
    EXPECT_FALSE(tarvo_cap_is_ongoing(dev_));
    EXPECT_EQ(cam_->stats().captures_started, 1u);
    EXPECT_EQ(cam_->stats().captures_stopped, 1u);

    // The frame the camera sent: the test pattern of sequence 0.
    std::vector<uint8_t> bytes(k_frame_bytes);
    tarvo::sim::test_pattern(0, bytes);
    const size_t N = 320 * 240;
    auto sample = [&](size_t i) {
        return static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    };
    size_t valid = 0, low = 0, overflow = 0, mismatches = 0;
    for (size_t k = 0; k < N; ++k) {
        const size_t r = k / 640, u = k % 640;
        const size_t row = u < 320 ? 119 - r : 120 + r;
        const size_t out_index = row * 320 + (u < 320 ? u : u - 320);
        const uint16_t s[4] = {sample(k), sample(N + k), sample(2 * N + k), sample(3 * N + k)};
        const uint16_t want = expected_distance(s);
        if (img[out_index] != want && ++mismatches < 5)
            ADD_FAILURE() << "pixel " << k << " -> " << out_index << ": " << img[out_index]
                          << " want " << want;
        (want == 65300 ? low : want == 65500 ? overflow : valid)++;
    }
    EXPECT_EQ(mismatches, 0u);
    // The pattern exercises more than one branch.
    EXPECT_GT(valid, 0u);
    EXPECT_GT(low + overflow, 0u);
}

TEST_F(PipelineSim, NoFrameGivesAnAllInvalidImage) {
    // A geometry that does not match the camera's frames: the fetch
    // refuses the frame and the kernel sees a zeroed image, never the
    // refused bytes.
    pruSetSize(160, 120);
    calculationEnablePiDelay(1);
    uint16_t *img = nullptr;
    ::testing::internal::CaptureStdout();
    const int n = calculationDistanceSorted(&img);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(n, 160 * 240);
    EXPECT_NE(out.find(" wrong frame size: expect 307200, get 614400"), std::string::npos) << out;
    EXPECT_EQ(pruLastImageFailed(), 1);
    for (int i = 0; i < n; ++i) ASSERT_EQ(img[i], 65500) << i;
}

}  // namespace
