#include "drivers/epc_frame_checks.h"

#include <algorithm>

namespace tarvo::epc_driver {
namespace {

constexpr uint16_t kCodeLowAmplitude = 65300;
constexpr int kPhasePeriod = 30000;

bool valid_phase(uint16_t code) {
    return code < kCodeLowAmplitude;
}

}  // namespace

ExposureCounts count_exposure(std::span<const uint16_t> samples) {
    ExposureCounts c;
    c.total = static_cast<uint32_t>(samples.size());
    for (const uint16_t t : samples) {
        c.bad += t == 0 || t >= 4095;
        c.low += t >= 2 && t <= 511;
        c.high += t >= 3585 && t <= 4094;
    }
    return c;
}

ExposureStep decide_exposure(const ExposureCounts &counts, uint16_t target, bool hdr) {
    if (counts.total == 0)
        return {};
    const float ratio = static_cast<float>(counts.bad) / static_cast<float>(counts.total) * 1000.0f;
    if (ratio > target) {
        // The further out of range, the larger the step: 90 us above 90 per mille down to 10.
        int step = 10;
        for (int s = 90; s >= 20; s -= 10) {
            if (ratio > s) {
                step = s;
                break;
            }
        }
        return hdr ? ExposureStep{} : ExposureStep{ExposureStep::Kind::decrease, step};
    }
    if (ratio == target || (ratio > 0 && counts.high > 512))
        return hdr ? ExposureStep{} : ExposureStep{ExposureStep::Kind::decrease, 10};
    if (counts.high <= 10 && counts.low <= 512 && !hdr)
        return {ExposureStep::Kind::increase, kExposureGrowthUs};
    return {};
}

int decreased_integration_time(int current, int step) {
    const int from = std::max(current, step);
    const int next = from - step;
    return next < 51 ? 50 : next;
}

bool signal_consistent(const uint16_t *planes, uint32_t pixels) {
    if (pixels == 0)
        return false;
    uint32_t even = 0;
    uint32_t odd = 0;
    const uint16_t *d0 = planes;
    const uint16_t *d1 = planes + pixels;
    const uint16_t *d2 = planes + 2 * size_t{pixels};
    const uint16_t *d3 = planes + 3 * size_t{pixels};
    for (uint32_t i = 0; i < pixels; ++i) {
        const int s02 = (d0[i] & 0x0FFF) + (d2[i] & 0x0FFF);
        const int s13 = (d1[i] & 0x0FFF) + (d3[i] & 0x0FFF);
        even += s02 >= 4017 && s02 <= 4175;
        odd += s13 >= 4017 && s13 <= 4175;
    }
    return uint64_t{even} * 100 / pixels > 60 && uint64_t{odd} * 100 / pixels > 60;
}

uint16_t merge_hdr_pair(uint16_t upper, uint16_t lower) {
    if (valid_phase(upper) && valid_phase(lower))
        return std::max(upper, lower);
    if (valid_phase(upper))
        return upper;
    if (valid_phase(lower))
        return lower;
    if (lower == kCodeLowAmplitude || upper == kCodeLowAmplitude)
        return kCodeLowAmplitude;
    return std::max(upper, lower);
}

void merge_hdr_rows(uint16_t *codes, int width, int height) {
    for (int row = 0; row + 1 < height; row += 2) {
        uint16_t *upper = codes + static_cast<size_t>(row) * width;
        uint16_t *lower = upper + width;
        for (int col = 0; col < width; ++col)
            upper[col] = lower[col] = merge_hdr_pair(upper[col], lower[col]);
    }
}

void phases_to_metres(const uint16_t *codes, float *metres, size_t count, int f_khz) {
    const float per_period =
        f_khz > 0 ? static_cast<float>(149896224.0 / (static_cast<double>(f_khz) * 1000.0)) : 0.0f;
    for (size_t i = 0; i < count; ++i) {
        const uint16_t v = codes[i];
        metres[i] = valid_phase(v) ? static_cast<float>(v) * per_period / kPhasePeriod
                                   : static_cast<float>(v) / 1000.0f;
    }
}

}  // namespace tarvo::epc_driver
