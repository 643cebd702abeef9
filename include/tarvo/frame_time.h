/* Frame times: when each delivered frame arrived on the host, its 64-bit sequence number and
 * the frames lost before it.
 *
 * An addition of ours to the camera's interface: the 20-byte frame information record stays as
 * it is, and the times are read beside it.
 *
 * The capture engine takes both clocks on the USB event thread when a frame's last byte has
 * been fed to the stream parser, so the time does not depend on when the application fetches
 * the frame. The sequence counts the camera's frames since tarvo_cap_start, lost ones included:
 * the first delivered frame has the number of frames lost before it (normally 0), and every
 * later one the previous sequence + 1 + its lost_before. Lost frames are those the frame index
 * skipped (modulo 65536) or, when more, those the parser discarded (incomplete or inconsistent)
 * or dropped (its frame buffer full) since the previous delivered frame. */
#ifndef TARVO_FRAME_TIME_H
#define TARVO_FRAME_TIME_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>
#include <tarvo/frame.h>

TARVO_BEGIN_DECLS

/* When and after which losses a frame arrived, with the temperatures its stream header
 * carried (those the decode of the frame corrects with). 32 bytes. */
typedef struct tarvo_frame_time {
    uint64_t monotonic_ns; /* CLOCK_MONOTONIC when the frame's last byte arrived, nanoseconds */
    uint64_t realtime_ns;  /* CLOCK_REALTIME at the same instant, nanoseconds since the epoch */
    uint64_t sequence;     /* frame count of the capture, lost frames included; never wraps */
    uint32_t lost_before;  /* frames lost just before this one (index gaps and discards) */
    int16_t sensor_temperature;       /* sensor chip, tenths of a degree C, from the frame's
                                         stream header; 0 when the header carries none */
    int16_t illumination_temperature; /* illumination board, the same way */
} tarvo_frame_time_t;

/* In a frame-ready callback: *out = the time of the frame the callback received (frame is the
 * callback's record, or a copy of it). True when found; false, with *out untouched, for a null
 * argument or outside the frame's callback. Thread context: the callback's thread. */
TARVO_API bool tarvo_frame_get_time(const tarvo_frame_t *frame, tarvo_frame_time_t *out);

/* After a fetch (tarvo_cap_get_frames, tarvo_cap_get_frame, tarvo_cap_snapshot): copies the
 * times of the frames that the calling thread's last fetch on dev delivered, in order, at most
 * max of them (of a fetch of more than 65536 frames, the first 65536 are kept). Returns how many
 * were written: 0 when the thread's last fetch on dev delivered none or there was none, -1 for a
 * null dev, or a null out with max > 0. Thread context: any thread; each thread sees its own
 * fetches. */
TARVO_API int tarvo_cap_get_frame_times(tarvo_dev_t *dev, tarvo_frame_time_t *out, uint32_t max);

TARVO_END_DECLS

#endif /* TARVO_FRAME_TIME_H */
