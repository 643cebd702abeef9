// Chip and illumination-board temperatures, and the compensation of distances for them.
#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "epc/calc_state.h"
#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/device_io.h"
#include "epc/frame_source.h"
#include "epc/pipeline_common.h"

using namespace tarvo::epc;

namespace {

constexpr int kParamTemperatures = 15;

struct TemperatureState {
    int16_t header_chip[4] = {};
    int16_t header_board = 0;
    int last_chip = 0;
    int last_board = 0;
    int adc_channels[2] = {-1, -1};
    int16_t smoothing[8] = {};
};

TemperatureState g_temp;
uint16_t g_gray_store[kMaxPixels];

// The illumination board's temperature sensor has no ADC on this platform; reads return the
// value the board-level layer reports for every channel.
constexpr int kAdcReading = 1024;
int adc_read(int channel) {
    return channel >= 0 ? kAdcReading : 0;
}

bool read_regs(int addr, int reg, unsigned char *bytes, int count) {
    return i2c(addr, 'r', reg, count, &bytes) == 0;
}

bool write_reg(int addr, int reg, unsigned char value) {
    unsigned char *p = &value;
    return i2c(addr, 'w', reg, 1, &p) == 0;
}

// Parameter 15: the camera's own temperature readings, 16-bit values.
int read_temperature_param(int16_t (&values)[9]) {
    tarvo_param_item_t item{};
    item.param_id = kParamTemperatures;
    std::memset(values, 0, sizeof values);
    if (!device_io().param_get(&item))
        return 0;
    const int len = std::min<int>(item.param_val_len, sizeof item.param_val);
    std::memcpy(values, item.param_val, static_cast<size_t>(len));
    return len / 2;
}

// The pipeline's 2D mode for a direct read-out, and back: the facade's load operation.
void enter_2d(int addr) {
    pruSetDCS(1);
    configLoad(0, addr);
}

void back_to_3d(int addr, int dcs) {
    pruSetDCS(dcs);
    configLoad(1, addr);
}

int mean_of(const int16_t *values, int count) {
    int sum = 0;
    for (int i = 0; i < count; ++i)
        sum += values[i];
    return count > 0 ? sum / count : 0;
}

// Captures one frame and keeps it as the gray image for the ambient-light correction.
bool capture_into_gray_store() {
    const uint16_t *frame = nullptr;
    const int count = pruGetImage(&frame);
    if (count <= 0 || !frame_source_last_ok())
        return false;
    std::memcpy(g_gray_store, frame,
                static_cast<size_t>(std::min(count, kMaxPixels)) * sizeof(uint16_t));
    return true;
}

// Sets a reduction factor of 2 or more back through `set`, which takes its power of two.
void restore_reduction(int factor, int (*set)(int)) {
    if (factor < 2)
        return;
    if (factor == 2 || factor == 4 || factor == 8)
        set(factor == 2 ? 1 : factor == 4 ? 2 : 3);
    else
        std::puts("WARNING: Invalid reduction.");
}

}  // namespace

extern "C" {

int temperatureInit(void) {
    g_temp.adc_channels[0] = 2;
    g_temp.adc_channels[1] = 4;
    return 0;
}

void temperatureSetTemperatureByFrameHeader(const int16_t *pair) {
    if (pair == nullptr)
        return;
    std::fill(std::begin(g_temp.header_chip), std::end(g_temp.header_chip), pair[0]);
    g_temp.header_board = pair[1];
}

int16_t temperatureGetTemperatureByFrameHeader(void) {
    return g_temp.header_chip[0];
}
int16_t temperatureGetIbTemperatureByFrameHeader(void) {
    return g_temp.header_board;
}

int temperatureGetTemperature(void) {
    int16_t values[9];
    read_temperature_param(values);
    if (partType == 2 || partType == 3)
        return (values[0] + values[1] + values[2] + values[3]) / 4;
    return values[0];
}

int temperatureGetTemperatures(int addr, int16_t *out) {
    (void)addr;
    int16_t values[9];
    const int count = read_temperature_param(values);
    if (out != nullptr)
        std::memcpy(out, values, static_cast<size_t>(count) * sizeof(int16_t));
    return count;
}

int temperatureGetTemperatureChip(int addr, int16_t *out) {
    return temperatureGetTemperatures(addr, out);
}

int temperatureGetTemperatureROI(int addr, int16_t *record) {
    if (record == nullptr)
        return 0;
    const bool epc635 = is_epc635();
    const int sensors = epc635 ? 1 : 4;
    const bool was_3d = configGetCurrentMode() == 1;
    const int dcs = pruGetNDCS();
    if (was_3d)
        enter_2d(addr);
    unsigned char reg94 = 0;
    unsigned char region[6] = {};
    read_regs(addr, 0x94, &reg94, 1);
    read_regs(addr, 0x96, region, 6);
    const int col_reduction = pruGetColReduction();
    const int row_reduction = pruGetRowReduction();
    const int width = frame_source_width();
    const int height = frame_source_height();
    if (col_reduction >= 2)
        pruSetColReduction(0);
    if (row_reduction >= 2)
        pruSetRowReduction(0);
    write_reg(addr, 0x94, 0);
    // Two lines through the temperature pixels: rows 124..125 of the epc660, 64..65 of the
    // epc635.
    unsigned char lines660[6] = {0x00, 0x00, 0x01, 0x47, 0x7C, 0x7D};
    unsigned char lines635[6] = {0x00, 0x9C, 0x00, 0xA7, 0x40, 0x41};
    unsigned char *lines = epc635 ? lines635 : lines660;
    i2c(addr, 'w', 0x96, 6, &lines);
    pruSetSize(epc635 ? 12 : 328, 2);

    uint16_t *frame = nullptr;
    const int count = calculationBW(&frame);
    bool ok = count > 0 && frame_source_last_ok();
    int16_t values[4] = {};
    if (!epc635) {
        // Each sensor is a 2 x 2 block spread over both read-out lines of both halves.
        static constexpr int kPositions[4][4] = {
            {0, 1, 656, 657}, {326, 327, 982, 983}, {328, 329, 984, 985}, {654, 655, 1310, 1311}};
        ok = ok && count >= 1312;
        for (int k = 0; ok && k < 4; ++k) {
            int sum = 0;
            for (int pos : kPositions[k])
                sum += frame[pos];
            values[k] = static_cast<int16_t>(std::floor((sum - 8192) / 4.0));
        }
    }
    unsigned char trim[8] = {};
    ok = read_regs(addr, 0xE8, trim, 8) && ok;
    if (ok) {
        for (int k = 0; k < sensors; ++k) {
            const int a = trim[2 * k];
            const int b = trim[2 * k + 1];
            const double offset = a != 0xFF ? 1082.0 - (a - 127) : 1082.0;
            const double slope = b != 0xFF ? 3.7424012151 - (b - 127) / 127.0 : 3.7424012151;
            record[k] = static_cast<int16_t>(((values[k] - offset) / slope + 25.0) * 10.0);
        }
        g_temp.last_chip = mean_of(record, sensors);
    }

    if (was_3d)
        back_to_3d(addr, dcs);
    restore_reduction(col_reduction, pruSetColReduction);
    restore_reduction(row_reduction, pruSetRowReduction);
    pruSetSize(width, height);
    write_reg(addr, 0x94, reg94);
    unsigned char *saved_region = region;
    i2c(addr, 'w', 0x96, 6, &saved_region);
    return ok ? sensors : 0;
}

double temperatureGetAveragedChipTemperature(int addr) {
    int16_t record[4] = {0, 0, 0, 0};
    temperatureGetTemperatureROI(addr, record);
    return (record[0] + record[1] + record[2] + record[3]) / 40.0;
}

int temperatureGetTemperatureROI_EPC660_CHIP7(int addr, int16_t *record) {
    if (record == nullptr)
        return 0;
    const bool was_3d = configGetCurrentMode() == 1;
    const int dcs = pruGetNDCS();
    const int time_2d = configGetIntegrationTime2D();
    configSetIntegrationTime2D(100);
    unsigned char d3 = 0, d5 = 0, da = 0, dc = 0, r92 = 0;
    read_regs(addr, 0xD3, &d3, 1);
    read_regs(addr, 0xD5, &d5, 1);
    read_regs(addr, 0xDA, &da, 1);
    read_regs(addr, 0xDC, &dc, 1);
    read_regs(addr, 0x92, &r92, 1);
    write_reg(addr, 0x3A, 0);
    int offsets[4];
    for (int k = 0; k < 4; ++k) {
        unsigned char trim = 0;
        read_regs(addr, 0xE8 + 2 * k, &trim, 1);
        offsets[k] = static_cast<int>(trim / 4.7 - 299);
    }
    write_reg(addr, 0xD3, static_cast<unsigned char>(d3 | 0x60));
    write_reg(addr, 0xD5, static_cast<unsigned char>(d5 & 0x0F));
    write_reg(addr, 0xDA, static_cast<unsigned char>(da | 0x60));
    write_reg(addr, 0xDC, static_cast<unsigned char>(dc & 0x0F));
    if (was_3d)
        enter_2d(addr);
    write_reg(addr, 0x92, 0xC4);
    write_reg(addr, 0x3C, 0x26);
    bool ok = capture_into_gray_store();
    unsigned char raw[8] = {};
    for (int i = 0; i < 8; ++i)
        ok = read_regs(addr, 0x60 + i, &raw[i], 1) && ok;
    if (ok)
        for (int k = 0; k < 4; ++k)
            record[k] = static_cast<int16_t>(
                ((raw[2 * k] * 256 + raw[2 * k + 1] - 8192) * 0.134 + offsets[k]) * 10.0);
    write_reg(addr, 0xD3, static_cast<unsigned char>(d3 & 0x1F));
    write_reg(addr, 0xD5, static_cast<unsigned char>(d5 | 0x30));
    write_reg(addr, 0xDA, static_cast<unsigned char>(da & 0x1F));
    write_reg(addr, 0xDC, static_cast<unsigned char>(dc | 0x30));
    write_reg(addr, 0x92, r92);
    configSetIntegrationTime2D(time_2d);
    if (was_3d)
        back_to_3d(addr, dcs);
    return ok ? 4 : 0;
}

int temperatureGetTemperature635(int addr, int16_t *out) {
    if (out == nullptr)
        return 0;
    const bool was_3d = configGetCurrentMode() == 1;
    const int dcs = pruGetNDCS();
    const int time_2d = configGetIntegrationTime2D();
    configSetIntegrationTime2D(100);
    unsigned char r92 = 0;
    read_regs(addr, 0x92, &r92, 1);
    write_reg(addr, 0xD3, static_cast<unsigned char>(configGetGX() | 0x60));
    write_reg(addr, 0xD5, static_cast<unsigned char>(configGetGY() & 0x0F));
    if (was_3d)
        enter_2d(addr);
    write_reg(addr, 0x92, 0xC4);
    write_reg(addr, 0x3C, 0x26);
    bool ok = capture_into_gray_store();
    unsigned char raw[2] = {};
    ok = read_regs(addr, 0x60, raw, 2) && ok;
    if (ok)
        out[0] = static_cast<int16_t>(
            ((static_cast<int16_t>(raw[0] << 8 | raw[1]) - 8192) * 0.134 + configGetGZ()) * 10.0);
    write_reg(addr, 0xD3, static_cast<unsigned char>(configGetGX() & 0x1F));
    write_reg(addr, 0xD5, static_cast<unsigned char>(configGetGY() | 0x30));
    write_reg(addr, 0x92, r92);
    configSetIntegrationTime2D(time_2d);
    if (was_3d)
        back_to_3d(addr, dcs);
    return ok ? 1 : 0;
}

int temperatureGetTemperatureRegister(int addr, int16_t *record) {
    if (record == nullptr)
        return 0;
    const bool epc635 = is_epc635();
    const int sensors = epc635 ? 1 : 4;
    const double base_offset = epc635 ? 1397.46 : 1082.0;
    const double base_slope = epc635 ? 4.678 : 3.7424012151;
    const double offset_divisor = epc635 ? 1.0859 : 1.0;
    const double slope_divisor = epc635 ? 79.375 : 127.0;
    unsigned char raw[8] = {};
    unsigned char trim[8] = {};
    if (!read_regs(addr, 0x60, raw, 2 * sensors) || !read_regs(addr, 0xE8, trim, 8))
        return 0;
    for (int k = 0; k < sensors; ++k) {
        const int value =
            static_cast<int>((((raw[2 * k] << 8) & 0x3FFF) | raw[2 * k + 1]) * 0.25 + 0.5 - 2048);
        // Each sensor has its own trimming pair, applied to the untrimmed constants.
        double offset = base_offset;
        double slope = base_slope;
        const int a = trim[2 * k];
        const int b = trim[2 * k + 1];
        if (a != 0xFF)
            offset -= (a - 127) / offset_divisor;
        if (b != 0xFF)
            slope -= (b - 127) / slope_divisor;
        record[k] = static_cast<int16_t>(((value - offset) / slope + 27.0) * 10.0);
    }
    g_temp.last_chip = mean_of(record, sensors);
    return sensors;
}

int temperatureGetTemperatureIllumination(int16_t *out) {
    if (out == nullptr)
        return 0;
    for (int ch = 0; ch < 2; ++ch) {
        int sum = 0;
        for (int i = 0; i < 10; ++i)
            sum += adc_read(g_temp.adc_channels[ch]);
        const uint16_t mean = static_cast<uint16_t>(sum / 10);
        out[ch] = static_cast<int16_t>((25.0 - (mean - 1452.13) / 4.41) * 10.0);
    }
    g_temp.last_board = (out[0] + out[1]) / 2;
    return 2;
}

int16_t temperatureGetLastTempChip(void) {
    return static_cast<int16_t>(g_temp.last_chip);
}
int16_t temperatureGetLastTempIllumination(void) {
    return static_cast<int16_t>(g_temp.last_board);
}

int temperatureKalmanFilter(int16_t *values, int count) {
    if (values == nullptr)
        return 0;
    count = std::clamp(count, 0, 8);
    for (int i = 0; i < count; ++i) {
        g_temp.smoothing[i] =
            static_cast<int16_t>(0.5 * g_temp.smoothing[i] + 0.5 * static_cast<double>(values[i]));
        values[i] = g_temp.smoothing[i];
    }
    return count;
}

uint16_t temperatureGetGrayscalePixel(int i) {
    return i >= 0 && i < kMaxPixels ? g_gray_store[i] : 0;
}

uint16_t *temperatureGetGrayscaleData(void) {
    return g_gray_store;
}

int calculationSetEnableTemperature(int on) {
    g_calc.temperature = on;
    write_temperature_correction_registers(on);
    return on;
}

int calculationSetEnableTemperature_simulate(int on) {
    return g_calc.temperature = on;
}

int calculationGetEnableTemperature(void) {
    return g_calc.temperature;
}

int calculationTemperatureCompensation(uint16_t *image) {
    if (!g_calc.temperature || image == nullptr)
        return 0;
    Geometry g;
    if (!distance_geometry(g, __func__))
        return -1;
    double delta_chip = 0.0;
    double delta_board = 0.0;
    if (g_calc.ambient_light) {
        delta_chip = g_ambient.diff_temp;
    } else {
        delta_chip = temperatureGetTemperatureByFrameHeader() - calibrateGetTempCalib();
        delta_board = temperatureGetIbTemperatureByFrameHeader() - calibrateGetIbTempCalib();
    }
    zr_log(1, "DBG", "[%s] tempDiff = %.2f\n", __func__, delta_chip);
    zr_log(1, "DBG", "[%s] ibtempDiff = %.2f\n", __func__, delta_board);
    const uint32_t range = unambiguous_range(calibrateGetSpeedOfLightDiv2(), modulationFrequency);
    if (range == 0)
        return 0;
    const double per_mm = 30000.0 / range;
    const double chip = calibrateGetTempCoef(partType) * per_mm;
    const double board = calibrateGetIbTempCoef(partType) * per_mm;
    print(1, 2, "calculationTemperatureCompensation: calibrateGetTempCoef= %2.6f\n",
          calibrateGetTempCoef(partType));
    const int shift = round_away(delta_chip * chip) + round_away(delta_board * board);
    for (int i = 0; i < g.pixels; ++i) {
        const uint16_t v = image[i];
        if (v > 65299)
            continue;
        // The shift can move a phase across the period's start; a result below 0 wraps into
        // the period instead of turning into a value that reads as a code. Truncation toward
        // zero keeps a result between -1 and 0 at 0.
        double value = (v - shift) - 1.7777;
        if (std::trunc(value) < 0.0 || value >= 65300.0)
            value -= std::floor(value / 30000.0) * 30000.0;
        image[i] = static_cast<uint16_t>(std::trunc(value));
    }
    return 0;
}

}  // extern "C"
