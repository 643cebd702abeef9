// Undistortion maps: the map of the built-in lens, the resampling rule (nearest neighbour,
// truncation toward zero, binned images) and the refusals.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "drivers/lens_param.h"
#include "output/ray_table.h"
#include "output/undistort.h"
#include "support/log_capture.h"

namespace {

using tarvo::test::LogCapture;

// A map record over caller-made arrays, as an application may build one.
struct HandMap {
    HandMap(int w, int h) : x(size_t(w) * h, 0), y(size_t(w) * h, 0) {
        rec.map_x = x.data();
        rec.map_y = y.data();
        rec.map_w = w;
        rec.map_h = h;
        rec.map_size = w * h;
        rec.map_valid = 1;
    }
    void set(int u, int v, float sx, float sy) {
        x[size_t(v) * rec.map_w + u] = sx;
        y[size_t(v) * rec.map_w + u] = sy;
    }
    std::vector<float> x, y;
    zr_calib_len_t rec{};
};

// The lens model's distortion of normalised coordinates, written out once more here.
void distort(const zr_lens_param_t &l, double x, double y, double &xd, double &yd) {
    const double r2 = x * x + y * y;
    const double kr = 1 + l.dcoeff[0] * r2 + l.dcoeff[1] * r2 * r2 + l.dcoeff[4] * r2 * r2 * r2;
    xd = x * kr + 2 * l.dcoeff[2] * x * y + l.dcoeff[3] * (r2 + 2 * x * x);
    yd = y * kr + l.dcoeff[2] * (r2 + 2 * y * y) + 2 * l.dcoeff[3] * x * y;
}

class DefaultMapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lens_ = tarvo::default_lens_params();
        ASSERT_EQ(zr_calib_len_init_map(&map_, &lens_), 320 * 240);
        built_ = tarvo::LensMap::build(lens_, "test");
        ASSERT_NE(built_, nullptr);
    }
    void TearDown() override { zr_calib_len_uninit_map(&map_); }
    zr_lens_param_t lens_{};
    zr_calib_len_t map_{};
    std::unique_ptr<const tarvo::LensMap> built_;
};

TEST_F(DefaultMapTest, RecordDescribesTheMap) {
    EXPECT_EQ(map_.map_valid, 1);
    EXPECT_EQ(map_.map_w, 320);
    EXPECT_EQ(map_.map_h, 240);
    EXPECT_EQ(map_.map_size, 76800);
    const zr_calib_len_t &rec = built_->record();
    EXPECT_EQ(std::memcmp(rec.valid_rect, map_.valid_rect, sizeof rec.valid_rect), 0);
    EXPECT_EQ(std::memcmp(rec.map_x, map_.map_x, 76800 * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(rec.map_y, map_.map_y, 76800 * sizeof(float)), 0);
}

// Each map entry is the raw-image position of its pixel's ray under the undistorted camera.
TEST_F(DefaultMapTest, EntriesFollowTheLensModel) {
    const tarvo::CameraMatrix &k = built_->undistorted_camera();
    for (int v = 0; v < 240; v += 7) {
        for (int u = 0; u < 320; u += 11) {
            double xd, yd;
            distort(lens_, (u - k.cx) / k.fx, (v - k.cy) / k.fy, xd, yd);
            const size_t i = size_t(v) * 320 + u;
            ASSERT_NEAR(map_.map_x[i], lens_.Fx * xd + lens_.Cx, 1e-3) << u << "," << v;
            ASSERT_NEAR(map_.map_y[i], lens_.Fy * yd + lens_.Cy, 1e-3) << u << "," << v;
        }
    }
}

// The undistorted camera fits the raw image's whole field of view into 320 x 240: the raw
// corners and edge midpoints land inside, and the extreme ones near the borders.
TEST_F(DefaultMapTest, UndistortedCameraHoldsTheWholeField) {
    const tarvo::CameraMatrix &k = built_->undistorted_camera();
    double min_u = 1e9, max_u = -1e9, min_v = 1e9, max_v = -1e9;
    for (double ru : {0.0, 160.0, 320.0}) {
        for (double rv : {0.0, 120.0, 240.0}) {
            std::array<double, 5> dc;
            std::copy(lens_.dcoeff, lens_.dcoeff + 5, dc.begin());
            double x, y;
            ASSERT_TRUE(tarvo::undistort_normalised(dc, (ru - lens_.Cx) / lens_.Fx,
                                                    (rv - lens_.Cy) / lens_.Fy, x, y));
            min_u = std::min(min_u, k.fx * x + k.cx), max_u = std::max(max_u, k.fx * x + k.cx);
            min_v = std::min(min_v, k.fy * y + k.cy), max_v = std::max(max_v, k.fy * y + k.cy);
        }
    }
    EXPECT_NEAR(min_u, 0, 3);
    EXPECT_NEAR(max_u, 319, 3);
    EXPECT_NEAR(min_v, 0, 3);
    EXPECT_NEAR(max_v, 239, 3);
}

// Every pixel inside the valid rectangle has a source pixel.
TEST_F(DefaultMapTest, ValidRectangleHasSourcesEverywhere) {
    const int32_t *r = map_.valid_rect;
    ASSERT_GT(r[2], 100);
    ASSERT_GT(r[3], 80);
    ASSERT_GE(r[0], 0);
    ASSERT_GE(r[1], 0);
    ASSERT_LE(r[0] + r[2], 320);
    ASSERT_LE(r[1] + r[3], 240);
    std::vector<float> src(76800, 1.0f), dst(76800);
    ASSERT_EQ(zr_calib_len_undistort(&map_, dst.data(), 76800, src.data(), 320, 240, -1.0f), 1);
    for (int v = r[1] + 1; v < r[1] + r[3] - 1; ++v)
        for (int u = r[0] + 1; u < r[0] + r[2] - 1; ++u)
            ASSERT_EQ(dst[size_t(v) * 320 + u], 1.0f) << u << "," << v;
    // A barrel-shaped lens: the undistorted image reaches the raw corners, but the middle of its
    // top and bottom edges lies outside the sensor's view.
    EXPECT_EQ(dst[0], 1.0f);
    EXPECT_EQ(dst[160], -1.0f);
    EXPECT_EQ(dst[239 * 320 + 160], -1.0f);
}

// The positions resolved when the driver's map is built give what the record gives, at full and
// at half size.
TEST_F(DefaultMapTest, PrebuiltMapResamplesAsTheRecord) {
    for (auto [w, h] : {std::pair{320, 240}, {160, 120}}) {
        std::vector<float> src(size_t(w) * h), a(src.size()), b(src.size());
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = static_cast<float>(i);
        ASSERT_EQ(zr_calib_len_undistort(&map_, a.data(), w * h, src.data(), w, h, 30.0f), 1);
        ASSERT_TRUE(built_->undistort(b.data(), w * h, src.data(), w, h, 30.0f));
        EXPECT_EQ(a, b) << w << "x" << h;
    }
}

// The rule for every pixel of a row: the cases sit both among the first eight pixels of the row
// and in its last four.
TEST(UndistortRule, NearestNeighbourByTruncation) {
    struct Case {
        float x, y;
        int source;  // -1: the fill value
    };
    const Case cases[] = {
        {-0.8f, 0.0f, 0},    // -0.8 + 0.5 = -0.3 truncates to column 0
        {-1.6f, 0.0f, -1},   // -1.1 truncates to -1: outside
        {11.49f, 0.2f, 11},  // the last column
        {11.5f, 0.0f, -1},   // 12.0: outside
        {2.0f, -1.49f, 2},   // rows follow the same rule
        {2.0f, 0.5f, -1},    // row 1 of a one-row image
        {std::numeric_limits<float>::quiet_NaN(), 0, -1},
        {1e30f, -1e30f, -1},
    };
    HandMap m(12, 1);
    for (int u = 0; u < 12; ++u)
        m.set(u, 0, static_cast<float>(u), 0);
    for (int i = 0; i < 8; ++i)
        m.set(i, 0, cases[i].x, cases[i].y);
    for (int i = 0; i < 4; ++i)
        m.set(8 + i, 0, cases[i].x, cases[i].y);
    std::vector<float> src(12), dst(12);
    for (int i = 0; i < 12; ++i)
        src[i] = 100.0f + i;
    ASSERT_EQ(zr_calib_len_undistort(&m.rec, dst.data(), 12, src.data(), 12, 1, 30.0f), 1);
    for (int u = 0; u < 12; ++u) {
        const Case &c = cases[u < 8 ? u : u - 8];
        EXPECT_EQ(dst[u], c.source < 0 ? 30.0f : src[c.source]) << "pixel " << u;
    }
}

// A map of 4 x 2 serves an image of 2 x 1: every other entry of every other row, positions
// halved.
TEST(UndistortRule, BinnedImageUsesEveryOtherEntry) {
    HandMap m(4, 2);
    for (int v = 0; v < 2; ++v)
        for (int u = 0; u < 4; ++u)
            m.set(u, v, 99, 99);  // entries a binned image must not use
    m.set(0, 0, 2.2f, 0.6f);      // 1.1 + 0.5 -> column 1; 0.3 + 0.5 -> row 0
    m.set(2, 0, -0.4f, 0.0f);
    const float src[2] = {5, 6};
    float dst[2] = {};
    ASSERT_EQ(zr_calib_len_undistort(&m.rec, dst, 2, src, 2, 1, 0.0f), 1);
    EXPECT_EQ(dst[0], 6);
    EXPECT_EQ(dst[1], 5);
}

TEST(UndistortRule, RefusalsLeaveTheOutputUntouched) {
    LogCapture log;
    zr_lens_param_t lens = tarvo::default_lens_params();
    zr_calib_len_t map{};
    ASSERT_EQ(zr_calib_len_init_map(&map, &lens), 76800);
    std::vector<float> src(76800, 1.0f), dst(76800, 5.0f);
    EXPECT_EQ(zr_calib_len_undistort(&map, dst.data(), 76800, src.data(), 300, 240, 0), 0);
    EXPECT_TRUE(log.contains("Wrong parameter: calib_map: 320x240, src_img: 300x240", "ERR"));
    EXPECT_EQ(zr_calib_len_undistort(&map, dst.data(), 76799, src.data(), 320, 240, 0), 0);
    EXPECT_TRUE(log.contains("Wrong parameter: 320x240 > dst_len=76799", "ERR"));
    for (auto [w, h] : {std::pair{0, 240}, {320, 0}, {-320, 240}})
        EXPECT_EQ(zr_calib_len_undistort(&map, dst.data(), 76800, src.data(), w, h, 0), 0);
    EXPECT_EQ(zr_calib_len_undistort(&map, dst.data(), 76800, dst.data(), 320, 240, 0), 0);
    EXPECT_EQ(zr_calib_len_undistort(&map, nullptr, 76800, src.data(), 320, 240, 0), 0);
    EXPECT_EQ(zr_calib_len_undistort(nullptr, dst.data(), 76800, src.data(), 320, 240, 0), 0);
    zr_calib_len_uninit_map(&map);
    EXPECT_EQ(zr_calib_len_undistort(&map, dst.data(), 76800, src.data(), 320, 240, 0), 0);
    EXPECT_TRUE(log.contains("undistortion map not built", "ERR"));
    for (float d : dst)
        ASSERT_EQ(d, 5.0f);
}

TEST(UndistortMap, RebuildReplacesAndUninitIsIdempotent) {
    zr_lens_param_t lens = tarvo::default_lens_params();
    zr_calib_len_t map{};
    ASSERT_EQ(zr_calib_len_init_map(&map, &lens), 76800);
    lens.img_w = 160, lens.img_h = 120, lens.Cx /= 2, lens.Cy /= 2, lens.Fx /= 2, lens.Fy /= 2;
    ASSERT_EQ(zr_calib_len_init_map(&map, &lens), 19200);  // the old arrays are freed
    EXPECT_EQ(map.map_w, 160);
    zr_calib_len_uninit_map(&map);
    EXPECT_EQ(map.map_valid, 0);
    EXPECT_EQ(map.map_x, nullptr);
    zr_calib_len_uninit_map(&map);
}

TEST(UndistortMap, UnusableParametersLeaveNoMap) {
    LogCapture log;
    const zr_lens_param_t good = tarvo::default_lens_params();
    auto with = [&](auto change) {
        zr_lens_param_t l = good;
        change(l);
        return l;
    };
    const zr_lens_param_t bad[] = {
        with([](zr_lens_param_t &l) { l.img_w = 0; }),
        with([](zr_lens_param_t &l) { l.img_h = -240; }),
        with([](zr_lens_param_t &l) { l.img_w = 5000; }),
        with([](zr_lens_param_t &l) { l.Fx = 0; }),
        with([](zr_lens_param_t &l) { l.Fy = std::numeric_limits<double>::quiet_NaN(); }),
        with([](zr_lens_param_t &l) { l.dcoeff[0] = std::numeric_limits<double>::infinity(); }),
    };
    for (const zr_lens_param_t &l : bad) {
        zr_calib_len_t map{};
        ASSERT_EQ(zr_calib_len_init_map(&map, &good), 76800);
        EXPECT_EQ(zr_calib_len_init_map(&map, &l), 0);
        EXPECT_EQ(map.map_valid, 0);  // the previous map is released too
        EXPECT_EQ(map.map_x, nullptr);
        EXPECT_EQ(tarvo::LensMap::build(l, "test"), nullptr);
    }
    EXPECT_EQ(zr_calib_len_init_map(nullptr, &good), 0);
}

}  // namespace
