// Bad pixels: the gray-image search that writes them to a file, and the reader of that file.
#include <tarvo/epc_api.h>
#include <tarvo/epc_calc.h>
#include <tarvo/epc_calib.h>
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "epc/calibration_files.h"
#include "epc/config_state.h"
#include "files/safe_file.h"
#include "epc/frame_source.h"

using namespace tarvo::epc;

namespace {

// A gray value of a good pixel in the search's read-out lies in 2000..2096.
constexpr int kGrayLow = 2000;
constexpr int kGrayWidth = 96;

// What the search changes: pipeline settings restored through the facade, registers written
// back as they were.
struct SearchSettings {
    int mode = 0;
    int frequency = 2;
    int pi_delay = 1;
    int dual_mgx = 0;
    int col_reduction = 1;
    int row_reduction = 1;
    int width = 0;
    int height = 0;
    uint8_t reg22 = 0;
    uint8_t reg24 = 0;
    uint8_t roi[6] = {};
    uint8_t integration[4] = {};
};

SearchSettings configure_gray_measurement(int addr) {
    SearchSettings s;
    s.mode = configGetCurrentMode();
    s.frequency = configGetModFreqMode();
    s.pi_delay = calculationIsPiDelay();
    s.dual_mgx = calculationIsDualMGX();
    s.col_reduction = pruGetColReduction();
    s.row_reduction = pruGetRowReduction();
    s.width = frame_source_width();
    s.height = frame_source_height();
    s.reg22 = sensor_read_byte(addr, 0x22);
    s.reg24 = sensor_read_byte(addr, 0x24);
    sensor_read(addr, 0x96, s.roi, 6);
    sensor_read(addr, 0xA0, s.integration, 4);
    apiEnableHorizontalBinning(0, addr);
    apiEnableVerticalBinning(0, addr);
    apiSetRowReduction(0, addr);
    apiSetModulationFrequency(1, addr);
    apiEnableABS(1, addr);
    apiEnablePiDelay(1, addr);
    apiEnableDualMGX(0, addr);
    if (s.mode == 1)
        apiLoadConfig(0, addr);
    if (is_epc635())
        sensor_update_bits(addr, 0x22, 0x30, false);
    if (is_epc635())
        apiSetROI(4, 163, 6, 65, addr);
    else
        apiSetROI(4, 323, 6, 125, addr);
    const uint8_t integration[4] = {0x00, 0x01, 0x00, 0x04};
    sensor_write(addr, 0xA0, integration, 4);
    sensor_update_bits(addr, 0x24, 0x03, true);
    return s;
}

void restore_settings(int addr, const SearchSettings &s) {
    apiEnablePiDelay(s.pi_delay, addr);
    apiEnableDualMGX(s.dual_mgx, addr);
    apiEnableHorizontalBinning(s.col_reduction > 1 ? 1 : 0, addr);
    apiSetRowReduction(reduction_exponent(s.row_reduction), addr);
    apiSetModulationFrequency(s.frequency, addr);
    apiLoadConfig(s.mode, addr);
    pruSetSize(s.width, s.height);
    sensor_write_byte(addr, 0x22, s.reg22);
    sensor_write_byte(addr, 0x24, s.reg24);
    sensor_write(addr, 0x96, s.roi, 6);
    sensor_write(addr, 0xA0, s.integration, 4);
}

// Writes the bad pixels of `image` (cols wide, rows high) within the search extents; their
// number, or -1 when nothing could be written.
int write_bad_pixels(const std::string &name, const uint16_t *image, int cols, int rows) {
    const int max_rows = std::min(rows, bad_pixel_rows());
    const int max_cols = std::min(cols, bad_pixel_columns());
    int count = 0;
    mkdir("./calibration", 0777);
    const bool ok = write_file_atomically(name, "calibrationSearchBadPixelsWithMin", [&](FILE *f) {
        for (int r = 0; r < max_rows; ++r) {
            for (int c = 0; c < max_cols; ++c) {
                const uint16_t v = image[r * cols + c];
                if (static_cast<uint16_t>(v - kGrayLow) <= kGrayWidth)
                    continue;
                if (std::fprintf(f, "%i %i\n", c + 4, r + 6) < 0)
                    return false;
                ++count;
            }
        }
        return true;
    });
    return ok ? count : -1;
}

// Splits a line into numbers; -1 for anything that is not a number or does not fit the 16-bit
// values the caller receives (a coordinate that wrapped round would name another pixel).
int numbers_of(const char *line, long (&out)[3]) {
    int n = 0;
    const char *p = line;
    while (true) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
            ++p;
        if (*p == '\0')
            return n;
        errno = 0;
        char *end = nullptr;
        const long v = std::strtol(p, &end, 10);
        if (end == p || errno != 0 || v < INT16_MIN || v > INT16_MAX)
            return -1;
        if (n < 3)
            out[n] = v;
        ++n;
        p = end;
    }
}

}  // namespace

extern "C" {

int calibrationSearchBadPixelsWithMin(void) {
    const int addr = sensor_address();
    const std::string name = bad_pixel_file_name();
    const SearchSettings saved = configure_gray_measurement(addr);
    uint16_t *image = nullptr;
    const int count = calculationBWSorted(&image);
    const int cols = pruGetNCols();
    const int rows = pruGetNRowsPerHalf() * pruGetNumberOfHalves();
    int found = -1;
    if (image != nullptr && count >= cols * rows)
        found = write_bad_pixels(name, image, cols, rows);
    else
        zr_log(4, "ERR", "[%s] no gray image\n", __func__);
    restore_settings(addr, saved);
    if (found < 0)
        return -1;
    struct stat st;
    if (stat(name.c_str(), &st) != 0 || (st.st_size == 0 && found > 0)) {
        zr_log(4, "ERR", "[%s] %s cannot be examined\n", __func__, name.c_str());
        std::remove(name.c_str());
        return -1;
    }
    return found;
}

int calibrationGetBadPixels(int16_t *values) {
    if (values == nullptr)
        return -1;
    const std::string name = bad_pixel_file_name();
    FILE *f = tarvo::files::fopen_regular_input(name.c_str());
    if (f == nullptr) {
        zr_log(1, "DBG", "[%s] Could not open %s file.\n", __func__, name.c_str());
        return -1;
    }
    const long capacity = 2L * bad_pixel_rows() * bad_pixel_columns();
    long stored = 0;
    int result = 0;
    char line[64];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        long numbers[3] = {};
        const bool whole = std::strchr(line, '\n') != nullptr || std::feof(f);
        const int n = whole ? numbers_of(line, numbers) : -1;
        if (n < 0 || n > 2) {
            zr_log(1, "DBG", "[%s] File does not contain a proper calibration.\n", __func__);
            result = -1;
            break;
        }
        if (stored + n > capacity) {
            zr_log(4, "ERR", "[%s] %s holds more than the %ld values of the search extents\n",
                   __func__, name.c_str(), capacity);
            result = -1;
            break;
        }
        for (int i = 0; i < n; ++i)
            values[stored++] = static_cast<int16_t>(numbers[i]);
    }
    std::fclose(f);
    return result < 0 ? -1 : static_cast<int>(stored);
}

}  // extern "C"
