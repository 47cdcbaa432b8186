// libusb helpers for the simulator's tests: open the n-th camera of the
// bus, run one command with its status poll, decode stream packets.
#pragma once

#include <libusb.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

// A libusb context with one open, claimed camera.
struct Usb {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    Usb();
    ~Usb();
    // Opens the camera at bus 1 / port; false when there is none.
    bool open_port(uint8_t port);
    void close();
};

// A control transfer in the camera's command format; returns libusb's
// result (bytes moved or a negative error).
int cmd_out(libusb_device_handle *h, uint8_t req, uint16_t value, const std::vector<uint8_t> &data,
            unsigned timeout_ms = 1000);
int cmd_in(libusb_device_handle *h, uint8_t req, uint16_t value, std::vector<uint8_t> &data,
           unsigned timeout_ms = 1000);

// The status record, decoded.
struct Status {
    int rc = 0;  // libusb result
    uint8_t code = 0, request = 0, value = 0;
    std::string text;
};
Status status(libusb_device_handle *h);

// A 20-byte parameter item.
std::vector<uint8_t> param_item(uint8_t id, const std::vector<uint8_t> &value = {});

// A stream packet found by scanning a byte stream, decoded independently.
struct Packet {
    uint16_t sidx = 0;
    uint32_t len = 0, frlen = 0;
    uint16_t fridx = 0, frfmt = 0, width = 0, height = 0;
    std::array<uint8_t, 8> drv_info{};
    uint32_t dsum = 0;
    uint8_t pkt_flags = 0, chk_flags = 0;
    bool hsum_ok = false;
    std::vector<uint8_t> payload;
};
// Splits a stream that starts at a packet boundary into packets; stops at
// the first incomplete one (its bytes are left in `rest`).
std::vector<Packet> split_packets(const std::vector<uint8_t> &stream,
                                  std::vector<uint8_t> *rest = nullptr);

}  // namespace simtest
