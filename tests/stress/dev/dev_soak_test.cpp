// Soak: 20,000 frames (TARVO_SOAK_FRAMES overrides) from a camera that
// sends as fast as the host reads, with collecting calls, non-blocking
// polls and frame-ready callbacks mixed, the capture stopped and restarted
// every few hundred frames, and the camera pulled once half-way and
// plugged back. After every capture the books must balance: each frame
// the reassembler queued was handed out, dropped from a full ring
// (counted) or is still in the ring; gaps in the frame indices handed out
// are covered by the counted drops; and every frame handed out carries its
// own bytes. Every call returns within its documented bound. Run it under
// AddressSanitizer: LeakSanitizer checks the end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "api/dev_ctx.h"
#include "platform/platform.h"
#include "tarvo/tarvo.h"
#include "tarvo_sim/sim.h"

namespace {

constexpr uint32_t k_check_bytes = 64;
// A collecting call of 8 frames waits at most 8 x 100 + 8 x (1000 / fps) +
// 2000 ms; fps is 20 at the slowest the library assumes.
constexpr int64_t k_get8_ms = 8 * 100 + 8 * 50 + 2000;
constexpr int64_t k_command_ms = 2000;  // start, stop: two commands
constexpr int64_t k_close_ms = 3500;
constexpr int64_t k_slack_ms = 500;  // scheduling on a loaded machine

uint64_t total_frames() {
    const char *v = std::getenv("TARVO_SOAK_FRAMES");
    return v && std::atoi(v) > 0 ? static_cast<uint64_t>(std::atoi(v)) : 20000;
}

// Runs `f` and checks it returned within `bound_ms`; returns its result.
template <class F>
auto timed(const char *what, int64_t bound_ms, F f) {
    const auto t0 = std::chrono::steady_clock::now();
    auto r = f();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_LE(ms, bound_ms + k_slack_ms) << what;
    return r;
}

// What one capture handed out.
struct Books {
    std::mutex m;
    std::vector<uint16_t> idx;
    uint32_t bad = 0;
    uint32_t len = 0;
    uint32_t stop_after = 0;
    bool count_callbacks = false;
};
Books g_books;

bool frame_ok(const uint8_t *p, uint16_t fridx) {
    uint8_t want[k_check_bytes];
    tarvo::sim::test_pattern(fridx, want);
    return std::equal(want, want + k_check_bytes, p);
}

void note(uint16_t idx, const uint8_t *p) {
    std::lock_guard<std::mutex> lock(g_books.m);
    g_books.idx.push_back(idx);
    if (!frame_ok(p, idx)) ++g_books.bad;
}

// Frames of one collecting call: info_out names the first frame; the others
// follow in order, with gaps where a full ring dropped frames meanwhile.
void note_collected(const uint8_t *buf, int n, uint16_t idx, uint32_t len) {
    for (int k = 0; k < n; ++k) {
        const uint8_t *p = buf + static_cast<size_t>(k) * len;
        for (int skip = 0; k > 0 && skip < 256 && !frame_ok(p, idx); ++skip) ++idx;
        note(idx, p);
        ++idx;
    }
}

void on_frame(tarvo_dev_t *dev, tarvo_frame_t *fr) {
    if (!g_books.count_callbacks) return;
    note(fr->frame_info.frame_idx, fr->frame_data);
    size_t n;
    {
        std::lock_guard<std::mutex> lock(g_books.m);
        n = g_books.idx.size();
    }
    if (n == g_books.stop_after) tarvo_cap_stop(dev);
}

TEST(DevSoak, FramesWithRestartsAndOneUnplug) {
    tarvo::sim::CameraConfig cfg;
    cfg.product = "TarvoSim-T0-1.0";
    cfg.stream.width = 320;
    cfg.stream.height = 120;
    cfg.stream.frame_bytes = 320 * 120 * 2;
    cfg.stream.packet_payload = 16384;  // five packets per frame
    cfg.stream.paced = false;
    auto bus = std::make_unique<tarvo::sim::Bus>(1, cfg);
    tarvo::sim::Camera cam = bus->camera(0);
    std::remove("dev_soak.log");
    tarvo_init("dev_soak.log");
    tarvo_log_cfg(TQ_LOG_ERR, TQ_LOG_WRN, TQ_LOG_OFF);

    const uint64_t total = total_frames();
    tarvo_dev_t rec = {};
    tarvo_dev_t *dev = tarvo_dev_open(&rec);
    ASSERT_NE(dev, nullptr);
    const uint32_t len = tarvo::sim::frame_length(cfg.stream);
    g_books.len = len;
    std::vector<uint8_t> buf(8 * static_cast<size_t>(len));

    uint64_t delivered = 0, overflow = 0, cycles = 0;
    bool unplugged = false;
    while (delivered < total) {
        if (!unplugged && delivered >= total / 2) {
            // Pull the camera while collecting calls run: the capture ends
            // with an error, the record closes in time, and opens again once
            // the camera is back.
            unplugged = true;
            ASSERT_TRUE(tarvo_cap_set_callback_on_frame_ready(dev, nullptr));
            {
                std::lock_guard<std::mutex> lock(g_books.m);
                g_books.bad = 0;
                g_books.idx.clear();
            }
            ASSERT_TRUE(timed("start", k_command_ms, [&] { return tarvo_cap_start(dev); }));
            int r = 0, calls = 0;
            for (; r >= 0 && calls < 50; ++calls) {
                if (calls == 3) cam.unplug();
                tarvo_frame_info_t info = {};
                r = timed("get_frames", k_get8_ms,
                          [&] { return tarvo_cap_get_frames(dev, 8, buf.data(), 8 * len, &info); });
                if (r > 0) note_collected(buf.data(), r, info.frame_idx, len);
            }
            {
                std::lock_guard<std::mutex> lock(g_books.m);
                EXPECT_EQ(g_books.bad, 0u);
                delivered += g_books.idx.size();
                g_books.idx.clear();
            }
            EXPECT_LT(r, 0) << "the capture went on " << calls << " calls after the unplug";
            timed("close", k_close_ms, [&] { return (tarvo_dev_close(dev), 0); });
            cam.replug();
            dev = timed("reopen", 2 * k_command_ms, [&] { return tarvo_dev_open(&rec); });
            ASSERT_EQ(dev, &rec) << "no reopen after the replug";
            continue;
        }
        const uint32_t target = 200 + static_cast<uint32_t>((cycles * 37) % 300);
        const int mode = static_cast<int>(cycles % 3);
        {
            std::lock_guard<std::mutex> lock(g_books.m);
            g_books.idx.clear();
            g_books.bad = 0;
            g_books.stop_after = mode == 1 ? target : 0;
            g_books.count_callbacks = mode != 0;
        }
        ASSERT_TRUE(tarvo_cap_set_callback_on_frame_ready(dev, mode ? on_frame : nullptr));
        uint64_t sent0 = cam.stats().frames_sent;
        ASSERT_TRUE(timed("start", k_command_ms, [&] { return tarvo_cap_start(dev); })) << cycles;

        if (mode == 0) {
            // Collecting calls, several frames per call.
            size_t got = 0;
            while (got < target) {
                tarvo_frame_info_t info = {};
                int n = timed("get_frames", k_get8_ms, [&] {
                    return tarvo_cap_get_frames(dev, 8, buf.data(), 8 * len, &info);
                });
                ASSERT_GE(n, 0) << cycles;
                note_collected(buf.data(), n, info.frame_idx, len);
                got += static_cast<size_t>(n);
            }
            ASSERT_TRUE(timed("stop", k_command_ms, [&] { return tarvo_cap_stop(dev); }));
        } else if (mode == 1) {
            // Callbacks inside tarvo_cap_wait; the callback stops the capture.
            ASSERT_TRUE(timed("wait", 20000, [&] { return tarvo_cap_wait(dev, 20000); })) << cycles;
        } else {
            // Non-blocking polls into a buffer, the callback watching.
            size_t got = 0;
            while (got < target) {
                int n = timed("get_frame", 0,
                              [&] { return tarvo_cap_get_frame(dev, buf.data(), len, nullptr); });
                ASSERT_GE(n, 0) << cycles;
                if (n == 0) {
                    tarvo::platform::sleep_ms(1);
                    continue;
                }
                std::lock_guard<std::mutex> lock(g_books.m);
                got = g_books.idx.size();
            }
            ASSERT_TRUE(timed("stop", k_command_ms, [&] { return tarvo_cap_stop(dev); }));
        }
        ASSERT_FALSE(tarvo_cap_is_ongoing(dev));

        tq_stream_state_t st{};
        tq_stream_get_state(tarvo::dev::ctx_load(dev)->stream, &st);
        uint64_t sent = cam.stats().frames_sent - sent0;
        std::lock_guard<std::mutex> lock(g_books.m);
        const size_t n = g_books.idx.size();
        EXPECT_EQ(g_books.bad, 0u) << cycles;
        EXPECT_EQ(st.fr_discarded, 0u) << cycles;
        EXPECT_EQ(st.fr_queued, st.fr_assembled) << cycles;
        EXPECT_EQ(n + st.fr_overflow + st.fr_ready, st.fr_queued) << cycles;
        // Frames missing between the first and last handed out were
        // dropped from the ring and counted.
        uint32_t gaps = 0;
        for (size_t i = 1; i < n; ++i) {
            uint16_t step = static_cast<uint16_t>(g_books.idx[i] - g_books.idx[i - 1]);
            ASSERT_GE(step, 1) << cycles;
            gaps += step - 1u;
        }
        EXPECT_LE(gaps, st.fr_overflow) << cycles;
        // The camera sent what was assembled, and at most the frames still
        // on their way (transfers, camera queue) when the stop came.
        EXPECT_GE(sent, st.fr_assembled) << cycles;
        EXPECT_LE(sent - st.fr_assembled, 64u) << cycles;
        delivered += n;
        overflow += st.fr_overflow;
        ++cycles;
        if (HasFailure()) break;
    }
    EXPECT_TRUE(unplugged);
    std::printf("soak: %llu frames handed out in %llu captures, %llu dropped from a full ring\n",
                static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(cycles),
                static_cast<unsigned long long>(overflow));
    tarvo_dev_close(dev);
    tarvo_uninit();
    bus.reset();
}

}  // namespace
