#include <tarvo/cap.h>
#include <tarvo/init.h>
#include <tarvo/log.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "api/dev_ctx.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kDefaultFrameRate = 20;
constexpr uint32_t kMinFrames = 2;
constexpr uint32_t kMaxTimeouts = 64;
constexpr int kAllFrames = 0x7FFFFFFF;
constexpr size_t kScratchBytes = 0x400000;
constexpr const char *kFetchTag = "_tarvo_cap_get_frames";
constexpr const char *kPassTag = "_cap_handle_rdy_data";
constexpr const char *kEventTag = "on_capture_event";

// Frame rate read at the last capture start; the fetch time-out derives from it.
std::atomic<uint32_t> g_frame_rate{0};

// Counts an application thread inside the capture functions for as long as it touches the
// context; close waits for the count to drop to zero before freeing.
class InsideGuard {
  public:
    explicit InsideGuard(tarvo_dev_ctx_t *ctx) : ctx_(ctx) { ctx_->inside.fetch_add(1); }
    ~InsideGuard() { ctx_->inside.fetch_sub(1); }
    InsideGuard(const InsideGuard &) = delete;
    InsideGuard &operator=(const InsideGuard &) = delete;

  private:
    tarvo_dev_ctx_t *ctx_;
};

void wake_one(tarvo_dev_ctx_t *ctx) {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->cond.notify_one();
}

void wake_all(tarvo_dev_ctx_t *ctx) {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->cond.notify_all();
}

uint32_t parser_max_frames(tarvo_dev_ctx_t *ctx) {
    zr_stream_cfg_t cfg{};
    return zr_stream_get_cfg(ctx->stream, &cfg) ? cfg.max_frames : 0;
}

bool frames_ready(tarvo_dev_ctx_t *ctx) {
    zr_stream_state_t state{};
    return zr_stream_get_state(ctx->stream, &state) != nullptr && state.frames_ready > 0;
}

// What a waiting thread wakes up for: capture stopped, a frame to deliver, or an error that the
// error callback is there to take (an error without callback stays pending and must not keep
// waking the waiter).
bool worth_waking(tarvo_dev_ctx_t *ctx) {
    return ctx->stop.load() != 0 || frames_ready(ctx) ||
           (ctx->on_error.load() != nullptr && ctx->err.load() != 0);
}

// Waits on the device's condition until there is something to do or the deadline passes.
// Returns false on a time-out.
bool wait_for_work(tarvo_dev_ctx_t *ctx, const Clock::time_point *deadline) {
    std::unique_lock<std::mutex> lock(ctx->mutex);
    if (deadline == nullptr) {
        ctx->cond.wait(lock, [ctx] { return worth_waking(ctx); });
        return true;
    }
    return ctx->cond.wait_until(lock, *deadline, [ctx] { return worth_waking(ctx); });
}

void report_discards(tarvo_dev_ctx_t *ctx) {
    zr_stream_state_t state{};
    if (zr_stream_get_state(ctx->stream, &state) == nullptr)
        return;
    if (state.frames_discarded > ctx->last_state.frames_discarded) {
        zr_log(1, "DBG", "[%s] trans discard %d frames\n", kEventTag,
               static_cast<int>(state.frames_discarded - ctx->last_state.frames_discarded));
        ctx->discarded = state.frames_discarded;
        ctx->err_arg = state.frames_discarded;
        ctx->err = TARVO_ERR_CAP_FRAME_DISCARD;
    }
    ctx->last_state = state;
    if (ctx->err.load() != 0)
        wake_one(ctx);
}

}  // namespace

// Runs on the USB event thread for every completed bulk transfer: feeds the parser and wakes
// the application; never runs application code.
int tarvo::on_capture_event(tarvo_ll_dev_t *ll, int status, const uint8_t *data, int len,
                            void *arg) {
    tarvo_dev_t *dev = static_cast<tarvo_dev_t *>(arg);
    tarvo_dev_ctx_t *ctx = dev->ctx;
    switch (status) {
        case TARVO_OK:
            if (zr_stream_feed_input(ctx->stream, data, len))
                wake_one(ctx);
            break;
        case TARVO_ERR_CAP_CANCELLED:
            ctx->stop = 1;
            tarvo_ll_cap_abort(ll);
            break;
        case TARVO_ERR_CAP_TIMEOUT:
            if (ctx->timeouts.fetch_add(1) + 1 > kMaxTimeouts && ctx->stop.load() == 0) {
                zr_log(3, "WRN", "[%s] trans timeout -> stop\n", kEventTag);
                ctx->stop = 1;
                ctx->err_arg = 0;
                ctx->err = TARVO_ERR_CAP_TIMEOUT;
                tarvo_ll_cap_abort(ll);
            }
            break;
        default:
            ctx->err_arg = 0;
            ctx->err = status;
            if (ctx->stop.exchange(1) != 0)
                return 0;
            tarvo_ll_cap_abort(ll);
            wake_one(ctx);
            return 0;
    }
    report_discards(ctx);
    return 0;
}

namespace {

// Hands a pending error to the error callback. Returns false when delivery must end.
bool deliver_error(tarvo_dev_t *dev) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    const int err = ctx->err.load();
    const tarvo_cap_error_cb_t on_error = ctx->on_error.load();
    if (on_error != nullptr && err != 0) {
        zr_log(0, "TRC", "[%s] error cb invoke: %s\n", kPassTag, tarvo_error_name(err));
        if (!on_error(dev, err, ctx->err_arg.load())) {
            zr_log(1, "DBG", "[%s] error cb return false to stop capture\n", kPassTag);
            ctx->stop = 1;
            ctx->force_stop = true;
            ctx->err = 0;
            zr_log(0, "TRC", "[%s] error callback force cap to stop\n", kPassTag);
            return false;
        }
        ctx->err = 0;
    }
    if (ctx->force_stop.load()) {
        zr_log(0, "TRC", "[%s] error callback force cap to stop\n", kPassTag);
        return false;
    }
    return true;
}

uint8_t *scratch_for(tarvo_dev_ctx_t *ctx, uint32_t frame_len) {
    const size_t wanted = std::max<size_t>(kScratchBytes, frame_len);
    if (ctx->scratch.size() < wanted)
        ctx->scratch.resize(wanted);
    return ctx->scratch.data();
}

// Where the next frame goes. A frame that does not fit the rest of the caller's buffer is
// truncated there, as the caller asked; the frame-ready callback still gets it whole, from the
// library's own buffer.
struct Placement {
    uint8_t *dst = nullptr;
    uint32_t dst_len = 0;
    uint8_t *truncated_copy = nullptr;  // caller's buffer that receives a truncated copy
    uint32_t truncated_len = 0;
};

Placement place_frame(tarvo_dev_ctx_t *ctx, tarvo::FetchRequest *req, uint32_t frame_len,
                      bool want_callback) {
    Placement p;
    if (req != nullptr && req->remaining > 0 && req->buf != nullptr) {
        if (frame_len <= req->size || !want_callback) {
            p.dst = req->buf;
            p.dst_len = req->size;
            return p;
        }
        p.truncated_copy = req->buf;
        p.truncated_len = req->size;
    }
    if (want_callback) {
        p.dst = scratch_for(ctx, frame_len);
        p.dst_len = static_cast<uint32_t>(ctx->scratch.size());
    }
    return p;
}

void describe_frame(tarvo_dev_ctx_t *ctx, const zr_stream_frame_info_t &sinfo) {
    tarvo_drv_t *drv = ctx->drv;
    if (drv == nullptr || drv->ops->frame_get_info == nullptr ||
        !drv->ops->frame_get_info(drv, &ctx->frame_info, &sinfo)) {
        zr_log(4, "ERR", "[%s]  driver frame_get_info failed!\n", kPassTag);
        std::memset(&ctx->frame_info, 0, sizeof ctx->frame_info);
    }
}

void account_request(tarvo_dev_ctx_t *ctx, tarvo::FetchRequest *req, uint32_t frame_len) {
    if (req == nullptr || req->remaining == 0)
        return;
    if (req->remaining == req->frame_num && req->info_out != nullptr) {
        *req->info_out = ctx->frame_info;
    }
    if (req->buf != nullptr && req->size >= frame_len) {
        req->buf += frame_len;
        req->size -= frame_len;
    }
    req->remaining--;
}

void call_frame_ready(tarvo_dev_t *dev, tarvo_cap_frame_ready_cb_t on_frame_ready, uint8_t *data) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    tarvo_frame_t frame{ctx->frame_info, data};
    const unsigned idx = ctx->frame_info.frame_idx;
    zr_log(0, "TRC", "[%s] frdy cb invoke: %u,%u\n", kPassTag, idx, idx);
    const auto begin = Clock::now();
    on_frame_ready(dev, &frame);
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
    zr_log(1, "DBG", "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", kPassTag, idx, idx,
           static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
}

// One delivery pass on the calling application thread: the pending error first, then up to
// reqmax ready frames into the caller's request (null for a wait) and the frame-ready callback.
void handle_ready_data(tarvo_dev_t *dev, int reqmax, tarvo::FetchRequest *req) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    std::lock_guard<std::mutex> one_pass_at_a_time(ctx->delivery);
    struct Delivering {
        tarvo_dev_ctx_t *ctx;
        ~Delivering() { ctx->delivering = std::thread::id(); }
    } delivering{ctx};
    ctx->delivering = std::this_thread::get_id();
    if (!deliver_error(dev))
        return;
    if (reqmax == 0 || !frames_ready(ctx))
        return;
    const tarvo_cap_frame_ready_cb_t on_frame_ready = ctx->on_frame_ready.load();
    int handled = 0;
    while (handled < reqmax) {
        zr_stream_frame_info_t sinfo{};
        if (zr_stream_fetch_frames(ctx->stream, nullptr, 0, 1, &sinfo, true) == 0)
            break;
        const Placement p = place_frame(ctx, req, sinfo.frlen, on_frame_ready != nullptr);
        if (zr_stream_fetch_frames(ctx->stream, p.dst, static_cast<int>(p.dst_len), 1, &sinfo,
                                   false) == 0) {
            break;
        }
        if (p.truncated_copy != nullptr) {
            std::memcpy(p.truncated_copy, p.dst, std::min(p.truncated_len, sinfo.frlen));
        }
        describe_frame(ctx, sinfo);
        account_request(ctx, req, sinfo.frlen);
        if (on_frame_ready != nullptr && p.dst != nullptr)
            call_frame_ready(dev, on_frame_ready, p.dst);
        ++handled;
    }
    zr_log(0, "TRC", "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n", kPassTag,
           static_cast<unsigned>(handled), reqmax,
           req != nullptr ? static_cast<int>(req->remaining) : reqmax);
}

// Fetch time-out: per frame 100 ms plus the frame period, and 2 s on top.
int fetch_timeout_ms(uint32_t frame_num) {
    uint32_t fps = g_frame_rate.load();
    if (fps == 0) {
        fps = kDefaultFrameRate;
        g_frame_rate = fps;
    }
    const int64_t per_frame = 1000 / fps;
    const int64_t timeout = int64_t{frame_num} * 100 + int64_t{frame_num} * per_frame + 2000;
    return static_cast<int>(std::min<int64_t>(timeout, INT32_MAX));
}

// The request's end: a last pass, and whether capture is still running.
int finish_fetch(tarvo_dev_t *dev, const char *func, tarvo::FetchRequest &req) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    const bool capturing = ctx->capturing;
    if (!capturing)
        zr_log(0, "TRC", "[%s] device is not capturing\n", func);
    handle_ready_data(dev, static_cast<int>(req.remaining), &req);
    return capturing ? static_cast<int>(req.frame_num - req.remaining) : -2;
}

bool read_frame_rate(tarvo_dev_t *dev) {
    tarvo_param_item_t item{};
    item.param_id = tarvo::kFrameRateParam;
    item.param_val_len = 4;
    if (!tarvo::param_batch_get(dev, &item, 1))
        return false;
    uint32_t fps;
    std::memcpy(&fps, item.param_val, sizeof fps);
    g_frame_rate = fps;
    return true;
}

}  // namespace

extern "C" {

TARVO_API bool tarvo_cap_set_frame_buffer(tarvo_dev_t *dev, uint8_t *buf, uint32_t size) {
    if (dev == nullptr)
        return false;
    if (!tarvo::is_open(dev) || dev->ctx->capturing) {
        zr_log(4, "ERR",
               "[%s]  Set frame buffer is not allowed when device is not open or is capturing\n",
               __func__);
        return false;
    }
    tarvo::BusyGuard busy(dev);
    zr_stream_cfg_t cfg{size / TARVO_CAP_FRAME_UNIT};
    zr_stream_set_cfg(dev->ctx->stream, &cfg);
    zr_log(1, "DBG", "[%s] frame buffer: %d frames\n", __func__, static_cast<int>(cfg.max_frames));
    dev->ctx->cap_start_arg = 0;
    return true;
}

TARVO_API bool tarvo_cap_get_frame_buffer(tarvo_dev_t *dev, uint8_t **buf_out, uint32_t *size_out) {
    if (buf_out != nullptr)
        *buf_out = nullptr;
    if (size_out != nullptr) {
        *size_out = tarvo::is_open(dev) ? parser_max_frames(dev->ctx) * TARVO_CAP_FRAME_UNIT : 0;
    }
    return true;
}

TARVO_API void tarvo_cap_set_callback_on_frame_ready(tarvo_dev_t *dev,
                                                     tarvo_cap_frame_ready_cb_t cb) {
    zr_log(1, "DBG", "[%s] set on_cap_frdy to %p\n", __func__, reinterpret_cast<void *>(cb));
    if (dev == nullptr || dev->ctx == nullptr)
        return tarvo::log_handle_not_open(__func__);
    dev->ctx->on_frame_ready = cb;
    tarvo::set_busy(dev, false);
}

TARVO_API void tarvo_cap_set_callback_on_error(tarvo_dev_t *dev, tarvo_cap_error_cb_t cb) {
    zr_log(1, "DBG", "[%s] set on_cap_err to %p\n", __func__, reinterpret_cast<void *>(cb));
    if (dev == nullptr || dev->ctx == nullptr)
        return tarvo::log_handle_not_open(__func__);
    dev->ctx->on_error = cb;
    tarvo::set_busy(dev, false);
}

TARVO_API bool tarvo_cap_is_ongoing(tarvo_dev_t *dev) {
    return dev != nullptr && dev->ctx != nullptr && dev->ctx->capturing;
}

TARVO_API bool tarvo_cap_start(tarvo_dev_t *dev) {
    if (!tarvo::is_open(dev) || dev->ctx->ll.priv == nullptr) {
        tarvo::log_handle_not_open(__func__);
        return false;
    }
    tarvo_dev_ctx_t *ctx = dev->ctx;
    if (ctx->capturing) {
        zr_log(3, "WRN", "[%s] capture is already running\n", __func__);
        return false;
    }
    tarvo::BusyGuard busy(dev);
    read_frame_rate(dev);
    if (parser_max_frames(ctx) < kMinFrames) {
        zr_log(4, "ERR", "[%s]  capture buffer not set or size is not correct \n",
               "_tarvo_cap_start");
        return false;
    }
    zr_log(0, "TRC", "[%s] Enter ... \n", "_tarvo_cap_start");
    ctx->timeouts = 0;
    ctx->discarded = 0;
    ctx->force_stop = false;
    ctx->err = 0;
    ctx->err_arg = 0;
    ctx->last_state = zr_stream_state_t{};
    zr_stream_reset(ctx->stream);
    ctx->stop = 0;
    zr_log(1, "DBG", "[%s] issue start cmd\n", "_tarvo_cap_start");
    const bool started =
        tarvo_ll_cap_start(&ctx->ll, ctx->cap_start_arg, tarvo::on_capture_event, dev);
    if (started) {
        ctx->capturing = true;
    } else {
        ctx->stop = 1;
    }
    return started;
}

TARVO_API bool tarvo_cap_stop(tarvo_dev_t *dev) {
    zr_log(1, "DBG", "[%s] Enter\n", __func__);
    if (!tarvo::is_open(dev)) {
        tarvo::log_handle_not_open(__func__);
        return false;
    }
    tarvo_dev_ctx_t *ctx = dev->ctx;
    tarvo::BusyGuard busy(dev);
    if (ctx->capturing) {
        zr_log(0, "TRC", "[%s] Enter\n", "_tarvo_cap_stop");
        ctx->stop = 1;
        const bool stopped = tarvo_ll_cap_stop(&ctx->ll);
        ctx->capturing = !stopped;  // before the wake-up, so waiters see the final state
        wake_all(ctx);
        zr_log(0, "TRC", "[%s] Exit\n", "_tarvo_cap_stop");
    }
    return true;
}

TARVO_API int tarvo_cap_get_frames(tarvo_dev_t *dev, uint32_t frame_num, uint8_t *buf,
                                   uint32_t size, tarvo_frame_info_t *info_out) {
    const int timeout_ms = fetch_timeout_ms(frame_num);
    const auto deadline = Clock::now() + milliseconds(timeout_ms);
    if (!tarvo::is_open(dev) || frame_num == 0) {
        zr_log(1, "DBG", "[%s] Wrong params\n", kFetchTag);
        return -1;
    }
    tarvo_dev_ctx_t *ctx = dev->ctx;
    InsideGuard inside(ctx);
    tarvo::BusyGuard busy(dev);
    zr_log(0, "TRC", "[%s] frame_num = %d, timeout_msec=%d\n", kFetchTag,
           static_cast<int>(frame_num), timeout_ms);
    tarvo::FetchRequest req{frame_num, frame_num, buf, size, info_out};
    const int pending = ctx->err.load();
    if (pending < 0) {
        handle_ready_data(dev, static_cast<int>(std::min<uint32_t>(frame_num, kAllFrames)), &req);
        return pending;
    }
    while (ctx->stop.load() == 0) {
        if (!wait_for_work(ctx, &deadline)) {
            zr_log(2, "INF", "[%s]  timeout ... (%s)\n", kFetchTag, std::strerror(ETIMEDOUT));
            break;
        }
        handle_ready_data(dev, static_cast<int>(req.remaining), &req);
        if (req.remaining == 0)
            break;
    }
    return finish_fetch(dev, kFetchTag, req);
}

TARVO_API int tarvo_cap_get_frame(tarvo_dev_t *dev, uint8_t *buf, uint32_t size,
                                  tarvo_frame_info_t *info_out) {
    if (!tarvo::is_open(dev)) {
        zr_log(1, "DBG", "[%s] Wrong params\n", kFetchTag);
        return -1;
    }
    tarvo_dev_ctx_t *ctx = dev->ctx;
    InsideGuard inside(ctx);
    tarvo::BusyGuard busy(dev);
    zr_log(0, "TRC", "[%s] frame_num = %d, timeout_msec=%d\n", kFetchTag, 1, 0);
    tarvo::FetchRequest req{1, 1, buf, size, info_out};
    const int pending = ctx->err.load();
    if (pending < 0) {
        handle_ready_data(dev, 1, &req);
        return pending;
    }
    return finish_fetch(dev, kFetchTag, req);
}

TARVO_API bool tarvo_cap_snapshot(tarvo_dev_t *dev, uint8_t *buf, uint32_t size,
                                  tarvo_frame_info_t *info_out) {
    if (!tarvo::is_open(dev)) {
        zr_log(4, "ERR", "[%s] wrong parameters\n", __func__);
        return false;
    }
    if (dev->ctx->capturing)
        return tarvo_cap_get_frames(dev, 1, buf, size, info_out) != 0;
    if (!tarvo_cap_start(dev))
        return false;
    const int got = tarvo_cap_get_frames(dev, 1, buf, size, info_out);
    tarvo_cap_stop(dev);
    return got != 0;
}

TARVO_API bool tarvo_cap_wait(tarvo_dev_t *dev, int timeout_msec) {
    zr_log(1, "DBG", "[%s] timeout_msec=%d\n", __func__, timeout_msec);
    if (!tarvo::is_open(dev)) {
        zr_log(1, "DBG", "[%s] Wrong params\n", __func__);
        return false;
    }
    tarvo_dev_ctx_t *ctx = dev->ctx;
    if (!ctx->capturing) {
        zr_log(1, "DBG", "[%s] device is not capturing\n", __func__);
        return false;
    }
    InsideGuard inside(ctx);
    tarvo::BusyGuard busy(dev);
    const auto deadline = Clock::now() + milliseconds(std::max(timeout_msec, 0));
    bool result = true;
    if (ctx->err.load() >= 0 && ctx->stop.load() == 0) {
        for (;;) {
            // Not busy while asleep: a close from another thread must not wait for this call.
            tarvo::set_busy(dev, false);
            const bool woke = wait_for_work(ctx, timeout_msec != 0 ? &deadline : nullptr);
            tarvo::set_busy(dev, true);
            if (!woke) {
                zr_log(2, "INF", "[%s]  timeout ...\n", __func__);
                result = false;
                break;
            }
            handle_ready_data(dev, kAllFrames, nullptr);
            if (ctx->stop.load() != 0)
                break;
        }
    }
    handle_ready_data(dev, kAllFrames, nullptr);
    return result;
}

}  // extern "C"

namespace tarvo {

// Wakes every thread waiting in a capture function of the device and waits until all have left
// the library, so the context can be freed.
void release_capture_waiters(tarvo_dev_t *dev) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    ctx->stop = 1;
    while (ctx->inside.load() != 0) {
        wake_all(ctx);
        std::this_thread::sleep_for(milliseconds(1));
    }
}

tarvo_frame_info_t newest_frame_info(tarvo_dev_t *dev) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    if (ctx->delivering.load() == std::this_thread::get_id())
        return ctx->frame_info;
    std::lock_guard<std::mutex> lock(ctx->delivery);
    return ctx->frame_info;
}

}  // namespace tarvo
