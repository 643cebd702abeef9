// The EPC driver's lens parameters for point clouds.
#include <tarvo/lens.h>

#include <tarvo/log.h>

#include <optional>

#include "drivers/lens_param.h"

extern "C" TARVO_API bool epc_lens_param_get(tarvo_drv_t *drv, zr_lens_param_t *out, int width,
                                             int height) {
    constexpr const char *kTag = "epc_lens_param_get";
    if (out == nullptr)
        return false;
    const std::optional<zr_lens_param_t> scaled =
        tarvo::scale_lens_params(tarvo::lens_params(), width, height, kTag);
    if (!scaled)
        return false;
    *out = *scaled;
    return true;
}
