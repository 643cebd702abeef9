/* Switching the sensor driver's optional processing steps on and off.
 *
 * Thread context: thread-safe; may be called while capture runs and frames are decoded on other
 * threads. The device is marked busy during the call, so a close on another thread waits. */
#ifndef TARVO_FILTER_H
#define TARVO_FILTER_H

#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* Filter ids and the argument that switching on reads (little-endian):
 *   TARVO_FILTER_UNDISTORT       none: reloads "lens_param.txt" from the path prefix and rebuilds
 *                                the undistortion map; distance and gray images of 320 x 240
 *                                are then undistorted, and the distance pixels that the sensor
 *                                does not see are marked 65.5 (invalid);
 *   TARVO_FILTER_CONFIG_MODE     uint8: the configuration mode, 2 re-initialises the chip;
 *   TARVO_FILTER_MIN_AMPLITUDE   int32: minimum amplitude applied before every decode;
 *   TARVO_FILTER_AUTO_EXPOSURE   uint16: limit of samples out of range, per mille;
 *   TARVO_FILTER_SIGNAL_CHECK    uint16: the value sent with the resynchronisation request;
 *   TARVO_FILTER_TEMP_MONITOR    int16: illumination-board temperature limit, degrees Celsius;
 *   TARVO_FILTER_HDR             none: row-pair high dynamic range.
 * Ids 2, 3 and others have no effect. */
#define TARVO_FILTER_UNDISTORT 0
#define TARVO_FILTER_CONFIG_MODE 1
#define TARVO_FILTER_MIN_AMPLITUDE 4
#define TARVO_FILTER_AUTO_EXPOSURE 5
#define TARVO_FILTER_SIGNAL_CHECK 6
#define TARVO_FILTER_TEMP_MONITOR 7
#define TARVO_FILTER_HDR 8

/* Switches a filter on with its argument (arg_size bytes at arg; NULL and 0 for filters without
 * one). Returns 1 when done, 0 when the driver refused (an argument missing or shorter than the
 * filter reads, an undistortion map that could not be built), -1 for a device that is not open
 * or whose driver has no filter control. */
TARVO_API int tarvo_filter_enable(tarvo_dev_t *dev, int filter_id, const void *arg, int arg_size);

/* Switches a filter off. Results as tarvo_filter_enable. */
TARVO_API int tarvo_filter_disable(tarvo_dev_t *dev, int filter_id);

TARVO_END_DECLS

#endif /* TARVO_FILTER_H */
