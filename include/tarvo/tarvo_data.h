/*
 * libtarvo: moving data images (firmware, calibration data) between files
 * on the host and the camera's flash.
 *
 * The transfer runs as a small action protocol on the command channel:
 * every step is a control request 0xCC whose value is the action code, with
 * a packed little-endian record in its data stage, followed by the status
 * check of that very command. Two-phase actions (information,
 * acknowledgement, payload) first send a record and then read the answer.
 *
 * The records below are plain C structs for the application's side; on the
 * wire they travel in their packed form, produced and read field by field by
 * the al_data_*_encode / _decode functions. The exchange functions
 * (al_data_send_action_info, al_data_read_action_info, al_get_data_info,
 * al_get_data_payload) take and give wire bytes.
 *
 * A write runs:
 *
 *   information -> version check -> announce -> ack (status 3) -> erase
 *     -> acks while status 4 -> ack (status 1, next 0)
 *     -> chunk 0, ack (next 1) -> ... -> last chunk, ack (next = count)
 *     -> settle (reset and wait for types 0..3)
 *
 * A read runs: information -> payload exchanges of up to 450 bytes, in
 * order, until the size the camera reported is reached.
 *
 * Threads: every call blocks its caller; commands to one camera must be
 * issued one at a time, so do not run a transfer beside other calls that
 * talk to the same camera. The public entry points (tarvo_data_download,
 * tarvo_firmware_upgrade, tarvo_data_upload) may run "not concurrently with
 * close": they mark the device busy, so a close waits for them (up to 3 s).
 */
#ifndef TARVO_DATA_H
#define TARVO_DATA_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

/** Action codes: the value field of request 0xCC. */
enum al_data_action {
    AL_DATA_ACT_INFO = 0,      /**< out then in: information record, 16 bytes, 1000 ms */
    AL_DATA_ACT_ANNOUNCE = 1,  /**< out: announce record, 12 bytes, 10000 ms */
    AL_DATA_ACT_ACK = 4,       /**< out then in: acknowledgement, 13 bytes, 5000 ms */
    AL_DATA_ACT_ACK_SHORT = 5, /**< out then in: short acknowledgement, 9 bytes, 5000 ms */
    AL_DATA_ACT_DATA = 6,      /**< out: chunk message, 6 + n bytes, 1000 ms */
    AL_DATA_ACT_ERASE = 7,     /**< out: erase record, 13 bytes, 10000 ms */
    AL_DATA_ACT_PAYLOAD = 17   /**< out then in: payload request, 12 bytes; then the bytes */
};

/** The request code that carries data actions. */
#define AL_DATA_REQUEST 0xCC

/** Wire sizes of the records. */
#define AL_DATA_INFO_SIZE 16
#define AL_DATA_ANNOUNCE_SIZE 12
#define AL_DATA_ACK_SIZE 13
#define AL_DATA_ACK_SHORT_SIZE 9
#define AL_DATA_ERASE_SIZE 13
#define AL_DATA_CHUNK_HEAD_SIZE 6
#define AL_DATA_PAYLOAD_REQ_SIZE 12

/** Largest chunk of a write, and the chunk size an erase record names. */
#define AL_DATA_CHUNK_MAX 1018
/** Largest payload one read exchange returns. */
#define AL_DATA_PAYLOAD_MAX 450
/** Size the information record reports when no valid data is stored. */
#define AL_DATA_SIZE_NONE 0xFFFFFFFFu
/**
 * Largest stored size a read accepts (64 MiB, beyond the flash of any of
 * these cameras): a camera reporting more is not read, so that it cannot
 * fill the host's disk.
 */
#define AL_DATA_READ_MAX (64u << 20)

/** Status byte of an acknowledgement. */
enum al_data_ack_status {
    AL_DATA_ACK_READY = 1,     /**< ready for data (after the erase) */
    AL_DATA_ACK_ANNOUNCED = 3, /**< the announcement was accepted */
    AL_DATA_ACK_BUSY = 4       /**< busy erasing */
};

/**
 * Data information record (action 0). In a request only `type` counts; a
 * reply describes the stored data. Wire: u8 type, u8 reserved, u16 version,
 * u32 size, u32 address, u32 reserved.
 */
typedef struct al_data_info {
    uint8_t type;     /**< which data is asked about / the stored data's type */
    uint16_t version; /**< version of the stored data */
    uint32_t size;    /**< stored bytes; AL_DATA_SIZE_NONE when nothing valid is stored */
    uint32_t addr;    /**< flash address of the stored data (informative) */
} al_data_info_t;

/** Announce record (action 1). Wire: u8 type, u8 reserved, u16 version, u32 size, u32 reserved. */
typedef struct al_data_announce {
    uint8_t type;     /**< data type of the new image */
    uint16_t version; /**< version of the new image */
    uint32_t size;    /**< bytes of the new image */
} al_data_announce_t;

/** Acknowledgement (actions 4 and 5). Wire: u32 next, u8 status, 8 (or 4) bytes not interpreted. */
typedef struct al_data_ack {
    uint32_t next;   /**< index of the chunk the camera expects next */
    uint8_t status;  /**< an al_data_ack_status value, or what the camera chose */
    uint8_t rest[8]; /**< the bytes after the status, as received (4 for action 5, rest 0) */
} al_data_ack_t;

/** Erase record (action 7). Wire: u8 type, u32 total size, u32 chunk size, u32 0. */
typedef struct al_data_erase {
    uint8_t type;        /**< data type to erase for */
    uint32_t total;      /**< bytes that will be written */
    uint32_t chunk_size; /**< always AL_DATA_CHUNK_MAX */
} al_data_erase_t;

/** Head of a data chunk message (action 6). Wire: u16 checksum, u32 n; the n bytes follow. */
typedef struct al_data_chunk_head {
    uint16_t crc; /**< al_data_calc_crc() of the n chunk bytes */
    uint32_t len; /**< n, 1 to AL_DATA_CHUNK_MAX */
} al_data_chunk_head_t;

/* --- Records <-> wire bytes. Pure functions, any thread. ------------------ */

/** Writes the 16-byte wire form of `rec` to `out` (reserved bytes 0). Null arguments: nothing. */
TARVO_API void al_data_info_encode(const al_data_info_t *rec, uint8_t out[AL_DATA_INFO_SIZE]);
/**
 * Reads an information record from `len` wire bytes. Returns 1 when all 16
 * bytes were there; 0 when fewer were (the fields that were not complete
 * are 0) or an argument is null.
 */
TARVO_API int al_data_info_decode(const uint8_t *in, size_t len, al_data_info_t *rec);
/** Writes the 12-byte wire form of `rec` to `out`. Null arguments: nothing. */
TARVO_API void al_data_announce_encode(const al_data_announce_t *rec,
                                       uint8_t out[AL_DATA_ANNOUNCE_SIZE]);
/** Reads an announce record; results as al_data_info_decode(). */
TARVO_API int al_data_announce_decode(const uint8_t *in, size_t len, al_data_announce_t *rec);
/** Writes the 13-byte wire form of `rec` to `out`. Null arguments: nothing. */
TARVO_API void al_data_ack_encode(const al_data_ack_t *rec, uint8_t out[AL_DATA_ACK_SIZE]);
/**
 * Reads an acknowledgement from `len` wire bytes: 13 (action 4) or 9
 * (action 5, `rest` keeps 4 bytes and zeros). Returns 1 when at least 9
 * bytes were there, 0 otherwise (missing fields 0) or for a null argument.
 */
TARVO_API int al_data_ack_decode(const uint8_t *in, size_t len, al_data_ack_t *rec);
/** Writes the 13-byte wire form of `rec` to `out`. Null arguments: nothing. */
TARVO_API void al_data_erase_encode(const al_data_erase_t *rec, uint8_t out[AL_DATA_ERASE_SIZE]);
/** Reads an erase record; results as al_data_info_decode(). */
TARVO_API int al_data_erase_decode(const uint8_t *in, size_t len, al_data_erase_t *rec);
/** Writes the 6-byte head of a chunk message to `out`. Null arguments: nothing. */
TARVO_API void al_data_chunk_head_encode(const al_data_chunk_head_t *rec,
                                         uint8_t out[AL_DATA_CHUNK_HEAD_SIZE]);
/** Reads the head of a chunk message; results as al_data_info_decode(). */
TARVO_API int al_data_chunk_head_decode(const uint8_t *in, size_t len, al_data_chunk_head_t *rec);

/**
 * CRC-16/XMODEM of `len` bytes (polynomial 0x1021, initial 0, no
 * reflection, no final xor; "123456789" gives 0x31C3). `len` 0 or a null
 * `data` gives 0. Pure, any thread.
 */
TARVO_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len);

/* --- Exchanges. Each blocks for its command and status transfers. -------- */

/**
 * Sends one host-to-camera action and checks its status.
 *   action 1: the 12 bytes of `rec` (an encoded announce record); logs the
 *             type, version and size at level 2;
 *   action 4, 7: 13 bytes of `rec`;
 *   action 6: `rec` is the 6-byte chunk head; n is read from its offset 2;
 *             sends the head followed by n bytes of `data` (n 0 or above
 *             AL_DATA_CHUNK_MAX: -1 without a transfer).
 * Any other action, or a null `dev` or `rec`: -1 without a transfer.
 * Returns 1 when the command and its status check succeeded, else -1.
 * Blocks up to about 1 s per transfer (the command channel polls every 10 ms).
 */
TARVO_API int al_data_send_action_info(tarvo_ll_dev_t *dev, uint8_t action, const void *rec,
                                       const uint8_t *data);

/**
 * Reads an acknowledgement: action 4 (13 bytes) or 5 (9 bytes). A write
 * phase sends as many zero bytes, then a read phase takes the record into
 * `out` (wire bytes; decode with al_data_ack_decode()), each followed by the
 * status check, time-out 5000 ms.
 * Returns 1 on success; 0 when the write phase failed ("Write phase failed",
 * `out` untouched); -1 when the read phase failed ("Read phase failed";
 * `out` untouched). Any other action: 1 at once,
 * nothing sent, `out` untouched. Null `out`: -1. `out` is written only on success.
 */
TARVO_API int al_data_read_action_info(tarvo_ll_dev_t *dev, uint8_t action, void *out);

/**
 * Two-phase exchange of `size` bytes: sends `size` bytes of `rec`, then
 * reads `size` bytes back into `rec`, each followed by the status check,
 * time-out 1000 ms. Used with action 0 and the 16-byte information record.
 * Returns 1 on success, 0 on failure ("write phase failed" or "read phase
 * failed" at level 4).
 */
TARVO_API int al_get_data_info(tarvo_ll_dev_t *dev, uint8_t action, void *rec, uint8_t size);

/**
 * One payload exchange (action 17): writes `len` into the 12-byte payload
 * request it builds in the first 12 bytes of `buf`, sends it, then reads
 * `len` bytes into `buf`. `buf` must hold at least 12 and at least `len`
 * bytes. Returns 1 on success, 0 on failure (messages as al_get_data_info).
 * The camera returns its stored data in order, one exchange after the
 * other, starting after an information exchange.
 */
TARVO_API int al_get_data_payload(tarvo_ll_dev_t *dev, void *buf, uint16_t len);

/**
 * Checks that the file `path` can be read completely and gives its size
 * in `*size`. Logs at level 2 the loading, the size and the count read.
 * Returns 1 when every byte was read (size stored); -1 when the file
 * cannot be opened, the read came short (size set to 0) or an argument is
 * null. An empty file gives 1 only when `*size` held a non-zero value on
 * entry, -1 otherwise; `*size` is 0 afterwards in both cases. Blocks on
 * the file system; any thread.
 */
TARVO_API int al_data_build_file_buffer(const char *path, int32_t *size);

/* --- Whole transfers on a link record. ---------------------------------- */

/**
 * Writes the file `name` to the camera as data of `type` with `version`.
 * The whole file is read into memory first; the write is refused (-1,
 * nothing but the information exchange sent) unless `version` is above the
 * version the camera reports. After the transfer, and also after the
 * camera refused it by an acknowledgement, the camera settles: types 0 and
 * 1 reset the board (reset target 0) and wait 20 s, types 2 and 3 wait 7 s,
 * types 4 and above return at once. `reserved` is not used.
 * Returns 1 when every chunk was acknowledged; -1 for a file error, a
 * refused version, an acknowledgement that refuses the transfer, or a
 * failed exchange (no reset or wait after a failed exchange).
 * Blocks for the whole transfer and the settle time. Does not mark the
 * device busy: use tarvo_data_download() on an open device record.
 */
TARVO_API int tarvo_bin_data_write(tarvo_ll_dev_t *dev, uint8_t type, uint16_t version,
                                   uint32_t reserved, const char *name);

/**
 * Reads the camera's stored data of `type` into the file `path` (created or
 * truncated; null: "calib.bin" in the current directory), in exchanges of
 * up to 450 bytes. Returns 1 when every byte the camera reported was
 * written; -1 when the information exchange fails, the camera holds no valid
 * data, reports more than AL_DATA_READ_MAX bytes (ERR "[tarvo_bin_data_read]
 * stored size of %u bytes refused", no file made), the file cannot be opened
 * or written, or a payload exchange fails (the file then keeps only the
 * bytes received before). Blocks.
 */
TARVO_API int tarvo_bin_data_read(tarvo_ll_dev_t *dev, uint8_t type, const char *path);

/** tarvo_bin_data_write() with `reserved` 0. */
TARVO_API int tarvo_ll_firmware_upgrade(tarvo_ll_dev_t *dev, uint8_t type, uint16_t version,
                                        const char *name);

/**
 * Progress of a transfer: `done` of `total` bytes. A write reports after
 * every chunk the camera acknowledged, a read after every payload written
 * to the file. Runs on the thread of the transfer, inside it.
 */
typedef void (*tarvo_data_progress_cb_t)(void *user, uint32_t done, uint32_t total);

/**
 * Sets (null: removes) the progress hook of the transfers that the calling
 * thread runs from now on (tarvo_bin_data_write/_read and the entry points
 * built on them). Each thread has its own hook; other threads' transfers
 * are not reported to it.
 */
TARVO_API void tarvo_data_set_progress(tarvo_data_progress_cb_t cb, void *user);

/* --- Public entry points on an open device. ------------------------------ */

/**
 * Writes the file `name` as data of `type` and `version` to the open
 * device (tarvo_bin_data_write() on its link record, with the device marked
 * busy). Returns -1 with "Wrong params" (level 1) when `dev` is null or not
 * open; otherwise the write's result. Blocks, up to more than 20 s after a
 * firmware write. Not concurrently with close on the same device.
 */
TARVO_API int tarvo_data_download(tarvo_dev_t *dev, const char *name, uint8_t type,
                                  uint16_t version, uint32_t reserved);

/** The same write as tarvo_data_download() with the arguments in another order. */
TARVO_API int tarvo_firmware_upgrade(tarvo_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *name);

/**
 * Reads the stored data of `type` into the file `path` (null: "calib.bin")
 * from the open device (tarvo_bin_data_read() with the device marked busy).
 * Returns -1 with "Wrong params" when `dev` is null or not open; otherwise
 * the read's result. Blocks. Not concurrently with close on the same device.
 */
TARVO_API int tarvo_data_upload(tarvo_dev_t *dev, uint8_t type, const char *path);

TARVO_END_DECLS

#endif /* TARVO_DATA_H */
