// 1 MiB written to and read back from the simulated camera's flash through
// the USB link, real libusb and the emulated bus. Reports the seconds per
// transfer and the command round trips (control transfers: commands and
// their status checks) per KiB.
//
//   build/bench/bench/bench_data_transfer
//
// A written chunk of 1018 bytes takes 6 control transfers (chunk, status,
// acknowledgement out, status, acknowledgement in, status) and a read of
// 450 bytes takes 4; each ends when its completion wakes the caller, so
// the figure is the emulated bus's round trip times the transfers.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tarvo/tarvo.h"
#include "tarvo/tarvo_dev.h"
#include "tarvo_sim/sim.h"

namespace {

constexpr uint32_t k_bytes = 1u << 20;
constexpr uint8_t k_type = 4;  // no settle wait after the write

struct Rig {
    std::unique_ptr<tarvo::sim::Bus> bus;
    tarvo_dev_t rec{};
    tarvo_dev_t *dev = nullptr;

    Rig() {
        tarvo_init("bench_data_transfer.log");
        tq_log_enable(0, TQ_LOG_OFF, nullptr);
        tq_log_enable(1, TQ_LOG_OFF, nullptr);
        tarvo::sim::CameraConfig cfg;
        cfg.product = "TarvoSim-T0-1.0";
        bus = std::make_unique<tarvo::sim::Bus>(1, cfg);
        tarvo_dev_t list[2];
        if (tarvo_dev_list(list, 2) >= 1) {
            rec = list[0];
            dev = tarvo_dev_open(&rec);
        }
    }
    ~Rig() {
        if (dev) tarvo_dev_close(dev);
        tarvo_uninit();
        bus.reset();
    }
    tarvo::sim::Camera cam() const { return bus->camera(0); }
    uint64_t round_trips() const {
        auto st = cam().stats();
        return st.commands + st.status_polls;
    }
};

std::vector<uint8_t> image() {
    std::vector<uint8_t> v(k_bytes);
    uint32_t x = 12345;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

void write_file(const char *path, const std::vector<uint8_t> &v) {
    FILE *f = std::fopen(path, "wb");
    if (!f) return;
    std::fwrite(v.data(), 1, v.size(), f);
    std::fclose(f);
}

void BM_Write1MiB(benchmark::State &state) {
    Rig rig;
    if (!rig.dev) {
        state.SkipWithError("the simulated camera did not open");
        return;
    }
    write_file("bench_image.bin", image());
    uint16_t version = 1;
    uint64_t trips = 0;
    for (auto _ : state) {
        uint64_t before = rig.round_trips();
        int r = tarvo_data_download(rig.dev, "bench_image.bin", k_type, ++version, 0);
        trips += rig.round_trips() - before;
        if (r != 1) state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * k_bytes);
    state.counters["round_trips_per_KiB"] =
        static_cast<double>(trips) / (static_cast<double>(state.iterations()) * k_bytes / 1024);
}

void BM_Read1MiB(benchmark::State &state) {
    Rig rig;
    if (!rig.dev) {
        state.SkipWithError("the simulated camera did not open");
        return;
    }
    tarvo::sim::FlashImage img;
    img.type = k_type;
    img.version = 1;
    img.data = image();
    rig.cam().flash().store(img);
    uint64_t trips = 0;
    for (auto _ : state) {
        uint64_t before = rig.round_trips();
        int r = tarvo_data_upload(rig.dev, k_type, "bench_read.bin");
        trips += rig.round_trips() - before;
        if (r != 1) state.SkipWithError("read failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * k_bytes);
    state.counters["round_trips_per_KiB"] =
        static_cast<double>(trips) / (static_cast<double>(state.iterations()) * k_bytes / 1024);
}

BENCHMARK(BM_Write1MiB)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Read1MiB)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    tarvo::sim::ensure_preloaded(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
