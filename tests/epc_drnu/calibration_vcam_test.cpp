// A calibration run against a virtual camera whose pixels carry fixed distance offsets and whose
// sensor has a cyclic distance error: uncorrected distances of a flat wall are off by
// centimetres, corrected ones lie within a few millimetres of the truth; and the calibration
// written, reloaded and applied corrects exactly as the tables left in memory.
#include <tarvo/epc_api.h>
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/frame_source.h"
#include "epc_config/epc_camera.h"
#include "errors/calibratable_camera.h"
#include "support/temp_dir.h"

namespace tarvo::test {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kPixels = kWidth * kHeight;
constexpr double kPixelErrorMm = 30.0;
constexpr double kCyclicErrorMm = 40.0;
// Corrected distances of a wall at 1.5 to 1.84 m keep within these bounds of the truth. What
// remains is the ADC's rounding of dim samples (up to about 5 mm at the corners), the step
// size, which the search finds about 0.5 mm per step short (the cyclic error biases it), and
// the interpolation of the cyclic error between steps (under 2 mm).
constexpr double kCorrectedMaxMm = 20.0;
constexpr double kCorrectedRmsMm = 5.0;

struct ErrorSummary {
    int valid = 0;
    double rms_mm = 0.0;
    double max_mm = 0.0;
    double mean_mm = 0.0;
    int outside = 0;  // pixels off by kCorrectedMaxMm or more
};

ErrorSummary compare(const std::vector<float> &metres, const scene::Scene &truth) {
    ErrorSummary s;
    double sum = 0.0;
    double sum_sq = 0.0;
    for (int q = 0; q < kPixels; ++q) {
        if (metres[q] > 65.0f)
            continue;
        const double e = (metres[q] - truth.distance_m[q]) * 1000.0;
        ++s.valid;
        sum += e;
        sum_sq += e * e;
        s.max_mm = std::max(s.max_mm, std::fabs(e));
        s.outside += std::fabs(e) >= kCorrectedMaxMm ? 1 : 0;
    }
    if (s.valid > 0) {
        s.mean_mm = sum / s.valid;
        s.rms_mm = std::sqrt(sum_sq / s.valid);
    }
    return s;
}

class CalibrationVcamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.enter();
        vcam::Bus::get().reset();
        cam_ = vcam::Bus::get().add_camera({});
        ASSERT_TRUE(cam_);
        vcam::CalibratableConfig config;
        config.errors.pixel_error_mm = kPixelErrorMm;
        config.errors.cyclic_error_mm = kCyclicErrorMm;
        geometry_ = config.camera;
        // The calibration target: every pixel at the distance the default offset stands for.
        const double box_m = 885000 / 1249 * (149896229.0 / 12e6) / 30000.0;
        calibratable_ = vcam::install_calibratable_camera(
            cam_, config, scene::surrounding_sphere(geometry_, box_m, 0.15));
        ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
        g_zr_dev = &dev_;
        reset_configuration();
        calibrateSetNumDistances(30);
        calibrateSetDRNUAverage(2);
        calibrateSetDRNUCalibrateDelay(0);
        calibrateSetDRNUDiffTemp(7);
        calibrationEnableDefaultOffset(1);
        calculationSetEnableDRNU_simulate(0);
        calculationSetEnableTemperature_simulate(0);
        calculationSetEnableAmbientLight(0);
        imageDifferenceSetThreshold(0);
        imageSetNumberOfPicture(1);
        imageSetProcessing(0);
        calculationEnableKalman(0);
        saturationEnable(0);
        adcOverflowEnable(0);
    }

    void TearDown() override {
        g_zr_dev = nullptr;
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
    }

    // The wall's distances through the fast route as the driver decodes a frame.
    std::vector<float> measure(int drnu_mode) {
        apiLoadConfig(1, 0x20);
        const uint16_t *frame = nullptr;
        // A loaded machine may miss a frame now and then; ask again.
        for (int attempt = 0; attempt < 5; ++attempt) {
            EXPECT_EQ(pruGetImage(&frame), kPixels * 4);
            if (epc::frame_source_last_ok())
                break;
        }
        EXPECT_TRUE(epc::frame_source_last_ok());
        const vcam::Temperatures t = calibratable_->temperatures();
        const int16_t header[2] = {t.chip, t.ib};
        temperatureSetTemperatureByFrameHeader(header);
        calculationSetEnableTemperature_simulate(1);
        calculationSetEnableDRNU_simulate(drnu_mode);
        std::vector<float> metres(kPixels);
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(2, metres.data(), frame, kPixels), kPixels);
        return metres;
    }

    TempDir dir_;
    std::shared_ptr<vcam::Camera> cam_;
    std::shared_ptr<vcam::CalibratableCamera> calibratable_;
    scene::Camera geometry_;
    tarvo_dev_t dev_{};
};

TEST_F(CalibrationVcamTest, CalibrationCorrectsPixelAndCyclicErrors) {
    ASSERT_EQ(calibrationDRNU(), 0);
    // The step size found is the delay line's: 1.8 ns of register 0xE9 = 0x80 at 40.0 degrees.
    const double step_mm = vcam::delay_step_m(0x80, 400) * 1000.0;
    EXPECT_NEAR(calibrateGetStepCalMM(), step_mm, 1.0);
    EXPECT_EQ(calibrateGetNumDistances(), 30);

    const scene::Scene wall = scene::flat_wall(geometry_, 1.5, 0.8);
    calibratable_->set_scene(wall);
    const ErrorSummary before = compare(measure(0), wall);
    const std::vector<float> corrected = measure(2);
    const ErrorSummary after = compare(corrected, wall);
    std::printf(
        "wall at 1.5 m: uncorrected rms %.1f mm, max %.1f mm, %d pixels off by %.0f mm or "
        "more; corrected rms %.2f mm, max %.2f mm, mean %.2f mm over %d pixels; step "
        "%.1f mm\n",
        before.rms_mm, before.max_mm, before.outside, kCorrectedMaxMm, after.rms_mm, after.max_mm,
        after.mean_mm, after.valid, calibrateGetStepCalMM());
    EXPECT_EQ(before.valid, kPixels);
    EXPECT_GT(before.outside, kPixels / 2);
    EXPECT_EQ(after.valid, kPixels);
    EXPECT_EQ(after.outside, 0);
    EXPECT_LT(after.rms_mm, kCorrectedRmsMm);

    // Written, reloaded and applied: the same distances as the tables in memory.
    std::memset(distImagesDRNU, 0, sizeof distImagesDRNU);
    std::memset(distImagesDRNUMin, 0, sizeof distImagesDRNUMin);
    std::memset(distImagesDRNUMax, 0, sizeof distImagesDRNUMax);
    offsetDRNU = 0;
    gStepCalMM = 0.0;
    gTempCal = 0;
    gTempCalIb = 0;
    calibrateSetNumDistances(0);
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    const std::vector<float> reloaded = measure(2);
    EXPECT_EQ(reloaded, corrected);
}

TEST_F(CalibrationVcamTest, DelayStepShiftsTheRenderedPhase) {
    calibratable_->set_cyclic_error_mm(0.0);
    calibratable_->set_pixel_offsets(std::vector<double>(kPixels, 0.0));
    const scene::Scene wall = scene::flat_wall(geometry_, 1.0, 0.8);
    calibratable_->set_scene(wall);
    const int centre = 120 * kWidth + 160;
    const float at_zero = measure(0)[centre];
    const double step_m = vcam::delay_step_m(0x80, 400);
    const struct {
        uint8_t step;
        uint8_t calibration;
    } cases[] = {{3, 0x80}, {3, 0xFF}, {7, 0x90}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.step * 1000 + c.calibration);
        calibratable_->sensor()->set_reg(vcam::kRegDelayStep, c.step);
        calibratable_->sensor()->set_reg(vcam::kRegDelayCalibration, c.calibration);
        const double expected = c.step * vcam::delay_step_m(c.calibration, 400);
        EXPECT_NEAR(calibratable_->delay_shift_m(), expected, 1e-12);
        EXPECT_NEAR(measure(0)[centre] - at_zero, expected, 0.002);
    }
    EXPECT_NEAR(step_m, 0.27751, 0.00001);
    EXPECT_NEAR(vcam::delay_step_ns(0xFF, 270), 1.8, 1e-12);
}

// The sensor is a stage of the one scene renderer: without errors, at the clock the driver set
// and no delay step, it gives the ideal sensor's samples bit for bit; a pixel's offset moves
// that pixel's phase only, never its amplitude.
TEST_F(CalibrationVcamTest, SensorStageOfTheSceneStream) {
    const auto &stage = calibratable_->stage();
    stage->set_cyclic_error_mm(0.0);
    ASSERT_TRUE(stage->set_pixel_offsets(std::vector<double>(kPixels, 0.0)));
    vcam::SceneStreamConfig config;
    config.scene = scene::box(geometry_, 3.0, 1.2, 0.3, 0.25, 0.4, 0.8, 0.5);
    config.model.noise = 2.0;
    const std::vector<uint16_t> ideal = vcam::render_scene_frame(config, 700.0, {});
    config.sensor = stage;
    const vcam::SensorConditions now = stage->begin_frame();
    EXPECT_EQ(now.modulation_khz, 12000.0);
    EXPECT_EQ(now.delay_shift_m, 0.0);
    EXPECT_EQ(now.temp_chip, 400);
    EXPECT_EQ(now.temp_ib, 384);
    EXPECT_TRUE(vcam::render_scene_frame(config, 700.0, now) == ideal);

    std::vector<double> offsets(kPixels, 0.0);
    const int pixel = 100 * kWidth + 60;
    offsets[pixel] = 0.05;
    ASSERT_TRUE(stage->set_pixel_offsets(offsets));
    const scene::PixelSignal light = scene::scene_signal(config.scene, config.model);
    scene::PixelSignal seen = light;
    stage->apply(stage->begin_frame(), config.scene, config.model, seen);
    EXPECT_EQ(seen.amplitude, light.amplitude);
    EXPECT_DOUBLE_EQ(seen.phase_rad[pixel],
                     scene::phase_rad(config.model, config.scene.distance_m[pixel] + 0.05));
    seen.phase_rad[pixel] = light.phase_rad[pixel];
    EXPECT_EQ(seen.phase_rad, light.phase_rad);
}

TEST_F(CalibrationVcamTest, TemperaturesFollowTheirDrift) {
    const vcam::TemperatureDrift drift{350.0, 300.0, 2.0, -1.0};
    const vcam::Temperatures later = vcam::temperatures_at(drift, 10.0);
    EXPECT_EQ(later.chip, 370);
    EXPECT_EQ(later.ib, 290);
    calibratable_->set_drift({355.0, 310.0, 0.0, 0.0});
    int16_t values[9] = {};
    measure(0);  // a frame publishes the temperatures
    EXPECT_EQ(temperatureGetTemperatures(0x20, values), 5);
    EXPECT_EQ(values[0], 355);
    EXPECT_EQ(values[3], 355);
    EXPECT_EQ(values[4], 310);
    EXPECT_EQ(temperatureGetTemperature(), 355);
}

TEST_F(CalibrationVcamTest, RunThatNeverSettlesFailsAndRestores) {
    // Five degrees a second: every run drifts past the allowed 0.7 degrees within a few steps.
    calibratable_->set_drift({400.0, 384.0, 50.0, 0.0});
    calibrationSetOffsetPhase(123);
    pruSetMinAmplitude(30);
    EXPECT_EQ(calibrationDRNU(), -1);
    EXPECT_EQ(calibratable_->sensor()->reg(0xAE), 1);
    EXPECT_EQ(calibratable_->sensor()->reg(vcam::kRegDelayStep), 0);
    EXPECT_EQ(configGetCurrentMode(), 0);
    EXPECT_EQ(calibrationGetOffsetPhase(), 123);
    EXPECT_EQ(pruGetMinAmplitude(), 30);
    EXPECT_FALSE(std::filesystem::exists("calib_and_param_001.bin"));
}

TEST_F(CalibrationVcamTest, ChipAccess) {
    uint16_t record[8] = {};
    EXPECT_EQ(chipInfoGetInfo(0x20, record), 8);
    const uint16_t expected[8] = {0x02, 3, 0x01, 1, 1, 2, 4, configGetSequencerVersion()};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), record));
    configSetPartType(0);
    configSetChipID(0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(boot(), 0x20);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("deviceAddress = 0x20\n"), std::string::npos);
    EXPECT_NE(out.find("PART_TYPE: 2\n"), std::string::npos);
    EXPECT_NE(out.find("CHIP_ID: 1\n"), std::string::npos);
    EXPECT_EQ(configGetPartType(), 2);
    EXPECT_EQ(configGetChipID(), 1);
    EXPECT_EQ(configGetDeviceAddress(), 0x20);
    // Normal mode switches the clocks over only when register 0x7E shows the boot mode.
    calibratable_->sensor()->clear_writes();
    bootNormalMode(0x20);
    EXPECT_TRUE(calibratable_->sensor()->writes().empty());
    calibratable_->sensor()->set_reg(0x7E, 0x80);
    bootNormalMode(0x20);
    const RegWrites switched = {{0x7D, 0x9F}, {0x80, 0x00}, {0x7D, 0x94},
                                {0x7D, 0x84}, {0x7D, 0x04}, {0x80, 0x3F}};
    EXPECT_EQ(calibratable_->sensor()->writes(), switched);
}

}  // namespace
}  // namespace tarvo::test
