// ROS message content from decoded frames.
#include "ros_content.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tarvo::ros {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kMaxDistance = 60.0f;

void store_float(uint8_t *dst, float v) {
    std::memcpy(dst, &v, sizeof v);
}

void image_header(uint32_t width, uint32_t height, const char *encoding, uint32_t bytes_per_pixel,
                  Image &out) {
    out.width = width;
    out.height = height;
    out.encoding = encoding;
    out.is_bigendian = 0;
    out.step = width * bytes_per_pixel;
    out.data.resize(size_t{out.step} * height);
}

// The index image of PixelRays::build: pixel i holds 1 + i / 2^bits, every value a distinct float
// in [1, 2) (23 mantissa bits), so the distance the library reports with each point names the
// pixel the point came from, exactly.
constexpr int kMaxIndexBits = 23;

int index_bits(size_t pixels) {
    int bits = 0;
    while ((size_t{1} << bits) < pixels)
        ++bits;
    return bits;
}

bool same_lens(const zr_lens_param_t &a, const zr_lens_param_t &b) {
    return a.Cx == b.Cx && a.Cy == b.Cy && a.Fx == b.Fx && a.Fy == b.Fy && a.img_w == b.img_w &&
           a.img_h == b.img_h && std::equal(a.dcoeff, a.dcoeff + 5, b.dcoeff);
}

}  // namespace

Time time_from_ns(uint64_t ns) {
    Time t;
    t.sec = static_cast<int32_t>(ns / 1000000000u);
    t.nanosec = static_cast<uint32_t>(ns % 1000000000u);
    return t;
}

bool valid_distance(float d) {
    return d > 0.0f && d < kMaxDistance;  // false for NaN too
}

bool decode_frame(tarvo_dev_t *dev, const uint8_t *raw, uint32_t raw_len,
                  const tarvo_frame_info_t &info, DecodedFrame &out) {
    const size_t pixels = size_t{info.width} * info.height;
    if (pixels == 0 || pixels > (size_t{1} << 26))
        return false;
    out.width = info.width;
    out.height = info.height;
    out.distance.resize(pixels);
    out.gray.resize(pixels);
    tarvo_frame_info_t copy = info;
    const int n = static_cast<int>(pixels);
    return tarvo_frame_get_distance(dev, out.distance.data(), n, raw, raw_len, &copy) == n &&
           tarvo_frame_get_gray(dev, out.gray.data(), n, raw, raw_len, &copy) == n;
}

void fill_depth_image(const float *distance, uint32_t width, uint32_t height, Image &out) {
    image_header(width, height, "32FC1", 4, out);
    const size_t pixels = size_t{width} * height;
    for (size_t i = 0; i < pixels; ++i)
        store_float(&out.data[4 * i], valid_distance(distance[i]) ? distance[i] : kNaN);
}

void fill_gray_image(const float *gray, uint32_t width, uint32_t height, Image &out) {
    image_header(width, height, "mono16", 2, out);
    const size_t pixels = size_t{width} * height;
    for (size_t i = 0; i < pixels; ++i) {
        const float g = gray[i];
        const uint16_t v =
            g >= 0.0f ? static_cast<uint16_t>(std::lround(std::min(g, 65535.0f))) : 0;
        out.data[2 * i] = static_cast<uint8_t>(v);
        out.data[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
}

void fill_camera_info(const zr_lens_param_t &lens, uint32_t width, uint32_t height,
                      CameraInfo &out) {
    out.width = width;
    out.height = height;
    out.distortion_model = "plumb_bob";
    out.d.assign(lens.dcoeff, lens.dcoeff + 5);
    out.k = {lens.Fx, 0, lens.Cx, 0, lens.Fy, lens.Cy, 0, 0, 1};
    out.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    out.p = {lens.Fx, 0, lens.Cx, 0, 0, lens.Fy, lens.Cy, 0, 0, 0, 1, 0};
    out.binning_x = 0;
    out.binning_y = 0;
    out.roi = {};
}

bool lens_for_image(tarvo_dev_t *dev, uint32_t width, uint32_t height, zr_lens_param_t &out) {
    tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    if (drv == nullptr || drv->ops == nullptr || drv->ops->lens_param_get == nullptr)
        return false;
    return drv->ops->lens_param_get(drv, &out, static_cast<int>(width), static_cast<int>(height));
}

bool PixelRays::build(tarvo_dev_t *dev, uint32_t width, uint32_t height,
                      const tarvo_camera_param_t *param) {
    const size_t pixels = size_t{width} * height;
    const int bits = index_bits(pixels);
    if (pixels == 0 || bits > kMaxIndexBits)
        return false;
    const float step = std::ldexp(1.0f, -bits);
    std::vector<float> index(pixels);
    for (size_t i = 0; i < pixels; ++i)
        index[i] = 1.0f + static_cast<float>(i) * step;
    tarvo_camera_param_t unit_factor{};
    if (param != nullptr) {
        unit_factor = *param;
        unit_factor.dist_factor = 1.0f;
    }
    // x, y, z and the distance of every pixel that has a ray, in pixel order.
    std::vector<float> points(4 * pixels);
    const int n = tarvo_frame_get_pcl_xyzd(dev, points.data(), static_cast<int>(points.size()),
                                           index.data(), static_cast<int>(pixels),
                                           static_cast<int>(width), static_cast<int>(height), false,
                                           param != nullptr ? &unit_factor : nullptr);
    if (n <= 0)
        return false;
    rays_.assign(3 * pixels, kNaN);
    for (int p = 0; p < n; ++p) {
        const float *pt = &points[4 * size_t(p)];
        const double where = std::ldexp(double{pt[3]} - 1.0, bits);
        const size_t i = static_cast<size_t>(std::lround(where));
        if (i >= pixels)
            continue;
        for (int c = 0; c < 3; ++c)
            rays_[3 * i + c] = pt[c] / pt[3];
    }
    width_ = width;
    height_ = height;
    return true;
}

namespace {

// The point at `distance` along `ray`; NaN rays and invalid distances both give NaN.
void point_on_ray(float distance, const float *ray, float *xyz) {
    const float d = valid_distance(distance) ? distance : kNaN;
    for (int c = 0; c < 3; ++c)
        xyz[c] = d * ray[c];
}

}  // namespace

void points_along_rays(const float *distance, const PixelRays &rays, float *xyz) {
    const size_t pixels = size_t{rays.width()} * rays.height();
    const float *ray = rays.rays();
    for (size_t i = 0; i < pixels; ++i)
        point_on_ray(distance[i], &ray[3 * i], &xyz[3 * i]);
}

void fill_point_cloud(const float *distance, const float *gray, const PixelRays &rays,
                      PointCloud2 &out) {
    out.width = rays.width();
    out.height = rays.height();
    out.fields = {{"x", 0, PointField::kFloat32, 1},
                  {"y", 4, PointField::kFloat32, 1},
                  {"z", 8, PointField::kFloat32, 1},
                  {"intensity", 12, PointField::kFloat32, 1}};
    out.is_bigendian = false;
    out.point_step = kPointStep;
    out.row_step = kPointStep * out.width;
    out.is_dense = false;
    const size_t pixels = size_t{out.width} * out.height;
    out.data.resize(pixels * kPointStep);
    const float *ray = rays.rays();
    for (size_t i = 0; i < pixels; ++i, ray += 3) {
        float xyz[3];
        point_on_ray(distance[i], ray, xyz);
        uint8_t *pt = &out.data[i * kPointStep];
        std::memcpy(pt, xyz, sizeof xyz);
        store_float(pt + 12, gray[i]);
    }
}

const PixelRays *LensRays::get(tarvo_dev_t *dev, const zr_lens_param_t &lens, uint32_t width,
                               uint32_t height) {
    if (!have_rays_ || !same_lens(lens, lens_) || rays_.width() != width ||
        rays_.height() != height) {
        have_rays_ = rays_.build(dev, width, height);
        lens_ = lens;
    }
    return have_rays_ ? &rays_ : nullptr;
}

bool FrameConverter::convert(tarvo_dev_t *dev, const DecodedFrame &frame, const Header &header,
                             bool with_points, FrameContent &out) {
    zr_lens_param_t lens{};
    if (!lens_for_image(dev, frame.width, frame.height, lens))
        return false;
    fill_depth_image(frame.distance.data(), frame.width, frame.height, out.depth);
    fill_gray_image(frame.gray.data(), frame.width, frame.height, out.gray);
    fill_camera_info(lens, frame.width, frame.height, out.camera_info);
    out.depth.header = header;
    out.gray.header = header;
    out.camera_info.header = header;
    if (!with_points)
        return true;
    const PixelRays *rays = rays_.get(dev, lens, frame.width, frame.height);
    if (rays == nullptr)
        return false;
    fill_point_cloud(frame.distance.data(), frame.gray.data(), *rays, out.points);
    out.points.header = header;
    return true;
}

}  // namespace tarvo::ros
