// Throughput of the USB link's streaming ring and the round trip of one
// parameter get, through real libusb and a simulated camera on an emulated
// bus (unpaced, so the camera never waits).
//
//   bench_usb_stream [--benchmark_filter=...]
//
// Counters: MB/s of stream bytes handed to the capture callback; CPU time
// per MB of the whole process (link, libusb and the simulated camera) and
// of the link's event thread alone.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "ll/usb/usb_ll.h"
#include "ll/usb/usb_ll_priv.h"
#include "tarvo/tarvo_ll.h"
#include "tarvo/tarvo_log.h"
#include "tarvo_sim/sim.h"

namespace {

std::unique_ptr<tarvo::sim::Bus> g_bus;
tarvo_ll_dev_t g_dev{};

double cpu_s(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::atomic<uint64_t> g_bytes{0};

int count_bytes(tarvo_ll_dev_t *, int evt, const uint8_t *, int len, void *) {
    if (evt == TARVO_LL_EVT_DATA) g_bytes.fetch_add(static_cast<uint64_t>(len));
    return 0;
}

void BM_StreamThroughput(benchmark::State &state) {
    const uint64_t chunk = 64ull << 20;  // bytes per iteration
    auto *p = tarvo::usb::priv_of(&g_dev);
    clockid_t evt_clock;
    pthread_getcpuclockid(p->evt_thread, &evt_clock);
    g_bytes = 0;
    if (!tarvo_ll_cap_start(&g_dev, 0, count_bytes, nullptr)) {
        state.SkipWithError("capture start failed");
        return;
    }
    const double proc0 = cpu_s(CLOCK_PROCESS_CPUTIME_ID), evt0 = cpu_s(evt_clock);
    uint64_t target = 0;
    for (auto _ : state) {
        target += chunk;
        while (g_bytes.load() < target) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double proc = cpu_s(CLOCK_PROCESS_CPUTIME_ID) - proc0, evt = cpu_s(evt_clock) - evt0;
    const double mb = static_cast<double>(g_bytes.load()) / 1e6;
    tarvo_ll_cap_stop(&g_dev);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the ring drain
    state.SetBytesProcessed(static_cast<int64_t>(g_bytes.load()));
    state.counters["cpu_ms_per_MB"] = proc * 1e3 / mb;
    state.counters["evt_cpu_ms_per_MB"] = evt * 1e3 / mb;
}
BENCHMARK(BM_StreamThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_ParamGetRoundTrip(benchmark::State &state) {
    uint8_t items[3 * 20] = {};
    const int n = static_cast<int>(state.range(0));
    const uint8_t ids[3] = {3, 12, 13};
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) items[i * 20] = ids[i];
        if (!tarvo_ll_param_get(&g_dev, items, n)) {
            state.SkipWithError("param get failed");
            break;
        }
    }
}
BENCHMARK(BM_ParamGetRoundTrip)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    tarvo::sim::ensure_preloaded(argc, argv);
    tq_log_enable(0, TQ_LOG_ERR, nullptr);
    tarvo::sim::CameraConfig cfg;
    cfg.stream.paced = false;
    cfg.stream.payload_checksum = false;
    g_bus = std::make_unique<tarvo::sim::Bus>(1, cfg);
    if (!tarvo_ll_dev_open(&g_dev)) {
        std::fprintf(stderr, "no simulated camera opened\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tarvo_ll_dev_close(&g_dev);
    g_bus.reset();
    return 0;
}
