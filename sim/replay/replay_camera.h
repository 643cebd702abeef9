// A virtual camera that plays a recording back: its identity, parameters and calibration
// package come from the recording's camera description and attachments, and while capturing it
// streams the recorded raw frames, packed into stream packets as the camera sends them, at the
// recorded pace (the spacing of their log times, divided by the rate), each under the stream
// header temperatures it was recorded with.
//
// Thread context: load_replay is a pure function; install_replay configures a camera and may be
// called from any thread; the stream source runs on the camera's producer thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vcam.h"

namespace tarvo::vcam {

struct ReplayFrame {
    uint64_t log_time = 0;  // nanoseconds
    uint16_t format = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    int16_t temp_chip = 0;  // header temperatures, tenths of a degree: recorded with the frame,
    int16_t temp_ib = 0;    // else the recording's own
    std::vector<uint8_t> bytes;
};

struct ReplayRecording {
    CameraConfig camera;                             // product, ident, firmware, chip and wafer
    std::map<uint8_t, std::vector<uint8_t>> params;  // further parameter values, by number
    std::vector<std::pair<std::string, std::vector<uint8_t>>> calibration_files;
    int16_t temp_chip = 0x0190;  // header temperatures of frames recorded without theirs
    int16_t temp_ib = 0x0180;
    std::vector<uint32_t> sensor_registers;  // the image sensor's, from register 0; or none
    std::vector<std::shared_ptr<const ReplayFrame>> frames;  // in log-time order
};

struct ReplayOptions {
    bool loop = false;  // start over after the last frame
    double rate = 1.0;  // playback speed: 2 plays twice as fast
};

// Reads `path`; false with a one-line `error` when it cannot be read, holds no raw frames or
// describes its camera with values out of range.
bool load_replay(const std::string &path, ReplayRecording &out, std::string &error);

// The stream source playing `recording`'s frames from the first one at every capture start.
std::shared_ptr<StreamSource> make_replay_stream(std::shared_ptr<const ReplayRecording> recording,
                                                 const ReplayOptions &options);

// Gives `camera` the recording's parameters, sensor register file (what the sensor holds until
// the host writes it; the default sensor's when none was recorded) and stream, and the
// recording's calibration files as its factory package (none when it has none).
void install_replay(Camera &camera, std::shared_ptr<const ReplayRecording> recording,
                    const ReplayOptions &options);

}  // namespace tarvo::vcam
