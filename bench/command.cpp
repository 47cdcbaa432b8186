// What a caller waits for on the command channel, through the whole stack,
// real libusb and a simulated camera on an emulated bus: one parameter
// read (`tarvo_param_batch_get` with one item) and the open of an EPC
// camera whose calibration files are already on disk. Both report the
// median of the timed calls as well as the mean.
//
//   build/bench/bench/bench_command    (run it in a scratch directory: the
//                                       open writes the calibration there)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "tarvo/tarvo.h"
#include "tarvo/tarvo_dev.h"
#include "tarvo_sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;

double median_ms(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Rig {
    std::unique_ptr<tarvo::sim::Bus> bus;
    tarvo_dev_t rec{};

    Rig() {
        tarvo_init("bench_command.log");
        tq_log_enable(0, TQ_LOG_OFF, nullptr);
        tq_log_enable(1, TQ_LOG_OFF, nullptr);
        bus = std::make_unique<tarvo::sim::Bus>(1, tarvo::sim::CameraConfig{});
        tarvo_dev_t list[2];
        if (tarvo_dev_list(list, 2) >= 1) rec = list[0];
    }
    ~Rig() {
        tarvo_uninit();
        bus.reset();
    }
};

void BM_ParamGetOne(benchmark::State &state) {
    Rig rig;
    tarvo_dev_t *dev = tarvo_dev_open(&rig.rec);
    if (!dev) {
        state.SkipWithError("the simulated camera did not open");
        return;
    }
    std::vector<double> times;
    for (auto _ : state) {
        tarvo_param_item_t item{};
        item.param_id = TARVO_PARAM_FRAME_RATE;
        const auto t0 = Clock::now();
        if (!tarvo_param_batch_get(dev, &item, 1)) {
            state.SkipWithError("parameter read failed");
            break;
        }
        times.push_back(ms_since(t0));
    }
    state.counters["median_ms"] = median_ms(times);
    tarvo_dev_close(dev);
}
BENCHMARK(BM_ParamGetOne)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OpenCalibrated(benchmark::State &state) {
    Rig rig;
    // The first open reads the calibration out of the camera into files;
    // every timed open finds them there.
    tarvo_dev_t *first = tarvo_dev_open(&rig.rec);
    if (!first) {
        state.SkipWithError("the simulated camera did not open");
        return;
    }
    tarvo_dev_close(first);
    std::vector<double> times;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        tarvo_dev_t *dev = tarvo_dev_open(&rig.rec);
        times.push_back(ms_since(t0));
        if (!dev) {
            state.SkipWithError("open failed");
            break;
        }
        state.PauseTiming();
        tarvo_dev_close(dev);
        state.ResumeTiming();
    }
    state.counters["median_ms"] = median_ms(times);
}
BENCHMARK(BM_OpenCalibrated)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    tarvo::sim::ensure_preloaded(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
