// Reading the float data of ROS content in tests: a value at a byte offset, and the check that
// an organized cloud shows a flat wall.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "ros_content.h"

namespace tarvo::test {

inline float float_at(const std::vector<uint8_t> &data, size_t offset) {
    float v;
    std::memcpy(&v, &data[offset], sizeof v);
    return v;
}

// The depth image's value at the centre pixel.
inline float centre_depth(const ros::Image &depth) {
    return float_at(depth.data, 4 * (size_t{depth.height} / 2 * depth.width + depth.width / 2));
}

// A 320 x 240 organized cloud with z at `z` metres wherever a point is, and at least
// `min_points` points.
inline void expect_flat_wall(const ros::PointCloud2 &cloud, double z, size_t min_points) {
    ASSERT_EQ(cloud.width, 320u);
    ASSERT_EQ(cloud.height, 240u);
    ASSERT_EQ(cloud.point_step, ros::kPointStep);
    ASSERT_EQ(cloud.data.size(), size_t{320} * 240 * ros::kPointStep);
    size_t points = 0;
    for (size_t i = 0; i < size_t{320} * 240; ++i) {
        const float pz = float_at(cloud.data, ros::kPointStep * i + 8);
        if (std::isnan(pz))
            continue;
        ++points;
        ASSERT_NEAR(pz, z, 0.01 * z) << "pixel " << i;
    }
    EXPECT_GE(points, min_points);
}

}  // namespace tarvo::test
