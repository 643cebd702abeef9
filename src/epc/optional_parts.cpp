#include "epc/optional_parts.h"

#include <stdint.h>

#include <tarvo/epc_gray.h>

#include "epc/config_state.h"

// Weak references: each resolves to the part's function when that part is linked into the
// library, and to null otherwise. Results that may be declared narrower by their part are taken
// in the narrowest type that holds every value they carry.
extern "C" {
uint8_t epcgetExtModEnable(void);
int calibrationLoadDRNU_LUT(void);
int calibrationLoadDistanceImages(int bank);
int calibrateSetDRNUDiffTemp(int value);
int calibrateSetDRNUCalibrateDelay(int value);
int calibrateSetDRNUAverage(int value);
int calibrationSetNumberOfColumnsMax(int columns);
int calibrationSetNumberOfRowsMax(int rows);
void printChipParam(void);
void bootReset(void);
uint16_t bootGetPartType(int addr);
uint16_t bootGetPartVersion(int addr);
uint16_t bootGetIcVersion(int addr);
uint16_t bootGetWaferID(int addr);
uint16_t bootGetChipID(int addr);
void bootNormalMode(int addr);
void bootCloseEpc660_enable(void);
}

#pragma weak epcgetExtModEnable
#pragma weak calibrationLoadDRNU_LUT
#pragma weak calibrationLoadDistanceImages
#pragma weak calibrateSetDRNUDiffTemp
#pragma weak calibrateSetDRNUCalibrateDelay
#pragma weak calibrateSetDRNUAverage
#pragma weak calibrationSetNumberOfColumnsMax
#pragma weak calibrationSetNumberOfRowsMax
#pragma weak printChipParam
#pragma weak bootReset
#pragma weak bootGetPartType
#pragma weak bootGetPartVersion
#pragma weak bootGetIcVersion
#pragma weak bootGetWaferID
#pragma weak bootGetChipID
#pragma weak bootNormalMode
#pragma weak bootCloseEpc660_enable

namespace tarvo::epc::parts {
namespace {

// Information bytes sit behind an index register (0x11) and a data register (0x12).
uint8_t read_info_byte(int addr, uint8_t index) {
    sensor_write_byte(addr, 0x11, index);
    return sensor_read_byte(addr, 0x12);
}

uint16_t read_info_word(int addr, uint8_t index) {
    const uint8_t high = read_info_byte(addr, index);
    const uint8_t low = read_info_byte(addr, static_cast<uint8_t>(index + 1));
    return static_cast<uint16_t>(high << 8 | low);
}

}  // namespace

bool ext_mod_enabled() {
    return epcgetExtModEnable != nullptr && epcgetExtModEnable() != 0;
}

int load_grayscale_tables() {
    return calculateLoadGrayscaleGainOffset();
}

void load_drnu_lut() {
    if (calibrationLoadDRNU_LUT != nullptr)
        calibrationLoadDRNU_LUT();
}

int load_drnu_distance_images(int bank) {
    return calibrationLoadDistanceImages != nullptr ? calibrationLoadDistanceImages(bank) : -1;
}

void set_drnu_diff_temp(int value) {
    if (calibrateSetDRNUDiffTemp != nullptr)
        calibrateSetDRNUDiffTemp(value);
}

void set_drnu_calibrate_delay(int value) {
    if (calibrateSetDRNUCalibrateDelay != nullptr)
        calibrateSetDRNUCalibrateDelay(value);
}

void set_drnu_average(int value) {
    if (calibrateSetDRNUAverage != nullptr)
        calibrateSetDRNUAverage(value);
}

void set_calibration_max(int columns, int rows) {
    if (calibrationSetNumberOfColumnsMax != nullptr)
        calibrationSetNumberOfColumnsMax(columns);
    if (calibrationSetNumberOfRowsMax != nullptr)
        calibrationSetNumberOfRowsMax(rows);
}

void print_chip_param() {
    if (printChipParam != nullptr)
        printChipParam();
    else
        log_chip_param("printChipParam");
}

void boot_reset() {
    if (bootReset != nullptr)
        bootReset();
}

void boot_read_identity(int addr) {
    const bool readers = bootGetPartType != nullptr && bootGetPartVersion != nullptr &&
                         bootGetIcVersion != nullptr && bootGetWaferID != nullptr &&
                         bootGetChipID != nullptr;
    if (readers) {
        configSetPartType(bootGetPartType(addr));
        configSetPartVersion(bootGetPartVersion(addr));
        configSetIcVersion(bootGetIcVersion(addr));
        configSetWaferID(bootGetWaferID(addr));
        configSetChipID(bootGetChipID(addr));
        return;
    }
    configSetPartType(read_info_byte(addr, 0xFA));
    configSetPartVersion(read_info_byte(addr, 0xFB));
    configSetIcVersion(sensor_read_byte(addr, 0x01));
    configSetWaferID(read_info_word(addr, 0xF6));
    configSetChipID(read_info_word(addr, 0xF8));
}

void boot_normal_mode(int addr) {
    if (bootNormalMode != nullptr)
        bootNormalMode(addr);
}

void boot_close_enable() {
    if (bootCloseEpc660_enable != nullptr)
        bootCloseEpc660_enable();
}

}  // namespace tarvo::epc::parts
