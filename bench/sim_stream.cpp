// Raw throughput of the simulated camera's stream through real libusb and
// the emulated bus: 16 queued bulk reads of 153600 bytes, each reissued from
// its completion callback, the camera unpaced. Reports MB/s and the
// process's CPU time per MB (all threads: libusb's, umockdev's, the
// simulator's). Also the round trip of one parameter get (command, status,
// read, status).
//
//   build/bench/bench/bench_sim_stream                      in-process bus
//   build/bench/sim/tarvo-sim run --unpaced --packet-bytes 1048572 -- \
//       build/bench/bench/bench_sim_stream                  across processes
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "tarvo_sim/sim.h"

namespace {

double process_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Open {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    Open() {
        libusb_init(&ctx);
        h = libusb_open_device_with_vid_pid(ctx, 0x1209, 0x7A7F);
        if (h) libusb_claim_interface(h, 0);
    }
    ~Open() {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        libusb_exit(ctx);
    }
};

struct Ring {
    std::atomic<uint64_t> bytes{0};
    std::atomic<bool> abort{false};
    std::atomic<int> flying{0};
    static void LIBUSB_CALL done(libusb_transfer *t) {
        auto *r = static_cast<Ring *>(t->user_data);
        r->bytes += static_cast<uint64_t>(t->actual_length);
        if (!r->abort && t->status == LIBUSB_TRANSFER_COMPLETED && libusb_submit_transfer(t) == 0)
            return;
        r->flying--;
    }
};

int command(libusb_device_handle *h, uint8_t type, uint8_t req, uint16_t value, uint8_t *d,
            uint16_t n) {
    return libusb_control_transfer(h, type, req, value, 0, d, n, 1000);
}

void BM_SimStreamUnpaced(benchmark::State &state) {
    Open o;
    if (!o.h) {
        state.SkipWithError("no simulated camera");
        return;
    }
    Ring ring;
    std::vector<std::vector<uint8_t>> bufs(16, std::vector<uint8_t>(153600));
    std::vector<libusb_transfer *> ts;
    for (auto &b : bufs) {
        libusb_transfer *t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t, o.h, 0x81, b.data(), static_cast<int>(b.size()), Ring::done,
                                  &ring, 6000);
        ts.push_back(t);
        ring.flying++;
        libusb_submit_transfer(t);
    }
    std::atomic<bool> stop{false};
    std::thread evt([&] {
        while (!stop) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(o.ctx, &tv, nullptr);
        }
    });
    uint8_t arg[4] = {0, 0, 0, 0};
    command(o.h, 0x22, 0xC2, 4, arg, 4);

    const uint64_t chunk = 64ull << 20;  // 64 MB per iteration
    const double cpu0 = process_cpu_s();
    const uint64_t b0 = ring.bytes;
    for (auto _ : state) {
        const uint64_t want = ring.bytes + chunk;
        while (ring.bytes < want) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double mb = static_cast<double>(ring.bytes - b0) / 1e6;
    const double cpu = process_cpu_s() - cpu0;
    state.SetBytesProcessed(static_cast<int64_t>(ring.bytes - b0));
    state.counters["cpu_ms_per_MB"] = mb > 0 ? cpu * 1e3 / mb : 0;

    ring.abort = true;
    uint8_t stopb = 0xC2;
    command(o.h, 0x22, 0xC2, 5, &stopb, 1);
    for (auto *t : ts) libusb_cancel_transfer(t);
    while (ring.flying > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    evt.join();
    for (auto *t : ts) libusb_free_transfer(t);
}
BENCHMARK(BM_SimStreamUnpaced)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_SimParamGetRoundTrip(benchmark::State &state) {
    Open o;
    if (!o.h) {
        state.SkipWithError("no simulated camera");
        return;
    }
    uint8_t item[20] = {12};
    uint8_t status[63];
    for (auto _ : state) {
        command(o.h, 0x22, 0xC0, 4, item, 20);
        command(o.h, 0xA2, 0xB0, 0, status, 63);
        command(o.h, 0xA2, 0xC0, 4, item, 20);
        command(o.h, 0xA2, 0xB0, 0, status, 63);
        benchmark::DoNotOptimize(item[2]);
    }
}
BENCHMARK(BM_SimParamGetRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    tarvo::sim::ensure_preloaded(argc, argv);
    tarvo::sim::CameraConfig cfg;
    cfg.stream.paced = false;
    cfg.stream.packet_payload = 0xFFFFC;
    // Under `tarvo-sim run` the launcher's bus is used (the cross-process
    // path); otherwise an in-process one, before libusb and any thread.
    std::unique_ptr<tarvo::sim::Bus> bus;
    if (!getenv("UMOCKDEV_DIR")) bus = std::make_unique<tarvo::sim::Bus>(1, cfg);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
