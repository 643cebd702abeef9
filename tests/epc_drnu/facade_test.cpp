// The processing facade: region checks, binning and row reduction, the DCS counts of the
// pi-delay and dual-MGX switches, mode and frequency selection, and the board stand-ins and
// string helpers.
#include <tarvo/epc_api.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "epc/pipeline_fixture.h"
#include "support/temp_dir.h"

namespace tarvo::test {
namespace {

using FacadeTest = PipelineTest;

std::string captured(int (*fn)(int, int, int, int, int), int x0, int x1, int y0, int y1, int &rc) {
    ::testing::internal::CaptureStdout();
    rc = fn(x0, x1, y0, y1, 0x20);
    return ::testing::internal::GetCapturedStdout();
}

TEST_F(FacadeTest, RegionChecks) {
    int rc = 0;
    EXPECT_EQ(captured(apiSetROI, 4, 323, 6, 125, rc), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    EXPECT_EQ(readOutGetTopLeftX(), 4);
    const struct {
        int x0, x1, y0, y1;
        const char *message;
    } refused[] = {
        {3, 323, 6, 125, "bad x coordinates\n"},  {4, 322, 6, 125, "bad x coordinates\n"},
        {4, 329, 6, 125, "bad x coordinates\n"},  {6, 3, 6, 125, "bad x coordinates\n"},
        {4, 323, 7, 125, "bad y coordinates\n"},  {4, 323, 6, 127, "bad y coordinates\n"},
        {4, 323, -2, 125, "bad y coordinates\n"}, {0, 3, 0, 1, "bad x coordinates\n"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(captured(apiSetROI, c.x0, c.x1, c.y0, c.y1, rc), c.message);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(pruGetNCols(), 320);
        EXPECT_EQ(readOutGetTopLeftX(), 4);
    }
    pruSetRowReduction(1);
    EXPECT_EQ(captured(apiSetROI, 0, 5, 0, 1, rc), "size too small: min size = 6 x 4\n");
    EXPECT_EQ(rc, -1);
    pruSetRowReduction(0);
    EXPECT_EQ(captured(apiSetROI, 0, 5, 0, 1, rc), "");
    EXPECT_EQ(pruGetNCols(), 6);
}

TEST_F(FacadeTest, BinningAndRowReduction) {
    EXPECT_EQ(apiSetRowReduction(7, 0x20), 3);
    EXPECT_EQ(pruGetRowReduction(), 8);
    EXPECT_EQ(apiSetRowReduction(-1, 0x20), 0);
    EXPECT_EQ(pruGetRowReduction(), 1);
    EXPECT_EQ(apiEnableHorizontalBinning(1, 0x20), 1);
    EXPECT_EQ(pruGetColReduction(), 2);
    EXPECT_EQ(pruGetNCols(), 160);
    EXPECT_EQ(apiEnableHorizontalBinning(0, 0x20), 0);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(apiEnableVerticalBinning(1, 0x20), 1);
    EXPECT_EQ(pruGetRowReduction(), 2);
    EXPECT_EQ(readOutIsVerticalBinning(0x20), 1);
    // A reduction of 4 or more is kept when binning is switched on.
    apiSetRowReduction(2, 0x20);
    apiEnableVerticalBinning(1, 0x20);
    EXPECT_EQ(pruGetRowReduction(), 4);
    EXPECT_EQ(apiEnableVerticalBinning(0, 0x20), 0);
    EXPECT_EQ(pruGetRowReduction(), 1);
    EXPECT_EQ(readOutIsVerticalBinning(0x20), 0);
}

TEST_F(FacadeTest, PiDelayAndDualMgxSetTheDcsCounts) {
    const struct { int pi_delay, mgx, dcs; } cases[] = {{1, 0, 4}, {0, 0, 2}, {1, 1, 2}, {0, 1, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pi_delay * 10 + c.mgx);
        apiEnableDualMGX(0, 0x20);
        apiEnablePiDelay(c.pi_delay, 0x20);
        EXPECT_EQ(apiEnableDualMGX(c.mgx, 0x20), c.mgx);
        EXPECT_EQ(pruGetNDCS(), c.dcs);
        EXPECT_EQ(calculationIsPiDelay(), c.pi_delay);
        EXPECT_EQ(calculationIsDualMGX(), c.mgx);
        EXPECT_EQ(apiLoadConfig(0, 0x20), 0);
        EXPECT_EQ(pruGetNDCS(), 1);
        EXPECT_EQ(apiLoadConfig(1, 0x20), 1);
        EXPECT_EQ(pruGetNDCS(), c.dcs);
        EXPECT_EQ(configGetCurrentMode(), 1);
    }
    apiEnableDualMGX(0, 0x20);
    apiEnablePiDelay(1, 0x20);
}

TEST_F(FacadeTest, ModeAndFrequency) {
    EXPECT_EQ(apiSelectMode(5, 0x20), 1);
    EXPECT_EQ(calculationIsPN(), 1);
    EXPECT_EQ(apiSelectMode(-2, 0x20), 0);
    EXPECT_EQ(calculationIsPN(), 0);
    EXPECT_EQ(apiSetModulationFrequency(7, 0x20), -1);
    EXPECT_EQ(apiSetModulationFrequency(-1, 0x20), -1);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(apiSetModulationFrequency(3, 0x20), 0);
    EXPECT_EQ(configGetModulationFrequency(), 6000);
    EXPECT_EQ(apiGetModulationFrequencies()[1], 24000);
    EXPECT_EQ(apiSetMinAmplitude(30), 30);
    EXPECT_EQ(apiGetMinAmplitude(), 30);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(apiSetSpeedOfLight(299792458.0), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "apiSetSpeedOflight: 299792458.00\n");
    EXPECT_DOUBLE_EQ(apiGetSpeedOfLightDev2(), 149896229.0);
    EXPECT_EQ(apiSetDRNUAverage(3), 3);
    EXPECT_EQ(calibrateGetDRNUAverage(), 3);
    apiSetDRNUDiffTemp(0.7);
    EXPECT_EQ(calibrateGetDRNUDiffTemp(), 7);
    apiSetDRNUDelay(5.0);
    EXPECT_EQ(calibrateGetDRNUCalibrateDelay(), 5000);
}

TEST_F(FacadeTest, StandInsAndHelpers) {
    EXPECT_EQ(adcGetValueMicroAmpere(2, 0), -1);
    EXPECT_EQ(adcGetValueMicroAmpere(2, 450), 1000);
    EXPECT_EQ(adcOpen(7), 7);
    EXPECT_EQ(adcOpen(8), -1);
    EXPECT_EQ(getVersion(), 20800);
    EXPECT_EQ(gpio_get_dir(0), 1);
    EXPECT_EQ(epcSetExtModEnable(1), 1);
    EXPECT_EQ(epcgetExtModEnable(), 1);
    epcSetExtModEnable(0);

    EXPECT_EQ(helperStringToHex("FF"), 255);
    EXPECT_EQ(helperStringToHex("100"), -1);
    EXPECT_EQ(helperStringToHex("zz"), -1);
    EXPECT_EQ(helperStringToInteger("0x10"), 16);
    EXPECT_DOUBLE_EQ(helperStringToDouble("2.5"), 2.5);
    EXPECT_TRUE(helperIntervalCheck(0xFFFFFFF0u, 0x10, 0x20));
    EXPECT_FALSE(helperIntervalCheck(0, 100, 0));
    EXPECT_FALSE(helperIntervalCheck(10, 20, 11));

    char line[] = "set  roi 4 323";
    static char slots[256 * 50];
    EXPECT_EQ(helperParseCommand(line, slots), 3);
    EXPECT_STREQ(slots + 50, "roi");
    EXPECT_STREQ(slots + 150, "323");
    std::string longest(60, 'a');
    EXPECT_EQ(helperParseCommand(longest.data(), slots), 0);
    EXPECT_EQ(std::strlen(slots), 49u);

    TempDir dir;
    dir.enter();
    std::ofstream("seven") << "1234567";
    EXPECT_EQ(file_size("seven"), 7);
    EXPECT_EQ(file_size("missing"), -1);
}

}  // namespace
}  // namespace tarvo::test
