// The engine's own pipeline on a full 320 x 240 image of four DCS planes
// handed in as the current image: each kernel family alone, and the whole
// distance pipeline with the image steps and temporal filtering switched
// on. Pixels per second are reported as items.
//
//   build/bench/bench/bench_epc_pipeline
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "epc/epc_state.h"
#include "epc/pipeline.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_log.h"

namespace {

constexpr size_t k_pixels = 320 * 240;

std::vector<uint16_t> make_frame() {
    std::vector<uint16_t> s(4 * k_pixels);
    uint32_t x = 12345;
    for (auto &v : s) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint16_t>(1000 + (x >> 16) % 2000);
    }
    return s;
}

void setup(int pi, int mgx, int pn) {
    tq_log_disable();
    tarvo::epc::reset_state();
    tarvo::epc::pipeline_reset();
    apiSetMinAmplitude(30);
    apiSetHysteresis(20);
    apiEnableAdcOverflow(1);
    calculationEnablePiDelay(pi);
    calculationEnableDualMGX(mgx);
    calculationEnablePN(pn);
}

void run(benchmark::State &st, int (*fn)(uint16_t **)) {
    static const std::vector<uint16_t> frame = make_frame();
    epc_image_t img{};
    img.info.frame_size = static_cast<uint32_t>(frame.size() * 2);
    img.data = frame.data();
    for (auto _ : st) {
        pruSetImage(&img);
        uint16_t *out = nullptr;
        benchmark::DoNotOptimize(fn(&out));
        benchmark::DoNotOptimize(out);
    }
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(k_pixels));
}

void BM_DistanceSine4(benchmark::State &st) {
    setup(1, 0, 0);
    run(st, calculationDistanceSorted);
}
void BM_DistancePN4(benchmark::State &st) {
    setup(1, 0, 1);
    run(st, calculationDistanceSorted);
}
void BM_AmplitudeSine4(benchmark::State &st) {
    setup(1, 0, 0);
    run(st, calculationAmplitudeSorted);
}
void BM_DistanceAndAmplitudeMGX4(benchmark::State &st) {
    setup(1, 1, 0);
    run(st, calculationDistanceAndAmplitudeSorted);
}
void BM_DistanceWholePipeline(benchmark::State &st) {
    setup(1, 0, 0);
    imageSetProcessing(2);
    imageSetNumberOfPicture(4);
    imageDifferenceSetThreshold(20);
    calculationInitKalman();
    calculationEnableKalman(2);
    run(st, calculationDistanceSorted);
}

BENCHMARK(BM_DistanceSine4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DistancePN4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AmplitudeSine4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DistanceAndAmplitudeMGX4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DistanceWholePipeline)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
