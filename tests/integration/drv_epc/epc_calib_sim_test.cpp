// Calibration read-out of the EPC driver from a simulated camera: the
// camera's stored image (header + ZIP made by the zip tool) becomes the two
// DRNU files, later opens use the files, and broken images are handled.
#include "epc_sim_rig.h"

namespace {

using namespace epc_rig;

class EpcCalibSim : public EpcSim {
  protected:
    // A camera that stores `image` and announces it as valid.
    void store(const std::vector<uint8_t> &image, tarvo::sim::CameraConfig cfg = camera()) {
        cfg.calibration = image;
        make_bus(cfg);
        cam_->set_param(TARVO_PARAM_CALIB_INFO, calib_info(1, static_cast<uint32_t>(image.size())));
    }
    size_t mode_switches_to_upload() const {
        size_t n = 0;
        for (const auto &v : param_writes(*cam_, TARVO_PARAM_MODE))
            if (v.size() == 1 && v[0] == 9) ++n;
        return n;
    }
};

TEST_F(EpcCalibSim, ReadOutCreatesTheDrnuFilesAndSwitchesTheCorrectionsOn) {
    const std::string params = drnu_params();
    const std::string images = drnu_images();
    store(calib_image(zip_of({{"calib_and_param_001.bin", params + images}})));
    open();

    // Both files of bank 1 (internal modulation, firmware 1.0) exist with the
    // package's two parts.
    EXPECT_EQ(tarvo_test::read_file(k_params), params);
    const std::string got = tarvo_test::read_file(k_images);
    ASSERT_EQ(got.size(), 4608000u);
    EXPECT_TRUE(got == images);
    // Temporary files and the package are gone.
    for (const char *f : {"calibration.bin", "tmp.zip", "calib_and_param_001.bin"})
        EXPECT_FALSE(exists(f)) << f;
    // The camera went to data upload and back to normal mode.
    const auto modes = param_writes(*cam_, TARVO_PARAM_MODE);
    ASSERT_EQ(modes.size(), 2u);
    EXPECT_EQ(modes[0], std::vector<uint8_t>{9});
    EXPECT_EQ(modes[1], std::vector<uint8_t>{0});
    EXPECT_EQ(cam_->param(TARVO_PARAM_MODE), std::vector<uint8_t>{0});
    // The reload loaded them: table correction and temperature correction on.
    EXPECT_EQ(tarvo::epc::state().enabledDRNU2, 1);
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_EQ(calculationGetEnableTemperature(), 1);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
    EXPECT_EQ(calibrateGetTempCalib(), 350);
    EXPECT_EQ(calibrateGetIbTempCalib(), 352);
    EXPECT_EQ(calibrateGetNumDistances(), 30);

    const std::string log = log_text();
    EXPECT_NE(log.find("[_load_calib_data] get 1 frames: [0, 320x240, 171]"), std::string::npos);
    EXPECT_NE(log.find("[on_extract_to_folder_entry] Extracted: "), std::string::npos);
    EXPECT_NE(log.find("calib_and_param_001.bin (1 of 1)"), std::string::npos);
    EXPECT_NE(log.find("[_parase_file] parse..."), std::string::npos);
    EXPECT_EQ(log.find("Load calibration data failed"), std::string::npos);

    // A second open finds the files and never switches to upload mode.
    close();
    cam_->clear_log();
    const uint32_t captures = cam_->stats().captures_started;
    tarvo::epc::reset_state();
    open();
    EXPECT_EQ(mode_switches_to_upload(), 0u);
    EXPECT_EQ(cam_->stats().captures_started, captures);
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_EQ(tarvo_test::read_file(k_images).size(), 4608000u);
}

TEST_F(EpcCalibSim, InvalidCalibrationInformationFailsTheLoadButNotTheOpen) {
    make_bus(camera());
    cam_->set_param(TARVO_PARAM_CALIB_INFO, calib_info(0, 1234));
    open();
    EXPECT_EQ(mode_switches_to_upload(), 1u);
    EXPECT_EQ(cam_->param(TARVO_PARAM_MODE), std::vector<uint8_t>{0});
    EXPECT_EQ(cam_->stats().captures_started, 0u);
    const std::string log = log_text();
    EXPECT_NE(log.find("Calib data not valid: fsize:1234, valid data size:1234, ck_sum:0, "
                       "version:1"),
              std::string::npos);
    EXPECT_NE(log.find("Load calibration data failed"), std::string::npos);
    EXPECT_FALSE(exists(k_images));
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
}

TEST_F(EpcCalibSim, UploadModeRefusedOrInformationUnreadable) {
    make_bus(camera());
    open();
    cam_->clear_log();
    cam_->fail_command({0xC0, 3}, "mode refused");
    EXPECT_EQ(tarvo::drv::epc::_load_calib_data(drv_), 0);
    EXPECT_NE(log_text().find("[_load_calib_data]  set mode to DATA_UP failed!"),
              std::string::npos);
    EXPECT_TRUE(param_writes(*cam_, TARVO_PARAM_MODE).size() == 1);  // the refused one
    // The information read fails: the mode goes back to normal.
    cam_->clear_log();
    cam_->fail_command({0xC0, 4}, "no info");
    EXPECT_EQ(tarvo::drv::epc::_load_calib_data(drv_), 0);
    EXPECT_NE(log_text().find("[_load_calib_data]  get param of calib data failed!"),
              std::string::npos);
    const auto modes = param_writes(*cam_, TARVO_PARAM_MODE);
    ASSERT_EQ(modes.size(), 2u);
    EXPECT_EQ(modes[1], std::vector<uint8_t>{0});
    EXPECT_EQ(drv_->ops->calib_load(drv_, 0, 0, 2), -1);
}

TEST_F(EpcCalibSim, ImageFrameInsteadOfCalibrationIsNotUnpacked) {
    // Calibration announced, but the camera streams ordinary frames.
    make_bus(camera());
    cam_->set_param(TARVO_PARAM_CALIB_INFO, calib_info(1, 1000));
    open();
    EXPECT_NE(log_text().find("[_load_calib_data] frame of format 2 is no calibration data"),
              std::string::npos);
    EXPECT_FALSE(exists("calibration.bin"));
    EXPECT_FALSE(exists(k_images));
    EXPECT_EQ(cam_->param(TARVO_PARAM_MODE), std::vector<uint8_t>{0});
    EXPECT_FALSE(cam_->capturing());
}

TEST_F(EpcCalibSim, PayloadLongerThanTheImageIsNotTrusted) {
    const std::string zip = zip_of({{"calib_and_param_001.bin", drnu_params() + drnu_images()}});
    store(calib_image(zip, 1, 1, 100000));
    open();
    // The copy stops at the image's end: no package, no DRNU files, and no
    // temporary file left; the read-out itself still counts as done.
    EXPECT_FALSE(exists(k_images));
    EXPECT_FALSE(exists("tmp.zip"));
    EXPECT_FALSE(exists("calibration.bin"));
    EXPECT_NE(log_text().find("announced"), std::string::npos);
    EXPECT_EQ(log_text().find("Load calibration data failed"), std::string::npos);
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
}

TEST_F(EpcCalibSim, ImageWithoutArchiveOrMarkedInvalid) {
    store(calib_image("not a zip", 1, 0));
    open();
    EXPECT_NE(log_text().find("[_calib_pk_parse] No zip used"), std::string::npos);
    EXPECT_FALSE(exists(k_images));
    close();
    bus_.reset();
    store(calib_image("whatever", 0, 1));
    open();
    EXPECT_NE(log_text().find("[_calib_pk_parse] Data not valid"), std::string::npos);
    EXPECT_FALSE(exists(k_images));
}

TEST_F(EpcCalibSim, ArchiveEntryClimbingOutOfThePrefixIsRefused) {
    // A hand-made archive whose entry name climbs out of the target
    // directory: zip stores the name as given with -q and a relative path.
    std::system("rm -rf zs && mkdir -p zs/a && printf 'evil' > zs/evil.bin");
    ASSERT_EQ(std::system("cd zs/a && zip -q ../../slip.zip ../evil.bin"), 0);
    const std::string zip = tarvo_test::read_file("slip.zip");
    std::system("rm -rf zs slip.zip");
    ASSERT_NE(zip.find("../evil.bin"), std::string::npos);
    ASSERT_EQ(tarvo_path_cfg("pfx/"), 0);
    store(calib_image(zip));
    open();
    EXPECT_NE(log_text().find("[_calib_pk_parse] pfx/tmp.zip zip failed"), std::string::npos);
    EXPECT_FALSE(exists("evil.bin"));
    EXPECT_FALSE(exists("pfx/tmp.zip"));
    tarvo_path_cfg(".\\");
}

TEST_F(EpcCalibSim, PackageWithoutImagesLeavesNoFilesSoTheNextOpenTriesAgain) {
    store(calib_image(zip_of({{"calib_and_param_001.bin", drnu_params()}})));
    open();
    EXPECT_FALSE(exists(k_images));
    EXPECT_FALSE(exists(k_params));
    EXPECT_NE(log_text().find("hold no calibration images"), std::string::npos);
    close();
    cam_->clear_log();
    open();
    EXPECT_EQ(mode_switches_to_upload(), 1u);
}

TEST_F(EpcCalibSim, PackageOfWholeImagesKeepsTheImages) {
    // No parameter part at all (size a multiple of 256): the images are
    // still written, and the parameters take the engine's defaults.
    store(calib_image(zip_of({{"calib_and_param_001.bin", drnu_images(10)}})));
    open();
    EXPECT_EQ(tarvo_test::read_file(k_images).size(), 1536000u);
    EXPECT_EQ(tarvo_test::read_file(k_params).size(), 0u);
    EXPECT_EQ(calibrateGetNumDistances(), 10);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
    EXPECT_EQ(calibrateGetTempCalib(), 361);
}

}  // namespace
