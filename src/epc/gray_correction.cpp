#include "epc/gray_correction.h"

#include <tarvo/epc_calc.h>

#include "epc/config_state.h"
#include "epc/pipeline_common.h"

using tarvo::epc::Geometry;
using tarvo::epc::kMaxPixels;

namespace {

int g_gray_offset_on = 0;
int g_gray_gain_on = 0;
int g_flim_offset_on = 0;
int g_flim_gain_on = 0;
int g_flim_available = 0;

}  // namespace

extern "C" {

double grayscaleOffset[kMaxPixels];
double grayscaleGain[kMaxPixels];
double flimOffset[2][kMaxPixels];
double flimGain[2][kMaxPixels];

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
            if (t < 0 || v > 65299)
                continue;
            int value = v;
            if (g_gray_offset_on)
                value = tarvo::epc::round_away(value - grayscaleOffset[t]);
            if (g_gray_gain_on)
                value = tarvo::epc::round_away((value - 2048) * grayscaleGain[t] + 2048);
            v = static_cast<uint16_t>(value);
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

int calculationFlimCorrection(uint16_t *image, int samples) {
    Geometry g;
    if (image == nullptr || !tarvo::epc::current_geometry(g, __func__))
        return -1;
    const int half = samples / 2;
    for (int gate = 0; gate < 2; ++gate) {
        uint16_t *plane = image + gate * half;
        for (int row = 0; row < g.rows; ++row) {
            for (int col = 0; col < g.cols; ++col) {
                const int t = tarvo::epc::calibration_index(row, col);
                const int i = row * g.cols + col;
                if (t < 0 || i >= half)
                    continue;
                double value = plane[i];
                if (g_flim_offset_on)
                    value = static_cast<int>(value - flimOffset[gate][t]);
                if (g_flim_gain_on)
                    value = tarvo::epc::round_away(value * flimGain[gate][t]);
                plane[i] = static_cast<uint16_t>(static_cast<int>(value));
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

}  // extern "C"

namespace tarvo::epc {

bool grayscale_offset_on() {
    return g_gray_offset_on != 0;
}
bool grayscale_gain_on() {
    return g_gray_gain_on != 0;
}

}  // namespace tarvo::epc
