// The camera's factory calibration package: when the DRNU files of an EPC camera are missing
// under the path prefix, the camera is switched into its data-upload mode, one data frame
// (format 171) with the package is captured, the zip archive inside it is unpacked into the
// path prefix and the per-chip file "calib_and_param_%03i.bin" is split into the DRNU parameter
// file and the DRNU distance-image file.
//
// The package comes from outside: zip entries that would land outside the prefix or that are
// symbolic links are not written, archives longer than their package or expanding beyond
// kMaxExtractBytes are refused, and the two calibration files are replaced only when the
// split is complete.
//
// Thread context: runs on the thread that opens the device. The extraction counter is atomic;
// everything else works on the caller's files and device.
#pragma once

#include <tarvo/dev.h>
#include <tarvo/drv.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/epc_driver_state.h"

namespace tarvo::calib {

// The names of one mode's DRNU files, as the DRNU module makes them (no path prefix), kept in
// the driver state. Set 0 serves external modulation, set 1 the camera's own modulation.
using FileNameSet = epc_driver::CalibrationFiles;
inline constexpr size_t kDistanceNameSize = sizeof FileNameSet::distance_images;
inline constexpr size_t kParamNameSize = sizeof FileNameSet::parameters;
using FileNames = std::span<FileNameSet, 2>;
using ConstFileNames = std::span<const FileNameSet, 2>;

inline constexpr uint32_t kUploadFrameBuffer = 12288000;
inline constexpr uint16_t kCalibFrameFormat = 171;
// Everything one archive may write: a per-chip file holds at most one bank of 30 images of
// 328 x 252 samples (under 5 MB), so this leaves room without letting a package fill a disk.
inline constexpr uint64_t kMaxExtractBytes = uint64_t{64} << 20;

// The driver's calib_load slot: fills the driver state's file names, and when the
// distance-image file of the active mode is missing, uploads the package from the camera. 0
// when the files exist or the upload ran, -1 when it failed before the package was asked for.
int calib_load(tarvo_drv_t *drv);
// The same with the names kept in `names`.
int calib_load(tarvo_drv_t *drv, FileNames names);

// Upload of the package from drv->dev: upload mode, parameter 8, one data frame, back to mode 1.
bool _load_calib_data(tarvo_drv_t *drv, ConstFileNames names);
// Unpacks "calibration.bin" under the device's path prefix and splits the per-chip file.
bool _calib_pk_parse(tarvo_dev_t *dev, ConstFileNames names);
// Finds the per-chip file matching `pattern` (a path whose last part may hold * and ?; "\" is a
// separator) and splits it. An entry named `expected_name` wins; otherwise the first (in name
// order) whose first 15 characters agree with it. Names holding a backslash are skipped.
bool _parase_file(tarvo_dev_t *dev, ConstFileNames names, const char *pattern,
                  const char *expected_name);
// Splits the per-chip file at `path` into the active mode's parameter and distance-image files.
bool _parse_file_ex(tarvo_dev_t *dev, ConstFileNames names, const char *path);
// Extraction callback: counts and logs each extracted entry; *arg is the total to report.
int on_extract_to_folder_entry(const char *name, void *arg);
// Entries extracted by this process so far.
int extracted_entry_count();

// Unpacks every regular-file entry of the zip archive at `zip_path` into `dir` ("" is the
// current directory) and calls `on_entry` with each written path (a non-zero result stops).
// Entries with absolute names, ".." components or link attributes are skipped with a log line;
// each file is written under a temporary name and renamed when complete. 0, or -1 when the
// archive cannot be read, expands beyond `max_bytes`, or an entry cannot be written.
using ExtractEntryFn = int (*)(const char *name, void *arg);
int zip_extract(const char *zip_path, const char *dir, ExtractEntryFn on_entry, void *arg,
                uint64_t max_bytes = kMaxExtractBytes);

// The directory part of a search pattern in "/" form, with its trailing separator ("" for none).
std::string directory_of(std::string_view pattern);

// Names in the directory of `pattern` that match its last part, in name order. The pattern's
// "\" counts as a directory separator; an empty directory part is the current directory.
std::vector<std::string> find_files(const std::string &pattern);

}  // namespace tarvo::calib
