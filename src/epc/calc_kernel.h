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
// maximum raw distances, and the brackets of the step table (drnu_step_pairs), all from the
// row's first pixel on.
struct DrnuRow {
    const uint16_t *min;
    const uint16_t *max;
    // Step-major brackets: pairs[L x stride + j] holds entry L of pixel j in its low half and
    // entry L + 1 in its high half; row `distances` - 1 repeats row `distances` - 2.
    const uint32_t *pairs;
    int stride;        // pixels of the image
    int distances;     // at least 2
    float step_phase;  // one calibration step in phase units
    float temperature;
    int offset;
    // Pixels from this row's first to that of the row decoded next, whose brackets are fetched
    // ahead (0: none).
    long next_row = 0;
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

// Whole lines from the four planes to the stored output in one pass where the processor allows
// it: phases as 16-bit words or metres (line_phases then line_store_u16 / line_store_metres),
// or corrected distances (line_phases, line_drnu, then its store).
void line_phases_u16(const LinePlanes &in, const LineHysteresis &hyst, uint16_t *out);
void line_phases_metres(const LinePlanes &in, const LineHysteresis &hyst, float metre_factor,
                        float *out);
void line_drnu_u16(const LinePlanes &in, const LineHysteresis &hyst, const DrnuRow &row,
                   uint16_t *out);
void line_drnu_metres(const LinePlanes &in, const LineHysteresis &hyst, const DrnuRow &row,
                      float metre_factor, float *out);

// Instruction sets of the kernels, each giving the same results bit for bit. The best the
// processor runs is chosen at load, capped by the environment variable TARVO_KERNELS
// ("portable", "avx2" or "avx512") when it is set.
enum class KernelTier { portable = 0, avx2 = 1, avx512 = 2 };
// The best tier this processor runs.
KernelTier best_kernel_tier();
// Uses `wanted`, or the best tier below it the processor runs; returns the tier now in use.
// Not for use while another thread decodes frames.
KernelTier use_kernel_tier(KernelTier wanted);
KernelTier kernel_tier();
const char *kernel_tier_name(KernelTier tier);

// Step-major brackets of distance-image bank `bank` (as DrnuRow::pairs), rebuilt when the images
// changed (drnu_images_changed), the number of distances or the pixel count differ from the
// last call. Valid until the next call; from the thread that decodes frames.
const uint32_t *drnu_step_pairs(int bank, int distances, int pixels);

}  // namespace tarvo::epc
