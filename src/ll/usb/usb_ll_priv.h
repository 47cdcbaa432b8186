// The USB link's private data, hung on tarvo_ll_dev_t::priv, and the small
// helpers the link's files share.
//
// Ownership: allocated by the first open of a record, freed by
// usb_ll_dev_close(). The event thread reads it through the record while
// the record is open; close joins the thread before freeing anything.
#pragma once

#include <libusb.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "ll/usb/usb_ll.h"

namespace tarvo::usb {

struct usb_ll_priv_t {
    libusb_context *ctx;                  // per device; null until the first open
    libusb_device_handle *handle;         // null while no camera is open
    libusb_transfer *trans[k_ring_size];  // the streaming ring
    uint8_t *bufs[k_ring_size];           // one buffer of k_ring_buf_len per transfer
    uint8_t abort;                        // 1: stop reissuing (atomic access only)
    tarvo_ll_cap_cb_t cap_cb;             // set before the ring is submitted
    void *cap_cb_arg;
    pthread_t evt_thread;
    int evt_stop;         // completion flag of the event loop (atomic)
    uint8_t evt_running;  // 1 while the event loop runs (atomic)
    // Beyond the fields above:
    uint8_t evt_started;  // evt_thread was created and not joined
    int cmd_pending;      // command transfers whose completion is due (atomic)
    int ring_queued;      // ring transfers submitted and not yet finished (atomic)
};

inline usb_ll_priv_t *priv_of(const tarvo_ll_dev_t *dev) {
    return dev ? static_cast<usb_ll_priv_t *>(dev->priv) : nullptr;
}

// Atomic views of the words shared with the event thread.
inline std::atomic_ref<uint8_t> abort_word(usb_ll_priv_t *p) {
    return std::atomic_ref(p->abort);
}
inline std::atomic_ref<int> evt_stop_word(usb_ll_priv_t *p) {
    return std::atomic_ref(p->evt_stop);
}
inline std::atomic_ref<uint8_t> evt_running_word(usb_ll_priv_t *p) {
    return std::atomic_ref(p->evt_running);
}
inline std::atomic_ref<int> cmd_pending_word(usb_ll_priv_t *p) {
    return std::atomic_ref(p->cmd_pending);
}
inline std::atomic_ref<int> ring_queued_word(usb_ll_priv_t *p) {
    return std::atomic_ref(p->ring_queued);
}

// libusb's own locks order a submission before its completion callback,
// but libusb is not instrumented and ThreadSanitizer cannot see them. Every
// submission publishes (release) and every completion callback acquires
// first, which makes the order visible. Costs one atomic each.
void xfer_publish();
void xfer_acquire();

// Allocates the private data and the ring of a record that has none. Ends
// the process on allocation failure (-2 for the record, -1 for the ring).
void priv_alloc(tarvo_ll_dev_t *dev);

// Frees the ring and the private data; the context and handle must be gone.
void priv_free(tarvo_ll_dev_t *dev);

// Starts the event thread of an open record; false when it cannot be
// created. Stops and joins it (no-op when it is not running).
bool evt_thread_start(tarvo_ll_dev_t *dev);
void evt_thread_stop(tarvo_ll_dev_t *dev);

// Aborts the stream, cancels every queued ring transfer and waits up to
// `ms` for their completions. Returns true when the ring is idle.
bool ring_drain(usb_ll_priv_t *p, int ms);

// Waits up to `ms` for command transfers that returned to their callers
// early (time-outs) to complete on the event thread. Returns true when none
// is left.
bool cmd_drain(usb_ll_priv_t *p, int ms);

}  // namespace tarvo::usb
