// tarvo_dev_close racing every entry point: another thread keeps calling
// one entry point in a burst while the close runs, and goes on calling
// after it returned. No call may crash, outlive its time limit or succeed
// on the closed record, the close returns within its 3 s wait, and the
// same record opens again. Then tarvo_cap_stop racing frame-ready
// callbacks that run inside tarvo_cap_wait on another thread.
#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "dev_sim.h"
#include "tarvo/tarvo_frame.h"

namespace {

using namespace devtest;

constexpr int k_calls_per_kind = 1000;
constexpr int k_min_cycles = 10;
constexpr int64_t k_limit_ms = 3500;  // the longest documented wait of any call here

class CloseRace : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        const tarvo::sim::CameraConfig cfg = ti_camera(200);
        cam_ = std::make_unique<tarvo::sim::Camera>(make_bus(cfg));
        len_ = frame_len(cfg);
        ASSERT_NE(open_first(&rec_), nullptr);
    }
    tarvo_dev_t rec_ = {};
    std::unique_ptr<tarvo::sim::Camera> cam_;
    uint32_t len_ = 0;
};

// One entry point per kind; each returns whether the call succeeded.
struct Kind {
    const char *name;
    bool capture;  // the capture runs while the burst goes on
    std::function<bool(tarvo_dev_t *)> call;
};

std::vector<Kind> kinds(uint32_t len) {
    static std::vector<uint8_t> frame(len, 0x11), buf(2 * static_cast<size_t>(len));
    static std::vector<float> dist(32 * 24), pcl(3 * 32 * 24);
    static const tarvo_frame_info_t info = {len, 0, 0, 32, 24, 4, 0, 0};
    return {
        {"param get", false,
         [](tarvo_dev_t *d) {
             tarvo_param_item_t it = {TARVO_PARAM_FRAME_RATE, 0, {}};
             return tarvo_param_batch_get(d, &it, 1);
         }},
        {"param set", false,
         [](tarvo_dev_t *d) {
             tarvo_param_item_t it = {TARVO_PARAM_INTG_TIME, 2, {0x20, 0x03}};
             return tarvo_param_batch_set(d, &it, 1);
         }},
        {"reg read", false,
         [](tarvo_dev_t *d) {
             uint32_t v[2];
             return tarvo_reg_batch_read(d, 1, 3, v, 2);
         }},
        {"reg write", false,
         [](tarvo_dev_t *d) {
             const uint32_t v[2] = {7, 9};
             return tarvo_reg_batch_write(d, 1, 3, v, 2);
         }},
        {"cap start/stop", false,
         [](tarvo_dev_t *d) { return tarvo_cap_start(d) && tarvo_cap_stop(d); }},
        {"get frames", true,
         [len](tarvo_dev_t *d) {
             return tarvo_cap_get_frames(d, 2, buf.data(), 2 * len, nullptr) >= 0;
         }},
        {"get frame", true,
         [len](tarvo_dev_t *d) { return tarvo_cap_get_frame(d, buf.data(), len, nullptr) >= 0; }},
        // A time-out is false as well, so only the failure after the close
        // says something here: a wait that succeeds there would not.
        {"cap wait", true, [](tarvo_dev_t *d) { return tarvo_cap_wait(d, 5); }},
        {"decode+cloud", false,
         [len](tarvo_dev_t *d) {
             return tarvo_frame_get_distance(d, dist.data(), 32 * 24, frame.data(), len, &info) >
                        0 &&
                    tarvo_frame_get_pcl(d, pcl.data(), 3 * 32 * 24, dist.data(), 32 * 24, 32, 24,
                                        nullptr) > 0;
         }},
        {"filter", false,
         [](tarvo_dev_t *d) {
             const int32_t amp = 10;
             tarvo_filter_enable(d, TARVO_FILTER_MIN_AMPLITUDE, &amp, sizeof amp);
             return tarvo_filter_disable(d, TARVO_FILTER_MIN_AMPLITUDE) >= 0 &&
                    tarvo::dev::ctx_load(d) != nullptr;
         }},
    };
}

TEST_F(CloseRace, CloseRacesABurstOfEachEntryPoint) {
    tarvo_log_cfg(TQ_LOG_OFF, TQ_LOG_WRN, TQ_LOG_OFF);
    for (const Kind &k : kinds(len_)) {
        int calls = 0, cycles = 0;
        while (calls < k_calls_per_kind || cycles < k_min_cycles) {
            if (k.capture) ASSERT_TRUE(tarvo_cap_start(&rec_)) << k.name;
            std::atomic<int> done{0};
            std::atomic<bool> closed{false};
            int64_t worst_ms = 0;
            bool after_close_failed = true;
            std::thread racer([&] {
                // Calls until two have started after the close returned.
                for (int after = 0; after < 2;) {
                    const bool late = closed.load();
                    auto t0 = std::chrono::steady_clock::now();
                    const bool ok = k.call(&rec_);
                    worst_ms = std::max(worst_ms, ms_since(t0));
                    if (late) {
                        after_close_failed = after_close_failed && !ok;
                        ++after;
                    }
                    done.fetch_add(1);
                }
            });
            // The close lands after a varying part of the burst.
            const int burst = 1 + cycles % 7;
            while (done.load() < burst) std::this_thread::yield();
            auto t0 = std::chrono::steady_clock::now();
            tarvo_dev_close(&rec_);
            const int64_t close_ms = ms_since(t0);
            closed.store(true);
            racer.join();
            calls += done.load();
            ++cycles;
            EXPECT_LT(close_ms, k_limit_ms) << k.name;
            // A start and a stop are two calls, each with its own bound.
            const bool pair = std::string(k.name) == "cap start/stop";
            EXPECT_LT(worst_ms, (pair ? 2 : 1) * k_limit_ms) << k.name;
            EXPECT_TRUE(after_close_failed) << k.name;
            EXPECT_EQ(rec_.lldev, nullptr) << k.name;
            EXPECT_EQ(rec_.api_busy, 0) << k.name;
            // The close waited only for calls that entered before it began.
            EXPECT_FALSE(log_has("api wait timeout")) << k.name << " cycle " << cycles;
            ASSERT_EQ(tarvo_dev_open(&rec_), &rec_) << k.name << " cycle " << cycles;
            if (HasFailure()) return;
        }
        std::printf("%-15s %5d calls raced %3d closes\n", k.name, calls, cycles);
    }
    EXPECT_EQ(tarvo::dev::orphans_pending().load(), 0);
    // The record still captures the camera's own frames.
    ASSERT_TRUE(tarvo_cap_start(&rec_));
    std::vector<uint8_t> buf(len_);
    tarvo_frame_info_t fi = {};
    ASSERT_EQ(tarvo_cap_get_frames(&rec_, 1, buf.data(), len_, &fi), 1);
    EXPECT_TRUE(is_frame(buf.data(), len_, fi.frame_idx, len_));
}

std::atomic<int> g_frames{0};
std::atomic<int> g_inside{0};
std::atomic<int> g_bad{0};
uint32_t g_len = 0;
void check_frame(tarvo_dev_t *, tarvo_frame_t *fr) {
    g_inside.fetch_add(1);
    if (fr->frame_info.frame_size != g_len ||
        !is_frame(fr->frame_data, 64, fr->frame_info.frame_idx, g_len))
        g_bad.fetch_add(1);
    g_frames.fetch_add(1);
    g_frames.notify_all();
    g_inside.fetch_sub(1);
}

TEST_F(CloseRace, CaptureStopRacesFrameCallbacks) {
    g_len = len_;
    ASSERT_TRUE(tarvo_cap_set_callback_on_frame_ready(&rec_, check_frame));
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(tarvo_cap_start(&rec_)) << i;
        const int before = g_frames.load();
        auto waiter = std::async(std::launch::async, [&] {
            auto t0 = std::chrono::steady_clock::now();
            const bool ended = tarvo_cap_wait(&rec_, 0);
            return std::make_pair(ended, ms_since(t0));
        });
        // Stop after a varying number of callbacks, some while one runs.
        // Sleeping, not spinning, leaves the two cores to the event thread
        // and the emulated bus.
        for (int seen = g_frames.load(); seen - before < 1 + i % 3; seen = g_frames.load())
            g_frames.wait(seen);
        ASSERT_TRUE(tarvo_cap_stop(&rec_)) << i;
        auto [ended, wait_ms] = waiter.get();
        EXPECT_TRUE(ended) << i;
        EXPECT_EQ(g_inside.load(), 0) << i;  // no callback outlives its wait
        EXPECT_FALSE(tarvo_cap_is_ongoing(&rec_)) << i;
        if (HasFailure()) return;
    }
    EXPECT_EQ(g_bad.load(), 0);
    EXPECT_FALSE(cam_->capturing());
}

}  // namespace
