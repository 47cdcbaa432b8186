// The EPC driver's frame description, decode checks, HDR merge, lens
// scaling and filter switches, on a row without a camera.
#include <cstring>
#include <vector>

#include "epc_unit_rig.h"

namespace {

using namespace epc_unit;
namespace de = tarvo::drv::epc;

tq_frame_hdr_t header(uint32_t frlen, uint16_t fmt, uint16_t w, uint16_t h) {
    tq_frame_hdr_t hdr{};
    hdr.frlen = frlen;
    hdr.fridx = 77;
    hdr.frfmt = fmt;
    hdr.width = w;
    hdr.height = h;
    return hdr;
}

using EpcFrameInfo = EpcRow;

TEST_F(EpcFrameInfo, ZeroSizeMeans320x240AndSetsTheEngineGeometry) {
    tq_frame_hdr_t hdr = header(614400, 2, 0, 0);
    hdr.drv_info[0] = 0x5E;  // 350
    hdr.drv_info[1] = 0x01;
    hdr.drv_info[2] = 0xF6;  // -10
    hdr.drv_info[3] = 0xFF;
    pruSetSize(100, 10);
    st_->frame_valid = 0;
    tarvo_frame_info_t info{};
    ASSERT_TRUE(ops().frame_get_info(&row_, &info, &hdr));
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.frame_bpp, 8);
    EXPECT_EQ(info.frame_size, 614400u);
    EXPECT_EQ(info.frame_idx, 77);
    EXPECT_EQ(info.frame_format, 2);
    EXPECT_EQ(info.reserved0, 0);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    EXPECT_EQ(st_->frame_valid, 1);
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), 350);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), -10);
    const std::string log = log_text();
    EXPECT_NE(log.find("[epc_temperature_moniter] Temp monitor not enable"), std::string::npos);
    EXPECT_NE(log.find("[epc_frame_get_info] frame: fmt=2, sz=614400, wxh = 320x240"),
              std::string::npos);
}

TEST_F(EpcFrameInfo, SizeThatIsNoWholeNumberOfPixelsFailsUnlessCalibrationData) {
    tarvo_frame_info_t info{};
    tq_frame_hdr_t hdr = header(614401, 2, 320, 240);
    info.frame_size = 1;
    EXPECT_FALSE(ops().frame_get_info(&row_, &info, &hdr));
    EXPECT_EQ(info.frame_size, 0u);
    EXPECT_EQ(info.width, 0u);
    hdr.frfmt = 171;
    ASSERT_TRUE(ops().frame_get_info(&row_, &info, &hdr));
    EXPECT_EQ(info.frame_size, 614401u);
    EXPECT_EQ(info.frame_bpp, 8);
    hdr = header(153600, 0, 160, 120);
    ASSERT_TRUE(ops().frame_get_info(&row_, &info, &hdr));
    EXPECT_EQ(info.frame_bpp, 8);
    EXPECT_EQ(pruGetNRowsPerHalf(), 60);
    // No state (the driver did not start): the frame is still described,
    // so that raw frames reach the application, but the engine's geometry
    // is left alone.
    tarvo_drv_t bare{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr};
    hdr = header(614400, 2, 320, 240);
    ASSERT_TRUE(ops().frame_get_info(&bare, &info, &hdr));
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.frame_bpp, 8);
    EXPECT_EQ(pruGetNRowsPerHalf(), 60);
}

class EpcDecode : public EpcRow {
  protected:
    static tarvo_frame_info_t info(uint16_t fmt, uint32_t size = 614400, uint32_t w = 320,
                                   uint32_t h = 240) {
        tarvo_frame_info_t i{};
        i.frame_size = size;
        i.frame_format = fmt;
        i.width = w;
        i.height = h;
        return i;
    }
    int decode(int kind, const tarvo_frame_info_t &i, uint32_t dst_bytes, uint32_t src_bytes) {
        src_.assign(src_bytes / 2 + 1, 0);
        // Phase 15000 (H = 0, D = 400) and amplitude 200 for every pixel.
        const size_t plane = size_t{i.width} * i.height;
        for (size_t k = 0; k < plane && 4 * plane <= src_.size(); ++k) {
            src_[k] = 1800;
            src_[plane + k] = 2000;
            src_[2 * plane + k] = 2200;
            src_[3 * plane + k] = 2000;
        }
        dst_.assign(dst_bytes / 4 + 1, -1.0f);
        return ops().frame_decode(&row_, dst_.data(), dst_bytes, kind, src_.data(), src_bytes, &i);
    }
    std::vector<uint16_t> src_;
    std::vector<float> dst_;
};

TEST_F(EpcDecode, BufferSizes) {
    EXPECT_EQ(decode(1, info(2), 307199, 614400), -1);
    EXPECT_NE(log_text().find("[epc_frame_decode] wrong data len: src=614400, dst=307199"),
              std::string::npos);
    EXPECT_EQ(st_->frame_valid, 0);
    EXPECT_EQ(dst_[0], -1.0f);
    EXPECT_EQ(decode(1, info(2), 307200, 614399), -1);
    EXPECT_NE(log_text().find("wrong data len: src=614399, dst=307200"), std::string::npos);
    // The frame's own size bounds the source too.
    EXPECT_EQ(decode(1, info(2, 614399), 307200, 700000), -1);
    EXPECT_NE(log_text().find("wrong data len: src=614399, dst=307200"), std::string::npos);

    ASSERT_EQ(decode(1, info(2), 307200, 614400), 307200);
    EXPECT_NEAR(dst_[0], 15000 * 12.491352f / 30000, 1e-4);  // half the range at 12000 kHz
    EXPECT_EQ(dst_[76800], -1.0f);                           // nothing past w x h
    ASSERT_EQ(decode(2, info(2), 307200, 614400), 307200);
    EXPECT_EQ(dst_[76799], 200.0f);
    // An image larger than the sensor cannot be decoded: refused, not faked.
    EXPECT_EQ(decode(1, info(2, 400 * 240 * 8, 400, 240), 400 * 240 * 4, 400 * 240 * 8), -1);
}

TEST_F(EpcDecode, DecodesWithItsOwnGeometryAndLeavesNoImageBehind) {
    // The last frame described was smaller (frames are described as they
    // are collected, perhaps long before this one is decoded).
    tq_frame_hdr_t hdr = header(160 * 120 * 8, 2, 160, 120);
    tarvo_frame_info_t small{};
    ASSERT_TRUE(ops().frame_get_info(&row_, &small, &hdr));
    ASSERT_EQ(decode(1, info(2), 307200, 614400), 307200);
    EXPECT_NEAR(dst_[76799], 15000 * 12.491352f / 30000, 1e-4);  // the last row decoded too
    // The engine keeps no pointer into the caller's buffer afterwards.
    epc_image_t img{};
    EXPECT_EQ(pruGetCurrentImage(&img), 0);
    EXPECT_EQ(img.data, nullptr);
}

TEST_F(EpcDecode, FormatsAndOutputKinds) {
    st_->frame_valid = 1;
    EXPECT_EQ(decode(1, info(8), 307200, 614400), -1);
    EXPECT_EQ(st_->frame_valid, 0);
    st_->frame_valid = 1;
    EXPECT_EQ(decode(2, info(8), 307200, 614400), -1);
    EXPECT_EQ(st_->frame_valid, 1);
    EXPECT_EQ(decode(2, info(171, 4000), 307200, 614400), -1);
    EXPECT_EQ(st_->frame_valid, 0);
    EXPECT_NE(log_text().find("[epc_frame_decode] Calibration data frame,size:4000"),
              std::string::npos);
    st_->frame_valid = 1;
    EXPECT_EQ(decode(1, info(5), 307200, 614400), -1);
    EXPECT_EQ(st_->frame_valid, 0);
    // Format 5 still set the calculation switches: pi-delay, no MGX, PN.
    EXPECT_EQ(calculationIsPiDelay(), 1);
    EXPECT_EQ(calculationIsDualMGX(), 0);
    EXPECT_EQ(calculationIsPN(), 1);
    EXPECT_EQ(decode(3, info(2), 307200, 614400), -1);
    // Gray-only frames: amplitude only.
    EXPECT_EQ(decode(1, info(0), 307200, 614400), -1);
    ASSERT_EQ(decode(2, info(0), 307200, 614400), 307200);
    EXPECT_EQ(dst_[1000], 200.0f);
    EXPECT_EQ(calculationIsPiDelay(), 0);
    EXPECT_EQ(decode(2, info(0, 153600), 307200, 153600), -1);
}

TEST_F(EpcDecode, MinimumAmplitudeFilterMarksWeakPixels) {
    const int32_t min_amp = 300;
    ASSERT_TRUE(ops().filter_enable(&row_, TARVO_FILTER_MIN_AMPLITUDE, &min_amp, 4));
    ASSERT_EQ(decode(1, info(2), 307200, 614400), 307200);
    EXPECT_FLOAT_EQ(dst_[5], 65.3f);
    EXPECT_EQ(pruGetMinAmplitude(), 300);
    ASSERT_TRUE(ops().filter_disable(&row_, TARVO_FILTER_MIN_AMPLITUDE));
    apiSetMinAmplitude(0);
    ASSERT_EQ(decode(1, info(2), 307200, 614400), 307200);
    EXPECT_LT(dst_[5], 7.0f);
}

TEST(EpcHdr, RowPairRules) {
    // Columns: both valid, tie, upper only, lower only, neither (65300 wins
    // over 65500), neither (both saturated).
    uint16_t img[12] = {1200, 500, 65500, 900, 65500, 65500, 1000, 500, 700, 65500, 65300, 65500};
    de::hdr_merge_rows(img, 6, 2);
    const uint16_t want[6] = {1200, 500, 700, 900, 65300, 65500};
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(img[c], want[c]) << c;
        EXPECT_EQ(img[6 + c], want[c]) << c;
    }
    uint16_t pair[2] = {1200, 65500};
    de::hdr_merge_rows(pair, 1, 2);
    EXPECT_EQ(pair[1], 1200);
    EXPECT_EQ(de::hdr_to_metres(65300, 12000), 65.3f);
    EXPECT_EQ(de::hdr_to_metres(65500, 12000), 65.5f);
    const float K = 149896224.0f / 12000000.0f;
    EXPECT_EQ(de::hdr_to_metres(15000, 12000), 15000.0f * K / 30000.0f);
    // An odd last row is left alone.
    uint16_t odd[3] = {1, 2, 3};
    de::hdr_merge_rows(odd, 1, 3);
    EXPECT_EQ(odd[2], 3);
    EXPECT_EQ(odd[0], 2);
}

using EpcLensGet = EpcRow;

TEST_F(EpcLensGet, ScalesByWholeRatiosOnly) {
    tq_lens_param_t L = de::lens_record();
    L.img_w = 640;
    L.img_h = 480;
    L.cx = 314.0;
    L.cy = 250.0;
    L.fx = 420.0;
    L.fy = 410.0;
    de::set_lens_record(L);
    tq_lens_param_t out{};
    ASSERT_TRUE(ops().lens_param_get(&row_, &out, 320, 240));
    EXPECT_EQ(out.cx, 157.0);
    EXPECT_EQ(out.cy, 125.0);
    EXPECT_EQ(out.fx, 210.0);
    EXPECT_EQ(out.fy, 205.0);
    EXPECT_EQ(out.dcoeff[0], L.dcoeff[0]);
    EXPECT_EQ(out.dcoeff[4], L.dcoeff[4]);
    EXPECT_EQ(out.img_w, 320);
    EXPECT_EQ(out.img_h, 240);
    ASSERT_TRUE(ops().lens_param_get(&row_, &out, 640, 120));  // 1 and 4
    EXPECT_EQ(out.cx, 314.0);
    EXPECT_EQ(out.cy, 62.5);

    de::lens_record_reset();
    tq_lens_param_t keep = out;
    EXPECT_FALSE(ops().lens_param_get(&row_, &out, 640, 480));
    EXPECT_NE(log_text().find("[epc_lens_param_get] lens param not match the frame size: lens: "
                              "320x240, frame: 640x480"),
              std::string::npos);
    EXPECT_EQ(std::memcmp(&out, &keep, sizeof out), 0);
    EXPECT_FALSE(ops().lens_param_get(&row_, &out, 0, 240));
    EXPECT_FALSE(ops().lens_param_get(&row_, &out, 300, 240));
}

using EpcFilters = EpcRow;

TEST_F(EpcFilters, SwitchesAndArguments) {
    // 2, 3 and unknown ids: accepted, nothing changes.
    const uint32_t big = 0xFFFFFFFF;
    for (uint32_t id : {2u, 3u, 9u, 1000u}) {
        EXPECT_TRUE(ops().filter_enable(&row_, id, &big, 4)) << id;
        EXPECT_TRUE(ops().filter_disable(&row_, id)) << id;
    }
    EXPECT_EQ(st_->min_amplitude, 0);
    EXPECT_EQ(st_->min_amplitude_on, 1);
    EXPECT_EQ(st_->auto_intg_on, 0);
    EXPECT_EQ(st_->sync_guard_on, 0);
    EXPECT_EQ(st_->hdr_on, 0);
    EXPECT_EQ(st_->temp_threshold, 75);
    EXPECT_EQ(st_->calib_reload_mode, 2);

    const uint16_t t = 30;
    ASSERT_TRUE(ops().filter_enable(&row_, TARVO_FILTER_AUTO_INTEGRATION, &t, 2));
    EXPECT_EQ(st_->auto_intg_on, 1);
    EXPECT_EQ(st_->auto_intg_threshold, 30);
    ASSERT_TRUE(ops().filter_disable(&row_, TARVO_FILTER_AUTO_INTEGRATION));
    EXPECT_EQ(st_->auto_intg_on, 0);
    EXPECT_EQ(st_->auto_intg_threshold, 0);

    const uint16_t sync = 0x0500;  // low byte 0: flag off
    ASSERT_TRUE(ops().filter_enable(&row_, TARVO_FILTER_SYNC_GUARD, &sync, 2));
    EXPECT_EQ(st_->sync_guard_on, 1);
    EXPECT_EQ(st_->sync_value, 0x0500);
    EXPECT_EQ(st_->sync_flag, 0);
    ASSERT_TRUE(ops().filter_disable(&row_, TARVO_FILTER_SYNC_GUARD));
    EXPECT_EQ(st_->sync_guard_on, 0);

    const int16_t deg = 60;
    ASSERT_TRUE(ops().filter_enable(&row_, TARVO_FILTER_TEMP_MONITOR, &deg, 2));
    EXPECT_EQ(st_->temp_threshold, 60);
    EXPECT_EQ(st_->temp_monitor_on, 1);
    ASSERT_TRUE(ops().filter_disable(&row_, TARVO_FILTER_TEMP_MONITOR));
    EXPECT_EQ(st_->temp_monitor_on, 0);

    const int32_t amp = -5;
    ASSERT_TRUE(ops().filter_enable(&row_, TARVO_FILTER_MIN_AMPLITUDE, &amp, 4));
    EXPECT_EQ(st_->min_amplitude, -5);
    // Filters that take an argument refuse a missing one and keep theirs.
    for (uint32_t id : {1u, 4u, 5u, 6u, 7u})
        EXPECT_FALSE(ops().filter_enable(&row_, id, nullptr, 0)) << id;
    EXPECT_EQ(st_->min_amplitude, -5);
    EXPECT_EQ(st_->auto_intg_on, 0);

    // Without state (a driver that did not start) every switch fails.
    tarvo_drv_t bare{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr};
    EXPECT_FALSE(ops().filter_enable(&bare, 2, nullptr, 0));
    EXPECT_FALSE(ops().filter_disable(&bare, 2));
    EXPECT_EQ(ops().frame_decode(&bare, nullptr, 0, 1, nullptr, 0, nullptr), -1);
}

TEST_F(EpcFilters, ReservedSlotsAndTheFrameValidFlagWithoutACamera) {
    EXPECT_EQ(ops().reserved5(&row_), 0);
    EXPECT_EQ(ops().reserved8(&row_), 1);
    EXPECT_EQ(ops().reserved6(&row_, 9, 42, 1), 42);
    // No camera bound to the engine: the flag reads 1 and cannot be set.
    epc_adapater_set_frame_valid(0);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    EXPECT_STREQ(pathdir, "./calibration/");
    EXPECT_STREQ(pathOffset[1], "./calibration/PT02_W000_C000_offset_user_21.bin");
    EXPECT_STREQ(pathFPN[0], "./calibration/PT02_W000_C000_calibration_factory_21.bin");
    EXPECT_STREQ(calib_file_name[1], "calib_usr.bin");
}

TEST(EpcInit, ProductVersionFieldAndAdapterFailure) {
    tarvo::epc::reset_state();
    tarvo_init("drv_epc_init.log");
    tarvo_log_cfg(4, 0, 5);
    tarvo_drv_t row{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr};
    tarvo_dev_t dev{};
    std::strcpy(dev.product, "Cam-E2");
    EXPECT_FALSE(g_tarvo_driver_op_epc.init(&row, &dev));
    EXPECT_EQ(row.priv, nullptr);
    EXPECT_EQ(row.dev, &dev);
    // A version 2.0x means external modulation; the closed device then
    // makes the adapter fail, which leaves no state behind.
    std::strcpy(dev.product, "Cam-E2-2.05");
    EXPECT_FALSE(g_tarvo_driver_op_epc.init(&row, &dev));
    EXPECT_EQ(epcgetExtModEnable(), 1);
    EXPECT_EQ(row.priv, nullptr);
    std::strcpy(dev.product, "Cam-E2-2.1");
    EXPECT_FALSE(g_tarvo_driver_op_epc.init(&row, &dev));
    EXPECT_EQ(epcgetExtModEnable(), 0);
    EXPECT_NE(tarvo_test::read_file("drv_epc_init.log").find("[epc_init] epc_adapter_init failed!"),
              std::string::npos);
    tarvo_uninit();
    tarvo::epc::reset_state();
}

}  // namespace
