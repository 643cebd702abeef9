// Colour maps: the table, the fixed colours, the range rules and the colouring of float images
// with the library's default map.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using tarvo::test::LogCapture;
using tarvo::test::TempDir;

class CmapTest : public ::testing::Test {
  protected:
    void SetUp() override { zr_cmap_init(&map_, 30000); }
    void TearDown() override { zr_cmap_uninit(&map_); }
    zr_cmap_t map_{};
};

TEST_F(CmapTest, TableRunsFromBlueToRed) {
    struct Entry {
        int index;
        uint32_t color;
    };
    const Entry entries[] = {{0, 0x7F0000},     {3750, 0xFF0000},  {7500, 0xFF7F00},
                             {11250, 0xFFFF00}, {15000, 0x7FFF7F}, {18750, 0x00FFFF},
                             {22500, 0x00AAFF}, {26250, 0x0055FF}, {29999, 0x0000BF}};
    ASSERT_NE(map_.table, nullptr);
    EXPECT_EQ(map_.count, 30000);
    for (const Entry &e : entries)
        EXPECT_EQ(map_.table[e.index], e.color) << "entry " << e.index;
    for (int i = 0; i < map_.count; ++i)
        ASSERT_EQ(map_.table[i] >> 24, 0u) << "entry " << i;
}

TEST_F(CmapTest, InitSetsTheMillimetreRange) {
    EXPECT_EQ(map_.min, 0);
    EXPECT_EQ(map_.max, 4000);
    EXPECT_FLOAT_EQ(map_.scale, 7.5f);
    EXPECT_FLOAT_EQ(map_.gray_scale, 0.06375f);
}

TEST_F(CmapTest, FixedColoursOfTheInvalidCodes) {
    zr_cmap_set_range(&map_, 0, 70000);  // the codes lie inside the range and still win
    EXPECT_EQ(zr_cmap_get_color(&map_, 65300), 0u);
    EXPECT_EQ(zr_cmap_get_color(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(zr_cmap_get_color(&map_, 65500), 0xFF0EA9u);
    EXPECT_EQ(zr_cmap_get_gray(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(zr_cmap_get_gray(&map_, 65500), 0xFF0EA9u);
    const uint32_t gray = zr_cmap_get_gray(&map_, 65300);  // no fixed gray for this code
    EXPECT_EQ(gray, (gray & 0xFF) * 0x010101u);
    EXPECT_NE(gray, 0u);
}

TEST_F(CmapTest, RangeEndsAndTheUpperBoundMaxPlusMin) {
    EXPECT_EQ(zr_cmap_get_color(&map_, 0), map_.table[29999]);
    EXPECT_EQ(zr_cmap_get_color(&map_, 4000), map_.table[0]);
    EXPECT_EQ(zr_cmap_get_color(&map_, 4001), 0u);
    EXPECT_EQ(zr_cmap_get_color(&map_, -1), 0u);
    zr_cmap_set_range(&map_, 1000, 4000);
    EXPECT_EQ(zr_cmap_get_color(&map_, 4900), map_.table[0]);  // 4900 <= 4000 + 1000
    EXPECT_EQ(zr_cmap_get_color(&map_, 5000), map_.table[0]);
    EXPECT_EQ(zr_cmap_get_color(&map_, 5001), 0u);
    EXPECT_EQ(zr_cmap_get_color(&map_, 999), 0u);
}

TEST_F(CmapTest, ReversedRangeEqualsTheOrderedOne) {
    zr_cmap_t other{};
    zr_cmap_init(&other, 30000);
    zr_cmap_set_range(&map_, 4000, 1000);
    zr_cmap_set_range(&other, 1000, 4000);
    EXPECT_EQ(map_.min, 1000);
    EXPECT_EQ(map_.max, 4000);
    EXPECT_EQ(map_.scale, other.scale);
    EXPECT_EQ(map_.gray_scale, other.gray_scale);
    for (int v = 900; v < 5200; v += 37)
        EXPECT_EQ(zr_cmap_get_color(&map_, v), zr_cmap_get_color(&other, v)) << v;
    zr_cmap_uninit(&other);
}

TEST_F(CmapTest, EqualRangeEndsKeepTheRange) {
    zr_cmap_set_range(&map_, 1000, 2000);
    zr_cmap_set_range(&map_, 1500, 1500);
    EXPECT_EQ(map_.min, 1000);
    EXPECT_EQ(map_.max, 2000);
    EXPECT_EQ(map_.scale, 30000.0f);
    EXPECT_EQ(map_.gray_scale, 255.0f);
}

TEST_F(CmapTest, GrayInSinglePrecision) {
    zr_cmap_set_range(&map_, 1000, 2000);
    EXPECT_EQ(map_.gray_scale, 0.255f);
    EXPECT_EQ(zr_cmap_get_gray(&map_, 1500), 0x7F7F7Fu);
    EXPECT_EQ(zr_cmap_get_gray(&map_, 2000), 0xFEFEFEu);  // 1000 x 0.255f is just below 255
    EXPECT_EQ(zr_cmap_get_gray(&map_, 2001), 0xFFFFFFu);
    EXPECT_EQ(zr_cmap_get_gray(&map_, 999), 0u);
    EXPECT_EQ(zr_cmap_get_gray(&map_, 1000), 0u);
}

TEST(CmapRecord, RefusedSizesLeaveNoTable) {
    LogCapture log;
    for (int count : {0, -5}) {
        zr_cmap_t map{};
        zr_cmap_init(&map, count);
        EXPECT_EQ(map.table, nullptr);
        EXPECT_EQ(map.count, 0);
        EXPECT_EQ(zr_cmap_get_color(&map, 100), 0u);
        zr_cmap_uninit(&map);
    }
    EXPECT_EQ(log.count("wrong table size", "ERR"), 2u);
    zr_cmap_uninit(nullptr);
    EXPECT_EQ(zr_cmap_get_color(nullptr, 100), 0u);
}

TEST(CmapRecord, UninitTwiceIsHarmless) {
    zr_cmap_t map{};
    zr_cmap_init(&map, 16);
    zr_cmap_uninit(&map);
    EXPECT_EQ(map.table, nullptr);
    zr_cmap_uninit(&map);
}

// The library's default map, between tarvo_init and tarvo_uninit.
class DefaultCmapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvo_init((dir_.path() / "cmap.log").c_str());
        zr_log_enable(0, 5, nullptr);
    }
    void TearDown() override { tarvo_uninit(); }

    std::vector<uint8_t> colour(const std::vector<float> &src, int format, float lo, float hi,
                                int bytes_per_pixel, int *written = nullptr) {
        std::vector<uint8_t> out(src.size() * bytes_per_pixel, 0xEE);
        const int n = tarvo_cmap_float(out.data(), static_cast<int>(out.size()), src.data(),
                                       static_cast<int>(src.size()), format, lo, hi);
        if (written != nullptr)
            *written = n;
        return out;
    }
    TempDir dir_;
};

TEST_F(DefaultCmapTest, RangeZeroToFourMetresInEachFormat) {
    const std::vector<float> src = {0.0f, 4.0f, 4.5f};
    int n = 0;
    EXPECT_EQ(colour(src, 0, 0, 4, 3, &n), (std::vector<uint8_t>{0xBF, 0, 0, 0, 0, 0x7F, 0, 0, 0}));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(colour(src, 2, 0, 4, 3), (std::vector<uint8_t>{0, 0, 0xBF, 0x7F, 0, 0, 0, 0, 0}));
    EXPECT_EQ(colour(src, 1, 0, 4, 4),
              (std::vector<uint8_t>{0xBF, 0, 0, 0, 0, 0, 0x7F, 0, 0, 0, 0, 0}));
}

TEST_F(DefaultCmapTest, UpperBoundIsMaxPlusMin) {
    const std::vector<float> src = {4.9f};
    EXPECT_EQ(colour(src, 0, 1, 4, 3), (std::vector<uint8_t>{0, 0, 0x7F}));
}

TEST_F(DefaultCmapTest, InvalidCodesAndValuesWithoutMillimetres) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> src = {65.4f, 65.5f, 65.3f, nan, inf, -inf, 3e9f};
    const std::vector<uint8_t> out = colour(src, 1, 0, 70, 4);
    const uint32_t expected[] = {0x8000FF, 0xFF0EA9, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < src.size(); ++i) {
        const uint32_t c = out[4 * i] | out[4 * i + 1] << 8 | out[4 * i + 2] << 16 |
                           uint32_t{out[4 * i + 3]} << 24;
        EXPECT_EQ(c, expected[i]) << "pixel " << i;
    }
}

TEST_F(DefaultCmapTest, PixelCountRules) {
    const std::vector<float> src(10, 1.0f);
    std::vector<uint8_t> dst(40, 0xEE);
    EXPECT_EQ(tarvo_cmap_float(dst.data(), 8, src.data(), 10, 0, 0, 4), 2);  // 8 / 3
    EXPECT_EQ(dst[6], 0xEE);
    EXPECT_EQ(tarvo_cmap_float(dst.data(), 40, src.data(), 3, 1, 0, 4), 3);
    EXPECT_EQ(dst[12], 0xEE);
    EXPECT_EQ(tarvo_cmap_float(dst.data(), 40, src.data(), -4, 0, 0, 4), -4);
    EXPECT_EQ(tarvo_cmap_float(dst.data(), 2, src.data(), 10, 0, 0, 4), 0);
    EXPECT_EQ(tarvo_cmap_float(dst.data(), 40, src.data(), 10, 3, 0, 4), 0);
    EXPECT_EQ(dst[12], 0xEE);
    EXPECT_EQ(tarvo_cmap_float(nullptr, 40, src.data(), 10, 0, 0, 4), 0);
}

TEST_F(DefaultCmapTest, RangeStaysForLaterCalls) {
    const std::vector<float> src = {2.0f};
    colour(src, 0, 0, 8, 3);
    // Equal ends keep the range of the call before (0 to 8 m): 2 m is three quarters up.
    const std::vector<uint8_t> out = colour(src, 1, 5, 5, 4);
    zr_cmap_t ref{};
    zr_cmap_init(&ref, 30000);
    zr_cmap_set_range(&ref, 0, 8000);
    zr_cmap_set_range(&ref, 5000, 5000);
    const uint32_t c = zr_cmap_get_color(&ref, 2000);
    EXPECT_EQ(out, (std::vector<uint8_t>{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0}));
    zr_cmap_uninit(&ref);
}

TEST(CmapWithoutLibrary, NoDefaultMapNoColours) {
    LogCapture log;
    const float src[2] = {1.0f, 2.0f};
    uint8_t dst[6] = {};
    EXPECT_EQ(tarvo_cmap_float(dst, 6, src, 2, 0, 0, 4), 0);
    EXPECT_TRUE(log.contains("not initialised", "ERR"));
}

}  // namespace
