// The exported filter switches: find the device's driver and forward to its filter slots.
#include <tarvo/filter.h>

#include <tarvo/drv.h>
#include <tarvo/log.h>

#include "api/dev_ctx.h"

namespace {

// The driver of an open device, looked up and stored when the context has none yet.
tarvo_drv_t *device_driver(tarvo_dev_t *dev, const char *tag) {
    tarvo_drv_t *&drv = dev->ctx->drv;
    if (drv == nullptr)
        drv = tarvo_drv_find(dev);
    if (drv == nullptr) {
        zr_log(4, "ERR", "[%s] cannot find driver for device: product=%.*s\n", tag,
               static_cast<int>(sizeof dev->product), dev->product);
    }
    return drv;
}

template <typename Call>
int forward(tarvo_dev_t *dev, const char *tag, Call call) {
    if (dev == nullptr)
        return -1;
    const tarvo::BusyGuard busy(dev);
    if (!tarvo::is_open(dev)) {
        tarvo::log_handle_not_open(tag);
        return -1;
    }
    tarvo_drv_t *drv = device_driver(dev, tag);
    if (drv == nullptr)
        return -1;
    return call(drv);
}

}  // namespace

extern "C" {

TARVO_API int tarvo_filter_enable(tarvo_dev_t *dev, int filter_id, const void *arg, int arg_size) {
    constexpr const char *kTag = "tarvo_filter_enable";
    return forward(dev, kTag, [&](tarvo_drv_t *drv) {
        if (drv->ops == nullptr || drv->ops->filter_enable == nullptr) {
            zr_log(4, "ERR", "[%s] driver %s has no filter control\n", kTag, drv->name);
            return -1;
        }
        return drv->ops->filter_enable(drv, filter_id, arg, arg_size) ? 1 : 0;
    });
}

TARVO_API int tarvo_filter_disable(tarvo_dev_t *dev, int filter_id) {
    constexpr const char *kTag = "tarvo_filter_disable";
    return forward(dev, kTag, [&](tarvo_drv_t *drv) {
        if (drv->ops == nullptr || drv->ops->filter_disable == nullptr) {
            zr_log(4, "ERR", "[%s] driver %s has no filter control\n", kTag, drv->name);
            return -1;
        }
        return drv->ops->filter_disable(drv, filter_id) ? 1 : 0;
    });
}

}  // extern "C"
