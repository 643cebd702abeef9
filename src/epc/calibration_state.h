// DRNU calibration state: the per-pixel tables and the scalar parameters that the distance
// correction and the temperature compensation read. Filled by loading a calibration (or by a
// calibration run); the corrections only read it.
#pragma once

#include <stdint.h>

#include <tarvo/epc_calib.h>

namespace tarvo::epc {

constexpr int kMaxCols = 328;
constexpr int kMaxRows = 252;
constexpr int kMaxPixels = kMaxCols * kMaxRows;  // 82656
constexpr int kMaxDistances = 30;

}  // namespace tarvo::epc

extern "C" {

// Per-step deviation of each pixel, [step][row][column].
extern int32_t drnuLut[tarvo::epc::kMaxDistances][tarvo::epc::kMaxRows][tarvo::epc::kMaxCols];

extern double gStepCalMM;
extern int offsetDRNU;
extern int gTempCal;
extern int gTempCalIb;
// Mean sensor and illumination-board temperature at each delay step.
extern int16_t gTemperatureDRNU[tarvo::epc::kMaxDistances];
extern int16_t gIbTemperatureDRNU[tarvo::epc::kMaxDistances];

int calibrationGetDefaultOffsetPhase(void);

}  // extern "C"

namespace tarvo::epc {

// Bad-pixel search extents as stored (rows, columns).
int bad_pixel_rows();
int bad_pixel_columns();

}  // namespace tarvo::epc
