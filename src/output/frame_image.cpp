// Distance and gray images: one body for both, the driver's frame_decode does the work.
#include <tarvo/frame_image.h>

#include <tarvo/drv.h>
#include <tarvo/log.h>

#include <algorithm>
#include <cstdint>

#include "api/dev_ctx.h"

namespace {

constexpr const char *kTag = "_tarvo_frame_get_float32";
enum DecodeKind { kDistance = 1, kGray = 2 };

int frame_get_float32(tarvo_dev_t *dev, int kind, float *dst, int dst_len, const uint8_t *src,
                      uint32_t src_len, const tarvo_frame_info_t *info) {
    if (dev == nullptr)
        return 0;
    tarvo::BusyGuard busy(dev);
    if (!tarvo::is_open(dev) || dev->ctx->drv == nullptr) {
        zr_log(1, "DBG", "[%s] Wrong params\n", kTag);
        return 0;
    }
    tarvo_drv_t *drv = dev->ctx->drv;
    const tarvo_frame_info_t frame = info != nullptr ? *info : tarvo::newest_frame_info(dev);
    if (frame.frame_size > src_len) {
        zr_log(4, "ERR", "[%s] raw frame length too small: datalen=%d, frlen=%d\n", kTag,
               static_cast<int>(src_len), static_cast<int>(frame.frame_size));
        return 0;
    }
    if (drv->ops->frame_decode == nullptr || dst == nullptr || src == nullptr || dst_len < 0) {
        zr_log(1, "DBG", "[%s] Wrong params\n", kTag);
        return 0;
    }
    const uint32_t dst_bytes = static_cast<uint32_t>(std::min(dst_len, INT32_MAX / 4)) * 4u;
    const int r = drv->ops->frame_decode(drv, dst, dst_bytes, kind,
                                         reinterpret_cast<const uint16_t *>(src), src_len, &frame);
    if (r < 0) {
        zr_log(4, "ERR", "[%s] raw frame decode to %d failed: %d\n", kTag, kind, r);
        return 0;
    }
    return static_cast<int>(static_cast<unsigned>(r) / 4u);
}

}  // namespace

extern "C" {

TARVO_API int tarvo_frame_get_distance(tarvo_dev_t *dev, float *dst, int dst_len,
                                       const uint8_t *src, uint32_t src_len,
                                       tarvo_frame_info_t *info) {
    return frame_get_float32(dev, kDistance, dst, dst_len, src, src_len, info);
}

TARVO_API int tarvo_frame_get_gray(tarvo_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                   uint32_t src_len, tarvo_frame_info_t *info) {
    return frame_get_float32(dev, kGray, dst, dst_len, src, src_len, info);
}

}  // extern "C"
