// A full decode of a 320 x 240 frame of the physical simulated camera
// through the library (tarvo_frame_get_distance with the camera's factory
// DRNU tables, temperature correction and lens undistortion on), beside the
// bare distance kernel on the same frame and engine state, in one run.
//
//   build/bench/bench/bench_epc_decode
//
// The goal: a full decode under 0.5 ms a frame. The "kernel_share" counter
// of the full decode is the kernel's CPU time per frame divided by the full
// decode's (the kernel measured once in the same process).
#include <benchmark/benchmark.h>
#include <time.h>

#include <memory>
#include <vector>

#include "tarvo/tarvo.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_frame.h"
#include "tarvo_sim/sim.h"

namespace {

constexpr int k_pixels = 320 * 240;
constexpr uint32_t k_frame_bytes = k_pixels * 8;

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The default physical camera (a plane at 1.5 m, noise on), opened and
// calibrated from its own store, one frame captured, undistortion on.
struct Rig {
    Rig() {
        tarvo::sim::CameraConfig cfg;  // "TarvoSim-E2-1.0": the EPC driver
        cfg.stream.format = 2;
        cfg.stream.frame_bytes = k_frame_bytes;
        cfg.scene.physical = true;
        bus = std::make_unique<tarvo::sim::Bus>(1, cfg);
        tarvo_init("bench_epc_decode.log");
        tarvo_log_cfg(TQ_LOG_ERR, TQ_LOG_ERR, TQ_LOG_OFF);
        tarvo_dev_t list[1];
        if (tarvo_dev_list(list, 1) != 1) return;
        rec = list[0];
        dev = tarvo_dev_open(&rec);
        if (!dev || !tarvo_cap_start(dev)) return;
        frame.assign(k_frame_bytes, 0);
        const int n = tarvo_cap_get_frames(dev, 1, frame.data(), k_frame_bytes, &info);
        tarvo_cap_stop(dev);
        if (n != 1 || tarvo_filter_enable(dev, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0) != 1)
            return;
        // The corrections the goal is stated for.
        ready = calculationGetEnableDRNU() == 2 && calculationGetEnableTemperature() == 1;
    }
    ~Rig() {
        if (dev) tarvo_dev_close(dev);
        tarvo_uninit();
        bus.reset();
        for (const char *f :
             {"vexm_ex_images_drnu_W007_C042_10.bin", "vexm_ex_drnu_param_W007_C042_10.bin"})
            std::remove(f);
    }
    std::unique_ptr<tarvo::sim::Bus> bus;
    tarvo_dev_t rec{};
    tarvo_dev_t *dev = nullptr;
    std::vector<uint8_t> frame;
    tarvo_frame_info_t info{};
    bool ready = false;
};

Rig *g_rig = nullptr;

double kernel_seconds_per_frame() {
    static double secs = [] {
        std::vector<float> out(k_pixels);
        const auto *src = reinterpret_cast<const uint16_t *>(g_rig->frame.data());
        constexpr int n = 300;
        const double t0 = thread_cpu_seconds();
        for (int i = 0; i < n; ++i) calcDefPiDelayGetDataSorted_opt(2, out.data(), src, k_pixels);
        return (thread_cpu_seconds() - t0) / n;
    }();
    return secs;
}

void BM_FullDecode(benchmark::State &state) {
    if (!g_rig->ready) {
        state.SkipWithError("the camera did not open calibrated");
        return;
    }
    std::vector<float> out(k_pixels);
    const double t0 = thread_cpu_seconds();
    for (auto _ : state) {
        const int n = tarvo_frame_get_distance(g_rig->dev, out.data(), k_pixels,
                                               g_rig->frame.data(), k_frame_bytes, &g_rig->info);
        if (n != k_pixels) {
            state.SkipWithError("decode failed");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    const double per_frame = (thread_cpu_seconds() - t0) / static_cast<double>(state.iterations());
    state.counters["kernel_share"] = kernel_seconds_per_frame() / per_frame;
    state.SetItemsProcessed(state.iterations() * k_pixels);
}

// The distance kernel alone (mode 2, metres) with the same tables and
// temperatures: what the full decode adds is undistortion, the checks and
// the copies.
void BM_BareKernel(benchmark::State &state) {
    if (!g_rig->ready) {
        state.SkipWithError("the camera did not open calibrated");
        return;
    }
    std::vector<float> out(k_pixels);
    const auto *src = reinterpret_cast<const uint16_t *>(g_rig->frame.data());
    for (auto _ : state) {
        if (!calcDefPiDelayGetDataSorted_opt(2, out.data(), src, k_pixels)) {
            state.SkipWithError("kernel failed");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * k_pixels);
}

}  // namespace

BENCHMARK(BM_FullDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareKernel)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    tarvo::sim::ensure_preloaded(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Rig rig;
    g_rig = &rig;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
