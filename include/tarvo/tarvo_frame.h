/*
 * libtarvo: frame products.
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
