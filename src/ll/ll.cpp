// The transport-neutral layer: every call goes to the table of the record in hand (or to the
// library's transports for the calls that have no record yet). No state, no locks.
#include <tarvo/ll.h>

#include <tarvo/log.h>

#include <array>
#include <cstddef>

#include "ll/ll_internal.h"
#include "ll/usb_ll.h"

namespace {

// The library's transports, in the order they are initialised.
const std::array<const tarvo_ll_ops_t *, 1> kTransports = {&ll_op_usb};

// A record that a transport listed or opened goes back to that transport.
const tarvo_ll_ops_t *ops_for_open(const tarvo_ll_dev_t *dev) {
    return dev != nullptr && dev->ops != nullptr ? dev->ops : &ll_op_usb;
}

// The record's table, or null when there is no record or it was never bound to a transport.
const tarvo_ll_ops_t *ops_of(const tarvo_ll_dev_t *dev) {
    return dev != nullptr ? dev->ops : nullptr;
}

}  // namespace

void tarvo::ll::begin_close(tarvo_ll_dev_t *dev) {
    // The table has no slot for this step; the USB transport is the only one that needs it.
    if (dev != nullptr && dev->ops == &ll_op_usb)
        usb_ll_begin_close(dev);
}

extern "C" {

TARVO_API bool tarvo_ll_init(void) {
    for (std::size_t i = 0; i < kTransports.size(); ++i) {
        if (!kTransports[i]->init()) {
            zr_log(4, "ERR", "[%s] ll_init failed: ll[%d]\n", "tarvo_ll_init", static_cast<int>(i));
            return false;
        }
    }
    return true;
}

TARVO_API void tarvo_ll_uninit(void) {
    for (const tarvo_ll_ops_t *ops : kTransports)
        ops->uninit();
}

TARVO_API void tarvo_ll_set_debug(unsigned level) {
    ll_op_usb.set_debug(level);
}

TARVO_API int tarvo_ll_dev_list(tarvo_ll_dev_t *list, int max) {
    if (max <= 0)
        return 0;
    return ll_op_usb.dev_list(list, max);
}

TARVO_API tarvo_ll_dev_t *tarvo_ll_dev_open(tarvo_ll_dev_t *dev) {
    return ops_for_open(dev)->dev_open(dev);
}

TARVO_API tarvo_ll_dev_t *tarvo_ll_dev_open_by_fd(tarvo_ll_dev_t *dev) {
    return ops_for_open(dev)->dev_open_by_fd(dev);
}

TARVO_API void tarvo_ll_dev_close(tarvo_ll_dev_t *dev) {
    if (const tarvo_ll_ops_t *ops = ops_of(dev))
        ops->dev_close(dev);
}

TARVO_API bool tarvo_ll_dev_reset(tarvo_ll_dev_t *dev, unsigned target) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr && ops->dev_reset(dev, static_cast<uint8_t>(target));
}

TARVO_API bool tarvo_ll_exe_cmd(tarvo_ll_dev_t *dev, unsigned dir, unsigned type, unsigned value,
                                uint8_t *data, int len, unsigned timeout_ms) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr &&
           ops->exe_cmd(dev, static_cast<uint8_t>(dir), static_cast<uint8_t>(type),
                        static_cast<uint16_t>(value), data, len, timeout_ms);
}

TARVO_API bool tarvo_ll_check_last_cmd(tarvo_ll_dev_t *dev, unsigned type, unsigned value) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr &&
           ops->check_last_cmd(dev, static_cast<uint8_t>(type), static_cast<uint8_t>(value));
}

TARVO_API void tarvo_ll_cap_abort(tarvo_ll_dev_t *dev) {
    if (const tarvo_ll_ops_t *ops = ops_of(dev))
        ops->cap_abort(dev);
}

TARVO_API bool tarvo_ll_cap_start(tarvo_ll_dev_t *dev, uint32_t arg, tarvo_ll_cap_cb_t cb,
                                  void *cb_arg) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr && ops->cap_start(dev, arg, cb, cb_arg);
}

TARVO_API bool tarvo_ll_cap_stop(tarvo_ll_dev_t *dev) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr && ops->cap_stop(dev);
}

TARVO_API bool tarvo_ll_reg_write(tarvo_ll_dev_t *dev, unsigned target, uint32_t reg_base,
                                  const uint32_t *values, unsigned count) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr && ops->reg_write(dev, static_cast<uint8_t>(target), reg_base, values,
                                            static_cast<uint16_t>(count));
}

TARVO_API bool tarvo_ll_reg_read(tarvo_ll_dev_t *dev, unsigned target, uint32_t reg_base,
                                 uint32_t *values, unsigned count) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr && ops->reg_read(dev, static_cast<uint8_t>(target), reg_base, values,
                                           static_cast<uint16_t>(count));
}

TARVO_API bool tarvo_ll_param_set(tarvo_ll_dev_t *dev, const tarvo_ll_param_item_t *items,
                                  int count) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr && ops->param_set(dev, items, count);
}

TARVO_API bool tarvo_ll_param_get(tarvo_ll_dev_t *dev, tarvo_ll_param_item_t *items, int count) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    return ops != nullptr && ops->param_get(dev, items, count);
}

}  // extern "C"
