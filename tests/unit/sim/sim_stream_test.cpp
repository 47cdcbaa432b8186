// The simulated camera's image stream through real libusb: a ring of 16
// queued bulk reads, decoded here independently and compared with the
// frames the camera says it sent; stream faults, stalls, time-outs and a
// camera that vanishes mid-stream.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sim_test_util.h"
#include "stream_ring.h"
#include "tarvo_sim/sim.h"

using namespace tarvo::sim;
using namespace simtest;

namespace {

CameraConfig unpaced(uint32_t frame_bytes, uint32_t packet_payload, uint16_t per_packet = 1) {
    CameraConfig c;
    c.stream.paced = false;
    c.stream.frame_bytes = frame_bytes;
    c.stream.packet_payload = packet_payload;
    c.stream.frames_per_packet = per_packet;
    return c;
}

void start_capture(libusb_device_handle *h, uint32_t arg = 0) {
    ASSERT_EQ(cmd_out(h, 0xC2, 4,
                      {uint8_t(arg), uint8_t(arg >> 8), uint8_t(arg >> 16), uint8_t(arg >> 24)}),
              4);
    Status st = status(h);
    ASSERT_EQ(st.code, 0);
    ASSERT_EQ(st.value, 4);
}

void stop_capture(libusb_device_handle *h) {
    ASSERT_EQ(cmd_out(h, 0xC2, 5, {0xC2}), 1);
    ASSERT_EQ(status(h).code, 0);
}

uint32_t word_sum(const std::vector<uint8_t> &p) {
    uint32_t s = 0;
    for (size_t i = 0; i + 4 <= p.size(); i += 4)
        s += p[i] | p[i + 1] << 8 | p[i + 2] << 16 | uint32_t(p[i + 3]) << 24;
    return s;
}

// Frames cut out of decoded packets (payload of a frame-bound packet and
// its continuations, split by frlen).
struct Frame {
    uint16_t fridx;
    std::vector<uint8_t> bytes;
};
std::vector<Frame> frames_of(const std::vector<Packet> &pk) {
    std::vector<Frame> out;
    std::vector<uint8_t> cur;
    uint16_t idx = 0;
    for (const Packet &p : pk) {
        if (p.pkt_flags & 1) cur.clear(), idx = p.fridx;
        cur.insert(cur.end(), p.payload.begin(), p.payload.end());
        while (p.frlen && cur.size() >= p.frlen) {
            out.push_back({idx++, std::vector<uint8_t>(cur.begin(), cur.begin() + p.frlen)});
            cur.erase(cur.begin(), cur.begin() + p.frlen);
        }
    }
    return out;
}

}  // namespace

TEST(SimStream, SixteenQueuedReadsCarryExactlyTheFramesSent) {
    CameraConfig cfg = unpaced(4000, 1500);
    cfg.stream.format = 7;
    cfg.stream.width = 50;
    cfg.stream.height = 40;
    cfg.stream.drv_info = {0x5E, 0x01, 0x60, 0x01, 1, 2, 3, 4};
    cfg.stream.first_fridx = 65530;  // indices wrap
    cfg.stream.max_frames = 40;
    Bus bus(1, cfg);
    Camera cam = bus.camera(0);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    StreamRing ring(usb.ctx, usb.h, 16, 153600, 6000);
    ASSERT_TRUE(ring.start());
    ASSERT_TRUE(cam.wait_for([](const Camera &c) { return c.stats().bulk_pending == 16; }, 2000));
    start_capture(usb.h, 0x01020304);
    EXPECT_EQ(cam.capture_arg(), 0x01020304u);
    EXPECT_TRUE(cam.capturing());

    // 40 frames of 4000 bytes: 3 packets each (1500, 1500, 1000).
    const uint64_t total = 40 * (3 * 36 + 4000);
    ASSERT_TRUE(ring.wait_bytes(total, 5000));
    std::vector<uint8_t> rest;
    const auto pk = split_packets(ring.data(), &rest);
    EXPECT_TRUE(rest.empty());
    ASSERT_EQ(pk.size(), 120u);
    for (size_t i = 0; i < pk.size(); ++i) {
        const Packet &p = pk[i];
        EXPECT_TRUE(p.hsum_ok) << i;
        EXPECT_EQ(p.sidx, i);
        EXPECT_EQ(p.len, i % 3 == 2 ? 1000u : 1500u);
        EXPECT_EQ(p.frlen, 4000u);
        EXPECT_EQ(p.pkt_flags & 1, i % 3 == 0 ? 1 : 0);
        EXPECT_EQ(p.fridx, static_cast<uint16_t>(65530 + i / 3));
        EXPECT_EQ(p.frfmt, 7);
        EXPECT_EQ(p.width, 50);
        EXPECT_EQ(p.height, 40);
        EXPECT_EQ(p.drv_info, cfg.stream.drv_info);
        EXPECT_EQ(p.chk_flags & 1, 1);
        EXPECT_EQ(p.dsum, word_sum(p.payload));
    }
    const auto fr = frames_of(pk);
    const auto sent = cam.frames();
    ASSERT_EQ(fr.size(), 40u);
    ASSERT_EQ(sent.size(), 40u);
    for (size_t i = 0; i < fr.size(); ++i) {
        std::vector<uint8_t> want(4000);
        test_pattern(static_cast<uint32_t>(i), want);
        EXPECT_EQ(fr[i].bytes, want) << "frame " << i;
        EXPECT_EQ(fr[i].fridx, sent[i].fridx);
        EXPECT_FALSE(sent[i].damaged);
    }
    const CameraStats st = cam.stats();
    EXPECT_EQ(st.bulk_pending_max, 16u);
    EXPECT_EQ(st.frames_sent, 40u);
    EXPECT_EQ(st.packets_sent, 120u);
    EXPECT_EQ(st.stream_bytes, total);

    // Stop: every queued read ends once as cancelled, none is reissued.
    stop_capture(usb.h);
    EXPECT_FALSE(cam.capturing());
    ring.cancel();
    ASSERT_TRUE(ring.wait_idle(2000));
    EXPECT_EQ(ring.count(LIBUSB_TRANSFER_CANCELLED), 16);
    EXPECT_EQ(cam.stats().bulk_cancelled, 16u);
    EXPECT_EQ(cam.stats().bulk_pending, 0u);
}

TEST(SimStream, SeveralFramesInOnePacketAndNoChecksum) {
    CameraConfig cfg = unpaced(100, 65536, 4);
    cfg.stream.payload_checksum = false;
    cfg.stream.max_frames = 10;  // 4 + 4 + 2
    Bus bus(1, cfg);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    StreamRing ring(usb.ctx, usb.h, 4, 16384);
    ASSERT_TRUE(ring.start());
    start_capture(usb.h);
    ASSERT_TRUE(ring.wait_bytes(3 * 36 + 1000, 3000));
    const auto pk = split_packets(ring.data());
    ASSERT_EQ(pk.size(), 3u);
    EXPECT_EQ(pk[0].len, 400u);
    EXPECT_EQ(pk[2].len, 200u);
    EXPECT_EQ(pk[1].fridx, 4);
    EXPECT_EQ(pk[2].fridx, 8);
    for (const auto &p : pk) {
        EXPECT_EQ(p.pkt_flags & 1, 1);
        EXPECT_EQ(p.chk_flags & 1, 0);
        EXPECT_EQ(p.dsum, 0u);
        EXPECT_TRUE(p.hsum_ok);
    }
    const auto fr = frames_of(pk);
    ASSERT_EQ(fr.size(), 10u);
    std::vector<uint8_t> want(100);
    test_pattern(9, want);
    EXPECT_EQ(fr[9].bytes, want);
    EXPECT_EQ(fr[9].fridx, 9);
}

TEST(SimStream, PacedByTheFrameRateParameter) {
    CameraConfig cfg;
    cfg.frame_rate = 50;  // 20 ms per frame
    cfg.stream.frame_bytes = 1000;
    Bus bus(1, cfg);
    Camera cam = bus.camera(0);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    StreamRing ring(usb.ctx, usb.h);
    ASSERT_TRUE(ring.start());
    const auto t0 = std::chrono::steady_clock::now();
    start_capture(usb.h);
    ASSERT_TRUE(ring.wait_bytes(10 * 1036, 3000));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    // Ten frames are due at 0, 20, ..., 180 ms: not earlier.
    EXPECT_GE(ms, 170.0);
    // Reads end at frame ends: each completed read holds whole packets.
    for (int len : ring.lengths()) EXPECT_EQ(len % 1036, 0);
    stop_capture(usb.h);
    const uint64_t after = cam.stats().stream_bytes;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(cam.stats().stream_bytes, after);  // nothing after the stop
}

TEST(SimStream, DroppedAndCorruptedPackets) {
    CameraConfig cfg = unpaced(2000, 1000);
    cfg.stream.max_frames = 6;
    Bus bus(1, cfg);
    Camera cam = bus.camera(0);
    cam.add_stream_fault({StreamFault::Kind::drop, 3});
    cam.add_stream_fault({StreamFault::Kind::corrupt_header, 6});
    cam.add_stream_fault({StreamFault::Kind::corrupt_payload, 9, 1});
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    StreamRing ring(usb.ctx, usb.h);
    ASSERT_TRUE(ring.start());
    start_capture(usb.h);
    ASSERT_TRUE(ring.wait_bytes(11 * 1036, 3000));
    const auto pk = split_packets(ring.data());
    ASSERT_EQ(pk.size(), 11u);    // 12 made, one dropped
    EXPECT_EQ(pk[3].sidx, 4);     // the gap
    EXPECT_FALSE(pk[5].hsum_ok);  // packet 6
    EXPECT_TRUE(pk[6].hsum_ok);
    EXPECT_NE(pk[8].dsum, word_sum(pk[8].payload));  // packet 9
    EXPECT_EQ(pk[7].dsum, word_sum(pk[7].payload));
    const auto sent = cam.frames();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_FALSE(sent[0].damaged);
    EXPECT_TRUE(sent[1].damaged);
    EXPECT_FALSE(sent[2].damaged);
    EXPECT_TRUE(sent[3].damaged);
    EXPECT_TRUE(sent[4].damaged);
    EXPECT_FALSE(sent[5].damaged);
    const auto rec = cam.packets();
    ASSERT_EQ(rec.size(), 12u);
    EXPECT_TRUE(rec[3].dropped);
    EXPECT_TRUE(rec[6].corrupted);
}

TEST(SimStream, StallUntilClearHalt) {
    Bus bus(1, unpaced(1000, 1000));
    Camera cam = bus.camera(0);
    cam.add_stream_fault({StreamFault::Kind::stall, 5});
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    StreamRing ring(usb.ctx, usb.h, 16, 1036);  // one packet per read
    ASSERT_TRUE(ring.start());
    start_capture(usb.h);
    ASSERT_TRUE(ring.wait_status(LIBUSB_TRANSFER_STALL, 3000));
    EXPECT_EQ(ring.bytes(), 5u * 1036);
    ring.stop_resubmitting();
    ASSERT_TRUE(ring.wait_idle(3000));
    ASSERT_EQ(libusb_clear_halt(usb.h, 0x81), 0);
    ASSERT_TRUE(ring.start());
    ASSERT_TRUE(ring.wait_bytes(20 * 1036, 3000));
    const auto pk = split_packets(ring.data());
    ASSERT_GE(pk.size(), 20u);
    EXPECT_EQ(pk[5].sidx, 5);  // the stream goes on where it halted
    ring.cancel();
    ASSERT_TRUE(ring.wait_idle(3000));
    stop_capture(usb.h);

    // A new capture that stalls while 16 large reads wait: the first read
    // ends with the three packets sent before the halt, the others stall.
    cam.clear_stream_faults();
    cam.add_stream_fault({StreamFault::Kind::stall, 3});
    StreamRing big(usb.ctx, usb.h, 16, 153600);
    ASSERT_TRUE(big.start());
    ASSERT_TRUE(cam.wait_for([](const Camera &c) { return c.stats().bulk_pending == 16; }, 2000));
    start_capture(usb.h);
    ASSERT_TRUE(cam.wait_for([](const Camera &c) { return c.stats().bulk_pending == 0; }, 2000));
    big.stop_resubmitting();
    ASSERT_TRUE(big.wait_idle(3000));
    const auto st = big.statuses();
    const auto len = big.lengths();
    ASSERT_GE(st.size(), 16u);  // reissued reads stall again until the ring stops
    EXPECT_EQ(st[0], LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(len[0], 3 * 1036);
    for (size_t i = 1; i < 16; ++i) {
        EXPECT_EQ(st[i], LIBUSB_TRANSFER_STALL) << i;
        EXPECT_EQ(len[i], 0) << i;
    }
}

TEST(SimStream, SilenceGivesTimeoutsThenDataAgain) {
    Bus bus(1, unpaced(1000, 1000));
    Camera cam = bus.camera(0);
    cam.add_stream_fault({StreamFault::Kind::silence, 2, 1, 700});
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    StreamRing ring(usb.ctx, usb.h, 4, 1036, 250);
    ASSERT_TRUE(ring.start());
    start_capture(usb.h);
    ASSERT_TRUE(ring.wait_status(LIBUSB_TRANSFER_TIMED_OUT, 3000));
    ASSERT_TRUE(ring.wait_bytes(10 * 1036, 3000));
    const auto st = ring.statuses();
    const auto len = ring.lengths();
    for (size_t i = 0; i < st.size(); ++i)
        if (st[i] == LIBUSB_TRANSFER_TIMED_OUT) EXPECT_EQ(len[i], 0);
    EXPECT_GE(ring.count(LIBUSB_TRANSFER_TIMED_OUT), 4);
    const auto pk = split_packets(ring.data());
    for (size_t i = 0; i < pk.size(); ++i) EXPECT_EQ(pk[i].sidx, i);  // nothing lost
    ring.cancel();
}

TEST(SimStream, VanishMidStream) {
    CameraConfig cfg;
    cfg.frame_rate = 100;
    cfg.stream.frame_bytes = 1000;
    Bus bus(1, cfg);
    Camera cam = bus.camera(0);
    cam.add_stream_fault({StreamFault::Kind::vanish, 20});
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    StreamRing ring(usb.ctx, usb.h, 16, 1036);
    ASSERT_TRUE(ring.start());
    start_capture(usb.h);
    ASSERT_TRUE(ring.wait_status(LIBUSB_TRANSFER_NO_DEVICE, 3000));
    ASSERT_TRUE(ring.wait_idle(3000));
    // Queued reads end as no-device; a read that completed just before and
    // is reissued after the camera left fails to submit instead.
    EXPECT_EQ(ring.count(LIBUSB_TRANSFER_NO_DEVICE) + ring.resubmit_failures(), 16);
    EXPECT_GE(ring.count(LIBUSB_TRANSFER_NO_DEVICE), 8);
    EXPECT_EQ(ring.bytes(), 20u * 1036);
    EXPECT_FALSE(cam.present());
    EXPECT_EQ(cmd_out(usb.h, 0xC2, 5, {0xC2}), LIBUSB_ERROR_NO_DEVICE);
}

TEST(SimStream, DataUploadModeSendsTheCalibrationOnce) {
    CameraConfig cfg;
    cfg.calibration.resize(300000);
    for (size_t i = 0; i < cfg.calibration.size(); ++i)
        cfg.calibration[i] = static_cast<uint8_t>(i * 7 + 3);
    Bus bus(1, cfg);
    Camera cam = bus.camera(0);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 3, param_item(0, {9})), 20);
    ASSERT_EQ(status(usb.h).code, 0);
    StreamRing ring(usb.ctx, usb.h);
    ASSERT_TRUE(ring.start());
    start_capture(usb.h);
    ASSERT_TRUE(cam.wait_for([](const Camera &c) { return c.stats().frames_sent == 1; }, 3000));
    ASSERT_TRUE(ring.wait_bytes(cam.stats().stream_bytes, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(cam.stats().frames_sent, 1u);  // nothing after it
    const auto pk = split_packets(ring.data());
    ASSERT_FALSE(pk.empty());
    EXPECT_EQ(pk[0].frfmt, 171);
    EXPECT_EQ(pk[0].frlen, 300000u);
    const auto fr = frames_of(pk);
    ASSERT_EQ(fr.size(), 1u);
    EXPECT_EQ(fr[0].bytes, cfg.calibration);
    stop_capture(usb.h);

    // Back to mode 0: test frames again.
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 3, param_item(0, {0})), 20);
    cam.set_stream([] {
        StreamConfig s;
        s.paced = false;
        s.frame_bytes = 64;
        s.max_frames = 1;
        return s;
    }());
    start_capture(usb.h);
    ASSERT_TRUE(cam.wait_for([](const Camera &c) { return c.stats().frames_sent == 2; }, 3000));
    EXPECT_EQ(cam.packets().at(0).header[14], 0);  // format 0
    ring.cancel();
}
