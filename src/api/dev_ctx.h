// The private per-device context behind a tarvo_dev_t, and the helpers every public device
// function uses to check a handle and mark it busy.
#pragma once

#include <tarvo/cap.h>
#include <tarvo/dev.h>
#include <tarvo/drv.h>
#include <tarvo/frame.h>
#include <tarvo/frame_time.h>
#include <tarvo/ll.h>
#include <tarvo/stream.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "api/offline_camera.h"

namespace tarvo {

// A fetch in progress; lives on the stack of the fetching function and is queued in the device
// context while it waits, so that whichever thread runs a delivery pass fills it.
struct FetchRequest {
    uint32_t frame_num;
    uint32_t remaining;  // written under the context's mutex
    uint8_t *buf;
    uint32_t size;
    tarvo_frame_info_t *info_out;
    bool in_use = false;  // a pass is writing a frame into buf; guarded by the context's mutex
    std::vector<tarvo_frame_time_t> times{};  // of the frames delivered; guarded by the mutex
};

// What the capture remembers to number the next delivered frame; reset at every start.
struct FrameTimeline {
    bool started = false;     // a frame has been delivered since the start
    uint16_t last_index = 0;  // its frame index
    uint64_t next_sequence = 0;
    uint64_t parser_losses = 0;  // frames the parser discarded or dropped before it
};

}  // namespace tarvo

struct tarvo_dev_ctx {
    tarvo_ll_dev_t ll{};  // first, so the context is what every low-level call receives
    tarvo_drv_t *drv = nullptr;
    std::atomic<bool> opened{false};
    // Set once close has begun: no call is admitted any more (see BusyGuard).
    std::atomic<bool> closing{false};
    std::atomic<bool> capturing{false};
    zr_stream_t *stream = nullptr;

    // Capture state. The USB event thread writes stop, timeouts, err, err_arg, discarded and
    // last_state; application threads read them, hence the atomics.
    zr_stream_state_t last_state{};
    tarvo_frame_info_t frame_info{};
    tarvo_frame_time_t frame_time{};  // of the newest delivered frame; the pass owns it
    tarvo::FrameTimeline timeline{};  // the pass owns it; tarvo_cap_start resets it
    uint32_t cap_start_arg = 0;
    std::atomic<int> stop{1};
    std::atomic<uint32_t> timeouts{0};
    std::atomic<uint32_t> discarded{0};
    std::atomic<int> err{0};
    std::atomic<bool> force_stop{false};
    std::atomic<uint32_t> err_arg{0};
    std::atomic<tarvo_cap_frame_ready_cb_t> on_frame_ready{nullptr};
    std::atomic<tarvo_cap_error_cb_t> on_error{nullptr};

    // Serialises capture start and stop: the check of `capturing`, the parser reset and the
    // transport's start or stop happen as one step. Taken before `mutex`, never under it.
    std::mutex control;
    // Never held together with the library-wide call lock (dev.cpp).
    std::mutex mutex;
    std::condition_variable cond;  // frames, errors, stop, the end of a pass, a request served
    // One delivery pass at a time, whichever application thread runs it: frames leave the
    // parser in order and the callbacks never run concurrently. The pass owns frame_info and
    // scratch.
    bool delivering = false;                      // guarded by mutex
    std::vector<tarvo::FetchRequest *> requests;  // waiting fetches, oldest first; guarded by mutex
    std::vector<uint8_t> scratch;  // frames for the frame-ready callback without a buffer

    // Public calls admitted and not yet left; guarded by the library-wide call lock.
    int inside = 0;

    // Set for the life of an offline handle (tarvo_offline_open): no transport behind it.
    std::unique_ptr<tarvo::OfflineCamera> offline;
};

namespace tarvo {

// Device parameter 12: the camera's frame rate in frames per second, 32-bit.
inline constexpr int32_t kFrameRateParam = 12;

// A handle that has been opened, and whose close has not begun.
bool is_open(const tarvo_dev_t *dev);

// Admits a public call to an open device and marks the handle busy while the call runs. Close
// frees the context only after every admitted call has left, and admits none once it has
// begun; the context of an admitted call therefore stays valid until the guard goes. Calls
// nest (a callback calling back into the library is admitted again).
class BusyGuard {
  public:
    explicit BusyGuard(tarvo_dev_t *dev);
    ~BusyGuard();
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

    explicit operator bool() const { return ctx_ != nullptr; }
    // The admitted call's context; null when the handle was not open or is closing.
    tarvo_dev_ctx_t *ctx() const { return ctx_; }

  private:
    tarvo_dev_t *dev_;
    tarvo_dev_ctx_t *ctx_ = nullptr;
};

// True while this thread runs a frame-ready or error callback of the device.
bool in_capture_callback(const tarvo_dev_ctx_t *ctx);

// Stops streaming when capture runs and wakes every waiting thread; capturing stays set when
// the transport did not confirm the stop. For an admitted call, or for close.
void stop_capture(tarvo_dev_ctx_t *ctx);

// Marks capture stopped for close and wakes every thread waiting in a capture function of the
// device, so that it leaves.
void release_capture_waiters(tarvo_dev_ctx_t *ctx);

// The description of the newest delivered frame, read safely beside a delivery pass on another
// thread and from a frame-ready callback.
tarvo_frame_info_t newest_frame_info(tarvo_dev_t *dev);

// The line every device function writes for a handle that is not open.
void log_handle_not_open(const char *func);

// The capture engine's transfer callback (USB event thread); arg is the device handle.
int on_capture_event(tarvo_ll_dev_t *ll, int status, const uint8_t *data, int len, void *arg);

// Logs a register call without a value buffer; returns false.
bool log_no_values(const char *func);

// The parameter read without the busy flag, which open and capture start use for the
// identification and the frame rate. Lengths the camera reports above the item's 18 value bytes
// are cut to 18 with a warning; on failure the items are untouched.
bool param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count);

// The camera description behind an offline handle; null for a camera's handle or a handle
// that is not open.
OfflineCamera *offline_camera(const tarvo_dev_t *dev);

// True, after a log line naming `func`, when ctx belongs to an offline handle: the call needs a
// camera.
bool refuse_offline(const tarvo_dev_ctx_t *ctx, const char *func);

// Opens a handle record of its own (freed on close) for `camera`; see tarvo_offline_open.
tarvo_dev_t *open_offline(const tarvo_offline_camera_t *camera);

}  // namespace tarvo
