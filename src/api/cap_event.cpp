// The capture engine's event handler: runs on the link's event thread for
// every finished streaming transfer. It feeds the reassembler, keeps the
// error and time-out bookkeeping and wakes the collecting calls; it never
// calls an application callback and takes no lock but the wait mutex.
#include "api/dev_ctx.h"
#include "log/log.h"

namespace {

// Transfer time-outs tolerated in one capture before it is ended.
constexpr int32_t k_max_timeouts = 64;

using namespace tarvo::dev;

// Ends the capture at the link: no transfer is issued again.
void end_capture(tarvo_dev_ctx_t *ctx) {
    tarvo_ll_cap_abort(&ctx->ll);
}

}  // namespace

extern "C" int on_capture_event(tarvo_ll_dev_t *lldev, int event, const uint8_t *data, int len,
                                void *) {
    static const char k_name[] = "on_capture_event";
    if (!lldev) return 0;
    tarvo_dev_ctx_t *ctx = ctx_of(lldev);
    bool wake_all = false;

    switch (event) {
        case TARVO_LL_EVT_DATA:
            break;
        case TARVO_LL_EVT_CANCELLED:
            // The echo of a stop or of a refused start, both of which have
            // already ended the capture. Taking it as an end by itself
            // would let a cancellation of the last capture that completes
            // late end the next one.
            end_capture(ctx);
            break;
        case TARVO_LL_EVT_TIMEOUT: {
            int32_t n = fetch_add(ctx->trans_timeouts, 1) + 1;
            if (load(ctx->cap_stopped) == 0 && n > k_max_timeouts) {
                TQ_WRN("[%s] trans timeout -> stop\n", k_name);
                store(ctx->cap_stopped, 1u);
                store(ctx->cap_err_arg, 0);
                store(ctx->cap_err, static_cast<int32_t>(TARVO_LL_EVT_TIMEOUT));
                end_capture(ctx);
                wake_all = true;
            }
            break;
        }
        default:
            store(ctx->cap_err_arg, 0);
            store(ctx->cap_err, static_cast<int32_t>(event));
            if (std::atomic_ref<uint32_t>(ctx->cap_stopped).exchange(1u) == 0) end_capture(ctx);
            // The collecting call learns of the error now rather than at
            // its time-out.
            wake_waiters(ctx, true);
            return 0;
    }

    // The reassembler and the statistics seen last are touched under the
    // wait mutex, which tarvo_cap_start holds while it resets them: a
    // completion of the last capture that the link delivers late can then
    // never meet a reset halfway. Waiters do not hold the mutex while they
    // wait, and nothing here calls out of the library.
    pthread_mutex_lock(&ctx->cap_lock);
    bool ready = false;
    if (event == TARVO_LL_EVT_DATA && data && len > 0 && ctx->stream)
        ready = tq_stream_feed_input(ctx->stream, data, len);
    if (ctx->stream) {
        tq_stream_state_t st;
        tq_stream_get_state(ctx->stream, &st);
        if (st.fr_discarded > ctx->stream_state.fr_discarded) {
            TQ_DBG("[%s] trans discard %d frames\n", k_name,
                   static_cast<int>(st.fr_discarded - ctx->stream_state.fr_discarded));
            store(ctx->discard_total, st.fr_discarded);
            // An ending error that is still pending is not hidden by the
            // report of frames its stream left behind.
            if (load(ctx->cap_err) >= 0) {
                store(ctx->cap_err_arg, static_cast<int32_t>(st.fr_discarded));
                store(ctx->cap_err, static_cast<int32_t>(TARVO_ERR_CAP_FRAME_DISCARD));
            }
        }
        ctx->stream_state = st;
    }
    if (wake_all)
        pthread_cond_broadcast(&ctx->cap_cond);
    else if (ready || load(ctx->cap_err) != 0)
        pthread_cond_signal(&ctx->cap_cond);
    pthread_mutex_unlock(&ctx->cap_lock);
    return 0;
}
