// Byte layouts the simulated camera speaks: USB descriptors, the command
// channel's records and the stream packet header. Encoded and decoded here,
// on the simulator's side, independently of the library's own code, so a
// misreading on either side shows up as a failing test.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvo_sim/config.h"

namespace tarvo::sim::wire {

// Control requests.
constexpr uint8_t k_req_status = 0xB0;
constexpr uint8_t k_req_dev = 0xC0;
constexpr uint8_t k_req_sensor = 0xC2;
constexpr uint8_t k_req_data = 0xCC;

constexpr uint8_t k_status_ok = 0x00;
constexpr uint8_t k_status_busy = 0xFE;
constexpr uint8_t k_status_error = 0xFF;
constexpr size_t k_status_len = 63;
constexpr size_t k_status_text = 60;

constexpr size_t k_param_item = 20;
constexpr size_t k_reg_header = 7;
constexpr size_t k_pkt_header = 36;
constexpr uint8_t k_stream_ep = 0x81;

inline uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 8-byte setup packet at the start of a control transfer.
struct Setup {
    uint8_t type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    bool in() const { return (type & 0x80) != 0; }
};
Setup parse_setup(const uint8_t *p);

// The 63-byte status record.
std::array<uint8_t, k_status_len> status_record(uint8_t status, uint8_t request, uint8_t value,
                                                const std::string &text);

// Fields of one stream packet header.
struct PacketHeader {
    uint16_t sidx = 0;
    uint32_t len = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    std::array<uint8_t, 8> drv_info{};
    uint32_t dsum = 0;
    bool frame_bound = false;
    bool has_dsum = false;
};
// Writes the 36 header bytes (sync, fields, Fletcher-16) to `out`.
void encode_header(const PacketHeader &h, uint8_t *out);

// Device descriptor followed by the configuration descriptor (as the sysfs
// "descriptors" attribute holds them).
std::vector<uint8_t> device_descriptor();
std::vector<uint8_t> config_descriptor(Speed speed);
// String descriptor: index 0 the language list, others UTF-16LE text.
std::vector<uint8_t> string_descriptor(const std::string &text, bool languages);

}  // namespace tarvo::sim::wire
