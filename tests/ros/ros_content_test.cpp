// ROS content from decoded images: invalid pixels, encodings, camera info and the organized cloud
// of a pinhole camera, where the expected values are plain arithmetic.
#include "ros/cloud_checks.h"
#include "ros_content.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using namespace tarvo::ros;
using tarvo::test::float_at;

TEST(RosContent, DepthImageKeepsMeasuredDistancesAndMarksEverythingElseNaN) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    struct Case {
        float in;
        bool valid;
    };
    const std::vector<Case> cases = {
        {1.0f, true},   {0.001f, true}, {59.9f, true},  {65.3f, false},
        {65.4f, false}, {65.5f, false}, {0.0f, false},  {-1.0f, false},
        {60.0f, false}, {kInf, false},  {-kInf, false}, {std::nanf(""), false},
    };
    std::vector<float> distance;
    for (const Case &c : cases)
        distance.push_back(c.in);
    Image image;
    fill_depth_image(distance.data(), static_cast<uint32_t>(distance.size()), 1, image);
    EXPECT_EQ(image.encoding, "32FC1");
    EXPECT_EQ(image.step, 4 * distance.size());
    EXPECT_EQ(image.is_bigendian, 0);
    ASSERT_EQ(image.data.size(), 4 * distance.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const float out = float_at(image.data, 4 * i);
        if (cases[i].valid)
            EXPECT_EQ(out, cases[i].in) << "value " << cases[i].in;
        else
            EXPECT_TRUE(std::isnan(out)) << "value " << cases[i].in;
    }
}

TEST(RosContent, GrayIsMono16RoundedAndClamped) {
    const std::vector<float> gray = {0.0f,     1.4f,     1.6f,  300.0f,
                                     65535.0f, 70000.0f, -5.0f, std::nanf("")};
    const std::vector<uint16_t> expected = {0, 1, 2, 300, 65535, 65535, 0, 0};
    Image image;
    fill_gray_image(gray.data(), 4, 2, image);
    EXPECT_EQ(image.encoding, "mono16");
    EXPECT_EQ(image.width, 4u);
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(image.step, 8u);
    ASSERT_EQ(image.data.size(), 16u);
    for (size_t i = 0; i < gray.size(); ++i)
        EXPECT_EQ(image.data[2 * i] | image.data[2 * i + 1] << 8, expected[i]) << gray[i];
}

TEST(RosContent, CameraInfoFromLensParameters) {
    const zr_lens_param_t lens = {
        157.5, 122.25, 210.75, 204.5, {-0.375, 0.125, -0.001, 6e-05, -0.0125}, 320, 240};
    CameraInfo info;
    fill_camera_info(lens, 320, 240, info);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.distortion_model, "plumb_bob");
    EXPECT_EQ(info.d, (std::vector<double>{-0.375, 0.125, -0.001, 6e-05, -0.0125}));
    EXPECT_EQ(info.k, (std::array<double, 9>{210.75, 0, 157.5, 0, 204.5, 122.25, 0, 0, 1}));
    EXPECT_EQ(info.r, (std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(info.p,
              (std::array<double, 12>{210.75, 0, 157.5, 0, 0, 204.5, 122.25, 0, 0, 0, 1, 0}));
}

TEST(RosContent, StampSplitsNanoseconds) {
    const Time t = time_from_ns(1765400000123456789ull);
    EXPECT_EQ(t.sec, 1765400000);
    EXPECT_EQ(t.nanosec, 123456789u);
}

// A 5 x 4 pinhole camera with the principal point on pixel (2, 1), focal length 2.
class PinholeCloud : public ::testing::Test {
  protected:
    static constexpr uint32_t kW = 5, kH = 4;
    void SetUp() override {
        const tarvo_camera_param_t param = {2.0f, 1.0f, 2.0f, 2.0f, 7.0f};  // factor ignored
        ASSERT_TRUE(rays_.build(&unopened_, kW, kH, &param));
    }
    // The ray's own direction (u - cx, v - cy, f) / |...|.
    static std::array<float, 3> expected_ray(uint32_t u, uint32_t v) {
        const float x = (static_cast<float>(u) - 2.0f) / 2.0f;
        const float y = (static_cast<float>(v) - 1.0f) / 2.0f;
        const float n = std::sqrt(x * x + y * y + 1.0f);
        return {x / n, y / n, 1.0f / n};
    }
    tarvo_dev_t unopened_{};
    PixelRays rays_;
};

TEST_F(PinholeCloud, RaysAreThePixelsOwnInOpticalAxes) {
    for (uint32_t v = 0; v < kH; ++v)
        for (uint32_t u = 0; u < kW; ++u) {
            const float *ray = rays_.rays() + 3 * (v * kW + u);
            const auto want = expected_ray(u, v);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(ray[c], want[c], 1e-6) << "pixel " << u << "," << v << " axis " << c;
        }
    // REP 103 optical frame: right of the centre is +x, below it +y, forward +z.
    EXPECT_GT(rays_.rays()[3 * (1 * kW + 4)], 0.0f);
    EXPECT_GT(rays_.rays()[3 * (3 * kW + 2) + 1], 0.0f);
}

TEST_F(PinholeCloud, OrganizedCloudOfAWallIsFlatWithNaNHoles) {
    std::vector<float> distance(kW * kH), gray(kW * kH);
    for (uint32_t v = 0; v < kH; ++v)
        for (uint32_t u = 0; u < kW; ++u) {
            distance[v * kW + u] = 1.5f / expected_ray(u, v)[2];  // a wall at z = 1.5 m
            gray[v * kW + u] = static_cast<float>(100 * v + u);
        }
    distance[7] = 65.3f;
    distance[12] = 65.5f;
    PointCloud2 cloud;
    fill_point_cloud(distance.data(), gray.data(), rays_, cloud);
    EXPECT_EQ(cloud.width, kW);
    EXPECT_EQ(cloud.height, kH);
    EXPECT_EQ(cloud.point_step, 16u);
    EXPECT_EQ(cloud.row_step, 16u * kW);
    EXPECT_FALSE(cloud.is_dense);
    EXPECT_FALSE(cloud.is_bigendian);
    ASSERT_EQ(cloud.fields.size(), 4u);
    const char *names[] = {"x", "y", "z", "intensity"};
    for (uint32_t f = 0; f < 4; ++f) {
        EXPECT_EQ(cloud.fields[f].name, names[f]);
        EXPECT_EQ(cloud.fields[f].offset, 4 * f);
        EXPECT_EQ(cloud.fields[f].datatype, PointField::kFloat32);
        EXPECT_EQ(cloud.fields[f].count, 1u);
    }
    ASSERT_EQ(cloud.data.size(), size_t{16} * kW * kH);
    for (uint32_t i = 0; i < kW * kH; ++i) {
        const size_t at = size_t{16} * i;
        EXPECT_EQ(float_at(cloud.data, at + 12), gray[i]);
        if (i == 7 || i == 12) {
            for (int c = 0; c < 3; ++c)
                EXPECT_TRUE(std::isnan(float_at(cloud.data, at + 4 * c))) << "pixel " << i;
            continue;
        }
        EXPECT_NEAR(float_at(cloud.data, at + 8), 1.5f, 1e-5) << "pixel " << i;
        const float x = (static_cast<float>(i % kW) - 2.0f) / 2.0f * 1.5f;
        EXPECT_NEAR(float_at(cloud.data, at), x, 1e-5) << "pixel " << i;
    }
}

TEST(RosContent, RaysRefuseWhatGivesNoPoints) {
    tarvo_dev_t unopened{};
    PixelRays rays;
    const tarvo_camera_param_t zero_focal = {2.0f, 1.0f, 0.0f, 2.0f, 1.0f};
    EXPECT_FALSE(rays.build(&unopened, 5, 4, &zero_focal));
    EXPECT_FALSE(rays.build(&unopened, 0, 4, &zero_focal));
    EXPECT_FALSE(rays.build(&unopened, 5, 4));  // no driver
}

}  // namespace
