// A recording of one camera into an MCAP file: every raw frame bit-exact on /tarvo/raw, and on
// request the depth image with its CameraInfo and the organized point cloud as ROS 2 messages,
// with metadata records that describe the camera, its parameter values and its image sensor's
// register file (recording_metadata.h), and its calibration files as attachments.
//
// Channels: /tarvo/raw (message encoding "tarvo-raw", no schema, layout kRawLayout of
// mcap_reader.h): the 20-byte frame information as the library fills it, u64 sequence, u32
// lost_before, u64 monotonic_ns, i16 sensor and i16 illumination temperature of the frame's
// stream header (all little-endian), then the frame's bytes; log and publish time = the
// frame's wall-clock arrival.
// /tarvo/depth/image_raw (sensor_msgs/msg/Image, 32FC1 metres, NaN invalid),
// /tarvo/depth/camera_info (sensor_msgs/msg/CameraInfo), /tarvo/points
// (sensor_msgs/msg/PointCloud2), all "cdr" with frame id "tarvo_optical_frame".
//
// The capture thread converts frames; a writer thread of the recorder compresses and writes,
// and writes the open chunk at least once a second.
//
// Thread context: one thread calls the member functions.
#pragma once

#include <tarvo/tarvo.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mcap_reader.h"
#include "mcap_writer.h"
#include "ros_content.h"

namespace tarvo::recording {

inline constexpr const char *kDepthTopic = "/tarvo/depth/image_raw";
inline constexpr const char *kCameraInfoTopic = "/tarvo/depth/camera_info";
inline constexpr const char *kPointsTopic = "/tarvo/points";
inline constexpr const char *kFrameId = "tarvo_optical_frame";

struct RecordOptions {
    bool depth = false;
    bool points = false;
    size_t chunk_bytes = 8u << 20;
    // The decode settings in force (kDecodingMetadata), so raw frames decode later as the
    // recorded depth was decoded.
    std::vector<std::pair<std::string, std::string>> decoding;
};

struct RecordSummary {
    uint64_t frames = 0;
    uint64_t message_bytes = 0;  // message payloads, uncompressed
    uint64_t file_bytes = 0;
    double compression_ratio = 0;  // of the chunks: uncompressed over compressed bytes
    uint32_t lost = 0;             // frames lost before recorded ones
};

// The /tarvo/raw message header of a frame.
std::vector<uint8_t> raw_message_header(const tarvo_frame_info_t &info,
                                        const tarvo_frame_time_t &time);

class Recorder {
  public:
    Recorder();
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Creates `path` and writes the camera's description, its calibration files and the
    // channels. False with `error` set (and no file left behind when it was not created).
    bool open(tarvo_dev_t *dev, const std::string &path, const RecordOptions &options,
              std::string &error);
    // Records one captured frame; raw holds its info.frame_size bytes. False with `error` set
    // when the frame could not be converted or the file can no longer be written.
    bool add_frame(const uint8_t *raw, const tarvo_frame_info_t &info,
                   const tarvo_frame_time_t &time, std::string &error);
    // Writes everything queued, the summary and the footer, and closes the file.
    bool finish(std::string &error);

    RecordSummary summary() const;

  private:
    struct Message {
        uint16_t channel;
        uint32_t sequence;
        uint64_t log_time;
        std::vector<uint8_t> head;
        std::vector<uint8_t> data;
    };
    void writer_loop();
    void note_stats();
    void queue(std::vector<Message> &&messages);
    bool write_description(std::string &error);
    void write_registers();
    bool convert(const uint8_t *raw, const tarvo_frame_info_t &info, const tarvo_frame_time_t &time,
                 std::vector<Message> &out, std::string &error);

    tarvo_dev_t *dev_ = nullptr;
    std::string path_;
    RecordOptions options_;
    McapWriter writer_;
    uint16_t raw_channel_ = 0, depth_channel_ = 0, info_channel_ = 0, points_channel_ = 0;
    ros::FrameConverter converter_;
    ros::DecodedFrame decoded_;
    ros::FrameContent content_;

    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::vector<Message>> queue_;  // guarded by mutex_
    bool closing_ = false;                    // guarded by mutex_
    bool writer_failed_ = false;              // guarded by mutex_
    RecordSummary summary_;                   // guarded by mutex_
    std::thread thread_;
};

}  // namespace tarvo::recording
