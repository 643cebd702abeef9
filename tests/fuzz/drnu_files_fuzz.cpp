// The DRNU calibration files (parameter tables, step temperatures, distance images) and the
// pixel correction list, each read from whatever the file holds.
//
// Input: byte 0 picks the file, the rest is its content.
#include <tarvo/epc_calc.h>
#include <tarvo/epc_calib.h>
#include <tarvo/log.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>
#include "private_dir.h"

namespace {

namespace fs = std::filesystem;

struct Files {
    fs::path dir;
    std::vector<fs::path> drnu;  // every file the calibration saves, named after chip and mode
};

Files &files() {
    static Files f;
    return f;
}

void write_file(const fs::path &path, const uint8_t *data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    files().dir = tarvo::fuzz::private_dir("drnu");
    fs::current_path(files().dir);
    // Saving once shows the names the loaders look for.
    (void)calibrationSaveDRNU_LUT();
    (void)calibrationSaveTemperatureDRNU();
    (void)calibrationSaveDistanceImages();
    for (const auto &entry : fs::recursive_directory_iterator(files().dir)) {
        if (entry.is_regular_file())
            files().drnu.push_back(entry.path());
    }
    std::sort(files().drnu.begin(), files().drnu.end());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const size_t choices = files().drnu.size() + 1;
    const size_t pick = data[0] % choices;
    if (pick == files().drnu.size()) {
        write_file("pixel_correction.txt", data + 1, size - 1);
        (void)imageCorrectionLoad("pixel_correction.txt");
        return 0;
    }
    const fs::path &target = files().drnu[pick];
    const std::vector<char> saved = [&] {
        std::ifstream in(target, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    }();
    write_file(target, data + 1, size - 1);
    (void)calibrationLoadDRNU_LUT();
    (void)calibrationLoadTemperatureDRNU();
    (void)calibrationLoadDistanceImages(data[0] & 0x80 ? 1 : 0);
    // The other inputs start from the saved files again.
    write_file(target, reinterpret_cast<const uint8_t *>(saved.data()), saved.size());
    return 0;
}
