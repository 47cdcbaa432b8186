// Rendering one 320 x 240 frame of the physical scene (what the simulated
// EPC camera does per frame once the scene is precomputed), with shot noise
// and without (exact samples), at a drifting temperature. The goal: at most
// 5 ms of CPU a frame, so rendering never limits capture.
//
//     build/release/bench/bench_sim_scene
#include <benchmark/benchmark.h>

#include <vector>

#include "scene/sensor.h"

namespace {

void render(benchmark::State &state, bool noise) {
    tarvo::sim::SceneConfig sc;
    sc.physical = true;
    sc.distance_m = 2.5;
    sc.noise = noise;
    const tarvo::sim::phys::Model model(sc, 42, 7, 320, 240, 12000);
    std::vector<uint8_t> frame(320 * 240 * 8);
    tarvo::sim::phys::Exposure e;
    for (auto _ : state) {
        e.frame_seq++;
        e.sensor_t = 300 + static_cast<int>(e.frame_seq % 300);  // a new drift every frame
        model.render(e, frame);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RenderNoise(benchmark::State &s) {
    render(s, true);
}
void BM_RenderExact(benchmark::State &s) {
    render(s, false);
}
BENCHMARK(BM_RenderNoise)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_RenderExact)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
