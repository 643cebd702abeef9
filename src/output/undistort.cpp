#include "output/undistort.h"

#include <tarvo/log.h>
#include <tarvo/vecmath.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <new>

#include "output/lens_kernels.h"

namespace tarvo {

namespace {

constexpr int kGridSteps = 8;  // 9 x 9 grid points
constexpr int kUndistortIterations = 5;

struct RectF {
    float x = 0;
    float y = 0;
    float width = 0;
    float height = 0;
};

// Normalised undistorted coordinates of a raw-image position, by the fixed-point iteration the
// map's field of view is defined with.
void undistort_point(const zr_lens_param_t &lens, double px, double py, double &x, double &y) {
    const double k1 = lens.dcoeff[0], k2 = lens.dcoeff[1], p1 = lens.dcoeff[2];
    const double p2 = lens.dcoeff[3], k3 = lens.dcoeff[4];
    const double x0 = (px - lens.Cx) / lens.Fx;
    const double y0 = (py - lens.Cy) / lens.Fy;
    x = x0;
    y = y0;
    for (int i = 0; i < kUndistortIterations; ++i) {
        const double r2 = x * x + y * y;
        const double icdist = 1 / (1 + ((k3 * r2 + k2) * r2 + k1) * r2);
        const double dx = 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
        const double dy = p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
        x = (x0 - dx) * icdist;
        y = (y0 - dy) * icdist;
    }
}

// Inner and outer rectangle of the undistorted 9 x 9 grid over the raw image; with a camera
// matrix the points are projected through it, else they stay normalised.
void grid_rectangles(const zr_lens_param_t &lens, const CameraMatrix *project, RectF &inner,
                     RectF &outer) {
    const int w = lens.img_w, h = lens.img_h;
    float left = -FLT_MAX, right = FLT_MAX, top = -FLT_MAX, bottom = FLT_MAX;
    float min_x = FLT_MAX, max_x = -FLT_MAX, min_y = FLT_MAX, max_y = -FLT_MAX;
    for (int l = 0; l <= kGridSteps; ++l) {
        for (int k = 0; k <= kGridSteps; ++k) {
            // Steps of w / 8, not (w - 1) / 8, in single precision.
            const float gx = static_cast<float>(k) * static_cast<float>(w) / kGridSteps;
            const float gy = static_cast<float>(l) * static_cast<float>(h) / kGridSteps;
            double x, y;
            undistort_point(lens, gx, gy, x, y);
            if (project != nullptr) {
                x = project->fx * x + project->cx;
                y = project->fy * y + project->cy;
            }
            const float fx = static_cast<float>(x), fy = static_cast<float>(y);
            min_x = std::min(min_x, fx), max_x = std::max(max_x, fx);
            min_y = std::min(min_y, fy), max_y = std::max(max_y, fy);
            if (k == 0)
                left = std::max(left, fx);
            if (k == kGridSteps)
                right = std::min(right, fx);
            if (l == 0)
                top = std::max(top, fy);
            if (l == kGridSteps)
                bottom = std::min(bottom, fy);
        }
    }
    inner = {left, top, right - left, bottom - top};
    outer = {min_x, min_y, max_x - min_x, max_y - min_y};
}

bool finite_rect(const RectF &r) {
    return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) &&
           std::isfinite(r.height) && std::fabs(r.x) < 1e9f && std::fabs(r.y) < 1e9f &&
           std::fabs(r.width) < 1e9f && std::fabs(r.height) < 1e9f;
}

int32_t rounded(float v) {
    return static_cast<int32_t>(v + 0.5f);
}

// An image whose size divides the map's by bx, by > 1 in either direction.
void resample_binned(const zr_calib_len_t &map, float *dst, const float *src, int w, int h,
                     float fill) {
    const int bx = map.map_w / w, by = map.map_h / h;
    for (int v = 0; v < h; ++v) {
        const size_t row = static_cast<size_t>(v) * by * map.map_w;
        const float *mx = map.map_x + row;
        const float *my = map.map_y + row;
        float *out = dst + static_cast<size_t>(v) * w;
        for (int u = 0; u < w; ++u) {
            const int32_t s = lens::source_pixel<true>(
                mx[u * bx], my[u * bx], static_cast<float>(bx), static_cast<float>(by), w, h);
            out[u] = s >= 0 ? src[s] : fill;
        }
    }
}

// The checks of zr_calib_len_undistort, logged with its tag.
bool undistort_args_ok(const zr_calib_len_t &map, float *dst, int dst_len, const float *src, int w,
                       int h) {
    constexpr const char *kTag = "zr_calib_len_undistort";
    if (!map.map_valid || map.map_x == nullptr || map.map_y == nullptr || map.map_w <= 0 ||
        map.map_h <= 0) {
        zr_log(4, "ERR", "[%s] undistortion map not built\n", kTag);
        return false;
    }
    if (w <= 0 || h <= 0 || map.map_w % w != 0 || map.map_h % h != 0) {
        zr_log(4, "ERR", "[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", kTag,
               map.map_w, map.map_h, w, h);
        return false;
    }
    if (int64_t{dst_len} < int64_t{w} * h) {
        zr_log(4, "ERR", "[%s] Wrong parameter: %dx%d > dst_len=%d\n", kTag, w, h, dst_len);
        return false;
    }
    if (dst == nullptr || src == nullptr || dst == src) {
        zr_log(4, "ERR", "[%s] image buffers missing or the same\n", kTag);
        return false;
    }
    return true;
}

void resample_record(const zr_calib_len_t &map, float *dst, const float *src, int w, int h,
                     float fill) {
    if (map.map_w != w || map.map_h != h)
        return resample_binned(map, dst, src, w, h, fill);
    for (int v = 0; v < h; ++v) {
        const size_t row = static_cast<size_t>(v) * w;
        lens::remap_row(map.map_x + row, map.map_y + row, src, w, h, fill, dst + row);
    }
}

}  // namespace

bool lens_params_usable(const zr_lens_param_t &lens, const char *tag) {
    if (lens.img_w < kMinLensSide || lens.img_h < kMinLensSide || lens.img_w > kMaxLensSide ||
        lens.img_h > kMaxLensSide) {
        zr_log(4, "ERR", "[%s] wrong lens image size: %dx%d\n", tag, lens.img_w, lens.img_h);
        return false;
    }
    bool finite = std::isfinite(lens.Cx) && std::isfinite(lens.Cy);
    for (double k : lens.dcoeff)
        finite = finite && std::isfinite(k);
    if (!finite || !(lens.Fx > 0 && lens.Fx < 1e9) || !(lens.Fy > 0 && lens.Fy < 1e9)) {
        zr_log(4, "ERR", "[%s] wrong lens parameters: Fx %f, Fy %f\n", tag, lens.Fx, lens.Fy);
        return false;
    }
    return true;
}

bool compute_undistort_map(const zr_lens_param_t &lens, float *map_x, float *map_y,
                           CameraMatrix &undistorted, int32_t (&valid_rect)[4], const char *tag) {
    const int w = lens.img_w, h = lens.img_h;
    RectF inner, outer;
    grid_rectangles(lens, nullptr, inner, outer);
    if (!finite_rect(outer) || !(outer.width > 0) || !(outer.height > 0)) {
        zr_log(4, "ERR", "[%s] lens distortion folds the image: no undistortion map\n", tag);
        return false;
    }
    // The whole undistorted field of view scaled into w x h.
    CameraMatrix k_new;
    k_new.fx = (w - 1) / static_cast<double>(outer.width);
    k_new.fy = (h - 1) / static_cast<double>(outer.height);
    k_new.cx = -k_new.fx * outer.x;
    k_new.cy = -k_new.fy * outer.y;
    grid_rectangles(lens, &k_new, inner, outer);
    if (!finite_rect(inner)) {
        zr_log(4, "ERR", "[%s] lens distortion folds the image: no undistortion map\n", tag);
        return false;
    }
    valid_rect[0] = rounded(inner.x);
    valid_rect[1] = rounded(inner.y);
    valid_rect[2] = rounded(inner.width);
    valid_rect[3] = rounded(inner.height);

    double r[9] = {k_new.fx, 0, k_new.cx, 0, k_new.fy, k_new.cy, 0, 0, 1};
    if (mat3_inverse(r, nullptr) == nullptr) {
        zr_log(4, "ERR", "[%s] undistorted camera matrix is singular\n", tag);
        return false;
    }
    lens::MapRow row{r,
                     0,
                     w,
                     lens.Fx,
                     lens.Fy,
                     lens.Cx,
                     lens.Cy,
                     lens.dcoeff[0],
                     lens.dcoeff[1],
                     lens.dcoeff[2],
                     lens.dcoeff[3],
                     lens.dcoeff[4]};
    for (row.v = 0; row.v < h; ++row.v) {
        const size_t offset = static_cast<size_t>(row.v) * w;
        lens::map_row(row, map_x + offset, map_y + offset);
    }
    undistorted = k_new;
    return true;
}

std::unique_ptr<const LensMap> LensMap::build(const zr_lens_param_t &lens, const char *tag) {
    if (!lens_params_usable(lens, tag))
        return nullptr;
    std::unique_ptr<LensMap> map;
    const size_t n = static_cast<size_t>(lens.img_w) * lens.img_h;
    try {
        map.reset(new LensMap);
        map->map_x_.resize(n);
        map->map_y_.resize(n);
        map->source_.resize(n);
    } catch (const std::bad_alloc &) {
        zr_log(4, "ERR", "[%s] malloc failed!\n", tag);
        return nullptr;
    }
    zr_calib_len_t &rec = map->record_;
    if (!compute_undistort_map(lens, map->map_x_.data(), map->map_y_.data(), map->camera_,
                               rec.valid_rect, tag))
        return nullptr;
    rec.map_x = map->map_x_.data();
    rec.map_y = map->map_y_.data();
    rec.map_size = static_cast<int32_t>(n);
    rec.map_w = lens.img_w;
    rec.map_h = lens.img_h;
    rec.map_valid = 1;
    for (size_t i = 0; i < n; ++i)
        map->source_[i] =
            lens::source_pixel<false>(map->map_x_[i], map->map_y_[i], 1, 1, lens.img_w, lens.img_h);
    return map;
}

bool SharedLensMap::rebuild(const zr_lens_param_t &lens, const char *tag) {
    std::unique_ptr<const LensMap> built = LensMap::build(lens, tag);
    const bool ok = built != nullptr;
    {
        const std::unique_lock writer(lock_);
        map_.swap(built);
    }
    return ok;  // the previous map is released here, outside the lock
}

void SharedLensMap::clear() {
    std::unique_ptr<const LensMap> old;
    const std::unique_lock writer(lock_);
    map_.swap(old);
}

bool LensMap::serves(int width, int height) const {
    return width > 0 && height > 0 && record_.map_w % width == 0 && record_.map_h % height == 0;
}

bool LensMap::undistort(float *dst, int dst_len, const float *src, int width, int height,
                        float fill) const {
    if (!undistort_args_ok(record_, dst, dst_len, src, width, height))
        return false;
    if (width != record_.map_w || height != record_.map_h)
        resample_binned(record_, dst, src, width, height, fill);
    else
        lens::gather(source_.data(), src, source_.size(), fill, dst);
    return true;
}

}  // namespace tarvo

extern "C" {

TARVO_API int zr_calib_len_init_map(zr_calib_len_t *calib, const zr_lens_param_t *lens) {
    constexpr const char *kTag = "zr_calib_len_init_map";
    if (calib == nullptr || lens == nullptr) {
        zr_log(4, "ERR", "[%s] map record or lens parameters NULL\n", kTag);
        return 0;
    }
    // Built aside; the record changes only once the new map is complete.
    float *map_x = nullptr;
    float *map_y = nullptr;
    tarvo::CameraMatrix unused;
    int32_t valid_rect[4] = {};
    bool built = false;
    if (tarvo::lens_params_usable(*lens, kTag)) {
        const size_t n = static_cast<size_t>(lens->img_w) * lens->img_h;
        map_x = static_cast<float *>(std::malloc(n * sizeof(float)));
        map_y = static_cast<float *>(std::malloc(n * sizeof(float)));
        if (map_x == nullptr || map_y == nullptr)
            zr_log(4, "ERR", "[%s] malloc failed!\n", kTag);
        else
            built = tarvo::compute_undistort_map(*lens, map_x, map_y, unused, valid_rect, kTag);
    }
    zr_calib_len_uninit_map(calib);
    if (!built) {
        std::free(map_x);
        std::free(map_y);
        return 0;
    }
    calib->map_x = map_x;
    calib->map_y = map_y;
    calib->map_w = lens->img_w;
    calib->map_h = lens->img_h;
    calib->map_size = lens->img_w * lens->img_h;
    std::copy(std::begin(valid_rect), std::end(valid_rect), calib->valid_rect);
    calib->map_valid = 1;
    return calib->map_size;
}

TARVO_API void zr_calib_len_uninit_map(zr_calib_len_t *calib) {
    if (calib == nullptr || !calib->map_valid)
        return;
    std::free(calib->map_x);
    std::free(calib->map_y);
    calib->map_x = nullptr;
    calib->map_y = nullptr;
    calib->map_valid = 0;
}

TARVO_API int zr_calib_len_undistort(zr_calib_len_t *calib, float *dst, int dst_len,
                                     const float *src, int width, int height, float fill) {
    if (calib == nullptr) {
        zr_log(4, "ERR", "[%s] undistortion map not built\n", "zr_calib_len_undistort");
        return 0;
    }
    if (!tarvo::undistort_args_ok(*calib, dst, dst_len, src, width, height))
        return 0;
    tarvo::resample_record(*calib, dst, src, width, height, fill);
    return 1;
}

}  // extern "C"
