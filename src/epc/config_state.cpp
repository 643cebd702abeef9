#include "epc/config_state.h"

#include <tarvo/log.h>

#include <cstdarg>
#include <cstdio>

#include "epc/device_io.h"

extern "C" {

tarvo_dev_t *g_zr_dev = nullptr;

int chip_type = 0;
int icType = 0;
int partType = 0;
int partVersion = 0;
uint16_t waferID = 0;
uint16_t chipID = 0;
uint16_t sequencerVersion = 0;
int devAddress = 0;
int currentMode = 0;
int currentFreq = 2;
int modulationFrequency = 12000;
uint16_t modulationFrequencies[7] = {};
int integrationTime2D = 700;
int integrationTime3D = 700;
int integrationTime3DHDR = 700;
int nDCSTOF = 4;
int absEnabled = 1;
int isFLIM = 0;
int correctionBGMode = 0;
int enabledDRNU = 0;
int enabledDRNU2 = 0;
int enabledGrayscale = 0;
int enabledTemperatureCorrection = 0;
int enabledAmbientLightCorrection = 0;
int gPrint = 0;
uint8_t gX = 0, gY = 0, gM = 0, gC = 0, gL = 0;
int gZ = 0;

}  // extern "C"

namespace {

// The register word buffer of one transfer: a whole 256-register bank plus one.
constexpr int kMaxI2cRegisters = 257;
constexpr int kScanAddress = 0x20;

void recompute_chip_type() {
    chip_type = partVersion + 10 * partType;
}

int transfer(char operation, int reg, int count, unsigned char **buffer) {
    if (count > kMaxI2cRegisters) {
        std::printf("rw much data: %d\n", count);
        return -1;
    }
    if (count < 0) {
        zr_log(4, "ERR", "[%s] negative register count %d\n", "i2c", count);
        return -1;
    }
    if (count == 0)
        return 0;
    if (buffer == nullptr || *buffer == nullptr) {
        zr_log(4, "ERR", "[%s] no buffer for %d registers\n", "i2c", count);
        return -1;
    }
    const tarvo::epc::DeviceIo &io = tarvo::epc::device_io();
    uint32_t words[kMaxI2cRegisters];
    if (operation == 'r') {
        if (!io.reg_read(static_cast<uint32_t>(reg), words, static_cast<uint16_t>(count))) {
            std::puts("reg read faild!");
            return -1;
        }
        for (int i = 0; i < count; ++i)
            (*buffer)[i] = static_cast<unsigned char>(words[i]);
        return 0;
    }
    for (int i = 0; i < count; ++i)
        words[i] = (*buffer)[i];
    if (!io.reg_write(static_cast<uint32_t>(reg), words, static_cast<uint16_t>(count))) {
        std::puts("reg write fail!");
        return -1;
    }
    return 0;
}

}  // namespace

namespace tarvo::epc {

uint32_t unambiguous_range(double speed_div2, int f_khz, bool centimetres) {
    if (f_khz <= 0)
        return 0;
    const double f = centimetres ? f_khz * 10.0 : f_khz;
    return static_cast<uint32_t>(speed_div2 / f);
}

int sensor_address() {
    return devAddress != 0 ? devAddress : kScanAddress;
}

bool sensor_read(int addr, int reg, uint8_t *bytes, int count) {
    unsigned char *p = bytes;
    return i2c(addr, 'r', reg, count, &p) == 0;
}

bool sensor_write(int addr, int reg, const uint8_t *bytes, int count) {
    // i2c's buffer argument is shared by reads and writes; a write only reads the bytes.
    unsigned char *p = const_cast<uint8_t *>(bytes);
    return i2c(addr, 'w', reg, count, &p) == 0;
}

uint8_t sensor_read_byte(int addr, int reg) {
    uint8_t byte = 0;
    sensor_read(addr, reg, &byte, 1);
    return byte;
}

bool sensor_write_byte(int addr, int reg, uint8_t value) {
    return sensor_write(addr, reg, &value, 1);
}

bool sensor_write16(int addr, int reg, uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return sensor_write(addr, reg, bytes, 2);
}

bool sensor_update_bits(int addr, int reg, uint8_t mask, bool on) {
    const uint8_t old = sensor_read_byte(addr, reg);
    const uint8_t value = on ? static_cast<uint8_t>(old | mask) : static_cast<uint8_t>(old & ~mask);
    return sensor_write_byte(addr, reg, value);
}

bool camera_send_param(int id, uint32_t value, int len) {
    tarvo_param_item_t item{};
    item.param_id = id;
    item.param_val_len = static_cast<uint8_t>(len);
    for (int i = 0; i < len && i < 4; ++i)
        item.param_val[i] = static_cast<uint8_t>(value >> (8 * i));
    return device_io().param_set(&item);
}

int sysclk_from_registers(int addr) {
    const int mul = sensor_read_byte(addr, 0x82) & 0x1F;
    const int shift = (sensor_read_byte(addr, 0x81) >> 4) & 3;
    return (mul * 4000 + 4000) >> shift;
}

void log_chip_param(const char *tag) {
    auto line = [tag](const char *name, int value) {
        zr_log(1, "DBG", "[%s] %s: %d \n", tag, name, value);
    };
    auto hex = [tag](const char *name, int value) {
        zr_log(1, "DBG", "[%s] %s: 0x%x \n", tag, name, static_cast<unsigned>(value));
    };
    zr_log(1, "DBG", "[%s] *** device type and IDs: \n", tag);
    line("chip_type", chip_type);
    line("icType", icType);
    line("partVersion", partVersion);
    line("waferID", waferID);
    line("chipID", chipID);
    line("sequencerVersion", sequencerVersion);
    hex("devAddress", devAddress);
    line("currentMode", currentMode);
    line("currentFreq", currentFreq);
    line("modulationFrequency", modulationFrequency);
    for (int i = 0; i < 7; ++i)
        zr_log(1, "DBG", "[%s] modulationFrequencies[%d]: %d \n", tag, i, modulationFrequencies[i]);
    zr_log(1, "DBG", "[%s] *** runtime settings: \n", tag);
    line("integrationTime2D", integrationTime2D);
    line("integrationTime3D", integrationTime3D);
    line("integrationTime3DHDR", integrationTime3DHDR);
    line("nDCSTOF", nDCSTOF);
    line("absEnabled", absEnabled);
    line("isFLIM", isFLIM);
    zr_log(1, "DBG", "[%s] *** calibration/correction settings: \n", tag);
    line("correctionBGMode", correctionBGMode);
    line("enabledDRNU", enabledDRNU);
    line("enabledDRNU2", enabledDRNU2);
    line("enabledGrayscale", enabledGrayscale);
    line("enabledTemperatureCorrection", enabledTemperatureCorrection);
    line("enabledAmbientLightCorrection", enabledAmbientLightCorrection);
    zr_log(1, "DBG", "[%s] *** Print level: \n", tag);
    line("gPrint", gPrint);
    zr_log(1, "DBG", "[%s] *** trimming values for temperature readout level: \n", tag);
    hex("gX", gX);
    hex("gY", gY);
    line("gM", gM);
    line("gC", gC);
    line("gL", gL);
    line("gZ", gZ);
}

}  // namespace tarvo::epc

extern "C" {

int i2c(int deviceAddress, char operation, int reg, int count, unsigned char **buffer) {
    if (deviceAddress < 0 || deviceAddress >= 128) {
        std::puts("Device address is out of range.");
        return -1;
    }
    if (reg < 0 || reg >= 256) {
        std::puts("Register address is out of range.");
        return -1;
    }
    switch (operation) {
        case 'r':
        case 'w':
            return transfer(operation, reg, count, buffer);
        case 's':
            if (!tarvo::epc::device_io().reset(1)) {
                std::puts("reset tfc device failed!");
                return -1;
            }
            return 0;
        case 'd':
            if (buffer == nullptr || *buffer == nullptr) {
                zr_log(4, "ERR", "[%s] no buffer for the device scan\n", __func__);
                return -1;
            }
            (*buffer)[0] = kScanAddress;
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
    if ((enable & 0xFF) == 0 || gPrint < level || format == nullptr)
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

int configSetIcVersion(int version) {
    icType = version;
    return icType;
}
int configGetIcVersion(void) {
    return icType;
}
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
uint16_t configSetWaferID(uint16_t id) {
    waferID = id;
    return waferID;
}
uint16_t configGetWaferID(void) {
    return waferID;
}
uint16_t configSetChipID(uint16_t id) {
    chipID = id;
    return chipID;
}
uint16_t configGetChipID(void) {
    return chipID;
}
int configSetDeviceAddress(int addr) {
    devAddress = addr;
    return devAddress;
}
int configGetDeviceAddress(void) {
    return devAddress;
}
int configSetPrint(int level) {
    gPrint = level;
    return gPrint;
}
int configGetPrint(void) {
    return gPrint;
}
uint16_t configGetSequencerVersion(void) {
    return sequencerVersion;
}
uint8_t configGetGX(void) {
    return gX;
}
uint8_t configGetGY(void) {
    return gY;
}
uint8_t configGetGM(void) {
    return gM;
}
uint8_t configGetGL(void) {
    return gL;
}
uint8_t configGetGC(void) {
    return gC;
}
int configGetGZ(void) {
    return gZ;
}
int configIsFLIM(void) {
    return isFLIM;
}
int configIsEnabledDRNUCorrection(void) {
    return enabledDRNU;
}
int configIsEnabledGrayscaleCorrection(void) {
    return enabledGrayscale;
}
int configIsEnabledTemperatureCorrection(void) {
    return enabledTemperatureCorrection;
}
int configIsEnabledAmbientLightCorrection(void) {
    return enabledAmbientLightCorrection;
}
int configGetCurrentMode(void) {
    return currentMode;
}
int configGetModeCount(void) {
    return 3;
}
int configGetModFreqMode(void) {
    return currentFreq;
}
int configGetModFreqCount(void) {
    return 7;
}
uint16_t *configGetModulationFrequencies(void) {
    return modulationFrequencies;
}
int configGetModulationFrequency(void) {
    if (gPrint > 0)
        zr_log(1, "DBG", "[%s] ---- modulation frequency = %i ----\n", __func__,
               modulationFrequency);
    return modulationFrequency;
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
int configGetImagingTime(void) {
    return 15000;
}
int configSaveParameters(void) {
    return 0;
}
int configPrint(void) {
    tarvo::epc::log_chip_param(__func__);
    return 0;
}

}  // extern "C"
