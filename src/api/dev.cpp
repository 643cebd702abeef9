#include <tarvo/cap.h>
#include <tarvo/dev.h>
#include <tarvo/drv.h>
#include <tarvo/init.h>
#include <tarvo/log.h>
#include <tarvo/stream.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "api/dev_ctx.h"
#include "drivers/drv_binding.h"
#include "ll/ll_internal.h"

namespace {

constexpr uint32_t kParserFrames = 10;
constexpr unsigned kMaxResetTarget = 8;
constexpr int kCloseWaitSteps = 30;
constexpr auto kCloseWaitStep = std::chrono::milliseconds(100);

enum IdentParam : int32_t { kIdent = 2, kProduct = 3, kDevInfo = 5, kVersion = 6 };

tarvo_dev_t g_default_dev;

// Admission of calls (BusyGuard) against close: guards every context's `inside` count and the
// handles' ctx pointers while a close clears them. Held only for a few instructions, never
// together with a context's mutex.
std::mutex g_calls;
std::condition_variable g_call_left;  // an admitted call of a closing device has left

// Cameras open in this process, by the context that holds each. A located handle enters before
// its transport opens, so that two handles on one camera never both reach it.
struct OpenCamera {
    const tarvo_dev_ctx_t *ctx;
    uint8_t bus;
    uint8_t port;
};
std::mutex g_open_mu;
std::vector<OpenCamera> g_open_cameras;  // guarded by g_open_mu

// Why the calling thread's last open failed.
thread_local int t_last_open_result = TARVO_OK;

bool held_by_other(uint8_t bus, uint8_t port, const tarvo_dev_ctx_t *ctx) {
    return std::any_of(g_open_cameras.begin(), g_open_cameras.end(), [&](const OpenCamera &c) {
        return c.bus == bus && c.port == port && c.ctx != ctx;
    });
}

// Enters the context's camera into the table; false when another handle holds it.
bool enter_camera(const tarvo_dev_ctx_t *ctx) {
    std::lock_guard<std::mutex> lock(g_open_mu);
    if (held_by_other(ctx->ll.bus, ctx->ll.port, ctx))
        return false;
    g_open_cameras.push_back({ctx, ctx->ll.bus, ctx->ll.port});
    return true;
}

void leave_camera(const tarvo_dev_ctx_t *ctx) {
    std::lock_guard<std::mutex> lock(g_open_mu);
    std::erase_if(g_open_cameras, [ctx](const OpenCamera &c) { return c.ctx == ctx; });
}

// A transport open refused because the camera is busy: busy with another handle of this process,
// or with another process.
int busy_reason(const tarvo_dev_ctx_t *ctx) {
    std::lock_guard<std::mutex> lock(g_open_mu);
    return held_by_other(ctx->ll.bus, ctx->ll.port, ctx) ? TARVO_ERR_DEV_ALREADY_OPEN
                                                         : TARVO_ERR_DEV_IN_USE;
}

// The location fields have the same names in the handle and in the low-level record.
template <typename To, typename From>
void copy_location(To &to, const From &from) {
    to.kind = from.kind;
    to.bus = from.bus;
    to.port = from.port;
    to.address = from.address;
    to.speed = from.speed;
    std::memcpy(to.info, from.info, sizeof to.info);
    to.located = from.located;
}

// A string parameter into a NUL-padded field; the value never exceeds the item's 18 bytes.
template <size_t N>
void store_string(char (&field)[N], const tarvo_param_item_t &item) {
    std::memset(field, 0, N);
    const size_t len = std::min<size_t>({item.param_val_len, sizeof item.param_val, N - 1});
    std::memcpy(field, item.param_val, len);
    field[N - 1] = '\0';
}

// A binary parameter, as many bytes as the camera reported, bounded by the field.
template <size_t N>
void store_block(uint8_t (&field)[N], const tarvo_param_item_t &item) {
    std::memset(field, 0, N);
    const size_t len = std::min<size_t>({item.param_val_len, sizeof item.param_val, N});
    std::memcpy(field, item.param_val, len);
}

bool read_identification(tarvo_dev_t *dev) {
    tarvo_param_item_t items[4] = {};
    items[0].param_id = kIdent;
    items[1].param_id = kProduct;
    items[2].param_id = kDevInfo;
    items[3].param_id = kVersion;
    if (!tarvo::param_batch_get(dev, items, 4))
        return false;
    store_string(dev->ident, items[0]);
    store_string(dev->product, items[1]);
    store_block(dev->dev_info, items[2]);
    store_block(dev->version, items[3]);
    return true;
}

tarvo_dev_t *fail_open(tarvo_dev_t *dev, int reason = TARVO_ERR_DEV_OPEN_FAILED) {
    t_last_open_result = reason;
    leave_camera(dev->ctx);
    dev->ctx->opened = false;
    delete dev->ctx;
    dev->ctx = nullptr;
    if (dev->free_on_close)
        std::free(dev);
    return nullptr;
}

tarvo_dev_t *refuse_second_handle(tarvo_dev_t *dev) {
    zr_log(4, "ERR", "[%s] camera already open on another handle\n", "tarvo_dev_open");
    return fail_open(dev, TARVO_ERR_DEV_ALREADY_OPEN);
}

[[noreturn]] void die(const char *func, const char *what) {
    zr_log(4, "ERR", "[%s] %s failed\n", func, what);
    std::exit(-1);
}

// Locks, parser and driver state that capture needs; failures here end the process.
void prepare_capture_state(tarvo_dev_t *dev) {
    zr_stream_cfg_t cfg{kParserFrames};
    dev->ctx->stream = zr_stream_create(&cfg);
    if (dev->ctx->stream == nullptr)
        die("tarvo_dev_open", "zr_stream_create");
    dev->busy = 0;
    dev->ctx->capturing = false;
    dev->ctx->stop = 1;
}

void release_context(tarvo_dev_t *dev) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    if (ctx->drv != nullptr && ctx->drv->ops->uninit != nullptr)
        ctx->drv->ops->uninit(ctx->drv);
    tarvo::drv_release(ctx->drv, dev);
    leave_camera(ctx);
    zr_stream_destroy(ctx->stream);
    {
        std::lock_guard<std::mutex> lock(g_calls);
        dev->ctx = nullptr;
    }
    delete ctx;
}

// Marks the context closing, so that no call is admitted any more. Null when there is nothing
// to close, or when close was called from a capture callback of the device: the call that runs
// the callback would never leave.
tarvo_dev_ctx_t *begin_close(tarvo_dev_t *dev) {
    std::lock_guard<std::mutex> lock(g_calls);
    tarvo_dev_ctx_t *ctx = dev->ctx;
    if (ctx == nullptr || ctx->closing.load())
        return nullptr;
    if (tarvo::in_capture_callback(ctx)) {
        zr_log(3, "WRN", "[%s] not allowed in a capture callback of the device\n",
               "tarvo_dev_close");
        return nullptr;
    }
    ctx->closing = true;
    return ctx;
}

// Waits until every admitted call has left; the calls in flight have been made to fail and the
// capture waits are woken again at every step. After 3 s a warning, and the wait goes on: only
// application code in a callback can hold a call that long, and freeing the context under it
// would crash it.
void wait_for_calls(tarvo_dev_ctx_t *ctx) {
    std::unique_lock<std::mutex> lock(g_calls);
    for (int step = 1; ctx->inside > 0; ++step) {
        lock.unlock();
        tarvo::release_capture_waiters(ctx);
        lock.lock();
        g_call_left.wait_for(lock, kCloseWaitStep, [ctx] { return ctx->inside == 0; });
        if (step == kCloseWaitSteps && ctx->inside > 0)
            zr_log(3, "WRN", "[%s]  api wait timeout\n", "tarvo_dev_close");
    }
}

// Close without releasing the handle record: stops capture, makes the calls in flight fail and
// waits until they have left, and only then closes the transport and frees the context.
void close_context(tarvo_dev_t *dev) {
    tarvo_dev_ctx_t *ctx = begin_close(dev);
    if (ctx == nullptr)
        return;
    if (ctx->capturing) {
        tarvo::stop_capture(ctx);
        if (ctx->capturing)
            zr_log(4, "ERR", "[%s] stop capture failed!\n", "tarvo_dev_close");
    }
    tarvo::ll::begin_close(&ctx->ll);
    wait_for_calls(ctx);
    tarvo_ll_dev_close(&ctx->ll);
    ctx->opened = false;
    release_context(dev);
}

bool allocate_context(tarvo_dev_t *dev) {
    dev->ctx = new (std::nothrow) tarvo_dev_ctx_t();
    if (dev->ctx == nullptr)
        return false;
    copy_location(dev->ctx->ll, *dev);
    return true;
}

// The rest of an open once the handle knows its product: picks the driver, reserves it (the
// EPC pipeline serves one handle at a time), lets it bind the handle and load calibration.
tarvo_dev_t *attach_driver(tarvo_dev_t *dev, const char *func) {
    tarvo_dev_ctx_t *ctx = dev->ctx;
    ctx->drv = tarvo_drv_find(dev);
    if (ctx->drv == nullptr) {
        zr_log(4, "ERR", "[%s] cannot find driver for device: product=%s\n", func, dev->product);
        tarvo_ll_dev_close(&ctx->ll);
        return fail_open(dev);
    }
    if (!tarvo::drv_reserve(ctx->drv, dev)) {
        zr_log(4, "ERR",
               "[%s] another EPC camera is open: the processing pipeline serves one at a time\n",
               func);
        tarvo_ll_dev_close(&ctx->ll);
        return fail_open(dev, TARVO_ERR_DEV_PIPELINE_BOUND);
    }
    prepare_capture_state(dev);
    const bool bound = ctx->drv->ops->init == nullptr || ctx->drv->ops->init(ctx->drv, dev);
    // A camera opens even when its driver could not bind it (its transport still serves); an
    // offline handle is nothing without its driver.
    if (!bound && ctx->offline) {
        zr_log(4, "ERR", "[%s] the driver could not bind the offline camera\n", func);
        release_context(dev);
        if (dev->free_on_close)
            std::free(dev);
        return nullptr;
    }
    if (ctx->drv->ops->calib_load != nullptr && ctx->drv->ops->calib_load(ctx->drv, 0, 0, 2) < 0) {
        zr_log(4, "ERR", "[%s] Load calibration data failed\n", func);
    }
    t_last_open_result = TARVO_OK;
    return dev;
}

// An offline handle stands for the camera its description names: identification from the
// given parameters, the calibration folder as its path.
void describe_offline(tarvo_dev_t *dev, const tarvo::OfflineCamera &camera) {
    std::snprintf(dev->product, sizeof dev->product, "%s", camera.product().c_str());
    tarvo_param_item_t item{};
    if (camera.param_value(kIdent, item))
        store_string(dev->ident, item);
    if (camera.param_value(kDevInfo, item))
        store_block(dev->dev_info, item);
    if (camera.param_value(kVersion, item))
        store_block(dev->version, item);
    dev->path = camera.calibration_dir() ? camera.calibration_dir()->c_str() : nullptr;
}

}  // namespace

tarvo_dev_t *tarvo::open_offline(const tarvo_offline_camera_t *description) {
    t_last_open_result = TARVO_ERR_DEV_OPEN_FAILED;
    std::unique_ptr<OfflineCamera> camera = OfflineCamera::from(description);
    if (!camera)
        return nullptr;
    auto *dev = static_cast<tarvo_dev_t *>(std::calloc(1, sizeof(tarvo_dev_t)));
    if (dev == nullptr)
        return nullptr;
    dev->free_on_close = 1;
    if (!allocate_context(dev)) {
        std::free(dev);
        return nullptr;
    }
    zr_log(1, "DBG", "[%s] offline handle @ %p for %s\n", "tarvo_offline_open",
           static_cast<void *>(dev), camera->product().c_str());
    dev->ctx->offline = std::move(camera);
    describe_offline(dev, *dev->ctx->offline);
    dev->ctx->opened = true;
    return attach_driver(dev, "tarvo_offline_open");
}

bool tarvo::is_open(const tarvo_dev_t *dev) {
    if (dev == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(g_calls);
    const tarvo_dev_ctx_t *ctx = dev->ctx;
    return ctx != nullptr && ctx->opened.load() && !ctx->closing.load();
}

tarvo::BusyGuard::BusyGuard(tarvo_dev_t *dev) : dev_(dev) {
    if (dev_ == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_calls);
    tarvo_dev_ctx_t *ctx = dev_->ctx;
    if (ctx == nullptr || !ctx->opened.load() || ctx->closing.load())
        return;
    ++ctx->inside;
    std::atomic_ref<uint8_t>(dev_->busy).store(1);
    ctx_ = ctx;
}

tarvo::BusyGuard::~BusyGuard() {
    if (ctx_ == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_calls);
    if (--ctx_->inside > 0)
        return;
    std::atomic_ref<uint8_t>(dev_->busy).store(0);
    if (ctx_->closing.load())
        g_call_left.notify_all();
}

extern "C" {

TARVO_API int tarvo_dev_list(tarvo_dev_t *list, int count) {
    if (list == nullptr || count <= 0) {
        zr_log(4, "ERR", "[%s]   wrong params: dev_list=%p, dev_list_num=%d \n", __func__,
               static_cast<void *>(list), count);
        return 0;
    }
    std::memset(list, 0, sizeof(tarvo_dev_t) * static_cast<size_t>(count));
    std::unique_ptr<tarvo_ll_dev_t[]> heads(new (std::nothrow) tarvo_ll_dev_t[count]());
    if (!heads)
        return 0;
    const int found = std::clamp(tarvo_ll_dev_list(heads.get(), count), 0, count);
    for (int i = 0; i < found; ++i)
        copy_location(list[i], heads[i]);
    return found;
}

TARVO_API tarvo_dev_t *tarvo_dev_open(tarvo_dev_t *dev) {
    t_last_open_result = TARVO_ERR_DEV_OPEN_FAILED;
    if (dev == nullptr) {
        if (g_default_dev.ctx != nullptr) {
            zr_log(4, "ERR", "[%s] default device may not close properly!", __func__);
            return nullptr;
        }
        std::memset(&g_default_dev, 0, sizeof g_default_dev);
        dev = &g_default_dev;
    }
    if (dev->ctx != nullptr && dev->ctx->opened) {
        zr_log(3, "WRN", "[%s] device not close correctly. close it..\n", __func__);
        // The old context only: the handle itself is the one being opened, even when it is
        // released on close.
        close_context(dev);
        if (dev->ctx != nullptr)
            return nullptr;  // refused, logged by close
    }
    if (dev->ctx == nullptr && !allocate_context(dev))
        return nullptr;
    zr_log(1, "DBG", "[%s] open tarvo device @ %p\n", __func__, static_cast<void *>(dev));
    tarvo_dev_ctx_t *ctx = dev->ctx;
    const bool located = ctx->ll.located != 0;
    if (located && !enter_camera(ctx))
        return refuse_second_handle(dev);
    if (tarvo_ll_dev_open(&ctx->ll) == nullptr) {
        if (tarvo::ll::last_open_found_in_use())
            return busy_reason(ctx) == TARVO_ERR_DEV_ALREADY_OPEN
                       ? refuse_second_handle(dev)
                       : fail_open(dev, TARVO_ERR_DEV_IN_USE);  // logged by the transport
        zr_log(4, "ERR", "[%s] open device failed!\n", __func__);
        return fail_open(dev);
    }
    if (!located && !enter_camera(ctx)) {
        tarvo_ll_dev_close(&ctx->ll);
        return refuse_second_handle(dev);
    }
    copy_location(*dev, ctx->ll);
    dev->path = tarvo_path_get();
    ctx->opened = true;
    if (!read_identification(dev)) {
        zr_log(3, "WRN", "[%s]  cannot get info of device\n", __func__);
        tarvo_ll_dev_close(&ctx->ll);
        return fail_open(dev);
    }
    return attach_driver(dev, __func__);
}

TARVO_API int tarvo_dev_last_error(void) {
    return t_last_open_result;
}

TARVO_API tarvo_dev_t *tarvo_dev_open_by_fd(tarvo_dev_t *dev, int fd) {
    zr_log(4, "ERR", "[%s] tarvo_dev_open_by_fd currently only support in android!\n", __func__);
    return nullptr;
}

TARVO_API void tarvo_dev_close(tarvo_dev_t *dev) {
    zr_log(1, "DBG", "[%s] close tarvo device @ %p\n", __func__, static_cast<void *>(dev));
    if (dev == nullptr || dev->ctx == nullptr)
        return;
    close_context(dev);
    if (dev->ctx == nullptr && dev->free_on_close)
        std::free(dev);
}

TARVO_API bool tarvo_dev_reset(tarvo_dev_t *dev, unsigned target) {
    zr_log(1, "DBG", "[%s] rest device (target=%d)\n", __func__, static_cast<int>(target));
    tarvo::BusyGuard call(dev);
    if (!call) {
        tarvo::log_handle_not_open(__func__);
        return false;
    }
    if (tarvo::refuse_offline(call.ctx(), __func__))
        return false;
    if (target > kMaxResetTarget) {
        zr_log(4, "ERR", "[%s] wrong reset target: %d\n", __func__, static_cast<int>(target));
        return false;
    }
    return tarvo_ll_dev_reset(&call.ctx()->ll, target);
}

TARVO_API tarvo_drv_t *tarvo_dev_get_drv(tarvo_dev_t *dev) {
    if (dev == nullptr || dev->ctx == nullptr)
        return nullptr;
    return dev->ctx->drv;
}

}  // extern "C"
