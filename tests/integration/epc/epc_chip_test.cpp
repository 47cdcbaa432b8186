// The EPC engine against the simulated camera's EPC chip: the register
// bridge, the chip setters and their register bytes, the frequency table,
// and the start-up (bound and stand-alone), all through the real USB link.
#include "tarvo_sim/epc_chip.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "epc/epc_state.h"
#include "tarvo/tarvo.h"
#include "tarvo_sim/sim.h"
#include "test_files.h"

namespace {

using tarvo::epc::state;
using tarvo::sim::epc_reg;
using tarvo::sim::epc_writes_to;

constexpr char k_log[] = "epc_chip_test.log";

// A camera whose driver leaves the engine alone (the tests bind it), with
// wafer 7, chip 12 and part version 3.
tarvo::sim::CameraConfig camera(uint8_t r129 = 0x00) {
    tarvo::sim::CameraConfig cfg;
    cfg.product = "TarvoSim-T0-1.0";
    cfg.chip_info = {3, 12, 7};
    cfg.epc.enabled = true;
    cfg.epc.r129 = r129;
    return cfg;
}

std::string log_text() {
    return tarvo_test::read_file(k_log);
}

void remove_calibration() {
    for (const char *f :
         {"vexm_ex_images_drnu_W007_C012_10.bin", "vexm_ex_drnu_param_W007_C012_10.bin",
          "grayscale660_gain_offset_W007_C012.txt"})
        std::remove(f);
}

class EpcChip : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvo::epc::reset_state();
        remove_calibration();
        std::remove(k_log);
        tarvo_init(k_log);
        tarvo_log_cfg(3, 0, 5);
    }
    void TearDown() override {
        epc_adapter_uninit();
        if (dev_) tarvo_dev_close(dev_);
        tarvo_uninit();
        bus_.reset();
        tarvo::epc::reset_state();
        remove_calibration();
    }
    void start(const tarvo::sim::CameraConfig &cfg = camera()) {
        bus_ = std::make_unique<tarvo::sim::Bus>(1, cfg);
        cam_ = std::make_unique<tarvo::sim::Camera>(bus_->camera(0));
        tarvo_dev_t list[2];
        ASSERT_EQ(tarvo_dev_list(list, 2), 1);
        rec_ = list[0];
        dev_ = tarvo_dev_open(&rec_);
        ASSERT_NE(dev_, nullptr);
    }
    void bind() {
        ASSERT_NE(epc_adapter_init(dev_), 0);
        cam_->clear_log();
    }
    uint8_t reg(int r) const { return epc_reg(*cam_, static_cast<uint8_t>(r)); }
    std::vector<uint8_t> writes(int r) const {
        return epc_writes_to(*cam_, static_cast<uint8_t>(r));
    }
    int intg_param() const {
        auto v = cam_->param(TARVO_PARAM_INTG_TIME);
        return v.size() >= 2 ? v[0] | (v[1] << 8) : -1;
    }

    std::unique_ptr<tarvo::sim::Bus> bus_;
    std::unique_ptr<tarvo::sim::Camera> cam_;
    tarvo_dev_t rec_{};
    tarvo_dev_t *dev_ = nullptr;
};

TEST_F(EpcChip, AdapterReadsTheIdentityAndProgramsTheChip) {
    start();
    ASSERT_NE(epc_adapter_init(dev_), 0);
    EXPECT_EQ(epc_adapter_get_dev(), dev_);
    EXPECT_EQ(configGetPartType(), 2);
    EXPECT_EQ(configGetPartVersion(), 3);
    EXPECT_EQ(configGetIcVersion(), 3);
    EXPECT_EQ(configGetChipType(), 23);
    EXPECT_EQ(configGetChipID(), 12);
    EXPECT_EQ(configGetWaferID(), 7);
    EXPECT_EQ(configGetDeviceAddress(), 32);
    // Frequency table from R129 = 0x00, R130 = 0x17 (96000 kHz).
    const int want[7] = {36000, 24000, 12000, 6000, 3000, 1500, 750};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(configGetModFreq(i), want[i]) << i;
    // configInit: demodulation delay, DLL bypass.
    EXPECT_EQ(writes(139), std::vector<uint8_t>{2});
    ASSERT_GE(writes(174).size(), 2u);
    EXPECT_EQ(writes(174)[0], 1);
    EXPECT_EQ(reg(174) & 1, 1);
    // Background suppression on, mode 2, window, thresholds.
    for (int r : {34, 37, 40, 43}) EXPECT_EQ(reg(r) & 0x30, 0x30) << r;
    EXPECT_EQ(reg(133), 1);
    EXPECT_EQ(reg(128), 63);
    EXPECT_EQ(configGetModFreqMode(), 2);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    const uint8_t roi[6] = {0, 4, 1, 67, 6, 125};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(reg(150 + i), roi[i]) << i;
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    EXPECT_EQ(pruGetMinAmplitude(), 30);
    EXPECT_EQ(state().hyst_upper, 900);
    EXPECT_EQ(state().hyst_lower, 100);
    EXPECT_EQ(apiIsAdcOverflowEnabled(), 1);
    // No calibration files: corrections off, the default offset -6600 in force.
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
    EXPECT_EQ(state().enabledDRNU, 0);
    EXPECT_EQ(calibrationGetOffsetPhase(), -6600);
    // The frequency change in sensor mode 0 sent the 2D integration time.
    EXPECT_EQ(intg_param(), 700);
    EXPECT_NE(log_text().find("[printChipParam] chip_type: 23 "), std::string::npos);
}

TEST_F(EpcChip, SystemClockDividerHalvesTheTable) {
    start(camera(0x10));
    bind();
    const int want[7] = {36000, 12000, 6000, 3000, 1500, 750, 375};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(configGetModFreq(i), want[i]) << i;
    EXPECT_EQ(configGetModulationFrequency(), 6000);  // mode 2 takes entry 2
    EXPECT_EQ(tarvo::sim::epc_sysclk_khz(0x10, 0x17), 48000u);
}

TEST_F(EpcChip, CalibrationFilesSwitchTheCorrectionsOn) {
    std::string params;
    for (uint32_t v : {8000u, 350u}) {
        for (int i = 0; i < 4; ++i) params.push_back(static_cast<char>(v >> (8 * i)));
    }
    double step = 298.2;
    params.append(reinterpret_cast<const char *>(&step), 8);
    tarvo_test::write_file("vexm_ex_drnu_param_W007_C012_10.bin", params);
    tarvo_test::write_file("vexm_ex_images_drnu_W007_C012_10.bin",
                           std::string(30 * 320 * 240 * 2, '\x10'));
    start();
    bind();
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_EQ(calculationGetEnableTemperature(), 1);
    EXPECT_EQ(state().enabledDRNU2, 1);
    EXPECT_EQ(reg(174), 4);
    EXPECT_EQ(reg(113), 0);
    // Offset: trunc(885000 / 1249 - 8000) = -7291, set for mode 2.
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8000);
    EXPECT_EQ(calibrationGetOffsetPhase(), -7291);
    EXPECT_EQ(calibrationGetDefaultOffsetPhase(), -7291);
    EXPECT_EQ(calibrateGetIbTempCalib(), 450);
    EXPECT_EQ(calibrateGetDistImagePixel(0), 0x1010);
    // Switching the table correction off writes R174 = 1.
    calculationSetEnableDRNU(0);
    EXPECT_EQ(reg(174), 1);
    EXPECT_EQ(calibrationGetDefaultOffsetPhase(), 0);
    calculationSetEnableTemperature(0);
    EXPECT_EQ(writes(113), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(writes(115), (std::vector<uint8_t>{0, 0}));
}

TEST_F(EpcChip, RegisterBridge) {
    start();
    bind();
    uint8_t b[16] = {};
    EXPECT_EQ(i2c(32, 'r', 129, 2, b), 0);
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0x17);
    uint8_t w[3] = {0xAB, 0x01, 0xFF};
    EXPECT_EQ(i2c(32, 'w', 200, 3, w), 0);
    EXPECT_EQ(reg(200), 0xAB);
    EXPECT_EQ(reg(202), 0xFF);
    EXPECT_EQ(i2c(32, 'r' | 0x100, 200, 3, b), 0);  // only the low byte selects
    EXPECT_EQ(b[2], 0xFF);

    testing::internal::CaptureStdout();
    EXPECT_EQ(i2c(128, 'r', 0, 1, b), -1);
    EXPECT_EQ(i2c(32, 'r', 256, 1, b), -1);
    EXPECT_EQ(i2c(32, 'x', 0, 1, b), -1);
    EXPECT_EQ(i2c(32, 'r', 250, 10, b), -1);  // past the chip's last register
    EXPECT_EQ(i2c(32, 'w', 250, 10, b), -1);
    EXPECT_EQ(i2c(32, 'l', 0, 0, nullptr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Device address is out of range."), std::string::npos);
    EXPECT_NE(out.find("Register address is out of range."), std::string::npos);
    EXPECT_NE(out.find("Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' "
                       "(software reset) are allowed."),
              std::string::npos);
    EXPECT_NE(out.find("reg read faild!"), std::string::npos);
    EXPECT_NE(out.find("reg write fail!"), std::string::npos);
    EXPECT_NE(out.find("uncompleted function : <i2c device reload>!\n"), std::string::npos);
    EXPECT_EQ(reg(250), 0);  // the refused write changed nothing

    const auto before = cam_->commands().size();
    uint8_t d[2] = {0, 0};
    EXPECT_EQ(i2c(32, 'd', 0, 2, d), 0);
    EXPECT_EQ(d[0], 32);
    EXPECT_EQ(d[1], 255);
    EXPECT_EQ(cam_->commands().size(), before);  // nothing sent

    EXPECT_EQ(i2c(32, 's', 0, 0, nullptr), 0);
    EXPECT_EQ(cam_->reset_targets(), std::vector<uint8_t>{1});

    testing::internal::CaptureStdout();
    std::vector<uint8_t> big(258);
    EXPECT_EQ(i2c(32, 'r', 0, 258, big.data()), -1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("rw much data: 258"), std::string::npos);
}

TEST_F(EpcChip, BridgeWithoutACamera) {
    uint8_t b = 0x55;
    testing::internal::CaptureStdout();
    EXPECT_EQ(i2c(32, 'r', 10, 1, &b), -1);
    EXPECT_EQ(i2c(32, 'w', 10, 1, &b), -1);
    EXPECT_EQ(i2c(32, 'r', 10, 4, nullptr), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(b, 0x55);
    EXPECT_NE(out.find("reg read faild!"), std::string::npos);
    EXPECT_NE(out.find("reg write fail!"), std::string::npos);
}

TEST_F(EpcChip, WindowBytesAndRefusals) {
    start();
    bind();
    EXPECT_EQ(apiSetROI(10, 99, 20, 41, 32), 0);
    const uint8_t roi[6] = {0, 10, 0, 99, 20, 41};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(reg(150 + i), roi[i]) << i;
    EXPECT_EQ(pruGetNCols(), 90);
    EXPECT_EQ(pruGetNRowsPerHalf(), 22);
    cam_->clear_log();
    testing::internal::CaptureStdout();
    EXPECT_EQ(apiSetROI(3, 323, 6, 125, 32), -1);
    EXPECT_EQ(apiSetROI(4, 328, 6, 125, 32), -1);
    EXPECT_EQ(apiSetROI(4, 322, 6, 125, 32), -1);
    EXPECT_EQ(apiSetROI(4, 323, 5, 125, 32), -1);
    EXPECT_EQ(apiSetROI(4, 323, 6, 127, 32), -1);
    EXPECT_EQ(apiSetROI(4, 323, 8, 7, 32), -1);
    EXPECT_EQ(apiSetROI(4, 7, 6, 125, 32), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(tarvo_test::count_of(out, "bad x coordinates"), 3u);
    EXPECT_EQ(tarvo_test::count_of(out, "bad y coordinates"), 3u);
    EXPECT_NE(out.find("size too small: min size = 6 x 2\n"), std::string::npos);
    EXPECT_TRUE(tarvo::sim::epc_writes(*cam_).empty());
    EXPECT_EQ(pruGetNCols(), 90);
    EXPECT_EQ(apiSetROI(4, 323, 6, 125, 32), 0);
    const uint8_t full[6] = {0, 4, 1, 67, 6, 125};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(reg(150 + i), full[i]) << i;
    EXPECT_EQ(pruGetNCols(), 320);
}

TEST_F(EpcChip, HdrRegistersAndCounts) {
    start();
    bind();
    EXPECT_EQ(configEnableHDR(5, 32), 1);
    EXPECT_EQ(calculationIsHDR(), 1);
    EXPECT_EQ(reg(148) & 0x80, 0x80);
    EXPECT_EQ(reg(146) & 0x08, 0x08);
    const uint8_t on[4] = {0, 5, 10, 15};
    const int abs_regs[4] = {34, 37, 40, 43};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(reg(abs_regs[i]), 0x30 | on[i]) << abs_regs[i];
    // Mode 2: R133 = 1, 96000 / 2 kHz, T = 20.833 ns, U = 1365.3 us:
    // M = 1, counts trunc(700 / 1 x 1000 / 20.833 - 1), about 33599.
    const int c0 = static_cast<int>(700.0 / 1 * 1000 / (1000000.0 / 48000) - 1);
    EXPECT_NEAR(c0, 33599, 1);
    EXPECT_EQ(reg(160), 0);
    EXPECT_EQ(reg(161), 1);
    EXPECT_EQ(reg(162) << 8 | reg(163), c0);
    EXPECT_EQ(reg(158) << 8 | reg(159), c0);
    // In HDR a new integration time programs the counts: 3000 us needs M = 3.
    EXPECT_EQ(configSetIntegrationTime3D(3000), 0);
    EXPECT_EQ(reg(161), 3);
    const int c1 = static_cast<int>(3000.0 / 3 * 1000 / (1000000.0 / 48000) - 1);
    EXPECT_EQ(reg(162) << 8 | reg(163), c1);
    EXPECT_EQ(configSetIntegrationTime3DHDR(100), 0);
    const int c2 = static_cast<int>(100.0 / 3 * 1000 / (1000000.0 / 48000) - 1);
    EXPECT_EQ(reg(158) << 8 | reg(159), c2);
    EXPECT_EQ(configSetIntegrationTime3DHDR(4001), -1);
    EXPECT_EQ(configEnableHDR(0, 32), 0);
    EXPECT_EQ(reg(148) & 0x80, 0);
    EXPECT_EQ(reg(146) & 0x08, 0);
    const uint8_t off[4] = {4, 1, 14, 11};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(reg(abs_regs[i]), 0x30 | off[i]) << abs_regs[i];
    // Background suppression off keeps the HDR pattern.
    EXPECT_EQ(apiEnableABS(0, 32), 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(reg(abs_regs[i]), off[i]) << abs_regs[i];
}

TEST_F(EpcChip, ModulationFrequencyModes) {
    start();
    bind();
    EXPECT_EQ(apiSetModulationFrequency(0, 32), 0);
    EXPECT_EQ(reg(133), 0);
    EXPECT_EQ(reg(128), 127);
    EXPECT_EQ(configGetModulationFrequency(), 36000);
    const uint8_t div[7] = {0, 0, 1, 3, 7, 15, 31};
    const int freq[7] = {36000, 24000, 12000, 6000, 3000, 1500, 750};
    for (int m = 1; m < 7; ++m) {
        cam_->set_param_u32(TARVO_PARAM_INTG_TIME, 0, 2);
        EXPECT_EQ(apiSetModulationFrequency(m, 32), 0);
        EXPECT_EQ(reg(133), div[m]) << m;
        EXPECT_EQ(reg(128), 63) << m;
        EXPECT_EQ(configGetModulationFrequency(), freq[m]) << m;
        EXPECT_EQ(intg_param(), 700) << m;  // sensor mode 0: the 2D time every time
    }
    cam_->clear_log();
    EXPECT_EQ(apiSetModulationFrequency(9, 32), -1);
    EXPECT_EQ(apiSetModulationFrequency(-1, 32), -1);
    EXPECT_TRUE(cam_->commands().empty());
    EXPECT_EQ(configGetModFreqMode(), 6);
    configSetModulationFrequency(9, 32);
    EXPECT_EQ(reg(133), 1);
    EXPECT_EQ(configGetModFreqMode(), 9);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
}

TEST_F(EpcChip, IntegrationTimeBySensorMode) {
    start();
    bind();
    EXPECT_EQ(configSetIntegrationTime3D(1150), 0);
    EXPECT_TRUE(cam_->commands().empty());  // sensor mode 0: nothing sent
    state().currentMode = 1;
    EXPECT_EQ(configSetIntegrationTime3D(1234), 0);
    EXPECT_EQ(intg_param(), 1234);
    EXPECT_EQ(state().dcs_add_threshold, 80 + static_cast<int>((1234 - 150) * 0.10811));
}

TEST_F(EpcChip, DefaultOffsetsFromTheDefaultParameters) {
    start();
    bind();
    calculationSetEnableDRNU(2);
    EXPECT_EQ(calibrationGetOffsetPhase(), -7655);
    EXPECT_EQ(calibrationGetDefaultOffsetPhase(), -7655);
    calibrationSetOffsetPhase(0);
    calibrationUpdateFrequency();
    EXPECT_EQ(calibrationGetOffsetPhase(), -7655);
    state().gPrint = 1;
    testing::internal::CaptureStdout();
    calibrationUpdateFrequency();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("offsetDRNU= 8364  maxDistanceCM= 1249  boxLSB= 708.5669 "
                       "newOffsetLSB= -7655 gStepCalMM = 298.2000"),
              std::string::npos);
    calibrationSetDefaultOffsetPhase(11);
    apiEnableDefaultOffset(0);
    EXPECT_EQ(calibrationGetOffsetPhase(), -7655);
    EXPECT_EQ(calibrationIsDefaultEnabled(), 0);
    calibrationEnableDefaultOffset(1);
    EXPECT_EQ(calibrationGetOffsetPhase(), 11);
}

TEST_F(EpcChip, ReloadKeepsTheModeAndResetsTheFrequency) {
    start();
    bind();
    ASSERT_EQ(apiSetModulationFrequency(0, 32), 0);
    apiSetROI(10, 99, 20, 41, 32);
    cam_->clear_log();
    EXPECT_EQ(configInit(32), 0);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(configGetModFreqMode(), 0);
    EXPECT_TRUE(writes(133).empty());
    EXPECT_EQ(reg(133), 0);
    EXPECT_EQ(configGetChipID(), 12);
    EXPECT_EQ(state().roi_x0, 10);
    EXPECT_EQ(pruGetMinAmplitude(), 30);
    EXPECT_EQ(state().hysteresis, 20);
}

TEST_F(EpcChip, GrayscaleFileWithMissingOffsets) {
    std::string text;
    for (int r = 0; r < 240; ++r) text += "1.5 2.5 3.25\n";
    for (int r = 0; r < 100; ++r) text += "-1 -2\n";
    tarvo_test::write_file("grayscale660_gain_offset_W007_C012.txt", text);
    start();
    bind();
    EXPECT_EQ(state().enabledGrayscale, 1);
    const auto &gain = tarvo::epc::grayscale_gain();
    const auto &offset = tarvo::epc::grayscale_offset();
    ASSERT_EQ(gain.size(), 76800u);
    EXPECT_EQ(gain[239 * 320 + 2], 3.25);
    EXPECT_EQ(gain[3], 0.0);
    EXPECT_EQ(offset[99 * 320 + 1], -2.0);
    const std::string log = log_text();
    EXPECT_NE(log.find("error offset: 101"), std::string::npos);
    EXPECT_NE(log.find("error offset: 240"), std::string::npos);
    EXPECT_EQ(log.find("error gain"), std::string::npos);
}

TEST_F(EpcChip, ChipInfoFailureUnbinds) {
    start();
    cam_->fail_command({0xC0, 4}, "no chip", 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(epc_adapter_init(dev_), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Get chip info failed"), std::string::npos);
    EXPECT_EQ(epc_adapter_get_dev(), nullptr);
    EXPECT_EQ(configGetChipID(), 0);
}

// The stand-alone start opens the first camera and the library itself.
class EpcStandalone : public ::testing::Test {
  protected:
    void TearDown() override {
        epc_adapter_uninit();
        bus_.reset();
        tarvo::epc::reset_state();
    }
    std::unique_ptr<tarvo::sim::Bus> bus_;
};

TEST_F(EpcStandalone, OpensBindsAndCloses) {
    tarvo::epc::reset_state();
    bus_ = std::make_unique<tarvo::sim::Bus>(1, camera());
    ASSERT_EQ(epc_adapter_init(nullptr), 1);
    tarvo_dev_t *dev = epc_adapter_get_dev();
    ASSERT_NE(dev, nullptr);
    EXPECT_NE(dev->lldev, nullptr);
    EXPECT_EQ(configGetChipID(), 12);
    EXPECT_EQ(epc_reg(bus_->camera(0), 151), 4);
    // A second stand-alone start closes the first camera before reopening.
    testing::internal::CaptureStdout();
    ASSERT_EQ(epc_adapter_init(nullptr), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("close dev.."), std::string::npos);
    testing::internal::CaptureStdout();
    epc_adapter_uninit();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("close dev..\n"), std::string::npos);
    EXPECT_NE(out.find("uninit done..\n"), std::string::npos);
    EXPECT_EQ(epc_adapter_get_dev(), nullptr);
}

// A stand-alone camera closed with tarvo_dev_close instead of
// epc_adapter_uninit unbinds the engine but leaves the library running
// for the rest of the close and after it; epc_adapter_uninit then ends it.
TEST_F(EpcStandalone, ClosedWithTarvoDevCloseLeavesTheLibraryRunning) {
    tarvo::epc::reset_state();
    tarvo::sim::CameraConfig cfg = camera();
    cfg.product = "TarvoSim-E2-1.0";  // served by the EPC driver, whose close unbinds
    bus_ = std::make_unique<tarvo::sim::Bus>(1, cfg);
    ASSERT_EQ(epc_adapter_init(nullptr), 1);
    tarvo_dev_t *dev = epc_adapter_get_dev();
    ASSERT_NE(dev, nullptr);
    tarvo_dev_close(dev);
    EXPECT_EQ(dev->lldev, nullptr);
    EXPECT_EQ(epc_adapter_get_dev(), nullptr);

    // Still initialised: the default colour map has its palette (black
    // everywhere once the library has ended) and the camera opens again.
    const float d[1] = {1.0f};
    uint8_t rgb[3] = {};
    ASSERT_EQ(tarvo_cmap_float(rgb, 3, d, 1, TARVO_CMAP_OUTFMT_RGB, 0.5f, 4.0f), 1);
    EXPECT_NE(rgb[0] | rgb[1] | rgb[2], 0);
    tarvo_dev_t *again = tarvo_dev_open(nullptr);
    ASSERT_NE(again, nullptr);
    tarvo_dev_close(again);

    epc_adapter_uninit();
    ASSERT_EQ(tarvo_cmap_float(rgb, 3, d, 1, TARVO_CMAP_OUTFMT_RGB, 0.5f, 4.0f), 1);
    EXPECT_EQ(rgb[0] | rgb[1] | rgb[2], 0);
}

// An open that finds no camera must not leave the link's private data and
// its 2.4 MB of transfer buffers behind (LeakSanitizer checks at exit).
TEST_F(EpcStandalone, NoCameraFails) {
    tarvo::epc::reset_state();
    bus_ = std::make_unique<tarvo::sim::Bus>(0, camera());
    EXPECT_EQ(epc_adapter_init(nullptr), 0);
    EXPECT_EQ(epc_adapter_get_dev(), nullptr);
}

}  // namespace
