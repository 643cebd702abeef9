// Pixel validity tests, image filters, read-out register settings and the frame queue.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "pipeline_fixture.h"
#include "support/temp_dir.h"

namespace {

using tarvo::test::PipelineTest;

TEST_F(PipelineTest, HysteresisTurnsValidAtMinAndInvalidBelowMinMinusWidth) {
    EXPECT_EQ(hysteresisSetThresholds(100, 10), 10);
    struct Step {
        int amp_sq;
        int state;
    };
    // 10000 turns the pixel valid, 8100 keeps it, 8099 turns it invalid, 8100 keeps that.
    const Step steps[] = {{8100, 0}, {10000, 1}, {8100, 1}, {8099, 0}, {8100, 0}, {12000, 1}};
    for (const Step &s : steps) {
        EXPECT_EQ(hysteresisUpdate(42, s.amp_sq), s.state) << s.amp_sq;
        EXPECT_EQ(hysteresisIsEnabled(42), s.state);
    }
    EXPECT_EQ(hysteresisIsEnabled(43), 0);
    // Positions outside the state array are refused, not written.
    EXPECT_EQ(hysteresisUpdate(82656, 1 << 30), 0);
    EXPECT_EQ(hysteresisUpdate(-1, 1 << 30), 0);
    // The thresholds stay sane for absurd minimum amplitudes.
    hysteresisSetThresholds(100000, 10);
    EXPECT_EQ(hysteresisUpdate(42, INT32_MAX - 1), 0);
    EXPECT_EQ(hysteresisUpdateThresholds(100), 10);
    EXPECT_EQ(hysteresisUpdate(42, 10000), 1);
}

TEST_F(PipelineTest, SaturationAndAdcOverflow) {
    saturationSet4DCS(100, 200, 4095, 300);
    EXPECT_EQ(saturationCheck(), 0);  // check disabled
    saturationEnable(1);
    EXPECT_EQ(saturationCheck(), 1);
    saturationSet2DCS(4094, 0);
    EXPECT_EQ(saturationCheck(), 0);
    saturationSet1DCS(4095);
    EXPECT_EQ(saturationCheck(), 1);

    EXPECT_FALSE(adcOverflowCheck1DCS(0));  // disabled
    adcOverflowEnable(1);
    EXPECT_EQ(adcOverflowIsEnabled(), 1);
    EXPECT_TRUE(adcOverflowCheck1DCS(0));
    EXPECT_TRUE(adcOverflowCheck1DCS(4095));
    EXPECT_FALSE(adcOverflowCheck1DCS(1));
    EXPECT_FALSE(adcOverflowCheck1DCS(4094));
    EXPECT_TRUE(adcOverflowCheck2DCS(1, 4095));
    EXPECT_TRUE(adcOverflowCheck4DCS(1, 2, 3, 0));
    EXPECT_FALSE(adcOverflowCheck4DCS(1, 2, 3, 4));
    adcOverflowSetMin(16);
    adcOverflowSetMax(65503);
    EXPECT_EQ(adcOverflowGetMin(), 16);
    EXPECT_EQ(adcOverflowGetMax(), 65503);
    EXPECT_TRUE(adcOverflowCheck1DCS(15));
    EXPECT_FALSE(adcOverflowCheck1DCS(4095));
}

// Filters on a 4-column image of 4 rows per half (8 rows).
class FilterTest : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        pruSetSize(4, 4);
    }
    static constexpr int kCols = 4;
    static constexpr int kPixels = 32;
    std::vector<uint16_t> img_ = std::vector<uint16_t>(kPixels, 1000);
    uint16_t *ptr_ = nullptr;
    uint16_t **image() {
        ptr_ = img_.data();
        return &ptr_;
    }
    uint16_t &at(int r, int c) { return img_[r * kCols + c]; }
};

TEST_F(FilterTest, TemporalAverage) {
    imageSetNumberOfPicture(4);
    imageAverage(image());  // first picture starts the average
    img_.assign(kPixels, 2000);
    img_[1] = 65300;
    imageAverage(image());
    EXPECT_EQ(img_[0], 1250);
    EXPECT_EQ(img_[1], 65300);  // invalid passes through...
    img_.assign(kPixels, 3000);
    imageAverage(image());
    EXPECT_EQ(img_[1], 3000);  // ...and the average restarts at the next valid value
    EXPECT_EQ(imageSetNumberOfPicture(0), 1u);
}

// Setting the depth again keeps the running average; only a new depth starts it afresh.
TEST_F(FilterTest, TemporalAverageRestartsOnlyForANewDepth) {
    const struct {
        uint32_t again;
        uint16_t expected;  // after 1000, then 2000
    } cases[] = {
        {4, 1250},  // (2000 + 3 x 1000) / 4
        {2, 2000},  // restarted at 2000
        {0, 2000},  // depth 1: no averaging
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.again);
        imageSetNumberOfPicture(1);
        imageSetNumberOfPicture(4);
        img_.assign(kPixels, 1000);
        imageAverage(image());
        imageSetNumberOfPicture(c.again);
        img_.assign(kPixels, 2000);
        imageAverage(image());
        EXPECT_EQ(img_[0], c.expected);
    }
}

TEST_F(FilterTest, DifferenceFilterAgainstTheFirstImage) {
    imageDifferenceSetThreshold(50);
    imageDifference(image());  // reference
    EXPECT_EQ(img_[0], 1000);
    img_[0] = 1049;
    img_[1] = 1050;
    img_[2] = 951;
    img_[3] = 950;
    imageDifference(image());
    EXPECT_EQ(img_[0], 65300);
    EXPECT_EQ(img_[1], 1050);
    EXPECT_EQ(img_[2], 65300);
    EXPECT_EQ(img_[3], 950);
    // A new reference after init.
    img_.assign(kPixels, 3000);
    imageDifferenceInit();
    imageDifference(image());
    EXPECT_EQ(img_[0], 3000);
}

TEST_F(FilterTest, FourNeighbourAverage) {
    for (int i = 0; i < kPixels; ++i)
        img_[i] = static_cast<uint16_t>(100 * i);
    const std::vector<uint16_t> in = img_;
    imageSetProcessing(1);
    imageProcess(image());
    auto was = [&](int r, int c) { return static_cast<int>(in[r * kCols + c]); };
    // Row 0, corner and inner: one and two rows down.
    EXPECT_EQ(at(0, 0), (was(0, 0) + was(0, 1) + was(1, 0) + was(2, 0)) >> 2);
    EXPECT_EQ(at(0, 1), (was(0, 0) + was(0, 1) + was(0, 2) + was(1, 1) + was(2, 1)) / 5);
    EXPECT_EQ(at(1, 3), (was(0, 3) + was(1, 3) + was(1, 2) + was(3, 3)) >> 2);
    // Inner rows: vertical neighbours two rows apart.
    EXPECT_EQ(at(3, 1), (was(3, 1) + was(3, 0) + was(1, 1) + was(3, 2) + was(5, 1)) / 5);
    EXPECT_EQ(at(3, 0), (was(3, 0) + was(1, 0) + was(3, 1) + was(5, 0)) >> 2);
    // The last two rows are left alone.
    EXPECT_EQ(at(6, 1), was(6, 1));
    EXPECT_EQ(at(7, 2), was(7, 2));
}

TEST_F(FilterTest, FourNeighbourNeedsThreeValidValues) {
    at(2, 1) = 65300;
    at(4, 1) = 65300;
    at(6, 1) = 65300;
    at(4, 0) = 65300;
    at(4, 2) = 65300;
    imageAverageFourConnectivity(image());
    EXPECT_EQ(at(4, 1), 65300);  // only itself... which is invalid too
    img_.assign(kPixels, 1000);
    at(2, 1) = 65300;
    at(6, 1) = 65300;
    at(4, 0) = 65300;
    at(4, 2) = 65300;
    imageAverageFourConnectivity(image());
    EXPECT_EQ(at(4, 1), 65300);  // one valid value
    img_.assign(kPixels, 1000);
    at(2, 1) = 65300;
    at(6, 1) = 65300;
    at(4, 1) = 1300;
    imageAverageFourConnectivity(image());
    EXPECT_EQ(at(4, 1), 1100);  // three valid: (1300 + 1000 + 1000) / 3
}

TEST_F(FilterTest, EightNeighbourAverage) {
    at(4, 1) = 1900;
    at(2, 0) = 65300;
    imageSetProcessing(2);
    imageProcess(image());
    EXPECT_EQ(at(4, 1), (1900 + 7 * 1000) / 8);
    EXPECT_EQ(at(0, 1), 1000);
    img_.assign(kPixels, 1000);
    for (int c = 0; c < 3; ++c) {
        at(2, c) = 65300;
        at(6, c) = 65300;
    }
    imageProcess(image());
    EXPECT_EQ(at(4, 1), 65300);  // only three valid values
    EXPECT_EQ(imageSetProcessing(9), 3u);
}

class CorrectionFileTest : public FilterTest {
  protected:
    void SetUp() override {
        FilterTest::SetUp();
        dir_.enter();
        readOutSetROI(4, 7, 6, 9, 0x20);
        pruSetSize(4, 4);
    }
    void load(const std::string &text) {
        std::ofstream("image_correction.txt") << text;
        EXPECT_EQ(imageCorrectionLoad("image_correction.txt"), 0);
    }
    tarvo::test::TempDir dir_;
};

TEST_F(CorrectionFileTest, EntriesMappedOntoTheRegion) {
    // Column 5 row 7: image (1, 1) copies its north-east neighbour (0, 2); column 4 row 8 with
    // "E" copies (2, 1); the third is outside the region.
    load("005 007 NE\n004 008 E\n100 100 W\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(imageCorrectionTransform(), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    for (int i = 0; i < kPixels; ++i)
        img_[i] = static_cast<uint16_t>(i);
    imageCorrect(image());  // not enabled yet
    EXPECT_EQ(at(1, 1), 5);
    imageCorrectionEnable(1);
    imageCorrect(image());
    EXPECT_EQ(at(1, 1), 2);
    EXPECT_EQ(at(2, 0), 9);
}

TEST_F(CorrectionFileTest, EdgeEntriesAreRefused) {
    load("004 007 W\n007 008 SE\n005 006 S\n005 006 E\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(imageCorrectionTransform(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "pixel 4,7 can not be corrected\npixel 7,8 can not be corrected\n"
              "pixel 5,6 can not be corrected\n");
}

TEST_F(CorrectionFileTest, NeighboursOutsideTheImageAreNotRead) {
    // The bottom row copying its southern neighbour would read past the image.
    load("005 009 S\n005 008 XX\n");
    imageCorrectionEnable(1);
    pruSetSize(4, 2);  // region rows 6..9 -> four image rows
    EXPECT_EQ(imageCorrectionTransform(), 2);
    std::vector<uint16_t> exact(16, 7);
    uint16_t *p = exact.data();
    testing::internal::CaptureStdout();
    imageCorrect(&p);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "unknown neighbour, check image_correction.txt\n");
    EXPECT_EQ(imageCorrectCopyPixel(0, 15, 6, &p), -1);
    EXPECT_EQ(imageCorrectCopyPixel(0, 0, 4, &p), 0);
}

TEST_F(CorrectionFileTest, MissingFileLeavesAnEmptyList) {
    load("005 007 N\n");
    EXPECT_EQ(imageCorrectionLoad("no_such_file.txt"), 0);
    EXPECT_EQ(imageCorrectionTransform(), 0);
}

TEST_F(FilterTest, FiveImageAverageSumsWide) {
    imageInitAveragePicture();
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i) {
        img_.assign(kPixels, 20000);
        imageAveragePicture(image());
    }
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("imageAveragePicture\n"), std::string::npos);
    EXPECT_NE(printed.find("current Picture = 0\n"), std::string::npos);
    // Five values of 20000 exceed 16 bits; the average is still 20000.
    EXPECT_EQ(img_[0], 20000);
}

// Read-out settings against the simulated register file.
TEST_F(PipelineTest, ReadOutRegisterChanges) {
    sensor_.regs[0x94] = 0x40;
    sensor_.regs[0x22] = 0xA7;
    sensor_.regs[0x25] = 0xB3;
    EXPECT_EQ(readOutEnableDualMGX(1, 0x20), 0);
    EXPECT_EQ(sensor_.regs[0x94], 0xC0);
    EXPECT_EQ(sensor_.regs[0x22], 0xA4);
    EXPECT_EQ(sensor_.regs[0x25], 0xBE);
    readOutEnableDualMGX(0, 0x20);
    EXPECT_EQ(sensor_.regs[0x94], 0x40);
    EXPECT_EQ(sensor_.regs[0x22], 0xA0);
    EXPECT_EQ(sensor_.regs[0x25], 0xB5);

    readOutEnableHorizontalBinning(1, 0x20);
    EXPECT_EQ(sensor_.regs[0x94], 0x51);
    EXPECT_EQ(readOutIsHorizontalBinning(0x20), 1);
    readOutEnableVerticalBinning(1, 0x20);
    EXPECT_EQ(readOutIsVerticalBinning(0x20), 1);
    readOutSetRowReduction(3, 0x20);
    EXPECT_EQ(sensor_.regs[0x94], 0x7D);
    readOutEnableHorizontalBinning(0, 0x20);
    EXPECT_EQ(sensor_.regs[0x94], 0x6C);

    sensor_.regs[0x92] = 0x30;
    readOutEnableHDR(1, 0x20);
    EXPECT_EQ(sensor_.regs[0x92], 0x38);
    EXPECT_EQ(sensor_.regs[0x28] & 0x0F, 0x0A);
    readOutEnableHDR(0, 0x20);
    EXPECT_EQ(sensor_.regs[0x92], 0x30);
    EXPECT_EQ(sensor_.regs[0x2B] & 0x0F, 0x0B);

    sensor_.writes.clear();
    readOutSetROI(4, 323, 6, 125, 0x20);
    const std::vector<std::pair<int, int>> roi = {{0x96, 0x00}, {0x97, 0x04}, {0x98, 0x01},
                                                  {0x99, 0x43}, {0x9A, 6},    {0x9B, 125}};
    EXPECT_EQ(sensor_.writes, roi);
    EXPECT_EQ(readOutGetBottomRightX(), 323);
    EXPECT_EQ(readOutGetBottomRightY(), 125);

    sensor_.reg_ok = false;
    testing::internal::CaptureStdout();
    EXPECT_EQ(readOutEnableDualMGX(1, 0x20), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "reg read faild!\n");
}

TEST_F(PipelineTest, PnPolynomialClampsAndWrites) {
    sensor_.regs[0x92] = 0xF0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(pnSelectPolynomial(0, 9, 0x20), 0x7FE7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "i2cData[0] = 7F\ni2cData[1] = E7\n");
    EXPECT_EQ(sensor_.regs[0x92], 0xF1);
    EXPECT_EQ(sensor_.regs[0x8C], 0x7F);
    EXPECT_EQ(sensor_.regs[0x8D], 0xE7);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pnSelectPolynomial(12, 2, 0x20), 0x012D);
    EXPECT_EQ(pnSelectPolynomial(3, -1, 0x20), 0x1053);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sensor_.regs[0x92], 0xF3);
}

TEST_F(PipelineTest, DumpAllRegisters) {
    for (int i = 0; i < 256; ++i)
        sensor_.regs[i] = static_cast<uint8_t>(255 - i);
    std::vector<uint16_t> dst(256);
    EXPECT_EQ(dumpAllRegisters(0x20, dst.data()), 256);
    EXPECT_EQ(dst[0], 255);
    EXPECT_EQ(dst[255], 0);
}

TEST_F(PipelineTest, I2cRefusesBadArguments) {
    unsigned char buf[2] = {};
    unsigned char *p = buf;
    testing::internal::CaptureStdout();
    EXPECT_EQ(i2c(200, 'r', 0, 1, &p), -1);
    EXPECT_EQ(i2c(0x20, 'r', 256, 1, &p), -1);
    EXPECT_EQ(i2c(0x20, 'x', 0, 1, &p), -1);
    EXPECT_EQ(i2c(0x20, 'w', 0, 258, &p), -1);
    EXPECT_EQ(i2c(0x20, 'd', 0, 0, &p), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Device address is out of range.\nRegister address is out of range.\n"
                            "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and "
                            "'s' (software reset) are allowed.\nrw much data: 258",
                            0),
              0u)
        << printed;
    EXPECT_EQ(buf[0], 0x20);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_TRUE(sensor_.writes.empty());
}

TEST(FrameQueue, KeepsTheNewestFour) {
    queueInit();
    EXPECT_EQ(isQueueEmpty(), 1);
    EXPECT_EQ(queueError(), 0);
    uint8_t frame[8];
    for (int i = 0; i < 6; ++i) {
        frame[0] = static_cast<uint8_t>(i);
        EXPECT_EQ(enqueue(frame, sizeof frame), i < 4 ? 1 : 0);
    }
    for (int expected = 2; expected < 6; ++expected) {
        uint8_t *out = nullptr;
        ASSERT_NE(dequeue(&out), nullptr);
        EXPECT_EQ(out[0], expected);
    }
    EXPECT_EQ(isQueueEmpty(), 1);
    uint8_t *out = frame;
    EXPECT_EQ(dequeue(&out), nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(succ(3), 0);
    EXPECT_EQ(enqueue(nullptr, 4), -1);
    // Longer than a slot: cut to the slot with a warning, never past it.
    std::vector<uint8_t> big(661249, 9);
    EXPECT_EQ(enqueue(big.data(), static_cast<int>(big.size())), 1);
    cleanQueue_intern();
    EXPECT_EQ(isQueueEmpty(), 1);
}

}  // namespace
