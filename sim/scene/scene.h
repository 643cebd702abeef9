// A scene renderer for the time-of-flight sensor: a known scene (radial distance and
// reflectivity per pixel) becomes the four DCS planes the sensor would deliver, in its read-out
// order, by the correlation model
//
//     DCS_k = offset + A cos(phase - k x 90 degrees),  phase = 4 pi f d / c,
//
// with the amplitude A falling with the square of the distance and growing with reflectivity
// and integration time, plus ambient light, noise and the ADC's clipping.
#pragma once

#include <cstdint>
#include <vector>

namespace tarvo::scene {

constexpr double kSpeedOfLight = 299792458.0;  // m/s

// Per-pixel ground truth, row-major, width x height.
struct Scene {
    int width = 0;
    int height = 0;
    std::vector<double> distance_m;    // radial distance along each pixel's ray; <= 0: no return
    std::vector<double> reflectivity;  // 0..1
};

// Pinhole camera looking along +z; pixel (u, v) sees direction ((u - cx)/f, (v - cy)/f, 1).
struct Camera {
    int width = 320;
    int height = 240;
    double focal_px = 280.0;
    double cx() const { return (width - 1) / 2.0; }
    double cy() const { return (height - 1) / 2.0; }
};

// A wall perpendicular to the optical axis at depth z_m.
Scene flat_wall(const Camera &cam, double z_m, double reflectivity);
// A plane through (0, 0, z_m) turned by tilt_deg about the vertical axis.
Scene tilted_plane(const Camera &cam, double z_m, double tilt_deg, double reflectivity);
// A box (front face at box_z_m, half sizes in metres, centred on the axis) before a wall.
Scene box(const Camera &cam, double wall_z_m, double box_z_m, double half_width_m,
          double half_height_m, double box_depth_m, double box_reflectivity,
          double wall_reflectivity);
// A sphere centred on the optical axis at centre_z_m before a wall.
Scene sphere(const Camera &cam, double wall_z_m, double centre_z_m, double radius_m,
             double sphere_reflectivity, double wall_reflectivity);

struct SensorModel {
    double modulation_khz = 12000.0;
    double integration_us = 700.0;
    // Amplitude (ADC counts) of a white target at 1 m after 1000 us.
    double amplitude_at_1m = 1200.0;
    double offset = 2048.0;      // mid-scale of the correlation
    double ambient = 0.0;        // ambient light, ADC counts added to every sample
    double noise = 0.0;          // read noise, ADC counts (standard deviation)
    double shot_noise = 0.0;     // extra noise per square root of the ambient counts
    double adc_max = 4095.0;     // full scale: samples clip at it (and at 0)
    int halves = 2;              // 2: read from the centre outward (epc660); 1: bottom-up
    bool epc635_format = false;  // value in the upper 12 bits of the sample word
    uint32_t seed = 1;
};

// Amplitude the model gives a pixel at distance d_m with reflectivity r.
double amplitude(const SensorModel &m, double d_m, double r);

// Phase in sensor units (30000 per modulation period) of distance d_m, and the distance that a
// phase stands for.
double phase_units(double d_m, double modulation_khz);
double unambiguous_range_m(double modulation_khz);

// The four DCS planes (4 x width x height samples), each in the sensor's read-out line order.
std::vector<uint16_t> render_dcs(const Scene &scene, const SensorModel &model);

// Image row that read-out line `line` of a `rows`-row frame fills.
int readout_row(int line, int rows, int halves);

}  // namespace tarvo::scene
