// FLIM timing registers of the sensor: phase lengths in FLIM time steps, written as value - 1,
// with a skip bit per phase in register 0x2F for a length of 0.
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include "epc/config_state.h"

namespace {

using namespace tarvo::epc;

constexpr int kSkipRegister = 0x2F;
constexpr int kRepetitionsRegister = 0xBA;

struct FlimState {
    uint16_t repetitions = 0;
    uint16_t flash_width = 0;
};
FlimState g_flim;

// Early epc660 FLIM parts (types 1 and 3 up to IC version 2) have no skip bits.
bool can_skip() {
    return !(partType == 1 || partType == 3) || icType > 2;
}

int set_phase(int reg, uint8_t skip_bit, uint16_t v) {
    const int addr = sensor_address();
    if (v != 0) {
        if (can_skip())
            sensor_update_bits(addr, kSkipRegister, skip_bit, false);
        sensor_write16(addr, reg, static_cast<uint16_t>(v - 1));
        return 0;
    }
    if (!can_skip())
        return -1;
    sensor_update_bits(addr, kSkipRegister, skip_bit, true);
    return 0;
}

int set_skip_bit(const char *tag, int bit, bool on) {
    if (bit < 0 || bit > 7) {
        zr_log(4, "ERR", "[%s] no skip bit %d\n", tag, bit);
        return -1;
    }
    sensor_update_bits(sensor_address(), kSkipRegister, static_cast<uint8_t>(1u << bit), on);
    return 0;
}

}  // namespace

extern "C" {

int flimSetT1(uint16_t v) {
    return set_phase(0xB0, 0x08, v);
}
int flimSetT2(uint16_t v) {
    return set_phase(0xB2, 0x10, v);
}
int flimSetT3(uint16_t v) {
    return set_phase(0xB4, 0x20, v);
}
int flimSetT4(uint16_t v) {
    return set_phase(0xB6, 0x40, v);
}
int flimSetTREP(uint16_t v) {
    return set_phase(0xB8, 0x80, v);
}
int flimSetFlashDelay(uint16_t v) {
    return set_phase(0xBC, 0x04, v);
}
int flimSetFlashWidth(uint16_t v) {
    g_flim.flash_width = v;
    return set_phase(0xBE, 0x02, v);
}

int flimSetDelay(int index, uint16_t v) {
    static constexpr int kRegisters[8] = {0, 0xBE, 0xBC, 0xB0, 0xB2, 0xB4, 0xB6, 0xB8};
    if (index < 1 || index > 7) {
        zr_log(4, "ERR", "[%s] no FLIM delay %d\n", __func__, index);
        return -1;
    }
    // Index 1 programs the flash width register; the reported flash width stays the one
    // given to flimSetFlashWidth.
    return set_phase(kRegisters[index], static_cast<uint8_t>(1u << index), v);
}

int flimSetRepetitions(uint16_t v) {
    g_flim.repetitions = v;
    const uint16_t value = v != 0 ? static_cast<uint16_t>(v - 1) : 0;
    sensor_write16(sensor_address(), kRepetitionsRegister, value);
    return value;
}

uint16_t flimGetRepetitions(void) {
    return g_flim.repetitions;
}

uint16_t flimGetFlashWidth(void) {
    return g_flim.flash_width;
}

int flimSetSkip(int bit) {
    return set_skip_bit(__func__, bit, true);
}

int flimResetSkip(int bit) {
    return set_skip_bit(__func__, bit, false);
}

uint16_t flimGetStep(void) {
    const double ps = configGetTModClk() * 1000.0;
    // Slow modulation clocks (above 65.5 ns) have no 16-bit step; the longest one is reported
    // rather than a wrapped, much shorter one.
    if (!(ps < 65536.0)) {
        zr_log(3, "WRN", "[%s] time step of %.0f ps reported as 65535 ps\n", __func__, ps);
        return 0xFFFF;
    }
    return static_cast<uint16_t>(ps);
}

int apiFLIMSetT1(uint16_t v) {
    return flimSetT1(v);
}
int apiFLIMSetT2(uint16_t v) {
    return flimSetT2(v);
}
int apiFLIMSetT3(uint16_t v) {
    return flimSetT3(v);
}
int apiFLIMSetT4(uint16_t v) {
    return flimSetT4(v);
}
int apiFLIMSetTREP(uint16_t v) {
    return flimSetTREP(v);
}
int apiFLIMSetRepetitions(uint16_t v) {
    return flimSetRepetitions(v);
}
int apiFLIMSetFlashDelay(uint16_t v) {
    return flimSetFlashDelay(v);
}
int apiFLIMSetFlashWidth(uint16_t v) {
    return flimSetFlashWidth(v);
}
uint16_t apiFLIMGetStep(void) {
    return flimGetStep();
}

}  // extern "C"
