// Helpers shared by the processing steps of the EPC pipeline: the validated image geometry,
// the pixel codes and the rounding rules of the sensor arithmetic.
#pragma once

#include <stdint.h>

#include <cmath>

#include "epc/calibration_state.h"

namespace tarvo::epc {

// Codes that 16-bit images carry instead of a phase.
constexpr uint16_t kCodeLowAmplitude = 65300;
constexpr uint16_t kCodeSaturation = 65400;
constexpr uint16_t kCodeAdcOverflow = 65500;
constexpr int kPhasePeriod = 30000;

// The read-out image as the frame source describes it: `rows` counts both halves.
struct Geometry {
    int cols = 0;
    int rows = 0;
    int halves = 0;
    int pixels = 0;
};

// The frame source's geometry, checked against the static buffers (at most 328 columns and
// 252 rows). False, with an error line naming `func`, when it does not fit.
bool current_geometry(Geometry &g, const char *func);

// The geometry of a sorted distance image, which the image filters and corrections work on:
// the frame source's, with half the rows when dual MGX pairs two read-out lines into one image
// row. False, with an error line naming `func`, when it does not fit.
bool distance_geometry(Geometry &g, const char *func);

// Nearest integer, halves away from zero.
inline int round_away(double v) {
    return static_cast<int>(std::round(v));
}

// (short)round(x), the ambient-light correction's form; a factor of 0 (infinite or undefined x)
// gives no correction instead of an undefined conversion.
inline int short_round(double x) {
    const double r = std::round(x);
    if (!(std::fabs(r) < 2147483647.0))
        return 0;
    return static_cast<int16_t>(static_cast<int>(r));
}

// v wrapped into one modulation period, 0..29999.
inline int wrap_phase(int v) {
    v %= kPhasePeriod;
    return v < 0 ? v + kPhasePeriod : v;
}

// Image row of read-out line i when two halves are read from the centre outward: even lines
// fill the top half upward, odd lines the bottom half downward. Also safe for an odd count.
inline int centre_out_row(int line, int rows) {
    const int top = (rows + 1) / 2;
    const int k = line / 2;
    return (line & 1) == 0 ? top - 1 - k : top + k;
}

// Table index of image pixel (row, col) in calibration-image layout: the region's top-left
// corner sits at column 4, row 6 of the calibration images. -1 outside the tables.
int calibration_index(int row, int col);

}  // namespace tarvo::epc
