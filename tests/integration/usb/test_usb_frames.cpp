// The image stream of a simulated camera, read through the USB link's ring
// and cut by the stream reassembler, gives back exactly the frames the
// camera sent.
#include <mutex>

#include "tarvo/tq_stream.h"
#include "usb_fixture.h"

namespace {

using tarvo::sim::CameraConfig;
using usbtest::eventually;

// Feeds every received chunk to the reassembler on the event thread, as
// the capture engine does.
int feed(tarvo_ll_dev_t *dev, int evt, const uint8_t *data, int len, void *arg) {
    if (evt == TARVO_LL_EVT_DATA)
        tq_stream_feed_input(static_cast<tq_stream_t *>(arg), data, len);
    else if (evt == TARVO_LL_EVT_CANCELLED)
        tarvo_ll_cap_abort(dev);
    return 0;
}

struct Shape {
    const char *name;
    uint16_t width, height;
    uint32_t packet_payload;
    uint16_t frames_per_packet;
    bool payload_checksum;
};

class UsbFrames : public usbtest::UsbFixture, public testing::WithParamInterface<Shape> {
  protected:
    void TearDown() override {
        UsbFixture::TearDown();  // the ring ends before the reassembler goes
        tq_stream_destroy(stream);
    }
    tq_stream_t *stream = nullptr;
};

class UsbFramesFault : public UsbFrames {};

TEST_P(UsbFrames, ReassembledFramesAreTheOnesSent) {
    const Shape sh = GetParam();
    const uint32_t n = 24;
    CameraConfig cfg;
    cfg.stream.paced = false;
    cfg.stream.max_frames = n;
    cfg.stream.width = sh.width;
    cfg.stream.height = sh.height;
    cfg.stream.format = 7;
    cfg.stream.packet_payload = sh.packet_payload;
    cfg.stream.frames_per_packet = sh.frames_per_packet;
    cfg.stream.payload_checksum = sh.payload_checksum;
    cfg.stream.drv_info = {1, 2, 3, 4, 5, 6, 7, 8};
    start(1, cfg);
    tq_stream_cfg_t scfg{n + 8};
    stream = tq_stream_create(&scfg);
    ASSERT_NE(stream, nullptr);

    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, feed, stream)) << log->dump();
    tq_stream_state_t st{};
    ASSERT_TRUE(eventually([&] { return tq_stream_get_state(stream, &st)->fr_ready == n; }, 10000))
        << "ready " << st.fr_ready << " discarded " << st.fr_discarded;
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev));

    const auto sent = cam().frames();
    ASSERT_EQ(sent.size(), n);
    const uint32_t len = sh.width * sh.height * 2u;
    std::vector<uint8_t> got(len), want(len);
    for (uint32_t i = 0; i < n; ++i) {
        tq_frame_hdr_t hdr{};
        ASSERT_EQ(tq_stream_fetch_frames(stream, got.data(), len, 1, &hdr, false), 1u) << i;
        EXPECT_EQ(hdr.frlen, len);
        EXPECT_EQ(hdr.fridx, sent[i].fridx);
        EXPECT_EQ(hdr.frfmt, 7);
        EXPECT_EQ(hdr.width, sh.width);
        EXPECT_EQ(hdr.height, sh.height);
        EXPECT_EQ(hdr.drv_info[7], 8);
        EXPECT_FALSE(sent[i].damaged);
        tarvo::sim::test_pattern(sent[i].seq, want);
        EXPECT_TRUE(got == want) << "frame " << i;
    }
    tq_stream_get_state(stream, &st);
    EXPECT_EQ(st.fr_discarded, 0u);
    EXPECT_EQ(st.bytes_skipped, 0u);
    EXPECT_EQ(st.fr_ready, 0u);
}

TEST_F(UsbFramesFault, DroppedPacketLosesOnlyDamagedFrames) {
    const uint32_t n = 20;
    CameraConfig cfg;
    cfg.stream.paced = false;
    cfg.stream.max_frames = n;
    cfg.stream.packet_payload = 32 * 1024;  // 5 packets a frame
    start(1, cfg);
    cam().add_stream_fault({tarvo::sim::StreamFault::Kind::drop, 17, 1, 0});
    tq_stream_cfg_t scfg{n + 8};
    stream = tq_stream_create(&scfg);
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, feed, stream));
    ASSERT_TRUE(cam().wait_for(
        [&](const tarvo::sim::Camera &c) { return c.stats().frames_sent == n; }, 10000));
    // Every frame is either ready or counted as discarded.
    ASSERT_TRUE(eventually(
        [&] {
            tq_stream_state_t st{};
            tq_stream_get_state(stream, &st);
            return st.fr_ready == n - 1 && st.fr_discarded >= 1;
        },
        10000));
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev));

    const auto sent = cam().frames();
    std::vector<uint8_t> got(320 * 240 * 2), want(got.size());
    size_t k = 0, fetched = 0;
    tq_frame_hdr_t hdr{};
    while (tq_stream_fetch_frames(stream, got.data(), static_cast<uint32_t>(got.size()), 1, &hdr,
                                  false) == 1) {
        ++fetched;
        while (k < sent.size() && sent[k].fridx != hdr.fridx) ++k;
        ASSERT_LT(k, sent.size()) << "frame " << hdr.fridx << " was never sent";
        EXPECT_FALSE(sent[k].damaged) << hdr.fridx;
        tarvo::sim::test_pattern(sent[k].seq, want);
        EXPECT_TRUE(got == want) << hdr.fridx;
        ++k;
    }
    size_t damaged = 0;
    for (auto &f : sent) damaged += f.damaged;
    EXPECT_EQ(damaged, 1u);
    EXPECT_EQ(fetched, n - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, UsbFrames,
    testing::Values(Shape{"one_frame_per_packet", 320, 240, 160 * 1024, 1, true},
                    Shape{"frames_over_packets", 320, 240, 16 * 1024, 1, true},
                    Shape{"frames_sharing_packets", 40, 30, 64 * 1024, 4, true},
                    Shape{"no_payload_checksum", 320, 240, 64 * 1024, 1, false}),
    [](const testing::TestParamInfo<Shape> &i) { return std::string(i.param.name); });

}  // namespace
