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
    uint32_t fbuf_frames;
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
    } ts_reset;             /**< time of create or the last reset */
} tq_stream_state_t;

typedef struct tq_stream tq_stream_t;

TARVO_END_DECLS

#endif /* TQ_STREAM_H */
