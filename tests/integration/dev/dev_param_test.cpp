// Parameter and register access through the command channel of the
// simulated camera.
#include <cstring>

#include "common/byteio.h"
#include "dev_sim.h"

namespace {

using namespace devtest;

class DevParam : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        cam_ = std::make_unique<tarvo::sim::Camera>(make_bus(ti_camera(25)));
        dev_ = open_first(&rec_);
        ASSERT_NE(dev_, nullptr);
        cam_->clear_log();
    }
    std::unique_ptr<tarvo::sim::Camera> cam_;
    tarvo_dev_t *dev_ = nullptr;
};

tarvo_param_item_t item(uint32_t id, std::initializer_list<uint8_t> val = {}) {
    tarvo_param_item_t it = {};
    it.param_id = id;
    it.param_val_len = static_cast<uint8_t>(val.size());
    std::copy(val.begin(), val.end(), it.param_val);
    return it;
}

TEST_F(DevParam, ReadsTheFrameRateAndKeepsTheIds) {
    tarvo_param_item_t items[2] = {item(TARVO_PARAM_FRAME_RATE), item(TARVO_PARAM_INTG_TIME)};
    items[0].param_val[17] = 0x5A;  // filled by the camera, not kept
    ASSERT_TRUE(tarvo_param_batch_get(dev_, items, 2));
    EXPECT_EQ(items[0].param_id, static_cast<uint32_t>(TARVO_PARAM_FRAME_RATE));
    EXPECT_EQ(items[0].param_val_len, 4);
    EXPECT_EQ(tarvo::le32(items[0].param_val), 25u);
    EXPECT_EQ(items[0].param_val[17], 0);
    EXPECT_EQ(items[1].param_val_len, 2);
    EXPECT_EQ(tarvo::le16(items[1].param_val), 500);
    EXPECT_TRUE(log_has("[_tarvo_param_batch_get] get 2 param\n"));
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(DevParam, ReadsSevenItemsInOneCall) {
    const uint32_t ids[7] = {2, 3, 5, 6, 12, 13, 7};
    tarvo_param_item_t items[7];
    for (int i = 0; i < 7; ++i) items[i] = item(ids[i]);
    ASSERT_TRUE(tarvo_param_batch_get(dev_, items, 7));
    EXPECT_STREQ(reinterpret_cast<char *>(items[0].param_val), "SIM-0001");
    EXPECT_STREQ(reinterpret_cast<char *>(items[1].param_val), k_ti_product);
    EXPECT_EQ(tarvo::le32(items[4].param_val), 25u);
    EXPECT_EQ(tarvo::le16(items[6].param_val + 2), 42);  // chip id
    for (int i = 0; i < 7; ++i) EXPECT_EQ(items[i].param_id, ids[i]);
}

TEST_F(DevParam, WritesItemsWithTheIdsLowByteOnly) {
    tarvo_param_item_t items[3] = {item(TARVO_PARAM_INTG_TIME, {0x20, 0x03}),
                                   item(TARVO_PARAM_FRAME_RATE, {15, 0, 0, 0}),
                                   item(256 + 99, {7})};
    ASSERT_TRUE(tarvo_param_batch_set(dev_, items, 3));
    EXPECT_EQ(cam_->param_u32(13) & 0xFFFF, 800u);
    EXPECT_EQ(cam_->param_u32(12), 15u);
    ASSERT_EQ(cam_->param(99).size(), 1u);
    EXPECT_EQ(cam_->param(99)[0], 7);
    EXPECT_EQ(log_count("[_tarvo_param_batch_set] Set FPS:15\n"), 1u);
    EXPECT_TRUE(log_has("[_tarvo_param_batch_set] set 3 param\n"));

    // Identifier 268 reaches the camera as 12, but is no frame-rate write.
    tarvo_param_item_t high = item(268, {40, 0, 0, 0});
    ASSERT_TRUE(tarvo_param_batch_set(dev_, &high, 1));
    EXPECT_EQ(cam_->param_u32(12), 40u);
    EXPECT_FALSE(log_has("Set FPS:40"));
    // The capture engine's rate is the one read at the next start.
    ASSERT_TRUE(tarvo_cap_start(dev_));
    EXPECT_EQ(tarvo::dev::fps_cache().load(), 40u);
    EXPECT_TRUE(tarvo_cap_stop(dev_));
}

TEST_F(DevParam, FailuresLeaveTheItemsAlone) {
    tarvo_param_item_t it = item(TARVO_PARAM_FRAME_RATE);
    std::memset(it.param_val, 0x77, sizeof it.param_val);
    it.param_val_len = 9;
    tarvo_param_item_t before = it;

    cam_->fail_command({0xC0, 4}, "no such parameter");
    EXPECT_FALSE(tarvo_param_batch_get(dev_, &it, 1));
    EXPECT_EQ(std::memcmp(&it, &before, sizeof it), 0);
    cam_->refuse_command({0xC0, 3});
    EXPECT_FALSE(tarvo_param_batch_set(dev_, &it, 1));
    EXPECT_EQ(dev_->api_busy, 0);

    // Nothing reaches the camera for a record that is not open.
    tarvo_dev_t closed = {};
    cam_->clear_log();
    EXPECT_FALSE(tarvo_param_batch_get(&closed, &it, 1));
    EXPECT_FALSE(tarvo_param_batch_set(&closed, &it, 1));
    EXPECT_FALSE(tarvo_param_batch_get(nullptr, &it, 1));
    EXPECT_EQ(std::memcmp(&it, &before, sizeof it), 0);
    EXPECT_EQ(closed.api_busy, 0);
    EXPECT_TRUE(cam_->commands().empty());
    EXPECT_TRUE(log_has("[_tarvo_param_batch_get]  Device handler Is NULL!\r\n"));
    EXPECT_TRUE(log_has("[_tarvo_param_batch_set]  Device handler Is NULL!\r\n"));

    // No items: the link is asked for nothing.
    EXPECT_TRUE(tarvo_param_batch_get(dev_, nullptr, 0));
    EXPECT_FALSE(tarvo_param_batch_set(dev_, &it, -1));
    EXPECT_TRUE(cam_->commands().empty());
}

TEST_F(DevParam, RegistersRoundTripInChunks) {
    std::vector<uint32_t> vals(40);
    for (uint32_t i = 0; i < 40; ++i) vals[i] = 0xA5000000u + i * 3;
    ASSERT_TRUE(tarvo_reg_batch_write(dev_, 1, 0x100, vals.data(), 40));
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(cam_->reg(1, 0x100 + i), vals[i]);

    std::vector<uint32_t> back(40, 0);
    tarvo_log_cfg(TQ_LOG_OFF, TQ_LOG_TRC, TQ_LOG_OFF);  // the call line is a trace line
    ASSERT_TRUE(tarvo_reg_batch_read(dev_, 1 + 256, 0x100, back.data(), 40));  // target cut to 1
    tarvo_log_cfg(TQ_LOG_WRN, TQ_LOG_DBG, TQ_LOG_OFF);
    EXPECT_EQ(back, vals);
    EXPECT_TRUE(log_has("[tarvo_reg_batch_read] target=257,reg_base=256,reg_cnt=40,val_buf=0x"));

    // A count of 65537 reaches the link as 1.
    cam_->clear_log();
    uint32_t one = 0xDEADBEEF;
    ASSERT_TRUE(tarvo_reg_batch_write(dev_, 2, 7, &one, 65537));
    std::vector<tarvo::sim::RegWrite> w = cam_->reg_writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].target, 2);
    EXPECT_EQ(w[0].index, 7u);
    EXPECT_EQ(w[0].value, 0xDEADBEEFu);
    EXPECT_EQ(dev_->api_busy, 0);
}

TEST_F(DevParam, RegisterCallsNeedAnOpenDevice) {
    uint32_t v[2] = {1, 2};
    tarvo_dev_t closed = {};
    EXPECT_FALSE(tarvo_reg_batch_write(&closed, 1, 0, v, 2));
    EXPECT_FALSE(tarvo_reg_batch_read(nullptr, 1, 0, v, 2));
    EXPECT_TRUE(log_has("[tarvo_reg_batch_write]  Device handler Is NULL!\r\n"));
    EXPECT_TRUE(log_has("[tarvo_reg_batch_read]  Device handler Is NULL!\r\n"));
    EXPECT_EQ(v[0], 1u);
    EXPECT_FALSE(tarvo_reg_batch_read(dev_, 1, 0, nullptr, 2));
    cam_->fail_command({0xC2, 0}, "bad register");
    EXPECT_FALSE(tarvo_reg_batch_write(dev_, 1, 0, v, 2));
}

}  // namespace
