// Calculation switches, ambient-light factors and the DRNU mode.
#include "epc/calc_state.h"

#include <tarvo/epc_calc.h>

#include <cmath>

#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/pipeline_common.h"

namespace tarvo::epc {

CalcSwitches g_calc;
AmbientLight g_ambient;

float drnu_temperature_term(uint32_t range_mm, bool with_ambient_light) {
    if (!g_calc.temperature || range_mm == 0)
        return 0.0f;
    const double per_mm = 30000.0 / range_mm;
    const double chip = per_mm * calibrateGetTempCoef(partType);
    if (with_ambient_light && g_calc.ambient_light)
        return static_cast<float>(g_ambient.diff_temp * chip);
    const int d_chip = temperatureGetTemperatureByFrameHeader() - calibrateGetTempCalib();
    const int d_board = temperatureGetIbTemperatureByFrameHeader() - calibrateGetIbTempCalib();
    const double board = per_mm * calibrateGetIbTempCoef(partType);
    return static_cast<float>(d_chip) * static_cast<float>(chip) +
           static_cast<float>(d_board) * static_cast<float>(board);
}

int drnu_mode2_offset(uint32_t range_mm) {
    if (calibrationIsDefaultEnabled()) {
        const uint32_t range_cm = range_mm / 10;
        return range_cm > 0 ? static_cast<int>(885000 / range_cm) : 0;
    }
    return calibrationGetOffsetPhase() + calibrationGetOffsetDRNU();
}

}  // namespace tarvo::epc

using tarvo::epc::g_ambient;
using tarvo::epc::g_calc;

namespace {

int store_drnu_mode(int mode) {
    g_calc.drnu_mode = mode;
    if (mode == 0) {
        calibrationSetDefaultOffsetPhase(calibrateGetoffsetPhaseDefaultFPN());
        return mode;
    }
    const uint32_t range_cm =
        tarvo::epc::unambiguous_range(calibrateGetSpeedOfLightDiv2(), modulationFrequency, true);
    if (range_cm > 0) {
        const int box =
            static_cast<int>(885000.0 / range_cm - static_cast<double>(calibrationGetOffsetDRNU()));
        calibrationSetDefaultOffsetPhase(box);
        calibrationSetOffsetPhase(box);
    }
    return mode;
}

// Registers 0x71..0x73 select the delay step; 0xAE switches the sensor's own correction path.
void write_correction_registers(int on) {
    unsigned char zero = 0;
    unsigned char *p = &zero;
    for (int reg = 0x71; reg <= 0x73; ++reg)
        i2c(0x20, 'w', reg, 1, &p);
    unsigned char mode = on ? 4 : 1;
    p = &mode;
    i2c(0x20, 'w', 0xAE, 1, &p);
}

}  // namespace

namespace tarvo::epc {

void write_temperature_correction_registers(int on) {
    write_correction_registers(on);
}

}  // namespace tarvo::epc

extern "C" {

int calculationEnablePiDelay(int on) {
    return g_calc.pi_delay = on != 0;
}
int calculationEnableDualMGX(int on) {
    return g_calc.dual_mgx = on != 0;
}
int calculationEnableHDR(int on) {
    return g_calc.hdr = on != 0;
}
int calculationEnablePN(int on) {
    return g_calc.pn = on != 0;
}
int calculationIsPiDelay(void) {
    return g_calc.pi_delay;
}
int calculationIsDualMGX(void) {
    return g_calc.dual_mgx;
}
int calculationIsHDR(void) {
    return g_calc.hdr;
}
int calculationIsPN(void) {
    return g_calc.pn;
}
int calculationEnableLinear(int on) {
    (void)on;
    return 0;
}

int calculationSetEnableAmbientLight(int on) {
    return g_calc.ambient_light = on;
}
int calculationGetEnableAmbientLight(void) {
    return g_calc.ambient_light;
}
double calculationSetAmbientLightFactor(double factor) {
    return g_ambient.factor = factor;
}
double calculationGetAmbientLightFactor(void) {
    return g_ambient.factor;
}
double calculationSetAmbientLightFactorOrg(double factor) {
    return g_ambient.base_factor = factor;
}
double calculationGetAmbientLightFactorOrg(void) {
    return g_ambient.base_factor;
}
int calculationSetDiffTemp(int diff) {
    return g_ambient.diff_temp = diff;
}

int calculationAmbientDCSCorrectionPixel(int dcs, int gray) {
    if (tarvo::epc::is_epc635())
        return dcs - tarvo::epc::short_round((gray / 16 - 2048) / g_ambient.factor) * 16;
    return dcs - tarvo::epc::short_round((gray - 2048) / g_ambient.factor);
}

int calculationSetEnableDRNU(int mode) {
    store_drnu_mode(mode);
    write_correction_registers(mode != 0);
    return mode;
}

int calculationSetEnableDRNU_simulate(int mode) {
    return store_drnu_mode(mode);
}

int calculationGetEnableDRNU(void) {
    return g_calc.drnu_mode;
}

}  // extern "C"
