/*
 * libtarvo: colour maps for distance images.
 *
 * A palette of packed colours 0x00BBGGRR running from dark blue through
 * blue, cyan, yellow and orange to dark red, a value range in integer units
 * (the library uses millimetres) and two lookups. The lower end of the
 * range is drawn dark red (near), the upper end dark blue (far).
 *
 * A colour map is not locked: a range change on one thread may be seen
 * half-done by a lookup on another.
 */
#ifndef TQ_CMAP_H
#define TQ_CMAP_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

/** Distance codes (millimetres) with fixed colours. */
#define TQ_DIST_LOW_AMP 65300
#define TQ_DIST_SATURATED 65400
#define TQ_DIST_ADC_OVERFLOW 65500

/** A colour map: a palette over a value range, with its scale factors. */
typedef struct tq_cmap {
    int32_t size;      /**< palette entries */
    int32_t range_min; /**< lower limit of the value range */
    int32_t range_max; /**< upper limit of the value range */
    float color_scale; /**< palette entries per value unit */
    float gray_scale;  /**< gray levels per value unit */
    uint32_t *palette; /**< `size` packed colours, owned by the map */
} tq_cmap_t;

/**
 * Builds a palette of `size` entries with range [0, 256] and both scales 0.
 * Returns the palette, or null when `size` < 1 or memory runs out (the map
 * is then empty: size 0, no palette, and lookups return 0).
 */
TARVO_API uint32_t *tq_cmap_init(tq_cmap_t *cmap, int size);
/** Releases the palette; a released map is left alone. */
TARVO_API void tq_cmap_uninit(tq_cmap_t *cmap);
/** Sets the value range (either order) and both scales; min == max keeps the limits. */
TARVO_API void tq_cmap_set_range(tq_cmap_t *cmap, int min, int max);
/** Packed colour of `value`; 0 outside the range and for TQ_DIST_LOW_AMP. */
TARVO_API uint32_t tq_cmap_get_color(const tq_cmap_t *cmap, int value);
/** Packed gray of `value`: black at the lower limit, white above the upper one. */
TARVO_API uint32_t tq_cmap_get_gray(const tq_cmap_t *cmap, int value);

TARVO_END_DECLS

#endif /* TQ_CMAP_H */
