// Colour maps: a palette computed once, a value range and two lookups.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "frame/cmap_default.h"
#include "frame/frame_vec.h"

namespace {

// A ramp value: evaluated in double in the order written, rounded to
// single precision, truncated toward zero.
uint32_t ramp(double v) {
    return static_cast<uint32_t>(std::trunc(static_cast<float>(v)));
}

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

// The range and the scales may be set on one thread while another looks
// colours up (the default map is shared by the whole process): they are
// read and written as relaxed atomics, field by field.
template <class T>
T get(const T &field) {
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_relaxed);
}
template <class T>
void put(T &field, T v) {
    std::atomic_ref<T>(field).store(v, std::memory_order_relaxed);
}

// trunc(v) as an integer, v first clamped to [-2^32, hi] and a NaN taken
// as 0: the scales are public fields an application may have set to
// anything.
int64_t trunc_clamped(double v, double hi) {
    if (v != v) return 0;
    if (v < -4294967296.0) v = -4294967296.0;
    if (v > hi) v = hi;
    return static_cast<int64_t>(v);
}

}  // namespace

namespace tarvo {
tq_cmap_t &default_cmap() {
    return g_default_cmap;
}

bool frame_vec::cmap_view(const tq_cmap_t &cmap, CmapView &view) {
    if (!cmap.palette || cmap.size < 1) return false;
    view = CmapView{cmap.palette,          cmap.size, get(cmap.range_min), get(cmap.range_max),
                    get(cmap.color_scale), nullptr};
    return true;
}
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
        put(cmap->color_scale, static_cast<float>(cmap->size / 1.0));
        put(cmap->gray_scale, 255.0f);
        return;
    }
    if (d < 0) {
        std::swap(min, max);
        d = -d;
    }
    put(cmap->range_min, min);
    put(cmap->range_max, max);
    put(cmap->color_scale, static_cast<float>(cmap->size) / static_cast<float>(d));
    put(cmap->gray_scale, static_cast<float>(255.0 / static_cast<double>(d)));
}

TARVO_API uint32_t tq_cmap_get_color(const tq_cmap_t *cmap, int value) {
    if (value == TQ_DIST_LOW_AMP) return 0;
    if (value == TQ_DIST_SATURATED) return 0x8000FF;
    if (value == TQ_DIST_ADC_OVERFLOW) return 0xFF0EA9;
    if (!cmap || !cmap->palette || cmap->size < 1) return 0;
    const int lo = get(cmap->range_min);
    if (value < lo || value > get(cmap->range_max)) return 0;
    // The product is taken in double, as the float operands promote: with a
    // scale such as 0.255f a float product would round up to a whole number
    // and shift the entry.
    double scaled = static_cast<double>(static_cast<float>(static_cast<int64_t>(value) - lo)) *
                    static_cast<double>(get(cmap->color_scale));
    // The scaled value lies within [0, size] for any range the map accepts;
    // clamp before converting so that a hand-edited scale cannot overflow.
    int64_t index = static_cast<int64_t>(cmap->size) - trunc_clamped(scaled, 4294967296.0);
    if (index <= 0) return cmap->palette[0];
    if (index >= cmap->size) return cmap->palette[cmap->size - 1];
    return cmap->palette[index];
}

TARVO_API uint32_t tq_cmap_get_gray(const tq_cmap_t *cmap, int value) {
    if (value == TQ_DIST_SATURATED) return 0x8000FF;
    if (value == TQ_DIST_ADC_OVERFLOW) return 0xFF0EA9;
    if (!cmap) return 0;
    const int lo = get(cmap->range_min);
    if (value > get(cmap->range_max)) return 0xFFFFFF;
    if (value < lo) return 0;
    double scaled = static_cast<double>(static_cast<float>(static_cast<int64_t>(value) - lo)) *
                    static_cast<double>(get(cmap->gray_scale));
    uint32_t g = static_cast<uint32_t>(trunc_clamped(scaled, 4294967295.0)) & 0xFF;
    return g * 0x010101u;
}

}  // extern "C"
