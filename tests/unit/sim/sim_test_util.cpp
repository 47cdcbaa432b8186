#include "sim_test_util.h"

#include <cstring>

namespace simtest {
namespace {
uint16_t rd16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t rd32(const uint8_t *p) {
    return rd16(p) | static_cast<uint32_t>(rd16(p + 2)) << 16;
}
}  // namespace

Usb::Usb() {
    libusb_init(&ctx);
}
Usb::~Usb() {
    close();
    if (ctx) libusb_exit(ctx);
}

bool Usb::open_port(uint8_t port) {
    close();
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) == 1 && libusb_get_port_number(list[i]) == port) {
            if (libusb_open(list[i], &h) != 0) h = nullptr;
            break;
        }
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    if (!h) return false;
    if (libusb_set_configuration(h, 1) != 0 || libusb_claim_interface(h, 0) != 0) {
        close();
        return false;
    }
    return true;
}

void Usb::close() {
    if (!h) return;
    libusb_release_interface(h, 0);
    libusb_close(h);
    h = nullptr;
}

int cmd_out(libusb_device_handle *h, uint8_t req, uint16_t value, const std::vector<uint8_t> &data,
            unsigned timeout_ms) {
    std::vector<uint8_t> d = data;
    return libusb_control_transfer(h, 0x22, req, value, 0, d.data(),
                                   static_cast<uint16_t>(d.size()), timeout_ms);
}

int cmd_in(libusb_device_handle *h, uint8_t req, uint16_t value, std::vector<uint8_t> &data,
           unsigned timeout_ms) {
    return libusb_control_transfer(h, 0xA2, req, value, 0, data.data(),
                                   static_cast<uint16_t>(data.size()), timeout_ms);
}

Status status(libusb_device_handle *h) {
    std::vector<uint8_t> rec(63, 0xEE);
    Status s;
    s.rc = cmd_in(h, 0xB0, 0, rec);
    s.code = rec[0];
    s.request = rec[1];
    s.value = rec[2];
    const char *t = reinterpret_cast<const char *>(&rec[3]);
    s.text.assign(t, strnlen(t, 60));
    return s;
}

std::vector<uint8_t> param_item(uint8_t id, const std::vector<uint8_t> &value) {
    std::vector<uint8_t> it(20, 0);
    it[0] = id;
    it[1] = static_cast<uint8_t>(value.size());
    if (!value.empty()) std::memcpy(&it[2], value.data(), std::min<size_t>(value.size(), 18));
    return it;
}

std::vector<Packet> split_packets(const std::vector<uint8_t> &s, std::vector<uint8_t> *rest) {
    std::vector<Packet> out;
    size_t pos = 0;
    while (s.size() - pos >= 36) {
        const uint8_t *p = &s[pos];
        Packet k;
        k.sidx = rd16(p + 2);
        k.len = rd32(p + 4);
        if (s.size() - pos - 36 < k.len) break;
        k.frlen = rd32(p + 8);
        k.fridx = rd16(p + 12);
        k.frfmt = rd16(p + 14);
        k.width = rd16(p + 16);
        k.height = rd16(p + 18);
        std::memcpy(k.drv_info.data(), p + 20, 8);
        k.dsum = rd32(p + 28);
        k.pkt_flags = p[32];
        k.chk_flags = p[33];
        unsigned a = 0, b = 0;
        for (int i = 0; i < 34; ++i) {
            a = (a + p[i]) % 255;
            b = (b + a) % 255;
        }
        k.hsum_ok = p[0] == 0xFB && p[1] == 0x98 && rd16(p + 34) == (b << 8 | a);
        k.payload.assign(p + 36, p + 36 + k.len);
        out.push_back(std::move(k));
        pos += 36 + k.len;
    }
    if (rest) rest->assign(s.begin() + static_cast<std::ptrdiff_t>(pos), s.end());
    return out;
}

}  // namespace simtest
