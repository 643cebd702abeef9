// The sorted route: the calculator's packed results, the eight variants' sample layouts, the
// filter chain's corrections and offset, Kalman filtering and the grayscale path.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "epc/calc_state.h"
#include "pipeline_fixture.h"

namespace {

using tarvo::test::PipelineTest;

TEST_F(PipelineTest, CalculatorSineFourDcs) {
    calculatorInit(2);
    adcOverflowEnable(1);
    saturationEnable(1);
    struct Case {
        uint16_t d[4];
        uint32_t packed;
        int amp;
    };
    const Case cases[] = {
        // arg1 = 0, arg2 = 2000: amplitude sqrt(4e6 / 4) = 1000 (approximated: 998).
        {{1000, 1000, 3000, 1000}, 998u << 16 | 15000u, 1000},
        {{1500, 1200, 2500, 2000}, 0, 640},
        {{4095, 1000, 3000, 1000}, 0xFF78FF78u, -136},
        {{1000, 0, 3000, 1000}, 0xFFDCFFDCu, -36},
    };
    for (const Case &c : cases) {
        calculatorSetArgs4DCS(c.d[0], c.d[1], c.d[2], c.d[3], 7, 9);
        EXPECT_EQ(indexMemory, 7);
        EXPECT_EQ(indexCal, 9);
        const uint32_t packed = calculatorGetDistAndAmpSine();
        if (c.packed != 0)
            EXPECT_EQ(packed, c.packed);
        else
            EXPECT_EQ(packed & 0xFFFF, 18222u);
        EXPECT_EQ(calculatorGetAmpSine(), c.amp);
    }
    // Saturation off: 4095 is only an overflow.
    saturationEnable(0);
    calculatorSetArgs4DCS(4095, 1000, 3000, 1000, 0, 0);
    EXPECT_EQ(calculatorGetDistAndAmpSine(), 0xFFDCFFDCu);
}

TEST_F(PipelineTest, CalculatorTwoDcsAndPn) {
    calculatorInit(1);
    adcOverflowEnable(1);
    // arg2 = 2048 - 1048 = 1000, arg1 = 2048 - 1548 = 500.
    calculatorSetArgs2DCS(1048, 1548, 0, 0);
    EXPECT_EQ(arg1, 500);
    EXPECT_EQ(arg2, 1000);
    EXPECT_EQ(pixelDCS2, adcOverflowGetMin());
    EXPECT_EQ(calculatorGetDistAndAmpPN(), 1500u << 16 | 10000u);
    EXPECT_EQ(calculatorGetAmpPN(), 1500);
    EXPECT_EQ(calculatorGetDistAndAmpSine() & 0xFFFF,
              static_cast<uint32_t>((atan2_lut(500, 1000) + 315000) % 30000));
    // No signal at all: the PN ratio is undefined and the pixel reads as too dark.
    calculatorSetArgs2DCS(2048, 2048, 0, 0);
    EXPECT_EQ(calculatorGetDistAndAmpPN(), 0xFF14FF14u);
    // epc635 samples carry the value in their upper 12 bits.
    configSetPartType(4);
    calculatorSetPixelMask(0xFFFF);
    calculatorSetArgs2DCS(1048 << 4, 1548 << 4, 0, 0);
    EXPECT_EQ(arg1, 500);
    EXPECT_EQ(arg2, 1000);
    calculatorSetArgs4DCS(1000 << 4, 1000 << 4, 3000 << 4, 1200 << 4, 0, 0);
    EXPECT_EQ(arg1, 200);
    EXPECT_EQ(arg2, 2000);
}

TEST(FastSqrt, WithinAFewTenthsOfAPercent) {
    for (float x : {1.0f, 2.0f, 100.0f, 12345.0f, 1e6f, 3.3e7f})
        EXPECT_NEAR(sqrt2(x), std::sqrt(x), std::sqrt(x) * 0.002f) << x;
    EXPECT_EQ(sqrt2(0.0f), 0.0f);
}

// A 2-column image, 2 rows per half: four read-out lines of two samples per plane.
class SmallFrame : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        pruSetSize(2, 2);
        adcOverflowEnable(1);
    }
    static constexpr int kN = 8;
    std::vector<uint16_t> frame_;

    int run(int (*variant)(int, uint16_t **), int type, uint16_t **out, int dcs) {
        pruSetDCS(dcs);
        hand_over(frame_);
        return variant(type, out);
    }
};

TEST_F(SmallFrame, DefaultVariantsPutLinesIntoRows) {
    // Four planes; the pixel at input position s gets phase 15000 and amplitude 10 x (s + 1).
    frame_.assign(4 * kN, 2048);
    for (int s = 0; s < kN; ++s) {
        const int a = 10 * (s + 1);
        frame_[s] = static_cast<uint16_t>(2048 - a);
        frame_[2 * kN + s] = static_cast<uint16_t>(2048 + a);
    }
    uint16_t *out = nullptr;
    ASSERT_EQ(run(calcDefPiDelayGetDataSorted, 2, &out, 4), 2 * kN);
    // Lines 0..3 fill rows 1, 2, 0, 3.
    const int line_of_row[4] = {2, 0, 1, 3};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 2; ++c) {
            const int s = line_of_row[r] * 2 + c;
            EXPECT_EQ(out[r * 2 + c], 15000);
            EXPECT_NEAR(out[kN + r * 2 + c], 10 * (s + 1), 1) << "row " << r;
        }
    }
    ASSERT_EQ(run(calcDefPiDelayGetDataSorted, 1, &out, 4), kN);
    EXPECT_EQ(out[2], 10 * (line_of_row[1] * 2 + 1));
    // The same frame through the PN form: distance from the ratio of the two differences.
    ASSERT_EQ(run(calcPNDefPiDelayGetDataSorted, 0, &out, 4), kN);
    EXPECT_EQ(out[0], 0);  // arg1 = 0
}

TEST_F(SmallFrame, TwoDcsVariantReadsTwoPlanes) {
    frame_.assign(2 * kN, 2048);
    for (int s = 0; s < kN; ++s)
        frame_[s] = 1048;   // arg2 = 1000, arg1 = 0
    frame_[kN + 3] = 1048;  // pixel at input 3: arg1 = 1000
    uint16_t *out = nullptr;
    ASSERT_EQ(run(calcDefNoPiDelayGetDataSorted, 0, &out, 2), kN);
    // Input 3 is line 1, column 1: row 2.
    EXPECT_EQ(out[2 * 2 + 1], (atan2_lut(1000, 1000) + 315000) % 30000);
    EXPECT_EQ(out[0], 15000);
    ASSERT_EQ(run(calcPNDefNoPiDelayGetDataSorted, 0, &out, 2), kN);
    EXPECT_EQ(out[2 * 2 + 1], 15000);  // 1000 / (1000 + 1000) of a period
    // A frame with too few samples for two planes is refused.
    frame_.resize(kN + 3);
    EXPECT_EQ(run(calcDefNoPiDelayGetDataSorted, 0, &out, 1), -1);
}

TEST_F(SmallFrame, DualMgxPairsAdjacentLines) {
    // One plane: lines 0, 1 hold the first sample of both halves, lines 2, 3 the second.
    frame_ = {1048, 1048, 1048, 1048, 2048, 1048, 2048, 2048};
    uint16_t *out = nullptr;
    ASSERT_EQ(run(calcMGXNoPiDelayGetDataSorted, 0, &out, 1), 4);
    // Line 0 -> row 0 (top half), line 1 -> row 1; partner of input 1 is input 5.
    EXPECT_EQ(out[0], 15000);
    EXPECT_EQ(out[1], (atan2_lut(1000, 1000) + 315000) % 30000);
    EXPECT_EQ(out[2], 15000);
    EXPECT_EQ(out[3], 15000);
    ASSERT_EQ(run(calcPNMGXNoPiDelayGetDataSorted, 0, &out, 1), 4);
    EXPECT_EQ(out[1], 15000);
    // With pi delay the second plane holds DCS2 and DCS3 at the same places.
    frame_ = {1048, 1048, 1048, 1048, 2048, 2048, 2048, 2048,
              3048, 3048, 3048, 3048, 2048, 2048, 2048, 2048};
    ASSERT_EQ(run(calcMGXPiDelayGetDataSorted, 2, &out, 2), 8);
    // The amplitude plane starts a full frame's pixels in, as in the other variants.
    for (int q = 0; q < 4; ++q) {
        EXPECT_EQ(out[q], 15000);
        EXPECT_NEAR(out[kN + q], 1000, 2);
    }
    ASSERT_EQ(run(calcPNMGXPiDelayGetDataSorted, 0, &out, 2), 4);
    EXPECT_EQ(out[0], 0);
}

TEST_F(SmallFrame, FilterChainCorrectsAndAddsTheOffset) {
    frame_.assign(4 * kN, 2048);
    for (int s = 0; s < kN; ++s) {
        frame_[s] = 1048;
        frame_[2 * kN + s] = 3048;
    }
    frame_[3] = 0;  // one overflow
    calibrationSetOffsetPhase(16000);
    uint16_t *out = nullptr;
    pruSetDCS(4);
    hand_over(frame_);
    ASSERT_EQ(calculationDistanceSorted(&out), kN);
    // 15000 + 16000 wraps to 1000; the overflow code is left alone.
    EXPECT_EQ(out[0], 1000);
    EXPECT_EQ(out[2 * 2 + 1], 65500);
    // Temperature compensation (no DRNU), at the calibration temperatures: only its fixed
    // 1.78-unit step remains.
    calculationSetEnableTemperature_simulate(1);
    const int16_t header[2] = {static_cast<int16_t>(gTempCal), static_cast<int16_t>(gTempCalIb)};
    temperatureSetTemperatureByFrameHeader(header);
    calibrationSetOffsetPhase(0);
    hand_over(frame_);
    ASSERT_EQ(calculationDistanceAndAmplitudeSorted(&out), 2 * kN);
    EXPECT_EQ(out[0], 14998);
    EXPECT_NEAR(out[kN], 1000, 2);
    EXPECT_EQ(out[kN + 5], 65500);
}

// Dual MGX halves the image; the filter chain works on its distance plane and leaves the
// amplitude plane, a full frame's pixels in, as the calculator gave it.
TEST_F(SmallFrame, DualMgxChainKeepsTheAmplitudePlane) {
    const std::vector<uint16_t> one_plane = {1048, 1048, 1048, 1048, 2048, 1048, 2048, 2048};
    const std::vector<uint16_t> two_planes = {1048, 1048, 1048, 1048, 2048, 2048, 2048, 2048,
                                              3048, 3048, 3048, 3048, 2048, 2048, 2048, 2048};
    const int16_t at_calibration[2] = {static_cast<int16_t>(gTempCal),
                                       static_cast<int16_t>(gTempCalIb)};
    uint16_t *out = nullptr;
    const struct {
        const char *stage;
        std::function<void()> set_up;
        std::function<int(int)> distance;  // of the unfiltered distance
    } stages[] = {
        {"temperature compensation",
         [&] {
             calculationSetEnableTemperature_simulate(1);
             temperatureSetTemperatureByFrameHeader(at_calibration);
         },
         [](int d) { return d - 2; }},
        {"offset", [] { calibrationSetOffsetPhase(100); }, [](int d) { return d + 100; }},
        {"difference filter",
         [&] {
             imageDifferenceSetThreshold(50);
             hand_over(frame_);
             calculationDistanceAndAmplitudeSorted(&out);  // the reference image
         },
         [](int) { return 65300; }},
    };
    constexpr int kPixels = kN / 2;
    for (const bool pi : {false, true}) {
        for (const auto &stage : stages) {
            SCOPED_TRACE(testing::Message() << stage.stage << (pi ? ", pi delay" : ""));
            tarvo::test::reset_pipeline();
            pruSetSize(2, 2);
            pruSetDCS(pi ? 2 : 1);
            calculationEnableDualMGX(1);
            calculationEnablePiDelay(pi);
            frame_ = pi ? two_planes : one_plane;
            // In this 2 x 4 read-out output pixel q pairs samples q and q + 4 (and q + 8,
            // q + 12 with pi delay).
            std::vector<uint16_t> distance, amplitude;
            for (int q = 0; q < kPixels; ++q) {
                const uint16_t *f = frame_.data() + q;
                calculatorInit(pi ? 2 : 1);
                if (pi)
                    calculatorSetArgs4DCS(f[0], f[4], f[8], f[12], q, q);
                else
                    calculatorSetArgs2DCS(f[0], f[4], q, q);
                const uint32_t packed = calculatorGetDistAndAmpSine();
                distance.push_back(static_cast<uint16_t>(packed));
                amplitude.push_back(static_cast<uint16_t>(packed >> 16));
            }

            stage.set_up();
            hand_over(frame_);
            ASSERT_EQ(calculationDistanceAndAmplitudeSorted(&out), 2 * kPixels);
            for (int q = 0; q < kPixels; ++q) {
                EXPECT_EQ(out[q], stage.distance(distance[q])) << "pixel " << q;
                EXPECT_EQ(out[kN + q], amplitude[q]) << "pixel " << q;
                // Between the planes: no pixel.
                EXPECT_EQ(out[kPixels + q], 65300) << "pixel " << q;
            }
        }
    }
}

TEST_F(PipelineTest, AddOffsetWrapsAndSkipsCodes) {
    pruSetSize(3, 1);
    std::vector<uint16_t> img = {65300, 65400, 65500, 29990, 100, 0};
    calibrationSetOffsetPhase(20);
    ASSERT_EQ(calculationAddOffset(img.data()), 0);
    EXPECT_EQ(img, (std::vector<uint16_t>{65300, 65400, 65500, 10, 120, 20}));
    calibrationSetOffsetPhase(-200);
    calculationAddOffset(img.data());
    EXPECT_EQ(img[4], 29920);
    // DRNU mode 2 with the default offset: 885000 / 1249 = 708.
    calculationSetEnableDRNU_simulate(2);
    calibrationEnableDefaultOffset(1);
    img = {0, 1, 2, 3, 4, 5};
    calculationAddOffset(img.data());
    EXPECT_EQ(img[0], 708);
}

TEST_F(PipelineTest, DrnuModeSetsTheOffsetsAndSensorRegisters) {
    offsetDRNU = 8364;
    calculationSetEnableDRNU(2);
    // trunc(885000 / 1249 - 8364) = trunc(-7655.43)
    EXPECT_EQ(calibrationGetOffsetPhase(), -7655);
    EXPECT_EQ(calibrationGetDefaultOffsetPhase(), -7655);
    const std::vector<std::pair<int, int>> writes = {{0x71, 0}, {0x72, 0}, {0x73, 0}, {0xAE, 4}};
    EXPECT_EQ(sensor_.writes, writes);
    sensor_.writes.clear();
    calculationSetEnableDRNU(0);
    EXPECT_EQ(calibrationGetDefaultOffsetPhase(), 0);
    EXPECT_EQ(sensor_.writes.back(), std::make_pair(0xAE, 1));
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
}

TEST_F(PipelineTest, LookupTableCorrectionStaysInsideTheTable) {
    pruSetSize(2, 1);
    calibrateSetNumDistances(3);
    gStepCalMM = 416.36666666666667;  // 1000 phase units per step at 12 MHz
    offsetDRNU = 0;
    calculationSetEnableDRNU_simulate(1);
    drnuLut[0][0][0] = 11;
    drnuLut[1][0][1] = 22;
    drnuLut[2][1][0] = 33;
    // Pixel (0,0) near step 0, (0,1) at step 1, (1,0) far beyond the last step.
    std::vector<uint16_t> img = {400, 1100, 20000, 65300};
    ASSERT_EQ(calculationCorrectDRNU(img.data()), 0);
    EXPECT_EQ(img, (std::vector<uint16_t>{389, 1078, 19967, 65300}));
    // A correction below zero wraps into the period instead of reading as a code.
    img = {5, 0, 0, 0};
    calculationCorrectDRNU(img.data());
    EXPECT_EQ(img[0], 29994);
}

TEST_F(PipelineTest, DistanceImageCorrectionSearchesTheBracket) {
    pruSetSize(2, 1);
    calibrateSetNumDistances(3);
    gStepCalMM = 1249.1;  // 3000 units per step
    const uint16_t steps[3] = {1000, 2000, 3000};
    for (int q = 0; q < 4; ++q) {
        for (int s = 0; s < 3; ++s)
            distImagesDRNU[1][q * 3 + s] = steps[s];
        distImagesDRNUMin[1][q] = 1000;
        distImagesDRNUMax[1][q] = 3000;
    }
    std::vector<uint16_t> in = {1500, 2900, 500, 65400};
    std::vector<uint16_t> out(4);
    ASSERT_EQ(calculationCorrectDRNU2_opt(out.data(), in.data()), 0);
    EXPECT_EQ(out, (std::vector<uint16_t>{1500, 5700, 65300, 65400}));
    // In place.
    calculationCorrectDRNU2_opt(in.data(), in.data());
    EXPECT_EQ(in, out);
}

TEST_F(PipelineTest, KalmanFixedGainFollowsJumps) {
    pruSetSize(1, 1);
    calculationEnableKalman(1);
    struct Step {
        uint16_t in;
        uint16_t out;
    };
    // NumCheck 0: a jump of more than 500 from the last valid value resets the estimate.
    const Step steps[] = {{1000, 1000}, {1100, 1010}, {1200, 1029}, {2000, 2000}, {65300, 65300}};
    for (const Step &s : steps) {
        std::vector<uint16_t> img = {s.in, s.in};
        calculationFalmanFiltering(img.data());
        EXPECT_EQ(img[0], s.out) << s.in;
    }
}

TEST_F(PipelineTest, KalmanVarianceAndAdaptiveModes) {
    pruSetSize(1, 1);
    calculationEnableKalman(2);
    std::vector<uint16_t> img = {1000, 0};
    for (int i = 0; i < 5; ++i) {
        img[0] = 1000;
        calculationFalmanFiltering(img.data());
    }
    EXPECT_EQ(img[0], 1000);
    img[0] = 5000;  // far outside the threshold: taken as is, the statistics restart
    calculationFalmanFiltering(img.data());
    EXPECT_EQ(img[0], 5000);
    EXPECT_DOUBLE_EQ(calculationVariance(2.0, 0, 7), 0.0);
    calculationVariance(2.0, 1, 7);
    EXPECT_DOUBLE_EQ(calculationVariance(4.0, 2, 7), 2.0);
    calculationEnableKalman(3);
    calculationSetKalmanK(0.5);
    calculationSetKalmanKdiff(10.0);
    img = {3000, 0};
    calculationFalmanFiltering(img.data());  // first frame: gain 1
    EXPECT_EQ(img[0], 3000);
    img[0] = 3100;  // gain min(10 / 100, 0.5) = 0.1
    calculationFalmanFiltering(img.data());
    EXPECT_EQ(img[0], 3010);
}

TEST(CalculationInterpolate, RoundsAndHandlesEqualEnds) {
    EXPECT_EQ(calculationInterpolate(5, 0, 10, 10, 3), 12);   // 11.5 away from zero
    EXPECT_EQ(calculationInterpolate(5, 2, 7.5, 2, 100), 8);  // x1 = x0
}

TEST_F(PipelineTest, GrayscalePathCodesAndOrder) {
    pruSetSize(2, 1);
    pruSetDCS(1);
    saturationEnable(1);
    adcOverflowEnable(1);
    // Read-out lines 0 and 1 fill rows 0 and 1 of the two-row image.
    const std::vector<uint16_t> frame = {4095, 0x1000 | 700, 0, 2000};
    hand_over(frame);
    uint16_t *out = nullptr;
    ASSERT_EQ(calculationBWSorted(&out), 4);
    EXPECT_EQ(out[0], 65400);
    EXPECT_EQ(out[1], 700);
    EXPECT_EQ(out[2], 65500);
    EXPECT_EQ(out[3], 2000);
    // Two-plane mode: gate images centred on mid-scale, negative parts dropped.
    currentMode = 2;
    pruSetDCS(2);
    const std::vector<uint16_t> two = {2148, 2000, 2000, 2000, 2000, 2148, 2000, 2000};
    const struct {
        const char *name;
        int (*bw)(uint16_t **);
    } paths[] = {{"calcBWSorted", calcBWSorted}, {"calculationBW", calculationBW}};
    for (const auto &path : paths) {
        SCOPED_TRACE(path.name);
        hand_over(two);
        ASSERT_EQ(path.bw(&out), 8);
        EXPECT_EQ(out[0], 100);
        EXPECT_EQ(out[1], 0);
        EXPECT_EQ(out[4], 48);
        EXPECT_EQ(out[5], 0);
    }
    // The handed-over frame itself is left as it came.
    EXPECT_EQ(two[0], 2148);
}

TEST_F(PipelineTest, AmbientLightCorrection) {
    calculationSetAmbientLightFactor(100.0);
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(1000, 2148), 999);
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(1000, 2198), 998);  // 1.5 rounds to 2
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(1000, 1948), 1001);
    calculationSetAmbientLightFactor(0.0);
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(1000, 4000), 1000);
    configSetPartType(5);
    calculationSetAmbientLightFactor(100.0);
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(16000, 2148 * 16), 16000 - 16);
}

TEST_F(PipelineTest, ShortHandedOverFrameIsPaddedNotOverread) {
    pruSetSize(2, 1);
    pruSetDCS(4);
    // 16 samples expected; three given, exactly sized so a read past them is caught.
    const std::vector<uint16_t> frame = {1048, 1048, 1048};
    testing::internal::CaptureStdout();
    hand_over(frame);
    uint16_t *out = nullptr;
    EXPECT_EQ(calcDefPiDelayGetDataSorted(0, &out), 4);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find(" wrong frame size: expect 32, get 6"), std::string::npos);
}

}  // namespace
