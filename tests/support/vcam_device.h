// A device on the in-process virtual camera: every test starts with a fresh bus holding one
// camera and a captured log; open_with() gives the camera its frames and opens the device for
// capture. The device is closed afterwards if a test left it open.
#pragma once

#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "frames/camera_frames.h"
#include "support/capture_device.h"
#include "support/log_capture.h"
#include "vcam.h"

namespace tarvo::test {

class VcamDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vcam::Bus::get().reset();
        cam_ = vcam::Bus::get().add_camera();
    }
    void TearDown() override {
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
    }

    void open_with(const vcam::CameraFramesConfig &frames = {},
                   uint32_t buffer = kTestFrameBuffer) {
        frames_ = frames;
        cam_->set_stream_source(vcam::make_camera_stream(frames));
        ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
        ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, buffer));
    }

    // Opens the device on frames that are all damaged, with an error callback that asks to stop,
    // and captures until the first damaged frame has muted the capture.
    void start_muted_capture() {
        vcam::CameraFramesConfig frames;
        frames.data_sum = true;
        frames.damage_every = 1;
        open_with(frames);
        tarvo_cap_set_callback_on_error(&dev_, [](tarvo_dev_t *, int, uint32_t) { return false; });
        ASSERT_TRUE(tarvo_cap_start(&dev_));
        ASSERT_TRUE(tarvo_cap_wait(&dev_, 0));
        ASSERT_TRUE(log_.contains("error cb return false to stop capture", "DBG"));
    }

    // The bytes of frame `seq` as the camera streams it.
    std::vector<uint8_t> expected(uint32_t seq) const { return vcam::expected_frame(frames_, seq); }

    LogCapture log_;
    std::shared_ptr<vcam::Camera> cam_;
    tarvo_dev_t dev_{};
    vcam::CameraFramesConfig frames_;
};

}  // namespace tarvo::test
