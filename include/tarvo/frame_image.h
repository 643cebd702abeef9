/* Distance and gray images for applications: a raw frame from the capture functions becomes
 * a row-major image of 32-bit floats, one value per pixel, through the device's sensor driver.
 *
 * Distance values are metres; pixels without a valid distance carry 65.3 (amplitude too low),
 * 65.4 (saturation) or 65.5 (ADC overflow or invalid sample). Gray values are the sensor's
 * amplitude. */
#ifndef TARVO_FRAME_IMAGE_H
#define TARVO_FRAME_IMAGE_H

#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>
#include <tarvo/frame.h>

TARVO_BEGIN_DECLS

/* Converts the raw frame at src (src_len bytes available, the frame's data area as captured)
 * into dst (dst_len floats of room). info describes the frame; NULL takes the description of
 * the newest frame the device delivered. Returns the number of floats written, 0 on any
 * failure (logged; dst may then hold a partial image only when the driver failed after it
 * began writing).
 *
 * Thread context: the device's decoding state is shared; decode a device's frames from one
 * thread at a time. Safe beside capture running on other threads. */
TARVO_API int tarvo_frame_get_distance(tarvo_dev_t *dev, float *dst, int dst_len,
                                       const uint8_t *src, uint32_t src_len,
                                       tarvo_frame_info_t *info);
TARVO_API int tarvo_frame_get_gray(tarvo_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                   uint32_t src_len, tarvo_frame_info_t *info);

TARVO_END_DECLS

#endif /* TARVO_FRAME_IMAGE_H */
