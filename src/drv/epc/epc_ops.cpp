// The EPC driver's operation table: start and end of the driver, frame
// description with the temperature monitor, lens parameter scaling, the
// filter switches and the frame valid flag. Decoding lives in
// epc_decode.cpp, calibration loading in epc_calib.cpp.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/byteio.h"
#include "drv/epc/epc_drv.h"
#include "epc/epc_state.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_epc_drv.h"

namespace tarvo::drv::epc {

namespace {

constexpr int k_addr = 32;
constexpr int64_t k_monitor_interval_ms = 90 * 1000;
constexpr int64_t k_never = INT64_MIN;

// Clock reading of the last temperature report (process-wide, like the
// engine), k_never before the first. Atomic: the collecting and the
// decoding thread may differ.
std::atomic<int64_t> g_last_report_ms{k_never};
std::atomic<clock_fn> g_clock{nullptr};

void free_state(tarvo_drv_t *drv) {
    epc_drv_state_t *st = state_of(drv);
    if (!st) return;
    delete st;  // the map goes with its last user
    drv->priv = nullptr;
}

bool epc_init(tarvo_drv_t *drv, tarvo_dev_t *dev) {
    static const char *const fn = "epc_init";
    if (!drv || !dev) return false;
    // The engine is process-wide: while it serves another camera, this one
    // is refused before anything of the engine or of the driver is touched
    // (`dev` stays empty, so the open fails).
    if (const tarvo_dev_t *holder = epc_adapter_get_dev(); holder && holder != dev) {
        TQ_ERR("[%s] the EPC engine is bound to another camera (@ %p); close it first\n", fn,
               static_cast<const void *>(holder));
        return false;
    }
    drv->dev = dev;
    free_state(drv);  // init called again on the same row
    auto *st = new (std::nothrow) epc_drv_state_t();
    if (!st) return false;
    drv->priv = st;

    st->map.store(build_lens_map(lens_record()));
    st->calib_reload_mode = 2;
    st->min_amplitude_on = 1;
    st->temp_monitor_on = 1;
    st->temp_threshold = 75;

    // The product text is a fixed 32-byte field; never read past it.
    char product[sizeof dev->product + 1];
    std::memcpy(product, dev->product, sizeof dev->product);
    product[sizeof dev->product] = '\0';
    char ver[17] = {};
    if (std::sscanf(product, "%*16[^-]-%*16[^-]-%16[^-]", ver) < 1) {
        free_state(drv);
        return false;
    }
    epcSetExtModEnable(std::strncmp(ver, "2.0", 3) == 0 ? 1 : 0);
    TQ_DBG("[%s] FW_VER:%d\n", fn, static_cast<int>(le16(dev->version + 2)));

    const int ok = epc_adapter_init(dev);
    if (ok) return true;
    TQ_ERR("[%s] epc_adapter_init failed!\n", fn);
    free_state(drv);
    return false;
}

void epc_uninit(tarvo_drv_t *drv) {
    if (!drv) return;
    epc_drv_state_t *st = state_of(drv);
    // Only the camera this row serves is unbound; another binding (a
    // stand-alone start on another camera) is left alone. A stand-alone
    // start's camera closed with tarvo_dev_close is not ended here: that
    // would end the library in the middle of the close.
    if (st) tarvo::epc::adapter_release(drv->dev);
    free_state(drv);
}

int32_t read_param_u32(tarvo_dev_t *dev, uint32_t id) {
    tarvo_param_item_t item{};
    item.param_id = id;
    if (!tarvo_param_batch_get(dev, &item, 1)) return 0;
    return static_cast<int32_t>(le32(item.param_val));
}

void temperature_monitor(tarvo_drv_t *drv, const epc_drv_state_t *st) {
    static const char *const fn = "epc_temperature_moniter";
    if (!st->temp_monitor_on) {
        TQ_TRC("[%s] Temp monitor not enable\n", fn);
        return;
    }
    const int64_t now = clock_ms();
    const int64_t last = g_last_report_ms.load();
    if (last != k_never && now - last < k_monitor_interval_ms) return;
    // Another thread describing a frame at the same moment reports once.
    int64_t expected = last;
    if (!g_last_report_ms.compare_exchange_strong(expected, now)) return;
    const int fps = read_param_u32(drv->dev, TARVO_PARAM_FRAME_RATE);
    // The first report has no earlier one: its interval is 0.
    TQ_DBG("[%s] INTERV:%d, IBtemp:%.2f, Tsensor:%.2f, FPS:%d\n", fn,
           static_cast<int>(last == k_never ? 0 : (now - last) / 1000),
           temperatureGetIbTemperatureByFrameHeader() / 10.0,
           temperatureGetTemperatureByFrameHeader() / 10.0, fps);
    tarvo_param_item_t item{};
    item.param_id = TARVO_PARAM_INTG_TIME;
    const int intg = tarvo_param_batch_get(drv->dev, &item, 1) ? le16(item.param_val) : 0;
    TQ_DBG("[%s] intg_time:%d us\n", fn, intg);
}

bool epc_frame_get_info(tarvo_drv_t *drv, tarvo_frame_info_t *info, const tq_frame_hdr_t *hdr) {
    static const char *const fn = "epc_frame_get_info";
    if (!info || !hdr) return false;
    // Without driver state (init failed) the frame is still described, so
    // that raw frames reach the application, but the engine, which serves
    // no camera or another one, is left alone.
    epc_drv_state_t *st = state_of(drv);
    const uint32_t w = hdr->width ? hdr->width : 320;
    const uint32_t h = hdr->height ? hdr->height : 240;
    if (st) {
        st->frame_valid.store(1);
        const int16_t temps[2] = {static_cast<int16_t>(le16(hdr->drv_info)),
                                  static_cast<int16_t>(le16(hdr->drv_info + 2))};
        temperatureSetTemperatureByFrameHeader(temps);
        temperature_monitor(drv, st);
        pruSetSize(static_cast<int>(w), static_cast<int>(h / 2));
    }

    *info = tarvo_frame_info_t{};
    TQ_TRC("[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", fn, hdr->frfmt, static_cast<int>(hdr->frlen),
           static_cast<int>(w), static_cast<int>(h));
    const uint32_t pixels = w * h;  // at most 65535 x 65535, fits
    if (hdr->frfmt != k_fmt_calib_data && hdr->frlen % pixels != 0) return false;
    info->frame_size = hdr->frlen;
    info->frame_format = hdr->frfmt;
    info->frame_idx = hdr->fridx;
    info->width = w;
    info->height = h;
    info->frame_bpp = static_cast<uint8_t>(hdr->frlen / w / h);
    return true;
}

bool epc_lens_param_get(tarvo_drv_t *drv, tq_lens_param_t *out, int w, int h) {
    static const char *const fn = "epc_lens_param_get";
    if (!live_state(drv, fn)) return false;
    const tq_lens_param_t L = lens_record();
    // A size of 0 or below, or a record smaller than the image, has no
    // whole ratio: refused like a size that does not divide.
    if (!out || w <= 0 || h <= 0 || L.img_w < w || L.img_h < h || L.img_w % w != 0 ||
        L.img_h % h != 0) {
        TQ_WRN("[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n", fn, L.img_w,
               L.img_h, w, h);
        return false;
    }
    const int sx = L.img_w / w, sy = L.img_h / h;
    out->cx = L.cx / sx;
    out->cy = L.cy / sy;
    out->fx = L.fx / sx;
    out->fy = L.fy / sy;
    std::memcpy(out->dcoeff, L.dcoeff, sizeof out->dcoeff);
    out->img_w = w;
    out->img_h = h;
    // Undistorted images (the decode undistorts 320 x 240 images through
    // the map) are pictures of the map's camera K', free of distortion.
    const epc_drv_state_t *st = state_of(drv);
    const LensMapRef ref = st && st->lens_undistort_on ? st->map.load() : nullptr;
    if (ref && ref->map.inited && w == 320 && h == 240 && ref->map.width % w == 0 &&
        ref->map.height % h == 0) {
        const tq_calib_len_map_t &m = ref->map;
        const int mx = m.width / w, my = m.height / h;
        out->fx = m.new_cam[0] / mx;
        out->fy = m.new_cam[1] / my;
        out->cx = m.new_cam[2] / mx;
        out->cy = m.new_cam[3] / my;
        for (double &d : out->dcoeff) d = 0.0;
    }
    return true;
}

int epc_reserved5(tarvo_drv_t *) {
    return 0;
}

int epc_reserved6(tarvo_drv_t *, int, int value, int mode) {
    if (mode == 2) configInit(k_addr);
    return value;
}

int epc_reserved8(tarvo_drv_t *) {
    return 1;
}

template <class T>
T arg_value(const void *arg) {
    T v{};
    std::memcpy(&v, arg, sizeof v);
    return v;
}

// Bytes of the argument a filter reads; 0 for those that take none.
int arg_bytes(uint32_t id) {
    switch (id) {
        case TARVO_FILTER_CALIB_RELOAD:
            return 1;
        case TARVO_FILTER_MIN_AMPLITUDE:
            return 4;
        case TARVO_FILTER_AUTO_INTEGRATION:
        case TARVO_FILTER_SYNC_GUARD:
        case TARVO_FILTER_TEMP_MONITOR:
            return 2;
        default:
            return 0;
    }
}

bool epc_filter_enable(tarvo_drv_t *drv, uint32_t id, const void *arg, int arg_size) {
    static const char *const fn = "epc_filter_enable";
    epc_drv_state_t *st = live_state(drv, fn);
    if (!st) return false;
    const int need = arg_bytes(id);
    if (need && !arg) {
        TQ_WRN("[%s] filter %u needs an argument\n", fn, id);
        return false;
    }
    // A size of 0 says nothing (callers need not give one); a size that is
    // given must cover what the filter reads.
    if (need && arg_size > 0 && arg_size < need) {
        TQ_WRN("[%s] filter %u reads %d bytes, the argument has %d\n", fn, id, need, arg_size);
        return false;
    }
    switch (id) {
        case TARVO_FILTER_LENS_UNDISTORT: {
            _tq_update_len_param(drv->dev);
            const tq_lens_param_t lens = lens_record();
            // Built aside and swapped in whole: a decode running meanwhile
            // finishes with the map it took, which then goes.
            LensMapRef m = build_lens_map(lens);
            if (!m) {
                // The record cannot make a map: decoding goes on without one.
                TQ_WRN("[%s] lens param %dx%d makes no undistortion map\n", fn, lens.img_w,
                       lens.img_h);
                st->lens_undistort_on = 0;
                st->map.store(nullptr);
                return false;
            }
            st->map.store(std::move(m));
            st->lens_undistort_on = 1;
            break;
        }
        case TARVO_FILTER_CALIB_RELOAD:
            st->calib_reload_on = 1;
            st->calib_reload_mode = arg_value<uint8_t>(arg);
            if (st->calib_reload_mode == 2) configInit(k_addr);
            break;
        case TARVO_FILTER_MIN_AMPLITUDE:
            st->min_amplitude_on = 1;
            st->min_amplitude = arg_value<int32_t>(arg);
            break;
        case TARVO_FILTER_AUTO_INTEGRATION:
            st->auto_intg_on = 1;
            st->auto_intg_threshold = arg_value<uint16_t>(arg);
            break;
        case TARVO_FILTER_SYNC_GUARD:
            st->sync_guard_on = 1;
            st->sync_value = arg_value<uint16_t>(arg);
            st->sync_flag = arg_value<uint8_t>(arg) != 0;
            break;
        case TARVO_FILTER_TEMP_MONITOR:
            st->temp_monitor_on = 1;
            st->temp_threshold = arg_value<int16_t>(arg);
            break;
        case TARVO_FILTER_HDR:
            st->hdr_on = 1;
            configEnableHDR(1, k_addr);
            break;
        default:
            break;  // 2, 3 and unknown ids change nothing
    }
    return true;
}

bool epc_filter_disable(tarvo_drv_t *drv, uint32_t id) {
    epc_drv_state_t *st = live_state(drv, "epc_filter_disable");
    if (!st) return false;
    switch (id) {
        case TARVO_FILTER_LENS_UNDISTORT:
            st->lens_undistort_on = 0;
            break;
        case TARVO_FILTER_CALIB_RELOAD:
            st->calib_reload_on = 0;
            break;
        case TARVO_FILTER_MIN_AMPLITUDE:
            st->min_amplitude_on = 0;
            break;
        case TARVO_FILTER_AUTO_INTEGRATION:
            st->auto_intg_on = 0;
            st->auto_intg_threshold = 0;
            break;
        case TARVO_FILTER_SYNC_GUARD:
            st->sync_guard_on = 0;
            break;
        case TARVO_FILTER_TEMP_MONITOR:
            st->temp_monitor_on = 0;
            break;
        case TARVO_FILTER_HDR:
            st->hdr_on = 0;
            configEnableHDR(0, k_addr);
            // Back to the table correction with temperature compensation,
            // but only when the engine holds DRNU tables: without them the
            // table correction would mark every pixel out of range.
            if (tarvo::epc::state().enabledDRNU2) {
                calculationSetEnableDRNU(2);
                calculationSetEnableTemperature(1);
            }
            break;
        default:
            break;
    }
    return true;
}

// The driver bound to the engine's camera.
epc_drv_state_t *bound_state() {
    tarvo_dev_t *dev = epc_adapter_get_dev();
    if (!dev) return nullptr;
    tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    if (!drv || drv->ops != &g_tarvo_driver_op_epc) return nullptr;
    return state_of(drv);
}

}  // namespace

epc_drv_state_t *live_state(const tarvo_drv_t *drv, const char *fn) {
    epc_drv_state_t *st = state_of(drv);
    if (!st) TQ_ERR("[%s] the EPC driver did not start on this camera\n", fn);
    return st;
}

void reset_monitor_clock() {
    g_last_report_ms = k_never;
}

int64_t clock_ms() {
    const clock_fn fn = g_clock.load();
    return fn ? fn() : platform::mono_ms();
}

void set_clock(clock_fn fn) {
    g_clock.store(fn);
}

}  // namespace tarvo::drv::epc

using namespace tarvo::drv::epc;

extern "C" {

TARVO_API const tarvo_drv_ops_t g_tarvo_driver_op_epc = {
    epc_init,           epc_uninit,        epc_frame_get_info, epc_frame_decode,
    epc_lens_param_get, epc_reserved5,     epc_reserved6,      calib_load,
    epc_reserved8,      epc_filter_enable, epc_filter_disable,
};

TARVO_API uint8_t epc_adapater_get_frame_valid(void) {
    epc_drv_state_t *st = bound_state();
    return st ? st->frame_valid.load() : 1;
}

TARVO_API void epc_adapater_set_frame_valid(uint8_t valid) {
    if (epc_drv_state_t *st = bound_state()) st->frame_valid.store(valid);
}

}  // extern "C"
