/* The camera lens: its parameters (pinhole with radial and tangential distortion), the
 * undistortion map built from them and the resampling of images through it.
 *
 * The library keeps one process-wide set of lens parameters, starting from built-in defaults
 * (Cx 157.262, Cy 122.083, Fx 210.783, Fy 204.817, dcoeff {-0.378924, 0.145035, -0.000970854,
 * 6.20728e-05, -0.0133954}, 320 x 240) and replaced from the file "lens_param.txt" under the path
 * prefix when undistortion is switched on (filter TARVO_FILTER_UNDISTORT). The EPC driver builds
 * its undistortion map from them.
 *
 * Distortion model, on normalised coordinates (x, y) = ((u - Cx) / Fx, (v - Cy) / Fy) of the
 * undistorted image, r^2 = x^2 + y^2:
 *   x_d = x (1 + k1 r^2 + k2 r^4 + k3 r^6) + 2 p1 x y + p2 (r^2 + 2 x^2)
 *   y_d = y (1 + k1 r^2 + k2 r^4 + k3 r^6) + p1 (r^2 + 2 y^2) + 2 p2 x y
 * with (k1, k2, p1, p2, k3) = dcoeff[0..4]. */
#ifndef TARVO_LENS_H
#define TARVO_LENS_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/drv.h>
#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* Lens parameters for images of img_w x img_h pixels. */
typedef struct zr_lens_param {
    double Cx;        /* principal point x, pixels */
    double Cy;        /* principal point y, pixels */
    double Fx;        /* focal length x, pixels */
    double Fy;        /* focal length y, pixels */
    double dcoeff[5]; /* k1, k2, p1, p2, k3 */
    int32_t img_w;    /* image width the parameters refer to */
    int32_t img_h;    /* image height */
} zr_lens_param_t;

/* An undistortion map: for every pixel of the undistorted image, the position in the distorted
 * (raw) image that it shows. The undistorted image has its own camera matrix, chosen so that
 * the whole undistorted field of view fits into map_w x map_h; its corners therefore hold
 * pixels that the sensor does not see.
 *
 * The caller owns the record; zero it before the first zr_calib_len_init_map. The arrays belong
 * to the record while map_valid is 1 and are not to be changed. */
typedef struct zr_calib_len {
    float *map_x;          /* map_w x map_h source x positions, row-major */
    float *map_y;          /* map_w x map_h source y positions */
    int32_t map_size;      /* map_w x map_h */
    int32_t map_w;         /* the lens parameters' img_w */
    int32_t map_h;         /* the lens parameters' img_h */
    int32_t valid_rect[4]; /* x, y, width, height of the part with source pixels everywhere */
    uint8_t map_valid;     /* 1 while the arrays are allocated */
} zr_calib_len_t;

/* Builds the map for `lens` (img_w x img_h, each 2 to 4096), first releasing a map the record
 * holds. Returns map_w x map_h, or 0 with map_valid 0 and a log line when the parameters are
 * unusable (sizes out of range, focal lengths not positive, values that are not numbers) or
 * memory runs out.
 * Thread context: reentrant; the record must not be in use by another thread meanwhile. */
TARVO_API int zr_calib_len_init_map(zr_calib_len_t *calib, const zr_lens_param_t *lens);

/* Frees the arrays when map_valid and clears it; safe to call again. Thread context: as init. */
TARVO_API void zr_calib_len_uninit_map(zr_calib_len_t *calib);

/* Resamples the width x height float image src into dst (dst_len floats) by nearest neighbour
 * through the map; width and height must divide the map's size (every bx-th column and by-th row
 * of the map serves a binned image, its positions divided by bx and by). Output pixels whose
 * source lies outside the image get `fill`. Returns 1, or 0 with a log line and dst untouched
 * when the map is not valid, the size does not divide it or is zero or less, or dst_len is
 * smaller than width x height.
 * Thread context: reentrant; any number of threads may undistort through one record. */
TARVO_API int zr_calib_len_undistort(zr_calib_len_t *calib, float *dst, int dst_len,
                                     const float *src, int width, int height, float fill);

/* Loads "lens_param.txt" from the device's path prefix into the process-wide lens parameters:
 * eleven lines, one value each (Cx, Cy, Fx, Fy, dcoeff[0..4] with "%lf"; img_w, img_h with "%i",
 * so 0x140 is 320); only the first blank-separated token of a line counts. Returns true when the
 * file has exactly eleven lines and every value converted. A line that does not hold a usable
 * value (text, a number that is not finite, a focal length not above 0, a size outside 2 to
 * 4096, or a line longer than 255 characters, which also ends the reading) keeps that field's
 * previous value and makes the result false; the other values read are stored either way. A
 * missing file keeps the parameters and returns false.
 * Thread context: thread-safe; readers see the parameters of before or after the whole load. */
TARVO_API bool _zr_update_len_param(tarvo_dev_t *dev);

/* The EPC driver's lens parameters for distance images of width x height (the driver slot
 * lens_param_get). For raw images: the process-wide parameters scaled by img_w / width and
 * img_h / height, which must be whole numbers, distortion unchanged. When the driver undistorts
 * images of that size (filter TARVO_FILTER_UNDISTORT): the undistorted image's own camera
 * matrix, scaled the same way, with all distortion coefficients 0. False for a size of zero or
 * less, or one that does not divide the parameters' size.
 * Thread context: thread-safe. */
TARVO_API bool epc_lens_param_get(tarvo_drv_t *drv, zr_lens_param_t *out, int width, int height);

TARVO_END_DECLS

#endif /* TARVO_LENS_H */
