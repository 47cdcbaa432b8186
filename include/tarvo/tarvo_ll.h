/*
 * libtarvo: the link layer.
 *
 * The transport to a camera hides behind one table of operations. The
 * library has one link, USB, whose table is the exported constant
 * ll_op_usb. Everything above the link calls only the tarvo_ll_* wrappers,
 * which check their arguments, cut them to their wire widths and dispatch
 * through the record's own table (the USB table for a record not yet bound).
 *
 * The wrappers take no lock and may be called from any thread; commands to
 * one camera must be issued one at a time. The capture callback runs on
 * the link's event thread.
 */
#ifndef TARVO_LL_H
#define TARVO_LL_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

typedef struct tarvo_ll_ops tarvo_ll_ops_t;

/**
 * The link-level device record. For an open device it heads the larger
 * device context of the library; the link reads and writes only these
 * four fields.
 */
struct tarvo_ll_dev {
    void *priv;                 /**< link private data; null while closed */
    tarvo_ll_if_info_t if_info; /**< identity, survives close */
    const tarvo_ll_ops_t *ops;  /**< the link's table; null until the first open */
    uint8_t if_type;            /**< 0 no identity yet, 1 USB identity set */
};

/** Capture events handed to the capture callback. */
enum tarvo_ll_evt {
    TARVO_LL_EVT_DATA = 0,       /**< a transfer completed; data/len hold its bytes */
    TARVO_LL_EVT_CANCELLED = -3, /**< cancelled by stop or abort; never reported upwards */
    TARVO_LL_EVT_TIMEOUT = -5,   /**< the transfer timed out */
    TARVO_LL_EVT_STALL = -7,     /**< the endpoint stalled */
    TARVO_LL_EVT_UNKNOWN = -10   /**< any other transfer failure */
};

/**
 * Capture callback: called on the link's event thread once for every
 * finished streaming transfer. Its result is ignored.
 */
typedef int (*tarvo_ll_cap_cb_t)(tarvo_ll_dev_t *dev, int event, const uint8_t *data, int len,
                                 void *cb_arg);

/**
 * The 17 link operations, in this order. bool results: 1 success, 0
 * failure; every failure is logged by the operation. The wrappers below
 * are the only callers. Unless a slot says otherwise it runs on the
 * calling application thread, blocks until done and takes no lock;
 * commands to one camera are issued one at a time.
 */
struct tarvo_ll_ops {
    /** Prepares the link once per library start (tarvo_init). */
    bool (*init)(void);
    /** Undoes init (tarvo_uninit). */
    void (*uninit)(void);
    /** Sets the transport's debug output from the library's `level`; returns the level chosen. */
    int (*set_debug)(int level);
    /**
     * Opens the camera the record `dev` identifies (or the first one when
     * it has no identity yet), allocates `priv`, starts the event thread.
     * Returns `dev`, or null. Called by tarvo_dev_open.
     */
    tarvo_ll_dev_t *(*dev_open)(tarvo_ll_dev_t *dev);
    /** Second open entry; USB: allocates `priv` when missing, then opens as dev_open. */
    tarvo_ll_dev_t *(*dev_open_by_fd)(tarvo_ll_dev_t *dev);
    /** Closes `dev`, joins its event thread, frees `priv`. Never from the event thread. */
    void (*dev_close)(tarvo_ll_dev_t *dev);
    /** Fills up to `max` bare records of `list` (identity only); returns how many. */
    int (*dev_list)(tarvo_ll_dev_t *list, int max);
    /**
     * One command `request` with sub-command `value` and an optional data
     * stage of `len` bytes at `data`: `dir` non-zero sends them, 0 receives
     * up to `len` into `data`. True when `len` bytes moved within
     * `timeout_ms`; the call polls the completion every 10 ms.
     */
    bool (*exe_cmd)(tarvo_ll_dev_t *dev, uint8_t dir, uint8_t request, uint16_t value, void *data,
                    int len, uint32_t timeout_ms);
    /** True when the camera reports (`type`, `value`) as its last command and not failed. */
    bool (*check_last_cmd)(tarvo_ll_dev_t *dev, uint8_t type, uint8_t value);
    /** Marks the stream so that no further transfer is issued; does not wait. Any thread. */
    void (*cap_abort)(tarvo_ll_dev_t *dev);
    /**
     * Starts streaming with the camera's capture argument `cap_arg`; every
     * finished transfer goes to `cb` with `cb_arg` on the event thread
     * until cap_stop or cap_abort.
     */
    bool (*cap_start)(tarvo_ll_dev_t *dev, uint32_t cap_arg, tarvo_ll_cap_cb_t cb, void *cb_arg);
    /** Stops streaming: cancels the ring and sends the stop command. */
    bool (*cap_stop)(tarvo_ll_dev_t *dev);
    /** Resets part `target` of the camera (3: its USB interface, handled by the link). */
    bool (*dev_reset)(tarvo_ll_dev_t *dev, uint8_t target);
    /** Writes `reg_cnt` consecutive 32-bit registers from `vals` at `reg_base` of `target`. */
    bool (*reg_write)(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                      uint16_t reg_cnt);
    /** Reads `reg_cnt` consecutive 32-bit registers into `vals` from `reg_base` of `target`. */
    bool (*reg_read)(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *vals,
                     uint16_t reg_cnt);
    /** Writes the `n` link parameter items of 20 bytes at `items`. */
    bool (*param_set)(tarvo_ll_dev_t *dev, const void *items, int n);
    /** Reads the values of the `n` link parameter items at `items` in place. */
    bool (*param_get)(tarvo_ll_dev_t *dev, void *items, int n);
};

/** The USB link's operation table. */
TARVO_API extern const tarvo_ll_ops_t ll_op_usb;

/** Prepares the link once per library start; logs and returns false on failure. */
TARVO_API bool tarvo_ll_init(void);
/** Undoes tarvo_ll_init(). */
TARVO_API void tarvo_ll_uninit(void);
/** Sets the transport's own debug output; returns the level chosen for it. */
TARVO_API int tarvo_ll_set_debug(int level);
/** Opens the camera the record names (or the first one); the record, or null. Blocks. */
TARVO_API tarvo_ll_dev_t *tarvo_ll_dev_open(tarvo_ll_dev_t *dev);
/** Second open entry; for USB it also allocates the private data. */
TARVO_API tarvo_ll_dev_t *tarvo_ll_dev_open_by_fd(tarvo_ll_dev_t *dev);
/** Closes the record; joins its event thread. Not from the event thread. */
TARVO_API void tarvo_ll_dev_close(tarvo_ll_dev_t *dev);
/** Fills up to `max` bare records; returns how many. `max` <= 0: 0, nothing written. */
TARVO_API int tarvo_ll_dev_list(tarvo_ll_dev_t *list, int max);
/** Resets a part of the camera (`target` cut to 8 bits). */
TARVO_API bool tarvo_ll_dev_reset(tarvo_ll_dev_t *dev, int target);
/** One command with an optional data stage; `dir` non-zero: host to camera. Blocks up to about 1 s.
 */
TARVO_API bool tarvo_ll_exe_cmd(tarvo_ll_dev_t *dev, int dir, int request, int value, void *data,
                                int len, uint32_t timeout_ms);
/** Checks that the camera's last command was (type, value) and did not fail. */
TARVO_API bool tarvo_ll_check_last_cmd(tarvo_ll_dev_t *dev, int type, int value);
/** Marks the stream so that no further transfer is issued. */
TARVO_API void tarvo_ll_cap_abort(tarvo_ll_dev_t *dev);
/** Starts streaming; every finished transfer goes to `cb` on the event thread. */
TARVO_API bool tarvo_ll_cap_start(tarvo_ll_dev_t *dev, uint32_t cap_arg, tarvo_ll_cap_cb_t cb,
                                  void *cb_arg);
/** Stops streaming. */
TARVO_API bool tarvo_ll_cap_stop(tarvo_ll_dev_t *dev);
/** Writes `reg_cnt` (cut to 16 bits) consecutive 32-bit registers. */
TARVO_API bool tarvo_ll_reg_write(tarvo_ll_dev_t *dev, int target, uint32_t reg_base,
                                  const uint32_t *vals, int reg_cnt);
/** Reads `reg_cnt` (cut to 16 bits) consecutive 32-bit registers. */
TARVO_API bool tarvo_ll_reg_read(tarvo_ll_dev_t *dev, int target, uint32_t reg_base, uint32_t *vals,
                                 int reg_cnt);
/** Writes `n` link parameter items of 20 bytes. */
TARVO_API bool tarvo_ll_param_set(tarvo_ll_dev_t *dev, const void *items, int n);
/** Reads the values of `n` link parameter items of 20 bytes in place. */
TARVO_API bool tarvo_ll_param_get(tarvo_ll_dev_t *dev, void *items, int n);

TARVO_END_DECLS

#endif /* TARVO_LL_H */
