// Colour-mapped images: the range set on the default colour map, the pixel
// count per format, and the byte layout of every format against the
// colour map's own lookup.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "outputs_test_util.h"

namespace {

using outtest::Outputs;

constexpr uint8_t k_canary = 0xA5;

// Distances over and around a 0.5 .. 3 m range, the invalid codes, and
// values whose millimetres must be truncated toward zero.
std::vector<float> sample_image() {
    std::vector<float> img;
    for (int i = 0; i <= 400; ++i) img.push_back(0.4f + i * 0.007f);
    const float extra[] = {65.3f,
                           65.4f,
                           65.5f,
                           -0.0004f,
                           0.4999f,
                           0.5f,
                           3.0f,
                           3.0009f,
                           3.001f,
                           -1.0f,
                           1e20f,
                           -1e20f,
                           std::numeric_limits<float>::quiet_NaN()};
    img.insert(img.end(), std::begin(extra), std::end(extra));
    return img;
}

int mm(float m) {
    return static_cast<int>(std::trunc(m * 1000.0f));
}

// Colour the library must give pixel value m: the reference map's lookup
// of its millimetres (saturated; NaN as the low-amplitude code).
uint32_t want_color(const tq_cmap_t &ref, float m) {
    if (std::isnan(m)) return tq_cmap_get_color(&ref, TQ_DIST_LOW_AMP);
    const float t = std::trunc(m * 1000.0f);
    if (t >= 2147483648.0f) return tq_cmap_get_color(&ref, std::numeric_limits<int>::max());
    if (t < -2147483648.0f) return tq_cmap_get_color(&ref, std::numeric_limits<int>::min());
    return tq_cmap_get_color(&ref, mm(m));
}

class CmapFloat : public Outputs {};

TEST_F(CmapFloat, EveryFormatLaysOutTheColourMapsColour) {
    tq_cmap_set_range(&ref_, 500, 3000);
    const std::vector<float> img = sample_image();
    const int n = static_cast<int>(img.size());

    std::vector<uint8_t> rgb(3 * n + 8, k_canary), bgr(3 * n + 8, k_canary),
        rgb32(4 * n + 8, k_canary);
    EXPECT_EQ(tarvo_cmap_float(rgb.data(), 3 * n, img.data(), n, TARVO_CMAP_OUTFMT_RGB, 0.5f, 3.0f),
              n);
    EXPECT_EQ(tarvo_cmap_float(bgr.data(), 3 * n, img.data(), n, TARVO_CMAP_OUTFMT_BGR, 0.5f, 3.0f),
              n);
    EXPECT_EQ(
        tarvo_cmap_float(rgb32.data(), 4 * n, img.data(), n, TARVO_CMAP_OUTFMT_RGB32, 0.5f, 3.0f),
        n);

    size_t coloured = 0, black = 0;
    for (int i = 0; i < n; ++i) {
        const uint32_t c = want_color(ref_, img[i]);
        c ? ++coloured : ++black;
        const uint8_t r = c & 0xFF, g = (c >> 8) & 0xFF, b = (c >> 16) & 0xFF;
        ASSERT_EQ(rgb[3 * i], r) << i;
        ASSERT_EQ(rgb[3 * i + 1], g) << i;
        ASSERT_EQ(rgb[3 * i + 2], b) << i;
        ASSERT_EQ(bgr[3 * i], b) << i;
        ASSERT_EQ(bgr[3 * i + 1], g) << i;
        ASSERT_EQ(bgr[3 * i + 2], r) << i;
        uint32_t word;
        std::memcpy(&word, rgb32.data() + 4 * i, 4);
        ASSERT_EQ(word, c) << i;
    }
    EXPECT_GT(coloured, 300u);
    EXPECT_GT(black, 5u);
    EXPECT_EQ(rgb[3 * n], k_canary);
    EXPECT_EQ(bgr[3 * n], k_canary);
    EXPECT_EQ(rgb32[4 * n], k_canary);
}

TEST_F(CmapFloat, FixedColoursAndTruncation) {
    const float img[] = {65.3f, 65.4f, 65.5f, 0.5f, 3.0f, 3.0009f, 3.001f, 0.4999f, -0.0004f};
    uint32_t out[9];
    ASSERT_EQ(tarvo_cmap_float(reinterpret_cast<uint8_t *>(out), sizeof out, img, 9,
                               TARVO_CMAP_OUTFMT_RGB32, 0.5f, 3.0f),
              9);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], 0x8000FFu);
    EXPECT_EQ(out[2], 0xFF0EA9u);
    tq_cmap_set_range(&ref_, 500, 3000);
    EXPECT_EQ(out[3], ref_.palette[29999]);  // range_min: dark red
    EXPECT_EQ(out[4], ref_.palette[0]);      // range_max: dark blue
    EXPECT_EQ(out[5], ref_.palette[0]);      // 3000.9 mm truncates to 3000
    EXPECT_EQ(out[6], 0u);                   // 3001 mm: beyond the range
    EXPECT_EQ(out[7], 0u);                   // 499 mm: below it

    // -0.4 mm truncates toward zero to 0, inside a range starting at 0.
    ASSERT_EQ(tarvo_cmap_float(reinterpret_cast<uint8_t *>(out), 4, img + 8, 1,
                               TARVO_CMAP_OUTFMT_RGB32, 0.0f, 1.0f),
              1);
    EXPECT_EQ(out[0], ref_.palette[29999]);
}

TEST_F(CmapFloat, ReversedRangeIsTheSameRange) {
    const std::vector<float> img = sample_image();
    const int n = static_cast<int>(img.size());
    std::vector<uint8_t> a(3 * n), b(3 * n);
    ASSERT_EQ(tarvo_cmap_float(a.data(), 3 * n, img.data(), n, TARVO_CMAP_OUTFMT_RGB, 0.5f, 3.0f),
              n);
    ASSERT_EQ(tarvo_cmap_float(b.data(), 3 * n, img.data(), n, TARVO_CMAP_OUTFMT_RGB, 3.0f, 0.5f),
              n);
    EXPECT_EQ(a, b);
    std::vector<uint8_t> c(3 * n);
    ASSERT_EQ(tarvo_cmap_float(c.data(), 3 * n, img.data(), n, TARVO_CMAP_OUTFMT_RGB, 0.5f, 4.0f),
              n);
    EXPECT_NE(a, c);
}

TEST_F(CmapFloat, PixelCountFollowsTheRoomAndTheImage) {
    const float img[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    uint8_t out[40];
    std::memset(out, k_canary, sizeof out);
    EXPECT_EQ(tarvo_cmap_float(out, 10, img, 8, TARVO_CMAP_OUTFMT_RGB, 0.0f, 2.0f), 3);
    EXPECT_NE(out[8], k_canary);
    EXPECT_EQ(out[9], k_canary);
    std::memset(out, k_canary, sizeof out);
    EXPECT_EQ(tarvo_cmap_float(out, 10, img, 8, TARVO_CMAP_OUTFMT_BGR, 0.0f, 2.0f), 3);
    EXPECT_EQ(out[9], k_canary);
    std::memset(out, k_canary, sizeof out);
    EXPECT_EQ(tarvo_cmap_float(out, 10, img, 8, TARVO_CMAP_OUTFMT_RGB32, 0.0f, 2.0f), 2);
    EXPECT_NE(out[7], k_canary);
    EXPECT_EQ(out[8], k_canary);
    // The image is shorter than the room.
    EXPECT_EQ(tarvo_cmap_float(out, 40, img, 5, TARVO_CMAP_OUTFMT_RGB32, 0.0f, 2.0f), 5);
    EXPECT_EQ(out[20], k_canary);
    // Nothing to convert: n itself comes back, nothing is written.
    std::memset(out, k_canary, sizeof out);
    EXPECT_EQ(tarvo_cmap_float(out, 2, img, 8, TARVO_CMAP_OUTFMT_RGB, 0.0f, 2.0f), 0);
    EXPECT_EQ(tarvo_cmap_float(out, -9, img, 8, TARVO_CMAP_OUTFMT_RGB, 0.0f, 2.0f), -3);
    EXPECT_EQ(tarvo_cmap_float(out, 40, img, -2, TARVO_CMAP_OUTFMT_RGB32, 0.0f, 2.0f), -2);
    EXPECT_EQ(out[0], k_canary);
    // Missing buffers convert nothing.
    EXPECT_EQ(tarvo_cmap_float(nullptr, 40, img, 8, TARVO_CMAP_OUTFMT_RGB, 0.0f, 2.0f), 0);
    EXPECT_EQ(tarvo_cmap_float(out, 40, nullptr, 8, TARVO_CMAP_OUTFMT_RGB, 0.0f, 2.0f), 0);
    EXPECT_EQ(out[0], k_canary);
}

TEST_F(CmapFloat, UnknownFormatStillSetsTheRange) {
    // Watch the default map's range through the pseudo-coloured point
    // cloud, which looks colours up without setting a range.
    tarvo_dev_t dev{};
    const tarvo_camera_param_t unit{0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    const float d = 0.8f;
    float xyzd[4];
    auto colour_of_d = [&] {
        EXPECT_EQ(tarvo_frame_get_pcl_xyzd(&dev, xyzd, 4, &d, 1, 1, 1, true, &unit), 1);
        return xyzd[3];
    };

    const float img[2] = {0.8f, 0.8f};
    uint8_t out[16];
    std::memset(out, k_canary, sizeof out);
    ASSERT_EQ(tarvo_cmap_float(out, 16, img, 2, TARVO_CMAP_OUTFMT_RGB, 0.0f, 10.0f), 2);
    tq_cmap_set_range(&ref_, 0, 10000);
    const uint32_t wide = tq_cmap_get_color(&ref_, 800);
    EXPECT_EQ(colour_of_d(), static_cast<float>(wide));

    std::memset(out, k_canary, sizeof out);
    for (int fmt : {3, -1, 100}) {
        EXPECT_EQ(tarvo_cmap_float(out, 16, img, 2, fmt, 0.0f, 1.0f), 0);
        EXPECT_EQ(out[0], k_canary);
    }
    tq_cmap_set_range(&ref_, 0, 1000);
    EXPECT_NE(tq_cmap_get_color(&ref_, 800), wide);
    EXPECT_EQ(colour_of_d(), static_cast<float>(tq_cmap_get_color(&ref_, 800)));

    // A reversed range set through an unknown format is the same range.
    EXPECT_EQ(tarvo_cmap_float(out, 16, img, 2, 3, 2.0f, 0.5f), 0);
    tq_cmap_set_range(&ref_, 500, 2000);
    EXPECT_EQ(colour_of_d(), static_cast<float>(tq_cmap_get_color(&ref_, 800)));
}

TEST_F(CmapFloat, ExtremeRangesAreDefined) {
    // Range limits beyond the int range of millimetres saturate, a NaN
    // limit counts as 0; neither may be undefined (UBSan checks).
    const float img[3] = {1.0f, 5.0f, 1e12f};
    uint32_t out[3];
    ASSERT_EQ(tarvo_cmap_float(reinterpret_cast<uint8_t *>(out), sizeof out, img, 3,
                               TARVO_CMAP_OUTFMT_RGB32, -1e30f, 1e30f),
              3);
    tq_cmap_set_range(&ref_, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    EXPECT_EQ(out[0], tq_cmap_get_color(&ref_, 1000));
    EXPECT_EQ(out[2], tq_cmap_get_color(&ref_, std::numeric_limits<int>::max()));
    ASSERT_EQ(
        tarvo_cmap_float(reinterpret_cast<uint8_t *>(out), sizeof out, img, 3,
                         TARVO_CMAP_OUTFMT_RGB32, std::numeric_limits<float>::quiet_NaN(), 2.0f),
        3);
    tq_cmap_set_range(&ref_, 0, 2000);
    EXPECT_EQ(out[0], tq_cmap_get_color(&ref_, 1000));
    EXPECT_NE(out[0], 0u);
    EXPECT_EQ(out[1], 0u);
}

}  // namespace
