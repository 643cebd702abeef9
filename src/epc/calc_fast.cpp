// The fast distance route used for every frame the driver decodes: one pass over four DCS
// planes, integer arithmetic up to the final conversion, no allocation.
#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "epc/atan_lut.h"
#include "epc/calc_kernel.h"
#include "epc/calc_state.h"
#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/pipeline_common.h"
#include "epc/pixel_tests.h"

using namespace tarvo::epc;

namespace {

enum OutputType { kPhase16 = 0, kAmplitude16 = 1, kMetres = 2, kAmplitudeFloat = 3 };

constexpr float kFloatLowAmplitude = 65.3f;
constexpr float kFloatAdcOverflow = 65.5f;

// Everything the per-pixel loop reads, fetched once per frame.
struct FrameParams {
    int cols;
    int rows;
    int n;
    float metre_factor;  // metres per period
    // Distance-image correction (DRNU mode 2).
    int distances;
    float step_phase;  // one calibration step in phase units
    float temperature;
    int offset;
    const uint16_t *table_min;
    const uint16_t *table_max;
    const uint16_t *table;
};

template <typename Out>
inline void put(void *dst, int q, Out value) {
    static_cast<Out *>(dst)[q] = value;
}

// Table step of one pixel: interpolates the pixel's calibrated raw distances. Returns a code
// for phases outside the calibrated span.
inline int drnu_lookup(const FrameParams &fp, int q, int phase, bool &code_low, bool &code_high) {
    const float d = static_cast<float>(phase) - fp.temperature;
    const int m0 = fp.table_min[q];
    const int m1 = fp.table_max[q];
    code_low = d <= static_cast<float>(m0);
    code_high = !code_low && d >= static_cast<float>(m1);
    if (code_low || code_high)
        return 0;
    const int c = fp.distances;
    int step = static_cast<int>((d - static_cast<float>(m0)) * static_cast<float>(c) /
                                static_cast<float>(m1 - m0));
    // The upper neighbour of the last entry would belong to the next pixel: the last segment
    // is extended instead.
    step = std::clamp(step, 0, c - 2);
    const uint16_t *entries = fp.table + static_cast<long>(q) * c;
    const int lo = entries[step];
    const int hi = entries[step + 1];
    // Two steps with the same raw distance carry no slope; the value sits at the step itself.
    const float fraction =
        hi != lo ? (d - static_cast<float>(lo)) * fp.step_phase / static_cast<float>(hi - lo)
                 : 0.0f;
    const float steps = fp.step_phase * static_cast<float>(step);
    return fp.offset + static_cast<int>(static_cast<double>(fraction + steps) + 0.5);
}

template <int kType, bool kDrnu>
void run_lines(const FrameParams &fp, void *dst, const uint16_t *src) {
    constexpr bool kFloat = kType == kMetres || kType == kAmplitudeFloat;
    const int n = fp.n;
    const int cols = fp.cols;
    int32_t value[kMaxCols];
    for (int line = 0; line < fp.rows; ++line) {
        const int q_row = centre_out_row(line, fp.rows) * cols;
        const int p_row = line * cols;
        const LinePlanes in{src + p_row, src + n + p_row, src + 2 * n + p_row, src + 3 * n + p_row,
                            cols};
        if constexpr (kType == kAmplitude16 || kType == kAmplitudeFloat) {
            line_amplitudes(in, value);
            if constexpr (kFloat)
                line_store_amplitudes(value, cols, static_cast<float *>(dst) + q_row);
            else
                line_store_u16(value, cols, static_cast<uint16_t *>(dst) + q_row);
            continue;
        } else {
            // The hysteresis is indexed by input position: this line's pixels are contiguous.
            const LineHysteresis hyst{g_hysteresis.valid + p_row, g_hysteresis.upper,
                                      g_hysteresis.lower};
            line_phases(in, hyst, value);
            if constexpr (!kDrnu) {
                if constexpr (kFloat)
                    line_store_metres(value, cols, fp.metre_factor,
                                      static_cast<float *>(dst) + q_row);
                else
                    line_store_u16(value, cols, static_cast<uint16_t *>(dst) + q_row);
                continue;
            } else {
                for (int j = 0; j < cols; ++j) {
                    const int q = q_row + j;
                    const int phase = value[j];
                    bool low = phase == kCodeLowAmplitude;
                    bool high = phase == kCodeAdcOverflow;
                    const int v = low || high ? 0 : drnu_lookup(fp, q, phase, low, high);
                    if constexpr (kFloat) {
                        put<float>(dst, q,
                                   low    ? kFloatLowAmplitude
                                   : high ? kFloatAdcOverflow
                                          : static_cast<float>(v) * fp.metre_factor / 30000.0f);
                    } else {
                        // A corrected phase outside 0..65299 would read as a code.
                        put<uint16_t>(dst, q,
                                      low    ? kCodeLowAmplitude
                                      : high ? kCodeAdcOverflow
                                             : static_cast<uint16_t>(std::clamp(v, 0, 65299)));
                    }
                }
            }
        }
    }
}

template <int kType>
void run(const FrameParams &fp, bool drnu, void *dst, const uint16_t *src) {
    if (drnu)
        run_lines<kType, true>(fp, dst, src);
    else
        run_lines<kType, false>(fp, dst, src);
}

}  // namespace

extern "C" {

int calcDefPiDelayGetDataSorted_opt(int type, void *dst, const uint16_t *src, int n) {
    if (dst == nullptr || src == nullptr || n <= 0 || n > INT32_MAX / 4 || type < 0 || type > 3) {
        zr_log(4, "ERR", "[%s] bad arguments: type=%d, n=%d\n", __func__, type, n);
        return -1;
    }
    Geometry g;
    if (!current_geometry(g, __func__))
        return -1;
    if (g.pixels > n) {
        zr_log(4, "ERR", "[%s] %d x %d image needs %d samples per plane, got %d\n", __func__,
               g.cols, g.rows, g.pixels, n);
        return -1;
    }
    FrameParams fp{};
    fp.cols = g.cols;
    fp.rows = g.rows;
    fp.n = n;
    const double speed = calibrateGetSpeedOfLightDiv2();
    const int f = configGetModulationFrequency();
    const uint32_t range = unambiguous_range(speed, f);
    fp.metre_factor = f > 0 ? static_cast<float>(149896229.0 / (f * 1000.0)) : 0.0f;
    fp.distances = std::min(calibrateGetNumDistances(), kMaxDistances);
    // With fewer than two calibrated steps there is nothing to interpolate.
    const bool drnu = calculationGetEnableDRNU() == 2 && range > 0 && fp.distances >= 2 &&
                      (type == kPhase16 || type == kMetres);
    if (drnu) {
        fp.step_phase = static_cast<float>(calibrateGetStepCalMM() * 30000.0 / range);
        fp.temperature = drnu_temperature_term(range, false);
        fp.offset = drnu_mode2_offset(range);
        fp.table_min = distImagesDRNUMin[1];
        fp.table_max = distImagesDRNUMax[1];
        fp.table = distImagesDRNU[1];
    }
    switch (type) {
        case kPhase16:
            run<kPhase16>(fp, drnu, dst, src);
            break;
        case kAmplitude16:
            run<kAmplitude16>(fp, false, dst, src);
            break;
        case kMetres:
            run<kMetres>(fp, drnu, dst, src);
            break;
        default:
            run<kAmplitudeFloat>(fp, false, dst, src);
            break;
    }
    return n;
}

int _epc_DCSxn_raw2dist(float *dst, const uint16_t *src, int width, int height) {
    if (width <= 0 || height <= 0 || static_cast<long>(width) * height > kMaxPixels) {
        zr_log(4, "ERR", "[%s] bad size %d x %d\n", __func__, width, height);
        return -1;
    }
    return calcDefPiDelayGetDataSorted_opt(kMetres, dst, src, width * height);
}

}  // extern "C"
