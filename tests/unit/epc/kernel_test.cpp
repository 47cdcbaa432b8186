// The distance kernel: amplitude and phase, codes, read-out order, the
// table-based correction with its clamped top segment, the temperature
// term, the offsets, the 32-bit unambiguous range, the refusal of
// oversized geometry, and the vector path against the portable one.
#include <random>

#include "epc/kernel_impl.h"
#include "epc_test_util.h"

namespace {

using epc_test::EngineTest;
using epc_test::Frame;
using epc_test::ref_consts;
using epc_test::ref_distance;
using epc_test::ref_metres;
using epc_test::ref_u16;
using tarvo::epc::state;

constexpr int C = 320, R = 240, P = C * R;

// Raw position of output pixel (row, col) in the 320 x 240 read-out order.
int raw_pos(int row, int col) {
    int i = row < 120 ? 2 * (119 - row) : 2 * (row - 120) + 1;
    return i * C + col;
}

// (H, D) whose decoded phase is exactly `phase`, searched around a radius.
std::pair<int, int> hd_for_phase(int phase) {
    double a = ((phase + 15000) % 30000) * M_PI / 15000.0;
    for (int r = 1500; r < 2000; ++r) {
        for (int dh = -1; dh <= 1; ++dh) {
            for (int dd = -1; dd <= 1; ++dd) {
                int H = static_cast<int>(std::lround(r * std::sin(a))) + dh;
                int D = static_cast<int>(std::lround(r * std::cos(a))) + dd;
                if ((atan2_lut(H, D) + 315000) % 30000 == phase) return {H, D};
            }
        }
    }
    ADD_FAILURE() << "no samples for phase " << phase;
    return {0, 0};
}

// Both paths, one after the other, from the same hysteresis state.
class KernelTest : public EngineTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        tarvo::epc::kernel_force_portable(GetParam());
        atan2lut_Init();
    }
    template <class T>
    std::vector<T> run(int mode, const Frame &f) {
        std::vector<T> out(static_cast<size_t>(C) * R, T{});
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(mode, out.data(), f.s.data(), P), P);
        return out;
    }
    // Loads a bank-1 table where pixel p's entry k is entry(p, k).
    template <class F>
    void load_table(int n, F entry) {
        tarvo_test::write_file(epc_test::images_name(1),
                               epc_test::images_file(n, C, R, [&](int k, int p) {
                                   return static_cast<uint16_t>(entry(p, k));
                               }));
        ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
        calibrationLoadDRNU_LUT();
        state().drnu_mode = 2;
    }
};

TEST_P(KernelTest, AmplitudeOfThirtyFortyIsTwentyFive) {
    Frame f(P);
    f.set(raw_pos(10, 20), 30, 40);
    auto a16 = run<uint16_t>(1, f);
    auto a32 = run<float>(3, f);
    EXPECT_EQ(a16[10 * C + 20], 25);
    EXPECT_EQ(a32[10 * C + 20], 25.0f);
    EXPECT_EQ(a16[0], 0);  // all samples 2048: amplitude 0
    // Amplitude is sqrt(H^2 + D^2) / 2, truncated.
    f.set(raw_pos(0, 0), 1001, -77);
    EXPECT_EQ(run<uint16_t>(1, f)[0],
              static_cast<uint16_t>(std::sqrt(1001.0 * 1001 + 77 * 77) / 2));
}

TEST_P(KernelTest, ZeroHWithPositiveDIsHalfAPeriod) {
    Frame f(P);
    f.set(raw_pos(5, 7), 0, 1200);
    auto d16 = run<uint16_t>(0, f);
    auto d32 = run<float>(2, f);
    EXPECT_EQ(d16[5 * C + 7], 15000);
    EXPECT_EQ(d32[5 * C + 7], 15000.0f * static_cast<float>(149896229.0 / 12000000.0) / 30000.0f);
    EXPECT_NEAR(d32[5 * C + 7], 6.245676, 1e-6);
    // Every other pixel has H = D = 0: atan2_lut(0, 0) = 0, turned to 15000.
    EXPECT_EQ(d16[0], 15000);
}

TEST_P(KernelTest, SaturatedAndOverflowedSamplesGiveTheLimitCode) {
    Frame f(P);
    f.set_raw(raw_pos(1, 1), 0x1000, 2000, 2100, 2200);  // 0x1000 counts as 0
    f.set_raw(raw_pos(1, 2), 2000, 4095, 2100, 2200);
    f.set_raw(raw_pos(1, 3), 2000, 2000, 0xF000, 2200);  // low 12 bits 0
    f.set_raw(raw_pos(1, 4), 2000, 2000, 2100, 0xFFFF);  // low 12 bits 4095
    f.set_raw(raw_pos(1, 5), 0x1001, 4094, 1, 0x2ABC);   // all within 1..4094
    for (int mode = 0; mode < 4; ++mode) {
        SCOPED_TRACE(mode);
        if (mode == 0 || mode == 1) {
            auto o = run<uint16_t>(mode, f);
            for (int c = 1; c <= 4; ++c) EXPECT_EQ(o[C + c], 65500);
            EXPECT_NE(o[C + 5], 65500);
        } else {
            auto o = run<float>(mode, f);
            for (int c = 1; c <= 4; ++c) EXPECT_EQ(o[C + c], 65.5f);
            EXPECT_NE(o[C + 5], 65.5f);
        }
    }
    EXPECT_EQ(run<float>(2, f)[C + 1], 65.5f);
    EXPECT_EQ(static_cast<double>(65.5f), 65.5);
}

TEST_P(KernelTest, ReadOutOrderStartsAtTheCentre) {
    Frame f(P);
    // Raw row i gets the amplitude i + 1 (H = 2 (i + 1)).
    for (int i = 0; i < R; ++i)
        for (int j = 0; j < C; ++j) f.set(static_cast<size_t>(i) * C + j, 2 * (i + 1), 0);
    auto a = run<uint16_t>(1, f);
    EXPECT_EQ(a[119 * C], 1);        // raw row 0 -> output row 119
    EXPECT_EQ(a[120 * C + 5], 2);    // raw row 1 -> output row 120
    EXPECT_EQ(a[118 * C + 319], 3);  // raw row 2 -> output row 118
    EXPECT_EQ(a[0], 239);            // raw row 238 -> output row 0
    EXPECT_EQ(a[239 * C], 240);      // raw row 239 -> output row 239
}

TEST_P(KernelTest, HysteresisDecidesValidity) {
    hysteresisSetThresholds(30, 20);
    Frame f(P);
    const int p20 = raw_pos(50, 50), p9 = raw_pos(50, 51), p30 = raw_pos(50, 52);
    f.set(p20, 0, 40);  // amplitude 20
    f.set(p9, 0, 18);   // amplitude 9
    f.set(p30, 0, 60);  // amplitude 30
    auto d = run<uint16_t>(0, f);
    EXPECT_EQ(d[50 * C + 50], 65300);  // between the thresholds, stored state 0
    EXPECT_EQ(d[50 * C + 51], 65300);
    EXPECT_EQ(d[50 * C + 52], 15000);
    EXPECT_EQ(run<float>(2, f)[50 * C + 50], 65.3f);
    // Once valid, an amplitude of 20 stays valid; 9 turns it off again.
    f.set(p20, 0, 60);
    run<uint16_t>(0, f);
    f.set(p20, 0, 40);
    EXPECT_EQ(run<uint16_t>(0, f)[50 * C + 50], 15000);
    f.set(p20, 0, 18);
    EXPECT_EQ(run<uint16_t>(0, f)[50 * C + 50], 65300);
    // Amplitude modes never consult the hysteresis.
    EXPECT_EQ(run<uint16_t>(1, f)[50 * C + 51], 9);
}

TEST_P(KernelTest, TableInterpolationMatchesTheRule) {
    // Pixel entries rise by 700 from 1000 plus a pixel-dependent bend.
    load_table(30, [](int p, int k) { return 1000 + 700 * k + (k * k * (p % 7)) % 90; });
    const auto c = ref_consts();
    EXPECT_EQ(c.o, 708);
    Frame f(P);
    std::vector<int> want(P);
    for (int row = 0; row < R; ++row) {
        for (int col = 0; col < C; ++col) {
            int phase = 500 + ((row * C + col) * 37) % 22000;
            int H = static_cast<int>(1500 * std::sin((phase + 15000) * M_PI / 15000));
            int D = static_cast<int>(1500 * std::cos((phase + 15000) * M_PI / 15000));
            f.set(static_cast<size_t>(raw_pos(row, col)), H, D);
            int p = row * C + col;
            std::vector<uint16_t> e(30);
            for (int k = 0; k < 30; ++k) e[k] = tarvo::epc::drnu_bank(1).table[p * 30 + k];
            want[p] = ref_distance(H, D, true, e, true, c);
        }
    }
    auto d16 = run<uint16_t>(0, f);
    auto d32 = run<float>(2, f);
    int codes = 0;
    for (int p = 0; p < P; ++p) {
        ASSERT_EQ(d16[p], ref_u16(want[p])) << p;
        ASSERT_EQ(d32[p], ref_metres(want[p], c)) << p;
        codes += want[p] < 0;
    }
    EXPECT_GT(codes, 100);  // phases below 1000 fall below the span
    EXPECT_LT(codes, P / 2);
}

TEST_P(KernelTest, TopSegmentStaysInsideThePixel) {
    load_table(30, [](int p, int k) { return p == 0 ? 100 : 1000 + 700 * k; });
    const auto c = ref_consts();
    // Phase 21000 lies in the top 1/30 of the span 1000..21300: the segment
    // index reaches 29 and is kept at 28 (entries 20600 and 21300).
    auto [H, D] = hd_for_phase(21000);
    Frame f(P);
    f.set(static_cast<size_t>(raw_pos(0, 5)), H, D);
    f.set(static_cast<size_t>(raw_pos(R - 1, C - 1)), H, D);  // the last pixel of the table
    auto d = run<uint16_t>(0, f);
    float l = c.l;
    float sum = (21000.0f - 20600.0f) * l / 700.0f + l * 28.0f;
    uint16_t expect = static_cast<uint16_t>(708 + static_cast<int>(sum + 0.5));
    EXPECT_EQ(d[5], expect);
    EXPECT_EQ(d[P - 1], expect);
    // The physical distance: (21000 - 1000) / 700 steps of l after the offset.
    EXPECT_NEAR(d[5], 708 + 20000.0 / 700.0 * l, 1.0);
    // An entry exactly at the maximum is beyond the span.
    auto [H2, D2] = hd_for_phase(21300);
    f.set(static_cast<size_t>(raw_pos(0, 5)), H2, D2);
    EXPECT_EQ(run<uint16_t>(0, f)[5], 65500);
}

TEST_P(KernelTest, AllEqualTablesPutEveryPhaseOutOfRange) {
    load_table(30, [](int, int) { return 1234; });
    EXPECT_EQ(tarvo::epc::drnu_bank(1).max[77], 1234);
    EXPECT_EQ(tarvo::epc::drnu_bank(1).min[77], 1234);
    Frame f(P);
    auto [Hb, Db] = hd_for_phase(1000);
    auto [Ha, Da] = hd_for_phase(2000);
    auto [He, De] = hd_for_phase(1234);
    f.set(static_cast<size_t>(raw_pos(3, 0)), Hb, Db);
    f.set(static_cast<size_t>(raw_pos(3, 1)), Ha, Da);
    f.set(static_cast<size_t>(raw_pos(3, 2)), He, De);
    auto d = run<uint16_t>(0, f);
    EXPECT_EQ(d[3 * C + 0], 65300);  // below
    EXPECT_EQ(d[3 * C + 1], 65500);  // above
    EXPECT_EQ(d[3 * C + 2], 65300);  // equal: "below" is tested first
}

TEST_P(KernelTest, FlatSegmentIsOutOfRangeNotUndefined) {
    // Entries 1000, 1700, 1700, 2400, ...: segment 1 is flat.
    load_table(30, [](int, int k) { return k < 2 ? 1000 + 700 * k : 1000 + 700 * (k - 1); });
    Frame f(P);
    auto [H, D] = hd_for_phase(1700 + 1);  // q = 701 * 30 / 19600 = 1.07: segment 1
    f.set(static_cast<size_t>(raw_pos(0, 0)), H, D);
    EXPECT_EQ(run<uint16_t>(0, f)[0], 65500);
}

TEST_P(KernelTest, TemperatureTermShiftsThePhase) {
    load_table(30, [](int, int k) { return 1000 + 700 * k; });
    configLoadParameters();  // coefficients 2.2 and 0.51765
    state().temperature_correction = 1;
    int16_t temps[2] = {461, 300};  // 10 degC above, 4.1 degC below calibration
    temperatureSetTemperatureByFrameHeader(temps);
    const auto c = ref_consts();
    const double g = 12491;
    const float m = static_cast<float>(100) * static_cast<float>(30000.0 / g * 2.2) +
                    static_cast<float>(-41) * static_cast<float>(30000.0 / g * 0.51765);
    EXPECT_EQ(c.m, m);
    EXPECT_NEAR(m, 100 * 5.2838 - 41 * 1.2433, 0.01);
    Frame f(P);
    auto [H, D] = hd_for_phase(9000);
    f.set(static_cast<size_t>(raw_pos(0, 0)), H, D);
    std::vector<uint16_t> e(30);
    for (int k = 0; k < 30; ++k) e[k] = static_cast<uint16_t>(1000 + 700 * k);
    auto d = run<uint16_t>(0, f);
    EXPECT_EQ(d[0], ref_u16(ref_distance(H, D, true, e, true, c)));
    // Without the correction the same pixel reads about m / 700 steps further.
    state().temperature_correction = 0;
    auto d0 = run<uint16_t>(0, f);
    EXPECT_NEAR(d0[0] - d[0], m / 700.0 * c.l, 2.0);
}

TEST_P(KernelTest, OffsetRules) {
    load_table(30, [](int, int k) { return 1000 + 700 * k; });
    auto [H, D] = hd_for_phase(1000 + 700 * 5);  // exactly entry 5
    Frame f(P);
    f.set(static_cast<size_t>(raw_pos(0, 0)), H, D);
    const float l = ref_consts().l;
    const int steps = static_cast<int>(l * 5.0f + 0.5);
    // Default offset switch on: 885000 / (12491 / 10) = 708.
    EXPECT_EQ(run<uint16_t>(0, f)[0], 708 + steps);
    // Switch off: offset phase + offsetDRNU.
    state().default_offset_enabled = 0;
    calibrationSetOffsetPhase(-6600);
    EXPECT_EQ(run<uint16_t>(0, f)[0], -6600 + 8364 + steps);
    // Without the table correction no offset is added at all.
    state().drnu_mode = 0;
    EXPECT_EQ(run<uint16_t>(0, f)[0], 1000 + 700 * 5);
}

TEST_P(KernelTest, UnambiguousRangeKeepsThirtyTwoBits) {
    load_table(30, [](int, int k) { return 1000 + 700 * k; });
    // Frequency mode 5 (1500 kHz): g = 99930, a 16-bit value would be 34394.
    state().modulationFrequency = 1500;
    state().currentFreq = 2;  // keep bank 1
    const auto c = ref_consts();
    EXPECT_EQ(c.g, 99930u);
    EXPECT_EQ(c.o, 88);  // 885000 / 9993
    auto [H, D] = hd_for_phase(1000 + 700 * 3 + 350);
    Frame f(P);
    f.set(static_cast<size_t>(raw_pos(0, 0)), H, D);
    auto d = run<uint16_t>(0, f);
    std::vector<uint16_t> e(30);
    for (int k = 0; k < 30; ++k) e[k] = static_cast<uint16_t>(1000 + 700 * k);
    EXPECT_EQ(d[0], ref_u16(ref_distance(H, D, true, e, true, c)));
    // 3.5 steps of 298.2 mm at 1500 kHz: 3.5 x 89.52 = 313 phase units.
    EXPECT_NEAR(d[0], 88 + 3.5 * 298.2 * 30000 / 99930, 1.0);
    // At 750 kHz g = 199861 (a wrapped value would be 3253).
    state().modulationFrequency = 750;
    EXPECT_EQ(ref_consts().g, 199861u);
    EXPECT_EQ(run<uint16_t>(0, f)[0], ref_u16(ref_distance(H, D, true, e, true, ref_consts())));
}

TEST_P(KernelTest, GeometryLargerThanTheSensorIsRefused) {
    Frame f(400 * 300);
    std::vector<float> out(400 * 300, -1.0f);
    pruSetSize(400, 150);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(2, out.data(), f.s.data(), 400 * 300), 0);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out.back(), -1.0f);
    EXPECT_NE(log_text().find("does not fit"), std::string::npos);
    // The full sensor array itself is accepted.
    pruSetSize(328, 126);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(2, out.data(), f.s.data(), 328 * 252), 328 * 252);
    EXPECT_EQ(out[0], 15000.0f * static_cast<float>(149896229.0 / 12000000.0) / 30000.0f);
}

TEST_P(KernelTest, PlanesSmallerThanTheImageAreRefused) {
    Frame f(P);
    std::vector<uint16_t> out(P, 7);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, out.data(), f.s.data(), P - 1), 0);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(4, out.data(), f.s.data(), P), 0);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, nullptr, f.s.data(), P), 0);
    EXPECT_EQ(_epc_DCSxn_raw2dist(nullptr, f.s.data(), C, R), 0);
}

TEST_P(KernelTest, Raw2DistIsModeTwo) {
    Frame f(P);
    f.set(0, 300, -400);
    std::vector<float> a(P), b(P);
    EXPECT_EQ(_epc_DCSxn_raw2dist(a.data(), f.s.data(), C, R), P);
    hysteresisUpdateThresholds(0);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(2, b.data(), f.s.data(), P), P);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)));
}

TEST_P(KernelTest, OddRowCountAndNarrowImagesStayInBounds) {
    // 13 columns (a vector step and a tail) and 5 rows (odd) of one half.
    state().halves = 1;
    pruSetSize(13, 5);
    Frame f(13 * 5);
    for (int p = 0; p < 65; ++p) f.set(static_cast<size_t>(p), 2 * (p + 1), 0);
    std::vector<uint16_t> a(65, 0);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(1, a.data(), f.s.data(), 65), 65);
    // half = 2: raw rows 0, 1, 2, 3 -> rows 1, 2, 0, 3; raw row 4 -> last row.
    EXPECT_EQ(a[1 * 13], 1);
    EXPECT_EQ(a[2 * 13 + 12], 26);
    EXPECT_EQ(a[0], 27);
    EXPECT_EQ(a[3 * 13], 40);
    EXPECT_EQ(a[4 * 13], 53);
}

INSTANTIATE_TEST_SUITE_P(Paths, KernelTest, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "portable" : "fastest"; });

// The vector path against the portable one on random frames and tables,
// every mode, with and without the corrections: identical bits, identical
// hysteresis state.
class KernelPathsTest : public EngineTest {};

using tarvo::epc::KernelPath;

// The vector paths this processor has.
std::vector<KernelPath> vector_paths() {
    std::vector<KernelPath> v;
    if (tarvo::epc::kernel_vector_available()) v.push_back(KernelPath::avx2);
    if (tarvo::epc::kernel_avx512_available()) {
        v.push_back(KernelPath::avx512_gather);
        v.push_back(KernelPath::avx512);
    }
    return v;
}

TEST_F(KernelPathsTest, VectorPathIsBitExact) {
    if (!tarvo::epc::kernel_vector_available()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(0, 4095), small(-3, 3);
    tarvo_test::write_file(
        epc_test::images_name(1), epc_test::images_file(30, C, R, [&](int k, int) {
            return static_cast<uint16_t>(std::max(0, 800 + 900 * k + 150 * small(rng)));
        }));
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    calibrationLoadDRNU_LUT();
    configLoadParameters();
    int16_t temps[2] = {402, 377};
    temperatureSetTemperatureByFrameHeader(temps);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        Frame f(P);
        if (round < 12) {
            // Random samples: every lane in its own segment.
            for (auto &v : f.s) {
                int r = sample(rng);
                v = static_cast<uint16_t>(r < 20 ? (r < 10 ? 0 : 4095)
                                                 : (r | (round & 1 ? 0xF000 : 0)));
            }
        } else {
            // A noisy ramp: neighbours share a segment or straddle one.
            for (int p = 0; p < P; ++p) {
                double ph = 700 + (p % C) * 65 + 40 * small(rng) + round * 50;
                double a = (ph + 15000) * M_PI / 15000;
                f.set(static_cast<size_t>(p), static_cast<int>(900 * std::sin(a)),
                      static_cast<int>(900 * std::cos(a)));
            }
        }
        const int mode = round % 4;
        state().drnu_mode = (round / 4) % 2 ? 2 : 0;
        state().temperature_correction = (round / 8) % 2;
        state().default_offset_enabled = round % 3 ? 1 : 0;
        calibrationSetOffsetPhase(-6600 + 97 * round);
        state().modulationFrequency = round % 5 ? 12000 : 1500;
        // From round 20 on, N no longer matches the loaded table: both
        // paths read the pixel-major table instead of the step-major copy.
        state().num_distances = round >= 20 ? 29 : 30;
        hysteresisSetThresholds(round % 2 ? 30 : 0, 20);
        // Seed both hysteresis states with the same pattern.
        for (size_t p = 0; p < state().hyst_state.size(); ++p)
            state().hyst_state[p] = (p * 31) % 3 == 0;
        const auto seeded = state().hyst_state;
        const size_t esize = mode < 2 ? 2 : 4;
        std::vector<uint8_t> a(P * esize);
        tarvo::epc::kernel_limit_path(KernelPath::portable);
        ASSERT_EQ(calcDefPiDelayGetDataSorted_opt(mode, a.data(), f.s.data(), P), P);
        const auto hyst_a = state().hyst_state;
        for (KernelPath path : vector_paths()) {
            SCOPED_TRACE(static_cast<int>(path));
            std::vector<uint8_t> b(P * esize);
            state().hyst_state = seeded;
            tarvo::epc::kernel_limit_path(path);
            ASSERT_EQ(calcDefPiDelayGetDataSorted_opt(mode, b.data(), f.s.data(), P), P);
            for (size_t e = 0; e < static_cast<size_t>(P); ++e) {
                uint32_t va = 0, vb = 0;
                std::memcpy(&va, a.data() + e * esize, esize);
                std::memcpy(&vb, b.data() + e * esize, esize);
                ASSERT_EQ(va, vb) << "element " << e << " mode " << mode;
            }
            ASSERT_TRUE(hyst_a == state().hyst_state);
        }
        tarvo::epc::kernel_limit_path(KernelPath::avx512);
    }
}

// The AVX-512 path replaces the table gather by cubics that must give
// every one of the 4096 table values; they are checked when first used.
TEST_F(KernelPathsTest, CubicArcTangentMatchesTheWholeTable) {
    if (!tarvo::epc::kernel_avx512_available()) GTEST_SKIP() << "no AVX-512";
    EXPECT_TRUE(tarvo::epc::kernel_avx512_cubic_atan());
}

// The whole 328 x 252 sensor: the last columns of every row (328 is no
// multiple of the vector widths) go through the portable pixel, the rest
// through the vector paths. The samples sweep (H, D) over the circle,
// every H from -4092 to 4092 against a stepped D, so every octant, both
// axes and the diagonals come up; thresholds above 16 bits included.
TEST_F(KernelPathsTest, FullSensorAngleSweepAgreesOnEveryPath) {
    const int W = 328, Hh = 252, Q = W * Hh;
    pruSetSize(W, Hh / 2);
    ASSERT_EQ(state().cols * state().rows_per_half * state().halves, Q);
    tarvo_test::write_file(epc_test::images_name(1),
                           epc_test::images_file(30, W, Hh, [&](int k, int p) {
                               return static_cast<uint16_t>(600 + 950 * k + (p * 7) % 300);
                           }));
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    calibrationLoadDRNU_LUT();
    configLoadParameters();
    Frame f(Q);
    for (int p = 0; p < Q; ++p) {
        const int H = p % 8185 - 4092;
        const int D = (p / 8185 * 811 + p % 3) % 8185 - 4092;
        f.set(static_cast<size_t>(p), H, D);
    }
    f.set_raw(5, 0, 100, 100, 100);  // saturated samples: both ends
    f.set_raw(333, 100, 4095, 100, 100);
    // Then every position bright (the hysteresis switches on), then dim,
    // with amplitudes around both thresholds (some switch off, some stay).
    Frame bright(Q), dim(Q);
    for (int p = 0; p < Q; ++p) {
        bright.set(static_cast<size_t>(p), 1500 - p % 11, 900 + p % 7);
        dim.set(static_cast<size_t>(p), p % 301 * 2, 40 - p % 5 * 20);
    }
    for (int mode : {0, 2}) {
        for (int drnu : {0, 2}) {
            for (int amp : {0, 40, 300}) {
                SCOPED_TRACE(testing::Message()
                             << "mode " << mode << " drnu " << drnu << " amp " << amp);
                state().drnu_mode = drnu;
                const size_t esize = mode < 2 ? 2 : 4;
                // The three frames in turn on one path: their outputs and
                // the hysteresis state after each.
                auto run_path = [&](KernelPath path) {
                    tarvo::epc::kernel_limit_path(path);
                    hysteresisSetThresholds(amp, 20);
                    std::vector<std::vector<uint8_t>> r;
                    for (const Frame *fr : {&f, &bright, &dim}) {
                        std::vector<uint8_t> out(Q * esize);
                        EXPECT_EQ(
                            calcDefPiDelayGetDataSorted_opt(mode, out.data(), fr->s.data(), Q), Q);
                        r.push_back(std::move(out));
                        r.emplace_back(state().hyst_state.begin(), state().hyst_state.end());
                    }
                    return r;
                };
                const auto a = run_path(KernelPath::portable);
                for (KernelPath path : vector_paths()) {
                    SCOPED_TRACE(static_cast<int>(path));
                    const auto b = run_path(path);
                    for (size_t e = 0; e < a.size(); ++e)
                        ASSERT_TRUE(a[e] == b[e]) << "result " << e;
                }
                tarvo::epc::kernel_limit_path(KernelPath::avx512);
            }
        }
    }
}

}  // namespace
