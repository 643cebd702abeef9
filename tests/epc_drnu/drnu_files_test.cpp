// DRNU calibration files and table operations without a camera: file names per frequency and
// part, the parameter file forms, distance image files (order, counts, misshapen files), the
// step temperature file, the step search at and inside its limits, line fitting, bad-pixel files
// and the temporary-name writes.
#include <tarvo/epc_api.h>
#include <tarvo/epc_calib.h>
#include <tarvo/init.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "api/path.h"
#include "epc/calibration_files.h"
#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/pipeline_fixture.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tarvo::test {
namespace {

using epc::drnu_file_name;
using epc::DrnuFile;

constexpr int kW = 4;
constexpr int kH = 2;
constexpr int kP = kW * kH;

void write_bytes(const std::string &name, const std::vector<uint8_t> &bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void write_text(const std::string &name, const std::string &text) {
    std::ofstream out(name, std::ios::binary);
    out << text;
}

void put32(std::vector<uint8_t> &b, int32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
}

void put_f64(std::vector<uint8_t> &b, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i)
        b.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

std::vector<uint8_t> with_word(std::vector<uint8_t> b, size_t at, int32_t v) {
    std::vector<uint8_t> word;
    put32(word, v);
    std::copy(word.begin(), word.end(), b.begin() + static_cast<long>(at));
    return b;
}

std::vector<uint8_t> with_f64(std::vector<uint8_t> b, size_t at, double v) {
    std::vector<uint8_t> bytes;
    put_f64(bytes, v);
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
    return b;
}

// Images of `count` steps, image after image: pixel p of step s is 1000 + 10 p + s x step.
std::vector<uint8_t> image_file(int count, int pixels, int step) {
    std::vector<uint8_t> b;
    for (int s = 0; s < count; ++s) {
        for (int p = 0; p < pixels; ++p) {
            const int v = 1000 + 10 * p + s * step;
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    return b;
}

class DrnuFilesTest : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        dir_.enter();
        reset_path_prefix();
        configSetWaferID(3);
        configSetChipID(17);
        calibrateSetWidth(kW);
        calibrateSetHeight(kH);
        calibrateSetNumDistances(30);
    }
    void TearDown() override {
        calibrateSetWidth(320);
        calibrateSetHeight(240);
        configSetWaferID(1);
        configSetChipID(1);
        PipelineTest::TearDown();
    }

    std::string images_name() const { return drnu_file_name(DrnuFile::images, 2); }

    TempDir dir_;
};

TEST_F(DrnuFilesTest, NamesFollowFrequencyModeAndPart) {
    const struct {
        int part;
        int f;
        int mode;
        DrnuFile file;
        const char *name;
    } cases[] = {
        {2, 20000, 2, DrnuFile::text_params, "tcm_ex_drnu_W003_C017_20.csv"},
        {2, 10000, 2, DrnuFile::text_params, "tcm_ex_drnu_W003_C017_10.csv"},
        {2, 5000, 2, DrnuFile::text_params, "tcm_ex_drnu_W003_C017_5.csv"},
        {2, 9999, 2, DrnuFile::temperatures, "tcm_ex_temperature_drnu_W003_C017_5.csv"},
        {3, 36000, 0, DrnuFile::ib_temperatures, "tcm_ex_ibtemperature_drnu_W003_C017_20.csv"},
        {2, 12000, 2, DrnuFile::binary_params, "tcm_ex_drnu_param_W003_C017_10.bin"},
        {2, 12000, 0, DrnuFile::binary_params, "tcm_ex_drnu_param_W003_C017_20.bin"},
        {2, 12000, 2, DrnuFile::images, "tcm_ex_images_drnu_W003_C017_10.bin"},
        {4, 20000, 2, DrnuFile::text_params, "epc635_drnu_W003_C017_20.csv"},
        {5, 10000, 1, DrnuFile::images, "epc635_images_drnu_W003_C017_20.bin"},
        {4, 5000, 2, DrnuFile::binary_params, "epc635_drnu_param_W003_C017_10.bin"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        configSetPartType(c.part);
        modulationFrequency = c.f;
        EXPECT_EQ(drnu_file_name(c.file, c.mode), c.name);
    }
    char buffer[CALIBRATION_NAME_SIZE];
    configSetPartType(2);
    EXPECT_EQ(calibrationGetParamName(buffer, 2), 34);
    EXPECT_STREQ(buffer, "tcm_ex_drnu_param_W003_C017_10.bin");
    calibrationGetDistanceImagesName(buffer, 0);
    EXPECT_STREQ(buffer, "tcm_ex_images_drnu_W003_C017_20.bin");
    modulationFrequency = 20000;
    char name[32] = "base";
    EXPECT_STREQ(configAddEndFileName(name, "txt"), "base_20.txt");
}

// The exported name functions take the table bank as callers pass it: 1 for the camera's own
// modulation, 0 for external modulation; any nonzero value names the frequency mode 2 files.
TEST_F(DrnuFilesTest, ExportedNamesReadTheirArgumentAsBank) {
    configSetPartType(2);
    const struct {
        int mode2;
        const char *images;
        const char *params;
    } cases[] = {
        {0, "tcm_ex_images_drnu_W003_C017_20.bin", "tcm_ex_drnu_param_W003_C017_20.bin"},
        {1, "tcm_ex_images_drnu_W003_C017_10.bin", "tcm_ex_drnu_param_W003_C017_10.bin"},
        {2, "tcm_ex_images_drnu_W003_C017_10.bin", "tcm_ex_drnu_param_W003_C017_10.bin"},
        {-1, "tcm_ex_images_drnu_W003_C017_10.bin", "tcm_ex_drnu_param_W003_C017_10.bin"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode2);
        char buffer[CALIBRATION_NAME_SIZE];
        calibrationGetDistanceImagesName(buffer, c.mode2);
        EXPECT_STREQ(buffer, c.images);
        calibrationGetParamName(buffer, c.mode2);
        EXPECT_STREQ(buffer, c.params);
    }
    write_bytes("tcm_ex_images_drnu_W003_C017_10.bin", image_file(1, kP, 0));
    EXPECT_EQ(calibrationDataFileCheck(1), 0);
    EXPECT_EQ(calibrationDataFileCheck(0), -1);
}

TEST_F(DrnuFilesTest, ParameterFileForms) {
    const std::string name = drnu_file_name(DrnuFile::binary_params);
    std::vector<uint8_t> full;
    put32(full, 12000);
    put32(full, 8000);
    put32(full, 350);
    put_f64(full, 300.5);
    put32(full, 300);
    const std::vector<uint8_t> no_frequency(full.begin() + 4, full.end());
    const std::vector<uint8_t> no_board(full.begin() + 4, full.end() - 4);
    const struct {
        const char *what;
        std::vector<uint8_t> bytes;
        int offset;
        int temp;
        double step;
        int board;
    } cases[] = {
        {"24 bytes", full, 8000, 350, 300.5, 500},
        {"20 bytes", no_frequency, 8000, 350, 300.5, 500},
        {"16 bytes", no_board, 8000, 350, 300.5, 450},
        {"23 bytes: defaults", std::vector<uint8_t>(full.begin(), full.end() - 1), 8364, 361, 298.2,
         341},
        {"empty: defaults", {}, 8364, 361, 298.2, 341},
        {"offset out of range: defaults", with_word(full, 4, INT32_MIN + 4), 8364, 361, 298.2, 341},
        {"temperature out of range: defaults", with_word(full, 8, INT32_MAX), 8364, 361, 298.2,
         341},
        {"board temperature out of range: defaults", with_word(full, 20, INT32_MIN), 8364, 361,
         298.2, 341},
        {"step not a number: defaults", with_f64(full, 12, std::nan("")), 8364, 361, 298.2, 341},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_bytes(name, c.bytes);
        ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
        EXPECT_EQ(calibrationGetOffsetDRNU(), c.offset);
        EXPECT_EQ(calibrateGetTempCalib(), c.temp);
        EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), c.step);
        EXPECT_EQ(calibrateGetIbTempCalib(), c.board);
        // 885000 / 1249 (the range in cm at 12 MHz) less the offset.
        EXPECT_EQ(calibrationGetDefaultOffsetPhase(), 708 - c.offset);
    }
    std::remove(name.c_str());
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
}

TEST_F(DrnuFilesTest, SavedParametersLoadAsCalibrated) {
    offsetDRNU = 7777;
    gTempCal = 402;
    gTempCalIb = 389;
    gStepCalMM = 277.25;
    ASSERT_EQ(calibrationSaveDRNU_LUT(), 0);
    EXPECT_EQ(read_file(drnu_file_name(DrnuFile::text_params)),
              "12000\n7777\n402\n277.2500\n389\n");
    EXPECT_EQ(std::filesystem::file_size(drnu_file_name(DrnuFile::binary_params)), 24u);
    offsetDRNU = gTempCal = gTempCalIb = 0;
    gStepCalMM = 0.0;
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_EQ(offsetDRNU, 7777);
    EXPECT_EQ(gTempCal, 402);
    EXPECT_EQ(gTempCalIb, 389);
    EXPECT_DOUBLE_EQ(gStepCalMM, 277.25);
}

// A package unpacked under the path prefix brings its own parameter file; it must win over one
// in the current directory, and the current directory still serves when the prefix has none.
TEST_F(DrnuFilesTest, ParametersUnderThePathPrefixWin) {
    const std::string name = drnu_file_name(DrnuFile::binary_params);
    std::vector<uint8_t> from_package;
    put32(from_package, 12000);
    put32(from_package, 8100);
    put32(from_package, 355);
    put_f64(from_package, 299.0);
    put32(from_package, 310);
    std::vector<uint8_t> from_cwd(from_package);
    from_cwd[4] = static_cast<uint8_t>(7000 & 0xff);
    from_cwd[5] = static_cast<uint8_t>(7000 >> 8);
    std::filesystem::create_directory("pkg");
    ASSERT_EQ(tarvo_path_cfg("pkg/"), 0);
    write_bytes("pkg/" + name, from_package);
    write_bytes(name, from_cwd);
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8100);
    std::filesystem::remove("pkg/" + name);
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 7000);
    reset_path_prefix();
}

TEST_F(DrnuFilesTest, DistanceImagesLoadPixelMajor) {
    write_bytes(images_name(), image_file(31, kP, 700));
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    for (int p = 0; p < kP; ++p) {
        for (int s = 0; s < 30; ++s)
            ASSERT_EQ(distImagesDRNU[1][p * 30 + s], 1000 + 10 * p + s * 700) << p << " " << s;
        EXPECT_EQ(distImagesDRNUMin[1][p], 1000 + 10 * p);
        EXPECT_EQ(distImagesDRNUMax[1][p], 1000 + 10 * p + 29 * 700);
    }
    // Saved again, the file holds the 30 images in their order.
    ASSERT_EQ(calibrationSaveDistanceImages(), 0);
    EXPECT_EQ(read_file(images_name()), [] {
        const std::vector<uint8_t> b = image_file(30, kP, 700);
        return std::string(b.begin(), b.end());
    }());

    modulationFrequency = 36000;
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 20);
    EXPECT_EQ(distImagesDRNUMax[1][0], 1000 + 19 * 700);
}

TEST_F(DrnuFilesTest, MisshapenImageFilesAreRefused) {
    write_bytes(images_name(), image_file(3, kP, 700));
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    const std::vector<uint16_t> before(distImagesDRNU[1], distImagesDRNU[1] + 3 * kP);
    const struct {
        const char *what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"half an image short", std::vector<uint8_t>(3 * kP * 2 - kP, 7)},
        {"one byte over", std::vector<uint8_t>(3 * kP * 2 + 1, 7)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_bytes(images_name(), c.bytes);
        EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
        EXPECT_EQ(calibrateGetNumDistances(), 3);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), distImagesDRNU[1]));
    }
    calibrateSetWidth(0);
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    calibrateSetWidth(kW);
    std::remove(images_name().c_str());
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    EXPECT_EQ(calibrationDataFileCheck(2), -1);
    EXPECT_EQ(calibrationLoadDistanceImages(2), -1);
}

TEST_F(DrnuFilesTest, StepTemperatureFile) {
    const std::string name = drnu_file_name(DrnuFile::temperatures);
    calibrateSetNumDistances(4);
    std::memset(gTemperatureDRNU, 0, sizeof gTemperatureDRNU);
    gTemperatureDRNU[2] = 77;
    std::string text = "400\n402\nwarm\n" + std::string(100, '4') + "\n";
    for (int i = 0; i < 40; ++i)
        text += "410\n";
    write_text(name, text);
    ASSERT_EQ(calibrationLoadTemperatureDRNU(), 0);
    // Lines that do not convert keep their entry; lines past the table are ignored.
    EXPECT_EQ(gTemperatureDRNU[0], 400);
    EXPECT_EQ(gTemperatureDRNU[1], 402);
    EXPECT_EQ(gTemperatureDRNU[2], 77);
    EXPECT_EQ(gTemperatureDRNU[3], 0);
    EXPECT_EQ(gTemperatureDRNU[29], 410);
    EXPECT_EQ(gTempCal, (400 + 402 + 77 + 0) / 4);
    std::remove(name.c_str());
    gTempCal = 5;
    EXPECT_EQ(calibrationLoadTemperatureDRNU(), -1);
    EXPECT_EQ(gTempCal, 5);
}

// Images whose steps are `step_mm` apart at 12 MHz, saved where a renewal reloads them.
void store_images(double step_mm) {
    const double lsb = step_mm * 30000.0 / 12491.0;
    for (int p = 0; p < kP; ++p)
        for (int s = 0; s < 30; ++s)
            distImagesDRNU[1][p * 30 + s] =
                static_cast<uint16_t>(900 + 3 * p + std::lround(s * lsb));
    ASSERT_EQ(calibrationSaveDistanceImages(), 0);
}

TEST_F(DrnuFilesTest, StepSearchFindsTheStepInsideItsWindow) {
    store_images(290.0);
    gStepCalMM = 298.2;
    const calibrationDRNUSummary *summary = calibrateRenewDRNU(-1);
    ASSERT_NE(summary, nullptr);
    EXPECT_NEAR(calibrateGetStepCalMM(), 290.0, 0.15);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 900 + 3 * (kP - 1) / 2);
    // The table left holds the pixels' own deviation, the same at every step.
    for (int s = 1; s < 30; ++s)
        EXPECT_NEAR(summary->stepAverage[s], summary->stepAverage[0], 2) << s;
    EXPECT_TRUE(std::filesystem::exists("calib_and_param_017.bin"));
    EXPECT_EQ(std::filesystem::file_size("calib_and_param_017.bin"), 24u + 30u * kP * 2u);
}

TEST_F(DrnuFilesTest, StepSearchAtItsLimitsKeepsTheStep) {
    for (double step : {250.0, 360.0}) {
        SCOPED_TRACE(step);
        store_images(step);
        gStepCalMM = 298.2;
        LogCapture log;
        calibrateRenewDRNU(-1);
        EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 298.2);
        EXPECT_TRUE(log.contains("cannot find best step between 2700 ~ 3400"));
    }
}

TEST_F(DrnuFilesTest, ErrorCurveEndIndexAndLines) {
    gStepCalMM = 298.2;
    EXPECT_EQ(calibrationErrorCurveEndIndex(), 50);
    calibrateSetNumDistances(3);
    for (int s = 0; s < 3; ++s)
        for (int r = 0; r < kH; ++r)
            for (int c = 0; c < kW; ++c)
                drnuLut[s][r][c] = 10 + 3 * s;
    EXPECT_DOUBLE_EQ(calibrationFindLine(2), 2.0);
    double slope = 0.0;
    double intercept = 0.0;
    ASSERT_EQ(calibrationLinearRegresion(&slope, &intercept), 0);
    EXPECT_DOUBLE_EQ(slope, 3.0);
    EXPECT_DOUBLE_EQ(intercept, 10.0);
    EXPECT_EQ(calibrationLinearRegresion(nullptr, &intercept), -1);
    calibrationCorrectDRNU_LUT(slope, intercept);
    EXPECT_EQ(calibrateGetDRNULutPixel(2, 1, 3), 0);
}

TEST_F(DrnuFilesTest, BadPixelFileIsBoundedByTheSearch) {
    std::filesystem::create_directory("calibration");
    const std::string name = epc::bad_pixel_file_name();
    EXPECT_EQ(name, "./calibration/PT02_W003_C017_bad_pixels.txt");
    int16_t values[16] = {};
    EXPECT_EQ(calibrationGetBadPixels(values), -1);  // no file
    write_text(name, "10 6\n323 125\n");
    EXPECT_EQ(calibrationGetBadPixels(values), 4);
    EXPECT_EQ(values[2], 323);
    EXPECT_EQ(calibrationGetBadPixels(nullptr), -1);
    write_text(name, "10 6 7\n");
    EXPECT_EQ(calibrationGetBadPixels(values), -1);
    // A number beyond 16 bits would wrap round to another pixel's coordinate.
    write_text(name, "10 6\n65546 6\n");
    EXPECT_EQ(calibrationGetBadPixels(values), -1);
    // Extents of 2 x 2 pixels take 8 values; a file of five pixels is refused.
    calibrationSetNumberOfRowsMax(14);
    calibrationSetNumberOfColumnsMax(10);
    write_text(name, "4 6\n5 6\n4 7\n5 7\n6 6\n");
    EXPECT_EQ(calibrationGetBadPixels(values), -1);
    calibrationSetNumberOfRowsMax(252);
    calibrationSetNumberOfColumnsMax(328);
}

TEST_F(DrnuFilesTest, BadPixelSearchWritesAndRestores) {
    // A gray frame of one plane: every sample mid-scale but read-out sample 5 (line 0, which
    // is image row 119) and the last one (line 239, image row 239).
    sensor_.frame.assign(320 * 240, 2048);
    sensor_.frame[5] = 100;
    sensor_.frame.back() = 3000;
    sensor_.regs[0x24] = 0x40;
    const uint8_t integration[4] = {0x00, 0x02, 0x01, 0x00};
    std::memcpy(&sensor_.regs[0xA0], integration, 4);
    EXPECT_EQ(calibrationSearchBadPixelsWithMin(), 2);
    EXPECT_EQ(read_file(epc::bad_pixel_file_name()), "9 125\n323 245\n");
    int16_t values[4] = {};
    EXPECT_EQ(calibrationGetBadPixels(values), 4);
    EXPECT_EQ(values[0], 9);
    EXPECT_EQ(values[3], 245);
    EXPECT_EQ(sensor_.regs[0x24], 0x40);
    EXPECT_TRUE(std::equal(integration, integration + 4, &sensor_.regs[0xA0]));
    EXPECT_EQ(configGetCurrentMode(), 1);
    EXPECT_EQ(pruGetNDCS(), 4);
    EXPECT_EQ(configGetModFreqMode(), 2);
}

TEST_F(DrnuFilesTest, StepAcquisitionLeavesMissingFramesOut) {
    // Four DCS planes of one phase everywhere (DCS2 - DCS0 = 2000: phase 15000).
    sensor_.frame.assign(4 * 320 * 240, 1000);
    std::fill(sensor_.frame.begin() + 2 * 320 * 240, sensor_.frame.begin() + 3 * 320 * 240, 3000);
    const int16_t temperatures[5] = {400, 402, 404, 406, 380};
    sensor_.temperature_reply.assign(reinterpret_cast<const uint8_t *>(temperatures),
                                     reinterpret_cast<const uint8_t *>(temperatures) + 10);
    calibrateSetDRNUCalibrateDelay(0);
    sensor_.frame_ok = false;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(calibrationCreateDRNU_LUT(0, 2), -1);
    sensor_.frame_ok = true;
    EXPECT_EQ(calibrationCreateDRNU_LUT(0, 2), 0);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(calibrateGetDistImagePixel(0), 15000);
    EXPECT_EQ(calibrateGetDistImagePixel(7 * 30), 15000);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 15000);
    EXPECT_EQ(gTemperatureDRNU[0], 403);
    EXPECT_EQ(gIbTemperatureDRNU[0], 380);
    EXPECT_EQ(calibrationCreateDRNU_LUT(30, 2), -1);
}

TEST_F(DrnuFilesTest, WritesReplaceFilesOnlyWhenComplete) {
    const std::string name = drnu_file_name(DrnuFile::text_params);
    // A folder holds the name: it is neither replaced nor written into.
    std::filesystem::create_directories(name + "/x");
    EXPECT_EQ(calibrationSaveDRNU_LUT(), -1);
    EXPECT_TRUE(std::filesystem::is_directory(name + "/x"));
    std::filesystem::remove_all(name);
    // Links planted where a writer might put its temporary file are never followed.
    write_text("victim", "victim\n");
    for (const char *suffix : {".tmp", ".part"})
        std::filesystem::create_symlink("victim", name + suffix);
    write_text(name, "old\n");
    EXPECT_EQ(calibrationSaveDRNU_LUT(), 0);
    EXPECT_NE(read_file(name), "old\n");
    EXPECT_EQ(read_file("victim"), "victim\n");
    for (const auto &entry : std::filesystem::directory_iterator(".")) {
        if (!entry.is_symlink()) {
            EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
        }
    }
}

// A FIFO named like a calibration file is no calibration: reading it neither blocks nor counts.
TEST_F(DrnuFilesTest, FifosNamedLikeCalibrationFilesAreRefused) {
    std::set<std::string> names;
    for (DrnuFile file : {DrnuFile::images, DrnuFile::binary_params, DrnuFile::temperatures}) {
        for (int mode : {0, 2})
            names.insert(drnu_file_name(file, mode));
    }
    for (const std::string &name : names)
        ASSERT_EQ(mkfifo(name.c_str(), 0600), 0) << name;
    EXPECT_EQ(calibrationDataFileCheck(0), -1);
    EXPECT_EQ(calibrationDataFileCheck(1), -1);
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    EXPECT_EQ(calibrationLoadDRNU_LUT(), 0);  // as without a file: the defaults
    EXPECT_EQ(calibrateGetStepCalMM(), 298.2);
    EXPECT_EQ(calibrationLoadTemperatureDRNU(), -1);
}

}  // namespace
}  // namespace tarvo::test
