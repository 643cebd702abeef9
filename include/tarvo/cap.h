/* Capture: raw frames from the camera into the application's buffers and callbacks.
 *
 * Thread context: the functions are thread-safe. The USB event thread only feeds the frame
 * parser and wakes waiters; every frame and error callback runs on an application thread that
 * calls tarvo_cap_get_frames, tarvo_cap_get_frame, tarvo_cap_snapshot or tarvo_cap_wait, one
 * callback at a time per device. Fetches that wait at the same time are served in the order they
 * came, whichever of those threads takes the frames out of the parser; a tarvo_cap_wait on
 * another thread never takes frames from a waiting fetch.
 *
 * Re-entry: a callback may call any library function. Those that would wait for the very
 * delivery the callback runs in are refused with a warning when called from a callback of the
 * same device: tarvo_cap_get_frames and tarvo_cap_get_frame return -1, tarvo_cap_snapshot and
 * tarvo_cap_wait return false, tarvo_dev_close does nothing. tarvo_cap_stop and tarvo_cap_start
 * are allowed. tarvo_cap_stop and tarvo_dev_close wake every waiting thread; close returns only
 * after they have left the library. */
#ifndef TARVO_CAP_H
#define TARVO_CAP_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>
#include <tarvo/frame.h>

TARVO_BEGIN_DECLS

/* Called for every delivered frame. The record and *frame live only during the call; frame->data
 * points at the frame's complete bytes (in the caller's fetch buffer, or in a buffer of the
 * library that is reused after the call). */
typedef void (*tarvo_cap_frame_ready_cb_t)(tarvo_dev_t *dev, tarvo_frame_t *frame);

/* Called with a capture error code (see tarvo_error_name) and its argument (for
 * TARVO_ERR_CAP_FRAME_DISCARD the total of discarded frames). Returning false stops all
 * delivery (capture is muted) until the next tarvo_cap_start, which ends the muted capture and
 * starts afresh. */
typedef bool (*tarvo_cap_error_cb_t)(tarvo_dev_t *dev, int err, uint32_t arg);

/* The unit in which tarvo_cap_set_frame_buffer counts its size: 307200 bytes, half a frame of
 * this camera (a 320 x 240 frame of four 16-bit samples per pixel is 614400 bytes), so a buffer
 * of n units holds n / 2 such frames. Not the size of a frame: fetch buffers are sized by the
 * frame (tarvo_frame_info_t frame_size). */
#define TARVO_CAP_FRAME_UNIT 307200u

/* Sizes the library's own frame buffer: size / 307200 frames (at least 2 are needed to start).
 * buf is not used. False when the handle is not open or is capturing. */
TARVO_API bool tarvo_cap_set_frame_buffer(tarvo_dev_t *dev, uint8_t *buf, uint32_t size);

/* *buf_out = NULL, *size_out = the frame buffer size in bytes (either may be NULL). True. */
TARVO_API bool tarvo_cap_get_frame_buffer(tarvo_dev_t *dev, uint8_t **buf_out, uint32_t *size_out);

/* Stores the frame-ready callback (NULL removes it). */
TARVO_API void tarvo_cap_set_callback_on_frame_ready(tarvo_dev_t *dev,
                                                     tarvo_cap_frame_ready_cb_t cb);

/* Stores the error callback (NULL removes it; errors then stay pending). */
TARVO_API void tarvo_cap_set_callback_on_error(tarvo_dev_t *dev, tarvo_cap_error_cb_t cb);

/* True while capture runs. */
TARVO_API bool tarvo_cap_is_ongoing(tarvo_dev_t *dev);

/* Reads the frame rate, resets the parser and starts streaming. True when the camera started.
 * Refused while capture runs, except when the error callback muted it: that capture is stopped
 * first. */
TARVO_API bool tarvo_cap_start(tarvo_dev_t *dev);

/* Stops streaming and wakes every waiting thread. True unless the handle is not open (also when
 * capture was not running, or the camera did not confirm the stop). */
TARVO_API bool tarvo_cap_stop(tarvo_dev_t *dev);

/* Waits for frame_num frames (any count from 1 to 0xFFFFFFFF; time-out derived from the frame
 * rate) and copies them end to end into buf (NULL: callbacks only); info_out receives the first
 * frame's description. buf must hold frame_num x frame_size bytes (frame_size as
 * tarvo_frame_info_t reports it; 614400 for this camera's 320 x 240 frames): a frame that does
 * not fit the space left is cut to that space, logged with a warning naming both sizes, and
 * still counted as delivered (the frame-ready callback gets it whole). Returns the frames
 * delivered, -1 for bad arguments or a call from a callback of the same device, -2 when not
 * capturing, or a pending negative capture error code. */
TARVO_API int tarvo_cap_get_frames(tarvo_dev_t *dev, uint32_t frame_num, uint8_t *buf,
                                   uint32_t size, tarvo_frame_info_t *info_out);

/* Takes one frame that is already ready, without waiting: 1, 0 when none is ready, or a negative
 * code as tarvo_cap_get_frames. buf must hold frame_size bytes, as there. */
TARVO_API int tarvo_cap_get_frame(tarvo_dev_t *dev, uint8_t *buf, uint32_t size,
                                  tarvo_frame_info_t *info_out);

/* One frame, starting and stopping capture around it when capture is not running. True when a
 * frame (or an error code) came back. */
TARVO_API bool tarvo_cap_snapshot(tarvo_dev_t *dev, uint8_t *buf, uint32_t size,
                                  tarvo_frame_info_t *info_out);

/* Delivers frames and errors to the callbacks until capture stops or timeout_msec passes
 * (0: no limit). True when capture stopped, false on a time-out or when not capturing. */
TARVO_API bool tarvo_cap_wait(tarvo_dev_t *dev, int timeout_msec);

TARVO_END_DECLS

#endif /* TARVO_CAP_H */
