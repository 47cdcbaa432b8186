// The image steps: defective-pixel list file and its mapping onto the
// window, the correction, the averaging filters, temporal averaging and
// the background difference.
#include <string>
#include <vector>

#include "pipe_test_util.h"

namespace {

using pipe_test::stdout_of;
using tarvo::epc::state;

constexpr uint16_t k_low = 65300;

class ImageFilters : public pipe_test::PipeTest {
  protected:
    // An image of C x R values with the engine geometry set to match.
    std::vector<uint16_t> image(int C, int R, uint16_t fill) {
        geometry(C, R / 2, 2, 4);
        return std::vector<uint16_t>(static_cast<size_t>(C * R), fill);
    }
    static void list(const std::string &text) { tarvo_test::write_file("pixels.txt", text); }
    static void window(int x0, int x1, int y0) {
        state().roi_x0 = static_cast<uint16_t>(x0);
        state().roi_x1 = static_cast<uint16_t>(x1);
        state().roi_y0 = static_cast<uint8_t>(y0);
    }
};

TEST_F(ImageFilters, PixelListFixedColumns) {
    list(
        "012 045 NE\n"
        "100 200 W\r\n"
        "  7  13 SW\n"
        "001 002 XX\n"
        "bad line\n"
        "300 250 E");
    std::string out = stdout_of([] { EXPECT_EQ(imageCorrectionLoad("pixels.txt"), 0); });
    ASSERT_EQ(imageCorrectionGetCount(), 5);
    int n = 0;
    const tarvo::epc::BadPixel *p = tarvo::epc::bad_pixels(&n);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(p[0].x, 12);
    EXPECT_EQ(p[0].y, 45);
    EXPECT_EQ(p[0].direction, 3);
    EXPECT_EQ(p[1].x, 100);
    EXPECT_EQ(p[1].y, 200);
    EXPECT_EQ(p[1].direction, 0);
    EXPECT_EQ(p[2].x, 7);
    EXPECT_EQ(p[2].y, 13);
    EXPECT_EQ(p[2].direction, 7);
    EXPECT_EQ(p[3].direction, tarvo::epc::k_dir_unknown);
    EXPECT_EQ(p[3].x, 1);
    // The malformed fifth line is skipped; the last line needs no line end.
    EXPECT_EQ(p[4].x, 300);
    EXPECT_EQ(p[4].y, 250);
    EXPECT_EQ(p[4].direction, 4);
    EXPECT_NE(out.find("strN == W\n"), std::string::npos);
    EXPECT_NE(log_text().find("1 lines without a column and a row skipped"), std::string::npos);
    // A new load starts from an empty list.
    list("010 010 N\n");
    imageCorrectionLoad("pixels.txt");
    EXPECT_EQ(imageCorrectionGetCount(), 1);
}

TEST_F(ImageFilters, PixelListOfWideColumnsAndMissingFile) {
    list("300 250 E\n");
    std::string out = stdout_of([] { imageCorrectionLoad("pixels.txt"); });
    int n = 0;
    const tarvo::epc::BadPixel *p = tarvo::epc::bad_pixels(&n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(p[0].x, 300);
    EXPECT_EQ(p[0].direction, 4);
    EXPECT_NE(out.find("strN == E\n"), std::string::npos);

    EXPECT_EQ(imageCorrectionLoad("no_such_list.txt"), 0);
    EXPECT_EQ(imageCorrectionGetCount(), 0);
    EXPECT_EQ(imageCorrectionLoad(nullptr), 0);
}

TEST_F(ImageFilters, PixelListKeepsTheFirst1024Lines) {
    std::string text;
    for (int i = 0; i < 1030; ++i) text += "010 020 N\n";
    text += std::string(300, '9') + "\n";  // one very long line, also beyond the limit
    list(text);
    imageCorrectionLoad("pixels.txt");
    EXPECT_EQ(imageCorrectionGetCount(), 1024);
    EXPECT_NE(log_text().find("list full at 1024 pixels: 7 further lines ignored"),
              std::string::npos);
}

TEST_F(ImageFilters, LongLinesCountOnce) {
    list("010 020 N" + std::string(400, ' ') + "\n011 021 S\n");
    imageCorrectionLoad("pixels.txt");
    int n = 0;
    const tarvo::epc::BadPixel *p = tarvo::epc::bad_pixels(&n);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(p[1].x, 11);
    EXPECT_EQ(p[1].direction, 6);
}

TEST_F(ImageFilters, TransformMapsOntoTheWindow) {
    image(320, 240, 0);
    window(4, 323, 6);
    list(
        "004 010 W\n"   // at x0 looking west: cannot be corrected
        "323 010 NE\n"  // at x1 looking east
        "100 006 N\n"   // at y0 looking up
        "100 006 E\n"   // at y0 along the row: fine
        "003 010 E\n"   // left of the window: skipped silently
        "100 246 N\n"   // beyond 251 - y0: skipped
        "014 016 S\n");
    std::string out;
    stdout_of([] { imageCorrectionLoad("pixels.txt"); });
    out = stdout_of([] { EXPECT_EQ(imageCorrectionTransform(), 7); });
    EXPECT_NE(out.find("pixel 4,10 can not be corrected\n"), std::string::npos);
    EXPECT_NE(out.find("pixel 323,10 can not be corrected\n"), std::string::npos);
    EXPECT_NE(out.find("pixel 100,6 can not be corrected\n"), std::string::npos);
    EXPECT_EQ(out.find("pixel 3,10"), std::string::npos);
    int n = 0;
    const tarvo::epc::BadPixel *t = tarvo::epc::bad_pixels_transformed(&n);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(t[0].index, 96);             // row 0, column 96
    EXPECT_EQ(t[1].index, 320 * 10 + 10);  // row 10, column 10
    EXPECT_EQ(t[1].direction, 6);

    // Dual MGX halves the rows, column reduction divides the columns.
    state().dual_mgx = 1;
    state().col_reduction = 2;
    state().cols = 160;
    stdout_of([] { imageCorrectionTransform(); });
    t = tarvo::epc::bad_pixels_transformed(&n);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(t[0].index, 48);
    EXPECT_EQ(t[1].index, 160 * 5 + 5);
}

TEST_F(ImageFilters, NewWindowRemapsTheList) {
    list("010 010 N\n100 010 N\n");
    stdout_of([] { imageCorrectionLoad("pixels.txt"); });
    EXPECT_EQ(imageCorrectionGetTransformedCount(), 0);
    // No camera bound: the register writes fail, the window is taken all the same.
    stdout_of([] { EXPECT_EQ(apiSetROI(4, 63, 6, 125, 32), 0); });
    EXPECT_EQ(imageCorrectionGetTransformedCount(), 1);  // column 100 lies outside
    int n = 0;
    EXPECT_EQ(tarvo::epc::bad_pixels_transformed(&n)[0].index, 60 * 4 + 6);
}

TEST_F(ImageFilters, CorrectionCopiesNeighboursInListOrder) {
    auto img = image(4, 4, 0);
    for (int i = 0; i < 16; ++i) img[static_cast<size_t>(i)] = static_cast<uint16_t>(100 + i);
    window(4, 7, 6);
    // (5, 7) -> index 5 from its east neighbour 6; then (6, 7) -> index 6
    // from its north neighbour 2: the first copy does not disturb it, but
    // (5, 8) -> index 9 then takes the corrected index 5 from the north.
    list("005 007 E\n006 007 N\n005 008 N\n");
    stdout_of([] { imageCorrectionLoad("pixels.txt"); });
    stdout_of([] { imageCorrectionTransform(); });
    uint16_t *p = img.data();
    imageCorrect(&p);  // switch off: nothing
    EXPECT_EQ(img[5], 105);
    imageCorrectionEnable(1);
    imageCorrect(&p);
    EXPECT_EQ(img[5], 106);
    EXPECT_EQ(img[6], 102);
    EXPECT_EQ(img[9], 106);
}

TEST_F(ImageFilters, CorrectionNeverWritesOutsideTheImage) {
    auto img = image(4, 4, 7);
    img.resize(img.size() + 8, 0xBEEF);  // guard values after the image
    uint16_t *p = img.data();
    // Indices beyond the image, neighbours beyond it and across the row end.
    EXPECT_EQ(imageCorrectCopyPixel(0, 16, 0, &p), 65535);
    EXPECT_EQ(imageCorrectCopyPixel(0, -1, 0, &p), 65535);
    img[12] = 1;
    EXPECT_EQ(imageCorrectCopyPixel(0, 15, 6, &p), 7);  // south of the last row
    EXPECT_EQ(imageCorrectCopyPixel(0, 3, 4, &p), 7);   // east of the last column
    EXPECT_EQ(imageCorrectCopyPixel(0, 4, 0, &p), 7);   // west of the first column
    std::string out = stdout_of([&] { EXPECT_EQ(imageCorrectCopyPixel(0, 5, 9, &p), 7); });
    EXPECT_NE(out.find("unknown neighbour, check image_correction.txt"), std::string::npos);
    EXPECT_EQ(imageCorrectCopyPixel(0, 13, 0, &p), 1);  // a real copy
    for (size_t i = 16; i < img.size(); ++i) EXPECT_EQ(img[i], 0xBEEF);

    // A listed pixel below the image of a smaller window is left alone too.
    window(4, 7, 6);
    list("005 200 N\n005 300 XX\n");
    stdout_of([] { imageCorrectionLoad("pixels.txt"); });
    stdout_of([] { imageCorrectionTransform(); });
    imageCorrectionEnable(1);
    imageCorrect(&p);
    for (size_t i = 16; i < img.size(); ++i) EXPECT_EQ(img[i], 0xBEEF);
}

TEST_F(ImageFilters, ProcessingModeSelection) {
    EXPECT_EQ(imageSetProcessing(9), 3);
    EXPECT_EQ(apiSetImageProcessing(2), 2);
    EXPECT_EQ(imageSetProcessing(-1), 3);
    auto img = image(3, 2, 100);
    img[0] = 400;
    auto before = img;
    uint16_t *p = img.data();
    imageSetProcessing(3);
    imageProcess(&p);
    EXPECT_EQ(img, before);  // mode 3 selects no filter
    imageSetProcessing(1);
    imageProcess(&p);
    EXPECT_NE(img, before);
}

TEST_F(ImageFilters, FourNeighbourAverage) {
    // 3 x 4 image:
    //   100 200 300
    //   400 500 600
    //   700 C   900      C = 65300
    //   C   C   C
    auto img = image(3, 4, 0);
    const uint16_t v[12] = {100, 200, 300, 400, 500, 600, 700, k_low, 900, k_low, k_low, k_low};
    std::copy(v, v + 12, img.begin());
    uint16_t *p = img.data();
    imageAverageFourConnectivity(&p);
    EXPECT_EQ(img[0], (100 + 200 + 400 + 1) / 3);        // corner: 2 of 2 neighbours
    EXPECT_EQ(img[4], (500 + 200 + 400 + 600) / 4);      // centre: 3 of 4 valid
    EXPECT_EQ(img[3], (400 + 100 + 700 + 500 + 2) / 4);  // edge: 3 of 3
    EXPECT_EQ(img[5], (600 + 500 + 300 + 900 + 2) / 4);
    EXPECT_EQ(img[6], k_low);  // 1 of 3 valid, 2 needed
    EXPECT_EQ(img[7], k_low);  // codes stay
    EXPECT_EQ(img[8], k_low);
}

TEST_F(ImageFilters, EightNeighbourAverage) {
    auto img = image(3, 4, 0);
    const uint16_t v[12] = {100, 200, 300, 400, 500, 600, 700, k_low, 900, k_low, k_low, k_low};
    std::copy(v, v + 12, img.begin());
    uint16_t *p = img.data();
    imageAverageEightConnectivity(&p);
    EXPECT_EQ(img[0], (100 + 200 + 400 + 500 + 2) / 4);
    // Centre: 7 of 8 neighbours valid.
    EXPECT_EQ(img[4], (100 + 200 + 300 + 400 + 500 + 600 + 700 + 900 + 4) / 8);
    // (0, 2): neighbours 400, 500, C, C, C -> 2 of 5 valid, 3 needed.
    EXPECT_EQ(img[6], k_low);
    EXPECT_EQ(img[9], k_low);
}

TEST_F(ImageFilters, TemporalAverageRestartsAfterCodes) {
    auto img = image(2, 2, 1000);
    uint16_t *p = img.data();
    EXPECT_EQ(imageSetNumberOfPicture(0), 1);
    imageAverage(&p);  // n = 1: off
    EXPECT_EQ(img[0], 1000);
    EXPECT_EQ(apiSetImageAveraging(4), 4);
    // The stored averages start at 0: (0 x 3 + 1000) / 4.
    imageAverage(&p);
    EXPECT_EQ(img[0], 250);
    // Settle pixel 0 at 1000 by feeding a code, then 1000.
    img.assign(4, k_low);
    imageAverage(&p);
    EXPECT_EQ(img[0], k_low);
    img.assign(4, 1000);
    imageAverage(&p);
    EXPECT_EQ(img[0], 1000);  // restarted at the first valid value
    img.assign(4, 2000);
    imageAverage(&p);
    EXPECT_EQ(img[0], 1250);  // (1000 x 3 + 2000) / 4
    img = {k_low, 2000, 2000, 2000};
    imageAverage(&p);
    EXPECT_EQ(img[0], k_low);
    EXPECT_EQ(img[1], (1250 * 3 + 2000) / 4);
    img[0] = 3000;
    imageAverage(&p);
    EXPECT_EQ(img[0], 3000);
}

TEST_F(ImageFilters, BackgroundDifferenceThreshold) {
    auto img = image(2, 2, 1000);
    uint16_t *p = img.data();
    imageDifference(&p);  // threshold 0: off
    EXPECT_EQ(img[0], 1000);
    EXPECT_EQ(apiSetImageDifferenceThreshold(50), 50);
    imageDifference(&p);  // reference taken, image unchanged
    EXPECT_EQ(img, std::vector<uint16_t>(4, 1000));
    img = {1049, 1050, 951, 950};
    imageDifference(&p);
    EXPECT_EQ(img, (std::vector<uint16_t>{k_low, 1050, k_low, 950}));
    // The reference stays until it is forgotten.
    img = {1000, 1200, 1000, 1000};
    imageDifference(&p);
    EXPECT_EQ(img, (std::vector<uint16_t>{k_low, 1200, k_low, k_low}));
    imageDifferenceInit();
    img = {1200, 1200, 1200, 1200};
    imageDifference(&p);
    EXPECT_EQ(img, std::vector<uint16_t>(4, 1200));  // the new reference
    // Geometry setters forget it as well.
    state().image_diff_have_ref = true;
    apiEnableABS(1, 32);
    EXPECT_FALSE(state().image_diff_have_ref);
}

}  // namespace
