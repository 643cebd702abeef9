/* Cameras: listing, opening, closing and resetting them, and reading and writing their device
 * parameters and register blocks.
 *
 * Thread context: list, open and close from one thread at a time per handle. The parameter and
 * register functions may be called from any application thread while the device is open, also
 * during capture and from capture callbacks. A close on another thread makes the calls still
 * running on the device fail at once (the command in flight is cancelled), and returns only after
 * every call has left the library, so that nothing of the device is freed under them; calls
 * made once close has begun are refused as on a closed handle.
 *
 * Cameras and handles (ours): a camera is open on one handle at a time. Opening it on a second
 * handle fails with TARVO_ERR_DEV_ALREADY_OPEN, and a camera that another process has open fails
 * with TARVO_ERR_DEV_IN_USE (the system refuses to configure it while another file holds it);
 * listing still shows it. The EPC processing pipeline is process-wide: one EPC camera ("E1", "E2",
 * "E3") is bound to it at a time, and opening a second while one is open fails with
 * TARVO_ERR_DEV_PIPELINE_BOUND, so that no camera's driver state is ever replaced or freed under
 * another; an offline handle of an EPC camera (<tarvo/offline.h>) counts as one. Cameras of the
 * TI driver keep no such state and may be open side by side with any other. Different handles
 * may be opened and closed on different threads at once. */
#ifndef TARVO_DEV_H
#define TARVO_DEV_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* The library's private per-device context. */
typedef struct tarvo_dev_ctx tarvo_dev_ctx_t;

/* A camera handle. The application owns the record (an array filled by tarvo_dev_list), or uses
 * the library's default record through tarvo_dev_open(NULL). Open and closed in place; the
 * location fields survive close, so the same handle can be opened again. */
typedef struct tarvo_dev {
    tarvo_dev_ctx_t *ctx;  /* private context; null while the handle is not open */
    uint32_t kind;         /* transport kind; 0 = USB */
    uint8_t bus;           /* USB bus number */
    uint8_t port;          /* USB port number */
    uint8_t address;       /* USB device address */
    uint8_t speed;         /* libusb speed code: 0 unknown, 1 low, 2 full, 3 high, 4 super */
    uint8_t info[36];      /* transport information area (zero with USB) */
    char product[32];      /* product string "model-chipcode-revision", NUL-terminated */
    char ident[32];        /* identification string, NUL-terminated */
    uint8_t dev_info[32];  /* information block, as many bytes as the camera reports (<= 18) */
    uint8_t version[8];    /* version block; its second 16-bit word is the firmware version */
    const char *path;      /* the library's path prefix, set at open */
    uint8_t reserved[12];  /* 0 */
    uint8_t located;       /* 1 when bus and port designate the camera */
    uint8_t free_on_close; /* non-zero: closing (or a failed open) also frees this record,
                              which must then come from malloc; the library never sets it */
    uint8_t busy;          /* 1 while library calls work on the device (read-only) */
} tarvo_dev_t;

/* A device parameter as applications pass it. */
typedef struct tarvo_param_item {
    int32_t param_id;      /* parameter number; only the low 8 bits travel */
    uint8_t param_val_len; /* meaningful bytes in param_val; replaced by the camera's on a read */
    uint8_t param_val[18]; /* the value, little-endian for numbers */
} tarvo_param_item_t;

/* Fills up to count handles (zeroed first) with the cameras found and returns how many; 0 with
 * an error line for a null list or count <= 0. Opens no camera. */
TARVO_API int tarvo_dev_list(tarvo_dev_t *list, int count);

/* Opens a listed handle, or with NULL the library's default handle on the first camera. Reads
 * the identification, picks the sensor driver and loads calibration data. A handle that is still
 * open is closed first, keeping the handle record even with free_on_close. Returns the opened
 * handle, or NULL on failure (the handle's context is then released, and the handle too when
 * free_on_close is set); tarvo_dev_last_error then tells why. A camera open elsewhere (see
 * above) is refused before anything is sent to it. */
TARVO_API tarvo_dev_t *tarvo_dev_open(tarvo_dev_t *dev);

/* Why the calling thread's last tarvo_dev_open failed: TARVO_OK after a successful open, else
 * TARVO_ERR_DEV_IN_USE (another process has the camera open: "camera in use by another
 * process"), TARVO_ERR_DEV_ALREADY_OPEN, TARVO_ERR_DEV_PIPELINE_BOUND or TARVO_ERR_DEV_OPEN_FAILED
 * (<tarvo/init.h>; tarvo_error_name names them). Ours. Any thread. */
TARVO_API int tarvo_dev_last_error(void);

/* Not available on this platform: logs an error and returns NULL. */
TARVO_API tarvo_dev_t *tarvo_dev_open_by_fd(tarvo_dev_t *dev, int fd);

/* Stops capture if it runs, makes the calls running on other threads fail, waits until they
 * have left (a warning after 3 s; a capture callback running on another thread is waited for),
 * then closes the camera and releases the handle's context, and the handle itself when
 * free_on_close is set. A null or closed handle only logs. Refused with a warning from a capture
 * callback of the same device. */
TARVO_API void tarvo_dev_close(tarvo_dev_t *dev);

/* Resets part of the camera; target 0 to 8 (3 resets the USB interface: the camera reconnects
 * and the handle is reopened on the same port; the result is then false either way). */
TARVO_API bool tarvo_dev_reset(tarvo_dev_t *dev, unsigned target);

/* The sensor driver chosen at open (struct tarvo_drv from <tarvo/drv.h>), or NULL when the
 * handle is not open. */
TARVO_API struct tarvo_drv *tarvo_dev_get_drv(tarvo_dev_t *dev);

/* Sets count parameters in one command (count 0 sends an empty request; items may then be
 * NULL). True when the camera confirmed. */
TARVO_API bool tarvo_param_batch_set(tarvo_dev_t *dev, const tarvo_param_item_t *items, int count);

/* Reads count parameters: each item's param_val_len and param_val receive the camera's length
 * (at most 18) and value; param_id stays. On failure the items are untouched. Count 0 succeeds
 * without asking the camera. */
TARVO_API bool tarvo_param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count);

/* Writes count consecutive 32-bit registers of a target from reg_base on. */
TARVO_API bool tarvo_reg_batch_write(tarvo_dev_t *dev, uint8_t target, uint32_t reg_base,
                                     const uint32_t *values, uint16_t count);

/* Reads count consecutive 32-bit registers of a target into values. */
TARVO_API bool tarvo_reg_batch_read(tarvo_dev_t *dev, uint8_t target, uint32_t reg_base,
                                    uint32_t *values, uint16_t count);

TARVO_END_DECLS

#endif /* TARVO_DEV_H */
