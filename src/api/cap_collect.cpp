// Handing frames to the application: the collecting calls, the snapshot
// and the capture wait, and the handling pass they share. Everything here
// runs on the application's thread; callbacks run with no lock held.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "api/dev_ctx.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_log.h"

namespace {

using namespace tarvo::dev;

constexpr uint32_t k_all_frames = 0x7FFFFFFF;
const char k_collect[] = "_tarvo_cap_get_frames";

// Delivers a pending error to the error callback. Returns false when the
// callback ended delivery.
bool report_error(tarvo_dev_t *dev, tarvo_dev_ctx_t *ctx) {
    static const char k_name[] = "_cap_handle_rdy_data";
    tarvo_error_cb_t on_err = load(ctx->on_cap_err);
    int32_t err = load(ctx->cap_err);
    if (!on_err || err == 0) return true;
    int32_t arg = load(ctx->cap_err_arg);
    TQ_TRC("[%s] error cb invoke: %s\n", k_name, tarvo_error_name(err));
    bool go_on;
    {
        CallbackScope in_cb(ctx);
        go_on = on_err(dev, err, arg);
    }
    // Clear only the error that was reported; one raised meanwhile by the
    // event thread stays pending for the next pass.
    std::atomic_ref<int32_t>(ctx->cap_err).compare_exchange_strong(err, 0);
    if (!go_on) {
        TQ_DBG("[%s] error cb return false to stop capture\n", k_name);
        store(ctx->cap_stopped, 1u);
        store(ctx->cap_forced_stop, uint8_t{1});
        TQ_TRC("[%s] error callback force cap to stop\n", k_name);
        return false;
    }
    return true;
}

// One handling pass: reports a pending error, then takes up to `reqmax`
// frames from the reassembler into the request's buffer, or into a scratch
// buffer for the frame-ready callback, or drops them when neither exists.
void handle_ready(tarvo_dev_t *dev, tarvo_dev_ctx_t *ctx, uint32_t reqmax) {
    static const char k_name[] = "_cap_handle_rdy_data";
    if (!report_error(dev, ctx)) return;
    if (load(ctx->cap_forced_stop)) {
        TQ_TRC("[%s] error callback force cap to stop\n", k_name);
        return;
    }
    if (reqmax == 0 || tq_stream_fetch_frames(ctx->stream, nullptr, 0, 1, nullptr, true) == 0)
        return;

    tarvo_cap_req_t *req = std::atomic_ref<tarvo_cap_req_t *>(ctx->cap_req).load();
    if (req && req->total == 0) req = nullptr;  // tarvo_cap_wait's empty request
    tarvo_frame_ready_cb_t on_frame = load(ctx->on_cap_frdy);
    bool to_request = req && req->remaining > 0 && req->buf;
    uint8_t *scratch = nullptr;
    if (!to_request && on_frame) {
        scratch = static_cast<uint8_t *>(std::malloc(k_scratch_bytes));
        if (!scratch) {
            TQ_ERR("[%s] malloc failed\n", k_name);
            return;
        }
    }
    // Frames placed into the request stop when it is satisfied, so that no
    // frame is taken that the caller does not count.
    uint32_t limit = reqmax;
    if (to_request && req->remaining < limit) limit = req->remaining;

    const tarvo_drv_ops_t *ops = ctx->drv ? ctx->drv->ops : nullptr;
    uint32_t handled = 0;
    while (handled < limit) {
        uint8_t *place = to_request ? req->buf : scratch;
        uint32_t room = to_request ? req->buf_size : (scratch ? k_scratch_bytes : 0);
        tq_frame_hdr_t hdr = {};
        if (tq_stream_fetch_frames(ctx->stream, place, room, 1, &hdr, false) == 0) break;
        ++handled;

        if (!ops || !ops->frame_get_info || !ops->frame_get_info(ctx->drv, &ctx->last_info, &hdr)) {
            TQ_ERR("[%s]  driver frame_get_info failed!\n", k_name);
            std::memset(&ctx->last_info, 0, sizeof ctx->last_info);
        }
        if (req && req->remaining > 0) {
            if (req->remaining == req->total && req->info_out) *req->info_out = ctx->last_info;
            if (req->buf && req->buf_size >= hdr.frlen) {
                req->buf += hdr.frlen;
                req->buf_size -= hdr.frlen;
            }
            --req->remaining;
        }
        if (on_frame) {
            tarvo_frame_t frame;
            frame.frame_info = ctx->last_info;
            frame.frame_data = place;
            unsigned idx = hdr.fridx;
            TQ_TRC("[%s] frdy cb invoke: %u,%u\n", k_name, idx, idx);
            // Milliseconds, as the library clock gives them.
            const int64_t t0 = tarvo::platform::mono_ms();
            {
                CallbackScope in_cb(ctx);
                on_frame(dev, &frame);
            }
            const int64_t us = (tarvo::platform::mono_ms() - t0) * 1000;
            TQ_DBG("[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", k_name, idx, idx,
                   static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
        }
    }
    TQ_TRC("[%s] handle %u ready frames (reqmax: %d, rem: %d)\n", k_name, handled,
           static_cast<int>(reqmax), static_cast<int>(req ? req->remaining : reqmax));
    std::free(scratch);
}

// Waits for the next wake-up of the device, or the deadline. The end of
// the capture is checked under the mutex, so a stop that lands between the
// caller's check and the wait is not missed. With `unless_ready` a frame
// already in the ring counts as a wake-up too: the event handler feeds the
// ring under the same mutex, so a frame whose signal came before the wait
// (the only frame of a calibration read-out) is not waited past.
// Returns 0 on a wake-up (or when the capture has already ended), else the
// wait's error number.
int wait_event(tarvo_dev_ctx_t *ctx, const struct timespec *deadline, bool unless_ready = false) {
    pthread_mutex_lock(&ctx->cap_lock);
    int rc = 0;
    tq_stream_state_t st{};
    if (unless_ready && ctx->stream) tq_stream_get_state(ctx->stream, &st);
    if (load(ctx->cap_stopped) == 0 && st.fr_ready == 0) {
        rc = deadline ? pthread_cond_timedwait(&ctx->cap_cond, &ctx->cap_lock, deadline)
                      : pthread_cond_wait(&ctx->cap_cond, &ctx->cap_lock);
    }
    pthread_mutex_unlock(&ctx->cap_lock);
    return rc;
}

// Points cap_req at a request for the collecting call's duration. The
// device has one request slot, so one collecting call at a time: a second
// one, from another thread or from inside a callback, finds the slot taken
// and is refused instead of racing for the frames and the buffer.
class RequestScope {
  public:
    RequestScope(tarvo_dev_ctx_t *ctx, tarvo_cap_req_t *req) : ctx_(ctx) {
        tarvo_cap_req_t *none = nullptr;
        owned_ =
            std::atomic_ref<tarvo_cap_req_t *>(ctx_->cap_req).compare_exchange_strong(none, req);
        if (!owned_) TQ_DBG("[%s] another collecting call is in progress\n", k_collect);
    }
    ~RequestScope() {
        if (owned_) std::atomic_ref<tarvo_cap_req_t *>(ctx_->cap_req).store(nullptr);
    }
    bool owned() const { return owned_; }
    RequestScope(const RequestScope &) = delete;
    RequestScope &operator=(const RequestScope &) = delete;

  private:
    tarvo_dev_ctx_t *ctx_;
    bool owned_ = false;
};

}  // namespace

extern "C" {

TARVO_API int tarvo_cap_get_frames(tarvo_dev_t *dev, uint32_t frame_num, void *buf,
                                   uint32_t buf_size, tarvo_frame_info_t *info_out) {
    uint32_t fps = fps_cache().load();
    uint32_t per_frame;
    if (fps == 0) {
        fps_cache().store(20);
        per_frame = 50;
    } else {
        per_frame = 1000 / fps;
    }
    uint32_t timeout_ms = frame_num * 100u + frame_num * per_frame + 2000u;

    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx || frame_num == 0) {
        TQ_DBG("[%s] Wrong params\n", k_collect);
        return -1;
    }
    struct timespec deadline = tarvo::platform::mono_deadline_after(timeout_ms);
    TQ_TRC("[%s] frame_num = %d, timeout_msec=%d\n", k_collect, static_cast<int>(frame_num),
           static_cast<int>(timeout_ms));

    int32_t err = load(ctx->cap_err);
    tarvo_cap_req_t req = {frame_num, frame_num, static_cast<uint8_t *>(buf), buf_size, info_out};
    RequestScope scope(ctx, &req);
    if (!scope.owned()) return -1;
    if (err < 0) {
        handle_ready(dev, ctx, frame_num);
        return err;
    }

    while (load(ctx->cap_stopped) == 0) {
        int rc = wait_event(ctx, &deadline, true);
        if (rc != 0) {
            TQ_INF("[%s]  timeout ... (%s)\n", k_collect, std::strerror(rc));
            break;
        }
        handle_ready(dev, ctx, req.remaining);
        if (req.remaining == 0) break;
    }

    if (load(ctx->capturing)) {
        handle_ready(dev, ctx, req.remaining);
        return static_cast<int>(req.total - req.remaining);
    }
    TQ_TRC("[%s] device is not capturing\n", k_collect);
    handle_ready(dev, ctx, req.remaining);
    return -2;
}

TARVO_API int tarvo_cap_get_frame(tarvo_dev_t *dev, void *buf, uint32_t buf_size,
                                  tarvo_frame_info_t *info_out) {
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx) {
        TQ_DBG("[%s] Wrong params\n", k_collect);
        return -1;
    }
    TQ_TRC("[%s] frame_num = %d, timeout_msec=%d\n", k_collect, 1, 0);
    int32_t err = load(ctx->cap_err);
    tarvo_cap_req_t req = {1, 1, static_cast<uint8_t *>(buf), buf_size, info_out};
    RequestScope scope(ctx, &req);
    if (!scope.owned()) return -1;
    if (err < 0) {
        handle_ready(dev, ctx, 1);
        return err;
    }
    if (load(ctx->cap_stopped) == 0) {
        pthread_mutex_lock(&ctx->cap_lock);
        pthread_mutex_unlock(&ctx->cap_lock);
    }
    if (load(ctx->capturing)) {
        handle_ready(dev, ctx, 1);
        return static_cast<int>(1 - req.remaining);
    }
    TQ_TRC("[%s] device is not capturing\n", k_collect);
    handle_ready(dev, ctx, 1);
    return -2;
}

TARVO_API bool tarvo_cap_snapshot(tarvo_dev_t *dev, void *buf, uint32_t buf_size,
                                  tarvo_frame_info_t *info_out) {
    static const char k_name[] = "tarvo_cap_snapshot";
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx) {
        TQ_ERR("[%s] wrong parameters\n", k_name);
        return false;
    }
    if (load(ctx->capturing)) return tarvo_cap_get_frames(dev, 1, buf, buf_size, info_out) > 0;
    if (!tarvo_cap_start(dev)) return false;
    int n = tarvo_cap_get_frames(dev, 1, buf, buf_size, info_out);
    tarvo_cap_stop(dev);
    return n > 0;
}

TARVO_API bool tarvo_cap_wait(tarvo_dev_t *dev, int timeout_msec) {
    static const char k_name[] = "tarvo_cap_wait";
    TQ_DBG("[%s] timeout_msec=%d\n", k_name, timeout_msec);
    // api_busy stays set through the waits: close stops the capture (which
    // wakes this call) and then waits for it to leave, so the wait objects
    // are never destroyed under a waiting thread.
    BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx) {
        TQ_DBG("[%s] Wrong params\n", k_name);
        return false;
    }
    if (!load(ctx->capturing)) {
        TQ_DBG("[%s] device is not capturing\n", k_name);
        return false;
    }
    // An empty request: the frames go to the callback, and no other
    // collecting call runs meanwhile.
    tarvo_cap_req_t none = {};
    RequestScope scope(ctx, &none);
    if (!scope.owned()) return false;
    struct timespec deadline = tarvo::platform::mono_deadline_after(timeout_msec);
    bool result = true;
    if (load(ctx->cap_err) >= 0 && load(ctx->cap_stopped) == 0) {
        for (;;) {
            int rc = wait_event(ctx, timeout_msec != 0 ? &deadline : nullptr);
            if (rc != 0) {
                TQ_INF("[%s]  timeout ...\n", k_name);
                result = false;
                break;
            }
            handle_ready(dev, ctx, k_all_frames);
            if (load(ctx->cap_stopped)) break;
        }
    }
    handle_ready(dev, ctx, k_all_frames);
    return result;
}

}  // extern "C"
