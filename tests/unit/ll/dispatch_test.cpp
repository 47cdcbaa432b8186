// The link wrappers: null checks, cutting to wire widths, dispatch through
// the record's own table, the USB table for unbound records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ll/usb/usb_ll.h"
#include "tarvo/tarvo_ll.h"

namespace {

// A link of the test's own that records every call.
struct Call {
    std::string op;
    tarvo_ll_dev_t *dev = nullptr;
    uint32_t a = 0, b = 0, c = 0;
    const void *ptr = nullptr;
    int n = 0;
};
std::vector<Call> g_calls;

tarvo_ll_dev_t *rec_open(tarvo_ll_dev_t *d) {
    g_calls.push_back({"open", d});
    return d;
}
tarvo_ll_dev_t *rec_open_fd(tarvo_ll_dev_t *d) {
    g_calls.push_back({"open_fd", d});
    return d;
}
void rec_close(tarvo_ll_dev_t *d) {
    g_calls.push_back({"close", d});
}
bool rec_exe(tarvo_ll_dev_t *d, uint8_t dir, uint8_t req, uint16_t val, void *data, int len,
             uint32_t to) {
    g_calls.push_back({"exe", d, dir, req, val, data, len});
    g_calls.back().c = val | (to << 16);
    return true;
}
bool rec_check(tarvo_ll_dev_t *d, uint8_t t, uint8_t v) {
    g_calls.push_back({"check", d, t, v});
    return true;
}
void rec_abort(tarvo_ll_dev_t *d) {
    g_calls.push_back({"abort", d});
}
bool rec_start(tarvo_ll_dev_t *d, uint32_t arg, tarvo_ll_cap_cb_t, void *cb_arg) {
    g_calls.push_back({"start", d, arg, 0, 0, cb_arg});
    return true;
}
bool rec_stop(tarvo_ll_dev_t *d) {
    g_calls.push_back({"stop", d});
    return true;
}
bool rec_reset(tarvo_ll_dev_t *d, uint8_t t) {
    g_calls.push_back({"reset", d, t});
    return true;
}
bool rec_regw(tarvo_ll_dev_t *d, uint8_t t, uint32_t base, const uint32_t *v, uint16_t n) {
    g_calls.push_back({"regw", d, t, base, n, v});
    return true;
}
bool rec_regr(tarvo_ll_dev_t *d, uint8_t t, uint32_t base, uint32_t *v, uint16_t n) {
    g_calls.push_back({"regr", d, t, base, n, v});
    return true;
}
bool rec_pset(tarvo_ll_dev_t *d, const void *items, int n) {
    g_calls.push_back({"pset", d, 0, 0, 0, items, n});
    return true;
}
bool rec_pget(tarvo_ll_dev_t *d, void *items, int n) {
    g_calls.push_back({"pget", d, 0, 0, 0, items, n});
    return true;
}

const tarvo_ll_ops_t k_recording = {
    nullptr,   nullptr,  nullptr,   rec_open,  rec_open_fd, rec_close,
    nullptr,   rec_exe,  rec_check, rec_abort, rec_start,   rec_stop,
    rec_reset, rec_regw, rec_regr,  rec_pset,  rec_pget,
};

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        dev = tarvo_ll_dev_t{};
        dev.ops = &k_recording;
    }
    tarvo_ll_dev_t dev{};
};

TEST_F(Dispatch, ArgumentsAreCutToTheirWidths) {
    uint8_t buf[4];
    EXPECT_TRUE(tarvo_ll_exe_cmd(&dev, 0x101, 0x1C2, 0x12345, buf, 4, 700));
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].op, "exe");
    EXPECT_EQ(g_calls[0].a, 0x01u);
    EXPECT_EQ(g_calls[0].b, 0xC2u);
    EXPECT_EQ(g_calls[0].c & 0xFFFF, 0x2345u);
    EXPECT_EQ(g_calls[0].c >> 16, 700u);
    EXPECT_EQ(g_calls[0].ptr, buf);
    EXPECT_EQ(g_calls[0].n, 4);

    tarvo_ll_check_last_cmd(&dev, 0x2B0, 0x305);
    EXPECT_EQ(g_calls[1].a, 0xB0u);
    EXPECT_EQ(g_calls[1].b, 0x05u);

    tarvo_ll_dev_reset(&dev, 0x103);
    EXPECT_EQ(g_calls[2].a, 0x03u);

    uint32_t regs[2] = {};
    tarvo_ll_reg_write(&dev, 0x1FF, 0xDEADBEEF, regs, 0x10002);
    EXPECT_EQ(g_calls[3].a, 0xFFu);
    EXPECT_EQ(g_calls[3].b, 0xDEADBEEFu);
    EXPECT_EQ(g_calls[3].c, 2u);
    tarvo_ll_reg_read(&dev, 0x101, 7, regs, 0x20001);
    EXPECT_EQ(g_calls[4].a, 1u);
    EXPECT_EQ(g_calls[4].c, 1u);
}

TEST_F(Dispatch, EveryOperationReachesTheRecordsTable) {
    uint8_t items[40];
    int token = 0;
    EXPECT_EQ(tarvo_ll_dev_open(&dev), &dev);
    EXPECT_EQ(tarvo_ll_dev_open_by_fd(&dev), &dev);
    tarvo_ll_cap_abort(&dev);
    EXPECT_TRUE(tarvo_ll_cap_start(&dev, 77, nullptr, &token));
    EXPECT_TRUE(tarvo_ll_cap_stop(&dev));
    EXPECT_TRUE(tarvo_ll_param_set(&dev, items, 2));
    EXPECT_TRUE(tarvo_ll_param_get(&dev, items, 2));
    tarvo_ll_dev_close(&dev);
    std::vector<std::string> ops;
    for (auto &c : g_calls) {
        EXPECT_EQ(c.dev, &dev);
        ops.push_back(c.op);
    }
    EXPECT_EQ(ops, (std::vector<std::string>{"open", "open_fd", "abort", "start", "stop", "pset",
                                             "pget", "close"}));
    EXPECT_EQ(g_calls[3].a, 77u);
    EXPECT_EQ(g_calls[3].ptr, &token);
}

TEST_F(Dispatch, NullRecordCallsNothing) {
    uint32_t v = 0;
    EXPECT_EQ(tarvo_ll_dev_open(nullptr), nullptr);
    EXPECT_EQ(tarvo_ll_dev_open_by_fd(nullptr), nullptr);
    tarvo_ll_dev_close(nullptr);
    EXPECT_FALSE(tarvo_ll_dev_reset(nullptr, 3));
    EXPECT_FALSE(tarvo_ll_exe_cmd(nullptr, 1, 0xC0, 0, nullptr, 0, 100));
    EXPECT_FALSE(tarvo_ll_check_last_cmd(nullptr, 0xC0, 0));
    tarvo_ll_cap_abort(nullptr);
    EXPECT_FALSE(tarvo_ll_cap_start(nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(tarvo_ll_cap_stop(nullptr));
    EXPECT_FALSE(tarvo_ll_reg_write(nullptr, 0, 0, &v, 1));
    EXPECT_FALSE(tarvo_ll_reg_read(nullptr, 0, 0, &v, 1));
    EXPECT_FALSE(tarvo_ll_param_set(nullptr, &v, 1));
    EXPECT_FALSE(tarvo_ll_param_get(nullptr, &v, 1));
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(Dispatch, UnboundRecordCallsNoOperationButOpen) {
    tarvo_ll_dev_t unbound{};
    uint32_t v = 0;
    EXPECT_FALSE(tarvo_ll_exe_cmd(&unbound, 1, 0xC0, 0, nullptr, 0, 100));
    EXPECT_FALSE(tarvo_ll_reg_read(&unbound, 0, 0, &v, 1));
    EXPECT_FALSE(tarvo_ll_cap_stop(&unbound));
    tarvo_ll_dev_close(&unbound);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(unbound.ops, nullptr);
}

TEST(DispatchList, NonPositiveMaxWritesNothing) {
    tarvo_ll_dev_t list[2];
    std::memset(list, 0xAB, sizeof list);
    EXPECT_EQ(tarvo_ll_dev_list(list, 0), 0);
    EXPECT_EQ(tarvo_ll_dev_list(list, -3), 0);
    const auto *bytes = reinterpret_cast<const uint8_t *>(list);
    for (size_t i = 0; i < sizeof list; ++i) ASSERT_EQ(bytes[i], 0xAB);
}

TEST(DispatchUsb, InitAndDebugLevelMapping) {
    EXPECT_TRUE(tarvo_ll_init());
    const int expected[] = {4, 4, 3, 2, 1, 0};
    for (int level = 0; level <= 5; ++level) {
        EXPECT_EQ(tarvo_ll_set_debug(level), expected[level]);
        EXPECT_EQ(tarvo::usb::usb_ll_debug_level(), expected[level]);
    }
    EXPECT_EQ(tarvo_ll_set_debug(6), 0);
    EXPECT_EQ(tarvo_ll_set_debug(-1), 0);
    tarvo_ll_uninit();
}

}  // namespace
