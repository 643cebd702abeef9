// Per-line kernels of the fast route: everything one read-out line needs, in loops the compiler
// turns into vector code.
#pragma once

#include <stdint.h>

namespace tarvo::epc {

struct LinePlanes {
    const uint16_t *d0;
    const uint16_t *d1;
    const uint16_t *d2;
    const uint16_t *d3;
    int cols;
};

// Amplitude hysteresis of one line: validity bytes of its pixels and the squared thresholds.
struct LineHysteresis {
    uint8_t *valid;
    int upper;
    int lower;
};

// Phase of every pixel of a line, 0..29999, or the code 65500 (a 12-bit sample at 0 or 4095)
// or 65300 (rejected by the hysteresis, whose state it updates).
void line_phases(const LinePlanes &in, const LineHysteresis &hyst, int32_t *phase);

// Amplitude trunc(sqrt(a^2 + b^2) x 0.5) in single precision, or 65500 for a rail sample.
void line_amplitudes(const LinePlanes &in, int32_t *amplitude);

// Output forms: 16-bit words; metres (phase x factor / 30000, codes as 65.3 and 65.5);
// float amplitudes (65500 as 65.5).
void line_store_u16(const int32_t *value, int cols, uint16_t *out);
void line_store_metres(const int32_t *phase, int cols, float metre_factor, float *out);
void line_store_amplitudes(const int32_t *amplitude, int cols, float *out);

// Distance-image (DRNU) correction of one output row: its pixels' calibrated minimum and
// maximum raw distances and their `distances` table entries each (pixel-major), all from the
// row's first pixel on.
struct DrnuRow {
    const uint16_t *min;
    const uint16_t *max;
    const uint16_t *table;
    int distances;     // at least 2
    float step_phase;  // one calibration step in phase units
    float temperature;
    int offset;
};

// Results of line_drnu that are not distances: at or below the calibrated minimum (or rejected
// for low amplitude), at or above the maximum (or a rail sample).
constexpr int32_t kDrnuBelow = INT32_MIN;
constexpr int32_t kDrnuAbove = INT32_MIN + 1;

// Corrects phases (or codes) from line_phases into calibrated distances in phase units, not
// wrapped into one period, or kDrnuBelow / kDrnuAbove.
void line_drnu(const int32_t *phase, int cols, const DrnuRow &row, int32_t *value);
// Output forms of corrected distances: 16-bit words (65300, 65500 for the two marks, values
// held in 0..65299), metres (65.3, 65.5).
void line_store_drnu_u16(const int32_t *value, int cols, uint16_t *out);
void line_store_drnu_metres(const int32_t *value, int cols, float metre_factor, float *out);

// Lets the AVX2 kernels run where the processor has them (true, the default) or keeps to the
// baseline ones (false); returns whether AVX2 kernels are in use. Both give the same results.
bool allow_avx2_kernels(bool allow);

}  // namespace tarvo::epc
