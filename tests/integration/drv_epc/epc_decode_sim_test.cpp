// Frames of a simulated EPC camera decoded by the EPC driver: distance and
// gray of the scene with and without DRNU tables, HDR, lens undistortion,
// and the filters whose effect the camera sees (automatic integration time,
// synchronisation guard, HDR registers, calibration reload).
#include <atomic>

#include "epc_sim_rig.h"

namespace {

using namespace epc_rig;
using tarvo::sim::epc_reg;

// Distances decode to within 5 mm: about 12 phase units at 12000 kHz,
// several times the error of the integer samples and the arc-tangent table.
constexpr float k_tol_m = 0.005f;

class EpcDecodeSim : public EpcSim {
  protected:
    void write_calibration() {
        tarvo_test::write_file(k_params, drnu_params());
        tarvo_test::write_file(k_images, drnu_images());
    }
    // A frame of four constant planes, `sat` samples of plane 0 set to 4095.
    static std::vector<uint8_t> flat_frame(uint16_t v, uint32_t sat = 0) {
        std::vector<uint8_t> f(k_frame_bytes);
        for (size_t i = 0; i < f.size() / 2; ++i) {
            const uint16_t s = i < sat ? 4095 : v;
            f[2 * i] = static_cast<uint8_t>(s);
            f[2 * i + 1] = static_cast<uint8_t>(s >> 8);
        }
        return f;
    }
    static tarvo_frame_info_t distance_info() {
        tarvo_frame_info_t info{};
        info.frame_size = k_frame_bytes;
        info.frame_format = 2;
        info.width = 320;
        info.height = 240;
        info.frame_bpp = 8;
        return info;
    }
    std::vector<int> intg_writes() const {
        std::vector<int> out;
        for (const auto &v : param_writes(*cam_, TARVO_PARAM_INTG_TIME))
            if (v.size() == 2) out.push_back(v[0] | (v[1] << 8));
        return out;
    }
};

TEST_F(EpcDecodeSim, UncalibratedFramesDecodeToTheSceneDistanceAndAmplitude) {
    make_bus(camera());
    open();
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
    std::vector<uint8_t> frame;
    const tarvo_frame_info_t info = capture(frame);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.frame_format, 2);
    EXPECT_EQ(info.frame_bpp, 8);
    EXPECT_EQ(info.frame_size, k_frame_bytes);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    // The camera's temperatures travel in the frame header.
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), 350);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), 352);

    std::vector<float> out;
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
    for (int i = 0; i < k_pixels; ++i) ASSERT_NEAR(out[i], 2.0f, k_tol_m) << i;
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_GRAY, frame, info), k_pixels * 4);
    for (int i = 0; i < k_pixels; ++i) ASSERT_NEAR(out[i], 900.0f, 2.0f) << i;
    // The monitor reported once (first frame) with the camera's frame rate.
    EXPECT_NE(log_text().find("FPS:30"), std::string::npos);
    EXPECT_NE(log_text().find("[epc_temperature_moniter] intg_time:700 us"), std::string::npos);
}

TEST_F(EpcDecodeSim, TiltedSceneThroughTheCalibrationReadOut) {
    tarvo::sim::CameraConfig cfg = camera();
    // Row r of the image looks at 1.0 m + 1 cm x r: the read-out order of
    // the sensor has to be undone for every row to come out right.
    cfg.scene.distance_m = 1.0;
    cfg.scene.row_step_m = 0.01;
    const std::vector<uint8_t> image =
        calib_image(zip_of({{"calib_and_param_001.bin", drnu_params() + drnu_images()}}));
    cfg.calibration = image;
    make_bus(cfg);
    cam_->set_param(TARVO_PARAM_CALIB_INFO, calib_info(1, static_cast<uint32_t>(image.size())));
    open();
    ASSERT_EQ(calculationGetEnableDRNU(), 2);
    ASSERT_EQ(calculationGetEnableTemperature(), 1);
    std::vector<uint8_t> frame;
    const tarvo_frame_info_t info = capture(frame);
    std::vector<float> out;
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
    for (int r = 0; r < 240; ++r)
        for (int c = 0; c < 320; c += 7)
            ASSERT_NEAR(out[r * 320 + c], 1.0f + 0.01f * r, k_tol_m) << r << "," << c;
}

TEST_F(EpcDecodeSim, HdrDecodeOfAnEvenSceneAndTheHdrRegisters) {
    write_calibration();
    make_bus(camera());
    open();
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_HDR, nullptr, 0));
    EXPECT_EQ(epc_reg(*cam_, 148) & 0x80, 0x80);
    EXPECT_EQ(epc_reg(*cam_, 146) & 0x08, 0x08);
    EXPECT_EQ(calculationIsHDR(), 1);
    std::vector<uint8_t> frame;
    const tarvo_frame_info_t info = capture(frame);
    std::vector<float> out;
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
    for (int i = 0; i < k_pixels; ++i) ASSERT_NEAR(out[i], 2.0f, k_tol_m) << i;

    // Disabling HDR puts table and temperature correction back on.
    calculationSetEnableDRNU(0);
    calculationSetEnableTemperature(0);
    ASSERT_TRUE(drv_->ops->filter_disable(drv_, TARVO_FILTER_HDR));
    EXPECT_EQ(epc_reg(*cam_, 148) & 0x80, 0);
    EXPECT_EQ(calculationIsHDR(), 0);
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_EQ(calculationGetEnableTemperature(), 1);
}

TEST_F(EpcDecodeSim, HdrDisableWithoutTablesKeepsTheCorrectionOff) {
    make_bus(camera());
    open();
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_HDR, nullptr, 0));
    ASSERT_TRUE(drv_->ops->filter_disable(drv_, TARVO_FILTER_HDR));
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
    EXPECT_EQ(calculationGetEnableTemperature(), 0);
    // ... so the scene still decodes to its distance.
    std::vector<uint8_t> frame;
    const tarvo_frame_info_t info = capture(frame);
    std::vector<float> out;
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
    EXPECT_NEAR(out[160 * 320 + 100], 2.0f, k_tol_m);
}

TEST_F(EpcDecodeSim, AutoIntegrationStepsReachTheCamera) {
    make_bus(camera());
    open();
    cam_->clear_log();
    const uint16_t T = 5;
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_AUTO_INTEGRATION, &T, 2));
    ASSERT_EQ(configGetIntegrationTime3D(), 700);
    std::vector<float> out;
    const tarvo_frame_info_t info = distance_info();
    const uint32_t n = k_frame_bytes / 2;
    // 1 % saturated samples (ratio 10 > 5): down by 10.
    ASSERT_EQ(decode(out, 1, flat_frame(2048, n / 100), info), k_pixels * 4);
    EXPECT_EQ(configGetIntegrationTime3D(), 690);
    // 9.5 % (ratio 95): down by 90.
    ASSERT_EQ(decode(out, 1, flat_frame(2048, n * 95 / 1000), info), k_pixels * 4);
    EXPECT_EQ(configGetIntegrationTime3D(), 600);
    // 60 us and ratio 25: down by 20 to 40, raised to 50.
    configSetIntegrationTime3D(60);
    ASSERT_EQ(decode(out, 1, flat_frame(2048, n / 40), info), k_pixels * 4);
    EXPECT_EQ(configGetIntegrationTime3D(), 50);
    // Nothing saturated, nothing near the limits: up by 50.
    ASSERT_EQ(decode(out, 1, flat_frame(2048), info), k_pixels * 4);
    EXPECT_EQ(configGetIntegrationTime3D(), 100);
    // Many samples close to the top: no change.
    ASSERT_EQ(decode(out, 1, flat_frame(3600), info), k_pixels * 4);
    EXPECT_EQ(configGetIntegrationTime3D(), 100);
    EXPECT_EQ(intg_writes(), (std::vector<int>{690, 600, 50, 100}));
    EXPECT_EQ(cam_->param_u32(TARVO_PARAM_INTG_TIME) & 0xFFFF, 100u);

    // Disabled: the threshold is gone and nothing changes any more.
    ASSERT_TRUE(drv_->ops->filter_disable(drv_, TARVO_FILTER_AUTO_INTEGRATION));
    EXPECT_EQ(st()->auto_intg_threshold, 0);
    ASSERT_EQ(decode(out, 1, flat_frame(2048, n / 10), info), k_pixels * 4);
    EXPECT_EQ(configGetIntegrationTime3D(), 100);
}

TEST_F(EpcDecodeSim, SyncGuardDropsUnsyncedFramesAndAsksTheCameraOncePerSecond) {
    make_bus(camera());
    open();
    cam_->clear_log();
    const uint16_t sync = 0x0134;
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_SYNC_GUARD, &sync, 2));
    EXPECT_EQ(st()->sync_flag, 1);
    std::vector<float> out;
    const tarvo_frame_info_t info = distance_info();
    // DCS0 + DCS2 = 2000: far from the 4096 of a synchronised sensor. The
    // driver's clock stands at 7.2 s, then moves to 7.999 s and 8.0 s.
    static std::atomic<int64_t> now_ms{7'200};
    tarvo::drv::epc::set_clock([] { return now_ms.load(); });
    epc_adapater_set_frame_valid(1);
    EXPECT_EQ(decode(out, 1, flat_frame(1000), info), -1);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 0);
    now_ms = 7'999;
    EXPECT_EQ(decode(out, 1, flat_frame(1000), info), k_pixels * 4);  // same second
    const auto sent = param_writes(*cam_, TARVO_PARAM_SYNC_DELAY);
    ASSERT_EQ(sent.size(), 1u);
    // The camera's parameter table: i16 delay, then the flag.
    EXPECT_EQ(sent[0], (std::vector<uint8_t>{0x34, 0x01, 1}));
    now_ms = 8'000;
    EXPECT_EQ(decode(out, 1, flat_frame(1000), info), -1);  // the next second
    EXPECT_EQ(param_writes(*cam_, TARVO_PARAM_SYNC_DELAY).size(), 2u);

    // The camera's own frames are synchronised: decoded, nothing sent.
    std::vector<uint8_t> frame;
    const tarvo_frame_info_t real = capture(frame);
    cam_->clear_log();
    EXPECT_EQ(decode(out, 1, frame, real), k_pixels * 4);
    EXPECT_TRUE(param_writes(*cam_, TARVO_PARAM_SYNC_DELAY).empty());
}

TEST_F(EpcDecodeSim, CalibrationReloadFilterRunsTheConfigurationAgainInMode2Only) {
    make_bus(camera());
    open();
    cam_->clear_log();
    const uint8_t mode1 = 1, mode2 = 2;
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_CALIB_RELOAD, &mode1, 1));
    EXPECT_TRUE(tarvo::sim::epc_writes_to(*cam_, 139).empty());
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_CALIB_RELOAD, &mode2, 1));
    EXPECT_EQ(tarvo::sim::epc_writes_to(*cam_, 139), std::vector<uint8_t>{2});
    EXPECT_EQ(st()->calib_reload_mode, 2);
    EXPECT_EQ(drv_->ops->reserved6(drv_, 0, 77, 2), 77);
    EXPECT_EQ(tarvo::sim::epc_writes_to(*cam_, 139).size(), 2u);
    // A missing argument is refused rather than read.
    EXPECT_FALSE(drv_->ops->filter_enable(drv_, TARVO_FILTER_CALIB_RELOAD, nullptr, 0));
}

TEST_F(EpcDecodeSim, LensUndistortionFromTheLensFile) {
    make_bus(camera());
    open();
    // A 640 x 480 lens record (the default's values doubled).
    tarvo_test::write_file("lens_param.txt",
                           "314.524\n244.166\n421.566\n409.634\n-0.378924\n0.145035\n"
                           "-0.000970854\n6.20728e-05\n-0.0133954\n0x280 width\n480\n");
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0));
    const tarvo::drv::epc::LensMapRef map = st()->map.load();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->map.width, 640);
    EXPECT_EQ(map->map.height, 480);
    // While undistortion is on, the images are pictures of the map's K'
    // (halved for the 320 x 240 image), free of distortion.
    tq_lens_param_t lp{};
    ASSERT_TRUE(drv_->ops->lens_param_get(drv_, &lp, 320, 240));
    EXPECT_DOUBLE_EQ(lp.fx, map->map.new_cam[0] / 2);
    EXPECT_DOUBLE_EQ(lp.cy, map->map.new_cam[3] / 2);
    EXPECT_LT(lp.fx, 200.0);  // the outer rectangle: a wider view than K's
    EXPECT_EQ(lp.dcoeff[0], 0.0);
    EXPECT_EQ(lp.img_w, 320);

    std::vector<uint8_t> frame;
    const tarvo_frame_info_t info = capture(frame);
    std::vector<float> out;
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
    // Barrel distortion, whole field of view kept: the middles of the
    // image's edges see nothing of the raw image.
    const int top_mid = 160, left_mid = 120 * 320;
    // They are invalid pixels (the low-amplitude code), not points at 30 m.
    EXPECT_EQ(out[top_mid], 65.3f);
    EXPECT_EQ(out[left_mid], 65.3f);
    EXPECT_NEAR(out[0], 2.0f, k_tol_m);
    EXPECT_NEAR(out[120 * 320 + 160], 2.0f, k_tol_m);
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_GRAY, frame, info), k_pixels * 4);
    EXPECT_EQ(out[top_mid], 0.0f);
    EXPECT_NEAR(out[120 * 320 + 160], 900.0f, 2.0f);

    // Switched off: the raw image again.
    ASSERT_TRUE(drv_->ops->filter_disable(drv_, TARVO_FILTER_LENS_UNDISTORT));
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
    EXPECT_NEAR(out[top_mid], 2.0f, k_tol_m);
    // ... described by the lens record's own K.
    ASSERT_TRUE(drv_->ops->lens_param_get(drv_, &lp, 320, 240));
    EXPECT_DOUBLE_EQ(lp.cx, 157.262);
    EXPECT_DOUBLE_EQ(lp.fy, 204.817);
}

}  // namespace
