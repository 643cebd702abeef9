// Temperatures from frame headers, the camera's parameter and the sensor's own read-outs, and
// the compensation of distances for them.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "pipeline_fixture.h"

namespace {

using tarvo::test::PipelineTest;

std::vector<uint8_t> le16(std::initializer_list<int16_t> values) {
    std::vector<uint8_t> bytes;
    for (int16_t v : values) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
    return bytes;
}

TEST_F(PipelineTest, CompensationShiftsValidPhasesOnly) {
    pruSetSize(3, 1);
    calculationSetEnableTemperature_simulate(1);
    calibrateSetTempCoef(2.2, 2);
    calibrateSetIbTempCoef(0.51765, 2);
    const int16_t at_calibration[2] = {static_cast<int16_t>(gTempCal),
                                       static_cast<int16_t>(gTempCalIb)};
    temperatureSetTemperatureByFrameHeader(at_calibration);
    std::vector<uint16_t> img = {1000, 65300, 65400, 65500, 29999, 0};
    ASSERT_EQ(calculationTemperatureCompensation(img.data()), 0);
    EXPECT_EQ(img, (std::vector<uint16_t>{998, 65300, 65400, 65500, 29997, 29998}));
    // Chip 10 tenths warmer, board 20 warmer: round(10 x 5.2838) + round(20 x 1.2433) = 78.
    const int16_t warmer[2] = {static_cast<int16_t>(gTempCal + 10),
                               static_cast<int16_t>(gTempCalIb + 20)};
    temperatureSetTemperatureByFrameHeader(warmer);
    img = {1000, 50, 65300, 0, 0, 0};
    calculationTemperatureCompensation(img.data());
    EXPECT_EQ(img[0], 920);
    // A phase shifted below the period's start wraps to its end instead of becoming a code.
    EXPECT_EQ(img[1], 29970);  // 50 - 78 - 1.78 + 30000
    // Off: nothing changes.
    calculationSetEnableTemperature_simulate(0);
    img = {1000, 1000, 1000, 1000, 1000, 1000};
    calculationTemperatureCompensation(img.data());
    EXPECT_EQ(img[0], 1000);
}

// Truncation toward zero keeps results between -1 and 0 at 0; only a result below 0 wraps
// into the period.
TEST_F(PipelineTest, CompensationWrapsOnlyResultsBelowZero) {
    pruSetSize(3, 1);
    calculationSetEnableTemperature_simulate(1);
    const int16_t at_calibration[2] = {static_cast<int16_t>(gTempCal),
                                       static_cast<int16_t>(gTempCalIb)};
    temperatureSetTemperatureByFrameHeader(at_calibration);
    const struct {
        uint16_t in;
        uint16_t out;
    } cases[] = {
        {3, 1},      // 1.22
        {2, 0},      // 0.22
        {1, 0},      // -0.78 truncates to 0
        {0, 29998},  // -1.78 wraps: 29998.22
    };
    for (const auto &c : cases) {
        std::vector<uint16_t> img(6, c.in);  // 3 columns, one row per half
        calculationTemperatureCompensation(img.data());
        EXPECT_EQ(img[0], c.out) << c.in;
    }
}

TEST_F(PipelineTest, EnablingCompensationSwitchesTheSensorPath) {
    EXPECT_EQ(calculationSetEnableTemperature(1), 1);
    EXPECT_EQ(calculationGetEnableTemperature(), 1);
    const std::vector<std::pair<int, int>> on = {{0x71, 0}, {0x72, 0}, {0x73, 0}, {0xAE, 4}};
    EXPECT_EQ(sensor_.writes, on);
    sensor_.writes.clear();
    calculationSetEnableTemperature(0);
    EXPECT_EQ(sensor_.writes.back(), std::make_pair(0xAE, 1));
}

TEST(TemperatureKalman, HalvesTheStep) {
    // The smoothing state is process-wide: read it back through one step first.
    int16_t values[8] = {200, 0, 0, 0, 0, 0, 0, 0};
    temperatureKalmanFilter(values, 1);
    const int previous = values[0];
    values[0] = 300;
    EXPECT_EQ(temperatureKalmanFilter(values, 0), 0);
    EXPECT_EQ(values[0], 300);
    EXPECT_EQ(temperatureKalmanFilter(values, 1), 1);
    EXPECT_EQ(values[0], static_cast<int16_t>(0.5 * previous + 150));
    // Settled on 200 from above (truncation stops an approach from below one short), then
    // towards 300: 250.
    for (int i = 0; i < 20; ++i) {
        values[0] = 200;
        temperatureKalmanFilter(values, 1);
    }
    ASSERT_EQ(values[0], 200);
    values[0] = 300;
    temperatureKalmanFilter(values, 1);
    EXPECT_EQ(values[0], 250);
    EXPECT_EQ(temperatureKalmanFilter(values, 20), 8);
}

TEST_F(PipelineTest, FrameHeaderTemperatures) {
    const int16_t pair[2] = {-55, 412};
    temperatureSetTemperatureByFrameHeader(pair);
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), -55);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), 412);
}

TEST_F(PipelineTest, CameraTemperatureParameter) {
    struct Case {
        int part;
        std::vector<uint8_t> reply;
        int expected;
        int count;
    };
    const Case cases[] = {
        {2, le16({300, 310, 320, 331}), 315, 4},
        {3, le16({-10, -11, -12, -13}), -11, 4},  // -46 / 4 toward zero
        {2, le16({300, 310}), 152, 2},            // missing values count as 0
        {4, le16({300, 310, 320, 331}), 300, 4},  // epc635: the first value
    };
    for (const Case &c : cases) {
        configSetPartType(c.part);
        sensor_.temperature_reply = c.reply;
        EXPECT_EQ(temperatureGetTemperature(), c.expected) << c.part;
        int16_t out[9] = {};
        EXPECT_EQ(temperatureGetTemperatures(0x20, out), c.count);
        EXPECT_EQ(out[0], static_cast<int16_t>(c.reply[0] | c.reply[1] << 8));
    }
    sensor_.param_ok = false;
    int16_t out[9] = {7};
    EXPECT_EQ(temperatureGetTemperatureChip(0x20, out), 0);
    EXPECT_EQ(out[0], 7);
}

class DirectReader : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        sensor_.regs[0x94] = 0x5D;
        for (int i = 0; i < 6; ++i)
            sensor_.regs[0x96 + i] = static_cast<uint8_t>(0x10 + i);
        for (int i = 0; i < 8; ++i)
            sensor_.regs[0xE8 + i] = 0xFF;
        sensor_.writes.clear();
    }
    void expect_registers_restored() {
        EXPECT_EQ(sensor_.regs[0x94], 0x5D);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(sensor_.regs[0x96 + i], 0x10 + i);
    }
};

TEST_F(DirectReader, TemperaturePixelsWithoutTrimming) {
    // Mean of each 2 x 2 block 3130: value floor((4 x 3130 - 8192) / 4) = 1082 -> 25.0 degrees.
    sensor_.frame.assign(1312, 3130);
    pruSetRowReduction(1);
    int16_t record[4] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(temperatureGetTemperatureROI(0x20, record), 4);
    testing::internal::GetCapturedStdout();
    for (int16_t t : record)
        EXPECT_EQ(t, 250);
    EXPECT_EQ(temperatureGetLastTempChip(), 250);
    EXPECT_EQ(sensor_.captures, 1);
    // The read-out was two 328-sample lines per half, in 2D.
    const std::vector<std::pair<int, int>> lines = {{0x96, 0x00}, {0x97, 0x00}, {0x98, 0x01},
                                                    {0x99, 0x47}, {0x9A, 0x7C}, {0x9B, 0x7D}};
    const auto first = std::find(sensor_.writes.begin(), sensor_.writes.end(), lines[0]);
    ASSERT_NE(first, sensor_.writes.end());
    EXPECT_TRUE(std::equal(lines.begin(), lines.end(), first));
    expect_registers_restored();
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 60);
    EXPECT_EQ(pruGetRowReduction(), 2);
    EXPECT_EQ(configGetCurrentMode(), 1);
    EXPECT_EQ(pruGetNDCS(), 4);
    // Mode 0 for the read-out, then 3D again (parameter 10).
    ASSERT_GE(sensor_.params_set.size(), 2u);
    EXPECT_EQ(sensor_.params_set.front().param_id, 10);
    EXPECT_EQ(sensor_.params_set.front().param_val[0], 0);
    EXPECT_EQ(sensor_.params_set.back().param_id, 10);
    EXPECT_EQ(sensor_.params_set.back().param_val[0], 1);

    EXPECT_DOUBLE_EQ(temperatureGetAveragedChipTemperature(0x20), 25.0);
}

// Both reductions come back as the reader found them, whatever their factor.
TEST_F(DirectReader, TemperaturePixelsRestoreEveryReduction) {
    sensor_.frame.assign(1312, 3130);
    for (int col_k = 0; col_k <= 3; ++col_k) {
        for (int row_k = 0; row_k <= 3; ++row_k) {
            SCOPED_TRACE(testing::Message() << "column k " << col_k << ", row k " << row_k);
            pruSetSize(320, 120);
            pruSetColReduction(col_k);
            pruSetRowReduction(row_k);
            int16_t record[4] = {};
            testing::internal::CaptureStdout();
            EXPECT_EQ(temperatureGetTemperatureROI(0x20, record), 4);
            EXPECT_EQ(testing::internal::GetCapturedStdout().find("WARNING"), std::string::npos);
            EXPECT_EQ(pruGetColReduction(), 1 << col_k);
            EXPECT_EQ(pruGetRowReduction(), 1 << row_k);
            EXPECT_EQ(pruGetNCols(), 320 >> col_k);
            EXPECT_EQ(pruGetNRowsPerHalf(), 120 >> row_k);
        }
    }
}

TEST_F(DirectReader, TrimmedSensorsAndAFailedCapture) {
    sensor_.frame.assign(1312, 3130);
    sensor_.regs[0xE8] = 127 + 10;  // offset 1072
    sensor_.regs[0xE9] = 127;       // slope unchanged
    int16_t record[4] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(temperatureGetTemperatureROI(0x20, record), 4);
    EXPECT_EQ(record[0], static_cast<int16_t>((10 / 3.7424012151 + 25) * 10));
    EXPECT_EQ(record[1], 250);
    // No frame: nothing measured, the configuration still restored.
    sensor_.frame_ok = false;
    int16_t untouched[4] = {1, 2, 3, 4};
    EXPECT_EQ(temperatureGetTemperatureROI(0x20, untouched), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(untouched[0], 1);
    expect_registers_restored();
}

TEST_F(DirectReader, RegisterReaderAppliesEachSensorsOwnTrimming) {
    // Raw word 0x30E6: 12518 x 0.25 + 0.5 - 2048 -> 1082.
    for (int k = 0; k < 4; ++k) {
        sensor_.regs[0x60 + 2 * k] = 0x30;
        sensor_.regs[0x61 + 2 * k] = 0xE6;
    }
    sensor_.regs[0xE8] = 127 + 20;  // sensor 0: offset 1062
    int16_t record[4] = {};
    EXPECT_EQ(temperatureGetTemperatureRegister(0x20, record), 4);
    EXPECT_EQ(record[0], static_cast<int16_t>((20 / 3.7424012151 + 27) * 10));
    // Sensor 1 starts again from the untrimmed constants.
    EXPECT_EQ(record[1], 270);
    EXPECT_EQ(record[3], 270);
    EXPECT_EQ(temperatureGetLastTempChip(), (record[0] + 3 * 270) / 4);
}

TEST_F(DirectReader, Chip7ReaderCapturesTheGrayImage) {
    // (0x2000 + 100 - 8192) x 0.134 + offset, offset = trunc(255 / 4.7 - 299) = -244.
    for (int k = 0; k < 4; ++k) {
        sensor_.regs[0x60 + 2 * k] = 0x20;
        sensor_.regs[0x61 + 2 * k] = 100;
    }
    sensor_.regs[0xD3] = 0x05;
    sensor_.regs[0xD5] = 0x7A;
    sensor_.frame.assign(320 * 1 * 240, 0);
    sensor_.frame[5] = 1234;
    currentMode = 0;
    pruSetDCS(1);
    int16_t record[4] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(temperatureGetTemperatureROI_EPC660_CHIP7(0x20, record), 4);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(record[0], static_cast<int16_t>((100 * 0.134 - 244) * 10));
    EXPECT_EQ(temperatureGetGrayscalePixel(5), 1234);
    EXPECT_EQ(temperatureGetGrayscaleData()[5], 1234);
    EXPECT_EQ(temperatureGetGrayscalePixel(-1), 0);
    // 0xD3 and 0xD5 went through their read-out settings and back.
    EXPECT_EQ(sensor_.regs[0xD3], 0x05);
    EXPECT_EQ(sensor_.regs[0xD5], 0x7A);
    EXPECT_EQ(configGetIntegrationTime2D(), 700);
}

TEST_F(DirectReader, Epc635Reader) {
    configSetPartType(4);
    pruInit();
    gX = 0x10;
    gY = 0x39;
    gZ = -268;
    sensor_.regs[0x60] = 0x20;
    sensor_.regs[0x61] = 0x64;
    sensor_.frame.assign(160 * 60, 7);
    int16_t out = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(temperatureGetTemperature635(0x20, &out), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, static_cast<int16_t>((100 * 0.134 - 268) * 10));
    EXPECT_EQ(sensor_.regs[0xD3], 0x10);
    EXPECT_EQ(sensor_.regs[0xD5], 0x39);
}

TEST(TemperatureIllumination, ConstantAdcReading) {
    temperatureInit();
    int16_t out[2] = {};
    EXPECT_EQ(temperatureGetTemperatureIllumination(out), 2);
    // (25 - (1024 - 1452.13) / 4.41) x 10
    EXPECT_EQ(out[0], 1220);
    EXPECT_EQ(out[1], 1220);
    EXPECT_EQ(temperatureGetLastTempIllumination(), 1220);
}

}  // namespace
