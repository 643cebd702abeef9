// Frames as the camera streams them while capturing: raw frames of a settable geometry and
// format with deterministic contents, packed into stream packets by the stream writer, and a
// frame-rate driven stream source that sends them. Tests verify delivered frames byte for byte
// against expected_frame().
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "scene.h"
#include "stream_writer/stream_writer.h"
#include "vcam.h"

namespace tarvo::vcam {

inline constexpr uint16_t kFormatDcs4 = 2;  // four DCS planes of 16-bit samples

struct CameraFramesConfig {
    uint16_t width = 320;
    uint16_t height = 240;
    uint16_t format = kFormatDcs4;
    uint32_t bytes_per_pixel = 8;  // four 16-bit DCS samples
    int16_t temp_chip = 0x0190;
    int16_t temp_ib = 0x0180;
    uint32_t max_packet_payload = 0;  // 0: one packet per frame
    bool data_sum = false;
    uint16_t first_fridx = 0;
    // Frames per device-side transfer: > 1 sends a burst of frames faster than the frame rate.
    uint32_t frames_per_transfer = 1;
    // Damages byte `damage_offset` of the packets of every damage_every-th frame (0: never).
    uint32_t damage_every = 0;
    uint32_t damage_offset = 100;
    // Raw DCS samples to send as every frame's contents instead of the numbered test pattern
    // (a rendered scene, width x height x bytes_per_pixel / 2 samples).
    std::shared_ptr<const std::vector<uint16_t>> samples;
};

// Frames that show a box before a wall, rendered by the sensor's correlation model.
CameraFramesConfig scene_frames();

// The bytes of frame number `seq` (counting from 0 at capture start).
std::vector<uint8_t> expected_frame(const CameraFramesConfig &config, uint32_t seq);

// Stream packets of frames 0, 1, 2... as the camera sends them.
class CameraFrames final : public FrameGenerator {
  public:
    explicit CameraFrames(const CameraFramesConfig &config = {});
    void on_start(const StreamContext &ctx) override;
    std::shared_ptr<const std::vector<uint8_t>> frame(uint32_t seq) override;
    uint32_t frame_bytes() const;

  private:
    CameraFramesConfig config_;
    StreamWriter writer_;
    uint32_t next_seq_ = 0;
    std::vector<uint8_t> frame_cache_;  // the bytes of a fixed scene, made once
};

// A stream source sending CameraFrames at the rate of parameter 12.
std::shared_ptr<StreamSource> make_camera_stream(const CameraFramesConfig &config = {});

// Integration time in microseconds that the camera's parameter 13 holds (two little-endian
// bytes), if the camera is still there and holds one.
std::optional<double> integration_time_us(const std::weak_ptr<const Camera> &camera);

// The conditions of the sensor a frame is made under.
struct SensorConditions {
    double modulation_khz = 12000.0;  // what the clock registers select
    int16_t temp_chip = 0x0190;       // tenths of a degree, as the frame header carries them
    int16_t temp_ib = 0x0180;
    double delay_shift_m = 0.0;  // how far the delay line moves the phase, as a distance
    uint64_t revision = 0;       // counts changes of the sensor's errors
    bool operator==(const SensorConditions &) const = default;
};

// The sensor between the light and the samples: its clock, its temperatures, its delay line
// and its own distance errors. Called on the camera's producer thread, frame by frame.
class SensorStage {
  public:
    virtual ~SensorStage() = default;
    // The conditions of the next frame (the sensor also reports its temperatures for it).
    virtual SensorConditions begin_frame() = 0;
    // Turns the signal of the light from `truth`, made under `model` at the frequency of `now`,
    // into what the sensor measures under `now`.
    virtual void apply(const SensorConditions &now, const scene::Scene &truth,
                       const scene::SensorModel &model, scene::PixelSignal &signal) const = 0;
};

// A scene as the camera sees it: ground truth, the light's model and the sensor stage between
// the light and the samples (none: an ideal sensor at the model's frequency and the frames'
// temperatures).
struct SceneStreamConfig {
    scene::Scene scene;
    scene::SensorModel model;
    std::shared_ptr<SensorStage> sensor;
    CameraFramesConfig frames;  // geometry, format and packing; its samples are the rendering
};

// The samples of one frame of `config` at the integration time `integration_us` under the
// sensor's conditions `now`.
std::vector<uint16_t> render_scene_frame(const SceneStreamConfig &config, double integration_us,
                                         const SensorConditions &now);

// Frames of the scene rendered at the integration time that the camera's parameter 13 holds
// and under the sensor's conditions when each frame is made: an exposure change, a new delay
// step or a temperature that moved shows in the next frame. A frame is rendered only when
// something it depends on changed since the last one; the noise is the same in every frame, as
// in the frames of a still scene.
//
// Thread context: thread-safe. Frames are made on the camera's producer thread; tests change
// the scene and the noise from their own thread.
class SceneFrames final : public FrameGenerator {
  public:
    SceneFrames(std::weak_ptr<const Camera> camera, SceneStreamConfig config);

    void set_scene(scene::Scene truth);
    void set_noise(double adc_counts);

    void on_start(const StreamContext &ctx) override;
    std::shared_ptr<const std::vector<uint8_t>> frame(uint32_t seq) override;

  private:
    // Everything a rendered frame depends on.
    struct RenderKey {
        double integration_us = 0.0;
        SensorConditions conditions;
        uint64_t version = 0;
        bool operator==(const RenderKey &) const = default;
    };

    std::weak_ptr<const Camera> camera_;
    std::mutex mu_;
    SceneStreamConfig config_;
    uint64_t version_ = 0;  // counts changes of the scene and the noise
    StreamWriter writer_;
    std::optional<RenderKey> rendered_;
    std::vector<uint8_t> bytes_;
};

// The frames alone, for a source that mixes them with other frames.
std::shared_ptr<SceneFrames> make_scene_frames(std::weak_ptr<const Camera> camera,
                                               SceneStreamConfig config);
// A stream source sending them at the rate of parameter 12.
std::shared_ptr<StreamSource> make_scene_stream(std::weak_ptr<const Camera> camera,
                                                SceneStreamConfig config);

}  // namespace tarvo::vcam
