// Capture start and stop, the frame buffer size and the callbacks.
#include "api/dev_ctx.h"
#include "common/byteio.h"
#include "log/log.h"

namespace {

// Frames per second read at the last start, shared by every device.
std::atomic<uint32_t> g_fps_cache{0};

// The device whose application callback this thread is running, if any.
thread_local const tarvo_dev_ctx_t *t_callback_of = nullptr;

}  // namespace

namespace tarvo::dev {

std::atomic<uint32_t> &fps_cache() {
    return g_fps_cache;
}

CallbackScope::CallbackScope(const tarvo_dev_ctx_t *ctx) : outer_(t_callback_of) {
    t_callback_of = ctx;
}

CallbackScope::~CallbackScope() {
    t_callback_of = outer_;
}

bool in_callback_of(const tarvo_dev_ctx_t *ctx) {
    return ctx && t_callback_of == ctx;
}

bool cap_stop_ctx(tarvo_dev_t *dev, tarvo_dev_ctx_t *ctx) {
    BusyScope busy(dev);
    if (load(ctx->capturing)) {
        TQ_TRC("[%s] Enter\n", "_tarvo_cap_stop");
        store(ctx->cap_stopped, 1u);
        bool stopped = tarvo_ll_cap_stop(&ctx->ll);
        // Collecting calls and tarvo_cap_wait wake and see the end.
        wake_waiters(ctx, true);
        if (stopped) store(ctx->capturing, uint8_t{0});
        TQ_TRC("[%s] Exit\n", "_tarvo_cap_stop");
    }
    return true;
}

}  // namespace tarvo::dev

using namespace tarvo::dev;

extern "C" {

TARVO_API bool tarvo_cap_start(tarvo_dev_t *dev) {
    static const char k_name[] = "tarvo_cap_start";
    static const char k_inner[] = "_tarvo_cap_start";
    // Held for the whole start: close must not take the link away while
    // the start commands run.
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx || !ctx->ll.priv) {
        TQ_ERR(tarvo::k_no_device, k_name);
        return false;
    }

    tarvo_param_item_t fps = {};
    fps.param_id = TARVO_PARAM_FRAME_RATE;
    fps.param_val_len = 4;
    if (param_batch_get(dev, &fps, 1)) g_fps_cache.store(tarvo::le32(fps.param_val));

    tq_stream_cfg_t cfg = {};
    if (ctx->stream) tq_stream_get_cfg(ctx->stream, &cfg);
    if (!ctx->stream || cfg.fbuf_frames < 2) {
        TQ_ERR("[%s]  capture buffer not set or size is not correct \n", k_inner);
        return false;
    }

    TQ_TRC("[%s] Enter ... \n", k_inner);
    if (!ctx->ll.priv) {
        TQ_ERR(tarvo::k_no_device, k_inner);
        return false;
    }
    // A start on a capture that is still on (running, or ended by an
    // error) restarts it: the stream must be quiet before it is reset.
    if (load(ctx->capturing)) {
        TQ_DBG("[%s] capture still on, stop it first\n", k_inner);
        cap_stop_ctx(dev, ctx);
    }

    // Under the wait mutex, which the event handler holds while it feeds:
    // a late completion of the last capture never meets a half-done reset.
    pthread_mutex_lock(&ctx->cap_lock);
    store(ctx->trans_timeouts, 0);
    store(ctx->discard_total, 0u);
    store(ctx->cap_forced_stop, uint8_t{0});
    store(ctx->cap_err, 0);
    store(ctx->cap_err_arg, 0);
    // The statistics of the last capture would hide the first discards of
    // this one: the reassembler's counters start again from 0.
    ctx->stream_state = tq_stream_state_t{};
    tq_stream_reset(ctx->stream);
    store(ctx->cap_stopped, 0u);
    pthread_mutex_unlock(&ctx->cap_lock);

    TQ_DBG("[%s] issue start cmd\n", k_inner);
    bool ok = tarvo_ll_cap_start(&ctx->ll, ctx->cap_arg, on_capture_event, dev);
    if (ok) {
        store(ctx->capturing, uint8_t{1});
    } else {
        // Nothing will end this capture: back to idle, so that collecting
        // calls return at once instead of waiting for their time-out, and
        // no transfer of the cancelled ring is issued again.
        store(ctx->cap_stopped, 1u);
        tarvo_ll_cap_abort(&ctx->ll);
        wake_waiters(ctx, true);
    }
    return ok;
}

TARVO_API bool tarvo_cap_stop(tarvo_dev_t *dev) {
    static const char k_name[] = "tarvo_cap_stop";
    TQ_DBG("[%s] Enter\n", k_name);
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx) {
        TQ_ERR(tarvo::k_no_device, k_name);
        return false;
    }
    return cap_stop_ctx(dev, ctx);
}

TARVO_API bool tarvo_cap_is_ongoing(tarvo_dev_t *dev) {
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    return ctx && load(ctx->capturing) != 0;
}

TARVO_API bool tarvo_cap_set_frame_buffer(tarvo_dev_t *dev, void *, uint32_t size) {
    static const char k_name[] = "tarvo_cap_set_frame_buffer";
    if (!dev) return false;
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx || load(ctx->capturing)) {
        TQ_ERR("[%s]  Set frame buffer is not allowed when device is not open or is capturing\n",
               k_name);
        return false;
    }
    tq_stream_cfg_t cfg = {size / k_frame_slot_bytes};
    pthread_mutex_lock(&ctx->cap_lock);  // the event handler reads it while feeding
    tq_stream_set_cfg(ctx->stream, &cfg);
    pthread_mutex_unlock(&ctx->cap_lock);
    TQ_DBG("[%s] frame buffer: %d frames\n", k_name, static_cast<int>(cfg.fbuf_frames));
    ctx->cap_arg = 0;
    return true;
}

TARVO_API bool tarvo_cap_get_frame_buffer(tarvo_dev_t *dev, void **buf, uint32_t *size) {
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    tq_stream_cfg_t cfg = {};
    if (ctx && ctx->stream) tq_stream_get_cfg(ctx->stream, &cfg);
    if (buf) *buf = nullptr;
    if (size) *size = cfg.fbuf_frames * k_frame_slot_bytes;
    return true;
}

TARVO_API bool tarvo_cap_set_callback_on_frame_ready(tarvo_dev_t *dev, tarvo_frame_ready_cb_t cb) {
    static const char k_name[] = "tarvo_cap_set_callback_on_frame_ready";
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx) {
        TQ_ERR(tarvo::k_no_device, k_name);
        return false;
    }
    store(ctx->on_cap_frdy, cb);
    TQ_DBG("[%s] set on_cap_frdy to %p\n", k_name, reinterpret_cast<void *>(cb));
    return true;
}

TARVO_API bool tarvo_cap_set_callback_on_error(tarvo_dev_t *dev, tarvo_error_cb_t cb) {
    static const char k_name[] = "tarvo_cap_set_callback_on_error";
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx) {
        TQ_ERR(tarvo::k_no_device, k_name);
        return false;
    }
    store(ctx->on_cap_err, cb);
    TQ_DBG("[%s] set on_cap_err to %p\n", k_name, reinterpret_cast<void *>(cb));
    return true;
}

}  // extern "C"
