// Discovery, open, close and reset of the USB link, through real libusb and
// simulated cameras on an emulated bus.
#include <cstring>
#include <set>
#include <thread>

#include "usb_fixture.h"

namespace {

using tarvo::sim::CameraConfig;
using tarvo::sim::Speed;
using usbtest::eventually;
using usbtest::ms_since;

class UsbDev : public usbtest::UsbFixture {};

bool all_zero(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

std::string at(int port, int bus, int addr) {
    char b[32];
    std::snprintf(b, sizeof b, "@ %03d:%03d:%03d", port, bus, addr);
    return b;
}

TEST_F(UsbDev, ListingFillsAtMostMaxRecordsInBusOrder) {
    start(3, {}, false);
    tarvo_ll_dev_t list[4];
    std::memset(static_cast<void *>(list), 0xAB, sizeof list);

    ASSERT_EQ(tarvo_ll_dev_list(list, 1), 1);
    EXPECT_EQ(list[0].priv, nullptr);
    EXPECT_EQ(list[0].ops, &ll_op_usb);
    EXPECT_EQ(list[0].if_type, 1);
    EXPECT_EQ(list[0].if_info.ext_handle, 0u);
    EXPECT_EQ(list[0].if_info.usb_bus_num, 1);
    EXPECT_EQ(list[0].if_info.usb_speed, 3);  // high speed
    EXPECT_TRUE(all_zero(list[0].if_info.if_reserved, sizeof list[0].if_info.if_reserved));
    // Only `max` records are touched.
    EXPECT_EQ(list[1].if_type, 0xAB);
    const uint8_t first_port = list[0].if_info.usb_port_num;
    EXPECT_TRUE(log->has("[usb_ll_dev_list] probe tarvo device (max=1) in 3 usb device"));
    EXPECT_EQ(log->count("TARVO device (speed=3) found @"), 1);

    // The same first camera at max 2, and each camera once at a max above
    // the count; records beyond the cameras are zeroed.
    ASSERT_EQ(tarvo_ll_dev_list(list, 2), 2);
    EXPECT_EQ(list[0].if_info.usb_port_num, first_port);
    EXPECT_EQ(list[2].if_type, 0xAB);
    ASSERT_EQ(tarvo_ll_dev_list(list, 4), 3);
    EXPECT_EQ(list[0].if_info.usb_port_num, first_port);
    std::set<int> ports, addrs;
    for (int i = 0; i < 3; ++i) {
        ports.insert(list[i].if_info.usb_port_num);
        addrs.insert(list[i].if_info.usb_addr);
    }
    std::set<int> want_ports, want_addrs;
    for (size_t i = 0; i < 3; ++i) {
        want_ports.insert(cam(i).port());
        want_addrs.insert(cam(i).address());
    }
    EXPECT_EQ(ports, want_ports);
    EXPECT_EQ(addrs, want_addrs);
    EXPECT_EQ(list[3].if_type, 0);
    EXPECT_EQ(list[3].ops, nullptr);

    // Listing opens nothing.
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(cam(i).stats().opens, 0u);
}

TEST_F(UsbDev, OpensTheListedCameraByBusAndPort) {
    start(2, {}, false);
    tarvo_ll_dev_t list[2];
    ASSERT_EQ(tarvo_ll_dev_list(list, 2), 2);
    // Take the record of the second camera.
    int k = list[0].if_info.usb_port_num == cam(1).port() ? 0 : 1;
    ASSERT_EQ(list[k].if_info.usb_port_num, cam(1).port());
    dev = list[k];
    const tarvo_ll_if_info_t before = dev.if_info;

    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev) << log->dump();
    ASSERT_NE(priv(), nullptr);
    EXPECT_NE(priv()->handle, nullptr);
    EXPECT_NE(priv()->ctx, nullptr);
    EXPECT_TRUE(eventually([&] { return tarvo::usb::evt_running_word(priv()).load() == 1; }, 2000));
    EXPECT_EQ(std::memcmp(&before, &dev.if_info, sizeof before), 0);
    EXPECT_EQ(cam(1).stats().opens, 1u);
    EXPECT_EQ(cam(0).stats().opens, 0u);
    EXPECT_TRUE(
        log->has("[_usb_ll_dev_open] open tarvo device " + at(cam(1).port(), 1, cam(1).address())));
    EXPECT_TRUE(log->has("[_usb_ll_evt_thread] enter"));
    EXPECT_TRUE(log->has("[_ll_event_loop] Enter ll event loop..."));

    // It talks to that camera.
    uint8_t item[20] = {2};
    ASSERT_TRUE(tarvo_ll_param_get(&dev, item, 1));
    EXPECT_EQ(cam(1).stats().commands, 2u);
    EXPECT_EQ(cam(0).stats().commands, 0u);
}

TEST_F(UsbDev, AllZeroRecordOpensTheFirstCamera) {
    start(2, {}, false);
    tarvo_ll_dev_t list[1];
    ASSERT_EQ(tarvo_ll_dev_list(list, 1), 1);

    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev) << log->dump();
    EXPECT_EQ(dev.ops, &ll_op_usb);
    EXPECT_EQ(dev.if_type, 1);
    EXPECT_EQ(dev.if_info.ext_handle, 0u);
    EXPECT_EQ(dev.if_info.usb_bus_num, 1);
    EXPECT_EQ(dev.if_info.usb_port_num, list[0].if_info.usb_port_num);
    EXPECT_EQ(dev.if_info.usb_addr, list[0].if_info.usb_addr);
    EXPECT_EQ(dev.if_info.usb_speed, 3);
    EXPECT_TRUE(log->has("[_usb_ll_dev_open] found tarvo device (speed=3) " +
                         at(dev.if_info.usb_port_num, 1, dev.if_info.usb_addr)));
    EXPECT_FALSE(log->has("not in HS mode"));
}

TEST_F(UsbDev, OpenWithoutCameraKeepsThePrivateDataForTheNextAttempt) {
    start(0, {}, false);
    EXPECT_EQ(tarvo_ll_dev_open(&dev), nullptr);
    EXPECT_EQ(dev.if_type, 0);
    EXPECT_EQ(dev.ops, nullptr);
    ASSERT_NE(priv(), nullptr);
    void *first = dev.priv;
    libusb_context *ctx = priv()->ctx;
    EXPECT_NE(ctx, nullptr);
    EXPECT_EQ(priv()->handle, nullptr);

    EXPECT_EQ(tarvo_ll_dev_open(&dev), nullptr);
    EXPECT_EQ(dev.priv, first);
    EXPECT_EQ(priv()->ctx, ctx);
    EXPECT_EQ(log->count("[_usb_ll_dev_open]  create usb context"), 1);

    // A camera plugged in now is found with the same private data.
    tarvo::sim::Camera c = bus->add_camera();
    ASSERT_TRUE(c.wait_for([](const tarvo::sim::Camera &x) { return x.present(); }, 2000));
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev) << log->dump();
    EXPECT_EQ(dev.priv, first);
    EXPECT_EQ(dev.if_info.usb_port_num, c.port());
}

TEST_F(UsbDev, RecordOfAMovedCameraDoesNotOpen) {
    start(1, {}, false);
    tarvo_ll_dev_t rec;
    ASSERT_EQ(tarvo_ll_dev_list(&rec, 1), 1);
    const uint8_t old_port = rec.if_info.usb_port_num;
    cam().replug(9);
    ASSERT_TRUE(cam().wait_for(
        [](const tarvo::sim::Camera &c) { return c.present() && c.port() == 9; }, 2000));

    dev = rec;
    EXPECT_EQ(tarvo_ll_dev_open(&dev), nullptr);
    EXPECT_EQ(dev.if_info.usb_port_num, old_port);
    EXPECT_FALSE(log->has("open tarvo device @"));
    EXPECT_EQ(cam().stats().opens, 0u);

    // The camera itself is there: an all-zero record finds it.
    ll_op_usb.dev_close(&dev);
    dev = tarvo_ll_dev_t{};
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    EXPECT_EQ(dev.if_info.usb_port_num, 9);
}

TEST_F(UsbDev, FullSpeedCameraOpensWithAWarning) {
    CameraConfig cfg;
    cfg.speed = Speed::full;
    start(1, cfg, false);
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev) << log->dump();
    EXPECT_EQ(dev.if_info.usb_speed, 2);
    EXPECT_EQ(log->count("[WRN] [_usb_ll_dev_open] found tarvo device not in HS mode (speed=2) " +
                         at(cam().port(), 1, cam().address())),
              1)
        << log->dump();
}

TEST_F(UsbDev, ClosingTwiceReportsTheSecondClose) {
    start();
    const tarvo_ll_if_info_t ident = dev.if_info;
    tarvo_ll_dev_close(&dev);
    EXPECT_EQ(dev.priv, nullptr);
    EXPECT_EQ(dev.ops, &ll_op_usb);  // stays bound for a reopen
    EXPECT_EQ(dev.if_type, 1);
    EXPECT_EQ(std::memcmp(&ident, &dev.if_info, sizeof ident), 0);
    EXPECT_TRUE(log->has("[usb_ll_dev_close] stop evt thread..."));
    EXPECT_TRUE(log->has("[_ll_event_loop] Exit ll event loop..."));
    EXPECT_TRUE(log->has("[_usb_ll_evt_thread] exit"));
    EXPECT_FALSE(log->has("device no need to closed!"));

    tarvo_ll_dev_close(&dev);
    EXPECT_EQ(log->count("[WRN] [usb_ll_dev_close] device no need to closed!"), 1);

    // The record reopens through its own table.
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    EXPECT_EQ(cam().stats().opens, 2u);
}

TEST_F(UsbDev, OpeningAnOpenRecordAgainChangesNothing) {
    start();
    ASSERT_TRUE(eventually([&] { return tarvo::usb::evt_running_word(priv()).load() == 1; }, 2000));
    void *p = dev.priv;
    libusb_device_handle *h = priv()->handle;
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    EXPECT_EQ(dev.priv, p);
    EXPECT_EQ(priv()->handle, h);
    EXPECT_EQ(log->count("[_usb_ll_evt_thread] enter"), 1);
    EXPECT_EQ(cam().stats().opens, 1u);
}

int close_from_callback(tarvo_ll_dev_t *dev, int, const uint8_t *, int, void *) {
    tarvo_ll_dev_close(dev);  // refused: it would join its own thread
    tarvo_ll_cap_abort(dev);
    return 0;
}

TEST_F(UsbDev, CloseFromTheEventThreadIsRefused) {
    start();
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, close_from_callback, nullptr));
    ASSERT_TRUE(eventually([&] { return log->has("cannot close from the event thread"); }, 3000));
    EXPECT_NE(dev.priv, nullptr);
    EXPECT_TRUE(tarvo_ll_cap_stop(&dev));
}

TEST_F(UsbDev, CloseEndsTheEventThreadPromptly) {
    start();
    ASSERT_TRUE(eventually([&] { return tarvo::usb::evt_running_word(priv()).load() == 1; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // well inside a 200 ms round
    auto t0 = std::chrono::steady_clock::now();
    tarvo_ll_dev_close(&dev);
    // The loop is woken, not left to finish its round.
    EXPECT_LT(ms_since(t0), 150);
    EXPECT_TRUE(log->has("[_ll_event_loop] Exit ll event loop..."));
    EXPECT_EQ(log->count("[ERR]"), 0) << log->dump();
}

TEST_F(UsbDev, OpenByFdAllocatesAndOpens) {
    start();
    tarvo_ll_dev_t other{};
    tarvo_ll_dev_close(&dev);  // one client at a time keeps the count simple
    ASSERT_EQ(tarvo_ll_dev_open_by_fd(&other), &other);
    EXPECT_NE(other.priv, nullptr);
    EXPECT_EQ(other.ops, &ll_op_usb);
    tarvo_ll_dev_close(&other);
    EXPECT_EQ(other.priv, nullptr);
}

TEST_F(UsbDev, RecordWithAnExternalHandleIsLeftAlone) {
    start(1, {}, false);
    dev.if_info.ext_handle = 7;
    EXPECT_EQ(tarvo_ll_dev_open(&dev), nullptr);
    EXPECT_EQ(dev.priv, nullptr);
    EXPECT_EQ(ll_op_usb.dev_open_by_fd(&dev), nullptr);
    EXPECT_EQ(dev.priv, nullptr);
    ll_op_usb.dev_close(&dev);
    EXPECT_FALSE(log->has("device no need to closed!"));
    dev.if_info.ext_handle = 0;
}

// Counts the open attempts (one device enumeration each) from log line `from`.
int open_attempts(const usbtest::LogFile &log, size_t from) {
    return log.count(" usb device found ", from);
}

TEST_F(UsbDev, InterfaceResetReopensOnTheThirdAttempt) {
    CameraConfig cfg;
    cfg.reset_delay_ms = 60000;  // the test brings the camera back itself
    start(1, cfg);
    const uint8_t old_addr = cam().address();
    const size_t from = log->size();

    // Bring the camera back once the second attempt has failed.
    std::thread plug([&] {
        bool seen = eventually([&] { return open_attempts(*log, from) >= 2; }, 5000);
        if (seen) cam().replug();
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(tarvo_ll_dev_reset(&dev, 3));  // reports 0 whatever the outcome
    const auto took = ms_since(t0);
    plug.join();

    EXPECT_EQ(open_attempts(*log, from), 3) << log->dump();
    EXPECT_GE(took, 600);   // three pauses of 200 ms
    EXPECT_LT(took, 3000);  // well short of fifteen
    ASSERT_NE(priv(), nullptr);
    EXPECT_NE(priv()->handle, nullptr);
    EXPECT_EQ(cam().reset_targets(), std::vector<uint8_t>{3});
    EXPECT_NE(cam().address(), old_addr);
    // The record keeps the identity it was opened with.
    EXPECT_EQ(dev.if_info.usb_addr, old_addr);
    EXPECT_TRUE(log->has("[usb_ll_dev_reset] rest device (target=3)"));
    EXPECT_TRUE(log->has("[usb_ll_dev_reset] Reset usb if (timeout = 3000 ms) ..."));
    EXPECT_TRUE(log->has("[usb_ll_dev_reset] Reset usb if end. "));
    EXPECT_FALSE(log->has("reopen device failed!"));

    // And it works.
    uint8_t item[20] = {3};
    EXPECT_TRUE(tarvo_ll_param_get(&dev, item, 1));
}

TEST_F(UsbDev, InterfaceResetThatNeverReopensGivesUpAfter15Attempts) {
    CameraConfig cfg;
    cfg.reset_delay_ms = 60000;
    start(1, cfg);
    const size_t from = log->size();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(tarvo_ll_dev_reset(&dev, 3));
    EXPECT_GE(ms_since(t0), 15 * 200);
    EXPECT_EQ(open_attempts(*log, from), 15);
    EXPECT_EQ(log->count("[WRN] [usb_ll_dev_reset] reopen device failed!"), 1);
    EXPECT_TRUE(log->has("[usb_ll_dev_reset] Reset usb if end. "));
    ASSERT_NE(priv(), nullptr);  // kept for another attempt
    EXPECT_EQ(priv()->handle, nullptr);
    // Operations on the closed record fail cleanly.
    uint8_t item[20] = {3};
    EXPECT_FALSE(tarvo_ll_param_get(&dev, item, 1));
    EXPECT_TRUE(log->has("[usb_ll_exe_cmd]  USB handler Is NULL!"));
}

TEST_F(UsbDev, OtherResetTargetsReturnTheCamerasAnswer) {
    start();
    EXPECT_TRUE(tarvo_ll_dev_reset(&dev, 5));
    EXPECT_EQ(cam().reset_targets(), std::vector<uint8_t>{5});
    auto last = cam().last_command();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->request, 0xC0);
    EXPECT_EQ(last->value, 0);
    EXPECT_EQ(last->request_type, 0x22);
    EXPECT_EQ(last->data, (std::vector<uint8_t>{5, 0, 0, 0}));

    // The wrapper cuts the target to 8 bits.
    EXPECT_TRUE(tarvo_ll_dev_reset(&dev, 0x101));
    EXPECT_EQ(cam().reset_targets(), (std::vector<uint8_t>{5, 1}));

    cam().fail_command({0xC0, 0}, "reset refused");
    EXPECT_FALSE(tarvo_ll_dev_reset(&dev, 4));
    EXPECT_TRUE(log->has("[ERR] [usb_ll_check_last_cmd] reset refused"));
    EXPECT_NE(priv()->handle, nullptr);  // still open
}

}  // namespace
