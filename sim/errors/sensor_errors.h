// Distance errors of a time-of-flight sensor, applied to what the sensor measures of a scene:
//   - a fixed offset per pixel (fixed-pattern distance error), normally distributed with a
//     settable standard deviation, or set pixel by pixel;
//   - a cyclic error over the phase: amplitude x sin(harmonic x phase), the shape the
//     correlation's harmonics give;
//   - the sensor's delay line: delay step k (register 0x73) shifts the phase by k steps of
//     ((T - 270) x 0.000395 + (r - 128) x 0.003 + 1.8) ns, with T the chip temperature (tenths of
//     a degree) and r the delay calibration register 0xE9 (0xFF: 1.8 ns);
// and the chip and illumination-board temperatures, which drift at a settable rate.
//
// The errors move the phase only: the amplitude stays that of the true distance.
#pragma once

#include <cstdint>
#include <vector>

#include "scene.h"

namespace tarvo::vcam {

struct SensorErrorConfig {
    double pixel_error_mm = 0.0;   // standard deviation of the per-pixel offsets
    double cyclic_error_mm = 0.0;  // amplitude of the cyclic error
    int cyclic_harmonic = 4;       // periods of the cyclic error per modulation period
    uint32_t seed = 11;            // of the per-pixel offsets
};

// Temperatures in tenths of a degree: start values and their drift per second.
struct TemperatureDrift {
    double chip = 400.0;
    double ib = 384.0;
    double chip_per_s = 0.0;
    double ib_per_s = 0.0;
};

struct Temperatures {
    int16_t chip = 0;
    int16_t ib = 0;
};

// Temperatures `seconds` after the drift's start.
Temperatures temperatures_at(const TemperatureDrift &drift, double seconds);

// Delay of one delay-line step in ns for calibration register value `reg_e9` at chip
// temperature `chip_tenths`.
double delay_step_ns(uint8_t reg_e9, double chip_tenths);
// The same as a distance in metres.
double delay_step_m(uint8_t reg_e9, double chip_tenths);

class SensorErrors {
  public:
    SensorErrors(const SensorErrorConfig &config, int width, int height);

    // Replaces the per-pixel offsets (metres, width x height); a pattern of another size is
    // ignored and false returned.
    bool set_pixel_offsets(std::vector<double> offsets_m);
    const std::vector<double> &pixel_offsets() const { return offsets_m_; }
    void set_cyclic_amplitude_mm(double mm) { cyclic_m_ = mm / 1000.0; }
    double cyclic_amplitude_mm() const { return cyclic_m_ * 1000.0; }

    // The distance pixel `p` at true distance d_m appears at, shifted by `shift_m` (the delay
    // line), at modulation frequency f_khz.
    double measured(int p, double d_m, double shift_m, double f_khz) const;

    // Moves the phase of every pixel of `truth` that returns light to that of the distance it
    // appears at; the amplitude stays that of the true distance.
    void apply(const scene::Scene &truth, const scene::SensorModel &model, double shift_m,
               scene::PixelSignal &signal) const;

  private:
    int width_;
    int height_;
    int harmonic_;
    double cyclic_m_;
    std::vector<double> offsets_m_;
};

}  // namespace tarvo::vcam
