// Correction of grayscale and FLIM gate images with the per-pixel tables, the switches that
// enable it, and the façade entries of the correction.
#include "epc/gray_correction.h"

#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>

#include <algorithm>
#include <iterator>
#include <cmath>

#include "epc/config_state.h"
#include "epc/pipeline_common.h"

using tarvo::epc::Geometry;
using tarvo::epc::kCodeLowAmplitude;
using tarvo::epc::kMaxPixels;

extern "C" {

double grayscaleOffset[kMaxPixels];
double grayscaleGain[kMaxPixels];
double flimOffset[2][kMaxPixels];
double flimGain[2][kMaxPixels];

}  // extern "C"

namespace {

int g_gray_offset_on = 0;
int g_gray_gain_on = 0;
int g_flim_offset_on = 0;
int g_flim_gain_on = 0;
int g_flim_available = 0;

// Gains start at 1.0, so that a gain switch turned on before any table was loaded changes
// nothing instead of flattening the image to 2048.
[[maybe_unused]] const bool g_tables_ready = [] {
    tarvo::epc::reset_grayscale_tables();
    for (int gate = 0; gate < tarvo::epc::kFlimGates; ++gate)
        tarvo::epc::reset_flim_tables(gate);
    return true;
}();

constexpr int kLargestGray = kCodeLowAmplitude - 1;

// A corrected value as the image keeps it: within 0..65299, so that neither a negative result
// nor an overlarge one (a hostile table) wraps into the pixel codes.
uint16_t held_gray(double v) {
    if (!(v > 0.0))  // also NaN
        return 0;
    if (v >= kLargestGray)
        return kLargestGray;
    return static_cast<uint16_t>(v);
}

bool is_code(uint16_t v) {
    return v >= kCodeLowAmplitude;
}

uint16_t corrected_gray(uint16_t v, int t) {
    double value = v;
    if (g_gray_offset_on)
        value = std::round(value - grayscaleOffset[t]);
    if (g_gray_gain_on)
        value = std::round((value - 2048.0) * grayscaleGain[t] + 2048.0);
    return held_gray(value);
}

uint16_t corrected_flim(uint16_t v, int gate, int t) {
    double value = v;
    if (g_flim_offset_on)
        value = std::trunc(value - flimOffset[gate][t]);
    if (g_flim_gain_on)
        value = std::round(value * flimGain[gate][t]);
    return held_gray(value);
}

// FLIM's trace of two pixels in rows 31 and 32, before correction.
bool traced_flim_pixel(int row, int col) {
    return (row == 31 || row == 32) && (col == 81 || col == 82);
}

}  // namespace

namespace tarvo::epc {

bool grayscale_offset_on() {
    return g_gray_offset_on != 0;
}
bool grayscale_gain_on() {
    return g_gray_gain_on != 0;
}

void reset_grayscale_tables() {
    std::fill(std::begin(grayscaleOffset), std::end(grayscaleOffset), 0.0);
    std::fill(std::begin(grayscaleGain), std::end(grayscaleGain), 1.0);
}

void reset_flim_tables(int gate) {
    if (gate < 0 || gate >= kFlimGates)
        return;
    std::fill(std::begin(flimOffset[gate]), std::end(flimOffset[gate]), 0.0);
    std::fill(std::begin(flimGain[gate]), std::end(flimGain[gate]), 1.0);
}

}  // namespace tarvo::epc

extern "C" {

int setCorrectGrayscaleOffset(int on) {
    return g_gray_offset_on = on;
}
int setCorrectGrayscaleGain(int on) {
    return g_gray_gain_on = on;
}

int calculateGrayscaleCorrection(uint16_t *image) {
    Geometry g;
    if (image == nullptr || !tarvo::epc::current_geometry(g, __func__))
        return -1;
    print(1, 2, "grayscale offsetX= %d offsetY=%d  width= %d  height = %d\n",
          readOutGetTopLeftX() - 4, readOutGetTopLeftY() - 6, g.cols, g.rows);
    for (int row = 0; row < g.rows; ++row) {
        for (int col = 0; col < g.cols; ++col) {
            const int t = tarvo::epc::calibration_index(row, col);
            uint16_t &v = image[row * g.cols + col];
            if (t >= 0 && !is_code(v))
                v = corrected_gray(v, t);
        }
    }
    return 0;
}

int calculationCorrectFlimOffset(int on) {
    return g_flim_offset_on = on;
}
int calculationCorrectFlimGain(int on) {
    return g_flim_gain_on = on;
}

// Invalid-pixel codes (saturation in the two-sample mode) stay as they are, as in the grayscale
// correction: an offset would turn them into ordinary values.
int calculationFlimCorrection(uint16_t *image, int samples) {
    Geometry g;
    if (image == nullptr || samples < 0 || !tarvo::epc::current_geometry(g, __func__))
        return -1;
    const int half = samples / 2;
    for (int gate = 0; gate < tarvo::epc::kFlimGates; ++gate) {
        uint16_t *plane = image + gate * half;
        for (int row = 0; row < g.rows; ++row) {
            for (int col = 0; col < g.cols; ++col) {
                const int t = tarvo::epc::calibration_index(row, col);
                const int i = row * g.cols + col;
                if (t < 0 || i >= half)
                    continue;
                if (g_flim_offset_on && traced_flim_pixel(row, col))
                    print(1, 2, "flimValue= %d\n", plane[i]);
                if (!is_code(plane[i]))
                    plane[i] = corrected_flim(plane[i], gate, t);
            }
        }
    }
    return 0;
}

int calculateSetFlimCorrectionAvailable(int available) {
    return g_flim_available = available;
}
int calculateIsFlimCorrectionAvailable(void) {
    return g_flim_available;
}

int apiCalibrateGrayscale(int step) {
    return calculationCalibrateGrayscale(step);
}
int apiCorrectGrayscaleOffset(int on) {
    setCorrectGrayscaleOffset(on);
    return 0;
}
int apiCorrectGrayscaleGain(int on) {
    setCorrectGrayscaleGain(on);
    return 0;
}
int apiCalibrateFlim(const char *text) {
    return calculationFlimCalibration(text);
}
int apiCorrectFlimOffset(int on) {
    print(1, 1, "correctFlimOffset %d\n", on);
    calculationCorrectFlimOffset(on);
    return 0;
}
int apiCorrectFlimGain(int on) {
    print(1, 1, "correctFlimGain %d\n", on);
    calculationCorrectFlimGain(on);
    return 0;
}
int apiIsFlimCorrectionAvailable(void) {
    return calculateIsFlimCorrectionAvailable();
}

}  // extern "C"
