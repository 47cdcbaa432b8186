// Sustained capture from the simulated camera at its fastest pacing: for
// 10 s, frames per second, bytes per second, frames dropped, and the CPU
// time the library spent per frame (the device's event thread, which runs
// libusb and the reassembler, plus the collecting thread).
//
//   build/bench/bench/bench_capture
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "api/dev_ctx.h"
#include "ll/usb/usb_ll_priv.h"
#include "tarvo/tarvo.h"
#include "tarvo_sim/sim.h"

namespace {

constexpr double k_run_s = 10.0;

double cpu_s(clockid_t clk) {
    struct timespec ts;
    clock_gettime(clk, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

clockid_t thread_clock(pthread_t t) {
    clockid_t clk;
    pthread_getcpuclockid(t, &clk);
    return clk;
}

// A camera that sends as fast as the host reads, and the device open on it.
struct Rig {
    explicit Rig(uint32_t frame_bytes) {
        tarvo::sim::CameraConfig cfg;
        cfg.product = "TarvoSim-T0-1.0";
        cfg.stream.width = 320;
        cfg.stream.height = 240;
        cfg.stream.frame_bytes = frame_bytes;
        cfg.stream.paced = false;
        bus = std::make_unique<tarvo::sim::Bus>(1, cfg);
        tarvo_init("bench_capture.log");
        tarvo_log_cfg(TQ_LOG_WRN, TQ_LOG_WRN, TQ_LOG_OFF);
        dev = tarvo_dev_open(&rec);
    }
    ~Rig() {
        if (dev) tarvo_dev_close(dev);
        tarvo_uninit();
        bus.reset();
    }
    clockid_t evt_clock() const {
        auto *p = static_cast<tarvo::usb::usb_ll_priv_t *>(dev->lldev->priv);
        return thread_clock(p->evt_thread);
    }
    void report(benchmark::State &state, uint64_t frames, double secs, double cpu) {
        tq_stream_state_t st{};
        tq_stream_get_state(tarvo::dev::ctx_load(dev)->stream, &st);
        uint32_t len = tarvo::sim::frame_length(bus->camera(0).stream());
        state.counters["fps"] = static_cast<double>(frames) / secs;
        state.counters["bytes_per_s"] = static_cast<double>(frames) * len / secs;
        state.counters["dropped"] = static_cast<double>(st.fr_overflow + st.fr_discarded);
        state.counters["cpu_us_per_frame"] = frames ? cpu * 1e6 / static_cast<double>(frames) : 0;
        state.counters["frames"] = static_cast<double>(frames);
    }
    std::unique_ptr<tarvo::sim::Bus> bus;
    tarvo_dev_t rec{};
    tarvo_dev_t *dev = nullptr;
};

// Collecting calls: four frames per call into one buffer.
void BM_CaptureCollect(benchmark::State &state) {
    Rig rig(static_cast<uint32_t>(state.range(0)));
    if (!rig.dev) {
        state.SkipWithError("no camera");
        return;
    }
    const uint32_t len = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> buf(4 * static_cast<size_t>(len));
    for (auto _ : state) {
        if (!tarvo_cap_start(rig.dev)) {
            state.SkipWithError("start failed");
            return;
        }
        clockid_t evt = rig.evt_clock();
        double cpu0 = cpu_s(evt) + cpu_s(CLOCK_THREAD_CPUTIME_ID);
        auto t0 = std::chrono::steady_clock::now();
        uint64_t frames = 0;
        double secs = 0;
        while (secs < k_run_s) {
            int n = tarvo_cap_get_frames(rig.dev, 4, buf.data(), 4 * len, nullptr);
            if (n < 0) break;
            frames += static_cast<uint64_t>(n);
            secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
        double cpu = cpu_s(evt) + cpu_s(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        tarvo_cap_stop(rig.dev);
        rig.report(state, frames, secs, cpu);
    }
}

std::atomic<uint64_t> g_cb_frames{0};
void count_frame(tarvo_dev_t *, tarvo_frame_t *) {
    g_cb_frames.fetch_add(1);
}

// The frame-ready callback inside tarvo_cap_wait (a scratch buffer per pass).
void BM_CaptureCallback(benchmark::State &state) {
    Rig rig(static_cast<uint32_t>(state.range(0)));
    if (!rig.dev) {
        state.SkipWithError("no camera");
        return;
    }
    tarvo_cap_set_callback_on_frame_ready(rig.dev, count_frame);
    for (auto _ : state) {
        g_cb_frames = 0;
        if (!tarvo_cap_start(rig.dev)) {
            state.SkipWithError("start failed");
            return;
        }
        clockid_t evt = rig.evt_clock();
        double cpu0 = cpu_s(evt) + cpu_s(CLOCK_THREAD_CPUTIME_ID);
        auto t0 = std::chrono::steady_clock::now();
        tarvo_cap_wait(rig.dev, static_cast<int>(k_run_s * 1000));
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        double cpu = cpu_s(evt) + cpu_s(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        tarvo_cap_stop(rig.dev);
        rig.report(state, g_cb_frames.load(), secs, cpu);
    }
}

}  // namespace

// 320 x 240 at 2 and 4 bytes per pixel.
BENCHMARK(BM_CaptureCollect)
    ->Arg(153600)
    ->Arg(307200)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_CaptureCallback)->Arg(153600)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char **argv) {
    tarvo::sim::ensure_preloaded(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
