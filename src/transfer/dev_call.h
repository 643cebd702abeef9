// The device-level transfer calls run the low-level ones on the handle's own connection, holding
// the busy flag so a close on another thread waits for the transfer to end.
#pragma once

#include <tarvo/log.h>

#include "api/dev_ctx.h"

namespace tarvo::transfer {

// `op(ll)` on the connection of an open handle; -1 after a DBG line naming `func` otherwise.
template <typename Op>
int on_device_ll(tarvo_dev_t *dev, const char *func, Op &&op) {
    if (dev == nullptr) {
        zr_log(1, "DBG", "[%s] Wrong params\n", func);
        return -1;
    }
    tarvo::BusyGuard busy(dev);
    if (tarvo::refuse_offline(busy.ctx(), func))
        return -1;
    // A handle closed meanwhile has no connection left to talk over.
    if (!tarvo::is_open(dev) || dev->ctx->ll.priv == nullptr) {
        zr_log(1, "DBG", "[%s] Wrong params\n", func);
        return -1;
    }
    return op(&dev->ctx->ll);
}

}  // namespace tarvo::transfer
