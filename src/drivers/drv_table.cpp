#include <tarvo/drv.h>
#include <tarvo/log.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

#include "drivers/drv_binding.h"

namespace {

// Process-wide driver records; two devices of one chip code share a record.
tarvo_drv_t g_drivers[] = {
    {"TI OP8241 chip driver", "T0", &g_tarvo_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_tarvo_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E3", &g_tarvo_driver_op_epc, nullptr, nullptr},
};

// The device the EPC pipeline is reserved for, whichever of the EPC records it opened with.
std::mutex g_binding_mu;
const tarvo_dev_t *g_epc_owner = nullptr;  // guarded by g_binding_mu

bool shares_the_pipeline(const tarvo_drv_t *drv) {
    return drv != nullptr && drv->ops == &g_tarvo_driver_op_epc;
}

}  // namespace

bool tarvo::drv_reserve(const tarvo_drv_t *drv, const tarvo_dev_t *dev) {
    if (!shares_the_pipeline(drv))
        return true;
    std::lock_guard<std::mutex> lock(g_binding_mu);
    if (g_epc_owner != nullptr && g_epc_owner != dev)
        return false;
    g_epc_owner = dev;
    return true;
}

void tarvo::drv_release(const tarvo_drv_t *drv, const tarvo_dev_t *dev) {
    if (!shares_the_pipeline(drv))
        return;
    std::lock_guard<std::mutex> lock(g_binding_mu);
    if (g_epc_owner == dev)
        g_epc_owner = nullptr;
}

extern "C" TARVO_API tarvo_drv_t *tarvo_drv_find(tarvo_dev_t *dev) {
    if (dev == nullptr)
        return nullptr;
    // The product string is "model-chipcode-revision", each field at most 16 characters.
    char product[sizeof dev->product + 1] = {};
    std::memcpy(product, dev->product, sizeof dev->product);
    char model[17], code[17], revision[17];
    if (std::sscanf(product, "%16[^-]-%16[^-]-%16[^-]", model, code, revision) < 3)
        return nullptr;
    for (tarvo_drv_t &drv : g_drivers) {
        if (std::strcmp(code, drv.code) == 0) {
            zr_log(1, "DBG", "[%s]  find driver for device %s : %s\n", "tarvo_drv_find", product,
                   drv.name);
            return &drv;
        }
    }
    return nullptr;
}
