/* The low-level transport interface: a table of operations per transport and the tarvo_ll_*
 * functions that forward each call to the table of the record in hand. The USB transport,
 * ll_op_usb, is the only implementation.
 *
 * Thread context: the functions hold no lock. A record must not be closed while another thread
 * uses it, and two commands must not run on the same record at once (the status poll reads back
 * only the camera's last command); the device layer serialises both. The capture callback runs
 * on the record's USB event thread. */
#ifndef TARVO_LL_H
#define TARVO_LL_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

typedef struct tarvo_ll_ops tarvo_ll_ops_t;

/* Low-level device record, one per camera. The caller owns it; the transport owns what priv
 * points to. A device context begins with this record, so a context pointer is what every
 * low-level call receives. */
typedef struct tarvo_ll_dev {
    void *priv;                /* transport's private record; null until opened, and after close */
    uint32_t kind;             /* transport kind; 0 = USB */
    uint8_t bus;               /* USB bus number */
    uint8_t port;              /* USB port number */
    uint8_t address;           /* USB device address */
    uint8_t speed;             /* libusb speed code: 0 unknown, 1 low, 2 full, 3 high, 4 super */
    uint8_t info[36];          /* information area of the device layer; zero in list entries */
    const tarvo_ll_ops_t *ops; /* the transport that listed or opened the record; null before */
    uint8_t located;           /* 1 when bus and port designate the camera to open */
} tarvo_ll_dev_t;

/* One device parameter as it travels on the wire: exactly 20 bytes, no padding. */
typedef struct tarvo_ll_param_item {
    uint8_t param_id;      /* parameter number */
    uint8_t param_val_len; /* number of meaningful bytes in param_val */
    uint8_t param_val[18]; /* the value, little-endian for numbers */
} tarvo_ll_param_item_t;

/* Capture callback: called on the record's USB event thread for every completed bulk transfer.
 * event is 0 for delivered data, -3 cancelled, -5 timed out, -7 stall, -10 any other error.
 * data/len are the bytes that arrived (also for a failed transfer); they are valid only until the
 * callback returns, because the buffer is resubmitted right after. The result is ignored. */
typedef int (*tarvo_ll_cap_cb_t)(tarvo_ll_dev_t *dev, int event, const uint8_t *data, int len,
                                 void *arg);

/* Operation table of a transport. Slots returning bool report success as true. */
struct tarvo_ll_ops {
    bool (*init)(void);                /* starts the transport (tarvo_ll_init) */
    void (*uninit)(void);              /* stops it */
    void (*set_debug)(unsigned level); /* the transport's own log level */
    /* Opens a listed camera (or an already open file descriptor); the record, or NULL. */
    tarvo_ll_dev_t *(*dev_open)(tarvo_ll_dev_t *dev);
    /* Opens the camera of the file descriptor in the record. */
    tarvo_ll_dev_t *(*dev_open_by_fd)(tarvo_ll_dev_t *dev);
    /* Closes the camera and joins its event thread. */
    void (*dev_close)(tarvo_ll_dev_t *dev);
    /* Fills up to max records with the cameras found; their number. */
    int (*dev_list)(tarvo_ll_dev_t *list, int max);
    /* One vendor control transfer of the command channel, waited for up to timeout_ms. */
    bool (*exe_cmd)(tarvo_ll_dev_t *dev, uint8_t dir, uint8_t type, uint16_t value, uint8_t *data,
                    int len, unsigned timeout_ms);
    /* Asks the camera whether the last command of type and value succeeded. */
    bool (*check_last_cmd)(tarvo_ll_dev_t *dev, uint8_t type, uint8_t value);
    /* Cancels the stream's transfers without telling the camera. */
    void (*cap_abort)(tarvo_ll_dev_t *dev);
    /* Starts streaming: transfers in flight, cb called on the event thread with each one's bytes.
     */
    bool (*cap_start)(tarvo_ll_dev_t *dev, uint32_t arg, tarvo_ll_cap_cb_t cb, void *cb_arg);
    /* Stops streaming and waits for every transfer. */
    bool (*cap_stop)(tarvo_ll_dev_t *dev);
    /* Resets a target of the camera (3: the whole camera, which re-enumerates). */
    bool (*dev_reset)(tarvo_ll_dev_t *dev, uint8_t target);
    /* Writes count consecutive 32-bit registers of a target. */
    bool (*reg_write)(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base,
                      const uint32_t *values, uint16_t count);
    /* Reads count consecutive 32-bit registers of a target. */
    bool (*reg_read)(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                     uint16_t count);
    /* Sets device parameters in one command. */
    bool (*param_set)(tarvo_ll_dev_t *dev, const tarvo_ll_param_item_t *items, int count);
    /* Reads device parameters. */
    bool (*param_get)(tarvo_ll_dev_t *dev, tarvo_ll_param_item_t *items, int count);
};

/* The USB transport over libusb-1.0. */
TARVO_API extern const tarvo_ll_ops_t ll_op_usb;

/* Prepares every transport once per process; false (with an error line) when one fails.
 * Call from the main thread, as tarvo_init does. */
TARVO_API bool tarvo_ll_init(void);

/* Releases what tarvo_ll_init prepared. Close all records first. */
TARVO_API void tarvo_ll_uninit(void);

/* Transport debug output on the library's level scale (0 TRC .. 4 ERR, 5 and above silent).
 * Applies to cameras opened afterwards. */
TARVO_API void tarvo_ll_set_debug(unsigned level);

/* Fills up to max records (zeroed first) with the cameras found, located and bound to their
 * transport, and returns how many were filled; 0 for max <= 0. Opens no camera. */
TARVO_API int tarvo_ll_dev_list(tarvo_ll_dev_t *list, int max);

/* Opens the camera that a located record designates (same bus and port), or the first camera when
 * the record is not located, and starts its USB event thread. A record with no ops goes to
 * ll_op_usb. Returns dev, or null on failure. */
TARVO_API tarvo_ll_dev_t *tarvo_ll_dev_open(tarvo_ll_dev_t *dev);

/* As tarvo_ll_dev_open; there is no descriptor path on this platform. */
TARVO_API tarvo_ll_dev_t *tarvo_ll_dev_open_by_fd(tarvo_ll_dev_t *dev);

/* Stops the event thread and the stream and releases every transport resource of the record;
 * the location fields stay, so the record can be opened again. Null is ignored. */
TARVO_API void tarvo_ll_dev_close(tarvo_ll_dev_t *dev);

/* Resets a part of the camera (target cut to 8 bits). Target 3 resets the USB interface: the
 * record is closed and reopened on the same bus and port, and the result is always false; whether
 * the camera came back shows in whether the record is open again. Other targets: true when the
 * camera confirmed. False for a null record. */
TARVO_API bool tarvo_ll_dev_reset(tarvo_ll_dev_t *dev, unsigned target);

/* One vendor command on endpoint 0: dir non-zero sends len bytes of data to the camera, dir 0
 * reads up to len bytes into data. dir and type are cut to 8 bits, value to 16. The wait is
 * bounded to about one second whatever timeout_ms says. True when exactly len bytes moved. */
TARVO_API bool tarvo_ll_exe_cmd(tarvo_ll_dev_t *dev, unsigned dir, unsigned type, unsigned value,
                                uint8_t *data, int len, unsigned timeout_ms);

/* Polls the camera's status until it is no longer busy; true when it reports the command of that
 * type and value (both cut to 8 bits) done without failure. */
TARVO_API bool tarvo_ll_check_last_cmd(tarvo_ll_dev_t *dev, unsigned type, unsigned value);

/* Keeps the stream's transfers from being resubmitted. Safe to call from the capture callback. */
TARVO_API void tarvo_ll_cap_abort(tarvo_ll_dev_t *dev);

/* Starts streaming: keeps 16 bulk transfers in flight and reports each to cb on the event thread,
 * then tells the camera to start with arg. True when the camera confirmed. */
TARVO_API bool tarvo_ll_cap_start(tarvo_ll_dev_t *dev, uint32_t arg, tarvo_ll_cap_cb_t cb,
                                  void *cb_arg);

/* Stops streaming and tells the camera to stop; true when the camera confirmed. When it returns,
 * no transfer of the stream is in flight any more (unless the event thread has died). */
TARVO_API bool tarvo_ll_cap_stop(tarvo_ll_dev_t *dev);

/* Writes count (cut to 16 bits) consecutive 32-bit registers of target (cut to 8 bits) from
 * reg_base on. True when the camera confirmed. */
TARVO_API bool tarvo_ll_reg_write(tarvo_ll_dev_t *dev, unsigned target, uint32_t reg_base,
                                  const uint32_t *values, unsigned count);

/* Reads count (cut to 16 bits) consecutive 32-bit registers of target (cut to 8 bits) into
 * values. True on success; values may be partly filled on failure. */
TARVO_API bool tarvo_ll_reg_read(tarvo_ll_dev_t *dev, unsigned target, uint32_t reg_base,
                                 uint32_t *values, unsigned count);

/* Sets count device parameters in one command. True when the camera confirmed. */
TARVO_API bool tarvo_ll_param_set(tarvo_ll_dev_t *dev, const tarvo_ll_param_item_t *items,
                                  int count);

/* Reads count device parameters in place: each item's param_id is kept, its length and value are
 * replaced by the camera's. True on success. */
TARVO_API bool tarvo_ll_param_get(tarvo_ll_dev_t *dev, tarvo_ll_param_item_t *items, int count);

/* Sends the firmware image file_name of `type` (cut to 8 bits) and `version` to the camera:
 * tarvo_bin_data_write(dev, type, version, 0, file_name) of <tarvo/transfer.h>, whose result it
 * returns (1 after a completed transfer, -1 on failure). Blocks for the whole transfer and the
 * camera's restart. */
TARVO_API int tarvo_ll_firmware_upgrade(tarvo_ll_dev_t *dev, unsigned type, uint16_t version,
                                        const char *file_name);

TARVO_END_DECLS

#endif /* TARVO_LL_H */
