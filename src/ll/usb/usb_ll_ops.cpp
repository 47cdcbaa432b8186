// The USB link's operation table and its process-wide settings.
#include <atomic>

#include "ll/usb/usb_ll.h"

namespace tarvo::usb {

namespace {
std::atomic<int> g_libusb_level{0};
}

bool usb_ll_init() {
    return true;
}

void usb_ll_uninit() {}

int usb_ll_set_debug(int level) {
    static const int k_map[6] = {4, 4, 3, 2, 1, 0};
    int mapped = (level >= 0 && level <= 5) ? k_map[level] : 0;
    g_libusb_level.store(mapped, std::memory_order_relaxed);
    return mapped;
}

int usb_ll_debug_level() {
    return g_libusb_level.load(std::memory_order_relaxed);
}

}  // namespace tarvo::usb

extern "C" TARVO_API const tarvo_ll_ops_t ll_op_usb = {
    tarvo::usb::usb_ll_init,           tarvo::usb::usb_ll_uninit,
    tarvo::usb::usb_ll_set_debug,      tarvo::usb::usb_ll_dev_open,
    tarvo::usb::usb_ll_dev_open_by_fd, tarvo::usb::usb_ll_dev_close,
    tarvo::usb::usb_ll_dev_list,       tarvo::usb::usb_ll_exe_cmd,
    tarvo::usb::usb_ll_check_last_cmd, tarvo::usb::usb_ll_cap_abort,
    tarvo::usb::usb_ll_cap_start,      tarvo::usb::usb_ll_cap_stop,
    tarvo::usb::usb_ll_dev_reset,      tarvo::usb::usb_ll_reg_write,
    tarvo::usb::usb_ll_reg_read,       tarvo::usb::usb_ll_param_set,
    tarvo::usb::usb_ll_param_get,
};
