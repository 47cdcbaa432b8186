// Many start/stop cycles of the streaming ring against a fast simulated
// camera, so that stops land while completions are reissuing transfers, with
// commands issued while the ring runs.
#include <atomic>

#include "usb_fixture.h"

namespace {

using usbtest::eventually;

constexpr int k_cycles = 15;

struct Counts {
    std::atomic<uint64_t> events{0};
    std::atomic<uint64_t> bytes{0};
};

int count(tarvo_ll_dev_t *, int evt, const uint8_t *, int len, void *arg) {
    auto *c = static_cast<Counts *>(arg);
    c->events.fetch_add(1);
    if (evt == TARVO_LL_EVT_DATA) c->bytes.fetch_add(static_cast<uint64_t>(len));
    return 0;
}

class UsbStress : public usbtest::UsbFixture {
  protected:
    Counts counts;  // outlives TearDown
};

TEST_F(UsbStress, StopsRacingReissuesNeverLeaveATransferBehind) {
    // Fast enough that completions and their reissues run all the time,
    // slow enough that commands are not starved by the emulated bus.
    tarvo::sim::CameraConfig cfg;
    cfg.frame_rate = 200;
    cfg.stream.payload_checksum = false;
    start(1, cfg);
    // The log would grow by every transfer; keep warnings and errors.
    tq_log_enable(1, TQ_LOG_WRN, nullptr);
    auto *p = priv();
    uint8_t items[3 * 20] = {};
    for (int cycle = 0; cycle < k_cycles; ++cycle) {
        const uint64_t before = counts.bytes.load();
        ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, count, &counts)) << cycle;
        // Commands beside the running ring.
        items[0] = 12;
        items[20] = 13;
        ASSERT_TRUE(tarvo_ll_param_get(&dev, items, 2)) << cycle;
        ASSERT_TRUE(eventually([&] { return counts.bytes.load() > before + 4 * 153600u; }, 5000));
        ASSERT_TRUE(tarvo_ll_cap_stop(&dev)) << cycle;
        // Every transfer ends well before its 6 s time-out.
        ASSERT_TRUE(eventually([&] { return tarvo::usb::ring_queued_word(p).load() == 0; }, 2000))
            << "cycle " << cycle << ": " << tarvo::usb::ring_queued_word(p).load() << " queued";
        ASSERT_TRUE(cam().wait_for(
            [](const tarvo::sim::Camera &c) { return c.stats().bulk_pending == 0; }, 2000));
    }
    // One completion per transfer the camera saw.
    EXPECT_EQ(counts.events.load(), cam().stats().bulk_submitted);
    EXPECT_EQ(cam().stats().captures_started, static_cast<uint32_t>(k_cycles));
    EXPECT_EQ(cam().stats().captures_stopped, static_cast<uint32_t>(k_cycles));
    EXPECT_FALSE(log->has("[ERR]")) << log->dump();
}

}  // namespace
