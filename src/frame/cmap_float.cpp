// Colour-mapped pictures of distance images, drawn with the default
// colour map.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "frame/cmap_default.h"
#include "frame/cmap_mm.h"
#include "frame/frame_vec.h"
#include "tarvo/tarvo_frame.h"
#include "tarvo/tq_cmap.h"

extern "C" TARVO_API int tarvo_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len,
                                          int outfmt, float range_min, float range_max) {
    tq_cmap_t &cmap = tarvo::default_cmap();
    // The range changes for every call, whatever the format.
    tq_cmap_set_range(&cmap, tarvo::cmap_mm::from_metres(range_min, 0),
                      tarvo::cmap_mm::from_metres(range_max, 0));

    int bytes_per_pixel;
    switch (outfmt) {
        case TARVO_CMAP_OUTFMT_RGB32:
            bytes_per_pixel = 4;
            break;
        case TARVO_CMAP_OUTFMT_RGB:
        case TARVO_CMAP_OUTFMT_BGR:
            bytes_per_pixel = 3;
            break;
        default:
            return 0;
    }
    int n = dst_len / bytes_per_pixel;
    if (src_len < n) n = src_len;
    if (n <= 0) return n;
    if (!dst || !src) return 0;

    int i = 0;
    tarvo::frame_vec::CmapView view;
    const tarvo::frame_vec::Path path = tarvo::frame_vec::path();
    if (path != tarvo::frame_vec::Path::portable && tarvo::frame_vec::cmap_view(cmap, view)) {
        uint32_t *table = tarvo::frame_vec::mm_table(path, view, n);
        i = tarvo::frame_vec::cmap_pixels(path, view, src, n, outfmt, dst);
        std::free(table);
    }
    for (; i < n; ++i) {
        // A NaN pixel carries no distance: drawn as the low-amplitude code.
        const uint32_t c =
            tq_cmap_get_color(&cmap, tarvo::cmap_mm::from_metres(src[i], TQ_DIST_LOW_AMP));
        const uint8_t r = static_cast<uint8_t>(c);
        const uint8_t g = static_cast<uint8_t>(c >> 8);
        const uint8_t b = static_cast<uint8_t>(c >> 16);
        switch (outfmt) {
            case TARVO_CMAP_OUTFMT_RGB32:
                std::memcpy(dst + 4 * static_cast<size_t>(i), &c, 4);
                break;
            case TARVO_CMAP_OUTFMT_RGB: {
                uint8_t *p = dst + 3 * static_cast<size_t>(i);
                p[0] = r;
                p[1] = g;
                p[2] = b;
                break;
            }
            default: {
                uint8_t *p = dst + 3 * static_cast<size_t>(i);
                p[0] = b;
                p[1] = g;
                p[2] = r;
                break;
            }
        }
    }
    return n;
}
