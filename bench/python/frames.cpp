// Frames per second of capture + distance + point cloud, from Python (the
// tarvo package: frames(1), distance(), point_cloud()) and from C (the same
// three calls on the library), in one run on one simulated EPC camera that
// streams unpaced, so that only the host's work sets the pace. Both paths
// use the same shared library; the interpreter is embedded in this program.
// The cost of a path is the CPU time of the thread that runs it (where the
// copies, the decode and the point cloud happen; the USB event thread does
// the same work for both); its wall time per frame also counts the waits for
// the simulated camera, which on a loaded machine vary from run to run. At
// the end the cost ratio Python / C per frame is printed.
//
//   build/bench/bench/python/bench_python_frames [--benchmark_min_time=3]
#include <benchmark/benchmark.h>
#include <pybind11/embed.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "tarvo/tarvo_dev.h"
#include "tarvo/tarvo_frame.h"
#include "tarvo/tarvo_log.h"
#include "tarvo_sim/sim.h"

namespace py = pybind11;

namespace {

constexpr int k_w = 320, k_h = 240;
double g_cpu_per_frame[2];  // seconds of the calling thread per frame: C, Python

double thread_cpu_s() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Measures the loop of a benchmark from construction to report().
struct Meter {
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
    double cpu0 = thread_cpu_s();

    void report(benchmark::State &state, int slot) const {
        const double frames = static_cast<double>(state.iterations());
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.counters["fps"] = frames / secs;
        g_cpu_per_frame[slot] = (thread_cpu_s() - cpu0) / frames;
        state.counters["cpu_ms_per_frame"] = g_cpu_per_frame[slot] * 1e3;
    }
};

void bm_c(benchmark::State &state) {
    static std::vector<uint8_t> raw(4u << 20);
    static std::vector<float> dist(k_w * k_h), xyz(3 * k_w * k_h);
    tarvo_dev_t rec{};
    tarvo_dev_t *dev = tarvo_dev_open(&rec);
    if (!dev || !tarvo_cap_start(dev)) {
        state.SkipWithError("no camera");
        return;
    }
    const Meter meter;
    for (auto _ : state) {
        tarvo_frame_info_t info;
        if (tarvo_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info) !=
            1) {
            state.SkipWithError("no frame");
            break;
        }
        const int n = tarvo_frame_get_distance(dev, dist.data(), k_w * k_h, raw.data(),
                                               static_cast<uint32_t>(raw.size()), &info);
        if (n != k_w * k_h) {
            state.SkipWithError("no distance");
            break;
        }
        benchmark::DoNotOptimize(tarvo_frame_get_pcl(dev, xyz.data(), 3 * k_w * k_h, dist.data(), n,
                                                     static_cast<int>(info.width),
                                                     static_cast<int>(info.height), nullptr));
    }
    meter.report(state, 0);
    tarvo_cap_stop(dev);
    tarvo_dev_close(dev);
}

void bm_python(benchmark::State &state) {
    py::module_ tarvo = py::module_::import("tarvo");
    py::object cam = tarvo.attr("Device")();
    cam.attr("open")();
    cam.attr("start")();
    py::dict ns;
    py::exec(R"(
def step(cam):
    f = cam.frames(1)[0]
    f.distance()
    f.point_cloud()
)",
             ns);
    py::object step = ns["step"];
    const Meter meter;
    for (auto _ : state) step(cam);
    meter.report(state, 1);
    cam.attr("close")();
}

}  // namespace

int main(int argc, char **argv) {
    tarvo::sim::ensure_preloaded(argc, argv);
    tarvo::sim::CameraConfig cfg;
    cfg.stream.paced = false;
    cfg.stream.format = 2;  // the four phase planes of the scene
    cfg.stream.frame_bytes = 8 * k_w * k_h;
    tarvo::sim::Bus bus(1, cfg);  // before libusb and before the interpreter's threads
    {
        py::scoped_interpreter interp;
        py::module_::import("sys").attr("path").attr("insert")(0, TARVO_PY_DIR);
        py::module_ tarvo = py::module_::import("tarvo");
        tarvo.attr("init")("bench_python_frames.log");
        tarvo.attr("log_levels")(TQ_LOG_ERR + 1, TQ_LOG_ERR);
        benchmark::RegisterBenchmark("frames_distance_pcl/c", bm_c)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("frames_distance_pcl/python", bm_python)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    if (g_cpu_per_frame[0] > 0 && g_cpu_per_frame[1] > 0)
        std::printf("python / C cost per frame: %.3f (%.3f ms / %.3f ms of the calling thread)\n",
                    g_cpu_per_frame[1] / g_cpu_per_frame[0], g_cpu_per_frame[1] * 1e3,
                    g_cpu_per_frame[0] * 1e3);
    return 0;
}
