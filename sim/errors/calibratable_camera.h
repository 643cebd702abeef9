// A virtual camera that can be calibrated: it streams a scene through the sensor's error models,
// rendering every frame anew from the sensor's registers at that moment (the delay step 0x73,
// the delay calibration 0xE9, the modulation clock 0x80/0x81/0x82/0x85) and the drifting
// temperatures, which it reports in each frame header and as parameter 15 (four chip sensor
// values and the illumination board, tenths of a degree).
//
// Thread context: thread-safe. Frames are made on the camera's producer thread; tests change
// the scene and the errors from their own thread.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "errors/sensor_errors.h"
#include "scene.h"
#include "sensor/epc_sensor.h"
#include "vcam.h"

namespace tarvo::vcam {

inline constexpr uint8_t kParamTemperatures = 15;
inline constexpr uint8_t kRegDelayStep = 0x73;
inline constexpr uint8_t kRegDelayCalibration = 0xE9;

struct CalibratableConfig {
    scene::Camera camera;
    scene::SensorModel model;
    SensorErrorConfig errors;
    TemperatureDrift drift;
};

class CalibratableCamera {
  public:
    CalibratableCamera(std::weak_ptr<Camera> camera, std::shared_ptr<EpcSensor> sensor,
                       const CalibratableConfig &config, scene::Scene truth);

    void set_scene(scene::Scene truth);
    // Restarts the drift from its start values.
    void set_drift(const TemperatureDrift &drift);
    bool set_pixel_offsets(std::vector<double> offsets_m);
    void set_cyclic_error_mm(double mm);
    void set_noise(double adc_counts);

    const std::shared_ptr<EpcSensor> &sensor() const { return sensor_; }
    Temperatures temperatures() const;
    double modulation_khz() const;
    // Distance by which the delay step now in register 0x73 shifts the phase.
    double delay_shift_m() const;
    // What pixel p at true distance d_m measures now (delay line included).
    double measured_m(int p, double d_m) const;
    // The four DCS planes the camera sends now, in read-out order. The noise is the same in
    // every frame, as the frames of a still scene are.
    std::vector<uint16_t> render() const;
    // The next frame as stream packets; also refreshes parameter 15. A frame is rendered only
    // when something it depends on changed since the last one.
    std::shared_ptr<const std::vector<uint8_t>> next_frame(uint32_t seq);

  private:
    // Everything a rendered frame depends on besides the scene and the errors.
    struct RenderKey {
        uint8_t registers[6] = {};
        Temperatures temperatures;
        uint64_t version = 0;
        bool operator==(const RenderKey &o) const;
    };
    RenderKey key_now() const;
    std::vector<uint16_t> render_locked() const;
    Temperatures temperatures_locked() const;
    double delay_shift_locked(const Temperatures &t) const;
    void publish_temperatures(const Temperatures &t) const;

    mutable std::mutex mu_;
    std::weak_ptr<Camera> camera_;
    std::shared_ptr<EpcSensor> sensor_;
    scene::Camera geometry_;
    scene::SensorModel model_;
    SensorErrors errors_;
    TemperatureDrift drift_;
    std::chrono::steady_clock::time_point drift_start_;
    scene::Scene truth_;
    uint64_t version_ = 0;  // counts changes of the scene, the errors and the noise
    bool cached_ = false;
    RenderKey cached_key_;
    std::vector<uint8_t> cached_frame_;
};

// Frames of `camera` for a frame-rate driven stream (alone, or as the time-of-flight frames of
// a stream that follows the camera's mode).
std::shared_ptr<FrameGenerator> make_calibratable_frames(
    std::shared_ptr<CalibratableCamera> camera);

// Installs an EPC sensor (part type 2) and a calibratable stream on `camera`, showing `truth`.
std::shared_ptr<CalibratableCamera> install_calibratable_camera(
    const std::shared_ptr<Camera> &camera, const CalibratableConfig &config, scene::Scene truth);

}  // namespace tarvo::vcam
