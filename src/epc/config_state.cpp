#include "epc/config_state.h"

#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "epc/device_io.h"

extern "C" {

tarvo_dev_t *g_zr_dev = nullptr;

int chip_type = 0;
int partType = 0;
int partVersion = 0;
int currentMode = 0;
int currentFreq = 2;
int modulationFrequency = 12000;
uint16_t modulationFrequencies[7] = {};
int integrationTime2D = 700;
int integrationTime3D = 700;
int integrationTime3DHDR = 700;
int nDCSTOF = 4;
int gPrint = 0;
uint8_t gX = 0, gY = 0, gM = 0, gC = 0, gL = 0;
int gZ = 0;

}  // extern "C"

namespace {

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
constexpr int kSimulatedSysClk = 96000;
constexpr int kMaxI2cRegisters = 257;
constexpr int kParamMode = 10;
constexpr int kParamIntegrationTime = 13;

void recompute_chip_type() {
    chip_type = partVersion + 10 * partType;
}

bool send_param(int id, unsigned value, int len) {
    tarvo_param_item_t item{};
    item.param_id = id;
    item.param_val_len = static_cast<uint8_t>(len);
    for (int i = 0; i < len; ++i)
        item.param_val[i] = static_cast<uint8_t>(value >> (8 * i));
    return tarvo::epc::device_io().param_set(&item);
}

void fill_frequency_table(int sysclk) {
    modulationFrequencies[0] = 36000;
    for (int i = 1; i < 7; ++i)
        modulationFrequencies[i] =
            static_cast<uint16_t>(static_cast<double>(sysclk) / (std::ldexp(1.0, i - 1) * 4.0));
}

// The sensor answers at 0x20 on this camera.
uint8_t read_reg(int reg, int addr = 0x20) {
    unsigned char byte = 0;
    unsigned char *p = &byte;
    i2c(addr, 'r', reg, 1, &p);
    return byte;
}

int sysclk_from_registers() {
    const int mul = read_reg(0x82) & 0x1F;
    const int shift = (read_reg(0x81) >> 4) & 3;
    return (mul * 4000 + 4000) >> shift;
}

void update_add_arg_threshold(int t) {
    if (g_add_arg.low_time < t)
        g_add_arg.threshold =
            static_cast<int>(g_add_arg.low_value + (t - g_add_arg.low_time) * g_add_arg.gain);
    else
        g_add_arg.threshold = g_add_arg.low_value;
}

void update_ambient_factor() {
    calculationSetAmbientLightFactor(calculationGetAmbientLightFactorOrg() /
                                     std::sqrt(static_cast<double>(integrationTime3D)));
}

}  // namespace

namespace tarvo::epc {

uint32_t unambiguous_range(double speed_div2, int f_khz, bool centimetres) {
    if (f_khz <= 0)
        return 0;
    const double f = centimetres ? f_khz * 10.0 : f_khz;
    return static_cast<uint32_t>(speed_div2 / f);
}

}  // namespace tarvo::epc

extern "C" {

int configSetPartType(int type) {
    partType = type;
    recompute_chip_type();
    return partType;
}
int configGetPartType(void) {
    return partType;
}
int configSetPartVersion(int version) {
    partVersion = version;
    recompute_chip_type();
    return partVersion;
}
int configGetPartVersion(void) {
    return partVersion;
}
int configGetCurrentMode(void) {
    return currentMode;
}
int configGetModFreqMode(void) {
    return currentFreq;
}

int configGetModulationFrequency(void) {
    if (gPrint > 0)
        zr_log(1, "DBG", "[%s] ---- modulation frequency = %i ----\n", __func__,
               modulationFrequency);
    return modulationFrequency;
}

uint16_t *configGetModulationFrequencies(void) {
    return modulationFrequencies;
}
int configGetModFreqCount(void) {
    return 7;
}

int configSetModulationFrequency_simulate(int index) {
    const int row = (index >= 0 && index < 7) ? index : 2;
    modulationFrequency = modulationFrequencies[row];
    currentFreq = index;
    return 0;
}

int configFindModulationFrequencies_simulate(void) {
    fill_frequency_table(kSimulatedSysClk);
    return 0;
}

int configSetPrint(int level) {
    gPrint = level;
    return gPrint;
}
int configGetPrint(void) {
    return gPrint;
}
uint8_t configGetGX(void) {
    return gX;
}
uint8_t configGetGY(void) {
    return gY;
}
int configGetGZ(void) {
    return gZ;
}

int configSetIntegrationTime2D(int t) {
    if (static_cast<unsigned>(t) > 1000000u)
        return -1;
    if (currentMode == 0)
        send_param(kParamIntegrationTime, static_cast<unsigned>(t) & 0xFFFFu, 2);
    integrationTime2D = t;
    return 0;
}

int configSetIntegrationTime3D(int t) {
    if (static_cast<unsigned>(t) > 4000u)
        return -1;
    if (calculationIsHDR()) {
        integrationTime3D = t;
        configSetIntegrationTimesHDR();
    } else {
        if (currentMode == 1)
            send_param(kParamIntegrationTime, static_cast<unsigned>(t), 2);
        integrationTime3D = t;
        update_add_arg_threshold(t);
    }
    update_ambient_factor();
    return 0;
}

int configSetIntegrationTime3DHDR(int t) {
    if (static_cast<unsigned>(t) > 4000u)
        return -1;
    integrationTime3DHDR = t;
    configSetIntegrationTimesHDR();
    return 0;
}

int configSetIntegrationTimesHDR(void) {
    const int divider = read_reg(0x85) & 0x1F;
    const int sysclk = sysclk_from_registers();
    const double tmod = 1e6 / (static_cast<double>(sysclk) / (divider + 1));
    const double tmax = tmod * 65536.0 / 1000.0;
    const int p3d = static_cast<int>(integrationTime3D / tmax + 1);
    const int phdr = static_cast<int>(integrationTime3DHDR / tmax + 1);
    const int prescaler = p3d > phdr ? p3d : phdr;
    auto count_for = [&](int t) {
        return t > 0 ? static_cast<int>(static_cast<double>(t) / prescaler * 1000.0 / tmod - 1) : 0;
    };
    const int c3d = count_for(integrationTime3D);
    const int chdr = count_for(integrationTime3DHDR);
    auto write16 = [](int reg, int value) {
        unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8),
                                  static_cast<unsigned char>(value)};
        unsigned char *p = bytes;
        i2c(0x20, 'w', reg, 2, &p);
    };
    write16(0xA0, prescaler);
    write16(0xA2, c3d);
    write16(0x9E, chdr);
    return 0;
}

int configGetIntegrationTime2D(void) {
    return integrationTime2D;
}
int configGetIntegrationTime3D(void) {
    return integrationTime3D;
}
int configGetIntegrationTime3DHDR(void) {
    return integrationTime3DHDR;
}

int configLoad(int type, int addr) {
    if (type == 1) {
        unsigned char reg = read_reg(0x92, addr);
        reg = static_cast<unsigned char>((reg & ~0x30) | (((nDCSTOF - 1) & 3) << 4));
        unsigned char *p = &reg;
        i2c(addr, 'w', 0x92, 1, &p);
        currentMode = 1;
        if (calculationIsHDR())
            configSetIntegrationTimesHDR();
        else
            configSetIntegrationTime3D(integrationTime3D);
    } else {
        currentMode = type == 2 ? 2 : 0;
    }
    send_param(kParamMode, static_cast<unsigned>(type) & 0xFFu, 1);
    return 0;
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

int i2c(int deviceAddress, char operation, int reg, int count, unsigned char **buffer) {
    if (deviceAddress >= 128 || deviceAddress < 0) {
        std::puts("Device address is out of range.");
        return -1;
    }
    if (reg >= 256 || reg < 0) {
        std::puts("Register address is out of range.");
        return -1;
    }
    const tarvo::epc::DeviceIo &io = tarvo::epc::device_io();
    switch (operation) {
        case 'r':
        case 'w': {
            // The register word buffer holds 257 entries; a longer batch would not fit it.
            if (count < 0 || count > kMaxI2cRegisters) {
                std::printf("rw much data: %d", count);
                std::fflush(stdout);
                return -1;
            }
            if (buffer == nullptr || (*buffer == nullptr && count > 0))
                return -1;
            uint32_t words[kMaxI2cRegisters];
            if (operation == 'r') {
                if (!io.reg_read(static_cast<uint32_t>(reg), words, static_cast<uint16_t>(count))) {
                    std::puts("reg read faild!");
                    return -1;
                }
                for (int i = 0; i < count; ++i)
                    (*buffer)[i] = static_cast<unsigned char>(words[i]);
            } else {
                for (int i = 0; i < count; ++i)
                    words[i] = (*buffer)[i];
                if (!io.reg_write(static_cast<uint32_t>(reg), words,
                                  static_cast<uint16_t>(count))) {
                    std::puts("reg write fail!");
                    return -1;
                }
            }
            return 0;
        }
        case 's':
            if (!io.reset(1)) {
                std::puts("reset tfc device failed!");
                return -1;
            }
            return 0;
        case 'd':
            if (buffer == nullptr || *buffer == nullptr)
                return -1;
            (*buffer)[0] = 0x20;
            (*buffer)[1] = 0xFF;
            return 0;
        case 'l':
            std::printf("uncompleted function : %s!\n", "<i2c device reload>");
            return 0;
        default:
            std::puts(
                "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software "
                "reset) are allowed.");
            return -1;
    }
}

int print(int enable, int level, const char *format, ...) {
    if ((enable & 0xFF) == 0 || gPrint < level)
        return 0;
    char text[516];
    va_list args;
    va_start(args, format);
    const int len = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (len < 0)
        return 0;
    std::fputs(text, stdout);
    return len < static_cast<int>(sizeof text) ? len : static_cast<int>(sizeof text) - 1;
}

}  // extern "C"
