// Per-pixel gain and offset correction of grayscale images and of the two gate images of FLIM
// frames. The tables are laid out row by row with the calibration image width as stride and
// are indexed from the read-out region's top-left corner (column 4, row 6 is table entry 0).
#pragma once

#include <stdint.h>

#include "epc/calibration_state.h"

extern "C" {

extern double grayscaleOffset[tarvo::epc::kMaxPixels];
extern double grayscaleGain[tarvo::epc::kMaxPixels];
extern double flimOffset[2][tarvo::epc::kMaxPixels];
extern double flimGain[2][tarvo::epc::kMaxPixels];

int setCorrectGrayscaleOffset(int on);
int setCorrectGrayscaleGain(int on);
int calculateGrayscaleCorrection(uint16_t *image);
int calculationCorrectFlimOffset(int on);
int calculationCorrectFlimGain(int on);
int calculationFlimCorrection(uint16_t *image, int samples);
int calculateSetFlimCorrectionAvailable(int available);
int calculateIsFlimCorrectionAvailable(void);

}  // extern "C"

namespace tarvo::epc {

bool grayscale_offset_on();
bool grayscale_gain_on();

}  // namespace tarvo::epc
