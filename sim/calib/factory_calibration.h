// The factory calibration a camera carries: the DRNU per-chip file "calib_and_param_%03i.bin"
// (the 24-byte binary parameter file followed by the distance images, step after step), packed
// into a zip archive behind the 17-byte package header. Parameter 8 describes the package; in
// data-upload mode (parameter 0 = 9) the next stream frame, of format 171, carries it.
//
// The distance images are what the factory calibration would have measured: for every delay
// step s the raw phase each pixel reports for a target at box_distance_m + s x step_mm, taken
// from the camera's own error model through `raw_phase`.
//
// Thread context: the builders are pure functions; install_factory_calibration configures a
// camera and may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "vcam.h"

namespace tarvo::vcam {

inline constexpr uint16_t kFormatCalibration = 171;
inline constexpr size_t kPackageHeaderSize = 17;

struct DrnuCalibrationInput {
    int width = 320;
    int height = 240;
    int steps = 30;
    double step_mm = 298.2;         // distance one delay step adds
    double box_distance_m = 0.295;  // target distance at step 0 (885000 / range in cm, as phase)
    int modulation_khz = 12000;
    // Temperatures during calibration, as the frame header carries them; the stored board
    // temperature is 200 below, as the DRNU parameter file keeps it.
    int16_t temp_chip = 0x190;
    int16_t temp_ib = 0x180;
    // Raw phase (30000 units per period; wrapped or not) that pixel `pixel` (row-major) reports
    // for a target at `distance_m`.
    std::function<double(int pixel, double distance_m)> raw_phase;
};

// Raw phase of an error-free camera whose phases run `offset_units` ahead of the distance.
std::function<double(int, double)> ideal_raw_phase(int modulation_khz, double offset_units);

// The 24-byte DRNU parameter file followed by steps x height x width 16-bit images.
std::vector<uint8_t> drnu_chip_file(const DrnuCalibrationInput &input);
std::string chip_file_name(uint16_t chip_id);

// A zip archive (deflate) holding `files` in order, built in memory with libzip. The entry's
// Unix mode goes into its attributes (S_IFLNK | 0777 makes a symbolic link to `data`).
struct ZipEntry {
    std::string name;
    std::vector<uint8_t> data;
    uint32_t unix_mode = 0100644;
};
std::vector<uint8_t> zip_archive(const std::vector<ZipEntry> &files);

// The package: header (valid, zip flag, zip length at byte 11) and the archive.
struct PackageHeader {
    uint8_t valid = 1;
    uint8_t zip_flag = 1;
    uint32_t zip_length = 0;  // 0: the archive's own length
};
std::vector<uint8_t> calibration_package(std::span<const uint8_t> zip,
                                         const PackageHeader &header = {});

// Parameter 8's value for `package`: valid, version, file size, valid data size, checksum.
std::vector<uint8_t> calib_info_param(std::span<const uint8_t> package, uint32_t version,
                                      bool valid = true);

// The stream packets of one format-171 frame carrying `package`.
std::vector<uint8_t> calibration_frame(std::span<const uint8_t> package);

// Gives the camera `package`: parameter 8 describes it and data-upload mode streams it.
void install_factory_calibration(Camera &camera, std::vector<uint8_t> package,
                                 uint32_t version = 1);
// A camera without calibration data: parameter 8 says not valid, upload mode sends nothing.
void remove_factory_calibration(Camera &camera);

// The whole package of a camera: per-chip file, zip, header.
std::vector<uint8_t> factory_package(const DrnuCalibrationInput &input, uint16_t chip_id);

}  // namespace tarvo::vcam
