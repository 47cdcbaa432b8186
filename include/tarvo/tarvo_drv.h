/*
 * libtarvo: the chip-driver registry and the driver operation table.
 *
 * A camera's product string "name-code-version" selects a registry row by
 * its code: "T0" the TI OP8241 stub driver, "E1" to "E3" the EPC driver.
 * The registry's rows are constant templates. Opening a device copies the
 * row it selects into the device, and the copy carries that device's own
 * driver state (`dev`, `priv`) from the open to the close, so any number of
 * devices can be open at once. The EPC driver drives the process-wide EPC
 * engine, which serves one camera at a time: while one EPC camera holds it,
 * the open of another EPC camera fails.
 *
 * Ownership: `tarvo_dev_get_drv` hands out the open device's own row; it
 * stays valid until that device is closed. The driver allocates and frees
 * whatever it keeps in `priv`.
 */
#ifndef TARVO_DRV_H
#define TARVO_DRV_H

#include "tarvo_types.h"
#include "tq_stream.h"

TARVO_BEGIN_DECLS

typedef struct tarvo_drv tarvo_drv_t;

/** Output kinds of frame_decode. */
#define TARVO_DRV_OUT_DISTANCE 1
#define TARVO_DRV_OUT_GRAY 2

/**
 * The eleven driver operations. Every one receives the device's own row
 * first. The library calls a slot only while the device is open and never
 * calls an empty (null) slot. Unless a slot says otherwise it runs on the
 * application thread that made the call, not concurrently with the close
 * of the same device; the library takes no lock around a driver.
 */
typedef struct tarvo_drv_ops {
    /**
     * Starts the driver on a device that is being opened (after the stream
     * reassembler exists). A driver that accepts the device stores `dev` in
     * `drv->dev`. Returns true when the driver is ready. False with
     * `drv->dev` set: the driver did not start; the device stays open for
     * parameters, registers and raw frames, and the driver's later
     * operations fail with their own line. False with `drv->dev` left
     * empty: the driver refuses the device (the EPC engine serves another
     * camera) and the open fails. Runs on the thread of tarvo_dev_open.
     */
    bool (*init)(tarvo_drv_t *drv, tarvo_dev_t *dev);
    /**
     * Ends the driver: releases `drv->priv`. Called by tarvo_dev_close
     * after the link is closed and before the stream reassembler goes, also
     * when init failed (never after a refusal).
     */
    void (*uninit)(tarvo_drv_t *drv);
    /**
     * Describes one frame: fills `info` (out) from the frame header `hdr`
     * (in) of a frame just taken from the reassembler. Called by the
     * collecting calls once per frame, on the collecting thread. False: the
     * frame is not the driver's; the caller logs and zeroes `info`.
     */
    bool (*frame_get_info)(tarvo_drv_t *drv, tarvo_frame_info_t *info, const tq_frame_hdr_t *hdr);
    /**
     * Decodes the raw frame `src` of `src_bytes` bytes, described by `info`,
     * into `dst` (room for `dst_bytes` bytes) as `out_kind`
     * (TARVO_DRV_OUT_DISTANCE: metres, TARVO_DRV_OUT_GRAY: amplitude), one
     * float per pixel. Returns the bytes written to dst, negative on
     * failure. Called by tarvo_frame_get_distance and tarvo_frame_get_gray.
     */
    int (*frame_decode)(tarvo_drv_t *drv, void *dst, uint32_t dst_bytes, int out_kind,
                        const uint16_t *src, uint32_t src_bytes, const tarvo_frame_info_t *info);
    /**
     * Fills `out` with the lens parameters scaled to a `width` x `height`
     * image; false when the driver has none for that size. Called by the
     * point-cloud outputs when the application gives no camera parameters.
     * May be empty.
     */
    bool (*lens_param_get)(tarvo_drv_t *drv, tq_lens_param_t *out, int width, int height);
    /** Never called by the library; both drivers return 0. */
    int (*reserved5)(tarvo_drv_t *drv);
    /**
     * Never called by the library; returns `value`. The EPC driver
     * re-initialises the chip configuration when `mode` is 2. `unused` is
     * not read.
     */
    int (*reserved6)(tarvo_drv_t *drv, int unused, int value, int mode);
    /**
     * Loads the device's calibration. tarvo_dev_open calls it right after a
     * successful init with `source` 0, `flags` 0 and `mode` 2; the EPC
     * driver reads none of the three, the TI driver returns `flags`.
     * Negative on failure (logged by the open, which still succeeds).
     */
    int (*calib_load)(tarvo_drv_t *drv, int source, int flags, int mode);
    /** Never called by the library; both drivers return 1. */
    int (*reserved8)(tarvo_drv_t *drv);
    /**
     * Switches host filter `filter_id` on with its argument `arg` of
     * `arg_size` bytes (0: size not given). Called by tarvo_filter_enable,
     * which returns the result as 1 or 0. May be empty.
     */
    bool (*filter_enable)(tarvo_drv_t *drv, uint32_t filter_id, const void *arg, int arg_size);
    /**
     * Switches host filter `filter_id` off. Called by tarvo_filter_disable,
     * which returns the result as 1 or 0. May be empty.
     */
    bool (*filter_disable)(tarvo_drv_t *drv, uint32_t filter_id);
} tarvo_drv_ops_t;

/** One registry row; in an open device, that device's own copy of it. */
struct tarvo_drv {
    const char *name;           /**< driver name, for log lines */
    const char *code;           /**< product code that selects the row */
    const tarvo_drv_ops_t *ops; /**< operation table */
    tarvo_dev_t *dev;           /**< the open device owning this copy; empty in the registry */
    void *priv;                 /**< the device's driver state; empty in the registry */
};

/** Operation table of the TI OP8241 stub driver. */
TARVO_API extern const tarvo_drv_ops_t g_tarvo_driver_op_ti;
/** Operation table of the EPC driver. */
TARVO_API extern const tarvo_drv_ops_t g_tarvo_driver_op_epc;

/**
 * The registry row (a constant template, never a device's own copy) whose
 * code is the second dash-separated field of the device's product string,
 * or null (bad string, unknown code, null dev). Any thread.
 */
TARVO_API const tarvo_drv_t *tarvo_drv_find(tarvo_dev_t *dev);

TARVO_END_DECLS

#endif /* TARVO_DRV_H */
