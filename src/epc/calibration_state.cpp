#include "epc/calibration_state.h"

#include "epc/config_state.h"

using tarvo::epc::kMaxDistances;
using tarvo::epc::kMaxPixels;

namespace {

struct CalibrationScalars {
    int width = 0;
    int height = 0;
    int distances = 0;
    double speed_div2 = 149896229.0;
    int offset_phase = 0;
    int default_offset_phase = 0;
    bool default_enabled = true;
    double temp_coef_660 = 1.7;
    double temp_coef_635 = 1.56131;
    double ib_coef_660 = 1.29;
    double ib_coef_635 = 1.56131;
    int drnu_average = 25;
    int drnu_delay_us = 150000;
    int drnu_diff_temp = 7;
    int bad_pixel_rows = 240;
    int bad_pixel_columns = 320;
};

CalibrationScalars g_cal;

}  // namespace

extern "C" {

int32_t drnuLut[kMaxDistances][tarvo::epc::kMaxRows][tarvo::epc::kMaxCols];
uint16_t distImagesDRNU[2][kMaxDistances * kMaxPixels];
uint16_t distImagesDRNUMin[2][kMaxPixels];
uint16_t distImagesDRNUMax[2][kMaxPixels];

double gStepCalMM = 298.2;
int offsetDRNU = 8364;
int gTempCal = 361;
int gTempCalIb = 341;
int16_t gTemperatureDRNU[kMaxDistances];
int16_t gIbTemperatureDRNU[kMaxDistances];

int calibrateSetWidth(int width) {
    return g_cal.width = width;
}
int calibrateGetWidth(void) {
    return g_cal.width;
}
int calibrateSetHeight(int height) {
    return g_cal.height = height;
}
int calibrateGetHeight(void) {
    return g_cal.height;
}
int calibrateSetNumDistances(int n) {
    // The tables hold kMaxDistances steps; a larger count would index past them.
    return g_cal.distances = n < 0 ? 0 : (n > kMaxDistances ? kMaxDistances : n);
}
int calibrateGetNumDistances(void) {
    return g_cal.distances;
}
double calibrateSetSpeedOfLightDiv2(double speed) {
    return g_cal.speed_div2 = speed;
}
double calibrateGetSpeedOfLightDiv2(void) {
    return g_cal.speed_div2;
}
int calibrateSetDRNUAverage(int frames) {
    return g_cal.drnu_average = frames;
}
int calibrateGetDRNUAverage(void) {
    return g_cal.drnu_average;
}
int calibrateSetDRNUCalibrateDelay(int us) {
    return g_cal.drnu_delay_us = us;
}
int calibrateGetDRNUCalibrateDelay(void) {
    return g_cal.drnu_delay_us;
}
int calibrateSetDRNUDiffTemp(int tenths) {
    return g_cal.drnu_diff_temp = tenths;
}
int calibrateGetDRNUDiffTemp(void) {
    return g_cal.drnu_diff_temp;
}
int calibrationSetNumberOfRowsMax(int rows) {
    return g_cal.bad_pixel_rows = rows - 12;
}
int calibrationSetNumberOfColumnsMax(int columns) {
    return g_cal.bad_pixel_columns = columns - 8;
}

double calibrateGetStepCalMM(void) {
    return gStepCalMM;
}
int calibrateGetTempCalib(void) {
    return gTempCal;
}
int calibrateGetIbTempCalib(void) {
    return gTempCalIb;
}
int calibrationGetOffsetDRNU(void) {
    return offsetDRNU;
}

double calibrateSetTempCoef(double coef, int part_type) {
    return (tarvo::epc::is_epc635(part_type) ? g_cal.temp_coef_635 : g_cal.temp_coef_660) = coef;
}
double calibrateGetTempCoef(int part_type) {
    return tarvo::epc::is_epc635(part_type) ? g_cal.temp_coef_635 : g_cal.temp_coef_660;
}
double calibrateSetIbTempCoef(double coef, int part_type) {
    return (tarvo::epc::is_epc635(part_type) ? g_cal.ib_coef_635 : g_cal.ib_coef_660) = coef;
}
double calibrateGetIbTempCoef(int part_type) {
    return tarvo::epc::is_epc635(part_type) ? g_cal.ib_coef_635 : g_cal.ib_coef_660;
}

int calibrationSetOffsetPhase(int offset) {
    return g_cal.offset_phase = offset;
}
int calibrationGetOffsetPhase(void) {
    return g_cal.offset_phase;
}
int calibrationSetDefaultOffsetPhase(int offset) {
    return g_cal.default_offset_phase = offset;
}
int calibrationGetDefaultOffsetPhase(void) {
    return g_cal.default_offset_phase;
}
int calibrationEnableDefaultOffset(int on) {
    if (on) {
        g_cal.offset_phase = g_cal.default_offset_phase;
        g_cal.default_enabled = true;
    } else {
        g_cal.default_enabled = false;
    }
    return on;
}
int calibrationIsDefaultEnabled(void) {
    return g_cal.default_enabled ? 1 : 0;
}
int calibrateGetoffsetPhaseDefaultFPN(void) {
    return 0;
}

int32_t calibrateGetDRNULutPixel(int step, int row, int col) {
    if (step < 0 || step >= kMaxDistances || row < 0 || row >= tarvo::epc::kMaxRows || col < 0 ||
        col >= tarvo::epc::kMaxCols)
        return 0;
    return drnuLut[step][row][col];
}

uint16_t calibrateGetDistImagePixel(int index) {
    if (index < 0 || index >= kMaxDistances * kMaxPixels)
        return 0;
    const int bank = configGetModFreqMode() == 2 ? 1 : 0;
    return distImagesDRNU[bank][index];
}

}  // extern "C"

namespace tarvo::epc {

int bad_pixel_rows() {
    return g_cal.bad_pixel_rows;
}
int bad_pixel_columns() {
    return g_cal.bad_pixel_columns;
}

}  // namespace tarvo::epc
