/*
 * libtarvo: the host library of the tarvo USB time-of-flight cameras.
 *
 * This umbrella header includes every public header of the camera
 * interface. The chip-driver table (tarvo_drv.h) and the EPC engine's
 * entry points (tarvo_epc.h, tarvo_epc_drv.h) are not part of it: an
 * application that drives them includes them by name.
 *
 * Thread words used in the comments of every header:
 *   "any thread"      the call may be made from any thread at any time.
 *   "one thread"      process-wide configuration; make these calls from a
 *                     single thread, not concurrently with each other.
 *   "not concurrently with close"
 *                     the call may run beside other calls on the same
 *                     device, but not beside tarvo_dev_close() on it.
 *   "event thread"    the code runs on the device's link event thread; it
 *                     must not block and must not close the device.
 *
 * Ownership: the library allocates and frees its own records; a pointer
 * handed to a callback is valid only for the duration of that callback
 * unless its documentation says otherwise.
 */
#ifndef TARVO_H
#define TARVO_H

#include "tarvo_data.h"
#include "tarvo_dev.h"
#include "tarvo_frame.h"
#include "tarvo_ll.h"
#include "tarvo_log.h"
#include "tarvo_types.h"
#include "tq_calib_len.h"
#include "tq_cmap.h"
#include "tq_stream.h"

#endif /* TARVO_H */
