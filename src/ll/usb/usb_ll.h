// The USB link: the operations behind ll_op_usb.
//
// Constants of the camera's USB interface and the entry points of the
// link. This header does not pull in libusb, so the simulated camera can
// share the constants; the link's private record lives in usb_ll_priv.h.
//
// Threads. Every operation is called on an application thread, except
// usb_ll_cap_abort(), which the capture callback also calls on the event
// thread. Commands to one device are issued one at a time (the camera's
// status record names only its last command). Transfer completions, and so
// the capture callback, run on the device's event thread.
#pragma once

#include <cstdint>

#include "tarvo/tarvo_ll.h"

namespace tarvo::usb {

// The camera's USB identity: one vendor/product id pair. The simulated
// camera presents the same pair.
constexpr uint16_t k_vendor_id = 0x1209;
constexpr uint16_t k_product_id = 0x7A7F;

// Configuration, interfaces and the stream endpoint.
constexpr int k_config = 1;
constexpr int k_interface = 0;
constexpr int k_interface_alt = 1;
constexpr uint8_t k_stream_ep = 0x81;

// Control requests (class requests, recipient endpoint).
constexpr uint8_t USB_LL_REQ_STATUS = 0xB0;
constexpr uint8_t USB_LL_REQ_DEV = 0xC0;
constexpr uint8_t USB_LL_REQ_SENSOR = 0xC2;
constexpr uint8_t USB_LL_REQ_DATA = 0xCC;
constexpr uint8_t k_reqtype_out = 0x22;  // host to camera
constexpr uint8_t k_reqtype_in = 0xA2;   // camera to host

// Sub-commands (setup packet value) of USB_LL_REQ_DEV.
constexpr uint16_t k_dev_reset = 0;
constexpr uint16_t k_dev_param_set = 3;
constexpr uint16_t k_dev_param_get = 4;
// Sub-commands of USB_LL_REQ_SENSOR.
constexpr uint16_t k_sensor_reg_write = 0;
constexpr uint16_t k_sensor_reg_read = 1;
constexpr uint16_t k_sensor_cap_start = 4;
constexpr uint16_t k_sensor_cap_stop = 5;

// Reset target that re-enumerates the camera's USB interface.
constexpr uint8_t k_reset_target_usb_if = 3;

// Status record of USB_LL_REQ_STATUS: status, request, value, error text.
constexpr int k_status_len = 63;
constexpr int k_status_text_len = 60;
constexpr uint8_t k_status_error = 0xFF;
constexpr uint8_t k_status_busy = 0xFE;

// Register header: target (u8), first register (u32), byte count (u16).
constexpr int k_reg_hdr_len = 7;
constexpr int k_reg_chunk = 16;
// Parameter items travel in chunks of three on a get.
constexpr int k_param_item_len = TARVO_LL_PARAM_ITEM_SIZE;
constexpr int k_param_chunk = 3;

// The streaming ring.
constexpr int k_ring_size = 16;
constexpr int k_ring_buf_len = 153600;
constexpr unsigned k_ring_timeout_ms = 6000;

// Commands: time-out handed to libusb, and the cancel after about one second
// (k_cmd_polls rounds of k_cmd_poll_ms, also the step of the drain waits).
constexpr unsigned k_cmd_timeout_ms = 1000;
constexpr int k_cmd_poll_ms = 10;
constexpr int k_cmd_polls = 100;

// The event thread's rounds.
constexpr int k_evt_round_us = 200000;

// Interface reset: reopen attempts and the pause before each.
constexpr int k_reopen_tries = 15;
constexpr int k_reopen_pause_ms = 200;
constexpr int k_reset_timeout_ms = 3000;

// ---- Library-level operations (usb_ll_ops.cpp) ----

// Prepares the link; always true. Called once by tarvo_ll_init().
bool usb_ll_init();
// Undoes usb_ll_init(); nothing to do.
void usb_ll_uninit();
// Maps a library log level (0..5) to a libusb log level (4,4,3,2,1,0; other
// values 0), stores it for contexts created from now on and returns it.
// Any thread.
int usb_ll_set_debug(int level);
// The libusb debug level applied to contexts created from now on.
int usb_ll_debug_level();

// ---- Discovery, open, close, reset (usb_ll_dev.cpp) ----

// Fills up to `max` zeroed records with the attached cameras, in bus
// enumeration order, each with if_type 1 and ops = ll_op_usb. Returns the
// number filled (0 on any libusb failure). Uses a short-lived libusb
// context of its own. Blocks for the enumeration only. Any thread.
int usb_ll_dev_list(tarvo_ll_dev_t *list, int max);

// Opens the camera the record names (if_type 1: same bus and port, any
// address) or the first camera (if_type 0, which then becomes 1 with the
// identity filled in). Allocates the private data on first use (allocation
// failure ends the process: exit status -2 for the record, -1 for a ring
// buffer), creates the libusb context, claims interface 0 (or 1) and starts
// the event thread. Returns `dev`, or null: a null record, ext_handle not
// 0, no matching camera (the private data is kept for the next attempt), or
// a failure after the camera was opened (the record is then closed).
// Not concurrently with any other operation on the same record.
tarvo_ll_dev_t *usb_ll_dev_open(tarvo_ll_dev_t *dev);

// As usb_ll_dev_open(); allocates the private data first when missing.
tarvo_ll_dev_t *usb_ll_dev_open_by_fd(tarvo_ll_dev_t *dev);

// Stops and joins the event thread (at most one 200 ms round, plus up to
// two seconds for command transfers whose answer is still on its way),
// releases the interfaces, closes the handle, destroys the context and
// frees the private data. A record without a device handle is reported
// ("device no need to closed!") and any private data it still holds (left
// by a failed open) is freed. Streaming must be stopped first. Not from the
// event thread; not concurrently with other operations on the record.
void usb_ll_dev_close(tarvo_ll_dev_t *dev);

// Resets a part of the camera. Target 3 (the USB interface): sends the
// reset, closes the record and reopens it up to 15 times, 200 ms apart;
// returns false whether or not the reopen succeeded (the record tells:
// priv->handle set). Any other target: sends the reset and returns the
// camera's status check. Blocks (up to about 4 s for target 3).
bool usb_ll_dev_reset(tarvo_ll_dev_t *dev, uint8_t target);

// ---- Command channel (usb_ll_cmd.cpp, usb_ll_access.cpp) ----

// One control transfer with an optional data stage: `dir` non-zero sends
// `len` bytes of `data`, `dir` 0 receives up to `len` bytes into `data`.
// True exactly when `len` bytes moved. Returns as soon as the completion
// runs on the event thread, and cancels after about one second whatever
// `timeout_ms` is; a timed-out
// transfer stays owned by its completion, never by the returned call.
// `len` must lie in 0..65535. Blocks up to about 1 s. Needs the event
// thread running. Any application thread.
bool usb_ll_exe_cmd(tarvo_ll_dev_t *dev, uint8_t dir, uint8_t request, uint16_t value, void *data,
                    int len, uint32_t timeout_ms);

// Asks the camera for the status of its last command: true when it names
// (`type`, `value`) and did not fail. Busy answers are polled again at
// once, for at most about 10 s (then an error line and false). Blocks.
bool usb_ll_check_last_cmd(tarvo_ll_dev_t *dev, uint8_t type, uint8_t value);

// Writes `reg_cnt` consecutive 32-bit registers (addressed by index) of
// register space `target` in one command, then checks it. The data stage
// must fit 16 bits (at most 16382 registers); libusb on Linux takes at most
// 4096 bytes per control transfer (1022 registers). Blocks.
bool usb_ll_reg_write(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                      uint16_t reg_cnt);

// Reads `reg_cnt` consecutive registers in chunks of 16 (a write phase with
// the register header, then a read phase, each checked). 0 registers: true
// without a transfer. On failure `vals` may hold part of the values. Blocks.
bool usb_ll_reg_read(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *vals,
                     uint16_t reg_cnt);

// Writes `n` link parameter items of 20 bytes in one command and checks
// it. At most 3276 items fit the 16-bit data stage (204 in one usbfs
// control transfer). Blocks.
bool usb_ll_param_set(tarvo_ll_dev_t *dev, const void *items, int n);

// Reads the values of `n` link parameter items in place, in chunks of 3:
// bytes 1..19 of each item are zeroed, then the camera fills length and
// value. n <= 0: true without a transfer. Blocks.
bool usb_ll_param_get(tarvo_ll_dev_t *dev, void *items, int n);

// ---- Streaming (usb_ll_stream.cpp) ----

// Queues the ring of 16 bulk reads on endpoint 0x81 and sends the capture
// start command with `cap_arg`. Every finished transfer goes to `cb` on the
// event thread and is reissued until the stream is aborted. A failed start
// command aborts and cancels the ring (the cancellations reach `cb` as
// TARVO_LL_EVT_CANCELLED, nothing is reissued) and returns false. Transfers
// of an earlier stream still in flight are cancelled and awaited (up to
// 2 s) first. Blocks for the commands. Application thread.
bool usb_ll_cap_start(tarvo_ll_dev_t *dev, uint32_t cap_arg, tarvo_ll_cap_cb_t cb, void *cb_arg);

// Aborts the stream, cancels every transfer of the ring, sends the stop
// command and waits (up to 2 s) until every transfer of the ring has
// completed, so that the callback sees nothing of this stream once the
// call returned. True when the camera confirms the stop. Blocks for the
// command and the cancellations. Application thread (called on the event
// thread it does not wait).
bool usb_ll_cap_stop(tarvo_ll_dev_t *dev);

// Marks the stream aborted: no transfer is reissued any more. Any thread,
// including the capture callback on the event thread.
void usb_ll_cap_abort(tarvo_ll_dev_t *dev);

// ---- Knobs for tests ----

// Upper bound of the busy re-polling in usb_ll_check_last_cmd() (default
// 10000 ms). Returns the previous value. Any thread.
int usb_ll_set_busy_limit_ms(int ms);

// Time-out of each streaming transfer, applied from the next submission
// (default 6000 ms). Returns the previous value. Any thread.
int usb_ll_set_ring_timeout_ms(int ms);

}  // namespace tarvo::usb
