// The private per-device context behind a tarvo_dev_t, and the helpers every public device
// function uses to check a handle and mark it busy.
#pragma once

#include <tarvo/cap.h>
#include <tarvo/dev.h>
#include <tarvo/drv.h>
#include <tarvo/frame.h>
#include <tarvo/ll.h>
#include <tarvo/stream.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvo {

// A fetch in progress; lives on the stack of the fetching function.
struct FetchRequest {
    uint32_t frame_num;
    uint32_t remaining;
    uint8_t *buf;
    uint32_t size;
    tarvo_frame_info_t *info_out;
};

}  // namespace tarvo

struct tarvo_dev_ctx {
    tarvo_ll_dev_t ll{};  // first, so the context is what every low-level call receives
    tarvo_drv_t *drv = nullptr;
    bool opened = false;
    std::atomic<bool> capturing{false};
    zr_stream_t *stream = nullptr;

    // Capture state. The USB event thread writes stop, timeouts, err, err_arg, discarded and
    // last_state; application threads read them, hence the atomics.
    zr_stream_state_t last_state{};
    tarvo_frame_info_t frame_info{};
    uint32_t cap_start_arg = 0;
    std::atomic<int> stop{1};
    std::atomic<uint32_t> timeouts{0};
    std::atomic<uint32_t> discarded{0};
    std::atomic<int> err{0};
    std::atomic<bool> force_stop{false};
    std::atomic<uint32_t> err_arg{0};
    std::atomic<tarvo_cap_frame_ready_cb_t> on_frame_ready{nullptr};
    std::atomic<tarvo_cap_error_cb_t> on_error{nullptr};

    std::mutex mutex;  // guards only cond
    std::condition_variable cond;
    // One delivery pass at a time, whichever application thread runs it: frames leave the
    // parser in order and the callbacks never run concurrently. Guards frame_info and scratch.
    std::mutex delivery;
    // The thread inside a delivery pass: a frame-ready callback that reads frame_info runs on
    // it and must not take the lock again.
    std::atomic<std::thread::id> delivering{};
    std::vector<uint8_t> scratch;  // frames for the frame-ready callback without a buffer
    // Application threads inside a fetch or wait call; close frees the context only after they
    // have left, even though a waiting thread does not hold the busy flag while it sleeps.
    std::atomic<int> inside{0};
};

namespace tarvo {

// Device parameter 12: the camera's frame rate in frames per second, 32-bit.
inline constexpr int32_t kFrameRateParam = 12;

// The busy byte of a handle is shared with a close running on another thread.
inline void set_busy(tarvo_dev_t *dev, bool busy) {
    std::atomic_ref<uint8_t>(dev->busy).store(busy ? 1 : 0);
}
inline bool is_busy(tarvo_dev_t *dev) {
    return std::atomic_ref<uint8_t>(dev->busy).load() != 0;
}

// A handle that has been opened and not closed since.
inline bool is_open(const tarvo_dev_t *dev) {
    return dev != nullptr && dev->ctx != nullptr && dev->ctx->opened;
}

// Marks a handle busy for the lifetime of the guard.
class BusyGuard {
  public:
    explicit BusyGuard(tarvo_dev_t *dev) : dev_(dev) { set_busy(dev_, true); }
    ~BusyGuard() { set_busy(dev_, false); }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

  private:
    tarvo_dev_t *dev_;
};

// The line every device function writes for a handle that is not open.
void log_handle_not_open(const char *func);

// Wakes every thread waiting in a capture function of the device and returns once all of them
// have left the library.
void release_capture_waiters(tarvo_dev_t *dev);

// The capture engine's transfer callback (USB event thread); arg is the device handle.
int on_capture_event(tarvo_ll_dev_t *ll, int status, const uint8_t *data, int len, void *arg);

// The description of the newest delivered frame, read safely beside a delivery pass on another
// thread and from a frame-ready callback.
tarvo_frame_info_t newest_frame_info(tarvo_dev_t *dev);

// Logs a register call without a value buffer; returns false.
bool log_no_values(const char *func);

// The parameter read without the busy flag, which open and capture start use for the
// identification and the frame rate. Lengths the camera reports above the item's 18 value bytes
// are cut to 18 with a warning; on failure the items are untouched.
bool param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count);

}  // namespace tarvo
