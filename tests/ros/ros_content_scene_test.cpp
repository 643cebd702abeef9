// ROS content of frames from a virtual camera that sees a wall 1.0 m away, raw and undistorted:
// the converter follows the lens model in use.
#include "ros_content.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "drivers/scene_camera.h"
#include "ros/cloud_checks.h"

namespace {

using namespace tarvo::ros;
using tarvo::test::expect_flat_wall;
using tarvo::test::float_at;
using tarvo::test::SceneCamera;

class WallContent : public SceneCamera {
  protected:
    FrameContent next(FrameConverter &converter) {
        tarvo_frame_info_t info{};
        const std::vector<uint8_t> raw = capture(info);
        DecodedFrame frame;
        EXPECT_TRUE(
            decode_frame(&dev_, raw.data(), static_cast<uint32_t>(raw.size()), info, frame));
        FrameContent content;
        const Header header{time_from_ns(1'000'000'123), "tarvo_optical_frame"};
        EXPECT_TRUE(converter.convert(&dev_, frame, header, true, content));
        return content;
    }
};

TEST_F(WallContent, RawAndUndistortedFramesGiveTheirOwnCamera) {
    open("wall:1.0");
    FrameConverter converter;
    const FrameContent raw = next(converter);
    EXPECT_NEAR(tarvo::test::centre_depth(raw.depth), 1.0, 0.01);
    EXPECT_EQ(raw.camera_info.k[0], 210.783);
    EXPECT_EQ(raw.camera_info.k[2], 157.262);
    EXPECT_EQ(raw.camera_info.k[4], 204.817);
    EXPECT_EQ(raw.camera_info.k[5], 122.083);
    EXPECT_EQ(raw.camera_info.d[0], -0.378924);
    EXPECT_EQ(raw.points.header.frame_id, "tarvo_optical_frame");
    EXPECT_EQ(raw.depth.header.stamp.sec, 1);
    EXPECT_EQ(raw.depth.header.stamp.nanosec, 123u);
    expect_flat_wall(raw.points, 1.0, size_t{320} * 240 * 99 / 100);

    ASSERT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_UNDISTORT, nullptr, 0), 1);
    next(converter);  // a frame decoded before the switch may still be on its way
    const FrameContent undistorted = next(converter);
    EXPECT_LT(undistorted.camera_info.k[0], 210.783);
    for (double k : undistorted.camera_info.d)
        EXPECT_EQ(k, 0.0);
    expect_flat_wall(undistorted.points, 1.0, size_t{320} * 240 * 85 / 100);
    // The pixels the sensor does not see (middles of the edges) are holes in the depth image.
    size_t holes = 0;
    for (size_t i = 0; i < size_t{320} * 240; ++i)
        holes += std::isnan(float_at(undistorted.depth.data, 4 * i));
    EXPECT_GT(holes, 1000u);
}

}  // namespace
