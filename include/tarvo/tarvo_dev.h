/*
 * libtarvo: devices, parameters and registers, capture.
 *
 * Life of a device record (tarvo_dev_t):
 *
 *   listed --tarvo_dev_open--> open --tarvo_cap_start--> running
 *     ^                         | ^                         |  (error, 64+
 *     |                         | |                         v   time-outs,
 *     |                         | +---tarvo_cap_stop---- ended  error cb
 *     +-----tarvo_dev_close-----+                               false)
 *
 * "open": lldev set, driver bound, reassembler of 10 frames, no capture.
 * "running": tarvo_cap_is_ongoing() true, frames flow. "ended": the stream
 * stopped producing (or delivery was refused by the error callback) but
 * tarvo_cap_is_ongoing() stays true until tarvo_cap_stop(). Close from any
 * state returns the record to "listed"; its identity stays, so the same
 * record can be opened again.
 *
 * Threads: every call here may be made from any application thread, not
 * concurrently with tarvo_dev_open()/tarvo_dev_close() on the same record
 * unless said otherwise. tarvo_dev_close() may run while another thread is
 * blocked in a collecting call or inside a callback of the same device: it
 * wakes the collector and waits up to 3 s for it to leave. One collecting
 * call (tarvo_cap_get_frames, _get_frame, _snapshot, _wait) runs on a
 * device at a time; a second one meanwhile, from another thread or from a
 * callback, is refused (-1, or false). Callbacks run on the application thread
 * that is inside a collecting call, never on the link's event thread, and
 * with no library lock held; they may call the entry points of this header
 * except tarvo_dev_close() on their own device.
 *
 * Ownership: records passed in stay the application's. A record with
 * free_on_close set must come from malloc(); close and a failed open free
 * it. Frame bytes handed to the frame-ready callback are valid only during
 * the callback when no collecting buffer was given.
 */
#ifndef TARVO_DEV_H
#define TARVO_DEV_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

struct tarvo_drv;

/* ---- devices ---------------------------------------------------------- */

/**
 * Lists the attached cameras into `list` (at most `max` records; all `max`
 * records are zeroed first). Each entry has its identity and link type set
 * and `lldev` null. Returns the number found (0 to max); 0 with an error
 * message when `list` is null or `max` <= 0. Blocks for the USB
 * enumeration. Any thread.
 */
TARVO_API int tarvo_dev_list(tarvo_dev_t *list, int max);

/**
 * Opens the camera the record names (a listed entry, or a zeroed record for
 * the first camera found); null opens the library's own default record.
 * Reads the identity parameters (2, 3, 5, 6), binds the chip driver for the
 * product code, creates a reassembler of 10 frames, and runs the driver's
 * init and calibration load (a failed calibration load is logged and the
 * open still succeeds). A record that is still open is closed first (with a
 * warning) and opened again.
 * Returns the opened record (`dev`, or the default record), or null: the
 * link cannot be opened, the identity cannot be read, no driver serves the
 * product, or null was passed while the default record is open. On failure
 * the record's lldev is null again and a record with free_on_close is freed.
 * Blocks for the USB open and several commands (about 1 s at most each).
 * Ends the process (status -1) when its wait objects or the reassembler
 * cannot be created.
 */
TARVO_API tarvo_dev_t *tarvo_dev_open(tarvo_dev_t *dev);

/** Not supported on this platform: logs an error and returns null. */
TARVO_API tarvo_dev_t *tarvo_dev_open_by_fd(int fd);

/**
 * Closes an open device: refuses new calls on the record, stops a running
 * capture (waking collecting calls), waits up to 3 s (100 ms steps) for
 * calls still inside the device to leave, closes the link (joining its
 * event thread), releases the driver and the reassembler. A record with
 * free_on_close is freed. A call still inside after 3 s (a callback that
 * runs long) is logged ("api wait timeout"); the context, and a record
 * with free_on_close, are then freed when that call leaves. Null or a
 * record that is not open: only the log line. Blocks up to about 3.5 s.
 * Called from inside a callback of the same device it returns at once and
 * closes nothing (ERR "[tarvo_dev_close] called from a callback of this
 * device; close it from another thread"): stop the capture there, or close
 * from another thread.
 */
TARVO_API void tarvo_dev_close(tarvo_dev_t *dev);

/**
 * Resets a part of the camera: `target` 0 to 8 (3 resets the USB interface;
 * the link reopens the camera on the same bus and port). Returns true when
 * the camera confirmed; false for a device that is not open or a target
 * above 8. Blocks up to about 4 s for target 3.
 */
TARVO_API bool tarvo_dev_reset(tarvo_dev_t *dev, unsigned target);

/** The chip driver bound at open, or null when the record is not open. */
TARVO_API struct tarvo_drv *tarvo_dev_get_drv(tarvo_dev_t *dev);

/* ---- parameters and registers ----------------------------------------- */

/**
 * Writes `count` parameters in one command. Each item travels as its id's
 * low byte, `param_val_len` and the 18 value bytes. Returns true when the
 * camera confirmed; false for a device that is not open (items untouched),
 * a negative count, or a link failure. Blocks about 1 s at most.
 */
TARVO_API bool tarvo_param_batch_set(tarvo_dev_t *dev, const tarvo_param_item_t *items, int count);

/**
 * Reads `count` parameters: on success fills `param_val_len` and
 * `param_val` of every item and leaves `param_id` as it was; on failure the
 * items keep their contents. `count` <= 0 only asks the link. Returns false
 * for a device that is not open or a link failure. Blocks about 1 s per
 * three items at most.
 */
TARVO_API bool tarvo_param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count);

/**
 * Writes `count` (cut to 16 bits) consecutive 32-bit registers from
 * `reg_base` in the register space `target` (cut to a byte; 1 is the
 * sensor chip). Returns the link's result; false for a device that is not
 * open or a null `vals` with a non-zero count. Blocks.
 */
TARVO_API bool tarvo_reg_batch_write(tarvo_dev_t *dev, int target, uint32_t reg_base,
                                     const uint32_t *vals, unsigned count);

/** Reads registers as tarvo_reg_batch_write() writes them; fills `vals`. */
TARVO_API bool tarvo_reg_batch_read(tarvo_dev_t *dev, int target, uint32_t reg_base, uint32_t *vals,
                                    unsigned count);

/* ---- capture ---------------------------------------------------------- */

/**
 * Sets the reassembler's capacity to size / 307200 frames (the pointer is
 * not used: the library keeps its own frames). Refused (false) while the
 * device is not open or a capture runs. A capacity below 2 makes the next
 * tarvo_cap_start() fail.
 */
TARVO_API bool tarvo_cap_set_frame_buffer(tarvo_dev_t *dev, void *buf, uint32_t size);

/**
 * Reports the frame buffer: null as the buffer, capacity x 307200 bytes as
 * the size (0 for a device that is not open). Either pointer may be null.
 * Always true.
 */
TARVO_API bool tarvo_cap_get_frame_buffer(tarvo_dev_t *dev, void **buf, uint32_t *size);

/**
 * Sets (or with null removes) the frame-ready callback. It runs on the
 * thread of a collecting call, once per frame handed out, with the frame's
 * information and bytes. The next handling pass uses the new value. False
 * when the device is not open.
 */
TARVO_API bool tarvo_cap_set_callback_on_frame_ready(tarvo_dev_t *dev, tarvo_frame_ready_cb_t cb);

/**
 * Sets (or removes) the error callback. It runs on the thread of a
 * collecting call when a capture error is pending (err, arg); returning
 * false ends frame delivery until the next tarvo_cap_start(). False when
 * the device is not open.
 */
TARVO_API bool tarvo_cap_set_callback_on_error(tarvo_dev_t *dev, tarvo_error_cb_t cb);

/** True from a successful tarvo_cap_start() to a successful tarvo_cap_stop(). */
TARVO_API bool tarvo_cap_is_ongoing(tarvo_dev_t *dev);

/**
 * Starts a capture: reads the frame rate (parameter 12) into the
 * process-wide cache used for time-outs, clears the capture state and the
 * reassembler and starts the link's stream. False when the device is not
 * open, the reassembler holds fewer than 2 frames, or the camera refused.
 * Blocks for two commands (about 2 s at most).
 */
TARVO_API bool tarvo_cap_start(tarvo_dev_t *dev);

/**
 * Stops the capture: ends the stream, wakes collecting calls and
 * tarvo_cap_wait(). True also when the link could not stop the camera (the
 * capture then stays "ongoing"); false only for a device that is not open.
 */
TARVO_API bool tarvo_cap_stop(tarvo_dev_t *dev);

/**
 * Collects `frame_num` frames into `buf` one after another, waiting for each
 * data event. Waits at most frame_num x 100 + frame_num x (1000 / fps) +
 * 2000 ms, fps being the rate read at the last start (20 when unknown). A
 * frame larger than the room left is cut to it (and the position does not
 * advance). `info_out` (optional) receives the first frame's information.
 * A frame-ready callback, when set, also sees each frame.
 * Returns the frames placed (0 to frame_num; fewer on time-out), -1 for a
 * device that is not open, frame_num 0 or another collecting call in
 * progress, -2 when no capture runs, or a
 * pending negative capture error (without an error callback it stays
 * pending until the next start).
 */
TARVO_API int tarvo_cap_get_frames(tarvo_dev_t *dev, uint32_t frame_num, void *buf,
                                   uint32_t buf_size, tarvo_frame_info_t *info_out);

/**
 * Takes one frame if one is ready, without waiting. Returns 1 (placed),
 * 0 (none ready), -1, -2 or a pending negative error as above.
 */
TARVO_API int tarvo_cap_get_frame(tarvo_dev_t *dev, void *buf, uint32_t buf_size,
                                  tarvo_frame_info_t *info_out);

/**
 * One frame: from the running capture, or by starting a capture, collecting
 * one frame and stopping. True when a frame was placed. Blocks up to about
 * 2.2 s (plus start and stop).
 */
TARVO_API bool tarvo_cap_snapshot(tarvo_dev_t *dev, void *buf, uint32_t buf_size,
                                  tarvo_frame_info_t *info_out);

/**
 * Waits until the capture ends (an ending error, 64+ time-outs, a stop from
 * another thread), handing every ready frame to the frame-ready callback
 * meanwhile (frames are dropped without one). `timeout_msec` 0 waits
 * without limit. True when the capture ended; false on time-out, when no
 * capture runs or while another collecting call is in progress.
 */
TARVO_API bool tarvo_cap_wait(tarvo_dev_t *dev, int timeout_msec);

TARVO_END_DECLS

#endif /* TARVO_DEV_H */
