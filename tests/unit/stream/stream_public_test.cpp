// The reassembler through the shared library and the public header only:
// every entry point is exported and behaves as documented there.
#include <gtest/gtest.h>

#include "packet_writer.h"
#include "tarvo/tarvo.h"

namespace tarvo::test {
namespace {

TEST(StreamPublic, FramesGoInAndComeOut) {
    tq_stream_cfg_t cfg{2};
    tq_stream_t *s = tq_stream_create(&cfg);
    ASSERT_NE(s, nullptr);
    tq_stream_cfg_t back{};
    tq_stream_get_cfg(s, &back);
    EXPECT_EQ(back.fbuf_frames, 2u);
    cfg.fbuf_frames = 3;
    tq_stream_set_cfg(s, &cfg);

    StreamPlan plan;
    plan.frlen = 64;
    plan.max_payload = 128;
    Bytes b = write_stream(plan, 4);
    EXPECT_TRUE(tq_stream_feed_input(s, b.data(), static_cast<int>(b.size())));

    tq_stream_state_t st{};
    ASSERT_EQ(tq_stream_get_state(s, &st), &st);
    EXPECT_EQ(st.fr_queued, 4u);
    EXPECT_EQ(st.fr_ready, 3u);
    EXPECT_EQ(st.fr_overflow, 1u);

    Bytes out(3 * 64);
    tq_frame_hdr_t h{};
    EXPECT_EQ(tq_stream_fetch_frames(s, out.data(), 3 * 64, 3, &h, true), 3u);
    EXPECT_EQ(tq_stream_fetch_frames(s, out.data(), 3 * 64, 3, &h, false), 3u);
    EXPECT_EQ(h.fridx, 1);
    EXPECT_EQ(h.frfmt, plan.frfmt);
    Bytes want;
    for (uint32_t i = 1; i < 4; ++i) {
        Bytes f = frame_bytes(i, 64);
        want.insert(want.end(), f.begin(), f.end());
    }
    EXPECT_EQ(out, want);

    tq_stream_reset(s);
    ASSERT_EQ(tq_stream_get_state(s, &st), &st);
    EXPECT_EQ(st.fr_queued, 0u);
    tq_stream_destroy(s);
}

}  // namespace
}  // namespace tarvo::test
