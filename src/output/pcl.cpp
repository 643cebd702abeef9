// Distance images to points: m x the unit ray of each pixel, from a ray table per camera model.
#include <tarvo/pcl.h>

#include <tarvo/drv.h>
#include <tarvo/lens.h>
#include <tarvo/log.h>

#include <cmath>
#include <optional>

#include "api/dev_ctx.h"
#include "output/cmap.h"
#include "output/ray_table.h"

namespace tarvo {

namespace {

// Valid distances, in the distance image's own units.
constexpr float kMinDistance = 0.0f;
constexpr float kMaxDistance = 60.0f;
// Images beyond this many pixels are not distance images of any sensor.
constexpr int64_t kMaxPixels = int64_t{1} << 26;

struct PointRequest {
    tarvo_dev_t *dev;
    float *pcl;
    int pcl_len;
    const float *dist;
    int dist_len;
    int width;
    int height;
    const tarvo_camera_param_t *param;
    int floats_per_point;  // 3: x y z; 4: x y z and the fourth value
    bool colour;
    const char *tag;
};

struct CameraModel {
    RayModel rays;
    float factor = 1;
};

bool finite_nonzero(float v) {
    return std::isfinite(v) && v != 0;
}

std::optional<CameraModel> caller_model(const PointRequest &req) {
    const tarvo_camera_param_t &p = *req.param;
    if (!finite_nonzero(p.Fx) || !finite_nonzero(p.Fy) || !std::isfinite(p.Cx) ||
        !std::isfinite(p.Cy) || !std::isfinite(p.dist_factor)) {
        zr_log(4, "ERR", "[%s] wrong camera parameters: Cx %f, Cy %f, Fx %f, Fy %f, factor %f\n",
               req.tag, p.Cx, p.Cy, p.Fx, p.Fy, p.dist_factor);
        return std::nullopt;
    }
    CameraModel model;
    model.rays = {p.Cx, p.Cy, p.Fx, p.Fy, {}, req.width, req.height};
    model.factor = p.dist_factor;
    return model;
}

std::optional<CameraModel> driver_model(const PointRequest &req) {
    if (!is_open(req.dev)) {
        zr_log(4, "ERR", "[%s]  Device handler Is NULL!\r\n", req.tag);
        return std::nullopt;
    }
    tarvo_drv_t *drv = req.dev->ctx->drv;
    if (drv == nullptr || drv->ops == nullptr || drv->ops->lens_param_get == nullptr) {
        zr_log(4, "ERR", "[%s] Cannot generate PCL: no lens parameter in driver.\n", req.tag);
        return std::nullopt;
    }
    zr_lens_param_t lens{};
    if (!drv->ops->lens_param_get(drv, &lens, req.width, req.height))
        return std::nullopt;
    if (!(lens.Fx > 0 && lens.Fy > 0 && std::isfinite(lens.Fx) && std::isfinite(lens.Fy))) {
        zr_log(4, "ERR", "[%s] driver lens parameters unusable: Fx %f, Fy %f\n", req.tag, lens.Fx,
               lens.Fy);
        return std::nullopt;
    }
    CameraModel model;
    model.rays = {lens.Cx, lens.Cy, lens.Fx, lens.Fy, {}, req.width, req.height};
    for (int i = 0; i < 5; ++i)
        model.rays.dcoeff[i] = lens.dcoeff[i];
    return model;
}

bool request_ok(const PointRequest &req) {
    if (req.width <= 0 || req.height <= 0 || int64_t{req.width} * req.height > kMaxPixels) {
        zr_log(4, "ERR", "[%s] wrong image size: %dx%d\n", req.tag, req.width, req.height);
        return false;
    }
    if (req.pcl == nullptr || req.dist == nullptr) {
        zr_log(4, "ERR", "[%s] point or distance buffer is NULL\n", req.tag);
        return false;
    }
    if (int64_t{req.dist_len} < int64_t{req.width} * req.height) {
        zr_log(4, "ERR", "[%s] distance image too short: %d < %dx%d\n", req.tag, req.dist_len,
               req.width, req.height);
        return false;
    }
    return true;
}

// The loop over the pixels; stops once no further whole point fits into pcl_len floats. `map`
// colours the fourth value of the xyzd form when given.
int write_points(const PointRequest &req, const RayTable &table, float factor,
                 const zr_cmap_t *map) {
    const int per = req.floats_per_point;
    const int64_t capacity = req.pcl_len / per;
    if (capacity <= 0)
        return 0;
    const int64_t n = int64_t{req.width} * req.height;
    const float *rays = table.rays();
    float *out = req.pcl;
    int64_t count = 0;
    for (int64_t i = 0; i < n; ++i) {
        const float d = req.dist[i];
        const float *ray = rays + 3 * i;
        if (!(d > kMinDistance && d < kMaxDistance) || ray[2] == 0)
            continue;
        const float m = d * factor;
        out[0] = m * ray[0];
        out[1] = m * ray[1];
        out[2] = m * ray[2];
        if (per == 4)
            out[3] = map != nullptr ? static_cast<float>(metres_color(*map, m)) : m;
        out += per;
        if (++count == capacity)
            break;
    }
    return static_cast<int>(count);
}

int get_points(const PointRequest &req) {
    if (req.dev == nullptr)
        return 0;
    const BusyGuard busy(req.dev);
    if (!request_ok(req))
        return 0;
    const std::optional<CameraModel> model =
        req.param != nullptr ? caller_model(req) : driver_model(req);
    if (!model)
        return 0;
    // Lock order: the ray table cache, then the default colour map.
    int points = 0;
    const bool have_table =
        RayTableCache::instance().with_table(model->rays, [&](const RayTable &table) {
            if (req.colour) {
                points = with_default_cmap([&](const zr_cmap_t &map) {
                    return write_points(req, table, model->factor, &map);
                });
            } else {
                points = write_points(req, table, model->factor, nullptr);
            }
        });
    if (!have_table)
        zr_log(4, "ERR", "[%s] malloc failed!\n", req.tag);
    return points;
}

}  // namespace

}  // namespace tarvo

extern "C" {

TARVO_API int tarvo_frame_get_pcl(tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                  int dist_len, int width, int height,
                                  const tarvo_camera_param_t *param) {
    return tarvo::get_points(
        {dev, pcl, pcl_len, dist, dist_len, width, height, param, 3, false, "tarvo_frame_get_pcl"});
}

TARVO_API int tarvo_frame_get_pcl_xyzd(tarvo_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int dist_len, int width, int height, bool colour,
                                       const tarvo_camera_param_t *param) {
    return tarvo::get_points({dev, pcl, pcl_len, dist, dist_len, width, height, param, 4, colour,
                              "tarvo_frame_get_pcl_xyzd"});
}

}  // extern "C"
