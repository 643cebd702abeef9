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
    const uint32_t *pairs;  // step-major brackets (drnu_step_pairs)
    int pixels;
};

template <int kType, bool kDrnu>
void run_lines(const FrameParams &fp, void *dst, const uint16_t *src) {
    constexpr bool kFloat = kType == kMetres || kType == kAmplitudeFloat;
    const int n = fp.n;
    const int cols = fp.cols;
    for (int line = 0; line < fp.rows; ++line) {
        const int q_row = centre_out_row(line, fp.rows) * cols;
        const int p_row = line * cols;
        const LinePlanes in{src + p_row, src + n + p_row, src + 2 * n + p_row, src + 3 * n + p_row,
                            cols};
        float *out_float = static_cast<float *>(dst) + q_row;
        uint16_t *out_u16 = static_cast<uint16_t *>(dst) + q_row;
        if constexpr (kType == kAmplitude16 || kType == kAmplitudeFloat) {
            int32_t value[kMaxCols];
            line_amplitudes(in, value);
            if constexpr (kFloat)
                line_store_amplitudes(value, cols, out_float);
            else
                line_store_u16(value, cols, out_u16);
            continue;
        } else {
            // The hysteresis is indexed by input position: this line's pixels are contiguous.
            const LineHysteresis hyst{g_hysteresis.valid + p_row, g_hysteresis.upper,
                                      g_hysteresis.lower};
            if constexpr (!kDrnu) {
                if constexpr (kFloat)
                    line_phases_metres(in, hyst, fp.metre_factor, out_float);
                else
                    line_phases_u16(in, hyst, out_u16);
            } else {
                const DrnuRow drnu{
                    fp.table_min + q_row,
                    fp.table_max + q_row,
                    fp.pairs + q_row,
                    fp.pixels,
                    fp.distances,
                    fp.step_phase,
                    fp.temperature,
                    fp.offset,
                    line + 1 < fp.rows
                        ? static_cast<long>(centre_out_row(line + 1, fp.rows) * cols - q_row)
                        : 0};
                if constexpr (kFloat)
                    line_drnu_metres(in, hyst, drnu, fp.metre_factor, out_float);
                else
                    line_drnu_u16(in, hyst, drnu, out_u16);
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
        fp.pixels = g.pixels;
        fp.pairs = drnu_step_pairs(1, fp.distances, g.pixels);
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
