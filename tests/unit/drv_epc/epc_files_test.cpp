// Files of the EPC driver: the lens parameter file, the calibration image
// header, the package split and the ZIP extraction (archives made with the
// zip tool), all on real files in the test's working directory.
#include <cstdlib>
#include <string>

#include "epc_unit_rig.h"

namespace {

using namespace epc_unit;
namespace de = tarvo::drv::epc;

bool exists(const std::string &p) {
    FILE *f = std::fopen(p.c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

const char k_lens11[] =
    "160.5 cx\n120.25\n200.0\n201.0\n-0.1\n0.2\n0.003\n0.004\n-0.05\n0x140 width\n240\n";

using EpcLensFile = EpcRow;

TEST_F(EpcLensFile, ElevenLinesReplaceEveryField) {
    tarvo_test::write_file("lens_param.txt", k_lens11);
    EXPECT_EQ(de::_tq_update_len_param(nullptr), 1);
    const tq_lens_param_t L = de::lens_record();
    EXPECT_EQ(L.cx, 160.5);
    EXPECT_EQ(L.cy, 120.25);
    EXPECT_EQ(L.fx, 200.0);
    EXPECT_EQ(L.fy, 201.0);
    EXPECT_EQ(L.dcoeff[0], -0.1);
    EXPECT_EQ(L.dcoeff[4], -0.05);
    EXPECT_EQ(L.img_w, 320);  // "%i" reads hexadecimal
    EXPECT_EQ(L.img_h, 240);
    const std::string log = log_text();
    EXPECT_NE(log.find("[_tq_update_len_param] Cx:160.50000"), std::string::npos);
    EXPECT_NE(log.find("[_tq_update_len_param] dcoeff[4]:-0.05000"), std::string::npos);
    EXPECT_NE(log.find("[_tq_update_len_param] img_w = 320"), std::string::npos);
    EXPECT_NE(log.find("[_tq_update_len_param] Reload lens param ok"), std::string::npos);
    std::remove("lens_param.txt");
}

TEST_F(EpcLensFile, TwelveLinesUpdateAllFieldsButReportZero) {
    tarvo_test::write_file("lens_param.txt", std::string(k_lens11) + "extra line\n");
    EXPECT_EQ(de::_tq_update_len_param(nullptr), 0);
    EXPECT_NE(log_text().find("[WRN] [_tq_update_len_param] Param number maybe not right"),
              std::string::npos);
    EXPECT_EQ(de::lens_record().cx, 160.5);
    EXPECT_EQ(de::lens_record().img_h, 240);
    EXPECT_EQ(de::lens_record().img_w, 320);
    std::remove("lens_param.txt");
}

TEST_F(EpcLensFile, ShortFileKeepsTheFieldsItReadAndTheRest) {
    tarvo_test::write_file("lens_param.txt", "10\n20\n30");
    EXPECT_EQ(de::_tq_update_len_param(nullptr), 0);
    EXPECT_EQ(de::lens_record().cx, 10.0);
    EXPECT_EQ(de::lens_record().fx, 30.0);
    EXPECT_EQ(de::lens_record().fy, 204.817);  // default
    std::remove("lens_param.txt");
    // No file: the record stays, a DBG line says so.
    EXPECT_EQ(de::_tq_update_len_param(nullptr), 0);
    EXPECT_NE(log_text().find("lens_param.txt Open failed, use default param"), std::string::npos);
    EXPECT_EQ(de::lens_record().cx, 10.0);
}

TEST_F(EpcLensFile, UndistortionFilterWithAnUnusableRecordStaysOff) {
    // A 1-pixel-wide record makes no map: the switch stays off and the
    // enable reports failure.
    tarvo_test::write_file("lens_param.txt", "1\n1\n1\n1\n0\n0\n0\n0\n0\n1\n240\n");
    EXPECT_FALSE(ops().filter_enable(&row_, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0));
    EXPECT_EQ(st_->lens_undistort_on, 0);
    EXPECT_EQ(st_->map.load(), nullptr);
    EXPECT_NE(log_text().find("lens param 1x240 makes no undistortion map"), std::string::npos);
    // A good record builds the map at its size.
    tarvo_test::write_file("lens_param.txt", k_lens11);
    EXPECT_TRUE(ops().filter_enable(&row_, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0));
    EXPECT_EQ(st_->lens_undistort_on, 1);
    ASSERT_NE(st_->map.load(), nullptr);
    EXPECT_EQ(st_->map.load()->map.width, 320);
    EXPECT_EQ(st_->map.load()->map.height, 240);
    EXPECT_TRUE(ops().filter_disable(&row_, TARVO_FILTER_LENS_UNDISTORT));
    EXPECT_EQ(st_->lens_undistort_on, 0);
    std::remove("lens_param.txt");
}

TEST(EpcLensParse, TokensAndOddLines) {
    tq_lens_param_t rec{};
    rec.fx = 7.0;
    const char text[] = "  1.5e1 trailing\n\nnot a number\n\n\n\n\n\n\n99999999999\n-0x10\n";
    EXPECT_EQ(de::parse_lens_text(text, sizeof text - 1, rec), 11);
    EXPECT_EQ(rec.cx, 15.0);
    EXPECT_EQ(rec.fx, 7.0);           // no number: kept
    EXPECT_EQ(rec.img_w, INT32_MAX);  // saturated
    EXPECT_EQ(rec.img_h, -16);
    EXPECT_EQ(de::parse_lens_text("", 0, rec), 0);
}

TEST(EpcCalibHeader, Fields) {
    uint8_t h[17] = {1, 0xAA, 1, 9, 9, 9, 9, 9, 9, 9, 9, 0x10, 0x20, 0x30, 0x00, 7, 7};
    de::CalibHeader c;
    ASSERT_TRUE(de::parse_calib_header(h, sizeof h, c));
    EXPECT_EQ(c.valid, 1);
    EXPECT_EQ(c.archive, 1);
    EXPECT_EQ(c.payload_len, 0x302010u);
    EXPECT_FALSE(de::parse_calib_header(h, 16, c));
    EXPECT_EQ(de::package_param_len(4608020), 20u);
    EXPECT_EQ(de::package_param_len(4608000), 0u);
}

using EpcPackage = EpcRow;

TEST_F(EpcPackage, SplitIntoParameterAndImagesFiles) {
    std::snprintf(st_->param_name[1], sizeof st_->param_name[1], "p1.bin");
    std::snprintf(st_->images_name[1], sizeof st_->images_name[1], "i1.bin");
    std::string params(24, 'P');
    std::string images(3 * 256, 'I');
    images[0] = 'X';
    tarvo_test::write_file("pkg.bin", params + images);
    EXPECT_EQ(de::_parse_file_ex(nullptr, st_, "pkg.bin"), 1);
    EXPECT_EQ(tarvo_test::read_file("p1.bin"), params);
    EXPECT_EQ(tarvo_test::read_file("i1.bin"), images);
    EXPECT_FALSE(exists("pkg.bin"));
    // A package that cannot be opened leaves no half-made files.
    EXPECT_EQ(de::_parse_file_ex(nullptr, st_, "missing.bin"), 0);
    EXPECT_NE(log_text().find("[_parse_file_ex] missing.bin open failed"), std::string::npos);
    EXPECT_FALSE(exists("p1.bin"));
    EXPECT_FALSE(exists("i1.bin"));
    // External modulation writes bank 0.
    epcSetExtModEnable(1);
    std::snprintf(st_->param_name[0], sizeof st_->param_name[0], "p0.bin");
    std::snprintf(st_->images_name[0], sizeof st_->images_name[0], "i0.bin");
    tarvo_test::write_file("pkg.bin", std::string(20, 'p') + std::string(512, 'i'));
    EXPECT_EQ(de::_parse_file_ex(nullptr, st_, "pkg.bin"), 1);
    EXPECT_EQ(tarvo_test::read_file("p0.bin").size(), 20u);
    EXPECT_EQ(tarvo_test::read_file("i0.bin").size(), 512u);
    epcSetExtModEnable(0);
    for (const char *f : {"p0.bin", "i0.bin"}) std::remove(f);
}

TEST_F(EpcPackage, RefusedPackagesAreDeletedTooAndTheSearchLogsTheNameFound) {
    std::snprintf(st_->param_name[1], sizeof st_->param_name[1], "p1.bin");
    std::snprintf(st_->images_name[1], sizeof st_->images_name[1], "i1.bin");
    // Too short to hold an image.
    tarvo_test::write_file("pkg.bin", std::string(100, 'P'));
    EXPECT_EQ(de::_parse_file_ex(nullptr, st_, "pkg.bin"), 0);
    EXPECT_FALSE(exists("pkg.bin"));
    // The DRNU file cannot be made.
    std::snprintf(st_->param_name[1], sizeof st_->param_name[1], "no_such_dir/p1.bin");
    tarvo_test::write_file("pkg.bin", std::string(20, 'p') + std::string(512, 'i'));
    EXPECT_EQ(de::_parse_file_ex(nullptr, st_, "pkg.bin"), 0);
    EXPECT_FALSE(exists("pkg.bin"));
    EXPECT_FALSE(exists("i1.bin"));
    // Found by the search under a path prefix: "find:" names the file
    // without its directory, and the refused package goes too.
    std::system("rm -rf pfx && mkdir pfx");
    tarvo_test::write_file("pfx/calib_and_param_007.bin", std::string(100, 'P'));
    ASSERT_EQ(tarvo_path_cfg("pfx\\"), 0);
    de::_parase_file(&row_);
    EXPECT_NE(log_text().find("[_parase_file] find:calib_and_param_007.bin\n"), std::string::npos);
    EXPECT_FALSE(exists("pfx/calib_and_param_007.bin"));
    std::system("rm -rf pfx");
}

std::string make_zip(const std::string &command) {
    const int rc = std::system(command.c_str());
    EXPECT_EQ(rc, 0) << command;
    return "z.zip";
}

int count_entries(const char *name, void *arg) {
    auto *names = static_cast<std::vector<std::string> *>(arg);
    names->push_back(name);
    return 0;
}

using EpcZip = EpcRow;

TEST_F(EpcZip, ExtractsEveryEntryWithSubdirectories) {
    make_zip(
        "rm -rf zsrc z.zip out && mkdir -p zsrc/sub && printf abc > zsrc/a.bin && "
        "printf defg > zsrc/sub/b.bin && cd zsrc && zip -q -r ../z.zip a.bin sub");
    std::vector<std::string> names;
    ASSERT_EQ(de::zip_extract("z.zip", "out\\", count_entries, &names), 0);
    EXPECT_EQ(tarvo_test::read_file("out/a.bin"), "abc");
    EXPECT_EQ(tarvo_test::read_file("out/sub/b.bin"), "defg");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "a.bin");
    // The library's callback counts entries process-wide from 1.
    int total = 2;
    ASSERT_EQ(de::zip_extract("z.zip", "out2", de::on_extract_to_folder_entry, &total), 0);
    ASSERT_EQ(de::zip_extract("z.zip", "out2", de::on_extract_to_folder_entry, &total), 0);
    const std::string log = log_text();
    // The lines name the archive's entries, not the files on disk.
    EXPECT_NE(log.find("[on_extract_to_folder_entry] Extracted: a.bin (1 of 2)\n"),
              std::string::npos);
    EXPECT_NE(log.find("Extracted: sub/b.bin (4 of 2)\n"), std::string::npos);
    std::system("rm -rf zsrc z.zip out out2");
}

TEST_F(EpcZip, RefusesEntriesThatLeaveTheTargetAndBrokenArchives) {
    make_zip(
        "rm -rf zsrc z.zip && mkdir -p zsrc/in && printf evil > zsrc/evil.bin && "
        "cd zsrc/in && zip -q ../../z.zip ../evil.bin");
    std::vector<std::string> names;
    EXPECT_EQ(de::zip_extract("z.zip", "target", count_entries, &names), -1);
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(exists("evil.bin"));
    EXPECT_NE(log_text().find("[zip_extract] entry \"../evil.bin\""), std::string::npos);
    // Absolute name: rewrite the stored name "../evil.bin" to "/tmp/evil_"
    // (same length) in both headers.
    std::string z = tarvo_test::read_file("z.zip");
    for (size_t p = z.find("../evil.bin"); p != std::string::npos; p = z.find("../evil.bin"))
        z.replace(p, 11, "/tmpxevil_b");
    tarvo_test::write_file("abs.zip", z);
    EXPECT_EQ(de::zip_extract("abs.zip", "target", count_entries, &names), -1);
    EXPECT_FALSE(exists("/tmpxevil_b"));
    // Not an archive, or a cut one.
    tarvo_test::write_file("junk.zip", "PK\x03\x04 not really");
    EXPECT_EQ(de::zip_extract("junk.zip", "target", count_entries, &names), -1);
    tarvo_test::write_file("cut.zip", z.substr(0, z.size() / 2));
    EXPECT_EQ(de::zip_extract("cut.zip", "target", count_entries, &names), -1);
    EXPECT_EQ(de::zip_extract("nothing.zip", "target", count_entries, &names), -1);
    EXPECT_TRUE(names.empty());
    std::system("rm -rf zsrc z.zip abs.zip junk.zip cut.zip target");
}

}  // namespace
