// The pipeline's only way to the camera: parameter items, sensor register blocks, resets and
// single frames, all on the bound device g_zr_dev. Keeping them behind one table lets the
// processing code run against a recorded or simulated sensor in tests.
#pragma once

#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/frame.h>

namespace tarvo::epc {

struct DeviceIo {
    bool (*param_get)(tarvo_param_item_t *item);
    bool (*param_set)(const tarvo_param_item_t *item);
    // Registers of the image sensor (register target 1).
    bool (*reg_read)(uint32_t reg, uint32_t *values, uint16_t count);
    bool (*reg_write)(uint32_t reg, const uint32_t *values, uint16_t count);
    bool (*reset)(unsigned target);
    // One raw frame into buf, described in *info; 1 when it came, else 0.
    int (*grab_frame)(uint8_t *buf, uint32_t size, tarvo_frame_info_t *info);
};

// Installs `io` (null: back to the bound device). The table must outlive its use.
void set_device_io(const DeviceIo *io);
const DeviceIo &device_io();

}  // namespace tarvo::epc
