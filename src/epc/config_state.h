// Chip configuration state of the EPC pipeline: the sensor's identity, mode, modulation
// frequency and integration times that the distance calculation, the filters and the
// temperature readers read on every frame, and the register access path `i2c`.
//
// This is the part of the configuration module that the processing code needs today; the
// rest of the module (configInit, ABS, HDR, restarts, the printed dump) grows in the same files.
// The names are the module's own: they are exported later, so they keep C linkage.
#pragma once

#include <stdint.h>

#include <tarvo/dev.h>

extern "C" {

// The device every register and parameter transfer of the pipeline goes to.
extern tarvo_dev_t *g_zr_dev;

// Configuration fields, module-wide (see configPrint for their meaning).
extern int chip_type;
extern int partType;
extern int partVersion;
extern int currentMode;
extern int currentFreq;
extern int modulationFrequency;
extern uint16_t modulationFrequencies[7];
extern int integrationTime2D;
extern int integrationTime3D;
extern int integrationTime3DHDR;
extern int nDCSTOF;
extern int gPrint;
// Trimming values of the on-chip temperature read-out.
extern uint8_t gX, gY, gM, gC, gL;
extern int gZ;

int configSetPartType(int type);
int configGetPartType(void);
int configSetPartVersion(int version);
int configGetPartVersion(void);
int configGetCurrentMode(void);
int configGetModFreqMode(void);
int configGetModulationFrequency(void);
uint16_t *configGetModulationFrequencies(void);
int configGetModFreqCount(void);
// Table lookup and state update only, without register traffic.
int configSetModulationFrequency_simulate(int index);
int configFindModulationFrequencies_simulate(void);
int configSetPrint(int level);
int configGetPrint(void);
uint8_t configGetGX(void);
uint8_t configGetGY(void);
int configGetGZ(void);

int configSetIntegrationTime2D(int t);
int configSetIntegrationTime3D(int t);
int configSetIntegrationTime3DHDR(int t);
int configSetIntegrationTimesHDR(void);
int configGetIntegrationTime2D(void);
int configGetIntegrationTime3D(void);
int configGetIntegrationTime3DHDR(void);
int configLoad(int type, int addr);

// DCS-sum (AddArg) threshold.
int configEnableAddArg(int on);
int configStatusEnableAddArg(void);
int configSetDcsAdd_threshold(int threshold);
int configGetDcsAdd_threshold(void);

// Sensor register access: 'r' read, 'w' write (count bytes from/to *buffer, one per register),
// 's' software reset, 'd' device scan, 'l' reload. 0 on success, -1 on failure.
int i2c(int deviceAddress, char operation, int reg, int count, unsigned char **buffer);

// Formats to standard output when the low byte of `enable` is set and gPrint >= level.
int print(int enable, int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // extern "C"

namespace tarvo::epc {

inline bool is_epc635(int part_type) {
    return part_type == 4 || part_type == 5;
}
inline bool is_epc635() {
    return is_epc635(partType);
}

// Unambiguous range trunc(speed_div2 / f) for f in kHz: millimetres with `tenths` false,
// centimetres with it true. Kept in 32 bits: below 2.3 MHz the range no longer fits the 16 bits
// that would otherwise wrap it into a wrong scale. 0 when f is not positive.
uint32_t unambiguous_range(double speed_div2, int f_khz, bool centimetres = false);

}  // namespace tarvo::epc
