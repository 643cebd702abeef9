// The sorted route: one frame from the frame source through the per-pixel calculator into row
// order, then the filter chain; and the grayscale path.
#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "epc/calc_state.h"
#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/frame_source.h"
#include "epc/gray_correction.h"
#include "epc/pipeline_common.h"
#include "epc/pixel_tests.h"

using namespace tarvo::epc;

namespace {

enum class Iterator { kDefault, kMgx };
enum class Form { kSine, kPn };

// Fixed buffers: nothing is allocated per frame.
struct SortedBuffers {
    uint16_t input[4 * kMaxPixels];
    uint16_t output[8][2 * kMaxPixels];
    uint16_t gray_input[4 * kMaxPixels];
    uint16_t gray_output[4 * kMaxPixels];
    uint16_t ambient_gray[kMaxPixels];
};

SortedBuffers g_buf;

// Where a pixel's samples are and where its result goes.
struct PixelPlace {
    int input;   // position of the first sample, also the hysteresis index
    int output;  // row x columns + column
};

// Walks the frame in read-out order and calls fn(place) per output pixel. Returns the number
// of output pixels.
template <typename Fn>
int walk(Iterator it, const Geometry &g, Fn &&fn) {
    const int cols = g.cols;
    if (it == Iterator::kDefault) {
        for (int line = 0; line < g.rows; ++line) {
            const int row = g.halves == 2 ? centre_out_row(line, g.rows) : g.rows - 1 - line;
            for (int c = 0; c < cols; ++c)
                fn(PixelPlace{line * cols + c, row * cols + c});
        }
        return g.pixels;
    }
    // Dual MGX: a group holds one line per half with the first sample of each pixel, then the
    // same lines with the second sample; each group yields one output row per half.
    const int group_lines = 2 * g.halves;
    const int groups = g.rows / group_lines;
    for (int k = 0; k < groups; ++k) {
        for (int h = 0; h < g.halves; ++h) {
            const int row = h == 0 ? groups - 1 - k : groups + k;
            const int first = (k * group_lines + h) * cols;
            for (int c = 0; c < cols; ++c)
                fn(PixelPlace{first + c, row * cols + c});
        }
    }
    return groups * g.halves * cols;
}

struct VariantSpec {
    Iterator iterator;
    int dcs;  // 2 or 4
    Form form;
    int slot;  // output buffer
    const char *name;
};

// DCS-sum test: a pixel whose opposite samples do not add up to about twice the mid-scale has
// been disturbed (motion, interference) and is dropped by zeroing its samples.
void apply_dcs_sum_threshold(uint16_t *planes, int n) {
    const int threshold = configGetDcsAdd_threshold();
    const bool shift = is_epc635();
    for (int s = 0; s < n; ++s) {
        int s0 = planes[s] + planes[s + 2 * n];
        int s1 = planes[s + n] + planes[s + 3 * n];
        if (shift) {
            s0 = (planes[s] >> 4) + (planes[s + 2 * n] >> 4);
            s1 = (planes[s + n] >> 4) + (planes[s + 3 * n] >> 4);
        }
        if (gPrint > 1 && s == 4500)
            std::printf("print 4500 dcs0+2: %2.4f dcs0+2: %2.4f threshold %d \n",
                        static_cast<double>(s0), static_cast<double>(s1), threshold);
        if (!(std::abs(s0 - 4096) < threshold && std::abs(s1 - 4096) < threshold))
            planes[s] = planes[s + n] = planes[s + 2 * n] = planes[s + 3 * n] = 0;
    }
}

int run_variant(const VariantSpec &spec, int type, uint16_t **out) {
    if (out == nullptr || type < 0 || type > 2)
        return -1;
    Geometry g;
    if (!current_geometry(g, spec.name))
        return -1;
    const uint16_t *frame = nullptr;
    const int count = pruGetImage(&frame);
    const int n = g.pixels;
    // Planes the variant reads: the MGX forms keep both samples of a pair in one plane.
    const int planes = spec.iterator == Iterator::kMgx ? spec.dcs / 2 : spec.dcs;
    if (count < planes * n) {
        zr_log(4, "ERR", "[%s] frame of %d samples, %d x %d image needs %d\n", spec.name, count,
               g.cols, g.rows, planes * n);
        return -1;
    }
    const uint16_t *in = frame;
    if (spec.iterator == Iterator::kDefault && spec.form == Form::kSine) {
        // The plain variants work on their own copy, which the DCS-sum test may change.
        std::memcpy(g_buf.input, frame, static_cast<size_t>(planes) * n * sizeof(uint16_t));
        in = g_buf.input;
        if (calculationGetEnableAmbientLight())
            calculationSetDiffTemp(temperatureGetTemperatureByFrameHeader() -
                                   calibrateGetTempCalib());
        if (spec.dcs == 4 && configStatusEnableAddArg())
            apply_dcs_sum_threshold(g_buf.input, n);
    }
    calculatorInit(spec.dcs == 4 ? 2 : 1);
    const bool ambient = calculationGetEnableAmbientLight() != 0;
    const int partner = spec.iterator == Iterator::kMgx ? g.cols * g.halves : n;
    const int second_pair = spec.iterator == Iterator::kMgx ? n : 2 * n;
    uint16_t *dst = g_buf.output[spec.slot];
    const int out_pixels =
        spec.iterator == Iterator::kDefault ? n : (g.rows / (2 * g.halves)) * g.halves * g.cols;
    walk(spec.iterator, g, [&](PixelPlace at) {
        const int s = at.input;
        int d0 = in[s];
        int d1 = in[s + partner];
        if (ambient) {
            const int gray = temperatureGetGrayscalePixel(s);
            d0 = calculationAmbientDCSCorrectionPixel(d0, gray);
            d1 = calculationAmbientDCSCorrectionPixel(d1, gray);
        }
        if (spec.dcs == 4)
            calculatorSetArgs4DCS(static_cast<uint16_t>(d0), static_cast<uint16_t>(d1),
                                  in[s + second_pair], in[s + second_pair + partner], s, at.output);
        else
            calculatorSetArgs2DCS(static_cast<uint16_t>(d0), static_cast<uint16_t>(d1), s,
                                  at.output);
        if (type == 1) {
            const int amp =
                spec.form == Form::kSine ? calculatorGetAmpSine() : calculatorGetAmpPN();
            dst[at.output] = static_cast<uint16_t>(amp);
            return;
        }
        const uint32_t packed =
            spec.form == Form::kSine ? calculatorGetDistAndAmpSine() : calculatorGetDistAndAmpPN();
        dst[at.output] = static_cast<uint16_t>(packed);
        if (type == 2)
            dst[n + at.output] = static_cast<uint16_t>(packed >> 16);
    });
    // The amplitude plane starts n values in for every variant; the MGX variants' half-height
    // distance plane leaves a stretch before it that holds no pixel.
    if (type == 2)
        std::fill(dst + out_pixels, dst + n, kCodeLowAmplitude);
    *out = dst;
    return type == 2 ? 2 * out_pixels : out_pixels;
}

constexpr VariantSpec kDefNoPi{Iterator::kDefault, 2, Form::kSine, 0,
                               "calcDefNoPiDelayGetDataSorted"};
constexpr VariantSpec kDefPi{Iterator::kDefault, 4, Form::kSine, 1, "calcDefPiDelayGetDataSorted"};
constexpr VariantSpec kMgxNoPi{Iterator::kMgx, 2, Form::kSine, 2, "calcMGXNoPiDelayGetDataSorted"};
constexpr VariantSpec kMgxPi{Iterator::kMgx, 4, Form::kSine, 3, "calcMGXPiDelayGetDataSorted"};
constexpr VariantSpec kPnDefNoPi{Iterator::kDefault, 2, Form::kPn, 4,
                                 "calcPNDefNoPiDelayGetDataSorted"};
constexpr VariantSpec kPnDefPi{Iterator::kDefault, 4, Form::kPn, 5,
                               "calcPNDefPiDelayGetDataSorted"};
constexpr VariantSpec kPnMgxNoPi{Iterator::kMgx, 2, Form::kPn, 6,
                                 "calcPNMGXNoPiDelayGetDataSorted"};
constexpr VariantSpec kPnMgxPi{Iterator::kMgx, 4, Form::kPn, 7, "calcPNMGXPiDelayGetDataSorted"};

const VariantSpec &selected_variant() {
    const bool mgx = calculationIsDualMGX() != 0;
    const bool pi = calculationIsPiDelay() != 0;
    if (calculationIsPN())
        return mgx ? (pi ? kPnMgxPi : kPnMgxNoPi) : (pi ? kPnDefPi : kPnDefNoPi);
    return mgx ? (pi ? kMgxPi : kMgxNoPi) : (pi ? kDefPi : kDefNoPi);
}

// Filter chain of the distance images.
int distance_with_filters(int type, uint16_t **out) {
    const int offset_phase = calibrationGetOffsetPhase();
    const int drnu = calculationGetEnableDRNU();
    if (drnu != 0)
        calibrationSetOffsetPhase(0);
    const int values = run_variant(selected_variant(), type, out);
    if (values < 0) {
        calibrationSetOffsetPhase(offset_phase);
        return values;
    }
    imageCorrect(out);
    imageProcess(out);
    imageAverage(out);
    imageDifference(out);
    calculationFalmanFiltering(*out);
    if (drnu == 1) {
        calibrationSetOffsetPhase(offset_phase);
        calculationCorrectDRNU(*out);
    } else if (drnu == 2) {
        calibrationSetOffsetPhase(offset_phase);
        calculationCorrectDRNU2_opt(*out, *out);
    } else if (calculationGetEnableTemperature()) {
        calculationTemperatureCompensation(*out);
    }
    calculationAddOffset(*out);
    return values;
}

// What the gray value of a sample depends on besides the sample, read once per frame.
struct GrayForm {
    bool two_plane_mode;
    bool epc635;
    bool saturation;  // the saturation test is on
    bool adc;         // the ADC overflow test is on
    int mask;
    uint16_t adc_min;
    uint16_t adc_max;
};

GrayForm current_gray_form() {
    return {configGetCurrentMode() == 2,
            is_epc635(),
            g_checks.saturation_enabled != 0,
            g_checks.adc_enabled != 0,
            g_calc.pixel_mask,
            g_checks.adc_min,
            g_checks.adc_max};
}

// Gray value of one raw sample as the grayscale path reports it, with the same tests as
// saturationSet1DCS / saturationCheck and adcOverflowCheck1DCS.
inline uint16_t gray_value(uint16_t raw, int plane, const GrayForm &f) {
    const bool saturated = f.saturation && raw == 4095;
    auto adc_overflow = [&f](int v) { return f.adc && (v < f.adc_min || v > f.adc_max); };
    if (f.epc635) {
        if (saturated)
            return kCodeSaturation;
        if (adc_overflow(raw))
            return kCodeAdcOverflow;
        const int v = raw >> 4;
        return static_cast<uint16_t>(f.two_plane_mode ? std::max(v - 2048, 0) : v);
    }
    const int masked = raw & f.mask;
    if (f.two_plane_mode) {
        if (saturated)
            return kCodeSaturation;
        const int v = plane == 0 ? masked - 2048 : 2048 - masked;
        return static_cast<uint16_t>(std::max(v, 0));
    }
    if (saturated)
        return kCodeSaturation;
    if (adc_overflow(static_cast<uint16_t>(masked)))
        return kCodeAdcOverflow;
    return static_cast<uint16_t>(masked);
}

bool overlaps(const uint16_t *a, size_t a_count, const uint16_t *b, size_t b_count) {
    const auto a0 = reinterpret_cast<uintptr_t>(a);
    const auto b0 = reinterpret_cast<uintptr_t>(b);
    return a0 < b0 + b_count * sizeof(uint16_t) && b0 < a0 + a_count * sizeof(uint16_t);
}

}  // namespace

extern "C" {

// Grayscale path: every plane of the frame cleaned up and put into row order.
int calcBWSorted(uint16_t **out) {
    Geometry g;
    if (out == nullptr || !current_geometry(g, "calcBWSorted"))
        return -1;
    const uint16_t *frame = nullptr;
    const int count = pruGetImage(&frame);
    const int n = g.pixels;
    const int planes = std::min(count / n, 4);
    if (planes < 1) {
        zr_log(4, "ERR", "[%s] frame of %d samples, %d x %d image\n", "calcBWSorted", count, g.cols,
               g.rows);
        return -1;
    }
    const size_t samples = static_cast<size_t>(planes) * n;
    const uint16_t *in = frame;
    // Read in place, unless the frame is the output itself (a caller handing it back).
    if (overlaps(frame, samples, g_buf.gray_output, std::size(g_buf.gray_output))) {
        std::memmove(g_buf.gray_input, frame, samples * sizeof(uint16_t));
        in = g_buf.gray_input;
    }
    const GrayForm form = current_gray_form();
    for (int k = 0; k < planes; ++k) {
        const uint16_t *plane = in + k * n;
        uint16_t *dst = g_buf.gray_output + k * n;
        for (int line = 0; line < g.rows; ++line) {
            const int row =
                (form.epc635 || g.halves == 1) ? g.rows - 1 - line : centre_out_row(line, g.rows);
            const uint16_t *src = plane + line * g.cols;
            uint16_t *out_row = dst + row * g.cols;
            for (int c = 0; c < g.cols; ++c)
                out_row[c] = gray_value(src[c], k, form);
        }
    }
    // The saturation state is left as the last sample set it, as the per-sample tests do.
    saturationSet1DCS(in[samples - 1]);
    *out = g_buf.gray_output;
    return planes * n;
}

int calcDefNoPiDelayGetDataSorted(int type, uint16_t **out) {
    return run_variant(kDefNoPi, type, out);
}
int calcDefPiDelayGetDataSorted(int type, uint16_t **out) {
    return run_variant(kDefPi, type, out);
}
int calcMGXNoPiDelayGetDataSorted(int type, uint16_t **out) {
    return run_variant(kMgxNoPi, type, out);
}
int calcMGXPiDelayGetDataSorted(int type, uint16_t **out) {
    return run_variant(kMgxPi, type, out);
}
int calcPNDefNoPiDelayGetDataSorted(int type, uint16_t **out) {
    return run_variant(kPnDefNoPi, type, out);
}
int calcPNDefPiDelayGetDataSorted(int type, uint16_t **out) {
    return run_variant(kPnDefPi, type, out);
}
int calcPNMGXNoPiDelayGetDataSorted(int type, uint16_t **out) {
    return run_variant(kPnMgxNoPi, type, out);
}
int calcPNMGXPiDelayGetDataSorted(int type, uint16_t **out) {
    return run_variant(kPnMgxPi, type, out);
}

int calculationDistanceSorted(uint16_t **out) {
    return distance_with_filters(0, out);
}

int calculationDistanceAndAmplitudeSorted(uint16_t **out) {
    return distance_with_filters(2, out);
}

int calculationAmplitudeSorted(uint16_t **out) {
    return run_variant(selected_variant(), 1, out);
}

int calculationBWSorted(uint16_t **out) {
    const int samples = calcBWSorted(out);
    if (samples < 0)
        return samples;
    if (configGetCurrentMode() == 2 && calculateIsFlimCorrectionAvailable())
        calculationFlimCorrection(*out, samples);
    else if (grayscale_offset_on() || grayscale_gain_on())
        calculateGrayscaleCorrection(*out);
    return samples;
}

int calculationDCSSorted(uint16_t **out) {
    if (!calculationGetEnableAmbientLight()) {
        const int samples = calcBWSorted(out);
        if (samples >= 0 && (grayscale_offset_on() || grayscale_gain_on()))
            calculateGrayscaleCorrection(*out);
        return samples;
    }
    Geometry g;
    if (out == nullptr || !current_geometry(g, __func__))
        return -1;
    std::memcpy(g_buf.ambient_gray, temperatureGetGrayscaleData(),
                static_cast<size_t>(g.pixels) * sizeof(uint16_t));
    const int samples = calcBWSorted(out);
    if (samples < 0)
        return samples;
    calculationAmbientDCSCorrection(*out, samples / std::max(pruGetNDCS(), 1));
    return samples;
}

int calculationAmbientDCSCorrection(uint16_t *image, int perDcs) {
    Geometry g;
    if (image == nullptr || perDcs < 0 || !current_geometry(g, __func__))
        return -1;
    const bool epc635 = is_epc635();
    const double factor = calculationGetAmbientLightFactor();
    print(1, 2, "gAmbientLightFactor = %2.4f  pixelPerDCS= %d \n", factor, perDcs);
    // The second plane must lie inside the grayscale path's buffer.
    if (static_cast<long>(perDcs) + g.pixels > 4L * kMaxPixels)
        return -1;
    for (int row = 0; row < g.rows; ++row) {
        for (int col = 0; col < g.cols; ++col) {
            const int t = calibration_index(row, col);
            if (t < 0)
                continue;
            int gray = g_buf.ambient_gray[t];
            if (epc635)
                gray >>= 4;
            const int corr = short_round((gray - 2048) / factor);
            const int i = row * g.cols + col;
            const int dcs0 = image[i];
            const int dcs1 = image[i + perDcs];
            image[i] = static_cast<uint16_t>(dcs0 - corr);
            image[i + perDcs] = static_cast<uint16_t>(dcs1 - corr);
            if (col < 10)
                print(1, 2, "dcs0= %d  dcs1= %d  newDCS0= %d  newDCS1= %d  ampGray= %d\n", dcs0,
                      dcs1, image[i], image[i + perDcs], gray);
        }
    }
    return 0;
}

int calculationBW(uint16_t **out) {
    if (out == nullptr)
        return -1;
    const uint16_t *frame = nullptr;
    const int count = pruGetImage(&frame);
    if (count < 0 || count > 4 * kMaxPixels) {
        zr_log(4, "ERR", "[%s] frame of %d samples does not fit\n", __func__, count);
        return -1;
    }
    // Works on a copy: the frame may be the caller's, handed over read-only.
    uint16_t *img = g_buf.gray_input;
    const int half = count / 2;
    if (configGetCurrentMode() == 2) {
        for (int i = 0; i < half; ++i) {
            const int c = frame[i];
            img[i] = static_cast<uint16_t>((c & 0x800) ? (c & 0xFFF) - 2048 : 0);
        }
        for (int i = half; i < count; ++i) {
            const int d = frame[i] & 0xFFF;
            img[i] = static_cast<uint16_t>(d > 2048 ? 0 : 2048 - d);
        }
    } else {
        for (int i = 0; i < count; ++i)
            img[i] = static_cast<uint16_t>(frame[i] & 0xFFF);
    }
    *out = img;
    return count;
}

}  // extern "C"
