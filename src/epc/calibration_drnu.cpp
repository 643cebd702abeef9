// DRNU calibration: acquisition of the delay steps, the full run, the lookup table derived from
// the distance images, the search of the step size, renewal, line fitting and the step check.
#include <tarvo/epc_api.h>
#include <tarvo/epc_calc.h>
#include <tarvo/epc_calib.h>
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "epc/calibration_files.h"
#include "epc/config_state.h"
#include "epc/frame_source.h"
#include "epc/pipeline_common.h"

using namespace tarvo::epc;

namespace {

constexpr int kRegDelayCalibration = 0xE9;
constexpr int kRegDelayStep = 0x73;
// A run repeats while the temperature drifts too much; a camera that never settles ends it.
constexpr int kMaxRuns = 10;
// Coarse search window of the step size, tenths of a millimetre.
constexpr int kSearchLow = 2700;
constexpr int kSearchHigh = 3400;
constexpr int kSearchStride = 20;
constexpr int kFineReach = 19;

double g_delay_cal = 1.8;
int16_t g_step_average[kMaxDistances];
calibrationDRNUSummary g_summary;
// The previous step's averaged image: phases of a later step below it have wrapped.
int32_t g_reference[kMaxPixels];

double speed_div2() {
    return calibrateGetSpeedOfLightDiv2();
}

double frequency() {
    return static_cast<double>(configGetModulationFrequency());
}

// (u16)(speed / 2 / f): the unambiguous range in mm as the step width formulas take it.
double range_mm_u16() {
    return static_cast<double>(unambiguous_range(speed_div2(), configGetModulationFrequency()) &
                               0xFFFFu);
}

double delay_cal_of(int reg) {
    return reg == 0xFF ? 1.8 : (reg - 128) * 0.003 + 1.8;
}

// Width of one delay step in phase units at sensor temperature `t` (tenths of a degree).
double delay_step_lsb(double t) {
    const double range_cm = speed_div2() / (frequency() * 10.0);
    return ((t - 270.0) * 0.00395 / 10.0 + g_delay_cal) * 450000.0 / range_cm;
}

int sensor_temperature_mean(const int16_t *t) {
    return (t[0] + t[1] + t[2] + t[3]) / 4;
}

// Mean of step `step` of the active bank over every pixel (integer division).
int bank_step_mean(int step) {
    const int pixels = drnu_pixels();
    const int distances = drnu_distances();
    if (pixels == 0 || step >= distances)
        return 0;
    const int bank = active_bank();
    long long sum = 0;
    for (int p = 0; p < pixels; ++p)
        sum += bank_value(bank, step, p, distances);
    return static_cast<int>(sum / pixels);
}

long long lut_plane_sum(int step) {
    const int w = calibrateGetWidth();
    const int pixels = drnu_pixels();
    long long sum = 0;
    for (int p = 0; p < pixels; ++p)
        sum += drnuLut[step][p / w][p % w];
    return sum;
}

double lut_plane_mean(int step) {
    const int pixels = drnu_pixels();
    return pixels > 0 ? static_cast<double>(lut_plane_sum(step)) / pixels : 0.0;
}

// Fills the lookup table from the active bank with a step of `step_lsb` phase units.
void derive_lut(double step_lsb) {
    const int w = calibrateGetWidth();
    const int pixels = drnu_pixels();
    const int distances = drnu_distances();
    const int bank = active_bank();
    for (int s = 0; s < distances; ++s) {
        for (int p = 0; p < pixels; ++p) {
            const double v = bank_value(bank, s, p, distances) - offsetDRNU - s * step_lsb;
            drnuLut[s][p / w][p % w] = round_away(v);
        }
    }
}

// Step averages (integer means of every plane) and their variance, logged under `tag` at
// `level` (1 debug, 2 info).
double step_average_variance(const char *tag, int level) {
    const int distances = drnu_distances();
    const int pixels = drnu_pixels();
    if (distances == 0 || pixels == 0)
        return 0.0;
    double avg = 0.0;
    for (int s = 0; s < distances; ++s) {
        g_step_average[s] = static_cast<int16_t>(lut_plane_sum(s) / pixels);
        avg += g_step_average[s];
    }
    avg /= distances;
    double var = 0.0;
    for (int s = 0; s < distances; ++s)
        var += (g_step_average[s] - avg) * (g_step_average[s] - avg);
    var /= distances;
    zr_log(static_cast<unsigned>(level), level == 1 ? "DBG" : "INF",
           "[%s] drnu_avr: avg = %.2f, std^2=%.2f\n", tag, avg, var);
    return var;
}

// Score of a step candidate (tenths of a millimetre): the table filled with it, the variance of
// the step averages.
double candidate_score(int tenth_mm) {
    const double range = range_mm_u16();
    if (range <= 0.0)
        return 1e30;
    derive_lut(tenth_mm * 30000.0 / 10.0 / range);
    return step_average_variance("_calibrationCalcDRNUStd", 1);
}

// The step search over the images in memory; 1 when a best step was found and saved.
int auto_renew() {
    const char *tag = "calibrationAutoRenew";
    calibrationLoadTemperatureDRNU();
    offsetDRNU = bank_step_mean(0);
    double best_score = 1e9;
    int best = 0;
    for (int s = kSearchLow; s <= kSearchHigh; s += kSearchStride) {
        const double score = candidate_score(s);
        if (score < best_score) {
            best_score = score;
            best = s;
        }
    }
    if (best == 0 || best == kSearchLow || best == kSearchHigh) {
        zr_log(3, "WRN", "[%s]  cannot find best step between %d ~ %d\n", tag, kSearchLow,
               kSearchHigh);
        return 0;
    }
    zr_log(2, "INF", "[%s] best step (coarse search) : %d, std = %.2f\n", tag, best, best_score);
    const int centre = best;
    for (int s = centre - kFineReach; s <= centre + kFineReach; ++s) {
        const double score = candidate_score(s);
        if (score < best_score) {
            best_score = score;
            best = s;
        }
    }
    zr_log(2, "INF", "[%s] best step (fine search) : %d, std = %.2f\n", tag, best, best_score);
    gStepCalMM = best / 10.0;
    calibrationSaveDRNU_LUT();
    return 1;
}

void fill_summary() {
    for (int s = 0; s < kMaxDistances; ++s) {
        g_summary.stepAverage[s] = g_step_average[s];
        g_summary.stepTemperature[s] = gTemperatureDRNU[s];
    }
}

// Acquisition of one averaged step into `accumulator` (sums of unwrapped phases).
// A frame that did not come (zeros in its place) is left out of the average. Returns the
// number of frames summed.
int acquire_frames(int step, int frames, std::vector<int32_t> &accumulator, long &sensor_sum,
                   long &board_sum) {
    const char *tag = "calibrationCreateDRNU_LUT";
    const int pixels = static_cast<int>(accumulator.size());
    int summed = 0;
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(calibrateGetDRNUCalibrateDelay()));
        uint16_t *image = nullptr;
        const int count = calculationDistanceSorted(&image);
        if (count < pixels || image == nullptr) {
            zr_log(4, "ERR", "[%s] distance image of %d values, %d needed\n", tag, count, pixels);
            return 0;
        }
        if (!frame_source_last_ok()) {
            zr_log(3, "WRN", "[%s] frame %d of %d missing, left out of the average\n", tag, i + 1,
                   frames);
            continue;
        }
        ++summed;
        int16_t t[9] = {};
        temperatureGetTemperatures(sensor_address(), t);
        const int tib = t[4];
        const int tsensor = sensor_temperature_mean(t);
        sensor_sum += tsensor;
        board_sum += tib;
        zr_log(2, "INF", "[%s] Tib:%d,%d\n", tag, tib, 4);
        zr_log(2, "INF", "[%s] Tsensor:%d\n", tag, tsensor);
        for (int p = 0; p < pixels; ++p) {
            int32_t v = image[p];
            if (step > 0 && v < g_reference[p])
                v += kPhasePeriod;
            accumulator[p] += v;
        }
    }
    return summed;
}

// Registers and pipeline settings a calibration run changes, and their restoration.
struct RunSettings {
    int mode = 0;
    int min_amplitude = 0;
    int offset_phase = 0;
    int ambient_light = 0;
    int drnu = 0;
    int temperature = 0;
};

RunSettings prepare_run(int addr) {
    RunSettings saved;
    saved.mode = configGetCurrentMode();
    if (saved.mode == 0)
        apiLoadConfig(1, addr);
    if (is_epc635())
        apiSetROI(4, 163, 6, 65, addr);
    else
        apiSetROI(4, 323, 6, 125, addr);
    saved.min_amplitude = apiGetMinAmplitude();
    apiSetMinAmplitude(0);
    saved.offset_phase = calibrationGetOffsetPhase();
    calibrationSetOffsetPhase(0);
    saved.ambient_light = calculationGetEnableAmbientLight();
    saved.drnu = calculationGetEnableDRNU();
    saved.temperature = calculationGetEnableTemperature();
    calculationSetEnableAmbientLight(0);
    calculationSetEnableDRNU(0);
    calculationSetEnableTemperature(0);
    sensor_write_byte(addr, 0xAE, 4);
    sensor_write_byte(addr, 0x71, 0);
    sensor_write_byte(addr, 0x72, 0);
    g_delay_cal = delay_cal_of(sensor_read_byte(addr, kRegDelayCalibration));
    zr_log(2, "INF", "[%s] gDelayCal: %3.2f \n", "calibrationDRNU", g_delay_cal);
    if (configGetModulationFrequency() == 36000)
        calibrateSetNumDistances(20);
    return saved;
}

void restore_run(int addr, const RunSettings &saved) {
    sensor_write_byte(addr, 0xAE, 1);
    sensor_write_byte(addr, 0x71, 0);
    sensor_write_byte(addr, 0x72, 0);
    sensor_write_byte(addr, kRegDelayStep, 0);
    if (saved.mode == 0)
        apiLoadConfig(0, addr);
    apiSetMinAmplitude(saved.min_amplitude);
    calibrationSetOffsetPhase(saved.offset_phase);
    calculationSetEnableAmbientLight(saved.ambient_light);
    calculationSetEnableDRNU(saved.drnu);
    calculationSetEnableTemperature(saved.temperature);
}

// One pass over every delay step; restarts at step 0 while the temperature drifts beyond the
// allowed difference. False when a step could not be acquired or the drift never settled.
bool run_steps(int addr, int &temp_diff, int &restarts) {
    const int distances = drnu_distances();
    long sensor_sum = 0;
    long board_sum = 0;
    for (int step = 0; step < distances; ++step) {
        sensor_write_byte(addr, kRegDelayStep, static_cast<uint8_t>(step));
        if (calibrationCreateDRNU_LUT(step, calibrateGetDRNUAverage()) != 0)
            return false;
        zr_log(2, "INF", "[%s] gTemperatureDRNU[i]= %d\n", "calibrationDRNU",
               gTemperatureDRNU[step]);
        zr_log(2, "INF", "[%s] gIbTemperatureDRNU[i]= %d\n", "calibrationDRNU",
               gIbTemperatureDRNU[step]);
        sensor_sum += gTemperatureDRNU[step];
        board_sum += gIbTemperatureDRNU[step];
        if (std::abs(gTemperatureDRNU[step] - gTemperatureDRNU[0]) > calibrateGetDRNUDiffTemp()) {
            if (++restarts >= kMaxRuns)
                return false;
            sensor_sum = 0;
            board_sum = 0;
            step = -1;
        }
    }
    gTempCal = static_cast<int>(sensor_sum / distances);
    gTempCalIb = static_cast<int>(board_sum / distances);
    temp_diff = gTemperatureDRNU[distances - 1] - gTemperatureDRNU[0];
    return true;
}

}  // namespace

extern "C" {

int calibrationCreateDRNU_LUT(int step, int numAvrFrames) {
    zr_log(2, "INF", "[%s] calibrationCreateDRNU_LUT: %d  numAvrFrames= %d\n", __func__, step,
           numAvrFrames);
    const int pixels = drnu_pixels();
    const int w = calibrateGetWidth();
    if (step < 0 || step >= drnu_distances() || pixels == 0) {
        zr_log(4, "ERR", "[%s] step %d of %d, image %d x %d\n", __func__, step, drnu_distances(), w,
               calibrateGetHeight());
        return -1;
    }
    std::vector<int32_t> accumulator;
    try {
        accumulator.assign(static_cast<size_t>(pixels), 0);
    } catch (const std::bad_alloc &) {
        zr_log(4, "ERR", "[%s] Malloc failed\n", __func__);
        return -1;
    }
    long sensor_sum = 0;
    long board_sum = 0;
    const int frames =
        acquire_frames(step, std::max(numAvrFrames, 0), accumulator, sensor_sum, board_sum);
    if (frames == 0 && numAvrFrames > 0) {
        zr_log(4, "ERR", "[%s] no frame for step %d\n", __func__, step);
        return -1;
    }
    if (frames > 0) {
        gTemperatureDRNU[step] = static_cast<int16_t>(sensor_sum / frames);
        gIbTemperatureDRNU[step] = static_cast<int16_t>(board_sum / frames);
    }
    const int distances = drnu_distances();
    const int bank = active_bank();
    long long sum = 0;
    for (int p = 0; p < pixels; ++p) {
        const int32_t a = frames > 0 ? accumulator[p] / frames : 0;
        set_bank_value(bank, step, p, distances, static_cast<uint16_t>(std::clamp(a, 0, 0xFFFF)));
        g_reference[p] = a;
        sum += a;
    }
    if (step == 0)
        offsetDRNU = static_cast<int>(sum / pixels);
    const double step_lsb = delay_step_lsb(gTemperatureDRNU[step]);
    for (int p = 0; p < pixels; ++p) {
        const int row = p / w;
        const int col = p % w;
        drnuLut[step][row][col] = round_away(g_reference[p] - offsetDRNU - step * step_lsb);
        if (row < 2 && col >= 10 && col <= 14)
            print(1, 2,
                  "value= %d  pMem[%d]= %d  drnuLut[%d]= %d  offset= %d stepLSB= %2.2f  temp= "
                  "%d\n",
                  g_reference[p], p, g_reference[p], step, drnuLut[step][row][col], offsetDRNU,
                  step_lsb, gTemperatureDRNU[step]);
    }
    return 0;
}

int calibrationDRNU(void) {
    if (drnu_pixels() == 0 || drnu_distances() == 0) {
        zr_log(4, "ERR", "[%s] no calibration image size or no steps\n", __func__);
        return -1;
    }
    const int addr = sensor_address();
    const RunSettings saved = prepare_run(addr);
    bool ok = true;
    double calibrated_step = gStepCalMM;
    if (calibrateGetDRNUDiffTemp() < 1000) {
        int temp_diff = 0;
        int runs = 0;
        do {
            if (!run_steps(addr, temp_diff, runs)) {
                zr_log(4, "ERR", "[%s] calibration stopped after %d runs\n", __func__, runs + 1);
                ok = false;
                break;
            }
            update_bank_extremes(active_bank(), drnu_pixels(), drnu_distances());
            const double f = frequency();
            calibrated_step = delay_step_lsb(gTempCal) * speed_div2() / f / 30000.0;
            zr_log(2, "INF", "[%s] tempDiff= %d  gTempCal= %d  count= %d, gIbTemp:%d\n", __func__,
                   temp_diff, gTempCal, runs, gTempCalIb);
            calibrationSaveDistanceImages();
            calibrationTestStep();
        } while (std::abs(temp_diff) > calibrateGetDRNUDiffTemp() && ++runs < kMaxRuns);
        if (ok && std::abs(temp_diff) > calibrateGetDRNUDiffTemp()) {
            zr_log(4, "ERR", "[%s] temperature never settled within %d\n", __func__,
                   calibrateGetDRNUDiffTemp());
            ok = false;
        }
    }
    if (ok) {
        calibrationSaveTemperatureDRNU();
        calibrationDRNU_FromFile(static_cast<int>(calibrated_step * 10.0));
        if (auto_renew() == 1)
            zr_log(2, "INF", "[%s] Find best step value : OK\n", __func__);
    }
    restore_run(addr, saved);
    if (ok)
        construct_calib_param_package();
    return ok ? 0 : -1;
}

int calibrationDRNU_FromFile(int stepTenthMM) {
    const double range = range_mm_u16();
    if (drnu_pixels() == 0 || drnu_distances() == 0 || range <= 0.0) {
        zr_log(4, "ERR", "[%s] no calibration images\n", __func__);
        return -1;
    }
    gStepCalMM = stepTenthMM / 10.0;
    calibrationLoadTemperatureDRNU();
    const double step_lsb = gStepCalMM * 30000.0 / range;
    offsetDRNU = bank_step_mean(0);
    if (configGetPrint() > 1)
        zr_log(2, "INF", "[%s] gStepCalMM= %2.4f, stepLSB= %2.2f offsetDRNU= %d\n", __func__,
               gStepCalMM, step_lsb, offsetDRNU);
    derive_lut(step_lsb);
    calibrationSaveDRNU_LUT();
    step_average_variance(__func__, 2);
    return 0;
}

calibrationDRNUSummary *calibrateRenewDRNU(int stepTenthMM) {
    if (stepTenthMM < 0)
        auto_renew();
    if (stepTenthMM <= 0)
        stepTenthMM = static_cast<int>(gStepCalMM * 10.0);
    calibrationLoadDistanceImages(active_bank());
    calibrationDRNU_FromFile(stepTenthMM);
    calibrationLoadTemperatureDRNU();
    fill_summary();
    calibrationTestStep();
    construct_calib_param_package();
    return &g_summary;
}

calibrationDRNUSummary *calibrateShowDRNU(void) {
    step_average_variance(__func__, 2);
    calibrationLoadTemperatureDRNU();
    fill_summary();
    return &g_summary;
}

int calibrationChangeDRNU_LUT(int index) {
    if (index != 0 && index != 1)
        return -1;
    const DrnuParams &p = stored_params(index);
    gStepCalMM = p.step_mm;
    gTempCal = p.temp_cal;
    gTempCalIb = p.temp_cal_ib;
    offsetDRNU = p.offset;
    return 0;
}

int calibrationUpdateFrequency(void) {
    if (calculationGetEnableDRNU() == 0)
        return 0;
    calibrationChangeDRNU_LUT(active_bank());
    const int max_cm = static_cast<int>(
        unambiguous_range(speed_div2(), configGetModulationFrequency(), true) & 0xFFFFu);
    if (max_cm == 0)
        return 0;
    const double box_lsb = 885000.0 / max_cm;
    const int offset = static_cast<int>(box_lsb - offsetDRNU);
    print(1, 1,
          "offsetDRNU= %d  maxDistanceCM= %d  boxLSB= %2.4f newOffsetLSB= %d gStepCalMM = %2.4f\n",
          offsetDRNU, max_cm, box_lsb, offset, gStepCalMM);
    calibrationSetOffsetPhase(offset);
    calibrationSetDefaultOffsetPhase(offset);
    return 0;
}

double calibrationFindLine(int step) {
    if (step < 0 || step >= kMaxDistances)
        return 0.0;
    return (lut_plane_mean(step) - lut_plane_mean(0)) / (step + 1);
}

int calibrationLinearRegresion(double *slope, double *intercept) {
    if (slope == nullptr || intercept == nullptr)
        return -1;
    const int w = calibrateGetWidth();
    const int h = calibrateGetHeight();
    const int distances = drnu_distances();
    const double n = static_cast<double>(distances) * drnu_pixels();
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (int s = 0; s < distances; ++s) {
        const double plane_sum = lut_plane_mean(s) * w * h;
        sx += static_cast<double>(s) * w * h;
        sxx += static_cast<double>(s) * s * w * h;
        sy += plane_sum;
        sxy += s * plane_sum;
    }
    const double denom = sxx * n - sx * sx;
    *slope = denom != 0.0 ? (sxy * n - sx * sy) / denom : 0.0;
    *intercept = n > 0.0 ? (sy - sx * *slope) / n : 0.0;
    return 0;
}

int calibrationCorrectDRNU_LUT(double slope, double intercept) {
    const int w = calibrateGetWidth();
    const int pixels = drnu_pixels();
    for (int s = 0; s < drnu_distances(); ++s) {
        const double line = s * slope + intercept;
        for (int p = 0; p < pixels; ++p) {
            int32_t &v = drnuLut[s][p / w][p % w];
            v = static_cast<int32_t>(v - line);
        }
    }
    return 0;
}

int calibrationErrorCurveEndIndex(void) {
    return gStepCalMM > 0.0 ? round_away(15000.0 / gStepCalMM) : 0;
}

int calibrationTestStep(void) {
    const int org = sensor_read_byte(sensor_address(), kRegDelayCalibration);
    const double f = frequency();
    if (f <= 0.0)
        return 0;
    const double step_lsb = gStepCalMM * 30000.0 * f / speed_div2();
    const double new_cal =
        step_lsb / (450000.0 / (speed_div2() / (f * 10.0))) - (gTempCal - 270) * 0.00395 / 10.0;
    const int new_reg = static_cast<int>((new_cal - 1.8) / 0.003 + 128);
    const double org_cal = (org - 128) * 0.003 + 1.8;
    zr_log(2, "INF",
           "[%s] orgDelCal= %d  newDelCal= %d  delayCalOrg= %2.4f  delayCalNew= %2.4f  gStepCalMM= "
           "%2.4f  stepLSB= %2.4f\n",
           __func__, org, new_reg, org_cal, new_cal, gStepCalMM, step_lsb);
    return 0;
}

int calibrationSetOffset(double cm) {
    const double f = frequency();
    if (f <= 0.0)
        return 0;
    calibrationSetOffsetPhase(static_cast<int>(cm * 30000.0 / (speed_div2() / f / 10.0)));
    return 0;
}

double calibrationGetOffset(void) {
    const double f = frequency();
    if (f <= 0.0)
        return 0.0;
    return calibrationGetDefaultOffsetPhase() / 30000.0 * speed_div2() / f / 10.0;
}

}  // extern "C"
