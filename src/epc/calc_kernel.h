// Per-line kernels of the fast route: everything one read-out line needs short of the DRNU
// table, in loops the compiler turns into vector code.
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

// Lets the AVX2 kernels run where the processor has them (true, the default) or keeps to the
// baseline ones (false); returns whether AVX2 kernels are in use. Both give the same results.
bool allow_avx2_kernels(bool allow);

}  // namespace tarvo::epc
