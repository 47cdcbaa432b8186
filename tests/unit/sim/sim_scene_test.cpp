// The simulated EPC sensor's scene: per-pixel phase samples whose
// quadrature gives back the distance and amplitude they were made from, in
// the sensor's read-out order. Checked with plain floating-point maths, not
// with the library's decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "scene.h"
#include "scene/sensor.h"
#include "tarvo/tarvo_epc.h"

namespace {

using tarvo::sim::SceneConfig;
namespace scene = tarvo::sim::scene;

constexpr double k_range_12mhz = 149896229.0 / 12000000.0;  // 12.491 m

// Distance and amplitude of four samples, as an ideal demodulator sees them.
void demodulate(const std::array<uint16_t, 4> &s, double range, double &d, double &a) {
    const double H = double(s[3]) - s[1];  // -2 A sin(phi)
    const double D = double(s[2]) - s[0];  // -2 A cos(phi)
    double phi = std::atan2(-H, -D);
    if (phi < 0) phi += 2 * M_PI;
    d = phi / (2 * M_PI) * range;
    a = std::sqrt(H * H + D * D) / 2;
}

TEST(SimScene, SamplesCarryTheDistanceAndAmplitude) {
    SceneConfig sc;
    sc.amplitude = 900;
    sc.ambient = 2048;
    for (double want : {0.05, 1.0, 2.0, 3.123, 6.2, 9.9, 12.4}) {
        const auto s = scene::samples(sc, want, 12000);
        double d, a;
        demodulate(s, k_range_12mhz, d, a);
        EXPECT_NEAR(d, want, 0.002) << want;
        EXPECT_NEAR(a, 900.0, 1.0) << want;
        // Opposite samples add up to twice the ambient level.
        EXPECT_NEAR(s[0] + s[2], 4096, 1) << want;
        EXPECT_NEAR(s[1] + s[3], 4096, 1) << want;
    }
    // Beyond one period the phase wraps.
    double d, a;
    demodulate(scene::samples(sc, k_range_12mhz + 1.0, 12000), k_range_12mhz, d, a);
    EXPECT_NEAR(d, 1.0, 0.002);
    // At 24000 kHz the same distance is twice as far round the circle.
    demodulate(scene::samples(sc, 1.0, 24000), k_range_12mhz / 2, d, a);
    EXPECT_NEAR(d, 1.0, 0.002);
    // Too bright: samples stay inside the ADC's valid range.
    sc.amplitude = 3000;
    for (uint16_t v : scene::samples(sc, 0.0, 12000)) {
        EXPECT_GE(v, 1);
        EXPECT_LE(v, 4094);
    }
}

TEST(SimScene, RawRowsStartAtTheCentreAndAlternate) {
    SceneConfig sc;
    sc.distance_m = 1.0;
    sc.row_step_m = 0.5;  // output row r at 1.0 + 0.5 r
    const uint16_t w = 3, h = 6;
    std::vector<uint8_t> frame(size_t{w} * h * 8);
    scene::render(sc, w, h, 12000, frame);
    auto sample = [&](int plane, int raw_row, int col) {
        const size_t at = 2 * (size_t(plane) * w * h + size_t(raw_row) * w + col);
        return static_cast<uint16_t>(frame[at] | (frame[at + 1] << 8));
    };
    // Raw rows 0..5 hold output rows 2, 3, 1, 4, 0, 5.
    const int out_row[6] = {2, 3, 1, 4, 0, 5};
    for (int i = 0; i < h; ++i) {
        for (int j = 0; j < w; ++j) {
            const std::array<uint16_t, 4> s = {sample(0, i, j), sample(1, i, j), sample(2, i, j),
                                               sample(3, i, j)};
            double d, a;
            demodulate(s, k_range_12mhz, d, a);
            EXPECT_NEAR(d, 1.0 + 0.5 * out_row[i], 0.002) << i << "," << j;
        }
    }
    // A short buffer is filled as far as it goes, a long one padded with 0.
    std::vector<uint8_t> cut(10, 0xEE);
    scene::render(sc, w, h, 12000, cut);
    EXPECT_EQ(cut[0] | (cut[1] << 8), sample(0, 0, 0));
    std::vector<uint8_t> longer(frame.size() + 6, 0xEE);
    scene::render(sc, w, h, 12000, longer);
    EXPECT_EQ(longer.back(), 0);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), longer.begin()));
}

}  // namespace

// The exact samples of the physical scene without noise, read by the
// library's own arc-tangent: every phase within one unit, at any
// amplitude, and the amplitude close to the one asked for where the ADC
// range leaves room.
TEST(SimScene, ExactSamplesReadTheirPhaseThroughTheLibrarysArcTangent) {
    atan2lut_Init();
    int off_amp = 0;
    for (double amp : {2.0, 40.0, 400.0, 1500.0})
        for (int phase = 0; phase < 30000; ++phase) {
            const auto s = tarvo::sim::phys::exact_samples(phase, amp, 1990);
            const int H = s[3] - s[1], D = s[2] - s[0];
            const int got = (atan2_lut(H, D) + 15000) % 30000;
            const int e = std::abs(got - phase);
            ASSERT_LE(std::min(e, 30000 - e), 1) << phase << " at amplitude " << amp;
            if (amp >= 400.0 && std::fabs(std::hypot(H, D) / 2.0 - amp) > 0.05 * amp) ++off_amp;
        }
    // Only phases next to the octant boundaries need longer vectors.
    EXPECT_LT(off_amp, 2 * 30000 / 100);
}
