// Filter switches on an open device: the refusals (no device, a closed
// one, no driver, a driver without filter operations such as the TI stub)
// and what reaches a driver that has them.
#include "outputs_sim.h"

namespace {

using namespace outsim;

class Filters : public OutputsSim {};

TEST_F(Filters, NullAndClosedDevicesAreRefused) {
    ASSERT_NE(open_ti(), nullptr);
    EXPECT_EQ(tarvo_filter_enable(nullptr, TARVO_FILTER_HDR, nullptr, 0), -1);
    EXPECT_EQ(tarvo_filter_disable(nullptr, TARVO_FILTER_HDR), -1);

    tarvo_dev_close(dev_);
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_HDR, nullptr, 0), -1);
    EXPECT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_HDR), -1);
    EXPECT_TRUE(log_has("[ERR] [tarvo_filter_enable]  Device handler Is NULL!\r\n"));
    EXPECT_TRUE(log_has("[ERR] [tarvo_filter_disable]  Device handler Is NULL!\r\n"));
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(Filters, TheTiDriverHasNoFilterOperations) {
    ASSERT_NE(open_ti(), nullptr);
    const int32_t min_amp = 30;
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_MIN_AMPLITUDE, &min_amp, sizeof min_amp), -1);
    EXPECT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_MIN_AMPLITUDE), -1);
    EXPECT_TRUE(
        log_has("[WRN] [tarvo_filter_enable] TI OP8241 chip driver has no filter operations\n"));
    EXPECT_TRUE(
        log_has("[WRN] [tarvo_filter_disable] TI OP8241 chip driver has no filter operations\n"));
    EXPECT_EQ(dev_->api_busy, 0);
    // The device is untouched and still works.
    EXPECT_EQ(tarvo_dev_get_drv(dev_)->ops, &g_tarvo_driver_op_ti);
    EXPECT_TRUE(tarvo_cap_start(dev_));
    EXPECT_TRUE(tarvo_cap_stop(dev_));
}

TEST_F(Filters, ADriverIsLookedUpWhenTheContextHasNone) {
    ASSERT_NE(open_ti(), nullptr);
    tarvo_drv_t *ti = tarvo_dev_get_drv(dev_);
    tarvo_dev_ctx_t *c = ctx(dev_);

    // No row for the product: the lookup fails with its line, for both.
    char product[32];
    std::memcpy(product, dev_->product, sizeof product);
    std::memset(dev_->product, 0, sizeof dev_->product);
    std::strcpy(dev_->product, "TarvoSim-Z9-1.0");
    c->drv = nullptr;
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_HDR, nullptr, 0), -1);
    EXPECT_TRUE(
        log_has("[ERR] [tarvo_filter_enable] cannot find driver for device: "
                "product=TarvoSim-Z9-1.0\n"));
    EXPECT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_HDR), -1);
    EXPECT_TRUE(
        log_has("[ERR] [tarvo_filter_disable] cannot find driver for device: "
                "product=TarvoSim-Z9-1.0\n"));
    EXPECT_EQ(c->drv, nullptr);

    // A product field filled to the end without a terminator is printed
    // as its 32 characters.
    std::memset(dev_->product, 'x', sizeof dev_->product);
    EXPECT_EQ(tarvo_filter_disable(dev_, 1), -1);
    EXPECT_TRUE(log_has("product=" + std::string(32, 'x') + "\n"));

    // The TI product again: the row is found and kept in the context; the
    // TI row has no filter operations.
    std::memcpy(dev_->product, product, sizeof product);
    EXPECT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_HDR), -1);
    EXPECT_EQ(tarvo_dev_get_drv(dev_), ti);
    EXPECT_TRUE(
        log_has("[tarvo_drv_find]  find driver for device TarvoSim-T0-1.0 : "
                "TI OP8241 chip driver\n"));
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(Filters, EnableAndDisableReachTheDriver) {
    ASSERT_NE(open_ti(), nullptr);
    install(&k_probe_ops);

    const int32_t min_amp = 30;
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_MIN_AMPLITUDE, &min_amp, sizeof min_amp), 1);
    EXPECT_EQ(probe_.filter_id, 4u);
    EXPECT_EQ(probe_.filter_arg, &min_amp);
    EXPECT_EQ(probe_.filter_extra, 4);
    EXPECT_FALSE(probe_.disabled);
    EXPECT_EQ(probe_.busy_inside, 1);

    EXPECT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_AUTO_INTEGRATION), 1);
    EXPECT_EQ(probe_.filter_id, 5u);
    EXPECT_TRUE(probe_.disabled);

    // A failing driver gives 0; identifiers pass unchanged, as unsigned.
    probe_.filter_ok = false;
    probe_.busy_inside = -1;
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0), 0);
    EXPECT_EQ(probe_.filter_id, 0u);
    EXPECT_EQ(probe_.filter_arg, nullptr);
    EXPECT_EQ(probe_.busy_inside, 1);
    EXPECT_EQ(tarvo_filter_disable(dev_, -1), 0);
    EXPECT_EQ(probe_.filter_id, 0xFFFFFFFFu);
    EXPECT_EQ(dev_->api_busy, 0);

    // Only the operation that is missing refuses.
    tarvo_drv_ops_t enable_only = k_probe_ops;
    enable_only.filter_disable = nullptr;
    install(&enable_only);
    probe_.filter_ok = true;
    EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_HDR, nullptr, 0), 1);
    EXPECT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_HDR), -1);
    EXPECT_TRUE(log_has("[WRN] [tarvo_filter_disable] probe driver has no filter operations\n"));
    EXPECT_FALSE(probe_.disabled);
}

}  // namespace
