// The kernel family on small synthetic images: sample positions, read-out
// order, output types and counts, the DCS-sum filter, the image fetch with
// its failure and short-image cases, and the sorted-image entry points.
#include <vector>

#include "pipe_test_util.h"

namespace {

using pipe_test::stdout_of;
using tarvo::epc::state;

constexpr uint16_t k_low = 65300, k_sat = 65400, k_adc = 65500;

class Kernels : public pipe_test::PipeTest {
  protected:
    // 2 columns, 2 rows per half, 2 halves: an image of 4 rows, 8 pixels.
    // Default read-out order: raw pixels 0,1 -> row 1; 2,3 -> row 2;
    // 4,5 -> row 0; 6,7 -> row 3.
    void two_sample_image() {
        geometry(2, 2, 2, 2);  // S = 16, N = 8
        std::vector<uint16_t> s(16, 2048);
        auto px = [&](int k, uint16_t a, uint16_t b) {
            s[static_cast<size_t>(k)] = a;
            s[static_cast<size_t>(8 + k)] = b;
        };
        px(0, 2048, 2048);  // no signal: 15000, amplitude 0
        px(1, 2008, 2018);  // arg2 40, arg1 30
        px(2, 4095, 2048);  // saturated
        px(3, 0, 2048);     // ADC underflow
        px(4, 2058, 2018);  // arg2 -10, arg1 30 (PN 22500)
        set_image(s);
        saturationEnable(1);
        apiEnableAdcOverflow(1);
    }
    void four_sample_image() {
        geometry(2, 2, 2, 4);  // S = 32, N = 8
        std::vector<uint16_t> s(32, 2048);
        auto px = [&](int k, uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
            s[static_cast<size_t>(k)] = a;
            s[static_cast<size_t>(8 + k)] = b;
            s[static_cast<size_t>(16 + k)] = c;
            s[static_cast<size_t>(24 + k)] = d;
        };
        px(0, 100, 200, 300, 400);      // arg1 = arg2 = 200
        px(1, 1010, 1000, 1000, 1030);  // arg1 30, arg2 -10
        px(6, 4095, 100, 100, 100);     // saturated
        set_image(s);
        saturationEnable(1);
        apiEnableAdcOverflow(1);
    }
    std::vector<uint16_t> take(const uint16_t *p, int n) { return std::vector<uint16_t>(p, p + n); }
};

TEST_F(Kernels, DefaultTwoSampleDistanceAmplitudeAndBoth) {
    uint16_t *img = nullptr;
    two_sample_image();
    ASSERT_EQ(calcDefNoPiDelayGetDataSorted(0, &img), 8);
    // Pixels 5..7 are mid-scale; pixel 4 is (2058, 2018): atan2_lut(30, -10)
    // turned by half a period, 9036 + 15000.
    const uint16_t d4 = static_cast<uint16_t>((atan2_lut(30, -10) + 315000) % 30000);
    EXPECT_EQ(d4, 24036);
    EXPECT_EQ(take(img, 8),
              (std::vector<uint16_t>{d4, 15000, 15000, 18073, k_sat, k_adc, 15000, 15000}));

    two_sample_image();
    ASSERT_EQ(calcDefNoPiDelayGetDataSorted(1, &img), 8);
    EXPECT_EQ(img[2], 0);
    EXPECT_EQ(img[3], 50);
    EXPECT_EQ(img[4], k_sat);
    EXPECT_EQ(img[5], k_adc);
    EXPECT_EQ(img[0], 31);  // sqrt(30^2 + 10^2) = 31.6

    two_sample_image();
    ASSERT_EQ(calcDefNoPiDelayGetDataSorted(2, &img), 16);
    EXPECT_EQ(img[3], 18073);
    EXPECT_EQ(img[8 + 3], 49);  // sqrt2(2500)
    EXPECT_EQ(img[4], k_sat);
    EXPECT_EQ(img[8 + 4], k_sat);
    EXPECT_EQ(img[5], k_adc);
    EXPECT_EQ(img[8 + 5], k_adc);
}

TEST_F(Kernels, DefaultFourSample) {
    uint16_t *img = nullptr;
    four_sample_image();
    ASSERT_EQ(calcDefPiDelayGetDataSorted(2, &img), 16);
    // Raw pixel 0 -> output 2, raw 1 -> 3, raw 6 -> 6.
    EXPECT_EQ(img[2], 18750);
    EXPECT_EQ(img[8 + 2], 141);
    EXPECT_EQ(img[3], (atan2_lut(30, -10) + 315000) % 30000);
    EXPECT_EQ(img[8 + 3], 15);  // q = 1000 / 4 = 250, sqrt2(250) = 15.8
    EXPECT_EQ(img[6], k_sat);
    EXPECT_EQ(img[8 + 6], k_sat);
    EXPECT_EQ(img[0], 15000);  // mid-scale pixels

    four_sample_image();
    ASSERT_EQ(calcDefPiDelayGetDataSorted(1, &img), 8);
    EXPECT_EQ(img[2], 141);
    EXPECT_EQ(img[3], 15);  // sqrt(1000) / 2
}

TEST_F(Kernels, DcsSumFilterZeroesPixelsFarFromMidScale) {
    uint16_t *img = nullptr;
    four_sample_image();
    apiEnableAdcOverflow(0);
    calculationEnableDcsSumFilter(1);
    state().dcs_add_threshold = 80;
    // Pixel 0 (100, 200, 300, 400): sums 400 and 600, far from 4096: zeroed,
    // which leaves no amplitude.
    ASSERT_EQ(calcDefPiDelayGetDataSorted(2, &img), 16);
    EXPECT_EQ(img[2], 15000);
    EXPECT_EQ(img[8 + 2], 0);
    // Mid-scale pixels (sums 4096) are kept.
    four_sample_image();
    apiEnableAdcOverflow(0);
    state().dcs_add_threshold = 80;
    std::vector<uint16_t> s = image_;
    s[0] = 2000;
    s[8] = 2000;
    s[16] = 2100;
    s[24] = 2100;  // sums 4100: kept, arg1 = arg2 = 100
    set_image(s);
    ASSERT_EQ(calcDefPiDelayGetDataSorted(2, &img), 16);
    EXPECT_EQ(img[2], 18750);
    EXPECT_EQ(img[8 + 2], 70);  // q = 20000 / 4 = 5000
    // The PN kernel has no such filter.
    set_image(image_);
    ASSERT_EQ(calcPNDefPiDelayGetDataSorted(1, &img), 8);
    EXPECT_EQ(img[2], 100);
}

TEST_F(Kernels, PseudoNoiseDefaultKernels) {
    uint16_t *img = nullptr;
    two_sample_image();
    ASSERT_EQ(calcPNDefNoPiDelayGetDataSorted(2, &img), 16);
    EXPECT_EQ(img[0], 22500);  // raw pixel 4
    EXPECT_EQ(img[8 + 0], 40);
    EXPECT_EQ(img[2], k_low);            // raw pixel 0: no signal at all
    EXPECT_EQ(img[3], 30000 * 30 / 70);  // |30| / (30 + 40) x 30000 + 0.5 = 12857.6
    EXPECT_EQ(img[8 + 3], 70);
    EXPECT_EQ(img[4], k_sat);

    four_sample_image();
    ASSERT_EQ(calcPNDefPiDelayGetDataSorted(0, &img), 8);
    EXPECT_EQ(img[3], 22500);
    EXPECT_EQ(img[2], 15000);  // |200| / 400
    EXPECT_EQ(img[6], k_sat);
}

// Dual MGX: 2 columns, 2 halves, 2 rows per half: raw rows of 4 samples,
// every other raw row holding the partner samples. The image has 2 rows.
TEST_F(Kernels, MgxKernelsReadPartnerRows) {
    uint16_t *img = nullptr;
    geometry(2, 2, 2, 2);  // S = 16: raw rows 0..3
    std::vector<uint16_t> s(16, 2048);
    s[1] = 2008;  // raw row 0, pixel 1 ...
    s[5] = 2018;  // ... and its partner in raw row 1
    s[2] = 2058;
    s[6] = 2018;
    s[8] = 4000;  // raw row 2 has no place in a 2-row image
    set_image(s);
    ASSERT_EQ(calcMGXNoPiDelayGetDataSorted(0, &img), 8);
    // f = 0, 1 -> row 0; f = 2, 3 -> row 1.
    EXPECT_EQ(take(img, 4), (std::vector<uint16_t>{15000, 18073, 24036, 15000}));
    EXPECT_EQ(img[4], 0);  // never written
    set_image(s);
    ASSERT_EQ(calcPNMGXNoPiDelayGetDataSorted(2, &img), 16);
    EXPECT_EQ(img[2], 22500);
    EXPECT_EQ(img[8 + 2], 40);
    EXPECT_EQ(img[1], 30000 * 30 / 70);

    geometry(2, 2, 2, 4);  // S = 32; the pi-delay pair lies in the second half
    std::vector<uint16_t> q(32, 2048);
    q[3] = 100;
    q[7] = 200;
    q[16 + 3] = 300;
    q[16 + 7] = 400;
    set_image(q);
    ASSERT_EQ(calcMGXPiDelayGetDataSorted(2, &img), 16);
    EXPECT_EQ(img[3], 18750);
    EXPECT_EQ(img[8 + 3], 141);
    set_image(q);
    ASSERT_EQ(calcPNMGXPiDelayGetDataSorted(1, &img), 8);
    EXPECT_EQ(img[3], 200);  // (200 + 200) / 2
}

TEST_F(Kernels, FailedFetchGivesAnAllInvalidImage) {
    uint16_t *img = nullptr;
    geometry(2, 2, 2, 2);
    std::string out = stdout_of([&] { EXPECT_EQ(calcDefNoPiDelayGetDataSorted(2, &img), 16); });
    EXPECT_NE(out.find(" get frame failed"), std::string::npos);
    EXPECT_EQ(pruLastImageFailed(), 1);
    ASSERT_NE(img, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(img[i], k_adc) << i;
    // The fetch hands out a zeroed image.
    uint16_t *raw = nullptr;
    stdout_of([&] { EXPECT_EQ(pruGetImage(&raw), 16); });
    for (int i = 0; i < 16; ++i) EXPECT_EQ(raw[i], 0);
}

TEST_F(Kernels, CurrentImageIsUsedOnceAndShortOnesArePadded) {
    geometry(2, 2, 2, 2);
    std::vector<uint16_t> s(16, 7);
    set_image(s);
    uint16_t *raw = nullptr;
    EXPECT_EQ(pruGetImage(&raw), 16);
    EXPECT_EQ(raw, image_.data());
    EXPECT_EQ(pruLastImageFailed(), 0);
    epc_image_t cur{};
    EXPECT_EQ(pruGetCurrentImage(&cur), 0);  // cleared

    // Six samples where 16 are expected: copied, the rest zeros.
    image_.assign(6, 2048);
    epc_image_t img{};
    img.info.frame_size = 12;
    img.data = image_.data();
    pruSetImage(&img);
    std::string out = stdout_of([&] { EXPECT_EQ(pruGetImage(&raw), 16); });
    EXPECT_NE(out.find(" wrong frame size: expect 32, get 12"), std::string::npos);
    EXPECT_NE(raw, image_.data());
    for (int i = 0; i < 6; ++i) EXPECT_EQ(raw[i], 2048);
    for (int i = 6; i < 16; ++i) EXPECT_EQ(raw[i], 0);

    // A longer image is used as it is.
    image_.assign(40, 2048);
    img.info.frame_size = 80;
    img.data = image_.data();
    pruSetImage(&img);
    out = stdout_of([&] { EXPECT_EQ(pruGetImage(&raw), 16); });
    EXPECT_NE(out.find("expect 32, get 80"), std::string::npos);
    EXPECT_EQ(raw, image_.data());
}

TEST_F(Kernels, RefusesBadArgumentsAndGeometries) {
    uint16_t *img = nullptr;
    geometry(2, 2, 2, 2);
    EXPECT_EQ(calcDefNoPiDelayGetDataSorted(3, &img), 0);
    EXPECT_EQ(calcDefNoPiDelayGetDataSorted(0, nullptr), 0);
    EXPECT_EQ(pruGetImage(nullptr), 0);
    geometry(400, 2, 2, 2);  // wider than the sensor
    EXPECT_EQ(calcMGXPiDelayGetDataSorted(0, &img), 0);
    EXPECT_EQ(img, nullptr);
    geometry(320, 130, 2, 4);  // taller than the sensor
    EXPECT_EQ(calcDefPiDelayGetDataSorted(0, &img), 0);
    EXPECT_NE(log_text().find("is not a sensor image"), std::string::npos);
}

// With four samples per position but the two-sample kernel, twice as many
// pixels as the image has: the count says so, and nothing lands outside
// the image.
TEST_F(Kernels, PixelsWithoutAPlaceAreNotWritten) {
    uint16_t *img = nullptr;
    geometry(2, 1, 2, 4);  // image 2 x 2, S = 16, N = 8
    set_image(std::vector<uint16_t>(16, 2048));
    ASSERT_EQ(calcDefNoPiDelayGetDataSorted(0, &img), 8);
    EXPECT_EQ(take(img, 8), (std::vector<uint16_t>{15000, 15000, 15000, 15000, 0, 0, 0, 0}));
}

TEST_F(Kernels, SortedEntryPointsFollowTheSwitches) {
    uint16_t *img = nullptr;
    four_sample_image();
    calculationEnablePiDelay(1);
    calculationEnablePN(1);
    ASSERT_EQ(calculationDistanceSorted(&img), 8);
    EXPECT_EQ(img[3], 22500);
    four_sample_image();
    ASSERT_EQ(calculationAmplitudeSorted(&img), 8);
    EXPECT_EQ(img[2], 200);  // PN amplitude (200 + 200) / 2
    four_sample_image();
    calculationEnablePN(0);
    ASSERT_EQ(calculationDistanceAndAmplitudeSorted(&img), 16);
    EXPECT_EQ(img[2], 18750);
    EXPECT_EQ(img[8 + 2], 141);

    two_sample_image();
    calculationEnablePiDelay(0);
    calculationEnableDualMGX(1);
    ASSERT_EQ(calculationDistanceSorted(&img), 8);  // MGX over 16 samples
    EXPECT_EQ(img[3], 65500);                       // sample 3 is 0: f = 3 -> row 1, column 1
    EXPECT_EQ(img[1], 15000);                       // samples 2008 and 2048: arg2 40, arg1 0
}

TEST_F(Kernels, DistancePipelineRunsTheImageStepsAndKeepsTheOffset) {
    uint16_t *img = nullptr;
    calibrationSetOffsetPhase(-6600);
    state().drnu_mode = 2;
    two_sample_image();
    apiEnableImageCorrection(1);
    tarvo_test::write_file("list.txt", "005 006 W\n");  // pixel (5, 6): image index 1
    ASSERT_EQ(imageCorrectionLoad("list.txt"), 0);
    state().roi_x0 = 4;
    state().roi_x1 = 5;
    state().roi_y0 = 6;
    imageCorrectionTransform();
    ASSERT_EQ(calculationDistanceSorted(&img), 8);
    EXPECT_EQ(img[1], 24036);  // corrected from its west neighbour
    EXPECT_EQ(img[0], 24036);
    EXPECT_EQ(calibrationGetOffsetPhase(), -6600);

    // Amplitude only: no image steps.
    two_sample_image();
    ASSERT_EQ(calculationAmplitudeSorted(&img), 8);
    EXPECT_EQ(img[0], 31);
    EXPECT_EQ(img[1], 2048 - 2048);
}

// Averaging, then the background difference, then temporal filtering, on
// the distance image only: raw pixel 1 (output 3) measures 18073 each time.
TEST_F(Kernels, DistancePipelineStepOrder) {
    uint16_t *img = nullptr;
    imageSetNumberOfPicture(2);
    imageDifferenceSetThreshold(50);
    apiEnableKalman(1);
    apiSetKalmanThreshold(10000);
    two_sample_image();
    ASSERT_EQ(calculationDistanceSorted(&img), 8);
    // Average (0 + 18073) / 2 = 9036 becomes the reference; the smoother
    // takes 0.1 of it from its empty history.
    EXPECT_EQ(img[3], 904);
    EXPECT_EQ(img[4], 65400);
    two_sample_image();
    ASSERT_EQ(calculationDistanceSorted(&img), 8);
    // Average (9036 + 18073) / 2 = 13554, 4518 from the reference: kept;
    // smoothed 0.9 x 903.6 + 0.1 x 13554 = 2168.64.
    EXPECT_EQ(img[3], 2169);
    EXPECT_EQ(img[4], 65300);  // the code did not change against the reference
    two_sample_image();
    ASSERT_EQ(calculationDistanceAndAmplitudeSorted(&img), 16);
    EXPECT_EQ(img[8 + 3], 49);  // the amplitude half is left alone
}

}  // namespace
