/* Sensor drivers: a driver record per chip code with a table of eleven operations. The device
 * open picks the driver from the second field of the camera's product string.
 *
 * Thread context: no locking. Driver records are process-wide and shared by every device of the
 * same chip code; one open device per driver record at a time. The EPC records share one
 * processing pipeline besides: tarvo_dev_open refuses a second EPC camera while one is open
 * (TARVO_ERR_DEV_PIPELINE_BOUND, <tarvo/dev.h>), so dev and priv of an EPC record always belong
 * to the one open EPC camera. frame_get_info runs on the thread that fetches frames, the other
 * operations on the application threads that call them. */
#ifndef TARVO_DRV_H
#define TARVO_DRV_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>
#include <tarvo/frame.h>
#include <tarvo/stream.h>

TARVO_BEGIN_DECLS

struct zr_lens_param;
typedef struct tarvo_drv tarvo_drv_t;

/* Operations of a driver; every one receives the driver record first. A slot may be null. */
typedef struct tarvo_drv_ops {
    /* Binds the driver to an opened device; true when ready. Called once per open. */
    bool (*init)(tarvo_drv_t *drv, tarvo_dev_t *dev);
    /* Releases what init created. Called once at close. */
    void (*uninit)(tarvo_drv_t *drv);
    /* Describes one assembled frame; true when the frame is acceptable. */
    bool (*frame_get_info)(tarvo_drv_t *drv, tarvo_frame_info_t *out,
                           const zr_stream_frame_info_t *in);
    /* Converts a raw frame into a float image: kind 1 distance (metres), 2 gray. Returns the
     * bytes written to dst, or -1. */
    int (*frame_decode)(tarvo_drv_t *drv, void *dst, uint32_t dst_bytes, int kind,
                        const uint16_t *src, uint32_t src_bytes, const tarvo_frame_info_t *info);
    /* Lens parameters for an image of width x height. */
    bool (*lens_param_get)(tarvo_drv_t *drv, struct zr_lens_param *out, int width, int height);
    int (*spare_a)(tarvo_drv_t *drv);
    int (*config_reinit)(tarvo_drv_t *drv, int ignored, int value, int mode);
    /* Loads the camera's calibration data; 0 or more on success, negative on failure. */
    int (*calib_load)(tarvo_drv_t *drv, int ignored, int value, int mode);
    int (*spare_b)(tarvo_drv_t *drv);
    bool (*filter_enable)(tarvo_drv_t *drv, int filter_id, const void *arg, int arg_size);
    bool (*filter_disable)(tarvo_drv_t *drv, int filter_id);
} tarvo_drv_ops_t;

/* A driver record. */
struct tarvo_drv {
    const char *name;           /* human-readable name, used in the log */
    const char *code;           /* chip code matched against the product string's second field */
    const tarvo_drv_ops_t *ops; /* operation table */
    tarvo_dev_t *dev;           /* the device the driver serves now; written by init */
    void *priv;                 /* the driver's private state; written by init */
};

/* The driver for an opened or listed handle, by the chip code in its product string
 * ("model-chipcode-revision"; exact, case-sensitive match of "T0", "E1", "E2", "E3"), or NULL. */
TARVO_API tarvo_drv_t *tarvo_drv_find(tarvo_dev_t *dev);

/* Operation tables of the EPC-family driver and of the TI driver. */
TARVO_API extern const tarvo_drv_ops_t g_tarvo_driver_op_epc;
TARVO_API extern const tarvo_drv_ops_t g_tarvo_driver_op_ti;

TARVO_END_DECLS

#endif /* TARVO_DRV_H */
