// Building undistortion maps: the geometry for plain and distorted lenses,
// the rectangle of valid pixels, and lens records that cannot give a map.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "frame/calib_len_fill.h"
#include "tarvo/tq_calib_len.h"

namespace {

tq_lens_param_t plain_lens(int w, int h, double cx, double cy, double fx, double fy) {
    tq_lens_param_t p{};
    p.cx = cx;
    p.cy = cy;
    p.fx = fx;
    p.fy = fy;
    p.img_w = w;
    p.img_h = h;
    return p;
}

tq_lens_param_t barrel_lens() {
    tq_lens_param_t p = plain_lens(320, 240, 161.3, 118.7, 212.5, 211.9);
    const double k[5] = {-0.32, 0.11, 0.0012, -0.0007, -0.015};
    std::memcpy(p.dcoeff, k, sizeof k);
    return p;
}

struct Map {
    tq_calib_len_map_t m{};
    ~Map() { tq_calib_len_uninit_map(&m); }
    float x(int u, int v) const { return m.map_x[v * m.width + u]; }
    float y(int u, int v) const { return m.map_y[v * m.width + u]; }
};

// The map written out the slow way, straight from the description of the
// model: every step at its own precision, every pixel back-projected
// through K'^-1 with the row walked by additions.
struct Oracle {
    std::vector<float> mx, my;
    int roi[4];
};

void oracle_point(const tq_lens_param_t &p, float px, float py, const double *P, float *ox,
                  float *oy) {
    const double k1 = p.dcoeff[0], k2 = p.dcoeff[1], p1 = p.dcoeff[2], p2 = p.dcoeff[3],
                 k3 = p.dcoeff[4];
    double x0 = (px - p.cx) * (1 / p.fx), y0 = (py - p.cy) * (1 / p.fy);
    double x = x0, y = y0;
    for (int it = 0; it < 5; ++it) {
        double r2 = x * x + y * y;
        double icdist = 1 / (1 + ((k3 * r2 + k2) * r2 + k1) * r2);
        double dX = 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
        double dY = p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
        double nx = (x0 - dX) * icdist, ny = (y0 - dY) * icdist;
        x = nx;
        y = ny;
    }
    const double I[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (!P) P = I;
    double w = 1 / (P[6] * x + P[7] * y + P[8]);
    *ox = static_cast<float>((P[0] * x + P[1] * y + P[2]) * w);
    *oy = static_cast<float>((P[3] * x + P[4] * y + P[5]) * w);
}

void oracle_rects(const tq_lens_param_t &p, const double *P, float in[4], float out[4]) {
    float l = -3.4028235e38f, r = 3.4028235e38f, t = -3.4028235e38f, b = 3.4028235e38f;
    float x0 = 3.4028235e38f, x1 = -3.4028235e38f, y0 = 3.4028235e38f, y1 = -3.4028235e38f;
    for (int gy = 0; gy < 9; ++gy)
        for (int gx = 0; gx < 9; ++gx) {
            float qx, qy;
            oracle_point(p, static_cast<float>(p.img_w) * gx * 0.125f,
                         static_cast<float>(p.img_h) * gy * 0.125f, P, &qx, &qy);
            if (qx < x0) x0 = qx;
            if (qx > x1) x1 = qx;
            if (qy < y0) y0 = qy;
            if (qy > y1) y1 = qy;
            if (gx == 0 && qx > l) l = qx;
            if (gx == 8 && qx < r) r = qx;
            if (gy == 0 && qy > t) t = qy;
            if (gy == 8 && qy < b) b = qy;
        }
    in[0] = l, in[1] = t, in[2] = r - l, in[3] = b - t;
    out[0] = x0, out[1] = y0, out[2] = x1 - x0, out[3] = y1 - y0;
}

Oracle oracle_map(const tq_lens_param_t &p) {
    const int W = p.img_w, H = p.img_h;
    float in[4], out[4];
    oracle_rects(p, nullptr, in, out);
    double fx0 = static_cast<float>(W - 1) / static_cast<double>(in[2]);
    double fy0 = static_cast<float>(H - 1) / static_cast<double>(in[3]);
    double fx1 = static_cast<float>(W - 1) / static_cast<double>(out[2]);
    double fy1 = static_cast<float>(H - 1) / static_cast<double>(out[3]);
    double Kp[9] = {p.fx, 0, p.cx, 0, p.fy, p.cy, 0, 0, 1};
    Kp[0] = fx1 + fx0 * 0;
    Kp[4] = fy1 + fy0 * 0;
    Kp[2] = -fx1 * out[0] + (-fx0 * in[0]) * 0;
    Kp[5] = -fy1 * out[1] + (-fy0 * in[1]) * 0;
    Oracle o;
    float roi[4], unused[4];
    oracle_rects(p, Kp, roi, unused);
    for (int i = 0; i < 4; ++i) o.roi[i] = static_cast<int>(std::trunc(roi[i] + 0.5));
    double R[9];
    std::memcpy(R, Kp, sizeof R);
    mat3_inverse(R, nullptr);
    const double k1 = p.dcoeff[0], k2 = p.dcoeff[1], p1 = p.dcoeff[2], p2 = p.dcoeff[3],
                 k3 = p.dcoeff[4];
    for (int v = 0; v < H; ++v) {
        double X = v * R[1] + R[2], Y = v * R[4] + R[5], Z = v * R[7] + R[8];
        for (int u = 0; u < W; ++u) {
            double w = 1 / Z, x = X * w, y = Y * w;
            double x2 = x * x, y2 = y * y, r2 = x2 + y2, xy2 = 2 * x * y;
            double kr = 1 + ((k3 * r2 + k2) * r2 + k1) * r2;
            o.mx.push_back(
                static_cast<float>(p.cx + p.fx * (x * kr + p1 * xy2 + p2 * (r2 + 2 * x2))));
            o.my.push_back(
                static_cast<float>(p.cy + p.fy * (y * kr + p1 * (r2 + 2 * y2) + p2 * xy2)));
            X += R[0];
            Y += R[3];
            Z += R[6];
        }
    }
    return o;
}

TEST(CalibLenMap, ZeroCoefficientsGiveAPureStretchWhateverTheCameraMatrix) {
    const tq_lens_param_t lenses[] = {plain_lens(320, 240, 150.3, 97.1, 180.0, 200.0),
                                      plain_lens(320, 240, 10.0, 200.0, 50.0, 500.0),
                                      plain_lens(64, 48, 40.0, 20.0, 1000.0, 30.0)};
    for (const tq_lens_param_t &lens : lenses) {
        Map map;
        const int W = lens.img_w, H = lens.img_h;
        ASSERT_EQ(tq_calib_len_init_map(&map.m, &lens), W * H);
        EXPECT_EQ(map.m.inited, 1);
        EXPECT_EQ(map.m.size, W * H);
        EXPECT_EQ(map.m.width, W);
        EXPECT_EQ(map.m.height, H);
        for (int v = 0; v < H; v += 7)
            for (int u = 0; u < W; u += 5) {
                ASSERT_NEAR(map.x(u, v), u * double(W) / (W - 1), 2e-3) << u << "," << v;
                ASSERT_NEAR(map.y(u, v), v * double(H) / (H - 1), 2e-3) << u << "," << v;
            }
        // Inner and outer rectangles coincide: the valid region is the image.
        EXPECT_EQ(map.m.roi[0], 0);
        EXPECT_EQ(map.m.roi[1], 0);
        EXPECT_EQ(map.m.roi[2], W - 1);
        EXPECT_EQ(map.m.roi[3], H - 1);
    }
}

// Every form of the map fill (portable, AVX, AVX-512) against the model.
using tarvo::lens::FillPath;
class CalibLenFill : public ::testing::TestWithParam<FillPath> {
  protected:
    void SetUp() override {
        if (!tarvo::lens::set_fill_path(GetParam())) GTEST_SKIP() << "not on this processor";
    }
    void TearDown() override { tarvo::lens::set_fill_path(FillPath::avx512); }
};

std::string fill_name(const ::testing::TestParamInfo<FillPath> &i) {
    return i.param == FillPath::portable ? "Portable" : i.param == FillPath::avx ? "Avx" : "Avx512";
}

INSTANTIATE_TEST_SUITE_P(Fill, CalibLenFill,
                         ::testing::Values(FillPath::portable, FillPath::avx, FillPath::avx512),
                         fill_name);

TEST_P(CalibLenFill, DistortedLensFollowsTheModelBitForBit) {
    tq_lens_param_t lenses[] = {barrel_lens(), barrel_lens(), barrel_lens()};
    // Pincushion with strong tangential error and an off-centre principal point.
    lenses[1].dcoeff[0] = 0.21;
    lenses[1].dcoeff[1] = -0.05;
    lenses[1].dcoeff[2] = -0.01;
    lenses[1].dcoeff[3] = 0.008;
    lenses[1].cx = 140.0;
    // A size that is no multiple of four or eight either way: 247 rows are
    // groups of eight, one group of four and three single rows.
    lenses[2].img_w = 323;
    lenses[2].img_h = 247;
    for (const tq_lens_param_t &lens : lenses) {
        Map map;
        const int n = lens.img_w * lens.img_h;
        ASSERT_EQ(tq_calib_len_init_map(&map.m, &lens), n);
        const Oracle o = oracle_map(lens);
        ASSERT_EQ(0, std::memcmp(map.m.map_x, o.mx.data(), o.mx.size() * 4));
        ASSERT_EQ(0, std::memcmp(map.m.map_y, o.my.data(), o.my.size() * 4));
        for (int i = 0; i < 4; ++i) EXPECT_EQ(map.m.roi[i], o.roi[i]) << i;
    }
}

TEST(CalibLenMap, BarrelLensShowsTheWholeRawFieldOfView) {
    Map map;
    const tq_lens_param_t lens = barrel_lens();
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &lens), 320 * 240);
    // The raw corners are the extreme points of the corrected image, so the
    // corrected corners sample (close to) the raw corners of the 0..W grid.
    EXPECT_NEAR(map.x(0, 0), 0.0, 0.5);
    EXPECT_NEAR(map.y(0, 0), 0.0, 0.5);
    EXPECT_NEAR(map.x(319, 239), 320.0, 0.5);
    EXPECT_NEAR(map.y(319, 239), 240.0, 0.5);
    // The middle of the edges lies outside the raw image: unfilled border.
    EXPECT_LT(map.x(0, 120), -1.0f);
    EXPECT_GT(map.x(319, 120), 321.0f);
    // The valid rectangle sits strictly inside the image.
    EXPECT_GT(map.m.roi[0], 0);
    EXPECT_GT(map.m.roi[1], 0);
    EXPECT_LT(map.m.roi[0] + map.m.roi[2], 319);
    EXPECT_LT(map.m.roi[1] + map.m.roi[3], 239);
    // Along the middle row the sample position moves right monotonically.
    for (int u = 1; u < 320; ++u) ASSERT_GT(map.x(u, 120), map.x(u - 1, 120)) << u;
}

TEST(CalibLenMap, CentredRadialLensIsMirrorSymmetric) {
    tq_lens_param_t lens = plain_lens(320, 240, 160.0, 120.0, 200.0, 200.0);
    lens.dcoeff[0] = -0.25;
    lens.dcoeff[1] = 0.07;
    Map map;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &lens), 320 * 240);
    for (int v = 0; v < 240; v += 13)
        for (int u = 0; u < 320; u += 11) {
            ASSERT_NEAR(map.x(u, v) + map.x(319 - u, v), 320.0, 1e-2) << u << "," << v;
            ASSERT_NEAR(map.y(u, v) + map.y(u, 239 - v), 240.0, 1e-2) << u << "," << v;
        }
}

TEST(CalibLenMap, RecordsThatGiveNoMapLeaveItUnbuilt) {
    struct Case {
        int w, h;
        double fx;
    } cases[] = {{1, 240, 200}, {320, 1, 200},       {0, 0, 200}, {-320, 240, 200},
                 {320, 240, 0}, {46341, 46341, 200}, {2, 2, NAN}};
    for (const Case &c : cases) {
        Map map;
        tq_lens_param_t lens = plain_lens(c.w, c.h, 160, 120, c.fx, 200);
        EXPECT_EQ(tq_calib_len_init_map(&map.m, &lens), 0) << c.w << "x" << c.h << " " << c.fx;
        EXPECT_EQ(map.m.inited, 0);
        EXPECT_EQ(map.m.size, 0);
        EXPECT_EQ(map.m.map_x, nullptr);
        EXPECT_EQ(map.m.map_y, nullptr);
    }
    Map map;
    EXPECT_EQ(tq_calib_len_init_map(&map.m, nullptr), 0);
    EXPECT_EQ(tq_calib_len_init_map(nullptr, nullptr), 0);
}

TEST(CalibLenMap, SmallestMapIsTwoByTwo) {
    Map map;
    tq_lens_param_t lens = plain_lens(2, 2, 1, 1, 2, 2);
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &lens), 4);
    EXPECT_NEAR(map.x(1, 1), 2.0, 1e-5);
    EXPECT_NEAR(map.y(1, 0), 0.0, 1e-5);
}

TEST(CalibLenMap, RebuildingReleasesTheOldArraysAndFailureUnbuilds) {
    Map map;
    tq_lens_param_t lens = barrel_lens();
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &lens), 320 * 240);
    lens.img_w = 160;
    lens.img_h = 120;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &lens), 160 * 120);  // leak check covers the old arrays
    EXPECT_EQ(map.m.width, 160);
    // A rebuild at the same size takes the old arrays over: it gives the
    // map a fresh record gets.
    const tq_lens_param_t other = barrel_lens();
    lens.img_w = 320;
    lens.img_h = 240;
    lens.dcoeff[0] = 0.2;
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &other), 320 * 240);
    ASSERT_EQ(tq_calib_len_init_map(&map.m, &lens), 320 * 240);
    Map fresh;
    ASSERT_EQ(tq_calib_len_init_map(&fresh.m, &lens), 320 * 240);
    EXPECT_EQ(0, std::memcmp(map.m.map_x, fresh.m.map_x, 4 * 320 * 240));
    EXPECT_EQ(0, std::memcmp(map.m.map_y, fresh.m.map_y, 4 * 320 * 240));
    const int32_t entries = 320 * 240 + 1 + fresh.m.src_index[320 * 240];
    EXPECT_EQ(0, std::memcmp(map.m.src_index, fresh.m.src_index, 4 * entries));
    lens.img_w = 1;
    EXPECT_EQ(tq_calib_len_init_map(&map.m, &lens), 0);
    EXPECT_EQ(map.m.inited, 0);
    EXPECT_EQ(map.m.size, 0);
    EXPECT_EQ(map.m.map_x, nullptr);
}

TEST(CalibLenMap, UninitOnUnbuiltMapOrTwiceDoesNothing) {
    tq_calib_len_map_t map{};
    tq_calib_len_uninit_map(&map);
    EXPECT_EQ(map.inited, 0);
    tq_calib_len_uninit_map(nullptr);
    tq_lens_param_t lens = plain_lens(8, 6, 4, 3, 10, 10);
    ASSERT_EQ(tq_calib_len_init_map(&map, &lens), 48);
    tq_calib_len_uninit_map(&map);
    EXPECT_EQ(map.inited, 0);
    EXPECT_EQ(map.map_x, nullptr);
    EXPECT_EQ(map.map_y, nullptr);
    EXPECT_EQ(map.size, 0);
    tq_calib_len_uninit_map(&map);
    EXPECT_EQ(map.inited, 0);
}

}  // namespace
