// Frames as the camera streams them while capturing: raw frames of a settable geometry and
// format with deterministic contents, packed into stream packets by the stream writer, and a
// frame-rate driven stream source that sends them. Tests verify delivered frames byte for byte
// against expected_frame().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

// A scene as the camera sees it: ground truth, the sensor model, and the sensor's own errors
// applied to each pixel's signal before the samples are made (none by default).
struct SceneStreamConfig {
    scene::Scene scene;
    scene::SensorModel model;
    std::function<void(scene::PixelSignal &)> sensor_errors;
    CameraFramesConfig frames;  // geometry, format and packing; its samples are the rendering
};

// The samples of one frame of `config` at the integration time `integration_us`.
std::vector<uint16_t> render_scene_frame(const SceneStreamConfig &config, double integration_us);

// Frames of the scene rendered at the integration time that the camera's parameter 13 holds
// when each frame is made: an exposure change shows in the next frame.
std::shared_ptr<FrameGenerator> make_scene_frames(std::weak_ptr<const Camera> camera,
                                                  SceneStreamConfig config);
// A stream source sending them at the rate of parameter 12.
std::shared_ptr<StreamSource> make_scene_stream(std::weak_ptr<const Camera> camera,
                                                SceneStreamConfig config);
// The frames of such a stream, for a source that mixes them with other frames.
std::shared_ptr<FrameGenerator> make_scene_frames(std::weak_ptr<const Camera> camera,
                                                  SceneStreamConfig config);

}  // namespace tarvo::vcam
