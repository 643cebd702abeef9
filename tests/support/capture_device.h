// The frames of the capture tests and a device opened for capture on the camera a launcher runs
// outside the test process (tarvo-vcam).
#pragma once

#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace tarvo::test {

// One frame of the camera: 320 x 240 pixels of four 16-bit samples.
constexpr uint32_t kFrameBytes = 320 * 240 * 8;

// Room for ten frames, the frame buffer the capture tests open the device with.
constexpr uint32_t kTestFrameBuffer = 10 * TARVO_CAP_FRAME_UNIT;

// Opens the one camera with the library's log off and a frame buffer; closes it afterwards.
class OpenDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zr_log_disable();
        ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
        ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, kTestFrameBuffer));
    }
    void TearDown() override { tarvo_dev_close(&dev_); }

    tarvo_dev_t dev_{};
};

}  // namespace tarvo::test
