#include "epc/device_io.h"

#include <tarvo/cap.h>
#include <tarvo/dev.h>

#include "epc/config_state.h"

namespace tarvo::epc {
namespace {

constexpr uint8_t kSensorTarget = 1;

bool bound_param_get(tarvo_param_item_t *item) {
    return tarvo_param_batch_get(g_zr_dev, item, 1);
}

bool bound_param_set(const tarvo_param_item_t *item) {
    return tarvo_param_batch_set(g_zr_dev, item, 1);
}

bool bound_reg_read(uint32_t reg, uint32_t *values, uint16_t count) {
    return tarvo_reg_batch_read(g_zr_dev, kSensorTarget, reg, values, count);
}

bool bound_reg_write(uint32_t reg, const uint32_t *values, uint16_t count) {
    return tarvo_reg_batch_write(g_zr_dev, kSensorTarget, reg, values, count);
}

bool bound_reset(unsigned target) {
    return tarvo_dev_reset(g_zr_dev, target);
}

int bound_grab_frame(uint8_t *buf, uint32_t size, tarvo_frame_info_t *info) {
    if (!tarvo_cap_is_ongoing(g_zr_dev))
        tarvo_cap_start(g_zr_dev);
    const int got = tarvo_cap_get_frames(g_zr_dev, 1, buf, size, info);
    tarvo_cap_stop(g_zr_dev);
    return got == 1 ? 1 : 0;
}

constexpr DeviceIo kBoundDevice = {bound_param_get, bound_param_set, bound_reg_read,
                                   bound_reg_write, bound_reset,     bound_grab_frame};

const DeviceIo *g_io = &kBoundDevice;

}  // namespace

void set_device_io(const DeviceIo *io) {
    g_io = io != nullptr ? io : &kBoundDevice;
}

const DeviceIo &device_io() {
    return *g_io;
}

}  // namespace tarvo::epc
