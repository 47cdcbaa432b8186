// Driver registry matching and the TI OP8241 stub driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_log.h"
#include "test_files.h"

namespace {

tarvo_dev_t dev_with(const std::string &product) {
    tarvo_dev_t d{};
    std::memcpy(d.product, product.data(), std::min(product.size(), sizeof d.product));
    return d;
}

TEST(Registry, ProductCodeSelectsRow) {
    tarvo_dev_t d = dev_with("TQ1-E2-v100");
    const tarvo_drv_t *row = tarvo_drv_find(&d);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->name, "EPC chip driver");
    EXPECT_STREQ(row->code, "E2");
    EXPECT_EQ(row->ops, &g_tarvo_driver_op_epc);

    d = dev_with("x-T0-1");
    row = tarvo_drv_find(&d);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->name, "TI OP8241 chip driver");
    EXPECT_EQ(row->ops, &g_tarvo_driver_op_ti);

    for (const char *code : {"E1", "E3"}) {
        d = dev_with(std::string("n-") + code + "-v");
        row = tarvo_drv_find(&d);
        ASSERT_NE(row, nullptr) << code;
        EXPECT_STREQ(row->code, code);
    }
}

TEST(Registry, UnknownOrMalformedProductsFindNothing) {
    for (const char *p :
         {"TQ1-E4-v1", "TQ1-E2", "E2", "", "TQ1-e2-v1", "TQ1-E2x-v1", "-E2-v1", "TQ1--v1"}) {
        tarvo_dev_t d = dev_with(p);
        EXPECT_EQ(tarvo_drv_find(&d), nullptr) << p;
    }
    EXPECT_EQ(tarvo_drv_find(nullptr), nullptr);
}

TEST(Registry, FieldLengthLimits) {
    // A first field over 16 characters stops the split: nothing found.
    tarvo_dev_t d = dev_with(std::string(17, 'n') + "-E2-v1");
    EXPECT_EQ(tarvo_drv_find(&d), nullptr);
    d = dev_with(std::string(16, 'n') + "-E2-v1");
    EXPECT_NE(tarvo_drv_find(&d), nullptr);
    // A third field longer than 16 is cut and the match still succeeds.
    d = dev_with("n-E3-" + std::string(25, 'v'));
    ASSERT_NE(tarvo_drv_find(&d), nullptr);
    EXPECT_STREQ(tarvo_drv_find(&d)->code, "E3");
}

TEST(Registry, UnterminatedProductFieldIsReadWithinItsBounds) {
    tarvo_dev_t d{};
    std::memset(d.product, 'A', sizeof d.product);  // no NUL anywhere
    std::memset(d.id_text, '-', sizeof d.id_text);  // would extend the split if read
    EXPECT_EQ(tarvo_drv_find(&d), nullptr);
    std::memcpy(d.product, "a-T0-", 5);
    EXPECT_NE(tarvo_drv_find(&d), nullptr);
}

TEST(Registry, MatchLogsAtDebug) {
    tq_log_disable();
    ASSERT_EQ(tq_log_enable(1, 1, nullptr), 1);
    tarvo_dev_t d = dev_with("TQ1-E1-v7");
    ASSERT_NE(tarvo_drv_find(&d), nullptr);
    tq_log_disable();
    std::string text = tarvo_test::read_file("tq.log");
    EXPECT_NE(
        text.find("[DBG] [tarvo_drv_find]  find driver for device TQ1-E1-v7 : EPC chip driver\n"),
        std::string::npos)
        << text;
}

class TiDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        d = dev_with("x-T0-1");
        const tarvo_drv_t *found = tarvo_drv_find(&d);
        ASSERT_NE(found, nullptr);
        copy = *found;  // a device's own copy, as the open makes it
        ops = copy.ops;
    }
    tarvo_dev_t d{};
    tarvo_drv_t copy{};
    tarvo_drv_t *row = &copy;
    const tarvo_drv_ops_t *ops = nullptr;
};

TEST_F(TiDriver, SlotsAndFixedResults) {
    EXPECT_TRUE(ops->init(row, &d));
    EXPECT_EQ(row->dev, &d);
    EXPECT_EQ(row->priv, nullptr);
    EXPECT_EQ(ops->lens_param_get, nullptr);
    EXPECT_EQ(ops->filter_enable, nullptr);
    EXPECT_EQ(ops->filter_disable, nullptr);
    EXPECT_EQ(ops->reserved5(row), 0);
    EXPECT_EQ(ops->reserved6(row, 9, 1234, 2), 1234);
    EXPECT_EQ(ops->calib_load(row, 0, 0, 2), 0);
    EXPECT_EQ(ops->calib_load(row, 0, 7, 2), 7);
    EXPECT_EQ(ops->reserved8(row), 1);
    ops->uninit(row);
}

TEST_F(TiDriver, FrameInfoIgnoresHeaderGeometry) {
    tq_frame_hdr_t hdr{};
    hdr.frlen = 307200;
    hdr.fridx = 0x1234;
    hdr.frfmt = 0x0055;
    hdr.width = 640;
    hdr.height = 480;
    tarvo_frame_info_t info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_TRUE(ops->frame_get_info(row, &info, &hdr));
    EXPECT_EQ(info.frame_size, 307200u);
    EXPECT_EQ(info.frame_format, 0x55);
    EXPECT_EQ(info.frame_idx, 0x1234);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.frame_bpp, 4);
    EXPECT_EQ(info.reserved0, 0);
    EXPECT_EQ(info.reserved1, 0);
}

TEST_F(TiDriver, FrameInfoRefusesFramesThatAreNoWholeNumberOfPixels) {
    struct {
        uint32_t frlen;
        uint16_t w, h;
        bool ok;
    } cases[] = {{6144, 64, 48, true},
                 {6147, 64, 48, false},
                 {307200, 0, 0, true},
                 {307203, 0, 0, false},
                 {614401, 640, 480, false}};
    for (const auto &c : cases) {
        tq_frame_hdr_t hdr{};
        hdr.frlen = c.frlen;
        hdr.width = c.w;
        hdr.height = c.h;
        tarvo_frame_info_t info{};
        EXPECT_EQ(ops->frame_get_info(row, &info, &hdr), c.ok) << c.frlen;
    }
}

TEST_F(TiDriver, DecodeDistanceAndGray) {
    tarvo_frame_info_t info{};
    info.width = 320;
    info.height = 240;
    // Two pixels, little-endian (amplitude, phase); bits above 12 ignored.
    const uint8_t raw[8] = {0x00, 0x08, 0xFF, 0xFF, 0x01, 0xF0, 0x00, 0x04};
    uint16_t src[4];
    std::memcpy(src, raw, sizeof raw);
    float out[3] = {-1, -1, -1};
    EXPECT_EQ(ops->frame_decode(row, out, sizeof out, 1, src, 8, &info), 320 * 240 * 4);
    EXPECT_FLOAT_EQ(out[0], 4095.0f / 4096.0f * 3.122838f);
    EXPECT_NEAR(out[0], 3.1220756, 1e-6);
    EXPECT_FLOAT_EQ(out[1], 1024.0f / 4096.0f * 3.122838f);
    EXPECT_EQ(out[2], -1.0f);  // two source pixels, two floats

    EXPECT_EQ(ops->frame_decode(row, out, sizeof out, 2, src, 8, &info), 320 * 240 * 4);
    EXPECT_FLOAT_EQ(out[0], 2048.0f / 4096.0f);
    EXPECT_FLOAT_EQ(out[1], 1.0f / 4096.0f);

    float one[2] = {-1, -1};
    ops->frame_decode(row, one, 4, 1, src, 8, &info);  // room for one float
    EXPECT_NE(one[0], -1.0f);
    EXPECT_EQ(one[1], -1.0f);

    float none[2] = {-1, -1};
    ops->frame_decode(row, none, sizeof none, 3, src, 8, &info);  // unknown kind
    EXPECT_EQ(none[0], -1.0f);
}

TEST_F(TiDriver, DecodeNeverReadsAPartialTrailingPixel) {
    tarvo_frame_info_t info{};
    info.width = 320;
    info.height = 240;
    // 6 bytes: one whole pixel and half of another. Put the buffer where an
    // over-read would leave the allocation (ASan would report it).
    std::vector<uint16_t> src(3, 0x0400);
    float out[4] = {-1, -1, -1, -1};
    ops->frame_decode(row, out, sizeof out, 1, src.data(), 6, &info);
    EXPECT_NE(out[0], -1.0f);
    EXPECT_EQ(out[1], -1.0f);
}

}  // namespace
