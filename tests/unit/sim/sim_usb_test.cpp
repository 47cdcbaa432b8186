// The simulated camera through real libusb: listing, descriptors, the
// command channel with its status record, command faults, resets and
// plugging.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim_test_util.h"
#include "tarvo_sim/sim.h"

using namespace tarvo::sim;
using namespace simtest;

namespace {

struct Found {
    uint8_t port, address;
    int speed;
    libusb_device_descriptor dd;
};

std::vector<Found> list_devices(libusb_context *ctx) {
    std::vector<Found> out;
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        Found f{libusb_get_port_number(list[i]),
                libusb_get_device_address(list[i]),
                libusb_get_device_speed(list[i]),
                {}};
        libusb_get_device_descriptor(list[i], &f.dd);
        out.push_back(f);
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return out;
}

// Hot-plug events reach libusb asynchronously: waits until it lists `n`
// devices and one of them at `port`.
std::vector<Found> wait_listed(libusb_context *ctx, size_t n, uint8_t port) {
    std::vector<Found> devs;
    for (int i = 0; i < 200; ++i) {
        devs = list_devices(ctx);
        if (devs.size() == n &&
            std::any_of(devs.begin(), devs.end(), [&](auto &d) { return d.port == port; }))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return devs;
}

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST(SimUsbListing, CamerasOnTheirOwnPortsWithDescriptors) {
    CameraConfig fs;
    fs.speed = Speed::full;
    Bus bus(std::vector<CameraConfig>{CameraConfig{}, fs});
    Usb usb;
    auto devs = list_devices(usb.ctx);
    ASSERT_EQ(devs.size(), 2u);
    std::sort(devs.begin(), devs.end(), [](auto &a, auto &b) { return a.port < b.port; });
    EXPECT_EQ(devs[0].port, 2);
    EXPECT_EQ(devs[1].port, 3);
    EXPECT_EQ(devs[0].address, bus.camera(0).address());
    EXPECT_EQ(devs[1].address, bus.camera(1).address());
    EXPECT_NE(devs[0].address, devs[1].address);
    EXPECT_EQ(devs[0].speed, LIBUSB_SPEED_HIGH);
    EXPECT_EQ(devs[1].speed, LIBUSB_SPEED_FULL);
    for (auto &d : devs) {
        EXPECT_EQ(d.dd.idVendor, 0x1209);
        EXPECT_EQ(d.dd.idProduct, 0x7A7F);
        EXPECT_EQ(d.dd.bNumConfigurations, 1);
    }

    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(usb.ctx, &list), 2);
    for (int i = 0; i < 2; ++i) {
        libusb_config_descriptor *cd = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(list[i], &cd), 0);
        EXPECT_EQ(cd->bConfigurationValue, 1);
        ASSERT_EQ(cd->bNumInterfaces, 1);
        const libusb_interface_descriptor &id = cd->interface[0].altsetting[0];
        EXPECT_EQ(id.bInterfaceNumber, 0);
        ASSERT_EQ(id.bNumEndpoints, 1);
        EXPECT_EQ(id.endpoint[0].bEndpointAddress, 0x81);
        EXPECT_EQ(id.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
        const bool high = libusb_get_device_speed(list[i]) == LIBUSB_SPEED_HIGH;
        EXPECT_EQ(id.endpoint[0].wMaxPacketSize, high ? 512 : 64);
        libusb_free_config_descriptor(cd);
    }
    libusb_free_device_list(list, 1);
}

TEST(SimUsbListing, StringsClaimAndHotAdd) {
    Bus bus(1);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    unsigned char text[64];
    ASSERT_GT(libusb_get_string_descriptor_ascii(usb.h, 1, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "Tarvo");
    ASSERT_GT(libusb_get_string_descriptor_ascii(usb.h, 3, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "SIM0001");
    EXPECT_NE(libusb_claim_interface(usb.h, 1), 0);  // only interface 0 exists
    EXPECT_EQ(libusb_clear_halt(usb.h, 0x81), 0);
    EXPECT_EQ(bus.camera(0).stats().clear_halts, 1u);

    Camera added = bus.add_camera();
    EXPECT_EQ(added.port(), 3);
    EXPECT_EQ(list_devices(usb.ctx).size(), 2u);
}

TEST(SimUsbCommands, ParametersStoreAndAnswer) {
    CameraConfig cfg;
    cfg.id_text = "CAM-42";
    cfg.frame_rate = 25;
    cfg.version = {1, 0, 0x34, 0x12};
    Bus bus(1, cfg);
    Camera cam = bus.camera(0);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));

    // Ask for three items; the answer keeps their order.
    std::vector<uint8_t> q;
    for (uint8_t id : {2, 12, 6}) {
        auto it = param_item(id);
        q.insert(q.end(), it.begin(), it.end());
    }
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 4, q), 60);
    EXPECT_EQ(status(usb.h).code, 0);
    std::vector<uint8_t> a(60);
    ASSERT_EQ(cmd_in(usb.h, 0xC0, 4, a), 60);
    EXPECT_EQ(a[0], 2);
    EXPECT_EQ(std::string(a.begin() + 2, a.begin() + 2 + a[1]), "CAM-42");
    EXPECT_EQ(a[20], 12);
    EXPECT_EQ(a[21], 4);
    EXPECT_EQ(a[22] | a[23] << 8, 25);
    EXPECT_EQ(a[40], 6);
    EXPECT_EQ(a[41], 4);
    EXPECT_EQ(a[44] | a[45] << 8, 0x1234);
    Status st = status(usb.h);
    EXPECT_EQ(st.request, 0xC0);
    EXPECT_EQ(st.value, 4);

    // A set of a known and an unknown identifier; both read back.
    std::vector<uint8_t> set = param_item(12, {15, 0, 0, 0});
    auto other = param_item(99, {7, 8, 9});
    set.insert(set.end(), other.begin(), other.end());
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 3, set), 40);
    st = status(usb.h);
    EXPECT_EQ(st.code, 0);
    EXPECT_EQ(st.value, 3);
    EXPECT_EQ(cam.param_u32(12), 15u);
    EXPECT_EQ(cam.param(99), (std::vector<uint8_t>{7, 8, 9}));

    ASSERT_EQ(cmd_out(usb.h, 0xC0, 4, param_item(99)), 20);
    std::vector<uint8_t> one(20);
    ASSERT_EQ(cmd_in(usb.h, 0xC0, 4, one), 20);
    EXPECT_EQ(one[1], 3);
    EXPECT_EQ(one[4], 9);
    // Never set: length 0.
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 4, param_item(200)), 20);
    ASSERT_EQ(cmd_in(usb.h, 0xC0, 4, one), 20);
    EXPECT_EQ(one[0], 200);
    EXPECT_EQ(one[1], 0);

    // A set with a ragged length is an error with a text.
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 3, std::vector<uint8_t>(19, 1)), 19);
    st = status(usb.h);
    EXPECT_EQ(st.code, 0xFF);
    EXPECT_EQ(st.text, "bad parameter item length");
}

TEST(SimUsbCommands, EpcProductsCarryTheChipUnlessConfiguredOtherwise) {
    // Register 0x100 of space 1 exists only without the chip (256 registers).
    const std::vector<uint8_t> w = {1, 0x00, 0x01, 0, 0, 4, 0, 0x11, 0, 0, 0};
    CameraConfig e2;  // "TarvoSim-E2-1.0"
    CameraConfig t0;
    t0.product = "TarvoSim-T0-1.0";
    CameraConfig t0_chip = t0;
    t0_chip.epc.enabled = true;
    Bus bus(std::vector<CameraConfig>{e2, t0, t0_chip});
    const bool chip[3] = {true, false, true};
    for (int i = 0; i < 3; ++i) {
        Camera cam = bus.camera(static_cast<size_t>(i));
        Usb usb;
        ASSERT_TRUE(usb.open_port(static_cast<uint8_t>(2 + i)));
        ASSERT_EQ(cmd_out(usb.h, 0xC2, 0, w), 11);
        const auto st = status(usb.h);
        EXPECT_EQ(st.code, chip[i] ? 0xFF : 0) << i;
        if (chip[i]) {
            EXPECT_EQ(st.text, "chip register out of range");
            EXPECT_EQ(cam.reg(1, 130), 0x17u);  // the clock register is preset
        } else {
            EXPECT_EQ(cam.reg(1, 0x100), 0x11u);
        }
    }
}

TEST(SimUsbCommands, RegistersByTargetAndIndex) {
    CameraConfig plain;  // register space 1 without the EPC chip
    plain.epc.enabled = false;
    Bus bus(1, plain);
    Camera cam = bus.camera(0);
    cam.set_reg(2, 0x100, 0xDEADBEEF);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));

    std::vector<uint8_t> w = {1, 0x00, 0x01, 0, 0, 12, 0};  // target 1, reg 0x100, 3 registers
    for (uint32_t v : {0x11111111u, 0x22222222u, 0x80000001u})
        for (int i = 0; i < 4; ++i) w.push_back(static_cast<uint8_t>(v >> (8 * i)));
    ASSERT_EQ(cmd_out(usb.h, 0xC2, 0, w), 19);
    EXPECT_EQ(status(usb.h).code, 0);
    ASSERT_EQ(cam.reg_writes().size(), 3u);
    EXPECT_EQ(cam.reg_writes()[2].index, 0x102u);
    EXPECT_EQ(cam.reg_writes()[2].value, 0x80000001u);
    EXPECT_EQ(cam.reg(1, 0x101), 0x22222222u);
    EXPECT_EQ(cam.reg(2, 0x101), 0u);

    // Read 0x101..0x102 of target 1, then 0x100 of target 2.
    ASSERT_EQ(cmd_out(usb.h, 0xC2, 1, {1, 0x01, 0x01, 0, 0, 8, 0}), 7);
    EXPECT_EQ(status(usb.h).code, 0);
    std::vector<uint8_t> r(8);
    ASSERT_EQ(cmd_in(usb.h, 0xC2, 1, r), 8);
    EXPECT_EQ(r[0], 0x22);
    EXPECT_EQ(r[7], 0x80);
    ASSERT_EQ(cmd_out(usb.h, 0xC2, 1, {2, 0x00, 0x01, 0, 0, 4, 0}), 7);
    std::vector<uint8_t> r2(4);
    ASSERT_EQ(cmd_in(usb.h, 0xC2, 1, r2), 4);
    EXPECT_EQ(r2, (std::vector<uint8_t>{0xEF, 0xBE, 0xAD, 0xDE}));

    // A count that disagrees with the data is refused with a text.
    ASSERT_EQ(cmd_out(usb.h, 0xC2, 0, {1, 0, 0, 0, 0, 8, 0, 1, 2, 3, 4}), 11);
    Status st = status(usb.h);
    EXPECT_EQ(st.code, 0xFF);
    EXPECT_EQ(st.text, "register byte count does not match");
    EXPECT_EQ(cam.reg_writes().size(), 3u);
}

TEST(SimUsbCommands, StatusBusyErrorAndOverride) {
    Bus bus(1);
    Camera cam = bus.camera(0);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    Status st = status(usb.h);  // nothing received yet
    EXPECT_EQ(st.rc, 63);
    EXPECT_EQ(st.request, 0);

    cam.set_busy_polls(2, {0xC2, 5});
    ASSERT_EQ(cmd_out(usb.h, 0xC2, 5, {0xC2}), 1);
    EXPECT_EQ(status(usb.h).code, 0xFE);
    EXPECT_EQ(status(usb.h).code, 0xFE);
    st = status(usb.h);
    EXPECT_EQ(st.code, 0);
    EXPECT_EQ(st.request, 0xC2);
    EXPECT_EQ(st.value, 5);

    cam.fail_command({0xC0, 3}, "flash locked");
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 3, param_item(12, {1, 0, 0, 0})), 20);
    st = status(usb.h);
    EXPECT_EQ(st.code, 0xFF);
    EXPECT_EQ(st.text, "flash locked");
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 3, param_item(12, {1, 0, 0, 0})), 20);  // used up
    EXPECT_EQ(status(usb.h).code, 0);

    cam.override_status(0xC0, 3);
    ASSERT_EQ(cmd_out(usb.h, 0xC2, 1, {1, 0, 0, 0, 0, 4, 0}), 7);
    st = status(usb.h);
    EXPECT_EQ(st.request, 0xC0);
    EXPECT_EQ(st.value, 3);
    st = status(usb.h);
    EXPECT_EQ(st.request, 0xC2);
    EXPECT_EQ(st.value, 1);

    const auto cmds = cam.commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].request, 0xC2);
    EXPECT_EQ(cmds[0].request_type, 0x22);
    EXPECT_EQ(cmds[0].data, (std::vector<uint8_t>{0xC2}));
    EXPECT_EQ(cam.last_command()->value, 1);
    EXPECT_EQ(cam.stats().status_polls, 8u);
}

TEST(SimUsbCommands, RefusedShortAndUnknown) {
    Bus bus(1);
    Camera cam = bus.camera(0);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    cam.refuse_command({0xC2, 4});
    EXPECT_EQ(cmd_out(usb.h, 0xC2, 4, {0, 0, 0, 0}), LIBUSB_ERROR_PIPE);
    EXPECT_FALSE(cam.capturing());

    cam.short_reply({0xC0, 4}, 10);
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 4, param_item(3)), 20);
    std::vector<uint8_t> a(20, 0xAA);
    EXPECT_EQ(cmd_in(usb.h, 0xC0, 4, a), 10);
    EXPECT_EQ(a[0], 3);
    EXPECT_EQ(a[10], 0xAA);  // nothing past the short answer

    ASSERT_EQ(cmd_out(usb.h, 0xC2, 9, {}), 0);
    Status st = status(usb.h);
    EXPECT_EQ(st.code, 0xFF);
    EXPECT_EQ(st.text, "unknown command");
    ASSERT_EQ(cmd_out(usb.h, 0xCC, 1, {1, 2}), 2);
    EXPECT_EQ(status(usb.h).code, 0xFF);
}

namespace {
struct AsyncCmd {
    std::atomic<int> done{0};
    std::atomic<int> status{-1};
    std::atomic<int> actual{-1};
    std::chrono::steady_clock::time_point at;
};
void LIBUSB_CALL async_cb(libusb_transfer *t) {
    auto *c = static_cast<AsyncCmd *>(t->user_data);
    c->at = std::chrono::steady_clock::now();
    c->status = t->status;
    c->actual = t->actual_length;
    c->done = 1;
}
}  // namespace

TEST(SimUsbCommands, DelayedAnswersAndLateAnswerAfterCancel) {
    Bus bus(1);
    Camera cam = bus.camera(0);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));

    // A slow camera answers within the host's patience.
    cam.delay_command({0xB0, 0}, 150);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(status(usb.h).rc, 63);
    EXPECT_GE(ms_since(t0), 140.0);

    ASSERT_EQ(cmd_out(usb.h, 0xC2, 5, {0xC2}), 1);
    // The host gives up after 100 ms; a camera that honours the cancel ends
    // the transfer then.
    for (bool late : {false, true}) {
        cam.delay_command({0xB0, 0}, 400, late);
        std::vector<uint8_t> buf(8 + 63, 0xEE);
        libusb_fill_control_setup(buf.data(), 0xA2, 0xB0, 0, 0, 63);
        libusb_transfer *t = libusb_alloc_transfer(0);
        AsyncCmd c;
        libusb_fill_control_transfer(t, usb.h, buf.data(), async_cb, &c, 100);
        t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(libusb_submit_transfer(t), 0);
        while (!c.done) {
            timeval tv{0, 20000};
            libusb_handle_events_timeout(usb.ctx, &tv);
        }
        const double took = std::chrono::duration<double, std::milli>(c.at - t0).count();
        EXPECT_EQ(c.status, LIBUSB_TRANSFER_TIMED_OUT);
        if (late) {
            // The answer still lands in the buffer after the time-out: the
            // host must keep it alive until the callback.
            EXPECT_GE(took, 390.0);
            EXPECT_EQ(c.actual, 63);
            EXPECT_EQ(buf[8 + 1], 0xC2);
            EXPECT_EQ(buf[8 + 2], 5);
        } else {
            EXPECT_LT(took, 350.0);
        }
        libusb_free_transfer(t);
    }
}

TEST(SimUsbPlug, UsbResetReEnumeratesOnTheSamePort) {
    CameraConfig cfg;
    cfg.reset_delay_ms = 200;
    Bus bus(1, cfg);
    Camera cam = bus.camera(0);
    const uint8_t addr0 = cam.address();
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));

    ASSERT_EQ(cmd_out(usb.h, 0xC0, 0, {5, 0, 0, 0}), 4);  // another target: acknowledged
    EXPECT_EQ(status(usb.h).code, 0);
    EXPECT_TRUE(cam.present());

    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(cmd_out(usb.h, 0xC0, 0, {3, 0, 0, 0}), 4);
    EXPECT_EQ(cam.reset_targets(), (std::vector<uint8_t>{5, 3}));
    ASSERT_TRUE(cam.wait_for([](const Camera &c) { return !c.present(); }, 1000));
    // The old handle now reports a vanished device.
    EXPECT_EQ(status(usb.h).rc, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(usb.open_port(2));
    ASSERT_TRUE(cam.wait_for([](const Camera &c) { return c.present(); }, 2000));
    EXPECT_GE(ms_since(t0), 200.0);
    EXPECT_EQ(cam.port(), 2);
    EXPECT_NE(cam.address(), addr0);

    auto devs = wait_listed(usb.ctx, 1, 2);
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_EQ(devs[0].port, 2);
    EXPECT_EQ(devs[0].address, cam.address());
    ASSERT_TRUE(usb.open_port(2));
    EXPECT_EQ(status(usb.h).request, 0);  // rebooted: no last command
}

TEST(SimUsbPlug, UnplugReplugAndMove) {
    Bus bus(2);
    Camera cam = bus.camera(1);
    Usb usb;
    ASSERT_TRUE(usb.open_port(3));
    cam.unplug();
    EXPECT_FALSE(cam.present());
    EXPECT_EQ(cmd_out(usb.h, 0xC2, 5, {0xC2}), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(list_devices(usb.ctx).size(), 1u);

    cam.replug(7);
    EXPECT_TRUE(cam.present());
    EXPECT_EQ(cam.port(), 7);
    auto devs = wait_listed(usb.ctx, 2, 7);
    ASSERT_EQ(devs.size(), 2u);
    EXPECT_TRUE(devs[0].port == 7 || devs[1].port == 7);
    EXPECT_FALSE(usb.open_port(3));
    ASSERT_TRUE(usb.open_port(7));
    EXPECT_EQ(cmd_out(usb.h, 0xC2, 5, {0xC2}), 1);
}

TEST(SimUsbPlug, VanishMidCommand) {
    Bus bus(1);
    Camera cam = bus.camera(0);
    Usb usb;
    ASSERT_TRUE(usb.open_port(2));
    cam.vanish_on_command({0xC0, 4}, 100);
    EXPECT_EQ(cmd_out(usb.h, 0xC0, 4, param_item(3)), LIBUSB_ERROR_NO_DEVICE);
    ASSERT_TRUE(cam.wait_for([](const Camera &c) { return c.present(); }, 2000));
    ASSERT_EQ(wait_listed(usb.ctx, 1, 2).size(), 1u);
    ASSERT_TRUE(usb.open_port(2));
    EXPECT_EQ(status(usb.h).rc, 63);
}
