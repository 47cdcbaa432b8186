/*
 * libtarvo: the chip-driver registry and the driver operation table.
 *
 * A camera's product string "name-code-version" selects a registry row by
 * its code: "T0" the TI OP8241 stub driver, "E1" to "E3" the EPC driver.
 * The rows are static, so one row serves one open device at a time.
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

/** The eleven driver operations; every one receives its registry row first. */
typedef struct tarvo_drv_ops {
    bool (*init)(tarvo_drv_t *drv, tarvo_dev_t *dev);
    void (*uninit)(tarvo_drv_t *drv);
    bool (*frame_get_info)(tarvo_drv_t *drv, tarvo_frame_info_t *info, const tq_frame_hdr_t *hdr);
    /** Returns the bytes written to dst, negative on failure. */
    int (*frame_decode)(tarvo_drv_t *drv, void *dst, uint32_t dst_bytes, int out_kind,
                        const uint16_t *src, uint32_t src_bytes, const tarvo_frame_info_t *info);
    bool (*lens_param_get)(tarvo_drv_t *drv, tq_lens_param_t *out, int width, int height);
    int (*reserved5)(tarvo_drv_t *drv);
    int (*reserved6)(tarvo_drv_t *drv, int unused, int value, int mode);
    int (*calib_load)(tarvo_drv_t *drv, int a, int b, int c);
    int (*reserved8)(tarvo_drv_t *drv);
    bool (*filter_enable)(tarvo_drv_t *drv, uint32_t filter_id, const void *arg, int extra);
    bool (*filter_disable)(tarvo_drv_t *drv, uint32_t filter_id);
} tarvo_drv_ops_t;

/** One registry row. */
struct tarvo_drv {
    const char *name;           /**< driver name, for log lines */
    const char *code;           /**< product code that selects the row */
    const tarvo_drv_ops_t *ops; /**< operation table */
    tarvo_dev_t *dev;           /**< the open device the row is bound to */
    void *priv;                 /**< driver-private state */
};

/** Operation table of the TI OP8241 stub driver. */
TARVO_API extern const tarvo_drv_ops_t g_tarvo_driver_op_ti;
/** Operation table of the EPC driver. */
TARVO_API extern const tarvo_drv_ops_t g_tarvo_driver_op_epc;

/**
 * The registry row whose code is the second dash-separated field of the
 * device's product string, or null (bad string, unknown code, null dev).
 * Any thread; the rows themselves are process-wide.
 */
TARVO_API tarvo_drv_t *tarvo_drv_find(tarvo_dev_t *dev);

TARVO_END_DECLS

#endif /* TARVO_DRV_H */
