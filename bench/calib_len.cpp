// Lens undistortion: applying the map to a 320 x 240 float image against the
// plainest gather through precomputed integer indices (the floor any
// undistortion can reach), and the time to build the map.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#ifdef TARVO_BENCH_OPENCV
#include <opencv2/calib3d.hpp>
#endif

#include "tarvo/tq_calib_len.h"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr float kInvalid = 30.0f;

// A wide-angle lens of the kind these cameras carry: strong barrel
// distortion, a little tangential error, principal point off centre.
tq_lens_param_t wide_lens() {
    tq_lens_param_t p{};
    p.cx = 161.3;
    p.cy = 118.7;
    p.fx = 212.5;
    p.fy = 211.9;
    p.dcoeff[0] = -0.32;    // k1
    p.dcoeff[1] = 0.11;     // k2
    p.dcoeff[2] = 0.0012;   // p1
    p.dcoeff[3] = -0.0007;  // p2
    p.dcoeff[4] = -0.015;   // k3
    p.img_w = kW;
    p.img_h = kH;
    return p;
}

// The fastest repetition: on a shared machine the least disturbed one.
double min_of(const std::vector<double> &v) {
    double m = v.empty() ? 0.0 : v[0];
    for (double x : v) m = x < m ? x : m;
    return m;
}

std::vector<float> test_image() {
    std::vector<float> img(kW * kH);
    for (int i = 0; i < kW * kH; ++i) img[i] = 0.5f + static_cast<float>(i % 977) * 0.001f;
    return img;
}

struct MapHolder {
    tq_calib_len_map_t map{};
    MapHolder() {
        tq_lens_param_t lens = wide_lens();
        tq_calib_len_init_map(&map, &lens);
    }
    ~MapHolder() { tq_calib_len_uninit_map(&map); }
};

void BM_Undistort(benchmark::State &state) {
    MapHolder h;
    std::vector<float> src = test_image(), dst(kW * kH);
    for (auto _ : state) {
        int ok = tq_calib_len_undistort(&h.map, dst.data(), kW * kH, src.data(), kW, kH, kInvalid);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(BM_Undistort)->ComputeStatistics("min", min_of);

// The reference: dst[i] = src[idx[i]] with the indices worked out
// beforehand from the same map, out-of-image pixels pointing at one extra
// element that holds the invalid value.
void BM_PlainGather(benchmark::State &state) {
    MapHolder h;
    std::vector<float> img = test_image();
    std::vector<float> src(img);
    src.push_back(kInvalid);
    std::vector<float> ref(kW * kH);
    tq_calib_len_undistort(&h.map, ref.data(), kW * kH, img.data(), kW, kH, kInvalid);
    std::vector<int32_t> idx(kW * kH);
    for (int i = 0; i < kW * kH; ++i) {
        const double qx = static_cast<double>(h.map.map_x[i]) + 0.5;
        const double qy = static_cast<double>(h.map.map_y[i]) + 0.5;
        const bool in = qx > -1.0 && qx < kW && qy > -1.0 && qy < kH;
        idx[i] = in ? static_cast<int>(qy) * kW + static_cast<int>(qx) : kW * kH;
    }
    std::vector<float> dst(kW * kH);
    for (auto _ : state) {
        const float *s = src.data();
        const int32_t *ix = idx.data();
        float *d = dst.data();
        for (int i = 0; i < kW * kH; ++i) d[i] = s[ix[i]];
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    if (dst != ref) state.SkipWithError("plain gather disagrees with tq_calib_len_undistort");
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(BM_PlainGather)->ComputeStatistics("min", min_of);

// Half-size image through the full-size map (every second map entry).
void BM_UndistortHalf(benchmark::State &state) {
    MapHolder h;
    std::vector<float> src(kW * kH / 4, 1.0f), dst(kW * kH / 4);
    for (auto _ : state) {
        int ok = tq_calib_len_undistort(&h.map, dst.data(), kW * kH / 4, src.data(), kW / 2, kH / 2,
                                        kInvalid);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kW * kH / 4);
}
BENCHMARK(BM_UndistortHalf)->ComputeStatistics("min", min_of);

void BM_InitMap(benchmark::State &state) {
    tq_lens_param_t lens = wide_lens();
    tq_calib_len_map_t map{};
    for (auto _ : state) {
        int n = tq_calib_len_init_map(&map, &lens);
        benchmark::DoNotOptimize(n);
    }
    tq_calib_len_uninit_map(&map);
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(BM_InitMap)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", min_of);

#ifdef TARVO_BENCH_OPENCV
// The reference when OpenCV is at hand: its own map for the same lens,
// same new camera matrix policy (alpha 1).
void BM_InitMapOpenCV(benchmark::State &state) {
    const tq_lens_param_t p = wide_lens();
    const cv::Mat K = (cv::Mat_<double>(3, 3) << p.fx, 0, p.cx, 0, p.fy, p.cy, 0, 0, 1);
    const cv::Mat D =
        (cv::Mat_<double>(1, 5) << p.dcoeff[0], p.dcoeff[1], p.dcoeff[2], p.dcoeff[3], p.dcoeff[4]);
    const cv::Size size(kW, kH);
    const cv::Mat Kp = cv::getOptimalNewCameraMatrix(K, D, size, 1.0, size);
    cv::Mat mx, my;
    for (auto _ : state) {
        cv::initUndistortRectifyMap(K, D, cv::Mat(), Kp, size, CV_32FC1, mx, my);
        benchmark::DoNotOptimize(mx.data);
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(BM_InitMapOpenCV)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", min_of);
#endif

// The reference without OpenCV: one plain pass that writes both arrays of
// a map of the same size (u and v as floats), allocating them as the build
// does.
void BM_MapPass(benchmark::State &state) {
    for (auto _ : state) {
        auto *mx = static_cast<float *>(std::malloc(sizeof(float) * kW * kH));
        auto *my = static_cast<float *>(std::malloc(sizeof(float) * kW * kH));
        for (int v = 0; v < kH; ++v)
            for (int u = 0; u < kW; ++u) {
                mx[v * kW + u] = static_cast<float>(u);
                my[v * kW + u] = static_cast<float>(v);
            }
        benchmark::DoNotOptimize(mx);
        benchmark::DoNotOptimize(my);
        benchmark::ClobberMemory();
        std::free(mx);
        std::free(my);
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(BM_MapPass)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", min_of);

}  // namespace

BENCHMARK_MAIN();
