// Colour map: palette values, range handling and both lookups, through the
// shared library's exported functions only.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "tarvo/tq_cmap.h"

namespace {

class Cmap30000 : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(tq_cmap_init(&map, 30000), nullptr); }
    void TearDown() override { tq_cmap_uninit(&map); }
    tq_cmap_t map{};
};

TEST_F(Cmap30000, TellingPaletteEntries) {
    EXPECT_EQ(map.palette[0], 0x7F0000u);
    EXPECT_EQ(map.palette[3750], 0xFF0000u);
    EXPECT_EQ(map.palette[11250], 0xFFFF00u);
    EXPECT_EQ(map.palette[15000], 0x7FFF7Fu);
    EXPECT_EQ(map.palette[18750], 0x00FFFFu);
    EXPECT_EQ(map.palette[26250], 0x0055FFu);
    EXPECT_EQ(map.palette[29999], 0x0000BFu);
}

TEST_F(Cmap30000, PaletteRampsAreMonotoneAndTopByteClear) {
    // Blue rises, holds, falls; red rises, holds, falls: no channel jumps by
    // more than one step of its steepest ramp between neighbours.
    for (int i = 0; i < map.size; ++i) {
        ASSERT_EQ(map.palette[i] >> 24, 0u) << i;
        if (i == 0) continue;
        for (int shift : {0, 8, 16}) {
            int a = static_cast<int>((map.palette[i - 1] >> shift) & 0xFF);
            int b = static_cast<int>((map.palette[i] >> shift) & 0xFF);
            ASSERT_LE(std::abs(a - b), 1) << "entry " << i << " channel " << shift;
        }
    }
}

TEST_F(Cmap30000, InitialRangeAndScales) {
    EXPECT_EQ(map.size, 30000);
    EXPECT_EQ(map.range_min, 0);
    EXPECT_EQ(map.range_max, 256);
    EXPECT_EQ(map.color_scale, 0.0f);
    EXPECT_EQ(map.gray_scale, 0.0f);
    // Until a range is set, every in-range value is the last entry and black.
    EXPECT_EQ(tq_cmap_get_color(&map, 100), map.palette[29999]);
    EXPECT_EQ(tq_cmap_get_gray(&map, 100), 0u);
}

TEST_F(Cmap30000, ColourLookupOverARange) {
    tq_cmap_set_range(&map, 0, 5000);
    EXPECT_EQ(tq_cmap_get_color(&map, 0), 0x0000BFu);
    EXPECT_EQ(tq_cmap_get_color(&map, 5000), 0x7F0000u);
    EXPECT_EQ(tq_cmap_get_color(&map, 2500), map.palette[15000]);
    EXPECT_EQ(tq_cmap_get_color(&map, 2500), 0x7FFF7Fu);
    EXPECT_EQ(tq_cmap_get_color(&map, 5001), 0u);
    EXPECT_EQ(tq_cmap_get_color(&map, -1), 0u);
    EXPECT_EQ(tq_cmap_get_color(&map, 1), map.palette[29994]);
}

TEST_F(Cmap30000, ReversedRangeEqualsForwardRange) {
    tq_cmap_set_range(&map, 5000, 0);
    EXPECT_EQ(map.range_min, 0);
    EXPECT_EQ(map.range_max, 5000);
    EXPECT_EQ(map.color_scale, 6.0f);
    EXPECT_EQ(tq_cmap_get_color(&map, 2500), 0x7FFF7Fu);
}

TEST_F(Cmap30000, EmptyRangeKeepsLimitsAndSetsUnitScales) {
    tq_cmap_set_range(&map, 0, 5000);
    tq_cmap_set_range(&map, 100, 100);
    EXPECT_EQ(map.range_min, 0);
    EXPECT_EQ(map.range_max, 5000);
    EXPECT_EQ(map.color_scale, 30000.0f);
    EXPECT_EQ(map.gray_scale, 255.0f);
}

TEST_F(Cmap30000, GrayLookupWithSinglePrecisionScale) {
    tq_cmap_set_range(&map, 1000, 2000);
    EXPECT_EQ(map.gray_scale, 0.255f);
    EXPECT_EQ(tq_cmap_get_gray(&map, 1000), 0x000000u);
    EXPECT_EQ(tq_cmap_get_gray(&map, 1500), 0x7F7F7Fu);
    EXPECT_EQ(tq_cmap_get_gray(&map, 2000), 0xFEFEFEu);
    EXPECT_EQ(tq_cmap_get_gray(&map, 2001), 0xFFFFFFu);
    EXPECT_EQ(tq_cmap_get_gray(&map, 999), 0u);
}

TEST_F(Cmap30000, InvalidCodesHaveFixedColours) {
    EXPECT_EQ(tq_cmap_get_color(&map, TQ_DIST_LOW_AMP), 0u);
    EXPECT_EQ(tq_cmap_get_gray(&map, TQ_DIST_LOW_AMP), 0xFFFFFFu);  // above the default range
    for (int lo : {0, 60000}) {
        tq_cmap_set_range(&map, lo, 70000);
        EXPECT_EQ(tq_cmap_get_color(&map, TQ_DIST_SATURATED), 0x8000FFu);
        EXPECT_EQ(tq_cmap_get_color(&map, TQ_DIST_ADC_OVERFLOW), 0xFF0EA9u);
        EXPECT_EQ(tq_cmap_get_gray(&map, TQ_DIST_SATURATED), 0x8000FFu);
        EXPECT_EQ(tq_cmap_get_gray(&map, TQ_DIST_ADC_OVERFLOW), 0xFF0EA9u);
        EXPECT_EQ(tq_cmap_get_color(&map, TQ_DIST_LOW_AMP), 0u);
    }
}

TEST_F(Cmap30000, ExtremeRangesStayDefined) {
    tq_cmap_set_range(&map, INT_MIN, INT_MAX);
    EXPECT_EQ(tq_cmap_get_color(&map, INT_MIN), map.palette[29999]);
    EXPECT_EQ(tq_cmap_get_color(&map, INT_MAX), map.palette[0]);
    EXPECT_EQ(tq_cmap_get_gray(&map, INT_MIN), 0u);
}

TEST(Cmap, SmallAndEmptyMaps) {
    tq_cmap_t m{};
    EXPECT_EQ(tq_cmap_init(&m, 0), nullptr);
    EXPECT_EQ(m.palette, nullptr);
    EXPECT_EQ(tq_cmap_get_color(&m, 10), 0u);
    tq_cmap_uninit(&m);
    tq_cmap_uninit(&m);

    ASSERT_NE(tq_cmap_init(&m, 1), nullptr);
    EXPECT_EQ(m.palette[0], 0x7F0000u);  // x = -0.25: blue 127
    tq_cmap_set_range(&m, 0, 10);
    EXPECT_EQ(tq_cmap_get_color(&m, 5), m.palette[0]);
    tq_cmap_uninit(&m);
    EXPECT_EQ(m.palette, nullptr);
    tq_cmap_uninit(&m);  // a released map is left alone
}

// The scales are public fields: whatever an application writes into them,
// a lookup stays inside the palette and defined.
TEST_F(Cmap30000, HandEditedScalesStayInsideThePalette) {
    tq_cmap_set_range(&map, 0, 1000);
    map.color_scale = NAN;
    map.gray_scale = NAN;
    EXPECT_EQ(tq_cmap_get_color(&map, 500), map.palette[29999]);
    EXPECT_EQ(tq_cmap_get_gray(&map, 500), 0u);
    map.color_scale = -1e30f;
    EXPECT_EQ(tq_cmap_get_color(&map, 500), map.palette[29999]);
    map.color_scale = 1e30f;
    map.gray_scale = 1e30f;
    EXPECT_EQ(tq_cmap_get_color(&map, 500), map.palette[0]);
    EXPECT_EQ(tq_cmap_get_gray(&map, 500), 0xFFFFFFu);
}

// One thread changes the range while another looks colours up, as an
// application that draws and re-ranges the shared default map may do.
TEST_F(Cmap30000, RangeChangesWhileAnotherThreadLooksUp) {
    std::atomic<bool> stop{false};
    std::thread ranger([&] {
        for (int i = 0; !stop.load(); ++i)
            tq_cmap_set_range(&map, (i % 7) * 100, 5000 + (i % 5) * 1000);
    });
    uint32_t seen = 0;
    for (int i = 0; i < 200000; ++i) {
        const uint32_t c = tq_cmap_get_color(&map, i % 9000);
        const uint32_t g = tq_cmap_get_gray(&map, i % 9000);
        // Every colour is a palette entry or 0 (outside the range).
        ASSERT_TRUE(c == 0 || (c & 0xFF000000u) == 0) << c;
        ASSERT_EQ(g & 0xFF, (g >> 8) & 0xFF);
        seen |= c;
    }
    stop = true;
    ranger.join();
    EXPECT_NE(seen, 0u);
}

}  // namespace
