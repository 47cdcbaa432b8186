// Temporal filtering: the fixed-gain smoother, the Kalman step with its
// running variance, the change-driven gain, and codes passing untouched.
#include <vector>

#include "pipe_test_util.h"

namespace {

using tarvo::epc::kalman_pixel;

class Kalman : public pipe_test::PipeTest {
  protected:
    // A 2 x 2 image, filtered once; returns the filtered values.
    std::vector<uint16_t> filter(std::vector<uint16_t> v) {
        uint16_t *p = v.data();
        calculationFalmanFiltering(&p);
        return v;
    }
    void SetUp() override {
        PipeTest::SetUp();
        geometry(2, 1, 2, 4);
    }
};

TEST_F(Kalman, FixedGainSmoothsSmallStepsAndLetsJumpsThrough) {
    apiEnableKalman(1);
    // First frame: a jump from the empty history, taken at once.
    EXPECT_EQ(filter({1000, 1000, 1000, 1000})[0], 1000);
    auto *px = kalman_pixel(0);
    ASSERT_NE(px, nullptr);
    EXPECT_DOUBLE_EQ(px->estimate, 1000.0);
    EXPECT_EQ(filter({1100, 1000, 1000, 1000})[0], 1010);  // 0.9 x 1000 + 0.1 x 1100
    EXPECT_EQ(filter({2000, 1000, 1000, 1000})[0], 2000);  // beyond the threshold
    EXPECT_DOUBLE_EQ(calculationGetKalmanGain(), 0.1);

    // The same through the per-pixel call.
    *px = tarvo::epc::KalmanPixel{};
    px->estimate = px->last_measurement = px->last_valid = 1000.0;
    EXPECT_DOUBLE_EQ(calculationSimpleKalmanFilter(1100, 0, 0.1), 1010.0);
    EXPECT_DOUBLE_EQ(calculationSimpleKalmanFilter(2000, 0, 0.1), 2000.0);
}

TEST_F(Kalman, CheckCountHoldsJumpsBackUntilConfirmed) {
    calculationSetKalmanNumCheck(2);
    auto *px = kalman_pixel(1);
    px->estimate = px->last_measurement = px->last_valid = 1000.0;
    // A jump to 2000: smoothed while the count of small changes builds up.
    EXPECT_DOUBLE_EQ(calculationSimpleKalmanFilter(2000, 1, 0.1), 1100.0);
    EXPECT_DOUBLE_EQ(calculationSimpleKalmanFilter(2000, 1, 0.1), 1190.0);
    // Second small change: confirmed, and the jump goes through.
    EXPECT_DOUBLE_EQ(calculationSimpleKalmanFilter(2000, 1, 0.1), 2000.0);
    EXPECT_EQ(px->counter, 2);
    // Thresholds: which 1 is the smoother's.
    apiSetKalmanThreshold(2000);
    px->estimate = px->last_measurement = px->last_valid = 1000.0;
    px->counter = 2;
    EXPECT_DOUBLE_EQ(calculationSimpleKalmanFilter(2500, 1, 0.1), 1150.0);
}

TEST_F(Kalman, KalmanStepWithoutMeasurementNoiseTakesTheMeasurement) {
    calculationInitKalman();
    auto *px = kalman_pixel(3);
    px->estimate = 1000.0;
    EXPECT_DOUBLE_EQ(px->P, 1.0);
    // P = 1, Q = 2, R = 0: gain 1.
    EXPECT_DOUBLE_EQ(calculationKalmanFilter(1200, 3, 2.0, 0.0), 1200.0);
    EXPECT_DOUBLE_EQ(px->P, 0.0);
    EXPECT_DOUBLE_EQ(px->reference, 1200.0);
    // With R = 3 and P' = 0 + 1: gain 0.25.
    EXPECT_DOUBLE_EQ(calculationKalmanFilter(1400, 3, 1.0, 3.0), 1250.0);
    EXPECT_DOUBLE_EQ(px->P, 0.75);
    // No uncertainty anywhere: the estimate stays (no 0 / 0).
    px->P = 0.0;
    EXPECT_DOUBLE_EQ(calculationKalmanFilter(1300, 3, 0.0, 0.0), 1250.0);
}

TEST_F(Kalman, KalmanResetsOnJumps) {
    calculationInitKalman();
    auto *px = kalman_pixel(2);
    px->estimate = 1000.0;
    px->samples = 5;
    apiSetKalmanThreshold2(100);
    // |z - x| = 500 >= 100: the measurement, and the sample count restarts.
    EXPECT_DOUBLE_EQ(calculationKalmanFilter(1500, 2, 2.0, 10.0), 1500.0);
    EXPECT_EQ(px->samples, -1);
    EXPECT_DOUBLE_EQ(px->reference, 1500.0);

    // With a check count, a jump is smoothed until confirmed against the
    // reference.
    apiSetKalmanNumCheck(2);
    px->estimate = 1000.0;
    px->reference = 1000.0;
    px->P = 1.0;
    px->counter = 0;
    double r1 = calculationKalmanFilter(1050, 2, 1.0, 2.0);  // k = 0.5
    EXPECT_DOUBLE_EQ(r1, 1025.0);
    EXPECT_EQ(px->counter, 1);
    double r2 = calculationKalmanFilter(1050, 2, 1.0, 2.0);
    EXPECT_EQ(px->counter, 0);
    EXPECT_LT(r2, 1050.0);  // |reference - z| = 50 < 100: smoothed
    EXPECT_DOUBLE_EQ(px->reference, r2);
}

TEST_F(Kalman, ModeTwoUsesTheRunningVariance) {
    calculationInitKalman();
    apiEnableKalman(2);
    apiSetKalmanQ(2.0);
    // A jump from the empty history restarts the sample count.
    EXPECT_EQ(filter({1000, 1000, 1000, 1000})[0], 1000);
    EXPECT_EQ(kalman_pixel(0)->samples, 0);
    // From an estimate of 1000: sample count 0, variance 0: P' = 1 + 2, gain 1.
    calculationInitKalman();
    EXPECT_EQ(filter({1000, 1000, 1000, 1000})[0], 1000);
    EXPECT_EQ(kalman_pixel(0)->samples, 1);
    EXPECT_EQ(filter({1010, 1000, 1000, 1000})[0], 1010);  // n = 1: variance 0
    // n = 2: sum of 1010 and 1020 over 2: variance 50; P' = 0 + 2: gain 2 / 52.
    std::vector<uint16_t> out = filter({1020, 1000, 1000, 1000});
    EXPECT_EQ(out[0], 1010);  // 1010 + 10 x 2 / 52 = 1010.38
    EXPECT_EQ(kalman_pixel(0)->samples, 3);
    // Enabling again restarts the count.
    apiEnableKalman(2);
    EXPECT_EQ(kalman_pixel(0)->samples, 0);
}

TEST_F(Kalman, ChangeDrivenGain) {
    apiEnableKalman(3);
    apiSetKalmanK(0.1);
    apiSetKalmanKdiff(0.1);
    apiSetKalmanThreshold(500);
    filter({1000, 1000, 1000, 1000});  // first sight: gain 1
    EXPECT_DOUBLE_EQ(calculationGetKalmanGain(), 1.0);
    EXPECT_DOUBLE_EQ(kalman_pixel(3)->previous, 0.0);
    filter({1000, 1000, 1000, 1000});  // previous 0: change 1000, gain 0.0001
    EXPECT_DOUBLE_EQ(calculationGetKalmanGain(), 0.1 / 1000.0);
    filter({1002, 1002, 1002, 1002});  // change 2: 0.05
    EXPECT_DOUBLE_EQ(calculationGetKalmanGain(), 0.05);
    filter({1003, 1003, 1003, 1003});  // change 1: 0.1, the cap
    EXPECT_DOUBLE_EQ(calculationGetKalmanGain(), 0.1);
    filter({1003, 1003, 1003, 1003});  // no change: K
    EXPECT_DOUBLE_EQ(calculationGetKalmanGain(), 0.1);
    apiSetKalmanKdiff(0.5);
    filter({1013, 1013, 1013, 1013});  // change 10: 0.05
    EXPECT_DOUBLE_EQ(calculationGetKalmanGain(), 0.05);
}

TEST_F(Kalman, CodesAreNeverFiltered) {
    for (int mode : {1, 2, 3}) {
        apiEnableKalman(mode);
        filter({1000, 1000, 1000, 1000});
        tarvo::epc::KalmanPixel before = *kalman_pixel(0);
        std::vector<uint16_t> out = filter({65300, 30000, 65500, 1000});
        EXPECT_EQ(out[0], 65300);
        EXPECT_EQ(out[1], 30000);
        EXPECT_EQ(out[2], 65500);
        const tarvo::epc::KalmanPixel &after = *kalman_pixel(0);
        EXPECT_EQ(after.estimate, before.estimate);
        EXPECT_EQ(after.samples, before.samples);
        EXPECT_EQ(after.counter, before.counter);
    }
    apiEnableKalman(0);
    EXPECT_EQ(filter({1, 2, 3, 4}), (std::vector<uint16_t>{1, 2, 3, 4}));
    EXPECT_EQ(calculationSimpleKalmanFilter(5.0, 82656, 0.5), 5.0);  // no such pixel
}

}  // namespace
