/*
 * libtarvo: frame products.
 *
 * What an application makes of a captured frame: distance and gray images
 * (decoded by the device's chip driver), point clouds computed from a
 * distance image, colour-mapped pictures of a distance image, frame files,
 * and the host-side filters of the frame pipeline.
 *
 * Images are row-major arrays of floats, pixel (u, v) (column u, row v,
 * both from 0) at index v * width + u. Distances are metres; a value
 * outside the open interval (0, 60) carries no distance (the drivers write
 * 65.3 for low amplitude, 65.5 for an ADC overflow; 65.4 marks saturation).
 * Lengths of float arrays count floats, lengths of raw frames count bytes.
 *
 * Frame files: distance and gray images recorded to disk and played back.
 * A file holds one ASCII header line and then any number of frames of one
 * size and sample format:
 *
 *     "TQ_DIST,F32,<w>,<h>\n"   32-bit floats, metres
 *     "TQ_DIST,U32,<w>,<h>\n"   32-bit unsigned millimetres
 *     "TQ_DIST,U16,<w>,<h>\n"   16-bit unsigned millimetres
 *     "TQ_GRAY,U8,<w>,<h>\n"    8-bit gray levels
 *     "TQ_GRAY,U16,<w>,<h>\n"   16-bit gray levels
 *
 * followed by w * h samples per frame, row-major, little-endian. The header
 * line is at most 256 bytes.
 *
 * The functions work on a file descriptor that the application opened
 * (binary, no text translation) and positioned. Saving at offset 0 writes
 * the header first, so successive saves on one descriptor append frames.
 * Loading at offset 0 parses the header; a load at any other offset reads
 * the next frame with the header last parsed for that kind of file (one
 * remembered header for distance files, one for gray files, process-wide).
 *
 * Millimetre conversions: a distance is stored as trunc(1000 * value)
 * (single-precision product, truncated toward zero), of which the low 32
 * (U32) or 16 (U16) bits are kept; gray levels are stored as trunc(value),
 * low 16 or 8 bits. A value that is NaN, infinite, or whose truncated value
 * does not fit the intermediate integer (64 bits for distance U32, 32 bits
 * for distance U16 and gray U16, 16 bits for gray U8) is stored as 0.
 *
 * Threads: saving touches only its arguments and the descriptor (any
 * thread). Loads of one kind of file share the remembered header: calls are
 * serialised inside the library, but two files of one kind must not be
 * read interleaved.
 */
#ifndef TARVO_FRAME_H
#define TARVO_FRAME_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

/* ---- Distance and gray images ------------------------------------------ */

/**
 * Decodes a raw frame into a distance image (metres) through the device's
 * chip driver.
 *
 * @param dev      an open device.
 * @param dst      output image (out); at most `dst_len` floats are written.
 * @param dst_len  capacity of `dst` in floats; the driver is given
 *                 4 * dst_len bytes of room.
 * @param src      the raw frame bytes (in), as a capture call delivered them.
 * @param src_len  bytes at `src`.
 * @param finfo    description of the frame, or null for the one of the
 *                 frame the device's capture calls took last.
 * @return the number of floats written (the bytes the driver reports,
 *         divided by 4, never more than `dst_len`). 0 on failure:
 *         - a null `dev`, a device that is not open, a null `dst` or `src`,
 *           or `dst_len` below 1: DBG "[_tarvo_frame_get_float32] Wrong params";
 *         - the frame information's `frame_size` above `src_len`: ERR
 *           "[_tarvo_frame_get_float32] raw frame length too small: ...";
 *         - a driver that cannot decode (failure result, or no decode
 *           operation): ERR "[_tarvo_frame_get_float32] raw frame decode
 *           to 1 failed: <result>".
 *
 * Blocks for the decode (EPC: the distance engine, undistortion). Holds
 * the device's api_busy for the call, so tarvo_dev_close() waits for it.
 * Any thread, but the EPC driver's decode state is process-wide: decode on
 * one thread at a time. With a null `finfo`, not concurrently with a
 * capture call on the same device.
 */
TARVO_API int tarvo_frame_get_distance(tarvo_dev_t *dev, float *dst, int dst_len, const void *src,
                                       uint32_t src_len, const tarvo_frame_info_t *finfo);

/**
 * Decodes a raw frame into a gray (amplitude) image. Same contract as
 * tarvo_frame_get_distance(); the decode line names output kind 2.
 */
TARVO_API int tarvo_frame_get_gray(tarvo_dev_t *dev, float *dst, int dst_len, const void *src,
                                   uint32_t src_len, const tarvo_frame_info_t *finfo);

/* ---- Point clouds ------------------------------------------------------- */

/**
 * Turns a distance image into a packed list of points (x, y, z), one per
 * pixel whose distance d lies in the open interval (0, 60), in pixel order.
 *
 * With ds = d * dist_scale (single precision), the point is
 *     x = ds * (u - cx) / fx,   y = ds * (v - cy) / fy,
 *     z = sqrt(ds^2 - x^2 - y^2),
 * so ds is the length of the ray to the point and z its depth; a pixel so
 * far from the principal point that the radicand is negative gets a NaN z.
 * (u - cx) and (v - cy) are rounded to single precision, the products and
 * quotients are formed in double and x, y, z rounded to single.
 *
 * @param dev          a device record (need not be open when `p_cam_param`
 *                     is given).
 * @param pcl          output (out), 3 floats per point.
 * @param pcl_len      capacity of `pcl` in floats. Before each pixel the
 *                     call stops when fewer than 3 floats are left.
 * @param dist         the distance image (in), img_w * img_h floats.
 * @param dist_len     not consulted: `dist` must hold img_w * img_h values.
 * @param img_w, img_h image size; 0 or below gives no points.
 * @param p_cam_param  camera parameters, or null to take cx, cy, fx, fy
 *                     from the driver's lens parameters for this image
 *                     size (then dist_scale is 1). The EPC driver gives
 *                     the undistorted image's camera matrix K' while lens
 *                     undistortion is on; with it off it gives the lens's
 *                     own K, and the cloud of such a (distorted) image
 *                     carries the lens distortion: straight edges bend.
 * @return the number of points written. 0 also for: a null `dev`, `pcl`
 *         or `dist`; no camera parameters and a device that is not open
 *         (ERR "[tarvo_frame_get_pcl]  Device handler Is NULL!"); no camera
 *         parameters and a driver without lens parameters (ERR
 *         "[tarvo_frame_get_pcl] Cannot generate PCL: no lens parameter in
 *         driver."); the driver's lens lookup failing (the driver logs).
 *
 * Does not block or allocate. Holds api_busy for the call. Any thread.
 */
TARVO_API int tarvo_frame_get_pcl(tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                  int dist_len, int img_w, int img_h,
                                  const tarvo_camera_param_t *p_cam_param);

/**
 * As tarvo_frame_get_pcl(), with 4 floats per point (x, y, z, d): d is the
 * scaled distance ds, or with `pseudo_color` the packed colour 0x00BBGGRR
 * of trunc(ds * 1000) in the default colour map (whose range the last
 * tarvo_cmap_float() set), stored as the float of that unsigned value. The
 * call stops before a pixel when fewer than 4 floats are left. Its log
 * lines name "tarvo_frame_get_pcl_xyzd".
 *
 * Any thread; a concurrent tarvo_cmap_float() may change the colours.
 */
TARVO_API int tarvo_frame_get_pcl_xyzd(tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int dist_len, int img_w, int img_h, bool pseudo_color,
                                       const tarvo_camera_param_t *p_cam_param);

/* ---- Colour-mapped images ----------------------------------------------- */

/** Output formats of tarvo_cmap_float(); colours are 0x00BBGGRR. */
#define TARVO_CMAP_OUTFMT_RGB 0   /**< 3 bytes per pixel: R, G, B */
#define TARVO_CMAP_OUTFMT_RGB32 1 /**< 4 bytes: the 32-bit colour in host byte order */
#define TARVO_CMAP_OUTFMT_BGR 2   /**< 3 bytes per pixel: B, G, R */

/**
 * Colours a distance image with the library's default colour map
 * (tq_cmap.h): near red, far blue, black outside the range and for the
 * low-amplitude code, fixed colours for the saturation and overflow codes.
 *
 * First sets the default map's range to [trunc(1000 * range_min),
 * trunc(1000 * range_max)] millimetres (either order), whatever `outfmt`
 * is; this range stays for later colour lookups. Then converts
 * n = min(dst_len / bytes per pixel, src_len) pixels, each
 * trunc(1000 * src[i]) millimetres (single-precision product). Millimetre
 * values beyond the int range saturate; a NaN pixel is drawn black and a
 * NaN range limit counts as 0.
 *
 * @param dst        output bytes (out).
 * @param dst_len    capacity of `dst` in bytes.
 * @param src        distance image, metres (in).
 * @param src_len    floats at `src`.
 * @param outfmt     a TARVO_CMAP_OUTFMT_* value.
 * @param range_min, range_max  the range to colour, metres.
 * @return n, the pixels converted; n <= 0 writes nothing (a negative
 *         length gives a negative n). 0 for any other `outfmt`, and for a
 *         null `dst` or `src` (the range is still set). Nothing is logged.
 *
 * Does not block. Any thread, but the default colour map is process-wide
 * and unlocked: a concurrent call changes the range this one colours with.
 * Before tarvo_init() (no palette) every pixel is black.
 */
TARVO_API int tarvo_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                               float range_min, float range_max);

/* ---- Host-side filters -------------------------------------------------- */

/**
 * Switches a filter of the frame pipeline on, through the device's chip
 * driver (tarvo_filter_id lists the filters and their arguments). The EPC
 * driver keeps the switches in its state of the open device and applies
 * them while decoding; it accepts every identifier (2, 3 and unknown ones
 * change nothing).
 *
 * @param dev        an open device.
 * @param filter_id  a tarvo_filter_id value.
 * @param arg        the filter's argument (in); may be null for
 *                   TARVO_FILTER_LENS_UNDISTORT and TARVO_FILTER_HDR.
 * @param arg_size   bytes at `arg`, or 0 when not given; handed to the
 *                   driver. The EPC driver refuses (0) a non-zero size
 *                   short of what the filter reads: 1 byte for
 *                   TARVO_FILTER_CALIB_RELOAD, 4 for
 *                   TARVO_FILTER_MIN_AMPLITUDE, 2 for the others with an
 *                   argument.
 * @return the driver's result, 1 success or 0 failure; -1 for a null
 *         `dev`, a device that is not open (ERR "[tarvo_filter_enable]
 *         Device handler Is NULL!"), no driver for the device's product
 *         (ERR "[tarvo_filter_enable] cannot find driver for device:
 *         product=..."), or a driver without filter operations such as the
 *         TI OP8241 stub (WRN "[tarvo_filter_enable] <driver> has no filter
 *         operations").
 *
 * May block for what switching does at once (rebuilding the undistortion
 * map, reprogramming the chip). Holds api_busy for the call. Any thread,
 * also while another thread decodes frames of the device or makes clouds
 * of them: the EPC driver builds a new undistortion map and lens record
 * aside and swaps them in whole, so a decode finishes with the map it
 * started with, and a switch takes effect with that decode or the next.
 */
TARVO_API int tarvo_filter_enable(tarvo_dev_t *dev, int filter_id, const void *arg,
                                  uint32_t arg_size);

/**
 * Switches a filter off. Same results and messages as
 * tarvo_filter_enable(), naming "tarvo_filter_disable".
 */
TARVO_API int tarvo_filter_disable(tarvo_dev_t *dev, int filter_id);

/* ---- Frame files -------------------------------------------------------- */

/** Sample formats of frame files (argument `format` of the save calls). */
#define TARVO_FRAME_SAVE_F32 0 /**< distance: 32-bit float, metres */
#define TARVO_FRAME_SAVE_U32 1 /**< distance: 32-bit unsigned, millimetres */
#define TARVO_FRAME_SAVE_U16 2 /**< distance: millimetres; gray: gray level */
#define TARVO_FRAME_SAVE_U8 3  /**< gray: 8-bit gray level */

/**
 * Appends the whole frames contained in `dist` to a "TQ_DIST" file.
 *
 * @param fd      writable descriptor; at offset 0 the header line is
 *                written first.
 * @param format  TARVO_FRAME_SAVE_F32, _U32 or _U16.
 * @param dist    distance images, metres (in).
 * @param dist_len number of floats in `dist`; only whole frames of
 *                img_w * img_h are written (none when it is less than one).
 * @param img_w, img_h  frame size, each at least 1.
 * @return 1 on success; 0 after an ERR line for a wrong format, a frame
 *         size of 0 or below, a null `dist` with frames to write, or a write
 *         that failed or fell short (what was written stays in the file).
 *
 * Blocks in write(). Any thread.
 */
TARVO_API int tarvo_frame_save_distance(int fd, int format, const float *dist, int dist_len,
                                        int img_w, int img_h);

/**
 * Appends one frame of img_w * img_h gray levels (the first ones of
 * `gray`) to a "TQ_GRAY" file (header first at offset 0). An image shorter
 * than one frame is refused, since a short frame would shift every frame
 * written after it.
 *
 * @param format  TARVO_FRAME_SAVE_U8 or TARVO_FRAME_SAVE_U16.
 * @return 1 on success; 0 after an ERR line for a wrong format, a frame
 *         size of 0 or below, `gray_len` below one frame, a null `gray`, or
 *         a failed or short write.
 *
 * Blocks in write(). Any thread.
 */
TARVO_API int tarvo_frame_save_gray(int fd, int format, const float *gray, int gray_len, int img_w,
                                    int img_h);

/**
 * Reads one frame of a "TQ_DIST" file into `dst` as metres.
 *
 * At offset 0 the header line is parsed first and the descriptor is left
 * after the frame; at any other offset the frame is read with the header
 * remembered from the last parse of a distance file.
 *
 * @param fd       readable, seekable descriptor.
 * @param dst      output, metres; receives min(dst_len, w * h) floats.
 * @param dst_len  capacity of `dst` in floats.
 * @param w_out, h_out  receive the frame size on success (each may be null).
 * @return the number of floats stored; 0 after an ERR line when the header
 *         cannot be read or parsed (the remembered size is then cleared),
 *         when memory runs out, or when the file ends inside the frame; 0
 *         without a line when the remembered size is 0 or `dst_len` < 1.
 *         Never reads or writes past `dst`, whatever the header claims.
 *
 * Blocks in read(). Not concurrently with another load of a distance file.
 */
TARVO_API int tarvo_frame_load_distance(int fd, float *dst, int dst_len, int *w_out, int *h_out);

/**
 * Reads one frame of a "TQ_GRAY" file into `dst` as unscaled gray levels.
 * Same contract as tarvo_frame_load_distance(), with its own remembered
 * header.
 */
TARVO_API int tarvo_frame_load_gray(int fd, float *dst, int dst_len, int *w_out, int *h_out);

TARVO_END_DECLS

#endif /* TARVO_FRAME_H */
