// Image filters on finished distance images: pixel correction from a list, spatial averaging,
// temporal averaging and the difference filter, plus a five-image moving average.
#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "epc/frame_source.h"
#include "epc/pipeline_common.h"

using tarvo::epc::Geometry;
using tarvo::epc::kCodeLowAmplitude;
using tarvo::epc::kMaxPixels;

namespace {

constexpr uint8_t kDirectionUnset = 0xFF;
constexpr const char *kDirectionText[8] = {"W", "NW", "N", "NE", "E", "SE", "S", "SW"};

// Columns reach 327, so they are kept wider than a byte.
struct CorrectionEntry {
    uint16_t column = 0;
    uint8_t row = 0;
    int index = 0;
    uint8_t direction = kDirectionUnset;
};

struct CorrectionList {
    int enabled = 0;
    std::vector<CorrectionEntry> loaded;
    std::vector<CorrectionEntry> transformed;
};

struct AverageState {
    uint32_t processing = 0;
    uint32_t pictures = 0;
    uint16_t average[kMaxPixels] = {};
    int difference_threshold = 0;
    int difference_reference_taken = 0;
    uint16_t difference_reference[kMaxPixels] = {};
    uint16_t scratch[kMaxPixels] = {};
};

struct FiveImageAverage {
    uint16_t images[5][kMaxPixels] = {};
    int counter = -5;
    int next = 0;
};

CorrectionList g_correction;
AverageState g_avg;
FiveImageAverage g_five;

// Pixels of the current image, 0 when the geometry is unusable (then nothing is touched).
int image_pixels(const char *func) {
    Geometry g;
    return tarvo::epc::distance_geometry(g, func) ? g.pixels : 0;
}

// Offset of the neighbour in `direction` for an image `cols` pixels wide.
bool neighbour_offset(int direction, int cols, int &offset) {
    static constexpr int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    static constexpr int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
    if (direction < 0 || direction > 7)
        return false;
    offset = kDy[direction] * cols + kDx[direction];
    return true;
}

uint8_t parse_direction(const char *text) {
    // One letter is followed by the line end, two letters by anything.
    char dir[3] = {text[0], 0, 0};
    if (text[0] != '\0' && text[1] >= 'A' && text[1] <= 'Z')
        dir[1] = text[1];
    for (uint8_t i = 0; i < 8; ++i)
        if (std::strcmp(dir, kDirectionText[i]) == 0)
            return i;
    return kDirectionUnset;
}

bool is_valid(uint16_t v) {
    return v != kCodeLowAmplitude;
}

// Mean of the valid values among a pixel's neighbourhood, or the low-amplitude code unless more
// than `more_than` of them are valid.
template <size_t N>
uint16_t valid_mean(const uint16_t (&values)[N], int more_than) {
    uint32_t sum = 0;
    int count = 0;
    for (uint16_t v : values) {
        if (is_valid(v)) {
            sum += v;
            ++count;
        }
    }
    return count > more_than ? static_cast<uint16_t>(sum / count) : kCodeLowAmplitude;
}

}  // namespace

extern "C" {

int imageCorrectionLoad(const char *path) {
    g_correction.loaded.clear();
    g_correction.transformed.clear();
    FILE *file = path != nullptr ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        zr_log(1, "DBG", "[%s] cannot open %s\n", __func__, path != nullptr ? path : "(null)");
        return 0;
    }
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strlen(line) < 9) {
            zr_log(3, "WRN", "[%s] line too short, skipped: %s\n", __func__, line);
            continue;
        }
        if (g_correction.loaded.size() >= static_cast<size_t>(kMaxPixels)) {
            zr_log(3, "WRN", "[%s] more than %d entries, the rest is ignored\n", __func__,
                   kMaxPixels);
            break;
        }
        char column[4] = {line[0], line[1], line[2], 0};
        char row[4] = {line[4], line[5], line[6], 0};
        CorrectionEntry entry;
        entry.column = static_cast<uint16_t>(std::atoi(column));
        entry.row = static_cast<uint8_t>(std::atoi(row));
        entry.direction = parse_direction(line + 8);
        g_correction.loaded.push_back(entry);
    }
    return std::fclose(file);
}

int imageCorrectionEnable(int on) {
    return g_correction.enabled = on;
}

int imageCorrectionTransform(void) {
    const int left = readOutGetTopLeftX();
    const int right = readOutGetBottomRightX();
    const int top = readOutGetTopLeftY();
    const int cols = pruGetNCols();
    const int row_div = calculationIsDualMGX() ? 2 : std::max(pruGetRowReduction(), 1);
    const int col_div = std::max(pruGetColReduction(), 1);
    g_correction.transformed.clear();
    for (CorrectionEntry entry : g_correction.loaded) {
        const int col = entry.column;
        const int row = entry.row;
        if (col < left || col > right || row < top || row > 251 - top)
            continue;
        const int d = entry.direction;
        if ((col == left && (d == 0 || d == 1 || d == 7)) ||
            (col == right && (d == 3 || d == 4 || d == 5)) || (row == top && d != 0 && d != 4)) {
            std::printf("pixel %i,%i can not be corrected\n", col, row);
            continue;
        }
        entry.index = cols * ((row - top) / row_div) + (col - left) / col_div;
        g_correction.transformed.push_back(entry);
    }
    return static_cast<int>(g_correction.transformed.size());
}

int imageCorrectCopyPixel(int unused, int index, int direction, uint16_t **image) {
    (void)unused;
    if (image == nullptr || *image == nullptr)
        return -1;
    int offset = 0;
    if (!neighbour_offset(direction, pruGetNCols(), offset)) {
        std::puts("unknown neighbour, check image_correction.txt");
        return -1;
    }
    const int pixels = image_pixels(__func__);
    const int from = index + offset;
    if (index < 0 || index >= pixels || from < 0 || from >= pixels)
        return -1;
    (*image)[index] = (*image)[from];
    return 0;
}

int imageCorrect(uint16_t **image) {
    if (!g_correction.enabled || image == nullptr || *image == nullptr)
        return 0;
    for (const CorrectionEntry &entry : g_correction.transformed)
        imageCorrectCopyPixel(0, entry.index, entry.direction, image);
    return 0;
}

uint32_t imageSetProcessing(uint32_t mode) {
    return g_avg.processing = std::min(mode, 3u);
}

int imageProcess(uint16_t **image) {
    if (g_avg.processing == 1)
        return imageAverageFourConnectivity(image);
    if (g_avg.processing == 2)
        return imageAverageEightConnectivity(image);
    return 0;
}

int imageAverageFourConnectivity(uint16_t **image) {
    Geometry g;
    if (image == nullptr || *image == nullptr || !tarvo::epc::distance_geometry(g, __func__))
        return -1;
    const int nc = g.cols;
    const int rows = g.rows;
    if (nc < 2 || rows < 4)
        return 0;
    uint16_t *out = *image;
    const uint16_t *in = g_avg.scratch;
    std::memcpy(g_avg.scratch, out, static_cast<size_t>(g.pixels) * sizeof(uint16_t));
    auto at = [&](int r, int c) -> uint32_t { return in[r * nc + c]; };
    // Rows 0 and 1 reach their vertical neighbours one and two rows away.
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < nc; ++c) {
            const uint32_t vertical = (r == 0 ? at(1, c) : at(0, c)) + at(r + 2, c);
            uint32_t v;
            if (c == 0)
                v = (at(r, c) + at(r, c + 1) + vertical) >> 2;
            else if (c == nc - 1)
                v = (at(r, c) + at(r, c - 1) + vertical) >> 2;
            else
                v = (at(r, c - 1) + at(r, c) + at(r, c + 1) + vertical) / 5;
            out[r * nc + c] = static_cast<uint16_t>(v);
        }
    }
    // Further rows belong to alternating halves in the sensor, so vertical neighbours are two
    // rows apart.
    for (int r = 2; r < rows - 2; ++r) {
        out[r * nc] =
            static_cast<uint16_t>((at(r, 0) + at(r - 2, 0) + at(r, 1) + at(r + 2, 0)) >> 2);
        out[r * nc + nc - 1] = static_cast<uint16_t>(
            (at(r, nc - 1) + at(r, nc - 2) + at(r - 2, nc - 1) + at(r + 2, nc - 1)) >> 2);
        for (int c = 1; c < nc - 1; ++c) {
            const uint16_t values[5] = {in[r * nc + c], in[r * nc + c - 1], in[(r - 2) * nc + c],
                                        in[r * nc + c + 1], in[(r + 2) * nc + c]};
            out[r * nc + c] = valid_mean(values, 2);
        }
    }
    return 0;
}

int imageAverageEightConnectivity(uint16_t **image) {
    Geometry g;
    if (image == nullptr || *image == nullptr || !tarvo::epc::distance_geometry(g, __func__))
        return -1;
    const int nc = g.cols;
    if (nc < 3 || g.rows < 5)
        return 0;
    uint16_t *out = *image;
    const uint16_t *in = g_avg.scratch;
    std::memcpy(g_avg.scratch, out, static_cast<size_t>(g.pixels) * sizeof(uint16_t));
    for (int r = 2; r < g.rows - 2; ++r) {
        for (int c = 1; c < nc - 1; ++c) {
            const uint16_t values[9] = {
                in[r * nc + c],           in[r * nc + c - 1],   in[r * nc + c + 1],
                in[(r - 2) * nc + c - 1], in[(r - 2) * nc + c], in[(r - 2) * nc + c + 1],
                in[(r + 2) * nc + c - 1], in[(r + 2) * nc + c], in[(r + 2) * nc + c + 1]};
            out[r * nc + c] = valid_mean(values, 5);
        }
    }
    return 0;
}

uint32_t imageSetNumberOfPicture(uint32_t n) {
    n = n == 0 ? 1 : n;
    // A new depth restarts the average at the next valid value; the zeros held at start would
    // otherwise pull the first images towards distance 0. The same depth keeps it running.
    if (n != g_avg.pictures)
        std::fill(std::begin(g_avg.average), std::end(g_avg.average), uint16_t{0xFFFF});
    return g_avg.pictures = n;
}

int imageAverage(uint16_t **image) {
    if (g_avg.pictures < 2 || image == nullptr || *image == nullptr)
        return 0;
    const int pixels = image_pixels(__func__);
    const uint64_t n = g_avg.pictures;
    uint16_t *img = *image;
    for (int i = 0; i < pixels; ++i) {
        uint16_t &s = g_avg.average[i];
        uint16_t v = img[i];
        if (s > 65299)
            s = v;
        if (v <= 65299) {
            v = static_cast<uint16_t>((v + (n - 1) * s) / n);
            img[i] = v;
        }
        s = v;
    }
    return 0;
}

int imageDifferenceSetThreshold(int threshold) {
    g_avg.difference_threshold = threshold;
    g_avg.difference_reference_taken = 0;
    return threshold;
}

int imageDifferenceInit(void) {
    g_avg.difference_reference_taken = 0;
    return 0;
}

int imageDifference(uint16_t **image) {
    if (g_avg.difference_threshold == 0 || image == nullptr || *image == nullptr)
        return 0;
    const int pixels = image_pixels(__func__);
    uint16_t *img = *image;
    if (!g_avg.difference_reference_taken) {
        std::memcpy(g_avg.difference_reference, img, static_cast<size_t>(pixels) * 2);
        g_avg.difference_reference_taken = 1;
        return 0;
    }
    for (int i = 0; i < pixels; ++i)
        if (std::abs(img[i] - g_avg.difference_reference[i]) < g_avg.difference_threshold)
            img[i] = kCodeLowAmplitude;
    return 0;
}

int imageInitAveragePicture(void) {
    g_five.counter = -5;
    g_five.next = 0;
    return 0;
}

int imageAveragePicture(uint16_t **image) {
    if (image == nullptr || *image == nullptr)
        return -1;
    std::puts("imageAveragePicture");
    const int pixels = image_pixels(__func__);
    std::memcpy(g_five.images[g_five.next], *image, static_cast<size_t>(pixels) * 2);
    g_five.next = (g_five.next + 1) % 5;
    if (g_five.counter < 0)
        ++g_five.counter;
    if (g_five.counter >= 0) {
        // Summed in 32 bits: five distances easily exceed 16 bits.
        for (int i = 0; i < pixels; ++i) {
            uint32_t sum = 0;
            for (const auto &stored : g_five.images)
                sum += stored[i];
            (*image)[i] = static_cast<uint16_t>(sum / 5);
        }
    }
    std::printf("current Picture = %i\n", g_five.next);
    return 0;
}

}  // extern "C"
