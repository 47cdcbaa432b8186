// Engine state: initial values, identity, accessors, the fixed parameter
// load and the state dump.
#include "epc_test_util.h"

namespace {

using epc_test::EngineTest;
using tarvo::epc::state;

class StateTest : public EngineTest {};

TEST_F(StateTest, InitialValues) {
    const auto &s = state();
    EXPECT_EQ(s.dev, nullptr);
    EXPECT_EQ(configGetModFreqMode(), 2);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(configGetModFreqCount(), 7);
    EXPECT_EQ(configGetModFreq(0), 0);  // built by configInit
    EXPECT_EQ(configGetIntegrationTime3D(), 700);
    EXPECT_EQ(s.integrationTime2D, 700);
    EXPECT_EQ(s.integrationTime3DHDR, 700);
    EXPECT_EQ(s.dcs_add_threshold, 8000);
    EXPECT_EQ(s.absEnabled, 1);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    EXPECT_EQ(pruGetNumberOfHalves(), 2);
    EXPECT_EQ(pruGetColReduction(), 1);
    EXPECT_EQ(pruGetRowReduction(), 1);
    EXPECT_EQ(s.roi_x0, 4);
    EXPECT_EQ(s.roi_x1, 323);
    EXPECT_EQ(s.roi_y0, 6);
    EXPECT_EQ(s.roi_y1, 125);
    EXPECT_EQ(calibrationIsDefaultEnabled(), 1);
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
    EXPECT_EQ(calculationGetEnableTemperature(), 0);
    EXPECT_EQ(calculationIsHDR(), 0);
    EXPECT_EQ(calibrateGetSpeedOfLightDiv2(), 149896229.0);
    EXPECT_EQ(calibrateGetTempCoef(0), 1.7);
    EXPECT_EQ(s.adc_min, 1);
    EXPECT_EQ(s.adc_max, 4094);
    EXPECT_EQ(s.pixel_mask, 0x0FFF);
    EXPECT_EQ(s.gZ, -268);
    EXPECT_EQ(epcgetExtModEnable(), 0);
    epc_image_t img;
    EXPECT_EQ(pruGetCurrentImage(&img), 0);
}

TEST_F(StateTest, ChipTypeFollowsTypeAndVersion) {
    configSetPartType(2);
    configSetPartVersion(3);
    EXPECT_EQ(configGetChipType(), 23);
    configSetPartType(4);
    EXPECT_EQ(configGetChipType(), 43);
    configSetIcVersion(5);
    EXPECT_EQ(configGetChipType(), 43);
    EXPECT_EQ(configGetIcVersion(), 5);
    configSetWaferID(0x1FFFF);  // 16 bits kept
    EXPECT_EQ(configGetWaferID(), 0xFFFF);
    configSetChipID(12);
    EXPECT_EQ(configGetChipID(), 12);
    configSetDeviceAddress(32);
    EXPECT_EQ(configGetDeviceAddress(), 32);
}

TEST_F(StateTest, SwitchesAndOffsets) {
    epcSetExtModEnable(5);
    EXPECT_EQ(epcgetExtModEnable(), 1);
    calculationEnablePiDelay(1);
    calculationEnableDualMGX(1);
    calculationEnablePN(0);
    calculationEnableHDR(1);
    EXPECT_EQ(calculationIsPiDelay(), 1);
    EXPECT_EQ(calculationIsDualMGX(), 1);
    EXPECT_EQ(calculationIsPN(), 0);
    EXPECT_EQ(calculationIsHDR(), 1);
    calibrationSetOffsetPhase(-6600);
    calibrationSetDefaultOffsetPhase(708);
    EXPECT_EQ(calibrationGetOffsetPhase(), -6600);
    EXPECT_EQ(calibrationGetDefaultOffsetPhase(), 708);
    int16_t t[2] = {-15, 402};
    temperatureSetTemperatureByFrameHeader(t);
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), -15);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), 402);
    temperatureSetTemperatureByFrameHeader(nullptr);
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), -15);
}

TEST_F(StateTest, GeometryWithReductions) {
    pruSetSize(160, 60);
    EXPECT_EQ(pruGetNCols(), 160);
    EXPECT_EQ(pruGetNRowsPerHalf(), 60);
    state().col_reduction = 2;
    state().row_reduction = 4;
    pruSetSize(161, 63);
    EXPECT_EQ(pruGetNCols(), 80);
    EXPECT_EQ(pruGetNRowsPerHalf(), 15);
    EXPECT_EQ(state().raw_cols, 161);
    pruSetMinAmplitude(44);
    EXPECT_EQ(pruGetMinAmplitude(), 44);
    EXPECT_EQ(state().hyst_upper, 0);  // storing alone sets no threshold
    uint16_t samples[4] = {1, 2, 3, 4};
    epc_image_t img{};
    img.info.frame_size = 8;
    img.data = samples;
    pruSetImage(&img);
    epc_image_t got;
    EXPECT_EQ(pruGetCurrentImage(&got), 1);
    EXPECT_EQ(got.data, samples);
    EXPECT_EQ(got.info.frame_size, 8u);
    pruSetImage(nullptr);
    EXPECT_EQ(pruGetCurrentImage(&got), 0);
    EXPECT_EQ(got.data, nullptr);
}

TEST_F(StateTest, IntegrationTimeWithoutACamera) {
    // Sensor mode 0 without HDR: only the state changes, nothing is sent.
    EXPECT_EQ(configSetIntegrationTime3D(150), 0);
    EXPECT_EQ(state().dcs_add_threshold, 80);
    EXPECT_EQ(configSetIntegrationTime3D(1150), 0);
    EXPECT_EQ(state().dcs_add_threshold, 188);
    EXPECT_EQ(configSetIntegrationTime3D(4000), 0);
    EXPECT_EQ(configGetIntegrationTime3D(), 4000);
    EXPECT_EQ(configSetIntegrationTime3D(4001), -1);
    EXPECT_EQ(configSetIntegrationTime3D(-1), -1);
    EXPECT_EQ(configGetIntegrationTime3D(), 4000);
    configLoadParameters();
    EXPECT_DOUBLE_EQ(state().ambientLightFactor, 250.0 / std::sqrt(4000.0));
}

TEST_F(StateTest, LoadParametersLogsInOrder) {
    EXPECT_EQ(configLoadParameters(), 0);
    EXPECT_EQ(calibrateGetTempCoef(0), 2.2);
    EXPECT_EQ(calibrateGetTempCoef(4), 1.56131);
    EXPECT_EQ(calibrateGetIbTempCoef(0), 0.51765);
    EXPECT_EQ(calibrateGetIbTempCoef(4), 1.56131);
    EXPECT_DOUBLE_EQ(state().ambientLightFactor, 250.0 / std::sqrt(700.0));
    const std::string text = log_text();
    const char *lines[] = {"ambientLightFactor = 250.0000",
                           "print = 0",
                           "diffTemp = 7",
                           "drnuDelay = 5000",
                           "numAveragedFrames = 25",
                           "epc635_TemperatureCoeff = 1.561310",
                           "epc660_TemperatureCoeff = 2.200000",
                           "speed of light div 2 = 149896229.00",
                           "epc660_IbTemperatureCoeff = 0.517650"};
    size_t at = 0;
    for (const char *l : lines) {
        size_t p = text.find(std::string("[configLoadParameters] ") + l, at);
        ASSERT_NE(p, std::string::npos) << l;
        at = p;
    }
}

TEST_F(StateTest, PrintChipParamLinesInOrder) {
    configSetPartType(2);
    configSetPartVersion(3);
    configSetDeviceAddress(32);
    state().modulationFrequencies = {36000, 24000, 12000, 6000, 3000, 1500, 750};
    printChipParam();
    const std::string text = log_text();
    const char *lines[] = {"*** device type and IDs: ",
                           "chip_type: 23 ",
                           "icType: 0 ",
                           "partVersion: 3 ",
                           "waferID: 0 ",
                           "chipID: 0 ",
                           "sequencerVersion: 0 ",
                           "devAddress: 0x20 ",
                           "currentMode: 0 ",
                           "currentFreq: 2 ",
                           "modulationFrequency: 12000 ",
                           "modulationFrequencies[0]: 36000 ",
                           "modulationFrequencies[6]: 750 ",
                           "*** runtime settings: ",
                           "integrationTime2D: 700 ",
                           "nDCSTOF: 4 ",
                           "isFLIM: 0 ",
                           "*** calibration/correction settings: ",
                           "correctionBGMode: 0 ",
                           "enabledAmbientLightCorrection: 0 ",
                           "*** Print level: ",
                           "gPrint: 0 ",
                           "*** trimming values for temperature readout level: ",
                           "gX: 0x0 ",
                           "gC: 0 ",
                           "gZ: -268 "};
    size_t at = 0;
    for (const char *l : lines) {
        size_t p = text.find(std::string("[printChipParam] ") + l, at);
        ASSERT_NE(p, std::string::npos) << l;
        at = p;
    }
    EXPECT_EQ(tarvo_test::count_of(text, "[printChipParam]"), 41u);
}

}  // namespace

namespace {

using epc_test::EngineTest;

class FrequencyTableTest : public EngineTest {};

TEST_F(FrequencyTableTest, FromTheSystemClockRegisters) {
    EXPECT_EQ(tarvo::epc::sysclk_khz(0x00, 0x17), 96000u);
    tarvo::epc::build_frequency_table(0x00, 0x17);
    const int want[7] = {36000, 24000, 12000, 6000, 3000, 1500, 750};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(configGetModFreq(i), want[i]) << i;
    // R129 = 0x10 halves the clock: every entry from 1 on halves, entry 0 stays.
    tarvo::epc::build_frequency_table(0x10, 0x17);
    const int half[7] = {36000, 12000, 6000, 3000, 1500, 750, 375};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(configGetModFreq(i), half[i]) << i;
    // Only bits 4-5 of R129 and bits 0-4 of R130 count.
    EXPECT_EQ(tarvo::epc::sysclk_khz(0xCF, 0xF7), 96000u);
    EXPECT_EQ(tarvo::epc::sysclk_khz(0x30, 0x00), 500u);
    tarvo::epc::build_frequency_table(0x30, 0x00);
    EXPECT_EQ(configGetModFreq(6), 3);  // 500 / 128, truncated
    EXPECT_EQ(configGetModFreq(7), 0);
    EXPECT_EQ(configGetModFreq(-1), 0);
}

}  // namespace
