// The camera's answers on endpoint 0 as the device functions see them: status replies,
// register values and parameter items (with lengths the camera may overstate), decoded by the
// transport's own decoders and handed through the public batch functions.
//
// Input: byte 0 selects the batch and its size, then the camera's script.
#include <tarvo/dev.h>
#include <tarvo/log.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "api/dev_ctx.h"
#include "scripted_camera.h"

namespace {

// A handle that looks open and talks to the scripted camera.
struct ScriptedDevice {
    ScriptedDevice() {
        ctx.opened = true;
        ctx.ll.ops = tarvo::fuzz::scripted_ops();
        dev.ctx = &ctx;
    }
    tarvo_dev_ctx ctx;
    tarvo_dev_t dev{};
};

void param_batch(tarvo_dev_t *dev, int count) {
    std::unique_ptr<tarvo_param_item_t[]> items(new tarvo_param_item_t[count]());
    for (int i = 0; i < count; ++i)
        items[i].param_id = static_cast<int32_t>(i);
    if (!tarvo_param_batch_get(dev, items.get(), count))
        return;
    for (int i = 0; i < count; ++i) {
        if (items[i].param_id != static_cast<int32_t>(i) ||
            items[i].param_val_len > sizeof items[i].param_val)
            std::abort();
    }
}

void reg_batch(tarvo_dev_t *dev, uint16_t count) {
    // Exactly count values: a decoder writing one more trips the address sanitizer.
    std::unique_ptr<uint32_t[]> values(new uint32_t[count]);
    (void)tarvo_reg_batch_read(dev, 0, 0, values.get(), count);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    tarvo::fuzz::script().load(std::span<const uint8_t>(data + 1, size - 1));
    ScriptedDevice camera;
    const int count = 1 + (data[0] >> 2) % 32;
    switch (data[0] & 3) {
        case 0:
            param_batch(&camera.dev, count);
            break;
        case 1:
            reg_batch(&camera.dev, static_cast<uint16_t>(count));
            break;
        default:
            // Status polls until the camera stops saying busy.
            (void)tarvo_ll_check_last_cmd(&camera.ctx.ll, data[0], static_cast<uint8_t>(count));
            break;
    }
    return 0;
}
