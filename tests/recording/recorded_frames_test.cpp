// The decoded frames of recordings: depth images with their CameraInfo, organized clouds, the
// times of the raw frames, and damaged messages refused with an error (never read past).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "recorded_frames.h"
#include "test_recording.h"

namespace {

namespace fs = std::filesystem;
namespace rec = tarvo::recording;
namespace ros = tarvo::ros;
using namespace tarvo::test;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr uint64_t kTime = 1'700'000'000'000'000'000ull;

class RecordedFramesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tarvo-recorded-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(RecordedFramesTest, DepthFramesWithTheirTimesAndPinholePoints) {
    TestRecording r(dir_ / "a.mcap");
    const uint16_t raw = r.channel("/tarvo/raw", "tarvo-raw");
    const uint16_t depth = r.channel("/tarvo/depth/image_raw");
    const uint16_t info = r.channel("/tarvo/depth/camera_info");
    // 3 x 2 pixels, the principal point at pixel (1, 0); one pixel without a distance.
    const std::vector<float> metres = {2.0f, 1.0f, 2.0f, kNaN, 3.0f, 1.5f};
    for (uint64_t i = 0; i < 2; ++i) {
        r.add_raw(raw, kTime + i, 40 + i, static_cast<uint32_t>(i));
        r.add(depth, kTime + i, cdr(depth_image(3, 2, metres)));
        if (i == 0)  // one CameraInfo serves the frames after it
            r.add(info, kTime + i, cdr(camera_info(3, 2, 1.0, 1.0, 0.0)));
    }
    rec::RecordedFrames frames;
    std::string error;
    ASSERT_TRUE(frames.open(r.close(), error)) << error;
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames.complete());
    EXPECT_FALSE(frames.has_recorded_points());

    rec::RecordedFrame f;
    ASSERT_TRUE(frames.read(1, true, f, error)) << error;
    EXPECT_EQ(f.width, 3u);
    EXPECT_EQ(f.height, 2u);
    EXPECT_EQ(f.time_ns, kTime + 1);
    EXPECT_EQ(f.monotonic_ns, 123u + 41u);
    EXPECT_EQ(f.sequence, 41u);
    EXPECT_EQ(f.lost_before, 1u);
    EXPECT_EQ(f.distance[1], 1.0f);
    EXPECT_TRUE(std::isnan(f.distance[3]));
    ASSERT_EQ(f.points.size(), 18u);
    // On the axis: (0, 0, d). Pixel (0, 0): ray (-1, 0, 1), so d / sqrt(2) on x and z.
    EXPECT_FLOAT_EQ(f.points[3 * 1 + 2], 1.0f);
    EXPECT_FLOAT_EQ(f.points[0], -2.0f / std::sqrt(2.0f));
    EXPECT_FLOAT_EQ(f.points[2], 2.0f / std::sqrt(2.0f));
    EXPECT_TRUE(std::isnan(f.points[3 * 3 + 2]));

    EXPECT_FALSE(frames.read(2, false, f, error));
}

TEST_F(RecordedFramesTest, CloudsAloneGiveDistancesAndPoints) {
    TestRecording r(dir_ / "p.mcap");
    const uint16_t points = r.channel("/tarvo/points");
    r.add(points, kTime, cdr(cloud(2, 1, {0.0f, 0.0f, 2.0f, kNaN, kNaN, kNaN})));
    rec::RecordedFrames frames;
    std::string error;
    ASSERT_TRUE(frames.open(r.close(), error)) << error;
    EXPECT_TRUE(frames.has_recorded_points());
    rec::RecordedFrame f;
    ASSERT_TRUE(frames.read(0, true, f, error)) << error;
    EXPECT_EQ(f.distance[0], 2.0f);
    EXPECT_TRUE(std::isnan(f.distance[1]));
    EXPECT_EQ(f.points[2], 2.0f);
    EXPECT_EQ(f.sequence, 0u);  // no raw frame: its place in the recording
}

TEST_F(RecordedFramesTest, RecordingsWithoutDecodedFramesAreRefused) {
    TestRecording raw_only(dir_ / "raw.mcap");
    raw_only.add_raw(raw_only.channel("/tarvo/raw", "tarvo-raw"), kTime, 0, 0);
    const std::string path = raw_only.close();
    rec::RecordedFrames frames;
    std::string error;
    EXPECT_FALSE(frames.open(path, error));
    EXPECT_EQ(error.rfind(rec::raw_only_message(path), 0), 0u) << error;
    EXPECT_NE(error.find("tarvo record --depth"), std::string::npos);

    TestRecording empty(dir_ / "empty.mcap");
    EXPECT_FALSE(frames.open(empty.close(), error));
    EXPECT_NE(error.find("holds no frames"), std::string::npos) << error;
}

// Damaged messages on the depth (or points) channel: read() refuses each with one line that
// names the file and the frame, reading nothing beyond the message.
TEST_F(RecordedFramesTest, DamagedMessagesAreRefused) {
    const std::vector<float> two = {1.0f, 1.0f};
    const auto image = [&] { return cdr(depth_image(2, 1, two)); };
    struct Case {
        const char *name;
        const char *topic;
        std::function<std::vector<uint8_t>()> message;
        const char *says;
    };
    const Case cases[] = {
        {"empty", "/tarvo/depth/image_raw", [] { return std::vector<uint8_t>(); }, "cut short"},
        {"big-endian CDR", "/tarvo/depth/image_raw",
         [&] {
             auto m = image();
             m[1] = 0x00;
             return m;
         },
         "damaged"},
        {"cut in the pixels", "/tarvo/depth/image_raw",
         [&] {
             auto m = image();
             m.resize(m.size() - 1);
             return m;
         },
         "damaged"},
        {"string past the end", "/tarvo/depth/image_raw",
         [&] {
             auto m = image();
             const uint32_t huge = 0xFFFFFFF0u;
             std::memcpy(&m[4 + 8], &huge, 4);  // the frame id's length
             return m;
         },
         "damaged"},
        {"16UC1", "/tarvo/depth/image_raw",
         [&] {
             auto img = depth_image(2, 1, two);
             img.encoding = "16UC1";
             return cdr(img);
         },
         "not 32FC1"},
        {"size beyond the data", "/tarvo/depth/image_raw",
         [&] {
             auto img = depth_image(2, 1, two);
             img.height = 1000;
             return cdr(img);
         },
         "fewer bytes"},
        {"row step too small", "/tarvo/depth/image_raw",
         [&] {
             auto img = depth_image(2, 1, two);
             img.step = 4;
             return cdr(img);
         },
         "fewer bytes"},
        {"impossible size", "/tarvo/depth/image_raw",
         [&] {
             auto img = depth_image(2, 1, two);
             img.width = 0x10000;
             img.height = 0x10000;
             return cdr(img);
         },
         "impossible size"},
        {"cloud without z", "/tarvo/points",
         [] {
             auto pc = cloud(1, 1, {0, 0, 1});
             pc.fields.resize(2);
             return cdr(pc);
         },
         "without little-endian float32 x, y and z"},
        {"cloud field past its point", "/tarvo/points",
         [] {
             auto pc = cloud(1, 1, {0, 0, 1});
             pc.fields[2].offset = 14;
             return cdr(pc);
         },
         "without little-endian float32 x, y and z"},
        {"cloud data short", "/tarvo/points",
         [] {
             auto pc = cloud(2, 2, {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1});
             pc.data.resize(40);
             return cdr(pc);
         },
         "fewer bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestRecording r(dir_ / "bad.mcap");
        r.add(r.channel(c.topic), kTime, c.message());
        const std::string path = r.close();
        rec::RecordedFrames frames;
        std::string error;
        ASSERT_TRUE(frames.open(path, error)) << error;
        rec::RecordedFrame f;
        EXPECT_FALSE(frames.read(0, true, f, error));
        EXPECT_EQ(error.rfind(path + ": frame 0: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST_F(RecordedFramesTest, PointsNeedACameraInfoOfTheImageSize) {
    TestRecording r(dir_ / "k.mcap");
    const uint16_t depth = r.channel("/tarvo/depth/image_raw");
    const uint16_t info = r.channel("/tarvo/depth/camera_info");
    r.add(depth, kTime, cdr(depth_image(2, 1, {1.0f, 1.0f})));
    r.add(depth, kTime + 1, cdr(depth_image(2, 1, {1.0f, 1.0f})));
    r.add(info, kTime + 1, cdr(camera_info(4, 4, 1.0, 1.0, 1.0)));
    rec::RecordedFrames frames;
    std::string error;
    ASSERT_TRUE(frames.open(r.close(), error)) << error;
    rec::RecordedFrame f;
    EXPECT_TRUE(frames.read(0, false, f, error)) << error;  // distances need no camera info
    EXPECT_FALSE(frames.read(0, true, f, error));
    EXPECT_NE(error.find("no camera info"), std::string::npos) << error;
    EXPECT_FALSE(frames.read(1, true, f, error));
    EXPECT_NE(error.find("camera info for 4x4 images"), std::string::npos) << error;
}

}  // namespace
