// Chip configuration operations: start-up, operating modes, modulation frequencies, integration
// times, HDR and ABS, the DCS-sum threshold line, clocks and the restarts between
// time-of-flight and FLIM parts.
#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/frame_source.h"
#include "epc/optional_parts.h"

namespace {

using namespace tarvo::epc;

// DCS-sum threshold and the line that ties it to the 3D integration time.
struct AddArgLine {
    int enabled = 0;
    int threshold = 8000;
    int low_time = 150;
    int low_value = 80;
    int high_time = 2000;
    int high_value = 280;
    double gain = 0.10811;
};
AddArgLine g_add_arg;

// Divider code of register 0x85 per frequency index; an index past the table uses row 2.
constexpr uint8_t kDividerCode[7] = {0, 0, 1, 3, 7, 15, 31};
constexpr int kFixedFrequency = 36000;
constexpr int kSimulatedSysClk = 96000;
constexpr int kParamMode = 10;
constexpr int kParamIntegrationTime = 13;
constexpr unsigned kMax2D = 1000000;
constexpr unsigned kMax3D = 4000;
// The integration time parameter carries 16 bits.
constexpr unsigned kMaxParamTime = 0xFFFF;
// ABS bits 5:4 of the four ABS registers.
constexpr int kAbsRegisters[4] = {0x22, 0x25, 0x28, 0x2B};
constexpr uint8_t kAbsBits = 0x30;

int frequency_row(int index) {
    return index >= 0 && index < 7 ? index : 2;
}

void fill_frequency_table(int sysclk) {
    modulationFrequencies[0] = kFixedFrequency;
    for (int i = 1; i < 7; ++i)
        modulationFrequencies[i] =
            static_cast<uint16_t>(static_cast<double>(sysclk) / (std::ldexp(1.0, i - 1) * 4.0));
}

// The camera's integration time parameter is 16 bits wide: longer 2D times are sent as the
// longest the camera can take instead of wrapping around to a short one.
void send_integration_time(const char *tag, unsigned t) {
    if (t > kMaxParamTime) {
        zr_log(3, "WRN", "[%s] %u us sent as %u us, the longest the camera takes\n", tag, t,
               kMaxParamTime);
        t = kMaxParamTime;
    }
    camera_send_param(kParamIntegrationTime, t, 2);
}

void update_add_arg_threshold(int t) {
    if (g_add_arg.low_time < t) {
        const double v = g_add_arg.low_value + (t - g_add_arg.low_time) * g_add_arg.gain;
        g_add_arg.threshold = static_cast<int>(std::clamp(v, double{INT_MIN}, double{INT_MAX}));
    } else {
        g_add_arg.threshold = g_add_arg.low_value;
    }
}

void update_add_arg_gain(const char *tag) {
    const int span = g_add_arg.high_time - g_add_arg.low_time;
    if (span == 0) {
        // Both points at one integration time give no line; the old slope stays.
        zr_log(3, "WRN", "[%s] both threshold points at %d us, gain kept\n", tag,
               g_add_arg.low_time);
    } else {
        g_add_arg.gain = static_cast<double>(g_add_arg.high_value - g_add_arg.low_value) / span;
    }
    zr_log(1, "DBG", "[%s] gain: %2.4f \n", tag, g_add_arg.gain);
}

void update_ambient_factor() {
    calculationSetAmbientLightFactor(calculationGetAmbientLightFactorOrg() /
                                     std::sqrt(static_cast<double>(integrationTime3D)));
}

void set_dcs_bits(int addr, int n) {
    uint8_t reg = sensor_read_byte(addr, 0x92);
    reg = static_cast<uint8_t>((reg & ~0x30) | (((n - 1) & 3) << 4));
    sensor_write_byte(addr, 0x92, reg);
}

// Steps of configInit shared by the real and the simulated start-up.
void init_configuration(int addr, bool simulate) {
    if (is_epc635()) {
        calibrateSetHeight(60);
        calibrateSetWidth(160);
    } else {
        calibrateSetHeight(240);
        calibrateSetWidth(320);
    }
    gX = 0x10;
    gY = 0x39;
    gM = 0x34;
    gC = 0x8D;
    sequencerVersion = 9;
    gZ = -268;
    gL = 0;
    isFLIM = 0;
    // The frequency and its index start together: a camera bound earlier in the process may have
    // left another index, and the calibration files are named by it.
    modulationFrequency = 12000;
    currentFreq = 2;
    if (simulate)
        configFindModulationFrequencies_simulate();
    else
        configFindModulationFrequencies();
    calibrateSetNumDistances(30);
    temperatureInit();
    pruInit();
    if (is_epc635()) {
        calculatorSetPixelMask(0xFFFF);
        saturationSetSaturationBit();
        adcOverflowSetMin(16);
        adcOverflowSetMax(65503);
        sensor_write_byte(addr, 0xCB, 0x63);
        parts::set_calibration_max(168, 72);
    }

    enabledGrayscale = 1;
    if (parts::load_grayscale_tables() < 0)
        enabledGrayscale = 0;
    enabledDRNU = 1;
    parts::load_drnu_lut();
    enabledAmbientLightCorrection = 0;
    configLoadParameters();
    enabledDRNU2 = 1;
    // With external modulation the driver selects frequency index 0, whose images are bank 0.
    const int bank = parts::ext_mod_enabled() ? 0 : 1;
    if (parts::load_drnu_distance_images(bank) < 0) {
        enabledDRNU2 = 0;
        if (bank == 1)
            enabledDRNU = 0;
    }
    calculationInitKalman();
    if (enabledDRNU2) {
        if (simulate) {
            calculationSetEnableDRNU_simulate(2);
            enabledTemperatureCorrection = 1;
            calculationSetEnableTemperature_simulate(1);
        } else {
            calculationSetEnableDRNU(2);
            enabledTemperatureCorrection = 1;
            calculationSetEnableTemperature(1);
        }
    } else {
        // Without distance images the camera decodes uncorrected, as in a fresh process: the
        // correction a camera bound before it switched on must not carry over to it.
        calculationSetEnableDRNU_simulate(0);
        enabledTemperatureCorrection = 0;
        calculationSetEnableTemperature_simulate(0);
    }
    parts::print_chip_param();
    atan2lut_Init();
}

int restart(const char *tag, const char *banner, int from_a, int to_a, int from_b, int to_b) {
    zr_log(1, "DBG", "[%s] %s\n", tag, banner);
    const int addr = devAddress;
    if (partType == from_a || partType == from_b) {
        const uint8_t bytes[2] = {0xFA, static_cast<uint8_t>(partType == from_a ? to_a : to_b)};
        sensor_write(addr, 0x11, bytes, 2);
    }
    parts::boot_reset();
    parts::boot_read_identity(addr);
    parts::boot_normal_mode(addr);
    parts::boot_close_enable();
    illuminationDisable();
    configInit(addr);
    illuminationEnable();
    return 0;
}

}  // namespace

extern "C" {

int configInit(int addr) {
    dllDetermineAndSetDemodulationDelay(addr);
    dllBypassDLL(1, addr);
    init_configuration(addr, false);
    return 0;
}

int configInit_simulate(int addr) {
    init_configuration(addr, true);
    return 0;
}

int configLoadParameters(void) {
    const char *tag = __func__;
    calculationSetAmbientLightFactorOrg(250.0);
    zr_log(1, "DBG", "[%s] ambientLightFactor = %2.4f\n", tag, 250.0);
    gPrint = 0;
    zr_log(1, "DBG", "[%s] print = %d\n", tag, gPrint);
    parts::set_drnu_diff_temp(7);
    zr_log(1, "DBG", "[%s] diffTemp = %d\n", tag, 7);
    parts::set_drnu_calibrate_delay(5000);
    zr_log(1, "DBG", "[%s] drnuDelay = %d\n", tag, 5000);
    parts::set_drnu_average(25);
    zr_log(1, "DBG", "[%s] numAveragedFrames = %d\n", tag, 25);
    calibrateSetTempCoef(1.56131, 4);
    zr_log(1, "DBG", "[%s] epc635_TemperatureCoeff = %2.6f\n", tag, 1.56131);
    calibrateSetTempCoef(2.2, 2);
    zr_log(1, "DBG", "[%s] epc660_TemperatureCoeff = %2.6f\n", tag, 2.2);
    calibrateSetSpeedOfLightDiv2(149896229.0);
    zr_log(1, "DBG", "[%s] speed of light div 2 = %2.2f\n", tag, 149896229.0);
    calibrateSetIbTempCoef(0.51765, 2);
    zr_log(1, "DBG", "[%s] epc660_IbTemperatureCoeff = %2.6f\n", tag, 0.51765);
    update_ambient_factor();
    return 0;
}

int configLoad(int type, int addr) {
    if (type == 1) {
        set_dcs_bits(addr, nDCSTOF);
        currentMode = 1;
        if (calculationIsHDR())
            configSetIntegrationTimesHDR();
        else
            configSetIntegrationTime3D(integrationTime3D);
    } else {
        currentMode = type == 2 ? 2 : 0;
    }
    camera_send_param(kParamMode, static_cast<uint32_t>(type) & 0xFFu, 1);
    return 0;
}

int configSetMode(int flag, int addr) {
    sensor_update_bits(addr, 0x92, 0x40, flag != 0);
    return 0;
}

int configSetDCS(int n, int addr) {
    if (n < 1 || n > 4) {
        zr_log(4, "ERR", "[%s] %d DCS: the sensor takes 1 to 4\n", __func__, n);
        return -1;
    }
    nDCSTOF = n;
    set_dcs_bits(addr, n);
    return n;
}

int configFindModulationFrequencies(void) {
    fill_frequency_table(sysclk_from_registers(sensor_address()));
    return 0;
}

int configFindModulationFrequencies_simulate(void) {
    fill_frequency_table(kSimulatedSysClk);
    return 0;
}

int configSetModulationFrequency_simulate(int index) {
    modulationFrequency = modulationFrequencies[frequency_row(index)];
    currentFreq = index;
    return 0;
}

int configSetModulationFrequency(int index, int addr) {
    const int row = frequency_row(index);
    modulationFrequency = modulationFrequencies[row];
    currentFreq = index;
    sensor_write_byte(addr, 0x85, kDividerCode[row]);
    sensor_write_byte(addr, 0x80, currentFreq != 0 ? 0x3F : 0x7F);
    if (static_cast<unsigned>(integrationTime2D) <= kMax2D && currentMode == 0)
        send_integration_time(__func__, static_cast<unsigned>(integrationTime2D));
    if (static_cast<unsigned>(integrationTime3D) > kMax3D)
        return 0;
    configSetIntegrationTime3D(integrationTime3D);
    return 0;
}

int configSetIntegrationTime2D(int t) {
    if (static_cast<unsigned>(t) > kMax2D)
        return -1;
    if (currentMode == 0)
        send_integration_time(__func__, static_cast<unsigned>(t));
    integrationTime2D = t;
    return 0;
}

int configSetIntegrationTime3D(int t) {
    if (static_cast<unsigned>(t) > kMax3D)
        return -1;
    if (calculationIsHDR()) {
        integrationTime3D = t;
        configSetIntegrationTimesHDR();
    } else {
        if (currentMode == 1)
            send_integration_time(__func__, static_cast<unsigned>(t));
        integrationTime3D = t;
        update_add_arg_threshold(t);
    }
    update_ambient_factor();
    return 0;
}

int configSetIntegrationTime3DHDR(int t) {
    if (static_cast<unsigned>(t) > kMax3D)
        return -1;
    integrationTime3DHDR = t;
    configSetIntegrationTimesHDR();
    return 0;
}

int configSetIntegrationTime(int t) {
    send_integration_time(__func__, static_cast<unsigned>(t));
    return 0;
}

int configSetIntegrationTimesHDR(void) {
    const int addr = sensor_address();
    const int divider = sensor_read_byte(addr, 0x85) & 0x1F;
    const int sysclk = sysclk_from_registers(addr);
    const double tmod = 1e6 / (static_cast<double>(sysclk) / (divider + 1));
    const double tmax = tmod * 65536.0 / 1000.0;
    const int p3d = static_cast<int>(integrationTime3D / tmax + 1);
    const int phdr = static_cast<int>(integrationTime3DHDR / tmax + 1);
    const int prescaler = std::max(p3d, phdr);
    auto count_for = [&](int t) {
        return t > 0 ? static_cast<int>(static_cast<double>(t) / prescaler * 1000.0 / tmod - 1) : 0;
    };
    sensor_write16(addr, 0xA0, static_cast<uint16_t>(prescaler));
    sensor_write16(addr, 0xA2, static_cast<uint16_t>(count_for(integrationTime3D)));
    sensor_write16(addr, 0x9E, static_cast<uint16_t>(count_for(integrationTime3DHDR)));
    return 0;
}

int configEnableHDR(int flag, int addr) {
    const int on = flag != 0 ? 1 : 0;
    readOutEnableHDR(on, addr);
    calculationEnableHDR(on);
    imageCorrectionTransform();
    imageDifferenceInit();
    configSetIntegrationTimesHDR();
    return on;
}

int configEnableABS(int flag, int addr) {
    const int on = flag != 0 ? 1 : 0;
    for (int reg : kAbsRegisters)
        sensor_update_bits(addr, reg, kAbsBits, on != 0);
    absEnabled = on;
    return on;
}

int configIsABS(int addr) {
    return (sensor_read_byte(addr, 0x22) & kAbsBits) == kAbsBits ? 1 : 0;
}

int configEnableAddArg(int on) {
    g_add_arg.enabled = on;
    return on;
}
int configStatusEnableAddArg(void) {
    return g_add_arg.enabled;
}
int configSetDcsAdd_threshold(int threshold) {
    g_add_arg.threshold = threshold;
    return threshold;
}
int configGetDcsAdd_threshold(void) {
    return g_add_arg.threshold;
}

int configSetAddArgMin(int value) {
    g_add_arg.low_time = integrationTime3D;
    g_add_arg.low_value = value;
    update_add_arg_gain(__func__);
    return value;
}

int configSetAddArgMax(int value) {
    g_add_arg.high_time = integrationTime3D;
    g_add_arg.high_value = value;
    update_add_arg_gain(__func__);
    return value;
}

int configGetSysClk(void) {
    return sysclk_from_registers(sensor_address());
}

double configGetTModClk(void) {
    const int addr = sensor_address();
    const int divider = sensor_read_byte(addr, 0x85) & 0x1F;
    return 1e6 / (static_cast<double>(sysclk_from_registers(addr)) / (divider + 1));
}

double configGetTPLLClk(void) {
    return 1e6 / static_cast<double>(configGetSysClk());
}

int configInitRegisters(int arg) {
    if (arg != 2)
        return 0;
    const int addr = sensor_address();
    if (partVersion == 7 && partType == 3) {
        sensor_write_byte(addr, 0xD1, 0x0F);
        sensor_write_byte(addr, 0xD8, 0x0F);
    }
    sensor_write_byte(addr, 0x88, 0x3F);
    return 0;
}

int configRestartTOF(void) {
    return restart(__func__, "---------------restart TOF--------------", 3, 2, 5, 4);
}

int configRestartFLIM(void) {
    return restart(__func__, "------------------restart FLIM---------------------", 2, 3, 4, 5);
}

}  // extern "C"
