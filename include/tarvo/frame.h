/* Records that describe a captured frame to applications: the frame information that the sensor
 * driver fills for every delivered frame, and the frame record handed to the frame-ready
 * callback.
 *
 * Both are plain data; the library fills them, the application owns the ones it declares. */
#ifndef TARVO_FRAME_H
#define TARVO_FRAME_H

#include <stdint.h>

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* Information on one frame, 20 bytes. Filled by the sensor driver from the stream header under
 * which the frame began; the reserved fields are always 0. */
typedef struct tarvo_frame_info {
    uint32_t frame_size;   /* frame length in bytes, as the camera announced it */
    uint16_t frame_format; /* frame format code; the sensor driver interprets it */
    uint16_t frame_idx;    /* frame index, counting modulo 65536 */
    uint32_t width;        /* pixels per line */
    uint32_t height;       /* lines */
    uint8_t pixel_size;    /* bytes per pixel: frame_size / width / height */
    uint8_t reserved0;     /* 0 */
    uint16_t reserved1;    /* 0 */
} tarvo_frame_info_t;

/* One frame as the frame-ready callback receives it. The record lives only for the duration of
 * the callback; data points into the caller's frame buffer, where the frame's frame_size bytes
 * were stored, and stays valid until the caller reuses that buffer. */
typedef struct tarvo_frame {
    tarvo_frame_info_t info; /* the frame's description */
    uint8_t *data;           /* the frame's bytes, in the layout that info.frame_format names */
} tarvo_frame_t;

TARVO_END_DECLS

#endif /* TARVO_FRAME_H */
