/*
 * libtarvo: the stream reassembler.
 *
 * Cuts the camera's packet stream into verified frames and keeps complete
 * frames in a bounded ready ring. One thread feeds (the link's event
 * thread), others may fetch and read the statistics concurrently.
 */
#ifndef TQ_STREAM_H
#define TQ_STREAM_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

/** Frame header kept with each frame: bytes 8..27 of its packet header. 20 bytes. */
typedef struct tq_frame_hdr {
    uint32_t frlen;      /**< frame length in bytes */
    uint16_t fridx;      /**< the frame's own index */
    uint16_t frfmt;      /**< frame format code */
    uint16_t width;      /**< image width in pixels */
    uint16_t height;     /**< image height in pixels */
    uint8_t drv_info[8]; /**< driver-specific bytes */
} tq_frame_hdr_t;

/** Configuration: the capacity of the ready ring in frames. */
typedef struct tq_stream_cfg {
    uint32_t fbuf_frames; /**< frames the ready ring holds */
} tq_stream_cfg_t;

/** Statistics of a reassembler. */
typedef struct tq_stream_state {
    uint32_t fr_assembled;  /**< frames completed since create or reset */
    uint32_t fr_queued;     /**< frames moved into the ready ring */
    uint32_t fr_discarded;  /**< frames dropped because of stream errors */
    uint32_t fr_overflow;   /**< frames dropped from the head of a full ring */
    uint32_t fr_ready;      /**< frames now in the ready ring */
    uint32_t bytes_skipped; /**< bytes dropped */
    struct {
        int64_t tv_sec;
        int64_t tv_usec;
    } ts_reset; /**< time of create or the last reset */
} tq_stream_state_t;

/**
 * A reassembler. Opaque: its record belongs to the library.
 *
 * Life of a reassembler:
 *
 *     tq_stream_create --> searching <--> header partly held
 *                            |   ^               |
 *                            v   |               v
 *                        taking payload <--> packet done
 *                            |   ^
 *                            v   |  (frame-bound header)
 *                          discarding
 *
 * tq_stream_reset() empties it (statistics, held header, frames) without
 * leaving the discarding state; tq_stream_destroy() ends it.
 *
 * Threads: one thread feeds (tq_stream_feed_input); any number of other
 * threads may fetch frames and read the statistics at the same time.
 * tq_stream_set_cfg(), tq_stream_reset() and tq_stream_destroy() must not
 * run while another thread feeds; tq_stream_destroy() must not run beside
 * any other call on the same reassembler.
 *
 * Memory: the reassembler holds at most its ring capacity of complete
 * frames plus one incomplete frame, each in one allocation of its length.
 */
typedef struct tq_stream tq_stream_t;

/**
 * Creates a reassembler whose ready ring holds `cfg->fbuf_frames` frames.
 * Statistics start at zero and `ts_reset` is the time of the call.
 *
 * @param cfg  the configuration, copied.
 * @return the reassembler; null when `cfg` is null, or when memory or the
 *         lock cannot be had (logged at level 4).
 * Does not block. Any thread.
 */
TARVO_API tq_stream_t *tq_stream_create(const tq_stream_cfg_t *cfg);

/**
 * Frees the reassembler with every frame it holds. Null is ignored.
 * The pointer is invalid afterwards. Not concurrently with any other call
 * on the same reassembler.
 */
TARVO_API void tq_stream_destroy(tq_stream_t *stream);

/**
 * Replaces the ring capacity with `cfg->fbuf_frames`. A ring holding more
 * frames than the new capacity keeps them until the next payload is fed,
 * which drops the oldest (counted in `fr_overflow`). Null arguments are
 * ignored. Not while another thread feeds.
 */
TARVO_API void tq_stream_set_cfg(tq_stream_t *stream, const tq_stream_cfg_t *cfg);

/** Copies the configuration into `cfg`. Null arguments are ignored. Any thread. */
TARVO_API void tq_stream_get_cfg(tq_stream_t *stream, tq_stream_cfg_t *cfg);

/**
 * Forgets everything fed so far: zeroes the statistics, drops the held
 * header and every frame (complete or not), and stamps `ts_reset`. A
 * reassembler that was discarding goes on discarding until the next
 * packet that begins a frame. Null is ignored. Not while another thread
 * feeds; fetching threads may run beside it.
 */
TARVO_API void tq_stream_reset(tq_stream_t *stream);

/**
 * Feeds `len` bytes of the packet stream. The bytes may be cut anywhere:
 * a header or payload split over calls is joined. Packets are checked
 * (header checksum, packet and frame index continuity, payload checksum
 * when the packet carries one); complete frames move to the ready ring,
 * damaged or incomplete ones are dropped and counted (`fr_discarded`,
 * `bytes_skipped`), and when the ring exceeds its capacity the oldest
 * frames are dropped (`fr_overflow`).
 *
 * @param data  the bytes; may be null only when `len` <= 0.
 * @param len   number of bytes; 0 or less feeds nothing.
 * @return true when the ready ring holds at least one frame after the call;
 *         false for a null reassembler.
 * Takes the ring's lock briefly while moving frames; never waits otherwise.
 * One feeding thread at a time (the link's event thread).
 */
TARVO_API bool tq_stream_feed_input(tq_stream_t *stream, const uint8_t *data, int len);

/**
 * Copies up to `count` frames out of the ready ring, oldest first.
 *
 * @param dst       where the frames' bytes go, one after another; null for
 *                  none. A frame larger than the room left is cut to it.
 * @param dst_size  bytes of room at `dst`.
 * @param count     frames wanted.
 * @param hdr       receives the frame header of the first frame, or null.
 * @param peek      true: the frames stay in the ring; false: they are
 *                  removed and freed.
 * @return the number of frames walked, min(count, frames ready); 0 for a
 *         null reassembler. A peek with neither `dst` nor `hdr` only counts.
 * Takes the ring's lock (shared for a peek) for as long as it walks the
 * ring; a taking fetch copies after releasing it. Any thread; several
 * threads may fetch at once.
 */
TARVO_API uint32_t tq_stream_fetch_frames(tq_stream_t *stream, uint8_t *dst, uint32_t dst_size,
                                          uint32_t count, tq_frame_hdr_t *hdr, bool peek);

/**
 * Copies the statistics into `state` under the ring's shared lock.
 * @return `state`, or null when either argument is null.
 * Any thread.
 */
TARVO_API tq_stream_state_t *tq_stream_get_state(tq_stream_t *stream, tq_stream_state_t *state);

TARVO_END_DECLS

#endif /* TQ_STREAM_H */
