// Per-pixel gain and offset correction of grayscale images and of the two gate images of FLIM
// frames. The tables are laid out row by row with the calibration image width as stride and
// are indexed from the read-out region's top-left corner (column 4, row 6 is table entry 0).
// The exported functions are declared in <tarvo/epc_gray.h>.
#pragma once

#include <stdint.h>

#include <tarvo/epc_gray.h>

#include "epc/calibration_state.h"

extern "C" {

extern double grayscaleOffset[tarvo::epc::kMaxPixels];
extern double grayscaleGain[tarvo::epc::kMaxPixels];
extern double flimOffset[2][tarvo::epc::kMaxPixels];
extern double flimGain[2][tarvo::epc::kMaxPixels];

}  // extern "C"

namespace tarvo::epc {

constexpr int kFlimGates = 2;

bool grayscale_offset_on();
bool grayscale_gain_on();

// Tables that change nothing: gains 1.0, offsets 0.
void reset_grayscale_tables();
void reset_flim_tables(int gate);

// Frames each calibration step averages: 100 unless set otherwise (n >= 1); returns the count
// in use. Lets a quick calibration take fewer frames.
int set_gray_calibration_frames(int n);
int gray_calibration_frames();

}  // namespace tarvo::epc
