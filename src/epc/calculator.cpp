// The per-pixel calculator of the sorted route: distance and amplitude of one pixel from two or
// four DCS samples, in the sine (four-phase) or PN (pseudo-noise) form.
#include "epc/calculator.h"

#include <tarvo/epc_calc.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "epc/atan_lut.h"
#include "epc/calc_state.h"
#include "epc/config_state.h"
#include "epc/frame_source.h"
#include "epc/pixel_tests.h"

extern "C" {

uint16_t pixelDCS0 = 0;
uint16_t pixelDCS1 = 0;
uint16_t pixelDCS2 = 0;
uint16_t pixelDCS3 = 0;
int arg1 = 0;
int arg2 = 0;
uint8_t amplitudeDivider = 2;
int minAmplitude = 0;
int indexMemory = 0;
int indexCal = 0;

}  // extern "C"

namespace {

constexpr uint32_t kPackedSaturation = 0xFF78FF78u;
constexpr uint32_t kPackedAdcOverflow = 0xFFDCFFDCu;
constexpr uint32_t kPackedLowAmplitude = 0xFF14FF14u;

int divider() {
    return amplitudeDivider != 0 ? amplitudeDivider : 1;
}

// Codes that both packed forms share; 0 when the samples are usable.
uint32_t sample_code() {
    if (saturationCheck())
        return kPackedSaturation;
    if (adcOverflowCheck4DCS(pixelDCS0, pixelDCS1, pixelDCS2, pixelDCS3))
        return kPackedAdcOverflow;
    return 0;
}

int amplitude_code() {
    if (saturationCheck())
        return -136;
    if (adcOverflowCheck4DCS(pixelDCS0, pixelDCS1, pixelDCS2, pixelDCS3))
        return -36;
    return 0;
}

}  // namespace

namespace tarvo::epc {

float fast_sqrt(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = 0x5F3759DFu - (bits >> 1);
    float y;
    std::memcpy(&y, &bits, sizeof y);
    return x * y * (1.5f - 0.5f * x * y * y);
}

}  // namespace tarvo::epc

extern "C" {

void calculatorInit(int div) {
    amplitudeDivider = static_cast<uint8_t>(div);
    minAmplitude = pruGetMinAmplitude();
}

void calculatorSetArgs2DCS(uint16_t dcs0, uint16_t dcs1, int memoryIndex, int calIndex) {
    const int mask = tarvo::epc::g_calc.pixel_mask;
    pixelDCS0 = static_cast<uint16_t>(dcs0 & mask);
    pixelDCS1 = static_cast<uint16_t>(dcs1 & mask);
    // The missing pair sits at the overflow minimum, so it never trips the overflow test.
    pixelDCS2 = pixelDCS3 = adcOverflowGetMin();
    indexMemory = memoryIndex;
    indexCal = calIndex;
    saturationSet2DCS(dcs0, dcs1);
    if (tarvo::epc::is_epc635()) {
        arg2 = 2048 - pixelDCS0 / 16;
        arg1 = 2048 - pixelDCS1 / 16;
    } else {
        arg2 = 2048 - pixelDCS0;
        arg1 = 2048 - pixelDCS1;
    }
}

void calculatorSetArgs4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2, uint16_t dcs3,
                           int memoryIndex, int calIndex) {
    const int mask = tarvo::epc::g_calc.pixel_mask;
    pixelDCS0 = static_cast<uint16_t>(dcs0 & mask);
    pixelDCS1 = static_cast<uint16_t>(dcs1 & mask);
    pixelDCS2 = static_cast<uint16_t>(dcs2 & mask);
    pixelDCS3 = static_cast<uint16_t>(dcs3 & mask);
    indexMemory = memoryIndex;
    indexCal = calIndex;
    saturationSet4DCS(dcs0, dcs1, dcs2, dcs3);
    arg1 = pixelDCS3 - pixelDCS1;
    arg2 = pixelDCS2 - pixelDCS0;
    if (tarvo::epc::is_epc635()) {
        arg1 >>= 4;
        arg2 >>= 4;
    }
}

int calculatorGetAmpSine(void) {
    if (const int code = amplitude_code())
        return code;
    const double sum = static_cast<double>(arg1) * arg1 + static_cast<double>(arg2) * arg2;
    return static_cast<int>(std::sqrt(sum) / divider());
}

uint32_t calculatorGetDistAndAmpSine(void) {
    if (const uint32_t code = sample_code())
        return code;
    // The squared amplitude over the divider twice. Both are non-negative, so that is one
    // division by the divider squared, a shift for the usual divider 2.
    const int64_t sum = static_cast<int64_t>(arg1) * arg1 + static_cast<int64_t>(arg2) * arg2;
    const int d = divider();
    const int amp_sq = tarvo::epc::clamp_to_int(d == 2 ? sum >> 2 : sum / (int64_t{d} * d));
    if (!hysteresisUpdate(indexMemory, amp_sq))
        return kPackedLowAmplitude;
    const uint32_t distance =
        static_cast<uint32_t>((tarvo::epc::atan2_small(arg1, arg2) + 315000) % 30000);
    const uint32_t amplitude =
        static_cast<uint16_t>(static_cast<int>(tarvo::epc::fast_sqrt(static_cast<float>(amp_sq))));
    return amplitude << 16 | distance;
}

int calculatorGetAmpPN(void) {
    if (const int code = amplitude_code())
        return code;
    return (std::abs(arg1) + std::abs(arg2)) / divider();
}

uint32_t calculatorGetDistAndAmpPN(void) {
    if (const uint32_t code = sample_code())
        return code;
    const int sum = std::abs(arg2) + std::abs(arg1);
    const int g = sum / divider();
    // Without any signal the ratio below has no value: the pixel is dark.
    if (!hysteresisUpdate(indexMemory, tarvo::epc::clamp_to_int(static_cast<int64_t>(g) * g)) ||
        sum == 0)
        return kPackedLowAmplitude;
    const uint32_t distance =
        static_cast<uint32_t>(static_cast<double>(std::abs(arg1)) / sum * 30000.0 + 0.5);
    return static_cast<uint32_t>(g) << 16 | distance;
}

void calculatorSetPixelMask(int mask) {
    tarvo::epc::g_calc.pixel_mask = mask;
}
int calculatorGetPixelMask(void) {
    return tarvo::epc::g_calc.pixel_mask;
}

float sqrt2(float x) {
    return tarvo::epc::fast_sqrt(x);
}

}  // extern "C"
