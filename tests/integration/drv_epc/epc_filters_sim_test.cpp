// The temperature monitor and the calibration reload against the physical
// simulated camera: the monitor's lines and its 90 s interval on a clock
// the test moves, and a reload that takes the DRNU files put on disk.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "epc_sim_rig.h"
#include "tarvo_sim/scene.h"

namespace {

using namespace epc_rig;

std::atomic<int64_t> g_now_ms{0};
int64_t test_clock() {
    return g_now_ms.load();
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class EpcFilters : public EpcSim {
  protected:
    static tarvo::sim::CameraConfig physical(double temp_c) {
        tarvo::sim::CameraConfig cfg = camera();
        cfg.scene.physical = true;
        cfg.scene.noise = false;
        cfg.scene.distance_m = 2.5;
        cfg.scene.temperature_c = temp_c;
        return cfg;
    }
    // Median absolute error (mm) of one decoded frame against the truth.
    double median_error_mm() {
        std::vector<uint8_t> frame;
        const tarvo_frame_info_t info = capture(frame);
        std::vector<float> d;
        EXPECT_EQ(decode(d, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
        const tarvo::sim::SceneTruth t = cam_->scene_truth();
        std::vector<double> e;
        for (size_t i = 0; i < d.size(); ++i)
            if (t.radial_m[i] > 0.3f && t.radial_m[i] < 8.9f && d[i] > 0 && d[i] < 60.0f)
                e.push_back(std::fabs(d[i] - t.radial_m[i]) * 1000.0);
        if (e.size() < k_pixels / 2u) return 1e9;
        std::nth_element(e.begin(), e.begin() + static_cast<long>(e.size() / 2), e.end());
        return e[e.size() / 2];
    }
};

TEST_F(EpcFilters, TemperatureMonitorReportsEvery90SecondsOfTheMonotonicClock) {
    g_now_ms = 5'000'000;
    tarvo::drv::epc::set_clock(test_clock);
    make_bus(physical(45.0));
    open();  // the read-out's frame made the first report
    const std::string line = "[epc_temperature_moniter] INTERV:";
    ASSERT_EQ(count_of(log_text(), line), 1u);
    std::vector<uint8_t> frame;
    g_now_ms += 89'999;
    capture(frame);
    EXPECT_EQ(count_of(log_text(), line), 1u);
    g_now_ms += 1;
    capture(frame);
    capture(frame);
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, line), 2u);
    // The camera's temperatures (0.1 degC in the header), frame rate and
    // integration time.
    const int16_t sensor = temperatureGetTemperatureByFrameHeader();
    const int16_t ib = temperatureGetIbTemperatureByFrameHeader();
    EXPECT_NEAR(sensor, 450, 20);
    char expect[128];
    std::snprintf(expect, sizeof expect, "%sINTERV:90, IBtemp:%.2f, Tsensor:%.2f, FPS:30\n",
                  "[DBG] [epc_temperature_moniter] ", ib / 10.0, sensor / 10.0);
    EXPECT_NE(log.find(expect), std::string::npos) << expect;
    EXPECT_EQ(count_of(log, "[DBG] [epc_temperature_moniter] intg_time:700 us\n"), 2u);

    // Switched off: a TRC line per frame and no report, however late.
    ASSERT_TRUE(drv_->ops->filter_disable(drv_, TARVO_FILTER_TEMP_MONITOR));
    g_now_ms += 1'000'000;
    capture(frame);
    EXPECT_EQ(count_of(log_text(), line), 2u);
    EXPECT_NE(log_text().find("[TRC] [epc_temperature_moniter] Temp monitor not enable"),
              std::string::npos);
}

TEST_F(EpcFilters, CalibrationReloadTakesTheDrnuFilesOnDiskInMode2) {
    tarvo::sim::CameraConfig cfg = physical(30.0);
    cfg.factory_calibration = false;
    make_bus(cfg);
    open();  // no calibration anywhere: the fixed pattern shows
    const double raw = median_error_mm();
    EXPECT_GE(raw, 5.0);

    // The sensor's calibration put on disk is taken by a reload in mode 2
    // only.
    const tarvo::sim::FactoryCalibration &fc = tarvo::sim::factory_calibration(42, 7);
    tarvo_test::write_file(k_params, std::string(fc.params.begin(), fc.params.end()));
    tarvo_test::write_file(k_images, std::string(fc.images.begin(), fc.images.end()));
    const uint8_t mode1 = 1, mode2 = 2;
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_CALIB_RELOAD, &mode1, 1));
    EXPECT_GE(median_error_mm(), 5.0);
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_CALIB_RELOAD, &mode2, 1));
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_LE(median_error_mm(), 2.0);
}

}  // namespace
