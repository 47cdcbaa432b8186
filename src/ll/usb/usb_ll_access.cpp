// Register and parameter access over the command channel, with the
// chunking the camera's request buffers impose.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/byteio.h"
#include "ll/usb/usb_ll.h"
#include "log/log.h"

namespace tarvo::usb {

namespace {

constexpr size_t k_max_stage = 0xFFFF;

// Turns `n` little-endian words received in place into host order.
void words_from_le(uint32_t *vals, int n) {
    for (int i = 0; i < n; ++i) {
        uint8_t b[4];
        std::memcpy(b, &vals[i], sizeof b);
        vals[i] = le32(b);
    }
}

// Register header: target, first register, byte count.
void put_reg_header(ByteWriter &w, uint8_t target, uint32_t reg, uint16_t cnt) {
    w.u8(target);
    w.u32(reg);
    w.u16(static_cast<uint16_t>(cnt * 4));
}

bool exe_checked(tarvo_ll_dev_t *dev, uint8_t dir, uint8_t req, uint8_t val, void *data, int len) {
    return usb_ll_exe_cmd(dev, dir, req, val, data, len, k_cmd_timeout_ms) &&
           usb_ll_check_last_cmd(dev, req, val);
}

}  // namespace

bool usb_ll_reg_write(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                      uint16_t reg_cnt) {
    static const char *const k_fn = "usb_ll_reg_write";
    const size_t len = static_cast<size_t>(reg_cnt) * 4 + k_reg_hdr_len;
    if (len > k_max_stage || (reg_cnt && !vals)) {
        // The byte count travels as 16 bits: more would be cut on the wire.
        TQ_ERR("[%s] cannot write %u registers in one command\n", k_fn, reg_cnt);
        return false;
    }
    auto *buf = static_cast<uint8_t *>(std::malloc(len));
    if (!buf) {
        TQ_ERR("[%s] malloc failed\n", k_fn);
        return false;
    }
    ByteWriter w(buf, len);
    put_reg_header(w, target, reg_base, reg_cnt);
    for (uint16_t i = 0; i < reg_cnt; ++i) w.u32(vals[i]);
    bool ok = usb_ll_exe_cmd(dev, 1, USB_LL_REQ_SENSOR, k_sensor_reg_write, buf,
                             static_cast<int>(len), k_cmd_timeout_ms);
    std::free(buf);
    if (!ok) return false;
    return usb_ll_check_last_cmd(dev, USB_LL_REQ_SENSOR, k_sensor_reg_write);
}

bool usb_ll_reg_read(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *vals,
                     uint16_t reg_cnt) {
    static const char *const k_fn = "usb_ll_reg_read";
    if (reg_cnt == 0) return true;
    if (!vals) {
        TQ_ERR("[%s] no value array\n", k_fn);
        return false;
    }
    uint32_t reg = reg_base;
    int left = reg_cnt;
    uint32_t *out = vals;
    while (left > 0) {
        const uint16_t chunk = static_cast<uint16_t>(std::min(left, k_reg_chunk));
        uint8_t hdr[k_reg_hdr_len];
        ByteWriter w(hdr, sizeof hdr);
        put_reg_header(w, target, reg, chunk);
        if (!exe_checked(dev, 1, USB_LL_REQ_SENSOR, k_sensor_reg_read, hdr, sizeof hdr)) {
            TQ_ERR("[%s] write phase failed\n", k_fn);
            return false;
        }
        // The values land straight in the caller's array, little-endian.
        if (!exe_checked(dev, 0, USB_LL_REQ_SENSOR, k_sensor_reg_read, out, chunk * 4)) {
            TQ_ERR("[%s] read phase failed\n", k_fn);
            return false;
        }
        words_from_le(out, chunk);
        reg += chunk;  // registers are addressed by index
        out += chunk;
        left -= chunk;
    }
    return true;
}

bool usb_ll_param_set(tarvo_ll_dev_t *dev, const void *items, int n) {
    static const char *const k_fn = "usb_ll_param_set";
    if (n < 0 || static_cast<size_t>(n) * k_param_item_len > k_max_stage || (n > 0 && !items)) {
        TQ_ERR("[%s] cannot set %d parameters in one command\n", k_fn, n);
        return false;
    }
    // Host to camera: the data stage is only read.
    if (!usb_ll_exe_cmd(dev, 1, USB_LL_REQ_DEV, k_dev_param_set, const_cast<void *>(items),
                        n * k_param_item_len, k_cmd_timeout_ms))
        return false;
    return usb_ll_check_last_cmd(dev, USB_LL_REQ_DEV, k_dev_param_set);
}

bool usb_ll_param_get(tarvo_ll_dev_t *dev, void *items, int n) {
    static const char *const k_fn = "usb_ll_param_get";
    if (n <= 0) return true;
    if (!items) {
        TQ_ERR("[%s] no item array\n", k_fn);
        return false;
    }
    auto *base = static_cast<uint8_t *>(items);
    // Keep each identifier, clear its length and value.
    for (int i = 0; i < n; ++i) {
        uint8_t *item = base + static_cast<size_t>(i) * k_param_item_len;
        uint8_t id = ByteReader(item, k_param_item_len).u8();
        ByteWriter w(item, k_param_item_len);
        w.u8(id);
        w.zeros(k_param_item_len - 1);
    }
    for (int i = 0; i < n; i += k_param_chunk) {
        const int chunk = std::min(n - i, k_param_chunk);
        uint8_t *part = base + static_cast<size_t>(i) * k_param_item_len;
        const int len = chunk * k_param_item_len;
        if (!exe_checked(dev, 1, USB_LL_REQ_DEV, k_dev_param_get, part, len)) {
            TQ_ERR("[%s] write phase failed\n", k_fn);
            return false;
        }
        if (!exe_checked(dev, 0, USB_LL_REQ_DEV, k_dev_param_get, part, len)) {
            TQ_ERR("[%s] read phase failed\n", k_fn);
            return false;
        }
    }
    return true;
}

}  // namespace tarvo::usb
