// Grayscale frames of the virtual camera. In its 2D mode (parameter 10 = 0) the sensor delivers
// one gray sample per pixel, in FLIM's two-sample mode (parameter 10 = 2) two: gate A above
// and gate B below mid-scale. Every pixel carries a fixed pattern, a dark offset and a gain
// deviating from 1, on top of mid-scale (2048):
//
//     2D:      2048 + offset + gain x light + noise
//     gate A:  2048 + pedestal + offset + gain x light + noise
//     gate B:  2048 - (pedestal + offset + gain x light + noise)
//
// clipped to the 12-bit ADC range. The light a pixel collects is the light level times the
// integration time (parameter 13) relative to the reference time. The light level is settable
// while streaming, so that bright and dark frames can be taken, and a host takes dark frames
// with an integration time of 0; frames are also dark while a settable probe says the flash is
// off (the FLIM calibration's dark frames).
//
// Thread context: thread-safe; the camera's producer thread renders frames while tests set the
// light from their own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "frames/camera_frames.h"
#include "vcam.h"

namespace tarvo::vcam {

inline constexpr uint16_t kFormatGray = 0;  // gray frame of 16-bit samples

struct GrayModel {
    uint16_t width = 320;
    uint16_t height = 240;
    int halves = 2;               // 2: read from the centre outward (epc660); 1: bottom-up
    bool epc635_format = false;   // value in the upper 12 bits of the sample word
    double offset_spread = 0.0;   // dark offsets spread uniformly over +-offset_spread counts
    double gain_spread = 0.0;     // gains spread uniformly over 1 +- gain_spread
    double light = 1000.0;        // counts that light adds to a pixel of gain 1
    double reference_us = 700.0;  // integration time at which `light` is collected
    double noise = 0.0;           // read noise, counts (standard deviation)
    double pedestal = 200.0;      // dark level of the gate images, counts from mid-scale
    uint32_t seed = 7;
    int16_t temp_chip = 0x0190;
    int16_t temp_ib = 0x0180;
};

// The fixed pattern of `percent` %: gains within 1 +- percent %, dark offsets within +- percent %
// of the default light level (10 counts per percent), and 2 counts of read noise.
GrayModel gray_fpn(double percent);

class GrayFrames {
  public:
    explicit GrayFrames(const GrayModel &model = {});

    const GrayModel &model() const { return model_; }
    void set_light(double counts);
    double light() const;
    // While `flash_off` returns true the frames are dark. Called on the producer thread.
    void set_flash_probe(std::function<bool()> flash_off);

    // The pattern, by image row and column.
    double dark_offset(int row, int col) const;
    double gain(int row, int col) const;

    // One frame of `planes` (1 or 2) planes in the sensor's read-out order, as sample words,
    // after `integration_us` of exposure (< 0: the reference time).
    std::vector<uint16_t> samples(int planes, uint32_t seq, double integration_us = -1.0) const;
    // The same as the bytes the camera sends.
    std::vector<uint8_t> frame_bytes(int planes, uint32_t seq, double integration_us = -1.0) const;

  private:
    bool dark() const;

    GrayModel model_;
    std::vector<double> offset_;  // image order
    std::vector<double> gain_;
    std::atomic<double> light_;
    mutable std::mutex probe_mu_;
    std::function<bool()> flash_off_;
};

// Frames that follow the camera's mode: gray frames from `gray` in 2D and two-sample mode, the
// time-of-flight frames of `tof` otherwise. The mode is read from parameter 10 at every capture
// start.
std::shared_ptr<StreamSource> make_mode_stream(std::weak_ptr<Camera> camera,
                                               std::shared_ptr<GrayFrames> gray,
                                               const CameraFramesConfig &tof = {});

}  // namespace tarvo::vcam
