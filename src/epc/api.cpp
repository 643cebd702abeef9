// The processing facade: read-out, mode and filter settings that combine several pipeline
// steps, and the flat forwards to the configuration, calculation, temperature and calibration
// operations.
#include <tarvo/epc_api.h>
#include <tarvo/epc_calc.h>
#include <tarvo/epc_calib.h>
#include <tarvo/epc_config.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "epc/config_state.h"
#include "epc/frame_source.h"

namespace {

// DCS per measurement in 3D mode, kept by the pi-delay and dual-MGX switches.
int g_measurement_dcs = 4;

// The read-out changed: the pixel correction list and the difference filter's reference
// follow it.
void readout_changed() {
    imageCorrectionTransform();
    imageDifferenceInit();
}

bool even(int v) {
    return v % 2 == 0;
}

}  // namespace

extern "C" {

int apiSetROI(int x0, int x1, int y0, int y1, int addr) {
    if (x0 < 0 || x1 < x0 || !even(x0) || x1 < 5 || x1 > 327 || even(x1)) {
        std::puts("bad x coordinates");
        return -1;
    }
    if (y0 < 0 || y1 < y0 || !even(y0) || y1 < 1 || y1 > 125 || even(y1)) {
        std::puts("bad y coordinates");
        return -1;
    }
    const int min_width = 6 * pruGetColReduction();
    const int min_height = 2 * pruGetRowReduction();
    if (x1 - x0 + 1 < min_width || y1 - y0 + 1 < min_height) {
        std::printf("size too small: min size = %i x %i\n", min_width, min_height);
        return -1;
    }
    readOutSetROI(x0, x1, y0, y1, addr);
    pruSetSize(x1 - x0 + 1, y1 - y0 + 1);
    readout_changed();
    return 0;
}

int apiLoadConfig(int mode, int addr) {
    if (mode == 1) {
        pruSetDCS(g_measurement_dcs);
        configLoad(1, addr);
    } else {
        pruSetDCS(1);
        configLoad(0, addr);
    }
    return mode;
}

int apiEnablePiDelay(int on, int addr) {
    on = on != 0 ? 1 : 0;
    const bool mgx = calculationIsDualMGX() != 0;
    if (on)
        g_measurement_dcs = mgx ? 2 : 4;
    else
        g_measurement_dcs = mgx ? 1 : 2;
    configSetDCS(g_measurement_dcs, addr);
    pruSetDCS(g_measurement_dcs);
    calculationEnablePiDelay(on);
    imageDifferenceInit();
    return on;
}

int apiEnableDualMGX(int on, int addr) {
    on = on != 0 ? 1 : 0;
    const bool pi_delay = calculationIsPiDelay() != 0;
    if (on)
        g_measurement_dcs = pi_delay ? 2 : 1;
    else
        g_measurement_dcs = pi_delay ? 4 : 2;
    readOutEnableDualMGX(on, addr);
    configSetIntegrationTime3D(configGetIntegrationTime3D());
    calculationEnableDualMGX(on);
    configSetDCS(g_measurement_dcs, addr);
    pruSetDCS(g_measurement_dcs);
    readout_changed();
    return on;
}

int apiEnableHorizontalBinning(int on, int addr) {
    readOutEnableHorizontalBinning(on, addr);
    pruSetColReduction(on ? 1 : 0);
    readout_changed();
    return on;
}

int apiEnableVerticalBinning(int on, int addr) {
    if (on) {
        if (tarvo::epc::reduction_exponent(pruGetRowReduction()) < 2) {
            readOutSetRowReduction(1, addr);
            pruSetRowReduction(1);
            readout_changed();
        }
    } else {
        readOutSetRowReduction(0, addr);
        pruSetRowReduction(0);
        readout_changed();
    }
    readOutEnableVerticalBinning(on, addr);
    readout_changed();
    return on;
}

int apiSetRowReduction(int k, int addr) {
    k = std::clamp(k, 0, 3);
    readOutSetRowReduction(k, addr);
    pruSetRowReduction(k);
    readout_changed();
    return k;
}

int apiEnableHDR(int on, int addr) {
    readOutEnableHDR(on, addr);
    calculationEnableHDR(on);
    imageCorrectionTransform();
    configSetIntegrationTimesHDR();
    imageDifferenceInit();
    return on;
}

int apiSetModulationFrequency(int index, int addr) {
    if (index < 0 || index >= 7)
        return -1;
    configSetModulationFrequency(index, addr);
    imageDifferenceInit();
    calibrationUpdateFrequency();
    return 0;
}

int apiSelectMode(int mode, int addr) {
    mode = mode > 0 ? 1 : 0;
    configSetMode(mode, addr);
    calculationEnablePN(mode);
    imageDifferenceInit();
    return mode;
}

int apiEnableABS(int on, int addr) {
    configEnableABS(on, addr);
    imageDifferenceInit();
    return on;
}

uint16_t *apiGetModulationFrequencies(void) {
    return configGetModulationFrequencies();
}

int apiSetIntegrationTime2D(int us, int) {
    return configSetIntegrationTime2D(us);
}
int apiSetIntegrationTime3D(int us, int) {
    return configSetIntegrationTime3D(us);
}
int apiSetIntegrationTime3DHDR(int us, int) {
    return configSetIntegrationTime3DHDR(us);
}
int apiGetImagingTime(void) {
    return configGetImagingTime();
}
int apiEnableAddArgThreshold(int on) {
    return configEnableAddArg(on);
}
int apiSetAddArgThreshold(int threshold) {
    return configSetDcsAdd_threshold(threshold);
}
int apiSetAddArgMin(int value) {
    return configSetAddArgMin(value);
}
int apiSetAddArgMax(int value) {
    return configSetAddArgMax(value);
}

int apiSetMinAmplitude(int a) {
    pruSetMinAmplitude(a);
    hysteresisUpdateThresholds(a);
    return a;
}
int apiGetMinAmplitude(void) {
    return pruGetMinAmplitude();
}
int apiSetHysteresis(int h) {
    return hysteresisSetThresholds(pruGetMinAmplitude(), h);
}
int apiEnableSaturation(int on) {
    return saturationEnable(on);
}
int apiEnableAdcOverflow(int on) {
    return adcOverflowEnable(on);
}
int apiEnableImageCorrection(int on) {
    return imageCorrectionEnable(on);
}
uint32_t apiSetImageAveraging(uint32_t n) {
    return imageSetNumberOfPicture(n);
}
uint32_t apiSetImageProcessing(uint32_t mode) {
    return imageSetProcessing(mode);
}
int apiSetImageDifferenceThreshold(int threshold) {
    return imageDifferenceSetThreshold(threshold);
}
int apiSelectPolynomial(int length, int index, int addr) {
    return pnSelectPolynomial(length, index, addr);
}

int apiEnableKalman(int mode) {
    calculationEnableKalman(mode);
    return 0;
}
int apiSetKalmanKdiff(double kdiff) {
    calculationSetKalmanKdiff(kdiff);
    return 0;
}
int apiSetKalmanK(double k) {
    calculationSetKalmanK(k);
    return 0;
}
int apiSetKalmanQ(double q) {
    calculationSetKalmanQ(q);
    return 0;
}
int apiSetKalmanNumCheck(int n) {
    calculationSetKalmanNumCheck(n);
    return 0;
}
int apiSetKalmanThreshold(int threshold) {
    calculationSetKalmanThreshold(1, threshold);
    return 0;
}
int apiSetKalmanThreshold2(int threshold) {
    calculationSetKalmanThreshold(2, threshold);
    return 0;
}

int apiCorrectDRNU(int mode) {
    calculationSetEnableDRNU(mode);
    return 0;
}
int apiCorrectTemperature(int on) {
    calculationSetEnableTemperature(on);
    return 0;
}
int apiCorrectAmbientLight(int on) {
    calculationSetEnableAmbientLight(on);
    return 0;
}
int apiIsEnabledDRNUCorrection(void) {
    return configIsEnabledDRNUCorrection();
}
int apiIsEnabledGrayscaleCorrection(void) {
    return configIsEnabledGrayscaleCorrection();
}
int apiIsEnabledTemperatureCorrection(void) {
    return configIsEnabledTemperatureCorrection();
}
int apiIsEnabledAmbientLightCorrection(void) {
    return configIsEnabledAmbientLightCorrection();
}

int apiSetAmbientLightFactor(double a) {
    calculationSetAmbientLightFactorOrg(a);
    calculationSetAmbientLightFactor(a /
                                     std::sqrt(static_cast<double>(configGetIntegrationTime3D())));
    return 0;
}

int apiSetSpeedOfLight(double c) {
    std::printf("apiSetSpeedOflight: %2.2f\n", c);
    calibrateSetSpeedOfLightDiv2(c * 0.5);
    return 0;
}
double apiGetSpeedOfLightDev2(void) {
    return calibrateGetSpeedOfLightDiv2();
}

int apiSetDRNUDelay(double seconds) {
    calibrateSetDRNUCalibrateDelay(static_cast<int>(seconds * 1000.0));
    configSaveParameters();
    return 0;
}
int apiSetDRNUDiffTemp(double degrees) {
    calibrateSetDRNUDiffTemp(static_cast<int>(degrees * 10.0));
    configSaveParameters();
    return 0;
}
int apiSetDRNUAverage(int n) {
    calibrateSetDRNUAverage(n);
    configSaveParameters();
    return n;
}
int apiSetTempCoef(double coef) {
    calibrateSetTempCoef(coef, configGetPartType());
    configSaveParameters();
    return 0;
}
int apiPrint(int level) {
    configSetPrint(level);
    configSaveParameters();
    return level;
}

int apiSetOffset(double cm) {
    return calibrationSetOffset(cm);
}
double apiGetOffset(void) {
    return calibrationGetOffset();
}
int apiEnableDefaultOffset(int on) {
    return calibrationEnableDefaultOffset(on);
}
int apiGetBadPixels(int16_t *values) {
    return calibrationGetBadPixels(values);
}
int apiCalibrateDRNU(void) {
    return calibrationDRNU();
}
calibrationDRNUSummary *apiRenewDRNU(int stepTenthMM) {
    return calibrateRenewDRNU(stepTenthMM);
}
calibrationDRNUSummary *apiShowDRNU(void) {
    return calibrateShowDRNU();
}
int apiLoadTemperatureDRNU(void) {
    return calibrationLoadTemperatureDRNU();
}

int apiGetBWSorted(uint16_t **out) {
    return calculationBWSorted(out);
}
int apiGetDCSSorted(uint16_t **out) {
    return calculationDCSSorted(out);
}
int apiGetDistanceSorted(uint16_t **out) {
    return calculationDistanceSorted(out);
}
int apiGetAmplitudeSorted(uint16_t **out) {
    return calculationAmplitudeSorted(out);
}
int apiGetDistanceAndAmplitudeSorted(uint16_t **out) {
    return calculationDistanceAndAmplitudeSorted(out);
}

int16_t apiGetAveragedTemperature(int addr) {
    return static_cast<int16_t>(temperatureGetAveragedChipTemperature(addr) * 10.0);
}
int apiGetTemperature(int addr, int16_t *out) {
    return temperatureGetTemperatures(addr, out);
}
int apiGetChipInfo(int addr, uint16_t *record) {
    return chipInfoGetInfo(addr, record);
}
int apiGetIcVersion(void) {
    return configGetIcVersion();
}
int apiGetPartVersion(void) {
    return configGetPartVersion();
}
int apiIsFLIM(void) {
    return configIsFLIM();
}
int apiGetVersion(void) {
    return getVersion();
}

int apiReadRegister(int reg, int count, uint8_t *buffer, int addr) {
    unsigned char *p = buffer;
    return i2c(addr, 'r', reg, count, &p) == 0 ? count : -1;
}
int apiWriteRegister(int reg, int count, uint8_t *buffer, int addr) {
    unsigned char *p = buffer;
    // A failed write is reported like a failed read instead of as written.
    return i2c(addr, 'w', reg, count, &p) == 0 ? count : -1;
}

int16_t apiTest(int v) {
    std::puts("test... ");
    return static_cast<int16_t>(v);
}
int16_t apiSetEnableImaging(int v) {
    return static_cast<int16_t>(v);
}
int apiTOF(void) {
    return configRestartTOF();
}
int apiFLIM(void) {
    return configRestartFLIM();
}

}  // extern "C"
