// The frame encoding of tarvo-cli view: millimetre codes and rounding, and
// the byte layout the page's parser (tools/viewer/web/viewer.js) assumes.
#include "frame_codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "common/byteio.h"

namespace vw = tarvo::viewer;

TEST(ViewerCodec, DistanceMillimetresKeepTheInvalidCodes) {
    EXPECT_EQ(vw::distance_mm(65.3f), 65300);  // low amplitude
    EXPECT_EQ(vw::distance_mm(65.4f), 65400);  // saturated
    EXPECT_EQ(vw::distance_mm(65.5f), 65500);  // ADC limit
    EXPECT_EQ(vw::distance_mm(70.0f), 65535);
    EXPECT_EQ(vw::distance_mm(60.0f), 60000);  // no point at 60 m: stays invalid
    EXPECT_EQ(vw::distance_mm(59.9999f), 59999);
    EXPECT_EQ(vw::distance_mm(1.5009f), 1500);  // truncated as the library's maps do
    // A valid distance below a millimetre still has a point: never 0.
    EXPECT_EQ(vw::distance_mm(0.0004f), 1);
    EXPECT_EQ(vw::distance_mm(0.0f), 0);
    EXPECT_EQ(vw::distance_mm(-1.0f), 0);
    EXPECT_EQ(vw::distance_mm(NAN), 0);
}

TEST(ViewerCodec, RayTable) {
    // 2 x 1 pixels; the second ray leaves the lens.
    const float xyz[6] = {0.25f, -0.5f, 0.8f, 0.0f, 0.0f, NAN};
    const auto b = vw::encode_rays(2, 1, 7, xyz, true);
    ASSERT_EQ(b.size(), 8u + 24);
    EXPECT_EQ(tarvo::le16(&b[0]), 2);
    EXPECT_EQ(tarvo::le16(&b[2]), 1);
    EXPECT_EQ(tarvo::le16(&b[4]), 7);
    EXPECT_EQ(tarvo::le16(&b[6]), 1);
    EXPECT_EQ(std::bit_cast<float>(tarvo::le32(&b[8 + 4])), -0.5f);
    EXPECT_TRUE(std::isnan(std::bit_cast<float>(tarvo::le32(&b[8 + 20]))));
    // Without a lens: flagged, and every ray NaN.
    const auto none = vw::encode_rays(2, 1, 8, xyz, false);
    ASSERT_EQ(none.size(), b.size());
    EXPECT_EQ(tarvo::le16(&none[6]), 0);
    EXPECT_TRUE(std::isnan(std::bit_cast<float>(tarvo::le32(&none[8]))));
    EXPECT_TRUE(vw::encode_rays(2, 2, 1, xyz, true).empty());  // too few rays
}

TEST(ViewerCodec, LayoutMatchesThePage) {
    vw::Figures f;
    f.counter = 0x01020304;
    f.camera_index = 0xBEEF;
    f.fps = 29.5f;
    f.stream_drops = 7;
    f.lost_drops = 9;
    f.sensor_temp = -12;
    f.ib_temp = 455;
    f.integration_us = 700;
    f.rays_version = 3;
    f.decode_ms = 4.25f;
    f.time_ms = 123456;
    const float dist[6] = {1.5f, 65.3f, 0.0f, 2.0f, 0.5f, 3.25f};
    const float gray[6] = {10.4f, 0.0f, 70000.0f, 3.6f, -2.0f, 1.0f};
    const auto b = vw::encode(f, 3, 2, dist, gray);
    ASSERT_EQ(b.size(), 64u + 12 + 12);
    EXPECT_EQ(std::memcmp(b.data(), "TVFR", 4), 0);
    using tarvo::le16;
    using tarvo::le32;
    EXPECT_EQ(le16(&b[4]), 1);   // version
    EXPECT_EQ(le16(&b[6]), 64);  // header bytes
    EXPECT_EQ(le16(&b[8]), 3);   // width
    EXPECT_EQ(le16(&b[10]), 2);  // height
    EXPECT_EQ(le32(&b[12]), 0x01020304u);
    EXPECT_EQ(le16(&b[16]), 0xBEEF);
    EXPECT_EQ(le16(&b[18]), vw::k_flag_gray);
    EXPECT_EQ(le32(&b[20]), 0u);
    EXPECT_EQ(std::bit_cast<float>(le32(&b[24])), 29.5f);
    EXPECT_EQ(le32(&b[28]), 7u);
    EXPECT_EQ(le32(&b[32]), 9u);
    EXPECT_EQ(static_cast<int16_t>(le16(&b[36])), -12);
    EXPECT_EQ(le16(&b[38]), 455);
    EXPECT_EQ(le16(&b[40]), 700);
    EXPECT_EQ(le16(&b[42]), 3);
    EXPECT_EQ(std::bit_cast<float>(le32(&b[44])), 4.25f);
    EXPECT_EQ(le32(&b[48]), 123456u);
    const uint16_t want_dist[6] = {1500, 65300, 0, 2000, 500, 3250};
    const uint16_t want_gray[6] = {10, 0, 65535, 4, 0, 1};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(le16(&b[64 + 2 * i]), want_dist[i]) << i;
        EXPECT_EQ(le16(&b[76 + 2 * i]), want_gray[i]) << i;
    }
    vw::Header h;
    ASSERT_TRUE(vw::decode_header(b, h));
    EXPECT_EQ(h.fig.counter, f.counter);
    EXPECT_EQ(h.fig.ib_temp, 455);
    EXPECT_EQ(h.fig.rays_version, 3);
}

TEST(ViewerCodec, RejectsWhatDoesNotAddUp) {
    const float dist[4] = {1, 1, 1, 1};
    vw::Figures f;
    EXPECT_TRUE(vw::encode(f, 2, 2, {dist, 3}, {}).empty());    // too few pixels
    EXPECT_TRUE(vw::encode(f, 2, 2, dist, {dist, 3}).empty());  // gray of another size
    EXPECT_TRUE(vw::encode(f, 0, 2, {}, {}).empty());
    auto b = vw::encode(f, 2, 2, dist, {});
    ASSERT_EQ(b.size(), 64u + 8);
    vw::Header h;
    EXPECT_TRUE(vw::decode_header(b, h));
    EXPECT_EQ(h.flags, 0);  // no gray plane
    EXPECT_FALSE(vw::decode_header({b.data(), b.size() - 1}, h));
    auto longer = b;
    longer.push_back(0);
    EXPECT_FALSE(vw::decode_header(longer, h));
    auto other = b;
    other[4] = 2;  // a version this reader does not know
    EXPECT_FALSE(vw::decode_header(other, h));
    other = b;
    other[0] = 'X';
    EXPECT_FALSE(vw::decode_header(other, h));
    other = b;
    other[18] = vw::k_flag_gray;  // announces a gray plane that is not there
    EXPECT_FALSE(vw::decode_header(other, h));
    EXPECT_FALSE(vw::decode_header({b.data(), 10}, h));
}
