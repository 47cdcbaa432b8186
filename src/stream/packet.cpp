// The packet header of the camera's stream: decoding, its Fletcher-16
// checksum and the acceptance test; and the payload word sum.
#include <cstring>

#include "common/byteio.h"
#include "stream/stream_impl.h"

// word_sum()'s bulk loop reads words in host order.
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "word_sum needs a byte swap on big-endian hosts"
#endif

namespace tarvo::stream {

uint16_t hdr_fletcher16(const uint8_t *hdr) {
    // 34 bytes of at most 254 keep both sums far below 2^32, so one
    // reduction at each step is enough.
    uint32_t sum1 = 0;
    uint32_t sum2 = 0;
    for (size_t i = 0; i < 34; ++i) {
        sum1 = (sum1 + hdr[i]) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    return static_cast<uint16_t>(sum2 << 8 | sum1);
}

PktHdr hdr_decode(const uint8_t *hdr) {
    ByteReader r(hdr, k_hdr_size);
    PktHdr h{};
    r.skip(2);  // sync
    h.sidx = r.u16();
    h.len = r.u32();
    h.frlen = r.u32();
    h.fridx = r.u16();
    h.frfmt = r.u16();
    r.skip(4 + 8);  // width, height, drv_info: kept as bytes with the frame
    h.dsum = r.u32();
    h.pkt_flags = r.u8();
    h.chk_flags = r.u8();
    h.hsum = r.u16();
    return h;
}

tq_frame_hdr_t frame_hdr_decode(const uint8_t *hdr) {
    ByteReader r(hdr + k_frame_hdr_off, k_frame_hdr_size);
    tq_frame_hdr_t f{};
    f.frlen = r.u32();
    f.fridx = r.u16();
    f.frfmt = r.u16();
    f.width = r.u16();
    f.height = r.u16();
    r.bytes(f.drv_info, sizeof f.drv_info);
    return f;
}

bool hdr_valid(const uint8_t *hdr, PktHdr *out) {
    if (hdr[0] != k_sync0 || hdr[1] != k_sync1) return false;
    PktHdr h = hdr_decode(hdr);
    if (h.hsum != hdr_fletcher16(hdr)) return false;
    // A frame length of 0 would start records that never fill; such a
    // header is as good as garbage.
    if (h.len > k_max_len || h.frlen > k_max_frlen || h.frlen == 0 || h.frfmt > k_max_frfmt)
        return false;
    if (out) *out = h;
    return true;
}

uint32_t word_sum(const uint8_t *p, size_t n) {
    // Four independent lanes let the compiler vectorise the loop.
    uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint32_t w[4];
        std::memcpy(w, p + i, 16);
        s0 += w[0];
        s1 += w[1];
        s2 += w[2];
        s3 += w[3];
    }
    for (; i + 4 <= n; i += 4) s0 += le32(p + i);
    return s0 + s1 + s2 + s3;
}

}  // namespace tarvo::stream
