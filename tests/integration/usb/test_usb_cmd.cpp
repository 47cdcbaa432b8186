// The command channel of the USB link: commands, status checks, register
// and parameter transfers, against a simulated camera.
#include <cstring>

#include "usb_fixture.h"

namespace {

using tarvo::sim::Command;
using usbtest::eventually;
using usbtest::ms_since;

class UsbCmd : public usbtest::UsbFixture {};

uint32_t rd32(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t rd16(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t reg_value(uint32_t i) {
    return 0xA5000000u ^ (i * 0x00010203u);
}

// Register space 1 as a plain store of 32-bit registers at any index (no
// EPC chip behind it), so that the link's transfers are seen unchanged.
tarvo::sim::CameraConfig plain_registers() {
    tarvo::sim::CameraConfig cfg;
    cfg.epc.enabled = false;
    return cfg;
}

TEST_F(UsbCmd, RegisterReadGoesInChunksOf16_16_8) {
    start(1, plain_registers());
    for (uint32_t i = 0; i < 40; ++i) cam().set_reg(1, 0x100 + i, reg_value(0x100 + i));
    cam().set_reg(2, 0x100, 0x12345678);  // another register space
    cam().clear_log();
    const auto polls0 = cam().stats().status_polls;

    uint32_t vals[41];
    vals[40] = 0xDEADBEEF;
    ASSERT_TRUE(tarvo_ll_reg_read(&dev, 1, 0x100, vals, 40)) << log->dump();
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(vals[i], reg_value(0x100 + i)) << i;
    EXPECT_EQ(vals[40], 0xDEADBEEFu);

    std::vector<Command> cmds = cam().commands();
    ASSERT_EQ(cmds.size(), 6u);
    const uint32_t first[3] = {0x100, 0x110, 0x120};
    const uint16_t bytes[3] = {64, 64, 32};
    for (int c = 0; c < 3; ++c) {
        const Command &w = cmds[2 * c], &r = cmds[2 * c + 1];
        EXPECT_EQ(w.request, 0xC2);
        EXPECT_EQ(w.value, 1);
        EXPECT_EQ(w.request_type, 0x22);
        EXPECT_FALSE(w.in);
        ASSERT_EQ(w.data.size(), 7u);
        EXPECT_EQ(w.data[0], 1);  // target
        EXPECT_EQ(rd32(w.data, 1), first[c]);
        EXPECT_EQ(rd16(w.data, 5), bytes[c]);
        EXPECT_EQ(r.request, 0xC2);
        EXPECT_EQ(r.value, 1);
        EXPECT_EQ(r.request_type, 0xA2);
        EXPECT_TRUE(r.in);
        EXPECT_EQ(r.length, bytes[c]);
    }
    // Every command is followed by one status check.
    EXPECT_EQ(cam().stats().status_polls - polls0, 6u);

    uint32_t other = 0;
    ASSERT_TRUE(tarvo_ll_reg_read(&dev, 2, 0x100, &other, 1));
    EXPECT_EQ(other, 0x12345678u);
}

TEST_F(UsbCmd, ReadingNoRegistersSendsNothing) {
    start();
    cam().clear_log();
    uint32_t v = 7;
    EXPECT_TRUE(tarvo_ll_reg_read(&dev, 1, 0, &v, 0));
    EXPECT_EQ(v, 7u);
    EXPECT_TRUE(cam().commands().empty());
    EXPECT_EQ(cam().stats().status_polls, 0u);
}

TEST_F(UsbCmd, RegisterWriteIsOneCommandWithTheHeader) {
    start(1, plain_registers());
    cam().clear_log();
    const uint32_t vals[5] = {1, 0x80000000u, 0xFFFFFFFFu, 0x01020304u, 0};
    ASSERT_TRUE(tarvo_ll_reg_write(&dev, 1, 0x20, vals, 5));
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(cam().reg(1, 0x20 + i), vals[i]);
    auto cmds = cam().commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].request, 0xC2);
    EXPECT_EQ(cmds[0].value, 0);
    ASSERT_EQ(cmds[0].data.size(), 27u);
    EXPECT_EQ(cmds[0].data[0], 1);
    EXPECT_EQ(rd32(cmds[0].data, 1), 0x20u);
    EXPECT_EQ(rd16(cmds[0].data, 5), 20);
    EXPECT_EQ(rd32(cmds[0].data, 7 + 4 * 3), 0x01020304u);
    auto writes = cam().reg_writes();
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[1].index, 0x21u);
    EXPECT_EQ(writes[1].value, 0x80000000u);
}

TEST_F(UsbCmd, RegisterWriteTooLongForOneCommandIsRefused) {
    start(1, plain_registers());
    cam().clear_log();
    std::vector<uint32_t> many(16383, 1);
    EXPECT_FALSE(tarvo_ll_reg_write(&dev, 1, 0, many.data(), 16383));
    EXPECT_TRUE(cam().commands().empty());
    EXPECT_TRUE(log->has("[ERR] [usb_ll_reg_write] cannot write 16383 registers"));
    // Large writes within one control transfer of usbfs (4096 bytes) go
    // through; beyond it libusb refuses the submission.
    EXPECT_TRUE(tarvo_ll_reg_write(&dev, 1, 0, many.data(), 1022)) << log->dump();
    EXPECT_EQ(cam().reg(1, 1021), 1u);
    EXPECT_FALSE(tarvo_ll_reg_write(&dev, 1, 0, many.data(), 1023));
    EXPECT_TRUE(log->has("[ERR] [usb_ll_exe_cmd] libusb_submit_transfer failed"));
}

// Link items: id, then 19 bytes the link must clear before asking.
std::vector<uint8_t> items_for(const std::vector<uint8_t> &ids) {
    std::vector<uint8_t> v(ids.size() * 20, 0xEE);
    for (size_t i = 0; i < ids.size(); ++i) v[i * 20] = ids[i];
    return v;
}

TEST_F(UsbCmd, ParameterGetGoesInChunksOf3_3_1) {
    tarvo::sim::CameraConfig cfg;
    cfg.product = "Cam-E1-2.5";
    cfg.frame_rate = 25;
    start(1, cfg);
    cam().clear_log();
    const std::vector<uint8_t> ids = {2, 3, 5, 6, 12, 13, 99};
    cam().set_param_u32(99, 0xCAFE, 2);
    std::vector<uint8_t> items = items_for(ids);
    ASSERT_TRUE(tarvo_ll_param_get(&dev, items.data(), 7)) << log->dump();

    for (size_t i = 0; i < ids.size(); ++i) {
        const uint8_t *it = &items[i * 20];
        EXPECT_EQ(it[0], ids[i]);
        std::vector<uint8_t> want = cam().param(ids[i]);
        ASSERT_EQ(it[1], want.size()) << int(ids[i]);
        EXPECT_EQ(std::vector<uint8_t>(it + 2, it + 2 + it[1]), want) << int(ids[i]);
        for (size_t b = 2 + it[1]; b < 20; ++b) EXPECT_EQ(it[b], 0) << int(ids[i]);
    }
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&items[20 + 2]), items[21]), "Cam-E1-2.5");
    EXPECT_EQ(items[4 * 20 + 2], 25);

    auto cmds = cam().commands();
    ASSERT_EQ(cmds.size(), 6u);
    const size_t sizes[3] = {60, 60, 20};
    for (int c = 0; c < 3; ++c) {
        const Command &w = cmds[2 * c], &r = cmds[2 * c + 1];
        EXPECT_EQ(w.request, 0xC0);
        EXPECT_EQ(w.value, 4);
        EXPECT_FALSE(w.in);
        ASSERT_EQ(w.data.size(), sizes[c]);
        // Identifiers only: everything else was cleared.
        for (size_t b = 0; b < sizes[c]; ++b)
            EXPECT_EQ(w.data[b], b % 20 == 0 ? ids[3 * c + b / 20] : 0) << c << ":" << b;
        EXPECT_EQ(r.request, 0xC0);
        EXPECT_EQ(r.value, 4);
        EXPECT_TRUE(r.in);
        EXPECT_EQ(r.length, sizes[c]);
    }
}

TEST_F(UsbCmd, ParameterGetOfNothingSendsNothing) {
    start();
    cam().clear_log();
    uint8_t item[20] = {3};
    EXPECT_TRUE(tarvo_ll_param_get(&dev, item, 0));
    EXPECT_TRUE(tarvo_ll_param_get(&dev, item, -4));
    EXPECT_TRUE(cam().commands().empty());
}

TEST_F(UsbCmd, ParameterSetIsOneCommand) {
    start();
    cam().clear_log();
    uint8_t items[40] = {};
    items[0] = 12;
    items[1] = 4;
    items[2] = 15;
    items[20] = 13;
    items[21] = 2;
    items[22] = 0x20;
    items[23] = 0x03;
    ASSERT_TRUE(tarvo_ll_param_set(&dev, items, 2));
    EXPECT_EQ(cam().param_u32(12), 15u);
    EXPECT_EQ(cam().param(13), (std::vector<uint8_t>{0x20, 0x03}));
    auto cmds = cam().commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].request, 0xC0);
    EXPECT_EQ(cmds[0].value, 3);
    EXPECT_EQ(cmds[0].data, std::vector<uint8_t>(items, items + 40));

    EXPECT_FALSE(tarvo_ll_param_set(&dev, items, -1));
    EXPECT_FALSE(tarvo_ll_param_set(&dev, items, 3277));  // more than one data stage holds
    EXPECT_EQ(cam().commands().size(), 1u);
}

TEST_F(UsbCmd, BusyTwiceThenOkTakesThreeStatusPolls) {
    start();
    const auto polls0 = cam().stats().status_polls;
    cam().set_busy_polls(2);
    const uint32_t v = 42;
    ASSERT_TRUE(tarvo_ll_reg_write(&dev, 1, 3, &v, 1)) << log->dump();
    EXPECT_EQ(cam().stats().status_polls - polls0, 3u);
    EXPECT_EQ(cam().reg(1, 3), 42u);
}

TEST_F(UsbCmd, BusyPollingIsBounded) {
    start();
    const int old = tarvo::usb::usb_ll_set_busy_limit_ms(300);
    cam().set_busy_polls(1000000);
    const uint32_t v = 1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(tarvo_ll_reg_write(&dev, 1, 0, &v, 1));
    const auto took = ms_since(t0);
    tarvo::usb::usb_ll_set_busy_limit_ms(old);
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 3000);
    EXPECT_TRUE(log->has("[ERR] [usb_ll_check_last_cmd] camera still busy with (t=194,v=0)"))
        << log->dump();
    EXPECT_GT(cam().stats().status_polls, 3u);

    cam().clear_command_faults();
    EXPECT_TRUE(tarvo_ll_reg_write(&dev, 1, 0, &v, 1));
}

TEST_F(UsbCmd, MismatchedStatusRecordFailsWithBothPairs) {
    start();
    cam().override_status(0xC0, 3);
    uint32_t v;
    EXPECT_FALSE(tarvo_ll_reg_read(&dev, 1, 0, &v, 1));
    EXPECT_EQ(log->count("[WRN] [usb_ll_check_last_cmd]  last cmd (t=192,v=3) is not as "
                         "expect(t=194,v=1)"),
              1)
        << log->dump();
    EXPECT_TRUE(log->has("[ERR] [usb_ll_reg_read] write phase failed"));
    EXPECT_TRUE(tarvo_ll_reg_read(&dev, 1, 0, &v, 1));  // one record only
}

TEST_F(UsbCmd, CameraErrorTextIsLoggedAndFails) {
    start();
    cam().fail_command({0xC2, 0}, "sensor not powered");
    const uint32_t v = 1;
    EXPECT_FALSE(tarvo_ll_reg_write(&dev, 1, 0, &v, 1));
    EXPECT_EQ(log->count("[ERR] [usb_ll_check_last_cmd] sensor not powered"), 1) << log->dump();

    // A text filling the whole record is printed up to its end, not past it.
    const std::string full(60, 'x');
    cam().fail_command({0xC2, 0}, full);
    EXPECT_FALSE(tarvo_ll_reg_write(&dev, 1, 0, &v, 1));
    int at = log->find("[usb_ll_check_last_cmd] xxx");
    ASSERT_GE(at, 0);
    std::string line = log->lines()[at];
    EXPECT_EQ(line.substr(line.find("] xxx") + 2), full);
}

TEST_F(UsbCmd, ShortTransferFailsWithTheArrivedBytesCopied) {
    start();
    for (uint32_t i = 0; i < 16; ++i) cam().set_reg(1, i, reg_value(i));
    cam().short_reply({0xC2, 1}, 10);
    uint32_t vals[16];
    for (auto &v : vals) v = 0xDEADBEEF;
    EXPECT_FALSE(tarvo_ll_reg_read(&dev, 1, 0, vals, 16));
    EXPECT_TRUE(log->has("[ERR] [usb_ll_exe_cmd] exe usb cmd failed: "));
    EXPECT_TRUE(log->has("[ERR] [usb_ll_reg_read] read phase failed"));
    uint8_t raw[16 * 4];
    std::memcpy(raw, vals, sizeof raw);
    EXPECT_EQ(raw[0] | raw[1] << 8 | raw[2] << 16 | static_cast<uint32_t>(raw[3]) << 24,
              reg_value(0));
    EXPECT_EQ(raw[4] | raw[5] << 8 | raw[6] << 16 | static_cast<uint32_t>(raw[7]) << 24,
              reg_value(1));
    EXPECT_EQ(raw[8], reg_value(2) & 0xFF);
    for (int i = 3; i < 16; ++i) EXPECT_EQ(vals[i], 0xDEADBEEFu) << i;

    // The same through the command itself.
    cam().short_reply({0xC0, 4}, 7);
    uint8_t buf[20] = {};
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev, 0, 0xC0, 4, buf, 20, 1000));
}

TEST_F(UsbCmd, RefusedCommandIsAPipeError) {
    start();
    cam().refuse_command({0xC0, 3});
    uint8_t item[20] = {12, 4, 9};
    EXPECT_FALSE(tarvo_ll_param_set(&dev, item, 1));
    EXPECT_TRUE(log->has("[ERR] [usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_PIPE"))
        << log->dump();
    EXPECT_TRUE(tarvo_ll_param_set(&dev, item, 1));
    EXPECT_EQ(cam().param_u32(12), 9u);
}

TEST_F(UsbCmd, TimedOutCommandKeepsItsTransferUntilTheLateAnswer) {
    start();
    cam().delay_command({0xC0, 4}, 2500, true);
    uint8_t item[20] = {3};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(tarvo_ll_param_get(&dev, item, 1));
    const auto took = ms_since(t0);
    EXPECT_GE(took, 1000);  // 100 polls of 10 ms, whatever libusb's time-out
    EXPECT_LT(took, 2400);
    const int timeout_line = log->find("[ERR] [usb_ll_exe_cmd] control transfer timeout !");
    ASSERT_GE(timeout_line, 0) << log->dump();
    EXPECT_TRUE(log->has("[WRN] [usb_ll_exe_cmd] contrl trans timeout , cancel it"));
    EXPECT_TRUE(log->has("exe usb cmd failed: LIBUSB_ERROR_TIMEOUT"));
    EXPECT_TRUE(log->has("[ERR] [usb_ll_param_get] write phase failed"));
    EXPECT_EQ(tarvo::usb::cmd_pending_word(priv()).load(), 1);

    // The answer arrives later and completes the transfer the call left.
    ASSERT_TRUE(eventually([&] { return tarvo::usb::cmd_pending_word(priv()).load() == 0; }, 4000));
    EXPECT_GE(log->find("[_usb_ll_on_cmd_finish] tx actual_len", timeout_line), timeout_line);

    // The channel works on.
    ASSERT_TRUE(tarvo_ll_param_get(&dev, item, 1)) << log->dump();
    EXPECT_EQ(item[1], cam().param(3).size());
}

TEST_F(UsbCmd, CloseWaitsForACommandThatTimedOut) {
    start();
    cam().delay_command({0xC2, 0}, 2000, true);
    const uint32_t v = 5;
    EXPECT_FALSE(tarvo_ll_reg_write(&dev, 1, 0, &v, 1));
    ASSERT_EQ(tarvo::usb::cmd_pending_word(priv()).load(), 1);
    tarvo_ll_dev_close(&dev);
    EXPECT_EQ(dev.priv, nullptr);
    const int done =
        log->find("[_usb_ll_on_cmd_finish] tx actual_len", log->find("control transfer timeout !"));
    const int exit = log->find("[_usb_ll_evt_thread] exit");
    ASSERT_GE(done, 0) << log->dump();
    EXPECT_LT(done, exit);
    EXPECT_FALSE(log->has("still pending"));
}

TEST_F(UsbCmd, CameraLeavingDuringACommandIsANoDeviceError) {
    start();
    cam().vanish_on_command({0xC0, 3});
    uint8_t item[20] = {12, 4, 9};
    EXPECT_FALSE(tarvo_ll_param_set(&dev, item, 1));
    EXPECT_TRUE(log->has("exe usb cmd failed: LIBUSB_ERROR_NO_DEVICE")) << log->dump();
    EXPECT_FALSE(tarvo_ll_param_set(&dev, item, 1));
}

TEST_F(UsbCmd, WrapperCutsArgumentsToTheirWidths) {
    start();
    cam().clear_log();
    uint8_t item[20] = {12, 4, 77};
    // dir 0x101 -> 1, request 0x1C0 -> 0xC0, value 0x10003 -> 3
    ASSERT_TRUE(tarvo_ll_exe_cmd(&dev, 0x101, 0x1C0, 0x10003, item, 20, 1000));
    ASSERT_TRUE(tarvo_ll_check_last_cmd(&dev, 0x1C0, 0x303));
    auto last = cam().last_command();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->request_type, 0x22);
    EXPECT_EQ(last->request, 0xC0);
    EXPECT_EQ(last->value, 3);
    EXPECT_EQ(last->index, 0);
    EXPECT_EQ(last->length, 20);
    EXPECT_EQ(cam().param_u32(12), 77u);
}

TEST_F(UsbCmd, BadDataStageIsRefusedBeforeTheBus) {
    start();
    cam().clear_log();
    uint8_t b[4] = {};
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev, 1, 0xC0, 3, b, -1, 1000));
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev, 1, 0xC0, 3, b, 0x10000, 1000));
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev, 1, 0xC0, 3, nullptr, 4, 1000));
    EXPECT_TRUE(cam().commands().empty());
    EXPECT_EQ(log->count("[ERR] [usb_ll_exe_cmd] bad data stage"), 3);
}

}  // namespace
