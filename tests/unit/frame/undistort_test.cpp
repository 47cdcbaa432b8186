// Applying undistortion maps: nearest-neighbour sampling, scaled maps, the
// rounding at the image border, non-numbers in the map, and every
// parameter failure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "frame/calib_len_gather.h"
#include "tarvo/tq_calib_len.h"
#include "test_util.h"

namespace {

constexpr float kInvalid = 30.0f;
constexpr float kUntouched = -777.0f;

// A map over caller-owned arrays, for positions chosen by the test.
struct HandMap {
    std::vector<float> xs, ys;
    tq_calib_len_map_t m{};
    HandMap(int w, int h) : xs(w * h, 0.0f), ys(w * h, 0.0f) {
        m.map_x = xs.data();
        m.map_y = ys.data();
        m.width = w;
        m.height = h;
        m.size = w * h;
        m.inited = 1;
    }
    void set(int u, int v, float x, float y) {
        xs[v * m.width + u] = x;
        ys[v * m.width + u] = y;
    }
};

std::vector<float> ramp_image(int n) {
    std::vector<float> img(n);
    for (int i = 0; i < n; ++i) img[i] = 1000.0f + i;
    return img;
}

// The sampling rule computed independently in double precision: the map
// value over the factor (single precision), plus one half, truncated toward
// zero, and taken when it lands inside the image.
float reference_pixel(float m, int factor, float mo, int factor_o, const std::vector<float> &src,
                      int w, int h) {
    const double qx = static_cast<double>(m / static_cast<float>(factor)) + 0.5;
    const double qy = static_cast<double>(mo / static_cast<float>(factor_o)) + 0.5;
    if (std::isnan(qx) || std::isnan(qy)) return kInvalid;
    const double sx = std::trunc(qx), sy = std::trunc(qy);
    if (sx < 0 || sx >= w || sy < 0 || sy >= h) return kInvalid;
    return src[static_cast<size_t>(sy) * w + static_cast<size_t>(sx)];
}

class Undistort : public ::testing::Test {
  protected:
    frame_test::LogCapture log{"undistort_test.log"};
};

// Both forms of the gather (portable and vector) against the rule.
class UndistortForms : public Undistort, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override { tarvo::lens::set_vector_gather(GetParam()); }
    void TearDown() override { tarvo::lens::set_vector_gather(true); }
};

INSTANTIATE_TEST_SUITE_P(Gather, UndistortForms, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? std::string("Vector") : std::string("Portable");
                         });

TEST_P(UndistortForms, BorderRoundingTruncatesTowardZero) {
    // One row of eight pixels; each column's map entry probes one case.
    const float probes[] = {-1.2f, -1.6f, -1.5f, -1.4999999f, 0.49999997f, 6.4f, 6.5f, 7.4999995f};
    const float expect_x[] = {0, -1, -1, 0, 0, 6, 7, 7};  // -1: invalid
    HandMap map(8, 1);
    for (int u = 0; u < 8; ++u) map.set(u, 0, probes[u], 0.0f);
    std::vector<float> src = ramp_image(8), dst(8, kUntouched);
    ASSERT_EQ(tq_calib_len_undistort(&map.m, dst.data(), 8, src.data(), 8, 1, kInvalid), 1);
    for (int u = 0; u < 8; ++u)
        EXPECT_EQ(dst[u], expect_x[u] < 0 ? kInvalid : src[static_cast<int>(expect_x[u])])
            << "map value " << probes[u];

    // The same rule along y.
    HandMap col(1, 4);
    const float py[] = {-1.2f, -1.6f, 2.5f, 3.6f};
    for (int v = 0; v < 4; ++v) col.set(0, v, 0.0f, py[v]);
    std::vector<float> src4 = ramp_image(4), dst4(4, kUntouched);
    ASSERT_EQ(tq_calib_len_undistort(&col.m, dst4.data(), 4, src4.data(), 1, 4, kInvalid), 1);
    EXPECT_EQ(dst4[0], src4[0]);
    EXPECT_EQ(dst4[1], kInvalid);
    EXPECT_EQ(dst4[2], src4[3]);
    EXPECT_EQ(dst4[3], kInvalid);
}

TEST_P(UndistortForms, NonNumbersAndHugeMapValuesGiveTheInvalidValue) {
    const float inf = std::numeric_limits<float>::infinity();
    const float bad[] = {std::nanf(""), inf, -inf, 1e30f, -1e30f, 3e9f, -3e9f, 2147483648.0f};
    HandMap map(8, 2);
    for (int u = 0; u < 8; ++u) {
        map.set(u, 0, bad[u], 0.0f);  // bad x
        map.set(u, 1, 1.0f, bad[u]);  // bad y
    }
    std::vector<float> src = ramp_image(16), dst(16, kUntouched);
    ASSERT_EQ(tq_calib_len_undistort(&map.m, dst.data(), 16, src.data(), 8, 2, -5.0f), 1);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(dst[i], -5.0f) << i;
}

TEST_P(UndistortForms, HalfSizeImageSamplesEverySecondMapEntryAtHalfScale) {
    const int W = 320, H = 240, w = 160, h = 120;
    HandMap map(W, H);
    // Odd rows and columns point outside any image, so sampling them would
    // show up as invalid pixels.
    for (int v = 0; v < H; ++v)
        for (int u = 0; u < W; ++u) map.set(u, v, -1000.0f, -1000.0f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            map.set(2 * x, 2 * y, 2.0f * ((x + 3) % w) + 0.6f, 2.0f * ((y + 5) % h) + 0.6f);
    std::vector<float> src = ramp_image(w * h), dst(w * h, kUntouched);
    ASSERT_EQ(tq_calib_len_undistort(&map.m, dst.data(), w * h, src.data(), w, h, kInvalid), 1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(dst[y * w + x], src[((y + 5) % h) * w + (x + 3) % w]) << x << "," << y;
    EXPECT_EQ(log.take(), "");
}

TEST_P(UndistortForms, MatchesTheSamplingRuleOnRandomMapsAndFactors) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> pos(-3.0f, 40.0f);
    std::uniform_int_distribution<int> pick(0, 15);
    const float specials[] = {std::nanf(""), std::numeric_limits<float>::infinity(),
                              -1.5f,         -0.5f,
                              0.49999997f,   1e20f,
                              -1e20f,        5.5f};
    for (int round = 0; round < 60; ++round) {
        const int w = 1 + round % 37, h = 1 + round % 7;
        const int bx = 1 + round % 3, by = 1 + (round / 3) % 3;
        HandMap map(w * bx, h * by);
        for (size_t i = 0; i < map.xs.size(); ++i) {
            const int kx = pick(rng), ky = pick(rng);
            map.xs[i] = kx < 8 ? specials[kx] : pos(rng) * bx;
            map.ys[i] = ky < 8 ? specials[ky] : pos(rng) * by;
        }
        std::vector<float> src = ramp_image(w * h), dst(w * h, kUntouched);
        ASSERT_EQ(tq_calib_len_undistort(&map.m, dst.data(), w * h, src.data(), w, h, kInvalid), 1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y * by) * map.m.width + x * bx;
                ASSERT_EQ(dst[y * w + x], reference_pixel(map.xs[i], bx, map.ys[i], by, src, w, h))
                    << "round " << round << " pixel " << x << "," << y;
            }
        if (bx != 1 || by != 1) continue;
        // Full-size maps also go through the index table a built map
        // carries (grown from a block that is too small).
        map.m.src_index = tarvo::lens::make_index(map.xs.data(), map.ys.data(), w, h,
                                                  static_cast<int32_t *>(std::malloc(4)));
        ASSERT_NE(map.m.src_index, nullptr);
        std::vector<float> via_index(w * h, kUntouched);
        ASSERT_EQ(
            tq_calib_len_undistort(&map.m, via_index.data(), w * h, src.data(), w, h, kInvalid), 1);
        std::free(map.m.src_index);
        ASSERT_EQ(via_index, dst) << "round " << round;
    }
}

TEST_F(Undistort, BuiltMapOfPlainLensReproducesTheImage) {
    tq_lens_param_t lens{};
    lens.cx = 80;
    lens.cy = 60;
    lens.fx = lens.fy = 100;
    lens.img_w = 160;
    lens.img_h = 120;
    tq_calib_len_map_t map{};
    ASSERT_EQ(tq_calib_len_init_map(&map, &lens), 160 * 120);
    std::vector<float> src = ramp_image(160 * 120), dst(160 * 120, kUntouched);
    ASSERT_EQ(tq_calib_len_undistort(&map, dst.data(), 160 * 120, src.data(), 160, 120, kInvalid),
              1);
    // A pure stretch by W/(W-1): pixel u samples round(u * 160/159).
    for (int v = 0; v < 120; v += 3)
        for (int u = 0; u < 160; u += 3) {
            const int su = static_cast<int>(u * 160.0 / 159.0 + 0.5);
            const int sv = static_cast<int>(v * 120.0 / 119.0 + 0.5);
            const float want = (su < 160 && sv < 120) ? src[sv * 160 + su] : kInvalid;
            ASSERT_EQ(dst[v * 160 + u], want) << u << "," << v;
        }
    tq_calib_len_uninit_map(&map);
}

TEST_F(Undistort, WrongParametersFailWithTheirMessageAndWriteNothing) {
    HandMap map(320, 240);
    std::vector<float> src(320 * 240, 1.0f), dst(320 * 240, kUntouched);

    EXPECT_EQ(tq_calib_len_undistort(&map.m, dst.data(), 300 * 240, src.data(), 300, 240, 0), 0);
    EXPECT_EQ(log.take().find("[tq_calib_len_undistort] Wrong parameter: calib_map: 320x240, "
                              "src_img: 300x240\n") == std::string::npos,
              false);
    EXPECT_EQ(tq_calib_len_undistort(&map.m, dst.data(), 320 * 241, src.data(), 320, 241, 0), 0);
    EXPECT_NE(log.take().find("src_img: 320x241\n"), std::string::npos);

    EXPECT_EQ(tq_calib_len_undistort(&map.m, dst.data(), 160 * 120 - 1, src.data(), 160, 120, 0),
              0);
    EXPECT_NE(log.take().find("[ERR] [tq_calib_len_undistort] Wrong parameter: 160x120 > "
                              "dst_len=19199\n"),
              std::string::npos);

    EXPECT_EQ(tq_calib_len_undistort(&map.m, nullptr, 320 * 240, src.data(), 320, 240, 0), 0);
    EXPECT_NE(log.take().find("[tq_calib_len_undistort] Wrong parameter"), std::string::npos);
    EXPECT_EQ(tq_calib_len_undistort(&map.m, dst.data(), 320 * 240, nullptr, 320, 240, 0), 0);
    EXPECT_NE(log.take().find("[tq_calib_len_undistort] Wrong parameter"), std::string::npos);

    for (float v : dst) ASSERT_EQ(v, kUntouched);
}

TEST_F(Undistort, EmptyImageSucceedsWithoutWritingOrDividing) {
    HandMap map(320, 240);
    std::vector<float> dst(4, kUntouched);
    const int sizes[][2] = {{0, 240}, {320, 0}, {0, 0}, {-160, -120}, {-1, 120}};
    for (const auto &s : sizes)
        EXPECT_EQ(tq_calib_len_undistort(&map.m, dst.data(), 4, nullptr, s[0], s[1], 0), 1)
            << s[0] << "x" << s[1];
    for (float v : dst) EXPECT_EQ(v, kUntouched);
    EXPECT_EQ(log.take(), "");
}

TEST_F(Undistort, UnbuiltMapFailsWithTheCalibMapMessage) {
    std::vector<float> src(16, 1.0f), dst(16, kUntouched);
    tq_calib_len_map_t unbuilt{};
    EXPECT_EQ(tq_calib_len_undistort(&unbuilt, dst.data(), 16, src.data(), 4, 4, 0), 0);
    EXPECT_NE(log.take().find("[tq_calib_len_undistort] Wrong parameter: calib_map: 0x0, "
                              "src_img: 4x4\n"),
              std::string::npos);
    // A map whose build failed is just as unbuilt.
    tq_lens_param_t lens{};
    lens.fx = lens.fy = 1;
    lens.img_w = 1;
    lens.img_h = 4;
    tq_calib_len_map_t failed{};
    EXPECT_EQ(tq_calib_len_init_map(&failed, &lens), 0);
    EXPECT_EQ(tq_calib_len_undistort(&failed, dst.data(), 16, src.data(), 4, 4, 0), 0);
    EXPECT_NE(log.take().find("calib_map: 0x0"), std::string::npos);
    EXPECT_EQ(tq_calib_len_undistort(nullptr, dst.data(), 16, src.data(), 4, 4, 0), 0);
    EXPECT_NE(log.take().find("calib_map: 0x0"), std::string::npos);
    for (float v : dst) EXPECT_EQ(v, kUntouched);
}

}  // namespace
