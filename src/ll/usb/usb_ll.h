// The USB link: the operations behind ll_op_usb.
#pragma once

#include "tarvo/tarvo_ll.h"

namespace tarvo::usb {

// The camera's USB identity: one vendor/product id pair. The simulated
// camera presents the same pair.
constexpr uint16_t k_vendor_id = 0x1209;
constexpr uint16_t k_product_id = 0x7A7F;

bool usb_ll_init();
void usb_ll_uninit();
int usb_ll_set_debug(int level);
// The libusb debug level applied to contexts created from now on.
int usb_ll_debug_level();

}  // namespace tarvo::usb
