// Whole writes and reads of data images, written once and run on two rigs:
// the loopback link of the unit tests (the simulated flash without USB) and
// the simulated camera on the emulated USB bus behind the real link and
// libusb (integration). A rig provides:
//
//   tarvo_ll_dev_t *ll();                 the open link record
//   tarvo::sim::Flash &flash();           the camera's flash
//   std::vector<uint8_t> resets();        reset targets the camera received
//   std::vector<DataCommand> data_commands();   0xCC commands in order
//   void clear_log();                     forgets commands and resets
//   bool camera_gone();                   the camera left the bus
//   static constexpr uint32_t k_big;      size of the "about 1 MiB" case
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "data/data.h"
#include "data_test_util.h"
#include "platform/platform.h"
#include "tarvo/tarvo_data.h"
#include "tarvo/tarvo_log.h"
#include "tarvo_sim/flash.h"
#include "test_files.h"

namespace data_test {

template <class Rig>
class DataTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        tq_log_disable();
        tarvo_test::write_file(k_log, "");
        tq_log_enable(0, TQ_LOG_OFF, nullptr);
        tq_log_enable(1, TQ_LOG_TRC, k_log);
        tarvo::platform::set_settle_scale_ms_per_s(1);
        tarvo::data::set_erase_timeout_ms(120000);
        rig.flash().reset();
        rig.clear_log();
        // The firmware the camera runs: the version check of every write
        // asks about type 0.
        store(0, 0x0100, pattern(3000, 99));
    }
    void TearDown() override {
        tarvo::platform::set_settle_scale_ms_per_s(1000);
        tarvo::data::set_erase_timeout_ms(120000);
        tq_log_disable();
    }

    void store(uint8_t type, uint16_t version, std::vector<uint8_t> data) {
        tarvo::sim::FlashImage img;
        img.type = type;
        img.version = version;
        img.address = tarvo::sim::Flash::address_of(type);
        img.data = std::move(data);
        rig.flash().store(img);
    }
    std::string log() const { return tarvo_test::read_file(k_log); }
    bool logged(const std::string &line) const { return log().find(line) != std::string::npos; }
    void clear_log() {
        tarvo_test::write_file(k_log, "");
        rig.clear_log();
    }
    // Writes `data` from a file and returns the result.
    int write(uint8_t type, uint16_t version, const std::vector<uint8_t> &data) {
        write_bytes("image.bin", data);
        return tarvo_bin_data_write(rig.ll(), type, version, 0, "image.bin");
    }
    size_t count(uint16_t action, bool in) {
        size_t n = 0;
        for (const auto &c : rig.data_commands()) n += c.action == action && c.in == in;
        return n;
    }
    // The lines every write that fails on a broken exchange ends with, and
    // the proof that the camera was neither reset nor waited for.
    void expect_failed_exchange_end() {
        EXPECT_TRUE(logged("[ERR] [tarvo_bin_data_write] data upgrade failed!\n"));
        EXPECT_FALSE(logged("Wait board to reset"));
        EXPECT_FALSE(logged("DO NOT RESET"));
        EXPECT_TRUE(rig.resets().empty());
    }

    static constexpr const char *k_log = "data_transfer.log";
    Rig rig;
};

TYPED_TEST_SUITE_P(DataTransfer);

TYPED_TEST_P(DataTransfer, WritesEveryImageSizeWithEachChunkOnce) {
    uint16_t version = 0x0200;
    for (uint32_t size : {1u, 1017u, 1018u, 1019u, 2036u, 2037u}) {
        SCOPED_TRACE(size);
        this->clear_log();
        this->rig.flash().clear_stats();
        auto data = pattern(size, size);
        ASSERT_EQ(this->write(4, ++version, data), 1);
        auto img = this->rig.flash().image(4);
        ASSERT_TRUE(img.has_value());
        EXPECT_EQ(img->data, data);
        EXPECT_EQ(img->version, version);
        uint32_t chunks = (size + 1017) / 1018;
        auto st = this->rig.flash().stats();
        EXPECT_EQ(st.chunk_sends, std::vector<uint32_t>(chunks, 1u));
        EXPECT_EQ(st.chunks_refused, 0u);
        EXPECT_EQ(this->count(AL_DATA_ACT_DATA, false), chunks);
        // The chunk messages: full chunks of 1018 bytes, the rest last.
        std::vector<size_t> lens;
        for (const auto &c : this->rig.data_commands())
            if (c.action == AL_DATA_ACT_DATA) lens.push_back(c.len - 6);
        for (size_t i = 0; i < lens.size(); ++i)
            EXPECT_EQ(lens[i], i + 1 < lens.size() ? 1018u : size - 1018u * (chunks - 1));
        EXPECT_TRUE(this->logged("[tarvo_bin_data_write] Data transfer finished.\n"));
        EXPECT_TRUE(this->rig.resets().empty());  // type 4: no settle
    }
    EXPECT_FALSE(this->logged("DO NOT RESET"));
}

TYPED_TEST_P(DataTransfer, WritesAndReadsBackAboutOneMiB) {
    auto data = pattern(TypeParam::k_big, 7);
    ASSERT_EQ(this->write(5, 0x0300, data), 1);
    auto img = this->rig.flash().image(5);
    ASSERT_TRUE(img.has_value());
    EXPECT_TRUE(img->data == data);
    auto st = this->rig.flash().stats();
    EXPECT_EQ(st.chunk_sends, std::vector<uint32_t>((TypeParam::k_big + 1017) / 1018, 1u));

    ASSERT_EQ(tarvo_bin_data_read(this->rig.ll(), 5, "back.bin"), 1);
    EXPECT_TRUE(read_bytes("back.bin") == data);
    EXPECT_EQ(this->rig.flash().stats().payload_reads, (TypeParam::k_big + 449) / 450);
}

TYPED_TEST_P(DataTransfer, WriteLogsEveryStepOfTheSequence) {
    auto data = pattern(1500, 3);
    ASSERT_EQ(this->write(6, 0x0101, data), 1);
    std::string text = this->log();
    const char *lines[] = {
        "[INF] [tarvo_bin_data_write] name:image.bin, type:6, version:257\n",
        "[INF] [tarvo_bin_data_write] File size:1500\n",
        "[INF] [tarvo_bin_data_write] File read ok,1500\n",
        "[INF] [tarvo_bin_data_write] Firmware image file loaded.\n",
        "[DBG] [tarvo_bin_data_write] Get info\n",
        "[INF] [tarvo_bin_data_write] Version:256,type:0, addr:0x8000000,data size:3000\n",
        "[INF] [tarvo_bin_data_write] send action info\n",
        "[INF] [al_data_send_action_info] type = 6, version = 257, size = 1500\n",
        "[INF] [tarvo_bin_data_write] read ack: next=0, status=3\n",
        "[INF] [tarvo_bin_data_write] INFO ack ok\n",
        "[INF] [tarvo_bin_data_write] Wait flash erase.....\n",
        "[INF] [tarvo_bin_data_write] Download.....\n",
        "[INF] [tarvo_bin_data_write] Data transfer finished.\n",
    };
    size_t at = 0;
    for (const char *line : lines) {
        size_t found = text.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << line;
        if (found != std::string::npos) at = found;
    }
}

TYPED_TEST_P(DataTransfer, VersionNotAboveSendsOnlyTheInformationExchange) {
    for (uint16_t version : {0x0100, 0x00FF, 0x0000}) {
        SCOPED_TRACE(version);
        this->clear_log();
        EXPECT_EQ(this->write(4, version, pattern(100, 1)), -1);
        auto cmds = this->rig.data_commands();
        ASSERT_EQ(cmds.size(), 2u);
        EXPECT_EQ(cmds[0].action, AL_DATA_ACT_INFO);
        EXPECT_FALSE(cmds[0].in);
        EXPECT_EQ(cmds[1].action, AL_DATA_ACT_INFO);
        EXPECT_TRUE(cmds[1].in);
        EXPECT_TRUE(this->logged("[ERR] [tarvo_bin_data_write] Wrong version(Target:256,Now:" +
                                 std::to_string(version) + ")\n"));
        EXPECT_FALSE(this->logged("data upgrade failed"));
        EXPECT_TRUE(this->rig.resets().empty());
    }
    EXPECT_FALSE(this->rig.flash().image(4).has_value());
}

TYPED_TEST_P(DataTransfer, PollsWhileTheCameraErases) {
    this->rig.flash().set_erase_busy_acks(6);
    auto data = pattern(2500, 5);
    ASSERT_EQ(this->write(4, 0x0200, data), 1);
    auto st = this->rig.flash().stats();
    EXPECT_EQ(st.busy_acks, 6u);
    // One after the announcement, six busy, one ready, one per chunk.
    EXPECT_EQ(st.ack_reads, 1u + 6u + 1u + 3u);
    EXPECT_EQ(this->rig.flash().image(4)->data, data);
}

TYPED_TEST_P(DataTransfer, SettleFollowsTheDataType) {
    tarvo::platform::set_settle_scale_ms_per_s(10);
    struct Case {
        uint8_t type;
        bool reset;
        int wait_ms;
    };
    uint16_t version = 0x0200;
    for (Case c : {Case{0, true, 200}, Case{1, true, 200}, Case{2, false, 70}, Case{3, false, 70},
                   Case{4, false, 0}, Case{200, false, 0}}) {
        SCOPED_TRACE(int(c.type));
        this->clear_log();
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(this->write(c.type, ++version, pattern(10, c.type)), 1);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
        EXPECT_GE(ms, c.wait_ms);
        EXPECT_EQ(this->rig.resets(), c.reset ? std::vector<uint8_t>{0} : std::vector<uint8_t>{});
        EXPECT_EQ(this->logged("[WRN] [tarvo_bin_data_write]  * Wait board to reset...\n"),
                  c.reset);
        bool banner = c.wait_ms > 0;
        EXPECT_EQ(this->logged("[WRN] [tarvo_bin_data_write] !!! DO NOT RESET or POWER OFF the "
                               "board until return !!!!\n"),
                  banner);
        EXPECT_EQ(tarvo_test::count_of(this->log(), "[WRN] [tarvo_bin_data_write] ------------"),
                  banner ? 2u : 0u);
        // Each image is stored under its own type (the version check of the
        // next write asks about type 0 again).
        EXPECT_EQ(this->rig.flash().image(c.type)->version, version);
    }
}

TYPED_TEST_P(DataTransfer, RefusedAnnouncementSettlesAndFails) {
    tarvo::sim::FlashFaults f;
    f.refuse_announce_status = 2;
    this->rig.flash().set_faults(f);
    EXPECT_EQ(this->write(1, 0x0300, pattern(3000, 2)), -1);
    EXPECT_TRUE(this->logged("[INF] [tarvo_bin_data_write] read ack: next=0, status=2\n"));
    EXPECT_TRUE(this->logged("[ERR] [tarvo_bin_data_write] Wrong version(Target:0,Now:768)\n"));
    EXPECT_FALSE(this->logged("INFO ack ok"));
    EXPECT_EQ(this->count(AL_DATA_ACT_ERASE, false), 0u);
    // A refusal still lets the camera settle: type 1 resets the board.
    EXPECT_EQ(this->rig.resets(), std::vector<uint8_t>{0});
    EXPECT_TRUE(this->logged("DO NOT RESET or POWER OFF"));
    EXPECT_FALSE(this->logged("data upgrade failed"));
    EXPECT_FALSE(this->rig.flash().image(1).has_value());
}

TYPED_TEST_P(DataTransfer, RejectedChunkStopsAtCaseA) {
    tarvo::sim::FlashFaults f;
    f.reject_chunk = 1;
    this->rig.flash().set_faults(f);
    EXPECT_EQ(this->write(2, 0x0300, pattern(4000, 4)), -1);
    EXPECT_TRUE(this->logged("[INF] [tarvo_bin_data_write] Data transfer failed A.indx1, 1\n"));
    auto st = this->rig.flash().stats();
    EXPECT_EQ(st.chunk_sends, (std::vector<uint32_t>{1, 1}));  // never sent twice
    EXPECT_EQ(st.chunks_refused, 1u);
    EXPECT_TRUE(this->logged("DO NOT RESET or POWER OFF"));  // type 2 settles
    EXPECT_TRUE(this->rig.resets().empty());
    EXPECT_FALSE(this->logged("Data transfer finished"));
    EXPECT_FALSE(this->rig.flash().image(2).has_value());
}

TYPED_TEST_P(DataTransfer, SkippedIndexStopsAtCaseB) {
    tarvo::sim::FlashFaults f;
    f.skip_after_chunk = 0;
    this->rig.flash().set_faults(f);
    EXPECT_EQ(this->write(4, 0x0300, pattern(5000, 4)), -1);
    EXPECT_TRUE(this->logged("[INF] [tarvo_bin_data_write] Data transfer failed B.\n"));
    EXPECT_EQ(this->rig.flash().stats().chunk_sends, (std::vector<uint32_t>{1}));
}

TYPED_TEST_P(DataTransfer, EraseThatNeverEndsIsGivenUp) {
    tarvo::data::set_erase_timeout_ms(300);
    tarvo::sim::FlashFaults f;
    f.stall_erase = true;
    this->rig.flash().set_faults(f);
    EXPECT_EQ(this->write(0, 0x0300, pattern(3000, 4)), -1);
    EXPECT_TRUE(this->logged("[ERR] [tarvo_bin_data_write] flash erase timeout\n"));
    EXPECT_GE(this->rig.flash().stats().busy_acks, 2u);
    EXPECT_EQ(this->count(AL_DATA_ACT_DATA, false), 0u);
    this->expect_failed_exchange_end();
}

TYPED_TEST_P(DataTransfer, EveryFailedExchangeEndsWithoutReset) {
    using PF = tarvo::sim::FlashFaults::PhaseFault;
    struct Case {
        const char *what;
        PF fault;
        const char *line;  // logged before "data upgrade failed!"
    };
    const Case cases[] = {
        {"info request", PF{AL_DATA_ACT_INFO, false, 0}, "[al_get_data_info] write phase failed"},
        {"info answer", PF{AL_DATA_ACT_INFO, true, 0}, "[al_get_data_info] read phase failed"},
        {"announce", PF{AL_DATA_ACT_ANNOUNCE, false, 0}, "send action info"},
        {"first ack request", PF{AL_DATA_ACT_ACK, false, 0}, "Write phase failed"},
        {"first ack answer", PF{AL_DATA_ACT_ACK, true, 0}, "Read phase failed"},
        {"erase", PF{AL_DATA_ACT_ERASE, false, 0}, "Wait flash erase....."},
        {"erase poll answer", PF{AL_DATA_ACT_ACK, true, 2}, "DATA ACK failed"},
        {"erase poll request", PF{AL_DATA_ACT_ACK, false, 1}, "DATA ACK failed"},
        {"second chunk", PF{AL_DATA_ACT_DATA, false, 1}, "Data transfer failed D."},
        {"chunk ack answer", PF{AL_DATA_ACT_ACK, true, 6}, "Data transfer failed C."},
        {"chunk ack request", PF{AL_DATA_ACT_ACK, false, 6}, "Data transfer failed C."},
    };
    uint16_t version = 0x0300;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        this->clear_log();
        tarvo::sim::FlashFaults f;
        f.fail_phase = c.fault;
        this->rig.flash().set_faults(f);
        EXPECT_EQ(this->write(0, ++version, pattern(4000, 8)), -1);
        EXPECT_TRUE(this->logged(c.line));
        this->expect_failed_exchange_end();
        EXPECT_FALSE(this->logged("Data transfer finished"));
    }
}

TYPED_TEST_P(DataTransfer, ConnectionDroppedMidTransferEndsWithoutReset) {
    tarvo::sim::FlashFaults f;
    f.drop_at_chunk = 2;
    this->rig.flash().set_faults(f);
    EXPECT_EQ(this->write(0, 0x0300, pattern(5000, 9)), -1);
    EXPECT_TRUE(this->logged("[INF] [tarvo_bin_data_write] Data transfer failed D.\n"));
    EXPECT_TRUE(this->rig.camera_gone());
    this->expect_failed_exchange_end();
    EXPECT_EQ(this->rig.flash().stats().chunks_accepted, 2u);
}

TYPED_TEST_P(DataTransfer, FileErrorsNeverReachTheCamera) {
    EXPECT_EQ(tarvo_bin_data_write(this->rig.ll(), 0, 0x0300, 0, "missing.bin"), -1);
    EXPECT_TRUE(this->logged("[INF] [tarvo_bin_data_write] File open failed\n"));
    EXPECT_EQ(tarvo_bin_data_write(this->rig.ll(), 0, 0x0300, 0, nullptr), -1);
    tarvo_test::write_file("empty.bin", "");
    EXPECT_EQ(tarvo_ll_firmware_upgrade(this->rig.ll(), 0, 0x0300, "empty.bin"), -1);
    EXPECT_TRUE(this->logged("[INF] [tarvo_bin_data_write] File size:0\n"));
    EXPECT_TRUE(this->logged("[ERR] [tarvo_bin_data_write] data upgrade failed!\n"));
    EXPECT_TRUE(this->rig.data_commands().empty());
    EXPECT_TRUE(this->rig.resets().empty());
}

TYPED_TEST_P(DataTransfer, ReadsEveryStoredSize) {
    for (uint32_t size : {0u, 1u, 450u, 451u, 900u}) {
        SCOPED_TRACE(size);
        this->clear_log();
        this->rig.flash().clear_stats();
        auto data = pattern(size, size + 11);
        this->store(3, 0x0042, data);
        tarvo_test::write_file("out.bin", "old contents that must go");
        ASSERT_EQ(tarvo_bin_data_read(this->rig.ll(), 3, "out.bin"), 1);
        EXPECT_EQ(read_bytes("out.bin"), data);
        std::vector<size_t> asked;  // payload answers, by length
        for (const auto &c : this->rig.data_commands())
            if (c.action == AL_DATA_ACT_PAYLOAD && c.in) asked.push_back(c.len);
        std::vector<size_t> expect;
        for (uint32_t left = size; left > 0; left -= std::min(left, 450u))
            expect.push_back(std::min(left, 450u));
        EXPECT_EQ(asked, expect);
        EXPECT_TRUE(this->logged("[DBG] [tarvo_bin_data_read] Get info\n"));
        EXPECT_TRUE(
            this->logged("[INF] [tarvo_bin_data_read] Version:66,type:3, addr:0x8300000,"
                         "data size:" +
                         std::to_string(size) + "\n"));
    }
}

TYPED_TEST_P(DataTransfer, ReadWithoutPathWritesCalibBin) {
    auto data = pattern(1234, 5);
    this->store(2, 1, data);
    ::unlink("calib.bin");
    ASSERT_EQ(tarvo_bin_data_read(this->rig.ll(), 2, nullptr), 1);
    EXPECT_EQ(read_bytes("calib.bin"), data);
}

TYPED_TEST_P(DataTransfer, ReadOfNothingStoredFails) {
    ::unlink("none.bin");
    EXPECT_EQ(tarvo_bin_data_read(this->rig.ll(), 7, "none.bin"), -1);
    EXPECT_TRUE(
        this->logged("[INF] [tarvo_bin_data_read] Version:0,type:7, addr:0x8700000,"
                     "data size:-1\n"));
    EXPECT_TRUE(this->logged("[ERR] [tarvo_bin_data_read] No valid data to read, please check\n"));
    EXPECT_NE(::access("none.bin", F_OK), 0);
    EXPECT_EQ(this->count(AL_DATA_ACT_PAYLOAD, false), 0u);
}

TYPED_TEST_P(DataTransfer, ReadCutOffKeepsOnlyReceivedBytes) {
    auto data = pattern(2000, 6);
    this->store(3, 1, data);
    tarvo::sim::FlashFaults f;
    f.fail_phase = tarvo::sim::FlashFaults::PhaseFault{AL_DATA_ACT_PAYLOAD, true, 2};
    this->rig.flash().set_faults(f);
    EXPECT_EQ(tarvo_bin_data_read(this->rig.ll(), 3, "cut.bin"), -1);
    EXPECT_TRUE(this->logged("[ERR] [al_get_data_payload] read phase failed\n"));
    EXPECT_EQ(read_bytes("cut.bin"), std::vector<uint8_t>(data.begin(), data.begin() + 900));
    EXPECT_EQ(this->count(AL_DATA_ACT_PAYLOAD, false), 3u);  // nothing after the failure

    // The information exchange itself failing: no file, -1.
    this->clear_log();
    f.fail_phase = tarvo::sim::FlashFaults::PhaseFault{AL_DATA_ACT_INFO, true, 0};
    this->rig.flash().set_faults(f);
    ::unlink("info.bin");
    EXPECT_EQ(tarvo_bin_data_read(this->rig.ll(), 3, "info.bin"), -1);
    EXPECT_NE(::access("info.bin", F_OK), 0);
}

TYPED_TEST_P(DataTransfer, ReadCutOffByADroppedConnection) {
    auto data = pattern(1500, 8);
    this->store(3, 1, data);
    tarvo::sim::FlashFaults f;
    f.drop_at_payload = 1;
    this->rig.flash().set_faults(f);
    EXPECT_EQ(tarvo_bin_data_read(this->rig.ll(), 3, "drop.bin"), -1);
    EXPECT_TRUE(this->rig.camera_gone());
    EXPECT_TRUE(this->logged("[ERR] [al_get_data_payload] write phase failed\n"));
    EXPECT_EQ(read_bytes("drop.bin"), std::vector<uint8_t>(data.begin(), data.begin() + 450));
}

REGISTER_TYPED_TEST_SUITE_P(
    DataTransfer, WritesEveryImageSizeWithEachChunkOnce, WritesAndReadsBackAboutOneMiB,
    WriteLogsEveryStepOfTheSequence, VersionNotAboveSendsOnlyTheInformationExchange,
    PollsWhileTheCameraErases, SettleFollowsTheDataType, RefusedAnnouncementSettlesAndFails,
    RejectedChunkStopsAtCaseA, SkippedIndexStopsAtCaseB, EraseThatNeverEndsIsGivenUp,
    EveryFailedExchangeEndsWithoutReset, ConnectionDroppedMidTransferEndsWithoutReset,
    FileErrorsNeverReachTheCamera, ReadsEveryStoredSize, ReadWithoutPathWritesCalibBin,
    ReadOfNothingStoredFails, ReadCutOffKeepsOnlyReceivedBytes, ReadCutOffByADroppedConnection);

}  // namespace data_test
