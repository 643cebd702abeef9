// The grayscale and FLIM correction files: the averaged bright images and the per-chip gain and
// offset tables, read from whatever the file holds, and the tables then applied to an image.
//
// Input: byte 0 selects the file (and with bit 7 the correction of an image by the tables
// read), the rest is its content.
#include <tarvo/epc_gray.h>
#include <tarvo/log.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>
#include "private_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxPixels = 328 * 252;

struct Files {
    fs::path dir;
    fs::path gray_tables;
    fs::path flim_tables[2];
};

Files &files() {
    static Files f;
    return f;
}

// The table files are named after the chip; saving once shows the names.
fs::path saved_as(int (*save)()) {
    const auto before = fs::directory_iterator(files().dir);
    std::vector<fs::path> old(fs::begin(before), fs::end(before));
    if (save() != 0)
        std::abort();
    for (const auto &entry : fs::directory_iterator(files().dir)) {
        if (std::find(old.begin(), old.end(), entry.path()) == old.end())
            return entry.path();
    }
    std::abort();
}

void write_file(const fs::path &path, const uint8_t *data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

// A test image of every value class: dark, mid, bright, near the codes and the codes.
void correct_some_image() {
    std::vector<uint16_t> image(kMaxPixels);
    const uint16_t values[] = {0, 1, 2048, 4095, 30000, 65299, 65300, 65400, 65500, 65535};
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = values[i % std::size(values)];
    (void)calculateGrayscaleCorrection(image.data());
    (void)calculationFlimCorrection(image.data(), static_cast<int>(image.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    files().dir = tarvo::fuzz::private_dir("gray");
    fs::current_path(files().dir);
    files().gray_tables = saved_as(calculateSaveGrayscaleGainOffset);
    files().flim_tables[0] = saved_as([] { return calculateSaveFlimGainOffset(0); });
    files().flim_tables[1] = saved_as([] { return calculateSaveFlimGainOffset(1); });
    setCorrectGrayscaleOffset(1);
    setCorrectGrayscaleGain(1);
    calculationCorrectFlimOffset(1);
    calculationCorrectFlimGain(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    // Exactly as many ints as the largest image, so a reader writing one more is caught.
    std::unique_ptr<int[]> image(new int[kMaxPixels]);
    const bool correct = (data[0] & 0x80) != 0;
    switch ((data[0] & 0x7F) % 5) {
        case 0:
            write_file("grayscale_temp_image.txt", data + 1, size - 1);
            (void)calculateLoadGrayscaleImage(image.get());
            break;
        case 1:
            write_file("flim_temp_image.txt", data + 1, size - 1);
            (void)calculateLoadFlimImage(image.get());
            break;
        case 2:
            write_file(files().gray_tables, data + 1, size - 1);
            (void)calculateLoadGrayscaleGainOffset();
            if (correct)
                correct_some_image();
            break;
        default: {
            const int gate = (data[0] & 0x7F) % 5 - 3;
            write_file(files().flim_tables[gate], data + 1, size - 1);
            (void)calculateLoadFlimGainOffset(gate);
            if (correct)
                correct_some_image();
            break;
        }
    }
    return 0;
}
