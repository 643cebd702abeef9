/* Frame files: distance and gray images recorded to, and played back from, file descriptors
 * that the application opened (binary mode) and positioned. A file is one text line naming the
 * kind, sample type and image size, followed by the samples of one or more frames, row-major,
 * little-endian, back to back:
 *
 *   "ZR_DIST,F32,<w>,<h>\n"  float metres           save format 0
 *   "ZR_DIST,U32,<w>,<h>\n"  uint32 millimetres     save format 1
 *   "ZR_DIST,U16,<w>,<h>\n"  uint16 millimetres     save format 2 (70 m is stored as 4464)
 *   "ZR_GRAY,U16,<w>,<h>\n"  uint16 gray            save format 2
 *   "ZR_GRAY,U8,<w>,<h>\n"   uint8 gray             save format 3
 *
 * Integer samples are truncated and cut to their width, never clamped. The header is written
 * only at position 0 of the descriptor, so repeated saves append frames after one header, and
 * read only at position 0, so repeated loads read successive frames with the size and type that
 * each loader remembers from the last header it read.
 *
 * Thread context: thread-safe; the remembered headers are shared by all descriptors, so loads
 * from two files at once need each file's header read again. */
#ifndef TARVO_FRAME_FILE_H
#define TARVO_FRAME_FILE_H

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* Saves the whole width x height frames contained in dist_len floats (metres); values beyond
 * the last whole frame are dropped. Returns 1 when written, 0 on failure (logged); fewer than
 * width x height values are refused with 0 and nothing written (ours: a short frame would
 * shift every later frame of the file). */
TARVO_API int tarvo_frame_save_distance(int fd, int save_format, const float *dist, int dist_len,
                                        int width, int height);

/* Saves one gray frame: the first width x height of gray_len values. Returns 1, or 0 on failure
 * (logged); fewer than width x height values are refused with 0 and nothing written (ours). */
TARVO_API int tarvo_frame_save_gray(int fd, int save_format, const float *gray, int gray_len,
                                    int width, int height);

/* Loads the next frame: at position 0 the header first. Stores the first min(dst_len,
 * width x height) values into dst (metres, or gray levels) and consumes the whole frame; width
 * and height (each may be NULL) receive the frame's size. Returns the number of values stored,
 * 0 on failure (logged; dst may be partly written) or when no header was read before (silent).
 * Headers with a width or height below 1 or above 65535, or more than 16777216 pixels, are
 * refused. */
TARVO_API int tarvo_frame_load_distance(int fd, float *dst, int dst_len, int *width, int *height);
TARVO_API int tarvo_frame_load_gray(int fd, float *dst, int dst_len, int *width, int *height);

TARVO_END_DECLS

#endif /* TARVO_FRAME_FILE_H */
