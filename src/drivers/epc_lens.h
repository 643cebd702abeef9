// The EPC driver's lens undistortion (filter 0) and its other filter switches, as the driver's
// operation table and frame decode use them.
#pragma once

#include <tarvo/drv.h>

#include <cstdint>

#include "drivers/epc_driver_state.h"

namespace tarvo::epc_driver {

// Pixels of an undistorted image that no sensor pixel sees. Distances get the invalid-sample
// code, so that no consumer takes them for a surface (the point cloud drops them); gray images
// get 0.
inline constexpr float kUnseenDistance = 65.5f;
inline constexpr float kUnseenGray = 0.0f;

// Builds the undistortion map from the library's lens parameters; false (logged with `tag`)
// when they do not give one.
bool build_lens_map(EpcDriverState &st, const char *tag);

// Whether frames of width x height are undistorted now: undistortion on, a 320 x 240 frame and
// a map that serves it.
bool undistorts(const EpcDriverState &st, uint32_t width, uint32_t height);

// Resamples the width x height image src into dst through the current map; copies it when the
// map has gone meanwhile.
void undistort_image(const EpcDriverState &st, float *dst, const float *src, uint32_t width,
                     uint32_t height, float fill);

// Slots filter_enable and filter_disable.
bool filter_enable(tarvo_drv_t *drv, int filter_id, const void *arg, int arg_size);
bool filter_disable(tarvo_drv_t *drv, int filter_id);

}  // namespace tarvo::epc_driver
