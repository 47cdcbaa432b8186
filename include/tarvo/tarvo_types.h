/*
 * libtarvo: records that cross the public interface.
 *
 * Every record here has a fixed layout that applications, the link and the
 * chip drivers rely on; the layouts are pinned by static assertions in the
 * library. All integers are in host order unless a comment says otherwise.
 */
#ifndef TARVO_TYPES_H
#define TARVO_TYPES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TARVO_API __declspec(dllexport)
#else
#define TARVO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define TARVO_BEGIN_DECLS extern "C" {
#define TARVO_END_DECLS }
#else
#define TARVO_BEGIN_DECLS
#define TARVO_END_DECLS
#endif

/* TARVO_VERSION_* and tarvo_version(): generated from the project's version. */
#include "tarvo/tarvo_version.h"

TARVO_BEGIN_DECLS

typedef struct tarvo_ll_dev tarvo_ll_dev_t;
typedef struct tq_lens_param tq_lens_param_t;

/**
 * Link identity of a camera: 44 bytes, copied verbatim between the public
 * device record and the link-level record.
 */
typedef struct tarvo_ll_if_info {
    uint32_t ext_handle;     /**< 0 for every USB camera */
    uint8_t usb_bus_num;     /**< libusb bus number */
    uint8_t usb_port_num;    /**< libusb port number */
    uint8_t usb_addr;        /**< libusb device address */
    uint8_t usb_speed;       /**< 0 unknown, 1 low, 2 full, 3 high, 4 super */
    uint8_t if_reserved[36]; /**< link-private bytes, copied with the rest */
} tarvo_ll_if_info_t;

/**
 * The public device record: one entry of the list filled by
 * tarvo_dev_list() and the handle that tarvo_dev_open() takes and returns.
 *
 * Life of a record:
 *
 *     listed --tarvo_dev_open--> open --tarvo_cap_start--> capturing
 *        ^                        |  ^                          |
 *        |                        |  +-----tarvo_cap_stop-------+
 *        +----tarvo_dev_close-----+  (an ending capture error also leaves
 *                                     "capturing" and ends the stream)
 *
 * `lldev` is null while the record is not open.
 */
typedef struct tarvo_dev {
    tarvo_ll_dev_t *lldev;      /**< link record and device context; null when closed */
    tarvo_ll_if_info_t if_info; /**< link identity */
    char product[32];           /**< "name-code-version" (parameter 3) */
    char id_text[32];           /**< parameter 2, for the application */
    uint8_t id_block[32];       /**< parameter 5, for the application */
    uint8_t version[8];         /**< parameter 6; u16 at bytes 2..3 is the firmware version */
    char *path_prefix;          /**< the library's path prefix buffer */
    uint8_t if_type;            /**< 1 = USB identity set; 0 = take the first camera */
    uint8_t free_on_close;      /**< non-zero: close (and a failed open) free() the record */
    uint8_t api_busy;           /**< 1 while an entry point talks to the device */
} tarvo_dev_t;

/** Description of one frame, filled by the chip driver. 20 bytes. */
typedef struct tarvo_frame_info {
    uint32_t frame_size;   /**< bytes of frame data */
    uint16_t frame_format; /**< format code of the stream (171: EPC calibration data) */
    uint16_t frame_idx;    /**< index of the frame */
    uint32_t width;        /**< pixels per row */
    uint32_t height;       /**< rows */
    uint8_t frame_bpp;     /**< bytes per pixel */
    uint8_t reserved0;     /**< written as 0 */
    uint16_t reserved1;    /**< written as 0 */
} tarvo_frame_info_t;

/** What the frame-ready callback receives. */
typedef struct tarvo_frame {
    tarvo_frame_info_t frame_info; /**< copy of the frame's information */
    uint8_t *frame_data;           /**< the frame's bytes; valid only during the callback */
} tarvo_frame_t;

/** Frame-ready callback: runs on the application thread that waits, no lock held. */
typedef void (*tarvo_frame_ready_cb_t)(tarvo_dev_t *dev, tarvo_frame_t *frame);
/** Error callback: return false to end the capture. */
typedef bool (*tarvo_error_cb_t)(tarvo_dev_t *dev, int err, int arg);

/** Request of a call that collects frames into an application buffer. */
typedef struct tarvo_cap_req {
    uint32_t total;               /**< frames asked for */
    uint32_t remaining;           /**< frames still wanted */
    uint8_t *buf;                 /**< next free byte of the buffer */
    uint32_t buf_size;            /**< bytes left after buf */
    tarvo_frame_info_t *info_out; /**< receives the first frame's information, or null */
} tarvo_cap_req_t;

/** Parameter identifiers of the camera used by the library. */
enum tarvo_param_id {
    TARVO_PARAM_MODE = 0,         /**< u8: 9 data upload mode, 0 normal */
    TARVO_PARAM_ID_TEXT = 2,      /**< text */
    TARVO_PARAM_PRODUCT = 3,      /**< text "name-code-version" */
    TARVO_PARAM_ID_BLOCK = 5,     /**< bytes */
    TARVO_PARAM_VERSION = 6,      /**< up to 8 bytes; u16 at bytes 2..3 firmware version */
    TARVO_PARAM_CHIP_INFO = 7,    /**< u16 part version, u16 chip id, u16 wafer id */
    TARVO_PARAM_CALIB_INFO = 8,   /**< u8 valid, 2 unused, u32 version, u32 file size,
                                       u32 valid size, u16 checksum */
    TARVO_PARAM_SENSOR_MODE = 10, /**< u8 mode */
    TARVO_PARAM_FRAME_RATE = 12,  /**< u32 frames per second */
    TARVO_PARAM_INTG_TIME = 13,   /**< u16 integration time in microseconds */
    TARVO_PARAM_TEMPERATURE = 15, /**< temperature readings */
    TARVO_PARAM_SYNC_DELAY = 17   /**< i16 value, u8 flag */
};

/** One parameter in an application's array. Only the id's low byte reaches the camera. */
typedef struct tarvo_param_item {
    uint32_t param_id;     /**< a tarvo_param_id value */
    uint8_t param_val_len; /**< meaningful bytes of param_val */
    uint8_t param_val[18]; /**< little-endian integers from the first byte, or text */
} tarvo_param_item_t;

/** Size of one parameter item on the wire: u8 id, u8 length, 18 value bytes. */
#define TARVO_LL_PARAM_ITEM_SIZE 20

/**
 * Camera parameters an application may hand to the point-cloud calls
 * instead of the lens parameters the chip driver knows.
 */
typedef struct tarvo_camera_param {
    float cx;         /**< principal point, x, pixels */
    float cy;         /**< principal point, y, pixels */
    float fx;         /**< focal length, x, pixels */
    float fy;         /**< focal length, y, pixels */
    float dist_scale; /**< factor applied to every distance (1000: metres to millimetres) */
} tarvo_camera_param_t;

/**
 * Host-side filters, switched by tarvo_filter_enable() and
 * tarvo_filter_disable(), with the argument each one takes on enable
 * (`arg` points to it; the EPC driver reads it, the TI stub has no
 * filters):
 */
enum tarvo_filter_id {
    TARVO_FILTER_LENS_UNDISTORT = 0, /**< no argument; rebuilds the undistortion map */
    TARVO_FILTER_CALIB_RELOAD = 1,   /**< u8 mode; 2 re-initialises the chip configuration */
    /* 2 and 3 are accepted and change nothing. */
    TARVO_FILTER_MIN_AMPLITUDE = 4,    /**< int32 minimum amplitude */
    TARVO_FILTER_AUTO_INTEGRATION = 5, /**< u16 threshold, per mille of out-of-range samples */
    TARVO_FILTER_SYNC_GUARD = 6,       /**< u16 value; its first byte != 0 sets the flag */
    TARVO_FILTER_TEMP_MONITOR = 7,     /**< u16 temperature threshold, degrees Celsius */
    TARVO_FILTER_HDR = 8               /**< no argument; high dynamic range */
};

/** Capture error codes, reported to the error callback and collecting calls. */
enum tarvo_cap_error {
    TARVO_ERR_CAP_UNKNOWN = -10,
    TARVO_ERR_CAP_ERROR = -8,
    TARVO_ERR_CAP_STALL = -7,
    TARVO_ERR_CAP_TIMEOUT = -5,
    TARVO_ERR_OK = 0,
    TARVO_ERR_CAP_FRAME_DISCARD = 3
};

/**
 * Name of a capture error code ("OK", "TARVO_ERR_CAP_STALL", ...);
 * "**UNKNOWN**" for any other value. Never null. Any thread.
 */
TARVO_API const char *tarvo_error_name(int code);

TARVO_END_DECLS

#endif /* TARVO_TYPES_H */
