// The EPC driver's per-frame arithmetic, free of device and pipeline state: the exposure
// decision over a frame's samples, the signal-consistency test and the HDR row-pair merge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvo::epc_driver {

// Samples of a frame sorted by where they sit in the ADC's 12-bit range.
struct ExposureCounts {
    uint32_t total = 0;
    uint32_t bad = 0;   // 0 or at the rail (4095 and above)
    uint32_t low = 0;   // 2..511
    uint32_t high = 0;  // 3585..4094
};
ExposureCounts count_exposure(std::span<const uint16_t> samples);

// What automatic exposure does with the integration time after one frame.
struct ExposureStep {
    enum class Kind { none, decrease, increase } kind = Kind::none;
    int amount = 0;  // microseconds
};
// `target`: per mille of bad samples tolerated; `hdr`: the sensor runs two integration times.
ExposureStep decide_exposure(const ExposureCounts &counts, uint16_t target, bool hdr);

// Integration time after a decrease by `step` from `current`: never below 50 us.
int decreased_integration_time(int current, int step);
// The longest integration time automatic exposure grows to.
inline constexpr int kMaxAutoIntegrationUs = 1500;
inline constexpr int kExposureGrowthUs = 50;

// True when more than 60 % of the pixels have DCS0 + DCS2 and more than 60 % have DCS1 + DCS3
// near twice the ADC's mid-scale, as the camera's own illumination produces; `planes` holds four
// planes of `pixels` samples.
bool signal_consistent(const uint16_t *planes, uint32_t pixels);

// The code both rows of an HDR pair receive: a valid phase wins over a code, the larger of two
// valid phases wins, and "amplitude too low" wins among codes.
uint16_t merge_hdr_pair(uint16_t upper, uint16_t lower);
// Merges rows (0, 1), (2, 3), ... of a width x height phase image in place; an odd last row
// stays as it is.
void merge_hdr_rows(uint16_t *codes, int width, int height);
// Phase codes to metres at f_khz; codes stay codes (65300 becomes 65.3).
void phases_to_metres(const uint16_t *codes, float *metres, size_t count, int f_khz);

}  // namespace tarvo::epc_driver
