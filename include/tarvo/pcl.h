/* Point clouds from distance images.
 *
 * Geometry: every point lies on its pixel's viewing ray, at the pixel's distance along it (the
 * sensor measures the radial distance). With m = d x factor and the unit ray (rx, ry, rz) of
 * pixel (u, v), the point is (m rx, m ry, m rz); x grows with u, y with v, z along the optical
 * axis. So a flat wall comes out flat and z is never missing. (A projection that takes
 * x = m (u - cx) / fx and y = m (v - cy) / fy and then z = sqrt(m^2 - x^2 - y^2) puts the point
 * off its ray: walls come out bowed and wide-angle pixels get no z at all. For example, with
 * cx = cy = fx = fy = 1, pixel (2, 1) at d = 3 becomes (2.1213, 0, 2.1213) here, where that
 * projection gives (3, 0, 0).)
 *
 * The rays come from a table built once per camera model and image size and reused for every
 * frame:
 *   - with the caller's tarvo_camera_param_t: pinhole rays ((u - Cx) / Fx, (v - Cy) / Fy, 1);
 *   - without: the driver's lens parameters for the image size (its lens_param_get slot; see
 *     epc_lens_param_get): the lens model with its distortion for a raw image, and the
 *     undistorted image's own camera matrix when the driver undistorts.
 *
 * Points: only pixels with 0 < d < 60 (in the distance image's units, before the factor) give a
 * point, packed without gaps in row-major pixel order. The sensor's invalid codes (65.3, 65.4,
 * 65.5) and the pixels of an undistorted image that the sensor does not see (which the driver
 * marks 65.5) give none.
 *
 * Thread context: thread-safe. The device is marked busy while the points are written, so a
 * close on another thread waits for it. */
#ifndef TARVO_PCL_H
#define TARVO_PCL_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* A pinhole camera for images of the distance image's own size. */
typedef struct tarvo_camera_param {
    float Cx;          /* principal point x, pixels */
    float Cy;          /* principal point y, pixels */
    float Fx;          /* focal length x, pixels */
    float Fy;          /* focal length y, pixels */
    float dist_factor; /* every distance is multiplied by it */
} tarvo_camera_param_t;

/* Writes x, y, z (3 floats) per point into pcl (pcl_len floats) from the width x height distance
 * image dist (dist_len floats, at least width x height), with `param` or, when null, the
 * driver's lens parameters (factor 1). Stops before the pixel at which fewer than 3 floats are
 * left. Returns the number of points; 0 for a null device or buffer, a size of zero or less,
 * dist_len below width x height, camera parameters that are not numbers or have a zero focal
 * length, or a driver without lens parameters ("Cannot generate PCL"). */
TARVO_API int tarvo_frame_get_pcl(tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                  int dist_len, int width, int height,
                                  const tarvo_camera_param_t *param);

/* As tarvo_frame_get_pcl with 4 floats per point: x, y, z and, with `colour`, the colour word of
 * the default colour map (millimetres, see tarvo_cmap_float) for the point's distance m
 * converted to float; without `colour`, m. */
TARVO_API int tarvo_frame_get_pcl_xyzd(tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int dist_len, int width, int height, bool colour,
                                       const tarvo_camera_param_t *param);

TARVO_END_DECLS

#endif /* TARVO_PCL_H */
