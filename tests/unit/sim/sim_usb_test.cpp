// The simulated camera through real libusb: listing, descriptors and a
// first command.
#include <gtest/gtest.h>

#include "sim_test_util.h"
#include "tarvo_sim/sim.h"

using namespace tarvo::sim;
using namespace simtest;

TEST(SimUsb, ListsCameras) {
    Bus bus(2);
    Usb usb;
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(usb.ctx, &list);
    ASSERT_EQ(n, 2);
    libusb_free_device_list(list, 1);
    ASSERT_TRUE(usb.open_port(2));
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 4, param_item(3)), 20);
    Status st = status(usb.h);
    EXPECT_EQ(st.rc, 63);
    EXPECT_EQ(st.request, 0xC0);
    std::vector<uint8_t> items(20);
    ASSERT_EQ(cmd_in(usb.h, 0xC0, 4, items), 20);
    EXPECT_EQ(std::string(items.begin() + 2, items.begin() + 2 + items[1]), "TarvoSim-E2-1.0");
}
