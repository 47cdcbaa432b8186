// The single exchanges of the action protocol, through a link that carries
// them straight to the simulated flash.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "log_capture.h"
#include "loopback_link.h"
#include "tarvo/tarvo_data.h"

namespace {

using Bytes = std::vector<uint8_t>;
using data_test::LogCapture;
using data_test::LoopbackLink;
using tarvo::sim::FlashFaults;
using tarvo::sim::FlashImage;

class DataProtocol : public ::testing::Test {
  protected:
    LogCapture log;
    LoopbackLink link;
};

TEST_F(DataProtocol, SendAnnounceCarriesTheRecordAndLogsIt) {
    al_data_announce_t ann{5, 300, 2037};
    uint8_t wire[AL_DATA_ANNOUNCE_SIZE];
    al_data_announce_encode(&ann, wire);
    ASSERT_EQ(al_data_send_action_info(link.ll(), AL_DATA_ACT_ANNOUNCE, wire, nullptr), 1);
    ASSERT_EQ(link.transfers().size(), 1u);
    const auto &t = link.transfers()[0];
    EXPECT_FALSE(t.in);
    EXPECT_EQ(t.request, 0xCC);
    EXPECT_EQ(t.value, AL_DATA_ACT_ANNOUNCE);
    EXPECT_EQ(t.data, Bytes(wire, wire + 12));
    EXPECT_EQ(link.status_checks(), 1u);
    EXPECT_TRUE(log.has("[INF] [al_data_send_action_info] type = 5, version = 300, size = 2037\n"));
    EXPECT_EQ(link.flash().stats().announces, 1u);
}

TEST_F(DataProtocol, SendChunkIsHeadAndDataAndRefusesEmptyOrOversized) {
    const uint8_t five[5] = {9, 8, 7, 6, 5};
    al_data_chunk_head_t head{al_data_calc_crc(five, 5), 5};
    uint8_t wire[AL_DATA_CHUNK_HEAD_SIZE];
    al_data_chunk_head_encode(&head, wire);
    // The flash is not ready for data, so the status check fails; the
    // message itself went out whole.
    EXPECT_EQ(al_data_send_action_info(link.ll(), AL_DATA_ACT_DATA, wire, five), -1);
    ASSERT_EQ(link.transfers().size(), 1u);
    Bytes sent = link.transfers()[0].data;
    ASSERT_EQ(sent.size(), 11u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 6), Bytes(wire, wire + 6));
    EXPECT_EQ(Bytes(sent.begin() + 6, sent.end()), Bytes(five, five + 5));

    link.clear_log();
    head.len = 0;
    al_data_chunk_head_encode(&head, wire);
    EXPECT_EQ(al_data_send_action_info(link.ll(), AL_DATA_ACT_DATA, wire, five), -1);
    head.len = AL_DATA_CHUNK_MAX + 1;
    al_data_chunk_head_encode(&head, wire);
    Bytes big(AL_DATA_CHUNK_MAX + 1);
    EXPECT_EQ(al_data_send_action_info(link.ll(), AL_DATA_ACT_DATA, wire, big.data()), -1);
    EXPECT_TRUE(link.transfers().empty());
    EXPECT_EQ(link.status_checks(), 0u);
}

TEST_F(DataProtocol, UnknownSendActionsAndNullArgumentsTouchNothing) {
    uint8_t rec[16] = {};
    for (uint8_t action : {0, 2, 3, 5, 17, 255})
        EXPECT_EQ(al_data_send_action_info(link.ll(), action, rec, nullptr), -1) << int(action);
    EXPECT_EQ(al_data_send_action_info(link.ll(), AL_DATA_ACT_ACK, nullptr, nullptr), -1);
    EXPECT_EQ(al_data_send_action_info(nullptr, AL_DATA_ACT_ACK, rec, nullptr), -1);
    EXPECT_TRUE(link.transfers().empty());
}

TEST_F(DataProtocol, ReadAckTwoPhasesAndUnknownActionsAreIgnored) {
    uint8_t out[AL_DATA_ACK_SIZE];
    std::memset(out, 0xAB, sizeof out);
    ASSERT_EQ(al_data_read_action_info(link.ll(), AL_DATA_ACT_ACK, out), 1);
    ASSERT_EQ(link.transfers().size(), 2u);
    EXPECT_FALSE(link.transfers()[0].in);
    EXPECT_EQ(link.transfers()[0].data, Bytes(13, 0));  // 13 zero bytes out
    EXPECT_TRUE(link.transfers()[1].in);
    EXPECT_EQ(link.status_checks(), 2u);
    EXPECT_EQ(Bytes(out, out + 13), Bytes(13, 0));  // idle flash: next 0, status 0

    // The short form moves 9 bytes each way.
    link.clear_log();
    ASSERT_EQ(al_data_read_action_info(link.ll(), AL_DATA_ACT_ACK_SHORT, out), 1);
    EXPECT_EQ(link.transfers()[0].data.size(), 9u);
    EXPECT_EQ(link.transfers()[1].data.size(), 9u);

    link.clear_log();
    std::memset(out, 0xAB, sizeof out);
    EXPECT_EQ(al_data_read_action_info(link.ll(), 3, out), 1);
    EXPECT_EQ(Bytes(out, out + 13), Bytes(13, 0xAB));
    EXPECT_TRUE(link.transfers().empty());
}

TEST_F(DataProtocol, ReadAckPhaseFailuresGiveZeroAndMinusOne) {
    uint8_t out[AL_DATA_ACK_SIZE];
    FlashFaults f;
    f.fail_phase = FlashFaults::PhaseFault{AL_DATA_ACT_ACK, false, 0};
    link.flash().set_faults(f);
    std::memset(out, 0xAB, sizeof out);
    EXPECT_EQ(al_data_read_action_info(link.ll(), AL_DATA_ACT_ACK, out), 0);
    EXPECT_TRUE(log.has("[ERR] [al_data_read_action_info] Write phase failed\n"));
    EXPECT_EQ(link.transfers().size(), 1u);  // no read phase after a failed write phase
    EXPECT_EQ(Bytes(out, out + 13), Bytes(13, 0xAB));

    f.fail_phase = FlashFaults::PhaseFault{AL_DATA_ACT_ACK, true, 0};
    link.flash().set_faults(f);
    EXPECT_EQ(al_data_read_action_info(link.ll(), AL_DATA_ACT_ACK, out), -1);
    EXPECT_TRUE(log.has("[ERR] [al_data_read_action_info] Read phase failed\n"));
}

TEST_F(DataProtocol, InformationExchangeReportsTheStoredImage) {
    FlashImage img;
    img.type = 2;
    img.version = 0x0203;
    img.address = 0x08200000;
    img.data = Bytes(777, 0x5A);
    link.flash().store(img);

    al_data_info_t req{2, 0, 0, 0};
    uint8_t wire[AL_DATA_INFO_SIZE];
    al_data_info_encode(&req, wire);
    ASSERT_EQ(al_get_data_info(link.ll(), AL_DATA_ACT_INFO, wire, AL_DATA_INFO_SIZE), 1);
    al_data_info_t info{};
    ASSERT_EQ(al_data_info_decode(wire, sizeof wire, &info), 1);
    EXPECT_EQ(info.type, 2);
    EXPECT_EQ(info.version, 0x0203);
    EXPECT_EQ(info.size, 777u);
    EXPECT_EQ(info.addr, 0x08200000u);
    EXPECT_EQ(link.status_checks(), 2u);

    // A type with nothing stored reports 0xFFFFFFFF.
    req.type = 9;
    al_data_info_encode(&req, wire);
    ASSERT_EQ(al_get_data_info(link.ll(), AL_DATA_ACT_INFO, wire, AL_DATA_INFO_SIZE), 1);
    al_data_info_decode(wire, sizeof wire, &info);
    EXPECT_EQ(info.size, AL_DATA_SIZE_NONE);

    FlashFaults f;
    f.fail_phase = FlashFaults::PhaseFault{AL_DATA_ACT_INFO, true, 0};
    link.flash().set_faults(f);
    EXPECT_EQ(al_get_data_info(link.ll(), AL_DATA_ACT_INFO, wire, AL_DATA_INFO_SIZE), 0);
    EXPECT_TRUE(log.has("[ERR] [al_get_data_info] read phase failed\n"));
    f.fail_phase = FlashFaults::PhaseFault{AL_DATA_ACT_INFO, false, 0};
    link.flash().set_faults(f);
    EXPECT_EQ(al_get_data_info(link.ll(), AL_DATA_ACT_INFO, wire, AL_DATA_INFO_SIZE), 0);
    EXPECT_TRUE(log.has("[ERR] [al_get_data_info] write phase failed\n"));
}

TEST_F(DataProtocol, PayloadRequestsReturnTheStoredBytesInOrder) {
    FlashImage img;
    img.type = 3;
    for (int i = 0; i < 500; ++i) img.data.push_back(static_cast<uint8_t>(i * 7));
    link.flash().store(img);

    al_data_info_t req{3, 0, 0, 0};
    uint8_t wire[AL_DATA_INFO_SIZE];
    al_data_info_encode(&req, wire);
    ASSERT_EQ(al_get_data_info(link.ll(), AL_DATA_ACT_INFO, wire, AL_DATA_INFO_SIZE), 1);

    link.clear_log();
    uint8_t buf[AL_DATA_PAYLOAD_MAX];
    ASSERT_EQ(al_get_data_payload(link.ll(), buf, 450), 1);
    // The request: 4 reserved bytes, the length, 4 reserved bytes.
    EXPECT_EQ(link.transfers()[0].data, (Bytes{0, 0, 0, 0, 0xC2, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(buf, buf + 450), Bytes(img.data.begin(), img.data.begin() + 450));
    ASSERT_EQ(al_get_data_payload(link.ll(), buf, 50), 1);
    EXPECT_EQ(Bytes(buf, buf + 50), Bytes(img.data.begin() + 450, img.data.end()));

    // Past the end the camera answers with an error.
    EXPECT_EQ(al_get_data_payload(link.ll(), buf, 1), 0);
    EXPECT_TRUE(log.has("[ERR] [al_get_data_payload] write phase failed\n"));
    EXPECT_EQ(al_get_data_payload(link.ll(), nullptr, 1), 0);
}

}  // namespace
