// Chip configuration against the virtual camera's EPC sensor: start-up traffic and state, modes,
// modulation frequencies, integration times and their parameter and register writes, HDR, ABS,
// the DCS-sum threshold line, clocks, restarts and the conditional print.
#include <cmath>
#include <cstring>

#include "epc_camera.h"

namespace tarvo::test {
namespace {

using ConfigTest = EpcCameraTest;

TEST_F(ConfigTest, InitProgramsTheDelayLineAndReadsTheClock) {
    EXPECT_EQ(configInit(0x20), 0);
    // Demodulation delay, then the bypass bit set on what the sensor holds; nothing else is
    // written for an epc660.
    EXPECT_EQ(writes(), (RegWrites{{0x8B, 2}, {0xAE, 1}, {0xAE, 1}}));
    const uint16_t expected[7] = {36000, 24000, 12000, 6000, 3000, 1500, 750};
    EXPECT_EQ(std::memcmp(configGetModulationFrequencies(), expected, sizeof expected), 0);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(configGetGX(), 0x10);
    EXPECT_EQ(configGetGY(), 0x39);
    EXPECT_EQ(configGetGM(), 0x34);
    EXPECT_EQ(configGetGC(), 0x8D);
    EXPECT_EQ(configGetGL(), 0);
    EXPECT_EQ(configGetGZ(), -268);
    EXPECT_EQ(configGetSequencerVersion(), 9);
    EXPECT_EQ(configIsFLIM(), 0);
    EXPECT_EQ(calibrateGetWidth(), 320);
    EXPECT_EQ(calibrateGetHeight(), 240);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    EXPECT_EQ(pruGetNumberOfHalves(), 2);
    EXPECT_EQ(pruGetNDCS(), 4);
    // No calibration tables for this camera: every correction stays off.
    EXPECT_EQ(configIsEnabledGrayscaleCorrection(), 0);
    EXPECT_EQ(configIsEnabledDRNUCorrection(), 0);
    EXPECT_EQ(configIsEnabledTemperatureCorrection(), 0);
    EXPECT_EQ(configIsEnabledAmbientLightCorrection(), 0);
    EXPECT_TRUE(params_set().empty());

    // The default processing parameters and the chip dump, in the log.
    EXPECT_EQ(log_.lines_with("[configLoadParameters] ambientLightFactor = 250.0000").size(), 1u);
    EXPECT_EQ(log_.lines_with("[configLoadParameters] epc660_TemperatureCoeff = 2.200000").size(),
              1u);
    EXPECT_EQ(log_.lines_with("[configLoadParameters] speed of light div 2 = 149896229.00").size(),
              1u);
    EXPECT_EQ(log_.lines_with("[printChipParam] chip_type: 24 ", "DBG").size(), 1u);
    EXPECT_EQ(log_.lines_with("[printChipParam] devAddress: 0x20 ").size(), 1u);
    EXPECT_EQ(log_.lines_with("[printChipParam] modulationFrequencies[6]: 750 ").size(), 1u);
    EXPECT_EQ(log_.lines_with("[printChipParam] gY: 0x39 ").size(), 1u);
    EXPECT_EQ(calibrateGetTempCoef(2), 2.2);
    EXPECT_EQ(calibrateGetTempCoef(4), 1.56131);
    EXPECT_EQ(calibrateGetIbTempCoef(2), 0.51765);
    EXPECT_DOUBLE_EQ(calculationGetAmbientLightFactor(), 250.0 / std::sqrt(700.0));
    EXPECT_TRUE(log_.unexpected("ERR").empty());
}

struct ClockCase {
    uint8_t reg81;
    uint8_t reg82;
    int sysclk;
    uint16_t table[7];
};

TEST_F(ConfigTest, FrequencyTableFollowsTheSystemClock) {
    const ClockCase cases[] = {
        {0x00, 0x17, 96000, {36000, 24000, 12000, 6000, 3000, 1500, 750}},
        {0x10, 0x0F, 32000, {36000, 8000, 4000, 2000, 1000, 500, 250}},
        {0x30, 0x1F, 16000, {36000, 4000, 2000, 1000, 500, 250, 125}},
        // Only bits 5:4 of 0x81 and bits 4:0 of 0x82 count.
        {0xC5, 0xE0, 4000, {36000, 1000, 500, 250, 125, 62, 31}},
    };
    for (const ClockCase &c : cases) {
        SCOPED_TRACE(c.sysclk);
        sensor_->set_reg(0x81, c.reg81);
        sensor_->set_reg(0x82, c.reg82);
        EXPECT_EQ(configGetSysClk(), c.sysclk);
        EXPECT_EQ(configFindModulationFrequencies(), 0);
        EXPECT_EQ(std::memcmp(configGetModulationFrequencies(), c.table, sizeof c.table), 0);
        EXPECT_DOUBLE_EQ(configGetTPLLClk(), 1e6 / c.sysclk);
    }
}

TEST_F(ConfigTest, SimulatedInitTouchesNoRegisterAndAssumes96MHz) {
    sensor_->set_reg(0x82, 0x0F);
    EXPECT_EQ(configInit_simulate(0x20), 0);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(configGetModulationFrequencies()[1], 24000);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
}

TEST_F(ConfigTest, InitOfAnEpc635) {
    configSetPartType(4);
    EXPECT_EQ(configInit(0x20), 0);
    EXPECT_EQ(writes(), (RegWrites{{0x8B, 2}, {0xAE, 1}, {0xAE, 1}, {0xCB, 0x63}}));
    EXPECT_EQ(calibrateGetWidth(), 160);
    EXPECT_EQ(calibrateGetHeight(), 60);
    EXPECT_EQ(pruGetNCols(), 160);
    EXPECT_EQ(pruGetNRowsPerHalf(), 60);
    EXPECT_EQ(pruGetNumberOfHalves(), 1);
    EXPECT_EQ(calculatorGetPixelMask(), 0xFFFF);
    EXPECT_EQ(adcOverflowGetMin(), 16);
    EXPECT_EQ(adcOverflowGetMax(), 65503);
}

struct ModeCase {
    int type;
    int mode;
};

TEST_F(ConfigTest, LoadSelectsTheModeAndTellsTheCamera) {
    const ModeCase cases[] = {{0, 0}, {1, 1}, {2, 2}, {5, 0}};
    for (const ModeCase &c : cases) {
        SCOPED_TRACE(c.type);
        sensor_->set_reg(0x92, 0xC5);
        sensor_->clear_writes();
        cam_->clear_commands();
        EXPECT_EQ(configLoad(c.type, 0x20), 0);
        EXPECT_EQ(configGetCurrentMode(), c.mode);
        if (c.type == 1) {
            // DCS count 4 into bits 5:4, the rest kept; the 3D time goes to the camera first.
            EXPECT_EQ(writes(), (RegWrites{{0x92, 0xF5}}));
            EXPECT_EQ(params_set(), (std::vector<ParamSet>{time_param(700), mode_param(1)}));
        } else {
            EXPECT_TRUE(writes().empty());
            EXPECT_EQ(params_set(), (std::vector<ParamSet>{mode_param(uint8_t(c.type))}));
        }
    }
    EXPECT_EQ(configGetModeCount(), 3);
}

TEST_F(ConfigTest, DcsCountAndPnModeBits) {
    sensor_->set_reg(0x92, 0x8F);
    EXPECT_EQ(configSetDCS(2, 0x20), 2);
    EXPECT_EQ(sensor_->reg(0x92), 0x9F);
    EXPECT_EQ(nDCSTOF, 2);
    EXPECT_EQ(configSetMode(1, 0x20), 0);
    EXPECT_EQ(sensor_->reg(0x92), 0xDF);
    EXPECT_EQ(configSetMode(0, 0x20), 0);
    EXPECT_EQ(sensor_->reg(0x92), 0x9F);
    // A count the sensor has no bits for is refused before any transfer.
    sensor_->clear_writes();
    EXPECT_EQ(configSetDCS(5, 0x20), -1);
    EXPECT_EQ(configSetDCS(0, 0x20), -1);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(nDCSTOF, 2);
    EXPECT_EQ(log_.lines_with("[configSetDCS] 5 DCS", "ERR").size(), 1u);
}

struct FrequencyCase {
    int index;
    int khz;
    uint8_t divider;
    uint8_t reg80;
};

TEST_F(ConfigTest, ModulationFrequencyWritesDividerAndReappliesTheTime) {
    const FrequencyCase cases[] = {
        {0, 36000, 0, 0x7F},
        {1, 24000, 0, 0x3F},
        {2, 12000, 1, 0x3F},
        {3, 6000, 3, 0x3F},
        {4, 3000, 7, 0x3F},
        {5, 1500, 15, 0x3F},
        {6, 750, 31, 0x3F},
        // Outside the table: row 2, while the index itself is kept.
        {9, 12000, 1, 0x3F},
        {-1, 12000, 1, 0x3F},
    };
    for (int mode : {0, 1}) {
        currentMode = mode;
        integrationTime2D = 300;
        integrationTime3D = 900;
        for (const FrequencyCase &c : cases) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " index " << c.index);
            sensor_->clear_writes();
            cam_->clear_commands();
            EXPECT_EQ(configSetModulationFrequency(c.index, 0x20), 0);
            EXPECT_EQ(configGetModulationFrequency(), c.khz);
            EXPECT_EQ(configGetModFreqMode(), c.index);
            EXPECT_EQ(writes(), (RegWrites{{0x85, c.divider}, {0x80, c.reg80}}));
            EXPECT_EQ(params_set(), (std::vector<ParamSet>{time_param(mode == 0 ? 300 : 900)}));
        }
    }
}

TEST_F(ConfigTest, IntegrationTimeLimits) {
    currentMode = 0;
    EXPECT_EQ(configSetIntegrationTime2D(1000001), -1);
    EXPECT_EQ(configSetIntegrationTime2D(-1), -1);
    EXPECT_EQ(configSetIntegrationTime3D(4001), -1);
    EXPECT_EQ(configSetIntegrationTime3D(-1), -1);
    EXPECT_EQ(configSetIntegrationTime3DHDR(4001), -1);
    EXPECT_EQ(configGetIntegrationTime2D(), 700);
    EXPECT_EQ(configGetIntegrationTime3D(), 700);
    EXPECT_EQ(configGetIntegrationTime3DHDR(), 700);
    EXPECT_TRUE(params_set().empty());
    EXPECT_EQ(register_commands(), 0u);

    EXPECT_EQ(configSetIntegrationTime3D(4000), 0);
    EXPECT_EQ(configGetIntegrationTime3D(), 4000);
    EXPECT_EQ(configSetIntegrationTime2D(1000000), 0);
    EXPECT_EQ(configGetIntegrationTime2D(), 1000000);
    // The camera's parameter has 16 bits: the longest time it takes, not a wrapped short one.
    EXPECT_EQ(params_set(), (std::vector<ParamSet>{time_param(65535)}));
    EXPECT_EQ(
        log_.lines_with("[configSetIntegrationTime2D] 1000000 us sent as 65535 us", "WRN").size(),
        1u);
}

struct TimeCase {
    const char *what;
    int mode;
    int (*set)(int);
    int t;
    bool sent;
};

TEST_F(ConfigTest, IntegrationTimeReachesTheCameraOnlyInItsMode) {
    const TimeCase cases[] = {
        {"2D in 2D", 0, configSetIntegrationTime2D, 250, true},
        {"2D in 3D", 1, configSetIntegrationTime2D, 250, false},
        {"3D in 3D", 1, configSetIntegrationTime3D, 1200, true},
        {"3D in 2D", 0, configSetIntegrationTime3D, 1200, false},
        {"3D in grayscale", 2, configSetIntegrationTime3D, 1200, false},
        {"unstored in 3D", 1, configSetIntegrationTime, 333, true},
        {"unstored in 2D", 0, configSetIntegrationTime, 333, true},
    };
    for (const TimeCase &c : cases) {
        SCOPED_TRACE(c.what);
        currentMode = c.mode;
        cam_->clear_commands();
        EXPECT_EQ(c.set(c.t), 0);
        if (c.sent) {
            EXPECT_EQ(params_set(), (std::vector<ParamSet>{time_param(uint16_t(c.t))}));
            EXPECT_EQ(cam_->param(13), time_param(uint16_t(c.t)).value);
        } else {
            EXPECT_TRUE(params_set().empty());
        }
    }
    EXPECT_EQ(configGetIntegrationTime2D(), 250);
    EXPECT_EQ(configGetIntegrationTime3D(), 1200);
    EXPECT_TRUE(writes().empty());
}

TEST_F(ConfigTest, ThreeDTimeMovesTheDcsSumThresholdAndAmbientFactor) {
    const struct {
        int t;
        int threshold;
    } cases[] = {{1000, 171}, {150, 80}, {100, 80}, {3000, 388}, {0, 80}};
    calculationSetAmbientLightFactorOrg(250.0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.t);
        EXPECT_EQ(configSetIntegrationTime3D(c.t), 0);
        EXPECT_EQ(configGetDcsAdd_threshold(), c.threshold);
        if (c.t > 0) {
            EXPECT_DOUBLE_EQ(calculationGetAmbientLightFactor(), 250.0 / std::sqrt(double(c.t)));
        }
    }
}

TEST_F(ConfigTest, ThresholdLineFromTwoPoints) {
    configSetIntegrationTime3D(500);
    EXPECT_EQ(configSetAddArgMin(100), 100);
    configSetIntegrationTime3D(1500);
    EXPECT_EQ(configSetAddArgMax(300), 300);
    EXPECT_EQ(log_.lines_with("[configSetAddArgMax] gain: 0.2000 ", "DBG").size(), 1u);
    configSetIntegrationTime3D(1000);
    EXPECT_EQ(configGetDcsAdd_threshold(), 200);
    // Both points at one time define no line: the slope stays, and no division by zero.
    configSetIntegrationTime3D(1500);
    EXPECT_EQ(configSetAddArgMin(50), 50);
    EXPECT_EQ(
        log_.lines_with("[configSetAddArgMin] both threshold points at 1500 us", "WRN").size(), 1u);
    configSetIntegrationTime3D(1600);
    EXPECT_EQ(configGetDcsAdd_threshold(), 70);

    EXPECT_EQ(configEnableAddArg(1), 1);
    EXPECT_EQ(configStatusEnableAddArg(), 1);
    EXPECT_EQ(configSetDcsAdd_threshold(1234), 1234);
    EXPECT_EQ(configGetDcsAdd_threshold(), 1234);

    // Back to the start-up line for the other tests.
    configSetIntegrationTime3D(150);
    configSetAddArgMin(80);
    configSetIntegrationTime3D(2000);
    configSetAddArgMax(280);
}

TEST_F(ConfigTest, HdrProgramsPrescalerAndBothCounts) {
    const struct {
        uint8_t divider;
        int t3d;
        int thdr;
        RegWrites regs;
    } cases[] = {
        {1,
         1000,
         500,
         {{0xA0, 0x00}, {0xA1, 0x01}, {0xA2, 0xBB}, {0xA3, 0x7F}, {0x9E, 0x5D}, {0x9F, 0xBF}}},
        {1,
         3000,
         200,
         {{0xA0, 0x00}, {0xA1, 0x03}, {0xA2, 0xBB}, {0xA3, 0x7F}, {0x9E, 0x0C}, {0x9F, 0x7F}}},
        {3,
         3000,
         200,
         {{0xA0, 0x00}, {0xA1, 0x02}, {0xA2, 0x8C}, {0xA3, 0x9F}, {0x9E, 0x09}, {0x9F, 0x5F}}},
        {1,
         1000,
         0,
         {{0xA0, 0x00}, {0xA1, 0x01}, {0xA2, 0xBB}, {0xA3, 0x7F}, {0x9E, 0x00}, {0x9F, 0x00}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.t3d << " / " << c.thdr << " us");
        sensor_->set_reg(0x85, c.divider);
        integrationTime3D = c.t3d;
        sensor_->clear_writes();
        EXPECT_EQ(configSetIntegrationTime3DHDR(c.thdr), 0);
        EXPECT_EQ(writes(), c.regs);
    }
    // With HDR on, the 3D time goes to the registers instead of the camera's parameter.
    currentMode = 1;
    sensor_->set_reg(0x85, 1);
    integrationTime3DHDR = 500;
    EXPECT_EQ(configEnableHDR(7, 0x20), 1);
    sensor_->clear_writes();
    cam_->clear_commands();
    EXPECT_EQ(configSetIntegrationTime3D(1000), 0);
    EXPECT_TRUE(params_set().empty());
    EXPECT_EQ(writes(), cases[0].regs);
    EXPECT_EQ(configEnableHDR(0, 0x20), 0);
    EXPECT_EQ(calculationIsHDR(), 0);
}

TEST_F(ConfigTest, AbsBitsInAllFourRegisters) {
    for (int reg : {0x22, 0x25, 0x28, 0x2B})
        sensor_->set_reg(uint8_t(reg), 0xCF);
    EXPECT_EQ(configIsABS(0x20), 0);
    EXPECT_EQ(configEnableABS(5, 0x20), 1);
    EXPECT_EQ(writes(), (RegWrites{{0x22, 0xFF}, {0x25, 0xFF}, {0x28, 0xFF}, {0x2B, 0xFF}}));
    EXPECT_EQ(configIsABS(0x20), 1);
    sensor_->clear_writes();
    EXPECT_EQ(configEnableABS(0, 0x20), 0);
    EXPECT_EQ(writes(), (RegWrites{{0x22, 0xCF}, {0x25, 0xCF}, {0x28, 0xCF}, {0x2B, 0xCF}}));
    EXPECT_EQ(configIsABS(0x20), 0);
    // Half the bits is not ABS.
    sensor_->set_reg(0x22, 0x10);
    EXPECT_EQ(configIsABS(0x20), 0);
}

TEST_F(ConfigTest, ClockPeriods) {
    const struct {
        uint8_t divider;
        double tmod;
        uint16_t step;
    } cases[] = {{0, 1e6 / 96000, 10416},
                 {1, 1e6 / 48000, 20833},
                 // Only bits 4:0 are the divider.
                 {0xE3, 1e6 / 24000, 41666},
                 // 83.3 ns has no 16-bit step in ps: the longest one, not 83333 wrapped to 17797.
                 {7, 1e6 / 12000, 65535}};
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.divider));
        sensor_->set_reg(0x85, c.divider);
        EXPECT_DOUBLE_EQ(configGetTModClk(), c.tmod);
        EXPECT_DOUBLE_EQ(configGetTPLLClk(), 1e6 / 96000);
        EXPECT_EQ(flimGetStep(), c.step);
        EXPECT_EQ(apiFLIMGetStep(), c.step);
    }
    EXPECT_EQ(log_.count("[flimGetStep] time step of 83333 ps reported as 65535 ps", "WRN"), 2u);
}

TEST_F(ConfigTest, RegisterInitialisationOnlyForArgumentTwo) {
    const struct {
        int arg;
        int type;
        int version;
        RegWrites regs;
    } cases[] = {
        {2, 3, 7, {{0xD1, 0x0F}, {0xD8, 0x0F}, {0x88, 0x3F}}},
        {2, 2, 7, {{0x88, 0x3F}}},
        {2, 3, 4, {{0x88, 0x3F}}},
        {1, 3, 7, {}},
    };
    for (const auto &c : cases) {
        configSetPartType(c.type);
        configSetPartVersion(c.version);
        sensor_->clear_writes();
        EXPECT_EQ(configInitRegisters(c.arg), 0);
        EXPECT_EQ(writes(), c.regs);
    }
}

TEST_F(ConfigTest, IdentityStoresAndChipType) {
    EXPECT_EQ(configSetPartType(3), 3);
    EXPECT_EQ(configSetPartVersion(7), 7);
    EXPECT_EQ(chip_type, 37);
    EXPECT_EQ(configSetIcVersion(2), 2);
    EXPECT_EQ(configGetIcVersion(), 2);
    EXPECT_EQ(configSetWaferID(513), 513);
    EXPECT_EQ(configGetWaferID(), 513);
    EXPECT_EQ(configSetChipID(77), 77);
    EXPECT_EQ(configGetChipID(), 77);
    EXPECT_EQ(configSetDeviceAddress(0x21), 0x21);
    EXPECT_EQ(configGetDeviceAddress(), 0x21);
    EXPECT_EQ(configGetImagingTime(), 15000);
    EXPECT_EQ(configSaveParameters(), 0);
    EXPECT_EQ(configGetModFreqCount(), 7);
}

TEST_F(ConfigTest, RestartSwitchesThePartTypeInTheSensor) {
    EXPECT_EQ(configRestartFLIM(), 0);
    const RegWrites w = writes();
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[0], (std::pair<uint8_t, uint8_t>{0x11, 0xFA}));
    EXPECT_EQ(w[1], (std::pair<uint8_t, uint8_t>{0x12, 3}));
    EXPECT_EQ(sensor_->info(0xFA), 3);
    // The identity is read back from the sensor, and the start-up runs again.
    EXPECT_EQ(configGetPartType(), 3);
    EXPECT_EQ(configGetPartVersion(), 4);
    EXPECT_EQ(configGetIcVersion(), 3);
    EXPECT_EQ(configGetChipID(), 1);
    EXPECT_EQ(configGetWaferID(), 1);
    EXPECT_EQ(chip_type, 34);
    EXPECT_EQ(configGetSequencerVersion(), 9);
    EXPECT_EQ(isIlluminationEnabled(), 1);
    EXPECT_EQ(
        log_.lines_with("[configRestartFLIM] ------------------restart FLIM---------------------")
            .size(),
        1u);
    // A FLIM part restarted as FLIM is left as it is.
    sensor_->clear_writes();
    EXPECT_EQ(configRestartFLIM(), 0);
    EXPECT_EQ(sensor_->info(0xFA), 3);
    for (const auto &later : writes())
        EXPECT_NE(later.first, 0x12) << "no information byte written";

    EXPECT_EQ(configRestartTOF(), 0);
    EXPECT_EQ(sensor_->info(0xFA), 2);
    EXPECT_EQ(configGetPartType(), 2);
    EXPECT_EQ(log_.lines_with("[configRestartTOF] ---------------restart TOF--------------").size(),
              1u);
}

TEST_F(ConfigTest, IdentityMatchesTheCamerasChipInformation) {
    vcam::CameraConfig cfg;
    cfg.chip_id = 0x1234;
    cfg.wafer_id = 0x0A0B;
    cfg.part_version = 6;
    open_camera(cfg, 4);
    // The information bytes as an index register and a streaming data register.
    uint8_t index = 0xF6;
    unsigned char *p = &index;
    ASSERT_EQ(i2c(0x20, 'w', 0x11, 1, &p), 0);
    uint8_t info[6] = {};
    p = info;
    ASSERT_EQ(i2c(0x20, 'r', 0x12, 6, &p), 0);
    EXPECT_EQ(std::vector<uint8_t>(info, info + 6),
              (std::vector<uint8_t>{0x0A, 0x0B, 0x12, 0x34, 4, 6}));
    // The restart reads the same identity back into the configuration.
    EXPECT_EQ(configRestartTOF(), 0);
    EXPECT_EQ(configGetPartType(), 4);
    EXPECT_EQ(configGetPartVersion(), 6);
    EXPECT_EQ(configGetChipID(), 0x1234);
    EXPECT_EQ(configGetWaferID(), 0x0A0B);
}

TEST_F(ConfigTest, PrintIsGatedByEnableAndLevel) {
    const struct {
        int print_level;
        int enable;
        int level;
        bool shown;
    } cases[] = {{0, 1, 0, true},  {0, 0x100, 0, false}, {1, 0x101, 1, true},
                 {1, 1, 2, false}, {3, 1, 2, true},      {5, 0, 0, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.print_level << " " << c.enable << " " << c.level);
        configSetPrint(c.print_level);
        int result = -1;
        const std::string out = printed([&] { result = print(c.enable, c.level, "v=%d\n", 42); });
        EXPECT_EQ(out, c.shown ? "v=42\n" : "");
        EXPECT_EQ(result, c.shown ? 5 : 0);
    }
    // Longer texts are cut to the 515 characters the buffer holds.
    configSetPrint(0);
    const std::string long_text(600, 'x');
    int result = 0;
    const std::string out = printed([&] { result = print(1, 0, "%s", long_text.c_str()); });
    EXPECT_EQ(out, std::string(515, 'x'));
    EXPECT_EQ(result, 515);
}

TEST_F(ConfigTest, FrequencyLogOnlyWithPrintLevel) {
    configGetModulationFrequency();
    EXPECT_TRUE(log_.lines_with("modulation frequency").empty());
    configSetPrint(1);
    configGetModulationFrequency();
    EXPECT_EQ(
        log_.lines_with("[configGetModulationFrequency] ---- modulation frequency = 12000 ----",
                        "DBG")
            .size(),
        1u);
}

TEST_F(ConfigTest, IlluminationSwitch) {
    EXPECT_EQ(illuminationEnable(), 0);
    EXPECT_EQ(isIlluminationEnabled(), 1);
    EXPECT_EQ(illuminationDisable(), 0);
    EXPECT_EQ(isIlluminationEnabled(), 0);
    EXPECT_EQ(register_commands(), 0u);
}

}  // namespace
}  // namespace tarvo::test
