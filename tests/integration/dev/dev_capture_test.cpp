// Capture delivery paths end to end: blocking and non-blocking collection,
// snapshots, the frame-ready callback during tarvo_cap_wait, and the error
// callback, with frames checked byte for byte against the camera's pattern.
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "dev_sim.h"

namespace {

using namespace devtest;

class DevCapture : public SimTest {
  protected:
    tarvo_dev_t *open_cam(const tarvo::sim::CameraConfig &cfg) {
        cam_ = std::make_unique<tarvo::sim::Camera>(make_bus(cfg));
        len_ = frame_len(cfg);
        return open_first(&rec_);
    }
    std::unique_ptr<tarvo::sim::Camera> cam_;
    uint32_t len_ = 0;
};

// What the callbacks saw; the callbacks are plain C function pointers.
struct Seen {
    std::mutex m;
    std::vector<uint16_t> idx;
    std::vector<const uint8_t *> data;
    size_t bad = 0;
    std::thread::id thread;
    uint32_t len = 0;
    size_t stop_after = 0;
    std::vector<std::pair<int, int>> errors;
    bool err_result = true;
};
Seen g_seen;

void reset_seen(uint32_t len) {
    std::lock_guard<std::mutex> lock(g_seen.m);
    g_seen.idx.clear();
    g_seen.data.clear();
    g_seen.bad = 0;
    g_seen.len = len;
    g_seen.stop_after = 0;
    g_seen.errors.clear();
    g_seen.err_result = true;
}

void on_frame(tarvo_dev_t *dev, tarvo_frame_t *fr) {
    size_t n;
    {
        std::lock_guard<std::mutex> lock(g_seen.m);
        g_seen.idx.push_back(fr->frame_info.frame_idx);
        g_seen.data.push_back(fr->frame_data);
        if (!is_frame(fr->frame_data, g_seen.len, fr->frame_info.frame_idx, g_seen.len))
            ++g_seen.bad;
        g_seen.thread = std::this_thread::get_id();
        n = g_seen.idx.size();
    }
    if (g_seen.stop_after && n == g_seen.stop_after) tarvo_cap_stop(dev);
}

bool on_error(tarvo_dev_t *, int err, int arg) {
    std::lock_guard<std::mutex> lock(g_seen.m);
    g_seen.errors.emplace_back(err, arg);
    return g_seen.err_result;
}

TEST_F(DevCapture, BlockingCollectionPlacesFramesInOrder) {
    tarvo_dev_t *dev = open_cam(ti_camera(50));
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(tarvo_cap_get_frames(dev, 3, nullptr, 0, nullptr), -2);  // no capture yet
    ASSERT_TRUE(tarvo_cap_start(dev));
    EXPECT_TRUE(tarvo_cap_is_ongoing(dev));
    EXPECT_EQ(tarvo::dev::fps_cache().load(), 50u);
    EXPECT_TRUE(log_has("[_tarvo_param_batch_get] get 1 param\n"));
    EXPECT_TRUE(log_has("[_tarvo_cap_start] issue start cmd\n"));

    std::vector<uint8_t> buf(3 * len_ + 16, 0xEE);
    tarvo_frame_info_t info = {};
    ASSERT_EQ(tarvo_cap_get_frames(dev, 3, buf.data(), 3 * len_, &info), 3);
    EXPECT_EQ(info.frame_size, len_);
    EXPECT_EQ(info.width, 320u);  // what the TI driver reports
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.frame_bpp, 4);
    for (uint32_t k = 0; k < 3; ++k)
        EXPECT_TRUE(is_frame(buf.data() + k * len_, len_, info.frame_idx + k, len_)) << k;
    EXPECT_EQ(buf[3 * len_], 0xEE);  // nothing written past the room given

    // The next call goes on where this one stopped.
    tarvo_frame_info_t next = {};
    ASSERT_EQ(tarvo_cap_get_frames(dev, 1, buf.data(), len_, &next), 1);
    EXPECT_EQ(next.frame_idx, static_cast<uint16_t>(info.frame_idx + 3));
    EXPECT_EQ(tarvo_cap_get_frames(dev, 0, buf.data(), len_, nullptr), -1);
    EXPECT_EQ(dev->api_busy, 0);

    EXPECT_TRUE(tarvo_cap_stop(dev));
    EXPECT_FALSE(tarvo_cap_is_ongoing(dev));
    EXPECT_FALSE(cam_->capturing());
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, buf.data(), len_, nullptr), -2);
}

TEST_F(DevCapture, FramesAreCutToTheRoomLeft) {
    tarvo_dev_t *dev = open_cam(ti_camera(50));
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(tarvo_cap_start(dev));

    // Room for one and a half frames: the first is placed whole, the second
    // is cut and the position stays, so the third lands on the same spot.
    std::vector<uint8_t> buf(len_ + len_ / 2 + 8, 0xEE);
    tarvo_frame_info_t info = {};
    ASSERT_EQ(tarvo_cap_get_frames(dev, 3, buf.data(), len_ + len_ / 2, &info), 3);
    EXPECT_TRUE(is_frame(buf.data(), len_, info.frame_idx, len_));
    EXPECT_TRUE(is_frame(buf.data() + len_, len_ / 2, info.frame_idx + 2, len_));
    EXPECT_EQ(buf[len_ + len_ / 2], 0xEE);

    // Smaller than one frame: every frame's first bytes at the start.
    std::vector<uint8_t> small(len_ / 4 + 8, 0xEE);
    ASSERT_EQ(tarvo_cap_get_frames(dev, 2, small.data(), len_ / 4, &info), 2);
    EXPECT_TRUE(is_frame(small.data(), len_ / 4, info.frame_idx + 1, len_));
    EXPECT_EQ(small[len_ / 4], 0xEE);
}

TEST_F(DevCapture, TimeOutFollowsTheFrameRateCache) {
    tarvo::sim::CameraConfig cfg = ti_camera(50);
    tarvo_dev_t *dev = open_cam(cfg);
    ASSERT_NE(dev, nullptr);
    cam_->add_stream_fault({tarvo::sim::StreamFault::Kind::silence, 0, 1, 0});
    ASSERT_TRUE(tarvo_cap_start(dev));
    std::vector<uint8_t> buf(2 * len_);

    // 1 x 100 + 1 x 20 + 2000 ms at 50 frames per second.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, buf.data(), len_, nullptr), 0);
    int64_t ms = ms_since(t0);
    EXPECT_GE(ms, 2100);
    EXPECT_LT(ms, 3000);  // generous: a loaded machine wakes late
    EXPECT_TRUE(log_has("[_tarvo_cap_get_frames]  timeout ... (Connection timed out)\n"));

    // An unknown rate counts as 20 frames per second: 2 x 100 + 2 x 50 + 2000.
    tarvo::dev::fps_cache().store(0);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(tarvo_cap_get_frames(dev, 2, buf.data(), 2 * len_, nullptr), 0);
    ms = ms_since(t0);
    EXPECT_GE(ms, 2280);
    EXPECT_LT(ms, 3200);
    EXPECT_EQ(tarvo::dev::fps_cache().load(), 20u);
}

TEST_F(DevCapture, NonBlockingCollectionNeverWaits) {
    tarvo_dev_t *dev = open_cam(ti_camera(10));
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> buf(len_);
    tarvo_dev_t closed = {};
    EXPECT_EQ(tarvo_cap_get_frame(&closed, buf.data(), len_, nullptr), -1);
    EXPECT_EQ(tarvo_cap_get_frame(dev, buf.data(), len_, nullptr), -2);
    ASSERT_TRUE(tarvo_cap_start(dev));
    ASSERT_TRUE(cam_->wait_for(
        [](const tarvo::sim::Camera &c) { return c.stats().frames_sent >= 3; }, 3000));
    tarvo::sim::Camera &cam = *cam_;
    ASSERT_TRUE(cam.wait_for(
        [&](const tarvo::sim::Camera &) { return stream_state(dev).fr_ready >= 2; }, 2000));

    std::vector<uint16_t> got;
    int zeros = 0;
    auto t0 = std::chrono::steady_clock::now();
    while (got.size() < 4 && ms_since(t0) < 3000) {
        tarvo_frame_info_t info = {};
        int r = tarvo_cap_get_frame(dev, buf.data(), len_, &info);
        ASSERT_GE(r, 0);
        if (r == 0) {
            ++zeros;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        EXPECT_TRUE(is_frame(buf.data(), len_, info.frame_idx, len_));
        got.push_back(info.frame_idx);
    }
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<uint16_t>(got[0] + i));
    // At 10 frames per second the ring runs dry between frames.
    EXPECT_GT(zeros, 0);
    // Each call returns at once.
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) tarvo_cap_get_frame(dev, buf.data(), len_, nullptr);
    EXPECT_LT(ms_since(t0), 500);
}

TEST_F(DevCapture, SnapshotWithAndWithoutARunningCapture) {
    tarvo_dev_t *dev = open_cam(ti_camera(50));
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> buf(len_);
    tarvo_frame_info_t info = {};
    ASSERT_TRUE(tarvo_cap_snapshot(dev, buf.data(), len_, &info));
    EXPECT_TRUE(is_frame(buf.data(), len_, info.frame_idx, len_));
    EXPECT_FALSE(tarvo_cap_is_ongoing(dev));
    EXPECT_FALSE(cam_->capturing());
    EXPECT_EQ(cam_->stats().captures_started, 1u);
    EXPECT_EQ(cam_->stats().captures_stopped, 1u);

    ASSERT_TRUE(tarvo_cap_start(dev));
    ASSERT_TRUE(tarvo_cap_snapshot(dev, buf.data(), len_, &info));
    EXPECT_TRUE(is_frame(buf.data(), len_, info.frame_idx, len_));
    EXPECT_TRUE(tarvo_cap_is_ongoing(dev));
    EXPECT_EQ(cam_->stats().captures_started, 2u);

    tarvo_dev_t closed = {};
    EXPECT_FALSE(tarvo_cap_snapshot(&closed, buf.data(), len_, &info));
    EXPECT_TRUE(log_has("[tarvo_cap_snapshot] wrong parameters\n"));
}

TEST_F(DevCapture, FrameReadyCallbackRunsDuringWait) {
    tarvo_dev_t *dev = open_cam(ti_camera(100));
    ASSERT_NE(dev, nullptr);
    reset_seen(len_);
    EXPECT_FALSE(tarvo_cap_wait(dev, 100));  // no capture
    EXPECT_TRUE(log_has("[tarvo_cap_wait] device is not capturing\n"));
    ASSERT_TRUE(tarvo_cap_set_callback_on_frame_ready(dev, on_frame));
    EXPECT_TRUE(log_has("[tarvo_cap_set_callback_on_frame_ready] set on_cap_frdy to 0x"));

    // A wait with a limit hands out frames and then times out.
    ASSERT_TRUE(tarvo_cap_start(dev));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(tarvo_cap_wait(dev, 400));
    EXPECT_GE(ms_since(t0), 390);
    EXPECT_TRUE(log_has("[tarvo_cap_wait]  timeout ...\n"));
    {
        std::lock_guard<std::mutex> lock(g_seen.m);
        EXPECT_GE(g_seen.idx.size(), 10u);
        EXPECT_EQ(g_seen.bad, 0u);
        EXPECT_EQ(g_seen.thread, std::this_thread::get_id());
        // Oldest first; a frame is missing only when a full ring dropped it.
        uint32_t gaps = 0;
        for (size_t i = 1; i < g_seen.idx.size(); ++i) {
            uint16_t step = static_cast<uint16_t>(g_seen.idx[i] - g_seen.idx[i - 1]);
            EXPECT_GE(step, 1);
            gaps += step - 1u;
        }
        EXPECT_LE(gaps, stream_state(dev).fr_overflow);
    }
    EXPECT_TRUE(log_has(" spends: "));
    EXPECT_TRUE(log_has("[_cap_handle_rdy_data] frdy cb ("));

    // Without a limit the wait ends when the capture ends: here the
    // callback stops it from inside.
    EXPECT_TRUE(tarvo_cap_stop(dev));
    reset_seen(len_);
    g_seen.stop_after = 6;
    ASSERT_TRUE(tarvo_cap_start(dev));
    EXPECT_TRUE(tarvo_cap_wait(dev, 0));
    EXPECT_FALSE(tarvo_cap_is_ongoing(dev));
    {
        std::lock_guard<std::mutex> lock(g_seen.m);
        EXPECT_GE(g_seen.idx.size(), 6u);
        EXPECT_EQ(g_seen.bad, 0u);
    }

    // Collecting into a buffer: the callback sees the frames where they
    // were placed.
    reset_seen(len_);
    ASSERT_TRUE(tarvo_cap_start(dev));
    std::vector<uint8_t> buf(2 * len_);
    ASSERT_EQ(tarvo_cap_get_frames(dev, 2, buf.data(), 2 * len_, nullptr), 2);
    {
        std::lock_guard<std::mutex> lock(g_seen.m);
        ASSERT_EQ(g_seen.data.size(), 2u);
        EXPECT_EQ(g_seen.data[0], buf.data());
        EXPECT_EQ(g_seen.data[1], buf.data() + len_);
    }
    ASSERT_TRUE(tarvo_cap_set_callback_on_frame_ready(dev, nullptr));
    tarvo_dev_t closed = {};
    EXPECT_FALSE(tarvo_cap_set_callback_on_frame_ready(&closed, on_frame));
}

TEST_F(DevCapture, OneCollectingCallAtATime) {
    tarvo_dev_t *dev = open_cam(ti_camera(5));
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(tarvo_cap_start(dev));
    std::vector<uint8_t> buf(4 * len_), other(len_);
    // 4 frames at 5 per second: the first call collects for most of a second.
    auto first = std::async(std::launch::async, [&] {
        return tarvo_cap_get_frames(dev, 4, buf.data(), 4 * len_, nullptr);
    });
    ASSERT_TRUE(cam_->wait_for(
        [&](const tarvo::sim::Camera &) {
            return std::atomic_ref<tarvo_cap_req_t *>(ctx(dev)->cap_req).load() != nullptr;
        },
        3000));
    EXPECT_EQ(tarvo_cap_get_frame(dev, other.data(), len_, nullptr), -1);
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, other.data(), len_, nullptr), -1);
    EXPECT_FALSE(tarvo_cap_wait(dev, 100));
    EXPECT_TRUE(log_has("[_tarvo_cap_get_frames] another collecting call is in progress\n"));
    EXPECT_EQ(first.get(), 4);
    EXPECT_EQ(std::atomic_ref<tarvo_cap_req_t *>(ctx(dev)->cap_req).load(), nullptr);
    EXPECT_EQ(tarvo_cap_get_frames(dev, 1, other.data(), len_, nullptr), 1);
}

// Frames 1, 3 and 5 are damaged in the middle (three packets per frame):
// a bad header checksum, a bad payload checksum, a missing packet.
void damage_three_frames(tarvo::sim::Camera &cam) {
    using K = tarvo::sim::StreamFault::Kind;
    cam.add_stream_fault({K::corrupt_header, 4, 1, 0});
    cam.add_stream_fault({K::corrupt_payload, 10, 1, 0});
    cam.add_stream_fault({K::drop, 16, 1, 0});
}

TEST_F(DevCapture, DiscardsAreReportedWithTheirTotal) {
    tarvo_dev_t *dev = open_cam(ti_camera(100));
    ASSERT_NE(dev, nullptr);
    reset_seen(len_);
    ASSERT_TRUE(tarvo_cap_set_callback_on_error(dev, on_error));
    damage_three_frames(*cam_);
    ASSERT_TRUE(tarvo_cap_start(dev));

    std::vector<uint8_t> buf(10 * len_);
    tarvo_frame_info_t info = {};
    ASSERT_EQ(tarvo_cap_get_frames(dev, 10, buf.data(), 10 * len_, &info), 10);
    std::vector<uint16_t> idx;
    for (uint32_t k = 0; k < 10; ++k) {
        // Every frame handed out is whole and undamaged.
        uint16_t f = 0xFFFF;
        for (uint16_t c = 0; c < 20; ++c)
            if (is_frame(buf.data() + k * len_, len_, c, len_)) f = c;
        idx.push_back(f);
    }
    EXPECT_EQ(idx, (std::vector<uint16_t>{0, 2, 4, 6, 7, 8, 9, 10, 11, 12}));
    {
        std::lock_guard<std::mutex> lock(g_seen.m);
        ASSERT_FALSE(g_seen.errors.empty());
        EXPECT_EQ(g_seen.errors.back(), std::make_pair(3, 3));
        for (auto &e : g_seen.errors) EXPECT_EQ(e.first, 3);
    }
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->discard_total), 3u);
    EXPECT_EQ(stream_state(dev).fr_discarded, 3u);
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_err), 0);  // cleared by the callback
    EXPECT_TRUE(log_has("[on_capture_event] trans discard 1 frames\n"));
    size_t damaged = 0;
    for (auto &f : cam_->frames()) damaged += f.damaged;
    EXPECT_EQ(damaged, 3u);

    // Without an error callback the discard stays pending as error 3 and
    // is no reason to refuse frames.
    ASSERT_TRUE(tarvo_cap_set_callback_on_error(dev, nullptr));
    cam_->clear_stream_faults();
    damage_three_frames(*cam_);
    ASSERT_TRUE(tarvo_cap_start(dev));
    ASSERT_EQ(tarvo_cap_get_frames(dev, 10, buf.data(), 10 * len_, nullptr), 10);
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_err), 3);
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_err_arg), 3);
}

TEST_F(DevCapture, ErrorCallbackReturningFalseStopsDeliveryUntilTheNextStart) {
    tarvo_dev_t *dev = open_cam(ti_camera(100));
    ASSERT_NE(dev, nullptr);
    reset_seen(len_);
    g_seen.err_result = false;
    ASSERT_TRUE(tarvo_cap_set_callback_on_error(dev, on_error));
    cam_->add_stream_fault({tarvo::sim::StreamFault::Kind::drop, 4, 1, 0});
    ASSERT_TRUE(tarvo_cap_start(dev));

    std::vector<uint8_t> buf(8 * len_);
    int n = tarvo_cap_get_frames(dev, 8, buf.data(), 8 * len_, nullptr);
    EXPECT_GE(n, 0);
    EXPECT_LT(n, 8);
    EXPECT_TRUE(log_has("[_cap_handle_rdy_data] error cb return false to stop capture\n"));
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_forced_stop), 1);

    // The camera keeps streaming, nothing is handed out, and the capture
    // still counts as ongoing until it is stopped or restarted.
    ASSERT_TRUE(cam_->wait_for(
        [](const tarvo::sim::Camera &c) { return c.stats().frames_sent >= 20; }, 3000));
    EXPECT_TRUE(cam_->capturing());
    EXPECT_TRUE(tarvo_cap_is_ongoing(dev));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(tarvo_cap_get_frames(dev, 2, buf.data(), 2 * len_, nullptr), 0);
    EXPECT_EQ(tarvo_cap_get_frame(dev, buf.data(), len_, nullptr), 0);
    EXPECT_LT(ms_since(t0), 500);
    {
        std::lock_guard<std::mutex> lock(g_seen.m);
        EXPECT_EQ(g_seen.errors.size(), 1u);
    }

    // A start without a stop in between restarts the capture and delivers
    // again.
    cam_->clear_stream_faults();
    ASSERT_TRUE(tarvo_cap_start(dev));
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_forced_stop), 0);
    EXPECT_EQ(tarvo_cap_get_frames(dev, 3, buf.data(), 3 * len_, nullptr), 3);
}

}  // namespace
