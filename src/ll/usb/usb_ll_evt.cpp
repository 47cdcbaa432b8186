// The per-device event thread: libusb event handling in rounds of 200 ms.
// Every transfer completion of the device runs here.
#include <libusb.h>
#include <pthread.h>
#include <sys/time.h>

#include <atomic>

#include "ll/usb/usb_ll_priv.h"
#include "log/log.h"
#include "platform/platform.h"

namespace tarvo::usb {

namespace {

std::atomic<uint64_t> g_xfer_epoch{0};

void ll_event_loop(usb_ll_priv_t *p) {
    static const char *const k_fn = "_ll_event_loop";
    evt_running_word(p).store(1);
    TQ_TRC("[%s] Enter ll event loop...\n", k_fn);
    for (;;) {
        struct timeval tv = {0, k_evt_round_us};
        // libusb reads the flag between its waits; we write it atomically.
        int r = libusb_handle_events_timeout_completed(p->ctx, &tv, &p->evt_stop);
        if (r == 0) {
            if (evt_stop_word(p).load()) break;
            continue;
        }
        TQ_ERR("[%s] libusb reports error: %s\n", k_fn, libusb_error_name(r));
        if (r == LIBUSB_ERROR_INTERRUPTED) {
            TQ_WRN("[%s] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n", k_fn);
            break;
        }
        if (r == LIBUSB_ERROR_TIMEOUT) {
            TQ_WRN("[%s] libusb_handle_events timeout \n", k_fn);
            break;
        }
        if (r == LIBUSB_ERROR_BUSY || r == LIBUSB_ERROR_OVERFLOW) {
            if (evt_stop_word(p).load()) break;
            continue;
        }
        break;
    }
    evt_running_word(p).store(0);
    TQ_TRC("[%s] Exit ll event loop...\n", k_fn);
}

void *usb_ll_evt_thread(void *arg) {
    static const char *const k_fn = "_usb_ll_evt_thread";
    auto *dev = static_cast<tarvo_ll_dev_t *>(arg);
    TQ_DBG("[%s] enter\n", k_fn);
    ll_event_loop(priv_of(dev));
    TQ_DBG("[%s] exit\n", k_fn);
    return nullptr;
}

}  // namespace

void xfer_publish() {
    g_xfer_epoch.fetch_add(1, std::memory_order_release);
}
void xfer_acquire() {
    (void)g_xfer_epoch.load(std::memory_order_acquire);
}

bool evt_thread_start(tarvo_ll_dev_t *dev) {
    usb_ll_priv_t *p = priv_of(dev);
    evt_running_word(p).store(0);
    evt_stop_word(p).store(0);
    if (pthread_create(&p->evt_thread, nullptr, usb_ll_evt_thread, dev) != 0) return false;
    p->evt_started = 1;
    return true;
}

void evt_thread_stop(tarvo_ll_dev_t *dev) {
    usb_ll_priv_t *p = priv_of(dev);
    if (!p || !p->evt_started) return;
    evt_stop_word(p).store(1);
    // Wake the loop now rather than at the end of its 200 ms round.
    libusb_interrupt_event_handler(p->ctx);
    pthread_join(p->evt_thread, nullptr);
    p->evt_started = 0;
}

bool cmd_drain(usb_ll_priv_t *p, int ms) {
    for (int waited = 0; cmd_pending_word(p).load() > 0; waited += k_cmd_poll_ms) {
        // Without a running loop nothing completes any more.
        if (waited >= ms || !evt_running_word(p).load()) return false;
        platform::sleep_ms(k_cmd_poll_ms);
    }
    return true;
}

}  // namespace tarvo::usb
