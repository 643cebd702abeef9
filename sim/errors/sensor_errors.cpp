#include "errors/sensor_errors.h"

#include <cmath>
#include <random>

namespace tarvo::vcam {

Temperatures temperatures_at(const TemperatureDrift &drift, double seconds) {
    Temperatures t;
    t.chip = static_cast<int16_t>(std::lround(drift.chip + drift.chip_per_s * seconds));
    t.ib = static_cast<int16_t>(std::lround(drift.ib + drift.ib_per_s * seconds));
    return t;
}

double delay_step_ns(uint8_t reg_e9, double chip_tenths) {
    const double calibration = reg_e9 == 0xFF ? 1.8 : (reg_e9 - 128) * 0.003 + 1.8;
    return (chip_tenths - 270.0) * 0.00395 / 10.0 + calibration;
}

double delay_step_m(uint8_t reg_e9, double chip_tenths) {
    return delay_step_ns(reg_e9, chip_tenths) * 1e-9 * scene::kSpeedOfLight / 2.0;
}

SensorErrors::SensorErrors(const SensorErrorConfig &config, int width, int height)
    : width_(width),
      height_(height),
      harmonic_(config.cyclic_harmonic),
      cyclic_m_(config.cyclic_error_mm / 1000.0),
      offsets_m_(static_cast<size_t>(width) * height, 0.0) {
    if (config.pixel_error_mm <= 0.0)
        return;
    std::mt19937 rng(config.seed);
    std::normal_distribution<double> gauss(0.0, config.pixel_error_mm / 1000.0);
    for (double &o : offsets_m_)
        o = gauss(rng);
}

bool SensorErrors::set_pixel_offsets(std::vector<double> offsets_m) {
    if (offsets_m.size() != static_cast<size_t>(width_) * height_)
        return false;
    offsets_m_ = std::move(offsets_m);
    return true;
}

double SensorErrors::measured(int p, double d_m, double shift_m, double f_khz) const {
    const double range = scene::unambiguous_range_m(f_khz);
    const double offset =
        p >= 0 && static_cast<size_t>(p) < offsets_m_.size() ? offsets_m_[p] : 0.0;
    const double seen = d_m + offset + shift_m;
    return seen + cyclic_m_ * std::sin(2.0 * M_PI * harmonic_ * seen / range);
}

void SensorErrors::apply(const scene::Scene &truth, const scene::SensorModel &model, double shift_m,
                         scene::PixelSignal &signal) const {
    for (size_t p = 0; p < truth.distance_m.size() && p < signal.phase_rad.size(); ++p) {
        const double d = truth.distance_m[p];
        if (d <= 0.0 || truth.reflectivity[p] <= 0.0)
            continue;
        // Only the phase counts, so a distance that fell below zero needs no wrapping.
        const double seen = measured(static_cast<int>(p), d, shift_m, model.modulation_khz);
        signal.phase_rad[p] = scene::phase_rad(model, seen);
    }
}

}  // namespace tarvo::vcam
