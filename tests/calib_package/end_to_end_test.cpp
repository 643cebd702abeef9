// Opening a camera whose DRNU files are missing fetches its factory calibration, unpacks it
// into the path prefix and corrects distances with it; a camera whose files are there is not
// asked for them.
#include <tarvo/epc_calc.h>
#include <tarvo/frame_image.h>
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "calib/camera_calibration.h"
#include "errors/calibratable_camera.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "vcam.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;

constexpr int kPixels = 320 * 240;
constexpr uint32_t kFrameBytes = kPixels * 8;
// The per-pixel and cyclic errors of the DRNU calibration run's own test, and its bounds for
// corrected distances of a flat wall.
constexpr double kPixelErrorMm = 30.0;
constexpr double kCyclicErrorMm = 40.0;
constexpr double kCorrectedMaxMm = 12.0;
constexpr double kCorrectedRmsMm = 5.0;
// The camera's chip 1 on wafer 1 at 12 MHz (frequency mode 2).
constexpr const char *kImagesFile = "tcm_ex_images_drnu_W001_C001_10.bin";
constexpr const char *kParamFile = "tcm_ex_drnu_param_W001_C001_10.bin";

struct Accuracy {
    int valid = 0;
    int outside = 0;  // off by kCorrectedMaxMm or more
    double rms_mm = 0.0;
    double max_mm = 0.0;
};

Accuracy accuracy(const std::vector<float> &metres, const scene::Scene &truth) {
    Accuracy a;
    double sum_sq = 0.0;
    for (int q = 0; q < kPixels; ++q) {
        if (metres[q] > 65.0f)
            continue;
        const double e = (metres[q] - truth.distance_m[q]) * 1000.0;
        ++a.valid;
        sum_sq += e * e;
        a.max_mm = std::max(a.max_mm, std::fabs(e));
        a.outside += std::fabs(e) >= kCorrectedMaxMm ? 1 : 0;
    }
    a.rms_mm = a.valid > 0 ? std::sqrt(sum_sq / a.valid) : 0.0;
    return a;
}

class CalibrationFromCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.enter();
        tarvo_path_cfg("");  // the current directory, where the DRNU module reads its files
        vcam::Bus::get().reset();
        cam_ = vcam::Bus::get().add_camera({});
        config_.errors.pixel_error_mm = kPixelErrorMm;
        config_.errors.cyclic_error_mm = kCyclicErrorMm;
        wall_ = scene::flat_wall(config_.camera, 1.5, 0.8);
        calibratable_ = vcam::install_factory_calibrated_camera(cam_, config_, wall_);
    }
    void TearDown() override {
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
        tarvo_path_cfg(".\\");
    }

    size_t mode_switches() const {
        size_t n = 0;
        for (const vcam::CommandRecord &c : cam_->commands()) {
            n += c.type == vcam::kTypeDevice && c.value == vcam::kDevParamSet && !c.data.empty() &&
                 c.data[0] == vcam::kParamMode;
        }
        return n;
    }

    std::vector<float> distances() {
        EXPECT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, 10 * TARVO_CAP_FRAME_UNIT));
        EXPECT_TRUE(tarvo_cap_start(&dev_));
        std::vector<uint8_t> frame(kFrameBytes);
        tarvo_frame_info_t info{};
        EXPECT_EQ(tarvo_cap_get_frames(&dev_, 1, frame.data(), kFrameBytes, &info), 1);
        tarvo_cap_stop(&dev_);
        std::vector<float> metres(kPixels);
        EXPECT_EQ(tarvo_frame_get_distance(&dev_, metres.data(), kPixels, frame.data(), kFrameBytes,
                                           &info),
                  kPixels);
        return metres;
    }

    LogCapture log_;
    TempDir dir_;
    std::shared_ptr<vcam::Camera> cam_;
    vcam::CalibratableConfig config_;
    scene::Scene wall_;
    std::shared_ptr<vcam::CalibratableCamera> calibratable_;
    tarvo_dev_t dev_{};
};

TEST_F(CalibrationFromCamera, OpenFetchesUnpacksAndCorrects) {
    ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
    EXPECT_FALSE(log_.contains("Load calibration data failed"));
    EXPECT_TRUE(log_.contains("[_calib_pk_parse] unzip", "DBG"));
    EXPECT_EQ(mode_switches(), 2u);
    // Only the two calibration files are left.
    std::vector<std::string> files;
    for (const auto &e : fs::directory_iterator(dir_.path()))
        files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{kParamFile, kImagesFile}));
    EXPECT_EQ(fs::file_size(kImagesFile), 30u * kPixels * 2);
    ASSERT_EQ(calculationGetEnableDRNU(), 2);

    const Accuracy corrected = accuracy(distances(), wall_);
    calculationSetEnableDRNU_simulate(0);
    const Accuracy raw = accuracy(distances(), wall_);
    std::printf(
        "wall at 1.5 m: without DRNU %d pixels off by %.0f mm or more; with the camera's "
        "calibration rms %.2f mm, max %.2f mm over %d pixels\n",
        raw.outside, kCorrectedMaxMm, corrected.rms_mm, corrected.max_mm, corrected.valid);
    EXPECT_EQ(corrected.valid, kPixels);
    EXPECT_EQ(corrected.outside, 0);
    EXPECT_LT(corrected.rms_mm, kCorrectedRmsMm);
    EXPECT_GT(raw.outside, kPixels / 2);
}

TEST_F(CalibrationFromCamera, FilesPresentMeansNoUpload) {
    std::vector<uint8_t> image(kPixels * 2, 0);
    FILE *f = std::fopen(kImagesFile, "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
    ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
    EXPECT_EQ(mode_switches(), 0u);
    EXPECT_EQ(cam_->stream_stats().starts, 0u);
    EXPECT_FALSE(fs::exists(kParamFile));
    EXPECT_FALSE(log_.contains("Load calibration data failed"));
}

TEST_F(CalibrationFromCamera, CameraWithoutCalibrationFailsTheLoadOnly) {
    vcam::remove_factory_calibration(*cam_);
    ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
    EXPECT_EQ(log_.count("Calib data not valid", "DBG"), 1u);
    EXPECT_TRUE(log_.contains("Load calibration data failed", "ERR"));
    EXPECT_EQ(mode_switches(), 2u);
    EXPECT_EQ(cam_->param(vcam::kParamMode).value_or(std::vector<uint8_t>{0})[0],
              vcam::kModeNormal);
}

}  // namespace
}  // namespace tarvo::test
