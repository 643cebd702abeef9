#include <tarvo/cap.h>
#include <tarvo/frame_time.h>
#include <tarvo/init.h>
#include <tarvo/log.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "api/dev_ctx.h"
#include "stream/stream_parser.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kDefaultFrameRate = 20;
constexpr uint32_t kMinFrames = 2;
constexpr uint32_t kMaxTimeouts = 64;
constexpr int kAllFrames = 0x7FFFFFFF;
constexpr size_t kScratchBytes = 0x400000;
constexpr size_t kMaxKeptTimes = 65536;  // frame times a fetch keeps for its thread
constexpr const char *kFetchTag = "_tarvo_cap_get_frames";
constexpr const char *kPassTag = "_cap_handle_rdy_data";
constexpr const char *kEventTag = "on_capture_event";

// Frame rate read at the last capture start; the fetch time-out derives from it.
std::atomic<uint32_t> g_frame_rate{0};

// The delivery passes running on this thread, innermost first. A callback that calls back into
// the library finds its own device here, and tarvo_frame_get_time the frame it received.
struct ActivePass {
    const tarvo_dev_ctx_t *ctx;
    ActivePass *outer;
    const tarvo_frame_t *frame = nullptr;  // in the frame-ready callback now
    tarvo_frame_time_t time{};             // of that frame
};
thread_local ActivePass *t_passes = nullptr;

// The frame times of this thread's last fetch on each device it fetched from.
struct FetchTimes {
    const tarvo_dev_t *dev;
    std::vector<tarvo_frame_time_t> times;
};
thread_local std::vector<FetchTimes> t_fetch_times;

void keep_fetch_times(const tarvo_dev_t *dev, std::vector<tarvo_frame_time_t> &&times) {
    for (FetchTimes &entry : t_fetch_times) {
        if (entry.dev == dev) {
            entry.times = std::move(times);
            return;
        }
    }
    try {
        t_fetch_times.push_back({dev, std::move(times)});
    } catch (const std::bad_alloc &) {
        zr_log(4, "ERR", "[%s] malloc failed\n", "tarvo_cap_get_frame_times");
    }
}

// Numbers the frame just taken from the parser: lost frames from the index gap or, when more,
// from the parser's discards and drops since the previous frame. The temperatures are its
// stream header's.
static_assert(sizeof(tarvo_frame_time_t) == 32 &&
                  offsetof(tarvo_frame_time_t, sensor_temperature) == 28 &&
                  offsetof(tarvo_frame_time_t, illumination_temperature) == 30,
              "the frame time keeps its published layout");

tarvo_frame_time_t frame_time_of(tarvo::FrameTimeline &tl, const zr_stream_frame_info_t &header,
                                 const tarvo::stream::FrameStamp &stamp) {
    const uint16_t index = header.fridx;
    const uint64_t parser_losses = uint64_t{stamp.discarded_before} + stamp.dropped_before;
    uint64_t lost = parser_losses >= tl.parser_losses ? parser_losses - tl.parser_losses : 0;
    if (tl.started) {
        const uint16_t step = static_cast<uint16_t>(index - tl.last_index);
        lost = std::max<uint64_t>(lost, step > 1 ? step - 1u : 0u);
    }
    tarvo_frame_time_t t{};
    t.monotonic_ns = stamp.monotonic_ns;
    t.realtime_ns = stamp.realtime_ns;
    t.sequence = tl.next_sequence + lost;
    t.lost_before = static_cast<uint32_t>(std::min<uint64_t>(lost, UINT32_MAX));
    t.sensor_temperature = header.temp_chip;
    t.illumination_temperature = header.temp_ib;
    tl.started = true;
    tl.last_index = index;
    tl.next_sequence = t.sequence + 1;
    tl.parser_losses = parser_losses;
    return t;
}

void wake_all(tarvo_dev_ctx_t *ctx) {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->cond.notify_all();
}

uint32_t parser_max_frames(tarvo_dev_ctx_t *ctx) {
    zr_stream_cfg_t cfg{};
    return zr_stream_get_cfg(ctx->stream, &cfg) ? cfg.max_frames : 0;
}

uint32_t frames_ready(tarvo_dev_ctx_t *ctx) {
    zr_stream_state_t state{};
    return zr_stream_get_state(ctx->stream, &state) != nullptr ? state.frames_ready : 0;
}

// What a delivery pass has to do: frames to hand out, or an error that the error callback is
// there to take (an error without callback stays pending and is no work). Nothing while muted.
bool has_work(tarvo_dev_ctx_t *ctx) {
    if (ctx->force_stop.load())
        return false;
    return frames_ready(ctx) > 0 || (ctx->on_error.load() != nullptr && ctx->err.load() != 0);
}

// A pass may start when there is work and no other pass runs.
bool pass_due(tarvo_dev_ctx_t *ctx) {
    return !ctx->delivering && has_work(ctx);
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
        wake_all(ctx);
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
                wake_all(ctx);
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
            wake_all(ctx);
            return 0;
    }
    report_discards(ctx);
    return 0;
}

namespace {

// Hands a pending error to the error callback; `called` tells whether it ran. Returns false when
// delivery must end.
bool deliver_error(tarvo_dev_t *dev, bool &called) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    const int err = ctx->err.load();
    const tarvo_cap_error_cb_t on_error = ctx->on_error.load();
    called = false;
    if (on_error != nullptr && err != 0) {
        zr_log(0, "TRC", "[%s] error cb invoke: %s\n", kPassTag, tarvo_error_name(err));
        called = true;
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
    try {
        if (ctx->scratch.size() < wanted)
            ctx->scratch.resize(wanted);
    } catch (const std::bad_alloc &) {
        zr_log(4, "ERR", "[%s] malloc failed\n", kPassTag);
        return nullptr;
    }
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

// False when the library's buffer for the callback cannot be had.
bool place_frame(tarvo_dev_ctx_t *ctx, const tarvo::FetchRequest *req, uint32_t frame_len,
                 bool want_callback, Placement &p) {
    p = Placement{};
    if (req != nullptr && req->buf != nullptr) {
        if (frame_len <= req->size || !want_callback) {
            p.dst = req->buf;
            p.dst_len = req->size;
            return true;
        }
        p.truncated_copy = req->buf;
        p.truncated_len = req->size;
    }
    if (want_callback) {
        p.dst = scratch_for(ctx, frame_len);
        p.dst_len = static_cast<uint32_t>(ctx->scratch.size());
        return p.dst != nullptr;
    }
    return true;
}

// A frame that does not fit the rest of the caller's buffer still counts as delivered, but the
// caller gets only its first bytes: say so, or the cut frame surfaces later as a decode failure.
void warn_if_truncated(const tarvo::FetchRequest *req, uint32_t frame_len) {
    if (req == nullptr || req->buf == nullptr || frame_len <= req->size)
        return;
    zr_log(3, "WRN",
           "[%s] buffer space of %u bytes is smaller than the frame of %u bytes: frame cut\n",
           kFetchTag, req->size, frame_len);
}

void describe_frame(tarvo_dev_ctx_t *ctx, const zr_stream_frame_info_t &sinfo) {
    tarvo_drv_t *drv = ctx->drv;
    if (drv == nullptr || drv->ops->frame_get_info == nullptr ||
        !drv->ops->frame_get_info(drv, &ctx->frame_info, &sinfo)) {
        zr_log(4, "ERR", "[%s]  driver frame_get_info failed!\n", kPassTag);
        std::memset(&ctx->frame_info, 0, sizeof ctx->frame_info);
    }
}

// The oldest waiting fetch that still wants frames, claimed for one frame: its owner cannot
// leave until the frame is in and the callback has seen it. Null when no fetch waits.
tarvo::FetchRequest *claim_request(tarvo_dev_ctx_t *ctx) {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    for (tarvo::FetchRequest *req : ctx->requests) {
        if (req->remaining > 0) {
            req->in_use = true;
            return req;
        }
    }
    return nullptr;
}

// Hands a claimed request back, with the frame just delivered into it counted when `frame_len`
// is given.
void release_request(tarvo_dev_ctx_t *ctx, tarvo::FetchRequest *req, const uint32_t *frame_len) {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    if (frame_len != nullptr) {
        if (req->remaining == req->frame_num && req->info_out != nullptr)
            *req->info_out = ctx->frame_info;
        if (req->times.size() < kMaxKeptTimes) {
            try {
                req->times.push_back(ctx->frame_time);
            } catch (const std::bad_alloc &) {
                zr_log(4, "ERR", "[%s] malloc failed\n", kPassTag);
            }
        }
        if (req->buf != nullptr && req->size >= *frame_len) {
            req->buf += *frame_len;
            req->size -= *frame_len;
        }
        req->remaining--;
    }
    req->in_use = false;
    ctx->cond.notify_all();
}

void call_frame_ready(tarvo_dev_t *dev, tarvo_cap_frame_ready_cb_t on_frame_ready, uint8_t *data) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    tarvo_frame_t frame{ctx->frame_info, data};
    const unsigned idx = ctx->frame_info.frame_idx;
    zr_log(0, "TRC", "[%s] frdy cb invoke: %u,%u\n", kPassTag, idx, idx);
    ActivePass *pass = t_passes;  // the pass that delivers this frame
    pass->frame = &frame;
    pass->time = ctx->frame_time;
    const auto begin = Clock::now();
    on_frame_ready(dev, &frame);
    pass->frame = nullptr;
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
    zr_log(1, "DBG", "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", kPassTag, idx, idx,
           static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
}

// Takes the oldest ready frame into the oldest waiting fetch (or the callback's buffer) and
// hands it to the frame-ready callback. False when no frame could be taken.
bool deliver_frame(tarvo_dev_t *dev, tarvo_cap_frame_ready_cb_t on_frame_ready) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    zr_stream_frame_info_t sinfo{};
    if (zr_stream_fetch_frames(ctx->stream, nullptr, 0, 1, &sinfo, true) == 0)
        return false;
    tarvo::FetchRequest *req = claim_request(ctx);
    warn_if_truncated(req, sinfo.frlen);
    Placement p;
    tarvo::stream::FrameStamp stamp{};
    if (!place_frame(ctx, req, sinfo.frlen, on_frame_ready != nullptr, p) ||
        tarvo::stream::fetch_stamped(ctx->stream, p.dst, static_cast<int>(p.dst_len), &sinfo,
                                     &stamp) == 0) {
        if (req != nullptr)
            release_request(ctx, req, nullptr);
        return false;
    }
    if (p.truncated_copy != nullptr)
        std::memcpy(p.truncated_copy, p.dst, std::min(p.truncated_len, sinfo.frlen));
    describe_frame(ctx, sinfo);
    ctx->frame_time = frame_time_of(ctx->timeline, sinfo, stamp);
    if (on_frame_ready != nullptr && p.dst != nullptr)
        call_frame_ready(dev, on_frame_ready, p.dst);
    if (req != nullptr)
        release_request(ctx, req, &sinfo.frlen);
    return true;
}

// One delivery pass; the calling thread owns delivery meanwhile. The pending error first, then
// the frames that were ready when the pass began (later ones wait for the next pass, so a pass
// ends even while frames keep coming), each into the oldest waiting fetch that still wants
// frames. A pass run for a fetch (`own`) ends once that fetch is served. Returns whether it
// delivered anything.
bool deliver(tarvo_dev_t *dev, const tarvo::FetchRequest *own) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    bool error_delivered = false;
    if (!deliver_error(dev, error_delivered))
        return error_delivered;
    const uint32_t budget = frames_ready(ctx);
    if (budget == 0)
        return error_delivered;
    // Only passes change `remaining`, and this is the only pass.
    const uint32_t wanted = own != nullptr ? own->remaining : budget;
    const tarvo_cap_frame_ready_cb_t on_frame_ready = ctx->on_frame_ready.load();
    uint32_t handled = 0;
    while (handled < budget && (own == nullptr || own->remaining > 0) &&
           deliver_frame(dev, on_frame_ready)) {
        ++handled;
    }
    zr_log(
        0, "TRC", "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n", kPassTag, handled,
        static_cast<int>(std::min<uint32_t>(wanted, kAllFrames)),
        static_cast<int>(std::min<uint32_t>(own != nullptr ? own->remaining : wanted, kAllFrames)));
    return error_delivered || handled > 0;
}

// Runs a delivery pass with `lock` (the context's mutex) released meanwhile, marking this thread
// as the one that delivers. Returns whether the pass delivered anything.
bool run_pass(tarvo_dev_t *dev, std::unique_lock<std::mutex> &lock,
              const tarvo::FetchRequest *own) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    ctx->delivering = true;
    lock.unlock();
    ActivePass pass{ctx, t_passes};
    t_passes = &pass;
    const bool delivered = deliver(dev, own);
    t_passes = pass.outer;
    lock.lock();
    ctx->delivering = false;
    ctx->cond.notify_all();
    return delivered;
}

// Waits on the device's condition until `ready` holds or the deadline passes (null: no limit);
// false on a time-out. After a pass that delivered nothing (`idle`) it waits for the next signal
// instead, so that work that cannot be done does not keep the thread spinning.
template <typename Pred>
bool wait_for(tarvo_dev_ctx_t *ctx, std::unique_lock<std::mutex> &lock,
              const Clock::time_point *deadline, bool idle, Pred ready) {
    if (idle) {
        if (deadline == nullptr) {
            ctx->cond.wait(lock);
            return true;
        }
        return ctx->cond.wait_until(lock, *deadline) == std::cv_status::no_timeout || ready();
    }
    if (deadline == nullptr) {
        ctx->cond.wait(lock, ready);
        return true;
    }
    return ctx->cond.wait_until(lock, *deadline, ready);
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

// Serves a fetch on the calling thread. The request waits in the context, so that every pass,
// whichever thread runs it, fills the waiting fetches in order. With `wait_for_frames` the
// fetch waits for new frames until the deadline; otherwise it takes only what is ready (and
// waits only for a pass that another thread is running). Returns the frames delivered, -2 when
// capture no longer runs, or the negative error code pending at entry.
int fetch(tarvo_dev_t *dev, tarvo::FetchRequest &req, Clock::time_point deadline,
          bool wait_for_frames) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    std::unique_lock<std::mutex> lock(ctx->mutex);
    ctx->requests.push_back(&req);
    const int pending = ctx->err.load();
    bool timed_out = false;
    bool idle = false;
    const auto done = [&] { return ctx->stop.load() != 0 || req.remaining == 0; };
    while (pending >= 0 && !done()) {
        if (!idle && pass_due(ctx)) {
            idle = !run_pass(dev, lock, &req);
            continue;
        }
        if (!wait_for_frames && !ctx->delivering)
            break;
        const bool woke = wait_for(ctx, lock, &deadline, idle, [&] {
            return done() || pass_due(ctx) || (!wait_for_frames && !ctx->delivering);
        });
        idle = false;
        if (!woke) {
            timed_out = true;
            break;
        }
    }
    // What came with the stop, the deadline or the error.
    if (req.remaining > 0 && pass_due(ctx))
        run_pass(dev, lock, &req);
    ctx->cond.wait(lock, [&] { return !req.in_use; });
    std::erase(ctx->requests, &req);
    const bool capturing = ctx->capturing;
    lock.unlock();
    keep_fetch_times(dev, std::move(req.times));

    if (timed_out)
        zr_log(2, "INF", "[%s]  timeout ... (%s)\n", kFetchTag, std::strerror(ETIMEDOUT));
    if (pending < 0)
        return pending;
    if (!capturing) {
        zr_log(0, "TRC", "[%s] device is not capturing\n", kFetchTag);
        return -2;
    }
    return static_cast<int>(std::min<uint32_t>(req.frame_num - req.remaining, kAllFrames));
}

// Delivers frames and errors until capture stops or the deadline passes (null: no limit).
// False on a time-out.
bool deliver_until_stop(tarvo_dev_t *dev, const Clock::time_point *deadline) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    std::unique_lock<std::mutex> lock(ctx->mutex);
    bool result = true;
    bool idle = false;
    const auto stopped = [ctx] { return ctx->stop.load() != 0; };
    if (ctx->err.load() >= 0 && !stopped()) {
        while (!stopped()) {
            if (!idle && pass_due(ctx)) {
                idle = !run_pass(dev, lock, nullptr);
                continue;
            }
            const bool woke =
                wait_for(ctx, lock, deadline, idle, [&] { return stopped() || pass_due(ctx); });
            idle = false;
            if (!woke) {
                result = false;
                break;
            }
        }
    }
    if (pass_due(ctx))
        run_pass(dev, lock, nullptr);
    lock.unlock();
    if (!result)
        zr_log(2, "INF", "[%s]  timeout ...\n", "tarvo_cap_wait");
    return result;
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

// A fetch or wait from a callback of the same device: the pass that runs the callback holds
// the delivery, so the call could only wait for itself.
bool refuse_in_callback(const tarvo_dev_ctx_t *ctx, const char *func) {
    if (!tarvo::in_capture_callback(ctx))
        return false;
    zr_log(3, "WRN", "[%s] not allowed in a capture callback of the device\n", func);
    return true;
}

}  // namespace

bool tarvo::in_capture_callback(const tarvo_dev_ctx_t *ctx) {
    for (const ActivePass *pass = t_passes; pass != nullptr; pass = pass->outer) {
        if (pass->ctx == ctx)
            return true;
    }
    return false;
}

// A pass owns frame_info; outside one, it is read once no pass runs (a pass starts only under
// the mutex, which this holds while it copies).
tarvo_frame_info_t tarvo::newest_frame_info(tarvo_dev_t *dev) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    if (in_capture_callback(ctx))
        return ctx->frame_info;
    std::unique_lock<std::mutex> lock(ctx->mutex);
    ctx->cond.wait(lock, [ctx] { return !ctx->delivering; });
    return ctx->frame_info;
}

namespace {

// Stops capture; the caller holds the context's control lock.
void stop_capture_locked(tarvo_dev_ctx_t *ctx) {
    if (!ctx->capturing)
        return;
    zr_log(0, "TRC", "[%s] Enter\n", "_tarvo_cap_stop");
    ctx->stop = 1;
    const bool stopped = tarvo_ll_cap_stop(&ctx->ll);
    ctx->capturing = !stopped;  // before the wake-up, so waiters see the final state
    wake_all(ctx);
    zr_log(0, "TRC", "[%s] Exit\n", "_tarvo_cap_stop");
}

}  // namespace

void tarvo::stop_capture(tarvo_dev_ctx_t *ctx) {
    std::lock_guard<std::mutex> control(ctx->control);
    stop_capture_locked(ctx);
}

void tarvo::release_capture_waiters(tarvo_dev_ctx_t *ctx) {
    ctx->stop = 1;
    wake_all(ctx);
}

extern "C" {

TARVO_API bool tarvo_cap_set_frame_buffer(tarvo_dev_t *dev, uint8_t *buf, uint32_t size) {
    if (dev == nullptr)
        return false;
    tarvo::BusyGuard call(dev);
    if (!call || call.ctx()->capturing) {
        zr_log(4, "ERR",
               "[%s]  Set frame buffer is not allowed when device is not open or is capturing\n",
               __func__);
        return false;
    }
    zr_stream_cfg_t cfg{size / TARVO_CAP_FRAME_UNIT};
    zr_stream_set_cfg(call.ctx()->stream, &cfg);
    zr_log(1, "DBG", "[%s] frame buffer: %d frames\n", __func__, static_cast<int>(cfg.max_frames));
    call.ctx()->cap_start_arg = 0;
    return true;
}

TARVO_API bool tarvo_cap_get_frame_buffer(tarvo_dev_t *dev, uint8_t **buf_out, uint32_t *size_out) {
    if (buf_out != nullptr)
        *buf_out = nullptr;
    if (size_out != nullptr) {
        tarvo::BusyGuard call(dev);
        *size_out = call ? parser_max_frames(call.ctx()) * TARVO_CAP_FRAME_UNIT : 0;
    }
    return true;
}

TARVO_API void tarvo_cap_set_callback_on_frame_ready(tarvo_dev_t *dev,
                                                     tarvo_cap_frame_ready_cb_t cb) {
    zr_log(1, "DBG", "[%s] set on_cap_frdy to %p\n", __func__, reinterpret_cast<void *>(cb));
    tarvo::BusyGuard call(dev);
    if (!call)
        return tarvo::log_handle_not_open(__func__);
    call.ctx()->on_frame_ready = cb;
}

TARVO_API void tarvo_cap_set_callback_on_error(tarvo_dev_t *dev, tarvo_cap_error_cb_t cb) {
    zr_log(1, "DBG", "[%s] set on_cap_err to %p\n", __func__, reinterpret_cast<void *>(cb));
    tarvo::BusyGuard call(dev);
    if (!call)
        return tarvo::log_handle_not_open(__func__);
    call.ctx()->on_error = cb;
}

TARVO_API bool tarvo_cap_is_ongoing(tarvo_dev_t *dev) {
    tarvo::BusyGuard call(dev);
    return call && call.ctx()->capturing;
}

TARVO_API bool tarvo_cap_start(tarvo_dev_t *dev) {
    tarvo::BusyGuard call(dev);
    if (tarvo::refuse_offline(call.ctx(), __func__))
        return false;
    if (!call || call.ctx()->ll.priv == nullptr) {
        tarvo::log_handle_not_open(__func__);
        return false;
    }
    tarvo_dev_ctx_t *ctx = call.ctx();
    // A start on another thread must not reset the parser under the transfers it started.
    std::lock_guard<std::mutex> control(ctx->control);
    if (ctx->capturing && ctx->force_stop.load()) {
        // The error callback muted this capture; starting again ends it first.
        zr_log(1, "DBG", "[%s] stop the muted capture\n", "_tarvo_cap_start");
        stop_capture_locked(ctx);
    }
    if (ctx->capturing) {
        zr_log(3, "WRN", "[%s] capture is already running\n", __func__);
        return false;
    }
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
    ctx->timeline = tarvo::FrameTimeline{};
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
    tarvo::BusyGuard call(dev);
    if (!call) {
        tarvo::log_handle_not_open(__func__);
        return false;
    }
    tarvo::stop_capture(call.ctx());
    return true;
}

TARVO_API int tarvo_cap_get_frames(tarvo_dev_t *dev, uint32_t frame_num, uint8_t *buf,
                                   uint32_t size, tarvo_frame_info_t *info_out) {
    const int timeout_ms = fetch_timeout_ms(frame_num);
    const auto deadline = Clock::now() + milliseconds(timeout_ms);
    tarvo::BusyGuard call(dev);
    if (!call || frame_num == 0) {
        zr_log(1, "DBG", "[%s] Wrong params\n", kFetchTag);
        return -1;
    }
    if (refuse_in_callback(call.ctx(), __func__))
        return -1;
    zr_log(0, "TRC", "[%s] frame_num = %u, timeout_msec=%d\n", kFetchTag, frame_num, timeout_ms);
    tarvo::FetchRequest req{frame_num, frame_num, buf, size, info_out};
    return fetch(dev, req, deadline, true);
}

TARVO_API int tarvo_cap_get_frame(tarvo_dev_t *dev, uint8_t *buf, uint32_t size,
                                  tarvo_frame_info_t *info_out) {
    // Waits only for a pass that another thread runs, as long as a one-frame fetch would.
    const auto deadline = Clock::now() + milliseconds(fetch_timeout_ms(1));
    tarvo::BusyGuard call(dev);
    if (!call) {
        zr_log(1, "DBG", "[%s] Wrong params\n", kFetchTag);
        return -1;
    }
    if (refuse_in_callback(call.ctx(), __func__))
        return -1;
    zr_log(0, "TRC", "[%s] frame_num = %d, timeout_msec=%d\n", kFetchTag, 1, 0);
    tarvo::FetchRequest req{1, 1, buf, size, info_out};
    return fetch(dev, req, deadline, false);
}

TARVO_API bool tarvo_cap_snapshot(tarvo_dev_t *dev, uint8_t *buf, uint32_t size,
                                  tarvo_frame_info_t *info_out) {
    tarvo::BusyGuard call(dev);
    if (!call) {
        zr_log(4, "ERR", "[%s] wrong parameters\n", __func__);
        return false;
    }
    if (refuse_in_callback(call.ctx(), __func__))
        return false;
    if (call.ctx()->capturing)
        return tarvo_cap_get_frames(dev, 1, buf, size, info_out) != 0;
    if (!tarvo_cap_start(dev))
        return false;
    const int got = tarvo_cap_get_frames(dev, 1, buf, size, info_out);
    tarvo_cap_stop(dev);
    return got != 0;
}

TARVO_API bool tarvo_cap_wait(tarvo_dev_t *dev, int timeout_msec) {
    zr_log(1, "DBG", "[%s] timeout_msec=%d\n", __func__, timeout_msec);
    tarvo::BusyGuard call(dev);
    if (!call) {
        zr_log(1, "DBG", "[%s] Wrong params\n", __func__);
        return false;
    }
    if (refuse_in_callback(call.ctx(), __func__))
        return false;
    if (!call.ctx()->capturing) {
        zr_log(1, "DBG", "[%s] device is not capturing\n", __func__);
        return false;
    }
    const auto deadline = Clock::now() + milliseconds(std::max(timeout_msec, 0));
    return deliver_until_stop(dev, timeout_msec != 0 ? &deadline : nullptr);
}

TARVO_API bool tarvo_frame_get_time(const tarvo_frame_t *frame, tarvo_frame_time_t *out) {
    if (frame == nullptr || out == nullptr)
        return false;
    for (const ActivePass *pass = t_passes; pass != nullptr; pass = pass->outer) {
        if (pass->frame != nullptr && (pass->frame == frame || pass->frame->data == frame->data)) {
            *out = pass->time;
            return true;
        }
    }
    return false;
}

TARVO_API int tarvo_cap_get_frame_times(tarvo_dev_t *dev, tarvo_frame_time_t *out, uint32_t max) {
    if (dev == nullptr || (out == nullptr && max > 0)) {
        zr_log(1, "DBG", "[%s] Wrong params\n", __func__);
        return -1;
    }
    for (const FetchTimes &entry : t_fetch_times) {
        if (entry.dev == dev) {
            const size_t n = std::min<size_t>(entry.times.size(), max);
            std::copy_n(entry.times.begin(), n, out);
            return static_cast<int>(n);
        }
    }
    return 0;
}

}  // extern "C"
