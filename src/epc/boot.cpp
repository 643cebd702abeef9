// Sensor start-up and identification, the configuration dump, version numbers, the board-level
// stand-ins of this platform, the external-modulation flag and the string and file helpers.
#include <tarvo/epc_api.h>
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "epc/config_state.h"

using namespace tarvo::epc;

namespace {

constexpr int kBootAttempts = 10;
constexpr int kCommandSlots = 256;
constexpr int kCommandSlotSize = 50;

uint8_t g_ext_mod = 0;

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Information bytes sit behind an index register (0x11) and a data register (0x12) that moves
// the index on with every read.
uint8_t info_byte(int addr, uint8_t index) {
    sensor_write_byte(addr, 0x11, index);
    return sensor_read_byte(addr, 0x12);
}

uint16_t info_word(int addr, uint8_t index) {
    sensor_write_byte(addr, 0x11, index);
    uint8_t bytes[2] = {};
    bytes[0] = sensor_read_byte(addr, 0x12);
    bytes[1] = sensor_read_byte(addr, 0x12);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

int scan_device() {
    unsigned char found[2] = {};
    unsigned char *p = found;
    if (i2c(0, 'd', 0, 2, &p) != 0)
        return -1;
    return found[0];
}

}  // namespace

extern "C" {

int fd_epc660_enable_dir = -1;
int fd_epc660_enable_val = -1;
int fd_5v_10v_enable_dir = -1;
int fd_5v_10v_enable_val = -1;
int fd_3v3_enable_dir = -1;
int fd_3v3_enable_val = -1;
int fd_m5v_enable_dir = -1;
int fd_m5v_enable_val = -1;
int fd_boot_disable_dir = -1;
int fd_boot_disable_val = -1;
int fd_bbb_epc660_shutter_dir = -1;
int fd_bbb_epc660_shutter_val = -1;
int fd_bbb_epc660_vsync_a0_dir = -1;
int fd_bbb_epc660_vsync_a0_val = -1;
double gEpc660_IbTempCoef = 0.27;
int gIbTempDiff = 0;

int boot(void) {
    int addr = -1;
    for (int attempt = 0; attempt < kBootAttempts; ++attempt) {
        bootInit();
        sleep_ms(500);
        addr = scan_device();
        std::printf("deviceAddress = 0x%x\n", static_cast<unsigned>(addr));
        if (addr >= 32 && addr <= 35)
            break;
        bootUndo();
        bootRelease();
        bootUnexportAll();
        addr = -1;
    }
    if (addr < 0)
        return -1;
    configSetPartType(bootGetPartType(addr));
    configSetPartVersion(bootGetPartVersion(addr));
    configSetIcVersion(bootGetIcVersion(addr));
    configSetWaferID(bootGetWaferID(addr));
    configSetChipID(bootGetChipID(addr));
    configSetDeviceAddress(addr);
    bootNormalMode(addr);
    bootRelease();
    return addr;
}

uint16_t bootGetIcVersion(int addr) {
    const uint16_t v = sensor_read_byte(addr, 0x01);
    std::printf("IC_VERSION: %i\n", v);
    return v;
}

uint16_t bootGetPartType(int addr) {
    const uint16_t v = info_byte(addr, 0xFA);
    std::printf("PART_TYPE: %i\n", v);
    return v;
}

uint16_t bootGetPartVersion(int addr) {
    const uint16_t v = info_byte(addr, 0xFB);
    std::printf("PART_VERSION: %i\n", v);
    return v;
}

uint16_t bootGetWaferID(int addr) {
    const uint16_t v = info_word(addr, 0xF6);
    std::printf("WAFER_ID: %i\n", v);
    return v;
}

uint16_t bootGetChipID(int addr) {
    const uint16_t v = info_word(addr, 0xF8);
    std::printf("CHIP_ID: %i\n", v);
    return v;
}

void bootNormalMode(int addr) {
    if ((sensor_read_byte(addr, 0x7E) & 0x80) == 0)
        return;
    std::printf("Changing mode...\n");
    std::printf("Enabling PLL...\n");
    sensor_write_byte(addr, 0x7D, 0x9F);
    sleep_ms(1);
    sensor_write_byte(addr, 0x80, 0x00);
    std::printf("Disabling PLL bypass...\n");
    sensor_write_byte(addr, 0x7D, 0x94);
    std::printf("Disabling sys_clk bypass...\n");
    sensor_write_byte(addr, 0x7D, 0x84);
    std::printf("Switching to normal mode...\n");
    sensor_write_byte(addr, 0x7D, 0x04);
    sensor_write_byte(addr, 0x80, 0x3F);
}

void bootReset(void) {
    sleep_ms(1);
    sleep_ms(500);
}

void bootUndo(void) {
    sleep_ms(1000);
}

void bootInit(void) {}
void bootRelease(void) {}
void bootUnexportAll(void) {}
void bootCloseEpc660_enable(void) {}

int chipInfoGetInfo(int addr, uint16_t *record) {
    if (record == nullptr)
        return -1;
    uint8_t ids[2] = {};
    sensor_read(addr, 0x00, ids, 2);
    sensor_write_byte(addr, 0x11, 0xF5);
    uint8_t info[7] = {};
    for (uint8_t &b : info)
        b = sensor_read_byte(addr, 0x12);
    record[0] = ids[0];
    record[1] = ids[1];
    record[2] = info[0];
    record[3] = static_cast<uint16_t>(info[1] << 8 | info[2]);
    record[4] = static_cast<uint16_t>(info[3] << 8 | info[4]);
    record[5] = info[5];
    record[6] = info[6];
    record[7] = configGetSequencerVersion();
    return 8;
}

void printChipParam(void) {
    log_chip_param(__func__);
}

int getVersion(void) {
    return 20800;
}
int getMajor(void) {
    return 2;
}
int getMinor(void) {
    return 8;
}
int getPatch(void) {
    return 0;
}

uint8_t epcSetExtModEnable(uint8_t on) {
    g_ext_mod = on;
    return on;
}
uint8_t epcgetExtModEnable(void) {
    return g_ext_mod;
}

int gpio_export(int) {
    return 0;
}
int gpio_unexport(int) {
    return 0;
}
int gpio_open_dir(int) {
    return 0;
}
int gpio_set_dir(int, int) {
    return 0;
}
int gpio_get_dir(int) {
    return 1;
}
int gpio_close_dir(int) {
    return 0;
}
int gpio_open_val(int) {
    return 0;
}
int gpio_set_val(int, int) {
    return 0;
}
int gpio_get_val(int) {
    return 0;
}
int gpio_close_val(int) {
    return 0;
}
int bbbLEDEnable(int) {
    return 0;
}

int adcOpen(int channel) {
    return channel < 8 ? channel : -1;
}
int adcGetValue(void) {
    return 1024;
}
int adcGetValueMillivolts(void) {
    return 450;
}
int adcGetValueMicroAmpere(int, int r) {
    return r == 0 ? -1 : 450000 / r;
}

int print_message(const char *format, ...) {
    if (format == nullptr)
        return 0;
    va_list args;
    va_start(args, format);
    const int n = std::vprintf(format, args);
    va_end(args);
    return n;
}

int helperStringToHex(const char *str) {
    unsigned v = 0;
    if (str == nullptr || std::sscanf(str, "%X", &v) != 1 || v > 255)
        return -1;
    return static_cast<int>(v);
}

int helperStringToInteger(const char *str) {
    int v = 0;
    if (str == nullptr || std::sscanf(str, "%i", &v) != 1)
        return 0;
    return v;
}

double helperStringToDouble(const char *str) {
    double v = 0.0;
    if (str == nullptr || std::sscanf(str, "%lf", &v) != 1)
        return 0.0;
    return v;
}

int helperParseCommand(char *str, char *dst) {
    if (str == nullptr || dst == nullptr)
        return -1;
    int tokens = 0;
    char *save = nullptr;
    for (char *t = strtok_r(str, " ", &save); t != nullptr && tokens < kCommandSlots;
         t = strtok_r(nullptr, " ", &save)) {
        // Each slot keeps its terminating NUL, so a 50-character token is cut to 49.
        char *slot = dst + static_cast<long>(tokens) * kCommandSlotSize;
        std::snprintf(slot, kCommandSlotSize, "%s", t);
        ++tokens;
    }
    return tokens - 1;
}

bool helperIntervalCheck(uint32_t start, uint32_t now, uint32_t interval) {
    return interval != 0 && now - start >= interval;
}

long file_size(const char *path) {
    if (path == nullptr)
        return -1;
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return -1;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0)
        size = std::ftell(f);
    std::fclose(f);
    return size;
}

}  // extern "C"
