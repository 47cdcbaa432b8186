// The arc-tangent table and atan2_lut, and the amplitude hysteresis.
#include <cmath>

#include "epc_test_util.h"

namespace {

using epc_test::EngineTest;

class Atan2Test : public EngineTest {};

TEST_F(Atan2Test, TableEntriesAreRoundedArcTangents) {
    EXPECT_EQ(atan2lut_Init(), 0);
    const uint16_t *t = tarvo::epc::atan2_table();
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[4095], 3750);
    for (int i = 0; i < 4096; ++i) {
        double v = std::atan(i / 4095.0) * 15000.0 / M_PI;
        ASSERT_EQ(t[i], static_cast<uint16_t>(std::floor(v + 0.5))) << i;
        if (i) ASSERT_GE(t[i], t[i - 1]) << i;
    }
    // The halves round upwards: no entry lies more than half a unit off.
    for (int i = 0; i < 4096; ++i)
        ASSERT_LE(std::fabs(t[i] - std::atan(i / 4095.0) * 15000.0 / M_PI), 0.5) << i;
}

TEST_F(Atan2Test, AxesAndDiagonals) {
    atan2lut_Init();
    EXPECT_EQ(atan2_lut(0, 5), 0);
    EXPECT_EQ(atan2_lut(0, -5), 15000);
    EXPECT_EQ(atan2_lut(0, 0), 0);
    EXPECT_EQ(atan2_lut(5, 5), 3750);
    EXPECT_EQ(atan2_lut(5, 0), 7500);
    EXPECT_EQ(atan2_lut(-5, 0), 22500);
    EXPECT_EQ(atan2_lut(-5, -5), 18750);
    EXPECT_EQ(atan2_lut(5, -5), 11250);
    EXPECT_EQ(atan2_lut(-5, 5), 26250);
}

// In the first octant (0 < y < x) atan2_lut is exactly the table at
// (y * 4096) / x, and within two units of the true angle.
TEST_F(Atan2Test, FirstOctantIdentityWithAtan2) {
    atan2lut_Init();
    const uint16_t *t = tarvo::epc::atan2_table();
    double worst = 0;
    for (int x = 1; x < 4096; ++x) {
        for (int y = 1; y < x; ++y) {
            int v = atan2_lut(y, x);
            ASSERT_EQ(v, t[(y * 4096) / x]) << y << "," << x;
            double err = std::fabs(v - std::atan2(y, x) * 15000.0 / M_PI);
            worst = std::max(worst, err);
        }
    }
    EXPECT_LT(worst, 2.0);
    EXPECT_GT(worst, 0.5);  // the 4096/4095 scale mismatch is visible
}

TEST_F(Atan2Test, EveryQuadrantFollowsAtan2) {
    atan2lut_Init();
    for (int y = -4094; y <= 4094; y += 37) {
        for (int x = -4094; x <= 4094; x += 41) {
            if (y == 0 && x == 0) continue;
            double ref = std::atan2(y, x) * 15000.0 / M_PI;
            if (ref < 0) ref += 30000.0;
            int v = atan2_lut(y, x);
            ASSERT_GE(v, 0);
            ASSERT_LE(v, 30000);
            double err = std::fabs(v - ref);
            err = std::min(err, 30000.0 - err);
            ASSERT_LT(err, 2.0) << y << "," << x;
        }
    }
}

TEST_F(Atan2Test, LargeArgumentsDoNotOverflow) {
    atan2lut_Init();
    EXPECT_EQ(atan2_lut(1000000, 1000000), 3750);
    EXPECT_EQ(atan2_lut(2000000000, 1), 7500);
}

TEST_F(Atan2Test, BuiltOnFirstUseWhenNotInitialised) {
    // The table is built lazily when a kernel runs before configInit.
    EXPECT_EQ(atan2_lut(5, 5), 3750);
}

class HysteresisTest : public EngineTest {};

TEST_F(HysteresisTest, ThresholdsAndStoredState) {
    hysteresisSetThresholds(30, 20);  // upper 900, lower 100
    const int pos = 1234;
    EXPECT_EQ(hysteresisUpdate(pos, 20 * 20), 0);  // between: stored 0
    EXPECT_EQ(hysteresisUpdate(pos, 30 * 30), 1);  // at the upper threshold: valid
    EXPECT_EQ(hysteresisUpdate(pos, 20 * 20), 1);  // between: keeps valid
    EXPECT_EQ(hysteresisUpdate(pos, 10 * 10), 1);  // exactly the lower: still kept
    EXPECT_EQ(hysteresisUpdate(pos, 9 * 9), 0);    // below the lower: invalid
    EXPECT_EQ(hysteresisUpdate(pos, 20 * 20), 0);  // between: keeps invalid
    EXPECT_EQ(hysteresisUpdate(pos, 899), 0);
    EXPECT_EQ(hysteresisUpdate(pos + 1, 900), 1);  // positions are independent
    EXPECT_EQ(hysteresisUpdate(pos, 400), 0);
}

TEST_F(HysteresisTest, NewThresholdsClearTheState) {
    hysteresisSetThresholds(30, 20);
    EXPECT_EQ(hysteresisUpdate(7, 900), 1);
    hysteresisUpdateThresholds(30);  // same thresholds, state cleared all the same
    EXPECT_EQ(hysteresisUpdate(7, 400), 0);
    EXPECT_EQ(tarvo::epc::state().hysteresis, 20);
    hysteresisUpdateThresholds(10);  // upper 100, lower (10 - 20)^2 = 100
    EXPECT_EQ(tarvo::epc::state().hyst_upper, 100);
    EXPECT_EQ(tarvo::epc::state().hyst_lower, 100);
}

TEST_F(HysteresisTest, PositionsOutsideTheSensorAreInvalid) {
    hysteresisSetThresholds(0, 0);
    EXPECT_EQ(hysteresisUpdate(0, 0), 1);
    EXPECT_EQ(hysteresisUpdate(EPC_SENSOR_PIXELS - 1, 0), 1);
    EXPECT_EQ(hysteresisUpdate(EPC_SENSOR_PIXELS, 0), 0);
    EXPECT_EQ(hysteresisUpdate(-1, 1000), 0);
}

}  // namespace
