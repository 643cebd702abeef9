// End to end: the virtual camera renders a wall through the default lens; the library captures,
// decodes and turns it into points, raw and undistorted; and the filter switches of the EPC and
// TI drivers.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "drivers/epc_driver_state.h"
#include "drivers/scene_camera.h"

namespace {

using tarvo::test::kScenePixels;
using tarvo::test::SceneCamera;

class WallScene : public SceneCamera, public ::testing::WithParamInterface<bool> {};

TEST_P(WallScene, PointCloudOfAWallIsFlat) {
    const bool undistort = GetParam();
    open("wall:1.0");
    if (undistort) {
        ASSERT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_UNDISTORT, nullptr, 0), 1);
    }
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> raw = capture(info);
    const std::vector<float> d = distance(raw, info);
    std::vector<float> pcl(kScenePixels * 3);
    const int n = tarvo_frame_get_pcl(&dev_, pcl.data(), static_cast<int>(pcl.size()), d.data(),
                                      static_cast<int>(d.size()), 320, 240, nullptr);
    int unseen = 0;
    for (float v : d) {
        EXPECT_NE(v, 30.0f);
        unseen += v == 65.5f;
    }
    if (undistort) {
        EXPECT_GT(unseen, 1000);  // the middle of the top and bottom edges, the left and right
        EXPECT_GT(n, static_cast<int>(kScenePixels) * 85 / 100);
    } else {
        EXPECT_EQ(unseen, 0);
        EXPECT_GT(n, static_cast<int>(kScenePixels) * 99 / 100);
    }
    double min_x = 1e9, max_x = -1e9;
    for (int i = 0; i < n; ++i) {
        ASSERT_NEAR(pcl[3 * i + 2], 1.0, 0.01) << "point " << i;
        min_x = std::min<double>(min_x, pcl[3 * i]);
        max_x = std::max<double>(max_x, pcl[3 * i]);
    }
    // The wide-angle lens sees a little more than a metre to either side of the axis.
    EXPECT_LT(min_x, -0.9);
    EXPECT_GT(max_x, 0.9);
    EXPECT_EQ(log_.unexpected("ERR", {"Load calibration data failed"}), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Undistortion, WallScene, ::testing::Values(false, true),
                         [](const auto &p) { return p.param ? "On" : "Off"; });

// The driver's lens parameters follow what it does to the image: the lens model for raw images,
// the undistorted camera without distortion once it undistorts 320 x 240 frames.
TEST_F(SceneCamera, DriverLensParametersFollowUndistortion) {
    open("wall:1.0");
    tarvo_drv_t *drv = tarvo_dev_get_drv(&dev_);
    ASSERT_NE(drv, nullptr);
    zr_lens_param_t raw{}, half{}, undistorted{};
    ASSERT_TRUE(drv->ops->lens_param_get(drv, &raw, 320, 240));
    EXPECT_EQ(raw.Fx, 210.783);
    EXPECT_EQ(raw.dcoeff[0], -0.378924);
    ASSERT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_UNDISTORT, nullptr, 0), 1);
    ASSERT_TRUE(drv->ops->lens_param_get(drv, &undistorted, 320, 240));
    EXPECT_LT(undistorted.Fx, raw.Fx);  // the whole field of view fits into the image
    for (double k : undistorted.dcoeff)
        EXPECT_EQ(k, 0);
    ASSERT_TRUE(drv->ops->lens_param_get(drv, &half, 160, 120));  // not undistorted by the driver
    EXPECT_EQ(half.Fx, 210.783 / 2);
    EXPECT_EQ(half.dcoeff[0], -0.378924);
    ASSERT_EQ(tarvo_filter_disable(&dev_, TARVO_FILTER_UNDISTORT), 1);
    ASSERT_TRUE(drv->ops->lens_param_get(drv, &raw, 320, 240));
    EXPECT_EQ(raw.Fx, 210.783);
}

// Gray images are undistorted too; the pixels no sensor pixel sees are 0.
TEST_F(SceneCamera, GrayImageUndistortedWithZeroOutside) {
    open("wall:1.0");
    ASSERT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_UNDISTORT, nullptr, 0), 1);
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> raw = capture(info);
    std::vector<float> gray(kScenePixels);
    ASSERT_EQ(tarvo_frame_get_gray(&dev_, gray.data(), static_cast<int>(gray.size()), raw.data(),
                                   static_cast<uint32_t>(raw.size()), &info),
              static_cast<int>(kScenePixels));
    EXPECT_EQ(gray[160], 0.0f);  // the middle of the top edge: outside the sensor's view
    EXPECT_GT(gray[120 * 320 + 160], 0.0f);
}

}  // namespace
