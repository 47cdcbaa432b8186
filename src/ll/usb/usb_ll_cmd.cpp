// The command channel: one control transfer per command, completed on the
// event thread, which wakes the waiting caller at once, and the status
// check that follows every command.
//
// A command that times out returns to its caller before libusb has handed
// the transfer back. The transfer, its buffer and the completion flag
// therefore live in a heap context shared by the caller and the completion
// callback; whichever of the two lets go last frees it.
#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/byteio.h"
#include "ll/usb/usb_ll_priv.h"
#include "log/log.h"
#include "platform/platform.h"

namespace tarvo::usb {

namespace {

constexpr int k_setup_len = LIBUSB_CONTROL_SETUP_SIZE;
static_assert(k_setup_len == 8);

std::atomic<int> g_busy_limit_ms{10000};

struct CmdCtx {
    libusb_transfer *xfer = nullptr;
    usb_ll_priv_t *priv = nullptr;
    std::atomic<int> done{0};  // the completion flag, set under `mu`
    std::atomic<int> refs{2};  // the waiting call and the completion
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv;  // signalled once, when `done` is set
    bool cv_made = platform::mono_cond_init(&cv) == 0;

    ~CmdCtx() {
        if (cv_made) pthread_cond_destroy(&cv);
        pthread_mutex_destroy(&mu);
    }
};

// Drops one reference; the last one frees the transfer (and with it the
// buffer) and the context.
void cmd_unref(CmdCtx *c) {
    if (c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        libusb_free_transfer(c->xfer);
        delete c;
    }
}

// Waits until the completion has run or the deadline has passed; true when
// it ran.
bool cmd_wait(CmdCtx *c, const struct timespec &deadline) {
    pthread_mutex_lock(&c->mu);
    while (!c->done.load(std::memory_order_acquire)) {
        if (pthread_cond_timedwait(&c->cv, &c->mu, &deadline) == ETIMEDOUT) break;
    }
    const bool done = c->done.load(std::memory_order_acquire);
    pthread_mutex_unlock(&c->mu);
    return done;
}

void LIBUSB_CALL usb_ll_on_cmd_finish(libusb_transfer *t) {
    xfer_acquire();
    auto *c = static_cast<CmdCtx *>(t->user_data);
    TQ_TRC("[%s] tx actual_len = %d, status  = %d\n", "_usb_ll_on_cmd_finish", t->actual_length,
           static_cast<int>(t->status));
    usb_ll_priv_t *p = c->priv;
    pthread_mutex_lock(&c->mu);
    c->done.store(1, std::memory_order_release);
    pthread_cond_signal(&c->cv);
    pthread_mutex_unlock(&c->mu);
    cmd_unref(c);
    cmd_pending_word(p).fetch_sub(1);
}

// libusb result of a finished command transfer.
int status_result(const libusb_transfer *t) {
    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return t->actual_length;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        case LIBUSB_TRANSFER_ERROR:
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_ERROR_IO;
        default:
            TQ_WRN("[%s] unrecognised status code %d", "usb_ll_exe_cmd",
                   static_cast<int>(t->status));
            return LIBUSB_ERROR_OTHER;
    }
}

}  // namespace

int usb_ll_set_busy_limit_ms(int ms) {
    return g_busy_limit_ms.exchange(ms);
}

bool usb_ll_exe_cmd(tarvo_ll_dev_t *dev, uint8_t dir, uint8_t request, uint16_t value, void *data,
                    int len, uint32_t timeout_ms) {
    static const char *const k_fn = "usb_ll_exe_cmd";
    usb_ll_priv_t *p = priv_of(dev);
    if (!p || !p->handle) {
        TQ_ERR("[%s]  USB handler Is NULL!\r\n", k_fn);
        return false;
    }
    if (len < 0 || len > 0xFFFF || (len > 0 && !data)) {
        TQ_ERR("[%s] bad data stage: %d bytes at %p\n", k_fn, len, data);
        return false;
    }

    libusb_transfer *t = libusb_alloc_transfer(0);
    if (!t) {
        TQ_ERR("[%s] no memory\n", k_fn);
        return false;
    }
    auto *buf = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(len) + k_setup_len, 1));
    CmdCtx *c = buf ? new (std::nothrow) CmdCtx : nullptr;
    if (!buf || !c || !c->cv_made) {
        TQ_ERR("[%s] no memory\n", k_fn);
        delete c;
        std::free(buf);
        libusb_free_transfer(t);
        return false;
    }
    c->xfer = t;
    c->priv = p;

    ByteWriter w(buf, static_cast<size_t>(len) + k_setup_len);
    w.u8(dir ? k_reqtype_out : k_reqtype_in);
    w.u8(request);
    w.u16(value);
    w.u16(0);
    w.u16(static_cast<uint16_t>(len));
    if (dir) w.bytes(data, static_cast<size_t>(len));

    t->dev_handle = p->handle;
    t->endpoint = 0;
    t->type = LIBUSB_TRANSFER_TYPE_CONTROL;
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    t->timeout = timeout_ms;
    t->buffer = buf;
    t->length = len + k_setup_len;
    t->callback = usb_ll_on_cmd_finish;
    t->user_data = c;

    cmd_pending_word(p).fetch_add(1);
    xfer_publish();
    if (libusb_submit_transfer(t) < 0) {
        TQ_ERR("[%s] libusb_submit_transfer failed\n", k_fn);
        cmd_pending_word(p).fetch_sub(1);
        libusb_free_transfer(t);
        delete c;
        return false;
    }

    // The completion wakes this call at once. The limit is counted in
    // rounds of 10 ms rather than read off the clock once, as it always
    // was: on a loaded machine each round runs long, and the camera's
    // answer gets the same extra time. After 100 rounds (about one second)
    // the transfer is cancelled, whatever `timeout_ms` says.
    bool done = false;
    for (int round = 0; !done && round < k_cmd_polls; ++round)
        done = cmd_wait(c, platform::mono_deadline_after(k_cmd_poll_ms));
    if (!done) {
        TQ_WRN("[%s] contrl trans timeout , cancel it\n", k_fn);
        libusb_cancel_transfer(t);
    }

    int result;
    if (!c->done.load(std::memory_order_acquire)) {
        // The completion still owns the transfer; it frees it when it runs.
        TQ_ERR("[%s] control transfer timeout !\n", k_fn);
        result = LIBUSB_ERROR_TIMEOUT;
    } else {
        if (!dir) {
            int got = std::clamp(t->actual_length, 0, len);
            if (got > 0) std::memcpy(data, buf + k_setup_len, static_cast<size_t>(got));
        }
        result = status_result(t);
    }
    cmd_unref(c);

    if (result == len) return true;
    TQ_ERR("[%s] exe usb cmd failed: %s\n", k_fn, libusb_error_name(result));
    return false;
}

bool usb_ll_check_last_cmd(tarvo_ll_dev_t *dev, uint8_t type, uint8_t value) {
    static const char *const k_fn = "usb_ll_check_last_cmd";
    const int64_t start = platform::mono_ms();
    for (;;) {
        uint8_t rec[k_status_len] = {};
        if (!usb_ll_exe_cmd(dev, 0, USB_LL_REQ_STATUS, 0, rec, k_status_len, k_cmd_timeout_ms))
            return false;
        ByteReader r(rec, sizeof rec);
        uint8_t status = r.u8();
        uint8_t last_req = r.u8();
        uint8_t last_val = r.u8();
        if (last_req != type || last_val != value) {
            TQ_WRN("[%s]  last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", k_fn, last_req,
                   last_val, type, value);
            return false;
        }
        if (status == k_status_error) {
            char text[k_status_text_len + 1];
            r.bytes(text, k_status_text_len);
            text[k_status_text_len] = '\0';  // printed up to its first zero, never past it
            TQ_ERR("[%s] %s\n", k_fn, text);
            return false;
        }
        if (status != k_status_busy) return true;
        const int limit = g_busy_limit_ms.load();
        if (platform::mono_ms() - start >= limit) {
            TQ_ERR("[%s] camera still busy with (t=%u,v=%u) after %d ms\n", k_fn, type, value,
                   limit);
            return false;
        }
    }
}

}  // namespace tarvo::usb
