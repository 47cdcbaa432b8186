// The EPC distance kernel on a 320 x 240 frame in mode 2 (metres), with and
// without the DRNU table and temperature correction, beside a plain
// per-pixel float atan2 conversion of the same samples, in one run.
//
//   build/bench/bench/bench_epc_kernel
//
// The "ratio" counter of the kernel cases is the plain conversion's
// thread CPU time per frame divided by the kernel's (the plain conversion
// measured once in the same process); CPU time, so that a busy machine
// skews the ratio less than wall time would.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cmath>
#include <random>
#include <vector>

#include "epc/epc_state.h"
#include "tarvo/tarvo_epc.h"

namespace {

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

constexpr int C = 320, R = 240, P = C * R;

// A frame of a plain indoor scene (a floor receding towards a wall, a box
// in front): distances 0.8 to 3.7 m, amplitudes falling with distance around an
// ambient level of 2048, sample noise of a few counts, and a saturated
// sample now and then.
std::vector<uint16_t> make_frame() {
    std::vector<uint16_t> s(4 * P);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> noise(-3, 3);
    const double range = 149896229.0 / 12000000.0;
    for (int p = 0; p < P; ++p) {
        const int u = p % C, v = p / C;
        double d = 0.8 + 2.8 * v / R + 0.1 * u / C;
        if (u >= 120 && u < 200 && v >= 80 && v < 160) d = 1.5 + 0.001 * (u - 120);
        const double phi = 2 * M_PI * d / range;
        const double a = std::min(1800.0, std::max(60.0, 1500.0 / (d * d)));
        for (int k = 0; k < 4; ++k) {
            double x = 2048 + a * std::cos(phi - k * M_PI / 2) + noise(rng);
            s[static_cast<size_t>(k) * P + p] = static_cast<uint16_t>(std::lround(x));
        }
        if (p % 997 == 0) s[p] = 4095;
    }
    return s;
}

// The straightforward conversion: float atan2 and a square root per pixel,
// the same read-out order, codes and minimum amplitude.
void plain_atan2(float *dst, const uint16_t *src, int min_amp) {
    const float range = 149896229.0f / 12000000.0f;
    const int half = R / 2;
    for (int i = 0; i < R; ++i) {
        const int orow = (i & 1) ? half + i / 2 : half - 1 - i / 2;
        for (int j = 0; j < C; ++j) {
            const int pos = i * C + j;
            int d0 = src[pos] & 0xFFF, d1 = src[P + pos] & 0xFFF;
            int d2 = src[2 * P + pos] & 0xFFF, d3 = src[3 * P + pos] & 0xFFF;
            float out;
            if (d0 == 0 || d0 == 4095 || d1 == 0 || d1 == 4095 || d2 == 0 || d2 == 4095 ||
                d3 == 0 || d3 == 4095) {
                out = 65.5f;
            } else {
                float H = static_cast<float>(d3 - d1), D = static_cast<float>(d2 - d0);
                float amp = std::sqrt(H * H + D * D) * 0.5f;
                if (amp < static_cast<float>(min_amp)) {
                    out = 65.3f;
                } else {
                    float phi = std::atan2(H, D) + static_cast<float>(M_PI);
                    out = phi / static_cast<float>(2 * M_PI) * range;
                }
            }
            dst[orow * C + j] = out;
        }
    }
}

// Monotonic tables: entry k of pixel p near the phase of step k plus a
// pixel-dependent error.
void setup_engine(bool drnu) {
    tarvo::epc::reset_state();
    atan2lut_Init();
    auto &s = tarvo::epc::state();
    hysteresisSetThresholds(30, 20);
    if (!drnu) return;
    auto bank = tarvo::epc::drnu_bank(1);
    for (int p = 0; p < P; ++p) {
        uint16_t lo = 65535, hi = 0;
        for (int k = 0; k < 30; ++k) {
            uint16_t v = static_cast<uint16_t>(300 + 716 * k + (p * 13 + k * 7) % 200);
            bank.table[static_cast<size_t>(p) * 30 + k] = v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        bank.min[p] = lo;
        bank.max[p] = hi;
    }
    tarvo::epc::drnu_rebuild_steps(1, 30);
    s.num_distances = 30;
    s.gStepCalMM = 298.2;
    s.offsetDRNU = 8364;
    s.temp_cal = 361;
    s.ib_temp_cal = 341;
    configLoadParameters();
    s.drnu_mode = 2;
    s.temperature_correction = 1;
    int16_t temps[2] = {402, 377};
    temperatureSetTemperatureByFrameHeader(temps);
}

double plain_seconds_per_frame() {
    static double secs = [] {
        auto f = make_frame();
        std::vector<float> out(P);
        const int n = 200;
        plain_atan2(out.data(), f.data(), 30);
        const double t0 = thread_cpu_seconds();
        for (int i = 0; i < n; ++i) {
            plain_atan2(out.data(), f.data(), 30);
            benchmark::DoNotOptimize(out.data());
        }
        return (thread_cpu_seconds() - t0) / n;
    }();
    return secs;
}

void BM_PlainAtan2(benchmark::State &st) {
    auto f = make_frame();
    std::vector<float> out(P);
    for (auto _ : st) {
        plain_atan2(out.data(), f.data(), 30);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * P);
}
BENCHMARK(BM_PlainAtan2)->Unit(benchmark::kMicrosecond);

using tarvo::epc::KernelPath;

void run_kernel(benchmark::State &st, bool drnu, KernelPath path) {
    setup_engine(drnu);
    if ((path >= KernelPath::avx512_gather && !tarvo::epc::kernel_avx512_available()) ||
        (path == KernelPath::avx2 && !tarvo::epc::kernel_vector_available())) {
        st.SkipWithError("the processor lacks this path");
        return;
    }
    tarvo::epc::kernel_limit_path(path);
    auto f = make_frame();
    std::vector<float> out(P);
    const double plain = plain_seconds_per_frame();
    const double t0 = thread_cpu_seconds();
    for (auto _ : st) {
        calcDefPiDelayGetDataSorted_opt(2, out.data(), f.data(), P);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double secs = thread_cpu_seconds() - t0;
    st.SetItemsProcessed(st.iterations() * P);
    if (st.iterations() > 0)
        st.counters["ratio"] = plain / (secs / static_cast<double>(st.iterations()));
    tarvo::epc::kernel_limit_path(KernelPath::avx512);
}

// The kernel as an application gets it (the widest path the processor
// has), then each narrower path on its own.
void BM_Kernel_Mode2(benchmark::State &st) {
    run_kernel(st, false, KernelPath::avx512);
}
void BM_Kernel_Mode2_DrnuTemp(benchmark::State &st) {
    run_kernel(st, true, KernelPath::avx512);
}
void BM_Kernel_Mode2_Avx512Gather(benchmark::State &st) {
    run_kernel(st, false, KernelPath::avx512_gather);
}
void BM_Kernel_Mode2_DrnuTemp_Avx512Gather(benchmark::State &st) {
    run_kernel(st, true, KernelPath::avx512_gather);
}
void BM_Kernel_Mode2_Avx2(benchmark::State &st) {
    run_kernel(st, false, KernelPath::avx2);
}
void BM_Kernel_Mode2_DrnuTemp_Avx2(benchmark::State &st) {
    run_kernel(st, true, KernelPath::avx2);
}
void BM_Kernel_Mode2_Portable(benchmark::State &st) {
    run_kernel(st, false, KernelPath::portable);
}
void BM_Kernel_Mode2_DrnuTemp_Portable(benchmark::State &st) {
    run_kernel(st, true, KernelPath::portable);
}
BENCHMARK(BM_Kernel_Mode2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kernel_Mode2_DrnuTemp)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kernel_Mode2_Avx512Gather)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kernel_Mode2_DrnuTemp_Avx512Gather)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kernel_Mode2_Avx2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kernel_Mode2_DrnuTemp_Avx2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kernel_Mode2_Portable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Kernel_Mode2_DrnuTemp_Portable)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
