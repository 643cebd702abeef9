// Module-wide state of the distance calculation: the calculation switches, the DRNU and
// temperature-correction modes, and the ambient-light factors.
#pragma once

#include <stdint.h>

namespace tarvo::epc {

struct CalcSwitches {
    int pi_delay = 1;
    int dual_mgx = 0;
    int hdr = 0;
    int pn = 0;
    int drnu_mode = 0;
    int ambient_light = 0;
    int temperature = 0;
    int pixel_mask = 0x0FFF;
};

struct AmbientLight {
    double factor = 250.0;
    double base_factor = 250.0;
    int diff_temp = 0;
};

extern CalcSwitches g_calc;
extern AmbientLight g_ambient;

// Temperature term of the distance-image correction, in phase units: the chip's (and, without
// ambient-light correction, the illumination board's) drift since calibration. 0 when
// temperature correction is off or the range is unknown.
float drnu_temperature_term(uint32_t range_mm, bool with_ambient_light);

// Phase offset that the distance-image correction adds back: the fixed box offset while the
// default offset is in use, else the offset phase plus the DRNU offset.
int drnu_mode2_offset(uint32_t range_mm);

// Resets the delay-step registers and switches the sensor's correction path (0xAE) on or off.
void write_temperature_correction_registers(int on);

}  // namespace tarvo::epc

extern "C" {

// Grayscale path of the sorted route: every plane of one frame cleaned up (saturation, ADC
// overflow, two-plane mode) and put into row order in a static buffer. Returns the sample
// count, or -1.
int calcBWSorted(uint16_t **out);

}  // extern "C"
