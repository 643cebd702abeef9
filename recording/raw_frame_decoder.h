// Decoding of a recording's raw frames, as an interface: the frame reader (which depends on no
// part of the library) hands raw frames to whatever decoder the program supplies, so that tools
// and Python decode them through the library while the reader stays library-free.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "mcap_reader.h"

namespace tarvo::recording {

struct RecordedFrame;

class RawFrameDecoder {
  public:
    virtual ~RawFrameDecoder() = default;
    // Fills out's width, height, distance (metres, NaN where invalid), gray and, with
    // `with_points`, points from the raw frame. False with `error` (one line) when the frame
    // cannot be decoded. Thread context: any thread; calls are serialised by the decoder.
    virtual bool decode(const RawFrameView &raw, bool with_points, RecordedFrame &out,
                        std::string &error) = 0;
};

// Makes a decoder for the camera a recording describes; null with `error` (one line, naming the
// recording as `name`) when it cannot.
using RawDecoderFactory = std::function<std::unique_ptr<RawFrameDecoder>(
    const McapContents &contents, const std::string &name, std::string &error)>;

}  // namespace tarvo::recording
