// Temporal Kalman filtering of distance images: a fixed-gain filter, a filter driven by each
// pixel's running variance, and a gain that adapts to the frame-to-frame change.
#include <tarvo/epc_calc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "epc/config_state.h"
#include "epc/pipeline_common.h"

using tarvo::epc::kMaxPixels;

namespace {

struct KalmanParams {
    int mode = 0;
    double k = 0.1;
    double max_gain = 0.1;
    double kdiff = 0.1;
    double q = 2.0;
    int threshold_fixed = 500;
    int threshold_variance = 500;
    int num_check = 0;
    double gain = 1.0;
};

struct KalmanPixels {
    double last_input[kMaxPixels];
    double estimate[kMaxPixels];
    double last_valid[kMaxPixels];
    double covariance[kMaxPixels];
    int check_counter[kMaxPixels];
    int samples[kMaxPixels];
    double sum[kMaxPixels];
    double sum_sq[kMaxPixels];
    double last_raw[kMaxPixels];
    uint8_t past_first[kMaxPixels];
};

constexpr int kTracedPixel = 4500;

KalmanParams g_kp;
KalmanPixels g_px;

bool pixel_ok(int i) {
    return i >= 0 && i < kMaxPixels;
}

void reset_pixels() {
    std::memset(&g_px, 0, sizeof g_px);
    // A negligible positive covariance, so the first gain is defined.
    std::memset(g_px.covariance, 0x01, sizeof g_px.covariance);
}

[[maybe_unused]] const bool g_pixels_reset = (reset_pixels(), true);

}  // namespace

extern "C" {

int calculationEnableKalman(int mode) {
    g_kp.mode = mode;
    std::memset(g_px.samples, 0, sizeof g_px.samples);
    return mode;
}

double calculationSetKalmanK(double k) {
    g_kp.k = k;
    g_kp.max_gain = k;
    return k;
}
double calculationSetKalmanKdiff(double kdiff) {
    return g_kp.kdiff = kdiff;
}
double calculationSetKalmanQ(double q) {
    return g_kp.q = q;
}
int calculationSetKalmanThreshold(int which, int value) {
    if (which == 1)
        g_kp.threshold_fixed = value;
    else
        g_kp.threshold_variance = value;
    return value;
}
int calculationSetKalmanNumCheck(int numCheck) {
    return g_kp.num_check = numCheck;
}

int calculationInitKalman(void) {
    reset_pixels();
    return 0;
}

double calculationSimpleKalmanFilter(double value, int pixel, double gain) {
    if (!pixel_ok(pixel))
        return value;
    int counter = std::fabs(value - g_px.last_input[pixel]) < g_kp.threshold_fixed
                      ? g_px.check_counter[pixel] + 1
                      : 0;
    g_px.last_input[pixel] = value;
    g_px.check_counter[pixel] = counter;
    double &estimate = g_px.estimate[pixel];
    estimate = (1.0 - gain) * estimate + gain * value;
    if (counter >= g_kp.num_check) {
        counter = g_kp.num_check;
        g_px.check_counter[pixel] = counter;
        // A jump larger than the threshold is a new object, not noise: follow it at once.
        if (std::fabs(value - g_px.last_valid[pixel]) > g_kp.threshold_fixed)
            estimate = value;
        g_px.last_valid[pixel] = value;
    }
    if (pixel == kTracedPixel)
        print(1, 2, "print test 4500 NumCheck: %d gThresholdCheck[4500]: %d  leastValid: %2.4f \n",
              g_kp.num_check, g_px.check_counter[pixel], g_px.last_valid[pixel]);
    return estimate;
}

double calculationKalmanFilter(double value, int pixel, double q, double variance) {
    if (!pixel_ok(pixel))
        return value;
    const double p_pred = g_px.covariance[pixel] + q;
    const double denominator = variance + p_pred;
    // Without uncertainty on either side there is nothing to blend.
    const double gain = denominator > 0.0 ? p_pred / denominator : 0.0;
    const double p_new = p_pred * (1.0 - gain);
    const double threshold = g_px.samples[pixel] > 10 ? 6.0 * std::sqrt(std::max(variance, 0.0))
                                                      : g_kp.threshold_variance;
    const double previous = g_px.estimate[pixel];
    const double x = previous + gain * (value - previous);
    double result = x;
    const bool close = std::fabs(value - previous) < threshold;
    if (g_kp.num_check == 0) {
        if (close) {
            g_px.last_valid[pixel] = x;
        } else {
            g_px.last_valid[pixel] = value;
            g_px.check_counter[pixel] = 0;
            g_px.samples[pixel] = -1;
            result = value;
        }
    } else if (close) {
        const int counter = g_px.check_counter[pixel] + 1;
        if (counter >= g_kp.num_check) {
            g_px.check_counter[pixel] = 0;
            if (std::fabs(g_px.last_valid[pixel] - value) < threshold) {
                g_px.last_valid[pixel] = x;
            } else {
                g_px.last_valid[pixel] = value;
                g_px.samples[pixel] = -1;
                result = value;
            }
        } else {
            g_px.check_counter[pixel] = counter;
        }
    } else {
        g_px.check_counter[pixel] = 0;
    }
    g_px.covariance[pixel] = p_new;
    g_px.estimate[pixel] = result;
    return result;
}

double calculationVariance(double value, int count, int pixel) {
    if (!pixel_ok(pixel))
        return 0.0;
    if (count == 0) {
        g_px.sum[pixel] = 0.0;
        g_px.sum_sq[pixel] = 0.0;
        return 0.0;
    }
    g_px.sum[pixel] += value;
    g_px.sum_sq[pixel] += value * value;
    if (count > 1)
        return (g_px.sum_sq[pixel] - g_px.sum[pixel] * g_px.sum[pixel] / count) / (count - 1);
    return 0.0;
}

int calculationFalmanFiltering(uint16_t *image) {
    if (g_kp.mode == 0 || image == nullptr)
        return 0;
    tarvo::epc::Geometry g;
    if (!tarvo::epc::distance_geometry(g, __func__))
        return -1;
    for (int i = 0; i < g.pixels; ++i) {
        const double v = image[i];
        if (v > 29999)
            continue;
        double result = v;
        if (g_kp.mode == 1) {
            result = calculationSimpleKalmanFilter(v, i, g_kp.k);
        } else if (g_kp.mode == 2) {
            double variance = 0.0;
            const int count = g_px.samples[i];
            if (count == 0) {
                g_px.sum[i] = 0.0;
                g_px.sum_sq[i] = 0.0;
            } else {
                g_px.sum[i] += v;
                g_px.sum_sq[i] += v * v;
                if (count >= 2)
                    variance = (g_px.sum_sq[i] - g_px.sum[i] * g_px.sum[i] / count) / (count - 1);
            }
            result = calculationKalmanFilter(v, i, g_kp.q, variance);
            ++g_px.samples[i];
        } else if (g_kp.mode == 3) {
            if (g_px.past_first[i]) {
                const double d = g_px.last_raw[i] - v;
                g_kp.gain =
                    d == 0.0 ? g_kp.max_gain : std::min(g_kp.kdiff / std::fabs(d), g_kp.max_gain);
            } else {
                g_kp.gain = 1.0;
            }
            g_px.last_raw[i] = v;
            if (i == kTracedPixel)
                print(1, 2, "set gK 4500: %2.4f \n", g_kp.gain);
            result = calculationSimpleKalmanFilter(v, i, g_kp.gain);
            g_px.past_first[i] = 1;
        }
        // The filtered value is a phase of the same period; a gain above 1 must not push it
        // out of range (or into the codes).
        if (!std::isfinite(result))
            result = v;
        image[i] = static_cast<uint16_t>(
            std::clamp(tarvo::epc::round_away(std::clamp(result, -1e9, 1e9)), 0, 29999));
    }
    return 0;
}

int calculationInterpolate(double x, double x0, double y0, double x1, double dy) {
    if (x1 == x0)
        return tarvo::epc::round_away(y0);
    return tarvo::epc::round_away(y0 + dy * (x - x0) / (x1 - x0));
}

}  // extern "C"
