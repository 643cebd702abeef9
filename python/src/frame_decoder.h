// Decoding captured frames into distances, gray values and points. The driver decodes through
// the open camera (its calibration and the process-wide pipeline bound to it), so each result
// of a frame is decoded once and kept with the frame; a camera that closes first decodes the
// results its live frames do not have yet, and they stay readable after the close. Knows
// nothing of Python: every call here runs with the interpreter lock released.
//
// Thread context: any thread; one decode at a time per camera, under the decoder's lock.
#pragma once

#include <tarvo/tarvo.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device.h"

namespace tarvo_py {

class FrameDecoder;

using FloatImage = std::vector<float>;

// The points of a frame: x, y, z and the colour word of the distance (tarvo_frame_get_pcl_xyzd
// with colour) of each pixel that gives one, in row-major order, with the distances they come
// from. The x, y, z of the plain cloud are the same numbers.
struct CloudData {
    std::shared_ptr<const FloatImage> distance;
    std::vector<float> points;  // kCloudStride floats per point
    size_t count = 0;
};
inline constexpr size_t kCloudStride = 4;

// One result of a frame: absent until decoded. A result that the closing camera could not
// decode keeps the reason, raised again at every request.
template <typename T>
struct Kept {
    std::shared_ptr<const T> value;
    std::string error;
};

// A captured frame and what has been decoded of it; the results are guarded by the decoder's
// lock and never change once there.
struct Frame {
    std::shared_ptr<FrameDecoder> decoder;
    RawFrame raw;
    Kept<FloatImage> distance;
    std::optional<zr_lens_param_t> distance_lens;  // the driver's lens when distance was decoded
    Kept<FloatImage> gray;
    Kept<CloudData> cloud;
};

// Pixels of the frame's image, width x height.
size_t pixels_of(const Frame &f);

// One camera's decoding: the lock, the camera while it is open, and weak references to the
// frames it captured, so that closing keeps only the frames that are still referenced.
class FrameDecoder : public std::enable_shared_from_this<FrameDecoder> {
  public:
    explicit FrameDecoder(Device &device) : device_(&device) {}

    // A new frame of this camera, registered for decoding at close.
    std::shared_ptr<Frame> adopt(RawFrame raw);

    // The frame's results, decoded now when the frame has none yet; throw Failure when the
    // frame cannot be decoded (or its camera closed before it was).
    std::shared_ptr<const FloatImage> distance(Frame &f);
    std::shared_ptr<const FloatImage> gray(Frame &f);
    std::shared_ptr<const CloudData> cloud(Frame &f);

    // Called by the camera before its handle closes: with `decode_frames`, decodes every result
    // that a live frame lacks (a failure is kept as that result's error); then decoding through
    // the camera ends. Waits for a decode in progress on another thread.
    void retire(bool decode_frames);

  private:
    // With mutex_ held.
    tarvo_dev_t *open_handle(const Frame &f, const char *what);
    const std::shared_ptr<const FloatImage> &distance_locked(Frame &f);
    const std::shared_ptr<const FloatImage> &gray_locked(Frame &f);
    const std::shared_ptr<const CloudData> &cloud_locked(Frame &f);
    std::shared_ptr<const FloatImage> decode_distance(Frame &f);
    std::optional<zr_lens_param_t> current_lens(const Frame &f);
    void decode_all(Frame &f);
    void prune();

    std::mutex mutex_;
    Device *device_;  // null once the camera closed
    std::vector<std::weak_ptr<Frame>> frames_;
    size_t prune_at_ = 64;  // registry size at which expired entries are dropped next
};

}  // namespace tarvo_py
