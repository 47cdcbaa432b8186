// The per-device context behind an open tarvo_dev_t. Only src/api sees it;
// the rooms above reach a device through api/dev_door.h.
//
// The per-device context behind an open tarvo_dev_t: the link-level record
// first (the link sees only that part), then the driver, the open and
// capture flags, the reassembler, the capture state, and the wait objects.
//
// Threads: the link's event thread runs on_capture_event and writes the
// capture state words (cap_stopped, trans_timeouts, discard_total, cap_err,
// cap_err_arg, stream_state); application threads run every entry point.
// Words that both sides touch are read and written through the atomic
// helpers below (std::atomic_ref), so the record keeps its plain layout.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "api/dev_door.h"
#include "tarvo/tarvo_dev.h"
#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_ll.h"
#include "tarvo/tq_stream.h"

struct tarvo_dev_ctx {
    tarvo_ll_dev_t ll;    // must stay first: the link hands back &ll
    tarvo_drv_t *drv;     // the driver row in use: &drv_row once the open found one
    tarvo_drv_t drv_row;  // this device's copy of its registry row
    uint8_t opened;
    uint8_t capturing;
    tq_stream_t *stream;
    // Capture state.
    tq_stream_state_t stream_state;
    tarvo_frame_info_t last_info;
    uint32_t cap_arg;
    uint32_t cap_stopped;
    int32_t trans_timeouts;
    uint32_t discard_total;
    int32_t cap_err;
    uint8_t cap_forced_stop;
    int32_t cap_err_arg;
    tarvo_frame_ready_cb_t on_cap_frdy;
    tarvo_error_cb_t on_cap_err;
    // Wait objects.
    pthread_cond_t cap_cond;
    pthread_mutex_t cap_lock;
    tarvo_cap_req_t *cap_req;
};
typedef struct tarvo_dev_ctx tarvo_dev_ctx_t;

static_assert(offsetof(tarvo_dev_ctx_t, ll) == 0, "the link record heads the context");

namespace tarvo::dev {

// Frame slot size used to turn a frame buffer size into frames.
constexpr uint32_t k_frame_slot_bytes = 320 * 240 * 4;
// Scratch buffer of a handling pass that feeds only the frame-ready callback.
constexpr uint32_t k_scratch_bytes = 0x400000;
// Frames the reassembler of a newly opened device holds.
constexpr uint32_t k_open_frames = 10;

inline tarvo_dev_ctx_t *ctx_of(tarvo_ll_dev_t *ll) {
    return reinterpret_cast<tarvo_dev_ctx_t *>(ll);
}

// Atomic access to words shared between the event thread and application
// threads.
template <typename T>
inline T load(T &word) {
    return std::atomic_ref<T>(word).load();
}
template <typename T>
inline void store(T &word, T value) {
    std::atomic_ref<T>(word).store(value);
}
template <typename T>
inline T fetch_add(T &word, T value) {
    return std::atomic_ref<T>(word).fetch_add(value);
}

// The device's context as an entry point sees it: the record's lldev,
// read atomically because close clears it from another thread.
inline tarvo_dev_ctx_t *ctx_load(tarvo_dev_t *dev) {
    if (!dev) return nullptr;
    return ctx_of(std::atomic_ref<tarvo_ll_dev_t *>(dev->lldev).load());
}

// The context of an open device, or null. Call with api_busy held: close
// clears lldev and `opened` before it waits for api_busy to fall to 0, so a
// context returned here stays valid until the caller leaves.
inline tarvo_dev_ctx_t *open_ctx(tarvo_dev_t *dev) {
    tarvo_dev_ctx_t *ctx = ctx_load(dev);
    if (!ctx || load(ctx->opened) != 1) return nullptr;
    return ctx;
}

// Wakes every thread waiting on the device's condition variable.
inline void wake_waiters(tarvo_dev_ctx_t *ctx, bool broadcast) {
    pthread_mutex_lock(&ctx->cap_lock);
    if (broadcast)
        pthread_cond_broadcast(&ctx->cap_cond);
    else
        pthread_cond_signal(&ctx->cap_cond);
    pthread_mutex_unlock(&ctx->cap_lock);
}

// Parameter read with its log name "_tarvo_param_batch_get"; used by open,
// by capture start and by the public entry point.
bool param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count);

// Capture stop on a context the caller already holds (close uses it after
// it cleared the record's lldev).
bool cap_stop_ctx(tarvo_dev_t *dev, tarvo_dev_ctx_t *ctx);

// The process-wide frame-rate cache read by the collecting calls.
std::atomic<uint32_t> &fps_cache();

// Marks the calling thread as running an application callback of `ctx`
// (frame ready or error) for the scope's life, so that a tarvo_dev_close
// of the same device from inside it can be refused at once: it would wait
// for the very call it runs in.
class CallbackScope {
  public:
    explicit CallbackScope(const tarvo_dev_ctx_t *ctx);
    ~CallbackScope();
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;

  private:
    const tarvo_dev_ctx_t *outer_;
};

// True when the calling thread is inside a callback of `ctx`.
bool in_callback_of(const tarvo_dev_ctx_t *ctx);

}  // namespace tarvo::dev

extern "C" int on_capture_event(tarvo_ll_dev_t *lldev, int event, const uint8_t *data, int len,
                                void *cb_arg);
