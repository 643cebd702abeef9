// A virtual camera with an EPC sensor that sees a rendered scene, opened through the public
// interface (which binds it to the pipeline), and helpers that capture and convert frames.
#pragma once

#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frames/camera_frames.h"
#include "scene.h"
#include "sensor/epc_sensor.h"
#include "support/log_capture.h"
#include "vcam.h"

namespace tarvo::test {

inline constexpr uint32_t kScenePixels = 320 * 240;
inline constexpr uint32_t kSceneFrameBytes = kScenePixels * 8;

class SceneCamera : public ::testing::Test {
  protected:
    void TearDown() override {
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
    }

    // Opens a camera that sees `spec` ("sphere:1.25", "box", ...), with tarvo-vcam's defaults.
    void open(const std::string &spec, double reflectivity = 0.8, double noise = 0.0,
              double ambient = 0.0) {
        vcam::Bus::get().reset();
        cam_ = vcam::Bus::get().add_camera();
        ASSERT_TRUE(cam_);
        vcam::install_epc_sensor(*cam_);
        std::string error;
        ASSERT_TRUE(scene::parse_scene(spec, scene::Camera{}, reflectivity, config_.scene, error))
            << error;
        config_.model.noise = noise;
        config_.model.ambient = ambient;
        cam_->set_stream_source(vcam::make_scene_stream(cam_, config_));
        ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
        ASSERT_EQ(g_zr_dev, &dev_);
        ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, 4 * kSceneFrameBytes));
        ASSERT_TRUE(tarvo_cap_start(&dev_));
    }

    // The next frame the camera delivers.
    std::vector<uint8_t> capture(tarvo_frame_info_t &info) {
        std::vector<uint8_t> raw(kSceneFrameBytes);
        EXPECT_EQ(tarvo_cap_get_frames(&dev_, 1, raw.data(), kSceneFrameBytes, &info), 1);
        return raw;
    }

    std::vector<float> distance(const std::vector<uint8_t> &raw, tarvo_frame_info_t &info) {
        std::vector<float> out(kScenePixels);
        EXPECT_EQ(tarvo_frame_get_distance(&dev_, out.data(), static_cast<int>(out.size()),
                                           raw.data(), static_cast<uint32_t>(raw.size()), &info),
                  static_cast<int>(kScenePixels));
        return out;
    }

    const scene::Scene &truth() const { return config_.scene; }

    LogCapture log_;
    std::shared_ptr<vcam::Camera> cam_;
    vcam::SceneStreamConfig config_;
    tarvo_dev_t dev_{};
};

}  // namespace tarvo::test
