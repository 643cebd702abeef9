// Recordings written for tests: ROS messages (depth image, camera info, organized cloud) as
// CDR, and an MCAP file of messages on the recording's topics.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "mcap_reader.h"
#include "mcap_writer.h"
#include "ros_cdr.h"

namespace tarvo::test {

inline tarvo::ros::Image depth_image(uint32_t w, uint32_t h, const std::vector<float> &metres) {
    tarvo::ros::Image img;
    img.header.frame_id = "tarvo_optical_frame";
    img.width = w;
    img.height = h;
    img.encoding = "32FC1";
    img.step = w * 4;
    const auto *bytes = reinterpret_cast<const uint8_t *>(metres.data());
    img.data.assign(bytes, bytes + metres.size() * sizeof(float));
    return img;
}

inline tarvo::ros::CameraInfo camera_info(uint32_t w, uint32_t h, double f, double cx, double cy) {
    tarvo::ros::CameraInfo info;
    info.width = w;
    info.height = h;
    info.distortion_model = "plumb_bob";
    info.d = {0, 0, 0, 0, 0};
    info.k = {f, 0, cx, 0, f, cy, 0, 0, 1};
    return info;
}

inline tarvo::ros::PointCloud2 cloud(uint32_t w, uint32_t h, const std::vector<float> &xyz) {
    tarvo::ros::PointCloud2 pc;
    pc.width = w;
    pc.height = h;
    pc.fields = {{"x", 0, tarvo::ros::PointField::kFloat32, 1},
                 {"y", 4, tarvo::ros::PointField::kFloat32, 1},
                 {"z", 8, tarvo::ros::PointField::kFloat32, 1},
                 {"intensity", 12, tarvo::ros::PointField::kFloat32, 1}};
    pc.point_step = 16;
    pc.row_step = 16 * w;
    pc.data.assign(size_t{w} * h * 16, 0);
    for (size_t i = 0; i < size_t{w} * h; ++i)
        std::memcpy(&pc.data[16 * i], &xyz[3 * i], 12);
    return pc;
}

template <class Msg>
std::vector<uint8_t> cdr(const Msg &msg) {
    tarvo::recording::CdrWriter w;
    tarvo::recording::serialize(msg, w);
    return w.bytes();
}

// A recording file with messages on the topics given, one frame per log time.
class TestRecording {
  public:
    explicit TestRecording(const std::filesystem::path &path) : path_(path) {
        std::string error;
        EXPECT_TRUE(writer_.open(path.string(), {"ros2"}, error)) << error;
    }
    uint16_t channel(const char *topic, const char *encoding = "cdr",
                     const tarvo::recording::StringMap &metadata = {}) {
        const uint16_t schema = writer_.add_schema("s", "ros2msg", "");
        return writer_.add_channel(schema, topic, encoding, metadata);
    }
    void metadata(const std::string &name, const tarvo::recording::StringMap &values) {
        writer_.add_metadata(name, values);
    }
    void add(uint16_t channel, uint64_t time, const std::vector<uint8_t> &data) {
        writer_.add_message(channel, 0, time, time, data.data(), data.size());
    }
    // A raw frame in the layout without temperatures (a channel without layout metadata).
    void add_raw(uint16_t channel, uint64_t time, uint64_t sequence, uint32_t lost) {
        // Frame information (4 frame bytes, its index), sequence, lost, monotonic time, bytes.
        std::vector<uint8_t> data(
            tarvo::recording::raw_header_size(tarvo::recording::RawLayout::kWithoutTemperatures) +
                4,
            0xAB);
        const uint32_t size = 4;
        const auto index = static_cast<uint16_t>(sequence);
        const uint64_t monotonic = 123 + sequence;
        std::memset(data.data(), 0, tarvo::recording::kRawFrameInfoSize);
        std::memcpy(&data[0], &size, 4);
        std::memcpy(&data[6], &index, 2);
        std::memcpy(&data[20], &sequence, 8);
        std::memcpy(&data[28], &lost, 4);
        std::memcpy(&data[32], &monotonic, 8);
        add(channel, time, data);
    }
    std::string close() {
        std::string error;
        EXPECT_TRUE(writer_.close(error)) << error;
        return path_.string();
    }

  private:
    std::filesystem::path path_;
    tarvo::recording::McapWriter writer_;
};

}  // namespace tarvo::test
