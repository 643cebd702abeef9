#include "drivers/epc_lens.h"

#include <tarvo/lens.h>
#include <tarvo/log.h>

#include <cstring>
#include <optional>

#include "drivers/lens_param.h"

namespace tarvo::epc_driver {

namespace {

// The driver undistorts full-size frames only.
constexpr uint32_t kUndistortWidth = 320;
constexpr uint32_t kUndistortHeight = 240;

// The camera matrix of the undistorted image for width x height, scaled as the map serves it.
std::optional<zr_lens_param_t> undistorted_params(const EpcDriverState &st, int width, int height) {
    return st.lens_map.with_map([&](const LensMap *map) -> std::optional<zr_lens_param_t> {
        if (map == nullptr || !map->serves(width, height))
            return std::nullopt;
        const zr_calib_len_t &rec = map->record();
        const double sx = rec.map_w / width, sy = rec.map_h / height;
        const CameraMatrix &k = map->undistorted_camera();
        zr_lens_param_t out{};
        out.Cx = k.cx / sx;
        out.Cy = k.cy / sy;
        out.Fx = k.fx / sx;
        out.Fy = k.fy / sy;
        out.img_w = width;
        out.img_h = height;
        return out;
    });
}

}  // namespace

bool build_lens_map(EpcDriverState &st, const char *tag) {
    return st.lens_map.rebuild(lens_params(), tag);
}

bool undistorts(const EpcDriverState &st, uint32_t width, uint32_t height) {
    if (!st.filters.undistort_on.load() || width != kUndistortWidth || height != kUndistortHeight)
        return false;
    return st.lens_map.with_map([&](const LensMap *map) {
        return map != nullptr && map->serves(static_cast<int>(width), static_cast<int>(height));
    });
}

void undistort_image(const EpcDriverState &st, float *dst, const float *src, uint32_t width,
                     uint32_t height, float fill) {
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    const bool done = st.lens_map.with_map([&](const LensMap *map) {
        return map != nullptr && map->undistort(dst, w * h, src, w, h, fill);
    });
    if (!done)
        std::memcpy(dst, src, sizeof(float) * width * height);
}

}  // namespace tarvo::epc_driver

extern "C" TARVO_API bool epc_lens_param_get(tarvo_drv_t *drv, zr_lens_param_t *out, int width,
                                             int height) {
    constexpr const char *kTag = "epc_lens_param_get";
    if (out == nullptr)
        return false;
    // Another driver's private state is not ours to read.
    const tarvo::epc_driver::EpcDriverState *st =
        drv != nullptr && drv->ops == &g_tarvo_driver_op_epc ? tarvo::epc_driver::state_of(drv)
                                                             : nullptr;
    if (st != nullptr && width > 0 && height > 0 &&
        tarvo::epc_driver::undistorts(*st, static_cast<uint32_t>(width),
                                      static_cast<uint32_t>(height))) {
        if (const auto params = tarvo::epc_driver::undistorted_params(*st, width, height)) {
            *out = *params;
            return true;
        }
    }
    const std::optional<zr_lens_param_t> scaled =
        tarvo::scale_lens_params(tarvo::lens_params(), width, height, kTag);
    if (!scaled)
        return false;
    *out = *scaled;
    return true;
}
