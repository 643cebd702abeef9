// DRNU correction of finished phase images, and the final phase offset.
#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "epc/calc_state.h"
#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/pipeline_common.h"

using namespace tarvo::epc;

namespace {

// Degrees (tenths) to phase units of the lookup-table correction's own temperature drift.
constexpr double kLutTemperatureSlope = 3.12262;

uint32_t current_range_mm() {
    return unambiguous_range(calibrateGetSpeedOfLightDiv2(), modulationFrequency);
}

int distances() {
    return std::min(calibrateGetNumDistances(), kMaxDistances);
}

uint16_t store_phase(double value) {
    // A corrected phase outside 0..65299 would read as a code.
    if (!(value > 0.0))
        return 0;
    return static_cast<uint16_t>(std::min(value, 65299.0));
}

// Chip temperature drift since calibration, or the ambient-light correction's own drift while
// that is on (the chip is then not read).
template <typename ChipTemperature>
int temperature_drift(ChipTemperature chip_temperature) {
    return calculationGetEnableAmbientLight() ? g_ambient.diff_temp
                                              : chip_temperature() - calibrateGetTempCalib();
}

// What a whole-image correction needs: the image geometry, the number of calibrated steps and
// the width of one step in phase units.
struct DrnuSetup {
    Geometry g;
    uint32_t range = 0;
    int steps = 0;
    double step_phase = 0.0;
};

// False (the image is left alone) without a geometry, a range, at least `min_steps` steps or a
// positive step width.
bool drnu_setup(DrnuSetup &s, int min_steps, const char *func) {
    if (!distance_geometry(s.g, func))
        return false;
    s.range = current_range_mm();
    s.steps = distances();
    if (s.range == 0 || s.steps < min_steps)
        return false;
    s.step_phase = calibrateGetStepCalMM() * 30000.0 / s.range;
    return s.step_phase > 0.0;
}

// Interpolated calibrated distance of bracket [lo, hi) at step L.
int interpolate_step(float d, int lo, int hi, float step_phase, int L) {
    const float fraction = (d - static_cast<float>(lo)) * step_phase / static_cast<float>(hi - lo);
    return static_cast<int>(static_cast<double>(fraction + step_phase * static_cast<float>(L)) +
                            0.5);
}

}  // namespace

extern "C" {

int calculationCorrectDRNU(uint16_t *image) {
    if (calculationGetEnableDRNU() == 0 || image == nullptr)
        return 0;
    DrnuSetup s;
    if (!drnu_setup(s, 1, __func__))
        return -1;
    const Geometry &g = s.g;
    const int c = s.steps;
    const double w = s.step_phase;
    double delta_t = 0.0;
    if (calculationGetEnableTemperature())
        delta_t = temperature_drift(temperatureGetTemperature);
    const int offset = calibrationGetOffsetDRNU();
    for (int i = 0; i < g.rows; ++i) {
        for (int j = 0; j < g.cols; ++j) {
            uint16_t &v = image[i * g.cols + j];
            if (v >= kCodeLowAmplitude)
                continue;
            int d = v - offset;
            if (d < 0)
                d += kPhasePeriod;
            // The table holds c steps; a phase past the last one uses the last.
            const int k = std::clamp(static_cast<int>(std::round(d / w)), 0, c - 1);
            const int corrected = round_away(v - drnuLut[k][i][j] - delta_t * kLutTemperatureSlope);
            v = static_cast<uint16_t>(corrected < 0 || corrected >= kCodeLowAmplitude
                                          ? wrap_phase(corrected)
                                          : corrected);
        }
    }
    return 0;
}

int calculationCorrectDRNU2_opt(uint16_t *out, const uint16_t *in) {
    if (out == nullptr || in == nullptr)
        return -1;
    Geometry g;
    if (!distance_geometry(g, __func__))
        return -1;
    const uint32_t range = current_range_mm();
    const int c = distances();
    if (range == 0 || c < 2) {
        if (out != in)
            std::memmove(out, in, static_cast<size_t>(g.pixels) * sizeof(uint16_t));
        return -1;
    }
    const float step_phase = static_cast<float>(calibrateGetStepCalMM() * 30000.0 / range);
    const float t = drnu_temperature_term(range, true);
    const uint16_t *table_min = distImagesDRNUMin[1];
    const uint16_t *table_max = distImagesDRNUMax[1];
    for (int q = 0; q < g.pixels; ++q) {
        const uint16_t value = in[q];
        if (value >= kCodeLowAmplitude) {
            out[q] = value;
            continue;
        }
        const float d = static_cast<float>(value) - t;
        const int m0 = table_min[q];
        const int m1 = table_max[q];
        if (d <= static_cast<float>(m0)) {
            out[q] = kCodeLowAmplitude;
            continue;
        }
        if (d >= static_cast<float>(m1)) {
            out[q] = kCodeAdcOverflow;
            continue;
        }
        const uint16_t *entries = distImagesDRNU[1] + static_cast<long>(q) * c;
        const int L0 = static_cast<int>((d - static_cast<float>(m0)) * static_cast<float>(c) /
                                        static_cast<float>(m1 - m0));
        // The bracket [L, L + 1] must stay inside the pixel's own c entries.
        const int lowest = std::clamp(L0 - 1, 0, c - 2);
        const int highest = std::clamp(L0 + 2, 0, c - 2);
        int L = std::clamp(L0, lowest, highest);
        bool found = false;
        for (int tries = 0; tries < 4 && L >= lowest && L <= highest; ++tries) {
            const float lo = entries[L];
            const float hi = entries[L + 1];
            if (lo <= d && d < hi) {
                out[q] =
                    store_phase(interpolate_step(d, entries[L], entries[L + 1], step_phase, L));
                found = true;
                break;
            }
            L += d < lo ? -1 : 1;
        }
        if (!found) {
            zr_log(1, "DBG",
                   "[%s]  cannot find proper dist in calibration: %.2f (min=%d, max=%d)\n",
                   __func__, static_cast<double>(d), m0, m1);
            out[q] = store_phase(std::trunc(static_cast<double>(d) + 0.5));
        }
    }
    return 0;
}

int calculationCorrectDRNU2(uint16_t *image) {
    if (image == nullptr)
        return -1;
    DrnuSetup s;
    if (!drnu_setup(s, 2, __func__))
        return -1;
    const Geometry &g = s.g;
    const uint32_t range = s.range;
    const int c = s.steps;
    const double w = s.step_phase;
    const int offset = calibrationGetOffsetDRNU();
    double t = 0.0;
    if (calculationGetEnableTemperature()) {
        const int delta = temperature_drift(temperatureGetTemperatureByFrameHeader);
        t = delta * 30000.0 / range * calibrateGetTempCoef(partType);
    }
    // Looks for consecutive calibration images m0 <= v < m1 in a window of five steps from
    // `start`; the images of pixel p are pixel-major, as loaded.
    auto find = [&](int p, double v, int start, int &L, double &m0, double &m1) {
        for (L = std::max(start, 0); L <= std::min(start + 4, c - 2); ++L) {
            m0 = calibrateGetDistImagePixel(p * c + L);
            m1 = calibrateGetDistImagePixel(p * c + L + 1);
            if (m0 <= v && v < m1)
                return true;
        }
        return false;
    };
    for (int row = 0; row < g.rows; ++row) {
        for (int col = 0; col < g.cols; ++col) {
            uint16_t &v = image[row * g.cols + col];
            const int p = calibration_index(row, col);
            if (v >= kCodeLowAmplitude || p < 0)
                continue;
            const int guess = round_away((v - offset) / w);
            double value = v;
            int L = 0;
            double m0 = 0.0;
            double m1 = 0.0;
            bool found = find(p, value, guess - 2, L, m0, m1);
            // Near the start of the table the phase may have wrapped past the period.
            if (!found && guess < 3) {
                value = v + 30000.0;
                found = find(p, value, round_away((30000 - offset) / w) - 2, L, m0, m1);
            }
            // Without a bracket the pixel keeps its value.
            if (!found)
                continue;
            const double corrected =
                (m0 == m1 ? w * L : std::round(w * L + w * (value - m0) / (m1 - m0))) - t;
            v = store_phase(std::round(corrected));
        }
    }
    return 0;
}

int calculationAddOffset(uint16_t *image) {
    if (image == nullptr)
        return -1;
    Geometry g;
    if (!distance_geometry(g, __func__))
        return -1;
    const int offset = calculationGetEnableDRNU() == 2 ? drnu_mode2_offset(current_range_mm())
                                                       : calibrationGetOffsetPhase();
    for (int i = 0; i < g.pixels; ++i) {
        const uint16_t v = image[i];
        if (v == kCodeLowAmplitude || v == kCodeSaturation || v == kCodeAdcOverflow)
            continue;
        image[i] = static_cast<uint16_t>(wrap_phase(v + offset));
    }
    return 0;
}

}  // extern "C"
