// Distance and gray images from frames captured off a simulated TI camera,
// and point clouds with the driver's lens parameters: what reaches the
// driver, the room given to it, the frame-size check, the failure lines.
#include <climits>
#include <cmath>

#include "common/byteio.h"
#include "outputs_sim.h"

namespace {

using namespace outsim;

constexpr float k_canary = -4242.0f;

// The driver's own decode of the same bytes, with the whole image as room.
std::vector<float> ti_decode(const std::vector<uint8_t> &frame, int out_kind,
                             const tarvo_frame_info_t &info) {
    std::vector<float> out(k_pixels);
    tarvo_drv_t row = {"TI", "T0", &g_tarvo_driver_op_ti, nullptr, nullptr};
    EXPECT_EQ(g_tarvo_driver_op_ti.frame_decode(&row, out.data(), k_frame_bytes, out_kind,
                                                reinterpret_cast<const uint16_t *>(frame.data()),
                                                k_frame_bytes, &info),
              static_cast<int>(k_frame_bytes));
    return out;
}

class Decode : public OutputsSim {};

TEST_F(Decode, DistanceAndGrayOfACapturedFrame) {
    ASSERT_NE(open_ti(), nullptr);
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> frame = capture_one(&info);
    ASSERT_EQ(info.frame_size, k_frame_bytes);
    ASSERT_TRUE(is_frame(frame.data(), k_frame_bytes, info.frame_idx, k_frame_bytes));

    // No frame information given: the one of the frame taken last.
    std::vector<float> dist(k_pixels + 4, k_canary);
    ASSERT_EQ(
        tarvo_frame_get_distance(dev_, dist.data(), k_pixels, frame.data(), k_frame_bytes, nullptr),
        static_cast<int>(k_pixels));
    EXPECT_EQ(dev_->api_busy, 0);
    EXPECT_EQ(dist[k_pixels], k_canary);
    const std::vector<float> want_dist = ti_decode(frame, 1, info);
    EXPECT_TRUE(std::equal(want_dist.begin(), want_dist.end(), dist.begin()));
    // Pixel 1000 by hand: the phase in the low 12 bits of the second word.
    const uint16_t phase = tarvo::le16(frame.data() + 4 * 1000 + 2) & 0xFFF;
    EXPECT_FLOAT_EQ(dist[1000], phase / 4096.0f * 3.122838f);

    std::vector<float> gray(k_pixels + 4, k_canary);
    ASSERT_EQ(tarvo_frame_get_gray(dev_, gray.data(), k_pixels, frame.data(), k_frame_bytes, &info),
              static_cast<int>(k_pixels));
    const std::vector<float> want_gray = ti_decode(frame, 2, info);
    EXPECT_TRUE(std::equal(want_gray.begin(), want_gray.end(), gray.begin()));
    EXPECT_NE(gray[1000], dist[1000]);
    EXPECT_EQ(gray[k_pixels], k_canary);
    EXPECT_FALSE(log_has("[ERR] [_tarvo_frame_get_float32]"));
}

TEST_F(Decode, TheDriverGetsFourBytesPerFloatOfRoom) {
    ASSERT_NE(open_ti(), nullptr);
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> frame = capture_one(&info);
    std::vector<float> dist(k_pixels + 4, k_canary);

    // One float short of the image: the last pixel stays unwritten, and
    // the whole image the driver reports is capped at the room.
    EXPECT_EQ(tarvo_frame_get_distance(dev_, dist.data(), k_pixels - 1, frame.data(), k_frame_bytes,
                                       nullptr),
              static_cast<int>(k_pixels - 1));
    EXPECT_NE(dist[k_pixels - 2], k_canary);
    EXPECT_EQ(dist[k_pixels - 1], k_canary);
    EXPECT_EQ(tarvo_frame_get_distance(dev_, dist.data(), 1, frame.data(), k_frame_bytes, nullptr),
              1);

    // More room than the image: the driver's 307200 bytes are 76800 floats.
    std::vector<float> big(100000, k_canary);
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, big.data(), 100000, frame.data(), k_frame_bytes, nullptr),
        static_cast<int>(k_pixels));
    EXPECT_NE(big[k_pixels - 1], k_canary);
    EXPECT_EQ(big[k_pixels], k_canary);

    // A length whose byte count overflows an int: the room is capped in
    // 32 bits (the driver writes only what the source holds).
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, big.data(), INT_MAX, frame.data(), k_frame_bytes, nullptr),
        static_cast<int>(k_pixels));
    EXPECT_EQ(big[k_pixels], k_canary);
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(Decode, AFrameLongerThanTheSourceIsRefused) {
    ASSERT_NE(open_ti(), nullptr);
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> frame = capture_one(&info);
    std::vector<float> dist(k_pixels, k_canary);

    EXPECT_EQ(tarvo_frame_get_distance(dev_, dist.data(), k_pixels, frame.data(), k_frame_bytes - 1,
                                       nullptr),
              0);
    EXPECT_TRUE(
        log_has("[ERR] [_tarvo_frame_get_float32] raw frame length too small: "
                "datalen=307199, frlen=307200\n"));
    tarvo_frame_info_t longer = info;
    longer.frame_size = k_frame_bytes + 1;
    EXPECT_EQ(
        tarvo_frame_get_gray(dev_, dist.data(), k_pixels, frame.data(), k_frame_bytes, &longer), 0);
    EXPECT_TRUE(
        log_has("[ERR] [_tarvo_frame_get_float32] raw frame length too small: "
                "datalen=307200, frlen=307201\n"));
    EXPECT_EQ(dist[0], k_canary);

    // The sizes compare unsigned: a frame size above 2^31 is below a source
    // length of 2^32 - 1 (the TI driver then reads only what the room
    // allows).
    tarvo_frame_info_t huge = info;
    huge.frame_size = 0x80000000u;
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, dist.data(), k_pixels, frame.data(), 0xFFFFFFFFu, &huge),
        static_cast<int>(k_pixels));
    EXPECT_EQ(tarvo_frame_get_distance(dev_, dist.data(), k_pixels, frame.data(), 5, &huge), 0);
    EXPECT_TRUE(log_has("raw frame length too small: datalen=5, frlen=-2147483648\n"));
}

TEST_F(Decode, WrongParametersAndClosedDevices) {
    ASSERT_NE(open_ti(), nullptr);
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> frame = capture_one(&info);
    std::vector<float> dist(k_pixels, k_canary);
    const std::string line = "[DBG] [_tarvo_frame_get_float32] Wrong params\n";

    EXPECT_EQ(tarvo_frame_get_distance(nullptr, dist.data(), k_pixels, frame.data(), k_frame_bytes,
                                       nullptr),
              0);
    EXPECT_EQ(log_count(line), 1u);
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, nullptr, k_pixels, frame.data(), k_frame_bytes, nullptr), 0);
    EXPECT_EQ(tarvo_frame_get_gray(dev_, dist.data(), k_pixels, nullptr, k_frame_bytes, nullptr),
              0);
    EXPECT_EQ(tarvo_frame_get_gray(dev_, dist.data(), 0, frame.data(), k_frame_bytes, nullptr), 0);
    EXPECT_EQ(tarvo_frame_get_gray(dev_, dist.data(), -5, frame.data(), k_frame_bytes, nullptr), 0);
    EXPECT_EQ(log_count(line), 5u);
    EXPECT_EQ(dist[0], k_canary);

    tarvo_dev_close(dev_);
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, dist.data(), k_pixels, frame.data(), k_frame_bytes, &info),
        0);
    EXPECT_EQ(log_count(line), 6u);
    EXPECT_EQ(dev_->api_busy, 0);
    EXPECT_EQ(dist[0], k_canary);
}

TEST_F(Decode, WhatTheDriverIsGivenAndHowItsFailureReads) {
    ASSERT_NE(open_ti(), nullptr);
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> frame = capture_one(&info);
    install(&k_probe_ops);
    std::vector<float> gray(1000);

    EXPECT_EQ(tarvo_frame_get_gray(dev_, gray.data(), 1000, frame.data(), k_frame_bytes, nullptr),
              0);
    EXPECT_TRUE(log_has("[ERR] [_tarvo_frame_get_float32] raw frame decode to 2 failed: -7\n"));
    EXPECT_EQ(probe_.dst_bytes, 4000u);
    EXPECT_EQ(probe_.out_kind, 2);
    EXPECT_EQ(probe_.src, frame.data());
    EXPECT_EQ(probe_.src_bytes, k_frame_bytes);
    EXPECT_EQ(std::memcmp(&probe_.info, &info, sizeof info), 0);
    EXPECT_EQ(probe_.busy_inside, 1);
    EXPECT_EQ(dev_->api_busy, 0);

    // A whole image: 76800 floats are 307200 bytes of room, and the
    // 307200 bytes the driver reports are 76800 floats.
    std::vector<float> image(k_pixels);
    probe_.decode_result = static_cast<int>(k_frame_bytes);
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, image.data(), k_pixels, frame.data(), k_frame_bytes, &info),
        static_cast<int>(k_pixels));
    EXPECT_EQ(probe_.dst_bytes, k_frame_bytes);

    // A byte count is turned into floats, capped at the room.
    probe_.decode_result = 4 * 999 + 3;
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, gray.data(), 1000, frame.data(), k_frame_bytes, nullptr),
        999);
    EXPECT_EQ(probe_.out_kind, 1);
    probe_.decode_result = 0;
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, gray.data(), 1000, frame.data(), k_frame_bytes, nullptr), 0);
    EXPECT_EQ(probe_.calls, 4);

    // A driver without a decode operation is not called and fails alike.
    tarvo_drv_ops_t no_decode = k_probe_ops;
    no_decode.frame_decode = nullptr;
    install(&no_decode);
    EXPECT_EQ(
        tarvo_frame_get_distance(dev_, gray.data(), 1000, frame.data(), k_frame_bytes, nullptr), 0);
    EXPECT_TRUE(log_has("[ERR] [_tarvo_frame_get_float32] raw frame decode to 1 failed: -1\n"));
    EXPECT_EQ(probe_.calls, 4);
}

// The point of pixel (u, v) for lens parameters given in double.
struct Point {
    float x, y, z;
};
Point expected_point(int u, int v, float d, double cx, double cy, double fx, double fy) {
    const float du = static_cast<float>(u - cx);
    const float dv = static_cast<float>(v - cy);
    Point p;
    p.x = static_cast<float>(static_cast<double>(d) * du / fx);
    p.y = static_cast<float>(static_cast<double>(d) * dv / fy);
    p.z = std::sqrt(static_cast<float>(static_cast<double>(d) * d - static_cast<double>(p.x) * p.x -
                                       static_cast<double>(p.y) * p.y));
    return p;
}

TEST_F(Decode, PointCloudsNeedTheDriversLensParameters) {
    ASSERT_NE(open_ti(), nullptr);
    std::vector<float> dist(16, 1.0f), pcl(64, k_canary);

    // The TI driver has none.
    EXPECT_EQ(tarvo_frame_get_pcl(dev_, pcl.data(), 64, dist.data(), 16, 4, 4, nullptr), 0);
    EXPECT_TRUE(
        log_has("[ERR] [tarvo_frame_get_pcl] Cannot generate PCL: no lens parameter in driver.\n"));
    EXPECT_EQ(tarvo_frame_get_pcl_xyzd(dev_, pcl.data(), 64, dist.data(), 16, 4, 4, true, nullptr),
              0);
    EXPECT_TRUE(log_has(
        "[ERR] [tarvo_frame_get_pcl_xyzd] Cannot generate PCL: no lens parameter in driver.\n"));
    EXPECT_EQ(pcl[0], k_canary);
    // Explicit parameters need no driver.
    const tarvo_camera_param_t unit{0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    EXPECT_EQ(tarvo_frame_get_pcl(dev_, pcl.data(), 64, dist.data(), 16, 4, 4, &unit), 16);
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(Decode, PointCloudsFromTheDriversLensParameters) {
    ASSERT_NE(open_ti(), nullptr);
    install(&k_probe_ops);
    // Double-precision parameters whose differences must be rounded to
    // single precision; the distortion coefficients are not used.
    probe_.lens = {1.123456789012, 0.987654321098, 2.5, 2.25, {0.3, -0.1, 0.01, 0.02, 0.5}, 9, 9};
    const int w = 6, h = 5;
    std::vector<float> dist(w * h);
    for (int k = 0; k < w * h; ++k) dist[k] = 0.5f + 0.37f * k;
    dist[7] = 65.3f;  // no point
    std::vector<float> pcl(4 * w * h, k_canary);

    const int n = tarvo_frame_get_pcl_xyzd(dev_, pcl.data(), static_cast<int>(pcl.size()),
                                           dist.data(), 0, w, h, false, nullptr);
    EXPECT_EQ(n, w * h - 1);
    EXPECT_TRUE(probe_.lens_was_zero);
    EXPECT_EQ(probe_.lens_w, w);
    EXPECT_EQ(probe_.lens_h, h);
    EXPECT_EQ(probe_.busy_inside, 1);
    int k = 0;
    for (int v = 0; v < h; ++v) {
        for (int u = 0; u < w; ++u) {
            const float d = dist[v * w + u];
            if (d >= 60.0f) continue;
            const Point want = expected_point(u, v, d, probe_.lens.cx, probe_.lens.cy,
                                              probe_.lens.fx, probe_.lens.fy);
            EXPECT_EQ(pcl[4 * k], want.x) << u << "," << v;
            EXPECT_EQ(pcl[4 * k + 1], want.y) << u << "," << v;
            if (std::isnan(want.z))
                EXPECT_TRUE(std::isnan(pcl[4 * k + 2]));
            else
                EXPECT_EQ(pcl[4 * k + 2], want.z) << u << "," << v;
            EXPECT_EQ(pcl[4 * k + 3], d);  // distance scale 1
            ++k;
        }
    }
    EXPECT_EQ(pcl[4 * n], k_canary);

    // A driver that cannot give them: no points, and no line of our own.
    probe_.lens_ok = false;
    EXPECT_EQ(tarvo_frame_get_pcl(dev_, pcl.data(), static_cast<int>(pcl.size()), dist.data(), 0, w,
                                  h, nullptr),
              0);
    EXPECT_FALSE(log_has("[ERR] [tarvo_frame_get_pcl]"));
    EXPECT_EQ(dev_->api_busy, 0);
}

}  // namespace
