// The USB link on records that are not open: every operation fails cleanly,
// logs why, and touches no bus. Needs no camera.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "ll/usb/usb_ll.h"
#include "ll/usb/usb_ll_priv.h"
#include "tarvo/tarvo_ll.h"
#include "tarvo/tarvo_log.h"

namespace {

using namespace tarvo::usb;

class UsbClosed : public testing::Test {
  protected:
    void SetUp() override {
        std::remove(k_log);
        tq_log_enable(0, TQ_LOG_OFF, nullptr);
        tq_log_enable(1, TQ_LOG_TRC, k_log);
    }
    void TearDown() override { tq_log_disable(); }
    int count(const std::string &text) const {
        std::ifstream in(k_log);
        int n = 0;
        for (std::string l; std::getline(in, l);) n += l.find(text) != std::string::npos;
        return n;
    }
    static constexpr const char *k_log = "closed.log";
    tarvo_ll_dev_t dev{};
};

TEST_F(UsbClosed, TableIsComplete) {
    const void *const *slots = reinterpret_cast<const void *const *>(&ll_op_usb);
    for (size_t i = 0; i < sizeof(tarvo_ll_ops_t) / sizeof(void *); ++i)
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
    EXPECT_EQ(ll_op_usb.exe_cmd, &usb_ll_exe_cmd);
    EXPECT_EQ(ll_op_usb.cap_abort, &usb_ll_cap_abort);
    EXPECT_EQ(ll_op_usb.dev_reset, &usb_ll_dev_reset);
    EXPECT_EQ(ll_op_usb.param_get, &usb_ll_param_get);
}

TEST_F(UsbClosed, CommandsNeedADeviceHandle) {
    uint8_t b[8] = {};
    EXPECT_FALSE(usb_ll_exe_cmd(&dev, 1, USB_LL_REQ_DEV, 3, b, 8, 1000));
    EXPECT_FALSE(usb_ll_exe_cmd(nullptr, 1, USB_LL_REQ_DEV, 3, b, 8, 1000));
    EXPECT_FALSE(usb_ll_check_last_cmd(&dev, USB_LL_REQ_DEV, 3));
    const uint32_t v = 1;
    EXPECT_FALSE(usb_ll_reg_write(&dev, 1, 0, &v, 1));
    uint32_t r;
    EXPECT_FALSE(usb_ll_reg_read(&dev, 1, 0, &r, 1));
    EXPECT_FALSE(usb_ll_param_set(&dev, b, 0));
    uint8_t item[20] = {3};
    EXPECT_FALSE(usb_ll_param_get(&dev, item, 1));
    EXPECT_EQ(count("[ERR] [usb_ll_exe_cmd]  USB handler Is NULL!"), 7);
    EXPECT_EQ(count("write phase failed"), 2);
}

TEST_F(UsbClosed, EmptyTransfersSucceedWithoutTheBus) {
    uint32_t r = 9;
    EXPECT_TRUE(usb_ll_reg_read(&dev, 1, 0, &r, 0));
    EXPECT_TRUE(usb_ll_param_get(&dev, nullptr, 0));
    EXPECT_EQ(r, 9u);
    EXPECT_EQ(count("USB handler Is NULL"), 0);
}

TEST_F(UsbClosed, OversizedTransfersAreRefusedBeforeAnything) {
    std::vector<uint32_t> regs(16383);
    EXPECT_FALSE(usb_ll_reg_write(&dev, 1, 0, regs.data(), 16383));
    EXPECT_FALSE(usb_ll_reg_write(&dev, 1, 0, nullptr, 2));
    EXPECT_FALSE(usb_ll_reg_read(&dev, 1, 0, nullptr, 2));
    EXPECT_FALSE(usb_ll_param_set(&dev, regs.data(), 3277));
    EXPECT_FALSE(usb_ll_param_set(&dev, regs.data(), -1));
    EXPECT_FALSE(usb_ll_param_get(&dev, nullptr, 1));
    EXPECT_EQ(count("cannot write 16383 registers"), 1);
    EXPECT_EQ(count("cannot set 3277 parameters"), 1);
    EXPECT_EQ(count("USB handler Is NULL"), 0);
}

TEST_F(UsbClosed, StreamingNeedsAnOpenRecord) {
    EXPECT_FALSE(usb_ll_cap_start(&dev, 0, nullptr, nullptr));
    EXPECT_FALSE(usb_ll_cap_stop(&dev));
    usb_ll_cap_abort(&dev);  // nothing to mark
    usb_ll_cap_abort(nullptr);
    EXPECT_EQ(count("[usb_ll_cap_start]  USB handler Is NULL!"), 1);
    EXPECT_EQ(count("[usb_ll_cap_stop]  USB handler Is NULL!"), 1);
}

TEST_F(UsbClosed, CloseOfAClosedRecordOnlyReports) {
    usb_ll_dev_close(&dev);
    usb_ll_dev_close(nullptr);  // silently
    EXPECT_EQ(count("[WRN] [usb_ll_dev_close] device no need to closed!"), 1);
    EXPECT_EQ(dev.priv, nullptr);
}

TEST_F(UsbClosed, CloseReleasesPrivateDataLeftByAFailedOpen) {
    priv_alloc(&dev);
    ASSERT_NE(dev.priv, nullptr);
    for (int i = 0; i < k_ring_size; ++i) {
        EXPECT_NE(priv_of(&dev)->trans[i], nullptr);
        EXPECT_NE(priv_of(&dev)->bufs[i], nullptr);
    }
    usb_ll_dev_close(&dev);
    EXPECT_EQ(dev.priv, nullptr);  // LeakSanitizer checks the rest
}

TEST_F(UsbClosed, RecordWithAnExternalHandleIsNotOpened) {
    dev.if_info.ext_handle = 1;
    EXPECT_EQ(usb_ll_dev_open(&dev), nullptr);
    EXPECT_EQ(usb_ll_dev_open_by_fd(&dev), nullptr);
    EXPECT_EQ(usb_ll_dev_open(nullptr), nullptr);
    EXPECT_EQ(dev.priv, nullptr);
}

TEST_F(UsbClosed, ResetOfAClosedRecordFails) {
    EXPECT_FALSE(usb_ll_dev_reset(&dev, 5));
    EXPECT_EQ(count("[usb_ll_dev_reset] rest device (target=5)"), 1);
}

TEST_F(UsbClosed, DebugLevelMapping) {
    const int want[7] = {4, 4, 3, 2, 1, 0, 0};
    for (int lvl = 0; lvl < 7; ++lvl) {
        EXPECT_EQ(usb_ll_set_debug(lvl), want[lvl]);
        EXPECT_EQ(usb_ll_debug_level(), want[lvl]);
    }
    EXPECT_EQ(usb_ll_set_debug(-1), 0);
}

}  // namespace
