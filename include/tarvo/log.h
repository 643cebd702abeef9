/* Logging: five levels (0 TRC .. 4 ERR), two sinks (console and one log file), each with its
 * own threshold. A threshold of 5 or more silences its sink.
 *
 * Thread context: zr_log and zr_log_raw may be called from any thread, including the USB event
 * thread; a line's prefix and message are two writes, so lines of different threads may
 * interleave. zr_log_enable, zr_log_disable and tarvo_log_cfg are not synchronised with
 * logging: call them while no capture runs. */
#ifndef TARVO_LOG_H
#define TARVO_LOG_H

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* Sets threshold `index` (0 console, 1 file, 2 stored only) to `level`. For index 1 it also
 * opens the log file `path` in append mode ("zr.log" when path is null and no file is open).
 * Returns 1 on success, 0 for an index above 2 or a file that cannot be opened. */
TARVO_API int zr_log_enable(unsigned index, unsigned level, const char *path);

/* Silences every sink and closes the log file. Returns fclose's result, or 0 with no file. */
TARVO_API int zr_log_disable(void);

/* Writes "<date time.ms>[tid][tag] " and the formatted message to each sink whose threshold
 * is at most `level`. The message carries its own line end. Returns 0. */
TARVO_API int zr_log(unsigned level, const char *tag, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* Like zr_log, without prefix or time stamp. Returns 0. */
TARVO_API int zr_log_raw(unsigned level, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Sets the console and file thresholds (opening "zr.log" if no log file is open yet) and the
 * USB transport's debug level, all on the library's level scale. */
TARVO_API void tarvo_log_cfg(int console_level, int file_level, int usb_level);

/* An addition of ours: a handler that receives the console's lines in place of the console.
 * level is the line's level (0 TRC .. 4 ERR), tag its tag ("" for zr_log_raw lines), message
 * the formatted message with its own line end, without time stamp or thread id; both strings
 * live only for the call. */
typedef void (*tarvo_log_handler_t)(unsigned level, const char *tag, const char *message,
                                    void *user);

/* An addition of ours. Installs handler (NULL: the console again) with its user pointer: every
 * line the console threshold lets through goes to the handler instead of standard output; the
 * log file is written as before. The handler is called on the thread that logs, which may be
 * the USB event thread or a capture thread, possibly several at once; it must not wait for
 * those threads (no tarvo_cap_stop or tarvo_dev_close inside it). Like zr_log_enable, call it
 * while no capture runs. */
TARVO_API void tarvo_log_set_handler(tarvo_log_handler_t handler, void *user);

TARVO_END_DECLS

#endif /* TARVO_LOG_H */
