// Point clouds from explicit camera parameters: which pixels give points,
// the arithmetic with its rounding points, the room checks, and the
// fourth value of the xyzd form.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "outputs_test_util.h"

namespace {

using outtest::Outputs;

constexpr float k_canary = -12345.0f;
const float k_nan = std::numeric_limits<float>::quiet_NaN();

struct Point {
    float x, y, z;
};

// The point of pixel (u, v) as the library defines it: (u - cx) and
// (v - cy) rounded to single precision, products and quotients in double,
// x, y and the radicand rounded to single.
Point expected_point(int u, int v, float d, const tarvo_camera_param_t &p) {
    const float ds = d * p.dist_scale;
    const float du = static_cast<float>(static_cast<double>(u) - static_cast<double>(p.cx));
    const float dv = static_cast<float>(static_cast<double>(v) - static_cast<double>(p.cy));
    Point pt;
    pt.x = static_cast<float>(static_cast<double>(ds) * static_cast<double>(du) / p.fx);
    pt.y = static_cast<float>(static_cast<double>(ds) * static_cast<double>(dv) / p.fy);
    const double r2 = static_cast<double>(ds) * static_cast<double>(ds) -
                      static_cast<double>(pt.x) * static_cast<double>(pt.x) -
                      static_cast<double>(pt.y) * static_cast<double>(pt.y);
    pt.z = std::sqrt(static_cast<float>(r2));
    return pt;
}

// The same point without the intermediate roundings: every step in double.
Point all_double_point(int u, int v, float d, const tarvo_camera_param_t &p) {
    const double ds = static_cast<double>(d) * p.dist_scale;
    const double x = ds * (u - static_cast<double>(p.cx)) / p.fx;
    const double y = ds * (v - static_cast<double>(p.cy)) / p.fy;
    return {static_cast<float>(x), static_cast<float>(y),
            static_cast<float>(std::sqrt(ds * ds - x * x - y * y))};
}

bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class Pcl : public Outputs {
  protected:
    tarvo_dev_t dev_{};  // a record that was never opened
    const tarvo_camera_param_t unit_{0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
};

TEST_F(Pcl, OnePixelAtThePrincipalPoint) {
    const float dist[1] = {2.0f};
    float pcl[4] = {k_canary, k_canary, k_canary, k_canary};
    ASSERT_EQ(tarvo_frame_get_pcl(&dev_, pcl, 3, dist, 1, 1, 1, &unit_), 1);
    EXPECT_EQ(pcl[0], 0.0f);
    EXPECT_EQ(pcl[1], 0.0f);
    EXPECT_EQ(pcl[2], 2.0f);
    EXPECT_EQ(pcl[3], k_canary);
    EXPECT_EQ(dev_.api_busy, 0);
}

TEST_F(Pcl, HandCheckedPoint) {
    // Pixel (3, 4) of a 5 x 5 image, focal length 10, distance 5:
    // x = 5 * 3 / 10, y = 5 * 4 / 10, z = sqrt(25 - 1.5^2 - 2^2).
    std::vector<float> dist(25, 0.0f);
    dist[4 * 5 + 3] = 5.0f;
    const tarvo_camera_param_t p{0.0f, 0.0f, 10.0f, 10.0f, 1.0f};
    float pcl[3] = {};
    ASSERT_EQ(tarvo_frame_get_pcl(&dev_, pcl, 3, dist.data(), 25, 5, 5, &p), 1);
    EXPECT_EQ(pcl[0], 1.5f);
    EXPECT_EQ(pcl[1], 2.0f);
    EXPECT_EQ(pcl[2], std::sqrt(18.75f));
}

TEST_F(Pcl, OnlyDistancesInsideTheOpenIntervalGivePoints) {
    // One row; the valid pixels are 59.99 (column 7) and 1.0 (column 11).
    const std::vector<float> dist = {
        0.0f,     -0.0f, -1.0f,  60.0f, 65.3f,
        65.4f,    65.5f, 59.99f, k_nan, std::numeric_limits<float>::infinity(),
        60.0001f, 1.0f};
    const int w = static_cast<int>(dist.size());
    std::vector<float> pcl(3 * w, k_canary);
    ASSERT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 3 * w, dist.data(), w, w, 1, &unit_), 2);
    const Point a = expected_point(7, 0, 59.99f, unit_);
    const Point b = expected_point(11, 0, 1.0f, unit_);
    EXPECT_EQ(pcl[0], a.x);
    EXPECT_EQ(pcl[3], b.x);
    EXPECT_EQ(pcl[0], 7 * 59.99f);
    EXPECT_EQ(pcl[3], 11.0f);
    EXPECT_EQ(pcl[6], k_canary);

    // The xyzd form picks the same pixels.
    std::vector<float> xyzd(4 * w, k_canary);
    ASSERT_EQ(
        tarvo_frame_get_pcl_xyzd(&dev_, xyzd.data(), 4 * w, dist.data(), w, w, 1, false, &unit_),
        2);
    EXPECT_EQ(xyzd[3], 59.99f);
    EXPECT_EQ(xyzd[7], 1.0f);
    EXPECT_EQ(xyzd[8], k_canary);
}

TEST_F(Pcl, ArithmeticKeepsItsRoundingPoints) {
    // A principal point with fraction bits far below those of the column
    // index, so that (u - cx) must be rounded to single precision, and a
    // scale that makes ds differ from d.
    const int w = 320, h = 240;
    const tarvo_camera_param_t p{0.1f, 0.37f, 211.7f, 209.3f, 1.001f};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> pick(0.05f, 59.9f);
    std::vector<float> dist(static_cast<size_t>(w) * h);
    for (float &d : dist) d = pick(rng);

    std::vector<float> pcl(3 * dist.size(), k_canary);
    ASSERT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), static_cast<int>(pcl.size()), dist.data(),
                                  static_cast<int>(dist.size()), w, h, &p),
              w * h);
    std::vector<float> xyzd(4 * dist.size(), k_canary);
    ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, xyzd.data(), static_cast<int>(xyzd.size()),
                                       dist.data(), 0, w, h, false, &p),
              w * h);

    size_t differs_from_all_double = 0;
    for (int v = 0; v < h; ++v) {
        for (int u = 0; u < w; ++u) {
            const size_t k = static_cast<size_t>(v) * w + u;
            const Point want = expected_point(u, v, dist[k], p);
            ASSERT_TRUE(same_bits(pcl[3 * k], want.x)) << u << "," << v;
            ASSERT_TRUE(same_bits(pcl[3 * k + 1], want.y)) << u << "," << v;
            ASSERT_TRUE(same_bits(pcl[3 * k + 2], want.z)) << u << "," << v;
            ASSERT_TRUE(same_bits(xyzd[4 * k], want.x));
            ASSERT_TRUE(same_bits(xyzd[4 * k + 1], want.y));
            ASSERT_TRUE(same_bits(xyzd[4 * k + 2], want.z));
            ASSERT_EQ(xyzd[4 * k + 3], dist[k] * p.dist_scale);
            const Point loose = all_double_point(u, v, dist[k], p);
            if (!same_bits(loose.x, want.x) || !same_bits(loose.y, want.y) ||
                !same_bits(loose.z, want.z))
                ++differs_from_all_double;
        }
    }
    // The comparison above can tell the rounding points apart.
    EXPECT_GT(differs_from_all_double, 100u);
}

TEST_F(Pcl, FarPixelsGetANanDepthAndStillCount) {
    // (1 - 0)^2 + (1 - 0)^2 > 1 with unit focal lengths: pixel (1, 1).
    const float dist[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    float pcl[12];
    ASSERT_EQ(tarvo_frame_get_pcl(&dev_, pcl, 12, dist, 4, 2, 2, &unit_), 4);
    EXPECT_EQ(pcl[2], 1.0f);  // (0, 0)
    EXPECT_EQ(pcl[3], 1.0f);  // (1, 0): x = 1, radicand 1 - 1 = 0
    EXPECT_EQ(pcl[5], 0.0f);
    EXPECT_EQ(pcl[8], 0.0f);           // (0, 1)
    EXPECT_EQ(pcl[9], 1.0f);           // (1, 1): x
    EXPECT_EQ(pcl[10], 1.0f);          // y
    EXPECT_TRUE(std::isnan(pcl[11]));  // z: radicand 1 - 1 - 1
}

TEST_F(Pcl, RoomIsCheckedBeforeEveryPixel) {
    std::vector<float> dist(20, 1.0f);
    std::vector<float> pcl(64, k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 2, dist.data(), 20, 20, 1, &unit_), 0);
    EXPECT_EQ(pcl[0], k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 3, dist.data(), 20, 20, 1, &unit_), 1);
    EXPECT_EQ(pcl[3], k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 5, dist.data(), 20, 20, 1, &unit_), 1);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 0, dist.data(), 20, 20, 1, &unit_), 0);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), -7, dist.data(), 20, 20, 1, &unit_), 0);

    std::fill(pcl.begin(), pcl.end(), k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, pcl.data(), 3, dist.data(), 20, 20, 1, true, &unit_),
              0);
    EXPECT_EQ(pcl[0], k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, pcl.data(), 4, dist.data(), 20, 20, 1, true, &unit_),
              1);
    EXPECT_EQ(pcl[4], k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, pcl.data(), 11, dist.data(), 20, 20, 1, true, &unit_),
              2);
    EXPECT_EQ(pcl[8], k_canary);
    // A huge capacity does not overflow the room arithmetic.
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), std::numeric_limits<int>::max(), dist.data(),
                                  20, 4, 4, &unit_),
              16);
}

TEST_F(Pcl, StopsAtThePixelAfterTheLastPointThatFits) {
    // A 100-pixel row whose buffer holds only its first 4 values (3 valid
    // ones around a gap): with room for k = 3 points the call must stop
    // when it reaches pixel 4, before reading it (AddressSanitizer would
    // report the read). The gap is visited and checked like any pixel.
    auto *dist = new float[4]{1.0f, 0.0f, 2.0f, 3.0f};
    float pcl[10];
    std::fill(pcl, pcl + 10, k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl, 9, dist, 100, 100, 1, &unit_), 3);
    EXPECT_EQ(pcl[2], 1.0f);
    EXPECT_EQ(pcl[3], 4.0f);  // pixel (2, 0): x = 2 * 2, beyond the ray
    EXPECT_TRUE(std::isnan(pcl[5]));
    EXPECT_EQ(pcl[9], k_canary);
    std::fill(pcl, pcl + 10, k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, pcl, 8, dist, 100, 50, 2, false, &unit_), 2);
    EXPECT_EQ(pcl[3], 1.0f);
    EXPECT_EQ(pcl[7], 2.0f);
    EXPECT_EQ(pcl[8], k_canary);
    delete[] dist;
}

TEST_F(Pcl, EmptyImagesAndMissingBuffersGiveNoPoints) {
    std::vector<float> dist(16, 1.0f);
    std::vector<float> pcl(64, k_canary);
    for (auto [w, h] : {std::pair{0, 4}, {4, 0}, {-1, 4}, {4, -1}, {-4, -4}}) {
        EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 64, dist.data(), 16, w, h, &unit_), 0);
        EXPECT_EQ(
            tarvo_frame_get_pcl_xyzd(&dev_, pcl.data(), 64, dist.data(), 16, w, h, false, &unit_),
            0);
    }
    EXPECT_EQ(tarvo_frame_get_pcl(nullptr, pcl.data(), 64, dist.data(), 16, 4, 4, &unit_), 0);
    EXPECT_EQ(
        tarvo_frame_get_pcl_xyzd(nullptr, pcl.data(), 64, dist.data(), 16, 4, 4, true, &unit_), 0);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, nullptr, 64, dist.data(), 16, 4, 4, &unit_), 0);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 64, nullptr, 16, 4, 4, &unit_), 0);
    EXPECT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, nullptr, 64, dist.data(), 16, 4, 4, true, &unit_), 0);
    EXPECT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, pcl.data(), 64, nullptr, 16, 4, 4, true, &unit_), 0);
    EXPECT_EQ(pcl[0], k_canary);
    EXPECT_EQ(dev_.api_busy, 0);
}

TEST_F(Pcl, WithoutCameraParametersADeviceMustBeOpen) {
    std::vector<float> dist(16, 1.0f);
    std::vector<float> pcl(64, k_canary);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 64, dist.data(), 16, 4, 4, nullptr), 0);
    EXPECT_TRUE(outtest::log_has("[ERR] [tarvo_frame_get_pcl]  Device handler Is NULL!\r\n"));
    EXPECT_EQ(
        tarvo_frame_get_pcl_xyzd(&dev_, pcl.data(), 64, dist.data(), 16, 4, 4, false, nullptr), 0);
    EXPECT_TRUE(outtest::log_has("[ERR] [tarvo_frame_get_pcl_xyzd]  Device handler Is NULL!\r\n"));
    EXPECT_EQ(pcl[0], k_canary);
    EXPECT_EQ(dev_.api_busy, 0);
}

TEST_F(Pcl, MillimetreScaleAndPseudoColour) {
    // 1.5 m at the principal point and 2.25 m one pixel right of it, in
    // millimetres; the colours come from the range the last
    // tarvo_cmap_float() set, looked up with ds * 1000.
    set_range(0.0f, 3000.0f, 0, 3000000);
    const tarvo_camera_param_t p{0.0f, 0.0f, 100.0f, 100.0f, 1000.0f};
    const float dist[2] = {1.5f, 2.25f};

    float pcl[6];
    ASSERT_EQ(tarvo_frame_get_pcl(&dev_, pcl, 6, dist, 2, 2, 1, &p), 2);
    EXPECT_EQ(pcl[2], 1500.0f);
    EXPECT_EQ(pcl[3], 22.5f);
    EXPECT_EQ(pcl[5], expected_point(1, 0, 2.25f, p).z);

    float xyzd[8];
    ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, xyzd, 8, dist, 2, 2, 1, false, &p), 2);
    EXPECT_EQ(xyzd[3], 1500.0f);
    EXPECT_EQ(xyzd[7], 2250.0f);

    ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, xyzd, 8, dist, 2, 2, 1, true, &p), 2);
    const uint32_t c0 = tq_cmap_get_color(&ref_, 1500000);
    const uint32_t c1 = tq_cmap_get_color(&ref_, 2250000);
    EXPECT_NE(c0, c1);
    EXPECT_EQ(xyzd[3], static_cast<float>(c0));
    EXPECT_EQ(xyzd[7], static_cast<float>(c1));
    EXPECT_EQ(xyzd[2], 1500.0f);  // the point itself is unchanged

    // The lookup truncates toward zero: 1.0009 m with a scale of 1 is
    // 1000 mm on a range of exactly [0, 1000] (in range: not black),
    // where rounding would give 1001 (out of range: black).
    set_range(0.0f, 1.0f, 0, 1000);
    const tarvo_camera_param_t one{0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    const float d1 = 1.0009f;
    ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, xyzd, 4, &d1, 1, 1, 1, true, &one), 1);
    EXPECT_EQ(xyzd[3], static_cast<float>(ref_.palette[0]));
    EXPECT_NE(ref_.palette[0], 0u);
}

TEST_F(Pcl, PseudoColourOfAHugeScaleIsDefined) {
    // ds * 1000 beyond the int range saturates; a NaN scale gives NaN
    // points drawn black. Neither may be undefined (UBSan checks).
    set_range(0.0f, 3.0f, 0, 3000);
    const float d = 2.0f;
    float xyzd[4];
    const tarvo_camera_param_t big{0.0f, 0.0f, 1.0f, 1.0f, 1e30f};
    ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, xyzd, 4, &d, 1, 1, 1, true, &big), 1);
    EXPECT_EQ(xyzd[3], 0.0f);  // above the range: black
    const tarvo_camera_param_t nan{0.0f, 0.0f, 1.0f, 1.0f, k_nan};
    ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, xyzd, 4, &d, 1, 1, 1, true, &nan), 1);
    EXPECT_TRUE(std::isnan(xyzd[2]));
    EXPECT_EQ(xyzd[3], 0.0f);
}

}  // namespace
