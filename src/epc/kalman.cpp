// Temporal filtering of the engine's distance pipeline: per pixel, a
// fixed-gain smoother, a scalar Kalman filter whose measurement noise is
// the pixel's running variance, or a smoother whose gain follows the size
// of the last change. Each lets a real jump through at once. Only values up
// to 29999 (phase units) are filtered; codes pass unchanged and leave the
// pixel's history alone.
#include <array>
#include <cmath>
#include <cstdio>

#include "epc/epc_state.h"
#include "epc/pipeline.h"

namespace tarvo::epc {

namespace {

constexpr int k_watch = 4500;  // the pixel the print level traces
constexpr uint16_t k_max_phase = 29999;

struct KalmanParams {
    int mode = 0;
    double K = 0.1;
    double Kdiff = 0.1;
    double Q = 2.0;
    int smoother_threshold = 500;
    int kalman_threshold = 500;
    int num_check = 0;
    double gain = 0.0;
};

KalmanParams g_p;
std::array<KalmanPixel, k_sensor_pixels> g_px{};

inline bool traced(int pixel) {
    return pixel == k_watch && state().gPrint >= 2;
}

// round(v), halves away from zero, into the 16-bit range.
uint16_t round_u16(double v) {
    if (!(v == v)) return 0;
    if (v <= 0.0) return 0;
    if (v >= 65535.0) return 65535;
    return static_cast<uint16_t>(std::lround(v));
}

}  // namespace

void kalman_reset() {
    g_p = KalmanParams{};
    g_px.fill(KalmanPixel{});
}

KalmanPixel *kalman_pixel(int pixel) {
    if (pixel < 0 || pixel >= k_sensor_pixels) return nullptr;
    return &g_px[static_cast<size_t>(pixel)];
}

}  // namespace tarvo::epc

using namespace tarvo::epc;

extern "C" {

TARVO_API double calculationSimpleKalmanFilter(double z, int pixel, double gain) {
    KalmanPixel *p = kalman_pixel(pixel);
    if (!p) return z;
    const double T = g_p.smoother_threshold;
    const int N = g_p.num_check;
    if (std::fabs(z - p->last_measurement) < T)
        ++p->counter;
    else
        p->counter = 0;
    p->last_measurement = z;
    p->estimate = (1.0 - gain) * p->estimate + gain * z;
    if (p->counter >= N) {
        p->counter = N;
        if (std::fabs(z - p->last_valid) > T) p->estimate = z;  // a real jump
        p->last_valid = z;
    }
    if (traced(pixel)) {
        tarvo::epc::say(
            "print test 4500 NumCheck: %d gThresholdCheck[4500]: %d  leastValid: %2.4f \n", N,
            p->counter, p->last_valid);
    }
    return p->estimate;
}

TARVO_API double calculationKalmanFilter(double z, int pixel, double q, double r) {
    KalmanPixel *p = kalman_pixel(pixel);
    if (!p) return z;
    const double x = p->estimate;
    const double Pp = p->P + q;
    // No uncertainty on either side (both zero): keep the estimate rather
    // than divide zero by zero.
    const double denom = r + Pp;
    const double k = denom > 0.0 ? Pp / denom : 0.0;
    const double P_new = Pp * (1.0 - k);
    const double w = x + k * (z - x);
    const double threshold = p->samples > 10 ? 6.0 * std::sqrt(r > 0.0 ? r : 0.0)
                                             : static_cast<double>(g_p.kalman_threshold);
    const int N = g_p.num_check;
    double result = w;
    auto reset = [&] {
        p->reference = z;
        p->samples = -1;
        result = z;
        if (traced(pixel)) {
            tarvo::epc::say("reset Kalman 2  \n");
        }
    };
    if (N <= 0) {
        if (std::fabs(z - x) < threshold) {
            p->reference = w;
        } else {
            p->counter = 0;
            reset();
        }
    } else if (std::fabs(z - x) < threshold) {
        if (++p->counter >= N) {
            p->counter = 0;
            if (std::fabs(p->reference - z) < threshold)
                p->reference = w;
            else
                reset();
        }
    } else {
        p->counter = 0;
    }
    p->P = P_new;
    p->estimate = result;
    return result;
}

TARVO_API void calculationFalmanFiltering(uint16_t **image) {
    if (!image || !*image || g_p.mode < 1 || g_p.mode > 3) return;
    PipeGeometry g;
    if (!pipe_geometry(g)) return;
    uint16_t *img = *image;
    const size_t values = g.pixels();
    for (size_t k = 0; k < values; ++k) {
        const uint16_t v = img[k];
        if (v > k_max_phase) continue;
        const int pixel = static_cast<int>(k);
        KalmanPixel &p = g_px[k];
        const double z = v;
        if (g_p.mode == 1) {
            g_p.gain = g_p.K;
            img[k] = round_u16(calculationSimpleKalmanFilter(z, pixel, g_p.K));
        } else if (g_p.mode == 2) {
            double var = 0.0;
            if (p.samples == 0) {
                p.sum = 0.0;
                p.sum_sq = 0.0;
            } else {
                p.sum += z;
                p.sum_sq += z * z;
                if (p.samples >= 2) {
                    const double n = p.samples;
                    var = (p.sum_sq - p.sum * p.sum / n) / (n - 1.0);
                    if (!(var > 0.0)) var = 0.0;  // rounding may leave a tiny negative
                }
            }
            img[k] = round_u16(calculationKalmanFilter(z, pixel, g_p.Q, var));
            ++p.samples;
        } else {
            double gain;
            if (!p.seen) {
                p.seen = true;
                gain = 1.0;
            } else {
                const double d = p.previous - z;
                gain = d == 0.0 ? g_p.K : g_p.Kdiff / std::fabs(d);
                if (gain > g_p.K) gain = g_p.K;
                p.previous = z;
            }
            g_p.gain = gain;
            if (traced(pixel)) {
                tarvo::epc::say("set gK 4500: %2.4f \n", gain);
            }
            img[k] = round_u16(calculationSimpleKalmanFilter(z, pixel, gain));
        }
    }
}

TARVO_API void calculationInitKalman(void) {
    for (auto &p : g_px) p.P = 1.0;
}

TARVO_API void calculationEnableKalman(int mode) {
    g_p.mode = mode;
    for (auto &p : g_px) p.samples = 0;
}

TARVO_API void calculationSetKalmanK(double k) {
    g_p.K = k;
}
TARVO_API void calculationSetKalmanKdiff(double kdiff) {
    g_p.Kdiff = kdiff;
}
TARVO_API void calculationSetKalmanQ(double q) {
    g_p.Q = q;
}
TARVO_API void calculationSetKalmanThreshold(int which, int value) {
    if (which == 1)
        g_p.smoother_threshold = value;
    else
        g_p.kalman_threshold = value;
}
TARVO_API void calculationSetKalmanNumCheck(int n) {
    g_p.num_check = n;
}
TARVO_API double calculationGetKalmanGain(void) {
    return g_p.gain;
}

TARVO_API int apiEnableKalman(int mode) {
    calculationEnableKalman(mode);
    return 0;
}
TARVO_API int apiSetKalmanK(double k) {
    calculationSetKalmanK(k);
    return 0;
}
TARVO_API int apiSetKalmanKdiff(double kdiff) {
    calculationSetKalmanKdiff(kdiff);
    return 0;
}
TARVO_API int apiSetKalmanQ(double q) {
    calculationSetKalmanQ(q);
    return 0;
}
TARVO_API int apiSetKalmanNumCheck(int n) {
    calculationSetKalmanNumCheck(n);
    return 0;
}
TARVO_API int apiSetKalmanThreshold(int value) {
    calculationSetKalmanThreshold(1, value);
    return 0;
}
TARVO_API int apiSetKalmanThreshold2(int value) {
    calculationSetKalmanThreshold(2, value);
    return 0;
}

}  // extern "C"
