// Every way the reassembler drops data: what it logs, what it counts, and
// where it picks the stream up again.
#include <atomic>

#include "stream_test_util.h"

namespace tarvo::test {
namespace {

PacketSpec pkt(uint16_t sidx, uint32_t frlen, uint16_t fridx, bool bound) {
    PacketSpec s;
    s.sidx = sidx;
    s.frlen = frlen;
    s.fridx = fridx;
    s.frame_bound = bound;
    return s;
}

// Packet k (0-based) of a frame of 300 bytes sent in packets of 100.
Bytes part(uint16_t sidx, uint16_t fridx, int k, bool dsum = false) {
    Bytes f = frame_bytes(fridx, 300);
    PacketSpec s = pkt(sidx, 300, fridx, k == 0);
    s.with_dsum = dsum;
    Bytes out;
    append_packet(out, s, f.data() + 100 * k, 100);
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes whole_frame(uint16_t sidx, uint16_t fridx, bool dsum = false) {
    return cat({part(sidx, fridx, 0, dsum), part(sidx + 1, fridx, 1, dsum),
                part(sidx + 2, fridx, 2, dsum)});
}

void expect_frames(const std::vector<Frame> &out, std::initializer_list<uint16_t> want) {
    ASSERT_EQ(out.size(), want.size());
    size_t i = 0;
    for (uint16_t fridx : want) {
        EXPECT_EQ(out[i].hdr.fridx, fridx) << "frame " << i;
        EXPECT_EQ(out[i].bytes, frame_bytes(fridx, out[i].hdr.frlen)) << "frame " << i;
        ++i;
    }
}

class StreamDiscard : public ::testing::Test {
  protected:
    StreamPtr s = make_stream(10);
    LogCapture log;

    std::vector<Frame> feed_all(std::initializer_list<Bytes> pieces) {
        std::vector<Frame> out;
        for (const Bytes &p : pieces) {
            feed(s.get(), p);
            EXPECT_EQ(stream::audit(s.get()), "");
            for (Frame &f : drain(s.get())) out.push_back(std::move(f));
        }
        return out;
    }
    tq_stream_state_t st() { return state_of(s.get()); }
};

TEST_F(StreamDiscard, NoHeaderWhereOneIsDueDropsFrameThenSkipsPieces) {
    Bytes garbage(60, 0x5A);
    Bytes garbage2(50, 0x33);
    auto out = feed_all({part(0, 1, 0), garbage, garbage2, part(1, 1, 1), whole_frame(10, 2)});
    expect_frames(out, {2});
    EXPECT_TRUE(log.has("[DBG] [tq_stream_feed_input] discard frame: stream hdr verify failed\n"));
    EXPECT_TRUE(log.has("[DBG] [_discard_cur_frame] discard frame: idx = 1\n"));
    EXPECT_TRUE(log.has("[DBG] [tq_stream_feed_input] not find hdr: skip 50 bytes\n"));
    EXPECT_EQ(st().fr_discarded, 1u);
    // The 100 bytes filled in frame 1; the continuation packet's payload
    // is then skipped, whole, as the piece it came in.
    EXPECT_EQ(st().bytes_skipped, 200u);
    EXPECT_EQ(st().fr_queued, 1u);
}

TEST_F(StreamDiscard, PacketIndexJumpDropsFrameAndWaitsForFrameStart) {
    // Packet 6 lost; packet 7 arrives in the same piece as the next frame.
    auto out = feed_all({part(5, 1, 0), cat({part(7, 1, 2), whole_frame(8, 2)})});
    expect_frames(out, {2});
    EXPECT_TRUE(
        log.has("[DBG] [tq_stream_feed_input] discard frame: stream hdr idx not correct (prev=5, "
                "cur=7)\n"));
    EXPECT_TRUE(log.has("[_discard_cur_frame] discard frame: idx = 1\n"));
    EXPECT_TRUE(log.has("sync hdr: skip 100 bytes\n"));
    EXPECT_EQ(st().fr_discarded, 1u);
    EXPECT_EQ(st().bytes_skipped, 200u);
}

TEST_F(StreamDiscard, PiecesSkippedAfterIndexJumpAreCounted) {
    // As above, with the skipped payload in a piece of its own: the piece
    // holds no header while the jumped one is still held.
    Bytes p7 = part(7, 1, 2);
    Bytes hdr_only(p7.begin(), p7.begin() + 36);
    Bytes payload(p7.begin() + 36, p7.end());
    auto out = feed_all({part(5, 1, 0), hdr_only, payload, whole_frame(8, 2)});
    expect_frames(out, {2});
    EXPECT_EQ(st().fr_discarded, 1u);
    EXPECT_EQ(st().bytes_skipped, 200u);
    EXPECT_FALSE(log.has("not find hdr"));
}

TEST_F(StreamDiscard, ContinuationOfAnotherFrameDropsFrameAndItsOwnPayload) {
    // Frame 1 starts; a packet continuing frame 2 follows (its start lost
    // with the packet index intact); frame 2's tail must not be taken for a
    // frame.
    auto out = feed_all({part(0, 1, 0), cat({part(1, 2, 1), part(2, 2, 2)}), whole_frame(3, 3)});
    expect_frames(out, {3});
    EXPECT_TRUE(log.has(
        "[DBG] [tq_stream_feed_input] discard frame: frame idx not consist (prev=1, cur=2)\n"));
    EXPECT_TRUE(log.has("[_discard_cur_frame] discard frame: idx = 1\n"));
    EXPECT_TRUE(log.has("skip packet: no frame to continue (sidx=1, fridx=2)"));
    EXPECT_TRUE(log.has("[DBG] [tq_stream_feed_input] discard frame: idx = 2\n"));
    EXPECT_FALSE(log.has("frame bound met"));
    EXPECT_EQ(st().fr_discarded, 2u);  // frame 1, and frame 2 whose start was lost
}

TEST_F(StreamDiscard, LostFirstPacketLosesItsFrameOnce) {
    // Frames of 250 bytes in packets of 100 (three packets a frame). The
    // first packet of frame 1 is lost: its other packets never make a record.
    StreamPlan plan;
    plan.frlen = 250;
    plan.max_payload = 100;
    Bytes all = write_stream(plan, 3);
    size_t a = 136, c = 86;  // sizes of full and last packets
    Bytes f0(all.begin(), all.begin() + 2 * a + c);
    Bytes f1_rest(all.begin() + 3 * a + c, all.begin() + 4 * a + 2 * c);
    Bytes f2(all.begin() + 4 * a + 2 * c, all.end());
    auto out = feed_all({f0, f1_rest, f2});
    expect_frames(out, {0, 2});
    EXPECT_TRUE(log.has("frame idx not consist (prev=0, cur=1)"));
    EXPECT_TRUE(log.has("skip packet: no frame to continue (sidx=4, fridx=1)"));
    EXPECT_EQ(st().fr_discarded, 1u);
    // Frame 1's second packet, skipped on the way to the third; the third's
    // payload ends in 0xFB 0x98 and 14 bytes, held as a possible header.
    EXPECT_EQ(st().bytes_skipped, 100u);
    EXPECT_TRUE(log.has("partial stream hdr found: 16 bytes"));
    EXPECT_FALSE(log.has("frame bound met"));
}

TEST_F(StreamDiscard, FramesAcrossPacketEndsNeverComeOutShifted) {
    // Packets filled to 80 bytes with 30-byte frames end inside frames.
    // A packet longer than its frame must hold whole frames, and one that
    // continues a frame must carry that frame's index, so the reassembler
    // refuses all but the last packet (60 bytes, frames 8 and 9); what
    // matters is that no frame cut from the middle of another is ever
    // handed out.
    StreamPlan plan;
    plan.frlen = 30;
    plan.max_payload = 80;
    plan.cross_packets = true;
    auto out = feed_all({write_stream(plan, 10)});
    for (const Frame &f : out) EXPECT_EQ(f.bytes, frame_bytes(f.hdr.fridx, 30)) << f.hdr.fridx;
    expect_frames(out, {8, 9});

    // The same after a reset, starting with a packet that continues a frame.
    tq_stream_reset(s.get());
    ASSERT_EQ(s->discarding, 0);
    Bytes all = write_stream(plan, 10);
    out = feed_all({Bytes(all.begin() + 2 * 116, all.end())});
    for (const Frame &f : out) EXPECT_EQ(f.bytes, frame_bytes(f.hdr.fridx, 30)) << f.hdr.fridx;
    expect_frames(out, {8, 9});
    EXPECT_EQ(st().fr_discarded, 1u);
}

TEST_F(StreamDiscard, FrameBoundBeforeFrameCompleteDropsIt) {
    auto out = feed_all({cat({part(0, 1, 0), part(1, 1, 1)}), whole_frame(2, 2)});
    expect_frames(out, {2});
    EXPECT_TRUE(log.has(
        "[DBG] [tq_stream_feed_input] discard frame: frame bound met, prev not complete\n"));
    EXPECT_TRUE(log.has("[DBG] [_discard_cur_frame] discard frame: idx = 1\n"));
    EXPECT_EQ(st().fr_discarded, 1u);
    EXPECT_EQ(st().bytes_skipped, 200u);
}

TEST_F(StreamDiscard, PayloadChecksumMismatchDropsFrameAndPacket) {
    Bytes bad = part(4, 1, 1, true);
    bad[36 + 17] ^= 0x40;  // damage the payload, keep the header
    auto out = feed_all({whole_frame(0, 0, true), part(3, 1, 0, true), bad, part(5, 1, 2, true),
                         whole_frame(6, 2, true)});
    expect_frames(out, {0, 2});
    EXPECT_TRUE(log.has("[TRC] [tq_stream_feed_input] check data checksum: sidx=4\n"));
    EXPECT_TRUE(log.has(
        "[DBG] [tq_stream_feed_input] discard frame: verify data checksum failed: sidx=4\n"));
    EXPECT_TRUE(log.has("[_discard_cur_frame] discard frame: idx = 1\n"));
    EXPECT_EQ(st().fr_discarded, 1u);
    // The 100 bytes of frame 1 taken before the bad packet, then the last
    // packet's payload skipped while waiting for a frame start.
    EXPECT_EQ(st().bytes_skipped, 200u);
}

TEST_F(StreamDiscard, ChecksumOverPiecesCutInsideWords) {
    Bytes b = whole_frame(0, 4, true);
    // Cuts at odd offsets inside every packet's payload.
    std::vector<size_t> cuts;
    for (size_t c = 37; c < b.size(); c += 7) cuts.push_back(c);
    auto out = feed_cut_at(s.get(), b, cuts);
    expect_frames(out, {4});
    EXPECT_EQ(st().fr_discarded, 0u);
    EXPECT_EQ(log.count("check data checksum"), 3);
}

TEST_F(StreamDiscard, ChecksumLeavesOutTrailingBytesOfOddPayload) {
    Bytes f = frame_bytes(3, 10);
    PacketSpec p = pkt(0, 10, 3, true);
    p.with_dsum = true;
    p.dsum_set = true;
    p.dsum = payload_sum(f.data(), 8);  // bytes 8 and 9 are not summed
    Bytes b;
    append_packet(b, p, f);
    auto out = feed_all({b});
    expect_frames(out, {3});
}

std::atomic<int> g_allocs_left{0};
void *failing_alloc(size_t n) {
    if (g_allocs_left.fetch_sub(1) <= 0) return nullptr;
    return std::malloc(n);
}

TEST_F(StreamDiscard, RecordAllocationFailureDropsRestOfPiece) {
    // Eight frames of 10 bytes in one packet; the third record fails.
    StreamPlan plan;
    plan.frlen = 10;
    plan.max_payload = 80;
    uint16_t next = 0;
    Bytes b = write_stream(plan, 8, &next);
    Bytes tail(20, 0x44);
    b.insert(b.end(), tail.begin(), tail.end());
    g_allocs_left = 2;
    stream::set_record_alloc(failing_alloc);
    feed(s.get(), b);
    stream::set_record_alloc(nullptr);
    EXPECT_TRUE(log.has("[ERR] [_fr_node_add_data] malloc failed: " +
                        std::to_string(sizeof(tq_fr_node) + 10) + " bytes\n"));
    auto out = drain(s.get());
    expect_frames(out, {0, 1});
    // 60 bytes of payload not placed and the 20 that followed in the piece.
    EXPECT_EQ(st().bytes_skipped, 80u);
    EXPECT_EQ(s->discarding, 1);
    EXPECT_EQ(stream::audit(s.get()), "");

    // A continuation is skipped; the next frame start is taken.
    PacketSpec cont = pkt(next, 10, 8, false);
    Bytes c;
    append_packet(c, cont, frame_bytes(8, 10).data(), 5);
    plan.first_sidx = static_cast<uint16_t>(next + 1);
    plan.first_frame = 9;
    out = feed_all({c, write_stream(plan, 2)});
    expect_frames(out, {9, 10});
}

TEST_F(StreamDiscard, FailedPartialHeaderIsDroppedAndPieceSearchedFromStart) {
    Bytes ends_like_header = {0x10, 0x20, 0xFB, 0x98, 0x00};
    Bytes b = whole_frame(0, 6);
    auto out = feed_all({ends_like_header, b});
    expect_frames(out, {6});
    EXPECT_TRUE(log.has("partial stream hdr found: 3 bytes"));
    EXPECT_EQ(st().bytes_skipped, 0u);
    EXPECT_FALSE(log.has("sync hdr: skip"));
}

TEST_F(StreamDiscard, GarbageInsideOnePieceIsSkippedAndCounted) {
    Bytes junk = {0x00, 0xFB, 0x00, 0xFB, 0x98, 0x01, 0x02};
    Bytes b = cat({whole_frame(0, 1), junk, whole_frame(3, 2)});
    auto out = feed_all({b});
    expect_frames(out, {1, 2});
    EXPECT_TRUE(log.has("[TRC] [tq_stream_feed_input] sync hdr: skip 7 bytes\n"));
    EXPECT_EQ(st().bytes_skipped, 7u);
    EXPECT_EQ(st().fr_discarded, 0u);
}

TEST_F(StreamDiscard, ZeroLengthPacketCompletesAtOnce) {
    Bytes b;
    append_packet(b, pkt(0, 10, 1, true), nullptr, 0);
    Bytes rest = cat({part(1, 2, 0), part(2, 2, 1), part(3, 2, 2)});
    auto out = feed_all({cat({b, rest})});
    expect_frames(out, {2});
}

TEST_F(StreamDiscard, PacketLongerThanItsFrameButNotWholeFramesIsRefused) {
    // One frame of 100 bytes per packet; packet 1 claims the largest
    // length. Taken at its word, it would cut the next megabyte, later
    // headers included, into frames. Legal packets of whole frames around
    // it still count.
    Bytes b;
    for (uint16_t k = 0; k < 8; ++k) {
        PacketSpec p = pkt(k, 100, k, true);
        if (k == 1) {
            p.len_set = true;
            p.len = 0xFFFFF;
        }
        append_packet(b, p, frame_bytes(k, 100));
    }
    Bytes f8 = frame_bytes(8, 100), f9 = frame_bytes(9, 100);
    f8.insert(f8.end(), f9.begin(), f9.end());
    append_packet(b, pkt(8, 100, 8, true), f8);
    auto out = feed_all({b});
    expect_frames(out, {0, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_TRUE(
        log.has("[ERR] [tq_stream_feed_input] packet refused: len 1048575 is not a whole "
                "number of 100-byte frames (sidx=1)\n"));
    EXPECT_EQ(st().fr_discarded, 1u);
}

}  // namespace
}  // namespace tarvo::test
