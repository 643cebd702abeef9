#include "frames/camera_frames.h"

#include <algorithm>

#include "scene.h"

namespace tarvo::vcam {

namespace {

StreamWriterConfig writer_config(const CameraFramesConfig &c) {
    StreamWriterConfig w;
    w.max_packet_payload = c.max_packet_payload;
    w.data_sum = c.data_sum;
    w.first_fridx = c.first_fridx;
    w.meta.frfmt = c.format;
    w.meta.width = c.width;
    w.meta.height = c.height;
    w.meta.temp_chip = c.temp_chip;
    w.meta.temp_ib = c.temp_ib;
    return w;
}

}  // namespace

std::vector<uint8_t> expected_frame(const CameraFramesConfig &config, uint32_t seq) {
    const size_t bytes = size_t{config.width} * config.height * config.bytes_per_pixel;
    if (!config.samples)
        return pattern_bytes(seq, bytes);
    std::vector<uint8_t> out(bytes, 0);
    const size_t n = std::min(bytes / 2, config.samples->size());
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = static_cast<uint8_t>((*config.samples)[i]);
        out[2 * i + 1] = static_cast<uint8_t>((*config.samples)[i] >> 8);
    }
    return out;
}

CameraFramesConfig scene_frames() {
    const scene::Camera cam;
    const scene::Scene view = scene::box(cam, 3.0, 1.2, 0.3, 0.25, 0.4, 0.8, 0.5);
    scene::SensorModel model;
    model.noise = 2.0;
    CameraFramesConfig config;
    config.width = static_cast<uint16_t>(cam.width);
    config.height = static_cast<uint16_t>(cam.height);
    config.samples = std::make_shared<const std::vector<uint16_t>>(scene::render_dcs(view, model));
    return config;
}

CameraFrames::CameraFrames(const CameraFramesConfig &config)
    : config_(config), writer_(writer_config(config)) {}

void CameraFrames::on_start(const StreamContext &) {
    writer_ = StreamWriter(writer_config(config_));
    next_seq_ = 0;
}

uint32_t CameraFrames::frame_bytes() const {
    return uint32_t{config_.width} * config_.height * config_.bytes_per_pixel;
}

std::shared_ptr<const std::vector<uint8_t>> CameraFrames::frame(uint32_t) {
    auto out = std::make_shared<std::vector<uint8_t>>();
    const uint32_t count = config_.frames_per_transfer == 0 ? 1 : config_.frames_per_transfer;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t seq = next_seq_++;
        const size_t begin = out->size();
        if (config_.samples && frame_cache_.empty())
            frame_cache_ = expected_frame(config_, seq);
        writer_.write_frame(config_.samples ? frame_cache_ : expected_frame(config_, seq), *out);
        const bool damage = config_.damage_every != 0 && (seq + 1) % config_.damage_every == 0;
        const size_t at = begin + kStreamHeaderSize + config_.damage_offset;
        if (damage && at < out->size())
            (*out)[at] ^= 0xFF;
    }
    return out;
}

std::shared_ptr<StreamSource> make_camera_stream(const CameraFramesConfig &config) {
    return make_frame_source(std::make_shared<CameraFrames>(config));
}

std::optional<double> integration_time_us(const std::weak_ptr<const Camera> &camera) {
    const auto cam = camera.lock();
    const auto value = cam ? cam->param(kParamIntegrationTime) : std::nullopt;
    if (!value || value->size() < 2)
        return std::nullopt;
    return (*value)[0] | (*value)[1] << 8;
}

std::vector<uint16_t> render_scene_frame(const SceneStreamConfig &config, double integration_us,
                                         const SensorConditions &now) {
    scene::SensorModel model = config.model;
    model.integration_us = integration_us;
    model.modulation_khz = now.modulation_khz;
    scene::PixelSignal signal = scene::scene_signal(config.scene, model);
    if (config.sensor)
        config.sensor->apply(now, config.scene, model, signal);
    return scene::render_dcs(signal, model);
}

SceneFrames::SceneFrames(std::weak_ptr<const Camera> camera, SceneStreamConfig config)
    : camera_(std::move(camera)),
      config_(std::move(config)),
      writer_(writer_config(config_.frames)) {}

void SceneFrames::set_scene(scene::Scene truth) {
    std::lock_guard lk(mu_);
    config_.scene = std::move(truth);
    ++version_;
}

void SceneFrames::set_noise(double adc_counts) {
    std::lock_guard lk(mu_);
    config_.model.noise = adc_counts;
    ++version_;
}

void SceneFrames::on_start(const StreamContext &) {
    std::lock_guard lk(mu_);
    writer_ = StreamWriter(writer_config(config_.frames));
}

std::shared_ptr<const std::vector<uint8_t>> SceneFrames::frame(uint32_t seq) {
    // The stage and the camera are asked before the lock: they take locks of their own.
    SensorConditions now;
    if (config_.sensor) {
        now = config_.sensor->begin_frame();
    } else {
        now.modulation_khz = config_.model.modulation_khz;
        now.temp_chip = config_.frames.temp_chip;
        now.temp_ib = config_.frames.temp_ib;
    }
    const double time_us = integration_time_us(camera_).value_or(config_.model.integration_us);
    std::lock_guard lk(mu_);
    const RenderKey key{time_us, now, version_};
    if (!rendered_ || !(*rendered_ == key)) {
        CameraFramesConfig frames = config_.frames;
        frames.samples = std::make_shared<const std::vector<uint16_t>>(
            render_scene_frame(config_, time_us, now));
        bytes_ = expected_frame(frames, seq);
        rendered_ = key;
    }
    writer_.config().meta.temp_chip = now.temp_chip;
    writer_.config().meta.temp_ib = now.temp_ib;
    auto out = std::make_shared<std::vector<uint8_t>>();
    writer_.write_frame(bytes_, *out);
    return out;
}

std::shared_ptr<SceneFrames> make_scene_frames(std::weak_ptr<const Camera> camera,
                                               SceneStreamConfig config) {
    return std::make_shared<SceneFrames>(std::move(camera), std::move(config));
}

std::shared_ptr<StreamSource> make_scene_stream(std::weak_ptr<const Camera> camera,
                                                SceneStreamConfig config) {
    return make_frame_source(make_scene_frames(std::move(camera), std::move(config)));
}

}  // namespace tarvo::vcam
