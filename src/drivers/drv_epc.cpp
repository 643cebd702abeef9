// The EPC-family driver's operation table. Until the sensor pipeline is bound here, the driver
// describes frames from their stream header and converts nothing.
#include <tarvo/drv.h>

#include <cstring>

#include "drivers/calib_package.h"
#include "drivers/frame_info.h"

namespace {

constexpr uint16_t kDefaultWidth = 320;
constexpr uint16_t kDefaultHeight = 240;

bool epc_init(tarvo_drv_t *drv, tarvo_dev_t *dev) {
    drv->dev = dev;
    drv->priv = nullptr;
    return true;
}

void epc_uninit(tarvo_drv_t *drv) {
    drv->dev = nullptr;
    drv->priv = nullptr;
}

bool epc_frame_get_info(tarvo_drv_t *, tarvo_frame_info_t *out, const zr_stream_frame_info_t *in) {
    if (out == nullptr || in == nullptr)
        return false;
    const uint32_t width = in->width != 0 ? in->width : kDefaultWidth;
    const uint32_t height = in->height != 0 ? in->height : kDefaultHeight;
    const uint64_t pixels = uint64_t{width} * height;
    tarvo::fill_frame_info(*out, *in, width, height, static_cast<uint8_t>(in->frlen / pixels));
    return true;
}

int epc_frame_decode(tarvo_drv_t *, void *, uint32_t, int, const uint16_t *, uint32_t,
                     const tarvo_frame_info_t *) {
    return -1;
}

int epc_spare_a(tarvo_drv_t *) {
    return 0;
}
int epc_config_reinit(tarvo_drv_t *, int, int value, int) {
    return value;
}
tarvo::calib::FileNameSet g_calib_names[2];  // the driver state's calibration file names

int epc_calib_load(tarvo_drv_t *drv, int, int, int) {
    return tarvo::calib::calib_load(drv, g_calib_names);
}
int epc_spare_b(tarvo_drv_t *) {
    return 1;
}
bool epc_filter_enable(tarvo_drv_t *, int, const void *, int) {
    return false;
}
bool epc_filter_disable(tarvo_drv_t *, int) {
    return false;
}

}  // namespace

extern "C" TARVO_API const tarvo_drv_ops_t g_tarvo_driver_op_epc = {
    epc_init,    epc_uninit,        epc_frame_get_info, epc_frame_decode,
    nullptr,     epc_spare_a,       epc_config_reinit,  epc_calib_load,
    epc_spare_b, epc_filter_enable, epc_filter_disable,
};
