// Colour maps: a palette computed once, a value range and two lookups.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "frame/cmap_default.h"

namespace {

// A ramp value: evaluated in double in the order written, rounded to
// single precision, truncated toward zero.
uint32_t ramp(double v) { return static_cast<uint32_t>(std::trunc(static_cast<float>(v))); }

uint32_t blue_of(float x) {
    if (x >= -0.375f && x < -0.125f) return ramp((x + 0.375) * 255 * 4);
    if (x >= -0.125f && x < 0.125f) return 255;
    if (x >= 0.125f && x < 0.375f) return ramp((x - 0.125) * (-255) * 4 + 255);
    return 0;
}

uint32_t green_of(float x) {
    if (x >= -0.125f && x < 0.125f) return ramp((x + 0.125) * 255 * 4);
    if (x >= 0.125f && x < 0.375f) return 255;
    if (x >= 0.375f && x < 0.75f) return ramp((x - 0.375) * (-255) / 0.375 + 255);
    return 0;
}

uint32_t red_of(float x) {
    if (x >= 0.125f && x < 0.375f) return ramp((x - 0.125) * 255 * 4);
    if (x >= 0.375f && x < 0.625f) return 255;
    if (x >= 0.625f && x < 1.125f) return ramp((x - 0.625) * (-255) * 2 + 255);
    return 0;
}

tq_cmap_t g_default_cmap;

}  // namespace

namespace tarvo {
tq_cmap_t &default_cmap() { return g_default_cmap; }
}  // namespace tarvo

extern "C" {

TARVO_API uint32_t *tq_cmap_init(tq_cmap_t *cmap, int size) {
    if (!cmap) return nullptr;
    cmap->size = 0;
    cmap->range_min = 0;
    cmap->range_max = 256;
    cmap->color_scale = 0.0f;
    cmap->gray_scale = 0.0f;
    cmap->palette = nullptr;
    if (size < 1) return nullptr;
    auto *pal = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * static_cast<size_t>(size)));
    if (!pal) return nullptr;
    for (int i = 0; i < size; ++i) {
        float x = static_cast<float>(i) / static_cast<float>(size) - 0.25f;
        pal[i] = blue_of(x) << 16 | green_of(x) << 8 | red_of(x);
    }
    cmap->size = size;
    cmap->palette = pal;
    return pal;
}

TARVO_API void tq_cmap_uninit(tq_cmap_t *cmap) {
    if (!cmap || !cmap->palette) return;
    std::free(cmap->palette);
    cmap->palette = nullptr;
    cmap->size = 0;
}

TARVO_API void tq_cmap_set_range(tq_cmap_t *cmap, int min, int max) {
    if (!cmap) return;
    int64_t d = static_cast<int64_t>(max) - min;
    if (d == 0) {
        cmap->color_scale = static_cast<float>(cmap->size / 1.0);
        cmap->gray_scale = 255.0f;
        return;
    }
    if (d > 0) {
        cmap->range_min = min;
        cmap->range_max = max;
    } else {
        cmap->range_min = max;
        cmap->range_max = min;
        d = -d;
    }
    cmap->color_scale = static_cast<float>(cmap->size) / static_cast<float>(d);
    cmap->gray_scale = static_cast<float>(255.0 / static_cast<double>(d));
}

TARVO_API uint32_t tq_cmap_get_color(const tq_cmap_t *cmap, int value) {
    if (value == TQ_DIST_LOW_AMP) return 0;
    if (value == TQ_DIST_SATURATED) return 0x8000FF;
    if (value == TQ_DIST_ADC_OVERFLOW) return 0xFF0EA9;
    if (!cmap || !cmap->palette || cmap->size < 1) return 0;
    if (value < cmap->range_min || value > cmap->range_max) return 0;
    // The product is taken in double, as the float operands promote: with a
    // scale such as 0.255f a float product would round up to a whole number
    // and shift the entry.
    double scaled = static_cast<double>(static_cast<float>(static_cast<int64_t>(value) -
                                                           cmap->range_min)) *
                    static_cast<double>(cmap->color_scale);
    // The scaled value lies within [0, size] for any range the map accepts;
    // clamp before converting so that a hand-edited scale cannot overflow.
    double t = std::trunc(scaled);
    if (t > 4294967296.0) t = 4294967296.0;
    int64_t index = static_cast<int64_t>(cmap->size) - static_cast<int64_t>(t);
    if (index <= 0) return cmap->palette[0];
    if (index >= cmap->size) return cmap->palette[cmap->size - 1];
    return cmap->palette[index];
}

TARVO_API uint32_t tq_cmap_get_gray(const tq_cmap_t *cmap, int value) {
    if (value == TQ_DIST_SATURATED) return 0x8000FF;
    if (value == TQ_DIST_ADC_OVERFLOW) return 0xFF0EA9;
    if (!cmap) return 0;
    if (value > cmap->range_max) return 0xFFFFFF;
    if (value < cmap->range_min) return 0;
    double scaled = static_cast<double>(static_cast<float>(static_cast<int64_t>(value) -
                                                           cmap->range_min)) *
                    static_cast<double>(cmap->gray_scale);
    double t = std::trunc(scaled);
    if (t > 4294967295.0) t = 4294967295.0;
    uint32_t g = static_cast<uint32_t>(static_cast<int64_t>(t)) & 0xFF;
    return g * 0x010101u;
}

}  // extern "C"
