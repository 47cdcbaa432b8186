// The simulator's own encoders: header checksum, payload checksum, test
// pattern and frame length, against values worked out by hand.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "tarvo_sim/sim.h"

using namespace tarvo::sim;

TEST(SimWire, Fletcher16OfHeaderBytes) {
    // "abcde" is the textbook example: 0xC8F0.
    const std::vector<uint8_t> abcde = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(header_checksum(abcde), 0xC8F0);
    // Sums wrap at 255, not 256: 0xFF bytes contribute nothing.
    const std::vector<uint8_t> ff(34, 0xFF);
    EXPECT_EQ(header_checksum(ff), 0x0000);
    std::vector<uint8_t> one(34, 0);
    one[33] = 1;
    EXPECT_EQ(header_checksum(one), 0x0101);
    one[33] = 0;
    one[0] = 1;  // sum2 counts it 34 times
    EXPECT_EQ(header_checksum(one), (34 << 8) | 1);
}

TEST(SimWire, PayloadWordSumIgnoresTrailingBytes) {
    const std::vector<uint8_t> p = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 9, 9};
    EXPECT_EQ(payload_checksum(p), 2u);  // 1 + 0xFFFFFFFF + 2 wraps; 9, 9 left out
    EXPECT_EQ(payload_checksum({}), 0u);
}

TEST(SimWire, TestPatternIsDeterministicAndDistinct) {
    std::vector<uint8_t> a(1001), b(1001), c(1001);
    test_pattern(5, a);
    test_pattern(5, b);
    test_pattern(6, c);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    // A prefix of a longer frame is the shorter frame.
    std::vector<uint8_t> shortf(100);
    test_pattern(5, shortf);
    EXPECT_TRUE(std::equal(shortf.begin(), shortf.end(), a.begin()));
    // Neighbouring words differ (a shifted copy would not match).
    size_t same = 0;
    for (size_t i = 2; i + 1 < a.size(); i += 2) same += a[i] == a[i - 2] && a[i + 1] == a[i - 1];
    EXPECT_LT(same, 5u);
}

TEST(SimWire, FrameLengthFromGeometry) {
    StreamConfig s;
    s.width = 320;
    s.height = 240;
    EXPECT_EQ(frame_length(s), 153600u);
    s.frame_bytes = 1234;
    EXPECT_EQ(frame_length(s), 1234u);
}

TEST(SimWire, BusNeedsThePreloadLibrary) {
    // This binary runs without the preload library (plain gtest main).
    ASSERT_FALSE(preloaded());
    EXPECT_THROW(Bus bus(1), std::runtime_error);
}
