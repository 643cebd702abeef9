#include "drivers/epc_pipeline_calls.h"

#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>

#include <stdint.h>

#include "epc/calibration_state.h"

// Weak references: each resolves to the façade's function when the façade is linked into the
// library, and to null otherwise.
extern "C" {
int epcSetExtModEnable(int on);
int apiEnableDefaultOffset(int on);
int apiEnableABS(int on, int addr);
int apiEnableAdcOverflow(int on);
int apiSetModulationFrequency(int index, int addr);
int apiSetMinAmplitude(int amplitude);
int apiSetHysteresis(int width);
int apiSetROI(int x0, int x1, int y0, int y1, int addr);
int calibrationUpdateFrequency(void);
}

#pragma weak epcSetExtModEnable
#pragma weak apiEnableDefaultOffset
#pragma weak apiEnableABS
#pragma weak apiEnableAdcOverflow
#pragma weak apiSetModulationFrequency
#pragma weak apiSetMinAmplitude
#pragma weak apiSetHysteresis
#pragma weak apiSetROI
#pragma weak calibrationUpdateFrequency

namespace tarvo::epc_driver::pipeline {
namespace {

constexpr int kFrequencyCount = 7;

}  // namespace

void set_ext_mod_enabled(bool on) {
    if (epcSetExtModEnable != nullptr)
        epcSetExtModEnable(on ? 1 : 0);
}

void enable_default_offset(bool on) {
    if (apiEnableDefaultOffset != nullptr)
        apiEnableDefaultOffset(on ? 1 : 0);
    else
        calibrationEnableDefaultOffset(on ? 1 : 0);
}

void enable_abs(bool on, int addr) {
    if (apiEnableABS != nullptr) {
        apiEnableABS(on ? 1 : 0, addr);
        return;
    }
    configEnableABS(on ? 1 : 0, addr);
    imageDifferenceInit();
}

void enable_adc_overflow(bool on) {
    if (apiEnableAdcOverflow != nullptr)
        apiEnableAdcOverflow(on ? 1 : 0);
    else
        adcOverflowEnable(on ? 1 : 0);
}

bool set_modulation_frequency(int index, int addr) {
    if (apiSetModulationFrequency != nullptr)
        return apiSetModulationFrequency(index, addr) == 0;
    if (index < 0 || index >= kFrequencyCount)
        return false;
    configSetModulationFrequency(index, addr);
    imageDifferenceInit();
    if (calibrationUpdateFrequency != nullptr)
        calibrationUpdateFrequency();
    return true;
}

void set_min_amplitude(int amplitude) {
    if (apiSetMinAmplitude != nullptr) {
        apiSetMinAmplitude(amplitude);
        return;
    }
    pruSetMinAmplitude(amplitude);
    hysteresisUpdateThresholds(amplitude);
}

void set_hysteresis(int width) {
    if (apiSetHysteresis != nullptr)
        apiSetHysteresis(width);
    else
        hysteresisSetThresholds(pruGetMinAmplitude(), width);
}

void set_region(int x0, int x1, int y0, int y1, int addr) {
    if (apiSetROI != nullptr) {
        apiSetROI(x0, x1, y0, y1, addr);
        return;
    }
    readOutSetROI(x0, x1, y0, y1, addr);
    pruSetSize(x1 - x0 + 1, y1 - y0 + 1);
    imageCorrectionTransform();
    imageDifferenceInit();
}

}  // namespace tarvo::epc_driver::pipeline
