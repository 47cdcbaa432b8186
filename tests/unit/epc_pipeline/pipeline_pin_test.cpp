// The engine's pipeline pinned to the bit: every kernel family and output
// type, both part-type scalings and the image steps, run over full-size
// seeded images (with saturated, ADC-limit and out-of-mask samples), give
// the checksums the straightforward per-pixel calculator gave. Any faster
// form of the pipeline must keep them.
#include <cstdint>
#include <vector>

#include "epc/calc_pixel.h"
#include "pipe_test_util.h"

namespace {

using tarvo::epc::state;

// FNV-1a over 16-bit values.
uint64_t fnv(const uint16_t *p, int n, uint64_t h) {
    for (int i = 0; i < n; ++i) {
        h = (h ^ (p[i] & 0xFF)) * 1099511628211ull;
        h = (h ^ (p[i] >> 8)) * 1099511628211ull;
    }
    return h;
}

// Full-size samples: mostly mid-scale signal, with a few per mille at 0,
// at 4095, or carrying bits above the pixel mask.
std::vector<uint16_t> seeded_image(size_t samples, uint32_t seed) {
    std::vector<uint16_t> s(samples);
    uint32_t x = seed;
    for (auto &v : s) {
        x = x * 1103515245u + 12345u;
        const uint32_t r = x >> 8;
        v = static_cast<uint16_t>(1048 + r % 2000);
        switch (r % 997) {
            case 0:
                v = 0;
                break;
            case 1:
                v = 4095;
                break;
            case 2:
                v = static_cast<uint16_t>(v | 0xF000);
                break;
            case 3:
                v = 0xFFFF;
                break;
            default:
                break;
        }
    }
    return s;
}

class PipelinePin : public pipe_test::PipeTest {
  protected:
    // Three frames per configuration, so that the hysteresis and the
    // temporal steps carry state from one to the next.
    uint64_t run(int (*fn)(uint16_t **), uint64_t h) {
        const auto &s = state();
        const size_t samples =
            static_cast<size_t>(s.cols) * s.rows_per_half * s.halves * s.dcs_count;
        for (uint32_t f = 0; f < 3; ++f) {
            set_image(seeded_image(samples, 7 + f));
            uint16_t *out = nullptr;
            const int n = fn(&out);
            EXPECT_GT(n, 0);
            if (n <= 0 || !out) return h;
            h = fnv(out, n, h);
        }
        return h;
    }
    void configure(int pi, int mgx, int pn, int part) {
        tarvo::epc::reset_state();
        tarvo::epc::pipeline_reset();
        state().partType = part;
        state().dcs_count = pi ? 4 : 2;
        apiSetMinAmplitude(30);
        apiSetHysteresis(20);
        apiEnableAdcOverflow(1);
        saturationEnable(1);
        calculationEnablePiDelay(pi);
        calculationEnableDualMGX(mgx);
        calculationEnablePN(pn);
    }
};

TEST_F(PipelinePin, EveryKernelAndTypeKeepsItsBits) {
    struct Case {
        int pi, mgx, pn, part;
        uint64_t expect;
    };
    // pi-delay, dual MGX, PN, part type (4: samples scaled down by 16).
    const Case cases[] = {
        {0, 0, 0, 0, 0xdf38f13acff60b5cull}, {1, 0, 0, 0, 0x8d7146bf655a8ed2ull},
        {0, 1, 0, 0, 0x0809e2c5f31dcf05ull}, {1, 1, 0, 0, 0x506b826c93b910f5ull},
        {0, 0, 1, 0, 0x2d3908fb2691b29dull}, {1, 0, 1, 0, 0xdaf3e2f3cd81fdbbull},
        {0, 1, 1, 0, 0x48092a60d3be2a05ull}, {1, 1, 1, 0, 0x3285a30e96f7a873ull},
        {0, 0, 0, 4, 0x41c97c4d5e40fdabull}, {1, 0, 0, 4, 0xfe2f33e7cc9c72bfull},
        {1, 1, 1, 4, 0xa1b32f96e339b88cull},
    };
    for (const Case &c : cases)
        // The four-sample sine kernels have a vector form: both must agree.
        for (bool vec : {true, false}) {
            if (!vec && !(c.pi && !c.pn)) continue;
            tarvo::epc::set_kernels_vector(vec);
            uint64_t h = 1469598103934665603ull;
            configure(c.pi, c.mgx, c.pn, c.part);
            h = run(calculationDistanceSorted, h);
            configure(c.pi, c.mgx, c.pn, c.part);
            h = run(calculationAmplitudeSorted, h);
            configure(c.pi, c.mgx, c.pn, c.part);
            h = run(calculationDistanceAndAmplitudeSorted, h);
            if (c.pi && !c.mgx && !c.pn) {
                configure(c.pi, c.mgx, c.pn, c.part);
                calculationEnableDcsSumFilter(1);
                h = run(calculationDistanceAndAmplitudeSorted, h);
            }
            EXPECT_EQ(h, c.expect)
                << "pi " << c.pi << " mgx " << c.mgx << " pn " << c.pn << " part " << c.part
                << " vector " << vec << ": 0x" << std::hex << h;
        }
    tarvo::epc::set_kernels_vector(true);
}

TEST_F(PipelinePin, ImageStepsAndTemporalFilteringKeepTheirBits) {
    uint64_t h = 1469598103934665603ull;
    configure(1, 0, 0, 0);
    imageSetProcessing(2);
    imageSetNumberOfPicture(4);
    imageDifferenceSetThreshold(20);
    calculationInitKalman();
    calculationEnableKalman(2);
    h = run(calculationDistanceSorted, h);
    configure(1, 0, 0, 0);
    imageSetProcessing(1);
    calculationInitKalman();
    calculationEnableKalman(1);
    h = run(calculationDistanceAndAmplitudeSorted, h);
    EXPECT_EQ(h, 0x115d7120935d80baull) << "0x" << std::hex << h;
}

}  // namespace
