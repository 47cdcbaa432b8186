// A small writer of the camera's packet stream for tests, the fuzz target
// and the benchmark: packet headers with their Fletcher-16, payload word
// sums, frames cut into packets, and streams cut into pieces.
//
// It encodes the wire on its own (no library helper), so a misreading of
// the format on either side shows up as a failing test.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarvo::test {

using Bytes = std::vector<uint8_t>;

inline void put_u16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}
inline void put_u32(uint8_t *p, uint32_t v) {
    put_u16(p, v & 0xFFFF);
    put_u16(p + 2, v >> 16);
}

// Fletcher-16 over n bytes: low byte sum1, high byte sum2.
inline uint16_t fletcher16(const uint8_t *p, size_t n) {
    unsigned a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return static_cast<uint16_t>(b * 256 + a);
}

// Sum of the payload's whole little-endian u32 words, wrapping.
inline uint32_t payload_sum(const uint8_t *p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i + 4 <= n; i += 4)
        s += static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 |
             static_cast<uint32_t>(p[i + 2]) << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
    return s;
}

// Fields of one packet header. Unset `len` and `dsum` are taken from the
// payload; the rest lets tests break a header on purpose.
struct PacketSpec {
    uint16_t sidx = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t drv_info[8] = {};
    bool frame_bound = false;
    bool with_dsum = false;
    uint8_t pkt_flags_extra = 0;  // bits beside frame-bound
    bool len_set = false;
    uint32_t len = 0;
    bool dsum_set = false;
    uint32_t dsum = 0;
    int hsum_delta = 0;  // added to the correct header checksum
};

inline Bytes make_header(const PacketSpec &s, uint32_t payload_len, uint32_t payload_dsum) {
    Bytes h(36, 0);
    h[0] = 0xFB;
    h[1] = 0x98;
    put_u16(&h[2], s.sidx);
    put_u32(&h[4], s.len_set ? s.len : payload_len);
    put_u32(&h[8], s.frlen);
    put_u16(&h[12], s.fridx);
    put_u16(&h[14], s.frfmt);
    put_u16(&h[16], s.width);
    put_u16(&h[18], s.height);
    std::memcpy(&h[20], s.drv_info, 8);
    put_u32(&h[28], s.dsum_set ? s.dsum : (s.with_dsum ? payload_dsum : 0));
    h[32] = static_cast<uint8_t>((s.frame_bound ? 1 : 0) | s.pkt_flags_extra);
    h[33] = s.with_dsum ? 1 : 0;
    put_u16(&h[34], static_cast<uint16_t>(fletcher16(h.data(), 34) + s.hsum_delta));
    return h;
}

// Appends a header and its payload.
inline void append_packet(Bytes &out, const PacketSpec &s, const uint8_t *payload, size_t n) {
    Bytes h = make_header(s, static_cast<uint32_t>(n), payload_sum(payload, n));
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), payload, payload + n);
}
inline void append_packet(Bytes &out, const PacketSpec &s, const Bytes &payload) {
    append_packet(out, s, payload.data(), payload.size());
}

// Recognisable frame contents: the frame's index in the first four bytes,
// then bytes that depend on the index and the position (0xFB 0x98 pairs
// included, so a search that strays into payload is caught).
inline Bytes frame_bytes(uint32_t index, uint32_t frlen) {
    Bytes f(frlen);
    uint32_t x = index * 2654435761u + 12345u;
    for (uint32_t i = 0; i < frlen; ++i) {
        x = x * 1103515245u + 12345u;
        f[i] = static_cast<uint8_t>(x >> 16);
    }
    for (uint32_t i = 0; i < 4 && i < frlen; ++i) f[i] = static_cast<uint8_t>(index >> (8 * i));
    for (uint32_t i = 40; i + 1 < frlen; i += 97) {
        f[i] = 0xFB;
        f[i + 1] = 0x98;
    }
    return f;
}

// How frames are laid out in packets.
struct StreamPlan {
    uint32_t frlen = 100;
    uint32_t max_payload = 100;  // payload bytes per packet at most
    uint16_t first_sidx = 0;
    uint32_t first_frame = 0;  // index of the first frame (fridx is its low 16 bits)
    bool with_dsum = false;
    uint16_t frfmt = 3;
    uint16_t width = 10;
    uint16_t height = 5;
    // false: the camera's layout, a frame larger than a packet over several
    // packets of the same fridx, smaller frames packed whole, as many as
    // fit, into frame-bound packets. true: frames back to back in packets
    // filled to max_payload, so packets end inside frames (not a layout the
    // camera sends; tests use it to show such streams never give shifted
    // frames).
    bool cross_packets = false;
};

// Writes `frames` frames of plan.frlen bytes (contents from frame_bytes)
// in packets laid out as the plan says. A packet is frame-bound when its
// payload starts a frame; its fridx is the frame of its first byte.
// Returns the stream; the next packet index is left in `*next_sidx`.
inline Bytes write_stream(const StreamPlan &plan, uint32_t frames, uint16_t *next_sidx = nullptr) {
    Bytes run;
    run.reserve(static_cast<size_t>(plan.frlen) * frames);
    for (uint32_t k = 0; k < frames; ++k) {
        Bytes f = frame_bytes(plan.first_frame + k, plan.frlen);
        run.insert(run.end(), f.begin(), f.end());
    }
    // Packet start offsets into the run.
    std::vector<size_t> starts;
    if (plan.cross_packets) {
        for (size_t off = 0; off < run.size(); off += plan.max_payload) starts.push_back(off);
    } else if (plan.frlen <= plan.max_payload) {
        size_t per = plan.max_payload / plan.frlen * plan.frlen;
        for (size_t off = 0; off < run.size(); off += per) starts.push_back(off);
    } else {
        for (size_t f = 0; f < run.size(); f += plan.frlen)
            for (size_t off = 0; off < plan.frlen; off += plan.max_payload)
                starts.push_back(f + off);
    }
    starts.push_back(run.size());

    Bytes out;
    uint16_t sidx = plan.first_sidx;
    for (size_t i = 0; i + 1 < starts.size(); ++i) {
        size_t off = starts[i];
        size_t n = starts[i + 1] - off;
        PacketSpec s;
        s.sidx = sidx++;
        s.frlen = plan.frlen;
        s.fridx = static_cast<uint16_t>(plan.first_frame + off / plan.frlen);
        s.frfmt = plan.frfmt;
        s.width = plan.width;
        s.height = plan.height;
        s.drv_info[0] = 0x2A;
        s.drv_info[7] = 0x7E;
        s.frame_bound = off % plan.frlen == 0;
        s.with_dsum = plan.with_dsum;
        append_packet(out, s, run.data() + off, n);
    }
    if (next_sidx) *next_sidx = sidx;
    return out;
}

}  // namespace tarvo::test
