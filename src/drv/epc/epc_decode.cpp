// The EPC driver's frame decode: size checks, automatic integration time,
// the synchronisation guard, the distance kernel, the HDR row-pair merge
// and lens undistortion of 320 x 240 images.
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/byteio.h"
#include "drv/epc/epc_drv.h"
#include "log/log.h"
#include "tarvo/tarvo_epc.h"

namespace tarvo::drv::epc {

namespace {

constexpr const char *k_fn = "epc_frame_decode";
constexpr int k_mode_phase = 0;
constexpr int k_mode_metres = 2;
constexpr int k_mode_amplitude = 3;

// Second of the driver's clock of the last sync correction (process-wide),
// k_never before the first. Atomic: decodes may run on several threads.
constexpr int64_t k_never = INT64_MIN;
std::atomic<int64_t> g_last_sync_s{k_never};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T>
using Buf = std::unique_ptr<T[], FreeDeleter>;
template <class T>
Buf<T> alloc(size_t n) {
    return Buf<T>(static_cast<T *>(std::calloc(n, sizeof(T))));
}

// Calculation switches per frame format 0 to 9: pi-delay, dual MGX, PN.
constexpr uint8_t k_pi_delay[10] = {0, 1, 1, 0, 0, 1, 1, 0, 0, 0};
constexpr uint8_t k_dual_mgx[10] = {0, 1, 0, 1, 1, 0, 1, 0, 0, 0};
constexpr uint8_t k_pn[10] = {0, 0, 0, 1, 0, 1, 1, 1, 0, 0};

bool hdr_active(const epc_drv_state_t *st) {
    return st->hdr_on || calculationIsHDR();
}

void send_intg_time(int t) {
    tarvo_param_item_t item{};
    item.param_id = TARVO_PARAM_INTG_TIME;
    item.param_val_len = 2;
    put_le16(item.param_val, static_cast<uint16_t>(t));
    tarvo_param_batch_set(epc_adapter_get_dev(), &item, 1);
}

void intg_decrease(const epc_drv_state_t *st, int step) {
    if (hdr_active(st)) return;
    if (configGetIntegrationTime3D() < step) configSetIntegrationTime3D(step);
    int t = configGetIntegrationTime3D() - step;
    if (t < 51) t = 50;
    configSetIntegrationTime3D(t);
    send_intg_time(t);
}

// Adjusts the integration time from the share of out-of-range samples.
void auto_integration(const epc_drv_state_t *st, const uint8_t *src, uint32_t S) {
    const uint32_t n = S / 2;
    uint32_t n_sat = 0, n_low = 0, n_high = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint16_t v = le16(src + 2 * size_t{i});
        if (v == 0 || v >= 4095)
            ++n_sat;
        else if (v >= 2 && v <= 511)
            ++n_low;
        else if (v >= 3585 && v <= 4094)
            ++n_high;
    }
    const float ratio = n ? static_cast<float>(n_sat) / static_cast<float>(n) * 1000.0f : 0.0f;
    const float T = static_cast<float>(st->auto_intg_threshold);
    if (ratio > T) {
        int step = 10;
        for (int s = 90; s >= 10; s -= 10) {
            if (ratio > static_cast<float>(s)) {
                step = s;
                break;
            }
        }
        intg_decrease(st, step);
    } else if (ratio == T) {
        intg_decrease(st, 10);
    } else if (ratio > 0.0f && n_high > 512) {
        intg_decrease(st, 10);
    } else if (n_high > 10 || n_low > 512) {
        // Close enough: leave it.
    } else if (!hdr_active(st)) {
        const int t = configGetIntegrationTime3D() + 50;
        if (t <= 1500) {
            send_intg_time(t);
            configSetIntegrationTime3D(t);
        }
    }
}

// True when the frame may be decoded; false when it was dropped (and the
// camera asked to re-synchronise).
bool sync_guard(tarvo_drv_t *drv, epc_drv_state_t *st, const uint8_t *src, uint32_t S, uint32_t w,
                uint32_t h) {
    const size_t plane = size_t{w} * h;
    const size_t pixels = S / 8 < plane ? S / 8 : plane;
    uint64_t a = 0, b = 0;
    for (size_t k = 0; k < pixels; ++k) {
        const unsigned d0 = le16(src + 2 * k) & 0xFFFu;
        const unsigned d1 = le16(src + 2 * (plane + k)) & 0xFFFu;
        const unsigned d2 = le16(src + 2 * (2 * plane + k)) & 0xFFFu;
        const unsigned d3 = le16(src + 2 * (3 * plane + k)) & 0xFFFu;
        const unsigned s02 = d0 + d2, s13 = d1 + d3;
        if (s02 >= 4017 && s02 <= 4175) ++a;
        if (s13 >= 4017 && s13 <= 4175) ++b;
    }
    if (a * 100 / plane > 60 && b * 100 / plane > 60) return true;
    st->frame_valid.store(0);
    const int64_t now = clock_ms() / 1000;
    if (now == g_last_sync_s) return true;  // within the same second: decode on
    tarvo_param_item_t item{};
    item.param_id = TARVO_PARAM_SYNC_DELAY;
    // The camera's own parameter table: the i16 delay first, then the flag.
    item.param_val_len = 3;
    put_le16(item.param_val, st->sync_value);
    item.param_val[2] = st->sync_flag;
    tarvo_param_batch_set(drv->dev, &item, 1);
    g_last_sync_s = now;
    return false;
}

// Undistorts `tmp` (320 x 240) into dst, or copies it when the map does
// not serve the image.
void finish_image(const epc_drv_state_t *st, float *dst, const float *tmp, uint32_t w, uint32_t h,
                  float invalid) {
    const int n = static_cast<int>(w * h);
    if (st->lens_undistort_on && w == 320 && h == 240) {
        // Held for the gather: a map switched meanwhile is freed after it.
        const LensMapRef ref = st->map.load();
        if (ref && ref->map.inited &&
            tq_calib_len_undistort(&ref->map, dst, n, tmp, 320, 240, invalid))
            return;
    }
    std::memcpy(dst, tmp, size_t{w} * h * sizeof(float));
}

int fail(epc_drv_state_t *st) {
    st->frame_valid.store(0);
    return -1;
}

int decode_distance_frame(tarvo_drv_t *drv, epc_drv_state_t *st, float *dst, int out_kind,
                          const uint16_t *src, uint32_t S, uint32_t w, uint32_t h) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(src);
    if (st->sync_guard_on && !sync_guard(drv, st, bytes, S, w, h)) return -1;
    const size_t n = size_t{w} * h;
    const int P = static_cast<int>(n);
    auto tmp = alloc<float>(n);
    if (!tmp) return fail(st);
    if (out_kind == TARVO_DRV_OUT_GRAY) {
        if (!calcDefPiDelayGetDataSorted_opt(k_mode_amplitude, tmp.get(), src, P)) return fail(st);
        finish_image(st, dst, tmp.get(), w, h, 0.0f);
        return static_cast<int>(4 * n);
    }
    if (out_kind != TARVO_DRV_OUT_DISTANCE) return fail(st);
    if (!st->hdr_on) {
        if (!calcDefPiDelayGetDataSorted_opt(k_mode_metres, tmp.get(), src, P)) return fail(st);
    } else {
        const int f = configGetModulationFrequency();
        auto phase = alloc<uint16_t>(n);
        if (!phase || f <= 0) return fail(st);
        if (!calcDefPiDelayGetDataSorted_opt(k_mode_phase, phase.get(), src, P)) return fail(st);
        hdr_merge_rows(phase.get(), static_cast<int>(w), static_cast<int>(h));
        for (size_t i = 0; i < n; ++i) tmp[i] = hdr_to_metres(phase[i], f);
    }
    // Pixels the undistortion finds no source for are invalid pixels: the
    // low-amplitude code, which clouds and colour maps skip (a distance of
    // 30 m would put a shell of false points round every cloud).
    finish_image(st, dst, tmp.get(), w, h, 65.3f);
    return static_cast<int>(4 * n);
}

}  // namespace

void reset_sync_clock() {
    g_last_sync_s = k_never;
}

void hdr_merge_rows(uint16_t *img, int w, int h) {
    for (int k = 0; k < h / 2; ++k) {
        uint16_t *up = img + static_cast<size_t>(2 * k) * static_cast<size_t>(w);
        uint16_t *lo = up + w;
        for (int c = 0; c < w; ++c) {
            const uint16_t u = up[c], l = lo[c];
            const bool vu = u <= EPC_CODE_VALID_MAX, vl = l <= EPC_CODE_VALID_MAX;
            uint16_t v;
            if (vu && vl)
                v = u >= l ? u : l;
            else if (vu)
                v = u;
            else if (vl)
                v = l;
            else
                v = (u == EPC_CODE_LOW_AMPLITUDE || l == EPC_CODE_LOW_AMPLITUDE)
                        ? EPC_CODE_LOW_AMPLITUDE
                        : EPC_CODE_SATURATED;
            up[c] = lo[c] = v;
        }
    }
}

float hdr_to_metres(uint16_t v, int freq_khz) {
    if (v > EPC_CODE_VALID_MAX) return static_cast<float>(v) / 1000.0f;
    const float K = 149896224.0f / static_cast<float>(freq_khz * 1000);
    return static_cast<float>(v) * K / 30000.0f;
}

int epc_frame_decode(tarvo_drv_t *drv, void *dst, uint32_t dst_bytes, int out_kind,
                     const uint16_t *src, uint32_t src_bytes, const tarvo_frame_info_t *info) {
    epc_drv_state_t *st = live_state(drv, k_fn);
    if (!st || !info) return -1;
    if (!dst || !src) return fail(st);
    const uint32_t w = info->width, h = info->height;
    const uint32_t S = src_bytes < info->frame_size ? src_bytes : info->frame_size;
    const uint64_t px = uint64_t{w} * h;

    epc_image_t image{};
    image.info = *info;
    image.data = src;
    pruSetImage(&image);
    // The engine must not keep a pointer into the caller's buffer once
    // the decode is over.
    struct ClearImage {
        ~ClearImage() { pruSetImage(nullptr); }
    } clear_image;
    const uint16_t fmt = info->frame_format;
    if (fmt <= 9) {
        calculationEnablePiDelay(k_pi_delay[fmt]);
        calculationEnableDualMGX(k_dual_mgx[fmt]);
        calculationEnablePN(k_pn[fmt]);
    }
    if (st->min_amplitude_on) apiSetMinAmplitude(st->min_amplitude);
    if (st->auto_intg_on && st->auto_intg_threshold)
        auto_integration(st, reinterpret_cast<const uint8_t *>(src), S);

    switch (fmt) {
        case k_fmt_gray:
        case k_fmt_distance:
            break;
        case k_fmt_no_image:
            if (out_kind == TARVO_DRV_OUT_DISTANCE) st->frame_valid.store(0);
            return -1;
        case k_fmt_calib_data:
            TQ_INF("[%s] Calibration data frame,size:%d\n", k_fn,
                   static_cast<int>(info->frame_size));
            return fail(st);
        default:
            return fail(st);
    }
    if (fmt == k_fmt_gray && out_kind != TARVO_DRV_OUT_GRAY) return fail(st);
    // The kernel works on the sensor array; a larger image cannot be decoded.
    if (px == 0 || px > EPC_SENSOR_PIXELS) return fail(st);
    if (dst_bytes < 4 * px || S < 8 * px) {
        TQ_ERR("[%s] wrong data len: src=%d, dst=%d\n", k_fn, static_cast<int>(S),
               static_cast<int>(dst_bytes));
        return fail(st);
    }
    // Decode with the geometry of this frame, whatever frame was described last.
    pruSetSize(static_cast<int>(w), static_cast<int>(h / 2));
    auto *out = static_cast<float *>(dst);
    if (fmt == k_fmt_gray) {
        if (!calcDefPiDelayGetDataSorted_opt(k_mode_amplitude, out, src, static_cast<int>(px)))
            return fail(st);
        return static_cast<int>(4 * px);
    }
    return decode_distance_frame(drv, st, out, out_kind, src, S, w, h);
}

}  // namespace tarvo::drv::epc
