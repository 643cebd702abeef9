// Per-pixel validity tests that the distance calculation runs on every pixel: amplitude
// hysteresis, saturation and ADC overflow. The state is module-wide; the inline forms let the
// per-pixel loops test without a call per pixel.
#pragma once

#include <stdint.h>

#include "epc/calibration_state.h"

namespace tarvo::epc {

struct HysteresisState {
    int upper = 0;
    int lower = 0;
    int width = 0;
    // One validity byte per input sample position.
    uint8_t valid[kMaxPixels] = {};
};

struct SampleChecks {
    int saturation_enabled = 0;
    uint8_t saturated = 0;
    int adc_enabled = 0;
    uint16_t adc_min = 1;
    uint16_t adc_max = 4094;
};

extern HysteresisState g_hysteresis;
extern SampleChecks g_checks;

// A pixel turns valid at the upper threshold and invalid only below the lower one; between
// them it keeps its state. pos must lie in 0..kMaxPixels-1.
inline int hysteresis_update(int pos, int amp_sq) {
    uint8_t &state = g_hysteresis.valid[pos];
    if (amp_sq >= g_hysteresis.upper)
        state = 1;
    else if (amp_sq < g_hysteresis.lower)
        state = 0;
    return state;
}

inline bool adc_out_of_range(uint16_t v) {
    return v < g_checks.adc_min || v > g_checks.adc_max;
}

}  // namespace tarvo::epc
