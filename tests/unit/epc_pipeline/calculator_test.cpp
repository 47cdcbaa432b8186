// The per-pixel calculator: sample loading, the saturation and ADC-overflow
// checks, the sine and PN formulas with the hysteresis, sqrt2, and the two
// read-out order iterators.
#include <cmath>
#include <vector>

#include "pipe_test_util.h"

namespace {

using pipe_test::hi;
using pipe_test::lo;
using tarvo::epc::state;

class Calculator : public pipe_test::PipeTest {};

TEST_F(Calculator, Sqrt2IsABitLevelEstimateWithOneNewtonStep) {
    EXPECT_EQ(sqrt2(0), 0.0f);
    // One Newton step from the estimate lies just below the root.
    for (int q : {1, 2, 100, 2500, 20000, 1000000}) {
        const float r = sqrt2(q);
        const double want = std::sqrt(static_cast<double>(q));
        EXPECT_LE(r, want) << q;
        EXPECT_NEAR(r, want, want * 0.002) << q;
    }
    EXPECT_NEAR(sqrt2(20000), 141.412, 0.001);
    EXPECT_NEAR(sqrt2(2500), 49.918, 0.001);
}

TEST_F(Calculator, MidScaleSamplesGiveNoAmplitudeAndHalfAPeriod) {
    calculatorInit(1);
    calculatorSetArgs2DCS(2048, 2048, 10, 0);
    EXPECT_EQ(calculatorGetArg1(), 0);
    EXPECT_EQ(calculatorGetArg2(), 0);
    EXPECT_EQ(calculatorGetAmpSine(), 0);
    uint32_t r = calculatorGetDistAndAmpSine();  // thresholds 0: the hysteresis accepts 0
    EXPECT_EQ(lo(r), 15000);
    EXPECT_EQ(hi(r), 0);
}

TEST_F(Calculator, TwoSamplesAreMaskedAndTakenFromMidScale) {
    calculatorInit(1);
    // 0xF7D8 masked to 12 bits is 2008: arg2 = 40; 2018 gives arg1 = 30.
    calculatorSetArgs2DCS(0xF7D8, 2018, 0, 0);
    EXPECT_EQ(calculatorGetArg2(), 40);
    EXPECT_EQ(calculatorGetArg1(), 30);
    EXPECT_EQ(calculatorGetAmpSine(), 50);
    uint32_t r = calculatorGetDistAndAmpSine();
    EXPECT_EQ(lo(r), (atan2_lut(30, 40) + 315000) % 30000);
    EXPECT_EQ(lo(r), 18073);
    EXPECT_EQ(hi(r), 49);  // sqrt2(2500) = 49.918

    // Part types 4 and 5 divide the samples by 16 first (mask 0xFFFF).
    configSetPartType(4);
    calculatorSetPixelMask(0xFFFF);
    calculatorSetArgs2DCS(16 * 2008, 16 * 2018, 0, 0);
    EXPECT_EQ(calculatorGetArg2(), 40);
    EXPECT_EQ(calculatorGetArg1(), 30);
}

TEST_F(Calculator, SaturatedSampleGivesItsCodeOnlyWhileTheCheckIsOn) {
    apiEnableAdcOverflow(1);
    calculatorInit(1);
    saturationEnable(1);
    calculatorSetArgs2DCS(4095, 2048, 0, 0);
    EXPECT_EQ(saturationCheck(), 1);
    EXPECT_EQ(calculatorGetDistAndAmpSine(), 65400u * 65536u + 65400u);
    EXPECT_EQ(calculatorGetAmpSine(), -136);
    EXPECT_EQ(static_cast<uint16_t>(calculatorGetAmpSine()), 65400);
    EXPECT_EQ(calculatorGetDistAndAmpPN(), 65400u * 65536u + 65400u);

    // Without the saturation check the sample is above the ADC maximum 4094.
    saturationEnable(0);
    EXPECT_EQ(saturationCheck(), 0);
    EXPECT_EQ(calculatorGetDistAndAmpSine(), 65500u * 65536u + 65500u);
    EXPECT_EQ(calculatorGetAmpSine(), -36);
    EXPECT_EQ(calculatorGetAmpPN(), -36);

    // And with that check off too, the pixel is computed.
    apiEnableAdcOverflow(0);
    EXPECT_EQ(lo(calculatorGetDistAndAmpSine()) < 30000, true);

    // The flag follows each pixel: a clean pixel clears it.
    saturationEnable(1);
    calculatorSetArgs2DCS(2000, 2048, 0, 0);
    EXPECT_EQ(saturationCheck(), 0);
}

TEST_F(Calculator, AdcOverflowChecksTheLimits) {
    EXPECT_EQ(adcOverflowGetMin(), 1);
    EXPECT_EQ(adcOverflowGetMax(), 4094);
    EXPECT_EQ(adcOverflowCheck4DCS(0, 100, 100, 100), 0);  // switch off
    adcOverflowEnable(1);
    EXPECT_EQ(adcOverflowIsEnabled(), 1);
    EXPECT_EQ(adcOverflowCheck4DCS(1, 4094, 2000, 2000), 0);
    EXPECT_EQ(adcOverflowCheck4DCS(1, 4095, 2000, 2000), 1);
    EXPECT_EQ(adcOverflowCheck2DCS(2000, 0), 1);
    EXPECT_EQ(adcOverflowCheck1DCS(1), 0);
    adcOverflowSetMin(100);
    adcOverflowSetMax(200);
    EXPECT_EQ(adcOverflowCheck1DCS(99), 1);
    EXPECT_EQ(adcOverflowCheck1DCS(201), 1);
    EXPECT_EQ(adcOverflowCheck1DCS(150), 0);
    // Two-sample pixels fill DCS2 and DCS3 with the minimum, which passes.
    calculatorInit(1);
    calculatorSetArgs2DCS(150, 150, 0, 0);
    EXPECT_NE(calculatorGetAmpSine(), -36);
    calculatorSetArgs2DCS(150, 250, 0, 0);
    EXPECT_EQ(calculatorGetAmpSine(), -36);
}

TEST_F(Calculator, FourSamplesWithDividerTwo) {
    calculatorInit(2);
    calculatorSetArgs4DCS(100, 200, 300, 400, 0, 0);
    EXPECT_EQ(calculatorGetArg1(), 200);
    EXPECT_EQ(calculatorGetArg2(), 200);
    // sqrt(80000) / 2 = 141.42
    EXPECT_EQ(calculatorGetAmpSine(), 141);
    uint32_t r = calculatorGetDistAndAmpSine();
    EXPECT_EQ(hi(r), 141);  // sqrt2(20000) = 141.41
    EXPECT_EQ(lo(r), (atan2_lut(200, 200) + 315000) % 30000);
    EXPECT_EQ(lo(r), 18750);

    // The amplitude hysteresis sees the squared amplitude 20000.
    apiSetMinAmplitude(142);  // 142^2 = 20164 > 20000: below the lower threshold too
    r = calculatorGetDistAndAmpSine();
    EXPECT_EQ(r, 65300u * 65536u + 65300u);
    apiSetMinAmplitude(141);  // 19881 <= 20000
    EXPECT_EQ(hi(calculatorGetDistAndAmpSine()), 141);

    // Part types 4 and 5 shift both differences right by 4.
    configSetPartType(5);
    calculatorSetPixelMask(0xFFFF);
    calculatorSetArgs4DCS(1000, 3000, 100, 0, 0, 0);
    EXPECT_EQ(calculatorGetArg1(), -3000 >> 4);
    EXPECT_EQ(calculatorGetArg2(), -900 >> 4);
    EXPECT_EQ(calculatorGetArg1(), -188);
}

TEST_F(Calculator, PseudoNoiseFormulas) {
    calculatorInit(1);
    // arg1 = 30, arg2 = -10 from four samples.
    calculatorSetArgs4DCS(1010, 1000, 1000, 1030, 0, 0);
    ASSERT_EQ(calculatorGetArg1(), 30);
    ASSERT_EQ(calculatorGetArg2(), -10);
    EXPECT_EQ(calculatorGetAmpPN(), 40);
    uint32_t r = calculatorGetDistAndAmpPN();
    EXPECT_EQ(lo(r), 22500);
    EXPECT_EQ(hi(r), 40);

    calculatorInit(2);
    EXPECT_EQ(calculatorGetAmpPN(), 20);
    EXPECT_EQ(hi(calculatorGetDistAndAmpPN()), 20);

    // No signal at all: the low-amplitude code instead of a division by 0.
    calculatorInit(1);
    calculatorSetArgs2DCS(2048, 2048, 0, 0);
    EXPECT_EQ(calculatorGetAmpPN(), 0);
    EXPECT_EQ(calculatorGetDistAndAmpPN(), 65300u * 65536u + 65300u);

    // The hysteresis sees the amplitude squared: 40^2 = 1600.
    calculatorSetArgs4DCS(1010, 1000, 1000, 1030, 7, 0);
    apiSetMinAmplitude(41);
    EXPECT_EQ(calculatorGetDistAndAmpPN(), 65300u * 65536u + 65300u);
    apiSetMinAmplitude(40);
    EXPECT_EQ(lo(calculatorGetDistAndAmpPN()), 22500);
}

TEST_F(Calculator, HysteresisKeepsThePreviousStateBetweenThresholds) {
    apiSetMinAmplitude(30);
    apiSetHysteresis(20);  // upper 900, lower 100
    calculatorInit(1);
    // Amplitude 20 (q = 400) at position 5: stays invalid from the cleared state.
    calculatorSetArgs2DCS(2048 - 20, 2048, 5, 0);
    EXPECT_EQ(lo(calculatorGetDistAndAmpSine()), 65300);
    calculatorSetArgs2DCS(2048 - 30, 2048, 5, 0);  // amplitude 30: valid
    EXPECT_NE(lo(calculatorGetDistAndAmpSine()), 65300);
    calculatorSetArgs2DCS(2048 - 20, 2048, 5, 0);  // 20 again: keeps valid
    EXPECT_NE(lo(calculatorGetDistAndAmpSine()), 65300);
    calculatorSetArgs2DCS(2048 - 9, 2048, 5, 0);  // 9: invalid
    EXPECT_EQ(lo(calculatorGetDistAndAmpSine()), 65300);
}

TEST_F(Calculator, DividerBelowOneIsTakenAsOne) {
    calculatorInit(0);
    calculatorSetArgs2DCS(2008, 2018, 0, 0);
    EXPECT_EQ(calculatorGetAmpSine(), 50);
    EXPECT_EQ(calculatorGetAmpPN(), 70);
}

// Rows of the default iterator for the full image: raw rows fill the image
// from its centre outwards.
TEST_F(Calculator, DefaultIteratorStartsAtTheCentreRows) {
    iteratorDefaultInit(320 * 240, 320, 240);
    std::vector<int> seen(320 * 240, 0);
    int k = 0;
    while (iteratorDefaultHasNext()) {
        int out = -2;
        int in = iteratorDefaultNext(&out);
        ASSERT_EQ(in, k);
        if (k == 0) EXPECT_EQ(out, 119 * 320);
        if (k == 319) EXPECT_EQ(out, 119 * 320 + 319);
        if (k == 320) EXPECT_EQ(out, 120 * 320);
        if (k == 640) EXPECT_EQ(out, 118 * 320);
        if (k == 960) EXPECT_EQ(out, 121 * 320);
        ASSERT_GE(out, 0);
        ++seen[static_cast<size_t>(out)];
        ++k;
    }
    EXPECT_EQ(k, 320 * 240);
    for (int v : seen) ASSERT_EQ(v, 1);  // every output position exactly once
}

TEST_F(Calculator, DefaultIteratorReportsPositionsOutsideTheImage) {
    // Twice as many pixels as the image holds: the second half has no place.
    iteratorDefaultInit(2 * 4 * 4, 4, 4);
    int inside = 0, outside = 0;
    while (iteratorDefaultHasNext()) {
        int out = 0;
        iteratorDefaultNext(&out);
        (out < 0 ? outside : inside)++;
        if (out >= 0) EXPECT_LT(out, 16);
    }
    EXPECT_EQ(inside, 16);
    EXPECT_EQ(outside, 16);
}

TEST_F(Calculator, DefaultIteratorWithOneHalfFillsFromTheBottom) {
    state().halves = 1;
    iteratorDefaultInit(3 * 2, 3, 2);
    std::vector<int> outs;
    while (iteratorDefaultHasNext()) {
        int out;
        iteratorDefaultNext(&out);
        outs.push_back(out);
    }
    EXPECT_EQ(outs, (std::vector<int>{3, 4, 5, 0, 1, 2}));
}

TEST_F(Calculator, MgxIteratorSkipsEveryOtherRawRow) {
    // C = 2, H = 2, R = 8: raw rows of 4 samples; S = 32 samples.
    iteratorMGXInit(32, 2, 8);
    std::vector<int> ins, outs;
    while (iteratorMGXHasNext()) {
        int out;
        ins.push_back(iteratorMGXNext(&out));
        outs.push_back(out);
    }
    // Raw rows 0, 2, 4, 6 (samples 0..3, 8..11, ...); their partners follow.
    EXPECT_EQ(ins, (std::vector<int>{0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27}));
    // Rows R/4 - 1 - r and R/4 + r of a 4-row image; two rows per raw row.
    EXPECT_EQ(outs, (std::vector<int>{2, 3, 4, 5, 0, 1, 6, 7, -1, -1, -1, -1, -1, -1, -1, -1}));
}

TEST_F(Calculator, MgxIteratorWithOneHalf) {
    state().halves = 1;
    iteratorMGXInit(12, 3, 4);  // rows of 3, every other skipped
    std::vector<int> ins, outs;
    while (iteratorMGXHasNext()) {
        int out;
        ins.push_back(iteratorMGXNext(&out));
        outs.push_back(out);
    }
    EXPECT_EQ(ins, (std::vector<int>{0, 1, 2, 6, 7, 8}));
    EXPECT_EQ(outs, (std::vector<int>{3, 4, 5, 0, 1, 2}));
}

}  // namespace
