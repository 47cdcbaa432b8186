#include "wire.h"

#include <algorithm>
#include <cstring>

#include "ll/usb/usb_ll.h"
#include "tarvo_sim/sim.h"

namespace tarvo::sim {

uint32_t frame_length(const StreamConfig &cfg) {
    return cfg.frame_bytes ? cfg.frame_bytes : uint32_t{cfg.width} * cfg.height * 2u;
}

void test_pattern(uint32_t seq, std::span<uint8_t> out) {
    // Word i of frame seq: a mix of both that changes from word to word and
    // from frame to frame, so shifted, repeated or swapped data is caught.
    const uint32_t base = seq * 0x9E3779B1u;
    size_t i = 0;
    const size_t words = out.size() / 2;
    for (; i < words; ++i) {
        const uint32_t w = (static_cast<uint32_t>(i) * 0x01000193u) ^ base;
        const uint16_t v = static_cast<uint16_t>(w ^ (w >> 16));
        out[2 * i] = static_cast<uint8_t>(v);
        out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    if (out.size() & 1) {
        const uint32_t w = (static_cast<uint32_t>(i) * 0x01000193u) ^ base;
        out[2 * i] = static_cast<uint8_t>(w ^ (w >> 16));
    }
}

uint16_t header_checksum(std::span<const uint8_t> first_34) {
    unsigned s1 = 0, s2 = 0;
    for (uint8_t b : first_34) {
        s1 = (s1 + b) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s2 << 8 | s1);
}

uint32_t payload_checksum(std::span<const uint8_t> payload) {
    uint32_t sum = 0;
    const size_t words = payload.size() / 4;
    for (size_t i = 0; i < words; ++i) sum += wire::get32(payload.data() + 4 * i);
    return sum;
}

namespace wire {

Setup parse_setup(const uint8_t *p) {
    Setup s;
    s.type = p[0];
    s.request = p[1];
    s.value = get16(p + 2);
    s.index = get16(p + 4);
    s.length = get16(p + 6);
    return s;
}

std::array<uint8_t, k_status_len> status_record(uint8_t status, uint8_t request, uint8_t value,
                                                const std::string &text) {
    std::array<uint8_t, k_status_len> r{};
    r[0] = status;
    r[1] = request;
    r[2] = value;
    std::memcpy(r.data() + 3, text.data(), std::min(text.size(), k_status_text));
    return r;
}

void encode_header(const PacketHeader &h, uint8_t *out) {
    out[0] = 0xFB;
    out[1] = 0x98;
    put16(out + 2, h.sidx);
    put32(out + 4, h.len);
    put32(out + 8, h.frlen);
    put16(out + 12, h.fridx);
    put16(out + 14, h.frfmt);
    put16(out + 16, h.width);
    put16(out + 18, h.height);
    std::memcpy(out + 20, h.drv_info.data(), 8);
    put32(out + 28, h.has_dsum ? h.dsum : 0);
    out[32] = h.frame_bound ? 1 : 0;
    out[33] = h.has_dsum ? 1 : 0;
    put16(out + 34, header_checksum({out, 34}));
}

std::vector<uint8_t> device_descriptor() {
    std::vector<uint8_t> d(18);
    d[0] = 18;
    d[1] = 0x01;           // DEVICE
    put16(&d[2], 0x0200);  // USB 2.0
    d[4] = 0xFF;           // vendor-specific class
    d[5] = 0;
    d[6] = 0;
    d[7] = 64;  // EP0 packet size
    put16(&d[8], tarvo::usb::k_vendor_id);
    put16(&d[10], tarvo::usb::k_product_id);
    put16(&d[12], 0x0100);  // device release
    d[14] = 1;              // manufacturer string
    d[15] = 2;              // product string
    d[16] = 3;              // serial string
    d[17] = 1;              // one configuration
    return d;
}

std::vector<uint8_t> config_descriptor(Speed speed) {
    std::vector<uint8_t> c(9 + 9 + 7);
    c[0] = 9;
    c[1] = 0x02;  // CONFIGURATION
    put16(&c[2], static_cast<uint16_t>(c.size()));
    c[4] = 1;  // one interface
    c[5] = 1;  // configuration value 1
    c[6] = 0;
    c[7] = 0x80;  // bus powered
    c[8] = 250;   // 500 mA
    uint8_t *i = &c[9];
    i[0] = 9;
    i[1] = 0x04;  // INTERFACE
    i[2] = 0;     // interface 0
    i[3] = 0;
    i[4] = 1;  // one endpoint
    i[5] = 0xFF;
    i[6] = 0;
    i[7] = 0;
    i[8] = 0;
    uint8_t *e = &c[18];
    e[0] = 7;
    e[1] = 0x05;  // ENDPOINT
    e[2] = k_stream_ep;
    e[3] = 0x02;  // bulk
    put16(e + 4, speed == Speed::high ? 512 : 64);
    e[6] = 0;
    return c;
}

std::vector<uint8_t> string_descriptor(const std::string &text, bool languages) {
    if (languages) return {4, 0x03, 0x09, 0x04};  // en-US
    const size_t n = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> s(2 + 2 * n);
    s[0] = static_cast<uint8_t>(s.size());
    s[1] = 0x03;
    for (size_t k = 0; k < n; ++k) {
        s[2 + 2 * k] = static_cast<uint8_t>(text[k]);
        s[3 + 2 * k] = 0;
    }
    return s;
}

}  // namespace wire
}  // namespace tarvo::sim
