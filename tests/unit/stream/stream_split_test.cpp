// A clean stream gives the same frames however it is cut: pieces of every
// size, cuts at every offset (inside headers, payloads and checksum words),
// and random cuts.
#include <random>

#include "stream_test_util.h"

namespace tarvo::test {
namespace {

struct SplitCase {
    const char *name;
    StreamPlan plan;
    uint32_t frames;
};

std::vector<SplitCase> cases() {
    std::vector<SplitCase> v;
    StreamPlan p;
    // Frames over several packets, payload checksums on.
    p.frlen = 300;
    p.max_payload = 100;
    p.with_dsum = true;
    v.push_back({"multi-packet frames", p, 4});
    // Several frames per packet, checksums on, a packet length that is not
    // a multiple of 4.
    p.frlen = 51;
    p.max_payload = 122;
    p.first_sidx = 65534;   // the packet index wraps
    p.first_frame = 65533;  // and so does the frame index
    v.push_back({"frames packed in packets", p, 8});
    // Odd frame length, no checksum.
    p = StreamPlan{};
    p.frlen = 37;
    p.max_payload = 90;
    v.push_back({"odd lengths", p, 7});
    return v;
}

void expect_clean(tq_stream_t *s, const std::vector<Frame> &out, const SplitCase &c,
                  const std::string &how) {
    ASSERT_EQ(out.size(), c.frames) << c.name << ", " << how;
    for (uint32_t k = 0; k < c.frames; ++k) {
        uint32_t index = c.plan.first_frame + k;
        ASSERT_EQ(out[k].hdr.fridx, static_cast<uint16_t>(index)) << c.name << ", " << how;
        ASSERT_EQ(out[k].bytes, frame_bytes(index, c.plan.frlen)) << c.name << ", " << how;
        ASSERT_EQ(out[k].hdr.frlen, c.plan.frlen);
        ASSERT_EQ(out[k].hdr.frfmt, c.plan.frfmt);
        ASSERT_EQ(out[k].hdr.width, c.plan.width);
        ASSERT_EQ(out[k].hdr.height, c.plan.height);
        ASSERT_EQ(out[k].hdr.drv_info[0], 0x2A);
        ASSERT_EQ(out[k].hdr.drv_info[7], 0x7E);
    }
    tq_stream_state_t st = state_of(s);
    ASSERT_EQ(st.fr_discarded, 0u) << c.name << ", " << how;
    ASSERT_EQ(st.bytes_skipped, 0u) << c.name << ", " << how;
    ASSERT_EQ(st.fr_queued, c.frames) << c.name << ", " << how;
    ASSERT_EQ(s->discarding, 0) << c.name << ", " << how;
}

TEST(StreamSplit, WholeStreamInOnePiece) {
    for (const SplitCase &c : cases()) {
        Bytes b = write_stream(c.plan, c.frames);
        StreamPtr s = make_stream(64);
        LogCapture log;
        std::vector<Frame> out = feed_in_pieces(s.get(), b, b.size());
        expect_clean(s.get(), out, c, "one piece");
        EXPECT_FALSE(log.has("discard")) << c.name;
        EXPECT_FALSE(log.has("missing frame")) << c.name;
        EXPECT_FALSE(log.has("skip")) << c.name;
    }
}

TEST(StreamSplit, PiecesOfEverySize) {
    for (const SplitCase &c : cases()) {
        Bytes b = write_stream(c.plan, c.frames);
        for (size_t piece = 1; piece <= b.size(); ++piece) {
            StreamPtr s = make_stream(64);
            std::vector<Frame> out = feed_in_pieces(s.get(), b, piece);
            expect_clean(s.get(), out, c, "pieces of " + std::to_string(piece));
            if (HasFatalFailure()) return;
        }
    }
}

TEST(StreamSplit, OneCutAtEveryOffset) {
    for (const SplitCase &c : cases()) {
        Bytes b = write_stream(c.plan, c.frames);
        for (size_t cut = 1; cut < b.size(); ++cut) {
            StreamPtr s = make_stream(64);
            std::vector<Frame> out = feed_cut_at(s.get(), b, {cut});
            expect_clean(s.get(), out, c, "cut at " + std::to_string(cut));
            if (HasFatalFailure()) return;
        }
    }
}

TEST(StreamSplit, TwoCutsAroundAPacketBoundary) {
    // Both cuts within the end of the first packet and the whole header and
    // first payload words of the second: every header split in three.
    for (const SplitCase &c : cases()) {
        Bytes b = write_stream(c.plan, c.frames);
        size_t second = 36 + (b[4] | b[5] << 8 | b[6] << 16);  // the first packet's len
        for (size_t a = second - 6; a < second + 44; ++a) {
            for (size_t z = a + 1; z < second + 46; ++z) {
                StreamPtr s = make_stream(64);
                std::vector<Frame> out = feed_cut_at(s.get(), b, {a, z});
                expect_clean(s.get(), out, c,
                             "cuts at " + std::to_string(a) + "," + std::to_string(z));
                if (HasFatalFailure()) return;
            }
        }
    }
}

TEST(StreamSplit, RandomCuts) {
    std::mt19937 rng(20240611);
    for (const SplitCase &c : cases()) {
        Bytes b = write_stream(c.plan, c.frames);
        for (int run = 0; run < 300; ++run) {
            std::vector<size_t> cuts;
            size_t pos = 0;
            for (;;) {
                pos += 1 + rng() % (run % 2 ? 7 : 160);
                if (pos >= b.size()) break;
                cuts.push_back(pos);
            }
            StreamPtr s = make_stream(64);
            std::vector<Frame> out = feed_cut_at(s.get(), b, cuts);
            expect_clean(s.get(), out, c, "random run " + std::to_string(run));
            if (HasFatalFailure()) return;
        }
    }
}

TEST(StreamSplit, FramesInARealisticStreamSurviveTransferSizedPieces) {
    // Frames of 614400 bytes in packets of at most 153600, fed in pieces of
    // 153600 bytes as the link delivers them.
    StreamPlan p;
    p.frlen = 614400;
    p.max_payload = 153600;
    p.with_dsum = true;
    p.width = 320;
    p.height = 240;
    SplitCase c{"realistic", p, 3};
    Bytes b = write_stream(p, c.frames);
    StreamPtr s = make_stream(10);
    std::vector<Frame> out = feed_in_pieces(s.get(), b, 153600);
    expect_clean(s.get(), out, c, "transfer pieces");
}

}  // namespace
}  // namespace tarvo::test
