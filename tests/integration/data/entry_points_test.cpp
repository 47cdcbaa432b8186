// The public entry points on device records: argument checks, the busy
// flag held around a whole transfer (as another thread sees it).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "sim_rig.h"
#include "tarvo_sim/flash.h"

namespace {

using data_test::pattern;
using data_test::read_bytes;
using data_test::write_bytes;

class DataEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        tq_log_disable();
        tarvo_test::write_file(k_log, "");
        tq_log_enable(0, TQ_LOG_OFF, nullptr);
        tq_log_enable(1, TQ_LOG_TRC, k_log);
        tarvo::platform::set_settle_scale_ms_per_s(1);
        tarvo::sim::FlashImage fw;
        fw.type = 0;
        fw.version = 0x0100;
        fw.data = pattern(100, 1);
        rig.flash().store(fw);
    }
    void TearDown() override {
        tarvo::platform::set_settle_scale_ms_per_s(1000);
        tq_log_disable();
    }
    bool logged(const std::string &s) const {
        return tarvo_test::read_file(k_log).find(s) != std::string::npos;
    }

    static constexpr const char *k_log = "data_entry.log";
    data_test::SimRig rig;
};

TEST_F(DataEntry, RecordsThatAreNotOpenAreRefused) {
    write_bytes("fw.bin", pattern(10, 2));
    EXPECT_EQ(tarvo_data_download(nullptr, "fw.bin", 4, 0x200, 0), -1);
    EXPECT_TRUE(logged("[DBG] [tarvo_data_download] Wrong params\n"));
    EXPECT_EQ(tarvo_firmware_upgrade(nullptr, 4, 0x200, "fw.bin"), -1);
    EXPECT_TRUE(logged("[DBG] [tarvo_firmware_upgrade] Wrong params\n"));
    EXPECT_EQ(tarvo_data_upload(nullptr, 0, "x.bin"), -1);
    EXPECT_TRUE(logged("[DBG] [tarvo_data_upload] Wrong params\n"));

    tarvo_dev_t listed{};  // a record that was never opened
    EXPECT_EQ(tarvo_data_download(&listed, "fw.bin", 4, 0x200, 0), -1);
    EXPECT_EQ(tarvo_data_upload(&listed, 0, "x.bin"), -1);
    EXPECT_EQ(listed.api_busy, 0);
    EXPECT_TRUE(rig.flash().stats().info_exchanges == 0);
}

TEST_F(DataEntry, WriteAndReadOnAnOpenDevice) {
    ASSERT_NE(rig.dev(), nullptr);
    auto img = pattern(3000, 3);
    write_bytes("cal.bin", img);
    EXPECT_EQ(tarvo_data_download(rig.dev(), "cal.bin", 5, 0x0200, 0xDEAD), 1);
    EXPECT_EQ(rig.dev()->api_busy, 0);
    EXPECT_EQ(rig.flash().image(5)->data, img);

    write_bytes("fw.bin", pattern(2000, 4));
    EXPECT_EQ(tarvo_firmware_upgrade(rig.dev(), 6, 0x0201, "fw.bin"), 1);
    EXPECT_EQ(rig.flash().image(6)->version, 0x0201);

    ASSERT_EQ(tarvo_data_upload(rig.dev(), 5, "back.bin"), 1);
    EXPECT_EQ(read_bytes("back.bin"), img);
    EXPECT_EQ(rig.dev()->api_busy, 0);

    // A failing write clears the flag too.
    EXPECT_EQ(tarvo_data_download(rig.dev(), "missing.bin", 5, 0x0300, 0), -1);
    EXPECT_EQ(rig.dev()->api_busy, 0);
}

TEST_F(DataEntry, BusyFlagIsHeldForTheWholeTransfer) {
    ASSERT_NE(rig.dev(), nullptr);
    // Firmware type 0: the write ends with a reset and a 20 s settle,
    // here 20 x 20 ms.
    tarvo::platform::set_settle_scale_ms_per_s(20);
    write_bytes("fw.bin", pattern(5000, 5));
    std::atomic<int> result{0};
    std::thread writer([&] { result = tarvo_firmware_upgrade(rig.dev(), 0, 0x0300, "fw.bin"); });
    bool seen_busy = rig.camera().wait_for(
        [&](const tarvo::sim::Camera &) {
            return std::atomic_ref<uint8_t>(rig.dev()->api_busy).load() != 0;
        },
        2000);
    EXPECT_TRUE(seen_busy);
    writer.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(std::atomic_ref<uint8_t>(rig.dev()->api_busy).load(), 0);
    EXPECT_EQ(rig.camera().reset_targets(), std::vector<uint8_t>{0});
    EXPECT_EQ(rig.flash().image(0)->version, 0x0300);
}

}  // namespace
