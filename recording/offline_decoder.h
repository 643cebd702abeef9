// Raw frames of a recording decoded by the library without a camera: a camera-less handle
// (tarvo_offline_open) stands for the recorded camera, with its product, parameters, sensor
// registers and calibration files as the recording keeps them, so a raw frame decodes as the
// camera's own decode would have, and later library versions or settings can reprocess it.
//
// The library's decoding pipeline serves one EPC device at a time: while a camera is open in
// the process the decoder cannot be made, and the factory says so.
#pragma once

#include <tarvo/tarvo.h>

#include <memory>
#include <string>

#include "raw_frame_decoder.h"

namespace tarvo::recording {

// A RawDecoderFactory for RecordedFrames::open. The recording's calibration files are written
// to a private temporary folder, removed again when the decoder goes.
std::unique_ptr<RawFrameDecoder> open_offline_decoder(const McapContents &contents,
                                                      const std::string &name,
                                                      std::string &error);

// The library handle of a decoder made by open_offline_decoder (for filters and lens settings
// that apply to the frames it decodes next); null for other decoders.
tarvo_dev_t *offline_device(RawFrameDecoder *decoder);

}  // namespace tarvo::recording
