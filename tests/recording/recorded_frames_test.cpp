// The decoded frames of recordings: depth images with their CameraInfo, organized clouds, the
// times, temperatures and bytes of the raw frames in either layout, the register file and
// parameter values, and damaged messages and metadata refused with an error (never read past).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "recorded_frames.h"
#include "recorder.h"
#include "recording_metadata.h"
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

// Raw frames as the recorder writes them (with temperatures) and as earlier recordings hold them
// (without): the frame's 20-byte information and bytes bit-exact, its times and temperatures,
// beside a depth image or, asked for, alone.
TEST_F(RecordedFramesTest, RawFramesOfEitherLayout) {
    tarvo_frame_info_t info{};
    info.frame_size = 4;
    info.frame_format = 2;
    info.frame_idx = 7;
    info.width = 2;
    info.height = 1;
    info.pixel_size = 2;
    tarvo_frame_time_t time{};
    time.monotonic_ns = 99;
    time.sequence = 7;
    time.sensor_temperature = -125;
    time.illumination_temperature = 655;
    const std::vector<uint8_t> bytes = {1, 2, 3, 4};
    std::vector<uint8_t> with_temperatures = rec::raw_message_header(info, time);
    with_temperatures.insert(with_temperatures.end(), bytes.begin(), bytes.end());

    for (const bool temperatures : {true, false}) {
        for (const bool depth : {true, false}) {
            SCOPED_TRACE(std::string(temperatures ? "with" : "without") + " temperatures, " +
                         (depth ? "with depth" : "raw only"));
            TestRecording r(dir_ / "raw.mcap");
            const uint16_t raw = temperatures ? r.channel("/tarvo/raw", "tarvo-raw",
                                                          {{rec::kRawLayoutKey, rec::kRawLayout}})
                                              : r.channel("/tarvo/raw", "tarvo-raw");
            if (temperatures)
                r.add(raw, kTime, with_temperatures);
            else
                r.add_raw(raw, kTime, 7, 0);
            if (depth)
                r.add(r.channel("/tarvo/depth/image_raw"), kTime, cdr(depth_image(2, 1, {1, 2})));
            const std::string path = r.close();
            rec::RecordedFrames frames;
            std::string error;
            EXPECT_EQ(frames.open(path, error), depth) << error;
            ASSERT_TRUE(frames.open(path, error, rec::FrameKind::kAny)) << error;
            ASSERT_EQ(frames.size(), 1u);
            rec::RecordedFrame f;
            ASSERT_TRUE(frames.read(0, false, f, error)) << error;
            EXPECT_EQ(f.sequence, 7u);
            EXPECT_EQ(f.index, 7u);
            EXPECT_EQ(f.time_ns, kTime);
            EXPECT_EQ(f.has_temperatures, temperatures);
            EXPECT_EQ(f.sensor_temperature, temperatures ? -125 : 0);
            EXPECT_EQ(f.illumination_temperature, temperatures ? 655 : 0);
            ASSERT_EQ(f.raw_info.size(), 20u);
            uint32_t frame_size = 0;
            std::memcpy(&frame_size, f.raw_info.data(), 4);
            EXPECT_EQ(frame_size, 4u);
            const std::vector<uint8_t> got(f.raw_frame.begin(), f.raw_frame.end());
            EXPECT_EQ(got, temperatures ? bytes : std::vector<uint8_t>(4, 0xAB));
            EXPECT_EQ(f.distance.size(), depth ? 2u : 0u);
            if (temperatures) {
                EXPECT_EQ(std::memcmp(f.raw_info.data(), with_temperatures.data(), 20), 0);
                EXPECT_EQ(f.width, 2u);
            }
        }
    }
}

TEST_F(RecordedFramesTest, RawFramesOfAnUnknownLayoutAreRefused) {
    TestRecording r(dir_ / "raw.mcap");
    r.add_raw(r.channel("/tarvo/raw", "tarvo-raw", {{rec::kRawLayoutKey, "frame_bytes\n"}}), kTime,
              0, 0);
    const std::string path = r.close();
    rec::RecordedFrames frames;
    std::string error;
    EXPECT_FALSE(frames.open(path, error, rec::FrameKind::kAny));
    EXPECT_EQ(error, path + ": raw frames on /tarvo/raw have an unknown layout 'frame_bytes\\x0a'");
}

// The register file and the parameter values, read entry by entry: what is well formed reads,
// anything else is refused with one line naming the entry or the register missing.
TEST_F(RecordedFramesTest, RegisterFileAndParameters) {
    const rec::StringMap full_registers = [] {
        std::vector<uint32_t> values(256);
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = static_cast<uint32_t>(255 - i);
        return rec::register_metadata(values);
    }();
    struct Case {
        const char *name;
        std::optional<rec::StringMap> registers, parameters;  // nullopt: no such metadata
        const char *error;                                    // nullptr: reads
    };
    const Case cases[] = {
        {"none", std::nullopt, std::nullopt, nullptr},
        {"whole", full_registers, rec::StringMap{{"12", "1e000000"}, {"7", ""}}, nullptr},
        {"short file, wide value", rec::StringMap{{"0x00", "0x1ff"}, {"0x1", "0xAB"}}, std::nullopt,
         nullptr},
        {"empty", rec::StringMap{}, std::nullopt, "register file: no registers"},
        {"gap", rec::StringMap{{"0x00", "0x01"}, {"0x02", "0x02"}}, std::nullopt,
         "register file: register 0x01 missing"},
        {"twice", rec::StringMap{{"0x00", "0x01"}, {"0x0", "0x02"}}, std::nullopt,
         "register 0x00 given twice"},
        {"beyond 0xff", rec::StringMap{{"0x100", "0x01"}}, std::nullopt, "invalid entry '0x100'"},
        {"decimal address", rec::StringMap{{"16", "0x01"}}, std::nullopt, "invalid entry '16'"},
        {"value not hex", rec::StringMap{{"0x00", "0xzz"}}, std::nullopt, "'0x00' = '0xzz'"},
        {"value too wide", rec::StringMap{{"0x00", "0x123456789"}}, std::nullopt,
         "invalid entry '0x00'"},
        {"control bytes", rec::StringMap{{"0x00", std::string("0x\x01", 3)}}, std::nullopt,
         "'0x\\x01'"},
        {"parameter odd digits", std::nullopt, rec::StringMap{{"12", "1e0"}},
         "parameter values: invalid entry '12' = '1e0'"},
        {"parameter number", std::nullopt, rec::StringMap{{"256", "00"}}, "invalid entry '256'"},
        {"parameter too long", std::nullopt, rec::StringMap{{"3", std::string(38, '0')}},
         "invalid entry '3'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestRecording r(dir_ / "meta.mcap");
        r.add_raw(r.channel("/tarvo/raw", "tarvo-raw"), kTime, 0, 0);
        if (c.registers)
            r.metadata(rec::kRegistersMetadata, *c.registers);
        if (c.parameters)
            r.metadata(rec::kParametersMetadata, *c.parameters);
        const std::string path = r.close();
        rec::RecordedFrames frames;
        std::string error;
        ASSERT_TRUE(frames.open(path, error, rec::FrameKind::kAny)) << error;
        std::vector<uint32_t> registers;
        std::map<uint8_t, std::vector<uint8_t>> parameters;
        const bool ok =
            frames.sensor_registers(registers, error) && frames.parameters(parameters, error);
        if (c.error != nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(registers.size(), c.registers ? c.registers->size() : 0u);
        if (!registers.empty()) {
            EXPECT_EQ(registers[0], c.registers == full_registers ? 255u : 0x1FFu);
        }
        if (registers.size() == 2) {
            EXPECT_EQ(registers[1], 0xABu);
        }
        EXPECT_EQ(parameters.size(), c.parameters ? c.parameters->size() : 0u);
        if (c.parameters) {
            EXPECT_EQ(parameters.at(12), (std::vector<uint8_t>{0x1E, 0, 0, 0}));
            EXPECT_TRUE(parameters.at(7).empty());
        }
    }
    // The writer's form: "0xAA" -> "0xVV", lower case.
    EXPECT_EQ(full_registers[0x92], (std::pair<std::string, std::string>{"0x92", "0x6d"}));
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
