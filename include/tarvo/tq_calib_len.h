/*
 * libtarvo: lens undistortion.
 *
 * A lens record (pinhole camera matrix and radial-tangential distortion
 * coefficients) is turned once into a lookup map that gives, for every
 * pixel of the corrected image, the position to sample in the raw image.
 * The corrected image is scaled so that it shows the whole field of view of
 * the raw image, leaving unfilled corners. Applying the map is a
 * nearest-neighbour gather; one map serves every image size that divides
 * the map size by whole factors.
 *
 * Also here: the few 3x3 and 4x4 matrix routines the map builder uses.
 * Matrices are arrays of doubles in row-major order (3x3: element (r, c)
 * at 3r + c; 4x4: at 4r + c). Routines that allocate use the C allocator;
 * release their results with free(). The matrix routines touch only their
 * arguments, never block and may be called from any thread.
 *
 * Nothing here takes a lock. A map may be applied from several threads at
 * once, but must not be built or released while another thread applies it.
 */
#ifndef TQ_CALIB_LEN_H
#define TQ_CALIB_LEN_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

/** Lens parameters of one camera at one image size. */
struct tq_lens_param {
    double cx;        /**< principal point, x, pixels */
    double cy;        /**< principal point, y, pixels */
    double fx;        /**< focal length, x, pixels */
    double fy;        /**< focal length, y, pixels */
    double dcoeff[5]; /**< distortion coefficients k1, k2, p1, p2, k3 */
    int32_t img_w;    /**< image width the parameters belong to */
    int32_t img_h;    /**< image height */
};

/**
 * An undistortion map. Create it zero-filled (unbuilt), build it with
 * tq_calib_len_init_map(), release it with tq_calib_len_uninit_map(). The
 * map owns its two arrays.
 */
typedef struct tq_calib_len_map {
    float *map_x;   /**< `size` raw-image x positions; corrected pixel (u, v) at v * width + u */
    float *map_y;   /**< `size` raw-image y positions */
    int32_t size;   /**< width * height */
    int32_t width;  /**< map width (the lens record's img_w) */
    int32_t height; /**< map height (the lens record's img_h) */
    int32_t roi[4]; /**< valid rectangle of the corrected image: x, y, w, h (not clipped) */
    uint8_t inited; /**< 1 while the arrays are allocated */
    /** Owned by the map, layout private to the library: the full-size
     *  sampling of map_x and map_y as raw-pixel indices, built together with
     *  them so that undistorting a full-size image is a plain gather. Null
     *  for a map built elsewhere, which is then sampled from map_x and
     *  map_y. Treat map_x, map_y and this table as read-only. */
    int32_t *src_index;
    /** The new camera matrix K' the map resamples into, as fx, fy, cx, cy
     *  in pixels of the map's size: the camera parameters of the corrected
     *  image. Zero while the map is not built. */
    double new_cam[4];
} tq_calib_len_map_t;

/**
 * Builds `map` for `lens`, releasing whatever the map held before.
 *
 * @param map   the map to build (in/out); a zero-filled or built map.
 * @param lens  lens parameters (in).
 * @return the number of map entries (img_w * img_h). 0 when the map is left
 *         unbuilt (inited 0, size 0, no arrays): a null argument, img_w or
 *         img_h below 2, a size beyond the int range, a lens record whose
 *         rescaled camera matrix is not finite or not invertible, or memory
 *         that could not be allocated. Nothing is logged.
 *
 * Does not block. One thread: not while the map is being applied.
 */
TARVO_API int tq_calib_len_init_map(tq_calib_len_map_t *map, const tq_lens_param_t *lens);

/**
 * Releases the arrays of a built map and clears `inited` and `size`. An
 * unbuilt map (or null) is left alone, so a second call does nothing.
 * One thread: not while the map is being applied.
 */
TARVO_API void tq_calib_len_uninit_map(tq_calib_len_map_t *map);

/**
 * Writes the corrected `src_w` x `src_h` image of `src` into `dst`.
 *
 * The map must be a whole multiple of the image in each direction (factors
 * bx = width / src_w, by = height / src_h); output pixel (x, y) takes map
 * entry (x * bx, y * by), scales its position by 1/bx, 1/by, rounds to the
 * nearest raw pixel and copies it, or writes `invalid_value` when that
 * position is outside the image (or not a number).
 *
 * @param map            a built map (in).
 * @param dst            corrected image, src_w * src_h floats (out).
 * @param dst_len        capacity of `dst` in floats.
 * @param src            raw image, src_w * src_h floats (in); must not overlap dst.
 * @param src_w, src_h   image size.
 * @param invalid_value  value of pixels that see nothing of the raw image.
 * @return 1 on success, and also (writing nothing) when src_w or src_h is 0
 *         or below; 0 after an ERR line "[tq_calib_len_undistort] Wrong
 *         parameter: ..." when the map is unbuilt or not a whole multiple of
 *         the image, when src_w * src_h > dst_len, or when src or dst is null.
 *
 * Does not block, allocates nothing. Any thread.
 */
TARVO_API int tq_calib_len_undistort(const tq_calib_len_map_t *map, float *dst, int dst_len,
                                     const float *src, int src_w, int src_h, float invalid_value);

/**
 * Allocates a zero-filled 3x3 matrix and copies `src` (9 doubles) into it
 * when `src` is not null. Returns the matrix, or null when memory runs out.
 * Any thread.
 */
TARVO_API double *mat3_create(const double *src);

/** Copies the 9 elements of `src` into `dst`; returns `dst` (null if either is null). */
TARVO_API double *mat3_set(const double *src, double *dst);

/**
 * Sets `dst` to the identity, allocating a new matrix when `dst` is null.
 * Returns the matrix, or null when the allocation failed.
 */
TARVO_API double *mat3_identity(double *dst);

/**
 * Inverts the 3x3 matrix `mat` into `dst` (into `mat` itself when `dst` is
 * null) through a temporary 4x4 matrix and mat4_toInverseMat3().
 * Returns the target. When the matrix is singular (determinant exactly 0)
 * the target is left untouched and still returned. Returns null only when
 * `mat` is null or the temporary matrix could not be allocated.
 */
TARVO_API double *mat3_inverse(double *mat, double *dst);

/**
 * Allocates a zero-filled 4x4 matrix and copies `src` (16 doubles) into it
 * when `src` is not null. Returns the matrix, or null when memory runs out.
 */
TARVO_API double *mat4_create(const double *src);

/**
 * Inverts the upper-left 3x3 block A of the 4x4 matrix `mat` by the
 * adjugate (adj(A) / det(A), the determinant expanded along the first row)
 * into the 3x3 matrix `dst`, allocating `dst` when it is null.
 * Returns the target; null, with the target untouched (and nothing
 * allocated), when det(A) is exactly 0, when `mat` is null or when the
 * allocation failed.
 */
TARVO_API double *mat4_toInverseMat3(const double *mat, double *dst);

TARVO_END_DECLS

#endif /* TQ_CALIB_LEN_H */
