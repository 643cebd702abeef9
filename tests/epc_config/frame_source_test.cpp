// The frame source: geometry per part type and reduction, frames handed over by the driver
// (right size, too long, too short), and frames captured from the bound camera.
#include <cstring>
#include <vector>

#include "epc/frame_source.h"
#include "epc_camera.h"

namespace tarvo::test {
namespace {

using FrameSourceTest = EpcCameraTest;
using epc::frame_source_last_ok;

constexpr int kSamples = 320 * 4 * 120 * 2;

std::vector<uint16_t> ramp(size_t n) {
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint16_t>(i * 7 + 1);
    return v;
}

pru_image_record record_of(const std::vector<uint16_t> &frame) {
    pru_image_record rec{};
    rec.info.frame_size = static_cast<uint32_t>(frame.size() * 2);
    rec.info.frame_format = 2;
    rec.info.width = 320;
    rec.info.height = 240;
    rec.data = frame.data();
    return rec;
}

TEST_F(FrameSourceTest, GeometryPerPartType) {
    const struct {
        int type;
        int cols;
        int rows;
        int halves;
    } cases[] = {
        {2, 320, 120, 2}, {3, 320, 120, 2}, {4, 160, 60, 1}, {5, 160, 60, 1}, {0, 320, 120, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type);
        configSetPartType(c.type);
        pruSetDCS(1);
        EXPECT_EQ(pruInit(), 0);
        EXPECT_EQ(pruGetNCols(), c.cols);
        EXPECT_EQ(pruGetNRowsPerHalf(), c.rows);
        EXPECT_EQ(pruGetNumberOfHalves(), c.halves);
        EXPECT_EQ(pruGetNDCS(), 4);
    }
    // A FLIM configuration reads two samples per pixel.
    isFLIM = 1;
    pruInit();
    EXPECT_EQ(pruGetNDCS(), 2);
    isFLIM = 0;
}

TEST_F(FrameSourceTest, ReductionsDivideTheSize) {
    EXPECT_EQ(pruSetColReduction(1), 2);
    EXPECT_EQ(pruSetSize(320, 120), 0);
    EXPECT_EQ(pruGetNCols(), 160);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    EXPECT_EQ(pruSetRowReduction(2), 4);
    EXPECT_EQ(pruGetNRowsPerHalf(), 30);
    EXPECT_EQ(pruGetColReduction(), 2);
    EXPECT_EQ(pruGetRowReduction(), 4);
    // Exponents past 3 are held at 8, negative ones at 1.
    EXPECT_EQ(pruSetColReduction(9), 8);
    EXPECT_EQ(pruSetRowReduction(-3), 1);
    EXPECT_EQ(pruGetNCols(), 40);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);

    pruSetColReduction(1);
    pruSetRowReduction(0);
    const std::vector<uint16_t> frame = ramp(160 * 4 * 120 * 2);
    const pru_image_record rec = record_of(frame);
    EXPECT_EQ(pruSetImage(&rec), 0);
    const uint16_t *out = nullptr;
    EXPECT_EQ(pruGetImage(&out), 160 * 4 * 120 * 2);
    EXPECT_EQ(out, frame.data());
    EXPECT_EQ(pruSetMinAmplitude(30), 30);
    EXPECT_EQ(pruGetMinAmplitude(), 30);
    EXPECT_EQ(pruRelease(), 0);
}

TEST_F(FrameSourceTest, HandedOverFrameIsUsedOnce) {
    const std::vector<uint16_t> frame = ramp(kSamples);
    const pru_image_record rec = record_of(frame);
    ASSERT_EQ(pruSetImage(&rec), 0);
    const uint16_t *out = nullptr;
    const std::string text = printed([&] { EXPECT_EQ(pruGetImage(&out), kSamples); });
    EXPECT_EQ(out, frame.data());
    EXPECT_EQ(text, "");
    EXPECT_TRUE(frame_source_last_ok());
    EXPECT_EQ(cam_->stream_stats().starts, 0u);
    // The next frame comes from the camera.
    const std::string again = printed([&] { EXPECT_EQ(pruGetImage(&out), kSamples); });
    EXPECT_NE(out, frame.data());
    EXPECT_EQ(again, " get one frame #0: 320x240, size=614400\n");
    EXPECT_EQ(cam_->stream_stats().starts, 1u);
    EXPECT_EQ(pruSetImage(nullptr), -1);
    EXPECT_EQ(pruGetImage(nullptr), -1);
}

TEST_F(FrameSourceTest, WrongSizedHandOverIsPrintedAndNeverOverread) {
    // Longer than expected: the samples are used as they are.
    const std::vector<uint16_t> longer = ramp(kSamples + 1);
    pru_image_record rec = record_of(longer);
    pruSetImage(&rec);
    const uint16_t *out = nullptr;
    std::string text = printed([&] { EXPECT_EQ(pruGetImage(&out), kSamples); });
    EXPECT_EQ(out, longer.data());
    EXPECT_EQ(text, " wrong frame size: expect 614400, get 614402\n");

    // Shorter: the pipeline reads a full frame, so the missing samples come as zeros from a
    // copy instead of from beyond the caller's buffer.
    const std::vector<uint16_t> shorter = ramp(kSamples / 2);
    rec = record_of(shorter);
    pruSetImage(&rec);
    text = printed([&] { EXPECT_EQ(pruGetImage(&out), kSamples); });
    EXPECT_EQ(text, " wrong frame size: expect 614400, get 307200\n");
    ASSERT_NE(out, shorter.data());
    EXPECT_EQ(std::memcmp(out, shorter.data(), shorter.size() * 2), 0);
    for (int i = kSamples / 2; i < kSamples; ++i)
        ASSERT_EQ(out[i], 0) << i;
    EXPECT_TRUE(frame_source_last_ok());
}

TEST_F(FrameSourceTest, CapturesOneFrameFromTheCamera) {
    ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, 10 * TARVO_CAP_FRAME_UNIT));
    const uint16_t *out = nullptr;
    const std::string text = printed([&] { EXPECT_EQ(pruGetImage(&out), kSamples); });
    EXPECT_EQ(text, " get one frame #0: 320x240, size=614400\n");
    const std::vector<uint8_t> expected = vcam::expected_frame(frames_, 0);
    ASSERT_EQ(expected.size(), size_t{kSamples} * 2);
    EXPECT_EQ(std::memcmp(out, expected.data(), expected.size()), 0);
    EXPECT_TRUE(frame_source_last_ok());
    // Capture ran only for this frame.
    EXPECT_FALSE(tarvo_cap_is_ongoing(&dev_));
    EXPECT_EQ(cam_->stream_stats().starts, 1u);
    EXPECT_EQ(cam_->stream_stats().stops, 1u);
}

TEST_F(FrameSourceTest, CapturedFrameOfAnotherSizeIsZeroed) {
    vcam::CameraFramesConfig small;
    small.width = 160;
    small.height = 120;
    open_camera({}, 2, small);
    ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, 10 * TARVO_CAP_FRAME_UNIT));
    const uint16_t *out = nullptr;
    const std::string text = printed([&] { EXPECT_EQ(pruGetImage(&out), kSamples); });
    EXPECT_EQ(text,
              " get one frame #0: 160x120, size=153600\n"
              " wrong frame size: expect 614400, get 153600\n");
    for (int i = 0; i < kSamples; ++i)
        ASSERT_EQ(out[i], 0) << i;
    EXPECT_FALSE(frame_source_last_ok());
    EXPECT_FALSE(tarvo_cap_is_ongoing(&dev_));
}

TEST_F(FrameSourceTest, FailedCaptureGivesAZeroedFrame) {
    // Leftovers of an earlier frame must not pass for a new one.
    ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, 10 * TARVO_CAP_FRAME_UNIT));
    const uint16_t *out = nullptr;
    printed([&] { pruGetImage(&out); });
    ASSERT_TRUE(frame_source_last_ok());
    g_zr_dev = nullptr;
    const std::string text = printed([&] { EXPECT_EQ(pruGetImage(&out), kSamples); });
    EXPECT_EQ(text, " get frame failed\n");
    for (int i = 0; i < kSamples; ++i)
        ASSERT_EQ(out[i], 0) << i;
    EXPECT_FALSE(frame_source_last_ok());
}

}  // namespace
}  // namespace tarvo::test
