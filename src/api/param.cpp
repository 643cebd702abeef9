#include <tarvo/dev.h>
#include <tarvo/log.h>

#include <cstring>
#include <memory>
#include <new>

#include "api/dev_ctx.h"

namespace {

constexpr const char *kSetTag = "_tarvo_param_batch_set";
constexpr const char *kGetTag = "_tarvo_param_batch_get";
constexpr uint8_t kValueBytes = sizeof(tarvo_param_item_t::param_val);
constexpr uint8_t kSensorTarget = 1;

// The application's items as the transport takes them: number and length, and the value too
// when setting. Null after a log line when the arguments are bad, or when memory is short. A
// batch of no items is valid: a read of none moves nothing, a set of none is an empty request.
std::unique_ptr<tarvo_ll_param_item_t[]> to_ll_items(const char *tag,
                                                     const tarvo_param_item_t *items, int count,
                                                     bool with_values) {
    if (count < 0 || (items == nullptr && count > 0)) {
        zr_log(4, "ERR", "[%s] wrong params: items=%p, count=%d\n", tag,
               static_cast<const void *>(items), count);
        return nullptr;
    }
    std::unique_ptr<tarvo_ll_param_item_t[]> ll_items(new (std::nothrow)
                                                          tarvo_ll_param_item_t[count]());
    for (int i = 0; ll_items && i < count; ++i) {
        ll_items[i].param_id = static_cast<uint8_t>(items[i].param_id);
        ll_items[i].param_val_len = items[i].param_val_len;
        if (with_values)
            std::memcpy(ll_items[i].param_val, items[i].param_val, kValueBytes);
    }
    return ll_items;
}

int32_t frame_rate_value(const tarvo_param_item_t &item) {
    int32_t fps;
    std::memcpy(&fps, item.param_val, sizeof fps);
    return fps;
}

// A camera may claim more bytes than an item holds; never let that length reach a caller who
// would read param_val_len bytes.
uint8_t bounded_length(const tarvo_ll_param_item_t &item) {
    if (item.param_val_len <= kValueBytes)
        return item.param_val_len;
    zr_log(3, "WRN", "[%s] param %u: camera reports %u bytes, keeping %u\n", kGetTag, item.param_id,
           item.param_val_len, kValueBytes);
    return kValueBytes;
}

// Register write and read share everything but the transport call, and what an offline
// handle does instead.
template <typename Values, typename Transfer, typename Offline>
bool reg_batch(const char *func, tarvo_dev_t *dev, uint8_t target, uint32_t reg_base,
               Values *values, uint16_t count, Transfer transfer, Offline offline) {
    zr_log(0, "TRC", "[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", func, target,
           static_cast<int>(reg_base), count, static_cast<const void *>(values));
    tarvo::BusyGuard call(dev);
    if (!call) {
        tarvo::log_handle_not_open(func);
        return false;
    }
    if (values == nullptr && count > 0)
        return tarvo::log_no_values(func);
    if (tarvo::OfflineCamera *camera = call.ctx()->offline.get())
        return offline(*camera, target, reg_base, values, count);
    return transfer(&call.ctx()->ll, target, reg_base, values, count);
}

}  // namespace

void tarvo::log_handle_not_open(const char *func) {
    zr_log(4, "ERR", "[%s]  Device handler Is NULL!\r\n", func);
}

bool tarvo::log_no_values(const char *func) {
    zr_log(4, "ERR", "[%s] value buffer is NULL\n", func);
    return false;
}

bool tarvo::param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count) {
    if (!is_open(dev)) {
        log_handle_not_open(kGetTag);
        return false;
    }
    auto ll_items = to_ll_items(kGetTag, items, count, false);
    if (!ll_items)
        return false;
    if (const OfflineCamera *camera = offline_camera(dev))
        return camera->param_get(items, count);
    zr_log(1, "DBG", "[%s] get %d param\n", kGetTag, count);
    if (!tarvo_ll_param_get(&dev->ctx->ll, ll_items.get(), count))
        return false;
    for (int i = 0; i < count; ++i) {
        items[i].param_val_len = bounded_length(ll_items[i]);
        std::memcpy(items[i].param_val, ll_items[i].param_val, kValueBytes);
    }
    return true;
}

extern "C" {

TARVO_API bool tarvo_param_batch_set(tarvo_dev_t *dev, const tarvo_param_item_t *items, int count) {
    if (dev == nullptr) {
        tarvo::log_handle_not_open(kSetTag);
        return false;
    }
    tarvo::BusyGuard call(dev);
    auto ll_items = to_ll_items(kSetTag, items, count, true);
    if (!ll_items)
        return false;
    for (int i = 0; i < count; ++i) {
        if (items[i].param_id == tarvo::kFrameRateParam) {
            zr_log(1, "DBG", "[%s] Set FPS:%d\n", kSetTag, frame_rate_value(items[i]));
        }
    }
    zr_log(1, "DBG", "[%s] set %d param\n", kSetTag, count);
    if (!call) {
        tarvo::log_handle_not_open(kSetTag);
        return false;
    }
    if (tarvo::refuse_offline(call.ctx(), kSetTag))
        return false;
    return tarvo_ll_param_set(&call.ctx()->ll, ll_items.get(), count);
}

TARVO_API bool tarvo_param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count) {
    if (dev == nullptr) {
        tarvo::log_handle_not_open(kGetTag);
        return false;
    }
    tarvo::BusyGuard call(dev);
    return tarvo::param_batch_get(dev, items, count);
}

TARVO_API bool tarvo_reg_batch_write(tarvo_dev_t *dev, uint8_t target, uint32_t reg_base,
                                     const uint32_t *values, uint16_t count) {
    return reg_batch(__func__, dev, target, reg_base, values, count, tarvo_ll_reg_write,
                     [&](tarvo::OfflineCamera &, uint8_t, uint32_t, const uint32_t *, uint16_t) {
                         return !tarvo::refuse_offline(dev->ctx, __func__);
                     });
}

TARVO_API bool tarvo_reg_batch_read(tarvo_dev_t *dev, uint8_t target, uint32_t reg_base,
                                    uint32_t *values, uint16_t count) {
    return reg_batch(
        __func__, dev, target, reg_base, values, count, tarvo_ll_reg_read,
        [](tarvo::OfflineCamera &camera, uint8_t t, uint32_t reg, uint32_t *out, uint16_t n) {
            if (t == kSensorTarget)
                return camera.reg_read(reg, out, n);
            zr_log(4, "ERR", "[%s] an offline handle holds sensor registers only\n",
                   "tarvo_reg_batch_read");
            return false;
        });
}

}  // extern "C"
