// The TI OP8241 driver: fixed 320 x 240 geometry, 32-bit samples, no calibration or lens data.
#include <tarvo/drv.h>

#include <cstring>

#include "drivers/frame_info.h"

namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr float kPhaseScale = 0.000244140625f;  // 1 / 4096: a 12-bit phase
constexpr float kRangeMetres = 3.122838f;
enum DecodeKind { kDistance = 1, kGray = 2 };

bool ti_init(tarvo_drv_t *drv, tarvo_dev_t *dev) {
    drv->dev = dev;
    return true;
}

void ti_uninit(tarvo_drv_t *) {}

bool ti_frame_get_info(tarvo_drv_t *, tarvo_frame_info_t *out, const zr_stream_frame_info_t *in) {
    if (out == nullptr || in == nullptr)
        return false;
    tarvo::fill_frame_info(*out, *in, kWidth, kHeight, 4);
    return true;
}

// Each pixel is a 32-bit little-endian sample: the low half carries the gray value, the high
// half the phase, both in their low 12 bits.
int ti_frame_decode(tarvo_drv_t *, void *dst, uint32_t dst_bytes, int kind, const uint16_t *src,
                    uint32_t src_bytes, const tarvo_frame_info_t *info) {
    if ((kind != kDistance && kind != kGray) || info == nullptr)
        return -1;
    if (dst == nullptr || src == nullptr)
        return -1;
    float *out = static_cast<float *>(dst);
    const uint32_t pixels = dst_bytes / 4;
    const auto *bytes = reinterpret_cast<const uint8_t *>(src);
    for (uint32_t k = 0; k + 4 <= src_bytes && k / 4 < pixels; k += 4) {
        const uint16_t low = static_cast<uint16_t>(bytes[k] | bytes[k + 1] << 8);
        const uint16_t high = static_cast<uint16_t>(bytes[k + 2] | bytes[k + 3] << 8);
        out[k / 4] = kind == kDistance ? (high & 0x0FFF) * kPhaseScale * kRangeMetres
                                       : (low & 0x0FFF) * kPhaseScale;
    }
    return static_cast<int>(info->width * info->height * 4);
}

int ti_spare_a(tarvo_drv_t *) {
    return 0;
}
int ti_config_reinit(tarvo_drv_t *, int, int value, int) {
    return value;
}
int ti_calib_load(tarvo_drv_t *, int, int value, int) {
    return value;
}
int ti_spare_b(tarvo_drv_t *) {
    return 1;
}

}  // namespace

extern "C" TARVO_API const tarvo_drv_ops_t g_tarvo_driver_op_ti = {
    ti_init,          ti_uninit,     ti_frame_get_info, ti_frame_decode, nullptr, ti_spare_a,
    ti_config_reinit, ti_calib_load, ti_spare_b,        nullptr,         nullptr,
};
