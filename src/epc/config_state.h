// Chip configuration state of the EPC pipeline: the sensor's identity, mode, modulation
// frequency and integration times that the distance calculation, the filters and the
// temperature readers read on every frame, and the register access path `i2c`.
//
// The fields keep the configuration module's own names (configPrint shows them); they are
// process-wide and hidden from the library's interface. The exported functions are declared in
// <tarvo/epc_config.h>.
#pragma once

#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/epc_config.h>

extern "C" {

extern int chip_type;
extern int icType;
extern int partType;
extern int partVersion;
extern uint16_t waferID;
extern uint16_t chipID;
extern uint16_t sequencerVersion;
extern int devAddress;
extern int currentMode;
extern int currentFreq;
extern int modulationFrequency;
extern uint16_t modulationFrequencies[7];
extern int integrationTime2D;
extern int integrationTime3D;
extern int integrationTime3DHDR;
extern int nDCSTOF;
extern int absEnabled;
extern int isFLIM;
extern int correctionBGMode;
extern int enabledDRNU;
extern int enabledDRNU2;
extern int enabledGrayscale;
extern int enabledTemperatureCorrection;
extern int enabledAmbientLightCorrection;
extern int gPrint;
// Trimming values of the on-chip temperature read-out.
extern uint8_t gX, gY, gM, gC, gL;
extern int gZ;

}  // extern "C"

namespace tarvo::epc {

inline bool is_epc635(int part_type) {
    return part_type == 4 || part_type == 5;
}
inline bool is_epc635() {
    return is_epc635(partType);
}

// Unambiguous range trunc(speed_div2 / f) for f in kHz: millimetres, or centimetres with
// `centimetres` true. Kept in 32 bits: below 2.3 MHz the range no longer fits the 16 bits
// that would otherwise wrap it into a wrong scale. 0 when f is not positive.
uint32_t unambiguous_range(double speed_div2, int f_khz, bool centimetres = false);

// The sensor's address for operations that take none: the configured one, or 0x20, where the
// sensor of this camera answers, before the driver set it.
int sensor_address();

// Register helpers over i2c. A failed read leaves the bytes as they were (the caller's initial
// value, 0 for read_reg), as the configuration operations expect; i2c has printed the reason.
bool sensor_read(int addr, int reg, uint8_t *bytes, int count);
bool sensor_write(int addr, int reg, const uint8_t *bytes, int count);
uint8_t sensor_read_byte(int addr, int reg);
bool sensor_write_byte(int addr, int reg, uint8_t value);
// Two bytes, high byte first, as the sensor's 16-bit registers take them.
bool sensor_write16(int addr, int reg, uint16_t value);
// Read-modify-write: the bits of `mask` set when `on`, else cleared; the other bits kept.
bool sensor_update_bits(int addr, int reg, uint8_t mask, bool on);

// One parameter item of `len` value bytes (little-endian) to the bound camera.
bool camera_send_param(int id, uint32_t value, int len);

// SysClk in kHz from registers 0x82 (multiplier) and 0x81 (shift).
int sysclk_from_registers(int addr);

// Logs every configuration field at debug level under `tag`, as the chip parameter dump reads.
void log_chip_param(const char *tag);

}  // namespace tarvo::epc
