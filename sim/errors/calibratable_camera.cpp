#include "errors/calibratable_camera.h"

namespace tarvo::vcam {
namespace {

// Modulation frequency the clock registers select: 36 MHz with 0x80 = 0x7F, else the system
// clock divided by 4 x (divider + 1).
double frequency_of(const EpcSensor &sensor) {
    if (sensor.reg(0x80) == 0x7F)
        return 36000.0;
    const int sysclk = ((sensor.reg(0x82) & 0x1F) * 4000 + 4000) >> ((sensor.reg(0x81) >> 4) & 3);
    return sysclk / (4.0 * ((sensor.reg(0x85) & 0x1F) + 1));
}

}  // namespace

SensorErrorStage::SensorErrorStage(std::weak_ptr<Camera> camera, std::shared_ptr<EpcSensor> sensor,
                                   SensorErrors errors, const TemperatureDrift &drift)
    : camera_(std::move(camera)),
      sensor_(std::move(sensor)),
      errors_(std::move(errors)),
      drift_(drift),
      drift_start_(std::chrono::steady_clock::now()) {
    publish_temperatures(temperatures_at(drift_, 0.0));
}

void SensorErrorStage::set_drift(const TemperatureDrift &drift) {
    std::lock_guard lk(mu_);
    drift_ = drift;
    drift_start_ = std::chrono::steady_clock::now();
}

bool SensorErrorStage::set_pixel_offsets(std::vector<double> offsets_m) {
    std::lock_guard lk(mu_);
    ++revision_;
    return errors_.set_pixel_offsets(std::move(offsets_m));
}

void SensorErrorStage::set_cyclic_error_mm(double mm) {
    std::lock_guard lk(mu_);
    ++revision_;
    errors_.set_cyclic_amplitude_mm(mm);
}

SensorErrors SensorErrorStage::errors() const {
    std::lock_guard lk(mu_);
    return errors_;
}

Temperatures SensorErrorStage::temperatures_locked() const {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - drift_start_;
    return temperatures_at(drift_, elapsed.count());
}

Temperatures SensorErrorStage::temperatures() const {
    std::lock_guard lk(mu_);
    return temperatures_locked();
}

double SensorErrorStage::modulation_khz() const {
    return frequency_of(*sensor_);
}

double SensorErrorStage::delay_shift_locked(const Temperatures &t) const {
    return sensor_->reg(kRegDelayStep) * delay_step_m(sensor_->reg(kRegDelayCalibration), t.chip);
}

double SensorErrorStage::delay_shift_m() const {
    std::lock_guard lk(mu_);
    return delay_shift_locked(temperatures_locked());
}

double SensorErrorStage::measured_m(int p, double d_m) const {
    std::lock_guard lk(mu_);
    return errors_.measured(p, d_m, delay_shift_locked(temperatures_locked()), modulation_khz());
}

void SensorErrorStage::publish_temperatures(const Temperatures &t) const {
    const auto camera = camera_.lock();
    if (!camera)
        return;
    std::vector<uint8_t> value;
    for (int16_t v : {t.chip, t.chip, t.chip, t.chip, t.ib}) {
        value.push_back(static_cast<uint8_t>(v));
        value.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
    camera->set_param(kParamTemperatures, value);
}

SensorConditions SensorErrorStage::begin_frame() {
    std::unique_lock lk(mu_);
    const Temperatures t = temperatures_locked();
    SensorConditions now;
    now.modulation_khz = modulation_khz();
    now.temp_chip = t.chip;
    now.temp_ib = t.ib;
    now.delay_shift_m = delay_shift_locked(t);
    now.revision = revision_;
    lk.unlock();
    publish_temperatures(t);
    return now;
}

void SensorErrorStage::apply(const SensorConditions &now, const scene::Scene &truth,
                             const scene::SensorModel &model, scene::PixelSignal &signal) const {
    std::lock_guard lk(mu_);
    errors_.apply(truth, model, now.delay_shift_m, signal);
}

CalibratableCamera::CalibratableCamera(std::weak_ptr<Camera> camera,
                                       std::shared_ptr<EpcSensor> sensor,
                                       const CalibratableConfig &config, scene::Scene truth)
    : stage_(std::make_shared<SensorErrorStage>(
          camera, std::move(sensor),
          SensorErrors(config.errors, config.camera.width, config.camera.height), config.drift)) {
    SceneStreamConfig stream;
    stream.scene = std::move(truth);
    stream.model = config.model;
    stream.sensor = stage_;
    stream.frames.width = static_cast<uint16_t>(config.camera.width);
    stream.frames.height = static_cast<uint16_t>(config.camera.height);
    frames_ = make_scene_frames(std::move(camera), std::move(stream));
}

std::shared_ptr<CalibratableCamera> install_calibratable_camera(
    const std::shared_ptr<Camera> &camera, const CalibratableConfig &config, scene::Scene truth) {
    auto sensor = install_epc_sensor(*camera);
    auto calibratable =
        std::make_shared<CalibratableCamera>(camera, sensor, config, std::move(truth));
    camera->set_stream_source(make_frame_source(calibratable->frames()));
    return calibratable;
}

}  // namespace tarvo::vcam
