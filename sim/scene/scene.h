// A scene renderer for the time-of-flight sensor: a known scene (radial distance and
// reflectivity per pixel, seen through the camera's lens) becomes the four DCS planes the
// sensor would deliver, in its read-out order, by the correlation model
//
//     DCS_k = offset + A cos(phase - k x 90 degrees),  phase = 4 pi f d / c,
//
// with the amplitude A falling with the square of the distance and growing with reflectivity
// and integration time, plus ambient light, noise and the ADC's clipping.
#pragma once

#include <cstdint>
#include <string>
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

// The camera's lens: a pinhole looking along +z with radial (k1, k2, k3) and tangential (p1, p2)
// distortion, the library's default lens parameters. Pixel (u, v) sees the ray whose
// distorted projection lands on (u, v).
struct Camera {
    int width = 320;
    int height = 240;
    double cx = 157.262;
    double cy = 122.083;
    double fx = 210.783;
    double fy = 204.817;
    double k1 = -0.378924;
    double k2 = 0.145035;
    double p1 = -0.000970854;
    double p2 = 6.20728e-05;
    double k3 = -0.0133954;
};

// Unit direction of the ray that pixel (u, v) sees.
struct Ray {
    double x, y, z;
};
Ray ray_of(const Camera &cam, double u, double v);

// A wall perpendicular to the optical axis at depth z_m.
Scene flat_wall(const Camera &cam, double z_m, double reflectivity);
// A plane through (0, 0, z_m) turned by tilt_deg about the vertical axis.
Scene tilted_plane(const Camera &cam, double z_m, double tilt_deg, double reflectivity);
// A box (front face at box_z_m, half sizes in metres, centred on the axis) before a wall.
Scene box(const Camera &cam, double wall_z_m, double box_z_m, double half_width_m,
          double half_height_m, double box_depth_m, double box_reflectivity,
          double wall_reflectivity);
// Every pixel at radial distance r_m: a sphere around the camera.
Scene surrounding_sphere(const Camera &cam, double r_m, double reflectivity);
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
    // Phase (units of 30000 per period) that the host's decode adds to what the sensor
    // measures; the sensor measures that much less, so a scene at d decodes to d. The library's
    // decode adds none until distance-image calibration is loaded.
    double decode_offset_units = 0.0;
};

// What the light does at each pixel, in image order, before the sensor's electronics: the
// correlation's phase (radians) and amplitude (ADC counts). Sensor error models act on it
// between the scene and the samples.
struct PixelSignal {
    int width = 0;
    int height = 0;
    std::vector<double> phase_rad;
    std::vector<double> amplitude;
};

// Amplitude the model gives a pixel at distance d_m with reflectivity r.
double amplitude(const SensorModel &m, double d_m, double r);

// Phase in sensor units (30000 per modulation period) of distance d_m, and the distance that a
// phase stands for.
double phase_units(double d_m, double modulation_khz);
double unambiguous_range_m(double modulation_khz);

// Correlation phase (radians, not wrapped) of a target at distance d_m, the decode offset
// taken off.
double phase_rad(const SensorModel &model, double d_m);

// The signal of every pixel of a scene under the model's light and modulation.
PixelSignal scene_signal(const Scene &scene, const SensorModel &model);

// The four DCS planes (4 x width x height samples), each in the sensor's read-out line order:
// offset, ambient light, noise and the ADC's clipping applied to a signal.
std::vector<uint16_t> render_dcs(const PixelSignal &signal, const SensorModel &model);
// Both steps.
std::vector<uint16_t> render_dcs(const Scene &scene, const SensorModel &model);

// The sample word the ADC makes of `value`: rounded, clipped to 0..adc_max, and in the upper
// 12 bits for the epc635's format.
uint16_t adc_word(double value, double adc_max, bool epc635_format);

// Image row that read-out line `line` of a `rows`-row frame fills.
int readout_row(int line, int rows, int halves);

// A scene from its text form, for a camera: "sphere:R" (every pixel at R metres), "wall:Z"
// (a wall at depth Z), "tilted:Z:DEG" (a plane through depth Z turned by DEG degrees about the
// vertical axis) or "box" (a box whose front face is 1.2 m away before a wall at 3 m). Every
// surface reflects `reflectivity` (the box scene's wall 5/8 of it). False, with a message in
// `error`, for text that names no scene or a distance that is not positive.
bool parse_scene(const std::string &spec, const Camera &cam, double reflectivity, Scene &out,
                 std::string &error);

}  // namespace tarvo::scene
