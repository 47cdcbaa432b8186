// DRNU calibration files: names, the parameter file in its three sizes and
// broken ones, the images file with its transposed table, extremes, entry
// count and size limits.
#include "epc_test_util.h"

namespace {

using epc_test::EngineTest;
using epc_test::images_file;
using epc_test::images_name;
using epc_test::param_name;
using epc_test::put32;
using epc_test::put_double;
using tarvo::epc::drnu_bank;
using tarvo::epc::state;
using tarvo_test::write_file;

class DrnuTest : public EngineTest {};

TEST_F(DrnuTest, FileNamesByPartTypeAndBank) {
    configSetWaferID(7);
    configSetChipID(12);
    EXPECT_EQ(images_name(1), "vexm_ex_images_drnu_W007_C012_10.bin");
    EXPECT_EQ(images_name(0), "vexm_ex_images_drnu_W007_C012_20.bin");
    EXPECT_EQ(param_name(1), "vexm_ex_drnu_param_W007_C012_10.bin");
    EXPECT_EQ(param_name(0), "vexm_ex_drnu_param_W007_C012_20.bin");
    char buf[256];
    EXPECT_EQ(calibrationGetParamName(buf, 1), 1);
    configSetPartType(4);
    EXPECT_EQ(images_name(1), "epc635_images_drnu_W007_C012_10.bin");
    configSetPartType(5);
    EXPECT_EQ(param_name(0), "epc635_drnu_param_W007_C012_20.bin");
    configSetWaferID(1234);
    EXPECT_EQ(param_name(0), "epc635_drnu_param_W1234_C012_20.bin");
}

std::string param_file(bool freq, bool ib) {
    std::string b;
    if (freq) put32(b, 12000);
    put32(b, static_cast<uint32_t>(-1500));
    put32(b, 377);
    put_double(b, 301.5);
    if (ib) put32(b, 150);
    return b;
}

TEST_F(DrnuTest, TwentyByteParameterFile) {
    write_file(param_name(1), param_file(false, true));
    EXPECT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_EQ(calibrationGetOffsetDRNU(), -1500);
    EXPECT_EQ(calibrateGetTempCalib(), 377);
    EXPECT_EQ(calibrateGetIbTempCalib(), 350);  // stored 150 + 200
    EXPECT_EQ(calibrateGetStepCalMM(), 301.5);
    // Both banks hold the values.
    EXPECT_EQ(drnu_bank(0).params->offset_drnu, -1500);
    EXPECT_EQ(drnu_bank(1).params->ib_temp_cal, 350);
    // Default offset phase: trunc(885000 / 1249 - (-1500)) = 2208.
    EXPECT_EQ(calibrationGetDefaultOffsetPhase(), 2208);
    EXPECT_EQ(calibrationGetOffsetPhase(), 0);  // not changed here
    EXPECT_NE(log_text().find("gOffsetDRNU_Temp0:-1500"), std::string::npos);
    EXPECT_NE(log_text().find("gStepCalMM0:301.5000"), std::string::npos);
    EXPECT_EQ(log_text().find("Clib Freq"), std::string::npos);
}

TEST_F(DrnuTest, SixteenByteFileTakesTheIbTemperatureFromTheSensor) {
    write_file(param_name(1), param_file(false, false));
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrationGetOffsetDRNU(), -1500);
    EXPECT_EQ(calibrateGetIbTempCalib(), 477);  // 377 + 100
}

TEST_F(DrnuTest, TwentyFourByteFileStartsWithTheFrequency) {
    write_file(param_name(1), param_file(true, true));
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrationGetOffsetDRNU(), -1500);
    EXPECT_EQ(calibrateGetIbTempCalib(), 350);
    EXPECT_NE(log_text().find("Clib Freq:12000 k"), std::string::npos);
}

TEST_F(DrnuTest, MissingShortOrEmptyFilesGiveTheDefaults) {
    for (const std::string &bytes : {std::string("absent"), std::string(), std::string(15, '\x7f'),
                                     param_file(false, true).substr(0, 12)}) {
        SCOPED_TRACE(bytes.size());
        tarvo::epc::reset_state();
        ::unlink(param_name(1).c_str());
        if (bytes != "absent") write_file(param_name(1), bytes);
        EXPECT_EQ(calibrationLoadDRNU_LUT(), 0);
        EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
        EXPECT_EQ(calibrateGetTempCalib(), 361);
        EXPECT_EQ(calibrateGetIbTempCalib(), 341);
        EXPECT_EQ(calibrateGetStepCalMM(), 298.2);
        // 885000 / 1249 - 8364 = -7655.4: -7655.
        EXPECT_EQ(calibrationGetDefaultOffsetPhase(), -7655);
    }
}

TEST_F(DrnuTest, ParameterFileOfTheCurrentBank) {
    write_file(param_name(0), param_file(false, true));
    calibrationLoadDRNU_LUT();  // mode 2 reads bank 1, which is absent
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
    state().currentFreq = 3;
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrationGetOffsetDRNU(), -1500);
}

TEST_F(DrnuTest, ImagesAreTransposedWithExtremes) {
    // 10 images: image k at pixel p holds (p * 7 + k * 1000) % 60000.
    auto value = [](int k, int p) { return static_cast<uint16_t>((p * 7 + k * 1000) % 60000); };
    write_file(images_name(1), images_file(10, 320, 240, value));
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 10);
    auto b = drnu_bank(1);
    for (int p : {0, 1, 319, 320, 76799}) {
        uint16_t lo = 65535, hi = 0;
        for (int k = 0; k < 10; ++k) {
            ASSERT_EQ(b.table[p * 10 + k], value(k, p));
            ASSERT_EQ(calibrateGetDistImagePixel(p * 10 + k), value(k, p));
            lo = std::min(lo, value(k, p));
            hi = std::max(hi, value(k, p));
        }
        EXPECT_EQ(b.min[p], lo) << p;
        EXPECT_EQ(b.max[p], hi) << p;
    }
    // The step-major copy holds the same entries.
    EXPECT_EQ(*b.steps_n, 10);
    EXPECT_EQ(b.steps[3 * EPC_SENSOR_PIXELS + 321], value(3, 321));
    // Bank 0 is untouched; the accessor follows the frequency mode.
    EXPECT_EQ(drnu_bank(0).table[11], 0);
    state().currentFreq = 0;
    EXPECT_EQ(calibrateGetDistImagePixel(11), 0);
    EXPECT_EQ(calibrateGetDistImagePixel(-1), 0);
    EXPECT_EQ(calibrateGetDistImagePixel(30 * EPC_SENSOR_PIXELS), 0);
    EXPECT_NE(log_text().find(images_name(1)), std::string::npos);
}

TEST_F(DrnuTest, EntryCountFromTheFileSize) {
    auto value = [](int k, int) { return static_cast<uint16_t>(k); };
    write_file(images_name(1), images_file(30, 320, 240, value));
    EXPECT_EQ(tarvo_test::read_file(images_name(1)).size(), 4608000u);
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    write_file(images_name(1), images_file(40, 320, 240, value));  // the rest is ignored
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    EXPECT_EQ(drnu_bank(1).max[5], 29);
    // At 36000 kHz the table has 20 entries whatever the size.
    state().modulationFrequency = 36000;
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 20);
    EXPECT_EQ(drnu_bank(1).max[5], 19);
    write_file(images_name(1), images_file(10, 320, 240, value));
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);  // fewer than 20 images
    EXPECT_EQ(calibrateGetNumDistances(), 20);
    EXPECT_NE(log_text().find("Loading failed"), std::string::npos);
    EXPECT_EQ(drnu_bank(1).max[5], 19);  // the bank keeps its tables
}

TEST_F(DrnuTest, MissingFileFailsWithThirtyEntries) {
    calibrateSetNumDistances(7);
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    EXPECT_NE(log_text().find("Can not open"), std::string::npos);
    EXPECT_EQ(calibrationDataFileCheck(1), -1);
    write_file(images_name(1), "xx");
    EXPECT_EQ(calibrationDataFileCheck(1), 0);
    EXPECT_NE(log_text().find("Find " + images_name(1)), std::string::npos);
    EXPECT_EQ(calibrationLoadDistanceImages(7), -1);
}

TEST_F(DrnuTest, FileSmallerThanOneImageGivesAnEmptyTable) {
    write_file(images_name(1), std::string(1000, '\x01'));
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 0);
    EXPECT_EQ(drnu_bank(1).min[0], 65535);
    EXPECT_EQ(drnu_bank(1).max[0], 0);
}

TEST_F(DrnuTest, CalibrationGeometryLargerThanTheSensorIsRefused) {
    auto value = [](int, int) { return uint16_t{1}; };
    write_file(images_name(1), images_file(2, 329, 252, value));
    calibrateSetWidth(329);
    calibrateSetHeight(252);
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    EXPECT_NE(log_text().find("does not fit the sensor"), std::string::npos);
    calibrateSetWidth(0);
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    // The whole sensor array is the largest geometry that loads.
    write_file(images_name(1), images_file(30, 328, 252, value));
    calibrateSetWidth(328);
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    EXPECT_EQ(drnu_bank(1).table[30 * EPC_SENSOR_PIXELS - 1], 1);
}

TEST_F(DrnuTest, Accessors) {
    calibrateSetNumDistances(99);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    calibrateSetNumDistances(-3);
    EXPECT_EQ(calibrateGetNumDistances(), 0);
    EXPECT_EQ(calibrateGetoffsetPhaseDefaultFPN(), 0);
    EXPECT_EQ(calibrateGetTempCoef(2), 1.7);
    EXPECT_EQ(calibrateGetTempCoef(4), 1.56131);
    EXPECT_EQ(calibrateGetIbTempCoef(0), 1.29);
    calibrateSetTempCoef(3.5, 5);
    EXPECT_EQ(calibrateGetTempCoef(4), 3.5);
    EXPECT_EQ(calibrateGetTempCoef(2), 1.7);
    calibrateSetIbTempCoef(0.25, 3);
    EXPECT_EQ(calibrateGetIbTempCoef(1), 0.25);
    EXPECT_EQ(calibrateGetIbTempCoef(5), 1.56131);
    EXPECT_EQ(calibrateGetSpeedOfLightDiv2(), 149896229.0);
    calibrateSetSpeedOfLightDiv2(1.5e8);
    EXPECT_EQ(calibrateGetSpeedOfLightDiv2(), 1.5e8);
    calibrateSetDRNUCalibrateDelay(11);
    calibrateSetDRNUDiffTemp(12);
    calibrateSetDRNUAverage(13);
    EXPECT_EQ(state().drnuDelay, 11);
    EXPECT_EQ(state().diffTemp, 12);
    EXPECT_EQ(state().numAveragedFrames, 13);
    EXPECT_EQ(calibrateGetWidth(), 320);
    EXPECT_EQ(calibrateGetHeight(), 240);
}

}  // namespace
