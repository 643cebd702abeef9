// Lens parameters: the built-in set, loading "lens_param.txt" (outside input: every line checked)
// and scaling to a frame size.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "drivers/lens_param.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using tarvo::test::LogCapture;
using tarvo::test::TempDir;

constexpr const char *kElevenLines =
    "160.5\n"
    "120.25 principal point y\n"
    "200.0\n"
    "201.0\n"
    "-0.3\n"
    "0.1\n"
    "0.001\n"
    "-0.002\n"
    "0.01\n"
    "0x140\n"
    "240\n";

class LensParamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvo::set_lens_params(tarvo::default_lens_params());
        prefix_ = dir_.path().string() + "/";
        dev_.path = prefix_.c_str();
    }
    void TearDown() override { tarvo::set_lens_params(tarvo::default_lens_params()); }

    void write_file(const std::string &text) {
        std::ofstream(dir_.path() / "lens_param.txt", std::ios::binary) << text;
    }

    TempDir dir_;
    std::string prefix_;
    tarvo_dev_t dev_{};
    LogCapture log_;
};

void expect_defaults(const zr_lens_param_t &p) {
    EXPECT_EQ(p.Cx, 157.262);
    EXPECT_EQ(p.Cy, 122.083);
    EXPECT_EQ(p.Fx, 210.783);
    EXPECT_EQ(p.Fy, 204.817);
    EXPECT_EQ(p.dcoeff[0], -0.378924);
    EXPECT_EQ(p.dcoeff[1], 0.145035);
    EXPECT_EQ(p.dcoeff[2], -0.000970854);
    EXPECT_EQ(p.dcoeff[3], 6.20728e-05);
    EXPECT_EQ(p.dcoeff[4], -0.0133954);
    EXPECT_EQ(p.img_w, 320);
    EXPECT_EQ(p.img_h, 240);
}

TEST_F(LensParamTest, NoFileKeepsTheDefaults) {
    EXPECT_FALSE(_zr_update_len_param(&dev_));
    EXPECT_TRUE(log_.contains("lens_param.txt Open failed, use default param", "DBG"));
    expect_defaults(tarvo::lens_params());
    zr_calib_len_t map{};
    const zr_lens_param_t lens = tarvo::lens_params();
    EXPECT_EQ(zr_calib_len_init_map(&map, &lens), 320 * 240);
    EXPECT_EQ(map.map_w, 320);
    EXPECT_EQ(map.map_h, 240);
    zr_calib_len_uninit_map(&map);
}

// A FIFO named like the lens file is no lens file: the load neither blocks nor changes anything.
TEST_F(LensParamTest, FifoNamedLikeTheLensFileKeepsTheDefaults) {
    ASSERT_EQ(mkfifo((dir_.path() / "lens_param.txt").c_str(), 0600), 0);
    EXPECT_FALSE(_zr_update_len_param(&dev_));
    EXPECT_TRUE(log_.contains("lens_param.txt Open failed, use default param", "DBG"));
    expect_defaults(tarvo::lens_params());
}

TEST_F(LensParamTest, ElevenLinesLoad) {
    write_file(kElevenLines);
    EXPECT_TRUE(_zr_update_len_param(&dev_));
    const zr_lens_param_t p = tarvo::lens_params();
    EXPECT_EQ(p.Cx, 160.5);
    EXPECT_EQ(p.Cy, 120.25);  // only the first token of a line counts
    EXPECT_EQ(p.Fx, 200.0);
    EXPECT_EQ(p.Fy, 201.0);
    EXPECT_EQ(p.dcoeff[0], -0.3);
    EXPECT_EQ(p.dcoeff[4], 0.01);
    EXPECT_EQ(p.img_w, 320);  // 0x140
    EXPECT_EQ(p.img_h, 240);
    EXPECT_TRUE(log_.contains("Cx:160.50000", "DBG"));
    EXPECT_TRUE(log_.contains("dcoeff[4]:0.01000", "DBG"));
    EXPECT_TRUE(log_.contains("img_w = 320", "DBG"));
    EXPECT_TRUE(log_.contains("Reload lens param ok", "DBG"));
    EXPECT_TRUE(log_.unexpected("WRN").empty());
}

TEST_F(LensParamTest, TwelveLinesStoreTheValuesButFail) {
    write_file(std::string(kElevenLines) + "extra\n");
    EXPECT_FALSE(_zr_update_len_param(&dev_));
    EXPECT_EQ(tarvo::lens_params().Cx, 160.5);
    EXPECT_EQ(tarvo::lens_params().img_h, 240);
    EXPECT_TRUE(log_.contains("Param number maybe not right", "WRN"));
}

TEST_F(LensParamTest, ShortFileKeepsWhatItRead) {
    write_file("150\n110\n");
    EXPECT_FALSE(_zr_update_len_param(&dev_));
    const zr_lens_param_t p = tarvo::lens_params();
    EXPECT_EQ(p.Cx, 150);
    EXPECT_EQ(p.Cy, 110);
    EXPECT_EQ(p.Fx, 210.783);
    EXPECT_TRUE(log_.contains("Param number maybe not right", "WRN"));
}

// Lines that do not hold a usable value keep the field's previous value and fail the load;
// the other lines are stored.
TEST_F(LensParamTest, BadLinesKeepTheirFields) {
    struct Case {
        int line;  // 1-based
        const char *text;
    };
    const Case cases[] = {
        {1, "abc"},  {2, ""},   {3, "0"},     {4, "-200"},  {5, "nan"},  {6, "inf"},
        {7, "1.5x"}, {10, "0"}, {10, "-320"}, {11, "5000"}, {11, "2.5"}, {10, "99999999999999"},
    };
    for (const Case &c : cases) {
        tarvo::set_lens_params(tarvo::default_lens_params());
        std::string text;
        std::string lines[11] = {"160.5", "120.25", "200",  "201", "-0.3", "0.1",
                                 "0.001", "-0.002", "0.01", "320", "120"};
        lines[c.line - 1] = c.text;
        for (const std::string &l : lines)
            text += l + "\n";
        write_file(text);
        log_.clear();
        EXPECT_FALSE(_zr_update_len_param(&dev_)) << c.line << ": " << c.text;
        EXPECT_TRUE(log_.contains("holds no usable value", "WRN")) << c.text;
        zr_lens_param_t expected = tarvo::default_lens_params();
        expected.Cx = 160.5, expected.Cy = 120.25, expected.Fx = 200, expected.Fy = 201;
        const double dc[5] = {-0.3, 0.1, 0.001, -0.002, 0.01};
        std::copy(dc, dc + 5, expected.dcoeff);
        expected.img_w = 320, expected.img_h = 120;
        const zr_lens_param_t def = tarvo::default_lens_params();
        double *want[9] = {&expected.Cx,        &expected.Cy,        &expected.Fx,
                           &expected.Fy,        &expected.dcoeff[0], &expected.dcoeff[1],
                           &expected.dcoeff[2], &expected.dcoeff[3], &expected.dcoeff[4]};
        const double kept[9] = {def.Cx,        def.Cy,        def.Fx,
                                def.Fy,        def.dcoeff[0], def.dcoeff[1],
                                def.dcoeff[2], def.dcoeff[3], def.dcoeff[4]};
        if (c.line <= 9)
            *want[c.line - 1] = kept[c.line - 1];
        else
            (c.line == 10 ? expected.img_w : expected.img_h) = c.line == 10 ? def.img_w : def.img_h;
        const zr_lens_param_t got = tarvo::lens_params();
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << c.line << ": " << c.text;
    }
}

TEST_F(LensParamTest, OverlongLineEndsTheReading) {
    write_file("150\n" + std::string(300, '1') + "\n200\n");
    EXPECT_FALSE(_zr_update_len_param(&dev_));
    EXPECT_EQ(tarvo::lens_params().Cx, 150);
    EXPECT_EQ(tarvo::lens_params().Cy, 122.083);
    EXPECT_EQ(tarvo::lens_params().Fx, 210.783);
    EXPECT_TRUE(log_.contains("longer than 255 characters", "WRN"));
}

TEST_F(LensParamTest, ScaledToHalfSize) {
    zr_lens_param_t out{};
    ASSERT_TRUE(epc_lens_param_get(nullptr, &out, 160, 120));
    EXPECT_DOUBLE_EQ(out.Cx, 78.631);
    EXPECT_DOUBLE_EQ(out.Cy, 61.0415);
    EXPECT_DOUBLE_EQ(out.Fx, 105.3915);
    EXPECT_DOUBLE_EQ(out.Fy, 102.4085);
    EXPECT_EQ(out.img_w, 160);
    EXPECT_EQ(out.img_h, 120);
    EXPECT_EQ(out.dcoeff[0], -0.378924);
}

TEST_F(LensParamTest, SizesThatDoNotDivideAreRefused) {
    zr_lens_param_t out{};
    EXPECT_FALSE(epc_lens_param_get(nullptr, &out, 300, 240));
    EXPECT_TRUE(
        log_.contains("lens param not match the frame size: lens: 320x240, frame: 300x240", "WRN"));
    for (auto [w, h] : {std::pair{0, 240}, {320, 0}, {-160, 120}})
        EXPECT_FALSE(epc_lens_param_get(nullptr, &out, w, h)) << w << "x" << h;
    EXPECT_FALSE(epc_lens_param_get(nullptr, nullptr, 320, 240));
}

}  // namespace
