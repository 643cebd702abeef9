/* Decoding recorded raw frames without the camera: a handle that stands for a camera described
 * by what it answered (product, parameters, sensor register file) and its calibration files.
 *
 * An addition of ours. The handle is a tarvo_dev_t with no USB behind it; the camera's sensor
 * driver binds it as it binds a camera, so raw frames decode exactly as the live camera's did:
 * tarvo_frame_get_distance, tarvo_frame_get_gray, tarvo_frame_get_pcl(_xyzd) (pass each frame's
 * 20-byte frame information), the filters (tarvo_filter_enable / tarvo_filter_disable) and the
 * lens calls. tarvo_dev_close releases it, the handle record included.
 *
 * What the handle answers: tarvo_param_batch_get from the given parameters, tarvo_reg_batch_read
 * of the image sensor (target 1) from its own copy of the given register file. What fails
 * cleanly (false, -1 or NULL, with a log line): capture, parameter sets, register writes,
 * resets, data and firmware transfers. Where the processing pipeline itself writes (automatic
 * exposure sets the integration time, the pipeline's sensor configuration writes registers),
 * the writes go into the handle's own copies, which later reads then return.
 *
 * The EPC processing pipeline is process-wide: an offline handle of an EPC camera takes it as
 * an opened camera does, so it is refused (TARVO_ERR_DEV_PIPELINE_BOUND from
 * tarvo_dev_last_error) while an EPC camera or another offline handle is open, and a camera
 * opened while it is open is refused the same way; closing it frees the pipeline.
 *
 * The sensor register file is required: binding reads sensor registers (the system clock in
 * 0x81 and 0x82, from which the modulation frequency follows, the ABS bits of 0x22, 0x25, 0x28
 * and 0x2B, 0xAE) and keeps working on them (read-modify-write), and the library has no
 * power-on values of its own for them, so an open without the file is refused with a log line
 * naming it. Reads outside the given registers fail with a log line.
 *
 * Calibration comes from calibration_dir only: the DRNU files (named by wafer and chip id, as
 * the camera's calibration package unpacks them under the path prefix) and "lens_param.txt"
 * (read when undistortion is switched on). No calibration package is ever asked for. A missing
 * or damaged file gets a log line, and the handle decodes as a camera without calibration does
 * (no DRNU correction; built-in lens parameters). The path prefix plays no part.
 *
 * Thread context: tarvo_offline_open and tarvo_dev_close from one thread at a time per handle,
 * as for cameras; tarvo_offline_set_temperatures and the decode calls from the application
 * thread that decodes (the decode itself is not reentrant, as with a camera). */
#ifndef TARVO_OFFLINE_H
#define TARVO_OFFLINE_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* The camera an offline handle stands for. Everything is copied at open; the caller's memory
 * may go afterwards. */
typedef struct tarvo_offline_camera {
    /* The product string as the camera reported it (parameter 3, "model-chipcode-revision"):
     * picks the sensor driver and the firmware generation (external modulation from 2.0 on). */
    const char *product;
    /* The parameters as the camera answered them; param 7 (chip information: part version,
     * chip id, wafer id, 6 bytes or more) is required. 2, 5 and 6 fill the handle's ident,
     * dev_info and version; 12, 13 and 15 are what the pipeline asks for. Later items with
     * the same number replace earlier ones. */
    const tarvo_param_item_t *params;
    int param_count; /* items in params, 0 to 256 */
    /* The image sensor's register file (target 1) from register 0 on, one value per register,
     * as tarvo_reg_batch_read(dev, 1, 0, values, 256) returns it. Required (see above). */
    const uint32_t *sensor_registers;
    uint16_t sensor_register_count; /* values in sensor_registers, 1 to 256 */
    /* The folder holding the camera's calibration files, or NULL for none. */
    const char *calibration_dir;
} tarvo_offline_camera_t;

/* Opens a handle for decoding frames of the described camera without it. Returns the handle,
 * or NULL with a log line for bad input (a null camera or product, a product of no known
 * driver, param 7 missing or shorter than 6 bytes, no or too large a register file, a count
 * out of range, a null params with a count) or when the pipeline is bound to another open
 * camera or handle; tarvo_dev_last_error then tells why (TARVO_ERR_DEV_PIPELINE_BOUND, or
 * TARVO_ERR_DEV_OPEN_FAILED). Release the handle with tarvo_dev_close. Thread context: as
 * tarvo_dev_open. */
TARVO_API tarvo_dev_t *tarvo_offline_open(const tarvo_offline_camera_t *camera);

/* Sets the temperatures (tenths of a degree C) that the stream header of the next frame to
 * decode carried: the sensor's and the illumination board's. The pipeline's temperature
 * correction uses them, as it uses a live frame's header; they stay until set again (0 and 0
 * after open). True when set; false, with a log line, for a handle that is not an open offline
 * handle or whose driver keeps no temperatures. Thread context: the decoding thread. */
TARVO_API bool tarvo_offline_set_temperatures(tarvo_dev_t *dev, int16_t sensor,
                                              int16_t illumination);

TARVO_END_DECLS

#endif /* TARVO_OFFLINE_H */
