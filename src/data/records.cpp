// The records of the data action protocol in their packed little-endian
// wire form, and the chunk checksum. Every field is written and read on its
// own through the byte reader and writer; nothing is cast over a buffer.
#include <algorithm>
#include <cstring>

#include "common/byteio.h"
#include "tarvo/tarvo_data.h"

extern "C" {

TARVO_API void al_data_info_encode(const al_data_info_t *rec, uint8_t out[AL_DATA_INFO_SIZE]) {
    if (!rec || !out) return;
    tarvo::ByteWriter w(out, AL_DATA_INFO_SIZE);
    w.u8(rec->type);
    w.zeros(1);
    w.u16(rec->version);
    w.u32(rec->size);
    w.u32(rec->addr);
    w.zeros(4);
}

TARVO_API int al_data_info_decode(const uint8_t *in, size_t len, al_data_info_t *rec) {
    if (!rec) return 0;
    *rec = al_data_info_t{};
    if (!in) return 0;
    tarvo::ByteReader r(in, len);
    rec->type = r.u8();
    r.skip(1);
    rec->version = r.u16();
    rec->size = r.u32();
    rec->addr = r.u32();
    r.skip(4);
    return r.ok() ? 1 : 0;
}

TARVO_API void al_data_announce_encode(const al_data_announce_t *rec,
                                       uint8_t out[AL_DATA_ANNOUNCE_SIZE]) {
    if (!rec || !out) return;
    tarvo::ByteWriter w(out, AL_DATA_ANNOUNCE_SIZE);
    w.u8(rec->type);
    w.zeros(1);
    w.u16(rec->version);
    w.u32(rec->size);
    w.zeros(4);
}

TARVO_API int al_data_announce_decode(const uint8_t *in, size_t len, al_data_announce_t *rec) {
    if (!rec) return 0;
    *rec = al_data_announce_t{};
    if (!in) return 0;
    tarvo::ByteReader r(in, len);
    rec->type = r.u8();
    r.skip(1);
    rec->version = r.u16();
    rec->size = r.u32();
    r.skip(4);
    return r.ok() ? 1 : 0;
}

TARVO_API void al_data_ack_encode(const al_data_ack_t *rec, uint8_t out[AL_DATA_ACK_SIZE]) {
    if (!rec || !out) return;
    tarvo::ByteWriter w(out, AL_DATA_ACK_SIZE);
    w.u32(rec->next);
    w.u8(rec->status);
    w.bytes(rec->rest, sizeof rec->rest);
}

TARVO_API int al_data_ack_decode(const uint8_t *in, size_t len, al_data_ack_t *rec) {
    if (!rec) return 0;
    *rec = al_data_ack_t{};
    if (!in) return 0;
    tarvo::ByteReader r(in, len);
    rec->next = r.u32();
    rec->status = r.u8();
    if (!r.ok()) return 0;
    // The bytes after the status are kept as they came: 8 of them in the
    // long form, 4 in the short one; anything missing stays 0.
    size_t rest = std::min(r.remaining(), sizeof rec->rest);
    r.bytes(rec->rest, rest);
    return len >= AL_DATA_ACK_SHORT_SIZE ? 1 : 0;
}

TARVO_API void al_data_erase_encode(const al_data_erase_t *rec, uint8_t out[AL_DATA_ERASE_SIZE]) {
    if (!rec || !out) return;
    tarvo::ByteWriter w(out, AL_DATA_ERASE_SIZE);
    w.u8(rec->type);
    w.u32(rec->total);
    w.u32(rec->chunk_size);
    w.u32(0);
}

TARVO_API int al_data_erase_decode(const uint8_t *in, size_t len, al_data_erase_t *rec) {
    if (!rec) return 0;
    *rec = al_data_erase_t{};
    if (!in) return 0;
    tarvo::ByteReader r(in, len);
    rec->type = r.u8();
    rec->total = r.u32();
    rec->chunk_size = r.u32();
    r.skip(4);
    return r.ok() ? 1 : 0;
}

TARVO_API void al_data_chunk_head_encode(const al_data_chunk_head_t *rec,
                                         uint8_t out[AL_DATA_CHUNK_HEAD_SIZE]) {
    if (!rec || !out) return;
    tarvo::ByteWriter w(out, AL_DATA_CHUNK_HEAD_SIZE);
    w.u16(rec->crc);
    w.u32(rec->len);
}

TARVO_API int al_data_chunk_head_decode(const uint8_t *in, size_t len, al_data_chunk_head_t *rec) {
    if (!rec) return 0;
    *rec = al_data_chunk_head_t{};
    if (!in) return 0;
    tarvo::ByteReader r(in, len);
    rec->crc = r.u16();
    rec->len = r.u32();
    return r.ok() ? 1 : 0;
}

TARVO_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len) {
    if (!data) return 0;
    uint16_t crc = 0;
    for (uint16_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
        for (int bit = 0; bit < 8; ++bit) {
            bool top = (crc & 0x8000u) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (top) crc = static_cast<uint16_t>(crc ^ 0x1021u);
        }
    }
    return crc;
}

}  // extern "C"
