#include "errors/calibratable_camera.h"

#include <algorithm>
#include <iterator>

#include "frames/camera_frames.h"
#include "stream_writer/stream_writer.h"

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

class Frames final : public FrameGenerator {
  public:
    explicit Frames(std::shared_ptr<CalibratableCamera> camera) : camera_(std::move(camera)) {}
    std::shared_ptr<const std::vector<uint8_t>> frame(uint32_t seq) override {
        return camera_->next_frame(seq);
    }

  private:
    std::shared_ptr<CalibratableCamera> camera_;
};

}  // namespace

CalibratableCamera::CalibratableCamera(std::weak_ptr<Camera> camera,
                                       std::shared_ptr<EpcSensor> sensor,
                                       const CalibratableConfig &config, scene::Scene truth)
    : camera_(std::move(camera)),
      sensor_(std::move(sensor)),
      geometry_(config.camera),
      model_(config.model),
      errors_(config.errors, config.camera.width, config.camera.height),
      drift_(config.drift),
      drift_start_(std::chrono::steady_clock::now()),
      truth_(std::move(truth)) {
    publish_temperatures(temperatures_at(drift_, 0.0));
}

void CalibratableCamera::set_scene(scene::Scene truth) {
    std::lock_guard lk(mu_);
    ++version_;
    truth_ = std::move(truth);
}

void CalibratableCamera::set_drift(const TemperatureDrift &drift) {
    std::lock_guard lk(mu_);
    drift_ = drift;
    drift_start_ = std::chrono::steady_clock::now();
}

bool CalibratableCamera::set_pixel_offsets(std::vector<double> offsets_m) {
    std::lock_guard lk(mu_);
    ++version_;
    return errors_.set_pixel_offsets(std::move(offsets_m));
}

void CalibratableCamera::set_cyclic_error_mm(double mm) {
    std::lock_guard lk(mu_);
    ++version_;
    errors_.set_cyclic_amplitude_mm(mm);
}

void CalibratableCamera::set_noise(double adc_counts) {
    std::lock_guard lk(mu_);
    ++version_;
    model_.noise = adc_counts;
}

Temperatures CalibratableCamera::temperatures_locked() const {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - drift_start_;
    return temperatures_at(drift_, elapsed.count());
}

Temperatures CalibratableCamera::temperatures() const {
    std::lock_guard lk(mu_);
    return temperatures_locked();
}

double CalibratableCamera::modulation_khz() const {
    return frequency_of(*sensor_);
}

double CalibratableCamera::delay_shift_locked(const Temperatures &t) const {
    return sensor_->reg(kRegDelayStep) * delay_step_m(sensor_->reg(kRegDelayCalibration), t.chip);
}

double CalibratableCamera::delay_shift_m() const {
    std::lock_guard lk(mu_);
    return delay_shift_locked(temperatures_locked());
}

double CalibratableCamera::measured_m(int p, double d_m) const {
    std::lock_guard lk(mu_);
    return errors_.measured(p, d_m, delay_shift_locked(temperatures_locked()), modulation_khz());
}

std::vector<uint16_t> CalibratableCamera::render_locked() const {
    const Temperatures t = temperatures_locked();
    scene::SensorModel model = model_;
    model.modulation_khz = modulation_khz();
    return scene::render_dcs(errors_.apply(truth_, model, delay_shift_locked(t)), model);
}

std::vector<uint16_t> CalibratableCamera::render() const {
    std::lock_guard lk(mu_);
    return render_locked();
}

bool CalibratableCamera::RenderKey::operator==(const RenderKey &o) const {
    return std::equal(std::begin(registers), std::end(registers), std::begin(o.registers)) &&
           temperatures.chip == o.temperatures.chip && temperatures.ib == o.temperatures.ib &&
           version == o.version;
}

CalibratableCamera::RenderKey CalibratableCamera::key_now() const {
    RenderKey key;
    const uint8_t regs[6] = {kRegDelayStep, kRegDelayCalibration, 0x80, 0x81, 0x82, 0x85};
    for (int i = 0; i < 6; ++i)
        key.registers[i] = sensor_->reg(regs[i]);
    key.temperatures = temperatures_locked();
    key.version = version_;
    return key;
}

void CalibratableCamera::publish_temperatures(const Temperatures &t) const {
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

std::shared_ptr<const std::vector<uint8_t>> CalibratableCamera::next_frame(uint32_t seq) {
    std::unique_lock lk(mu_);
    const RenderKey key = key_now();
    if (!cached_ || !(key == cached_key_)) {
        CameraFramesConfig frames;
        frames.width = static_cast<uint16_t>(geometry_.width);
        frames.height = static_cast<uint16_t>(geometry_.height);
        frames.samples = std::make_shared<const std::vector<uint16_t>>(render_locked());
        cached_frame_ = expected_frame(frames, seq);
        cached_key_ = key;
        cached_ = true;
    }
    const Temperatures t = key.temperatures;
    StreamWriterConfig writer_config;
    writer_config.first_fridx = static_cast<uint16_t>(seq);
    writer_config.meta.frfmt = kFormatDcs4;
    writer_config.meta.width = static_cast<uint16_t>(geometry_.width);
    writer_config.meta.height = static_cast<uint16_t>(geometry_.height);
    writer_config.meta.temp_chip = t.chip;
    writer_config.meta.temp_ib = t.ib;
    StreamWriter writer(writer_config);
    writer.set_next_sidx(static_cast<uint16_t>(seq));
    auto out = std::make_shared<std::vector<uint8_t>>();
    writer.write_frame(cached_frame_, *out);
    lk.unlock();
    publish_temperatures(t);
    return out;
}

std::shared_ptr<FrameGenerator> make_calibratable_frames(
    std::shared_ptr<CalibratableCamera> camera) {
    return std::make_shared<Frames>(std::move(camera));
}

std::shared_ptr<CalibratableCamera> install_calibratable_camera(
    const std::shared_ptr<Camera> &camera, const CalibratableConfig &config, scene::Scene truth) {
    auto sensor = install_epc_sensor(*camera);
    auto calibratable =
        std::make_shared<CalibratableCamera>(camera, sensor, config, std::move(truth));
    camera->set_stream_source(make_frame_source(make_calibratable_frames(calibratable)));
    return calibratable;
}

}  // namespace tarvo::vcam
