// DRNU calibration files: names, the parameter files, the step temperature files, the distance
// images and the calibration package. Every file read here is outside input: sizes and lines
// are checked before anything is stored, and every file is written under a temporary name.
#include "epc/calibration_files.h"

#include <tarvo/epc_calc.h>
#include <tarvo/epc_calib.h>
#include <tarvo/log.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "api/path.h"
#include "files/safe_file.h"
#include "epc/config_state.h"

namespace tarvo::epc {
namespace {

DrnuParams g_stored[2];

// The board temperature of the binary parameter file lies 20.0 degrees below the frame
// header's scale, which the loader adds back; the writer takes it off again, so that a file
// written here loads as it was calibrated.
constexpr int kFileIbTemperatureOffset = 200;

// Sizes of the binary parameter file: frequency, offset, temperature, step, board temperature.
constexpr long kParamsFull = 24;
constexpr long kParamsNoFrequency = 20;
constexpr long kParamsNoBoard = 16;

// The largest distance image file the tables take, and the package's copy piece.
constexpr long kImageBytesMax = static_cast<long>(kMaxDistances) * kMaxPixels * 2;
constexpr size_t kCopyPiece = 4096;

const char *frequency_suffix(int f_khz) {
    if (f_khz > 19999)
        return "_20.";
    if (f_khz > 9999)
        return "_10.";
    return "_5.";
}

const char *mode_suffix(int mode) {
    return mode == 2 ? "_10." : "_20.";
}

// The exported name functions take a flag, as their callers pass the table bank: nonzero (bank
// 1, the camera's own modulation) asks for the frequency mode 2 files, 0 for the others.
int mode_of_flag(int mode2) {
    return mode2 != 0 ? 2 : 0;
}

struct NameParts {
    const char *base;
    bool by_mode;
    const char *extension;
};

NameParts parts_of(DrnuFile file) {
    switch (file) {
        case DrnuFile::text_params:
            return {"drnu", false, "csv"};
        case DrnuFile::binary_params:
            return {"drnu_param", true, "bin"};
        case DrnuFile::temperatures:
            return {"temperature_drnu", false, "csv"};
        case DrnuFile::ib_temperatures:
            return {"ibtemperature_drnu", false, "csv"};
        case DrnuFile::images:
        default:
            return {"images_drnu", true, "bin"};
    }
}

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_f64(uint8_t *p, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    put_le32(p, static_cast<uint32_t>(bits));
    put_le32(p + 4, static_cast<uint32_t>(bits >> 32));
}

double get_f64(const uint8_t *p) {
    const uint64_t bits =
        static_cast<uint64_t>(get_le32(p)) | static_cast<uint64_t>(get_le32(p + 4)) << 32;
    double v = 0.0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Size of an open file, -1 when it cannot be told.
long size_of(FILE *f) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long>(st.st_size);
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Only regular files: a FIFO named like a calibration file would block the open for ever.
File open_read(const std::string &name) {
    return File(tarvo::files::fopen_regular_input(name.c_str()));
}

// Reads one line of at most `size` - 1 characters; a longer line is consumed and reported as
// too long. False at the end of the file.
bool read_line(FILE *f, char *line, size_t size, bool &too_long) {
    if (std::fgets(line, static_cast<int>(size), f) == nullptr)
        return false;
    const size_t len = std::strlen(line);
    too_long = len == size - 1 && line[len - 1] != '\n';
    if (too_long) {
        for (int c; (c = std::fgetc(f)) != EOF && c != '\n';) {
        }
    }
    return true;
}

// The whole line is one integer (blanks around it allowed).
bool parse_int(const char *text, int &out) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || errno != 0 || v < INT16_MIN || v > INT16_MAX)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        ++end;
    if (*end != '\0')
        return false;
    out = static_cast<int>(v);
    return true;
}

bool write_text_params(FILE *f) {
    return std::fprintf(f, "%d\n%d\n%d\n%2.4f\n%d\n", configGetModulationFrequency(), offsetDRNU,
                        gTempCal, gStepCalMM, gTempCalIb) > 0;
}

bool write_binary_params(FILE *f) {
    uint8_t bytes[kParamsFull];
    put_le32(bytes, static_cast<uint32_t>(configGetModulationFrequency()));
    put_le32(bytes + 4, static_cast<uint32_t>(offsetDRNU));
    put_le32(bytes + 8, static_cast<uint32_t>(gTempCal));
    put_f64(bytes + 12, gStepCalMM);
    put_le32(bytes + 20, static_cast<uint32_t>(gTempCalIb - kFileIbTemperatureOffset));
    return std::fwrite(bytes, 1, sizeof bytes, f) == sizeof bytes;
}

bool write_temperatures(FILE *f, const int16_t *values) {
    for (int i = 0; i < drnu_distances(); ++i) {
        if (std::fprintf(f, "%d\n", values[i]) < 0)
            return false;
    }
    return true;
}

// Parameters of a binary parameter file; false (with a log line) for a size of no known form.
// Values a calibration can hold: a phase offset within the 16-bit phase range, temperatures
// within what the sensor reports, a finite positive step. Anything else would overflow the
// offset and temperature arithmetic that uses them.
bool plausible(const DrnuParams &p, int raw_board, const char *tag) {
    constexpr int kPhaseLimit = 65535;
    constexpr int kTemperatureLimit = 100000;
    const auto within = [](int v, int limit) { return v >= -limit && v <= limit; };
    if (within(p.offset, kPhaseLimit) && within(p.temp_cal, kTemperatureLimit) &&
        within(raw_board, kTemperatureLimit) && std::isfinite(p.step_mm) && p.step_mm > 0.0)
        return true;
    zr_log(3, "WRN",
           "[%s] parameter file out of range (offset %d, temperatures %d and %d, step %g mm)\n",
           tag, p.offset, p.temp_cal, raw_board, p.step_mm);
    return false;
}

bool read_binary_params(FILE *f, long size, DrnuParams &p, const char *tag) {
    if (size != kParamsFull && size != kParamsNoFrequency && size != kParamsNoBoard) {
        zr_log(3, "WRN", "[%s] parameter file of %ld bytes, expected 16, 20 or 24\n", tag, size);
        return false;
    }
    uint8_t bytes[kParamsFull] = {};
    if (std::fread(bytes, 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
        zr_log(3, "WRN", "[%s] parameter file could not be read\n", tag);
        return false;
    }
    const uint8_t *at = bytes;
    if (size == kParamsFull) {
        zr_log(1, "DBG", "[%s] Clib Freq:%d k\n", tag, static_cast<int>(get_le32(at)));
        at += 4;
    }
    p.offset = static_cast<int>(get_le32(at));
    p.temp_cal = static_cast<int>(get_le32(at + 4));
    p.step_mm = get_f64(at + 8);
    const int raw_board = size == kParamsNoBoard ? 0 : static_cast<int>(get_le32(at + 16));
    if (!plausible(p, raw_board, tag))
        return false;
    p.temp_cal_ib =
        size == kParamsNoBoard ? p.temp_cal + 100 : raw_board + kFileIbTemperatureOffset;
    return true;
}

// Images of a distance image file, how many the tables take; -1 (logged) for a file of no
// whole number of images.
int images_in_file(long size, int pixels, const char *tag) {
    const long image_bytes = static_cast<long>(pixels) * 2;
    if (size <= 0) {
        zr_log(3, "WRN", "[%s] distance image file holds no image\n", tag);
        return -1;
    }
    if (size % image_bytes != 0) {
        zr_log(4, "ERR",
               "[%s] distance image file of %ld bytes is no whole number of %d x %d images\n", tag,
               size, calibrateGetWidth(), calibrateGetHeight());
        return -1;
    }
    const long images = size / image_bytes;
    const int limit = configGetModulationFrequency() == 36000 ? 20 : kMaxDistances;
    if (images > limit)
        zr_log(1, "DBG", "[%s] %ld images in the file, %d used\n", tag, images, limit);
    return static_cast<int>(std::min<long>(images, limit));
}

bool copy_into(FILE *out, const std::string &name, const char *tag) {
    File in = open_read(name);
    if (!in)
        return false;
    char piece[kCopyPiece];
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, in.get())) > 0;) {
        if (std::fwrite(piece, 1, n, out) != n)
            return false;
    }
    if (std::ferror(in.get())) {
        zr_log(4, "ERR", "[%s] reading %s failed\n", tag, name.c_str());
        return false;
    }
    return true;
}

}  // namespace

int bank_of_mode(int mode) {
    return mode == 2 ? 1 : 0;
}

int active_bank() {
    return bank_of_mode(configGetModFreqMode());
}

int drnu_distances() {
    return std::clamp(calibrateGetNumDistances(), 0, kMaxDistances);
}

int drnu_pixels() {
    const long pixels = static_cast<long>(calibrateGetWidth()) * calibrateGetHeight();
    const bool fits = calibrateGetWidth() > 0 && calibrateGetHeight() > 0 &&
                      calibrateGetWidth() <= kMaxCols && calibrateGetHeight() <= kMaxRows;
    return fits ? static_cast<int>(pixels) : 0;
}

void update_bank_extremes(int bank, int pixels, int distances) {
    for (int p = 0; p < pixels; ++p) {
        uint16_t lo = 0xFFFF;
        uint16_t hi = 0;
        for (int s = 0; s < distances; ++s) {
            const uint16_t v = bank_value(bank, s, p, distances);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        distImagesDRNUMin[bank][p] = lo;
        distImagesDRNUMax[bank][p] = hi;
    }
    calibrateDistanceImagesChanged();
}

std::string drnu_file_name(DrnuFile file, int mode) {
    const NameParts parts = parts_of(file);
    const bool epc635 = is_epc635();
    char name[CALIBRATION_NAME_SIZE];
    std::snprintf(
        name, sizeof name, "%s_%s_W%03i_C%03i%s%s", epc635 ? "epc635" : "tcm_ex", parts.base,
        configGetWaferID(), configGetChipID(),
        parts.by_mode ? mode_suffix(mode) : frequency_suffix(configGetModulationFrequency()),
        parts.extension);
    return name;
}

std::string drnu_file_name(DrnuFile file) {
    return drnu_file_name(file, configGetModFreqMode());
}

std::string bad_pixel_file_name() {
    char name[CALIBRATION_NAME_SIZE];
    std::snprintf(name, sizeof name, "./calibration/PT%02i_W%03i_C%03i_bad_pixels.txt",
                  configGetPartType(), configGetWaferID(), configGetChipID());
    return name;
}

bool write_file_atomically(const std::string &name, const char *tag,
                           const std::function<bool(FILE *)> &write) {
    tarvo::files::OutputFile out(name);
    FILE *f = out.open() ? out.stream() : nullptr;
    if (f == nullptr) {
        zr_log(4, "ERR", "[%s] %s open failed: %s\n", tag, name.c_str(), out.error().c_str());
        return false;
    }
    const bool written = write(f);
    if (!written || !out.commit()) {
        zr_log(4, "ERR", "[%s] writing %s failed\n", tag, name.c_str());
        return false;  // out removes its temporary file
    }
    return true;
}

int construct_calib_param_package() {
    const char *tag = "_construct_calib_param_pk";
    char name[CALIBRATION_NAME_SIZE];
    std::snprintf(name, sizeof name, "calib_and_param_%03i.bin", configGetChipID());
    zr_log(2, "INF", "[%s] Fname:%s\n", tag, name);
    const std::string params = drnu_file_name(DrnuFile::binary_params);
    if (!open_read(params)) {
        zr_log(4, "ERR", "[%s] open param failed\n", tag);
        return -1;
    }
    const std::string images = drnu_file_name(DrnuFile::images);
    const bool ok = write_file_atomically(name, tag, [&](FILE *out) {
        return copy_into(out, params, tag) && copy_into(out, images, tag);
    });
    return ok ? 0 : -1;
}

DrnuParams &stored_params(int slot) {
    return g_stored[slot == 1 ? 1 : 0];
}

namespace {

// The parameter file sits beside the distance images under the path prefix when it came out of
// the camera's calibration package; a calibration run writes it to the current directory. The
// prefix wins, so a package never pairs its images with stale parameters from elsewhere.
File open_drnu_params() {
    const std::string name = drnu_file_name(DrnuFile::binary_params);
    const std::optional<std::string> under_prefix = tarvo::calibration_path(name);
    if (File f = under_prefix ? open_read(*under_prefix) : File()) {
        zr_log(1, "DBG", "[%s] %s\n", "calibrationLoadDRNU_LUT", under_prefix->c_str());
        return f;
    }
    return open_read(name);
}

}  // namespace

}  // namespace tarvo::epc

using namespace tarvo::epc;

extern "C" {

int calibrationSaveDRNU_LUT(void) {
    const std::string text = drnu_file_name(DrnuFile::text_params);
    zr_log(2, "INF", "[%s] %s\n", __func__, text.c_str());
    const bool text_ok = write_file_atomically(text, __func__, write_text_params);
    zr_log(0, "TRC", "[%s] save ib temperature:%d\n", __func__, gTempCalIb);
    write_file_atomically(drnu_file_name(DrnuFile::binary_params), __func__, write_binary_params);
    return text_ok ? 0 : -1;
}

int calibrationLoadDRNU_LUT(void) {
    DrnuParams loaded;
    if (File f = open_drnu_params()) {
        if (!read_binary_params(f.get(), size_of(f.get()), loaded, __func__))
            loaded = DrnuParams{};
    }
    zr_log(1, "DBG", "[%s] gOffsetDRNU_Temp0:%d\n", __func__, loaded.offset);
    zr_log(1, "DBG", "[%s] gTempCal0:%d\n", __func__, loaded.temp_cal);
    zr_log(1, "DBG", "[%s] gTempCalIb0:%d\n", __func__, loaded.temp_cal_ib);
    zr_log(1, "DBG", "[%s] gStepCalMM0:%2.4f\n", __func__, loaded.step_mm);
    stored_params(0) = loaded;
    stored_params(1) = loaded;
    calibrationChangeDRNU_LUT(active_bank());
    const uint32_t range_cm =
        unambiguous_range(calibrateGetSpeedOfLightDiv2(), configGetModulationFrequency(), true);
    if (range_cm > 0)
        calibrationSetDefaultOffsetPhase(static_cast<int>(885000 / range_cm) - offsetDRNU);
    return 0;
}

int calibrationSaveTemperatureDRNU(void) {
    const std::string chip = drnu_file_name(DrnuFile::temperatures);
    const std::string board = drnu_file_name(DrnuFile::ib_temperatures);
    zr_log(2, "INF", "[%s] %s\n", __func__, chip.c_str());
    const bool chip_ok = write_file_atomically(
        chip, __func__, [](FILE *f) { return write_temperatures(f, gTemperatureDRNU); });
    zr_log(2, "INF", "[%s] %s\n", __func__, board.c_str());
    const bool board_ok = write_file_atomically(
        board, __func__, [](FILE *f) { return write_temperatures(f, gIbTemperatureDRNU); });
    return chip_ok && board_ok ? 0 : -1;
}

int calibrationLoadTemperatureDRNU(void) {
    const std::string name = drnu_file_name(DrnuFile::temperatures);
    File f = open_read(name);
    if (!f) {
        zr_log(1, "DBG", "[%s] Can not open %s file\n", __func__, name.c_str());
        return -1;
    }
    zr_log(1, "DBG", "[%s] %s\n", __func__, name.c_str());
    char line[32];
    bool too_long = false;
    int step = 0;
    for (; step < kMaxDistances && read_line(f.get(), line, sizeof line, too_long); ++step) {
        int value = 0;
        if (too_long || !parse_int(line, value)) {
            zr_log(3, "WRN", "[%s] line %d of %s is no temperature, entry kept\n", __func__,
                   step + 1, name.c_str());
            continue;
        }
        gTemperatureDRNU[step] = static_cast<int16_t>(value);
    }
    if (step == kMaxDistances && read_line(f.get(), line, sizeof line, too_long))
        zr_log(3, "WRN", "[%s] %s holds more than %d lines, the rest ignored\n", __func__,
               name.c_str(), kMaxDistances);
    const int n = drnu_distances();
    int sum = 0;
    for (int i = 0; i < n; ++i)
        sum += gTemperatureDRNU[i];
    if (n > 0)
        gTempCal = sum / n;
    zr_log(1, "DBG", "[%s] gTempCal= %d\n", __func__, gTempCal);
    return 0;
}

int calibrationSaveDistanceImages(void) {
    const std::string name = drnu_file_name(DrnuFile::images);
    zr_log(1, "DBG", "[%s] %s\n", __func__, name.c_str());
    const int bank = active_bank();
    const int pixels = drnu_pixels();
    const int distances = drnu_distances();
    if (pixels == 0 || distances == 0) {
        zr_log(4, "ERR", "[%s] no calibration images to save\n", __func__);
        return -1;
    }
    const bool ok = write_file_atomically(name, __func__, [&](FILE *f) {
        std::vector<uint8_t> image(static_cast<size_t>(pixels) * 2);
        for (int s = 0; s < distances; ++s) {
            for (int p = 0; p < pixels; ++p) {
                const uint16_t v = bank_value(bank, s, p, distances);
                image[2 * p] = static_cast<uint8_t>(v);
                image[2 * p + 1] = static_cast<uint8_t>(v >> 8);
            }
            if (std::fwrite(image.data(), 1, image.size(), f) != image.size())
                return false;
        }
        return true;
    });
    return ok ? 0 : -1;
}

int calibrationLoadDistanceImages(int bank) {
    if (bank != 0 && bank != 1) {
        zr_log(4, "ERR", "[%s] no bank %d\n", __func__, bank);
        return -1;
    }
    const int pixels = drnu_pixels();
    if (pixels == 0) {
        zr_log(4, "ERR", "[%s] image size %d x %d\n", __func__, calibrateGetWidth(),
               calibrateGetHeight());
        return -1;
    }
    const std::string name =
        tarvo::calibration_path(drnu_file_name(DrnuFile::images, bank == 1 ? 2 : 0))
            .value_or(std::string());
    File f = name.empty() ? File() : open_read(name);
    if (!f) {
        zr_log(1, "DBG", "[%s] Can not open %s file\n", __func__, name.c_str());
        return -1;
    }
    zr_log(1, "DBG", "[%s] %s\n", __func__, name.c_str());
    const int distances = images_in_file(size_of(f.get()), pixels, __func__);
    if (distances < 0)
        return -1;
    const size_t values = static_cast<size_t>(distances) * pixels;
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[kImageBytesMax]);
    if (!work) {
        zr_log(4, "ERR", "[%s] malloc failed\n", __func__);
        return -1;
    }
    if (std::fread(work.get(), 2, values, f.get()) != values) {
        zr_log(4, "ERR", "[%s] Loading failed\n", __func__);
        return -1;
    }
    calibrateSetNumDistances(distances);
    for (int s = 0; s < distances; ++s) {
        for (int p = 0; p < pixels; ++p) {
            const size_t at = 2 * (static_cast<size_t>(s) * pixels + p);
            const uint16_t v = static_cast<uint16_t>(work[at] | work[at + 1] << 8);
            set_bank_value(bank, s, p, distances, v);
        }
    }
    update_bank_extremes(bank, pixels, distances);
    return 0;
}

int calibrationSaveDistanceImagesTXT(void) {
    return 0;
}

int calibrationGetDistanceImagesName(char *buffer, int mode2) {
    if (buffer == nullptr)
        return -1;
    return std::snprintf(buffer, CALIBRATION_NAME_SIZE, "%s",
                         drnu_file_name(DrnuFile::images, mode_of_flag(mode2)).c_str());
}

int calibrationGetParamName(char *buffer, int mode2) {
    if (buffer == nullptr)
        return -1;
    return std::snprintf(buffer, CALIBRATION_NAME_SIZE, "%s",
                         drnu_file_name(DrnuFile::binary_params, mode_of_flag(mode2)).c_str());
}

int calibrationDataFileCheck(int mode2) {
    const std::string name =
        tarvo::calibration_path(drnu_file_name(DrnuFile::images, mode_of_flag(mode2)))
            .value_or(std::string());
    struct stat st;
    // A FIFO or folder of that name is no calibration: the upload runs and replaces it.
    if (!name.empty() && stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        zr_log(1, "DBG", "[%s] Find %s\n", __func__, name.c_str());
        return 0;
    }
    zr_log(1, "DBG", "[%s] Can not open %s file\n", __func__, name.c_str());
    return -1;
}

char *configAddEndFileName(char *name, const char *extension) {
    if (name == nullptr)
        return name;
    std::strcat(name, frequency_suffix(configGetModulationFrequency()));
    if (extension != nullptr)
        std::strcat(name, extension);
    return name;
}

}  // extern "C"
