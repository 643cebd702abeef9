// The decoded frames a recording holds: the depth images of /tarvo/depth/image_raw (with their
// CameraInfo) or, in a recording without them, the organized clouds of /tarvo/points, each with
// the times, temperatures and bytes of its raw frame on /tarvo/raw (either layout), and the
// metadata a decode of raw frames needs. What `tarvo export` and Python's tarvo.Recording
// read; raw frames alone need a camera's driver to decode (see raw_only_message()), and are
// listed on request (FrameKind::kAny) for whoever decodes them.
//
// Defensive like the reader: every message is checked (encoding, sizes, field layout) before a
// value is taken from it, and a damaged one gives an error naming the file and the frame.
//
// Depends on the C++ standard library and the MCAP reader only (no libtarvo), so the Python
// module and the tools share it.
//
// Thread context: open() on one thread; read() is const and may run on several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "mcap_reader.h"

namespace tarvo::recording {

struct RecordedFrame {
    uint32_t width = 0;  // of a raw frame alone (FrameKind::kAny): its frame information's
    uint32_t height = 0;
    // Metres along each pixel's ray, row-major; NaN where the pixel has no valid distance.
    std::vector<float> distance;
    // With points requested: x, y, z per pixel (organized, optical axes: x right, y down,
    // z forward), NaN where the pixel has none. From /tarvo/points when the recording holds
    // them, else from the distances along the rays of the CameraInfo (K and distortion).
    std::vector<float> points;
    // Amplitudes per pixel, when the library decoded the raw frame (see DecodedRecording).
    std::vector<float> gray;
    uint64_t time_ns = 0;       // wall-clock arrival of the frame (the messages' log time)
    uint64_t monotonic_ns = 0;  // of the raw frame; 0 when the recording has none for it
    uint64_t sequence = 0;      // of the raw frame; else the frame's number in the recording
    uint32_t lost_before = 0;
    uint16_t index = 0;  // the camera's frame index (0 without a raw frame)
    // Of the raw frame's stream header, tenths of a degree C; recordings of earlier versions
    // (and frames without a raw frame) have none.
    bool has_temperatures = false;
    int16_t sensor_temperature = 0;
    int16_t illumination_temperature = 0;
    // The raw frame as recorded: its 20-byte frame information as the library filled it and its
    // bytes, bit-exact; empty without a raw frame. Views into the RecordedFrames, valid while
    // it lives and is not opened again.
    std::span<const uint8_t> raw_info;
    std::span<const uint8_t> raw_frame;
};

// Which frames a recording must hold to open.
enum class FrameKind {
    kDecoded,  // decoded frames (depth or clouds), each with its raw frame when recorded
    kAny,      // as kDecoded; a recording of raw frames only lists its raw frames (no distances)
};

class RecordedFrames {
  public:
    // Reads the file and finds its decoded frames (with kAny, else its raw frames). False with
    // `error` (one line, naming the file) when it cannot be read, is damaged, or holds none.
    bool open(const std::string &path, std::string &error, FrameKind kind = FrameKind::kDecoded);
    // The same for a recording already read; `name` stands for the file in errors.
    bool open(const std::string &name, McapContents contents, std::string &error,
              FrameKind kind = FrameKind::kDecoded);

    // What the recording holds beside the frames: metadata, attachments (the camera's
    // calibration files), channels.
    const McapContents &contents() const { return contents_; }
    // The image sensor's register file (empty when not recorded) and the camera's parameter
    // values; false with `error` (one line, naming the file) when their metadata is malformed.
    bool sensor_registers(std::vector<uint32_t> &out, std::string &error) const;
    bool parameters(std::map<uint8_t, std::vector<uint8_t>> &out, std::string &error) const;

    size_t size() const { return frames_.size(); }
    const std::string &path() const { return path_; }
    bool complete() const { return contents_.complete; }
    // True when the points come from the recorded clouds, not from the CameraInfo's rays.
    bool has_recorded_points() const { return points_channel_ != kNone; }
    // True when the recording holds raw frames and no decoded ones.
    bool raw_only() const {
        return raw_channel_ != kNone && depth_channel_ == kNone && points_channel_ == kNone;
    }

    // Decodes frame `i` (0 to size() - 1), with its points when `with_points`. False with
    // `error` (one line, naming the file and the frame) when a message is damaged.
    bool read(size_t i, bool with_points, RecordedFrame &out, std::string &error) const;

  private:
    static constexpr uint16_t kNone = 0xFFFF;
    // The message indices of one frame in contents_.messages (kNoMessage where absent).
    struct FrameMessages {
        size_t depth, camera_info, points, raw;
    };
    bool decode(const FrameMessages &m, size_t i, bool with_points, RecordedFrame &out,
                std::string &error) const;

    std::string path_;
    McapContents contents_;
    uint16_t depth_channel_ = kNone, info_channel_ = kNone, points_channel_ = kNone,
             raw_channel_ = kNone;
    RawLayout raw_layout_ = RawLayout::kWithoutTemperatures;
    std::vector<FrameMessages> frames_;
};

// The library's code for a pixel without a valid distance (65.5 m: "invalid sample"), which
// distance images of a live camera carry; a recording keeps only NaN, not which code it was.
inline constexpr float kInvalidDistanceCode = 65.5f;

// The line said of a recording that holds raw frames only: what records decoded frames, and
// how raw frames are decoded through a played-back camera.
std::string raw_only_message(const std::string &path);

}  // namespace tarvo::recording
