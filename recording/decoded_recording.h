// A recording's frames with their raw frames decoded by the library, without a camera: a
// camera-less handle (tarvo_offline_open) stands for the recorded camera, made from the product,
// parameters, sensor register file and calibration files the recording keeps, so a raw frame
// decodes as the camera's own decode did, and a later library version or other settings can
// reprocess it. Gray images come with it, and recordings of raw frames alone can be read.
//
// The library's decoding pipeline serves one EPC camera at a time: while a camera is open in the
// process no handle can be had, and the frames are the decoded depth the recording may hold
// (tarvo record --depth or --points), as RecordedFrames reads them; raw_problem() says why.
//
// Thread context: open() on one thread; read() may run on several threads (decodes are
// serialised).
#pragma once

#include <tarvo/tarvo.h>

#include <mutex>
#include <string>

#include "recorded_frames.h"
#include "ros_content.h"

namespace tarvo::recording {

class DecodedRecording {
  public:
    DecodedRecording() = default;
    DecodedRecording(const DecodedRecording &) = delete;
    DecodedRecording &operator=(const DecodedRecording &) = delete;
    ~DecodedRecording();

    // Reads the file and, unless `recorded_depth`, makes the decoding handle. False with `error`
    // (one line, naming the file) when the file cannot be read or is damaged, or when its raw
    // frames cannot be decoded (or are not to be) and it holds no decoded frames either.
    bool open(const std::string &path, std::string &error, bool recorded_depth = false);

    size_t size() const { return frames_.size(); }
    const std::string &path() const { return frames_.path(); }
    bool complete() const { return frames_.complete(); }
    // True when the frames are raw frames decoded by the library.
    bool decodes_raw() const { return dev_ != nullptr; }
    // Why the raw frames are not decoded ("" when they are).
    const std::string &raw_problem() const { return raw_problem_; }
    // True when points come from the recording's clouds (not decoding raw frames).
    bool has_recorded_points() const { return !decodes_raw() && frames_.has_recorded_points(); }
    // The decoding handle (null when not decoding raw frames), for settings that apply to the
    // frames read next (filters: minimum amplitude, undistortion).
    tarvo_dev_t *device() const { return dev_; }

    // Frame `i` (0 to size() - 1) with its points when `with_points`. Decoded from its raw frame
    // when decodes_raw() (distance with NaN where invalid, gray, points along the library's
    // pixel rays), else as RecordedFrames reads it. False with `error` (one line, naming the
    // file and the frame) when it cannot be decoded.
    bool read(size_t i, bool with_points, RecordedFrame &out, std::string &error) const;

  private:
    bool open_handle(std::string &why);
    bool decode_raw(bool with_points, RecordedFrame &out, std::string &why) const;

    RecordedFrames frames_;
    std::string calibration_dir_;  // the recording's calibration files, removed at the end
    tarvo_dev_t *dev_ = nullptr;
    std::string raw_problem_;
    mutable std::mutex mutex_;
    mutable ros::DecodedFrame decoded_;
    mutable ros::LensRays rays_;
};

}  // namespace tarvo::recording
