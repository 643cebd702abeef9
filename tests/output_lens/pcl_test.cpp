// Point clouds: points on their pixels' rays, the validity and stop rules, the fourth value of
// the xyzd form, and the driver's lens model for raw images.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "api/dev_ctx.h"
#include "drivers/lens_param.h"
#include "output/ray_table.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using tarvo::test::LogCapture;
using tarvo::test::TempDir;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class PclTest : public ::testing::Test {
  protected:
    tarvo_dev_t dev_{};  // the caller's camera parameters need no open device
    LogCapture log_;
};

TEST_F(PclTest, ValidPixelsPackedInPixelOrder) {
    const tarvo_camera_param_t cam = {0.5f, 0.5f, 1, 1, 1};
    const float dist[4] = {0, 1.0f, 70, 2.0f};
    std::vector<float> pcl(12, -9);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 12, dist, 4, 2, 2, &cam), 2);
    // Pixel (1, 0) then pixel (1, 1): x positive, y first negative then positive.
    EXPECT_GT(pcl[0], 0);
    EXPECT_LT(pcl[1], 0);
    EXPECT_GT(pcl[4], 0);
    EXPECT_EQ(pcl[6], -9);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 5, dist, 4, 2, 2, &cam), 1);
}

// A point needs 3 (xyzd: 4) floats; the loop stops at the first pixel for which they are not
// left, valid or not.
TEST_F(PclTest, StopsWhenTheNextPointDoesNotFit) {
    const tarvo_camera_param_t cam = {0, 0, 1, 1, 1};
    const float dist[4] = {1, 1, 1, 1};
    struct Case {
        int pcl_len;
        bool xyzd;
        int points;
    };
    const Case cases[] = {{0, false, 0}, {2, false, 0},  {3, false, 1},  {5, false, 1},
                          {6, false, 2}, {12, false, 4}, {-3, false, 0}, {3, true, 0},
                          {7, true, 1},  {8, true, 2},   {16, true, 4}};
    std::vector<float> pcl(16);
    for (const Case &c : cases) {
        const int n =
            c.xyzd
                ? tarvo_frame_get_pcl_xyzd(&dev_, pcl.data(), c.pcl_len, dist, 4, 2, 2, false, &cam)
                : tarvo_frame_get_pcl(&dev_, pcl.data(), c.pcl_len, dist, 4, 2, 2, &cam);
        EXPECT_EQ(n, c.points) << c.pcl_len << (c.xyzd ? " xyzd" : "");
    }
}

TEST_F(PclTest, PointLiesOnThePixelsRay) {
    const tarvo_camera_param_t cam = {1, 1, 1, 1, 1};
    std::vector<float> dist(6, 0);
    dist[1 * 3 + 2] = 3;  // pixel (2, 1): ray direction (1, 0, 1)
    float p[3] = {};
    ASSERT_EQ(tarvo_frame_get_pcl(&dev_, p, 3, dist.data(), 6, 3, 2, &cam), 1);
    EXPECT_NEAR(p[0], 3 / std::sqrt(2.0), 1e-5);
    EXPECT_NEAR(p[1], 0, 1e-6);
    EXPECT_NEAR(p[2], 3 / std::sqrt(2.0), 1e-5);
}

// Radial distances of a flat wall come back as a flat wall, out to wide angles.
TEST_F(PclTest, FlatWallStaysFlat) {
    const int w = 64, h = 48;
    const tarvo_camera_param_t cam = {31.5f, 23.5f, 20, 20, 1};  // about 115 degrees across
    const double z = 1.5;
    std::vector<float> dist(w * h);
    for (int v = 0; v < h; ++v)
        for (int u = 0; u < w; ++u) {
            const double x = (u - 31.5) / 20, y = (v - 23.5) / 20;
            dist[v * w + u] = static_cast<float>(z * std::sqrt(x * x + y * y + 1));
        }
    std::vector<float> pcl(w * h * 3);
    ASSERT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), w * h * 3, dist.data(), w * h, w, h, &cam),
              w * h);
    for (int i = 0; i < w * h; ++i) {
        const double x = ((i % w) - 31.5) / 20, y = ((i / w) - 23.5) / 20;
        ASSERT_NEAR(pcl[3 * i + 2], z, 1e-5) << i;
        ASSERT_NEAR(pcl[3 * i], z * x, 1e-5) << i;
        ASSERT_NEAR(pcl[3 * i + 1], z * y, 1e-5) << i;
    }
}

TEST_F(PclTest, OnlyDistancesStrictlyBetweenZeroAndSixty) {
    const tarvo_camera_param_t cam = {0, 0, 1, 1, 1};
    const float dist[] = {0, -1, 60, 65.3f, 65.4f, 65.5f, kNaN, kInf, -kInf, 1e-6f, 59.99f};
    const int n = static_cast<int>(std::size(dist));
    std::vector<float> pcl(3 * n);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 3 * n, dist, n, n, 1, &cam), 2);
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(std::isfinite(pcl[i]));
}

// The factor scales the point and the fourth value, not the validity test.
TEST_F(PclTest, DistanceFactorAndTheFourthValue) {
    const tarvo_camera_param_t cam = {0, 0, 1, 1, 100};  // metres to centimetres
    const float dist[2] = {0.5f, 59.5f};
    float p[8] = {};
    ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, p, 8, dist, 2, 2, 1, false, &cam), 2);
    EXPECT_NEAR(p[2], 50, 1e-4);  // pixel (0, 0) looks along the axis
    EXPECT_FLOAT_EQ(p[3], 50);
    EXPECT_NEAR(std::sqrt(p[4] * p[4] + p[5] * p[5] + p[6] * p[6]), 5950, 1e-2);
    EXPECT_FLOAT_EQ(p[7], 5950);
}

TEST_F(PclTest, ColourWordOfTheDefaultMap) {
    TempDir dir;
    tarvo_init((dir.path() / "pcl.log").c_str());
    zr_log_enable(0, 5, nullptr);
    const float range_src = 0;
    uint8_t unused[3];
    tarvo_cmap_float(unused, 3, &range_src, 1, 0, 0.0f, 4.0f);
    const tarvo_camera_param_t cam = {0, 0, 1, 1, 1};
    const float dist[3] = {0.001f, 2.0f, 4.0f};
    float p[12] = {};
    ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, p, 12, dist, 3, 3, 1, true, &cam), 3);
    EXPECT_EQ(p[3], static_cast<float>(0x0000BF));  // 1 mm: the red end
    zr_cmap_t ref{};
    zr_cmap_init(&ref, 30000);
    EXPECT_EQ(p[7], static_cast<float>(zr_cmap_get_color(&ref, 2000)));
    EXPECT_EQ(p[11], static_cast<float>(0x7F0000));  // 4 m: the blue end
    zr_cmap_uninit(&ref);
    tarvo_uninit();
}

TEST_F(PclTest, Refusals) {
    const tarvo_camera_param_t cam = {0, 0, 1, 1, 1};
    const float dist[4] = {1, 1, 1, 1};
    float p[12];
    EXPECT_EQ(tarvo_frame_get_pcl(nullptr, p, 12, dist, 4, 2, 2, &cam), 0);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p, 12, dist, 4, 0, 2, &cam), 0);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p, 12, dist, 4, 2, -2, &cam), 0);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p, 12, dist, 3, 2, 2, &cam), 0);
    EXPECT_TRUE(log_.contains("distance image too short: 3 < 2x2", "ERR"));
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, nullptr, 12, dist, 4, 2, 2, &cam), 0);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p, 12, nullptr, 4, 2, 2, &cam), 0);
    for (const tarvo_camera_param_t bad :
         {tarvo_camera_param_t{0, 0, 0, 1, 1}, tarvo_camera_param_t{0, 0, 1, kNaN, 1},
          tarvo_camera_param_t{kInf, 0, 1, 1, 1}, tarvo_camera_param_t{0, 0, 1, 1, kNaN}})
        EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p, 12, dist, 4, 2, 2, &bad), 0);
    EXPECT_TRUE(log_.contains("wrong camera parameters", "ERR"));
    // Without camera parameters the device must be open.
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p, 12, dist, 4, 2, 2, nullptr), 0);
    EXPECT_TRUE(log_.contains("Device handler Is NULL!", "ERR"));
    EXPECT_EQ(dev_.busy, 0);
}

TEST(RayTable, BuiltOncePerModel) {
    tarvo::RayTableCache &cache = tarvo::RayTableCache::instance();
    auto table_of = [&](const tarvo::RayModel &m) {
        const tarvo::RayTable *t = nullptr;
        EXPECT_TRUE(cache.with_table(m, [&](const tarvo::RayTable &table) { t = &table; }));
        return t;
    };
    tarvo::RayModel a{10, 10, 20, 20, {}, 21, 21};
    tarvo::RayModel b = a;
    b.dcoeff[0] = -0.1;
    const tarvo::RayTable *ta = table_of(a);
    EXPECT_EQ(table_of(a), ta);
    EXPECT_NE(table_of(b), ta);
    EXPECT_EQ(table_of(a), ta);
}

// Newton's method undoes the lens model to the edge of the built-in lens' field.
TEST(RayTable, UndistortInvertsTheLensModel) {
    const zr_lens_param_t lens = tarvo::default_lens_params();
    std::array<double, 5> k;
    std::copy(lens.dcoeff, lens.dcoeff + 5, k.begin());
    for (double u = -0.5; u <= 319.5; u += 10) {
        for (double v = -0.5; v <= 239.5; v += 10) {
            const double xd = (u - lens.Cx) / lens.Fx, yd = (v - lens.Cy) / lens.Fy;
            double x, y;
            ASSERT_TRUE(tarvo::undistort_normalised(k, xd, yd, x, y)) << u << "," << v;
            const double r2 = x * x + y * y;
            const double kr = 1 + k[0] * r2 + k[1] * r2 * r2 + k[4] * r2 * r2 * r2;
            EXPECT_NEAR(x * kr + 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x), xd, 1e-9);
            EXPECT_NEAR(y * kr + k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y, yd, 1e-9);
        }
    }
}

// A driver record with a lens parameter slot behind an open device.
class DriverLensTest : public ::testing::Test {
  protected:
    static bool lens_ok(tarvo_drv_t *, zr_lens_param_t *out, int w, int h) {
        const auto scaled = tarvo::scale_lens_params(tarvo::default_lens_params(), w, h, "test");
        if (scaled)
            *out = *scaled;
        return scaled.has_value();
    }
    void SetUp() override {
        ops_.lens_param_get = &lens_ok;
        drv_ = {"test driver", "X0", &ops_, &dev_, nullptr};
        ctx_.opened = true;
        ctx_.drv = &drv_;
        dev_.ctx = &ctx_;
    }
    tarvo_drv_ops_t ops_{};
    tarvo_drv_t drv_{};
    tarvo_dev_ctx ctx_;
    tarvo_dev_t dev_{};
    LogCapture log_;
};

TEST_F(DriverLensTest, DriverWithoutLensParameters) {
    ops_.lens_param_get = nullptr;
    const float dist[4] = {1, 1, 1, 1};
    float p[12];
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p, 12, dist, 4, 2, 2, nullptr), 0);
    EXPECT_TRUE(log_.contains("Cannot generate PCL: no lens parameter in driver.", "ERR"));
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p, 12, dist, 4, 3, 2, nullptr), 0);
}

TEST_F(DriverLensTest, SizeTheLensDoesNotServe) {
    std::vector<float> dist(300 * 240, 1.0f), p(300 * 240 * 3);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, p.data(), int(p.size()), dist.data(), int(dist.size()),
                                  300, 240, nullptr),
              0);
    EXPECT_TRUE(log_.contains("lens param not match the frame size", "WRN"));
}

// On a raw image every point projects back through the lens model, distortion included, onto
// its own pixel, at its own distance.
TEST_F(DriverLensTest, RawImagePointsFollowTheLensModel) {
    for (auto [w, h] : {std::pair{320, 240}, {160, 120}}) {
        const zr_lens_param_t lens =
            *tarvo::scale_lens_params(tarvo::default_lens_params(), w, h, "test");
        std::vector<float> dist(size_t(w) * h), p(dist.size() * 4);
        for (size_t i = 0; i < dist.size(); ++i)
            dist[i] = 0.5f + static_cast<float>(i % 97) * 0.05f;
        ASSERT_EQ(tarvo_frame_get_pcl_xyzd(&dev_, p.data(), int(p.size()), dist.data(),
                                           int(dist.size()), w, h, false, nullptr),
                  w * h);
        for (int i = 0; i < w * h; i += 13) {
            const float *q = &p[4 * size_t(i)];
            ASSERT_GT(q[2], 0);
            const double x = q[0] / q[2], y = q[1] / q[2];
            const double r2 = x * x + y * y;
            const double *k = lens.dcoeff;
            const double kr = 1 + k[0] * r2 + k[1] * r2 * r2 + k[4] * r2 * r2 * r2;
            const double xd = x * kr + 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x);
            const double yd = y * kr + k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y;
            EXPECT_NEAR(lens.Fx * xd + lens.Cx, i % w, 2e-3) << w << " pixel " << i;
            EXPECT_NEAR(lens.Fy * yd + lens.Cy, i / w, 2e-3) << w << " pixel " << i;
            EXPECT_NEAR(std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]), dist[i], 1e-5);
        }
    }
}

}  // namespace
