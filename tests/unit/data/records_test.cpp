// Records of the data action protocol in their wire form, and the chunk
// checksum.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tarvo/tarvo_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

// CRC-16/XMODEM the long way: the message as a bit string, divided by the
// polynomial x^16 + x^12 + x^5 + 1 one bit at a time (the message followed by
// 16 zero bits, remainder of the division).
uint16_t crc_by_division(const Bytes &msg) {
    uint32_t reg = 0;  // 17-bit working register
    auto feed = [&reg](int bit) {
        reg = (reg << 1) | static_cast<uint32_t>(bit);
        if (reg & 0x10000u) reg ^= 0x11021u;
    };
    for (uint8_t b : msg)
        for (int i = 7; i >= 0; --i) feed((b >> i) & 1);
    for (int i = 0; i < 16; ++i) feed(0);
    return static_cast<uint16_t>(reg);
}

TEST(DataCrc, StandardCheckValueAndEmpty) {
    const char *check = "123456789";
    EXPECT_EQ(al_data_calc_crc(reinterpret_cast<const uint8_t *>(check), 9), 0x31C3);
    EXPECT_EQ(al_data_calc_crc(reinterpret_cast<const uint8_t *>(check), 0), 0);
    EXPECT_EQ(al_data_calc_crc(nullptr, 5), 0);
    EXPECT_EQ(crc_by_division(Bytes(check, check + 9)), 0x31C3);  // the reference itself
}

TEST(DataCrc, MatchesBitwiseDivisionOverRandomInputs) {
    std::mt19937 rng(0x7A7F);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(1, 1018);
    for (int round = 0; round < 400; ++round) {
        Bytes msg(static_cast<size_t>(round < 20 ? round + 1 : length(rng)));
        for (auto &b : msg) b = static_cast<uint8_t>(byte(rng));
        ASSERT_EQ(al_data_calc_crc(msg.data(), static_cast<uint16_t>(msg.size())),
                  crc_by_division(msg))
            << "length " << msg.size();
    }
    // The length is a 16-bit count: the longest input it covers.
    Bytes big(65535);
    for (auto &b : big) b = static_cast<uint8_t>(byte(rng));
    EXPECT_EQ(al_data_calc_crc(big.data(), 65535), crc_by_division(big));
}

TEST(DataRecords, InformationRecordLayout) {
    al_data_info_t info{0x02, 0x1234, 0xA1B2C3D4u, 0x08100000u};
    uint8_t w[AL_DATA_INFO_SIZE];
    std::memset(w, 0xEE, sizeof w);
    al_data_info_encode(&info, w);
    const Bytes expect = {0x02, 0x00, 0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1,
                          0x00, 0x00, 0x10, 0x08, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(w, w + sizeof w), expect);

    al_data_info_t back{};
    ASSERT_EQ(al_data_info_decode(w, sizeof w, &back), 1);
    EXPECT_EQ(back.type, 0x02);
    EXPECT_EQ(back.version, 0x1234);
    EXPECT_EQ(back.size, 0xA1B2C3D4u);
    EXPECT_EQ(back.addr, 0x08100000u);

    // A short answer: the fields that are complete are read, the rest are 0.
    ASSERT_EQ(al_data_info_decode(w, 9, &back), 0);
    EXPECT_EQ(back.version, 0x1234);
    EXPECT_EQ(back.size, 0xA1B2C3D4u);
    EXPECT_EQ(back.addr, 0u);
    EXPECT_EQ(al_data_info_decode(nullptr, 16, &back), 0);
    EXPECT_EQ(back.size, 0u);
}

TEST(DataRecords, AnnounceEraseAndChunkHeadLayouts) {
    al_data_announce_t ann{7, 0x0102, 2037};
    uint8_t a[AL_DATA_ANNOUNCE_SIZE];
    al_data_announce_encode(&ann, a);
    EXPECT_EQ(Bytes(a, a + sizeof a), (Bytes{7, 0, 0x02, 0x01, 0xF5, 0x07, 0, 0, 0, 0, 0, 0}));
    al_data_announce_t ann2{};
    ASSERT_EQ(al_data_announce_decode(a, sizeof a, &ann2), 1);
    EXPECT_EQ(ann2.type, 7);
    EXPECT_EQ(ann2.version, 0x0102);
    EXPECT_EQ(ann2.size, 2037u);

    al_data_erase_t er{3, 0x00100000u, AL_DATA_CHUNK_MAX};
    uint8_t e[AL_DATA_ERASE_SIZE];
    al_data_erase_encode(&er, e);
    EXPECT_EQ(Bytes(e, e + sizeof e),
              (Bytes{3, 0x00, 0x00, 0x10, 0x00, 0xFA, 0x03, 0, 0, 0, 0, 0, 0}));
    al_data_erase_t er2{};
    ASSERT_EQ(al_data_erase_decode(e, sizeof e, &er2), 1);
    EXPECT_EQ(er2.total, 0x00100000u);
    EXPECT_EQ(er2.chunk_size, 1018u);

    // The chunk message of a 5-byte final chunk: checksum, length 5, data.
    const uint8_t tail[5] = {1, 2, 3, 4, 5};
    al_data_chunk_head_t head{al_data_calc_crc(tail, 5), 5};
    uint8_t h[AL_DATA_CHUNK_HEAD_SIZE];
    al_data_chunk_head_encode(&head, h);
    EXPECT_EQ(h[0], head.crc & 0xFF);
    EXPECT_EQ(h[1], head.crc >> 8);
    EXPECT_EQ(Bytes(h + 2, h + 6), (Bytes{5, 0, 0, 0}));
    al_data_chunk_head_t head2{};
    ASSERT_EQ(al_data_chunk_head_decode(h, sizeof h, &head2), 1);
    EXPECT_EQ(head2.crc, head.crc);
    EXPECT_EQ(head2.len, 5u);
    EXPECT_EQ(al_data_chunk_head_decode(h, 5, &head2), 0);
}

TEST(DataRecords, AcknowledgementLongAndShortForms) {
    const uint8_t wire[AL_DATA_ACK_SIZE] = {0x10, 0x02, 0, 0, 4, 9, 8, 7, 6, 5, 4, 3, 2};
    al_data_ack_t ack{};
    ASSERT_EQ(al_data_ack_decode(wire, sizeof wire, &ack), 1);
    EXPECT_EQ(ack.next, 0x210u);
    EXPECT_EQ(ack.status, AL_DATA_ACK_BUSY);
    EXPECT_EQ(Bytes(ack.rest, ack.rest + 8), (Bytes{9, 8, 7, 6, 5, 4, 3, 2}));

    uint8_t again[AL_DATA_ACK_SIZE];
    al_data_ack_encode(&ack, again);
    EXPECT_EQ(Bytes(again, again + 13), Bytes(wire, wire + 13));

    // The 9-byte form keeps four bytes after the status.
    ASSERT_EQ(al_data_ack_decode(wire, AL_DATA_ACK_SHORT_SIZE, &ack), 1);
    EXPECT_EQ(ack.next, 0x210u);
    EXPECT_EQ(Bytes(ack.rest, ack.rest + 8), (Bytes{9, 8, 7, 6, 0, 0, 0, 0}));

    // Fewer than 9 bytes do not make an acknowledgement.
    EXPECT_EQ(al_data_ack_decode(wire, 8, &ack), 0);
    EXPECT_EQ(al_data_ack_decode(wire, 4, &ack), 0);
    EXPECT_EQ(ack.next, 0x210u);
    EXPECT_EQ(ack.status, 0);
}

}  // namespace
