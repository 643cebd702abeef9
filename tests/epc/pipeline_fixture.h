// Common ground for the pipeline tests: the process-wide pipeline state put back to a known
// configuration before each test, and a simulated sensor behind the pipeline's device access
// (a register file, the temperature parameter, and frames to capture).
#pragma once

#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/device_io.h"
#include "epc/frame_source.h"

namespace tarvo::test {

// One simulated camera; the pipeline talks to the instance installed by FakeSensor::install.
struct FakeSensor {
    uint8_t regs[256] = {};
    std::vector<std::pair<int, int>> writes;  // (register, value) in order
    std::vector<uint8_t> temperature_reply;   // value bytes of parameter 15
    bool param_ok = true;
    bool reg_ok = true;
    std::vector<tarvo_param_item_t> params_set;
    std::vector<uint16_t> frame;  // returned by every capture
    bool frame_ok = true;
    int captures = 0;

    static FakeSensor *&current() {
        static FakeSensor *instance = nullptr;
        return instance;
    }

    void install() {
        current() = this;
        static const epc::DeviceIo io = {param_get, param_set, reg_read, reg_write, reset, grab};
        epc::set_device_io(&io);
    }
    static void uninstall() {
        epc::set_device_io(nullptr);
        current() = nullptr;
    }

    static bool param_get(tarvo_param_item_t *item) {
        FakeSensor &s = *current();
        if (!s.param_ok || item->param_id != 15)
            return false;
        item->param_val_len = static_cast<uint8_t>(s.temperature_reply.size());
        std::memcpy(item->param_val, s.temperature_reply.data(), s.temperature_reply.size());
        return true;
    }
    static bool param_set(const tarvo_param_item_t *item) {
        current()->params_set.push_back(*item);
        return current()->param_ok;
    }
    static bool reg_read(uint32_t reg, uint32_t *values, uint16_t count) {
        FakeSensor &s = *current();
        for (uint16_t i = 0; i < count; ++i)
            values[i] = reg + i < 256 ? s.regs[reg + i] : 0;
        return s.reg_ok;
    }
    static bool reg_write(uint32_t reg, const uint32_t *values, uint16_t count) {
        FakeSensor &s = *current();
        if (!s.reg_ok)
            return false;
        for (uint16_t i = 0; i < count; ++i) {
            if (reg + i < 256)
                s.regs[reg + i] = static_cast<uint8_t>(values[i]);
            s.writes.emplace_back(static_cast<int>(reg + i), static_cast<int>(values[i]));
        }
        return true;
    }
    static bool reset(unsigned) { return true; }
    static int grab(uint8_t *buf, uint32_t size, tarvo_frame_info_t *info) {
        FakeSensor &s = *current();
        ++s.captures;
        if (!s.frame_ok)
            return 0;
        const uint32_t bytes = static_cast<uint32_t>(s.frame.size() * 2);
        if (bytes > size)
            return 0;
        std::memcpy(buf, s.frame.data(), bytes);
        *info = tarvo_frame_info_t{};
        info->frame_size = bytes;
        return 1;
    }
};

// Puts the pipeline into the configuration of an epc660 camera at 12 MHz with every filter,
// correction and test switched off, and a 320 x 240 image.
inline void reset_pipeline() {
    zr_log_disable();
    configSetPartType(2);
    currentMode = 1;
    gPrint = 0;
    configFindModulationFrequencies_simulate();
    configSetModulationFrequency_simulate(2);
    pruInit();
    pruSetColReduction(0);
    pruSetRowReduction(0);
    pruSetSize(320, 120);
    pruSetDCS(4);
    pruSetMinAmplitude(0);
    hysteresisSetThresholds(0, 0);
    saturationEnable(0);
    adcOverflowEnable(0);
    adcOverflowSetMin(1);
    adcOverflowSetMax(4094);
    calculatorSetPixelMask(0x0FFF);
    calculationEnablePiDelay(1);
    calculationEnableDualMGX(0);
    calculationEnableHDR(0);
    calculationEnablePN(0);
    calculationSetEnableDRNU_simulate(0);
    calculationSetEnableTemperature_simulate(0);
    calculationSetEnableAmbientLight(0);
    calculationSetAmbientLightFactor(250.0);
    calculationEnableKalman(0);
    calculationSetKalmanK(0.1);
    calculationSetKalmanNumCheck(0);
    calculationSetKalmanThreshold(1, 500);
    calculationSetKalmanThreshold(2, 500);
    calculationInitKalman();
    imageCorrectionEnable(0);
    imageSetProcessing(0);
    imageSetNumberOfPicture(1);
    imageDifferenceSetThreshold(0);
    calibrationSetOffsetPhase(0);
    calibrationSetDefaultOffsetPhase(0);
    calibrationEnableDefaultOffset(0);
    calibrateSetSpeedOfLightDiv2(149896229.0);
    calibrateSetNumDistances(0);
    calibrateSetTempCoef(1.7, 2);
    calibrateSetIbTempCoef(1.29, 2);
    gStepCalMM = 298.2;
    offsetDRNU = 8364;
    gTempCal = 361;
    gTempCalIb = 341;
    calibrateSetWidth(320);
    calibrateSetHeight(240);
    configEnableAddArg(0);
    readOutSetROI(4, 323, 6, 125, 0x20);
    const int16_t no_drift[2] = {0, 0};
    temperatureSetTemperatureByFrameHeader(no_drift);
}

class PipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sensor_.install();
        reset_pipeline();
        sensor_.writes.clear();
        sensor_.params_set.clear();
    }
    void TearDown() override { FakeSensor::uninstall(); }

    // Hands a frame to the frame source as the driver does before each decode.
    void hand_over(const std::vector<uint16_t> &frame) {
        pru_image_record rec{};
        rec.info.frame_size = static_cast<uint32_t>(frame.size() * 2);
        rec.data = frame.data();
        pruSetImage(&rec);
    }

    FakeSensor sensor_;
};

}  // namespace tarvo::test
