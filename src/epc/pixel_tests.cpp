#include "epc/pixel_tests.h"

#include <tarvo/epc_calc.h>

#include <cstdint>
#include <cstring>

using tarvo::epc::g_checks;
using tarvo::epc::g_hysteresis;

namespace tarvo::epc {

HysteresisState g_hysteresis;
SampleChecks g_checks;

}  // namespace tarvo::epc

namespace {

// Squared amplitudes are compared as int; a huge minimum must not overflow into a negative one.
int squared_clamped(int64_t v) {
    if (v > 46340 || v < -46340)
        return INT32_MAX;
    return static_cast<int>(v * v);
}

}  // namespace

extern "C" {

int hysteresisSetThresholds(int minAmp, int hyst) {
    g_hysteresis.width = hyst;
    g_hysteresis.upper = squared_clamped(minAmp);
    g_hysteresis.lower = squared_clamped(static_cast<int64_t>(minAmp) - hyst);
    std::memset(g_hysteresis.valid, 0, sizeof g_hysteresis.valid);
    return hyst;
}

int hysteresisUpdateThresholds(int minAmp) {
    return hysteresisSetThresholds(minAmp, g_hysteresis.width);
}

int hysteresisUpdate(int pos, int ampSq) {
    if (pos < 0 || pos >= tarvo::epc::kMaxPixels)
        return 0;
    return tarvo::epc::hysteresis_update(pos, ampSq);
}

int hysteresisIsEnabled(int pos) {
    if (pos < 0 || pos >= tarvo::epc::kMaxPixels)
        return 0;
    return g_hysteresis.valid[pos];
}

void saturationSet1DCS(uint16_t d0) {
    g_checks.saturated = d0 == 4095;
}
void saturationSet2DCS(uint16_t d0, uint16_t d1) {
    g_checks.saturated = d0 == 4095 || d1 == 4095;
}
void saturationSet4DCS(uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3) {
    g_checks.saturated = d0 == 4095 || d1 == 4095 || d2 == 4095 || d3 == 4095;
}
int saturationEnable(int on) {
    return g_checks.saturation_enabled = on;
}
int saturationCheck(void) {
    return g_checks.saturation_enabled ? g_checks.saturated : 0;
}
void saturationSetSaturationBit(void) {}

int adcOverflowCheck1DCS(uint16_t d0) {
    return g_checks.adc_enabled && tarvo::epc::adc_out_of_range(d0);
}
int adcOverflowCheck2DCS(uint16_t d0, uint16_t d1) {
    return g_checks.adc_enabled &&
           (tarvo::epc::adc_out_of_range(d0) || tarvo::epc::adc_out_of_range(d1));
}
int adcOverflowCheck4DCS(uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3) {
    return g_checks.adc_enabled &&
           (tarvo::epc::adc_out_of_range(d0) || tarvo::epc::adc_out_of_range(d1) ||
            tarvo::epc::adc_out_of_range(d2) || tarvo::epc::adc_out_of_range(d3));
}
int adcOverflowEnable(int on) {
    return g_checks.adc_enabled = on;
}
int adcOverflowIsEnabled(void) {
    return g_checks.adc_enabled;
}
uint16_t adcOverflowSetMin(uint16_t min) {
    return g_checks.adc_min = min;
}
uint16_t adcOverflowGetMin(void) {
    return g_checks.adc_min;
}
uint16_t adcOverflowSetMax(uint16_t max) {
    return g_checks.adc_max = max;
}
uint16_t adcOverflowGetMax(void) {
    return g_checks.adc_max;
}

}  // extern "C"
