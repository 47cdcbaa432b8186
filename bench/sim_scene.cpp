// Rendering one 320 x 240 frame of the physical scene (what the simulated
// EPC camera does per frame once the scene is precomputed), with shot noise
// and without (exact samples), at a drifting temperature: the default
// plane, and a room of several objects from a scene file (the per-frame
// cost does not depend on the scene). The goal: at most 5 ms of CPU a
// frame, so rendering never limits capture. BM_Prepare is the per-scene
// part (rays, hits, fixed pattern), paid once when the scene is set.
//
//     build/release/bench/bench_sim_scene
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "scene/scene_file.h"
#include "scene/sensor.h"

namespace {

tarvo::sim::SceneConfig scene(bool noise, bool room) {
    tarvo::sim::SceneConfig sc;
    sc.physical = true;
    sc.distance_m = 2.5;
    sc.noise = noise;
    std::string err;
    if (room && !tarvo::sim::phys::parse_scene(R"({"objects": [
            {"type": "plane", "distance": 4.0, "reflectivity": 0.5},
            {"type": "plane", "point": [0, 0.9, 0], "normal": [0, -1, 0], "reflectivity": 0.3},
            {"type": "box", "centre": [-0.4, 0.2, 2.0], "size": [0.5, 0.5, 0.5]},
            {"type": "sphere", "centre": [0.5, 0, 1.6], "radius": 0.3, "reflectivity": 0.9}]})",
                                               sc, err))
        std::abort();
    return sc;
}

void render(benchmark::State &state, bool noise, bool room) {
    const tarvo::sim::phys::Model model(scene(noise, room), 42, 7, 320, 240, 12000);
    std::vector<uint8_t> frame(320 * 240 * 8);
    tarvo::sim::phys::Exposure e;
    model.render(e, frame);  // builds the process-wide tables outside the loop
    for (auto _ : state) {
        e.frame_seq++;
        e.sensor_t = 300 + static_cast<int>(e.frame_seq % 300);  // a new drift every frame
        model.render(e, frame);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RenderNoise(benchmark::State &s) {
    render(s, true, false);
}
void BM_RenderExact(benchmark::State &s) {
    render(s, false, false);
}
void BM_RenderNoiseRoom(benchmark::State &s) {
    render(s, true, true);
}
void BM_RenderExactRoom(benchmark::State &s) {
    render(s, false, true);
}
void BM_Prepare(benchmark::State &state) {
    const tarvo::sim::SceneConfig sc = scene(false, true);
    for (auto _ : state) {
        const tarvo::sim::phys::Model model(sc, 42, 7, 320, 240, 12000);
        benchmark::DoNotOptimize(&model);
    }
}
BENCHMARK(BM_RenderNoise)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_RenderExact)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_RenderNoiseRoom)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_RenderExactRoom)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Prepare)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
