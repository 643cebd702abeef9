// DRNU calibration state: the per-pixel tables and the scalar parameters that the distance
// correction and the temperature compensation read. Filled by loading a calibration (or by a
// calibration run); the corrections only read it.
#pragma once

#include <stdint.h>

namespace tarvo::epc {

constexpr int kMaxCols = 328;
constexpr int kMaxRows = 252;
constexpr int kMaxPixels = kMaxCols * kMaxRows;  // 82656
constexpr int kMaxDistances = 30;

}  // namespace tarvo::epc

extern "C" {

// Per-step deviation of each pixel, [step][row][column].
extern int32_t drnuLut[tarvo::epc::kMaxDistances][tarvo::epc::kMaxRows][tarvo::epc::kMaxCols];
// Raw distances of each calibration step: two banks (1 for frequency mode 2, 0 otherwise). The
// loaded form is pixel-major: the values of pixel p are at p x numberOfDistances + step.
extern uint16_t distImagesDRNU[2][tarvo::epc::kMaxDistances * tarvo::epc::kMaxPixels];
// Per-pixel minimum and maximum over the loaded distance images, per bank.
extern uint16_t distImagesDRNUMin[2][tarvo::epc::kMaxPixels];
extern uint16_t distImagesDRNUMax[2][tarvo::epc::kMaxPixels];

extern double gStepCalMM;
extern int offsetDRNU;
extern int gTempCal;
extern int gTempCalIb;

int calibrateSetWidth(int width);
int calibrateGetWidth(void);
int calibrateSetHeight(int height);
int calibrateGetHeight(void);
int calibrateSetNumDistances(int n);
int calibrateGetNumDistances(void);
double calibrateSetSpeedOfLightDiv2(double speed);
double calibrateGetSpeedOfLightDiv2(void);
double calibrateGetStepCalMM(void);
int calibrateGetTempCalib(void);
int calibrateGetIbTempCalib(void);
int calibrationGetOffsetDRNU(void);
// Coefficients per part type: 4 and 5 address the epc635 value, others the epc660 value.
double calibrateSetTempCoef(double coef, int part_type);
double calibrateGetTempCoef(int part_type);
double calibrateSetIbTempCoef(double coef, int part_type);
double calibrateGetIbTempCoef(int part_type);
int calibrationSetOffsetPhase(int offset);
int calibrationGetOffsetPhase(void);
int calibrationSetDefaultOffsetPhase(int offset);
int calibrationGetDefaultOffsetPhase(void);
int calibrationEnableDefaultOffset(int on);
int calibrationIsDefaultEnabled(void);
int calibrateGetoffsetPhaseDefaultFPN(void);
int32_t calibrateGetDRNULutPixel(int step, int row, int col);
// Element `index` of the active bank (bank 1 in frequency mode 2); 0 outside the bank.
uint16_t calibrateGetDistImagePixel(int index);

}  // extern "C"
