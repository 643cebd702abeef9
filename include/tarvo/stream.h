/* The frame stream parser: cuts the camera's bulk byte stream into verified frames.
 *
 * The camera sends stream packets, each a 36-byte stream header followed by its payload; a frame
 * may span several packets and one packet may carry several frames. The parser accepts the
 * bytes in chunks of any size, verifies headers (sync 0xFB 0x98, Fletcher-16 header checksum,
 * length bounds), packet and frame continuity and the optional payload checksum, assembles
 * frames and keeps a bounded list of complete ones, dropping the oldest when it is full. What it
 * cannot vouch for is dropped, counted in the state record and logged at level DBG.
 *
 * Thread context: one thread feeds (zr_stream_feed_input, _fr_node_add_data); any number of
 * threads may fetch and read the state at the same time. A reader-writer lock guards the list of
 * ready frames; the feeding thread holds it only for list splices and removals. zr_stream_reset,
 * zr_stream_set_cfg and zr_stream_destroy must be called while nobody feeds or fetches. */
#ifndef TARVO_STREAM_H
#define TARVO_STREAM_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* The parser object; opaque. */
typedef struct zr_stream zr_stream_t;

/* Parser configuration. */
typedef struct zr_stream_cfg {
    uint32_t max_frames; /* complete frames the ready list may hold; older ones are dropped */
} zr_stream_cfg_t;

/* Counters of a parser, 10 x u32. Counts run from creation or the last reset. */
typedef struct zr_stream_state {
    uint32_t frames_done;      /* frames whose last byte has been received */
    uint32_t frames_queued;    /* frames moved to the ready list in total */
    uint32_t frames_discarded; /* frames discarded on a stream error (incomplete, inconsistent,
                                  payload checksum) */
    uint32_t frames_dropped;   /* frames removed from the ready list because it was full */
    uint32_t frames_ready;     /* frames in the ready list now */
    uint32_t reserved0;        /* 0 */
    uint32_t bytes_discarded;  /* bytes thrown away: skipped while looking for a header, of
                                  discarded frames, of dropped frames */
    uint32_t reserved1;        /* 0 */
    uint32_t start_sec;        /* wall-clock time of creation or last reset, seconds */
    uint32_t start_usec;       /* its microseconds (a multiple of 1000) */
} zr_stream_state_t;

/* Description of one assembled frame, 20 bytes, taken from the stream header under which the
 * frame began. The fields from width on are header bytes 16 to 27 as the camera sent them. */
typedef struct zr_stream_frame_info {
    uint32_t frlen;    /* frame length in bytes */
    uint16_t fridx;    /* frame index, modulo 65536 */
    uint16_t frfmt;    /* frame format code (0 to 1023) */
    uint16_t width;    /* pixels per line; 0 means the sensor driver's default */
    uint16_t height;   /* lines; 0 means the sensor driver's default */
    int16_t temp_chip; /* chip temperature word */
    int16_t temp_ib;   /* illumination-board temperature word */
    uint32_t extra;    /* header bytes 24 to 27, passed through */
} zr_stream_frame_info_t;

/* Creates a parser with the configuration *cfg. Returns null when cfg is null or memory is
 * short. Reentrant. */
TARVO_API zr_stream_t *zr_stream_create(const zr_stream_cfg_t *cfg);

/* Frees the parser with every frame it holds. Null is ignored. */
TARVO_API void zr_stream_destroy(zr_stream_t *s);

/* Stores cfg->max_frames. A smaller value takes effect when the next frame completes.
 * Returns false (and changes nothing) when an argument is null. */
TARVO_API bool zr_stream_set_cfg(zr_stream_t *s, const zr_stream_cfg_t *cfg);

/* Copies the configuration to *cfg_out. Returns false when an argument is null. Thread-safe. */
TARVO_API bool zr_stream_get_cfg(zr_stream_t *s, zr_stream_cfg_t *cfg_out);

/* Drops every frame being assembled or ready, forgets the current header and the packet and
 * frame indices, clears the counters and takes a new start time. The configuration stays, and
 * so does skipping mode: a parser reset while skipping waits for a frame-start header. */
TARVO_API void zr_stream_reset(zr_stream_t *s);

/* Consumes all len bytes of data (a chunk of the stream, cut anywhere). Returns true when at
 * least one frame is ready after the call. Bad arguments consume nothing. Feeding thread only;
 * never blocks for longer than a list splice. */
TARVO_API bool zr_stream_feed_input(zr_stream_t *s, const uint8_t *data, int len);

/* Takes (peek false) or looks at (peek true) up to count ready frames, oldest first, and returns
 * how many were handled. The frames' bytes are laid end to end into dst (null: not copied); a
 * buffer too short receives a truncated last frame and nothing after it, and the frames are
 * still counted. info_out (or null) receives the description of the first frame, also when
 * peeking without dst. Taken frames are freed, whether or not dst held them. Thread-safe; a
 * peek and a later take are two separate steps: when the ready list is full the feeding thread
 * may drop the peeked frame in between, so trust the info_out of the take. */
TARVO_API unsigned zr_stream_fetch_frames(zr_stream_t *s, uint8_t *dst, int dst_len, unsigned count,
                                          zr_stream_frame_info_t *info_out, bool peek);

/* Copies the counters to *state_out and returns state_out (null when an argument is null).
 * Thread-safe; counters the feeding thread keeps may be one update behind. */
TARVO_API zr_stream_state_t *zr_stream_get_state(zr_stream_t *s, zr_stream_state_t *state_out);

/* The feed's step that appends payload bytes of the current packet to the frames being
 * assembled, starting new frames of the current header's frame length as needed. Feeding thread
 * only; without a current header (frame length 0) the bytes are dropped. */
TARVO_API void _fr_node_add_data(zr_stream_t *s, const uint8_t *data, int len);

TARVO_END_DECLS

#endif /* TARVO_STREAM_H */
