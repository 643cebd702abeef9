// A virtual camera that can be calibrated: the scene stream (frames/camera_frames.h) with the
// sensor's error models as its sensor stage. Every frame is made under the sensor's registers
// at that moment (the delay step 0x73, the delay calibration 0xE9, the modulation clock
// 0x80/0x81/0x82/0x85) and the drifting temperatures, which the stage reports in each frame
// header and as parameter 15 (four chip sensor values and the illumination board, tenths of a
// degree).
//
// Thread context: thread-safe. Frames are made on the camera's producer thread; tests change
// the scene and the errors from their own thread.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "errors/sensor_errors.h"
#include "frames/camera_frames.h"
#include "scene.h"
#include "sensor/epc_sensor.h"
#include "vcam.h"

namespace tarvo::vcam {

inline constexpr uint8_t kParamTemperatures = 15;
inline constexpr uint8_t kRegDelayStep = 0x73;
inline constexpr uint8_t kRegDelayCalibration = 0xE9;

// The sensor's clock, delay line, temperatures and distance errors as a stage of the scene
// stream.
class SensorErrorStage final : public SensorStage {
  public:
    SensorErrorStage(std::weak_ptr<Camera> camera, std::shared_ptr<EpcSensor> sensor,
                     SensorErrors errors, const TemperatureDrift &drift);

    // Restarts the drift from its start values.
    void set_drift(const TemperatureDrift &drift);
    bool set_pixel_offsets(std::vector<double> offsets_m);
    void set_cyclic_error_mm(double mm);

    const std::shared_ptr<EpcSensor> &sensor() const { return sensor_; }
    // The error models as they are now.
    SensorErrors errors() const;
    Temperatures temperatures() const;
    double modulation_khz() const;
    // Distance by which the delay step now in register 0x73 shifts the phase.
    double delay_shift_m() const;
    // What pixel p at true distance d_m measures now (delay line included).
    double measured_m(int p, double d_m) const;

    SensorConditions begin_frame() override;
    void apply(const SensorConditions &now, const scene::Scene &truth,
               const scene::SensorModel &model, scene::PixelSignal &signal) const override;

  private:
    Temperatures temperatures_locked() const;
    double delay_shift_locked(const Temperatures &t) const;
    void publish_temperatures(const Temperatures &t) const;

    mutable std::mutex mu_;
    std::weak_ptr<Camera> camera_;
    std::shared_ptr<EpcSensor> sensor_;
    SensorErrors errors_;
    uint64_t revision_ = 0;  // counts changes of the errors
    TemperatureDrift drift_;
    std::chrono::steady_clock::time_point drift_start_;
};

struct CalibratableConfig {
    scene::Camera camera;
    scene::SensorModel model;
    SensorErrorConfig errors;
    TemperatureDrift drift;
};

// The scene stream of a camera and its sensor stage, for tests that change both.
class CalibratableCamera {
  public:
    CalibratableCamera(std::weak_ptr<Camera> camera, std::shared_ptr<EpcSensor> sensor,
                       const CalibratableConfig &config, scene::Scene truth);

    // The camera's time-of-flight frames.
    const std::shared_ptr<SceneFrames> &frames() const { return frames_; }
    const std::shared_ptr<SensorErrorStage> &stage() const { return stage_; }
    const std::shared_ptr<EpcSensor> &sensor() const { return stage_->sensor(); }

    void set_scene(scene::Scene truth) { frames_->set_scene(std::move(truth)); }
    void set_noise(double adc_counts) { frames_->set_noise(adc_counts); }
    void set_drift(const TemperatureDrift &drift) { stage_->set_drift(drift); }
    bool set_pixel_offsets(std::vector<double> offsets_m) {
        return stage_->set_pixel_offsets(std::move(offsets_m));
    }
    void set_cyclic_error_mm(double mm) { stage_->set_cyclic_error_mm(mm); }
    Temperatures temperatures() const { return stage_->temperatures(); }
    double delay_shift_m() const { return stage_->delay_shift_m(); }
    double measured_m(int p, double d_m) const { return stage_->measured_m(p, d_m); }

  private:
    std::shared_ptr<SensorErrorStage> stage_;
    std::shared_ptr<SceneFrames> frames_;
};

// Installs an EPC sensor (part type 2) and a calibratable stream on `camera`, showing `truth`.
std::shared_ptr<CalibratableCamera> install_calibratable_camera(
    const std::shared_ptr<Camera> &camera, const CalibratableConfig &config, scene::Scene truth);

}  // namespace tarvo::vcam
