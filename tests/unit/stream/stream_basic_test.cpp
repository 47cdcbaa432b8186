// The reassembler's life, configuration, header checks, fetching and the
// frame layouts it must recognise.
#include <sys/time.h>

#include "stream_test_util.h"

namespace tarvo::test {
namespace {

int64_t usec_of(int64_t sec, int64_t usec) {
    return sec * 1000000 + usec;
}
int64_t now_usec() {
    struct timeval tv;
    tq_gettimeofday(&tv, nullptr);
    return usec_of(tv.tv_sec, tv.tv_usec);
}

PacketSpec frame_packet(uint16_t sidx, uint32_t frlen, uint16_t fridx, bool bound) {
    PacketSpec s;
    s.sidx = sidx;
    s.frlen = frlen;
    s.fridx = fridx;
    s.frame_bound = bound;
    return s;
}

// One frame of `frlen` bytes in one packet.
Bytes one_frame_packet(uint16_t sidx, uint16_t fridx, uint32_t frlen) {
    Bytes out;
    append_packet(out, frame_packet(sidx, frlen, fridx, true), frame_bytes(fridx, frlen));
    return out;
}

TEST(StreamLife, NullArgumentsAreRefusedQuietly) {
    EXPECT_EQ(tq_stream_create(nullptr), nullptr);
    tq_stream_destroy(nullptr);
    tq_stream_reset(nullptr);
    tq_stream_cfg_t cfg{5};
    tq_stream_set_cfg(nullptr, &cfg);
    tq_stream_get_cfg(nullptr, &cfg);
    EXPECT_EQ(cfg.fbuf_frames, 5u);
    uint8_t b[4] = {0xFB, 0x98, 0, 0};
    EXPECT_FALSE(tq_stream_feed_input(nullptr, b, 4));
    EXPECT_EQ(tq_stream_fetch_frames(nullptr, b, 4, 1, nullptr, false), 0u);
    tq_stream_state_t st;
    EXPECT_EQ(tq_stream_get_state(nullptr, &st), nullptr);

    StreamPtr s = make_stream(3);
    ASSERT_TRUE(s);
    EXPECT_EQ(tq_stream_get_state(s.get(), nullptr), nullptr);
    tq_stream_set_cfg(s.get(), nullptr);
    tq_stream_get_cfg(s.get(), nullptr);
    tq_stream_get_cfg(s.get(), &cfg);
    EXPECT_EQ(cfg.fbuf_frames, 3u);
    EXPECT_FALSE(tq_stream_feed_input(s.get(), nullptr, 100));
    EXPECT_FALSE(tq_stream_feed_input(s.get(), b, -4));
    EXPECT_EQ(stream::audit(s.get()), "");
}

TEST(StreamLife, CreateZeroesStatisticsAndStampsTime) {
    int64_t before = now_usec();
    StreamPtr s = make_stream(10);
    int64_t after = now_usec();
    tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.fr_assembled + st.fr_queued + st.fr_discarded + st.fr_overflow + st.fr_ready +
                  st.bytes_skipped,
              0u);
    int64_t stamp = usec_of(st.ts_reset.tv_sec, st.ts_reset.tv_usec);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(s->prev_sidx, -1);
    EXPECT_EQ(s->hdr[2], 0xFF);
    EXPECT_EQ(s->hdr[3], 0xFF);
}

TEST(StreamLife, SetCfgReplacesCapacityAndCutsRingAtNextInput) {
    StreamPtr s = make_stream(5);
    for (uint16_t i = 0; i < 5; ++i) feed(s.get(), one_frame_packet(i, i, 16));
    EXPECT_EQ(state_of(s.get()).fr_ready, 5u);
    tq_stream_cfg_t cfg{2};
    tq_stream_set_cfg(s.get(), &cfg);
    tq_stream_cfg_t back{};
    tq_stream_get_cfg(s.get(), &back);
    EXPECT_EQ(back.fbuf_frames, 2u);
    EXPECT_EQ(state_of(s.get()).fr_ready, 5u);  // nothing cut yet
    feed(s.get(), one_frame_packet(5, 5, 16));
    tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.fr_ready, 2u);
    EXPECT_EQ(st.fr_overflow, 4u);
    std::vector<Frame> out = drain(s.get());
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].hdr.fridx, 4);
    EXPECT_EQ(out[1].hdr.fridx, 5);
}

TEST(StreamHeader, ChecksumAndLimitsDecideValidity) {
    PacketSpec base = frame_packet(1, 100, 2, true);
    auto valid = [](const PacketSpec &s) {
        return stream::hdr_valid(make_header(s, 100, 0).data(), nullptr);
    };
    EXPECT_TRUE(valid(base));
    Bytes h = make_header(base, 100, 0);
    EXPECT_EQ(stream::hdr_fletcher16(h.data()), fletcher16(h.data(), 34));

    for (int delta : {1, -1, 256, -256}) {
        PacketSpec s = base;
        s.hsum_delta = delta;
        EXPECT_FALSE(valid(s)) << "hsum off by " << delta;
    }
    PacketSpec s = base;
    s.len_set = true;
    s.len = 0xFFFFF;
    EXPECT_TRUE(valid(s));
    s.len = 0x100000;
    EXPECT_FALSE(valid(s));
    s = base;
    s.frlen = 0x7FFFFFF;
    EXPECT_TRUE(valid(s));
    s.frlen = 0x8000000;
    EXPECT_FALSE(valid(s));
    s.frlen = 0;
    EXPECT_FALSE(valid(s)) << "a frame length of 0 is refused";
    s = base;
    s.frfmt = 1023;
    EXPECT_TRUE(valid(s));
    s.frfmt = 1024;
    EXPECT_FALSE(valid(s));

    Bytes bad_sync = make_header(base, 100, 0);
    bad_sync[1] = 0x99;
    put_u16(&bad_sync[34], fletcher16(bad_sync.data(), 34));
    EXPECT_FALSE(stream::hdr_valid(bad_sync.data(), nullptr));

    stream::PktHdr d{};
    Bytes full = make_header(base, 77, 0x11223344);
    ASSERT_TRUE(stream::hdr_valid(full.data(), &d));
    EXPECT_EQ(d.sidx, 1);
    EXPECT_EQ(d.len, 77u);
    EXPECT_EQ(d.frlen, 100u);
    EXPECT_EQ(d.fridx, 2);
    EXPECT_EQ(d.pkt_flags, 1);
}

TEST(StreamHeader, OffByOneChecksumIsSkippedAndSearchGoesOn) {
    // A header with a bad checksum, and a good one starting inside it at
    // its second byte can't exist, so put the good one right behind it.
    PacketSpec bad = frame_packet(3, 8, 0, true);
    bad.hsum_delta = 1;
    Bytes stream;
    append_packet(stream, bad, frame_bytes(0, 8));
    size_t good_at = stream.size();
    append_packet(stream, frame_packet(4, 8, 1, true), frame_bytes(1, 8));
    StreamPtr s = make_stream(10);
    LogCapture log;
    EXPECT_TRUE(feed(s.get(), stream));
    std::vector<Frame> out = drain(s.get());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].hdr.fridx, 1);
    EXPECT_EQ(state_of(s.get()).bytes_skipped, good_at);
    EXPECT_TRUE(log.has("[TRC] [tq_stream_feed_input] sync hdr: skip " + std::to_string(good_at) +
                        " bytes\n"));
    EXPECT_EQ(log.count("HDR found"), 1);
}

TEST(StreamHeader, LimitBreakingHeadersYieldNothing) {
    for (int which = 0; which < 3; ++which) {
        PacketSpec s = frame_packet(0, 8, 0, true);
        if (which == 0) {
            s.len_set = true;
            s.len = 0x100000;
        } else if (which == 1) {
            s.frfmt = 1024;
        } else {
            s.frlen = 0;
        }
        Bytes b;
        append_packet(b, s, frame_bytes(0, 8));
        StreamPtr st = make_stream(4);
        EXPECT_FALSE(feed(st.get(), b)) << which;
        EXPECT_EQ(state_of(st.get()).fr_assembled, 0u) << which;
        EXPECT_EQ(st->hdr_have, 0) << which;
    }
}

TEST(StreamHeader, HeaderInThreePiecesIsAcceptedWithSecondLogForm) {
    Bytes b = one_frame_packet(9, 4, 40);
    StreamPtr s = make_stream(4);
    LogCapture log;
    feed_cut_at(s.get(), b, {1, 21});
    EXPECT_TRUE(
        log.has("[tq_stream_feed_input] partial stream hdr found: 1 bytes, need more bytes.\n"));
    EXPECT_TRUE(
        log.has("[tq_stream_feed_input] partial stream hdr found: 21 bytes, need more bytes.\n"));
    EXPECT_TRUE(log.has(
        "[TRC] [tq_stream_feed_input] HDR found: idx/len=9/40(frlen:40,fridx=4,frfmt=0)\n"));
    EXPECT_FALSE(log.has("[_sync_stream_hdr]"));
    EXPECT_EQ(state_of(s.get()).fr_queued, 1u);

    // Found whole inside a piece, the first form names the search routine.
    log.clear();
    tq_stream_reset(s.get());
    feed(s.get(), b);
    EXPECT_TRUE(
        log.has("[TRC] [_sync_stream_hdr] HDR found: idx/len=9/40 (frlen:40,fridx=4,frfmt=0)\n"));
    EXPECT_TRUE(log.has("[TRC] [tq_stream_feed_input] 76 raw bytes\n"));
    EXPECT_TRUE(log.has("[TRC] [tq_stream_feed_input] Add 40 bytes to frlist\n"));
}

TEST(StreamHeader, LoneSyncByteAtPieceEndIsHeld) {
    Bytes b = one_frame_packet(0, 0, 8);
    Bytes garbage = {0x01, 0x02, 0xFB};
    StreamPtr s = make_stream(4);
    LogCapture log;
    tq_stream_feed_input(s.get(), garbage.data(), 3);
    EXPECT_EQ(s->hdr_have, 1);
    EXPECT_EQ(s->hdr[0], 0xFB);
    EXPECT_TRUE(log.has("partial stream hdr found: 1 bytes"));
    // The rest of the header follows in the next piece.
    tq_stream_feed_input(s.get(), b.data() + 1, static_cast<int>(b.size() - 1));
    std::vector<Frame> out = drain(s.get());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, frame_bytes(0, 8));
}

TEST(StreamLayout, TwoFramesInOnePacketGetConsecutiveIndices) {
    StreamPtr s = make_stream(10);
    LogCapture log;
    Bytes b;
    Bytes payload = frame_bytes(7, 100);
    Bytes second = frame_bytes(8, 100);
    payload.insert(payload.end(), second.begin(), second.end());
    PacketSpec p = frame_packet(0, 100, 7, true);
    p.width = 20;
    p.height = 5;
    p.frfmt = 12;
    p.drv_info[0] = 0xC8;
    p.drv_info[1] = 0x00;
    append_packet(b, p, payload);
    append_packet(b, frame_packet(1, 100, 9, true), frame_bytes(9, 100));
    feed(s.get(), b);
    std::vector<Frame> out = drain(s.get());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].hdr.fridx, 7);
    EXPECT_EQ(out[1].hdr.fridx, 8);
    EXPECT_EQ(out[2].hdr.fridx, 9);
    EXPECT_EQ(out[1].bytes, frame_bytes(8, 100));
    EXPECT_EQ(out[0].hdr.frlen, 100u);
    EXPECT_EQ(out[0].hdr.frfmt, 12);
    EXPECT_EQ(out[1].hdr.width, 20);
    EXPECT_EQ(out[1].hdr.height, 5);
    EXPECT_EQ(out[1].hdr.drv_info[0], 0xC8);
    EXPECT_FALSE(log.has("missing frame"));

    // Index 11 where 10 is due is noted but nothing is dropped.
    feed(s.get(), one_frame_packet(2, 11, 100));
    EXPECT_TRUE(log.has(
        "[DBG] [tq_stream_feed_input] missing frame: jumpping frame idx (prev=10, cur=11)\n"));
    EXPECT_EQ(drain(s.get()).size(), 1u);
    EXPECT_EQ(state_of(s.get()).fr_discarded, 0u);
}

TEST(StreamLayout, FrameOverThreePacketsAndFrameIndexWrap) {
    StreamPtr s = make_stream(10);
    Bytes f = frame_bytes(65535, 300);
    Bytes b;
    append_packet(b, frame_packet(5, 300, 65535, true), f.data(), 100);
    append_packet(b, frame_packet(6, 300, 65535, false), f.data() + 100, 100);
    append_packet(b, frame_packet(7, 300, 65535, false), f.data() + 200, 100);
    // Two frames per packet across the 16-bit wrap: 65535 + 1 is 0.
    Bytes two = frame_bytes(1, 50);
    Bytes two_b = frame_bytes(2, 50);
    two.insert(two.end(), two_b.begin(), two_b.end());
    append_packet(b, frame_packet(8, 50, 1, true), two);
    LogCapture log;
    feed(s.get(), b);
    std::vector<Frame> out = drain(s.get());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].bytes, f);
    EXPECT_EQ(out[0].hdr.fridx, 65535);
    EXPECT_EQ(out[1].hdr.fridx, 1);
    EXPECT_EQ(out[2].hdr.fridx, 2);
    EXPECT_EQ(out[2].bytes, frame_bytes(2, 50));
    EXPECT_TRUE(log.has("missing frame: jumpping frame idx (prev=0, cur=1)"));
}

TEST(StreamRing, OverflowDropsOldestFrames) {
    StreamPtr s = make_stream(2);
    LogCapture log;
    for (uint16_t i = 0; i < 4; ++i) EXPECT_TRUE(feed(s.get(), one_frame_packet(i, i, 100)));
    tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.fr_overflow, 2u);
    EXPECT_EQ(st.fr_ready, 2u);
    EXPECT_EQ(st.fr_queued, 4u);
    EXPECT_EQ(st.fr_assembled, 4u);
    EXPECT_EQ(st.fr_discarded, 0u);
    EXPECT_EQ(st.bytes_skipped, 200u);
    EXPECT_TRUE(log.has("[DBG] [_fr_list_refresh] discard frames: frame buffer is full (1/1)\n"));
    EXPECT_TRUE(log.has("[DBG] [_fr_list_refresh] discard frames: frame buffer is full (1/2)\n"));
    EXPECT_TRUE(log.has("[DBG] [_fr_list_refresh] discard frame: idx = 0\n"));
    EXPECT_TRUE(log.has("[DBG] [_fr_list_refresh] discard frame: idx = 1\n"));
    uint8_t dst[200];
    tq_frame_hdr_t h{};
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst, sizeof dst, 5, &h, false), 2u);
    EXPECT_EQ(h.fridx, 2);
    Bytes got(dst, dst + 200);
    Bytes want = frame_bytes(2, 100);
    Bytes want3 = frame_bytes(3, 100);
    want.insert(want.end(), want3.begin(), want3.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst, sizeof dst, 5, &h, false), 0u);
}

TEST(StreamRing, SeveralFramesCompletingInOnePieceOverflowTogether) {
    StreamPtr s = make_stream(3);
    LogCapture log;
    StreamPlan plan;
    plan.frlen = 10;
    plan.max_payload = 80;  // eight frames per packet
    feed(s.get(), write_stream(plan, 8));
    tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.fr_ready, 3u);
    EXPECT_EQ(st.fr_overflow, 5u);
    EXPECT_TRUE(log.has("discard frames: frame buffer is full (5/5)\n"));
    std::vector<Frame> out = drain(s.get());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].hdr.fridx, 5);
    EXPECT_EQ(out[2].bytes, frame_bytes(7, 10));
}

TEST(StreamFetch, PeekKeepsFramesAndTakeCutsToRoom) {
    StreamPtr s = make_stream(10);
    for (uint16_t i = 0; i < 3; ++i) feed(s.get(), one_frame_packet(i, i, 64));
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 2, nullptr, true), 2u);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 9, nullptr, true), 3u);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 0, nullptr, true), 0u);
    EXPECT_EQ(state_of(s.get()).fr_ready, 3u);

    // A peek with room for one and a half frames copies that much.
    Bytes dst(96, 0xEE);
    tq_frame_hdr_t h{};
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst.data(), 96, 2, &h, true), 2u);
    EXPECT_EQ(h.fridx, 0);
    Bytes want = frame_bytes(0, 64);
    Bytes f1 = frame_bytes(1, 64);
    want.insert(want.end(), f1.begin(), f1.begin() + 32);
    EXPECT_EQ(dst, want);
    EXPECT_EQ(state_of(s.get()).fr_ready, 3u);

    // A peek for the header alone.
    tq_frame_hdr_t h2{};
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 1, &h2, true), 1u);
    EXPECT_EQ(h2.frlen, 64u);

    // A take with room for 10 bytes copies 10 and still removes the frame.
    Bytes small(16, 0xEE);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), small.data(), 10, 1, &h, false), 1u);
    EXPECT_TRUE(std::equal(small.begin(), small.begin() + 10, frame_bytes(0, 64).begin()));
    EXPECT_EQ(small[10], 0xEE);
    EXPECT_EQ(state_of(s.get()).fr_ready, 2u);

    // A take without destination drops frames.
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 1, &h, false), 1u);
    EXPECT_EQ(h.fridx, 1);
    std::vector<Frame> rest = drain(s.get());
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].hdr.fridx, 2);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst.data(), 96, 1, &h, true), 0u);
}

TEST(StreamReset, EmptiesEverythingAndRestamps) {
    StreamPtr s = make_stream(10);
    for (uint16_t i = 0; i < 3; ++i) feed(s.get(), one_frame_packet(i, i, 64));
    tq_stream_state_t before = state_of(s.get());
    platform::sleep_ms(5);
    tq_stream_reset(s.get());
    tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.fr_ready + st.fr_queued + st.fr_assembled, 0u);
    EXPECT_GT(usec_of(st.ts_reset.tv_sec, st.ts_reset.tv_usec),
              usec_of(before.ts_reset.tv_sec, before.ts_reset.tv_usec));
    uint8_t dst[64];
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), dst, 64, 1, nullptr, false), 0u);
    EXPECT_EQ(tq_stream_fetch_frames(s.get(), nullptr, 0, 1, nullptr, true), 0u);
    EXPECT_EQ(stream::audit(s.get()), "");
}

TEST(StreamReset, ResetMidFrameDropsItAndResumesAtNextFrame) {
    StreamPlan plan;
    plan.frlen = 300;
    plan.max_payload = 100;
    uint16_t next_sidx = 0;
    Bytes first = write_stream(plan, 2, &next_sidx);
    StreamPtr s = make_stream(10);
    // Stop inside the second packet of frame 1.
    size_t cut = 3 * 136 + 136 + 50;
    tq_stream_feed_input(s.get(), first.data(), static_cast<int>(cut));
    EXPECT_EQ(drain(s.get()).size(), 1u);
    tq_stream_reset(s.get());
    EXPECT_EQ(s->frlist.head, nullptr);
    LogCapture log;
    // The rest of the old frame arrives, then new frames.
    tq_stream_feed_input(s.get(), first.data() + cut, static_cast<int>(first.size() - cut));
    plan.first_sidx = next_sidx;
    plan.first_frame = 2;
    std::vector<Frame> out = feed_in_pieces(s.get(), write_stream(plan, 2), 1000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].hdr.fridx, 2);
    EXPECT_EQ(out[0].bytes, frame_bytes(2, 300));
    EXPECT_EQ(out[1].bytes, frame_bytes(3, 300));
    tq_stream_state_t st = state_of(s.get());
    EXPECT_EQ(st.fr_queued, 2u);
    // The half frame's last packet, seen after the reset, counts as one lost frame.
    EXPECT_EQ(st.fr_discarded, 1u);
}

TEST(StreamReset, DiscardingSurvivesReset) {
    StreamPtr s = make_stream(10);
    Bytes garbage(50, 0x11);
    feed(s.get(), garbage);
    ASSERT_EQ(s->discarding, 1);
    tq_stream_reset(s.get());
    EXPECT_EQ(s->discarding, 1);
    // A continuation packet is skipped, the next frame-bound one is taken.
    Bytes b;
    append_packet(b, frame_packet(0, 20, 4, false), frame_bytes(4, 20));
    append_packet(b, frame_packet(1, 20, 5, true), frame_bytes(5, 20));
    feed(s.get(), b);
    std::vector<Frame> out = drain(s.get());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].hdr.fridx, 5);
    EXPECT_EQ(s->discarding, 0);
}

}  // namespace
}  // namespace tarvo::test
