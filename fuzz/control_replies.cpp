// Fuzzes what the host reads back over the command channel: status records,
// register values and parameter items, through the USB link's own code
// (command execution, status check with its busy polling, chunked register
// and parameter reads). The executable supplies the five libusb transfer
// functions the command channel calls, so every control transfer is
// answered from the input at once, as a camera would answer it:
//
//   input = operations; each an opcode byte and its arguments. Every
//   transfer then takes one answer byte a (missing bytes: the camera is
//   gone):
//     a >> 6 == 0  completes; a status poll answers by a & 3: 0 ok for the
//                  last command, 1 busy, 2 error with 60 text bytes from the
//                  input, 3 a whole 63-byte record from the input; any other
//                  read gets its data stage from the input
//     a >> 6 == 1  completes short: the next byte mod (length + 1) bytes
//     a >> 6 >= 2  fails with one of the transfer statuses (a & 7)
//
// A sixth operation hands 32 input bytes as the product text to the driver
// look-up.
//
// Checks: an operation succeeds exactly when every answer it met was good
// (busy answers aside), and a read never writes past what was asked.
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "ll/usb/usb_ll_priv.h"
#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_ll.h"
#include "tarvo/tarvo_log.h"

using fuzz::check;

namespace {

struct Input {
    const uint8_t *p = nullptr;
    size_t n = 0;
    bool empty() const { return n == 0; }
    uint8_t u8() {
        if (!n) return 0;
        --n;
        return *p++;
    }
};

Input g_in;
bool g_bad = false;          // a failing answer was given during the operation
uint8_t g_last[2] = {0, 0};  // request and value of the last command sent

// Answers one transfer: fills the data stage and sets status and length.
void answer(libusb_transfer *t) {
    uint8_t *setup = t->buffer;
    const bool in = setup[0] & 0x80;
    const uint8_t req = setup[1];
    const int len = t->length - LIBUSB_CONTROL_SETUP_SIZE;
    uint8_t *stage = setup + LIBUSB_CONTROL_SETUP_SIZE;
    if (!in && req != 0xB0) {
        g_last[0] = req;
        g_last[1] = setup[2];
    }
    t->status = LIBUSB_TRANSFER_COMPLETED;
    t->actual_length = len;
    if (g_in.empty()) {
        t->status = LIBUSB_TRANSFER_NO_DEVICE;
        t->actual_length = 0;
        g_bad = true;
        return;
    }
    const uint8_t a = g_in.u8();
    if (a >> 6 >= 2) {
        static const libusb_transfer_status k_fail[8] = {
            LIBUSB_TRANSFER_ERROR, LIBUSB_TRANSFER_TIMED_OUT, LIBUSB_TRANSFER_CANCELLED,
            LIBUSB_TRANSFER_STALL, LIBUSB_TRANSFER_NO_DEVICE, LIBUSB_TRANSFER_OVERFLOW,
            LIBUSB_TRANSFER_ERROR,
            // Beyond the named statuses, still inside the enumeration's range.
            static_cast<libusb_transfer_status>(7)};
        t->status = k_fail[a & 7];
        t->actual_length = 0;
        g_bad = true;
        return;
    }
    if (a >> 6 == 1) {
        t->actual_length = g_in.u8() % (len + 1);
        if (t->actual_length != len) g_bad = true;
    }
    if (!in) return;
    if (req == 0xB0 && len == 63) {
        std::memset(stage, 0, 63);
        const int mode = a & 3;
        if (mode == 3) {
            for (int i = 0; i < 63; ++i) stage[i] = g_in.u8();
        } else {
            stage[0] = mode == 1 ? 0xFE : mode == 2 ? 0xFF : 0x00;
            stage[1] = g_last[0];
            stage[2] = g_last[1];
            if (mode == 2)
                for (int i = 3; i < 63; ++i) stage[i] = g_in.u8();
        }
        const bool mismatch = stage[1] != g_last[0] || stage[2] != g_last[1];
        if (mismatch || stage[0] == 0xFF) g_bad = true;
    } else {
        for (int i = 0; i < t->actual_length; ++i) stage[i] = g_in.u8();
    }
}

}  // namespace

// The libusb transfer functions of the command channel, answered in place.
extern "C" {
libusb_transfer *libusb_alloc_transfer(int) {
    return static_cast<libusb_transfer *>(std::calloc(1, sizeof(libusb_transfer)));
}
void libusb_free_transfer(libusb_transfer *t) {
    if (t && (t->flags & LIBUSB_TRANSFER_FREE_BUFFER)) std::free(t->buffer);
    std::free(t);
}
int libusb_submit_transfer(libusb_transfer *t) {
    answer(t);
    t->callback(t);
    return 0;
}
int libusb_cancel_transfer(libusb_transfer *) {
    return LIBUSB_ERROR_NOT_FOUND;
}
const char *libusb_error_name(int) {
    return "LIBUSB_ERROR";
}
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tq_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo::usb::usb_ll_priv_t priv{};
    priv.handle = reinterpret_cast<libusb_device_handle *>(&priv);
    tarvo_ll_dev_t dev{};
    dev.priv = &priv;
    dev.ops = &ll_op_usb;
    g_in = Input{data, size};
    g_last[0] = g_last[1] = 0;

    for (int ops = 0; ops < 16 && !g_in.empty(); ++ops) {
        const uint8_t op = g_in.u8();
        g_bad = false;
        bool ok = false;
        switch (op % 6) {
            case 0: {  // the status check alone, after a command of any kind
                const uint8_t type = g_in.u8(), value = g_in.u8();
                g_last[0] = type;
                g_last[1] = value;
                ok = tarvo_ll_check_last_cmd(&dev, type, value);
                break;
            }
            case 1: {  // register read, one chunk or several
                const int cnt = g_in.u8() % 41;
                std::vector<uint32_t> vals(static_cast<size_t>(cnt) + 4, 0xA5A5A5A5u);
                ok = tarvo_ll_reg_read(&dev, op >> 5, 0x100u * g_in.u8(), vals.data(), cnt);
                for (size_t i = static_cast<size_t>(cnt); i < vals.size(); ++i)
                    check(vals[i] == 0xA5A5A5A5u, "register read past the count");
                break;
            }
            case 2: {
                const int cnt = g_in.u8() % 20;
                std::vector<uint32_t> vals(static_cast<size_t>(cnt) + 1, 0x01020304u);
                ok = tarvo_ll_reg_write(&dev, op >> 5, g_in.u8(), vals.data(), cnt);
                break;
            }
            case 3: {  // parameter read, chunks of three items
                const int n = g_in.u8() % 8;
                std::vector<uint8_t> items(static_cast<size_t>(n + 1) * TARVO_LL_PARAM_ITEM_SIZE,
                                           0x5A);
                ok = tarvo_ll_param_get(&dev, items.data(), n);
                for (size_t i = static_cast<size_t>(n) * TARVO_LL_PARAM_ITEM_SIZE; i < items.size();
                     ++i)
                    check(items[i] == 0x5A, "parameter read past the items");
                break;
            }
            case 4: {
                const int n = 1 + g_in.u8() % 4;
                std::vector<uint8_t> items(static_cast<size_t>(n) * TARVO_LL_PARAM_ITEM_SIZE, 7);
                ok = tarvo_ll_param_set(&dev, items.data(), n);
                break;
            }
            case 5: {  // the product text the camera reported picks the driver
                tarvo_dev_t cam{};
                for (char &c : cam.product) c = static_cast<char>(g_in.u8());
                const tarvo_drv_t *row = tarvo_drv_find(&cam);
                const std::string text(cam.product, strnlen(cam.product, sizeof cam.product));
                check(!row || text.find('-' + std::string(row->code) + '-') != std::string::npos,
                      "driver picked for a code the product text does not name");
                ok = true;
                break;
            }
        }
        check(ok == !g_bad, ok ? "success despite a failing answer" : "failure without cause");
    }
    return 0;
}
