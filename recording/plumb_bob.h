// Viewing rays of a camera described as sensor_msgs/CameraInfo does it: intrinsics K and the
// plumb_bob distortion (k1, k2, p1, p2, k3). Shared by the readers of recorded and published
// depth, which know the camera only from its CameraInfo. Header-only, standard library only.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarvo::recording {

// The ideal normalised image point whose plumb_bob distortion `d` lands on the distorted point
// (xd, yd): fixed-point iteration, ample for the distortion of a camera lens. Missing or
// non-finite terms count as 0.
inline std::pair<double, double> undistort_point(double xd, double yd,
                                                 const std::vector<double> &d) {
    const auto c = [&](size_t i) { return i < d.size() && std::isfinite(d[i]) ? d[i] : 0.0; };
    double x = xd, y = yd;
    for (int i = 0; i < 20; ++i) {
        const double r2 = x * x + y * y;
        const double radial = 1.0 + r2 * (c(0) + r2 * (c(1) + r2 * c(4)));
        if (!(radial > 0.0))
            break;
        const double dx = 2.0 * c(2) * x * y + c(3) * (r2 + 2.0 * x * x);
        const double dy = c(2) * (r2 + 2.0 * y * y) + 2.0 * c(3) * x * y;
        x = (xd - dx) / radial;
        y = (yd - dy) / radial;
    }
    return {x, y};
}

// The unit viewing ray (x right, y down, z forward) of pixel (u, v).
inline std::array<float, 3> pixel_ray(const std::array<double, 9> &k, const std::vector<double> &d,
                                      double u, double v) {
    const auto [x, y] = undistort_point((u - k[2]) / k[0], (v - k[5]) / k[4], d);
    const double n = std::sqrt(x * x + y * y + 1.0);
    return {static_cast<float>(x / n), static_cast<float>(y / n), static_cast<float>(1.0 / n)};
}

}  // namespace tarvo::recording
