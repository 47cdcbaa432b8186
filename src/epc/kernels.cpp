// The engine's kernel family: the image fetch (current image or one frame
// captured from the bound camera), the eight kernels that turn an image of
// two or four DCS samples per pixel into distance and amplitude images in
// read-out order, and the sorted-image entry points that pick a kernel
// from the pi-delay, dual-MGX and PN switches and run the pipeline steps.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "epc/calc_pixel.h"
#include "epc/epc_state.h"
#include "epc/pipeline.h"
#include "log/log.h"
#include "tarvo/tarvo_dev.h"

namespace tarvo::epc {

namespace {

// Where a fetched image lives when it is not the caller's current image:
// a captured frame, or a short current image padded with zeros.
std::vector<uint8_t> g_capture;
bool g_last_failed = false;
int g_dcs_sum_filter = 0;

enum KernelId {
    k_def2,
    k_def4,
    k_mgx2,
    k_mgx4,
    k_pn_def2,
    k_pn_def4,
    k_pn_mgx2,
    k_pn_mgx4,
    k_kernels
};
std::vector<uint16_t> g_out[k_kernels];

uint16_t *capture_buffer() {
    if (g_capture.size() != k_capture_bytes) g_capture.assign(k_capture_bytes, 0);
    return reinterpret_cast<uint16_t *>(g_capture.data());
}

// One frame from the bound camera into the capture buffer; false (buffer
// zeroed) when none could be had or it has the wrong size.
bool capture_one(uint32_t expect) {
    uint16_t *buf = capture_buffer();
    tarvo_dev_t *dev = epc_adapter_get_dev();
    bool ok = false;
    if (dev) {
        const bool started = !tarvo_cap_is_ongoing(dev);
        if (!started || tarvo_cap_start(dev)) {
            tarvo_frame_info_t info{};
            int n = tarvo_cap_get_frames(dev, 1, buf, k_capture_bytes, &info);
            // Only a capture this fetch started is stopped again; an
            // application's own capture keeps running.
            if (started) tarvo_cap_stop(dev);
            if (n == 1) {
                tarvo::epc::say(" get one frame #%d: %dx%d, size=%d\n", info.frame_idx,
                                static_cast<int>(info.width), static_cast<int>(info.height),
                                static_cast<int>(info.frame_size));
                if (info.frame_size != expect)
                    tarvo::epc::say(" wrong frame size: expect %d, get %d\n",
                                    static_cast<int>(expect), static_cast<int>(info.frame_size));
                else
                    ok = true;
            }
        }
    }
    if (!ok) {
        tarvo::epc::say(" get frame failed\n");
        std::memset(buf, 0, k_capture_bytes);
    }
    return ok;
}

}  // namespace

bool pipe_geometry(PipeGeometry &g) {
    const ConfigState &s = state();
    g.C = s.cols;
    g.Rh = s.rows_per_half;
    g.H = s.halves;
    g.dcs = s.dcs_count;
    if (g.C <= 0 || g.Rh <= 0 || g.H <= 0 || g.dcs <= 0) return false;
    if (g.C > k_sensor_cols || g.dcs > 16 || g.Rh > k_sensor_rows || g.H > k_sensor_rows)
        return false;
    g.R = g.Rh * g.H;
    if (g.R > k_sensor_rows) return false;
    g.S = g.pixels() * static_cast<size_t>(g.dcs);
    return true;
}

bool fetch_image(const char *fn, const uint16_t **out, bool &failed) {
    PipeGeometry g;
    if (!pipe_geometry(g)) {
        TQ_ERR("[%s] geometry %dx%dx%d with %d samples is not a sensor image\n", fn, state().cols,
               state().rows_per_half, state().halves, state().dcs_count);
        return false;
    }
    const uint32_t expect = static_cast<uint32_t>(g.S * 2);
    ConfigState &s = state();
    failed = false;
    if (s.have_image) {
        epc_image_t img = s.image;
        pruSetImage(nullptr);
        if (img.info.frame_size != expect)
            tarvo::epc::say(" wrong frame size: expect %d, get %d\n", static_cast<int>(expect),
                            static_cast<int>(img.info.frame_size));
        if (img.data && img.info.frame_size >= expect) {
            *out = img.data;
        } else {
            // Shorter than the geometry: the samples it has, then zeros,
            // so that no kernel reads past the caller's buffer.
            uint16_t *buf = capture_buffer();
            std::memset(buf, 0, k_capture_bytes);
            if (img.data) std::memcpy(buf, img.data, std::min(img.info.frame_size, expect));
            failed = img.data == nullptr;
            *out = buf;
        }
    } else {
        failed = !capture_one(expect);
        *out = capture_buffer();
    }
    g_last_failed = failed;
    return true;
}

void kernels_reset() {
    g_capture.clear();
    g_capture.shrink_to_fit();
    g_last_failed = false;
    g_dcs_sum_filter = 0;
    for (auto &o : g_out) {
        o.clear();
        o.shrink_to_fit();
    }
}

void pipeline_reset() {
    calculator_reset();
    kernels_reset();
    image_filters_reset();
    kalman_reset();
}

namespace {

constexpr uint16_t k_fail_code = EPC_CODE_SATURATED;  // 65500: no usable sample

const char *const k_names[k_kernels] = {
    "calcDefNoPiDelayGetDataSorted",   "calcDefPiDelayGetDataSorted",
    "calcMGXNoPiDelayGetDataSorted",   "calcMGXPiDelayGetDataSorted",
    "calcPNDefNoPiDelayGetDataSorted", "calcPNDefPiDelayGetDataSorted",
    "calcPNMGXNoPiDelayGetDataSorted", "calcPNMGXPiDelayGetDataSorted",
};

// DCS-sum filter: a pixel whose opposite samples do not add up to about
// twice the mid-scale carries no usable signal; its samples become 0.
void dcs_sum_filter(unsigned d[4], int pixel) {
    const ConfigState &s = state();
    int s02 = static_cast<int>(d[0] + d[2]);
    int s13 = static_cast<int>(d[1] + d[3]);
    if (is_epc635(s.partType)) {
        s02 = static_cast<int>(d[0] / 16 + d[2] / 16);
        s13 = static_cast<int>(d[1] / 16 + d[3] / 16);
    }
    if (s.gPrint > 1 && pixel == 4500)
        tarvo::epc::say("print 4500 dcs0+2: %2.4f dcs0+2: %2.4f threshold %d \n",
                        static_cast<double>(s02), static_cast<double>(s13), s.dcs_add_threshold);
    if (std::abs(s02 - 4096) < s.dcs_add_threshold && std::abs(s13 - 4096) < s.dcs_add_threshold)
        return;
    d[0] = d[1] = d[2] = d[3] = 0;
}

// The last pixel a kernel visited: its input index (-1 for none), its
// output index and its samples as handed to the calculator.
struct Visit {
    int in = -1, out = -1;
    unsigned d[4] = {0, 0, 0, 0};
};

// A stretch of n pixels whose samples and outputs are consecutive: the
// samples at s[0..3] + j, the distance (or amplitude) at od + j and, for
// type 2, the amplitude at oa + j; hysteresis position k0 + j.
template <bool Pi, bool Pn, int Type>
void kernel_stretch(const CalcSettings &c, const uint16_t *const s[4], uint16_t *od, uint16_t *oa,
                    int n, int k0, bool sum_filter) {
    constexpr int D = Pi ? 2 : 1;
    int j = 0;
    if constexpr (Pi && !Pn && Type != 1)
        if (!sum_filter) j = sine4_stretch_vector(c, s, od, Type == 2 ? oa : nullptr, n, k0);
    for (; j < n; ++j) {
        CalcArgs a;
        if constexpr (Pi) {
            unsigned d[4] = {s[0][j], s[1][j], s[2][j], s[3][j]};
            if (sum_filter) dcs_sum_filter(d, k0 + j);
            a = calc_load4(c, d[0], d[1], d[2], d[3]);
        } else {
            a = calc_load2(c, s[0][j], s[1][j]);
        }
        if constexpr (Type == 1) {
            od[j] = calc_amplitude<Pn, D>(a);
        } else {
            const uint32_t da = calc_dist_amp<Pn, D>(c, a, k0 + j);
            od[j] = static_cast<uint16_t>(da & 0xFFFFu);
            if constexpr (Type == 2) oa[j] = static_cast<uint16_t>(da >> 16);
        }
    }
}

// The pixels of one kernel run in the iterators' order. Default kernels:
// pixel k = r x (H x C) + u of raw row r; MGX kernels: f = 2r x (H x C) + u,
// every second raw row holding the partner samples. Each pixel's output
// index follows the iterators' placement (default_out, mgx_out in
// calculator.cpp) and its samples go through the calculator's formulas
// inline (calc_pixel.h). A raw row falls into stretches of C pixels that
// share an output row; each stretch lying wholly inside the samples and
// the image runs as one loop.
template <bool Pi, bool Mgx, bool Pn, int Type>
Visit kernel_pixels(const uint16_t *src, size_t S, const PipeGeometry &g, size_t limit,
                    size_t total, size_t row_step, uint16_t *out) {
    const CalcSettings c = calc_settings();
    const bool sum_filter = Pi && !Mgx && !Pn && g_dcs_sum_filter;
    const int C = g.C, H = g.H;
    const int R = static_cast<uint8_t>(g.R);  // the iterators keep R in 8 bits
    const int rows = Mgx ? R / 2 : R;
    const size_t N = total, half = S / 2;
    const size_t row_len = row_step;
    constexpr int n = Pi ? 4 : 2;
    auto positions = [&](size_t k, size_t at[4]) {
        if (Mgx) {
            at[0] = k;
            at[1] = k + row_step;
            at[2] = half + k;
            at[3] = half + k + row_step;
        } else {
            at[0] = k;
            at[1] = N + k;
            at[2] = 2 * N + k;
            at[3] = 3 * N + k;
        }
    };
    Visit last;
    for (size_t r = 0;; ++r) {
        const size_t first = (Mgx ? 2 * r : r) * row_len;
        if (first >= limit) break;
        const int ri = static_cast<int>(r);
        for (int seg = 0; seg * static_cast<size_t>(C) < row_len; ++seg) {
            const size_t u0 = static_cast<size_t>(seg) * C;
            int row;
            if (H == 2) {
                const int mid = Mgx ? R / 4 : R / 2;
                row = seg == 0 ? mid - 1 - ri : mid + ri;
            } else {
                row = rows - 1 - ri;
                if (seg > 0) break;  // columns past C have no place
            }
            if (row < 0 || row >= rows) continue;
            const size_t u1 = std::min(u0 + static_cast<size_t>(C), row_len);
            const size_t k0 = first + u0;
            if (k0 >= limit) break;
            const size_t k1 = std::min(first + u1, limit);  // exclusive
            const size_t o0 = static_cast<size_t>(row) * C + (u0 - static_cast<size_t>(seg) * C);
            size_t at[4];
            positions(k1 - 1, at);
            const bool whole = o0 + (k1 - k0) <= total && at[n - 1] < S && at[0] < S &&
                               (n == 2 || (at[1] < S && at[2] < S));
            if (whole) {
                positions(k0, at);
                const uint16_t *const sp[4] = {src + at[0], src + at[1], Pi ? src + at[2] : src,
                                               Pi ? src + at[3] : src};
                kernel_stretch<Pi, Pn, Type>(c, sp, out + o0, out + total + o0,
                                             static_cast<int>(k1 - k0), static_cast<int>(k0),
                                             sum_filter);
                const size_t kl = k1 - 1;
                positions(kl, at);
                last.in = static_cast<int>(kl);
                last.out = static_cast<int>(o0 + (kl - k0));
                for (int i = 0; i < 4; ++i) last.d[i] = i < n ? src[at[i]] : 0;
                continue;
            }
            // The stretch at the edge of the samples or the image: pixel
            // by pixel, each checked.
            for (size_t k = k0; k < k1; ++k) {
                const size_t o = o0 + (k - k0);
                if (o >= total) continue;
                positions(k, at);
                bool inside = true;
                for (int i = 0; i < n; ++i) inside = inside && at[i] < S;
                if (!inside) continue;
                const uint16_t *const sp[4] = {src + at[0], src + at[1], Pi ? src + at[2] : src,
                                               Pi ? src + at[3] : src};
                kernel_stretch<Pi, Pn, Type>(c, sp, out + o, out + total + o, 1,
                                             static_cast<int>(k), sum_filter);
                last.in = static_cast<int>(k);
                last.out = static_cast<int>(o);
                for (int i = 0; i < 4; ++i) last.d[i] = i < n ? src[at[i]] : 0;
            }
        }
    }
    return last;
}

template <bool Pi, bool Mgx, bool Pn>
Visit kernel_pixels(const uint16_t *src, size_t S, const PipeGeometry &g, size_t limit,
                    size_t total, size_t row_step, int type, uint16_t *out) {
    switch (type) {
        case 0:
            return kernel_pixels<Pi, Mgx, Pn, 0>(src, S, g, limit, total, row_step, out);
        case 1:
            return kernel_pixels<Pi, Mgx, Pn, 1>(src, S, g, limit, total, row_step, out);
        default:
            return kernel_pixels<Pi, Mgx, Pn, 2>(src, S, g, limit, total, row_step, out);
    }
}

template <bool Pi, bool Mgx, bool Pn>
int run_kernel(KernelId id, int type, uint16_t **image) {
    const char *fn = k_names[id];
    if (!image || type < 0 || type > 2) {
        TQ_ERR("[%s] bad arguments: type %d, image %p\n", fn, type, static_cast<void *>(image));
        return 0;
    }
    const uint16_t *src = nullptr;
    bool failed = false;
    if (!fetch_image(fn, &src, failed)) return 0;
    PipeGeometry g;
    pipe_geometry(g);
    const size_t S = g.S;

    calculatorInit(Pi ? 2 : 1);
    // Pixels the iterator produces; the amplitude image of type 2 starts
    // right after them.
    // Default kernels: N = S / samples per pixel; MGX kernels walk S (or
    // S / 2) samples taking every other raw row: the same counts.
    const size_t total = Pi ? S / 4 : S / 2;
    const size_t count = type == 2 ? 2 * total : total;
    std::vector<uint16_t> &out = g_out[id];
    // At least a whole image, so that the image steps after the kernel
    // always have C x R values to work on.
    out.assign(std::max(count, g.pixels()), failed ? k_fail_code : 0);
    *image = out.data();
    if (failed) return static_cast<int>(count);

    const size_t row_step = static_cast<size_t>(g.C) * static_cast<size_t>(g.H);
    Visit last;
    if (Mgx)
        last = kernel_pixels<Pi, true, Pn>(src, S, g, Pi ? S / 2 : S, total, row_step, type,
                                           out.data());
    else
        last = kernel_pixels<Pi, false, Pn>(src, S, g, total, total, row_step, type, out.data());
    if (last.in >= 0) {
        // The calculator's own calls for the last pixel, so that its state
        // (samples, quadrature values, position, saturation flag) is what a
        // pixel-by-pixel run leaves. They repeat its hysteresis update with
        // the same amplitude, which changes nothing.
        const unsigned *d = last.d;
        if (Pi)
            calculatorSetArgs4DCS(d[0], d[1], d[2], d[3], last.in, 0);
        else
            calculatorSetArgs2DCS(d[0], d[1], last.in, 0);
        const size_t o = static_cast<size_t>(last.out);
        if (type == 1) {
            out[o] = static_cast<uint16_t>(Pn ? calculatorGetAmpPN() : calculatorGetAmpSine());
        } else {
            const uint32_t da = Pn ? calculatorGetDistAndAmpPN() : calculatorGetDistAndAmpSine();
            out[o] = static_cast<uint16_t>(da & 0xFFFFu);
            if (type == 2) out[total + o] = static_cast<uint16_t>(da >> 16);
        }
    }
    return static_cast<int>(count);
}

int select_kernel(int type, uint16_t **image) {
    const ConfigState &s = state();
    const bool pi = s.pi_delay != 0, mgx = s.dual_mgx != 0, pn = s.pn != 0;
    if (mgx) {
        if (pi)
            return pn ? calcPNMGXPiDelayGetDataSorted(type, image)
                      : calcMGXPiDelayGetDataSorted(type, image);
        return pn ? calcPNMGXNoPiDelayGetDataSorted(type, image)
                  : calcMGXNoPiDelayGetDataSorted(type, image);
    }
    if (pi)
        return pn ? calcPNDefPiDelayGetDataSorted(type, image)
                  : calcDefPiDelayGetDataSorted(type, image);
    return pn ? calcPNDefNoPiDelayGetDataSorted(type, image)
              : calcDefNoPiDelayGetDataSorted(type, image);
}

// The distance pipeline: kernel, then the image steps on the distance image.
int distance_pipeline(int type, uint16_t **image) {
    ConfigState &s = state();
    const int saved_offset = s.offset_phase;
    if (s.drnu_mode) s.offset_phase = 0;
    int n = select_kernel(type, image);
    if (n > 0) {
        imageCorrect(image);
        imageProcess(image);
        imageAverage(image);
        imageDifference(image);
        calculationFalmanFiltering(image);
    }
    s.offset_phase = saved_offset;
    return n;
}

}  // namespace

}  // namespace tarvo::epc

using namespace tarvo::epc;

extern "C" {

TARVO_API int pruGetImage(uint16_t **image) {
    if (!image) return 0;
    const uint16_t *p = nullptr;
    bool failed = false;
    if (!fetch_image("pruGetImage", &p, failed)) return 0;
    PipeGeometry g;
    pipe_geometry(g);
    // The engine never writes through the handed-out pointer.
    *image = const_cast<uint16_t *>(p);
    return static_cast<int>(g.S);
}

TARVO_API int pruLastImageFailed(void) {
    return g_last_failed ? 1 : 0;
}

TARVO_API int calcDefNoPiDelayGetDataSorted(int type, uint16_t **image) {
    return run_kernel<false, false, false>(k_def2, type, image);
}
TARVO_API int calcDefPiDelayGetDataSorted(int type, uint16_t **image) {
    return run_kernel<true, false, false>(k_def4, type, image);
}
TARVO_API int calcMGXNoPiDelayGetDataSorted(int type, uint16_t **image) {
    return run_kernel<false, true, false>(k_mgx2, type, image);
}
TARVO_API int calcMGXPiDelayGetDataSorted(int type, uint16_t **image) {
    return run_kernel<true, true, false>(k_mgx4, type, image);
}
TARVO_API int calcPNDefNoPiDelayGetDataSorted(int type, uint16_t **image) {
    return run_kernel<false, false, true>(k_pn_def2, type, image);
}
TARVO_API int calcPNDefPiDelayGetDataSorted(int type, uint16_t **image) {
    return run_kernel<true, false, true>(k_pn_def4, type, image);
}
TARVO_API int calcPNMGXNoPiDelayGetDataSorted(int type, uint16_t **image) {
    return run_kernel<false, true, true>(k_pn_mgx2, type, image);
}
TARVO_API int calcPNMGXPiDelayGetDataSorted(int type, uint16_t **image) {
    return run_kernel<true, true, true>(k_pn_mgx4, type, image);
}

TARVO_API void calculationEnableDcsSumFilter(int flag) {
    g_dcs_sum_filter = flag != 0;
}
TARVO_API int calculationIsDcsSumFilter(void) {
    return g_dcs_sum_filter;
}

TARVO_API int calculationAmplitudeSorted(uint16_t **image) {
    return select_kernel(1, image);
}
TARVO_API int calculationDistanceSorted(uint16_t **image) {
    return distance_pipeline(0, image);
}
TARVO_API int calculationDistanceAndAmplitudeSorted(uint16_t **image) {
    return distance_pipeline(2, image);
}

}  // extern "C"
