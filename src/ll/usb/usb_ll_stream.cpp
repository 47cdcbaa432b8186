// The streaming ring: 16 bulk reads kept queued on endpoint 0x81, each
// handed to the capture callback and reissued from its own completion.
//
// `abort` stops the reissuing; `ring_queued` counts the transfers libusb
// still holds, so that a new start or a close never touches a transfer
// that is in flight.
#include <libusb.h>
#include <pthread.h>

#include <atomic>

#include "common/byteio.h"
#include "ll/usb/usb_ll_priv.h"
#include "log/log.h"
#include "platform/platform.h"

namespace tarvo::usb {

namespace {

constexpr int k_drain_ms = 2000;

std::atomic<int> g_ring_timeout_ms{static_cast<int>(k_ring_timeout_ms)};

unsigned ring_timeout() {
    return static_cast<unsigned>(g_ring_timeout_ms.load());
}

bool on_event_thread(const usb_ll_priv_t *p) {
    return p->evt_started && pthread_equal(pthread_self(), p->evt_thread);
}

// Capture event of a finished transfer, with its log line.
int event_of(const libusb_transfer *t, int idx) {
    static const char *const k_fn = "on_usb_trans_event";
    const int got = t->actual_length;
    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return TARVO_LL_EVT_DATA;
        case LIBUSB_TRANSFER_CANCELLED:
            TQ_TRC("[%s] trans[%d] cancelled (last_tx=%d)\n", k_fn, idx, got);
            return TARVO_LL_EVT_CANCELLED;
        case LIBUSB_TRANSFER_TIMED_OUT:
            TQ_DBG("[%s] trans[%d] timeout (last_tx=%d)\n", k_fn, idx, got);
            return TARVO_LL_EVT_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            TQ_WRN("[%s] trans[%d] stall (last_tx=%d)\n", k_fn, idx, got);
            return TARVO_LL_EVT_STALL;
        default:
            TQ_WRN("[%s] trans[%d] error (%d) (last_tx=%d)\n", k_fn, idx,
                   static_cast<int>(t->status), got);
            return TARVO_LL_EVT_UNKNOWN;
    }
}

void LIBUSB_CALL on_usb_trans_event(libusb_transfer *t) {
    static const char *const k_fn = "on_usb_trans_event";
    xfer_acquire();
    auto *dev = static_cast<tarvo_ll_dev_t *>(t->user_data);
    usb_ll_priv_t *p = priv_of(dev);
    const int idx = static_cast<int>(libusb_transfer_get_stream_id(t));
    TQ_TRC("[%s] trans[%d]: txlen=%d, status = %d\n", k_fn, idx, t->actual_length,
           static_cast<int>(t->status));
    const int evt = event_of(t, idx);
    if (p->cap_cb) p->cap_cb(dev, evt, t->buffer, t->actual_length, p->cap_cb_arg);

    // Read after the callback: an abort it decided applies to this transfer.
    if (t->length > 0 && !abort_word(p).load()) {
        TQ_TRC("[%s] trans[%d] issue: size=%d \n", k_fn, idx, t->length);
        t->timeout = ring_timeout();
        xfer_publish();
        int r = libusb_submit_transfer(t);
        if (r < 0) {
            TQ_ERR("[%s] Unable to submit URB. libusb error code: %d\n", k_fn, r);
            // The last transfer out of the ring: nothing completes any more
            // (a camera that left the bus between completion and reissue),
            // so the capture engine is told instead of waiting for data.
            if (ring_queued_word(p).fetch_sub(1) == 1 && p->cap_cb)
                p->cap_cb(dev, TARVO_LL_EVT_UNKNOWN, nullptr, 0, p->cap_cb_arg);
        } else if (abort_word(p).load()) {
            // A stop ran between the check and the submission and may have
            // missed this transfer: cancel it here.
            libusb_cancel_transfer(t);
        }
        return;
    }
    ring_queued_word(p).fetch_sub(1);
}

void cancel_ring(usb_ll_priv_t *p, const char *fn) {
    for (int i = 0; i < k_ring_size; ++i) {
        TQ_TRC("[%s] trans[%d] cancel: status=%d\n", fn, i, static_cast<int>(p->trans[i]->status));
        libusb_cancel_transfer(p->trans[i]);
    }
}

bool is_open(usb_ll_priv_t *p, const char *fn) {
    if (p && p->handle) return true;
    TQ_ERR("[%s]  USB handler Is NULL!\r\n", fn);
    return false;
}

}  // namespace

bool ring_drain(usb_ll_priv_t *p, int ms) {
    if (ring_queued_word(p).load() <= 0) return true;
    abort_word(p).store(1);
    for (int i = 0; i < k_ring_size; ++i) libusb_cancel_transfer(p->trans[i]);
    for (int waited = 0; ring_queued_word(p).load() > 0; waited += k_cmd_poll_ms) {
        if (waited >= ms || !evt_running_word(p).load()) return false;
        platform::sleep_ms(k_cmd_poll_ms);
    }
    return true;
}

bool usb_ll_cap_start(tarvo_ll_dev_t *dev, uint32_t cap_arg, tarvo_ll_cap_cb_t cb, void *cb_arg) {
    static const char *const k_fn = "usb_ll_cap_start";
    usb_ll_priv_t *p = priv_of(dev);
    if (!is_open(p, k_fn)) return false;
    // Transfers of an earlier stream still in flight would be rewritten
    // under libusb's hands: let them finish first.
    if (!ring_drain(p, k_drain_ms)) {
        TQ_ERR("[%s] %d transfers of the last stream still queued\n", k_fn,
               ring_queued_word(p).load());
        return false;
    }
    abort_word(p).store(0);

    int r = libusb_clear_halt(p->handle, k_stream_ep);
    if (r < 0) TQ_ERR("[%s]  Clear halt failed on EP: %0x!\r\n", k_fn, k_stream_ep);

    p->cap_cb = cb;
    p->cap_cb_arg = cb_arg;
    for (int i = 0; i < k_ring_size; ++i) {
        libusb_transfer *t = p->trans[i];
        libusb_fill_bulk_transfer(t, p->handle, k_stream_ep, p->bufs[i], k_ring_buf_len,
                                  on_usb_trans_event, dev, ring_timeout());
        t->flags = 0;
        libusb_transfer_set_stream_id(t, static_cast<uint32_t>(i));
        ring_queued_word(p).fetch_add(1);
        xfer_publish();
        if (libusb_submit_transfer(t) == 0) {
            TQ_TRC("[%s] trans[%d] issue: txlen=%d\n", k_fn, i, k_ring_buf_len);
        } else {
            ring_queued_word(p).fetch_sub(1);
            TQ_ERR("[%s] trans[%d] issue failed\n", k_fn, i);
        }
    }

    TQ_TRC("[%s] Enter\n", k_fn);
    uint8_t arg[4];
    ByteWriter w(arg, sizeof arg);
    w.u32(cap_arg);
    if (usb_ll_exe_cmd(dev, 1, USB_LL_REQ_SENSOR, k_sensor_cap_start, arg, sizeof arg,
                       k_cmd_timeout_ms) &&
        usb_ll_check_last_cmd(dev, USB_LL_REQ_SENSOR, k_sensor_cap_start))
        return true;

    TQ_WRN("[%s] tarvo_ll_cap_start failed\n", k_fn);
    // Abort before cancelling: a transfer that completes while the ring is
    // being cancelled would otherwise be reissued past its cancellation and
    // keep the stream alive. The cancellations still reach the callback.
    abort_word(p).store(1);
    cancel_ring(p, k_fn);
    return false;
}

bool usb_ll_cap_stop(tarvo_ll_dev_t *dev) {
    static const char *const k_fn = "usb_ll_cap_stop";
    usb_ll_priv_t *p = priv_of(dev);
    if (!is_open(p, k_fn)) return false;
    abort_word(p).store(1);
    cancel_ring(p, k_fn);
    uint8_t stop = USB_LL_REQ_SENSOR;
    const bool ok =
        usb_ll_exe_cmd(dev, 1, USB_LL_REQ_SENSOR, k_sensor_cap_stop, &stop, 1, k_cmd_timeout_ms) &&
        usb_ll_check_last_cmd(dev, USB_LL_REQ_SENSOR, k_sensor_cap_stop);
    // Return with the ring idle, so that no completion of this stream
    // reaches the callback after the caller went on (to reset what the
    // callback feeds, or to start again). The event thread itself cannot
    // wait for its own completions.
    if (!on_event_thread(p) && !ring_drain(p, k_drain_ms))
        TQ_WRN("[%s] %d transfers still queued\n", k_fn, ring_queued_word(p).load());
    return ok;
}

int usb_ll_set_ring_timeout_ms(int ms) {
    return g_ring_timeout_ms.exchange(ms);
}

void usb_ll_cap_abort(tarvo_ll_dev_t *dev) {
    usb_ll_priv_t *p = priv_of(dev);
    if (p) abort_word(p).store(1);
}

}  // namespace tarvo::usb
