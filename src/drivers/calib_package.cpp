#include "drivers/calib_package.h"

#include <tarvo/cap.h>
#include <tarvo/epc_api.h>
#include <tarvo/epc_calib.h>
#include <tarvo/epc_config.h>
#include <tarvo/init.h>
#include <tarvo/log.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include "api/dev_ctx.h"
#include "api/path.h"
#include "files/safe_file.h"
#include "ll/byte_order.h"

namespace tarvo::calib {
namespace {

using bytes::get_le16;
using bytes::get_le32;

constexpr const char *kPackageName = "calibration.bin";
constexpr const char *kZipName = "tmp.zip";
constexpr const char *kChipFileFormat = "calib_and_param_%03i.bin";
constexpr const char *kChipFilePattern = "calib_and_param*.bin";
// Every match of the pattern shares "calib_and_param".
constexpr size_t kNameCompareLength = 15;
constexpr size_t kHeaderSize = 17;
constexpr size_t kCopyChunk = 4096;
constexpr uint8_t kParamMode = 0;
constexpr uint8_t kParamCalibInfo = 8;
constexpr uint8_t kParamChipInfo = 7;
constexpr uint8_t kModeDataUpload = 9;
constexpr uint8_t kModeNormal = 1;
constexpr int kDeviceAddress = 32;
// A DRNU parameter file holds 16, 20 or 24 bytes; the images are whole 256-byte blocks.
constexpr size_t kSplitBlock = 256;

std::atomic<int> g_extracted{0};

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Only regular files are read: a FIFO planted under a calibration name must not block.
File open_input(const std::string &path) {
    return File(files::fopen_regular_input(path.c_str()));
}

// A file under construction (files::OutputFile) with a stdio stream; false: logged.
bool open_output(files::OutputFile &out, const char *tag) {
    if (out.open() && out.stream() != nullptr)
        return true;
    zr_log(4, "ERR", "[%s] %s open failed: %s\n", tag, out.target().c_str(), out.error().c_str());
    return false;
}

const char *prefix_of(const tarvo_dev_t *dev) {
    return dev != nullptr && dev->path != nullptr ? dev->path : tarvo_path_get();
}

std::string in_prefix(const tarvo_dev_t *dev, const char *name) {
    return path_join(prefix_of(dev), name);
}

// Set 0 serves external modulation, set 1 the camera's own.
int active_set() {
    return epcgetExtModEnable() != 0 ? 0 : 1;
}

bool set_mode(tarvo_dev_t *dev, uint8_t mode) {
    tarvo_param_item_t item{};
    item.param_id = kParamMode;
    item.param_val_len = 1;
    item.param_val[0] = mode;
    return tarvo_param_batch_set(dev, &item, 1);
}

bool get_param(tarvo_dev_t *dev, uint8_t id, tarvo_param_item_t &item) {
    item = {};
    item.param_id = id;
    return tarvo_param_batch_get(dev, &item, 1);
}

// Copies `n` bytes between open files in pieces; false on a short read or a failed write.
bool copy_bytes(FILE *from, FILE *to, uint64_t n) {
    char buf[kCopyChunk];
    while (n > 0) {
        const size_t want = n < kCopyChunk ? static_cast<size_t>(n) : kCopyChunk;
        const size_t got = std::fread(buf, 1, want, from);
        if (got != want || std::fwrite(buf, 1, got, to) != got)
            return false;
        n -= got;
    }
    return true;
}

long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long>(st.st_size) : -1;
}

// Writes the captured package to "calibration.bin", unpacks it and removes it again.
void store_and_parse(tarvo_dev_t *dev, ConstFileNames names, const uint8_t *data, size_t n) {
    const char *tag = "_load_calib_data";
    const std::string path = in_prefix(dev, kPackageName);
    {
        files::OutputFile out(path);
        if (!open_output(out, tag))
            return;
        if (!out.write(data, n) || !out.commit()) {
            zr_log(4, "ERR", "[%s] %s write failed: %s\n", tag, path.c_str(), out.error().c_str());
            return;
        }
    }
    _calib_pk_parse(dev, names);
    std::remove(path.c_str());
}

// Steps 5 to 8 of the upload: one data frame with the package. True once the buffer exists.
bool capture_package(tarvo_dev_t *dev, ConstFileNames names, uint32_t fsize) {
    const char *tag = "_load_calib_data";
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[fsize]);
    if (!buf) {
        zr_log(4, "ERR", "[%s] malloc failed: %u bytes\n", tag, fsize);
        return false;
    }
    tarvo_cap_start(dev);
    tarvo_frame_info_t info{};
    const int n = tarvo_cap_get_frames(dev, 1, buf.get(), fsize, &info);
    zr_log(1, "DBG", "[%s] get %d frames: [%u, %ux%u, %u]\n", tag, n, info.frame_idx, info.width,
           info.height, info.frame_format);
    if (n != 1) {
        zr_log(1, "DBG", "[%s] capturing is stopped due to some error!\n", tag);
    } else if (info.frame_format != kCalibFrameFormat) {
        zr_log(4, "ERR", "[%s] frame format %u is no calibration data\n", tag, info.frame_format);
    } else {
        // A frame shorter than announced leaves the rest of the buffer unfilled.
        const size_t got = info.frame_size < fsize ? info.frame_size : fsize;
        if (got < fsize)
            zr_log(3, "WRN", "[%s] package frame holds %u of %u bytes\n", tag, info.frame_size,
                   fsize);
        store_and_parse(dev, names, buf.get(), got);
    }
    tarvo_cap_stop(dev);
    return true;
}

}  // namespace

int extracted_entry_count() {
    return g_extracted.load();
}

int on_extract_to_folder_entry(const char *name, void *arg) {
    const int n = g_extracted.fetch_add(1) + 1;
    const int total = arg != nullptr ? *static_cast<const int *>(arg) : 0;
    zr_log(1, "DBG", "[%s] Extracted: %s (%d of %d)\n", "on_extract_to_folder_entry",
           name != nullptr ? name : "", n, total);
    return 0;
}

bool _parse_file_ex(tarvo_dev_t *dev, ConstFileNames names, const char *path) {
    const char *tag = "_parse_file_ex";
    const std::string source = to_posix_separators(path);
    const long size = file_size(source);
    const FileNameSet &set = names[active_set()];
    const std::string param_path = in_prefix(dev, set.parameters);
    const std::string dist_path = in_prefix(dev, set.distance_images);
    File src = open_input(source);
    if (!src || size < 0) {
        zr_log(4, "ERR", "[%s] %s open failed\n", tag, source.c_str());
        return false;
    }
    const size_t param_bytes = static_cast<size_t>(size) % kSplitBlock;
    const uint64_t image_bytes = static_cast<uint64_t>(size) - param_bytes;
    if (image_bytes == 0 || (param_bytes != 16 && param_bytes != 20 && param_bytes != 24)) {
        zr_log(4, "ERR", "[%s] %s: %ld bytes do not split into parameters and images\n", tag,
               source.c_str(), size);
        return false;
    }
    // Both halves go to temporary files first: a failed split keeps the calibration in place.
    bool ok = false;
    {
        files::OutputFile param(param_path);
        files::OutputFile dist(dist_path);
        if (!open_output(param, tag) || !open_output(dist, tag)) {
            // logged
        } else if (!copy_bytes(src.get(), param.stream(), param_bytes) ||
                   !copy_bytes(src.get(), dist.stream(), image_bytes)) {
            zr_log(4, "ERR", "[%s] %s: split failed\n", tag, source.c_str());
        } else if (!param.commit() || !dist.commit()) {
            zr_log(4, "ERR", "[%s] %s: cannot put the calibration files in place: %s %s\n", tag,
                   source.c_str(), param.error().c_str(), dist.error().c_str());
        } else {
            ok = true;
        }
    }
    src.reset();
    if (ok)
        std::remove(source.c_str());
    return ok;
}

bool _parase_file(tarvo_dev_t *dev, ConstFileNames names, const char *pattern,
                  const char *expected_name) {
    const char *tag = "_parase_file";
    const std::vector<std::string> found = find_files(pattern);
    if (found.empty()) {
        zr_log(4, "ERR", "[%s] cann't find file in %s\n", tag, pattern);
        return false;
    }
    // An exact name wins; otherwise the first entry that agrees over the shared part.
    const std::string *chosen = nullptr;
    for (const std::string &name : found) {
        zr_log(1, "DBG", "[%s] find:%s\n", tag, name.c_str());
        // The split reads a backslash in its path as a separator, so such a name would lead it
        // to another file, even one outside the folder. Unpacking never makes one.
        if (name.find('\\') != std::string::npos) {
            zr_log(4, "ERR", "[%s] %s: a backslash in the name, skipped\n", tag, name.c_str());
            continue;
        }
        if (name == expected_name) {
            chosen = &name;
            break;
        }
        if (chosen != nullptr)
            continue;
        if (std::strncmp(name.c_str(), expected_name, kNameCompareLength) == 0)
            chosen = &name;
        else
            zr_log(0, "TRC", "[%s] try to find next\n", tag);
    }
    if (chosen == nullptr)
        return false;
    zr_log(1, "DBG", "[%s] parse...\n", tag);
    const std::string path = directory_of(pattern) + *chosen;
    if (!_parse_file_ex(dev, names, path.c_str())) {
        zr_log(1, "DBG", "[%s] parse fail: %s\n", tag, path.c_str());
        return false;
    }
    return true;
}

bool _calib_pk_parse(tarvo_dev_t *dev, ConstFileNames names) {
    const char *tag = "_calib_pk_parse";
    const std::string package_path = in_prefix(dev, kPackageName);
    const std::string zip_path = in_prefix(dev, kZipName);
    uint32_t zip_len = 0;
    {
        File package = open_input(package_path);
        if (!package) {
            zr_log(4, "ERR", "[%s] %s open failed\n", tag, package_path.c_str());
            return false;
        }
        uint8_t hdr[kHeaderSize];
        if (std::fread(hdr, 1, kHeaderSize, package.get()) != kHeaderSize) {
            zr_log(4, "ERR", "[%s] %s: header too short\n", tag, package_path.c_str());
            return false;
        }
        if (hdr[0] == 0) {
            zr_log(1, "DBG", "[%s] Data not valid\n", tag);
            return false;
        }
        if (hdr[2] != 1) {
            zr_log(3, "WRN", "[%s] No zip used\n", tag);
            return false;
        }
        zip_len = get_le32(hdr + 11);
        const long size = file_size(package_path);
        if (size < 0 || zip_len > static_cast<uint64_t>(size) - kHeaderSize) {
            zr_log(4, "ERR", "[%s] zip length %u beyond the package (%ld bytes)\n", tag, zip_len,
                   size);
            return false;
        }
        files::OutputFile zip(zip_path);
        if (!open_output(zip, tag))
            return false;
        if (!copy_bytes(package.get(), zip.stream(), zip_len) || !zip.commit()) {
            zr_log(4, "ERR", "[%s] %s write failed\n", tag, zip_path.c_str());
            return false;
        }
    }
    int total = 1;
    const std::string dir = to_posix_separators(prefix_of(dev));
    const bool unpacked =
        zip_extract(zip_path.c_str(), dir.c_str(), on_extract_to_folder_entry, &total) >= 0;
    std::remove(zip_path.c_str());
    if (!unpacked) {
        zr_log(4, "ERR", "[%s] %s zip failed\n", tag, zip_path.c_str());
        return false;
    }
    zr_log(1, "DBG", "[%s] unzip %s OK\n", tag, zip_path.c_str());
    tarvo_param_item_t chip{};
    const int chip_id = get_param(dev, kParamChipInfo, chip) ? get_le16(chip.param_val + 2) : 0;
    char expected[64];
    std::snprintf(expected, sizeof expected, kChipFileFormat, chip_id);
    const std::string pattern = in_prefix(dev, kChipFilePattern);
    if (!_parase_file(dev, names, pattern.c_str(), expected)) {
        zr_log(1, "DBG", "[%s] _parase_file failed\n", tag);
        return false;
    }
    return true;
}

bool _load_calib_data(tarvo_drv_t *drv, ConstFileNames names) {
    const char *tag = "_load_calib_data";
    if (drv == nullptr || drv->dev == nullptr)
        return false;
    tarvo_dev_t *dev = drv->dev;
    tarvo_cap_set_frame_buffer(dev, nullptr, kUploadFrameBuffer);
    tarvo_cap_set_callback_on_error(dev, nullptr);
    tarvo_cap_set_callback_on_frame_ready(dev, nullptr);
    if (!set_mode(dev, kModeDataUpload)) {
        zr_log(4, "ERR", "[%s]  set mode to DATA_UP failed!\n", tag);
        return false;
    }
    bool result = false;
    tarvo_param_item_t info{};
    if (!get_param(dev, kParamCalibInfo, info)) {
        zr_log(4, "ERR", "[%s]  get param of calib data failed!\n", tag);
    } else {
        const uint8_t *v = info.param_val;
        const uint32_t fsize = get_le32(v + 7);
        if (v[0] != 1) {
            zr_log(1, "DBG", "[%s] %s: fsize:%d, valid data size:%d, ck_sum:%d, version:%d\n", tag,
                   "Calib data not valid", static_cast<int>(fsize),
                   static_cast<int>(get_le32(v + 11)), get_le16(v + 15),
                   static_cast<int>(get_le32(v + 3)));
        } else if (fsize <= kHeaderSize || fsize > kUploadFrameBuffer) {
            // The package must fit the frame buffer reserved for it above.
            zr_log(4, "ERR", "[%s] calibration package of %u bytes refused\n", tag, fsize);
        } else {
            zr_log(1, "DBG", "[%s] fsize:%d, valid data size:%d, ck_sum:%d, version:%d\n", tag,
                   static_cast<int>(fsize), static_cast<int>(get_le32(v + 11)), get_le16(v + 15),
                   static_cast<int>(get_le32(v + 3)));
            result = capture_package(dev, names, fsize);
        }
    }
    set_mode(dev, kModeNormal);
    return result;
}

int calib_load(tarvo_drv_t *drv, FileNames names) {
    if (drv == nullptr || drv->dev == nullptr)
        return -1;
    std::fill(names.begin(), names.end(), FileNameSet{});
    for (int i = 0; i < 2; ++i) {
        // Set i holds the names of table bank i: 1 the camera's own modulation ("_10."), 0
        // external modulation ("_20.").
        calibrationGetDistanceImagesName(names[i].distance_images, i);
        calibrationGetParamName(names[i].parameters, i);
        names[i].distance_images[kDistanceNameSize - 1] = '\0';
        names[i].parameters[kParamNameSize - 1] = '\0';
    }
    if (calibrationDataFileCheck(active_set()) >= 0)
        return 0;
    if (tarvo::offline_camera(drv->dev) != nullptr) {
        // No camera to ask for its package: decode as a camera without calibration does.
        zr_log(3, "WRN", "[%s] no DRNU calibration files in %s: no DRNU correction\n", "calib_load",
               drv->dev->path != nullptr ? drv->dev->path : "(no folder)");
        return -1;
    }
    if (!_load_calib_data(drv, names))
        return -1;
    configInit(kDeviceAddress);
    return 0;
}

int calib_load(tarvo_drv_t *drv) {
    epc_driver::EpcDriverState *state = epc_driver::state_of(drv);
    if (state == nullptr)
        return -1;
    return calib_load(drv, state->calibration_files);
}

}  // namespace tarvo::calib
