// USB discovery, open, close and reset, and the private data of a record.
#include <libusb.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "common/byteio.h"
#include "ll/usb/usb_ll.h"
#include "ll/usb/usb_ll_priv.h"
#include "log/log.h"
#include "platform/platform.h"

namespace tarvo::usb {

namespace {

struct UsbIdentity {
    uint8_t bus, port, addr, speed;
};

UsbIdentity identity_of(libusb_device *d) {
    return {libusb_get_bus_number(d), libusb_get_port_number(d), libusb_get_device_address(d),
            static_cast<uint8_t>(libusb_get_device_speed(d))};
}

bool is_camera(const libusb_device_descriptor &desc) {
    return desc.idVendor == k_vendor_id && desc.idProduct == k_product_id;
}

void set_identity(tarvo_ll_dev_t *rec, const UsbIdentity &id) {
    rec->if_type = 1;
    rec->if_info.ext_handle = 0;
    rec->if_info.usb_port_num = id.port;
    rec->if_info.usb_bus_num = id.bus;
    rec->if_info.usb_addr = id.addr;
    rec->if_info.usb_speed = id.speed;
}

// Steps of the open that find the camera and open it into p->handle.
bool open_handle(tarvo_ll_dev_t *dev, usb_ll_priv_t *p) {
    static const char *const k_fn = "_usb_ll_dev_open";
    if (!p->ctx) {
        TQ_DBG("[%s]  create usb context\n", k_fn);
        int r = libusb_init(&p->ctx);
        if (r < 0) {
            p->ctx = nullptr;
            TQ_ERR("[%s]  create usb context failed: %s\n", k_fn, libusb_error_name(r));
            return false;
        }
        libusb_set_option(p->ctx, LIBUSB_OPTION_LOG_LEVEL, usb_ll_debug_level());
    }

    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(p->ctx, &list);
    if (n < 0) {
        TQ_ERR("[%s]   enum libusb device failed: %d \n", k_fn, static_cast<int>(n));
        return false;
    }
    TQ_TRC("[%s]   %d usb device found \n", k_fn, static_cast<int>(n));

    const bool listed = dev->if_type != 0;
    for (ssize_t i = 0; i < n && !p->handle; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) < 0) {
            TQ_ERR("[%s]   Failed to get device desc of device %d\n", k_fn, static_cast<int>(i));
            continue;
        }
        UsbIdentity id = identity_of(list[i]);
        if (listed) {
            TQ_TRC("[%s] [%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", k_fn, static_cast<int>(i),
                   desc.idVendor, desc.idProduct, id.speed, id.port, id.bus, id.addr);
            // The address is not compared: a camera that re-enumerated keeps
            // its bus and port but not its address.
            if (!is_camera(desc) || id.bus != dev->if_info.usb_bus_num ||
                id.port != dev->if_info.usb_port_num)
                continue;
            TQ_DBG("[%s] open tarvo device @ %03d:%03d:%03d\n", k_fn, dev->if_info.usb_port_num,
                   dev->if_info.usb_bus_num, dev->if_info.usb_addr);
            int r = libusb_open(list[i], &p->handle);
            if (r < 0) {
                p->handle = nullptr;
                TQ_WRN("[%s] failed to open this device: %s\n", k_fn, libusb_error_name(r));
            }
        } else {
            if (!is_camera(desc)) continue;
            TQ_DBG("[%s] found tarvo device (speed=%d) @ %03d:%03d:%03d\n", k_fn, id.speed, id.port,
                   id.bus, id.addr);
            if (id.speed <= LIBUSB_SPEED_FULL)
                TQ_WRN("[%s] found tarvo device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", k_fn,
                       id.speed, id.port, id.bus, id.addr);
            int r = libusb_open(list[i], &p->handle);
            if (r < 0) {
                p->handle = nullptr;
                TQ_WRN("[%s]   failed to open this device: %s, try next ...\n", k_fn,
                       libusb_error_name(r));
                continue;
            }
            set_identity(dev, id);
        }
    }
    libusb_free_device_list(list, 1);
    return p->handle != nullptr;
}

}  // namespace

void priv_alloc(tarvo_ll_dev_t *dev) {
    static const char *const k_fn = "_usb_ll_dev_priv_alloc";
    auto *p = static_cast<usb_ll_priv_t *>(std::calloc(1, sizeof(usb_ll_priv_t)));
    if (!p) {
        TQ_ERR("[%s] malloc failed\n", k_fn);
        std::exit(-2);
    }
    for (int i = 0; i < k_ring_size; ++i) {
        p->trans[i] = libusb_alloc_transfer(0);
        p->bufs[i] = static_cast<uint8_t *>(std::malloc(k_ring_buf_len));
        if (!p->trans[i] || !p->bufs[i]) {
            TQ_ERR("[%s] malloc failed!\n", k_fn);
            std::exit(-1);
        }
    }
    dev->priv = p;
}

void priv_free(tarvo_ll_dev_t *dev) {
    usb_ll_priv_t *p = priv_of(dev);
    if (!p) return;
    for (int i = 0; i < k_ring_size; ++i) {
        libusb_free_transfer(p->trans[i]);
        std::free(p->bufs[i]);
    }
    std::free(p);
    dev->priv = nullptr;
}

int usb_ll_dev_list(tarvo_ll_dev_t *list, int max) {
    static const char *const k_fn = "usb_ll_dev_list";
    if (!list || max <= 0) return 0;
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) < 0) return 0;
    std::memset(static_cast<void *>(list), 0, sizeof(tarvo_ll_dev_t) * static_cast<size_t>(max));

    libusb_device **devs = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &devs);
    if (n < 0) {
        TQ_ERR("[%s]   enum usb device failed: %d \n", k_fn, static_cast<int>(n));
        libusb_exit(ctx);
        return 0;
    }
    TQ_DBG("[%s] probe tarvo device (max=%d) in %d usb device\n", k_fn, max, static_cast<int>(n));

    int found = 0;
    for (ssize_t i = 0; i < n && found < max; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(devs[i], &desc) < 0) {
            TQ_ERR("[%s]   Failed to get device desc of device %d\n", k_fn, static_cast<int>(i));
            continue;
        }
        UsbIdentity id = identity_of(devs[i]);
        TQ_TRC("[%s] [%02d] %04x:%04x @ %03d:%03d:%03d\n", k_fn, static_cast<int>(i), desc.idVendor,
               desc.idProduct, id.port, id.bus, id.addr);
        if (!is_camera(desc)) continue;
        tarvo_ll_dev_t *rec = &list[found++];
        std::memset(static_cast<void *>(rec), 0, sizeof *rec);
        set_identity(rec, id);
        rec->ops = &ll_op_usb;
        TQ_DBG("[%s]   TARVO device (speed=%d) found @ %03d:%03d:%03d, %p\n", k_fn, id.speed,
               id.port, id.bus, id.addr, static_cast<void *>(rec));
    }
    libusb_free_device_list(devs, 1);
    libusb_exit(ctx);
    return found;
}

tarvo_ll_dev_t *usb_ll_dev_open(tarvo_ll_dev_t *dev) {
    static const char *const k_fn = "usb_ll_dev_open";
    if (!dev || dev->if_info.ext_handle != 0) return nullptr;
    if (!dev->priv) priv_alloc(dev);
    usb_ll_priv_t *p = priv_of(dev);
    if (p->handle) return dev;  // already open: nothing to do
    if (!open_handle(dev, p)) return nullptr;
    dev->if_info.ext_handle = 0;

    int r = libusb_set_configuration(p->handle, k_config);
    if (r < 0) {
        TQ_ERR("[%s] libusb_set_configuration failed: %s\n", k_fn, libusb_error_name(r));
        usb_ll_dev_close(dev);
        return nullptr;
    }
    libusb_set_auto_detach_kernel_driver(p->handle, 1);
    r = libusb_claim_interface(p->handle, k_interface);
    if (r < 0) r = libusb_claim_interface(p->handle, k_interface_alt);
    if (r < 0) {
        TQ_ERR("[%s] libusb_claim_interface failed: %s\n", k_fn, libusb_error_name(r));
        usb_ll_dev_close(dev);
        return nullptr;
    }
    if (!evt_thread_start(dev)) {
        TQ_ERR("[%s]  create evt thread failed\n", k_fn);
        usb_ll_dev_close(dev);
        return nullptr;
    }
    dev->ops = &ll_op_usb;
    return dev;
}

tarvo_ll_dev_t *usb_ll_dev_open_by_fd(tarvo_ll_dev_t *dev) {
    if (!dev || dev->if_info.ext_handle != 0) return nullptr;
    if (!dev->priv) priv_alloc(dev);
    return usb_ll_dev_open(dev);
}

void usb_ll_dev_close(tarvo_ll_dev_t *dev) {
    static const char *const k_fn = "usb_ll_dev_close";
    if (!dev || dev->if_info.ext_handle != 0) return;
    usb_ll_priv_t *p = priv_of(dev);
    if (!p || !p->ctx || !p->handle) {
        TQ_WRN("[%s] device no need to closed!\n", k_fn);
        // A failed open leaves the private data (and perhaps a context)
        // for another attempt; a close releases it so nothing leaks.
        if (p) {
            if (p->ctx) libusb_exit(p->ctx);
            p->ctx = nullptr;
            priv_free(dev);
        }
        return;
    }
    if (p->evt_started && pthread_equal(pthread_self(), p->evt_thread)) {
        // Joining ourselves would hang: a callback cannot close its device.
        TQ_ERR("[%s] cannot close from the event thread\n", k_fn);
        return;
    }
    if (p->evt_started) {
        // Streaming should have been stopped; if it was not, end it here
        // rather than free buffers libusb still fills.
        if (!ring_drain(p, 2 * k_cmd_poll_ms * k_cmd_polls))
            TQ_WRN("[%s] %d stream transfer(s) still queued\n", k_fn, ring_queued_word(p).load());
        // Commands that timed out still own a transfer; let their
        // completions run before the event thread goes away.
        if (!cmd_drain(p, 2 * k_cmd_poll_ms * k_cmd_polls))
            TQ_WRN("[%s] %d command transfer(s) still pending\n", k_fn, cmd_pending_word(p).load());
        if (evt_stop_word(p).load() == 0) TQ_TRC("[%s] stop evt thread...\n", k_fn);
        evt_thread_stop(dev);
    }
    libusb_release_interface(p->handle, k_interface);
    libusb_release_interface(p->handle, k_interface_alt);
    libusb_close(p->handle);
    libusb_exit(p->ctx);
    p->handle = nullptr;
    p->ctx = nullptr;
    priv_free(dev);
}

bool usb_ll_dev_reset(tarvo_ll_dev_t *dev, uint8_t target) {
    static const char *const k_fn = "usb_ll_dev_reset";
    TQ_TRC("[%s] rest device (target=%d)\n", k_fn, target);
    uint8_t data[4];
    ByteWriter w(data, sizeof data);
    w.u32(target);

    if (target != k_reset_target_usb_if) {
        if (!usb_ll_exe_cmd(dev, 1, USB_LL_REQ_DEV, k_dev_reset, data, sizeof data,
                            k_cmd_timeout_ms))
            return false;
        return usb_ll_check_last_cmd(dev, USB_LL_REQ_DEV, k_dev_reset);
    }

    TQ_TRC("[%s] Reset usb if (timeout = %d ms) ...\n", k_fn, k_reset_timeout_ms);
    // The camera leaves the bus while it answers: the result means nothing.
    (void)usb_ll_exe_cmd(dev, 1, USB_LL_REQ_DEV, k_dev_reset, data, sizeof data, k_cmd_timeout_ms);
    usb_ll_dev_close(dev);
    bool reopened = false;
    for (int i = 0; i < k_reopen_tries && !reopened; ++i) {
        platform::sleep_ms(k_reopen_pause_ms);
        reopened = tarvo_ll_dev_open(dev) != nullptr;
    }
    if (!reopened) TQ_WRN("[%s] reopen device failed!\n", k_fn);
    TQ_TRC("[%s] Reset usb if end. \n", k_fn);
    return false;
}

}  // namespace tarvo::usb
