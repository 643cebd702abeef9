#include "epc/optional_parts.h"

#include <stdint.h>

#include <tarvo/epc_api.h>
#include <tarvo/epc_calib.h>
#include <tarvo/epc_gray.h>

#include "epc/config_state.h"

namespace tarvo::epc::parts {

bool ext_mod_enabled() {
    return epcgetExtModEnable() != 0;
}

int load_grayscale_tables() {
    return calculateLoadGrayscaleGainOffset();
}

void load_drnu_lut() {
    calibrationLoadDRNU_LUT();
}

int load_drnu_distance_images(int bank) {
    return calibrationLoadDistanceImages(bank);
}

void set_drnu_diff_temp(int value) {
    calibrateSetDRNUDiffTemp(value);
}

void set_drnu_calibrate_delay(int value) {
    calibrateSetDRNUCalibrateDelay(value);
}

void set_drnu_average(int value) {
    calibrateSetDRNUAverage(value);
}

void set_calibration_max(int columns, int rows) {
    calibrationSetNumberOfColumnsMax(columns);
    calibrationSetNumberOfRowsMax(rows);
}

void print_chip_param() {
    printChipParam();
}

void boot_reset() {
    bootReset();
}

void boot_read_identity(int addr) {
    configSetPartType(bootGetPartType(addr));
    configSetPartVersion(bootGetPartVersion(addr));
    configSetIcVersion(bootGetIcVersion(addr));
    configSetWaferID(bootGetWaferID(addr));
    configSetChipID(bootGetChipID(addr));
}

void boot_normal_mode(int addr) {
    bootNormalMode(addr);
}

void boot_close_enable() {
    bootCloseEpc660_enable();
}

}  // namespace tarvo::epc::parts
