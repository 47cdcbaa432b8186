// Each vector path (AVX2, AVX-512) of the point clouds and the colour
// pictures against the portable loops, bit for bit, on random images holding every kind of
// value a distance image can carry: NaN, infinities, 0, 60 m, the invalid
// codes, negative and tiny values.
#include "frame/frame_vec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarvo/tarvo.h"

namespace {

using tarvo::frame_vec::Path;
using tarvo::frame_vec::set_widest;

std::vector<float> random_image(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> metres(0.0f, 70.0f);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              0.0f,
                              -0.0f,
                              60.0f,
                              65.3f,
                              65.5f,
                              65.4f,
                              -1.0f,
                              1e-30f,
                              59.99999f,
                              std::nextafter(60.0f, 0.0f)};
    std::vector<float> img(static_cast<size_t>(n));
    for (float &v : img) {
        const uint32_t r = rng();
        v = r % 4 == 0 ? specials[(r >> 8) % (sizeof specials / sizeof specials[0])] : metres(rng);
    }
    return img;
}

class FrameVector : public ::testing::TestWithParam<Path> {
  protected:
    void SetUp() override {
        tarvo_init("frame_vec_test.log");
        if (!set_widest(GetParam())) GTEST_SKIP() << "not on this processor";
    }
    void TearDown() override {
        set_widest(Path::avx512);
        tarvo_uninit();
    }

    // Both paths of one call: the result and every output byte agree.
    template <class F>
    void agree(size_t bytes, F &&call, const char *what) {
        std::vector<uint8_t> a(bytes, 0xA5), b(bytes, 0xA5);
        set_widest(Path::portable);
        const int na = call(a.data());
        set_widest(GetParam());
        const int nb = call(b.data());
        EXPECT_EQ(na, nb) << what;
        for (size_t i = 0; i < bytes; ++i)
            if (a[i] != b[i]) {
                ADD_FAILURE() << what << ": first difference at byte " << i;
                return;
            }
    }
};

TEST_P(FrameVector, PointCloudsMatchThePortableLoop) {
    tarvo_dev_t dev{};
    const tarvo_camera_param_t cams[] = {
        {161.3f, 118.7f, 212.5f, 211.9f, 1.0f},
        {3.5f, 2.25f, 1.7f, 2.9f, 1000.0f},  // millimetres; far pixels give NaN depths
        {0.0f, 0.0f, 1.0f, 1.0f, std::numeric_limits<float>::quiet_NaN()},
    };
    // A full image, and a narrow one whose rows end in part groups.
    const int sizes[][2] = {{320, 240}, {37, 11}};
    uint32_t seed = 1;
    for (const auto &sz : sizes) {
        const int w = sz[0], h = sz[1], px = w * h;
        const std::vector<float> img = random_image(px, seed++);
        for (const tarvo_camera_param_t &cam : cams) {
            tarvo_cmap_float(nullptr, 0, nullptr, 0, TARVO_CMAP_OUTFMT_RGB, 0.5f, 7.5f);
            // Room for every point, and room that ends inside the image
            // (not a whole number of points).
            for (int len : {4 * px, px / 3 + 2}) {
                const size_t bytes = sizeof(float) * static_cast<size_t>(len);
                agree(
                    bytes,
                    [&](uint8_t *o) {
                        return tarvo_frame_get_pcl(&dev, reinterpret_cast<float *>(o), len,
                                                   img.data(), px, w, h, &cam);
                    },
                    "pcl");
                for (bool pseudo : {false, true})
                    agree(
                        bytes,
                        [&](uint8_t *o) {
                            return tarvo_frame_get_pcl_xyzd(&dev, reinterpret_cast<float *>(o), len,
                                                            img.data(), px, w, h, pseudo, &cam);
                        },
                        pseudo ? "xyzd pseudo colour" : "xyzd");
            }
        }
    }
}

TEST_P(FrameVector, ColourPicturesMatchThePortableLoop) {
    const int px = 320 * 240 + 7;
    const std::vector<float> img = random_image(px, 99);
    // Ordinary, reversed, empty (scales size and 255) and vast ranges, one
    // whose offsets pass 2^16 at a scale that moves the index, and one that
    // holds the invalid codes.
    const float ranges[][2] = {{0.5f, 3.5f},  {9.0f, 0.2f},      {2.0f, 2.0f},  {-3e6f, 3e6f},
                               {0.0f, 65.5f}, {-100.0f, 100.0f}, {63.0f, 66.0f}};
    for (const auto &r : ranges)
        for (int fmt : {TARVO_CMAP_OUTFMT_RGB, TARVO_CMAP_OUTFMT_RGB32, TARVO_CMAP_OUTFMT_BGR}) {
            const int bpp = fmt == TARVO_CMAP_OUTFMT_RGB32 ? 4 : 3;
            for (int len : {bpp * px, bpp * 1000 + 2}) {
                agree(
                    static_cast<size_t>(len),
                    [&](uint8_t *o) {
                        return tarvo_cmap_float(o, len, img.data(), px, fmt, r[0], r[1]);
                    },
                    "cmap_float");
            }
        }
}

std::string path_name(const ::testing::TestParamInfo<Path> &i) {
    return i.param == Path::avx2 ? "Avx2" : "Avx512";
}

INSTANTIATE_TEST_SUITE_P(Paths, FrameVector, ::testing::Values(Path::avx2, Path::avx512),
                         path_name);

}  // namespace
