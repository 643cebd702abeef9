/* Library start and stop, the library-wide path prefix and the names of capture error codes.
 *
 * Thread context: call these from the application's main thread, before devices are opened and
 * after they are closed. */
#ifndef TARVO_INIT_H
#define TARVO_INIT_H

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* Capture error codes, as reported to the error callback and by the fetch functions. */
#define TARVO_ERR_CAP_UNKNOWN (-10)
#define TARVO_ERR_CAP_ERROR (-8)
#define TARVO_ERR_CAP_STALL (-7)
#define TARVO_ERR_CAP_TIMEOUT (-5)
#define TARVO_ERR_CAP_CANCELLED (-3) /* a cancelled transfer; internal, has no name */
#define TARVO_OK 0
#define TARVO_ERR_CAP_FRAME_DISCARD 3

/* Why an open failed (tarvo_dev_last_error in <tarvo/dev.h>); ours, named by tarvo_error_name
 * like the capture codes. */
#define TARVO_ERR_DEV_IN_USE (-20)         /* another process has the camera open */
#define TARVO_ERR_DEV_ALREADY_OPEN (-21)   /* another handle of this process has it open */
#define TARVO_ERR_DEV_PIPELINE_BOUND (-22) /* another EPC camera holds the processing pipeline */
#define TARVO_ERR_DEV_OPEN_FAILED (-23)    /* any other failure of the open */

/* Starts logging (console threshold WRN, file threshold DBG into `log_fname`, or into
 * "tarvo_YYYYMMDD.log" when null), resets the path prefix to ".\", and initialises the
 * low-level transport and the default colour map. May be called again. */
TARVO_API void tarvo_init(const char *log_fname);

/* Releases what tarvo_init set up and turns all logging off. Close devices first. */
TARVO_API void tarvo_uninit(void);

/* Stores `path` (at most 255 characters) as the path prefix and creates the directory it names,
 * level by level. Both "/" and "\" separate directories. Returns 0 when the directory exists or
 * was created, -1 when creating it failed (or path is null). */
TARVO_API int tarvo_path_cfg(const char *path);

/* The stored path prefix, exactly as configured (trailing separator kept). Never null; the
 * buffer lives for the life of the process. */
TARVO_API const char *tarvo_path_get(void);

/* Name of a capture error code, or of a device open result (ours): "TARVO_ERR_DEV_IN_USE" and
 * so on; "**UNKNOWN**" for codes without a name. Never null. */
TARVO_API const char *tarvo_error_name(int code);

TARVO_END_DECLS

#endif /* TARVO_INIT_H */
